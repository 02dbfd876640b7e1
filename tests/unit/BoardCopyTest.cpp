// The emulated board can be copied (the control-language fuzz target runs each input on a
// copy): the copy is a second board whose mux selection and chip properties change apart
// from the original's.
#include <gtest/gtest.h>

#include <string>

#include "Board.h"

namespace {

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
constexpr char kSfpIdentifier = 0x03;

void addRequest(Smbus::TransactionRequest* tr, Smbus::RequestType type, uint32_t address, uint32_t reg,
                const std::string& data) {
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
    q->set_data(data);
}

// One batch: an optional mux write (channel >= 0), then a read of the module identifier byte.
std::string readBehindMux(Smbusd::Board& board, int channel) {
    Smbus::TransactionRequest tr;
    if (channel >= 0) addRequest(&tr, Smbus::REQUEST_WRITE, kMuxAddress, kMuxReg, std::string(1, char(channel)));
    addRequest(&tr, Smbus::REQUEST_READ, kModuleAddress, 0, "");
    std::string log;
    const Smbus::TransactionResponse r = board.execute(tr, 1, 0, &log).response;
    return r.failed() ? "failed" : r.response(r.response_size() - 1).data();
}

TEST(BoardCopy, ACopiedBoardKeepsItsOwnState) {
    Smbusd::Board board;
    std::string err, out;
    ASSERT_TRUE(board.load(kMuxTopology, kMuxState, &err)) << err;
    EXPECT_EQ(readBehindMux(board, 1), std::string(1, kSfpIdentifier));
    Smbusd::Board copy(board);
    EXPECT_EQ(readBehindMux(copy, -1), std::string(1, kSfpIdentifier));  // the selection came along
    readBehindMux(copy, 2);
    ASSERT_TRUE(copy.control({"prop", "Eeprom1", "vendor", "OTHER"}, &out, &err)) << err;
    EXPECT_EQ(readBehindMux(board, -1), std::string(1, kSfpIdentifier));  // still channel 1
    out.clear();
    ASSERT_TRUE(board.control({"prop", "Eeprom1", "vendor"}, &out, &err)) << err;
    EXPECT_NE(out, "OTHER\n");
}

}  // namespace
