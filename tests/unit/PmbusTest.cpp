// The PMBus power supply driver: LINEAR11/LINEAR16 conversion, the operations and their
// batches, power good by STATUS_WORD or by a CPLD bit, fan duty arithmetic, temperatures,
// configuration rules, and the simulated register table through the simulation HAM.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "Components/LogicalDevices.h"
#include "Drivers/Pmbus.h"
#include "FakeHam.h"
#include "Ham/SimHam.h"
#include "TestHost.h"

using Drivers::Pmbus;
using TestHost::FakeHam;
using TestHost::ScriptedGpio;
using TestHost::argsWith;

namespace {

constexpr float kUntouched = -12345.0f;

TEST(PmbusLinearToReal, ConvertsSignedAndUnsignedMantissas) {
    const struct { uint16_t mantissa; uint8_t exponent, mantissaBits; float expected; } cases[] = {
        {750, 0x1A, 11, 11.71875f},          // exponent -6
        {0x7FF, 0x00, 11, -1.0f},            // 11-bit mantissa is signed
        {0x400, 0x00, 11, -1024.0f},         // most negative mantissa
        {0x3FF, 0x0F, 11, 1023.0f * 32768},  // largest positive value
        {1, 0x10, 11, 1.0f / 65536},         // most negative exponent
        {0xFFFF, 0x00, 16, 65535.0f},        // 16-bit mantissa is unsigned
        {12 << 9, 0xF7, 16, 12.0f},          // "-9" kept as 8 bits: only the low 5 count
    };
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(Pmbus::linearToReal(c.mantissa, c.exponent, c.mantissaBits, 5), c.expected) << c.mantissa;
}

TEST(PmbusReadings, FailuresPassThroughAndLeaveOutputAlone) {
    FakeHam ham;
    Pmbus dev(&ham, 255, nullptr, true);
    Pmbus::Fan fan(&dev, 0, 100, false);
    for (zl_status s : {dev.get_input_voltage(nullptr), dev.get_output_voltage(nullptr), dev.get_power_ok(nullptr),
                        dev.getTemperature(Pmbus::READ_TEMPERATURE_1, nullptr), fan.getRpm(nullptr)})
        EXPECT_EQ(s, ZL_STATUS_BAD_INPUT);
    EXPECT_TRUE(ham.executed.empty());
    for (zl_status failure : {ZL_STATUS_NO_COMM, ZL_STATUS_FAILED}) {
        ham.status = failure;
        TestHost::clearTraces();
        float value = kUntouched;
        int ok = 7;
        for (zl_status s : {dev.get_input_voltage(&value), dev.get_output_voltage(&value), dev.get_power_ok(&ok),
                            dev.getTemperature(Pmbus::READ_TEMPERATURE_1, &value), fan.getRpm(&ok)})
            EXPECT_EQ(s, failure);
        EXPECT_TRUE(value == kUntouched && ok == 7);
        EXPECT_FALSE(TestHost::traced("Failed"));
    }
}

// Without voutExponent READ_VOUT's exponent comes from VOUT_MODE (255). (Every declared argument's
// absence, texts, range ends and 8-bit cut: CatalogueTest and ArgReaderTest.)
TEST(PmbusCreate, AbsentVoutExponentMeansVoutMode) {
    FakeHam ham;
    std::unique_ptr<Component::DeviceBase> dev(Pmbus::create(argsWith({}), &ham));
    EXPECT_EQ(dynamic_cast<Pmbus&>(*dev).voutExponent, 255);
    EXPECT_TRUE(ham.executed.empty());
}

// Each reading against the chip's registers: its status, its value and its one batch. VOUT_MODE
// decides READ_VOUT's format; STATUS_WORD's OFF and POWER_GOOD# bits decide power good.
TEST(PmbusReadings, EachReadingIsOneBatch) {
    using Read = std::function<zl_status(Pmbus&, float*)>;
    const Read vout = [](Pmbus& d, float* v) { return d.get_output_voltage(v); };
    const Read good = [](Pmbus& d, float* v) {
        int ok = 7;
        const zl_status s = d.get_power_ok(&ok);
        return *v = float(ok), s;
    };
    auto temp = [](const char* id) -> Read {
        return [id](Pmbus& d, float* v) {
            return std::unique_ptr<Component::LogicalDevice::TempSensor>(d.newTempSensor(argsWith({{"sensorId", id}})))
                ->getTemperature(v);
        };
    };
    const struct { Read read; uint8_t mode; uint16_t word; uint8_t voutExponent; zl_status status; float value;
                   const char* batch; } cases[] = {
        {vout, 0x17, 12 << 9, 255, 0, 12.0f, "r8 20, r16 8b"},                   // exponent -9 from VOUT_MODE
        {vout, 0x14, 12 << 9, 0xF7, 0, 12.0f, "r8 20, r16 8b"},                  // configured -9 wins
        {vout, 0xFF, 0xD2EE, 255, 0, 11.71875f, "r8 20, r16 8b"},                // 0xFF: READ_VOUT is LINEAR11
        {vout, 0x20 | 0x17, 12 << 9, 255, ZL_STATUS_NOT_PROVIDED, kUntouched, "r8 20, r16 8b"},  // VID
        {vout, 0x60, 12 << 9, 0xF7, ZL_STATUS_NOT_PROVIDED, kUntouched, "r8 20, r16 8b"},        // IEEE half
        {good, 0, 0x0840, 255, 0, 0, "r16 79"},                       // OFF and POWER_GOOD#: switched off
        {good, 0, 0x0040, 255, 0, 1, "r16 79"},                       // OFF alone: still reads good
        {good, 0, 0xFFBF, 255, ZL_STATUS_DEVICE_FAULT, 7, "r16 79"},  // every bit but OFF: a fault
        {good, 0, 0xF7FF, 255, 0, 1, "r16 79"},                       // every bit but POWER_GOOD#: good
        {temp("1"), 0, 0xF84C, 255, 0, 38.0f, "r16 8d"},
        {temp("1"), 0, 0xFFFF, 255, 0, 0.0f, "r16 8d"},  // -0.5 reads 0.0
        {temp("2"), 0, 0x07FF, 255, 0, 0.0f, "r16 8e"},  // -1.0 reads 0.0
    };
    for (const auto& c : cases) {
        FakeHam ham;
        ham.bytes[Pmbus::VOUT_MODE] = c.mode;
        for (uint8_t reg : {Pmbus::READ_VOUT, Pmbus::STATUS_WORD, Pmbus::READ_TEMPERATURE_1, Pmbus::READ_TEMPERATURE_2})
            ham.words[reg] = c.word;
        Pmbus dev(&ham, c.voutExponent, nullptr, true);
        float value = kUntouched;
        EXPECT_EQ(c.read(dev, &value), c.status) << c.batch << std::hex << " " << int(c.mode) << " " << c.word;
        EXPECT_FLOAT_EQ(value, c.value) << c.batch << std::hex << " " << int(c.mode) << " " << c.word;
        EXPECT_EQ(ham.traffic(), c.batch);
    }
}

TEST(PmbusPowerOk, AGpioBitInsteadOfStatusWord) {
    // With a GPIO (status of the bit read and of the call alike) STATUS_WORD isn't read.
    const struct { bool activeLow; unsigned bit; zl_status status; int ok; } bits[] = {
        {true, 1, ZL_STATUS_OK, 0},       {false, 1, ZL_STATUS_OK, 1},     {false, 0, ZL_STATUS_OK, 0},
        {true, 0, ZL_STATUS_NO_COMM, 7}, {false, 1, ZL_STATUS_FAILED, 7},
    };
    for (const auto& c : bits) {
        FakeHam ham;
        ham.words[Pmbus::STATUS_WORD] = 0x0800;  // would be a fault if it were read
        auto* gpio = new ScriptedGpio(c.bit, c.status);
        Pmbus dev(&ham, 255, gpio, c.activeLow);  // owns the GPIO
        int ok = 7;
        EXPECT_EQ(dev.get_power_ok(&ok), c.status) << c.activeLow << c.bit;
        EXPECT_EQ(ok, c.ok) << c.activeLow << c.bit;
        EXPECT_TRUE(gpio->reads == 1 && ham.executed.empty());
    }
}

TEST(PmbusFan, DutyCycleArithmetic) {
    const struct { int rpm; const char* written; } cases[] = {
        {5000, "0032"},      // half
        {20000, "0064"},     // over the maximum: capped
        {-1, "0000"},        // truncates toward zero
        {-10000, "0064"},    // low 16 bits of -100 exceed 100
        {INT_MAX, "0000"},   // rpm * 100 wraps to -100 in 32 bits: duty 0
        {30000000, "0064"},  // wraps to -1294967296: duty -129496, low 16 bits 1576
    };
    for (const auto& c : cases) {
        FakeHam ham;
        Pmbus dev(&ham, 255, nullptr, true);
        EXPECT_EQ(Pmbus::Fan(&dev, 0, 10000, false).setRpm(c.rpm), ZL_STATUS_OK);
        EXPECT_EQ(ham.traffic(), "w16 3b=" + std::string(c.written)) << c.rpm;
    }
    // No positive maximum: nothing written. A failed write is traced.
    FakeHam ham;
    Pmbus dev(&ham, 255, nullptr, true);
    EXPECT_EQ(Pmbus::Fan(&dev, 0, 0, false).setRpm(100), ZL_STATUS_BAD_INPUT);
    EXPECT_TRUE(ham.executed.empty());
    ham.status = ZL_STATUS_FAILED;
    EXPECT_EQ(Pmbus::Fan(&dev, 1, 1000, false).setRpm(2000), ZL_STATUS_FAILED);
    EXPECT_TRUE(TestHost::traced("Failed to set fan1 duty cycle to 100", 0)) << TestHost::dumpTraces();
}

TEST(PmbusFan, EachFanUsesItsOwnRegistersFaultBitAndPec) {
    FakeHam ham;
    Pmbus dev(&ham, 255, nullptr, true);
    std::unique_ptr<Component::LogicalDevice::Fan> fan2(
        dev.newFan(argsWith({{"fanId", "2"}, {"maxFanRpm", "20000"}, {"pec", "true"}})));
    EXPECT_EQ(fan2->setRpm(10000), ZL_STATUS_OK);
    EXPECT_EQ(ham.traffic(), "w16 3c=0032 pec");

    Pmbus::Fan fan1(&dev, 0, 10000, false);
    ham.words[Pmbus::READ_FAN_SPEED_1] = 0xF803;  // 1.5 truncates to 1
    ham.words[Pmbus::READ_FAN_SPEED_2] = 0x1B69;  // 873 x 8
    const struct { Component::LogicalDevice::Fan* fan; uint8_t faults; zl_status status; int rpm; const char* batches; }
        cases[] = {
            {&fan1, 0x40 | 0x30, ZL_STATUS_OK, 1, "r8 81 | r16 90"},  // fan 2 fault and warnings only
            {&fan1, 0x80, ZL_STATUS_DEVICE_FAULT, -1, "r8 81"},      // the speed isn't read after a fault
            {fan2.get(), 0x80, ZL_STATUS_OK, 6984, "r8 81 | r16 91"},
            {fan2.get(), 0x40, ZL_STATUS_DEVICE_FAULT, -1, "r8 81"},
        };
    for (const auto& c : cases) {
        ham.bytes[Pmbus::STATUS_FANS_1_2] = c.faults;
        int rpm = -1;
        EXPECT_EQ(c.fan->getRpm(&rpm), c.status) << c.batches;
        EXPECT_EQ(rpm, c.rpm) << c.batches;
        EXPECT_EQ(ham.traffic(), c.batches);
    }
}

// The simulated table is one the simulation HAM takes (its file layout, widths and lock are
// SimHam's own tests); a register it lacks fails the operation.
TEST(PmbusSimulation, TableReadings) {
    TestHost::SimulationDir sim("pmbus");
    std::unique_ptr<Ham::SimHam> ham = sim.ham("Pmbus", "psu1", &Pmbus::values);
    Pmbus pmbus(ham.get(), 255, nullptr, true);
    float value = kUntouched;
    EXPECT_EQ(pmbus.pmbus_read_linear(Pmbus::READ_TEMPERATURE_1, &value), ZL_STATUS_OK);
    EXPECT_FLOAT_EQ(value, 38.0f);
    EXPECT_EQ(Pmbus::Fan(&pmbus, 0, 10000, false).setRpm(5000), ZL_STATUS_NO_COMM);  // FAN_COMMAND_1
}

}  // namespace
