// Driver helpers: the description-text formatter, trim, running commands, devices by label.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

#include "Components/LogicalDevices.h"
#include "Drivers/Helpers.h"
#include "Drivers/TMP75.h"
#include "FakeHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"

using Drivers::FormatFdl;

namespace {

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

TEST(FormatFdlTest, Passes) {
    const std::tuple<const char*, std::string, std::vector<std::pair<std::string, std::string>>, std::string> cases[] = {
        {"every occurrence", "{a}-x-{a}", {{"a", "1"}}, "1-x-1"},
        {"value naming another key", "{x}", {{"x", "{y}"}, {"y", "2"}}, "2"},
        {"occurrence formed with the surrounding text", "{{x}x}", {{"x", ""}}, ""},
        {"unset keys stay", "{model} {serial}", {{"model", "M1"}}, "M1 {serial}"},
        {"value holding its own placeholder is inserted once", "[{a}] [{a}]", {{"a", "<{a}>"}}, "[<{a}>] [<{a}>]"},
        {"search restarts after each replacement", "{{a}}", {{"a", "a{a"}}, "{aa{a"},
        // Each replacement re-forms the placeholder with a brace before it: 63 replacements.
        {"long chain of re-formed placeholders", "{{{{{{a}", {{"a", "a}a}{"}}, repeat("a}", 64) + "{{{{{{"},
        // The same chain from 15 braces would take 32767 replacements: stopped, inserted once.
        {"runaway chain", repeat("{", 14) + "{a}", {{"a", "a}a}{"}}, repeat("{", 14) + "a}a}{"},
    };
    for (const auto& [name, templateText, sets, result] : cases) {
        SCOPED_TRACE(name);
        FormatFdl fdl(templateText);
        for (int pass = 0; pass < 2; ++pass) {  // each pass starts again from the template
            fdl.start();
            for (const auto& [key, value] : sets) EXPECT_TRUE(fdl.set(key, value));
            EXPECT_EQ(pass == 0 ? fdl.str() : std::string(fdl.charPtr()), result);
        }
    }
}

TEST(FormatFdlTest, ProgrammingErrors) {
    const std::tuple<const char*, std::function<void(FormatFdl&)>, const char*> cases[] = {
        {"set before start", [](FormatFdl& f) { f.set("a", "1"); },
         "active_ && \"FormatFdl: Must call start() before set(...)\""},
        {"charPtr before start", [](FormatFdl& f) { f.charPtr(); },
         "active_ && \"FormatFdl: Must call start() before charPtr()\""},
        {"second str", [](FormatFdl& f) { f.start(); f.str(); f.str(); },
         "active_ && \"FormatFdl: Must call start() before str()\""},
    };
    for (const auto& [name, misuse, rule] : cases) {
        SCOPED_TRACE(name);
        FormatFdl fdl("{a}");
        EXPECT_EQ(TestHost::brokenRule([&] { misuse(fdl); }), rule);
    }
    // An invalid key is named and leaves the result as it was.
    FormatFdl fdl("{a} {b}");
    fdl.start();
    fdl.set("a", "1");
    EXPECT_EQ(TestHost::brokenRule([&] { fdl.set("c", "3"); }), "0 && \"Invalid key in FormatFdl::set\"");
    EXPECT_TRUE(TestHost::traced("Error: FormatFdl::set -- invalid key '{c}'", 0));
    EXPECT_EQ(fdl.str(), "1 {b}");
}

TEST(TrimTest, BlanksAndTabsOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {" \tabc ", "abc"}, {"   ", ""}, {"\ta b\t", "a b"}, {"\r x \r", "\r x \r"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Drivers::trim(in), out) << "[" << in << "]";
}

TEST(RunCmdTest, CollectsOutputAndExitStatus) {
    const std::tuple<const char*, zl_status, std::string> cases[] = {
        {"printf 'one\\ntwo\\n'", ZL_STATUS_OK, "one\ntwo\n"},
        {"printf 'partial'; exit 1", ZL_STATUS_FAILED, "partial"},
        {"kill -9 $$", ZL_STATUS_FAILED, ""},
        {"printf '%300s' '' | tr ' ' x", ZL_STATUS_OK, std::string(300, 'x')},  // longer than one buffer
    };
    for (const auto& [command, status, expected] : cases) {
        SCOPED_TRACE(command);
        std::string output = "stale";
        EXPECT_EQ(Drivers::runCmd(command, output), status);
        EXPECT_EQ(output, expected);
    }
}

// ---- devices by label (dids 7300..7399). A driverless device made a Dummy, and a missing,
// bare or unmakeable one, are also the power cycle's (ComponentsTest), seen from its bus traffic.

struct NoGpioDriver : Component::HardwareDevice {
    Component::LogicalDevice::Gpio* newGpio(const Drivers::FactoryArgs&) override { return nullptr; }
};

TEST(LabelTest, DevicesByLabelAndTheRulesTheyBreak) {
    TestHost::FakeRegistrations registrations;
    Utils::isInSimulation = 0;
    const char* devices = R"({"did":7302,"label":"BareDevice"},
        {"did":7303,"label":"UnknownDriver","driver":"NoSuchDriver","address":{"address":36}},
        {"did":7304,"label":"Sensor","driver":"TMP75","address":{"address":72}})";
    ASSERT_EQ(Topology::loadTopology(TestHost::fakeHamTopology(devices).c_str()), ZL_STATUS_OK);
    // A device with a driver of its own keeps it.
    EXPECT_NE(dynamic_cast<Drivers::TMP75*>(Drivers::getHardwareDeviceByLabel("Sensor", "Dummy")), nullptr);
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"NoSuchLabel", "device", "Unable to locate device NoSuchLabel"},
        {"BareDevice", "dev", ""},
        {"UnknownDriver", "dev", "driver NoSuchDriver not found"},
    };
    for (const auto& [label, rule, trace] : cases) {
        SCOPED_TRACE(label);
        EXPECT_EQ(TestHost::brokenRule([&, label = label] { Drivers::getHardwareDeviceByLabel(label, "Dummy"); }), rule);
        EXPECT_TRUE(TestHost::traced(trace, 0)) << TestHost::dumpTraces();
    }
    NoGpioDriver device;  // a driver that makes no GPIO
    EXPECT_EQ(TestHost::brokenRule([&] { Drivers::getRegGpioForDevice(&device, 1, 2); }), "gpio");
    Component::HardwareDevice* none = nullptr;
    EXPECT_EQ(TestHost::brokenRule([&] { Drivers::getRegGpioForDevice(none, 1, 2); }), "dev");
}

}  // namespace
