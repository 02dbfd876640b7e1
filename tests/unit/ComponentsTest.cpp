// The host-facing logical devices: callback tables and forwarding, the add functions, the
// register GPIO, and the system object (power cycle, the reload cause the board lacks).
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Components/LogicalDevices.h"
#include "Drivers/Device.h"
#include "FakeHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"
#include "zl_api.h"

using namespace Component::LogicalDevice;
using Component::DeviceBase;
using TestHost::FakeHam;

namespace {

TEST(CallbackTableTest, SizeWordAndNullWordsPerKind) {
    std::unique_ptr<zl_system> system(zl_system_add(""));
    // After the size word: 'x' for a callback, '0' for a word the host must find null.
    const std::tuple<const char*, const zl_word*, std::string> cases[] = {
        {"slot", Slot::callbacks, "x"},          {"temperature sensor", TempSensor::callbacks, "0x"},
        {"fan", Fan::callbacks, "xxx"},          {"power supply", Psu::callbacks, "0xxxxxxx"},
        {"gpio", Gpio::callbacks, "xxx"},        {"system", system->callbacks, "0xx0"},
    };
    for (const auto& [kind, table, words] : cases) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(table[0], (words.size() + 1) * sizeof(zl_word));
        for (size_t i = 0; i < words.size(); ++i) EXPECT_EQ(table[i + 1] == 0, words[i] == '0') << "word " << i + 1;
    }
}

// ---- logical devices with scripted behaviour: a value, status 3, or an exception ----

enum class Mode { Value, Status, NotImplemented, OtherError };

template <class T>
zl_status answer(Mode mode, T* out, T value) {
    if (mode == Mode::NotImplemented) throw NotImplementedException("testOperation");
    if (mode == Mode::OtherError) throw std::runtime_error("broken");
    if (mode == Mode::Status) return 3;
    *out = value;
    return 0;
}

Mode scripted = Mode::Value;  // what every test device does
struct TestSlot : Slot {
    TestSlot() : Slot(2, {}, "") {}
    zl_status getPresence(char** fdl) override { return answer<char*>(scripted, fdl, nullptr); }
};
struct TestSensor : TempSensor {
    zl_status getTemperature(float* c) override { return answer(scripted, c, 42.5f); }
};
struct TestFan : Fan {
    int lastSet = -1;
    zl_status getRpm(int* rpm) override { return answer(scripted, rpm, 9000); }
    zl_status setRpm(int rpm) override { return answer(scripted, &lastSet, rpm); }
};
struct TestPsu : Psu {
    zl_status get_power_ok(int* ok) override { return answer(scripted, ok, 1); }
    zl_status get_input_current(float* v) override { return answer(scripted, v, 1.0f); }
    zl_status get_output_current(float* v) override { return answer(scripted, v, 2.0f); }
    zl_status get_input_voltage(float* v) override { return answer(scripted, v, 3.0f); }
    zl_status get_output_voltage(float* v) override { return answer(scripted, v, 4.0f); }
    zl_status get_input_power(float* v) override { return answer(scripted, v, 5.0f); }
    zl_status get_output_power(float* v) override { return answer(scripted, v, 6.0f); }
};

// Every callback passes the device's status through; "not implemented" gives 5, any other
// exception 6 (no exception leaves the C entry point); the output is written only on success.
TEST(CallbackTest, StatusesAndOutputsForEachMode) {
    TestSlot slot;
    TestSensor sensor;
    TestFan fan;
    TestPsu psu;
    char marker = 0;
    char* p = &marker;
    float f = -1;
    int i = -1;
    // The one output a call wrote, -1 when none (a null description text counts as 0).
    auto output = [&]() -> double {
        return p != &marker ? (p == nullptr ? 0 : -2) : f != -1 ? f : i != -1 ? i : fan.lastSet;
    };
    // Each call goes through the record's table, as the host calls it.
    std::vector<std::pair<std::function<zl_status()>, double>> cases = {
        {[&] { return ZL_CALLBACK(&slot.record, ZL_SLOT_GET_PRESENCE, zl_slot_get_presence_fn)(&slot.record, &p); }, 0},
        {[&] { return ZL_CALLBACK(&sensor.record, ZL_TEMP_GET_TEMPERATURE, zl_temp_get_temperature_fn)(&sensor.record, &f); },
         42.5},
        {[&] { return ZL_CALLBACK(&fan.record, ZL_FAN_GET_RPM, zl_fan_get_rpm_fn)(&fan.record, &i); }, 9000},
        {[&] { return ZL_CALLBACK(&fan.record, ZL_FAN_SET_RPM, zl_fan_set_rpm_fn)(&fan.record, -42); }, -42},
        {[&] { return ZL_CALLBACK(&psu.record, ZL_PSU_GET_POWER_OK, zl_psu_get_int_fn)(&psu.record, &i); }, 1},
    };
    for (int k = 0; k < 6; ++k) {  // the float callbacks follow power ok in the table
        auto call = ZL_CALLBACK(&psu.record, ZL_PSU_GET_INPUT_CURRENT + k, zl_psu_get_float_fn);
        cases.emplace_back([&, call] { return call(&psu.record, &f); }, k + 1);
    }
    // Per mode: the status, and the exception text traced at level 0.
    const std::tuple<Mode, zl_status, std::string> modes[] = {{Mode::Value, 0, ""},
                                                              {Mode::Status, 3, ""},
                                                              {Mode::NotImplemented, 5, "Not implemented testOperation"},
                                                              {Mode::OtherError, 6, "broken"}};
    for (const auto& [m, status, error] : modes) {
        scripted = m;
        for (size_t k = 0; k < cases.size(); ++k) {
            SCOPED_TRACE(std::to_string(k) + " in mode " + std::to_string(static_cast<int>(m)));
            TestHost::clearTraces();
            p = &marker, f = -1, i = -1, fan.lastSet = -1;
            EXPECT_EQ(cases[k].first(), status);
            EXPECT_EQ(output(), m == Mode::Value ? cases[k].second : -1);
            EXPECT_EQ(TestHost::traced(error, 0), !error.empty()) << TestHost::dumpTraces();
        }
    }
    // The default debug information leaves the host's pointer alone.
    EXPECT_EQ(ZL_CALLBACK(&fan.record, ZL_FAN_DEBUG_INFO, zl_fan_debug_info_fn)(&fan.record, &p), 0);
    EXPECT_EQ(p, &marker);
    EXPECT_EQ(TempSensor::getTemperatureCallback(nullptr, &f), 6);
    EXPECT_EQ(Gpio::bitSetCallback(nullptr), 6);
}

// The add functions against a fake HAM (dids 7100..7199).
struct NullMaker : Component::HardwareDevice {
    TempSensor* newTempSensor(const Drivers::FactoryArgs&) override { return nullptr; }
    Slot* newSlot(const Drivers::FactoryArgs&) override { return nullptr; }
    Fan* newFan(const Drivers::FactoryArgs&) override { return nullptr; }
    Psu* newPsu(const Drivers::FactoryArgs&) override { return nullptr; }
    Gpio* newGpio(const Drivers::FactoryArgs&) override { return nullptr; }
};

class AddTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registrations_.addDriver("TestNullMaker", [](auto&, auto*) -> DeviceBase* { return new NullMaker(); });
        registrations_.addDriver("TestMulti", [](auto&, auto*) -> DeviceBase* { return new Component::MultiDevice(); });
        Utils::isInSimulation = 0;
        const std::string devices = "{\"did\":7101},{\"did\":7102},{\"did\":7103},{\"did\":7104},{\"did\":7105}";
        ASSERT_EQ(Topology::loadTopology(TestHost::fakeHamTopology(devices).c_str()), ZL_STATUS_OK);
        TestHost::clearTraces();
    }

    static std::string text(unsigned did, const std::string& driver, const std::string& driverArgs = "") {
        std::string t = "{\"did\":" + std::to_string(did) + ",\"driver\":\"" + driver + "\",\"address\":{\"address\":72}";
        return t + (driverArgs.empty() ? "" : ",\"driverArgs\":" + driverArgs) + "}";
    }

    TestHost::FakeRegistrations registrations_;
};

TEST_F(AddTest, FailuresGiveNullWithTheirTraceAndLevel) {
    const std::string dummy = text(7102, "Dummy"), nullMaker = text(7103, "TestNullMaker");
    auto slot = [](const std::string& t) { return [t] { return static_cast<void*>(zl_slot_add(t.c_str())); }; };
    auto fan = [](const std::string& t) { return [t] { return static_cast<void*>(zl_fan_add(t.c_str())); }; };
    auto psu = [](const std::string& t) { return [t] { return static_cast<void*>(zl_psu_add(t.c_str())); }; };
    // The kinds share one add with their own failure text and level: one row per text and level.
    const std::tuple<const char*, std::function<void*()>, const char*, int> cases[] = {
        {"slot not offered", slot(dummy), "Not implemented newSlot", 0},
        {"fan bad text", fan("nope"), "DeviceBase::create() failed", 0},
        {"psu bad text", psu("nope"), "DeviceBase::create() failed", 2},
        {"fan null", fan(nullMaker), "newFan() failed", 0},
        {"psu null", psu(nullMaker), "newPsu() failed", 2},
    };
    for (const auto& [name, add, trace, level] : cases) {
        SCOPED_TRACE(name);
        TestHost::clearTraces();
        EXPECT_EQ(add(), nullptr);
        EXPECT_TRUE(TestHost::traced(trace, level)) << TestHost::dumpTraces();
    }
    // The sensor and GPIO adds give null quietly when the driver makes nothing.
    TestHost::clearTraces();
    EXPECT_EQ(zl_temp_sensor_add(nullMaker.c_str(), 0, 0), nullptr);
    EXPECT_EQ(zl_gpio_add(nullMaker.c_str()), nullptr);
    EXPECT_FALSE(TestHost::traced("failed"));
    EXPECT_EQ(zl_gpio_add("nope"), nullptr);
    EXPECT_EQ(zl_gpio_add("{\"did\":7104,\"driver\":\"TestMulti\",\"isMultiDevice\":true,\"multiDeviceArgs\":{}}"), nullptr);
    EXPECT_EQ(zl_slot_add(nullptr), nullptr);
}

TEST_F(AddTest, RegisterGpioSetsClearsAndReadsBitFourOfRegisterThree) {
    zl_gpio* gpio = zl_gpio_add(text(7105, "GpioDriver", "{\"register\":\"3\",\"bitpos\":\"4\"}").c_str());
    ASSERT_NE(gpio, nullptr) << TestHost::dumpTraces();
    FakeHam* ham = TestHost::fakeHamFor(7105);
    ham->bytes[3] = 0x01;
    ham->executed.clear();
    auto set = ZL_CALLBACK(gpio, ZL_GPIO_BIT_SET, zl_gpio_bit_op_fn);
    auto clear = ZL_CALLBACK(gpio, ZL_GPIO_BIT_CLEAR, zl_gpio_bit_op_fn);
    auto read = ZL_CALLBACK(gpio, ZL_GPIO_BIT_READ, zl_gpio_bit_read_fn);
    unsigned set1 = 7, cleared = 7;
    EXPECT_TRUE(set(gpio) == 0 && read(gpio, &set1) == 0 && clear(gpio) == 0 && read(gpio, &cleared) == 0);
    EXPECT_TRUE(set1 == 1 && cleared == 0);
    // Set and clear are a read batch then a write batch (no PEC); read is one read batch.
    EXPECT_EQ(ham->traffic(), "r8 03 | w8 03=11 | r8 03 | r8 03 | w8 03=01 | r8 03");

    // A failing read writes nothing and leaves the output; a failing write gives its status.
    ham->status = ZL_STATUS_NO_COMM;
    unsigned bit = 9;
    EXPECT_TRUE(set(gpio) == ZL_STATUS_NO_COMM && clear(gpio) == ZL_STATUS_NO_COMM &&
                read(gpio, &bit) == ZL_STATUS_NO_COMM);
    EXPECT_EQ(bit, 9u);
    EXPECT_EQ(ham->traffic(), "r8 03 !4 | r8 03 !4 | r8 03 !4");  // nothing written
    ham->status = ZL_STATUS_OK;
    ham->nextStatuses = {ZL_STATUS_OK, ZL_STATUS_FAILED};
    EXPECT_EQ(set(gpio), ZL_STATUS_FAILED);
    delete static_cast<Gpio*>(gpio->object);

    // A bit position outside the byte touches no bit: the byte goes back as read, the bit reads 0.
    gpio = zl_gpio_add(text(7105, "GpioDriver", "{\"register\":\"5\",\"bitpos\":\"8\"}").c_str());
    ASSERT_NE(gpio, nullptr);
    ham->bytes[5] = 0xA5;
    unsigned bit8 = 7;
    EXPECT_TRUE(set(gpio) == 0 && clear(gpio) == 0 && read(gpio, &bit8) == 0 && bit8 == 0);
    // (after the failed write above)
    EXPECT_EQ(ham->traffic(), "r8 03 | w8 03=11 !6 | r8 05 | w8 05=a5 | r8 05 | w8 05=a5 | r8 05");
    delete static_cast<Gpio*>(gpio->object);
}

// ---- the system object (dids 7400..7499; each test its own master CPLD did, so the driver
// cache gives it its own HAM) ----

std::string topologyWithCpld(unsigned did) {
    return TestHost::fakeHamTopology("{\"did\":" + std::to_string(did) +
                                     ",\"label\":\"MasterCpld\",\"driver\":null,\"address\":{\"address\":35}}");
}

class SystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Utils::isInSimulation = 0;
        system_.reset(zl_system_add(""));
    }
    zl_status powercycle() {
        return ZL_CALLBACK(system_.get(), ZL_SYSTEM_POWERCYCLE, zl_system_powercycle_fn)(system_.get());
    }

    TestHost::FakeRegistrations registrations_;
    std::unique_ptr<zl_system> system_;
};

TEST_F(SystemTest, NoReloadCauseAndTheHostsBuffersLeftAlone) {
    char cause[100] = "c", text[500] = "t";
    long when = 1234;
    auto get = ZL_CALLBACK(system_.get(), ZL_SYSTEM_GET_RELOAD_CAUSE, zl_system_get_reload_cause_fn);
    EXPECT_EQ(get(system_.get(), cause, &when, text), ZL_STATUS_NOT_PROVIDED);
    EXPECT_TRUE(when == 1234 && std::string(cause) == "c" && std::string(text) == "t");
}

TEST_F(SystemTest, PowercycleSetsBitFourThenBitZeroOfRegisterThree) {
    ASSERT_EQ(Topology::loadTopology(topologyWithCpld(7401).c_str()), ZL_STATUS_OK);
    // The CPLD's driver object and HAM are made by the first power cycle; register 3 reads 0.
    EXPECT_EQ(powercycle(), ZL_STATUS_OK) << TestHost::dumpTraces();
    FakeHam* ham = TestHost::fakeHamFor(7401);
    ASSERT_NE(ham, nullptr);
    EXPECT_EQ(ham->driverName, "Dummy");
    EXPECT_EQ(ham->traffic(), "r8 03 | w8 03=10 | r8 03 | w8 03=11");
    ham->bytes[3] = 0x40;
    EXPECT_EQ(powercycle(), ZL_STATUS_OK);
    EXPECT_EQ(ham->traffic(), "r8 03 | w8 03=50 | r8 03 | w8 03=51") << "the other bits kept";
    // A failing first read still lets the second bit go out; any failure gives FAILED.
    ham->bytes[3] = 0;
    ham->nextStatuses = {ZL_STATUS_NO_COMM, ZL_STATUS_OK, ZL_STATUS_OK};
    EXPECT_EQ(powercycle(), ZL_STATUS_FAILED);
    EXPECT_EQ(ham->traffic(), "r8 03 !4 | r8 03 | w8 03=01");
    ham->nextStatuses = {ZL_STATUS_OK, ZL_STATUS_OK, ZL_STATUS_OK, ZL_STATUS_FAILED};
    EXPECT_EQ(powercycle(), ZL_STATUS_FAILED);
}

// (A bare or unmakeable CPLD device breaks the label lookup's rules: LabelTest.)
TEST_F(SystemTest, PowercycleWithoutMasterCpldTouchesNothing) {
    ASSERT_EQ(Topology::loadTopology(TestHost::fakeHamTopology("{\"did\":7403,\"label\":\"OtherCpld\",\"driver\":null,"
                                                               "\"address\":{\"address\":35}}").c_str()),
              ZL_STATUS_OK);
    std::vector<size_t> batches;
    for (FakeHam* ham : TestHost::madeFakeHams()) batches.push_back(ham->executed.size());
    EXPECT_EQ(powercycle(), ZL_STATUS_FAILED);
    for (size_t k = 0; k < TestHost::madeFakeHams().size(); ++k)
        EXPECT_EQ(TestHost::madeFakeHams()[k]->executed.size(), k < batches.size() ? batches[k] : 0u);
}

}  // namespace
