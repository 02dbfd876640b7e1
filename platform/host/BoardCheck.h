// Checking a board file and its topology without touching hardware: every device text must
// be a device the library can build for its kind, on a device the topology has.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "BoardFile.h"
#include "BoardModel.h"
#include "zl_catalogue.h"

namespace Host {

// The topology as the stand-ins share it (platform/board/BoardModel.h).
using Topology = BoardModel::Topology;
using TopologyDevice = BoardModel::Device;

// What the check knows of the library it will load: the driver catalogue the library reports
// (zl_driver_catalogue) and the kinds it has an add function for. Driver rules come only from
// here, so the check accepts exactly the device texts the library accepts.
struct LibraryCatalogue {
    const zl_catalogue* drivers = nullptr;  // null: the library reports no catalogue
    std::set<Kind> kinds;

    const zl_driver_entry* find(const std::string& name) const;  // null when not in the catalogue
};

// Whether the text is a decimal integer as the board expects numbers in driver arguments:
// an optional sign and digits only, fitting a 32-bit int.
bool isDecimal(const std::string& text, long* value = nullptr);

// Parses a topology text; false with its problems (device "topology") when it has any.
bool parseTopology(const std::string& text, Topology* topology, std::vector<BoardProblem>* problems);

// Checks one device text for its kind against the topology and the library's catalogue:
// the driver must be in the library and make the kind, and its driver arguments must pass
// the catalogue's rules the way the library reads them (GPIO members of a multi-device are
// checked as GPIO device texts). Problems name `device.name`; a text argument holding a NUL
// character, which the library cuts there, is a problem starting "warning: ".
void checkDevice(const BoardDevice& device, const Topology& topology, const LibraryCatalogue& library,
                 std::vector<BoardProblem>* problems);

// Checks the whole board: topology consistency (the devices of mux nodes against the
// catalogue too), every device, the references between entries ("bay", "tray", "psu",
// "port") and that texts sharing a "did" agree.
void checkBoard(const Board& board, const Topology& topology, const LibraryCatalogue& library,
                std::vector<BoardProblem>* problems);

}  // namespace Host
