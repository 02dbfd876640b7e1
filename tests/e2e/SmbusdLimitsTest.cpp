// zolta-smbusd under hostile clients: requests whose answers would not fit a frame,
// clients that stall or hog memory and descriptors, and who may use the control socket.
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "BoardModel.h"
#include "Kavrin/ZLSocket.h"
#include "Smbusd.h"
#include "ZoltaUtil/Smbus.pb.h"

namespace {

const char* kTopology = R"([{"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [{"id": 0, "busses": [
  {"id": 3, "devices": [{"did": 1, "label": "eeprom", "driver": "PsuSlot", "address": {"address": 80},
                         "driverArgs": {"psuId": "1", "identificationType": "ipmi"}}]}]}]}])";

int connectTo(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    ::close(fd);
    return -1;
}

// Whether the service closed fd within ms (the peer reads end of file).
bool closedWithin(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    char byte;
    return ::poll(&p, 1, ms) == 1 && ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;  // EOF, or reset when data was left unread
}

// `count` reads of `len` bytes from the EEPROM, as one batch.
std::string reads(int count, uint32_t len) {
    Smbus::TransactionRequest tr;
    BoardModel::KhamAddress address;
    address.address = 80;
    address.bus = 3;
    for (int i = 0; i < count; ++i) {
        Smbus::Request* q = tr.add_request();
        q->set_type(Smbus::REQUEST_READ);
        q->set_mastertype(Smbus::MASTER_SCD);
        q->set_pci(256);
        q->set_address(address.pack());
        q->set_length(len);
    }
    return tr.SerializeAsString();
}

// Sends one batch on fd; the answer, or failed with error "transport".
Smbus::TransactionResponse batch(int fd, const std::string& request) {
    Smbus::TransactionResponse resp;
    std::string answer;
    if (!Kavrin::writeFrame(fd, request) || !Kavrin::readFrame(fd, &answer, 5000) || !resp.ParseFromString(answer)) {
        resp.set_failed(true);
        resp.set_error("transport");
    }
    return resp;
}

long cpuTicks(pid_t pid) {  // utime + stime: fields 14 and 15 of /proc/PID/stat
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && in >> field; ++i) ticks += i >= 14 ? std::stol(field) : 0;
    return ticks;
}

TEST(SmbusdLimitsTest, RequestsWhoseAnswersCannotBeFramedAreRefusedWithTheLimitNamed) {
    TestSmbusd::Daemon d;
    ASSERT_TRUE(d.start(kTopology));
    int fd = connectTo(d.socketPath());
    ASSERT_GE(fd, 0);
    // batch, the error's words (empty: served in full)
    const std::pair<std::string, std::string> cases[] = {
        {reads(15, 65536), ""},  // 983,000 bytes of answer: fits
        {reads(20, 65536), "would pass the frame limit of 1048576 bytes"},
        {reads(8000, 65536), "would pass the frame limit of 1048576 bytes"},
        {reads(16385, 1), "over the limit of 16384 entries"},
        {reads(2, 1), ""},
    };
    for (const auto& [request, error] : cases) {
        auto resp = batch(fd, request);
        if (error.empty()) {
            EXPECT_FALSE(resp.failed()) << resp.error();
        } else {
            EXPECT_TRUE(resp.failed());
            EXPECT_EQ(0, resp.response_size());
            EXPECT_NE(std::string::npos, resp.error().find(error)) << resp.error();
        }
    }
    ::close(fd);
}

TEST(SmbusdLimitsTest, StalledFramesCloseIdleClientsStayAndOverTheLimitClientsAreRefused) {
    TestSmbusd::Daemon d;
    ASSERT_TRUE(d.start(kTopology, "", {"--stall-ms", "300", "--max-clients", "6"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the start probes have left
    std::vector<int> idle;
    for (int i = 0; i < 5; ++i) idle.push_back(connectTo(d.socketPath()));
    int stalled = connectTo(d.socketPath());  // the sixth
    ASSERT_EQ(3, ::send(stalled, "\0\0\1", 3, MSG_NOSIGNAL));
    int extra = connectTo(d.socketPath());
    EXPECT_TRUE(closedWithin(extra, 1000)) << "a client over the limit is refused at once";
    ::close(extra);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(closedWithin(stalled, 2000)) << "a frame left unfinished closes its client";
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    ::close(stalled);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (int fd : idle) {
        EXPECT_FALSE(batch(fd, reads(1, 1)).failed()) << "an idle client stays connected";
        ::close(fd);
    }
    EXPECT_NE(std::string::npos, d.log().find("client limit of 6 connections")) << d.log();
}

TEST(SmbusdLimitsTest, AtTheDescriptorLimitNewClientsAreRefusedWithoutSpinning) {
    TestSmbusd::Daemon d;
    rlimit saved{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
    rlimit low = saved;
    low.rlim_cur = 48;  // the service inherits it: room for 16 clients
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));
    bool started = d.start(kTopology);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(started);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<int> fds;
    for (int i = 0; i < 60; ++i) fds.push_back(connectTo(d.socketPath()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    long before = cpuTicks(d.pid());
    int fresh = connectTo(d.socketPath());
    EXPECT_TRUE(closedWithin(fresh, 1000)) << "a new client is refused, not left waiting";
    ::close(fresh);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_LT(cpuTicks(d.pid()) - before, 20) << "the service spun";
    EXPECT_FALSE(batch(fds[0], reads(1, 1)).failed()) << "the first clients are served";
    for (int fd : fds) ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    fresh = connectTo(d.socketPath());
    EXPECT_FALSE(batch(fresh, reads(1, 1)).failed()) << "served again once clients left";
    ::close(fresh);
}

TEST(SmbusdLimitsTest, UnfinishedFramesOfAllClientsTogetherAreCapped) {
    TestSmbusd::Daemon d;
    ASSERT_TRUE(d.start(kTopology));
    // 100 clients announce frames of 1 MiB and send a little of each: only the first 64 MiB
    // are taken on.
    std::vector<int> fds;
    for (int i = 0; i < 100; ++i) {
        fds.push_back(connectTo(d.socketPath()));
        std::string start("\x00\x10\x00\x00", 4);
        start += std::string(100, '\0');
        ASSERT_EQ(ssize_t(start.size()), ::send(fds.back(), start.data(), start.size(), MSG_NOSIGNAL));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int closed = 0;
    for (int fd : fds) closed += closedWithin(fd, 0);
    EXPECT_GE(closed, 30);
    EXPECT_LE(closed, 40);
    EXPECT_NE(std::string::npos, d.log().find("the limit of 67108864 bytes buffered for all clients")) << d.log();
    for (int fd : fds) ::close(fd);
}

TEST(SmbusdLimitsTest, SocketsAreOwnerOnlyAndTheControlSocketChecksItsPeer) {
    TestSmbusd::Daemon d;
    mode_t oldMask = ::umask(0);
    bool started = d.start(kTopology);
    ::umask(oldMask);
    ASSERT_TRUE(started);
    struct stat st{};
    ASSERT_EQ(0, ::stat(d.socketPath().c_str(), &st));
    EXPECT_EQ(0660u, st.st_mode & 0777);
    ASSERT_EQ(0, ::stat(d.controlPath().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    // Even through a socket file opened up to everyone, another user gets no answer.
    ASSERT_EQ(0, ::chmod(d.controlPath().c_str(), 0666));
    ASSERT_EQ(0, ::chmod(d.dir().c_str(), 0755));
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        int fd = connectTo(d.controlPath());
        if (fd < 0) ::_exit(4);
        (void)!::write(fd, "ping\n", 5);
        ::_exit(closedWithin(fd, 2000) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_NE(std::string::npos, d.log().find("control: refused a client of uid 65534")) << d.log();
}

}  // namespace
