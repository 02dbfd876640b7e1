// The PSU bay driver: slot rules, the kvIpmi command lines (no argument reaches the shell as a
// command), presence and power-good bits, the text cache, the identification methods on bytes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <iterator>
#include <string>
#include <vector>

#include "Components/LogicalDevices.h"
#include "Drivers/PsuSlot.h"
#include "FakeHam.h"
#include "Ham/SimHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"

using Drivers::PsuSlot;
using TestHost::ScriptedGpio;
using TestHost::FakeHam;
using Type = Drivers::PsuSlot::IdentificationType;
using Method = zl_status (PsuSlot::Slot::*)(std::string& serial, std::string& model);

namespace {

using TestHost::ArgList;

// A slot of the device with the given arguments, and psuId when given.
std::unique_ptr<PsuSlot::Slot> makeSlot(PsuSlot& device, ArgList list, const char* psuId = "1") {
    Drivers::FactoryArgs args = TestHost::argsWith(list);
    if (psuId != nullptr) args.driverArgs["psuId"] = psuId;
    return std::unique_ptr<PsuSlot::Slot>(dynamic_cast<PsuSlot::Slot*>(device.newSlot(args)));
}

// Puts bytes into a byte-addressed FakeHam starting at offset.
void load(FakeHam& ham, uint32_t offset, const std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) ham.bytes[offset + static_cast<uint32_t>(i)] = static_cast<uint8_t>(bytes[i]);
}

// getPresence through the host callback: status and text ("-" when none).
std::pair<zl_status, std::string> presence(PsuSlot::Slot& slot) { return TestHost::slotPresence(&slot.record); }

// Runs one identification method of a bay on the HAM: status and "model/serial".
struct Ident { zl_status status; std::string text; };
Ident identify(Ham::Ham& ham, Method method, const char* psuId = "1") {
    PsuSlot device(&ham);
    std::string serial, model;
    const zl_status status = (makeSlot(device, {}, psuId).get()->*method)(serial, model);
    return {status, model + "/" + serial};
}

class PsuSlotCreate : public ::testing::Test {
  protected:
    FakeHam ham;
    PsuSlot device{&ham};
};

TEST_F(PsuSlotCreate, IdentificationTypeTexts) {
    // Text null: no key.
    const struct { const char* text; Type type; } cases[] = {{"tlv", Type::Tlv}, {"PMBUS", Type::Pmbus}, {nullptr, Type::Pmbus}};
    for (const auto& c : cases) {
        TestHost::clearTraces();
        auto slot = c.text ? makeSlot(device, {{"identificationType", c.text}}) : makeSlot(device, {});
        const std::string text = c.text ? c.text : "";
        EXPECT_EQ(slot->identificationType_, c.type) << text;
        EXPECT_EQ(TestHost::traced("Invalid identification type: '" + text + "'", 0), c.type == Type::Pmbus) << text;
    }
}

// The raw method's required arguments are declared ones, refused as CatalogueTest and
// ArgReaderTest show; the tool's command texts are the slot's own.
TEST_F(PsuSlotCreate, CommandLines) {
    const struct { ArgList args; const char* command; bool noId; } cases[] = {
        {{{"identificationType", "ipmitool"}, {"ipmiId", "1"}, {"useApi", "false"}}, "kvIpmi api psuSlot 1", false},
        {{{"identificationType", "ipmitool"}}, "kvIpmi ", true},
        {{{"identificationType", "ipmitool"}, {"useApi", ""}}, "kvIpmi api ", true},
    };
    for (const auto& c : cases) {
        TestHost::clearTraces();
        EXPECT_EQ(makeSlot(device, c.args)->ipmiCmd_, c.command);
        EXPECT_EQ(TestHost::traced("PsuSlot identification type is ipmi but ipmiId not found", 0), c.noId);
    }
}

TEST_F(PsuSlotCreate, ModelTableEndsAtTheFirstGap) {
    using Table = std::map<std::string, std::string>;
    EXPECT_EQ(makeSlot(device, {{"model_1", "A"}, {"psuFdl_1", "a"}, {"model_2", "B"}, {"psuFdl_2", "b"},
                                {"model_4", "D"}, {"psuFdl_4", "d"}, {"psuFdl_3", "orphan"}})->fdlByModel_,
              (Table{{"A", "a"}, {"B", "b"}}));
    EXPECT_TRUE(makeSlot(device, {{"model_2", "B"}, {"psuFdl_2", "b"}})->fdlByModel_.empty());
    EXPECT_EQ(TestHost::brokenRule([&] { makeSlot(device, {{"model_1", "A"}, {"psuFdl_1", "a"}, {"model_2", "B"}}); }),
              "slotArgs_.find( psuFdlKey ) != slotArgs_.end()");
}

// Presence, power good and the cache, with the wedge method on a FakeHam.
class PsuSlotPresence : public ::testing::Test {
  protected:
    void SetUp() override {
        ham.bytes[PsuSlot::WEDGE_PRESENCE_REG] = 0x00;  // both PSUs there
        slot = makeSlot(device, {{"identificationType", "wedge"}, {"model_1", "PWR-WEDGE"},
                                 {"psuFdl_1", "wedge psu serial={serialNum}"}, {"model_2", "PWR-UNKNOWN"},
                                 {"psuFdl_2", "unpowered {serialNum}"}});
        TestHost::clearTraces();
    }

    FakeHam ham;
    PsuSlot device{&ham};
    std::unique_ptr<PsuSlot::Slot> slot;
};

TEST_F(PsuSlotPresence, CachedTextForTheSamePsu) {
    EXPECT_EQ(presence(*slot), std::make_pair(ZL_STATUS_OK, std::string("wedge psu serial=N/A")));
    char* second = nullptr;
    EXPECT_EQ(slot->getPresence(&second), ZL_STATUS_OK);
    EXPECT_STREQ(second, "wedge psu serial=N/A");
    EXPECT_NE(second, slot->cachedFdl_);  // the host gets its own copy
    std::free(second);
    EXPECT_EQ(ham.executed.size(), 2u);  // identification ran both times

    // Identification fails: no text, the cache emptied.
    ham.bytes[PsuSlot::WEDGE_PRESENCE_REG] = 0x02;  // PSU 1 gone
    TestHost::clearTraces();
    EXPECT_EQ(presence(*slot), std::make_pair(ZL_STATUS_NOT_FOUND, std::string("-")));
    EXPECT_TRUE(TestHost::traced("Failed to read PSU info '' ''", 7));
    EXPECT_TRUE(slot->cachedFdl_ == nullptr && slot->cachedSerial_.empty() && slot->cachedModel_.empty());
}

TEST_F(PsuSlotPresence, PresenceAndPowerGoodBits) {
    const struct { const char* name; unsigned present, powerOk; bool activeLow; zl_status presentStatus, powerStatus,
                   status; const char* fdl; bool identifies; int powerReads; } cases[] = {
        {"present, powered", 0, 0, true, 0, 0, ZL_STATUS_OK, "wedge psu serial=N/A", true, 1},
        {"absent: both bits read, PSU not asked", 1, 1, true, 0, 0, ZL_STATUS_NOT_FOUND, "-", false, 1},
        {"unpowered: PWR-UNKNOWN, PSU not asked", 0, 1, true, 0, 0, ZL_STATUS_OK, "unpowered N/A", false, 1},
        {"active high present", 1, 1, false, 0, 0, ZL_STATUS_OK, "wedge psu serial=N/A", true, 1},
        {"presence read fails", 0, 0, true, ZL_STATUS_NO_COMM, 0, ZL_STATUS_NO_COMM, "-", false, 0},
        {"absent, power read fails first", 1, 0, true, 0, ZL_STATUS_FAILED, ZL_STATUS_FAILED, "-", false, 1},
    };
    ASSERT_EQ(presence(*slot).first, ZL_STATUS_OK);
    ScriptedGpio* presenceGpio = nullptr;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        delete slot->presenceGpio_;
        delete slot->powerOkGpio_;
        slot->presenceGpio_ = presenceGpio = new ScriptedGpio(c.present, c.presentStatus);
        auto* powerOkGpio = new ScriptedGpio(c.powerOk, c.powerStatus);
        slot->powerOkGpio_ = powerOkGpio;
        slot->presenceActiveLow_ = slot->powerOkActiveLow_ = c.activeLow;
        const size_t batches = ham.executed.size();
        EXPECT_EQ(presence(*slot), std::make_pair(c.status, std::string(c.fdl)));
        EXPECT_EQ(ham.executed.size(), batches + (c.identifies ? 1 : 0));
        EXPECT_EQ(powerOkGpio->reads, c.powerReads);
        EXPECT_NE(slot->cachedFdl_, nullptr);  // failures of the bits leave the cache
    }
    // With only one of the two bits no bit is looked at: the last presence bit said absent.
    delete slot->powerOkGpio_;
    slot->powerOkGpio_ = nullptr;
    EXPECT_EQ(presence(*slot).second, "wedge psu serial=N/A");
    EXPECT_EQ(presenceGpio->reads, 1);
}

TEST_F(PsuSlotPresence, CallbackFailures) {
    EXPECT_EQ(ZL_CALLBACK(&slot->record, ZL_SLOT_GET_PRESENCE, zl_slot_get_presence_fn)(&slot->record, nullptr),
              ZL_STATUS_BAD_INPUT);
    EXPECT_TRUE(ham.executed.empty());
    // A template without the serial placeholder fails through the callback.
    auto bad = makeSlot(device, {{"identificationType", "wedge"}, {"model_1", "PWR-WEDGE"}, {"psuFdl_1", "no placeholder"}});
    EXPECT_EQ(presence(*bad), std::make_pair(ZL_STATUS_FAILED, std::string("-")));
    EXPECT_EQ(bad->cachedFdl_, nullptr);
}

TEST(PsuSlotWedge, BitPerPsu) {
    const struct { uint8_t reg; const char* psuId; zl_status readStatus, status; } cases[] = {
        {0x02, "1", 0, ZL_STATUS_NOT_FOUND}, {0x02, "2", 0, ZL_STATUS_OK},
        {0xFC, "1", 0, ZL_STATUS_OK},  // the other bits are not looked at
        {0x00, "1", ZL_STATUS_NO_COMM, ZL_STATUS_NOT_FOUND},
    };
    for (const auto& c : cases) {
        FakeHam ham;
        ham.bytes[8] = c.reg;
        ham.status = c.readStatus;
        const Ident r = identify(ham, &PsuSlot::Slot::readSerialAndModelWedge, c.psuId);
        EXPECT_EQ(r.status, c.status) << int(c.reg) << " psu " << c.psuId;
        EXPECT_EQ(r.text, c.status == ZL_STATUS_OK ? "PWR-WEDGE/N/A" : "/");
        EXPECT_EQ(ham.traffic(), c.readStatus ? "r8 08 !4" : "r8 08");
    }
}

TEST(PsuSlotPmbusMethod, CountBytesAndTrimming) {
    const struct { const char* model; std::string serial; const char* log; zl_status status; const char* text; } cases[] = {
        {"\x0F" "PS-2471-1AZ1-LF", "\x0F" "61AZ10101E340DU", "r8 9a, r8 9e | r 9a*16, r 9e*16", 0,
         "PS-2471-1AZ1-LF/61AZ10101E340DU"},
        {"\x06" "  DPS\t", "\x05" "SN1  ", "r8 9a, r8 9e | r 9a*7, r 9e*6", 0, "DPS/SN1  "},  // model trimmed only
        {"\xFF" "ignored", "\xFF" "ignored", "r8 9a, r8 9e | r 9a*0, r 9e*0", 0, "/"},       // count + 1 wraps
        {"\x02" "AB", std::string("\x00", 1), "r8 9a, r8 9e | r 9a*3, r 9e*1", 0, "AB/"},
        {"\x01M", "\x01S", "r8 9a, r8 9e !4", ZL_STATUS_NO_COMM, "/"},                   // first batch fails
        {"\x01M", "\x01S", "r8 9a, r8 9e | r 9a*2, r 9e*2 !6", ZL_STATUS_FAILED, "/"},  // second batch fails
    };
    for (const auto& c : cases) {
        FakeHam ham;
        ham.blocks = {{0x9A, c.model}, {0x9E, c.serial}};
        if (c.status == ZL_STATUS_NO_COMM) ham.nextStatuses = {c.status};
        if (c.status == ZL_STATUS_FAILED) ham.nextStatuses = {ZL_STATUS_OK, c.status};
        const Ident r = identify(ham, &PsuSlot::Slot::readSerialAndModelPmbus);
        EXPECT_EQ(r.status, c.status) << c.log;
        EXPECT_EQ(r.text, c.text);
        EXPECT_EQ(ham.traffic(), c.log);
    }
}

// A type/length byte and its field.
std::string fruField(uint8_t type, const std::string& text) {
    return std::string(1, static_cast<char>((type << 6) | text.size())) + text;
}

TEST(PsuSlotIpmiMethod, ProductNameAndSerialFromTheProductArea) {
    FakeHam ham;
    ham.bytes[4] = 1;  // product info area at 8
    load(ham, 8, std::string("\x01\x05\x19", 3) + fruField(3, "Delta") + fruField(3, "  DPS-550AB\t") +
                     fruField(3, "PN-0001") + fruField(3, "S01") + fruField(3, " GTVD161500165 ") + "\xC1");
    const Ident r = identify(ham, &PsuSlot::Slot::readSerialAndModelIpmi);
    EXPECT_EQ(r.status, ZL_STATUS_OK);
    EXPECT_EQ(r.text, "DPS-550AB/ GTVD161500165 ");  // the model trimmed
    // Reads: offset byte, then every type/length byte, and the two kept fields.
    EXPECT_EQ(ham.traffic(), "r8 04 | r8 0b | r8 11 | r 12*12 | r8 1e | r8 26 | r8 2a | r 2b*15");

    // Area offset 0x1F: the first type/length byte at 251, the product name wrapped to 0,
    // and byte 4 (the area offset itself) read as the part number's type/length byte:
    // type 0, length 31, skipped.
    FakeHam wrap;
    wrap.bytes[4] = 0x1F;
    load(wrap, 251, fruField(3, "Mfr!"));
    load(wrap, 0, fruField(3, "MOD"));
    load(wrap, 36, fruField(3, "V") + fruField(3, "SERIAL"));
    EXPECT_EQ(identify(wrap, &PsuSlot::Slot::readSerialAndModelIpmi).text, "MOD/SERIAL");
}

TEST(PsuSlotIpmiMethod, BadFieldsAndReadFailures) {
    const std::string header("\x01\x05\x19", 3);
    const struct { std::string area; std::deque<zl_status> statuses; zl_status rest, status; const char* trace; } cases[] = {
        // A product name of length 0 reads empty, which the caller treats as failure.
        {header + fruField(3, "M") + "\xC0" + fruField(3, "P") + fruField(3, "V") + fruField(3, "S"), {}, 0, 0, ""},
        {header + fruField(3, "M") + fruField(2, "BIN"), {}, 0, ZL_STATUS_DEVICE_FAULT, "Unexpected type 2"},
        {header, {ZL_STATUS_NO_COMM}, 0, ZL_STATUS_NO_COMM, "Error reading product info offset"},
        {header, {0}, ZL_STATUS_FAILED, ZL_STATUS_FAILED, "Error reading type/length byte"},
        {header + fruField(3, "M") + fruField(3, "NAME"), {0, 0, 0}, ZL_STATUS_NO_COMM, ZL_STATUS_NO_COMM,
         "Error reading product info field"},
    };
    for (const auto& c : cases) {
        FakeHam ham;
        ham.bytes[4] = 1;
        load(ham, 8, c.area);
        ham.nextStatuses = c.statuses;
        ham.status = c.rest;
        TestHost::clearTraces();
        const Ident r = identify(ham, &PsuSlot::Slot::readSerialAndModelIpmi);
        EXPECT_EQ(r.status, c.status) << c.trace;
        EXPECT_TRUE(!*c.trace || TestHost::traced(c.trace, 0)) << TestHost::dumpTraces();
        EXPECT_EQ(r.text, c.status == ZL_STATUS_OK ? "/S" : "/");
    }
}

std::string tlvHeader(uint16_t total) {
    return std::string("TlvInfo\0\x01", 9) + static_cast<char>(total >> 8) + static_cast<char>(total & 0xFF);
}
std::string tlv(uint8_t type, const std::string& value) {
    return std::string(1, static_cast<char>(type)) + static_cast<char>(value.size()) + value;
}
// Offsets of the two-byte reads past the header (record headers).
std::vector<uint32_t> recordReads(const FakeHam& ham) {
    std::vector<uint32_t> offsets;
    for (const auto& batch : ham.executed)
        for (const auto& op : batch)
            if (op.kind == FakeHam::Op::Read && op.value == 2 && op.reg >= 11) offsets.push_back(op.reg);
    return offsets;
}

TEST(PsuSlotTlvMethod, RecordWalk) {
    // (Values are never two bytes long here, so every two-byte read past the header is a
    // record header.) 0x01 0x80 is 384 bytes: the last record may start at 394.
    const std::string longRecords = tlv(0x22, "MODEL") + tlv(0xFD, std::string(253, 'x'));  // 11..272
    const std::string bigEndian("TlvInfo\0\x01\x01\x80", 11);
    const struct { const char* name; std::string content; zl_status status; const char* text; std::vector<uint32_t> reads; }
        cases[] = {
            {"stops once both are found", tlvHeader(27) + tlv(0x21, "Name") + tlv(0x22, "PN-12 ") + tlv(0x23, "SN-34") +
             tlv(0xFE, "CRC!"), 0, "PN-12 /SN-34", {11, 17, 25}},
            {"last record at total + 10", bigEndian + longRecords + tlv(0xFD, std::string(119, 'y')) + tlv(0x23, "SN1"),
             0, "MODEL/SN1", {11, 18, 273, 394}},
            {"record past total + 10", bigEndian + longRecords + tlv(0xFD, std::string(120, 'y')) + tlv(0x23, "SN1"),
             1, "MODEL/", {11, 18, 273}},
            {"total length 0", tlvHeader(0) + tlv(0x22, "M") + tlv(0x23, "S"), 1, "/", {}},
            {"no serial record", tlvHeader(11) + tlv(0x22, "PN1") + tlv(0xFE, "CRC!"), 1, "PN1/", {11, 16}},
            {"empty value", tlvHeader(5) + tlv(0x22, "") + tlv(0x23, "S"), 1, "/S", {11, 13}},
            {"wrong signature", std::string("TlvInfX\0\x01\x00\x04", 11) + tlv(0x22, "M") + tlv(0x23, "S"), 1, "/", {}},
        };
    for (const auto& c : cases) {
        FakeHam ham;
        load(ham, 0, c.content);
        const Ident r = identify(ham, &PsuSlot::Slot::readSerialAndModelTlv);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.text, c.text) << c.name;
        EXPECT_EQ(recordReads(ham), c.reads) << c.name;
    }
}

TEST(PsuSlotTlvMethod, ReadFailuresAndWrapAround) {
    // The header read fails; the first record read fails; a total length of 0xFFFF over empty
    // records, where the 16-bit offset wraps before it can pass the end and the walk must stop.
    for (int okReads : {0, 1, -1}) {
        FakeHam ham;
        load(ham, 0, okReads < 0 ? tlvHeader(0xFFFF) : tlvHeader(8) + tlv(0x22, "M") + tlv(0x23, "S"));
        if (okReads >= 0) ham.nextStatuses.assign(okReads, ZL_STATUS_OK), ham.status = ZL_STATUS_NO_COMM;
        EXPECT_EQ(identify(ham, &PsuSlot::Slot::readSerialAndModelTlv).status, ZL_STATUS_NOT_FOUND) << okReads;
        if (okReads < 0) {
            EXPECT_GT(recordReads(ham).size(), 32768u);
        }
    }
}

// kvIpmi through a stand-in on PATH.
class PsuSlotCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zl-kvipmi-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        // Records its arguments one per line, prints the prepared output, exits as told.
        std::ofstream(dir + "/kvIpmi") << "#!/bin/sh\ncd '" << dir
                                       << "'\nprintf '%s\\n' \"$@\" > args\ncat output\nexit $(cat rc)\n";
        chmod((dir + "/kvIpmi").c_str(), 0755);
        oldPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
        setenv("PATH", (dir + ":" + oldPath).c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", oldPath.c_str(), 1);
        std::system(("rm -rf '" + dir + "'").c_str());
    }
    void output(const std::string& text, int rc = 0) {
        std::ofstream(dir + "/output") << text;
        std::ofstream(dir + "/rc") << rc;
    }
    std::string receivedArgs() {
        std::ifstream in(dir + "/args");
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::unique_ptr<PsuSlot::Slot> raw(const char* id, const char* model, const char* serial) {
        return makeSlot(device, {{"identificationType", "ipmitool_raw"}, {"ipmiId", id}, {"ipmiRawModel", model},
                                 {"ipmiRawSerialNumber", serial}});
    }

    FakeHam ham;
    PsuSlot device{&ham};
    std::string dir, oldPath;
};

TEST_F(PsuSlotCommand, OutputParsing) {
    const struct { const char* output; int rc; zl_status status; const char* text; } cases[] = {
        {"  \n1\tDPS-550\n\nSN123 trailing words\n", 0, ZL_STATUS_OK, "DPS-550/SN123"},
        {"0 DPS-550 SN123\n", 0, ZL_STATUS_NOT_FOUND, "DPS-550/SN123"},
        {"10 X Y\n", 0, ZL_STATUS_OK, "0/X"},  // the model starts right after the status
        {" \n\t", 0, ZL_STATUS_NOT_FOUND, "/"},
        {"1 DPS-550 SN123\n", 1, ZL_STATUS_FAILED, "/"},
    };
    auto tool = makeSlot(device, {{"identificationType", "ipmitool"}, {"ipmiId", "1"}});
    for (const auto& c : cases) {
        output(c.output, c.rc);
        std::string serial, model;
        EXPECT_EQ(tool->readSerialAndModelIpmitool(serial, model), c.status) << c.output << " exit " << c.rc;
        EXPECT_EQ(model + "/" + serial, c.text) << c.output;
    }
}

// Each argument reaches the tool as one word (the command texts are CommandLines'); run from the
// temp dir so that a relative "X" would land there.
TEST_F(PsuSlotCommand, ArgumentsReachTheToolAndNoneRunsAnotherCommand) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    const struct { std::unique_ptr<PsuSlot::Slot> slot; const char* expectedArgs; } cases[] = {
        {makeSlot(device, {{"identificationType", "ipmitool"}, {"ipmiId", "1' ; touch X ; echo '"}}),
         "psuSlot\n1' ; touch X ; echo '\n"},
        {makeSlot(device, {{"identificationType", "ipmitool"}, {"ipmiId", "$(touch X)"}}), "psuSlot\n$(touch X)\n"},
        {raw("1|touch X", "`touch X`", "a&&touch X"), "raw\npsuSlot\n1|touch X\nModelNumber=`touch X`\nSerialNumber=a&&touch X\n"},
        {raw("1\ntouch X", "M>X", "S;touch X"), "raw\npsuSlot\n1\ntouch X\nModelNumber=M>X\nSerialNumber=S;touch X\n"},
    };
    output("1 M S\n");
    for (const auto& c : cases) {
        std::string serial, model;
        EXPECT_EQ(c.slot->readSerialAndModelIpmitool(serial, model), ZL_STATUS_OK) << c.expectedArgs;  // runs either
        EXPECT_EQ(receivedArgs(), c.expectedArgs);
        EXPECT_NE(access((dir + "/X").c_str(), F_OK), 0) << c.slot->ipmiCmd_;
    }
    ASSERT_EQ(chdir(cwd), 0);
}

TEST(PsuSlotSimulation, TableAndFruMethodOnTheSimulatedArea) {
    // The count byte is followed by text that starts with hex digits; both entries must
    // still be exactly 16 bytes: the count 0x10 and 15 characters.
    EXPECT_EQ(PsuSlot::values.at(PsuSlot::MFR_MODEL).valStr(), "\x10" "PS-2471-1AZ1-LF");
    EXPECT_EQ(PsuSlot::values.at(PsuSlot::MFR_SERIAL).valStr(), "\x10" "61AZ10101E340DU");

    TestHost::SimulationDir sim("psuslot");
    std::unique_ptr<Ham::SimHam> ham = sim.ham("PsuSlot", "psu1", &PsuSlot::values);
    PsuSlot device(ham.get());
    // The product name's length byte says 11 while its field holds 10 bytes: the simulation
    // pads the missing byte in front with 0xFF.
    auto slot = makeSlot(device, {{"identificationType", "ipmi"}, {"model_1", "\xFF" "DPS550AB6A"},
                                  {"psuFdl_1", "Delta DPS-550AB, serial {serialNum}"}});
    EXPECT_EQ(presence(*slot).second, "Delta DPS-550AB, serial GTVD1615001656");
}

}  // namespace
