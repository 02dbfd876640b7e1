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

// The library `check` loads when it is given none: the one installed beside this program
// (bin/../libZoltaDriversOrvikS.so.0). False with the reason when it can't be loaded.
bool openDefaultLibrary(Library* library, std::string* error);

// Checks the board against the library beside this program; a library that can't be loaded
// is a problem of its own (device "library").
void checkBoard(const Board& board, const Topology& topology, std::vector<BoardProblem>* problems);

}  // namespace Host
