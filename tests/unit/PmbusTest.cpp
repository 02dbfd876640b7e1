// The PMBus power supply driver: LINEAR11/LINEAR16 conversion, the operations and their
// batches, power good by STATUS_WORD or by a CPLD bit, fan duty arithmetic, temperatures,
// configuration rules, and the simulated register table through the simulation HAM.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "Components/LogicalDevices.h"
#include "Drivers/Pmbus.h"
#include "FakeHam.h"
#include "Ham/SimHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"

using Drivers::Pmbus;
using TestHost::FakeHam;
using Op = TestHost::FakeHam::Op;

namespace {

constexpr float kUntouched = -12345.0f;

// A GPIO whose bit and status the test sets.
class ScriptedGpio : public Component::LogicalDevice::Gpio {
  public:
    ScriptedGpio(unsigned bit, zl_status status) : bit(bit), status(status) {}
    zl_status bitClear() override { return ZL_STATUS_NOT_PROVIDED; }
    zl_status bitSet() override { return ZL_STATUS_NOT_PROVIDED; }
    zl_status bitRead(unsigned* out) override {
        ++reads;
        if (status == ZL_STATUS_OK) *out = bit;
        return status;
    }
    unsigned bit;
    zl_status status;
    int reads = 0;
};

Drivers::FactoryArgs argsWith(std::initializer_list<std::pair<const std::string, std::string>> list) {
    Drivers::FactoryArgs args;
    args.driverArgs = Drivers::DriverSpecificArgs(list);
    return args;
}

// One batch as text: "r8:20 r16:8b w16:3b=50" (pec marked with "+pec").
std::string describe(const FakeHam::Batch& batch) {
    std::ostringstream out;
    for (const Op& op : batch) {
        if (out.tellp() > 0) out << ' ';
        switch (op.kind) {
            case Op::Read8: out << "r8:" << std::hex << op.reg; break;
            case Op::Read16: out << "r16:" << std::hex << op.reg; break;
            case Op::Read: out << "r:" << std::hex << op.reg << std::dec << "/" << op.value; break;
            case Op::Write16: out << "w16:" << std::hex << op.reg << std::dec << "=" << op.value; break;
            default: out << "op" << op.kind << ":" << std::hex << op.reg; break;
        }
        if (op.pec) out << "+pec";
    }
    return out.str();
}

std::string describeAll(const FakeHam& ham) {
    std::string out;
    for (const auto& batch : ham.executed) out += "[" + describe(batch) + "]";
    return out;
}

class PmbusTest : public ::testing::Test {
  protected:
    void SetUp() override { TestHost::clearTraces(); }

    FakeHam ham;
    Pmbus pmbus{&ham, Pmbus::VOUT_EXPONENT_FROM_MODE, nullptr, true};
};

// ---- conversion ----

struct LinearCase {
    uint16_t mantissa;
    uint8_t exponent;
    uint8_t mantissaBits;
    uint8_t exponentBits;
    float expected;
};

TEST(PmbusLinearToReal, ConvertsSignedAndUnsignedMantissas) {
    const LinearCase cases[] = {
        {750, 0x1A, 11, 5, 11.71875f},           // exponent -6
        {0x7FF, 0x00, 11, 5, -1.0f},             // 11-bit mantissa is signed
        {0x400, 0x00, 11, 5, -1024.0f},          // most negative mantissa
        {0x3FF, 0x0F, 11, 5, 1023.0f * 32768},   // largest positive value
        {1, 0x10, 11, 5, 1.0f / 65536},          // most negative exponent
        {12 << 9, 0x17, 16, 5, 12.0f},           // LINEAR16, VOUT_MODE 0x17
        {12 << 12, 0x14, 16, 5, 12.0f},          // LINEAR16, VOUT_MODE 0x14
        {0xFFFF, 0x00, 16, 5, 65535.0f},         // 16-bit mantissa is unsigned
        {12 << 9, 0xF7, 16, 5, 12.0f},           // "-9" kept as 8 bits: only the low 5 count
        {0xF84C & 0x7FF, 0xF84C >> 11, 11, 5, 38.0f},
        {0xFFFF & 0x7FF, 0xFFFF >> 11, 11, 5, -0.5f},
        {0x1B69 & 0x7FF, 0x1B69 >> 11, 11, 5, 873.0f * 8},
        {0xC800 & 0x7FF, 0xC800 >> 11, 11, 5, 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mantissa " << c.mantissa << " exponent " << int(c.exponent));
        EXPECT_FLOAT_EQ(Pmbus::linearToReal(c.mantissa, c.exponent, c.mantissaBits, c.exponentBits), c.expected);
    }
}

// ---- LINEAR11 readings ----

TEST_F(PmbusTest, LinearReadingsUseOneWordReadOfTheirCommand) {
    using Getter = zl_status (Pmbus::*)(float*);
    const struct {
        Getter get;
        uint8_t reg;
        const char* name;
    } cases[] = {
        {&Pmbus::get_input_current, 0x89, "input current"},  {&Pmbus::get_output_current, 0x8C, "output current"},
        {&Pmbus::get_input_voltage, 0x88, "input voltage"},  {&Pmbus::get_input_power, 0x97, "input power"},
        {&Pmbus::get_output_power, 0x96, "output power"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHam h;
        h.words[c.reg] = 0xD2EE;  // exponent -6, mantissa 750
        Pmbus dev(&h, Pmbus::VOUT_EXPONENT_FROM_MODE, nullptr, true);
        float value = kUntouched;
        EXPECT_EQ((dev.*c.get)(&value), ZL_STATUS_OK);
        EXPECT_FLOAT_EQ(value, 11.71875f);
        ASSERT_EQ(h.executed.size(), 1u);
        ASSERT_EQ(h.executed[0].size(), 1u);
        EXPECT_EQ(h.executed[0][0].kind, Op::Read16);
        EXPECT_EQ(h.executed[0][0].reg, c.reg);
    }
}

TEST_F(PmbusTest, NegativeMantissaReadsNegative) {
    ham.words[Pmbus::READ_IOUT] = 0x07FF;
    float amps = kUntouched;
    EXPECT_EQ(pmbus.get_output_current(&amps), ZL_STATUS_OK);
    EXPECT_FLOAT_EQ(amps, -1.0f);
}

TEST_F(PmbusTest, TransportFailuresPassThroughAndLeaveOutputAlone) {
    for (zl_status failure : {ZL_STATUS_NO_COMM, ZL_STATUS_FAILED}) {
        ham.status = failure;
        float value = kUntouched;
        int ok = 7;
        EXPECT_EQ(pmbus.get_input_voltage(&value), failure);
        EXPECT_EQ(pmbus.get_output_voltage(&value), failure);
        EXPECT_EQ(pmbus.getTemperature(Pmbus::READ_TEMPERATURE_1, &value), failure);
        EXPECT_EQ(pmbus.get_power_ok(&ok), failure);
        EXPECT_FLOAT_EQ(value, kUntouched);
        EXPECT_EQ(ok, 7);
    }
    EXPECT_FALSE(TestHost::traced("Failed"));
}

// ---- output voltage ----

struct VoutCase {
    uint8_t mode;
    uint16_t raw;
    uint8_t voutExponent;
    zl_status status;
    float expected;
};

TEST(PmbusOutputVoltage, ModeDecidesTheFormatInOneBatch) {
    const VoutCase cases[] = {
        {0x17, 12 << 9, 255, ZL_STATUS_OK, 12.0f},                     // exponent -9 from VOUT_MODE
        {0x14, 12 << 12, 255, ZL_STATUS_OK, 12.0f},                    // exponent -12 from VOUT_MODE
        {0x14, 12 << 9, 0xF7, ZL_STATUS_OK, 12.0f},                    // configured -9 wins
        {0x00, 12 << 9, 23, ZL_STATUS_OK, 12.0f},                      // 23 has the same low 5 bits
        {0xFF, 0xD2EE, 255, ZL_STATUS_OK, 11.71875f},                  // 0xFF: READ_VOUT is LINEAR11
        {0x20 | 0x17, 12 << 9, 255, ZL_STATUS_NOT_PROVIDED, kUntouched},  // VID
        {0x40, 12 << 9, 255, ZL_STATUS_NOT_PROVIDED, kUntouched},         // direct
        {0x60, 12 << 9, 0xF7, ZL_STATUS_NOT_PROVIDED, kUntouched},        // IEEE half
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode 0x" << std::hex << int(c.mode));
        FakeHam ham;
        ham.bytes[Pmbus::VOUT_MODE] = c.mode;
        ham.words[Pmbus::READ_VOUT] = c.raw;
        Pmbus dev(&ham, c.voutExponent, nullptr, true);
        float volts = kUntouched;
        EXPECT_EQ(dev.get_output_voltage(&volts), c.status);
        EXPECT_FLOAT_EQ(volts, c.expected);
        EXPECT_EQ(describeAll(ham), "[r8:20 r16:8b]");
    }
}

TEST(PmbusCreate, VoutExponentKeepsLowEightBits) {
    const struct {
        const char* text;
        uint8_t expected;
    } cases[] = {{"-9", 0xF7}, {"23", 23}, {" 279junk", 23}, {"255", 255}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        FakeHam ham;
        std::unique_ptr<Component::DeviceBase> dev(Pmbus::create(argsWith({{"voutExponent", c.text}}), &ham));
        auto* pmbus = dynamic_cast<Pmbus*>(dev.get());
        ASSERT_NE(pmbus, nullptr);
        EXPECT_EQ(pmbus->voutExponent, c.expected);
        EXPECT_EQ(pmbus->powerOkGpio, nullptr);
    }
    FakeHam ham;
    TestHost::clearTraces();
    std::unique_ptr<Component::DeviceBase> dev(Pmbus::create(argsWith({}), &ham));
    EXPECT_EQ(dynamic_cast<Pmbus*>(dev.get())->voutExponent, 255);
    EXPECT_TRUE(TestHost::traced("Creating Pmbus Device", 0));
}

TEST(PmbusCreate, GpioArgumentsMustBePresentAndNumeric) {
    FakeHam ham;
    EXPECT_THROW(Pmbus::create(argsWith({{"gpioDevice", "cpld"}, {"powerOkBit", "2"}}), &ham), std::out_of_range);
    EXPECT_THROW(Pmbus::create(argsWith({{"gpioDevice", "cpld"}, {"powerOkReg", "2"}}), &ham), std::out_of_range);
    EXPECT_THROW(Pmbus::create(argsWith({{"gpioDevice", "cpld"}, {"powerOkReg", "x"}, {"powerOkBit", "1"}}), &ham),
                 std::invalid_argument);
    EXPECT_THROW(Pmbus::create(argsWith({{"voutExponent", "abc"}}), &ham), std::invalid_argument);
}

// ---- power good ----

TEST(PmbusPowerOk, StatusWordBits) {
    const struct {
        uint16_t word;
        zl_status status;
        int ok;
    } cases[] = {
        {0x0000, ZL_STATUS_OK, 1},            // nothing set: good
        {0x0840, ZL_STATUS_OK, 0},            // OFF and POWER_GOOD#: switched off
        {0x0800, ZL_STATUS_DEVICE_FAULT, 7},  // not good while on: fault, untouched
        {0x0040, ZL_STATUS_OK, 1},            // OFF alone: still reads good
        {0x2C4B, ZL_STATUS_OK, 0},            // the simulated value
        {0xFFBF, ZL_STATUS_DEVICE_FAULT, 7},  // every bit but OFF: still a fault
        {0xF7FF, ZL_STATUS_OK, 1},            // every bit but POWER_GOOD#: good
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "STATUS_WORD 0x" << std::hex << c.word);
        FakeHam ham;
        ham.words[Pmbus::STATUS_WORD] = c.word;
        Pmbus dev(&ham, 255, nullptr, true);
        int ok = 7;
        EXPECT_EQ(dev.get_power_ok(&ok), c.status);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(describeAll(ham), "[r16:79]");
    }
}

TEST(PmbusPowerOk, GpioBitWithPolarity) {
    const struct {
        bool activeLow;
        unsigned bit;
        zl_status readStatus;
        zl_status status;
        int ok;
    } cases[] = {
        {true, 0, ZL_STATUS_OK, ZL_STATUS_OK, 1},  {true, 1, ZL_STATUS_OK, ZL_STATUS_OK, 0},
        {false, 1, ZL_STATUS_OK, ZL_STATUS_OK, 1}, {false, 0, ZL_STATUS_OK, ZL_STATUS_OK, 0},
        {true, 0, ZL_STATUS_NO_COMM, ZL_STATUS_NO_COMM, 7},
        {false, 1, ZL_STATUS_FAILED, ZL_STATUS_FAILED, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "activeLow " << c.activeLow << " bit " << c.bit);
        FakeHam ham;
        ham.words[Pmbus::STATUS_WORD] = 0x0800;  // would be a fault if it were read
        auto* gpio = new ScriptedGpio(c.bit, c.readStatus);
        Pmbus dev(&ham, 255, gpio, c.activeLow);
        int ok = 7;
        EXPECT_EQ(dev.get_power_ok(&ok), c.status);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(gpio->reads, 1);
        EXPECT_TRUE(ham.executed.empty());
    }
}

// ---- fans ----

struct DutyCase {
    int rpm;
    uint16_t written;
    unsigned traced;
};

TEST(PmbusFan, DutyCycleArithmetic) {
    const DutyCase cases[] = {
        {5000, 50, 50},        // half
        {10000, 100, 100},     // full
        {20000, 100, 200},     // over the maximum: capped
        {99, 0, 0},            // truncates
        {-1, 0, 0},            // truncates toward zero
        {-10000, 100, 65436},  // low 16 bits of -100 exceed 100
        {0, 0, 0},
        {INT_MAX, 0, 0},          // rpm * 100 wraps to -100 in 32 bits: duty 0
        {30000000, 100, 1576},    // wraps to -1294967296: duty -129496, low 16 bits 1576
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "rpm " << c.rpm);
        FakeHam ham;
        Pmbus dev(&ham, 255, nullptr, true);
        Pmbus::Fan fan(&dev, 0, 10000, false);
        TestHost::clearTraces();
        EXPECT_EQ(fan.setRpm(c.rpm), ZL_STATUS_OK);
        ASSERT_EQ(ham.executed.size(), 1u);
        EXPECT_EQ(describe(ham.executed[0]), "w16:3b=" + std::to_string(c.written));
        EXPECT_TRUE(TestHost::traced("Setting fan 0 duty cycle to " + std::to_string(c.traced), 6))
            << TestHost::dumpTraces();
    }
}

TEST(PmbusFan, SecondFanUsesItsOwnRegistersAndPec) {
    FakeHam ham;
    Pmbus dev(&ham, 255, nullptr, true);
    std::unique_ptr<Component::LogicalDevice::Fan> fan(
        dev.newFan(argsWith({{"fanId", "2"}, {"maxFanRpm", "20000"}, {"pec", "true"}})));
    auto* pmbusFan = dynamic_cast<Pmbus::Fan*>(fan.get());
    ASSERT_NE(pmbusFan, nullptr);
    EXPECT_EQ(pmbusFan->id, 1);
    EXPECT_EQ(pmbusFan->speedReg, 0x91);
    EXPECT_EQ(pmbusFan->commandReg, 0x3C);
    EXPECT_EQ(pmbusFan->faultMask, 0x40);
    EXPECT_TRUE(pmbusFan->pec);

    TestHost::clearTraces();
    EXPECT_EQ(fan->setRpm(10000), ZL_STATUS_OK);
    EXPECT_EQ(describeAll(ham), "[w16:3c=50+pec]");
    EXPECT_TRUE(TestHost::traced("Setting fan 1 duty cycle to 50", 6));

    // Fan 1's fault bit doesn't concern fan 2; its own does.
    ham.executed.clear();
    ham.bytes[Pmbus::STATUS_FANS_1_2] = 0x80;
    ham.words[Pmbus::READ_FAN_SPEED_2] = 0x1B69;
    int rpm = 0;
    EXPECT_EQ(fan->getRpm(&rpm), ZL_STATUS_OK);
    EXPECT_EQ(rpm, 873 * 8);
    EXPECT_EQ(describeAll(ham), "[r8:81][r16:91]");
    ham.bytes[Pmbus::STATUS_FANS_1_2] = 0x40;
    rpm = -1;
    EXPECT_EQ(fan->getRpm(&rpm), ZL_STATUS_DEVICE_FAULT);
    EXPECT_EQ(rpm, -1);
}

TEST(PmbusFan, PecIsOnlyTrueForTrue) {
    FakeHam ham;
    Pmbus dev(&ham, 255, nullptr, true);
    for (const char* text : {"True", "1", "yes", ""}) {
        std::unique_ptr<Component::LogicalDevice::Fan> fan(
            dev.newFan(argsWith({{"fanId", "1"}, {"maxFanRpm", "100"}, {"pec", text}})));
        EXPECT_FALSE(dynamic_cast<Pmbus::Fan*>(fan.get())->pec) << text;
    }
}

TEST(PmbusFan, FirstFanSpeedAndFault) {
    FakeHam ham;
    Pmbus dev(&ham, 255, nullptr, true);
    Pmbus::Fan fan(&dev, 0, 10000, false);
    ham.words[Pmbus::READ_FAN_SPEED_1] = 0x1B69;
    ham.bytes[Pmbus::STATUS_FANS_1_2] = 0x40 | 0x30;  // fan 2 fault and warnings only
    int rpm = -1;
    EXPECT_EQ(fan.getRpm(&rpm), ZL_STATUS_OK);
    EXPECT_EQ(rpm, 6984);
    EXPECT_EQ(describeAll(ham), "[r8:81][r16:90]");

    ham.executed.clear();
    ham.bytes[Pmbus::STATUS_FANS_1_2] = 0x80;
    rpm = -1;
    EXPECT_EQ(fan.getRpm(&rpm), ZL_STATUS_DEVICE_FAULT);
    EXPECT_EQ(rpm, -1);
    EXPECT_EQ(describeAll(ham), "[r8:81]");  // the speed isn't read after a fault

    // A fractional reading truncates toward zero: 0xF803 is 1.5.
    ham.bytes[Pmbus::STATUS_FANS_1_2] = 0;
    ham.words[Pmbus::READ_FAN_SPEED_1] = 0xF803;
    EXPECT_EQ(fan.getRpm(&rpm), ZL_STATUS_OK);
    EXPECT_EQ(rpm, 1);

    ham.status = ZL_STATUS_NO_COMM;
    rpm = -1;
    EXPECT_EQ(fan.getRpm(&rpm), ZL_STATUS_NO_COMM);
    EXPECT_EQ(rpm, -1);
}

TEST(PmbusFan, FailedWriteIsTraced) {
    FakeHam ham;
    ham.status = ZL_STATUS_FAILED;
    Pmbus dev(&ham, 255, nullptr, true);
    Pmbus::Fan fan(&dev, 1, 1000, false);
    TestHost::clearTraces();
    EXPECT_EQ(fan.setRpm(2000), ZL_STATUS_FAILED);
    EXPECT_TRUE(TestHost::traced("Failed to set fan1 duty cycle to 100", 0)) << TestHost::dumpTraces();
}

TEST(PmbusFan, FanWithoutPositiveMaximumRejectsWrites) {
    FakeHam ham;
    Pmbus dev(&ham, 255, nullptr, true);
    Pmbus::Fan fan(&dev, 0, 0, false);
    EXPECT_EQ(fan.setRpm(100), ZL_STATUS_BAD_INPUT);
    EXPECT_TRUE(ham.executed.empty());
}

// ---- temperatures ----

TEST(PmbusTemperature, SensorsReadTheirRegisterAndClampNegatives) {
    const struct {
        const char* sensorId;
        uint8_t reg;
        uint16_t word;
        float expected;
    } cases[] = {
        {"1", 0x8D, 0xF84C, 38.0f},
        {"2", 0x8E, 0xF84C, 38.0f},
        {"1", 0x8D, 0xFFFF, 0.0f},  // -0.5 reads 0.0
        {"2", 0x8E, 0x07FF, 0.0f},  // -1.0 reads 0.0
        {"1", 0x8D, 0xF800, 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "sensor " << c.sensorId << " word 0x" << std::hex << c.word);
        FakeHam ham;
        ham.words[c.reg] = c.word;
        Pmbus dev(&ham, 255, nullptr, true);
        std::unique_ptr<Component::LogicalDevice::TempSensor> sensor(dev.newTempSensor(argsWith({{"sensorId", c.sensorId}})));
        auto* pmbusSensor = dynamic_cast<Pmbus::TempSensor*>(sensor.get());
        ASSERT_NE(pmbusSensor, nullptr);
        EXPECT_EQ(pmbusSensor->reg(), c.reg);
        EXPECT_EQ(pmbusSensor->id(), c.sensorId[0] - '0');
        float celsius = kUntouched;
        EXPECT_EQ(sensor->getTemperature(&celsius), ZL_STATUS_OK);
        EXPECT_FLOAT_EQ(celsius, c.expected);
        ASSERT_EQ(ham.executed.size(), 1u);
        EXPECT_EQ(ham.executed[0][0].reg, c.reg);
    }
}

// ---- configuration rules ----

TEST(PmbusConfiguration, BrokenRulesAreNamed) {
    const struct {
        Drivers::FactoryArgs args;
        bool fan;
        const char* rule;
    } cases[] = {
        {argsWith({{"maxFanRpm", "100"}}), true, "args.driverArgs.find( \"fanId\" ) != args.driverArgs.end()"},
        {argsWith({{"fanId", "3"}, {"maxFanRpm", "100"}}), true, "fanId == 1 || fanId == 2"},
        {argsWith({{"fanId", "0"}, {"maxFanRpm", "100"}}), true, "fanId == 1 || fanId == 2"},
        {argsWith({{"fanId", "1"}}), true, "args.driverArgs.find( \"maxFanRpm\" ) != args.driverArgs.end()"},
        {argsWith({{"fanId", "1"}, {"maxFanRpm", "0"}}), true, "maxFanRpm > 0"},
        {argsWith({{"fanId", "2"}, {"maxFanRpm", "-20000"}}), true, "maxFanRpm > 0"},
        {argsWith({}), false, "args.driverArgs.find( \"sensorId\" ) != args.driverArgs.end()"},
        {argsWith({{"sensorId", "3"}}), false, "id == 1 || id == 2"},
        {argsWith({{"sensorId", "0"}}), false, "id == 1 || id == 2"},
    };
    FakeHam ham;
    Pmbus dev(&ham, 255, nullptr, true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        TestHost::clearTraces();
        if (c.fan)
            EXPECT_THROW(dev.newFan(c.args), Utils::ConsistencyError);
        else
            EXPECT_THROW(dev.newTempSensor(c.args), Utils::ConsistencyError);
        EXPECT_TRUE(TestHost::traced(std::string("consistency check failed: ") + c.rule, 0))
            << TestHost::dumpTraces();
    }
    EXPECT_THROW(dev.newFan(argsWith({{"fanId", "one"}, {"maxFanRpm", "100"}})), std::invalid_argument);
    EXPECT_THROW(dev.newTempSensor(argsWith({{"sensorId", ""}})), std::invalid_argument);
    EXPECT_TRUE(ham.executed.empty());
}

TEST(PmbusConfiguration, CreationTraces) {
    FakeHam ham;
    Pmbus dev(&ham, 255, nullptr, true);
    TestHost::clearTraces();
    std::unique_ptr<Pmbus::Psu> psu(static_cast<Pmbus::Psu*>(dev.newPsu(argsWith({}))));
    std::unique_ptr<Component::LogicalDevice::Fan> fan(dev.newFan(argsWith({{"fanId", "1"}, {"maxFanRpm", "9"}})));
    std::unique_ptr<Component::LogicalDevice::TempSensor> sensor(dev.newTempSensor(argsWith({{"sensorId", "1"}})));
    EXPECT_TRUE(TestHost::traced("Creating Pmbus Psu Device", 0));
    EXPECT_TRUE(TestHost::traced("Creating Pmbus Fan Device", 0));
    EXPECT_TRUE(TestHost::traced("Creating Pmbus TempSensor Device", 0));
    EXPECT_EQ(psu->device, &dev);
}

// ---- host callbacks reach the driver ----

TEST(PmbusHostRecord, PsuCallbacksForwardToTheDriver) {
    FakeHam ham;
    ham.words[Pmbus::READ_VIN] = 0xD2EE;
    ham.words[Pmbus::STATUS_WORD] = 0;
    Pmbus dev(&ham, 255, nullptr, true);
    std::unique_ptr<Pmbus::Psu> psu(static_cast<Pmbus::Psu*>(dev.newPsu(argsWith({}))));
    zl_psu* record = &psu->record;
    float volts = 0;
    EXPECT_EQ(ZL_CALLBACK(record, ZL_PSU_GET_INPUT_VOLTAGE, zl_psu_get_float_fn)(record, &volts), ZL_STATUS_OK);
    EXPECT_FLOAT_EQ(volts, 11.71875f);
    int ok = 0;
    EXPECT_EQ(ZL_CALLBACK(record, ZL_PSU_GET_POWER_OK, zl_psu_get_int_fn)(record, &ok), ZL_STATUS_OK);
    EXPECT_EQ(ok, 1);
}

TEST(PmbusHostRecord, NullOutputsAreBadInputWithoutHardwareAccess) {
    FakeHam ham;
    Pmbus dev(&ham, 255, nullptr, true);
    std::unique_ptr<Pmbus::Psu> psu(static_cast<Pmbus::Psu*>(dev.newPsu(argsWith({}))));
    zl_psu* record = &psu->record;
    for (int index : {ZL_PSU_GET_INPUT_CURRENT, ZL_PSU_GET_OUTPUT_CURRENT, ZL_PSU_GET_INPUT_VOLTAGE,
                      ZL_PSU_GET_OUTPUT_VOLTAGE, ZL_PSU_GET_INPUT_POWER, ZL_PSU_GET_OUTPUT_POWER})
        EXPECT_EQ(ZL_CALLBACK(record, index, zl_psu_get_float_fn)(record, nullptr), ZL_STATUS_BAD_INPUT) << index;
    EXPECT_EQ(ZL_CALLBACK(record, ZL_PSU_GET_POWER_OK, zl_psu_get_int_fn)(record, nullptr), ZL_STATUS_BAD_INPUT);
    Pmbus::Fan fan(&dev, 0, 100, false);
    EXPECT_EQ(ZL_CALLBACK(&fan.record, ZL_FAN_GET_RPM, zl_fan_get_rpm_fn)(&fan.record, nullptr), ZL_STATUS_BAD_INPUT);
    Pmbus::TempSensor sensor(&dev, 1);
    EXPECT_EQ(ZL_CALLBACK(&sensor.record, ZL_TEMP_GET_TEMPERATURE, zl_temp_get_temperature_fn)(&sensor.record, nullptr),
              ZL_STATUS_BAD_INPUT);
    EXPECT_TRUE(ham.executed.empty());
}

// ---- simulated registers ----

class PmbusSimulation : public ::testing::Test {
  protected:
    void SetUp() override {
        savedSimulation = Utils::isInSimulation;
        Utils::isInSimulation = 1;
        char pattern[] = "/tmp/zl-pmbus-sim-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        const char* old = std::getenv("ZOLTALIB_SIMDIR");
        if (old != nullptr) oldDir = old, hadOldDir = true;
        setenv("ZOLTALIB_SIMDIR", dir.c_str(), 1);
        Ham::SimHam::resetSimDirectory();
        Drivers::DriverArgs args;
        ham = static_cast<Ham::SimHam*>(Ham::SimHam::create(topology, args));
        ham->setDriverName("Pmbus", "psu1");
        ham->setExpected(&Pmbus::values);
        ASSERT_TRUE(ham->simFileExists_);
        pmbus.reset(new Pmbus(ham, 255, nullptr, true));
    }
    void TearDown() override {
        pmbus.reset();
        delete ham;
        if (hadOldDir)
            setenv("ZOLTALIB_SIMDIR", oldDir.c_str(), 1);
        else
            unsetenv("ZOLTALIB_SIMDIR");
        Ham::SimHam::resetSimDirectory();
        Utils::isInSimulation = savedSimulation;
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    int32_t savedSimulation = -1;
    std::string dir;
    std::string oldDir;
    bool hadOldDir = false;
    Topology::Topology topology;
    Ham::SimHam* ham = nullptr;
    std::unique_ptr<Pmbus> pmbus;
};

TEST_F(PmbusSimulation, TableGivesTheDocumentedReadings) {
    EXPECT_EQ(pmbus->expectedValues(), &Pmbus::values);
    EXPECT_EQ(ham->simFileName_, dir + "/Pmbus-psu1");
    float value = kUntouched;
    EXPECT_EQ(pmbus->get_input_voltage(&value), ZL_STATUS_OK);
    EXPECT_FLOAT_EQ(value, 0.0f);
    EXPECT_EQ(pmbus->get_input_current(&value), ZL_STATUS_OK);
    EXPECT_FLOAT_EQ(value, 0.0f);
    EXPECT_EQ(pmbus->get_output_current(&value), ZL_STATUS_OK);
    EXPECT_FLOAT_EQ(value, 0.0f);
    EXPECT_EQ(pmbus->get_input_power(&value), ZL_STATUS_OK);
    EXPECT_FLOAT_EQ(value, 0.0f);
    EXPECT_EQ(pmbus->get_output_power(&value), ZL_STATUS_OK);
    EXPECT_FLOAT_EQ(value, 0.0f);
    EXPECT_EQ(pmbus->getTemperature(Pmbus::READ_TEMPERATURE_1, &value), ZL_STATUS_OK);
    EXPECT_FLOAT_EQ(value, 38.0f);
    EXPECT_EQ(pmbus->getTemperature(Pmbus::READ_TEMPERATURE_2, &value), ZL_STATUS_OK);
    EXPECT_FLOAT_EQ(value, 0.0f);

    // STATUS_WORD 0x2C4B: switched off, so power not good without a fault.
    int ok = 7;
    EXPECT_EQ(pmbus->get_power_ok(&ok), ZL_STATUS_OK);
    EXPECT_EQ(ok, 0);

    // The simulation answers a batch with its last register: VOUT_MODE and READ_VOUT both
    // come from READ_VOUT's one-byte field "00", read as 0x00 and (padded) 0xFF00.
    EXPECT_EQ(pmbus->get_output_voltage(&value), ZL_STATUS_OK);
    EXPECT_FLOAT_EQ(value, 65280.0f);

    // STATUS_FANS_1_2 isn't simulated: the fan reads fail, its speed register alone reads.
    Pmbus::Fan fan(pmbus.get(), 0, 10000, false);
    int rpm = -1;
    EXPECT_EQ(fan.getRpm(&rpm), ZL_STATUS_NO_COMM);
    EXPECT_EQ(rpm, -1);
    EXPECT_EQ(pmbus->pmbus_read_linear(Pmbus::READ_FAN_SPEED_1, &value), ZL_STATUS_OK);
    EXPECT_FLOAT_EQ(value, 6984.0f);
}

TEST_F(PmbusSimulation, AnotherProcessChangesARegister) {
    float volts = kUntouched;
    EXPECT_EQ(pmbus->get_input_voltage(&volts), ZL_STATUS_OK);
    EXPECT_FLOAT_EQ(volts, 0.0f);

    // READ_VIN's field starts after VOUT_MODE (2 characters) and STATUS_WORD (4).
    const std::string file = ham->simFileName_;
    const std::string cmd = "printf d2ee | dd of='" + file + "' bs=1 seek=6 conv=notrunc 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(file);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content.substr(0, 10), "172c4bd2ee");

    EXPECT_EQ(pmbus->get_input_voltage(&volts), ZL_STATUS_OK);
    EXPECT_FLOAT_EQ(volts, 11.71875f);

    // FAN_COMMAND_1 isn't simulated: the write is refused and traced.
    Pmbus::Fan fan(pmbus.get(), 0, 10000, false);
    TestHost::clearTraces();
    EXPECT_EQ(fan.setRpm(5000), ZL_STATUS_NO_COMM);
    EXPECT_TRUE(TestHost::traced("doesn't yet have expectedVal set for register 0x3b"));
    EXPECT_TRUE(TestHost::traced("Failed to set fan0 duty cycle to 50", 0));
}

}  // namespace
