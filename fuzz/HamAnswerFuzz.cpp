// A hostile SMBus service: the input's first byte picks a batch, the rest is what the
// service answers (the body of one frame). Every answer gives a status or a broken rule,
// never a read outside the response or a write past the caller's buffer.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "FuzzHost.h"
#include "Ham/Ham.h"
#include "Kavrin/ZLSocket.h"
#include "LibraryInit.h"
#include "Topology/Topology.h"
#include "Utils.h"

namespace {

// Answers every request of the one client with the current answer.
class HostileService {
  public:
    HostileService() {
        path_ = Fuzz::scratchDir("ham") + "/s";
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 4) != 0)
            std::abort();
        std::thread([this] { serve(); }).detach();
    }
    const std::string& path() const { return path_; }
    void answerIs(const std::string& body) {
        std::lock_guard<std::mutex> lock(mutex_);
        answer_ = body;
    }

  private:
    void serve() {
        for (;;) {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) continue;
            std::string request;
            while (Kavrin::readFrame(client, &request, -1)) {
                std::string body;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    body = answer_;
                }
                if (!Kavrin::writeFrame(client, body)) break;
            }
            ::close(client);
        }
    }
    std::string path_;
    int listener_ = -1;
    std::mutex mutex_;
    std::string answer_;
};

Ham::Ham* makeHam(HostileService& service) {
    ::setenv("ZOLTA_SMBUS_SOCKET", service.path().c_str(), 1);
    ::setenv("ZOLTA_SMBUS_TIMEOUT_MS", "2000", 1);
    if (zlSockInit("fuzz", 1) != ZL_STATUS_OK) std::abort();
    const char* topology =
        R"([{"type":"I2C","ham":"ZoltaSmbus","id":2,"devices":[{"did":1,"driver":"Dummy","address":{"address":72}}]}])";
    if (Topology::loadTopology(topology) != ZL_STATUS_OK) std::abort();
    Drivers::DriverArgs args;
    args.did = 1;
    args.uid = 0xFFFFFFFFu;
    args.provideHam = true;
    Ham::Ham* ham = Ham::createHam(args);
    if (ham == nullptr) std::abort();
    return ham;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static HostileService service;
    static Ham::Ham* ham = makeHam(service);
    if (size == 0) return 0;
    service.answerIs(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    uint8_t byte = 0;
    uint16_t word = 0;
    std::string block;
    const uint8_t bytes[4] = {1, 2, 3, 4};
    try {
        switch (data[0] % 8) {
            case 0: ham->read8(0x01, &byte); break;
            case 1: ham->read16(0x02, &word); break;
            case 2: ham->read(0x03, 2, &block, true); break;
            case 3: ham->readBlock(0x04, &block); break;
            case 4: ham->read(0x05, 16, &block, false); break;
            case 5: ham->processCall(0x06, 0x1234, &word); break;
            case 6: ham->write(0x07, bytes, sizeof bytes, false); break;
            case 7: ham->recvByte(&byte); break;
        }
    } catch (...) {
        // A wrong-length answer breaks a rule: the callback guard makes it status 6.
    }
    return 0;
}
