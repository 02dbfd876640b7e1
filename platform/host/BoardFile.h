// The board file: which topology the board has, which emulation state goes with it, and the
// logical devices the host adds, kind by kind, each with a display name and its device text.
#pragma once

#include <string>
#include <vector>

namespace Host {

enum class Kind { System, TempSensor, Fan, Psu, Slot, Led, Xcvr, Gpio, Smbus };

constexpr Kind kAllKinds[] = {Kind::System, Kind::TempSensor, Kind::Fan,  Kind::Psu,  Kind::Slot,
                              Kind::Led,    Kind::Xcvr,       Kind::Gpio, Kind::Smbus};

// "system", "temperature sensor", "fan", "power supply", "slot", "LED", "transceiver",
// "GPIO", "SMBus proxy".
const char* kindName(Kind kind);
// The board file key of the kind's list ("temperatureSensors", "fans", ...); "system" for
// the single system entry.
const char* kindKey(Kind kind);
// The library's name part of the kind's functions: zl_<part>_init, zl_<part>_add.
const char* kindSymbol(Kind kind);

struct BoardDevice {
    Kind kind = Kind::System;
    std::string name;
    // The device text handed to the add function: the "device" object serialised compactly,
    // or the "device" string as written (a string lets a board carry any text at all).
    std::string text;
    // Temperature sensors.
    double alert = 0;
    double critical = 0;
    // Grouping for the report: a slot's "slotType" ("psuBay", "fanTray"), a power supply's
    // "bay", a fan's "tray" or "psu", an SMBus proxy's "port".
    std::string slotType;
    std::string bay;
    std::string tray;
    std::string psu;
    std::string port;
    // SMBus proxies: the address given to zl_smbus_add.
    int address = 0;
    // LEDs: where the LED's field can be read back (register of the LED's device, width in
    // bits; the field's lowest bit is the device text's "bitOffset"). Register -1: none.
    int readbackRegister = -1;
    int readbackWidth = 0;
};

struct Board {
    std::string path;  // the board file as given
    std::string dir;   // its directory; relative file names are taken from there
    std::string name;  // "board", or "" when absent
    std::string topologyFile;
    std::string emulationFile;
    bool hasSystem = false;
    BoardDevice system;
    std::vector<BoardDevice> devices;  // every other entry, in file order, kind by kind

    std::vector<const BoardDevice*> ofKind(Kind kind) const;
    const BoardDevice* find(Kind kind, const std::string& name) const;
    // The topology file's path: the name as written when absolute, else under `dir`.
    std::string topologyPath() const;
};

struct BoardProblem {
    std::string device;  // display name, or the board file key the problem is about
    std::string rule;    // what is wrong, in words
};

// Parses a board file's text. Entries that can't be used (not an object, no "name", no
// "device") are reported and left out; the rest is kept. False when the text itself is not
// a usable board file (not JSON, not an object, no "topology").
bool parseBoard(const std::string& text, const std::string& path, Board* board,
                std::vector<BoardProblem>* problems);

// Reads and parses a board file; a file that can't be read is a problem too.
bool loadBoard(const std::string& path, Board* board, std::vector<BoardProblem>* problems);

// Board and topology files are regular files of at most kMaxBoardFileBytes, with JSON
// nested at most kMaxBoardFileDepth levels deep.
constexpr size_t kMaxBoardFileBytes = size_t(16) << 20;
constexpr size_t kMaxBoardFileDepth = 64;

// Reads a whole regular file of at most kMaxBoardFileBytes. false when it can't, with
// *why (when given) naming the file and the reason.
bool readFile(const std::string& path, std::string* text, std::string* why = nullptr);

}  // namespace Host
