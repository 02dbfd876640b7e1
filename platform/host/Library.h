// The driver library as the host sees it: loaded with dlopen, every zl_* entry point looked
// up by name. A missing entry point means the library does not support that kind.
#pragma once

#include <string>
#include <vector>

#include "BoardCheck.h"
#include "BoardFile.h"
#include "zl_api.h"
#include "zl_catalogue.h"

namespace Host {

class Library {
  public:
    using InitFn = zl_status (*)(const char*);

    ~Library();
    bool open(const std::string& path, std::string* error);

    InitFn init(Kind kind) const { return init_[static_cast<int>(kind)]; }
    // The add function of the kind, or null; its real type depends on the kind.
    void* add(Kind kind) const { return add_[static_cast<int>(kind)]; }
    // The library's driver catalogue (zl_driver_catalogue), or null when it exports none.
    const zl_catalogue* catalogue() const { return catalogue_; }
    // What `check` needs of this library: its catalogue and the kinds it has add functions for.
    LibraryCatalogue checkCatalogue() const;

  private:
    void* handle_ = nullptr;
    InitFn init_[9] = {};
    void* add_[9] = {};
    const zl_catalogue* catalogue_ = nullptr;
};

}  // namespace Host
