// Driver helpers: the description-text formatter, trim, running commands, and devices and
// register GPIOs reached by topology label.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Components/LogicalDevices.h"
#include "Drivers/Helpers.h"
#include "Drivers/TMP75.h"
#include "FakeHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"

using Drivers::FormatFdl;

namespace {

// ---- FormatFdl ----

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

struct FdlCase {
    const char* name;
    std::string templateText;
    std::vector<std::pair<std::string, std::string>> sets;
    std::string result;
};

TEST(FormatFdlTest, Passes) {
    const FdlCase cases[] = {
        {"every occurrence", "{a}-x-{a}", {{"a", "1"}}, "1-x-1"},
        {"value naming another key", "{x}", {{"x", "{y}"}, {"y", "2"}}, "2"},
        {"occurrence formed with the surrounding text", "{{x}x}", {{"x", ""}}, ""},
        {"unset keys stay", "{model} {serial}", {{"model", "M1"}}, "M1 {serial}"},
        {"several keys", "name={n};rev={r}", {{"n", "PSU"}, {"r", "02"}}, "name=PSU;rev=02"},
        {"value holding its own placeholder is inserted once", "[{a}] [{a}]", {{"a", "<{a}>"}}, "[<{a}>] [<{a}>]"},
        {"search restarts after each replacement", "{{a}}", {{"a", "a{a"}}, "{aa{a"},
        {"value equal to its placeholder", "{a}", {{"a", "{a}"}}, "{a}"},
        // Each replacement re-forms the placeholder with a brace before it: 63 replacements.
        {"long chain of re-formed placeholders", "{{{{{{a}", {{"a", "a}a}{"}}, repeat("a}", 64) + "{{{{{{"},
        // The same chain from 15 braces would take 32767 replacements: stopped, inserted once.
        {"runaway chain", repeat("{", 14) + "{a}", {{"a", "a}a}{"}}, repeat("{", 14) + "a}a}{"},
    };
    for (const FdlCase& c : cases) {
        SCOPED_TRACE(c.name);
        FormatFdl fdl(c.templateText);
        fdl.start();
        for (const auto& [key, value] : c.sets) EXPECT_TRUE(fdl.set(key, value));
        EXPECT_EQ(fdl.str(), c.result);
    }
}

TEST(FormatFdlTest, EachPassStartsFromTheTemplate) {
    FormatFdl fdl("{a}");
    fdl.start();
    fdl.set("a", "1");
    EXPECT_STREQ(fdl.charPtr(), "1");
    fdl.start();
    fdl.set("a", "2");
    EXPECT_EQ(fdl.str(), "2");
    FormatFdl copy = fdl;  // member-wise copy keeps the template
    copy.start();
    EXPECT_EQ(copy.str(), "{a}");
}

TEST(FormatFdlTest, SetTracesKeyAndValue) {
    FormatFdl fdl("{k}");
    fdl.start();
    TestHost::clearTraces();
    fdl.set("k", "v");
    EXPECT_TRUE(TestHost::traced("FormatFdl::set( 'k', 'v' )", 5));
}

TEST(FormatFdlTest, ProgrammingErrors) {
    struct Case {
        const char* name;
        std::function<void(FormatFdl&)> misuse;
        const char* rule;
    };
    const Case cases[] = {
        {"set before start", [](FormatFdl& f) { f.set("a", "1"); },
         "active_ && \"FormatFdl: Must call start() before set(...)\""},
        {"str before start", [](FormatFdl& f) { f.str(); }, "active_ && \"FormatFdl: Must call start() before str()\""},
        {"charPtr before start", [](FormatFdl& f) { f.charPtr(); },
         "active_ && \"FormatFdl: Must call start() before charPtr()\""},
        {"second str", [](FormatFdl& f) { f.start(); f.str(); f.str(); },
         "active_ && \"FormatFdl: Must call start() before str()\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FormatFdl fdl("{a}");
        TestHost::clearTraces();
        try {
            c.misuse(fdl);
            ADD_FAILURE() << "no error";
        } catch (const Utils::ConsistencyError& e) {
            EXPECT_EQ(e.rule(), c.rule);
        }
        EXPECT_TRUE(TestHost::traced(std::string("consistency check failed: ") + c.rule, 0));
    }
}

TEST(FormatFdlTest, InvalidKeyLeavesResultUnchanged) {
    FormatFdl fdl("{a} {b}");
    fdl.start();
    fdl.set("a", "1");
    TestHost::clearTraces();
    EXPECT_THROW(fdl.set("c", "3"), Utils::ConsistencyError);
    EXPECT_TRUE(TestHost::traced("Error: FormatFdl::set -- invalid key '{c}'", 0));
    EXPECT_TRUE(TestHost::traced("consistency check failed: 0 && \"Invalid key in FormatFdl::set\"", 0));
    EXPECT_EQ(fdl.str(), "1 {b}");
}

// ---- trim ----

TEST(TrimTest, BlanksAndTabsOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {" \tabc ", "abc"}, {"   ", ""}, {"", ""}, {"abc\n", "abc\n"}, {"\ta b\t", "a b"}, {"\r x \r", "\r x \r"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Drivers::trim(in), out) << "[" << in << "]";
}

// ---- runCmd ----

TEST(RunCmdTest, CollectsOutputAndExitStatus) {
    struct Case {
        const char* command;
        zl_status status;
        std::string output;
    };
    const std::string longLine(300, 'x');
    const Case cases[] = {
        {"printf 'one\\ntwo\\n'", ZL_STATUS_OK, "one\ntwo\n"},
        {"printf 'partial'; exit 1", ZL_STATUS_FAILED, "partial"},
        {"true", ZL_STATUS_OK, ""},
        {"kill -9 $$", ZL_STATUS_FAILED, ""},
        {"printf '%300s' '' | tr ' ' x", ZL_STATUS_OK, longLine},  // longer than one buffer
        {"/nonexistent/command 2>/dev/null", ZL_STATUS_FAILED, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        std::string output = "stale";
        EXPECT_EQ(Drivers::runCmd(c.command, output), c.status);
        EXPECT_EQ(output, c.output);
    }
}

// ---- devices by label ----

// Dids 7300..7399 belong to this file.
const char* const kLabelled =
    "{\"did\":7301,\"label\":\"CpldNoDriver\",\"driver\":null,\"address\":{\"address\":35}},"
    "{\"did\":7302,\"label\":\"BareDevice\"},"
    "{\"did\":7303,\"label\":\"UnknownDriver\",\"driver\":\"NoSuchDriver\",\"address\":{\"address\":36}},"
    "{\"did\":7304,\"label\":\"Sensor\",\"driver\":\"TMP75\",\"address\":{\"address\":72}}";

class LabelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Utils::isInSimulation = 0;
        ASSERT_EQ(Topology::loadTopology(TestHost::fakeHamTopology(kLabelled).c_str()), ZL_STATUS_OK);
        TestHost::clearTraces();
    }

    TestHost::FakeRegistrations registrations_;
};

TEST_F(LabelTest, DeviceWithoutDriverBecomesDummyOnceAndIsCached) {
    Component::HardwareDevice* first = Drivers::getHardwareDeviceByLabel("CpldNoDriver", "Dummy");
    ASSERT_NE(first, nullptr) << TestHost::dumpTraces();
    EXPECT_NE(dynamic_cast<Drivers::Dummy*>(first), nullptr);
    EXPECT_EQ(Topology::getDeviceByLabel("CpldNoDriver")->args->driver, "Dummy");
    EXPECT_EQ(Drivers::getHardwareDeviceByLabel("CpldNoDriver", "GpioDriver"), first);
    EXPECT_EQ(Topology::getDeviceByLabel("CpldNoDriver")->args->driver, "Dummy");
    EXPECT_EQ(TestHost::fakeHamFor(7301), static_cast<TestHost::FakeHam*>(first->ham));
}

TEST_F(LabelTest, NamedDriverIsKept) {
    Component::HardwareDevice* sensor = Drivers::getHardwareDeviceByLabel("Sensor", "Dummy");
    EXPECT_NE(dynamic_cast<Drivers::TMP75*>(sensor), nullptr);
}

TEST_F(LabelTest, MissingDevicesAreConfigurationErrors) {
    struct Case {
        const char* label;
        const char* rule;
        const char* trace;
    };
    const Case cases[] = {
        {"NoSuchLabel", "device", "Unable to locate device NoSuchLabel"},
        {"BareDevice", "dev", nullptr},
        {"UnknownDriver", "dev", "driver NoSuchDriver not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TestHost::clearTraces();
        try {
            Drivers::getHardwareDeviceByLabel(c.label, "Dummy");
            ADD_FAILURE() << "found a device";
        } catch (const Utils::ConsistencyError& e) {
            EXPECT_EQ(e.rule(), c.rule);
        }
        if (c.trace != nullptr) {
            EXPECT_TRUE(TestHost::traced(c.trace, 0)) << TestHost::dumpTraces();
        }
    }
    EXPECT_THROW(Drivers::getRegGpioForDevice("NoSuchLabel", 1, 1), Utils::ConsistencyError);
}

TEST_F(LabelTest, RegGpioForLabelCarriesRegisterAndBit) {
    std::unique_ptr<Component::LogicalDevice::Gpio> gpio(Drivers::getRegGpioForDevice("CpldNoDriver", 17, 3));
    auto* reg = dynamic_cast<Component::LogicalDevice::RegGpio*>(gpio.get());
    ASSERT_NE(reg, nullptr);
    EXPECT_EQ(reg->register_, 17);
    EXPECT_EQ(reg->bitPosition, 3);
    EXPECT_EQ(reg->device, Drivers::getHardwareDeviceByLabel("CpldNoDriver", "Dummy"));
}

struct NoGpioDriver : Component::HardwareDevice {
    Component::LogicalDevice::Gpio* newGpio(const Drivers::FactoryArgs&) override { return nullptr; }
};

TEST(RegGpioForDeviceTest, DriverWithoutGpioIsAnError) {
    NoGpioDriver device;
    TestHost::clearTraces();
    try {
        Drivers::getRegGpioForDevice(&device, 1, 2);
        ADD_FAILURE() << "made a GPIO";
    } catch (const Utils::ConsistencyError& e) {
        EXPECT_EQ(e.rule(), "gpio");
    }
    EXPECT_THROW(Drivers::getRegGpioForDevice(static_cast<Component::HardwareDevice*>(nullptr), 1, 2),
                 Utils::ConsistencyError);
}

}  // namespace
