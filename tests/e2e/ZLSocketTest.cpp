// The client socket against zolta-smbusd and against hand-made peers: framing,
// reconnection after a service restart, timeouts, malformed answers, no SIGPIPE.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Kavrin/ZLSocket.h"
#include "Smbusd.h"

namespace {

const char* kTopology = R"([
 {"type": "I2C", "ham": "ZoltaSmbus", "id": 2, "devices": [
   {"did": 1, "label": "regs", "driver": "Dummy", "address": {"address": 32}},
   {"did": 2, "label": "slow", "driver": "Dummy", "address": {"address": 33}}]}
])";
const char* kState = R"({"regs": {"registers": {"0x00": [1, 2, 3]}}, "slow": {"registers": {"0x00": "0x44"}}})";

Smbus::TransactionRequest readReq(uint32_t addr, uint32_t reg, uint32_t len) {
    Smbus::TransactionRequest tr;
    Smbus::Request* q = tr.add_request();
    q->set_type(Smbus::REQUEST_READ);
    q->set_mastertype(Smbus::MASTER_I2C);
    uint64_t w1 = (addr & 0x7F) | 2u << 7 | 1u << 25;
    q->set_address(w1 << 32 | reg);
    q->set_length(len);
    return tr;
}

// Sends and returns the first response's data; "" with *err = errno on failure.
std::string roundTrip(Kavrin::ZLSocket& s, uint32_t addr, uint32_t reg, uint32_t len, int* err = nullptr) {
    Smbus::TransactionRequest tr = readReq(addr, reg, len);
    Smbus::TransactionResponse* out = nullptr;
    errno = 0;
    int rc = s.sendRequestWait(&tr, &out);
    if (err) *err = rc < 0 ? errno : 0;
    if (rc < 0) {
        EXPECT_EQ(nullptr, out);
        return std::string();
    }
    std::string data = out->response_size() ? out->response(0).data() : std::string("<none>");
    delete out;
    return data;
}

class ZLSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(d.start(kTopology, kState)) << d.log();
        d.exportEnvironment();
        ::setenv("ZOLTA_SMBUS_TIMEOUT_MS", "500", 1);
    }
    void TearDown() override { ::setenv("ZOLTA_SMBUS_TIMEOUT_MS", "10000", 1); }
    TestSmbusd::Daemon d;
};

TEST_F(ZLSocketTest, EnvironmentChoosesPathAndTimeout) {
    EXPECT_EQ(d.socketPath(), Kavrin::ZLSocket::socketPath());
    EXPECT_EQ(500, Kavrin::ZLSocket::timeoutMs());
    struct Case {
        const char* value;
        int expected;
    };
    for (const auto& c : {Case{"250", 250}, Case{"", 10000}, Case{"soon", 10000}, Case{"-5", 10000}}) {
        ::setenv("ZOLTA_SMBUS_TIMEOUT_MS", c.value, 1);
        EXPECT_EQ(c.expected, Kavrin::ZLSocket::timeoutMs()) << "'" << c.value << "'";
    }
    ::unsetenv("ZOLTA_SMBUS_SOCKET");
    EXPECT_EQ("/run/zolta/smbus.sock", Kavrin::ZLSocket::socketPath());
    d.exportEnvironment();
}

TEST_F(ZLSocketTest, SetupFailsWithoutAServiceAndSendRequestWaitRejectsNullArguments) {
    Kavrin::ZLSocket s;
    ::setenv("ZOLTA_SMBUS_SOCKET", (d.dir() + "/nothing-here").c_str(), 1);
    EXPECT_NE(0, s.setup());
    EXPECT_EQ(-1, s.fd());
    d.exportEnvironment();
    ASSERT_EQ(0, s.setup());
    EXPECT_GE(s.fd(), 0);
    Smbus::TransactionResponse* out = nullptr;
    EXPECT_LT(s.sendRequestWait(nullptr, &out), 0);
    EXPECT_EQ(EINVAL, errno);
    Smbus::TransactionRequest tr = readReq(32, 0, 1);
    EXPECT_LT(s.sendRequestWait(&tr, nullptr), 0);
    EXPECT_EQ(std::string("\x01\x02\x03", 3), roundTrip(s, 32, 0, 3));
}

TEST_F(ZLSocketTest, ReconnectsOnceAfterTheServiceRestarted) {
    Kavrin::ZLSocket s;
    ASSERT_EQ(0, s.setup());
    EXPECT_EQ(std::string("\x01\x02", 2), roundTrip(s, 32, 0, 2));
    ASSERT_TRUE(d.restart()) << d.log();
    int err = 0;
    EXPECT_EQ(std::string("\x01\x02", 2), roundTrip(s, 32, 0, 2, &err)) << std::strerror(err);

    // Service gone: the call fails (one reconnect attempt), and works again once it is back.
    d.stop();
    EXPECT_EQ("", roundTrip(s, 32, 0, 1, &err));
    EXPECT_NE(0, err);
    EXPECT_EQ("", roundTrip(s, 32, 0, 1, &err));
    EXPECT_NE(0, err);
    ASSERT_TRUE(d.restart()) << d.log();
    EXPECT_EQ(std::string("\x01", 1), roundTrip(s, 32, 0, 1, &err)) << std::strerror(err);
}

TEST_F(ZLSocketTest, ALateAnswerTimesOutAndIsNeverTakenForTheNextOne) {
    Kavrin::ZLSocket s;
    ASSERT_EQ(0, s.setup());
    d.ctl({"fault", "slow", "delay", "1500"});
    auto t0 = std::chrono::steady_clock::now();
    int err = 0;
    EXPECT_EQ("", roundTrip(s, 33, 0, 1, &err));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(ETIMEDOUT, err);
    EXPECT_GE(ms, 450);
    EXPECT_LT(ms, 1400);
    // The next request gets its own answer, not the late one (0x44).
    EXPECT_EQ(std::string("\x03", 1), roundTrip(s, 32, 2, 1, &err)) << std::strerror(err);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(std::string("\x02", 1), roundTrip(s, 32, 1, 1, &err)) << std::strerror(err);
}

TEST_F(ZLSocketTest, MalformedAnswersAndClosedConnectionsAreErrors) {
    Kavrin::ZLSocket s;
    ASSERT_EQ(0, s.setup());
    struct Case {
        const char* fault;
        int err;
    };
    for (const auto& c : {Case{"garbage", EBADMSG}, Case{"close", ECONNRESET}}) {
        d.ctl({"fault", "slow", c.fault});
        int err = 0;
        EXPECT_EQ("", roundTrip(s, 33, 0, 1, &err)) << c.fault;
        EXPECT_EQ(c.err, err) << c.fault << ": " << std::strerror(err);
        EXPECT_EQ(-1, s.fd()) << c.fault << ": the connection is dropped";
        d.ctl({"fault", "slow", "off"});
        EXPECT_EQ(std::string("\x44", 1), roundTrip(s, 33, 0, 1, &err)) << c.fault << ": " << std::strerror(err);
    }
}

// A peer that accepts and hangs up at once: writing to it must give an error, not SIGPIPE.
TEST(ZLSocketPeerTest, NoSigpipeWhenThePeerClosed) {
    char tmpl[] = "/tmp/zl-sock-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(tmpl));
    std::string path = std::string(tmpl) + "/s";
    int lfd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(0, ::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, ::listen(lfd, 8));
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        while (!stop) {
            int c = ::accept(lfd, nullptr, nullptr);
            if (c >= 0) ::close(c);
        }
    });
    ::setenv("ZOLTA_SMBUS_SOCKET", path.c_str(), 1);
    ::setenv("ZOLTA_SMBUS_TIMEOUT_MS", "500", 1);
    Kavrin::ZLSocket s;
    ASSERT_EQ(0, s.setup());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // A big request makes the write itself hit the closed peer.
    Smbus::TransactionRequest tr = readReq(32, 0, 1);
    tr.mutable_request(0)->set_data(std::string(300000, 'x'));
    for (int i = 0; i < 10; ++i) {
        Smbus::TransactionResponse* out = nullptr;
        errno = 0;
        EXPECT_LT(s.sendRequestWait(&tr, &out), 0);
        EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << std::strerror(errno);
        EXPECT_EQ(nullptr, out);
    }
    stop = true;
    int wake = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ::connect(wake, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    peer.join();
    ::close(wake);
    ::close(lfd);
    ::unlink(path.c_str());
    ::rmdir(tmpl);
    ::setenv("ZOLTA_SMBUS_TIMEOUT_MS", "10000", 1);
}

TEST(ZLSocketFrameTest, FramesSurvivePartialTransfersAndRejectOversizeOrLateData) {
    int sv[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    // A frame that arrives byte by byte is assembled.
    std::string payload(1000, 'p');
    std::thread writer([&] {
        std::string wire = std::string("\x00\x00\x03\xe8", 4) + payload;
        for (size_t i = 0; i < wire.size(); ++i) {
            ASSERT_EQ(1, ::write(sv[1], &wire[i], 1));
            if (i < 8) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::string got;
    EXPECT_TRUE(Kavrin::readFrame(sv[0], &got, 5000));
    writer.join();
    EXPECT_EQ(payload, got);

    // writeFrame/readFrame round trip, empty frame included.
    for (const std::string& p : {std::string(), std::string("abc"), std::string(200000, 'z')}) {
        std::thread w([&] { EXPECT_TRUE(Kavrin::writeFrame(sv[1], p)); });
        EXPECT_TRUE(Kavrin::readFrame(sv[0], &got, 5000));
        w.join();
        EXPECT_EQ(p.size(), got.size());
    }

    // Nothing arrives: timeout.
    errno = 0;
    EXPECT_FALSE(Kavrin::readFrame(sv[0], &got, 100));
    EXPECT_EQ(ETIMEDOUT, errno);

    // A length over 1 MiB is refused on both sides.
    EXPECT_FALSE(Kavrin::writeFrame(sv[1], std::string(Kavrin::ZLSocket::kMaxFrame + 1, 'x')));
    ASSERT_EQ(4, ::write(sv[1], "\x00\x10\x00\x01", 4));
    EXPECT_FALSE(Kavrin::readFrame(sv[0], &got, 1000));

    // A peer that closes mid-frame.
    ASSERT_EQ(6, ::write(sv[1], "\x00\x00\x00\x09" "ab", 6));
    ::close(sv[1]);
    EXPECT_FALSE(Kavrin::readFrame(sv[0], &got, 1000));
    ::close(sv[0]);
}

}  // namespace
