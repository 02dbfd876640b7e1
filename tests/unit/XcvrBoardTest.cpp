// The emulated board's transceiver module EEPROM images, read by zolta-host's decoder (whose
// offsets ModuleEepromTest checks on images laid out byte by byte): both checksums right,
// identity texts space-padded and cut at 16. (The transceiver mux is checked against the
// running service in SmbusdTest.)
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "ModuleEeprom.h"
#include "XcvrEeprom.h"

namespace {

TEST(XcvrEepromImage, TheHostDecodesEveryImageWithRightChecksums) {
    const struct { const char* name; bool qsfp; std::map<std::string, std::string> fields; const char* vendor;
                   const char* serial; uint8_t identifier; } cases[] = {
        {"sfp empty", false, {}, "", "", 0x03},
        {"sfp long texts cut", false, {{"vendor", std::string(40, 'V')}, {"serial", "ZX1"}, {"date", "26010100"}},
         "VVVVVVVVVVVVVVVV", "ZX1", 0x03},
        {"qsfp full", true, {{"vendor", "V"}, {"part", "P"}, {"serial", "S"}, {"date", "26123199"}}, "V", "S", 0x11},
        {"qsfp identifier", true, {{"identifier", "0x0d"}, {"vendor", std::string(16, '\xff')}},
         "????????????????", "", 0x0d},  // bytes outside ASCII shown as '?': the checksum counts them
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string img = c.qsfp ? Smbusd::buildQsfpImage(c.fields) : Smbusd::buildSfpImage(c.fields);
        ASSERT_EQ(img.size(), Smbusd::kXcvrImageSize);
        Host::ModuleInfo info;
        std::string error;
        ASSERT_TRUE(Host::decodeModuleEeprom(reinterpret_cast<const uint8_t*>(img.data()), img.size(), &info, &error))
            << error;
        EXPECT_TRUE(info.badChecksums().empty());
        EXPECT_EQ(info.checksums.size(), 2u);
        EXPECT_EQ(info.identifier, c.identifier);
        EXPECT_EQ(info.vendor, c.vendor);
        EXPECT_EQ(info.serial, c.serial);
        if (c.qsfp) {
            EXPECT_EQ(img[Smbusd::kQsfpPageSelect], 0);  // upper page 00h shown
            EXPECT_EQ(img[Smbusd::kQsfpIdentifier], img[Smbusd::kQsfpUpperIdentifier]);
        }
    }
}

}  // namespace
