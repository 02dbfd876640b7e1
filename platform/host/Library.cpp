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

bool openDefaultLibrary(Library* library, std::string* error) {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    std::string dir = ".";
    if (n > 0) {
        buffer[n] = '\0';
        std::string path(buffer);
        auto slash = path.rfind('/');
        if (slash != std::string::npos) dir = path.substr(0, slash);
    }
    return library->open(dir + "/../libZoltaDriversOrvikS.so.0", error);
}

void checkBoard(const Board& board, const Topology& topology, std::vector<BoardProblem>* problems) {
    Library library;
    std::string error;
    if (!openDefaultLibrary(&library, &error)) {
        problems->push_back({"library", "cannot load the driver library: " + error});
        return;
    }
    checkBoard(board, topology, library.checkCatalogue(), problems);
}

}  // namespace Host
