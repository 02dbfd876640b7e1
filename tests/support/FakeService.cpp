#include "FakeService.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "Drivers/Device.h"
#include "Ham/ZoltaSmbusHam.h"
#include "Kavrin/ZLSocket.h"
#include "LibraryInit.h"
#include "TestHost.h"
#include "Topology/Topology.h"

namespace TestHost {

FakeService::Answer FakeService::deviceAnswer(const Smbus::TransactionRequest& request) {
    Smbus::TransactionResponse response;
    for (const Smbus::Request& r : request.request()) {
        const uint32_t count = r.type() == Smbus::REQUEST_READ           ? std::max(r.length(), 1u)
                               : r.type() == Smbus::REQUEST_PROCESS_CALL ? 2
                               : r.type() == Smbus::REQUEST_BLOCK_READ   ? 3
                                                                         : 0;
        std::string data;
        for (uint32_t i = 0; i < count; ++i) data.push_back(static_cast<char>((r.address() & 0xFF) + i));
        response.add_response()->set_data(data);
    }
    return Answer::reply(response);
}

FakeService::FakeService(Handler handler) : handler_(std::move(handler)) {
    char pattern[] = "/tmp/zl-fakesmbus-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    path_ = dir_ + "/smbus.sock";
}

FakeService::~FakeService() {
    stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void FakeService::start() {
    if (thread_.joinable()) return;
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 8) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("fake service cannot listen on " + path_);
    thread_ = std::thread([this] { serve(); });
}

void FakeService::stop() {
    if (thread_.joinable()) {
        [[maybe_unused]] ssize_t written = ::write(stopPipe_[1], "x", 1);
        thread_.join();
    }
    for (int* fd : {&listenFd_, &stopPipe_[0], &stopPipe_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    ::unlink(path_.c_str());
}

int FakeService::waitForConnections(int n, int timeoutMs) const {
    for (int waited = 0; connections_ < n && waited < timeoutMs; waited += 5) ::usleep(5000);
    return connections_;
}

void FakeService::setHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<Smbus::TransactionRequest> FakeService::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void FakeService::serve() {
    int conn = -1;
    auto hangUp = [&conn] {
        if (conn >= 0) ::close(conn);
        conn = -1;
    };
    for (;;) {
        pollfd fds[3] = {{stopPipe_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}, {conn, POLLIN, 0}};
        if (::poll(fds, conn >= 0 ? 3 : 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) break;
        if (fds[1].revents & POLLIN) {
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                hangUp();  // the client gave up the old one
                conn = fd;
                ++connections_;
            }
            continue;
        }
        if (conn < 0 || fds[2].revents == 0) continue;
        std::string payload;
        Smbus::TransactionRequest request;
        if (!Kavrin::readFrame(conn, &payload, 2000) || !request.ParseFromString(payload)) {
            hangUp();
            continue;
        }
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
            handler = handler_;
        }
        Answer answer = handler ? handler(request) : deviceAnswer(request);
        if (answer.kind == Answer::Close)
            hangUp();
        else
            Kavrin::writeFrame(conn, answer.kind == Answer::Raw ? answer.raw : answer.response.SerializeAsString());
    }
    hangUp();
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    hadOld_ = old != nullptr;
    old_ = hadOld_ ? old : "";
    value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    hadOld_ ? ::setenv(name_.c_str(), old_.c_str(), 1) : ::unsetenv(name_.c_str());
}

void ServiceTest::SetUp() {
    savedSim_ = Utils::isInSimulation;
    Utils::isInSimulation = 0;
    ASSERT_EQ(0, Topology::loadTopology(topology_));
    service_.start();
    savedSock_ = _zlSock;
    _zlSock = new Kavrin::ZLSocket();
    ASSERT_EQ(0, _zlSock->setup());
    TestHost::resetTimers();
    TestHost::clearTraces();
}

std::string ServiceTest::shape(const Smbus::TransactionRequest& sent) {
    std::string out;
    for (const Smbus::Request& r : sent.request()) {
        Topology::KhamAddress a;
        a.setWord1(static_cast<uint32_t>(r.address() >> 32));
        const bool write = r.type() == Smbus::REQUEST_WRITE;
        out += (out.empty() ? "" : " ") + std::string(write ? "w" : "r") + std::to_string(a.address) + ":" +
               std::to_string(r.address() & 0xFF);
        for (size_t i = 0; write && i < r.data().size(); ++i)
            out += (i ? "," : "=") + std::to_string(static_cast<uint8_t>(r.data()[i]));
    }
    return out;
}

void ServiceTest::TearDown() {
    for (uint32_t did : cachedDids_) {
        auto cached = Component::DeviceBase::devices.find(did);
        if (cached == Component::DeviceBase::devices.end()) continue;
        auto* device = dynamic_cast<Component::HardwareDevice*>(cached->second);
        auto* ham = device ? dynamic_cast<Ham::ZoltaSmbusHam*>(device->ham) : nullptr;
        delete cached->second;
        delete ham;
        Component::DeviceBase::devices.erase(cached);
    }
    delete _zlSock;
    _zlSock = savedSock_;
    service_.stop();
    Utils::isInSimulation = savedSim_;
}

}  // namespace TestHost
