// The PSU bay driver: slot creation and its rules, the kvIpmi command lines (and that no
// argument can reach the shell as a command), the template table, presence and power-good
// bits, the description-text cache, and the six identification methods on crafted bytes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Components/LogicalDevices.h"
#include "Drivers/Pmbus.h"
#include "Drivers/PsuSlot.h"
#include "FakeHam.h"
#include "Ham/SimHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"

using Drivers::PsuSlot;
using TestHost::FakeHam;
using Type = Drivers::PsuSlot::IdentificationType;

namespace {

// PMBus block registers answered per register: a byte read gives the first byte, a bulk
// read the first `len` bytes (0xFF beyond the end). Batches are kept as text.
class BlockHam final : public Ham::Ham {
  public:
    void prepare() override {
        ops.clear();
        answers.clear();
    }
    zl_status execute() override {
        std::string text;
        for (const auto& op : ops) text += (text.empty() ? "" : " ") + op.text;
        log += "[" + text + "]";
        if (failAt == batches++) return failStatus;
        for (const auto& op : ops) {
            std::string value = regs[op.reg];
            value.resize(op.len, '\xFF');
            answers.push_back(value);
        }
        return ZL_STATUS_OK;
    }
    ::Ham::ResponseId addRead8(uint32_t reg) override { return queue(reg, 1, "r8:" + hex(reg)); }
    ::Ham::ResponseId addRead(uint32_t reg, uint32_t len, bool) override {
        return queue(reg, len, "r:" + hex(reg) + "/" + std::to_string(len));
    }
    uint8_t get8(::Ham::ResponseId id) override { return static_cast<uint8_t>(answers.at(id).at(0)); }
    std::string getBlock(::Ham::ResponseId id, uint32_t) override { return answers.at(id); }

    std::map<uint32_t, std::string> regs;
    std::string log;
    int failAt = -1;
    int batches = 0;
    zl_status failStatus = ZL_STATUS_NO_COMM;

  private:
    struct QueuedOp {
        uint32_t reg;
        uint32_t len;
        std::string text;
    };
    static std::string hex(uint32_t v) {
        std::ostringstream out;
        out << std::hex << v;
        return out.str();
    }
    ::Ham::ResponseId queue(uint32_t reg, uint32_t len, const std::string& text) {
        ops.push_back({reg, len, text});
        return static_cast<::Ham::ResponseId>(ops.size() - 1);
    }
    std::vector<QueuedOp> ops;
    std::vector<std::string> answers;
};

// A GPIO whose bit and status the test sets.
class ScriptedGpio : public Component::LogicalDevice::Gpio {
  public:
    ScriptedGpio(unsigned bit, zl_status status = ZL_STATUS_OK) : bit(bit), status(status) {}
    zl_status bitClear() override { return ZL_STATUS_NOT_PROVIDED; }
    zl_status bitSet() override { return ZL_STATUS_NOT_PROVIDED; }
    zl_status bitRead(unsigned* out) override {
        ++reads;
        if (status == ZL_STATUS_OK) *out = bit;
        return status;
    }
    unsigned bit;
    zl_status status;
    int reads = 0;
};

using ArgList = std::initializer_list<std::pair<const std::string, std::string>>;

Drivers::FactoryArgs argsWith(ArgList list) {
    Drivers::FactoryArgs args;
    args.driverArgs = Drivers::DriverSpecificArgs(list);
    return args;
}

std::unique_ptr<PsuSlot::Slot> makeSlot(PsuSlot& device, ArgList list) {
    Component::LogicalDevice::Slot* slot = device.newSlot(argsWith(list));
    return std::unique_ptr<PsuSlot::Slot>(dynamic_cast<PsuSlot::Slot*>(slot));
}

// Puts bytes into a byte-addressed FakeHam starting at offset.
void load(FakeHam& ham, uint32_t offset, const std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) ham.bytes[offset + static_cast<uint32_t>(i)] = static_cast<uint8_t>(bytes[i]);
}

// Calls getPresence and returns the text handed out ("" when none), freeing it.
struct Presence {
    zl_status status;
    std::string fdl;
    bool written;
};
Presence presence(PsuSlot::Slot& slot) {
    char* fdl = nullptr;
    Presence result{slot.getPresence(&fdl), "", fdl != nullptr};
    if (fdl != nullptr) {
        result.fdl = fdl;
        std::free(fdl);
    }
    return result;
}

// ---- slot creation ----

TEST(PsuSlotCreate, PsuIdKeepsItsLowEightBits) {
    FakeHam ham;
    PsuSlot device(&ham);
    const struct {
        const char* text;
        int index;  // -1: rejected
    } cases[] = {{"1", 0}, {"2", 1}, {"257", 0}, {"258", 1}, {"3", -1}, {"0", -1}, {"256", -1}, {"-255", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TestHost::clearTraces();
        if (c.index < 0) {
            EXPECT_THROW(device.newSlot(argsWith({{"psuId", c.text}, {"identificationType", "pmbus"}})),
                         Utils::ConsistencyError);
            EXPECT_TRUE(TestHost::traced("consistency check failed: psuId == 1 || psuId == 2", 0));
            continue;
        }
        auto slot = makeSlot(device, {{"psuId", c.text}, {"identificationType", "pmbus"}});
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot->psuIndex_, c.index);
        EXPECT_EQ(slot->index, c.index);
        EXPECT_EQ(slot->device_, &device);
        EXPECT_TRUE(TestHost::traced("Creating new PsuSlot for Psu id " + std::to_string(c.index + 1), 5));
    }
}

TEST(PsuSlotCreate, MissingOrInvalidPsuId) {
    FakeHam ham;
    PsuSlot device(&ham);
    TestHost::clearTraces();
    EXPECT_EQ(device.newSlot(argsWith({{"identificationType", "pmbus"}})), nullptr);
    EXPECT_TRUE(TestHost::traced("Error: expected 'psuId' in slot driverArgs", 0));
    EXPECT_THROW(device.newSlot(argsWith({{"psuId", "one"}})), std::invalid_argument);
    EXPECT_EQ(device.expectedValues(), &PsuSlot::values);
}

TEST(PsuSlotCreate, IdentificationTypeTexts) {
    FakeHam ham;
    PsuSlot device(&ham);
    const struct {
        const char* text;
        Type type;
        bool invalid;
    } cases[] = {
        {"pmbus", Type::Pmbus, false}, {"ipmi", Type::Ipmi, false}, {"ipmitool", Type::Ipmitool, false},
        {"wedge", Type::Wedge, false}, {"tlv", Type::Tlv, false},    {"PMBUS", Type::Pmbus, true},
        {"tlv ", Type::Pmbus, true},   {"", Type::Pmbus, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TestHost::clearTraces();
        auto slot = makeSlot(device, {{"psuId", "1"}, {"identificationType", c.text}});
        EXPECT_EQ(slot->identificationType_, c.type);
        EXPECT_EQ(TestHost::traced(std::string("Invalid identification type: '") + c.text + "'", 0), c.invalid);
    }
    // Without the key the slot reads it as empty and keeps that empty entry.
    TestHost::clearTraces();
    auto slot = makeSlot(device, {{"psuId", "1"}});
    EXPECT_EQ(slot->identificationType_, Type::Pmbus);
    EXPECT_TRUE(TestHost::traced("Invalid identification type: ''", 0));
    ASSERT_EQ(slot->slotArgs_.count("identificationType"), 1u);
    EXPECT_EQ(slot->slotArgs_.at("identificationType"), "");
    EXPECT_TRUE(slot->ipmiCmd_.empty());
}

TEST(PsuSlotCreate, CommandLines) {
    FakeHam ham;
    PsuSlot device(&ham);
    const struct {
        ArgList args;
        const char* command;
        const char* trace;
    } cases[] = {
        {{{"identificationType", "ipmitool"}, {"ipmiId", "2"}}, "kvIpmi psuSlot 2", "psuSlot ipmi command: 'kvIpmi psuSlot 2'"},
        {{{"identificationType", "ipmitool"}, {"ipmiId", "1"}, {"useApi", "false"}}, "kvIpmi api psuSlot 1",
         "psuSlot ipmi command: 'kvIpmi api psuSlot 1'"},
        {{{"identificationType", "ipmitool"}}, "kvIpmi ", "PsuSlot identification type is ipmi but ipmiId not found"},
        {{{"identificationType", "ipmitool"}, {"useApi", ""}}, "kvIpmi api ",
         "PsuSlot identification type is ipmi but ipmiId not found"},
        {{{"identificationType", "ipmitool_raw"}, {"ipmiId", "1"}, {"ipmiRawModel", "DPS-550"},
          {"ipmiRawSerialNumber", "SN123"}},
         "kvIpmi raw psuSlot 1 ModelNumber=DPS-550 SerialNumber=SN123",
         "psuSlot ipmi command: 'kvIpmi raw psuSlot 1 ModelNumber=DPS-550 SerialNumber=SN123'"},
        {{{"identificationType", "ipmitool_raw"}, {"ipmiId", "a/b.c_d:e=f+g-h,i"}, {"ipmiRawModel", ""},
          {"ipmiRawSerialNumber", "x y"}},
         "kvIpmi raw psuSlot a/b.c_d:e=f+g-h,i ModelNumber= SerialNumber='x y'", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        TestHost::clearTraces();
        Drivers::FactoryArgs args = argsWith(c.args);
        args.driverArgs["psuId"] = "1";
        std::unique_ptr<PsuSlot::Slot> slot(dynamic_cast<PsuSlot::Slot*>(device.newSlot(args)));
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot->ipmiCmd_, c.command);
        if (c.trace != nullptr) {
            EXPECT_TRUE(TestHost::traced(c.trace, 0)) << TestHost::dumpTraces();
        }
    }
}

TEST(PsuSlotCreate, RawCommandNeedsAllItsArguments) {
    FakeHam ham;
    PsuSlot device(&ham);
    const struct {
        ArgList args;
        const char* trace;
    } cases[] = {
        {{{"ipmiRawModel", "M"}, {"ipmiRawSerialNumber", "S"}}, "PsuSlot identification type is ipmi but ipmiId not found"},
        {{{"ipmiId", "1"}, {"ipmiRawSerialNumber", "S"}},
         "PsuSlot identification type is ipmitool_raw but ipmiRawModel not found"},
        {{{"ipmiId", "1"}, {"ipmiRawModel", "M"}},
         "PsuSlot identification type is ipmitool_raw but ipmiRawSerialNumber not found"},
        {{}, "PsuSlot identification type is ipmi but ipmiId not found"},  // first missing one wins
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trace);
        TestHost::clearTraces();
        Drivers::FactoryArgs args = argsWith(c.args);
        args.driverArgs["psuId"] = "2";
        args.driverArgs["identificationType"] = "ipmitool_raw";
        EXPECT_THROW(device.newSlot(args), Utils::ConsistencyError);
        EXPECT_TRUE(TestHost::traced(c.trace, 0));
        EXPECT_EQ(TestHost::traceCount("but ipmi"), 1) << TestHost::dumpTraces();
    }
}

TEST(PsuSlotCreate, ModelTableEndsAtTheFirstGap) {
    FakeHam ham;
    PsuSlot device(&ham);
    auto slot = makeSlot(device, {{"psuId", "1"},
                                  {"model_1", "A"},
                                  {"psuFdl_1", "a {serialNum}"},
                                  {"model_2", "B"},
                                  {"psuFdl_2", "b {serialNum}"},
                                  {"model_4", "D"},
                                  {"psuFdl_4", "d {serialNum}"},
                                  {"psuFdl_3", "orphan"}});
    EXPECT_EQ(slot->fdlByModel_, (std::map<std::string, std::string>{{"A", "a {serialNum}"}, {"B", "b {serialNum}"}}));

    auto noFirst = makeSlot(device, {{"psuId", "1"}, {"model_2", "B"}, {"psuFdl_2", "b"}});
    EXPECT_TRUE(noFirst->fdlByModel_.empty());

    auto same = makeSlot(device, {{"psuId", "1"}, {"model_1", "A"}, {"psuFdl_1", "first"}, {"model_2", "A"},
                                  {"psuFdl_2", "second"}});
    EXPECT_EQ(same->fdlByModel_, (std::map<std::string, std::string>{{"A", "second"}}));

    TestHost::clearTraces();
    EXPECT_THROW(device.newSlot(argsWith({{"psuId", "1"}, {"model_1", "A"}, {"psuFdl_1", "a"}, {"model_2", "B"}})),
                 Utils::ConsistencyError);
    EXPECT_TRUE(TestHost::traced("consistency check failed: slotArgs_.find( psuFdlKey ) != slotArgs_.end()", 0));
}

TEST(PsuSlotShellQuote, OnlyPlainWordsStayUnquoted) {
    const struct {
        const char* value;
        const char* quoted;
    } cases[] = {
        {"abc", "abc"},
        {"A-Z_0.9:x=y+z/w,v", "A-Z_0.9:x=y+z/w,v"},
        {"", ""},
        {"a b", "'a b'"},
        {"1; touch X", "'1; touch X'"},
        {"it's", "'it'\\''s'"},
        {"$(id)", "'$(id)'"},
        {"`id`", "'`id`'"},
        {"a\nb", "'a\nb'"},
        {"*", "'*'"},
    };
    for (const auto& c : cases) EXPECT_EQ(Drivers::shellQuote(c.value), c.quoted) << c.value;
}

// ---- presence, power good and the cache (wedge method on a FakeHam) ----

class PsuSlotPresence : public ::testing::Test {
  protected:
    void SetUp() override {
        ham.bytes[PsuSlot::WEDGE_PRESENCE_REG] = 0x00;  // both PSUs there
        slot = makeSlot(device, {{"psuId", "1"},
                                 {"identificationType", "wedge"},
                                 {"model_1", "PWR-WEDGE"},
                                 {"psuFdl_1", "wedge psu serial={serialNum}"},
                                 {"model_2", "PWR-UNKNOWN"},
                                 {"psuFdl_2", "unpowered {serialNum}"}});
        TestHost::clearTraces();
    }
    // Gives the slot presence and power-good bits (active low by default).
    void bits(unsigned present, unsigned powerOk, zl_status presentStatus = 0, zl_status powerStatus = 0) {
        delete slot->presenceGpio_;
        delete slot->powerOkGpio_;
        slot->presenceGpio_ = presenceGpio = new ScriptedGpio(present, presentStatus);
        slot->powerOkGpio_ = powerOkGpio = new ScriptedGpio(powerOk, powerStatus);
    }

    FakeHam ham;
    PsuSlot device{&ham};
    std::unique_ptr<PsuSlot::Slot> slot;
    ScriptedGpio* presenceGpio = nullptr;
    ScriptedGpio* powerOkGpio = nullptr;
};

TEST_F(PsuSlotPresence, CachedTextForTheSamePsu) {
    const Presence first = presence(*slot);
    EXPECT_EQ(first.status, ZL_STATUS_OK);
    EXPECT_EQ(first.fdl, "wedge psu serial=N/A");
    EXPECT_TRUE(TestHost::traced("PSU serialNum = 'N/A'", 0));
    EXPECT_TRUE(TestHost::traced("PSU modelName = 'PWR-WEDGE'", 0));
    EXPECT_FALSE(TestHost::traced("Using cached fdl"));
    ASSERT_NE(slot->cachedFdl_, nullptr);
    const char* cachedBefore = slot->cachedFdl_;

    TestHost::clearTraces();
    char* second = nullptr;
    EXPECT_EQ(slot->getPresence(&second), ZL_STATUS_OK);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(second, "wedge psu serial=N/A");
    EXPECT_NE(second, slot->cachedFdl_);  // the host gets its own copy
    EXPECT_EQ(slot->cachedFdl_, cachedBefore);
    std::free(second);
    EXPECT_TRUE(TestHost::traced("Using cached fdl", 7));
    EXPECT_FALSE(TestHost::traced("PSU serialNum"));
    EXPECT_TRUE(TestHost::traced("getPresence", 7));
    EXPECT_EQ(ham.executed.size(), 2u);  // identification ran both times
}

TEST_F(PsuSlotPresence, FailedIdentificationEmptiesTheCache) {
    ASSERT_EQ(presence(*slot).status, ZL_STATUS_OK);
    ham.bytes[PsuSlot::WEDGE_PRESENCE_REG] = 0x02;  // PSU 1 gone
    TestHost::clearTraces();
    const Presence gone = presence(*slot);
    EXPECT_EQ(gone.status, ZL_STATUS_NOT_FOUND);
    EXPECT_FALSE(gone.written);
    EXPECT_TRUE(TestHost::traced("Failed to read PSU info '' ''", 7));
    EXPECT_EQ(slot->cachedFdl_, nullptr);
    EXPECT_TRUE(slot->cachedSerial_.empty());
    EXPECT_TRUE(slot->cachedModel_.empty());

    // Back again: formatted anew, not from the cache.
    ham.bytes[PsuSlot::WEDGE_PRESENCE_REG] = 0x00;
    TestHost::clearTraces();
    EXPECT_EQ(presence(*slot).status, ZL_STATUS_OK);
    EXPECT_FALSE(TestHost::traced("Using cached fdl"));
}

TEST_F(PsuSlotPresence, AbsentPsuLeavesTheCacheAndSkipsIdentification) {
    bits(0, 0);  // active low: present, powered
    ASSERT_EQ(presence(*slot).status, ZL_STATUS_OK);
    const size_t batches = ham.executed.size();

    bits(1, 1);  // not present
    TestHost::clearTraces();
    const Presence absent = presence(*slot);
    EXPECT_EQ(absent.status, ZL_STATUS_NOT_FOUND);
    EXPECT_FALSE(absent.written);
    EXPECT_EQ(presenceGpio->reads, 1);
    EXPECT_EQ(powerOkGpio->reads, 1);  // both bits read before either is looked at
    EXPECT_EQ(ham.executed.size(), batches);
    EXPECT_NE(slot->cachedFdl_, nullptr);
    EXPECT_FALSE(TestHost::traced("Failed"));
}

TEST_F(PsuSlotPresence, BitReadFailuresReturnTheirStatus) {
    ASSERT_EQ(presence(*slot).status, ZL_STATUS_OK);
    bits(0, 0, ZL_STATUS_NO_COMM, ZL_STATUS_OK);
    Presence p = presence(*slot);
    EXPECT_EQ(p.status, ZL_STATUS_NO_COMM);
    EXPECT_FALSE(p.written);
    EXPECT_EQ(powerOkGpio->reads, 0);

    bits(1, 0, ZL_STATUS_OK, ZL_STATUS_FAILED);  // absent, but the power bit fails first
    p = presence(*slot);
    EXPECT_EQ(p.status, ZL_STATUS_FAILED);
    EXPECT_NE(slot->cachedFdl_, nullptr);
}

TEST_F(PsuSlotPresence, UnpoweredPsuUsesThePwrUnknownTemplate) {
    bits(0, 1);  // present, power not good
    TestHost::clearTraces();
    const Presence p = presence(*slot);
    EXPECT_EQ(p.status, ZL_STATUS_OK);
    EXPECT_EQ(p.fdl, "unpowered N/A");
    EXPECT_TRUE(ham.executed.empty());  // the PSU itself isn't asked
    EXPECT_EQ(slot->cachedModel_, "PWR-UNKNOWN");

    // Without a template for it, the bay reports an unmanaged PSU.
    auto bare = makeSlot(device, {{"psuId", "1"}, {"identificationType", "wedge"}});
    bare->presenceGpio_ = new ScriptedGpio(0);
    bare->powerOkGpio_ = new ScriptedGpio(1);
    TestHost::clearTraces();
    EXPECT_EQ(presence(*bare).status, ZL_STATUS_NOT_FOUND);
    EXPECT_TRUE(TestHost::traced("Unknown modelName. PSU is unmanaged", 0));
}

TEST_F(PsuSlotPresence, ActiveHighBits) {
    bits(1, 1);
    slot->presenceActiveLow_ = false;
    slot->powerOkActiveLow_ = false;
    EXPECT_EQ(presence(*slot).fdl, "wedge psu serial=N/A");
    bits(0, 1);
    EXPECT_EQ(presence(*slot).status, ZL_STATUS_NOT_FOUND);
    bits(1, 0);
    EXPECT_EQ(presence(*slot).fdl, "unpowered N/A");
}

TEST_F(PsuSlotPresence, OnlyOneBitMeansNoBitChecks) {
    slot->presenceGpio_ = presenceGpio = new ScriptedGpio(1);  // would say absent
    EXPECT_EQ(presence(*slot).status, ZL_STATUS_OK);
    EXPECT_EQ(presenceGpio->reads, 0);
}

TEST_F(PsuSlotPresence, SwappedModelGetsItsOwnTemplate) {
    auto pmbusHam = std::make_unique<BlockHam>();
    PsuSlot pmbusDevice(pmbusHam.get());
    auto bay = makeSlot(pmbusDevice, {{"psuId", "2"},
                                      {"identificationType", "pmbus"},
                                      {"model_1", "DPS-550"},
                                      {"psuFdl_1", "Delta 550 W, serial {serialNum}"},
                                      {"model_2", "PS-2471"},
                                      {"psuFdl_2", "{serialNum}: Lite-On 470 W ({serialNum})"}});
    pmbusHam->regs[0x9A] = std::string("\x07") + "DPS-550";
    pmbusHam->regs[0x9E] = std::string("\x05") + "SN001";
    EXPECT_EQ(presence(*bay).fdl, "Delta 550 W, serial SN001");

    pmbusHam->regs[0x9A] = std::string("\x07") + "PS-2471";
    pmbusHam->regs[0x9E] = std::string("\x05") + "SN002";
    TestHost::clearTraces();
    EXPECT_EQ(presence(*bay).fdl, "SN002: Lite-On 470 W (SN002)");
    EXPECT_FALSE(TestHost::traced("Using cached fdl"));
    EXPECT_STREQ(bay->cachedFdl_, "SN002: Lite-On 470 W (SN002)");
    EXPECT_EQ(bay->cachedModel_, "PS-2471");
    EXPECT_EQ(bay->cachedSerial_, "SN002");

    // Same model, other serial: a new text as well.
    pmbusHam->regs[0x9E] = std::string("\x05") + "SN003";
    EXPECT_EQ(presence(*bay).fdl, "SN003: Lite-On 470 W (SN003)");

    // An unknown model empties the cache.
    pmbusHam->regs[0x9A] = std::string("\x03") + "XYZ";
    TestHost::clearTraces();
    EXPECT_EQ(presence(*bay).status, ZL_STATUS_NOT_FOUND);
    EXPECT_TRUE(TestHost::traced("PSU modelName = 'XYZ'", 0));
    EXPECT_TRUE(TestHost::traced("Unknown modelName. PSU is unmanaged", 0));
    EXPECT_EQ(bay->cachedFdl_, nullptr);
    EXPECT_TRUE(bay->cachedModel_.empty());
}

TEST_F(PsuSlotPresence, NullTextPointerIsBadInput) {
    EXPECT_EQ(ZL_CALLBACK(&slot->record, ZL_SLOT_GET_PRESENCE, zl_slot_get_presence_fn)(&slot->record, nullptr),
              ZL_STATUS_BAD_INPUT);
    EXPECT_TRUE(ham.executed.empty());
    EXPECT_EQ(slot->cachedFdl_, nullptr);
}

TEST_F(PsuSlotPresence, TemplateWithoutSerialFailsThroughTheCallback) {
    auto bad = makeSlot(device, {{"psuId", "1"}, {"identificationType", "wedge"}, {"model_1", "PWR-WEDGE"},
                                 {"psuFdl_1", "no placeholder"}});
    zl_slot* record = &bad->record;
    char* fdl = nullptr;
    EXPECT_EQ(ZL_CALLBACK(record, ZL_SLOT_GET_PRESENCE, zl_slot_get_presence_fn)(record, &fdl), ZL_STATUS_FAILED);
    EXPECT_EQ(fdl, nullptr);
    EXPECT_EQ(bad->cachedFdl_, nullptr);

    // A good slot through the same callback hands out its text.
    EXPECT_EQ(ZL_CALLBACK(&slot->record, ZL_SLOT_GET_PRESENCE, zl_slot_get_presence_fn)(&slot->record, &fdl),
              ZL_STATUS_OK);
    ASSERT_NE(fdl, nullptr);
    EXPECT_STREQ(fdl, "wedge psu serial=N/A");
    std::free(fdl);
}

// ---- wedge ----

TEST(PsuSlotWedge, BitPerPsu) {
    const struct {
        uint8_t reg;
        const char* psuId;
        zl_status status;
    } cases[] = {
        {0x02, "1", ZL_STATUS_NOT_FOUND}, {0x02, "2", ZL_STATUS_OK},        {0x01, "1", ZL_STATUS_OK},
        {0x01, "2", ZL_STATUS_NOT_FOUND}, {0x00, "1", ZL_STATUS_OK},        {0x03, "2", ZL_STATUS_NOT_FOUND},
        {0xFC, "1", ZL_STATUS_OK},        {0xFC, "2", ZL_STATUS_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "register 0x" << std::hex << int(c.reg) << " psu " << c.psuId);
        FakeHam ham;
        ham.bytes[8] = c.reg;
        PsuSlot device(&ham);
        auto slot = makeSlot(device, {{"psuId", c.psuId}, {"identificationType", "wedge"}});
        std::string serial, model;
        EXPECT_EQ(slot->readSerialAndModelWedge(serial, model), c.status);
        EXPECT_EQ(serial, c.status == ZL_STATUS_OK ? "N/A" : "");
        EXPECT_EQ(model, c.status == ZL_STATUS_OK ? "PWR-WEDGE" : "");
        ASSERT_EQ(ham.executed.size(), 1u);
        EXPECT_EQ(ham.executed[0][0].kind, FakeHam::Op::Read8);
        EXPECT_EQ(ham.executed[0][0].reg, 8u);
    }
    FakeHam failing;
    failing.status = ZL_STATUS_NO_COMM;
    PsuSlot device(&failing);
    auto slot = makeSlot(device, {{"psuId", "1"}, {"identificationType", "wedge"}});
    std::string serial, model;
    EXPECT_EQ(slot->readSerialAndModelWedge(serial, model), ZL_STATUS_NOT_FOUND);
}

// ---- PMBus manufacturer registers ----

TEST(PsuSlotPmbusMethod, CountBytesAndTrimming) {
    const struct {
        std::string model;
        std::string serial;
        const char* log;
        std::string expectedModel;
        std::string expectedSerial;
    } cases[] = {
        {std::string("\x0F") + "PS-2471-1AZ1-LF", std::string("\x0F") + "61AZ10101E340DU", "[r8:9a r8:9e][r:9a/16 r:9e/16]",
         "PS-2471-1AZ1-LF", "61AZ10101E340DU"},
        {std::string("\x06") + "  DPS\t", std::string("\x05") + "SN1  ", "[r8:9a r8:9e][r:9a/7 r:9e/6]", "DPS", "SN1  "},
        {std::string("\xFF") + "ignored", std::string("\xFF") + "ignored", "[r8:9a r8:9e][r:9a/0 r:9e/0]", "", ""},
        {std::string("\x00", 1), std::string("\x02") + "AB", "[r8:9a r8:9e][r:9a/1 r:9e/3]", "", "AB"},
        {std::string("\x03") + " \t ", std::string("\x01") + " ", "[r8:9a r8:9e][r:9a/4 r:9e/2]", "", " "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        BlockHam ham;
        ham.regs[0x9A] = c.model;
        ham.regs[0x9E] = c.serial;
        PsuSlot device(&ham);
        auto slot = makeSlot(device, {{"psuId", "1"}, {"identificationType", "pmbus"}});
        std::string serial, model;
        TestHost::clearTraces();
        EXPECT_EQ(slot->readSerialAndModelPmbus(serial, model), ZL_STATUS_OK);
        EXPECT_EQ(model, c.expectedModel);
        EXPECT_EQ(serial, c.expectedSerial);
        EXPECT_EQ(ham.log, c.log);
        EXPECT_TRUE(TestHost::traced("readSerialAndModelPmbus", 7));
    }
}

TEST(PsuSlotPmbusMethod, CountByteFFIsNotIdentified) {
    BlockHam ham;
    ham.regs[0x9A] = "\xFF";
    ham.regs[0x9E] = "\xFF";
    PsuSlot device(&ham);
    auto slot = makeSlot(device, {{"psuId", "1"}, {"identificationType", "pmbus"}, {"model_1", ""}, {"psuFdl_1", "x"}});
    TestHost::clearTraces();
    EXPECT_EQ(presence(*slot).status, ZL_STATUS_NOT_FOUND);
    EXPECT_TRUE(TestHost::traced("Failed to read PSU info '' ''", 7));
}

TEST(PsuSlotPmbusMethod, BatchFailuresPassTheirStatus) {
    for (int failAt : {0, 1}) {
        for (zl_status failure : {ZL_STATUS_NO_COMM, ZL_STATUS_FAILED}) {
            BlockHam ham;
            ham.regs[0x9A] = "\x01M";
            ham.regs[0x9E] = "\x01S";
            ham.failAt = failAt;
            ham.failStatus = failure;
            PsuSlot device(&ham);
            auto slot = makeSlot(device, {{"psuId", "1"}, {"identificationType", "pmbus"}});
            std::string serial, model;
            EXPECT_EQ(slot->readSerialAndModelPmbus(serial, model), failure);
            EXPECT_EQ(ham.batches, failAt + 1);
            EXPECT_TRUE(model.empty());
        }
    }
}

// ---- IPMI FRU ----

// A product info area at byte `area * 8`: header bytes, then the given type/length fields.
std::string fruField(uint8_t type, const std::string& text) {
    return std::string(1, static_cast<char>((type << 6) | text.size())) + text;
}

TEST(PsuSlotIpmiMethod, ProductNameAndSerialFromTheProductArea) {
    FakeHam ham;
    ham.bytes[4] = 1;  // product info area at 8
    load(ham, 8, std::string("\x01\x05\x19", 3) + fruField(3, "Delta") + fruField(3, "  DPS-550AB\t") +
                     fruField(3, "PN-0001") + fruField(3, "S01") + fruField(3, " GTVD161500165 ") + "\xC1");
    PsuSlot device(&ham);
    auto slot = makeSlot(device, {{"psuId", "1"}, {"identificationType", "ipmi"}});
    std::string serial, model;
    EXPECT_EQ(slot->readSerialAndModelIpmi(serial, model), ZL_STATUS_OK);
    EXPECT_EQ(model, "DPS-550AB");
    EXPECT_EQ(serial, " GTVD161500165 ");

    // Reads: offset byte, then every type/length byte, and the two kept fields.
    std::vector<std::string> reads;
    for (const auto& batch : ham.executed)
        for (const auto& op : batch)
            reads.push_back((op.kind == FakeHam::Op::Read8 ? "b" : "r") + std::to_string(op.reg) +
                            (op.kind == FakeHam::Op::Read ? "/" + std::to_string(op.value) : ""));
    const std::vector<std::string> expected = {"b4", "b11", "b17", "r18/12", "b30", "b38", "b42", "r43/15"};
    EXPECT_EQ(reads, expected);
}

TEST(PsuSlotIpmiMethod, OffsetsWrapAtOneByte) {
    // Area offset 0x1F: the first type/length byte at 251, the product name wrapped to 0,
    // and byte 4 (the area offset itself) read as the part number's type/length byte:
    // type 0, length 31, skipped.
    FakeHam ham;
    ham.bytes[4] = 0x1F;
    load(ham, 251, fruField(3, "Mfr!"));
    load(ham, 0, fruField(3, "MOD"));
    load(ham, 36, fruField(3, "V") + fruField(3, "SERIAL"));
    PsuSlot device(&ham);
    auto slot = makeSlot(device, {{"psuId", "1"}, {"identificationType", "ipmi"}});
    std::string serial, model;
    EXPECT_EQ(slot->readSerialAndModelIpmi(serial, model), ZL_STATUS_OK);
    EXPECT_EQ(model, "MOD");
    EXPECT_EQ(serial, "SERIAL");
}

TEST(PsuSlotIpmiMethod, BadFieldsAndReadFailures) {
    const std::string header("\x01\x05\x19", 3);
    const struct {
        std::string area;
        std::deque<zl_status> statuses;
        zl_status rest;
        zl_status status;
        const char* trace;
    } cases[] = {
        // A product name of length 0 reads empty, which the caller treats as failure.
        {header + fruField(3, "M") + "\xC0" + fruField(3, "P") + fruField(3, "V") + fruField(3, "S"), {}, 0, 0, nullptr},
        // A kept field that isn't 8-bit text.
        {header + fruField(3, "M") + fruField(2, "BIN") + fruField(3, "P"), {}, 0, ZL_STATUS_DEVICE_FAULT, nullptr},
        {header, {ZL_STATUS_NO_COMM}, 0, ZL_STATUS_NO_COMM, "Error reading product info offset"},
        {header, {0}, ZL_STATUS_FAILED, ZL_STATUS_FAILED, "Error reading type/length byte"},
        {header + fruField(3, "M") + fruField(3, "NAME"), {0, 0, 0}, ZL_STATUS_NO_COMM, ZL_STATUS_NO_COMM,
         "Error reading product info field"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "expected status " << c.status);
        FakeHam ham;
        ham.bytes[4] = 1;
        load(ham, 8, c.area);
        ham.nextStatuses = c.statuses;
        ham.status = c.rest;
        PsuSlot device(&ham);
        auto slot = makeSlot(device, {{"psuId", "1"}, {"identificationType", "ipmi"}});
        std::string serial, model;
        TestHost::clearTraces();
        EXPECT_EQ(slot->readSerialAndModelIpmi(serial, model), c.status);
        if (c.trace != nullptr) {
            EXPECT_TRUE(TestHost::traced(c.trace, 0)) << TestHost::dumpTraces();
        }
        if (c.status == ZL_STATUS_OK) {
            EXPECT_EQ(model, "");
            EXPECT_EQ(serial, "S");
        }
    }
}

// ---- ONIE TlvInfo ----

std::string tlvHeader(uint16_t total) {
    return std::string("TlvInfo\0\x01", 9) + static_cast<char>(total >> 8) + static_cast<char>(total & 0xFF);
}
std::string tlv(uint8_t type, const std::string& value) {
    return std::string(1, static_cast<char>(type)) + static_cast<char>(value.size()) + value;
}
// Offsets of every record header read (two-byte bulk reads past the header).
std::vector<uint32_t> recordReads(const FakeHam& ham) {
    std::vector<uint32_t> offsets;
    for (const auto& batch : ham.executed)
        for (const auto& op : batch)
            if (op.kind == FakeHam::Op::Read && op.value == 2 && op.reg >= 11) offsets.push_back(op.reg);
    return offsets;
}

struct TlvResult {
    zl_status status;
    std::string model;
    std::string serial;
};
TlvResult readTlv(FakeHam& ham) {
    PsuSlot device(&ham);
    auto slot = makeSlot(device, {{"psuId", "1"}, {"identificationType", "tlv"}});
    TlvResult r{0, "", ""};
    r.status = slot->readSerialAndModelTlv(r.serial, r.model);
    return r;
}

TEST(PsuSlotTlvMethod, PartAndSerialNumberRecords) {
    FakeHam ham;
    const std::string records = tlv(0x21, "Name") + tlv(0x22, "PN-12 ") + tlv(0x23, "SN-34") + tlv(0xFE, "\x01\x02\x03\x04");
    load(ham, 0, tlvHeader(static_cast<uint16_t>(records.size())) + records);
    const TlvResult r = readTlv(ham);
    EXPECT_EQ(r.status, ZL_STATUS_OK);
    EXPECT_EQ(r.model, "PN-12 ");  // not trimmed
    EXPECT_EQ(r.serial, "SN-34");
    // Stops once both are found: the CRC record isn't read.
    EXPECT_EQ(recordReads(ham), (std::vector<uint32_t>{11, 17, 25}));
}

TEST(PsuSlotTlvMethod, LengthBytesAreBigEndian) {
    // 0x01 0x80 is 384 bytes: the last record may start at 394, and none after it is read.
    for (uint32_t serialAt : {394u, 395u}) {
        SCOPED_TRACE(serialAt);
        FakeHam ham;
        std::string records = tlv(0x22, "MODEL");  // 11..17
        records += tlv(0xFD, std::string(253, 'x'));  // 18..272
        records += tlv(0xFD, std::string(serialAt - 273 - 2, 'y'));
        records += tlv(0x23, "SN1");
        records += tlv(0xFE, "CRC!");
        load(ham, 0, std::string("TlvInfo\0\x01\x01\x80", 11) + records);
        const TlvResult r = readTlv(ham);
        EXPECT_EQ(r.status, serialAt == 394 ? ZL_STATUS_OK : ZL_STATUS_NOT_FOUND);
        EXPECT_EQ(r.model, "MODEL");
        EXPECT_EQ(r.serial, serialAt == 394 ? "SN1" : "");
        const std::vector<uint32_t> expected =
            serialAt == 394 ? std::vector<uint32_t>{11, 18, 273, 394} : std::vector<uint32_t>{11, 18, 273};
        EXPECT_EQ(recordReads(ham), expected);
    }
}

TEST(PsuSlotTlvMethod, IncompleteOrBrokenContent) {
    // (Values are never two bytes long here, so every two-byte read past the header is a
    // record header.)
    const struct {
        const char* name;
        std::string content;
        zl_status status;
        std::string model;
        std::string serial;
        size_t recordsRead;
    } cases[] = {
        {"total length 0", tlvHeader(0) + tlv(0x22, "M") + tlv(0x23, "S"), 1, "", "", 0},
        {"no serial record", tlvHeader(11) + tlv(0x22, "PN1") + tlv(0xFE, "CRC!"), 1, "PN1", "", 2},
        {"no part number", tlvHeader(5) + tlv(0x23, "SN1"), 1, "", "SN1", 1},
        {"later record replaces", tlvHeader(14) + tlv(0x22, "A") + tlv(0x22, "BBB") + tlv(0x23, "S"), 0, "BBB", "S", 3},
        {"records past the total are not read", tlvHeader(3) + tlv(0x22, "A") + tlv(0x23, "S"), 1, "A", "", 1},
        {"empty value", tlvHeader(5) + tlv(0x22, "") + tlv(0x23, "S"), 1, "", "S", 2},
        {"wrong signature", std::string("TlvInfX\0\x01\x00\x04", 11) + tlv(0x22, "M") + tlv(0x23, "S"), 1, "", "", 0},
        {"no NUL after signature", std::string("TlvInfoX\x01\x00\x04", 11) + tlv(0x22, "M"), 1, "", "", 0},
        {"version 2", std::string("TlvInfo\0\x02\x00\x04", 11) + tlv(0x22, "M") + tlv(0x23, "S"), 1, "", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHam ham;
        load(ham, 0, c.content);
        const TlvResult r = readTlv(ham);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.model, c.model);
        EXPECT_EQ(r.serial, c.serial);
        EXPECT_EQ(recordReads(ham).size(), c.recordsRead);
    }
}

TEST(PsuSlotTlvMethod, ReadFailuresGiveOne) {
    FakeHam headerFails;
    headerFails.status = ZL_STATUS_NO_COMM;
    EXPECT_EQ(readTlv(headerFails).status, ZL_STATUS_NOT_FOUND);

    FakeHam recordFails;
    load(recordFails, 0, tlvHeader(8) + tlv(0x22, "M") + tlv(0x23, "S"));
    recordFails.nextStatuses = {ZL_STATUS_OK};
    recordFails.status = ZL_STATUS_FAILED;
    EXPECT_EQ(readTlv(recordFails).status, ZL_STATUS_NOT_FOUND);
}

TEST(PsuSlotTlvMethod, WalkThatWrapsAroundEnds) {
    // A total length of 0xFFFF over empty records: the 16-bit offset wraps before it can
    // pass the end, and the walk must still stop.
    FakeHam ham;
    load(ham, 0, tlvHeader(0xFFFF));
    const TlvResult r = readTlv(ham);
    EXPECT_EQ(r.status, ZL_STATUS_NOT_FOUND);
    EXPECT_GT(recordReads(ham).size(), 32768u);
}

// ---- kvIpmi through a stand-in on PATH ----

class PsuSlotCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zl-kvipmi-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        // Records its arguments one per line, prints the prepared output, exits as told.
        std::ofstream script(dir + "/kvIpmi");
        script << "#!/bin/sh\n"
               << "d='" << dir << "'\n"
               << "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$d/args\"\n"
               << "cat \"$d/output\" 2>/dev/null\n"
               << "exit $(cat \"$d/rc\" 2>/dev/null || echo 0)\n";
        script.close();
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
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    bool exists(const std::string& name) { return access((dir + "/" + name).c_str(), F_OK) == 0; }

    FakeHam ham;
    PsuSlot device{&ham};
    std::string dir;
    std::string oldPath;
};

TEST_F(PsuSlotCommand, OutputParsing) {
    const struct {
        const char* output;
        int rc;
        zl_status status;
        const char* model;
        const char* serial;
    } cases[] = {
        {"1 DPS-550 SN123\n", 0, ZL_STATUS_OK, "DPS-550", "SN123"},
        {"  \n1\tDPS-550\n\nSN123 trailing words\n", 0, ZL_STATUS_OK, "DPS-550", "SN123"},
        {"0 DPS-550 SN123\n", 0, ZL_STATUS_NOT_FOUND, "DPS-550", "SN123"},
        {"10 X Y\n", 0, ZL_STATUS_OK, "0", "X"},  // the model starts right after the status
        {"1DPS SN\n", 0, ZL_STATUS_OK, "DPS", "SN"},
        {"1\n", 0, ZL_STATUS_OK, "", ""},
        {"", 0, ZL_STATUS_NOT_FOUND, "", ""},
        {" \n\t", 0, ZL_STATUS_NOT_FOUND, "", ""},
        {"1 DPS-550 SN123\n", 1, ZL_STATUS_FAILED, "", ""},
    };
    auto tool = makeSlot(device, {{"psuId", "1"}, {"identificationType", "ipmitool"}, {"ipmiId", "1"}});
    auto raw = makeSlot(device, {{"psuId", "1"},
                                 {"identificationType", "ipmitool_raw"},
                                 {"ipmiId", "1"},
                                 {"ipmiRawModel", "M"},
                                 {"ipmiRawSerialNumber", "S"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "output '" << c.output << "' exit " << c.rc);
        output(c.output, c.rc);
        std::string serial, model;
        EXPECT_EQ(tool->readSerialAndModelIpmitool(serial, model), c.status);
        EXPECT_EQ(model, c.model);
        EXPECT_EQ(serial, c.serial);
        std::string rawSerial, rawModel;
        EXPECT_EQ(raw->readSerialAndModelIpmitoolRaw(rawSerial, rawModel), c.status);
        EXPECT_EQ(rawModel, c.model);
        EXPECT_EQ(rawSerial, c.serial);
    }
}

TEST_F(PsuSlotCommand, ArgumentsReachTheTool) {
    auto api = makeSlot(device, {{"psuId", "2"}, {"identificationType", "ipmitool"}, {"ipmiId", "2"}, {"useApi", "false"},
                                 {"model_1", "DPS-550"}, {"psuFdl_1", "PSU {serialNum}"}});
    output("1 DPS-550 SN9\n");
    const Presence p = presence(*api);
    EXPECT_EQ(p.status, ZL_STATUS_OK);
    EXPECT_EQ(p.fdl, "PSU SN9");
    EXPECT_EQ(receivedArgs(), "api\npsuSlot\n2\n");

    auto raw = makeSlot(device, {{"psuId", "1"},
                                 {"identificationType", "ipmitool_raw"},
                                 {"ipmiId", "1"},
                                 {"ipmiRawModel", "DPS-550"},
                                 {"ipmiRawSerialNumber", "SN123"}});
    std::string serial, model;
    EXPECT_EQ(raw->readSerialAndModelIpmitoolRaw(serial, model), ZL_STATUS_OK);
    EXPECT_EQ(receivedArgs(), "raw\npsuSlot\n1\nModelNumber=DPS-550\nSerialNumber=SN123\n");

    // A failing tool: "Failed to read PSU info" and status 1 at the slot.
    output("", 3);
    TestHost::clearTraces();
    EXPECT_EQ(presence(*api).status, ZL_STATUS_NOT_FOUND);
    EXPECT_TRUE(TestHost::traced("Failed to read PSU info '' ''", 7));
}

TEST_F(PsuSlotCommand, NoArgumentRunsAnotherCommand) {
    const struct {
        ArgList args;
        const char* expectedArgs;
    } cases[] = {
        {{{"identificationType", "ipmitool"}, {"ipmiId", "1; touch X"}}, "psuSlot\n1; touch X\n"},
        {{{"identificationType", "ipmitool"}, {"ipmiId", "1' ; touch X ; echo '"}}, "psuSlot\n1' ; touch X ; echo '\n"},
        {{{"identificationType", "ipmitool"}, {"ipmiId", "$(touch X)"}}, "psuSlot\n$(touch X)\n"},
        {{{"identificationType", "ipmitool_raw"}, {"ipmiId", "1|touch X"}, {"ipmiRawModel", "`touch X`"},
          {"ipmiRawSerialNumber", "a&&touch X"}},
         "raw\npsuSlot\n1|touch X\nModelNumber=`touch X`\nSerialNumber=a&&touch X\n"},
        {{{"identificationType", "ipmitool_raw"}, {"ipmiId", "1\ntouch X"}, {"ipmiRawModel", "M>X"},
          {"ipmiRawSerialNumber", "S"}},
         "raw\npsuSlot\n1\ntouch X\nModelNumber=M>X\nSerialNumber=S\n"},
    };
    // Run from the temp dir so that a relative "X" would land there.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expectedArgs);
        Drivers::FactoryArgs args = argsWith(c.args);
        args.driverArgs["psuId"] = "1";
        std::unique_ptr<PsuSlot::Slot> slot(dynamic_cast<PsuSlot::Slot*>(device.newSlot(args)));
        output("1 M S\n");
        std::string serial, model;
        EXPECT_EQ(slot->identificationType_ == Type::Ipmitool ? slot->readSerialAndModelIpmitool(serial, model)
                                                               : slot->readSerialAndModelIpmitoolRaw(serial, model),
                  ZL_STATUS_OK);
        EXPECT_EQ(receivedArgs(), c.expectedArgs);
        EXPECT_FALSE(exists("X")) << slot->ipmiCmd_;
    }
    ASSERT_EQ(chdir(cwd), 0);
}

// ---- bits from a CPLD register through the topology ----

class PsuSlotCpldBits : public ::testing::Test {
  protected:
    void SetUp() override {
        TestHost::registerFakeHam();
        Utils::isInSimulation = 0;
        const std::string devices =
            "{\"did\":5401,\"driver\":\"Dummy\",\"label\":\"psucpld\",\"address\":{\"address\":48}},"
            "{\"did\":5402,\"driver\":\"PsuSlot\",\"address\":{\"address\":80}},"
            "{\"did\":5403,\"driver\":\"Pmbus\",\"address\":{\"address\":88}}";
        ASSERT_EQ(Topology::loadTopology(TestHost::fakeHamTopology(devices).c_str()), ZL_STATUS_OK);
        TestHost::clearTraces();
    }
    void TearDown() override { Utils::isInSimulation = 0; }
};

TEST_F(PsuSlotCpldBits, SlotAddReadsPresenceAndPowerBits) {
    const std::string text =
        "{\"did\":5402,\"driver\":\"PsuSlot\",\"address\":{\"address\":80},\"driverArgs\":{"
        "\"psuId\":2,\"identificationType\":\"wedge\",\"gpioDevice\":\"psucpld\","
        "\"presenceReg\":\"16\",\"presenceBit\":\"1\",\"powerOkReg\":\"17\",\"powerOkBit\":\"1\","
        "\"powerOkActiveLow\":\"false\","
        "\"model_1\":\"PWR-WEDGE\",\"psuFdl_1\":\"wedge {serialNum}\","
        "\"model_2\":\"PWR-UNKNOWN\",\"psuFdl_2\":\"off {serialNum}\"}}";
    zl_slot* record = zl_slot_add(text.c_str());
    ASSERT_NE(record, nullptr) << TestHost::dumpTraces();
    auto* slot = static_cast<PsuSlot::Slot*>(record->object);
    EXPECT_TRUE(slot->presenceActiveLow_);
    EXPECT_FALSE(slot->powerOkActiveLow_);
    FakeHam* cpld = TestHost::fakeHamFor(5401);
    FakeHam* eeprom = TestHost::fakeHamFor(5402);
    ASSERT_NE(cpld, nullptr);
    ASSERT_NE(eeprom, nullptr);
    eeprom->bytes[8] = 0x02;  // the wedge bit of PSU 2 (bit 0) says present

    auto get = [&](std::string* fdl) {
        char* handed = nullptr;
        const zl_status rc = ZL_CALLBACK(record, ZL_SLOT_GET_PRESENCE, zl_slot_get_presence_fn)(record, &handed);
        if (handed != nullptr) *fdl = handed;
        std::free(handed);
        return rc;
    };
    std::string fdl;
    cpld->bytes[16] = 0x02;  // presence bit 1 set: active low, so absent
    cpld->bytes[17] = 0x02;
    EXPECT_EQ(get(&fdl), ZL_STATUS_NOT_FOUND);
    cpld->bytes[16] = 0xFD;  // present
    cpld->bytes[17] = 0x02;  // power good (active high)
    EXPECT_EQ(get(&fdl), ZL_STATUS_OK);
    EXPECT_EQ(fdl, "wedge N/A");
    cpld->bytes[17] = 0x00;  // power not good
    EXPECT_EQ(get(&fdl), ZL_STATUS_OK);
    EXPECT_EQ(fdl, "off N/A");

    // A missing bit argument makes no slot.
    const std::string missing =
        "{\"did\":5402,\"driver\":\"PsuSlot\",\"address\":{\"address\":80},\"driverArgs\":{"
        "\"psuId\":1,\"gpioDevice\":\"psucpld\",\"presenceReg\":\"16\",\"powerOkReg\":\"17\",\"powerOkBit\":\"1\"}}";
    TestHost::clearTraces();
    EXPECT_EQ(zl_slot_add(missing.c_str()), nullptr);
    EXPECT_TRUE(TestHost::traced("map::at", 0)) << TestHost::dumpTraces();
    delete slot;
}

TEST_F(PsuSlotCpldBits, PsuAddReadsPowerGoodFromTheCpld) {
    const std::string text =
        "{\"did\":5403,\"driver\":\"Pmbus\",\"address\":{\"address\":88},\"driverArgs\":{"
        "\"gpioDevice\":\"psucpld\",\"powerOkReg\":\"18\",\"powerOkBit\":\"3\"}}";
    zl_psu* record = zl_psu_add(text.c_str());
    ASSERT_NE(record, nullptr) << TestHost::dumpTraces();
    FakeHam* cpld = TestHost::fakeHamFor(5401);
    ASSERT_NE(cpld, nullptr);
    auto powerOk = [&](int* ok) { return ZL_CALLBACK(record, ZL_PSU_GET_POWER_OK, zl_psu_get_int_fn)(record, ok); };
    int ok = -1;
    cpld->bytes[18] = 0x08;  // active low by default: bit set means not good
    EXPECT_EQ(powerOk(&ok), ZL_STATUS_OK);
    EXPECT_EQ(ok, 0);
    cpld->bytes[18] = 0xF7;
    EXPECT_EQ(powerOk(&ok), ZL_STATUS_OK);
    EXPECT_EQ(ok, 1);
    // A second fan and sensor of the same supply; a fan without a usable maximum is refused.
    zl_fan* fan = zl_fan_add("{\"did\":5403,\"driver\":\"Pmbus\",\"address\":{\"address\":88},"
                             "\"driverArgs\":{\"fanId\":\"2\",\"maxFanRpm\":\"18000\"}}");
    ASSERT_NE(fan, nullptr);
    EXPECT_EQ(static_cast<Drivers::Pmbus::Fan*>(fan->object)->commandReg, 0x3C);
    delete static_cast<Drivers::Pmbus::Fan*>(fan->object);
    TestHost::clearTraces();
    EXPECT_EQ(zl_fan_add("{\"did\":5403,\"driver\":\"Pmbus\",\"address\":{\"address\":88},"
                         "\"driverArgs\":{\"fanId\":\"1\",\"maxFanRpm\":\"0\"}}"),
              nullptr);
    EXPECT_TRUE(TestHost::traced("consistency check failed: maxFanRpm > 0", 0));
    delete static_cast<Drivers::Pmbus::Psu*>(record->object);
}

// ---- simulated registers ----

TEST(PsuSlotValues, BlockRegistersStartWithTheirCountByte) {
    // The count byte is followed by text that starts with hex digits; both entries must
    // still be exactly 16 bytes: the count 0x10 and 15 characters.
    const auto& model = PsuSlot::values.at(PsuSlot::MFR_MODEL);
    const auto& serial = PsuSlot::values.at(PsuSlot::MFR_SERIAL);
    EXPECT_EQ(model.valStr(), std::string("\x10") + "PS-2471-1AZ1-LF");
    EXPECT_EQ(serial.valStr(), std::string(1, '\x10') + "61AZ10101E340DU");
    EXPECT_EQ(model.size, 16u);
    EXPECT_EQ(serial.size, 16u);
}

TEST(PsuSlotSimulation, FruMethodReadsTheSimulatedArea) {
    const int32_t savedSimulation = Utils::isInSimulation;
    Utils::isInSimulation = 1;
    char pattern[] = "/tmp/zl-psuslot-sim-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const char* old = std::getenv("ZOLTALIB_SIMDIR");
    const std::string oldDir = old != nullptr ? old : "";
    setenv("ZOLTALIB_SIMDIR", dir.c_str(), 1);
    Ham::SimHam::resetSimDirectory();

    Topology::Topology topology;
    Drivers::DriverArgs hamArgs;
    auto* ham = static_cast<Ham::SimHam*>(Ham::SimHam::create(topology, hamArgs));
    ham->setDriverName("PsuSlot", "psu1");
    ham->setExpected(&PsuSlot::values);
    {
        PsuSlot device(ham);
        // The product name's length byte says 11 while its field holds 10 bytes: the
        // simulation pads the missing byte in front with 0xFF.
        const std::string simulatedModel = std::string("\xFF") + "DPS550AB6A";
        auto slot = makeSlot(device, {{"psuId", "1"}, {"identificationType", "ipmi"}, {"model_1", simulatedModel},
                                      {"psuFdl_1", "Delta DPS-550AB, serial {serialNum}"}});
        std::string serial, model;
        EXPECT_EQ(slot->readSerialAndModelIpmi(serial, model), ZL_STATUS_OK);
        EXPECT_EQ(serial, "GTVD1615001656");
        EXPECT_EQ(model, simulatedModel);
        const Presence p = presence(*slot);
        EXPECT_EQ(p.status, ZL_STATUS_OK);
        EXPECT_EQ(p.fdl, "Delta DPS-550AB, serial GTVD1615001656");

        // Another process writes a new serial into the file; the next call shows it.
        const std::string cmd = "printf GTVD0000000042 | dd of='" + ham->simFileName_ + "' bs=1 seek=" +
                                std::to_string(ham->offsets.at(0x2D)) + " conv=notrunc 2>/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        EXPECT_EQ(presence(*slot).fdl, "Delta DPS-550AB, serial GTVD0000000042");
    }
    delete ham;
    if (old != nullptr)
        setenv("ZOLTALIB_SIMDIR", oldDir.c_str(), 1);
    else
        unsetenv("ZOLTALIB_SIMDIR");
    Ham::SimHam::resetSimDirectory();
    Utils::isInSimulation = savedSimulation;
    std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
