// The emulated board's transceiver module EEPROM images: each checksum byte is the low 8 bits
// of the sum of its range, identity texts space-padded at their offsets. (The transceiver
// mux is checked against the running service in SmbusdTest.)
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "XcvrEeprom.h"

namespace {

using Smbusd::xcvrChecksum;

struct Case {
    const char* name;
    bool qsfp;
    std::map<std::string, std::string> fields;
};

TEST(XcvrEepromImage, ChecksumsAndFieldsHoldForEveryImage) {
    const Case cases[] = {
        {"sfp empty", false, {}},
        {"sfp full", false, {{"vendor", "ZOLTA OPTICS"}, {"part", "ZS10-10G-SR"}, {"serial", "ZX1"}, {"date", "26010100"}}},
        {"sfp long texts cut", false, {{"vendor", std::string(40, '\xff')}, {"serial", std::string(20, 'S')}}},
        {"qsfp full", true, {{"vendor", "V"}, {"part", "P"}, {"serial", "S"}, {"date", "26123199"}}},
        {"qsfp identifier", true, {{"identifier", "0x0d"}, {"vendor", std::string(16, '\xff')}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string img = c.qsfp ? Smbusd::buildQsfpImage(c.fields) : Smbusd::buildSfpImage(c.fields);
        ASSERT_EQ(img.size(), Smbusd::kXcvrImageSize);
        const size_t base = c.qsfp ? Smbusd::kQsfpUpperIdentifier : 0;
        const size_t ccBase = c.qsfp ? Smbusd::kQsfpCcBase : Smbusd::kSfpCcBase;
        const size_t ccExt = c.qsfp ? Smbusd::kQsfpCcExt : Smbusd::kSfpCcExt;
        EXPECT_EQ(uint8_t(img[ccBase]), xcvrChecksum(img, base, ccBase - 1));
        EXPECT_EQ(uint8_t(img[ccExt]), xcvrChecksum(img, ccBase + 1, ccExt - 1));
        const size_t name = c.qsfp ? Smbusd::kQsfpVendorName : Smbusd::kSfpVendorName;
        const size_t sn = c.qsfp ? Smbusd::kQsfpVendorSn : Smbusd::kSfpVendorSn;
        auto text = [&](const char* k) {
            auto it = c.fields.find(k);
            std::string v = it == c.fields.end() ? "" : it->second.substr(0, 16);
            return v + std::string(16 - v.size(), ' ');
        };
        EXPECT_EQ(img.substr(name, 16), text("vendor"));
        EXPECT_EQ(img.substr(sn, 16), text("serial"));
    }
}

TEST(XcvrEepromImage, IdentifiersAndQsfpPageLayout) {
    EXPECT_EQ(Smbusd::buildSfpImage({})[0], char(0x03));
    const std::string q = Smbusd::buildQsfpImage({{"identifier", "13"}});
    EXPECT_EQ(q[Smbusd::kQsfpIdentifier], char(13));
    EXPECT_EQ(q[Smbusd::kQsfpUpperIdentifier], char(13));
    EXPECT_EQ(q[Smbusd::kQsfpPageSelect], char(0));
    EXPECT_EQ(Smbusd::buildQsfpImage({})[0], char(0x11));
}

}  // namespace
