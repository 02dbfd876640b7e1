// The device factory: registry lookup, the cache by did, HAMs made or handed over, multi-devices.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"
#include "FakeHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"

using Component::DeviceBase;
using Component::HardwareDevice;
using Component::MultiDevice;
using TestHost::FakeHam;

namespace {

struct CountingDriver : HardwareDevice {
    static int inits;
    static Utils::ExpectedValues values;
    void init() override { ++inits; }
    const Utils::ExpectedValues* expectedValues() override { return &values; }
};
int CountingDriver::inits = 0;
Utils::ExpectedValues CountingDriver::values = {{0x10, Utils::ExpectedVal(7, 1)}};

struct ThrowingInitDriver : HardwareDevice {
    void init() override { ZL_CHECK_RULE(false, "test driver refuses to start"); }
};

std::string deviceText(unsigned did, const std::string& driver, const std::string& extra = "") {
    return "{\"did\":" + std::to_string(did) + ",\"driver\":\"" + driver + "\",\"address\":{\"address\":80}" +
           extra + "}";
}

// Dids 7001..7019 are this file's; each test uses its own, as the cache is process-wide.
class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        add<CountingDriver>("TestCounting");
        add<ThrowingInitDriver>("TestThrowingInit");
        add<MultiDevice>("TestMulti");
        r_.addDriver("TestNullFactory", [](auto&, auto*) -> DeviceBase* { return nullptr; });
        Utils::isInSimulation = 0;
        std::string devices = "{\"did\":7001}";
        for (int did = 7002; did <= 7019; ++did) devices += ",{\"did\":" + std::to_string(did) + "}";
        ASSERT_EQ(Topology::loadTopology(TestHost::fakeHamTopology(devices).c_str()), ZL_STATUS_OK);
        TestHost::clearTraces();
    }
    void TearDown() override { Utils::isInSimulation = 0; }
    template <class Driver>
    void add(const char* name) {
        r_.addDriver(name, [](auto&, auto*) -> DeviceBase* { return new Driver(); });
    }
    static bool cached(uint32_t did) { return DeviceBase::devices.count(did) != 0; }

    TestHost::FakeRegistrations r_;
};

TEST_F(DeviceTest, CreatesDriverObjectWithHamOnce) {
    std::string text = deviceText(7002, "TestCounting");
    Drivers::DriverArgs args;
    int initsBefore = CountingDriver::inits;
    auto* device = dynamic_cast<CountingDriver*>(DeviceBase::create(text.c_str(), args));
    ASSERT_NE(device, nullptr) << TestHost::dumpTraces();
    FakeHam* ham = TestHost::fakeHamFor(7002);
    EXPECT_EQ(device->ham, ham);
    EXPECT_TRUE(ham->driverName == "TestCounting" && ham->label.empty() && ham->expected == &CountingDriver::values);
    EXPECT_EQ(CountingDriver::inits, initsBefore + 1);
    EXPECT_EQ(args.did, 7002u);  // the caller's arguments are filled in

    // A second text with the same did gets the same object, whatever its driver: no second
    // init, no second HAM.
    size_t hams = TestHost::madeFakeHams().size();
    EXPECT_EQ(DeviceBase::create(deviceText(7002, "GpioDriver").c_str(), args), device);
    EXPECT_EQ(CountingDriver::inits, initsBefore + 1);
    EXPECT_EQ(TestHost::madeFakeHams().size(), hams);
}

TEST_F(DeviceTest, FailedCreationsCacheNothingAndAreRetried) {
    const std::tuple<const char*, std::string, const char*> cases[] = {
        {"unknown driver", deviceText(7004, "NoSuchDriver"), "driver NoSuchDriver not found"},
        {"null factory result", deviceText(7005, "TestNullFactory"), "factory function returned a null object"},
        {"device not in topology", deviceText(7099, "Dummy"), "failed to create Ham"},
        {"no HAM wanted", deviceText(7006, "Dummy", ",\"provideHam\":0"), "device 7006 has no Ham"},
        {"not JSON", "{\"did\":7007,", "failed to parse json object as a device"},
        {"multi-device flag on a hardware driver",
         "{\"did\":7008,\"driver\":\"Dummy\",\"isMultiDevice\":true,\"multiDeviceArgs\":{}}",
         "driver Dummy does not make a MultiDevice"},
        {"multi-device driver without the flag", deviceText(7009, "TestMulti"),
         "driver TestMulti does not make a HardwareDevice"},
    };
    const size_t liveHams = TestHost::madeFakeHams().size();
    for (const auto& [name, text, trace] : cases) {
        SCOPED_TRACE(name);
        for (int attempt = 0; attempt < 2; ++attempt) {
            TestHost::clearTraces();
            Drivers::DriverArgs args;
            EXPECT_EQ(DeviceBase::create(text.c_str(), args), nullptr);
            EXPECT_TRUE(TestHost::traced(trace, 0)) << TestHost::dumpTraces();
        }
    }
    for (uint32_t did : {7004, 7005, 7006, 7007, 7008, 7009, 7099}) EXPECT_FALSE(cached(did)) << did;
    EXPECT_EQ(liveHams, TestHost::madeFakeHams().size()) << "a HAM made for a device that failed is freed";
    Drivers::DriverArgs args;
    EXPECT_EQ(DeviceBase::create(nullptr, args), nullptr);

    // A failing init caches nothing; through an add function it becomes a null record.
    std::string text = deviceText(7010, "TestThrowingInit");
    EXPECT_THROW(DeviceBase::create(text.c_str(), args), Utils::ConsistencyError);
    EXPECT_EQ(zl_gpio_add(text.c_str()), nullptr);
    EXPECT_FALSE(cached(7010));
    EXPECT_TRUE(TestHost::traced("consistency check failed: test driver refuses to start", 0));
}

TEST_F(DeviceTest, GivenHamIsUsedAndSimulationLabelComesFromName) {
    const std::tuple<int, const char*, const char*> cases[] = {
        {1, ",\"name\":\"psu1\"", "psu1"}, {1, ",\"name\":5", ""}, {0, ",\"name\":\"psu1\"", ""},
        {1, nullptr, ""},  // arguments made without a text
    };
    uint32_t did = 7011;
    for (const auto& [simulation, extra, label] : cases) {
        SCOPED_TRACE(did);
        Utils::isInSimulation = simulation;
        Drivers::DriverArgs args;
        const std::string text = deviceText(did, "Dummy", extra != nullptr ? extra : "");  // args keep a pointer
        if (extra != nullptr) {
            ASSERT_TRUE(args.parseJSON(text.c_str()));
        }
        args.driver = "Dummy", args.did = did++;
        auto* ham = new FakeHam();  // HAMs live as long as their driver object
        HardwareDevice* device = HardwareDevice::create(args, ham);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->ham, ham);  // the given HAM, not one from the registry
        EXPECT_EQ(ham->label, label);
        EXPECT_TRUE(ham->setDriverNameCalls == 1 && ham->expected == &HardwareDevice::emptyExpectedValues);
    }
}

TEST_F(DeviceTest, MultiDeviceGetsNoHamAndKeepsItsMemberTexts) {
    const std::string member = R"({"did":7001,"driver":"Dummy","address":{"address":80},"driverArgs":{"register":"3","bitpos":"4"}})";
    const std::string text = R"({"did":7016,"driver":"TestMulti","isMultiDevice":true,"provideHam":1,"multiDeviceArgs":)"
                             R"({"gpio":"{\"did\":7001,\"driver\":\"Dummy\",\"address\":{\"address\":80},\"driverArgs\":{\"register\":\"3\",\"bitpos\":\"4\"}}",)"
                             R"("bad":"{"}})";
    size_t hams = TestHost::madeFakeHams().size();
    Drivers::DriverArgs args;
    auto* multi = dynamic_cast<MultiDevice*>(DeviceBase::create(text.c_str(), args));
    ASSERT_NE(multi, nullptr) << TestHost::dumpTraces();
    EXPECT_EQ(TestHost::madeFakeHams().size(), hams);
    EXPECT_STREQ(multi->getDeviceDriverArg("gpio"), member.c_str());

    // Cached like a hardware device, but the same did is no hardware device.
    Drivers::DriverArgs again;
    EXPECT_EQ(DeviceBase::create(text.c_str(), again), multi);
    EXPECT_EQ(HardwareDevice::create(again, nullptr), nullptr);
    EXPECT_TRUE(TestHost::traced("device 7016 is not a HardwareDevice", 0));

    // Members of every kind: a missing key appends nothing; a failing member appends its null.
    auto members = [&](auto add, const auto& list) {
        TestHost::clearTraces();
        EXPECT_EQ((multi->*add)("nope"), nullptr);
        EXPECT_TRUE(list.empty());
        EXPECT_TRUE(TestHost::traced("Failed to find driverArgs for driver key 'nope'", 0));
        EXPECT_EQ((multi->*add)("bad"), nullptr);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0], nullptr);
    };
    members(&MultiDevice::addSlot, multi->slots);
    members(&MultiDevice::addLed, multi->leds);
    members(&MultiDevice::addPsu, multi->psus);
    members(&MultiDevice::addFan, multi->fans);
    members(&MultiDevice::addXcvr, multi->xcvrs);
    EXPECT_EQ(multi->addGpio("bad"), nullptr);
    zl_gpio* gpio = multi->addGpio("gpio");
    ASSERT_NE(gpio, nullptr);
    EXPECT_EQ(multi->gpios, (std::vector<zl_gpio*>{nullptr, gpio}));
}

}  // namespace
