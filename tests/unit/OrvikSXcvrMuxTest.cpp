// The transceiver mux: its arguments, the select and reset writes it queues, and the frame
// they put around the first poll of a port CPLD behind it on the real SMBus HAM; a mux
// without a usable configuration refuses the device when it is made.
#include <gtest/gtest.h>

#include <memory>

#include "Components/Xcvr.h"
#include "Drivers/Orvik/OrvikSCpldA.h"
#include "Drivers/Orvik/OrvikSXcvrMux.h"
#include "FakeHam.h"
#include "FakeService.h"
#include "TestHost.h"

using Drivers::OrvikSXcvrMux;
using TestHost::FakeHam;

namespace {

// Select and reset queue one write each; both arguments and the channel keep their low 8 bits.
// (Every declared argument's absence, texts and range ends: CatalogueTest and ArgReaderTest.)
TEST(OrvikSXcvrMuxTest, SelectAndResetQueueOneWriteEach) {
    const OrvikSXcvrMux::MuxArgs read = OrvikSXcvrMux::readMuxArgs({{"reg", "300"}, {"reset", "-1"}});
    EXPECT_EQ(std::make_pair(read.reg, read.reset), std::make_pair(uint8_t(44), uint8_t(255)));
    OrvikSXcvrMux device;
    Drivers::FactoryArgs args;
    args.driverArgs = {{"reg", "16"}, {"reset", "0"}};
    std::unique_ptr<Component::LogicalDevice::Mux> mux(device.newMux(args, 3));
    std::unique_ptr<Component::LogicalDevice::Mux> wide(device.newMux(args, 260));
    EXPECT_EQ(mux->device(), &device);
    FakeHam ham;
    ham.prepare();
    EXPECT_EQ(mux->executeMuxRequest(), ZL_STATUS_NO_COMM);
    EXPECT_EQ(mux->selectRequest(&ham), 1u);
    EXPECT_EQ(wide->selectRequest(&ham), 1u);
    EXPECT_EQ(mux->resetRequest(&ham), 1u);
    ASSERT_EQ(ham.execute(), 0);
    EXPECT_EQ(ham.traffic(), "w8 10=03, w8 10=04, w8 10=00");  // channel 260 is 4 in 8 bits
}

// ---- the frame on the real SMBus HAM (dids 7650..7699) ----

// I2C medium 6: mux device 7650 (at 0x60, register 16, reset 0) whose channel 3 holds port
// CPLD 7652; mux device 7651 lacks its reset value, and its channel 2 holds 7653.
const char kTopology[] = R"([{"type": "I2C", "ham": "ZoltaSmbus", "id": 6,
  "devices": [{"did": 7650, "driver": "OrvikSXcvrMux", "address": {"address": 96},
               "driverArgs": {"reg": "16", "reset": "0"}},
              {"did": 7651, "driver": "OrvikSXcvrMux", "address": {"address": 97}, "driverArgs": {"reg": "16"}}],
  "muxes": [{"did": 7650, "busses": [{"id": 3, "devices": [{"did": 7652}]}]},
            {"did": 7651, "busses": [{"id": 2, "devices": [{"did": 7653}]}]}]}])";

std::string portText(unsigned did, const char* cage) {
    return "{\"did\":" + std::to_string(did) +
           ",\"driver\":\"OrvikSCpldA\",\"address\":{\"address\":35},\"driverArgs\":{\"id\":\"" + cage +
           "\",\"type\":\"qsfp\"}}";
}

class XcvrMuxFrameTest : public TestHost::ServiceTest {
  protected:
    XcvrMuxFrameTest() : ServiceTest(kTopology, {7652, 7650, 7651}) {}
};

TEST_F(XcvrMuxFrameTest, SelectBeforeAndResetAfterTheFirstPoll) {
    zl_xcvr* port = zl_xcvr_add(portText(7652, "3").c_str());
    ASSERT_NE(port, nullptr) << TestHost::dumpTraces();
    std::unique_ptr<Component::LogicalDevice::QsfpXcvr> owned(
        static_cast<Component::LogicalDevice::QsfpXcvr*>(port->object));
    // The first poll, made while the driver starts (every later batch is framed alike:
    // ZoltaSmbusHamTest).
    ASSERT_EQ(service_.requests().size(), 1u);
    EXPECT_EQ(shape(service_.requests()[0]), "w96:16=3 r35:11 r35:12 r35:13 r35:14 w96:16=0");
}

TEST_F(XcvrMuxFrameTest, AMuxWithoutItsResetValueRefusesTheDeviceWhenItIsMade) {
    EXPECT_EQ(zl_xcvr_add(portText(7653, "1").c_str()), nullptr);
    EXPECT_TRUE(TestHost::traced("consistency check failed: resetIt != args.driverArgs.end()", 0))
        << TestHost::dumpTraces();
    EXPECT_TRUE(service_.requests().empty());
    EXPECT_EQ(Component::DeviceBase::devices.count(7653), 0u);
}

}  // namespace
