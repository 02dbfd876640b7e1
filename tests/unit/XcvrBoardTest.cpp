// The emulated board's transceiver side: the module EEPROM images (each checksum byte is the
// low 8 bits of the sum of its range, identity texts space-padded at their offsets) and the
// transceiver mux (a device behind a channel answers only while that channel is selected).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Board.h"
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

const char* kMuxTopology = R"([
 {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [
   {"id": 1, "busses": [
     {"id": 1, "devices": [
       {"did": 1, "label": "Mux", "driver": "OrvikSXcvrMux", "address": {"address": 112},
        "driverArgs": {"reg": "16", "reset": "0"}}],
      "muxes": [{"did": 1, "busses": [
        {"id": 1, "devices": [{"did": 11, "label": "Eeprom1", "driver": "SmbusProxyDriver", "address": {"address": 80}}]},
        {"id": 2, "devices": [{"did": 12, "label": "Eeprom2", "driver": "SmbusProxyDriver", "address": {"address": 80}}]}
      ]}]}
   ]}]}
])";
const char* kMuxState = R"({"Eeprom1": {"model": "sfp-eeprom"}, "Eeprom2": {"model": "qsfp-eeprom"}})";

constexpr uint32_t kMuxAddress = 112, kMuxReg = 16, kModuleAddress = 80;

Smbus::Request* request(Smbus::TransactionRequest* tr, Smbus::RequestType type, uint32_t address, uint32_t reg) {
    Smbus::Request* q = tr->add_request();
    q->set_type(type);
    q->set_mastertype(Smbus::MasterType(BoardModel::kMasterScd));
    BoardModel::KhamAddress a;
    a.reg = reg;
    a.address = address;
    a.bus = 1;
    a.accel = 1;
    q->set_address(a.pack());
    q->set_pci(256);
    q->set_length(1);
    return q;
}

// One batch: an optional mux write, then a read of the module identifier byte.
Smbus::TransactionResponse readBehindMux(Smbusd::Board& board, int muxValue, std::string* log) {
    Smbus::TransactionRequest tr;
    if (muxValue >= 0) request(&tr, Smbus::REQUEST_WRITE, kMuxAddress, kMuxReg)->set_data(std::string(1, char(muxValue)));
    request(&tr, Smbus::REQUEST_READ, kModuleAddress, 0);
    return board.execute(tr, 1, 1, log).response;
}

TEST(XcvrMux, ADeviceAnswersOnlyWhileItsChannelIsSelected) {
    Smbusd::Board board;
    std::string err, log;
    ASSERT_TRUE(board.load(kMuxTopology, kMuxState, &err)) << err;
    struct Step {
        int muxValue;  // -1: no mux write in the batch
        bool answers;
        char id;
    };
    const Step steps[] = {{-1, false, 0}, {1, true, 0x03}, {-1, true, 0x03}, {2, true, 0x11}, {0, false, 0},
                          {3, false, 0}};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.muxValue);
        auto r = readBehindMux(board, s.muxValue, &log);
        EXPECT_EQ(r.failed(), !s.answers) << r.error();
        if (s.answers) {
            EXPECT_EQ(r.response(r.response_size() - 1).data(), std::string(1, s.id));
        }
    }
    EXPECT_NE(log.find("data [01] mux select channel 1"), std::string::npos) << log;
    EXPECT_NE(log.find("data [00] mux reset"), std::string::npos) << log;
}

// A copied board is a second board: its mux selection and properties change apart from the
// original's.
TEST(XcvrMux, ACopiedBoardKeepsItsOwnState) {
    Smbusd::Board board;
    std::string err, log, out;
    ASSERT_TRUE(board.load(kMuxTopology, kMuxState, &err)) << err;
    readBehindMux(board, 1, &log);
    Smbusd::Board copy(board);
    EXPECT_EQ(readBehindMux(copy, -1, &log).response(0).data(), std::string(1, 0x03));
    readBehindMux(copy, 2, &log);
    ASSERT_TRUE(copy.control({"prop", "Eeprom1", "vendor", "OTHER"}, &out, &err)) << err;
    EXPECT_EQ(readBehindMux(board, -1, &log).response(0).data(), std::string(1, 0x03));
    out.clear();
    ASSERT_TRUE(board.control({"prop", "Eeprom1", "vendor"}, &out, &err)) << err;
    EXPECT_NE(out, "OTHER\n");
}

}  // namespace
