// The board's hardware tree: medium nodes (SCD, Celestica, I2C, IOPort), accelerators,
// buses, muxes, devices and components, built from the topology JSON document; the label
// index, the loader with reuse of an identical text, lookups and the visitor walk.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Json.h"
#include "zl_api.h"

namespace Drivers {
struct DriverArgs;
}

namespace Topology {

// Address of one device as the hardware access layer uses it: word 0 is the register of the
// transaction in hand, word 1 a packed set of fields (bit 0 least significant).
struct KhamAddress {
    uint32_t reg = 0;
    uint32_t address : 7;
    uint32_t bus : 7;
    uint32_t accel : 7;
    uint32_t requestFlag : 1;
    uint32_t busTimeout : 3;
    uint32_t addrSize : 2;
    uint32_t extraDelay : 1;
    uint32_t writeDelay : 2;
    uint32_t readDelay : 2;

    KhamAddress()
        : address(0), bus(0), accel(0), requestFlag(0), busTimeout(0), addrSize(1), extraDelay(0),
          writeDelay(0), readDelay(0) {}

    // Word 1 as the service reads it.
    uint32_t word1() const {
        uint32_t words[2];
        std::memcpy(words, this, sizeof words);
        return words[1];
    }
    void setWord1(uint32_t word) {
        uint32_t words[2];
        std::memcpy(words, this, sizeof words);
        words[1] = word;
        std::memcpy(this, words, sizeof words);
    }
    // Both words as one number: low 32 bits reg, high 32 bits word 1.
    uint64_t packed() const { return (static_cast<uint64_t>(word1()) << 32) | reg; }
};
static_assert(sizeof(KhamAddress) == 8, "KhamAddress is two 32-bit words");

class TopologyVisitor;

class Node {
  public:
    virtual ~Node() = default;
    virtual bool accept(TopologyVisitor* visitor) const = 0;
};

class MediumNode : public Node {
  public:
    std::string ham;
};

class Bus;
class Device;
class Mux;
class Component;

class Accelerator : public Node {
  public:
    uint32_t id = 0;
    std::map<uint32_t, std::shared_ptr<Bus>> busses;

    bool accept(TopologyVisitor* visitor) const override;
    static std::shared_ptr<Accelerator> fromJSON(const rapidjson::Value& json);
};

class SCD : public MediumNode {
  public:
    uint32_t reserved = 0;  // never set by the loader
    uint32_t pci = 0;
    std::map<uint32_t, std::shared_ptr<Accelerator>> accelerators;

    bool accept(TopologyVisitor* visitor) const override;
    static std::shared_ptr<SCD> fromJSON(const rapidjson::Value& json);
};

class Celestica : public MediumNode {
  public:
    std::map<uint32_t, std::shared_ptr<Accelerator>> accelerators;

    bool accept(TopologyVisitor* visitor) const override;
    static std::shared_ptr<Celestica> fromJSON(const rapidjson::Value& json);
};

class Bus : public Node {
  public:
    uint32_t id = 0;
    std::vector<std::shared_ptr<Device>> devices;
    std::vector<std::shared_ptr<Mux>> muxes;

    bool accept(TopologyVisitor* visitor) const override;
    // Walks devices then muxes, then visits this node as a Bus.
    bool acceptBus(TopologyVisitor* visitor) const;
    static std::shared_ptr<Bus> fromJSON(const rapidjson::Value& json);
    static void init(const std::shared_ptr<Bus>& bus, const rapidjson::Value& json);
};

class I2C : public MediumNode, public Bus {
  public:
    bool simulated = false;

    bool accept(TopologyVisitor* visitor) const override;
    static std::shared_ptr<I2C> fromJSON(const rapidjson::Value& json);
};

class IOPort : public MediumNode, public Bus {
  public:
    bool accept(TopologyVisitor* visitor) const override;
    static std::shared_ptr<IOPort> fromJSON(const rapidjson::Value& json);
};

class Mux : public Node {
  public:
    uint32_t did = 0;
    std::map<uint32_t, std::shared_ptr<Bus>> busses;

    bool accept(TopologyVisitor* visitor) const override;
    static std::shared_ptr<Mux> fromJSON(const rapidjson::Value& json);
};

class Device : public Node {
  public:
    uint32_t did = 0;
    std::shared_ptr<Drivers::DriverArgs> args;  // null when the device names no driver
    std::vector<std::shared_ptr<Component>> components;

    bool accept(TopologyVisitor* visitor) const override;
    static std::shared_ptr<Device> fromJSON(const rapidjson::Value& json);
};

class Component : public Node {
  public:
    uint32_t uid = 0;

    bool accept(TopologyVisitor* visitor) const override;
    static std::shared_ptr<Component> fromJSON(const rapidjson::Value& json);
};

class Topology : public Node {
  public:
    std::vector<std::shared_ptr<MediumNode>> media;

    bool accept(TopologyVisitor* visitor) const override;
    // Builds a new root; throws Utils::ConsistencyError (traced) on the first broken rule.
    static Topology* fromJSON(const rapidjson::Value& json);
};

// One operation per node class: true goes on, false stops the walk. Children are walked
// before their parent; after a stop every ancestor is still visited.
class TopologyVisitor {
  public:
    virtual bool visit(const Component*) { return true; }
    virtual bool visit(const Device*) = 0;
    virtual bool visit(const Mux*) { return true; }
    virtual bool visit(const Bus*) { return true; }
    virtual bool visit(const Accelerator*) { return true; }
    virtual bool visit(const SCD*) { return true; }
    virtual bool visit(const I2C*) { return true; }
    virtual bool visit(const IOPort*) { return true; }
    virtual bool visit(const Celestica*) { return true; }
    virtual bool visit(const Topology*) { return true; }

  protected:
    ~TopologyVisitor() = default;
};

class SearchDeviceVisitor : public TopologyVisitor {
  public:
    explicit SearchDeviceVisitor(uint32_t did) : did(did) {}
    bool visit(const Device* device) override;
    using TopologyVisitor::visit;

    uint32_t did;
    bool found = false;
    const Device* result = nullptr;
};

// Process-wide state of the loaded topology.
extern Topology* _topology;
extern std::map<std::string, std::shared_ptr<Device>> _topology_index;
extern std::string _topology_json;

// 0 loaded (or reused), 3 not JSON (previous state kept), 6 tree not built (no tree).
zl_status loadTopology(const char* text);
Device* getDeviceByLabel(const char* label);
const Device* findDevice(unsigned did);
bool isDeviceObject(const char* text);

// Fills an address record from a device's "address" object; throws on a broken rule.
void fillAddressFromJSON(const rapidjson::Value& value, KhamAddress& address);

// rapidjson's English message for a parse error code, "Unknown error." for others.
const char* parseErrorMessage(rapidjson::ParseErrorCode code);

// Parses a whole NUL-terminated text as one JSON value with the default flags (nothing may
// follow the value). Very deeply nested texts are read by the iterative reader instead, which
// gives the same results without recursing once per level.
void parseDocument(rapidjson::Document& document, const char* text);
// Deepest [ ] / { } nesting of a JSON text, strings skipped; 0 for null.
size_t jsonNestingDepth(const char* text);

}  // namespace Topology
