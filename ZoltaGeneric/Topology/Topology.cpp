#include "Topology/Topology.h"

#include <sys/types.h>

#include "Drivers/DriverArgs.h"
#include "Utils.h"

namespace Topology {

Topology* _topology = nullptr;
std::map<std::string, std::shared_ptr<Device>> _topology_index;
std::string _topology_json;

namespace {

using rapidjson::Value;

// Muxes behind muxes: far more levels than any board has, few enough that building and
// walking the tree (both recursive) stay well inside a thread's stack.
constexpr int kMaxMuxNesting = 64;
int muxNesting = 0;

// Counts the mux levels entered while a Mux is being built.
class MuxLevel {
  public:
    MuxLevel() {
        ZL_CHECK_RULE(muxNesting < kMaxMuxNesting, "muxNesting < kMaxMuxNesting");
        ++muxNesting;
    }
    ~MuxLevel() { --muxNesting; }
    MuxLevel(const MuxLevel&) = delete;
    MuxLevel& operator=(const MuxLevel&) = delete;
};

using Json::member;
using Json::readArray;
using Json::readBool;
using Json::readInt;
using Json::readString;
using Json::readUint;

// Children of a node in order; a child that stops the walk stops the siblings after it.
template <class Container>
bool acceptAll(const Container& children, TopologyVisitor* visitor) {
    for (const auto& child : children)
        if (!child->accept(visitor)) return false;
    return true;
}

template <class Map>
bool acceptValues(const Map& children, TopologyVisitor* visitor) {
    for (const auto& entry : children)
        if (!entry.second->accept(visitor)) return false;
    return true;
}

// Bytes the nesting scan stops at: kStructural outside strings, kInString inside them.
constexpr uint8_t kStructural = 1, kInString = 2;
struct ScanStops {
    uint8_t of[256] = {};
    ScanStops() {
        of[0] = kStructural | kInString;
        for (unsigned char c : {'"', '[', ']', '{', '}'}) of[c] |= kStructural;
        of[static_cast<unsigned char>('"')] |= kInString;
        of[static_cast<unsigned char>('\\')] |= kInString;
    }
};

// Depth of [ ] and { } nesting of a JSON text, strings skipped. A plain table-driven loop:
// it runs on every text that is parsed, so it has to be cheap next to the parse itself.
size_t nestingDepth(const char* text) {
    static const ScanStops stops;
    size_t depth = 0, deepest = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    for (;;) {
        while (!(stops.of[*p] & kStructural)) ++p;
        const unsigned char c = *p++;
        if (c == '\0') break;
        if (c == '"') {
            // Skip the string, escapes included; an unterminated string ends the text.
            for (;;) {
                while (!(stops.of[*p] & kInString)) ++p;
                if (*p == '\0') return deepest;
                if (*p++ == '"') break;
                if (*p++ == '\0') return deepest;  // the escaped character
            }
        } else if (c == '[' || c == '{') {
            if (++depth > deepest) deepest = depth;
        } else if (depth > 0) {
            --depth;
        }
    }
    return deepest;
}

// Deeper than this, rapidjson's recursive reader could run out of stack.
constexpr size_t kRecursiveParseDepth = 256;

}  // namespace

// ---------------------------------------------------------------- parsing helpers

void parseDocument(rapidjson::Document& document, const char* text) {
    if (nestingDepth(text) <= kRecursiveParseDepth)
        document.Parse<rapidjson::kParseDefaultFlags>(text);
    else
        document.Parse<rapidjson::kParseIterativeFlag>(text);
}

size_t jsonNestingDepth(const char* text) { return text ? nestingDepth(text) : 0; }

const char* parseErrorMessage(rapidjson::ParseErrorCode code) {
    switch (code) {
        case rapidjson::kParseErrorDocumentEmpty: return "The document is empty.";
        case rapidjson::kParseErrorDocumentRootNotSingular:
            return "The document root must not follow by other values.";
        case rapidjson::kParseErrorValueInvalid: return "Invalid value.";
        case rapidjson::kParseErrorObjectMissName: return "Missing a name for object member.";
        case rapidjson::kParseErrorObjectMissColon: return "Missing a colon after a name of object member.";
        case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
            return "Missing a comma or '}' after an object member.";
        case rapidjson::kParseErrorArrayMissCommaOrSquareBracket:
            return "Missing a comma or ']' after an array element.";
        case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
            return "Incorrect hex digit after \\u escape in string.";
        case rapidjson::kParseErrorStringUnicodeSurrogateInvalid: return "The surrogate pair in string is invalid.";
        case rapidjson::kParseErrorStringEscapeInvalid: return "Invalid escape character in string.";
        case rapidjson::kParseErrorStringMissQuotationMark: return "Missing a closing quotation mark in string.";
        case rapidjson::kParseErrorStringInvalidEncoding: return "Invalid encoding in string.";
        case rapidjson::kParseErrorNumberTooBig: return "Number too big to be stored in double.";
        case rapidjson::kParseErrorNumberMissFraction: return "Miss fraction part in number.";
        case rapidjson::kParseErrorNumberMissExponent: return "Miss exponent in number.";
        case rapidjson::kParseErrorTermination: return "Terminate parsing due to Handler error.";
        case rapidjson::kParseErrorUnspecificSyntaxError: return "Unspecific syntax error.";
        default: return "Unknown error.";
    }
}

// ---------------------------------------------------------------- address record

void fillAddressFromJSON(const rapidjson::Value& value, KhamAddress& address) {
    ZL_CHECK_RULE(value.IsObject(), "value.IsObject()");
    ZL_CHECK_RULE(value.HasMember("address"), "value.HasMember( \"address\" )");

    // Built aside so that an invalid object leaves the caller's record as it was.
    KhamAddress result;
    result.reg = 0;
    result.setWord1(0);
    result.addrSize = 1;

    result.address = readUint(*member(value, "address")) & 0x7f;
    if (const Value* v = member(value, "writeDelay")) result.writeDelay = readUint(*v) & 0x3;
    if (const Value* v = member(value, "readDelay")) result.readDelay = readUint(*v) & 0x3;
    if (const Value* v = member(value, "busTimeout")) result.busTimeout = readUint(*v) & 0x7;
    if (const Value* v = member(value, "extraDelay")) result.extraDelay = readUint(*v) & 0x1;
    if (const Value* v = member(value, "addrSize")) {
        result.addrSize = readUint(*v) & 0x3;
        ZL_CHECK_RULE(result.addrSize == 1 || result.addrSize == 2,
                      "address.addrSize == 1 || address.addrSize == 2");
    }
    if (const Value* v = member(value, "accel")) result.accel = readUint(*v) & 0x7f;
    address = result;
}

// ---------------------------------------------------------------- node factories

std::shared_ptr<Component> Component::fromJSON(const rapidjson::Value& json) {
    ZL_CHECK_RULE(json.IsObject(), "json.IsObject()");
    ZL_CHECK_RULE(json.HasMember("uid"), "json.HasMember( \"uid\" )");
    auto component = std::make_shared<Component>();
    component->uid = readUint(*member(json, "uid"));
    return component;
}

std::shared_ptr<Device> Device::fromJSON(const rapidjson::Value& json) {
    ZL_CHECK_RULE(json.IsObject(), "json.IsObject()");
    ZL_CHECK_RULE(json.HasMember("did"), "json.HasMember( \"did\" )");
    auto device = std::make_shared<Device>();
    device->did = readUint(*member(json, "did"));
    if (json.HasMember("driver")) device->args = Drivers::DriverArgs::fromJSON(json);
    if (const Value* components = member(json, "components")) {
        for (auto it = readArray(*components).Begin(); it != components->End(); ++it) {
            ZL_CHECK_RULE(it->IsObject(), "it->IsObject()");
            device->components.push_back(Component::fromJSON(*it));
        }
    }
    if (const Value* label = member(json, "label")) _topology_index[readString(*label)] = device;
    return device;
}

std::shared_ptr<Mux> Mux::fromJSON(const rapidjson::Value& json) {
    ZL_CHECK_RULE(json.IsObject(), "json.IsObject()");
    ZL_CHECK_RULE(json.HasMember("did"), "json.HasMember( \"did\" )");
    MuxLevel level;
    auto mux = std::make_shared<Mux>();
    mux->did = readUint(*member(json, "did"));
    if (const Value* busses = member(json, "busses")) {
        for (auto it = readArray(*busses).Begin(); it != busses->End(); ++it) {
            ZL_CHECK_RULE(it->IsObject(), "it->IsObject()");
            auto bus = Bus::fromJSON(*it);
            mux->busses[bus->id] = bus;  // a later bus with the same id replaces the earlier one
        }
    }
    return mux;
}

void Bus::init(const std::shared_ptr<Bus>& bus, const rapidjson::Value& json) {
    ZL_CHECK_RULE(json.IsObject(), "json.IsObject()");
    ZL_CHECK_RULE(json.HasMember("id"), "json.HasMember( \"id\" )");
    // A negative id is kept as its 32-bit two's-complement pattern.
    bus->id = static_cast<uint32_t>(readInt(*member(json, "id")));
    if (const Value* devices = member(json, "devices")) {
        for (auto it = readArray(*devices).Begin(); it != devices->End(); ++it) {
            ZL_CHECK_RULE(it->IsObject(), "it->IsObject()");
            bus->devices.push_back(Device::fromJSON(*it));
        }
    }
    if (const Value* muxes = member(json, "muxes")) {
        for (auto it = readArray(*muxes).Begin(); it != muxes->End(); ++it) {
            ZL_CHECK_RULE(it->IsObject(), "it->IsObject()");
            bus->muxes.push_back(Mux::fromJSON(*it));
        }
    }
}

std::shared_ptr<Bus> Bus::fromJSON(const rapidjson::Value& json) {
    auto bus = std::make_shared<Bus>();
    init(bus, json);
    return bus;
}

std::shared_ptr<I2C> I2C::fromJSON(const rapidjson::Value& json) {
    auto i2c = std::make_shared<I2C>();
    Bus::init(i2c, json);
    if (const Value* simulated = member(json, "simulated")) i2c->simulated = readBool(*simulated);
    return i2c;
}

std::shared_ptr<IOPort> IOPort::fromJSON(const rapidjson::Value& json) {
    auto ioPort = std::make_shared<IOPort>();
    Bus::init(ioPort, json);
    return ioPort;
}

std::shared_ptr<Accelerator> Accelerator::fromJSON(const rapidjson::Value& json) {
    ZL_CHECK_RULE(json.IsObject(), "json.IsObject()");
    ZL_CHECK_RULE(json.HasMember("id"), "json.HasMember( \"id\" )");
    auto accel = std::make_shared<Accelerator>();
    accel->id = readUint(*member(json, "id"));
    if (const Value* busses = member(json, "busses")) {
        ZL_CHECK_RULE(busses->IsArray(), "busses.IsArray()");
        for (auto it = busses->Begin(); it != busses->End(); ++it) {
            auto bus = Bus::fromJSON(*it);
            ZL_CHECK_RULE(accel->busses.find(bus->id) == accel->busses.end(),
                          "accel->busses.find( bus->id ) == accel->busses.end()");
            accel->busses[bus->id] = bus;
        }
    }
    return accel;
}

std::shared_ptr<SCD> SCD::fromJSON(const rapidjson::Value& json) {
    ZL_CHECK_RULE(json.IsObject(), "json.IsObject()");
    ZL_CHECK_RULE(json.HasMember("pci"), "json.HasMember( \"pci\" )");
    auto scd = std::make_shared<SCD>();
    scd->pci = readUint(*member(json, "pci"));
    if (const Value* accels = member(json, "accelerators")) {
        ZL_CHECK_RULE(accels->IsArray(), "accels.IsArray()");
        for (auto it = accels->Begin(); it != accels->End(); ++it) {
            auto accel = Accelerator::fromJSON(*it);
            ZL_CHECK_RULE(scd->accelerators.find(accel->id) == scd->accelerators.end(),
                          "scd->accelerators.find( accel->id ) == scd->accelerators.end()");
            scd->accelerators[accel->id] = accel;
        }
    }
    return scd;
}

std::shared_ptr<Celestica> Celestica::fromJSON(const rapidjson::Value& json) {
    ZL_CHECK_RULE(json.IsObject(), "json.IsObject()");
    auto cel = std::make_shared<Celestica>();
    if (const Value* accels = member(json, "accelerators")) {
        ZL_CHECK_RULE(accels->IsArray(), "accels.IsArray()");
        for (auto it = accels->Begin(); it != accels->End(); ++it) {
            auto accel = Accelerator::fromJSON(*it);
            ZL_CHECK_RULE(cel->accelerators.find(accel->id) == cel->accelerators.end(),
                          "cel->accelerators.find( accel->id ) == cel->accelerators.end()");
            cel->accelerators[accel->id] = accel;
        }
    }
    return cel;
}

Topology* Topology::fromJSON(const rapidjson::Value& json) {
    ZL_CHECK_RULE(json.IsArray(), "json.IsArray()");
    std::unique_ptr<Topology> root(new Topology);
    for (auto it = json.Begin(); it != json.End(); ++it) {
        ZL_CHECK_RULE(it->IsObject(), "it->IsObject()");
        ZL_CHECK_RULE(it->HasMember("type"), "it->HasMember( \"type\" )");
        ZL_CHECK_RULE(it->HasMember("ham"), "it->HasMember( \"ham\" )");
        const std::string type = readString(*member(*it, "type"));

        std::shared_ptr<MediumNode> node;
        if (type == "SCD")
            node = SCD::fromJSON(*it);
        else if (type == "I2C")
            node = I2C::fromJSON(*it);
        else if (type == "IOPort")
            node = IOPort::fromJSON(*it);
        else if (type == "Celestica")
            node = Celestica::fromJSON(*it);
        else
            ZL_CHECK_RULE(false, "false && \"Unknown type\"");

        node->ham = readString(*member(*it, "ham"));
        root->media.push_back(node);
    }
    return root.release();
}

// ---------------------------------------------------------------- visitor walk
//
// Children first, then the node itself. After a child stopped the walk the node is still
// visited, but the walk reports the stop whatever that visit answers.

bool Component::accept(TopologyVisitor* visitor) const { return visitor->visit(this); }

bool Device::accept(TopologyVisitor* visitor) const {
    const bool goOn = acceptAll(components, visitor);
    const bool self = visitor->visit(this);
    return goOn && self;
}

bool Mux::accept(TopologyVisitor* visitor) const {
    const bool goOn = acceptValues(busses, visitor);
    const bool self = visitor->visit(this);
    return goOn && self;
}

bool Bus::acceptBus(TopologyVisitor* visitor) const {
    const bool goOn = acceptAll(devices, visitor) && acceptAll(muxes, visitor);
    const bool self = visitor->visit(static_cast<const Bus*>(this));
    return goOn && self;
}

bool Bus::accept(TopologyVisitor* visitor) const { return acceptBus(visitor); }

bool I2C::accept(TopologyVisitor* visitor) const {
    const bool goOn = acceptBus(visitor);
    const bool self = visitor->visit(this);
    return goOn && self;
}

bool IOPort::accept(TopologyVisitor* visitor) const {
    const bool goOn = acceptBus(visitor);
    const bool self = visitor->visit(this);
    return goOn && self;
}

bool Accelerator::accept(TopologyVisitor* visitor) const {
    const bool goOn = acceptValues(busses, visitor);
    const bool self = visitor->visit(this);
    return goOn && self;
}

bool SCD::accept(TopologyVisitor* visitor) const {
    const bool goOn = acceptValues(accelerators, visitor);
    const bool self = visitor->visit(this);
    return goOn && self;
}

bool Celestica::accept(TopologyVisitor* visitor) const {
    const bool goOn = acceptValues(accelerators, visitor);
    const bool self = visitor->visit(this);
    return goOn && self;
}

bool Topology::accept(TopologyVisitor* visitor) const {
    const bool goOn = acceptAll(media, visitor);
    const bool self = visitor->visit(this);
    return goOn && self;
}

bool SearchDeviceVisitor::visit(const Device* device) {
    if (device->did != did) return true;
    zl_trace(2, "Device %u found in topology", device->did);
    result = device;
    found = true;
    return false;
}

// ---------------------------------------------------------------- loading and lookups

namespace {

void dropTree() {
    delete _topology;
    _topology = nullptr;
    _topology_index.clear();
}

}  // namespace

zl_status loadTopology(const char* text) {
    bool replacing = false;  // the previous tree has been taken out of the process state
    try {
        if (!text) text = "";  // nothing given reads as an empty document
        if (_topology && _topology_json == text) {
            zl_trace(2, "topology is the same as the previously loaded one (using it)");
            return ZL_STATUS_OK;
        }
        zl_trace(2, "loading topology json");

        rapidjson::Document document;
        parseDocument(document, text);
        if (document.HasParseError()) {
            zl_trace(2, "failed to load topology from json: %s offset %zd",
                     parseErrorMessage(document.GetParseError()),
                     static_cast<ssize_t>(document.GetErrorOffset()));
            return ZL_STATUS_BAD_INPUT;
        }

        // The previous tree leaves the process state now. It is freed only after the new
        // tree is built: freeing a large tree first scatters the heap the new one is then
        // built in, which makes large loads markedly slower. Nothing can look at either
        // tree in between.
        std::unique_ptr<Topology> previous(_topology);
        _topology = nullptr;
        std::map<std::string, std::shared_ptr<Device>> previousIndex;
        previousIndex.swap(_topology_index);
        replacing = true;
        try {
            _topology = Topology::fromJSON(document);
            _topology_json = text;
            return ZL_STATUS_OK;
        } catch (const Utils::ConsistencyError&) {
            // the broken rule is already traced
        } catch (const std::exception& e) {
            zl_trace(0, "%s", e.what());
        }
        dropTree();
        zl_trace(2, "failed to create topology tree");
        return ZL_STATUS_FAILED;
    } catch (...) {
        // A failure outside the build itself (memory, say): the state stays as it was, or,
        // once the previous tree was taken out, ends with no tree.
        if (replacing) dropTree();
        zl_trace(2, "failed to create topology tree");
        return ZL_STATUS_FAILED;
    }
}

Device* getDeviceByLabel(const char* label) {
    if (!label) return nullptr;
    auto it = _topology_index.find(label);
    return it == _topology_index.end() ? nullptr : it->second.get();
}

const Device* findDevice(unsigned did) {
    if (!_topology) return nullptr;
    SearchDeviceVisitor search(did);
    _topology->accept(&search);
    return search.result;
}

bool isDeviceObject(const char* text) { return text && text[0] == '{'; }

}  // namespace Topology
