// Checking a board file and its topology without touching hardware: every device text must
// be a device the library can build for its kind, on a device the topology has.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "BoardFile.h"

namespace Host {

// What the check needs to know of one topology device.
struct TopologyDevice {
    unsigned did = 0;
    std::string label;
    std::string driver;  // "" when the entry names no driver
    int address = -1;    // -1 when it has no address object
    bool isMultiDevice = false;
    std::map<std::string, std::string> driverArgs;
};

struct Topology {
    std::vector<TopologyDevice> devices;  // document order
    std::vector<unsigned> muxDids;        // the "did" of every Mux node

    const TopologyDevice* byDid(unsigned did) const;    // the first with that did
    const TopologyDevice* byLabel(const std::string& label) const;  // the last with that label
};

// The 13 driver names of the library's registry.
const std::vector<std::string>& knownDrivers();

// Whether the text is a decimal integer as the board expects numbers in driver arguments:
// an optional sign and digits only, fitting a 32-bit int.
bool isDecimal(const std::string& text, long* value = nullptr);

// Parses a topology text; false with problems (device "topology") when it is unusable.
bool parseTopology(const std::string& text, Topology* topology, std::vector<BoardProblem>* problems);

// Checks one device text for its kind against the topology; problems name `device.name`.
void checkDevice(const BoardDevice& device, const Topology& topology, std::vector<BoardProblem>* problems);

// Checks the whole board: topology consistency, every device, the references between
// entries ("bay", "tray", "psu", "port") and that texts sharing a "did" agree.
void checkBoard(const Board& board, const Topology& topology, std::vector<BoardProblem>* problems);

}  // namespace Host
