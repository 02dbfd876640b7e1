#include "BoardFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace Host {

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::System: return "system";
        case Kind::TempSensor: return "temperature sensor";
        case Kind::Fan: return "fan";
        case Kind::Psu: return "power supply";
        case Kind::Slot: return "slot";
        case Kind::Led: return "LED";
        case Kind::Xcvr: return "transceiver";
        case Kind::Gpio: return "GPIO";
        case Kind::Smbus: return "SMBus proxy";
    }
    return "?";
}

const char* kindKey(Kind kind) {
    switch (kind) {
        case Kind::System: return "system";
        case Kind::TempSensor: return "temperatureSensors";
        case Kind::Fan: return "fans";
        case Kind::Psu: return "powerSupplies";
        case Kind::Slot: return "slots";
        case Kind::Led: return "leds";
        case Kind::Xcvr: return "transceivers";
        case Kind::Gpio: return "gpios";
        case Kind::Smbus: return "smbusProxies";
    }
    return "?";
}

const char* kindSymbol(Kind kind) {
    switch (kind) {
        case Kind::System: return "system";
        case Kind::TempSensor: return "temp_sensor";
        case Kind::Fan: return "fan";
        case Kind::Psu: return "psu";
        case Kind::Slot: return "slot";
        case Kind::Led: return "led";
        case Kind::Xcvr: return "xcvr";
        case Kind::Gpio: return "gpio";
        case Kind::Smbus: return "smbus";
    }
    return "?";
}

std::vector<const BoardDevice*> Board::ofKind(Kind kind) const {
    std::vector<const BoardDevice*> out;
    for (const auto& device : devices)
        if (device.kind == kind) out.push_back(&device);
    return out;
}

const BoardDevice* Board::find(Kind kind, const std::string& wanted) const {
    for (const auto& device : devices)
        if (device.kind == kind && device.name == wanted) return &device;
    return nullptr;
}

std::string Board::topologyPath() const {
    if (topologyFile.empty() || topologyFile[0] == '/' || dir.empty()) return topologyFile;
    return dir + "/" + topologyFile;
}

bool readFile(const std::string& path, std::string* text, std::string* why) {
    auto fail = [&](const std::string& reason) {
        if (why) *why = path + ": " + reason;
        return false;
    };
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(std::strerror(errno));
    struct stat st{};
    if (::fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail("not a regular file");
    }
    std::string data;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int saved = errno;
            ::close(fd);
            return fail(std::strerror(saved));
        }
        if (n == 0) break;
        if (data.size() + size_t(n) > kMaxBoardFileBytes) {
            ::close(fd);
            return fail("larger than the limit of " + std::to_string(kMaxBoardFileBytes) + " bytes");
        }
        data.append(chunk, size_t(n));
    }
    ::close(fd);
    *text = std::move(data);
    return true;
}

namespace {

// The deepest nesting of arrays and objects in a JSON text (strings skipped), counted
// without parsing: the reader and the writer both recurse once per level.
size_t nestingDepth(const std::string& text) {
    size_t depth = 0, deepest = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

std::string serialise(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return buffer.GetString();
}

std::string stringMember(const rapidjson::Value& object, const char* key) {
    auto it = object.FindMember(key);
    if (it == object.MemberEnd() || !it->value.IsString()) return "";
    return it->value.GetString();
}

// Reads one entry; false (with a problem) when it can't be used at all.
bool parseEntry(Kind kind, const rapidjson::Value& entry, size_t index, BoardDevice* out,
                std::vector<BoardProblem>* problems) {
    std::string where = std::string(kindKey(kind)) + "[" + std::to_string(index) + "]";
    if (!entry.IsObject()) {
        problems->push_back({where, "entry is not a JSON object"});
        return false;
    }
    auto name = entry.FindMember("name");
    if (name == entry.MemberEnd() || !name->value.IsString() || name->value.GetStringLength() == 0) {
        problems->push_back({where, "entry has no \"name\" string"});
        return false;
    }
    out->kind = kind;
    out->name = name->value.GetString();
    auto device = entry.FindMember("device");
    if (device == entry.MemberEnd()) {
        problems->push_back({out->name, "entry has no \"device\" text"});
        return false;
    }
    if (device->value.IsString()) {
        out->text = device->value.GetString();
    } else if (device->value.IsObject()) {
        out->text = serialise(device->value);
    } else {
        problems->push_back({out->name, "\"device\" is neither a JSON object nor a string"});
        return false;
    }
    out->slotType = stringMember(entry, "slotType");
    out->bay = stringMember(entry, "bay");
    out->tray = stringMember(entry, "tray");
    out->psu = stringMember(entry, "psu");
    out->port = stringMember(entry, "port");

    if (kind == Kind::TempSensor) {
        for (auto [key, field] : {std::pair<const char*, double*>{"alert", &out->alert}, {"critical", &out->critical}}) {
            auto it = entry.FindMember(key);
            if (it == entry.MemberEnd() || !it->value.IsNumber()) {
                problems->push_back({out->name, std::string("temperature sensor needs a number \"") + key + "\""});
                return false;
            }
            *field = it->value.GetDouble();
        }
    }
    if (kind == Kind::Smbus) {
        auto it = entry.FindMember("address");
        if (it == entry.MemberEnd() || !it->value.IsInt() || it->value.GetInt() < 0 || it->value.GetInt() > 127) {
            problems->push_back({out->name, "SMBus proxy needs an \"address\" from 0 to 127"});
            return false;
        }
        out->address = it->value.GetInt();
    }
    if (kind == Kind::Led) {
        auto it = entry.FindMember("readback");
        if (it != entry.MemberEnd()) {
            const auto& rb = it->value;
            auto reg = rb.IsObject() ? rb.FindMember("register") : rb.MemberEnd();
            auto width = rb.IsObject() ? rb.FindMember("width") : rb.MemberEnd();
            if (!rb.IsObject() || reg == rb.MemberEnd() || width == rb.MemberEnd() || !reg->value.IsInt() ||
                !width->value.IsInt() || reg->value.GetInt() < 0 || reg->value.GetInt() > 255 ||
                width->value.GetInt() < 1 || width->value.GetInt() > 8) {
                problems->push_back({out->name, "\"readback\" needs \"register\" 0-255 and \"width\" 1-8"});
            } else {
                out->readbackRegister = reg->value.GetInt();
                out->readbackWidth = width->value.GetInt();
            }
        }
    }
    return true;
}

// The entry already read under `name`, of any kind (the system entry included), or null.
const BoardDevice* deviceNamed(const Board& board, const std::string& name) {
    if (board.hasSystem && board.system.name == name) return &board.system;
    for (const auto& d : board.devices)
        if (d.name == name) return &d;
    return nullptr;
}

}  // namespace

bool parseBoard(const std::string& text, const std::string& path, Board* board, std::vector<BoardProblem>* problems) {
    *board = Board();
    board->path = path;
    auto slash = path.rfind('/');
    board->dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));

    if (nestingDepth(text) > kMaxBoardFileDepth) {
        problems->push_back({"board file", path + ": nested deeper than the limit of " +
                                               std::to_string(kMaxBoardFileDepth) + " levels"});
        return false;
    }
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.HasParseError()) {
        problems->push_back({"board file", std::string("not JSON: ") + rapidjson::GetParseError_En(doc.GetParseError()) +
                                               " (offset " + std::to_string(doc.GetErrorOffset()) + ")"});
        return false;
    }
    if (!doc.IsObject()) {
        problems->push_back({"board file", "not a JSON object"});
        return false;
    }
    board->name = stringMember(doc, "board");
    board->topologyFile = stringMember(doc, "topology");
    board->emulationFile = stringMember(doc, "emulation");
    if (board->topologyFile.empty()) {
        problems->push_back({"board file", "no \"topology\" file name"});
        return false;
    }
    auto system = doc.FindMember("system");
    if (system != doc.MemberEnd()) board->hasSystem = parseEntry(Kind::System, system->value, 0, &board->system, problems);

    for (Kind kind : kAllKinds) {
        if (kind == Kind::System) continue;
        auto list = doc.FindMember(kindKey(kind));
        if (list == doc.MemberEnd()) continue;
        if (!list->value.IsArray()) {
            problems->push_back({kindKey(kind), "is not a JSON array"});
            continue;
        }
        size_t index = 0;
        for (const auto& entry : list->value.GetArray()) {
            BoardDevice device;
            if (parseEntry(kind, entry, index, &device, problems)) {
                // Names are the board's own: commands, reports and metric labels name a device
                // by its name alone, so one name is one device whatever its kind.
                const BoardDevice* taken = deviceNamed(*board, device.name);
                if (taken == nullptr)
                    board->devices.push_back(std::move(device));
                else if (taken->kind == kind)
                    problems->push_back({device.name, std::string("a second ") + kindName(kind) + " has this name"});
                else
                    problems->push_back({device.name, std::string("the name of a ") + kindName(taken->kind) +
                                                          " already; names are unique across the board"});
            }
            ++index;
        }
    }
    return true;
}

bool loadBoard(const std::string& path, Board* board, std::vector<BoardProblem>* problems) {
    std::string text, why;
    if (!readFile(path, &text, &why)) {
        problems->push_back({"board file", "cannot read " + why});
        return false;
    }
    return parseBoard(text, path, board, problems);
}

}  // namespace Host
