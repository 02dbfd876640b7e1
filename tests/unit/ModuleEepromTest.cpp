// The module EEPROM decoder of zolta-host on an SFP A0h page and a QSFP28 map laid out byte
// by byte at their standard offsets, with the ID checksums computed here; corrupting one
// byte of an ID field must name exactly the checksum that covers it.
#include <gtest/gtest.h>

#include <cstdint>
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
    m[0] = 0x03, m[1] = 0x04, m[2] = 0x07, m[3] = 0x10;  // SFP, ..., LC, 10GBASE-SR
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
    m[128] = 0x11, m[130] = 0x0C;
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

TEST(ModuleEeprom, ChecksumsNameTheCorruptedRange) {
    // What the image is, the offset whose low bit is flipped, the checksums then bad.
    const struct { const char* name; std::vector<uint8_t> image; size_t corrupt; std::vector<std::string> bad; } cases[] = {
        {"sfp checksum byte itself", sfpImage(), 63, {"CC_BASE"}},
        {"sfp serial", sfpImage(), 70, {"CC_EXT"}},
        {"sfp vendor-specific bytes are not covered", sfpImage(), 100, {}},
        {"qsfp part number", qsfpImage(), 170, {"CC_BASE"}},
        {"qsfp date code", qsfpImage(), 213, {"CC_EXT"}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> image = c.image;
        image[c.corrupt] ^= 0x01;
        ModuleInfo info;
        std::string error;
        ASSERT_TRUE(Host::decodeModuleEeprom(image.data(), image.size(), &info, &error)) << c.name << ": " << error;
        EXPECT_EQ(info.badChecksums(), c.bad) << c.name;
        ASSERT_EQ(info.checksums.size(), 2u) << c.name;
    }
}

// The operator's view of each image, every field at its standard offset; the SFP's CC_EXT
// byte is off by one.
TEST(ModuleEeprom, DecodedAsOperatorsReadIt) {
    auto sfp = sfpImage();
    sfp[95] += 1;
    auto qsfp = qsfpImage();
    const struct { std::vector<uint8_t> image; const char* text; } cases[] = {
        {sfp,
         "identifier:      0x03 (SFP/SFP+/SFP28)\n"
         "connector:       0x07 (LC)\n"
         "vendor name:     FINISAR CORP.\n"
         "vendor OUI:      00:90:65\n"
         "part number:     FTLX8571D3BCL\n"
         "revision:        A\n"
         "serial number:   AQG0T7M\n"
         "date code:       2020-01-15 lot 00\n"
         "CC_BASE:         ok (0x19)\n"
         "CC_EXT:          BAD (stored 0xf3, computed 0xf2)\n"},
        {qsfp,
         "identifier:      0x11 (QSFP28)\n"
         "connector:       0x0c (MPO 1x12)\n"
         "vendor name:     AVAGO\n"
         "vendor OUI:      00:17:6a\n"
         "part number:     AFBR-89CDDZ\n"
         "revision:        01\n"
         "serial number:   QF4102ZA\n"
         "date code:       2019-07-04\n"
         "CC_BASE:         ok (0x4b)\n"
         "CC_EXT:          ok (0xaa)\n"
         "temperature:     26.50 C\n"
         "supply voltage:  3.3000 V\n"
         "lane 1:          rx power 0.5000 mW, tx bias 12.000 mA, tx power 1.0000 mW\n"
         "lane 2:          rx power 0.0000 mW, tx bias 0.000 mA, tx power 0.0000 mW\n"
         "lane 3:          rx power 0.0000 mW, tx bias 0.000 mA, tx power 0.0000 mW\n"
         "lane 4:          rx power 0.0001 mW, tx bias 0.000 mA, tx power 0.0000 mW\n"},
    };
    for (const auto& c : cases) {
        ModuleInfo m;
        std::string error;
        ASSERT_TRUE(Host::decodeModuleEeprom(c.image.data(), c.image.size(), &m, &error)) << error;
        EXPECT_EQ(Host::renderModuleText(m), c.text);
    }
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

}  // namespace
