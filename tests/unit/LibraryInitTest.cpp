// Library initialisation: connection attempts with a pause after each failure, giving up
// cleanly, reuse of a connected socket, and the init entry points of every kind.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "FakeService.h"
#include "LibraryInit.h"
#include "TestHost.h"
#include "Topology/Topology.h"

namespace {

const char kTopology[] = R"([{"type": "I2C", "ham": "ZoltaSmbus", "id": 1, "devices": [{"did": 8100}]}])";

class LibraryInitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        savedSock_ = _zlSock;
        _zlSock = nullptr;
        savedSleep_ = Utils::sleepSeconds;
        Utils::sleepSeconds = [this](unsigned seconds) {
            sleeps_.push_back(seconds);
            if (sleeps_.size() == startAfterSleeps_) service_.start();
        };
        TestHost::clearTraces();
        TestHost::fdWatcherDeletes().clear();
    }
    void TearDown() override {
        delete _zlSock;
        _zlSock = savedSock_;
        Utils::sleepSeconds = savedSleep_;
        service_.stop();
    }

    TestHost::FakeService service_;  // not listening until a test starts it
    TestHost::ScopedEnv env_{"ZOLTA_SMBUS_SOCKET", service_.path().c_str()};
    Kavrin::ZLSocket* savedSock_ = nullptr;
    std::function<void(unsigned)> savedSleep_;
    std::vector<unsigned> sleeps_;
    size_t startAfterSleeps_ = 0;  // 0: never
};

TEST_F(LibraryInitTest, EveryFailedAttemptSleepsOneSecondThenInitGivesUp) {
    for (int attempts : {0, -3, 3}) {
        SCOPED_TRACE(attempts);
        sleeps_.clear();
        TestHost::clearTraces();
        EXPECT_EQ(4, zlSockInit("zl_led_init", attempts));
        EXPECT_EQ(std::vector<unsigned>(std::max(attempts, 0), 1), sleeps_);  // the last failure sleeps too
        EXPECT_EQ(nullptr, _zlSock);
        EXPECT_EQ(1, TestHost::traceCount("zl_led_init: socket Setup failed!"));
        EXPECT_TRUE(TestHost::traced("zl_led_init: socket Setup failed!", 0));
    }
    EXPECT_TRUE(TestHost::fdWatcherDeletes().empty());  // the socket never had a watcher
    // A kind's init makes 30 attempts, and a failed connection leaves the loaded topology alone.
    ASSERT_EQ(0, Topology::loadTopology(kTopology));
    Topology::Topology* before = Topology::_topology;
    sleeps_.clear();
    TestHost::clearTraces();
    EXPECT_EQ(4, zl_temp_sensor_init("[]"));
    EXPECT_EQ(30u, sleeps_.size());
    EXPECT_EQ(0, service_.connections());
    EXPECT_EQ(before, Topology::_topology);
    EXPECT_EQ(0u, TestHost::dumpTraces().find("0: zl_temp_sensor_init\n5: zl_temp_sensor_init: json = []\n"));
    EXPECT_FALSE(TestHost::traced("loading topology json"));
}

TEST_F(LibraryInitTest, ServiceAcceptingOnTheThirdAttemptAndReuse) {
    startAfterSleeps_ = 2;
    EXPECT_EQ(0, zlSockInit("zl_psu_init", 30));
    EXPECT_EQ(2u, sleeps_.size());
    ASSERT_NE(nullptr, _zlSock);
    EXPECT_GE(_zlSock->fd(), 0);
    EXPECT_FALSE(TestHost::traced("socket Setup failed!"));
    // Connected: later calls reuse the socket without an attempt.
    Kavrin::ZLSocket* first = _zlSock;
    EXPECT_EQ(0, zlSockInit("zl_xcvr_init", 0));
    EXPECT_EQ(first, _zlSock);
    EXPECT_EQ(2u, sleeps_.size());
    EXPECT_EQ(1, service_.waitForConnections(1));
}

// Every kind's init funnels into the shared one; a topology failure keeps the connection.
TEST_F(LibraryInitTest, EveryKindsInitFunnelsIntoTheSharedInit) {
    service_.start();
    EXPECT_EQ(0, zoltaLibraryInit("zl_slot_init", kTopology, 30));
    Kavrin::ZLSocket* sock = _zlSock;
    ASSERT_NE(nullptr, sock);
    EXPECT_EQ(3, zoltaLibraryInit("zl_fan_init", "[", 30));
    EXPECT_EQ(6, zoltaLibraryInit("zl_fan_init", "{}", 30));
    EXPECT_EQ(3, zoltaLibraryInit("zl_fan_init", nullptr, 30));  // no text is an empty document
    EXPECT_EQ(3, zl_psu_init("not json"));
    EXPECT_EQ(sock, _zlSock);
    EXPECT_TRUE(sleeps_.empty());
    const std::pair<std::string, zl_status (*)(const char*)> cases[] = {
        {"zl_system_init", &zl_system_init}, {"zl_slot_init", &zl_slot_init}, {"zl_led_init", &zl_led_init},
        {"zl_temp_sensor_init", &zl_temp_sensor_init}, {"zl_fan_init", &zl_fan_init},
        {"zl_xcvr_init", &zl_xcvr_init}, {"zl_psu_init", &zl_psu_init}, {"zl_gpio_init", &zl_gpio_init},
        {"zl_smbus_init", &zl_smbus_init},
    };
    for (const auto& [name, init] : cases) {
        SCOPED_TRACE(name);
        TestHost::clearTraces();
        EXPECT_EQ(0, init(kTopology));
        EXPECT_TRUE(TestHost::traced(name + ": json = " + kTopology, 5));
        EXPECT_TRUE(TestHost::hasLine(0, name));
        const auto& first = TestHost::traces().at(0);  // the SMBus kind alone: level 7 before anything else
        EXPECT_EQ(first.level == 7 && first.text == "zl_smbus_init\n", name == "zl_smbus_init");
    }
    EXPECT_EQ(sock, _zlSock);
    EXPECT_EQ(1, service_.waitForConnections(1));
}

}  // namespace
