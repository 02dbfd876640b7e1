// The client socket against zolta-smbusd and against hand-made peers: framing,
// reconnection after a service restart, timeouts, no SIGPIPE, and the direct decoding of
// answers and requests, into messages holding earlier ones, against the general parser.
// (Every round trip here gives its response back for the next one to reuse.)
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "FakeService.h"
#include "Kavrin/ZLSocket.h"
#include "Smbusd.h"

namespace {

using TestSmbusd::msSince;

Smbus::TransactionRequest readReq(uint32_t addr, uint32_t reg, uint32_t len) {
    Smbus::TransactionRequest tr;
    Smbus::Request* q = tr.add_request();
    q->set_type(Smbus::REQUEST_READ);
    q->set_mastertype(Smbus::MASTER_I2C);
    q->set_address(uint64_t((addr & 0x7F) | 2u << 7 | 1u << 25) << 32 | reg);  // bus 2, addrSize 1
    q->set_length(len);
    return tr;
}

// The first response's data; "" with *err = errno on failure.
std::string roundTrip(Kavrin::ZLSocket& s, uint32_t addr, uint32_t reg, uint32_t len, int* err) {
    Smbus::TransactionRequest tr = readReq(addr, reg, len);
    Smbus::TransactionResponse* out = nullptr;
    errno = 0;
    int rc = s.sendRequestWait(&tr, &out);
    *err = rc < 0 ? errno : 0;
    EXPECT_EQ(rc < 0, out == nullptr);
    std::string data = out && out->response_size() ? out->response(0).data() : "";
    s.recycle(out);
    return data;
}

class ZLSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(d.start(R"([{"type": "I2C", "ham": "ZoltaSmbus", "id": 2, "devices": [
            {"did": 1, "label": "regs", "driver": "Dummy", "address": {"address": 32}},
            {"did": 2, "label": "slow", "driver": "Dummy", "address": {"address": 33}}]}])",
                            R"({"regs": {"registers": {"0x00": [1, 2, 3]}}, "slow": {"registers": {"0x00": "0x44"}}})"))
            << d.log();
        d.exportEnvironment();
    }
    TestHost::ScopedEnv timeout{"ZOLTA_SMBUS_TIMEOUT_MS", "500"};
    TestSmbusd::Daemon d;
    Kavrin::ZLSocket s;
    int err = 0;
};

TEST_F(ZLSocketTest, EnvironmentChoosesPathAndTimeoutAndSetupNeedsAService) {
    for (auto [value, ms] : {std::make_pair("", 10000), std::make_pair("-5", 10000), std::make_pair("500", 500)}) {
        ::setenv("ZOLTA_SMBUS_TIMEOUT_MS", value, 1);
        EXPECT_EQ(ms, Kavrin::ZLSocket::timeoutMs()) << "'" << value << "'";
    }
    EXPECT_EQ(d.socketPath(), Kavrin::ZLSocket::socketPath());
    {
        TestHost::ScopedEnv noSocket("ZOLTA_SMBUS_SOCKET", nullptr);
        EXPECT_EQ("/run/zolta/smbus.sock", Kavrin::ZLSocket::socketPath());
    }
    TestHost::ScopedEnv nowhere("ZOLTA_SMBUS_SOCKET", (d.dir() + "/none").c_str());
    EXPECT_NE(0, s.setup());
    EXPECT_EQ(-1, s.fd());
    d.exportEnvironment();
    ASSERT_EQ(0, s.setup());
    Smbus::TransactionResponse* out = nullptr;
    Smbus::TransactionRequest tr = readReq(32, 0, 1);
    EXPECT_TRUE(s.sendRequestWait(nullptr, &out) < 0 && errno == EINVAL);
    EXPECT_TRUE(s.sendRequestWait(&tr, nullptr) < 0 && errno == EINVAL);
    EXPECT_EQ(std::string("\x01\x02\x03", 3), roundTrip(s, 32, 0, 3, &err));
}

TEST_F(ZLSocketTest, ReconnectsOnceAfterTheServiceRestarted) {
    ASSERT_EQ(0, s.setup());
    EXPECT_EQ(std::string("\x01\x02", 2), roundTrip(s, 32, 0, 2, &err));
    ASSERT_TRUE(d.restart()) << d.log();
    EXPECT_EQ(std::string("\x01\x02", 2), roundTrip(s, 32, 0, 2, &err)) << std::strerror(err);
    d.stop();  // gone: each call fails after one reconnect attempt, and works again once it is back
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(roundTrip(s, 32, 0, 1, &err).empty() && err != 0);
    ASSERT_TRUE(d.restart()) << d.log();
    EXPECT_EQ(std::string("\x01", 1), roundTrip(s, 32, 0, 1, &err)) << std::strerror(err);
}

TEST_F(ZLSocketTest, ALateAnswerTimesOutAndIsNeverTakenForTheNextOne) {
    d.ctl({"fault", "slow", "delay", "1500"});
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ("", roundTrip(s, 33, 0, 1, &err));
    const int ms = msSince(t0);
    EXPECT_EQ(ETIMEDOUT, err);
    EXPECT_TRUE(ms >= 450 && ms < 1400) << ms << " ms";
    EXPECT_EQ(std::string("\x03", 1), roundTrip(s, 32, 2, 1, &err)) << "not the late 0x44: " << std::strerror(err);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(std::string("\x02", 1), roundTrip(s, 32, 1, 1, &err)) << std::strerror(err);
}

// A hand-made service on a private socket: runs `serve` on each connection it accepts (none
// when null) and closes it.
class Peer {
  public:
    explicit Peer(std::function<void(int)> serve, int backlog = 8) {
        char dir[] = "/tmp/zl-peer-XXXXXX";
        dir_ = ::mkdtemp(dir) ? dir : "";
        addr_.sun_family = AF_UNIX;
        std::snprintf(addr_.sun_path, sizeof addr_.sun_path, "%s/s", dir_.c_str());
        lfd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_EQ(0, ::bind(lfd_, reinterpret_cast<sockaddr*>(&addr_), sizeof addr_));
        EXPECT_EQ(0, ::listen(lfd_, backlog));
        if (serve)
            thread_ = std::thread([this, serve] {
                for (int c; (c = ::accept(lfd_, nullptr, nullptr)) >= 0; ::close(c)) serve(c);
            });
    }
    ~Peer() {
        ::shutdown(lfd_, SHUT_RDWR);  // ends the accept loop
        if (thread_.joinable()) thread_.join();
        ::close(lfd_);
        ::unlink(addr_.sun_path);
        ::rmdir(dir_.c_str());
    }
    const char* path() const { return addr_.sun_path; }

  private:
    std::string dir_;
    sockaddr_un addr_{};
    int lfd_ = -1;
    std::thread thread_;
};

void takeRequest(int c) {
    std::string request;
    EXPECT_TRUE(Kavrin::readFrame(c, &request, 5000));
}

TEST(ZLSocketPeerTest, NoSigpipeWhenThePeerClosed) {
    Peer peer([](int) {});  // hangs up at once
    TestHost::ScopedEnv socket("ZOLTA_SMBUS_SOCKET", peer.path()), timeout("ZOLTA_SMBUS_TIMEOUT_MS", "500");
    Kavrin::ZLSocket s;
    ASSERT_EQ(0, s.setup());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Smbus::TransactionRequest tr = readReq(32, 0, 1);
    tr.mutable_request(0)->set_data(std::string(300000, 'x'));  // the write itself hits the closed peer
    for (int i = 0; i < 10; ++i) {
        Smbus::TransactionResponse* out = nullptr;
        errno = 0;
        EXPECT_LT(s.sendRequestWait(&tr, &out), 0);
        EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << std::strerror(errno);
        EXPECT_EQ(nullptr, out);
    }
}

std::string frameOf(const Smbus::TransactionResponse& response) {
    std::string body = response.SerializeAsString();
    const uint32_t n = uint32_t(body.size());
    return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + body;
}

// Every wait ends within the timeout: an answer in pieces is taken while it keeps to the
// deadline of sending, one that stalls after its length fails, and a service that stopped
// accepting (its listen queue full) refuses the connection instead of blocking it.
TEST(ZLSocketPeerTest, EveryWaitEndsWithinTheTimeout) {
    Smbus::TransactionResponse answer;
    answer.add_response()->set_data("\x2a");
    const std::string wire = frameOf(answer);
    struct Case {
        const char* what;
        std::function<void(int)> serve;
        int err;  // 0: the answer arrives
    } cases[] = {
        {"a byte at a time", [&](int c) {
             takeRequest(c);
             for (char b : wire) {
                 EXPECT_EQ(1, ::send(c, &b, 1, MSG_NOSIGNAL));
                 std::this_thread::sleep_for(std::chrono::milliseconds(20));
             }
         }, 0},
        {"stalls after its length", [&](int c) {
             takeRequest(c);
             EXPECT_EQ(4, ::send(c, wire.data(), 4, MSG_NOSIGNAL));
             std::this_thread::sleep_for(std::chrono::milliseconds(1500));
         }, ETIMEDOUT},
        {"trickles past the deadline", [&](int c) {
             takeRequest(c);
             for (char b : wire) {
                 if (::send(c, &b, 1, MSG_NOSIGNAL) != 1) break;
                 std::this_thread::sleep_for(std::chrono::milliseconds(200));
             }
         }, ETIMEDOUT},
    };
    for (const auto& [what, serve, err] : cases) {
        Peer peer(serve);
        TestHost::ScopedEnv socket("ZOLTA_SMBUS_SOCKET", peer.path()), timeout("ZOLTA_SMBUS_TIMEOUT_MS", "500");
        Kavrin::ZLSocket s;
        int got = 0;
        auto t0 = std::chrono::steady_clock::now();
        std::string data = roundTrip(s, 32, 0, 1, &got);
        EXPECT_LT(msSince(t0), 700) << what;
        EXPECT_EQ(err, got) << what;
        EXPECT_EQ(err ? "" : "\x2a", data) << what;
    }

    Peer stopped(nullptr, 0);  // never accepts: one connection fills its queue
    TestHost::ScopedEnv socket("ZOLTA_SMBUS_SOCKET", stopped.path()), timeout("ZOLTA_SMBUS_TIMEOUT_MS", "300");
    Kavrin::ZLSocket first, second;
    ASSERT_EQ(0, first.setup());
    auto t0 = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_NE(0, second.setup());
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_LT(msSince(t0), 600);
}

// The direct decoding of answers and requests gives what the general parser gives, on every
// form they can take: what it does not know (unknown fields, other wire types, cut or overlong
// bytes) is left to the parser, which keeps it or refuses it. The message decoded into holds
// an entry from an earlier one.
template <class Message, class Decode, class Dirty>
void expectDecodedAsTheParserDoes(const std::vector<std::string>& inputs, Decode decode, Dirty dirty) {
    Message reused;
    for (const std::string& in : inputs) {
        Message expected;
        const bool ok = expected.ParseFromArray(in.data(), int(in.size()));
        dirty(reused);
        EXPECT_EQ(ok, decode(in.data(), in.size(), &reused)) << testing::PrintToString(in);
        EXPECT_EQ(ok ? expected.SerializeAsString() : "", ok ? reused.SerializeAsString() : "")
            << testing::PrintToString(in);
    }
}

TEST(ZLSocketFrameTest, AnswersParseAsTheGeneralParserParsesThem) {
    expectDecodedAsTheParserDoes<Smbus::TransactionResponse>(
        {
            "",
            std::string("\x0a\x04\x0a\x02\x34\x12", 6),             // one entry, two bytes of data
            std::string("\x0a\x00\x0a\x03\x0a\x01\x07\x18\x00", 9),  // an entry without data, failed false
            std::string("\x12\x03" "bad" "\x18\x01", 7),              // error and failed
            std::string("\x18\x80\x80\x80\x80\x80\x80\x80\x80\x80\x01", 11),  // ten-byte varint
            std::string("\x0a\x02\x0a\x00\x0a\x02\x0a\x00", 8),      // repeated, empty data
            std::string("\x0a\x04\x0a\x01\x01\x0a\x01\x02", 8),     // data twice in one entry: the last
            std::string("\x20\x05\x0a\x02\x0a\x00", 6),              // unknown field 4
            std::string("\x0a\x02\x10\x01", 4),                        // unknown field in an entry
            std::string("\x0a\x05\x0a\x02\x34", 5),                    // entry longer than the message
            std::string("\x0a\x03\x0a\x05\x34", 5),                    // data longer than the entry
            std::string("\x18", 1),                                     // cut varint
            std::string("\x1a\x00", 2),                                 // failed with a wrong wire type
            std::string("\x18\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", 12),  // eleven-byte varint
        },
        Kavrin::parseResponse, [](Smbus::TransactionResponse& r) { r.add_response()->set_data("left over"); });
}

TEST(ZLSocketFrameTest, RequestsParseAsTheGeneralParserParsesThem) {
    Smbus::TransactionRequest full = readReq(72, 0x1234, 2);
    Smbus::Request* write = full.add_request();
    *write = full.request(0);
    write->set_type(Smbus::REQUEST_BLOCK_WRITE);
    write->set_data(std::string("\x00\xff", 2));
    write->set_pec(true);
    write->set_pci(256);
    full.set_retries(3);
    expectDecodedAsTheParserDoes<Smbus::TransactionRequest>(
        {
            "",
            full.SerializeAsString(),
            std::string("\x0a\x00\x10\x00", 4),                            // an empty entry, retries 0
            std::string("\x0a\x02\x20\x04\x0a\x02\x28\x04", 8),          // the last value of each enum
            std::string("\x0a\x02\x20\x05", 4),                            // a mastertype no enumeration has
            std::string("\x0a\x02\x28\x7f", 4),                            // nor type
            std::string("\x0a\x0b\x20\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", 13),  // a negative one
            std::string("\x0a\x06\x18\x80\x80\x80\x80\x10", 8),          // pci over 32 bits
            std::string("\x0a\x02\x38\x01", 4),                            // the service's field 7
            std::string("\x0a\x03\x0a\x05\x00", 5),                        // data longer than the entry
            std::string("\x0a\x01\x10", 3),                                // cut address
            std::string("\x1a\x00", 2),                                    // unknown field 3
            std::string("\x0a\x8c\x80\x80\x80\x80\x00\x30\x98\x8f\x04\x0a\x06\x00\x00\xee\x08\x80\x80", 19),  // 6-byte length
        },
        Kavrin::parseRequest, [](Smbus::TransactionRequest& r) { r.add_request()->set_length(99); });
}

}  // namespace
