// The host-facing logical devices: callback tables, callback forwarding and traces, the add
// functions, and the register GPIO.
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"
#include "Drivers/TMP75.h"
#include "FakeHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"

using namespace Component::LogicalDevice;
using Component::DeviceBase;
using Component::HardwareDevice;
using TestHost::FakeHam;

namespace {

std::string pointerText(const void* p) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%p", p);
    return buffer;
}

// ---- callback tables ----

struct TableCase {
    const char* kind;
    const zl_word* table;
    size_t words;
    std::vector<zl_word> entries;  // the words after the size word
};

TEST(CallbackTableTest, SizeWordAndEntriesPerKind) {
    const TableCase cases[] = {
        {"slot", Slot::callbacks, 2, {reinterpret_cast<zl_word>(&Slot::getPresenceCallback)}},
        {"temperature sensor",
         TempSensor::callbacks,
         3,
         {0, reinterpret_cast<zl_word>(&TempSensor::getTemperatureCallback)}},
        {"fan",
         Fan::callbacks,
         4,
         {reinterpret_cast<zl_word>(&Fan::debugInfoCallback), reinterpret_cast<zl_word>(&Fan::getRpmCallback),
          reinterpret_cast<zl_word>(&Fan::setRpmCallback)}},
        {"power supply",
         Psu::callbacks,
         9,
         {0, reinterpret_cast<zl_word>(&Psu::get_power_ok_callback),
          reinterpret_cast<zl_word>(&Psu::get_input_current_callback),
          reinterpret_cast<zl_word>(&Psu::get_output_current_callback),
          reinterpret_cast<zl_word>(&Psu::get_input_voltage_callback),
          reinterpret_cast<zl_word>(&Psu::get_output_voltage_callback),
          reinterpret_cast<zl_word>(&Psu::get_input_power_callback),
          reinterpret_cast<zl_word>(&Psu::get_output_power_callback)}},
        {"gpio",
         Gpio::callbacks,
         4,
         {reinterpret_cast<zl_word>(&Gpio::bitSetCallback), reinterpret_cast<zl_word>(&Gpio::bitClearCallback),
          reinterpret_cast<zl_word>(&Gpio::bitReadCallback)}},
    };
    for (const TableCase& c : cases) {
        SCOPED_TRACE(c.kind);
        EXPECT_EQ(c.table[0], c.words * sizeof(zl_word));
        ASSERT_EQ(c.entries.size(), c.words - 1);
        for (size_t i = 0; i < c.entries.size(); ++i) EXPECT_EQ(c.table[i + 1], c.entries[i]) << "word " << i + 1;
    }
    // The 32-bit sizes the host's table layout is known by.
    EXPECT_EQ(Slot::callbacks[0] / sizeof(zl_word) * 4, 8u);
    EXPECT_EQ(TempSensor::callbacks[0] / sizeof(zl_word) * 4, 12u);
    EXPECT_EQ(Fan::callbacks[0] / sizeof(zl_word) * 4, 16u);
    EXPECT_EQ(Psu::callbacks[0] / sizeof(zl_word) * 4, 36u);
    EXPECT_EQ(Gpio::callbacks[0] / sizeof(zl_word) * 4, 16u);
}

// ---- logical devices with scripted behaviour ----

enum class Behaviour { Value, Status, NotImplemented, OtherError };

void act(Behaviour b) {
    if (b == Behaviour::NotImplemented) throw NotImplementedException("testOperation");
    if (b == Behaviour::OtherError) throw std::runtime_error("broken");
}

struct TestSlot : Slot {
    TestSlot() : Slot(2, {{"k", "v"}}, "text") {}
    Behaviour behaviour = Behaviour::Value;
    zl_status getPresence(char** fdl) override {
        act(behaviour);
        if (behaviour == Behaviour::Status) return 1;
        *fdl = nullptr;
        return 0;
    }
};

struct TestSensor : TempSensor {
    Behaviour behaviour = Behaviour::Value;
    zl_status getTemperature(float* c) override {
        act(behaviour);
        if (behaviour == Behaviour::Status) return 4;
        *c = 42.5f;
        return 0;
    }
};

struct TestFan : Fan {
    Behaviour behaviour = Behaviour::Value;
    int lastSet = -1;
    zl_status getRpm(int* rpm) override {
        act(behaviour);
        if (behaviour == Behaviour::Status) return 6;
        *rpm = 9000;
        return 0;
    }
    zl_status setRpm(int rpm) override {
        act(behaviour);
        lastSet = rpm;
        return behaviour == Behaviour::Status ? 3 : 0;
    }
};

struct TestPsu : Psu {
    Behaviour behaviour = Behaviour::Value;
    zl_status value(float* out, float v) {
        act(behaviour);
        if (behaviour == Behaviour::Status) return 2;
        *out = v;
        return 0;
    }
    zl_status get_power_ok(int* ok) override {
        act(behaviour);
        if (behaviour == Behaviour::Status) return 2;
        *ok = 1;
        return 0;
    }
    zl_status get_input_current(float* v) override { return value(v, 1.0f); }
    zl_status get_output_current(float* v) override { return value(v, 2.0f); }
    zl_status get_input_voltage(float* v) override { return value(v, 3.0f); }
    zl_status get_output_voltage(float* v) override { return value(v, 4.0f); }
    zl_status get_input_power(float* v) override { return value(v, 5.0f); }
    zl_status get_output_power(float* v) override { return value(v, 6.0f); }
};

TEST(LogicalDeviceTest, ConstructorsFillTheHostRecord) {
    TestSlot slot;
    EXPECT_EQ(slot.record.callbacks, Slot::callbacks);
    EXPECT_EQ(slot.record.object, &slot);
    EXPECT_EQ(slot.index, 2);
    EXPECT_EQ(slot.slotArgs_.at("k"), "v");
    EXPECT_STREQ(slot.jsonText, "text");
    TestSensor sensor;
    EXPECT_EQ(sensor.record.callbacks, TempSensor::callbacks);
    EXPECT_EQ(sensor.record.object, &sensor);
    TestFan fan;
    EXPECT_EQ(fan.record.callbacks, Fan::callbacks);
    EXPECT_EQ(fan.record.object, &fan);
    TestPsu psu;
    EXPECT_EQ(psu.record.callbacks, Psu::callbacks);
    EXPECT_EQ(psu.record.object, &psu);
}

// Each callback: the status it returns for every behaviour, and whether the output was written.
TEST(CallbackTest, StatusesAndOutputsForEachBehaviour) {
    struct Expect {
        Behaviour behaviour;
        zl_status status;
        bool written;
    };
    const Expect expectations[] = {
        {Behaviour::Value, 0, true},
        {Behaviour::NotImplemented, 5, false},
        {Behaviour::OtherError, 6, false},
    };
    for (const Expect& e : expectations) {
        SCOPED_TRACE(static_cast<int>(e.behaviour));
        TestSensor sensor;
        sensor.behaviour = e.behaviour;
        float celsius = -1.0f;
        EXPECT_EQ(TempSensor::getTemperatureCallback(&sensor.record, &celsius), e.status);
        EXPECT_EQ(celsius, e.written ? 42.5f : -1.0f);

        TestFan fan;
        fan.behaviour = e.behaviour;
        int rpm = -1;
        EXPECT_EQ(Fan::getRpmCallback(&fan.record, &rpm), e.status);
        EXPECT_EQ(rpm, e.written ? 9000 : -1);

        TestPsu psu;
        psu.behaviour = e.behaviour;
        int ok = -1;
        EXPECT_EQ(Psu::get_power_ok_callback(&psu.record, &ok), e.status);
        EXPECT_EQ(ok, e.written ? 1 : -1);
        float volts = -1.0f;
        EXPECT_EQ(Psu::get_output_voltage_callback(&psu.record, &volts), e.status);
        EXPECT_EQ(volts, e.written ? 4.0f : -1.0f);

        TestSlot slot;
        slot.behaviour = e.behaviour;
        char marker = 0;
        char* fdl = &marker;
        EXPECT_EQ(Slot::getPresenceCallback(&slot.record, &fdl), e.status);
        EXPECT_EQ(fdl, e.written ? nullptr : &marker);
    }
}

TEST(CallbackTest, DeviceStatusPassesThroughUnchanged) {
    TestSensor sensor;
    sensor.behaviour = Behaviour::Status;
    float c = 0;
    EXPECT_EQ(TempSensor::getTemperatureCallback(&sensor.record, &c), 4);
    TestFan fan;
    fan.behaviour = Behaviour::Status;
    EXPECT_EQ(Fan::setRpmCallback(&fan.record, 1234), 3);
    EXPECT_EQ(fan.lastSet, 1234);
    TestPsu psu;
    psu.behaviour = Behaviour::Status;
    float a = 0;
    EXPECT_EQ(Psu::get_input_current_callback(&psu.record, &a), 2);
    TestSlot slot;
    slot.behaviour = Behaviour::Status;
    char* fdl = nullptr;
    EXPECT_EQ(Slot::getPresenceCallback(&slot.record, &fdl), 1);
}

TEST(CallbackTest, NullRecordGivesFailureNotCrash) {
    float c = 0;
    EXPECT_EQ(TempSensor::getTemperatureCallback(nullptr, &c), 6);
    EXPECT_EQ(Gpio::bitSetCallback(nullptr), 6);
}

TEST(CallbackTest, DefaultDebugInfoLeavesThePointer) {
    TestFan fan;
    char marker = 0;
    char* info = &marker;
    EXPECT_EQ(Fan::debugInfoCallback(&fan.record, &info), 0);
    EXPECT_EQ(info, &marker);
}

TEST(CallbackTest, TracesAtLevelFour) {
    TestSlot slot;
    TestSensor sensor;
    TestFan fan;
    TestPsu psu;
    char* fdl = nullptr;
    float f = 0;
    int i = 0;
    TestHost::clearTraces();
    Slot::getPresenceCallback(&slot.record, &fdl);
    TempSensor::getTemperatureCallback(&sensor.record, &f);
    Fan::debugInfoCallback(&fan.record, &fdl);
    Fan::getRpmCallback(&fan.record, &i);
    Fan::setRpmCallback(&fan.record, -42);
    Psu::get_power_ok_callback(&psu.record, &i);
    Psu::get_input_current_callback(&psu.record, &f);
    Psu::get_output_current_callback(&psu.record, &f);
    Psu::get_input_voltage_callback(&psu.record, &f);
    Psu::get_output_voltage_callback(&psu.record, &f);
    Psu::get_input_power_callback(&psu.record, &f);
    Psu::get_output_power_callback(&psu.record, &f);

    const std::vector<std::string> expected = {
        "getPresenceCallback(" + pointerText(&slot.record) + ")",
        "getTemperatureCallback(" + pointerText(&sensor.record) + ")",
        "debugInfoCallback(" + pointerText(&fan.record) + ")",
        "getRpmCallback(" + pointerText(&fan.record) + ")",
        "setRpmCallback(" + pointerText(&fan.record) + ", -42)",
        "get_power_ok_callback",
        "get_input_current_callback",
        "get_output_current_callback",
        "get_input_voltage_callback",
        "get_output_voltage_callback",
        "get_input_power_callback",
        "get_output_power_callback",
    };
    ASSERT_EQ(TestHost::traces().size(), expected.size()) << TestHost::dumpTraces();
    for (size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(TestHost::traces()[k].level, 4);
        EXPECT_EQ(TestHost::traces()[k].text, expected[k]);
    }
}

// ---- add functions against a fake HAM ----

// Dids 7100..7199 belong to this file.
const char* const kDevices =
    "{\"did\":7101},{\"did\":7102},{\"did\":7103},{\"did\":7104},{\"did\":7105},{\"did\":7106},"
    "{\"did\":7107},{\"did\":7108},{\"did\":7109},{\"did\":7110},{\"did\":7111},{\"did\":7112}";

struct NullMaker : HardwareDevice {
    TempSensor* newTempSensor(const Drivers::FactoryArgs&) override { return nullptr; }
    Slot* newSlot(const Drivers::FactoryArgs&) override { return nullptr; }
    Fan* newFan(const Drivers::FactoryArgs&) override { return nullptr; }
    Psu* newPsu(const Drivers::FactoryArgs&) override { return nullptr; }
    Gpio* newGpio(const Drivers::FactoryArgs&) override { return nullptr; }
};

class AddTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registrations_.addDriver("TestNullMaker", [](const Drivers::FactoryArgs&, Ham::Ham*) -> DeviceBase* {
            return new NullMaker();
        });
        Utils::isInSimulation = 0;
        ASSERT_EQ(Topology::loadTopology(TestHost::fakeHamTopology(kDevices).c_str()), ZL_STATUS_OK);
        TestHost::clearTraces();
    }

    static std::string text(unsigned did, const std::string& driver, const std::string& driverArgs = "") {
        std::string t = "{\"did\":" + std::to_string(did) + ",\"driver\":\"" + driver + "\",\"address\":{\"address\":72}";
        if (!driverArgs.empty()) t += ",\"driverArgs\":" + driverArgs;
        return t + "}";
    }

    TestHost::FakeRegistrations registrations_;
};

TEST_F(AddTest, TempSensorAddStoresThresholds) {
    std::string t = text(7101, "TMP75");
    zl_temp_sensor* record = zl_temp_sensor_add(t.c_str(), 80.5f, 95.0f);
    ASSERT_NE(record, nullptr) << TestHost::dumpTraces();
    EXPECT_EQ(record->callbacks, TempSensor::callbacks);
    auto* sensor = static_cast<TempSensor*>(record->object);
    EXPECT_EQ(&sensor->record, record);
    EXPECT_EQ(sensor->alertThreshold, 80.5f);
    EXPECT_EQ(sensor->criticalThreshold, 95.0f);
    EXPECT_TRUE(TestHost::traced("setting alert threshold", 0));
    EXPECT_TRUE(TestHost::traced("setting critical threshold", 0));
    delete sensor;
}

TEST_F(AddTest, KindsTheDriverDoesNotOfferGiveNullWithTrace) {
    std::string t = text(7102, "Dummy");
    struct Case {
        const char* kind;
        std::function<void*()> add;
    };
    const Case cases[] = {
        {"newSlot", [&] { return static_cast<void*>(zl_slot_add(t.c_str())); }},
        {"newFan", [&] { return static_cast<void*>(zl_fan_add(t.c_str())); }},
        {"newPsu", [&] { return static_cast<void*>(zl_psu_add(t.c_str())); }},
        {"newTempSensor", [&] { return static_cast<void*>(zl_temp_sensor_add(t.c_str(), 1, 2)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        TestHost::clearTraces();
        EXPECT_EQ(c.add(), nullptr);
        EXPECT_TRUE(TestHost::traced(std::string("Not implemented ") + c.kind, 0)) << TestHost::dumpTraces();
    }
}

TEST_F(AddTest, FailureTracesAndTheirLevels) {
    std::string nullMaker = text(7103, "TestNullMaker");
    struct Case {
        const char* name;
        std::function<void*()> add;
        const char* trace;
        int level;
    };
    const Case cases[] = {
        {"slot bad text", [] { return static_cast<void*>(zl_slot_add("nope")); }, "DeviceBase::create() failed", 0},
        {"fan bad text", [] { return static_cast<void*>(zl_fan_add("nope")); }, "DeviceBase::create() failed", 0},
        {"psu bad text", [] { return static_cast<void*>(zl_psu_add("nope")); }, "DeviceBase::create() failed", 2},
        {"sensor bad text", [] { return static_cast<void*>(zl_temp_sensor_add("nope", 0, 0)); },
         "DeviceBase::create() failed", 0},
        {"slot null", [&] { return static_cast<void*>(zl_slot_add(nullMaker.c_str())); }, "newSlot() failed", 0},
        {"fan null", [&] { return static_cast<void*>(zl_fan_add(nullMaker.c_str())); }, "newFan() failed", 0},
        {"psu null", [&] { return static_cast<void*>(zl_psu_add(nullMaker.c_str())); }, "newPsu() failed", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestHost::clearTraces();
        EXPECT_EQ(c.add(), nullptr);
        EXPECT_TRUE(TestHost::traced(c.trace, c.level)) << TestHost::dumpTraces();
    }
    // The sensor and GPIO adds give null quietly when the driver makes nothing.
    TestHost::clearTraces();
    EXPECT_EQ(zl_temp_sensor_add(nullMaker.c_str(), 0, 0), nullptr);
    EXPECT_EQ(zl_gpio_add(nullMaker.c_str()), nullptr);
    EXPECT_FALSE(TestHost::traced("failed"));
    EXPECT_EQ(zl_gpio_add("nope"), nullptr);
    EXPECT_EQ(zl_slot_add(nullptr), nullptr);
}

// ---- register GPIO ----

TEST_F(AddTest, RegisterGpioSetsClearsAndReadsOneBit) {
    std::string t = text(7104, "GpioDriver", "{\"register\":\"3\",\"bitpos\":\"4\"}");
    zl_gpio* gpio = zl_gpio_add(t.c_str());
    ASSERT_NE(gpio, nullptr) << TestHost::dumpTraces();
    EXPECT_EQ(gpio->callbacks, Gpio::callbacks);
    FakeHam* ham = TestHost::fakeHamFor(7104);
    ASSERT_NE(ham, nullptr);
    ham->bytes[3] = 0x01;
    ham->executed.clear();

    auto set = ZL_CALLBACK(gpio, ZL_GPIO_BIT_SET, zl_gpio_bit_op_fn);
    auto clear = ZL_CALLBACK(gpio, ZL_GPIO_BIT_CLEAR, zl_gpio_bit_op_fn);
    auto read = ZL_CALLBACK(gpio, ZL_GPIO_BIT_READ, zl_gpio_bit_read_fn);

    TestHost::clearTraces();
    EXPECT_EQ(set(gpio), 0);
    EXPECT_EQ(ham->bytes[3], 0x11);
    unsigned bit = 7;
    EXPECT_EQ(read(gpio, &bit), 0);
    EXPECT_EQ(bit, 1u);
    EXPECT_EQ(clear(gpio), 0);
    EXPECT_EQ(ham->bytes[3], 0x01);
    EXPECT_EQ(read(gpio, &bit), 0);
    EXPECT_EQ(bit, 0u);

    // Each operation is its own batches: read then write for set and clear, one read for read.
    ASSERT_EQ(ham->executed.size(), 6u);
    EXPECT_EQ(ham->executed[0][0].kind, FakeHam::Op::Read8);
    EXPECT_EQ(ham->executed[0][0].reg, 3u);
    EXPECT_EQ(ham->executed[1][0].kind, FakeHam::Op::Write8);
    EXPECT_EQ(ham->executed[1][0].value, 0x11u);
    EXPECT_FALSE(ham->executed[1][0].pec);
    EXPECT_EQ(ham->executed[4][0].value, 0x01u);

    EXPECT_TRUE(TestHost::traced("bitSetCallback", 4));
    EXPECT_TRUE(TestHost::traced("bitClearCallback", 4));
    EXPECT_TRUE(TestHost::traced("bitReadCallback", 4));
    delete static_cast<Gpio*>(gpio->object);
}

TEST_F(AddTest, RegisterGpioFailingReadWritesNothing) {
    std::string t = text(7105, "GpioDriver", "{\"register\":\"3\",\"bitpos\":\"4\"}");
    zl_gpio* gpio = zl_gpio_add(t.c_str());
    ASSERT_NE(gpio, nullptr);
    FakeHam* ham = TestHost::fakeHamFor(7105);
    ham->bytes[3] = 0x01;
    ham->status = ZL_STATUS_NO_COMM;
    ham->executed.clear();
    EXPECT_EQ(Gpio::bitSetCallback(gpio), ZL_STATUS_NO_COMM);
    EXPECT_EQ(Gpio::bitClearCallback(gpio), ZL_STATUS_NO_COMM);
    unsigned bit = 9;
    EXPECT_EQ(Gpio::bitReadCallback(gpio, &bit), ZL_STATUS_NO_COMM);
    EXPECT_EQ(bit, 9u);
    EXPECT_TRUE(ham->writes().empty());
    EXPECT_EQ(ham->executed.size(), 3u);

    // A failing write after a good read gives the write's status.
    ham->status = ZL_STATUS_OK;
    ham->nextStatuses = {ZL_STATUS_OK, ZL_STATUS_FAILED};
    EXPECT_EQ(Gpio::bitSetCallback(gpio), ZL_STATUS_FAILED);
    delete static_cast<Gpio*>(gpio->object);
}

TEST(RegGpioTest, ArgumentConversion) {
    struct Case {
        const char* reg;
        const char* bitpos;
        int expectedReg;
        int expectedBit;
    };
    const Case cases[] = {
        {"3", "4", 3, 4},
        {"0x10", "7", 0, 7},  // only the leading decimal digits count
        {"  12abc", "+2", 12, 2},
        {"-1", "31", -1, 31},
    };
    FakeHam ham;
    Drivers::Dummy device;
    device.ham = &ham;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reg);
        Drivers::DriverArgs args;
        args.driverArgs = {{"register", c.reg}, {"bitpos", c.bitpos}};
        RegGpio gpio(&device, args);
        EXPECT_EQ(gpio.register_, c.expectedReg);
        EXPECT_EQ(gpio.bitPosition, c.expectedBit);
        EXPECT_EQ(gpio.record.callbacks, Gpio::callbacks);
        EXPECT_EQ(gpio.record.object, &gpio);
    }
}

TEST(RegGpioTest, UnusableArgumentsMakeNoObject) {
    Drivers::Dummy device;
    struct Case {
        Drivers::DriverSpecificArgs args;
        const char* message;
    };
    const Case cases[] = {
        {{{"bitpos", "1"}}, "it != args.driverArgs.end()"},
        {{{"register", "1"}}, "it != args.driverArgs.end()"},
        {{{"register", "abc"}, {"bitpos", "1"}}, "stoi"},
        {{{"register", "1"}, {"bitpos", "99999999999"}}, "stoi"},
    };
    for (const Case& c : cases) {
        Drivers::DriverArgs args;
        args.driverArgs = c.args;
        TestHost::clearTraces();
        try {
            std::unique_ptr<Gpio> gpio(device.newGpio(args));
            ADD_FAILURE() << "made a GPIO for " << c.message;
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(RegGpioTest, BitPositionsOutsideTheByteTouchNoBit) {
    for (const char* bitpos : {"8", "15", "31", "32", "63", "-1"}) {
        SCOPED_TRACE(bitpos);
        FakeHam ham;
        ham.bytes[5] = 0xA5;
        Drivers::Dummy device;
        device.ham = &ham;
        Drivers::DriverArgs args;
        args.driverArgs = {{"register", "5"}, {"bitpos", bitpos}};
        RegGpio gpio(&device, args);
        EXPECT_EQ(gpio.bitSet(), 0);
        EXPECT_EQ(ham.bytes[5], 0xA5);
        EXPECT_EQ(gpio.bitClear(), 0);
        EXPECT_EQ(ham.bytes[5], 0xA5);
        unsigned bit = 7;
        EXPECT_EQ(gpio.bitRead(&bit), 0);
        EXPECT_EQ(bit, 0u);
        ASSERT_EQ(ham.writes().size(), 2u);
        EXPECT_EQ(ham.writes()[0].value, 0xA5u);
    }
}

TEST_F(AddTest, GpioAddWithoutRegisterGivesNull) {
    std::string t = text(7106, "GpioDriver", "{\"bitpos\":\"4\"}");
    EXPECT_EQ(zl_gpio_add(t.c_str()), nullptr);
    EXPECT_TRUE(TestHost::traced("consistency check failed: it != args.driverArgs.end()", 0));
    std::string s = text(7106, "GpioDriver", "{\"register\":\"x\",\"bitpos\":\"4\"}");
    TestHost::clearTraces();
    EXPECT_EQ(zl_gpio_add(s.c_str()), nullptr);
    EXPECT_TRUE(TestHost::traced("stoi", 0));
}

TEST_F(AddTest, GpioAddOnMultiDeviceGivesNull) {
    registrations_.addDriver("TestMultiForGpio", [](const Drivers::FactoryArgs&, Ham::Ham*) -> DeviceBase* {
        return new Component::MultiDevice();
    });
    std::string t = "{\"did\":7107,\"driver\":\"TestMultiForGpio\",\"isMultiDevice\":true,\"multiDeviceArgs\":{}}";
    EXPECT_EQ(zl_gpio_add(t.c_str()), nullptr);
}

}  // namespace
