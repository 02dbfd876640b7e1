// The device factory: registry lookup, the cache by did, HAM creation and hand-over, the
// defaults of the driver base classes, multi-devices and their members.
#include <gtest/gtest.h>

#include <functional>
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

// Drivers that exist only in these tests, registered next to the real ones.
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

struct TestMultiDevice : MultiDevice {
    static int inits;
    void init() override { ++inits; }
};
int TestMultiDevice::inits = 0;

void registerTestDrivers(TestHost::FakeRegistrations& r) {
    r.addDriver("TestCounting", [](const Drivers::FactoryArgs&, Ham::Ham*) -> DeviceBase* {
        return new CountingDriver();
    });
    r.addDriver("TestNullFactory", [](const Drivers::FactoryArgs&, Ham::Ham*) -> DeviceBase* { return nullptr; });
    r.addDriver("TestThrowingInit", [](const Drivers::FactoryArgs&, Ham::Ham*) -> DeviceBase* {
        return new ThrowingInitDriver();
    });
    r.addDriver("TestMulti", [](const Drivers::FactoryArgs&, Ham::Ham*) -> DeviceBase* {
        return new TestMultiDevice();
    });
}

std::string deviceText(unsigned did, const std::string& driver, const std::string& extra = "") {
    return "{\"did\":" + std::to_string(did) + ",\"driver\":\"" + driver + "\",\"address\":{\"address\":80}" +
           extra + "}";
}

// Dids 7001..7019 are this file's; each test uses its own so the process-wide cache
// never hands one test another's object.
const char* const kTopologyDevices =
    "{\"did\":7001,\"driver\":\"Dummy\",\"address\":{\"address\":16}},"
    "{\"did\":7002},{\"did\":7003},{\"did\":7004},{\"did\":7005},{\"did\":7006},{\"did\":7007},"
    "{\"did\":7008},{\"did\":7009},{\"did\":7010},{\"did\":7011},{\"did\":7012},{\"did\":7013},"
    "{\"did\":7014},{\"did\":7015},{\"did\":7016},{\"did\":7017},{\"did\":7018},{\"did\":7019}";

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registerTestDrivers(registrations_);
        Utils::isInSimulation = 0;
        ASSERT_EQ(Topology::loadTopology(TestHost::fakeHamTopology(kTopologyDevices).c_str()), ZL_STATUS_OK);
        TestHost::clearTraces();
    }
    void TearDown() override { Utils::isInSimulation = 0; }

    static bool cached(uint32_t did) { return DeviceBase::devices.count(did) != 0; }

    TestHost::FakeRegistrations registrations_;
};

TEST_F(DeviceTest, CreatesDriverObjectWithHamAndTracesEachStep) {
    std::string text = deviceText(7002, "TestCounting");
    Drivers::DriverArgs args;
    int initsBefore = CountingDriver::inits;
    DeviceBase* device = DeviceBase::create(text.c_str(), args);
    ASSERT_NE(device, nullptr) << TestHost::dumpTraces();

    auto* hardware = dynamic_cast<CountingDriver*>(device);
    ASSERT_NE(hardware, nullptr);
    FakeHam* ham = TestHost::fakeHamFor(7002);
    ASSERT_NE(ham, nullptr);
    EXPECT_EQ(hardware->ham, ham);
    EXPECT_EQ(ham->driverName, "TestCounting");
    EXPECT_EQ(ham->label, "");
    EXPECT_EQ(ham->expected, &CountingDriver::values);
    EXPECT_EQ(CountingDriver::inits, initsBefore + 1);
    EXPECT_EQ(DeviceBase::devices.at(7002), device);
    EXPECT_EQ(args.did, 7002u);
    EXPECT_EQ(args.jsonText, text.c_str());

    const char* expectedOrder[] = {
        "parsing devArgs = " ,
        "looking for already existing device 7002",
        "creating Ham",
        "creating HardwareDevice TestCounting",
        "calling factory function for TestCounting",
        "TestCounting device created",
    };
    size_t at = 0;
    for (const auto& line : TestHost::traces()) {
        if (at < std::size(expectedOrder) && line.text.find(expectedOrder[at]) == 0) {
            EXPECT_EQ(line.level, 0) << line.text;
            ++at;
        }
    }
    EXPECT_EQ(at, std::size(expectedOrder)) << TestHost::dumpTraces();
}

TEST_F(DeviceTest, SecondTextWithSameDidReusesTheObjectWhateverItsDriver) {
    std::string first = deviceText(7003, "TestCounting");
    std::string second = deviceText(7003, "GpioDriver");
    Drivers::DriverArgs args1, args2;
    int inits = CountingDriver::inits;
    DeviceBase* a = DeviceBase::create(first.c_str(), args1);
    size_t hams = TestHost::madeFakeHams().size();
    TestHost::clearTraces();
    DeviceBase* b = DeviceBase::create(second.c_str(), args2);

    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(CountingDriver::inits, inits + 1);  // init ran once, before caching
    EXPECT_EQ(TestHost::madeFakeHams().size(), hams);  // no second HAM
    EXPECT_TRUE(TestHost::traced("using previously instanciated HardwareDevice GpioDriver", 0));
    EXPECT_FALSE(TestHost::traced("creating Ham"));
    EXPECT_EQ(args2.driver, "GpioDriver");
}

TEST_F(DeviceTest, FailedCreationsCacheNothingAndAreRetried) {
    struct Case {
        const char* name;
        std::string text;
        const char* trace;
    };
    const Case cases[] = {
        {"unknown driver", deviceText(7004, "NoSuchDriver"), "driver NoSuchDriver not found"},
        {"null factory result", deviceText(7005, "TestNullFactory"), "factory function returned a null object"},
        {"device not in topology", deviceText(7099, "Dummy"), "failed to create Ham"},
        {"no HAM wanted", deviceText(7006, "Dummy", ",\"provideHam\":0"), "device 7006 has no Ham"},
        {"not JSON", "{\"did\":7007,", "failed to parse json object as a device"},
        {"invalid device", "{\"did\":7007}", "failed to parse json object as a device"},
        {"multi-device flag on a hardware driver",
         "{\"did\":7008,\"driver\":\"Dummy\",\"isMultiDevice\":true,\"multiDeviceArgs\":{}}",
         "driver Dummy does not make a MultiDevice"},
        {"multi-device driver without the flag", deviceText(7009, "TestMulti"),
         "driver TestMulti does not make a HardwareDevice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int attempt = 0; attempt < 2; ++attempt) {
            TestHost::clearTraces();
            Drivers::DriverArgs args;
            EXPECT_EQ(DeviceBase::create(c.text.c_str(), args), nullptr);
            EXPECT_TRUE(TestHost::traced(c.trace, 0)) << TestHost::dumpTraces();
        }
        EXPECT_FALSE(cached(7004) || cached(7005) || cached(7099) || cached(7006) || cached(7007) ||
                     cached(7008) || cached(7009));
    }
}

TEST_F(DeviceTest, NullTextIsRefused) {
    Drivers::DriverArgs args;
    EXPECT_EQ(DeviceBase::create(nullptr, args), nullptr);
    EXPECT_TRUE(TestHost::traced("failed to parse json object as a device", 0));
}

TEST_F(DeviceTest, FailingInitLeavesNothingCached) {
    std::string text = deviceText(7010, "TestThrowingInit");
    Drivers::DriverArgs args;
    EXPECT_THROW(DeviceBase::create(text.c_str(), args), Utils::ConsistencyError);
    EXPECT_FALSE(cached(7010));
    // Through an add function the failure becomes a null record.
    EXPECT_EQ(zl_gpio_add(text.c_str()), nullptr);
    EXPECT_FALSE(cached(7010));
    EXPECT_TRUE(TestHost::traced("consistency check failed: test driver refuses to start", 0));
}

TEST_F(DeviceTest, GivenHamIsUsedAndSimulationLabelComesFromName) {
    struct Case {
        int simulation;
        std::string extra;
        const char* label;
    };
    const Case cases[] = {
        {1, ",\"name\":\"psu1\"", "psu1"},
        {1, ",\"name\":5", ""},
        {1, "", ""},
        {0, ",\"name\":\"psu1\"", ""},
    };
    uint32_t did = 7011;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra + " simulation " + std::to_string(c.simulation));
        Utils::isInSimulation = c.simulation;
        std::string text = deviceText(did, "Dummy", c.extra);
        Drivers::DriverArgs args;
        ASSERT_TRUE(args.parseJSON(text.c_str()));
        FakeHam* ham = new FakeHam();  // HAMs live as long as their driver object
        size_t made = TestHost::madeFakeHams().size();
        HardwareDevice* device = HardwareDevice::create(args, ham);
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->ham, ham);
        EXPECT_EQ(TestHost::madeFakeHams().size(), made);  // the given HAM, no new one
        EXPECT_EQ(ham->label, c.label);
        EXPECT_EQ(ham->setDriverNameCalls, 1);
        EXPECT_EQ(ham->expected, &HardwareDevice::emptyExpectedValues);
        ++did;
    }
}

TEST_F(DeviceTest, ArgumentsWithoutTextGiveEmptyLabelInSimulation) {
    Utils::isInSimulation = 1;
    Drivers::DriverArgs args;
    args.driver = "Dummy";
    args.did = 7015;
    FakeHam* ham = new FakeHam();
    ASSERT_NE(HardwareDevice::create(args, ham), nullptr);
    EXPECT_EQ(ham->label, "");
}

TEST_F(DeviceTest, DummyAndGpioDriverOfferOnlyTheRegisterGpio) {
    using NewOp = std::function<void(DeviceBase&, const Drivers::FactoryArgs&)>;
    const std::pair<const char*, NewOp> ops[] = {
        {"newPoePort", [](DeviceBase& d, const Drivers::FactoryArgs& a) { d.newPoePort(a); }},
        {"newTempSensor", [](DeviceBase& d, const Drivers::FactoryArgs& a) { d.newTempSensor(a); }},
        {"newSlot", [](DeviceBase& d, const Drivers::FactoryArgs& a) { d.newSlot(a); }},
        {"newSfpXcvr", [](DeviceBase& d, const Drivers::FactoryArgs& a) { d.newSfpXcvr(1, a); }},
        {"newQsfpXcvr", [](DeviceBase& d, const Drivers::FactoryArgs& a) { d.newQsfpXcvr(1, a); }},
        {"newLed", [](DeviceBase& d, const Drivers::FactoryArgs& a) { d.newLed(a); }},
        {"newFan", [](DeviceBase& d, const Drivers::FactoryArgs& a) { d.newFan(a); }},
        {"newMux", [](DeviceBase& d, const Drivers::FactoryArgs& a) { d.newMux(a, 0); }},
        {"newPsu", [](DeviceBase& d, const Drivers::FactoryArgs& a) { d.newPsu(a); }},
        {"newSmbusProxy", [](DeviceBase& d, const Drivers::FactoryArgs& a) { d.newSmbusProxy(a); }},
    };
    for (const char* driver : {"Dummy", "GpioDriver"}) {
        SCOPED_TRACE(driver);
        Drivers::DriverArgs args;
        args.driver = driver;
        std::unique_ptr<DeviceBase> made(Drivers::drivers.at(driver)(args, nullptr));
        ASSERT_NE(dynamic_cast<Drivers::Dummy*>(made.get()), nullptr);
        for (const auto& [name, op] : ops) {
            try {
                op(*made, args);
                ADD_FAILURE() << name << " did not throw";
            } catch (const NotImplementedException& e) {
                EXPECT_EQ(std::string(e.what()), std::string("Not implemented ") + name);
            }
        }
        auto* hardware = static_cast<HardwareDevice*>(made.get());
        args.driverArgs = {{"register", "2"}, {"bitpos", "1"}};
        std::unique_ptr<Component::LogicalDevice::Gpio> gpio(hardware->newGpio(args));
        auto* reg = dynamic_cast<Component::LogicalDevice::RegGpio*>(gpio.get());
        ASSERT_NE(reg, nullptr);
        EXPECT_EQ(reg->device, hardware);
        EXPECT_EQ(reg->register_, 2);
        EXPECT_EQ(reg->bitPosition, 1);
    }
}

TEST_F(DeviceTest, MultiDeviceGetsNoHamAndKeepsItsMemberTexts) {
    std::string member = deviceText(7001, "Dummy", ",\"driverArgs\":{\"register\":\"3\",\"bitpos\":\"4\"}");
    std::string escaped;
    for (char ch : member) {
        if (ch == '"') escaped += '\\';
        escaped += ch;
    }
    std::string text = "{\"did\":7016,\"driver\":\"TestMulti\",\"isMultiDevice\":true,\"provideHam\":1,"
                       "\"multiDeviceArgs\":{\"gpio\":\"" + escaped + "\",\"bad\":\"{\"}}";
    size_t hams = TestHost::madeFakeHams().size();
    int inits = TestMultiDevice::inits;
    Drivers::DriverArgs args;
    DeviceBase* device = DeviceBase::create(text.c_str(), args);
    auto* multi = dynamic_cast<TestMultiDevice*>(device);
    ASSERT_NE(multi, nullptr) << TestHost::dumpTraces();
    EXPECT_EQ(TestHost::madeFakeHams().size(), hams);
    EXPECT_EQ(TestMultiDevice::inits, inits + 1);
    EXPECT_TRUE(TestHost::traced("TestMulti MultiDevice created", 0));
    EXPECT_EQ(multi->deviceDriverArgs.size(), 2u);
    EXPECT_STREQ(multi->getDeviceDriverArg("gpio"), member.c_str());

    // Cached like a hardware device; the same did can't be had as a hardware device.
    Drivers::DriverArgs again;
    EXPECT_EQ(DeviceBase::create(text.c_str(), again), device);
    EXPECT_EQ(DeviceBase::create(deviceText(7016, "Dummy").c_str(), again), nullptr);

    // Members: a missing key appends nothing; a failing member still appends its null.
    TestHost::clearTraces();
    EXPECT_EQ(multi->addFan("nope"), nullptr);
    EXPECT_TRUE(multi->fans.empty());
    EXPECT_TRUE(TestHost::traced("Failed to find driverArgs for driver key 'nope'", 0));

    EXPECT_EQ(multi->addSlot("bad"), nullptr);
    ASSERT_EQ(multi->slots.size(), 1u);
    EXPECT_EQ(multi->slots[0], nullptr);

    EXPECT_EQ(multi->addPsu("gpio"), nullptr);  // a Dummy makes no power supply
    EXPECT_EQ(multi->psus.size(), 1u);
    EXPECT_EQ(multi->addFan("gpio"), nullptr);
    EXPECT_EQ(multi->fans.size(), 1u);
    EXPECT_TRUE(TestHost::traced("MultiDevice::addFan driver args = " + member, 6));

    zl_gpio* gpio = multi->addGpio("gpio");
    ASSERT_NE(gpio, nullptr);
    ASSERT_EQ(multi->gpios.size(), 1u);
    EXPECT_EQ(multi->gpios[0], gpio);
    EXPECT_TRUE(TestHost::traced("MultiDevice::addGpio driver args = " + member, 6));
}

TEST_F(DeviceTest, HardwareCreateOnCachedMultiDeviceGivesNull) {
    std::string text =
        "{\"did\":7017,\"driver\":\"TestMulti\",\"isMultiDevice\":true,\"multiDeviceArgs\":{}}";
    Drivers::DriverArgs args;
    ASSERT_NE(DeviceBase::create(text.c_str(), args), nullptr);
    EXPECT_EQ(HardwareDevice::create(args, nullptr), nullptr);
    EXPECT_TRUE(TestHost::traced("device 7017 is not a HardwareDevice", 0));
}

TEST(NotImplementedExceptionTest, MessageNamesTheOperation) {
    EXPECT_STREQ(NotImplementedException("newFan").what(), "Not implemented newFan");
}

}  // namespace
