// An in-process SMBus service for tests: a thread that accepts on a temporary Unix socket
// and answers each request frame through a handler (a proper answer, raw bytes or a closed
// connection).
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ZoltaUtil/Smbus.pb.h"

namespace Kavrin {
class ZLSocket;
}

namespace TestHost {

class FakeService {
  public:
    struct Answer {
        enum Kind { Reply, Raw, Close };
        Kind kind = Reply;
        Smbus::TransactionResponse response;  // Reply
        std::string raw;                      // Raw: sent as one frame, unparsed

        static Answer reply(const Smbus::TransactionResponse& response) { return {Reply, response, {}}; }
        static Answer rawFrame(const std::string& bytes) { return {Raw, {}, bytes}; }
        static Answer close() { return {Close, {}, {}}; }
    };
    using Handler = std::function<Answer(const Smbus::TransactionRequest&)>;

    // Picks a fresh socket path; listening starts with start().
    explicit FakeService(Handler handler = &FakeService::deviceAnswer);
    ~FakeService();
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    void start();
    void stop();
    const std::string& path() const { return path_; }

    void setHandler(Handler handler);
    // Every request received so far, in order.
    std::vector<Smbus::TransactionRequest> requests() const;
    int connections() const { return connections_; }
    // Waits (up to timeoutMs) until at least n connections were accepted; returns the count.
    int waitForConnections(int n, int timeoutMs = 2000) const;

    // A well-behaved bus: one entry per request; a read gets `length` bytes (1 for a receive
    // byte, 2 for a process call, 3 for a block read) counting up from the register's low byte.
    static Answer deviceAnswer(const Smbus::TransactionRequest& request);

  private:
    void serve();

    std::string dir_;
    std::string path_;
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<Smbus::TransactionRequest> requests_;
    std::atomic<int> connections_{0};
};

// Sets an environment variable for a scope (unset when value is null) and restores it.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::string old_;
    bool hadOld_ = false;
};

// The library's SMBus HAM against a FakeService: out of simulation, on the topology given,
// its socket connected to the service. The driver objects (and their HAMs) the library
// cached for the dids given are freed afterwards.
class ServiceTest : public ::testing::Test {
  protected:
    ServiceTest(const char* topology, std::vector<uint32_t> cachedDids)
        : topology_(topology), cachedDids_(std::move(cachedDids)) {}
    void SetUp() override;
    void TearDown() override;
    // The requests of one batch as "w<address>:<register>=<bytes>" and "r<address>:<register>",
    // in decimal, space-separated.
    static std::string shape(const Smbus::TransactionRequest& sent);

    FakeService service_;
    ScopedEnv env_{"ZOLTA_SMBUS_SOCKET", service_.path().c_str()};

  private:
    const char* topology_;
    std::vector<uint32_t> cachedDids_;
    Kavrin::ZLSocket* savedSock_ = nullptr;
    int32_t savedSim_ = 0;
};

}  // namespace TestHost
