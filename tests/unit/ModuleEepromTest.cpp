// The module EEPROM decoder of zolta-host on an SFP A0h page and a QSFP28 map laid out byte
// by byte at their standard offsets, with the ID checksums computed here; corrupting one
// byte of an ID field must name exactly the checksum that covers it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ModuleEeprom.h"

namespace {

using Host::ModuleInfo;

void put(std::vector<uint8_t>& image, size_t offset, const std::string& text, size_t width) {
    std::string padded = text;
    padded.resize(width, ' ');
    std::memcpy(image.data() + offset, padded.data(), width);
}

uint8_t sum(const std::vector<uint8_t>& image, size_t first, size_t last) {
    unsigned s = 0;
    for (size_t i = first; i <= last; ++i) s += image[i];
    return static_cast<uint8_t>(s);
}

// A 10G SR SFP+: LC connector, vendor FINISAR CORP., OUI 00:90:65, made 2020-01-15.
std::vector<uint8_t> sfpImage() {
    std::vector<uint8_t> m(128, 0);
    m[0] = 0x03;
    m[1] = 0x04;
    m[2] = 0x07;
    m[3] = 0x10;   // 10GBASE-SR
    m[12] = 0x67;  // 10.3 GBd
    put(m, 20, "FINISAR CORP.", 16);
    m[37] = 0x00, m[38] = 0x90, m[39] = 0x65;
    put(m, 40, "FTLX8571D3BCL", 16);
    put(m, 56, "A", 4);
    m[60] = 0x03, m[61] = 0x52;  // 850 nm
    m[63] = sum(m, 0, 62);
    put(m, 68, "AQG0T7M", 16);
    put(m, 84, "20011500", 8);
    m[92] = 0x68;
    m[95] = sum(m, 64, 94);
    return m;
}

// A QSFP28 100G SR4: MPO 1x12, temperature, supply voltage and tx power monitored.
std::vector<uint8_t> qsfpImage() {
    std::vector<uint8_t> m(256, 0);
    m[0] = 0x11;
    m[22] = 0x1A, m[23] = 0x80;  // 26.5 C
    m[26] = 0x80, m[27] = 0xE8;  // 33000 x 100 uV
    m[34] = 0x13, m[35] = 0x88;  // lane 1 rx 5000 x 0.1 uW
    m[40] = 0x00, m[41] = 0x01;  // lane 4 rx 0.1 uW
    m[42] = 0x17, m[43] = 0x70;  // lane 1 bias 6000 x 2 uA
    m[50] = 0x27, m[51] = 0x10;  // lane 1 tx 10000 x 0.1 uW
    m[128] = 0x11;
    m[130] = 0x0C;
    put(m, 148, "AVAGO", 16);
    m[165] = 0x00, m[166] = 0x17, m[167] = 0x6A;
    put(m, 168, "AFBR-89CDDZ", 16);
    put(m, 184, "01", 2);
    m[191] = sum(m, 128, 190);
    put(m, 196, "QF4102ZA", 16);
    put(m, 212, "190704", 8);
    m[220] = 0x3C;  // temperature, supply voltage, average rx power, tx power
    m[223] = sum(m, 192, 222);
    return m;
}

struct Case {
    const char* name;
    std::vector<uint8_t> image;
    int corrupt;  // offset to change, -1 for none
    std::vector<std::string> bad;
};

TEST(ModuleEeprom, ChecksumsNameTheCorruptedRange) {
    const Case cases[] = {
        {"sfp", sfpImage(), -1, {}},
        {"sfp vendor name", sfpImage(), 21, {"CC_BASE"}},
        {"sfp checksum byte itself", sfpImage(), 63, {"CC_BASE"}},
        {"sfp serial", sfpImage(), 70, {"CC_EXT"}},
        {"sfp vendor-specific bytes are not covered", sfpImage(), 100, {}},
        {"qsfp", qsfpImage(), -1, {}},
        {"qsfp lower page is not covered", qsfpImage(), 22, {}},
        {"qsfp part number", qsfpImage(), 170, {"CC_BASE"}},
        {"qsfp date code", qsfpImage(), 213, {"CC_EXT"}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> image = c.image;
        if (c.corrupt >= 0) image[c.corrupt] ^= 0x01;
        ModuleInfo info;
        std::string error;
        ASSERT_TRUE(Host::decodeModuleEeprom(image.data(), image.size(), &info, &error)) << c.name << ": " << error;
        EXPECT_EQ(info.badChecksums(), c.bad) << c.name;
        ASSERT_EQ(info.checksums.size(), 2u) << c.name;
    }
}

TEST(ModuleEeprom, SfpFields) {
    auto image = sfpImage();
    ModuleInfo m;
    std::string error;
    ASSERT_TRUE(Host::decodeModuleEeprom(image.data(), image.size(), &m, &error)) << error;
    EXPECT_FALSE(m.qsfp);
    EXPECT_EQ(m.identifierName, "SFP/SFP+/SFP28");
    EXPECT_EQ(m.connectorName, "LC");
    EXPECT_EQ(m.vendor, "FINISAR CORP.");
    EXPECT_EQ(m.oui, "00:90:65");
    EXPECT_EQ(m.partNumber, "FTLX8571D3BCL");
    EXPECT_EQ(m.revision, "A");
    EXPECT_EQ(m.serial, "AQG0T7M");
    EXPECT_EQ(m.dateCode, "2020-01-15 lot 00");
    EXPECT_TRUE(m.lanes.empty());

    image[95] ^= 0xFF;
    ASSERT_TRUE(Host::decodeModuleEeprom(image.data(), image.size(), &m, &error));
    const std::string text = Host::renderModuleText(m);
    EXPECT_NE(text.find("CC_BASE:         ok ("), std::string::npos) << text;
    char bad[64];
    std::snprintf(bad, sizeof bad, "CC_EXT:          BAD (stored 0x%02x, computed 0x%02x)\n", image[95],
                  image[95] ^ 0xFF);
    EXPECT_NE(text.find(bad), std::string::npos) << text;
}

TEST(ModuleEeprom, QsfpFieldsAndMonitors) {
    auto image = qsfpImage();
    ModuleInfo m;
    std::string error;
    ASSERT_TRUE(Host::decodeModuleEeprom(image.data(), image.size(), &m, &error)) << error;
    EXPECT_TRUE(m.qsfp);
    EXPECT_EQ(m.identifierName, "QSFP28");
    EXPECT_EQ(m.connectorName, "MPO 1x12");
    EXPECT_EQ(m.vendor, "AVAGO");
    EXPECT_EQ(m.oui, "00:17:6a");
    EXPECT_EQ(m.partNumber, "AFBR-89CDDZ");
    EXPECT_EQ(m.revision, "01");
    EXPECT_EQ(m.serial, "QF4102ZA");
    EXPECT_EQ(m.dateCode, "2019-07-04");
    EXPECT_TRUE(m.hasTemperature && m.hasVoltage && m.hasTxPower);
    EXPECT_DOUBLE_EQ(m.temperatureC, 26.5);
    EXPECT_NEAR(m.supplyVolts, 3.3, 1e-9);
    ASSERT_EQ(m.lanes.size(), 4u);
    EXPECT_NEAR(m.lanes[0].rxPowerMw, 0.5, 1e-9);
    EXPECT_NEAR(m.lanes[0].txBiasMa, 12.0, 1e-9);
    EXPECT_NEAR(m.lanes[0].txPowerMw, 1.0, 1e-9);
    EXPECT_NEAR(m.lanes[3].rxPowerMw, 0.0001, 1e-12);

    // Monitors the module does not advertise are left out of the report.
    image[220] = 0x08;
    ASSERT_TRUE(Host::decodeModuleEeprom(image.data(), image.size(), &m, &error));
    const std::string text = Host::renderModuleText(m);
    EXPECT_EQ(text.find("temperature"), std::string::npos) << text;
    EXPECT_EQ(text.find("tx power"), std::string::npos) << text;
    EXPECT_NE(text.find("lane 1:          rx power 0.5000 mW, tx bias 12.000 mA\n"), std::string::npos) << text;
}

TEST(ModuleEeprom, RefusesWhatIsNoSfpOrQsfpMap) {
    ModuleInfo m;
    std::string error;
    auto qsfp = qsfpImage();
    EXPECT_FALSE(Host::decodeModuleEeprom(qsfp.data(), 128, &m, &error));
    EXPECT_EQ(error, "image of 128 bytes, 256 needed");
    qsfp[0] = 0x18;
    EXPECT_FALSE(Host::decodeModuleEeprom(qsfp.data(), qsfp.size(), &m, &error));
    EXPECT_EQ(error, "identifier 0x18 (QSFP-DD) is neither SFP nor QSFP");
}

TEST(ModuleEeprom, DumpTableLikeI2cdump) {
    std::vector<int> values(256, 0xFF);
    values[0] = 0x03;
    values[1] = 'A';
    values[2] = 0x00;
    values[17] = -1;
    const std::string table = Host::renderDumpTable(values);
    EXPECT_EQ(table.substr(0, table.find('\n', table.find('\n') + 1) + 1),
              "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n"
              "00: 03 41 00 ff ff ff ff ff ff ff ff ff ff ff ff ff    ?A..............\n");
    EXPECT_NE(table.find("10: ff XX ff"), std::string::npos);
    EXPECT_NE(table.find("   .X..............\n"), std::string::npos);
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 17);
}

}  // namespace
