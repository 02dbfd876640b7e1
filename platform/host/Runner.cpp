#include "Runner.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "BoardCheck.h"
#include "HostServices.h"
#include "LibraryCall.h"

namespace Host {

namespace {

// Calls the kind's add function with the device text. The library keeps exceptions inside
// its entry points; one that doesn't still must not end the host.
void* callAdd(const BoardDevice& device, void* fn, std::string* why) {
    const char* text = device.text.c_str();
    try {
        switch (device.kind) {
            case Kind::System: return reinterpret_cast<zl_system* (*)(const char*)>(fn)(text);
            case Kind::TempSensor:
                return reinterpret_cast<zl_temp_sensor* (*)(const char*, float, float)>(fn)(
                    text, static_cast<float>(device.alert), static_cast<float>(device.critical));
            case Kind::Smbus:
                return reinterpret_cast<zl_smbus* (*)(const char*, unsigned char)>(fn)(
                    text, static_cast<unsigned char>(device.address));
            default: return reinterpret_cast<void* (*)(const char*)>(fn)(text);
        }
    } catch (const std::exception& e) {
        *why = std::string("add threw: ") + e.what();
    } catch (...) {
        *why = "add threw an exception";
    }
    return nullptr;
}

}  // namespace

std::string textDriverArg(const std::string& text, const char* key) {
    rapidjson::Document doc;
    doc.Parse(text.c_str());
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("driverArgs") || !doc["driverArgs"].IsObject())
        return "";
    const auto& args = doc["driverArgs"];
    auto it = args.FindMember(key);
    if (it == args.MemberEnd()) return "";
    if (it->value.IsString()) return it->value.GetString();
    if (it->value.IsInt()) return std::to_string(it->value.GetInt());
    return "";
}

Runner::Runner() { std::fill(std::begin(initStatus_), std::end(initStatus_), kNotAdded); }

bool Runner::start(const std::string& boardPath, const std::string& libraryPath) {
    std::vector<BoardProblem> boardProblems;
    bool ok = loadBoard(boardPath, &board, &boardProblems);
    for (const auto& p : boardProblems) {
        if (!ok) std::fprintf(stderr, "zolta-host: %s: %s: %s\n", boardPath.c_str(), p.device.c_str(), p.rule.c_str());
        else problems.push_back({p.device, "board entry", p.rule, ""});
    }
    if (!ok) return false;
    std::string why;
    if (!readFile(board.topologyPath(), &topologyText, &why)) {
        std::fprintf(stderr, "zolta-host: cannot read topology %s\n", why.c_str());
        return false;
    }
    std::string error;
    if (!library.open(libraryPath, &error)) {
        std::fprintf(stderr, "zolta-host: cannot load library: %s\n", error.c_str());
        return false;
    }
    return true;
}

std::string serviceSocketPath() {
    const char* env = std::getenv("ZOLTA_SMBUS_SOCKET");
    return env && *env ? env : "/run/zolta/smbus.sock";
}

std::string serviceProblem(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return std::strerror(ENAMETOOLONG);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return std::strerror(errno);
    int rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    int error = errno;
    close(fd);
    if (rc == 0 || error == EAGAIN || error == EINPROGRESS) return "";
    return std::strerror(error);
}

namespace {

// Says on a terminal that the host is waiting when the library's init takes longer than a
// moment (it retries the connection once a second, 30 times).
class WaitingNotice {
  public:
    explicit WaitingNotice(const std::string& path) {
        if (!isatty(STDERR_FILENO)) return;
        thread_ = std::thread([this, path] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!done_.wait_for(lock, std::chrono::milliseconds(1500), [this] { return finished_; }))
                std::fprintf(stderr, "zolta-host: waiting for the SMBus service at %s (up to 30 s)\n", path.c_str());
        });
    }
    ~WaitingNotice() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

}  // namespace

bool Runner::initAll() {
    const std::string path = serviceSocketPath();
    if (checkService) {
        std::string why = serviceProblem(path);
        if (!why.empty()) {
            std::fprintf(stderr, "zolta-host: cannot reach the SMBus service at %s: %s\n", path.c_str(), why.c_str());
            return false;
        }
    }
    int failed = 0;
    WaitingNotice notice(path);
    for (Kind kind : kAllKinds) {
        int& status = initStatus_[static_cast<int>(kind)];
        auto init = library.init(kind);
        if (!init) {
            status = kNotSupported;
        } else if (failed == ZL_STATUS_NO_COMM) {
            status = failed;
        } else {
            status = safeCall([&] { return init(topologyText.c_str()); });
            if (status != ZL_STATUS_OK) {
                problems.push_back({std::string("zl_") + kindSymbol(kind) + "_init", kindName(kind),
                                    "init failed: " + statusWord(status), ""});
                if (status == ZL_STATUS_NO_COMM) failed = status;
            }
        }
    }
    if (failed == ZL_STATUS_NO_COMM && checkService) {
        std::fprintf(stderr, "zolta-host: cannot reach the SMBus service at %s: the library's connection failed\n",
                     path.c_str());
        return false;
    }
    return true;
}

void* Runner::add(const BoardDevice& device) {
    auto known = records_.find(&device);
    if (known != records_.end()) return known->second;
    void* record = nullptr;
    int init = initStatus_[static_cast<int>(device.kind)];
    void* fn = library.add(device.kind);
    const char* kind = kindName(device.kind);
    if (!fn) {
        problems.push_back({device.name, kind, "not supported by this library", ""});
    } else if (init != ZL_STATUS_OK) {
        problems.push_back({device.name, kind, "not added: init " + statusWord(init), ""});
    } else {
        std::string why = "add returned null";
        TraceCapture traces;
        record = callAdd(device, fn, &why);
        if (!record) problems.push_back({device.name, kind, why, refusalReason(traces.lines(), device.text)});
    }
    records_[&device] = record;
    addStatus_[&device] = record ? 0 : fn ? kNotAdded : kNotSupported;
    // A host keeps every record it was given for the life of the process: the library never
    // destroys logical devices, and the records stay reachable until exit.
    static auto* kept = new std::vector<void*>;
    if (record) kept->push_back(record);
    return record;
}

void Runner::addAll() {
    for (const auto& device : board.devices) add(device);
    for (const auto& device : board.devices)
        if (device.kind == Kind::Led && device.readbackRegister >= 0 && records_[&device]) addLedReadback(device);
}

int Runner::addStatus(const BoardDevice* device) const {
    auto it = addStatus_.find(device);
    return it == addStatus_.end() ? kNotAdded : it->second;
}

void Runner::addLedReadback(const BoardDevice& led) {
    long offset = 0;
    if (!isDecimal(textDriverArg(led.text, "bitOffset"), &offset) || offset < 0 || offset > 7) return;
    auto gpioAdd = reinterpret_cast<zl_gpio* (*)(const char*)>(library.add(Kind::Gpio));
    if (!gpioAdd || initStatus_[static_cast<int>(Kind::Gpio)] != ZL_STATUS_OK) return;
    rapidjson::Document doc;
    doc.Parse(led.text.c_str());
    if (doc.HasParseError() || !doc.IsObject()) return;
    std::vector<zl_gpio*> bits;
    for (int i = 0; i < led.readbackWidth; ++i) {
        rapidjson::Value args(rapidjson::kObjectType);
        auto& alloc = doc.GetAllocator();
        args.AddMember("register", rapidjson::Value(std::to_string(led.readbackRegister).c_str(), alloc), alloc);
        args.AddMember("bitpos", rapidjson::Value(std::to_string(offset + i).c_str(), alloc), alloc);
        if (doc.HasMember("driverArgs")) doc.RemoveMember("driverArgs");
        doc.AddMember("driverArgs", args, alloc);
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        doc.Accept(writer);
        zl_gpio* bit = gpioAdd(buffer.GetString());
        if (!bit) {
            problems.push_back({led.name, kindName(Kind::Led), "read-back GPIO add returned null", ""});
            return;
        }
        bits.push_back(bit);
        // Kept reachable to the end of the process like every other record (see add()).
        static auto* kept = new std::vector<zl_gpio*>;
        kept->push_back(bit);
    }
    ledBits[&led] = bits;
}

}  // namespace Host
