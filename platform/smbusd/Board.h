// The emulated board: chips placed at the bus addresses the topology gives them,
// reached through register-controlled muxes, with bindings between chips, fault
// injection, and the control commands that change the board while it runs.
// Board.cpp builds the board and runs transactions, BoardState.cpp reads the state
// file, BoardControl.cpp runs the control commands.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "BoardModel.h"
#include "chips/Chip.h"
#include "ZoltaUtil/Smbus.pb.h"

namespace Smbusd {

// Where a transaction goes: bus master kind, PCI address (SCD only), accelerator
// (SCD and Celestica only), top bus and 7-bit address.
struct BusKey {
    int mastertype = 0;
    uint32_t pci = 0;
    uint32_t accel = 0;
    uint32_t bus = 0;
    uint32_t address = 0;
    bool operator<(const BusKey& o) const {
        return std::tie(mastertype, pci, accel, bus, address) < std::tie(o.mastertype, o.pci, o.accel, o.bus, o.address);
    }
    // Normalises a key as the service sees it: fields a master kind does not use are 0.
    static BusKey make(int mastertype, uint32_t pci, uint32_t accel, uint32_t bus, uint32_t address);
    std::string describe() const;
};

enum class FaultKind { None, Nak, Count, Close, Garbage, Delay };

struct Fault {
    FaultKind kind = FaultKind::None;
    int delayMs = 0;
};

// A fault as the control language writes it, from words[at] on: nak, count, close,
// garbage, delay MS, off. false with *err on anything else.
bool parseFault(const std::vector<std::string>& words, size_t at, Fault* fault, std::string* err);
std::string faultText(const Fault& fault);

// What the server must do with the answer of one batch.
struct BatchOutcome {
    Smbus::TransactionResponse response;
    FaultKind action = FaultKind::None;  // Count is already applied to response
    int delayMs = 0;
};

class Board {
  public:
    Board() = default;
    // A copy is a second board in the same state, every chip included.
    Board(const Board&) = default;
    Board& operator=(const Board&) = delete;
    Board(Board&&) = default;
    Board& operator=(Board&&) = default;

    // Builds the board from the topology text and an optional state text.
    // false with *err on a document the board cannot use.
    bool load(const std::string& topologyText, const std::string& stateText, std::string* err);

    // Runs one batch in order. `client` and `log` only feed the transaction log.
    BatchOutcome execute(const Smbus::TransactionRequest& request, int client, int logLevel, std::string* log);
    // The same into *out, whose response is cleared first: a server that keeps one outcome
    // for every batch reuses its entries instead of allocating them per request.
    void execute(const Smbus::TransactionRequest& request, int client, int logLevel, std::string* log,
                 BatchOutcome* out);

    // One control command (already split into words). Output lines go to *out;
    // false with *err on failure.
    bool control(const std::vector<std::string>& words, std::string* out, std::string* err);

    // Problems of the topology that do not stop the service (e.g. a mux whose
    // device is missing), one text each, found by load().
    const std::vector<std::string>& warnings() const { return warnings_; }

    int logLevel() const { return logLevel_; }
    void setLogLevel(int level) { logLevel_ = level; }

  private:
    struct MuxHop {
        uint32_t muxDid = 0;
        uint8_t value = 0;
        int chip = -1;  // the chip holding the mux register (resolved after the walk)
        uint8_t reg = 0;
        uint8_t reset = 0;
    };
    // A topology device and where the service answers for it.
    struct Device : BoardModel::Device {
        BusKey key;                // valid when it has an address
        std::vector<MuxHop> hops;  // the muxes of its path
        int chip = -1;
    };
    struct Binding {
        std::string property;
        int targetChip = -1;
        uint8_t reg = 0;
        uint8_t bit = 0;
        bool activeLow = false;
    };
    struct ChipSlot {
        ChipSlot() = default;
        ChipSlot(ChipSlot&&) = default;
        ChipSlot& operator=(ChipSlot&&) = default;
        ChipSlot(const ChipSlot& o)
            : chip(o.chip ? o.chip->clone() : nullptr), key(o.key), hops(o.hops), devices(o.devices), fault(o.fault),
              bindings(o.bindings), ipmiId(o.ipmiId) {}
        std::unique_ptr<Chip> chip;
        BusKey key;
        std::vector<MuxHop> hops;
        std::vector<int> devices;
        Fault fault;
        std::vector<Binding> bindings;
        std::string ipmiId;
    };

    bool applyState(const std::string& stateText, std::string* err);
    void applyBindings(int chip, const std::string& property);
    void applyAllBindings();
    int findChip(const std::string& device, std::string* err) const;
    bool reachable(const ChipSlot& slot) const;
    int route(const BusKey& key) const;

    bool cmdList(std::string* out) const;
    bool cmdIpmi(const std::vector<std::string>& w, std::string* out, std::string* err) const;

    std::vector<Device> devices_;
    std::vector<ChipSlot> chips_;
    std::multimap<BusKey, int> byKey_;
    std::map<int, std::pair<uint8_t, uint8_t>> muxRegs_;  // chip holding a mux register -> (reg, reset)
    Fault globalFault_;
    int logLevel_ = 0;
    std::vector<std::string> warnings_;
};

}  // namespace Smbusd
