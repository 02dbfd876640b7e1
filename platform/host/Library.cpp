#include "Library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace Host {

Library::~Library() {
    // The library's objects live until the process ends (timers, records handed out); it is
    // never unloaded.
}

bool Library::open(const std::string& path, std::string* error) {
    dlerror();
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        *error = why ? why : ("cannot load " + path);
        return false;
    }
    for (Kind kind : kAllKinds) {
        std::string base = std::string("zl_") + kindSymbol(kind);
        init_[static_cast<int>(kind)] = reinterpret_cast<InitFn>(dlsym(handle_, (base + "_init").c_str()));
        add_[static_cast<int>(kind)] = dlsym(handle_, (base + "_add").c_str());
    }
    auto catalogue = reinterpret_cast<zl_driver_catalogue_fn>(dlsym(handle_, "zl_driver_catalogue"));
    catalogue_ = catalogue ? catalogue() : nullptr;
    return true;
}

LibraryCatalogue Library::checkCatalogue() const {
    LibraryCatalogue out;
    out.drivers = catalogue_;
    for (Kind kind : kAllKinds)
        if (add(kind)) out.kinds.insert(kind);
    return out;
}

}  // namespace Host
