// The host's runner against the stand-in driver library (platform/host/testing): what every
// outcome of an add or a reading becomes in the report, as `show` prints it.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "HostServices.h"
#include "Readings.h"
#include "Runner.h"

using namespace Host;

namespace {

// A board of the stand-in's devices with an empty topology, in a directory of its own for
// the life of the object.
struct FakeBoard {
    std::string dir = "/tmp/zl-host-runner-XXXXXX";
    std::string path;

    FakeBoard() {
        if (mkdtemp(dir.data()) == nullptr) return;
        path = dir + "/board.json";
        std::ofstream(dir + "/topology.json") << "[]";
        std::ofstream(path) << R"({"board": "Fake", "topology": "topology.json",
 "temperatureSensors": [
   {"name": "Good", "alert": 50, "critical": 60, "device": {"did": 1, "driver": "ok"}},
   {"name": "Mute", "alert": 50, "critical": 60, "device": {"did": 2, "driver": "nocomm"}},
   {"name": "Thrower", "alert": 50, "critical": 60, "device": {"did": 3, "driver": "throw"}},
   {"name": "Short", "alert": 50, "critical": 60, "device": {"did": 4, "driver": "short"}},
   {"name": "Gone", "alert": 50, "critical": 60, "device": {"did": 5, "driver": "null"}}],
 "fans": [{"name": "Spinner", "device": {"did": 6, "driver": "ok"}}],
 "leds": [{"name": "Blinky", "readback": {"register": 8, "width": 2},
           "device": {"did": 7, "driver": "ok", "driverArgs": {"type": "fantray", "bitOffset": "0"}}}]})";
    }
    ~FakeBoard() {
        std::remove(path.c_str());
        std::remove((dir + "/topology.json").c_str());
        rmdir(dir.c_str());
    }
};

}  // namespace

TEST(HostRunner, EveryOutcomeOfAnAddAndAReading) {
    setTraceLevel(-1);  // reasons are kept even when no trace is shown
    FakeBoard board;
    Runner runner;
    ASSERT_TRUE(runner.start(board.path, ZL_HOST_FAKE_LIBRARY));
    runner.initAll();
    runner.addAll();
    Report report = readBoard(runner);

    const struct {
        const char* name;
        int status;
        double value;
    } temps[] = {{"Good", 0, 42.5},
                 {"Mute", ZL_STATUS_NO_COMM, 0},
                 {"Thrower", ZL_STATUS_FAILED, 0},  // the callback threw
                 {"Short", kNotSupported, 0},       // the table lacks the getter
                 {"Gone", kNotAdded, 0}};
    ASSERT_EQ(report.temps.size(), std::size(temps));
    for (size_t i = 0; i < std::size(temps); ++i) {
        EXPECT_EQ(report.temps[i].name, temps[i].name);
        EXPECT_EQ(report.temps[i].celsius.status, temps[i].status) << temps[i].name;
        EXPECT_EQ(report.temps[i].celsius.value, temps[i].value) << temps[i].name;
    }
    ASSERT_EQ(report.fans.size(), 1u);
    EXPECT_EQ(report.fans[0].rpm.status, kNotSupported);  // the library has no fans
    ASSERT_EQ(report.leds.size(), 1u);
    EXPECT_TRUE(report.leds[0].field.ok());  // read back through two GPIOs
    EXPECT_EQ(report.leds[0].setting, "Off");

    // The refused add carries the cause the library traced, not its echo or restatement.
    ASSERT_EQ(report.problems.size(), 2u);
    EXPECT_EQ(report.problems[0].text(), "add returned null: driver null not found");
    EXPECT_EQ(report.problems[1].name, "Spinner");
    EXPECT_EQ(report.problems[1].text(), "not supported by this library");

    // A device is added once.
    const BoardDevice* good = runner.board.find(Kind::TempSensor, "Good");
    EXPECT_EQ(runner.add(*good), runner.record<zl_temp_sensor>(good));
    runner.add(*runner.board.find(Kind::TempSensor, "Gone"));
    EXPECT_EQ(runner.problems.size(), 2u);
}
