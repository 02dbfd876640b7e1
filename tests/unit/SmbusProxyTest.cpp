// Raw SMBus access: the device by text or by label and address (and the forced driver),
// each operation's exact batch and pause through the host callbacks, the delay arguments,
// the refused overlong block, and the operations that answer "not provided".
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "Components/LogicalDevices.h"
#include "Drivers/SmbusProxyDriver.h"
#include "FakeHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"

using Drivers::SmbusProxyDriver;
using TestHost::FakeHam;

namespace {

// Dids 7610..7639. Labels follow the bus<0xaddress> form the label lookup builds.
const char* const kDevices =
    R"({"did":7610,"label":"bus3<0x50>","driver":"TMP75","address":{"address":80},)"
    R"("driverArgs":{"localReadDelayMs":"5","localWriteDelayMs":"7"}},)"
    R"({"did":7611,"label":"bus3<0x8>","driver":"SmbusProxyDriver","address":{"address":8}},)"
    R"({"did":7612,"label":"mux1<0xa>","driver":"Dummy","address":{"address":10}},)"
    R"({"did":7613,"label":"bare<0x9>","address":{"address":9}},)"
    R"({"did":7614,"label":"text","driver":"TMP75","address":{"address":11}},)"
    R"({"did":7615,"address":{"address":12}})";

class SmbusProxyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Utils::isInSimulation = 0;
        ASSERT_EQ(Topology::loadTopology(TestHost::fakeHamTopology(kDevices).c_str()), ZL_STATUS_OK);
        SmbusProxyDriver::pause = [this](uint32_t us) { pauses.push_back(us); };
        TestHost::clearTraces();
    }
    void TearDown() override {
        SmbusProxyDriver::pause = nullptr;
        TestHost::forgetDevices({7610, 7611, 7612, 7613, 7614, 7615});
    }

    static zl_smbus* add(const char* devArgs, unsigned char address) {
        return TestHost::hold(zl_smbus_add(devArgs, address));
    }

    TestHost::FakeRegistrations registrations_;
    std::vector<uint32_t> pauses;
};

TEST_F(SmbusProxyTest, LabelAndAddressFindTheDeviceAndForceTheProxyDriver) {
    const struct { const char* label; unsigned char address; const char* key; } found[] = {
        {"bus3", 0x50, "bus3<0x50>"}, {"bus3", 8, "bus3<0x8>"}, {"mux1", 0x0A, "mux1<0xa>"}};
    for (const auto& c : found) {
        TestHost::clearTraces();
        zl_smbus* record = add(c.label, c.address);
        ASSERT_NE(record, nullptr) << c.key << TestHost::dumpTraces();
        EXPECT_EQ(record->callbacks, Component::LogicalDevice::SmbusProxy::callbacks);
        EXPECT_EQ(Topology::getDeviceByLabel(c.key)->args->driver, "SmbusProxyDriver") << c.key;
        const FakeHam* ham = TestHost::fakeHamFor(Topology::getDeviceByLabel(c.key)->did);
        ASSERT_NE(ham, nullptr);
        EXPECT_TRUE(ham->retryCountSet && ham->retryCount == 0) << c.key;
    }
    // The topology's delays reach the proxy made by label.
    auto* proxy = static_cast<SmbusProxyDriver::SmbusProxy*>(add("bus3", 0x50)->object);
    EXPECT_EQ(proxy->readDelayUs, 5000);
    EXPECT_EQ(proxy->writeDelayUs, 7000);

    const struct { const char* label; unsigned char address; const char* trace; } refused[] = {
        {" mux1", 0x0A, "smbus_add failed: device does not exist in topology"},  // a blank starts a label
        {nullptr, 0x0A, "smbus_add failed: device does not exist in topology"},
        {"bare", 9, "DeviceBase::create() failed"},  // the topology names no driver at all
        {"{\"did\":7615,\"driver\":\"Dummy\",\"address\":{\"address\":12}}", 12, "Not implemented newSmbusProxy"},
    };
    for (const auto& c : refused) {
        TestHost::clearTraces();
        EXPECT_EQ(add(c.label, c.address), nullptr) << (c.label ? c.label : "(null)");
        EXPECT_TRUE(TestHost::traced(c.trace, 0)) << TestHost::dumpTraces();
    }
}

TEST_F(SmbusProxyTest, DeviceTextNamesTheDriverItselfAndIgnoresTheAddress) {
    zl_smbus* record =
        add(R"({"did":7614,"driver":"SmbusProxyDriver","address":{"address":11},"driverArgs":{"localWriteDelayMs":"-4"}})", 0x77);
    ASSERT_NE(record, nullptr) << TestHost::dumpTraces();
    EXPECT_EQ(TestHost::fakeHamFor(7614)->retryCount, 0u);
    auto* proxy = static_cast<SmbusProxyDriver::SmbusProxy*>(record->object);
    EXPECT_EQ(proxy->readDelayUs, 0);
    EXPECT_EQ(proxy->writeDelayUs, 0);  // negative: no pause
    EXPECT_EQ(Topology::getDeviceByLabel("text")->args->driver, "TMP75");    // the topology is untouched
}

TEST_F(SmbusProxyTest, EachOperationIsOneBatchWithoutPecAndPausesForItsKind) {
    zl_smbus* r = add("bus3", 0x50);
    ASSERT_NE(r, nullptr);
    FakeHam& ham = *TestHost::fakeHamFor(7610);
    ham.bytes = {{0, 0x5A}};
    ham.words = {{0x20, 0xBEEF}, {0x50, 0x0A0B}};
    ham.blocks = {{0x30, "abc"}};
    for (uint32_t i = 0; i < 4; ++i) ham.bytes[0x40 + i] = static_cast<uint8_t>('p' + i);
    const uint32_t read = 5000, write = 7000;
    unsigned char byte = 0, data[ZL_SMBUS_BLOCK_MAX] = {};
    unsigned short word = 0;
    unsigned length = 0;
    const unsigned char out[] = {'w', 'x', 'y', 'z'};
    auto text = [&](size_t n) { return std::string(reinterpret_cast<const char*>(data), n); };

    const struct {
        const char* name;
        std::function<zl_status()> call;
        const char* traffic;  // no PEC
        uint32_t pause;
        std::function<std::string()> result;  // the outputs as text, with `expected`
        const char* expected;
    } cases[] = {
        {"receiveByte", [&] { return ZL_CALLBACK(r, ZL_SMBUS_RECEIVE_BYTE, zl_smbus_receive_byte_fn)(r, &byte); },
         "recv", read, [&] { return std::to_string(byte); }, "90"},
        {"sendByte", [&] { return ZL_CALLBACK(r, ZL_SMBUS_SEND_BYTE, zl_smbus_send_byte_fn)(r, 0x33); },
         "send 33", write, nullptr, nullptr},
        {"writeByte", [&] { return ZL_CALLBACK(r, ZL_SMBUS_WRITE_BYTE, zl_smbus_write_byte_fn)(r, 0x11, 0x22); },
         "w8 11=22", write, nullptr, nullptr},
        {"readWord", [&] { return ZL_CALLBACK(r, ZL_SMBUS_READ_WORD, zl_smbus_read_word_fn)(r, 0x20, &word); },
         "r16 20", read, [&] { return std::to_string(word); }, "48879"},
        {"writeWord", [&] { return ZL_CALLBACK(r, ZL_SMBUS_WRITE_WORD, zl_smbus_write_word_fn)(r, 0x21, 0x1234); },
         "w16 21=1234", write, nullptr, nullptr},
        {"blockRead", [&] { return ZL_CALLBACK(r, ZL_SMBUS_BLOCK_READ, zl_smbus_block_read_fn)(r, 0x30, data, &length); },
         "rblock 30", read, [&] { return std::to_string(length) + ":" + text(length); }, "3:abc"},
        {"blockWrite", [&] { return ZL_CALLBACK(r, ZL_SMBUS_BLOCK_WRITE, zl_smbus_block_write_fn)(r, 0x31, out, 2); },
         "wblock 31=[77 78]", write, nullptr, nullptr},
        {"i2cBlockRead", [&] { return ZL_CALLBACK(r, ZL_SMBUS_I2C_BLOCK_READ, zl_smbus_i2c_block_read_fn)(r, 0x40, data, 4); },
         "r 40*4", read, [&] { return text(4); }, "pqrs"},
        {"i2cBlockWrite", [&] { return ZL_CALLBACK(r, ZL_SMBUS_I2C_BLOCK_WRITE, zl_smbus_i2c_block_write_fn)(r, 0x41, out, 4); },
         "w 41=[77 78 79 7a]", write, nullptr, nullptr},
        {"processCall", [&] { return ZL_CALLBACK(r, ZL_SMBUS_PROCESS_CALL, zl_smbus_process_call_fn)(r, 0x50, 0x0102, &word); },
         "call 50=0102", write, [&] { return std::to_string(word); }, "2571"},
    };
    ham.traffic();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pauses.clear();
        EXPECT_EQ(c.call(), ZL_STATUS_OK);
        EXPECT_EQ(ham.traffic(), c.traffic);
        EXPECT_EQ(pauses, std::vector<uint32_t>{c.pause});
        if (c.result) {
            EXPECT_EQ(c.result(), c.expected);
        }
    }
}

TEST_F(SmbusProxyTest, FailuresOverlongAnswersAndOperationsNotProvided) {
    zl_smbus* r = add("bus3", 0x50);
    ASSERT_NE(r, nullptr);
    auto* proxy = static_cast<SmbusProxyDriver::SmbusProxy*>(r->object);
    FakeHam& ham = *TestHost::fakeHamFor(7610);

    // A failing bus: the HAM's status after the read pause, output as it was.
    ham.status = ZL_STATUS_NO_COMM;
    unsigned short word = 0x1111;
    EXPECT_EQ(proxy->readWord(0x20, &word), ZL_STATUS_NO_COMM);
    EXPECT_EQ(word, 0x1111);
    EXPECT_EQ(pauses, std::vector<uint32_t>{5000});
    // A failed block read hands out no bytes; an I2C block read that got fewer bytes than
    // asked (the bulk read and its fallback both failed) copies nothing and doesn't pause.
    pauses.clear();
    unsigned char data[ZL_SMBUS_BLOCK_MAX + 1];
    std::memset(data, 0xEE, sizeof data);
    unsigned length = 99;
    EXPECT_EQ(proxy->blockRead(0x30, data, &length), ZL_STATUS_NO_COMM);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(proxy->i2cBlockRead(0x40, data, 8), ZL_STATUS_NO_COMM);
    EXPECT_EQ(data[0], 0xEE);
    EXPECT_EQ(pauses, std::vector<uint32_t>{5000});
    ham.status = ZL_STATUS_OK;

    // The longest SMBus block is handed out; one byte more is refused before any copy.
    ham.blocks[0x30] = std::string(ZL_SMBUS_BLOCK_MAX, 'b');
    EXPECT_EQ(proxy->blockRead(0x30, data, &length), ZL_STATUS_OK);
    EXPECT_EQ(length, unsigned{ZL_SMBUS_BLOCK_MAX});
    EXPECT_EQ(data[ZL_SMBUS_BLOCK_MAX], 0xEE);
    ham.blocks[0x30] = std::string(ZL_SMBUS_BLOCK_MAX + 1, 'c');
    EXPECT_EQ(proxy->blockRead(0x30, data, &length), ZL_STATUS_FAILED);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(data[0], 'b');
    // Block lengths the SMBus count byte can't carry send nothing.
    ham.traffic();
    EXPECT_EQ(proxy->i2cBlockRead(0x40, data, ZL_SMBUS_BLOCK_MAX + 1), ZL_STATUS_BAD_INPUT);
    EXPECT_EQ(proxy->i2cBlockWrite(0x40, data, ZL_SMBUS_BLOCK_MAX + 1), ZL_STATUS_BAD_INPUT);
    EXPECT_EQ(proxy->blockWrite(0x40, data, ZL_SMBUS_BLOCK_MAX + 1), ZL_STATUS_BAD_INPUT);
    EXPECT_EQ(ham.traffic(), "");

    // Quick command and block process call answer "not provided" through the C boundary.
    unsigned char result[4], resultLength = 0;
    EXPECT_EQ(ZL_CALLBACK(r, ZL_SMBUS_QUICK_COMMAND, zl_smbus_quick_command_fn)(r, 1), ZL_STATUS_NOT_PROVIDED);
    EXPECT_EQ(ZL_CALLBACK(r, ZL_SMBUS_BLOCK_PROCESS_CALL, zl_smbus_block_process_call_fn)(r, 1, data, 2, result,
                                                                                           &resultLength),
              ZL_STATUS_NOT_PROVIDED);
    EXPECT_EQ(r->callbacks[0], ZL_SMBUS_TABLE_WORDS * sizeof(zl_word));
}

// (Delays in whole milliseconds and negative ones: the tests above.)
TEST(SmbusProxySettings, DelaysAreCutToTheFieldsRange) {
    const auto s = SmbusProxyDriver::readSettings({{"localReadDelayMs", "2147483647"}});
    EXPECT_EQ(s.readDelayUs, std::numeric_limits<int32_t>::max());
    EXPECT_EQ(s.writeDelayUs, 0);
}

}  // namespace
