// The stand-ins' board model: places of devices on the buses, driver argument texts, the
// problem list, and the service protocol's address word.
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "BoardModel.h"

namespace {

using namespace BoardModel;

// Every medium kind, a mux two levels deep, labels used twice.
const char* kTopology = R"([
  {"type": "SCD", "ham": "ZoltaSmbus", "pci": 256, "accelerators": [{"id": 2, "busses": [{"id": 5,
    "devices": [{"did": 1, "label": "cpld", "driver": "OrvikSXcvrMux", "address": {"address": 163},
                 "driverArgs": {"reg": 16, "neg": -2, "text": "x", "frac": 1.5, "big": 1e20, "flag": true,
                                "wide": -3000000000, "none": null}}],
    "muxes": [{"did": 1, "busses": [{"id": 7, "devices": [{"did": 2, "label": "twice", "address": {"address": 80}}],
      "muxes": [{"did": 3, "busses": [{"id": 1, "devices": [{"did": 4, "address": {"address": 81}}]}]}]}]}]}]}]},
  {"type": "Celestica", "ham": "ZoltaSmbus", "accelerators": [{"id": 3, "busses": [{"id": 9,
    "devices": [{"did": 5, "label": "twice", "driver": "TMP75", "address": {"address": 72}}]}]}]},
  {"type": "I2C", "ham": "ZoltaSmbus", "id": 4, "simulated": true, "devices": [{"did": 6, "address": {"address": 8}}]},
  {"type": "I2C", "ham": "ZoltaSmbus", "id": 11,
   "devices": [{"did": 7, "isMultiDevice": true, "driver": "OrvikFanTray"}]},
  {"type": "IOPort", "ham": "ZoltaSmbus", "id": 6, "devices": [{"did": 8, "address": {"address": 9}}]}
])";

TEST(BoardModel, PlacesEveryDeviceOnItsMediumBusAndMuxes) {
    Topology t;
    ASSERT_TRUE(parseTopology(kTopology, &t));
    using Hops = std::vector<std::pair<unsigned, int>>;
    // did, master type, pci, accel, bus, address, muxes (did, channel)
    const std::tuple<unsigned, int, unsigned, unsigned, int, int, Hops> cases[] = {
        {1, kMasterScd, 256, 2, 5, 0x23, {}},
        {2, kMasterScd, 256, 2, 5, 80, {{1, 7}}},
        {4, kMasterScd, 256, 2, 5, 81, {{1, 7}, {3, 1}}},
        {5, kMasterCelestica, 0, 3, 9, 72, {}},
        {6, kMasterSimulatedI2c, 0, 0, 4, 8, {}},
        {7, kMasterI2c, 0, 0, 11, -1, {}},
        {8, kMasterIoPort, 0, 0, 6, 9, {}},
    };
    ASSERT_EQ(t.devices.size(), std::size(cases));
    for (const auto& [did, master, pci, accel, bus, address, hops] : cases) {
        const Device* d = t.byDid(did);
        ASSERT_NE(d, nullptr) << did;
        Hops got;
        for (const auto& h : d->path.muxes) got.emplace_back(h.muxDid, h.channel);
        EXPECT_EQ(std::make_tuple(d->path.masterType(), d->path.pci, d->path.accel, d->path.bus, d->address, got),
                  std::make_tuple(master, pci, accel, bus, address, hops))
            << "did " << did;
    }
    EXPECT_TRUE(t.byDid(7)->isMultiDevice);
    EXPECT_EQ(t.byLabel("twice")->did, 5u);  // the last with a label
    EXPECT_EQ(t.byDid(99), nullptr);
    EXPECT_EQ(t.muxDids, (std::vector<unsigned>{1, 3}));
    // Argument values become text as the library converts them; null members are left out.
    const std::map<std::string, std::string> args = {{"reg", "16"}, {"neg", "-2"},    {"text", "x"},   {"frac", "1.5"},
                                                      {"big", "1e+20"}, {"flag", "true"}, {"wide", ""}};
    EXPECT_EQ(t.byDid(1)->driverArgs, args);
}

TEST(BoardModel, ListsEveryProblemAndWhichOnesLeaveDevicesUnplaced) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"[", "not JSON: ", true},
        {"{}", "the root is not an array of media", true},
        {R"([{"type": "Bus", "ham": "x"}])", "unknown medium type \"Bus\"", true},
        {R"([{"type": "SCD", "ham": "x"}])", "an SCD has no unsigned \"pci\"", true},
        {R"([{"type": "Celestica", "ham": "x", "accelerators": [{"id": -1}]}])",
         "an accelerator is not an object with an unsigned \"id\"", true},
        {R"([{"type": "I2C", "ham": "x"}])", "a bus has no integer \"id\"", true},
        {R"([{"type": "I2C", "ham": "x", "id": 0, "devices": [{"label": "nodid"}]}])",
         "a device has no unsigned \"did\"", true},
        {R"([{"type": "I2C", "ham": "x", "id": 0, "muxes": [{"did": 3, "busses": 1}]}])",
         "mux 3: \"busses\" is not an array", true},
        {R"([{"type": "SCD", "ham": "x", "pci": 1, "accelerators": [{"id": 0, "busses": [{"id": 1}, {"id": 1}]}]}])",
         "two buses of accelerator 0 have id 1", false},
        {R"([{"type": "I2C", "ham": "x", "id": 0, "devices": [{"did": 1, "label": "t", "driver": "TMP75"}]}])",
         "device 1 (t) names a driver but has no \"address\" object with an \"address\"", false},
        {R"([{"type": "I2C", "ham": "x", "id": 0,
             "devices": [{"did": 1, "driverArgs": 1, "address": {"address": 1}}]}])",
         "device 1: \"driverArgs\" is not an object", false},
    };
    for (const auto& [text, problem, fatal] : cases) {
        Topology t;
        EXPECT_FALSE(parseTopology(text, &t)) << text;
        ASSERT_EQ(t.problems.size(), 1u) << text;
        EXPECT_EQ(t.problems[0].text.rfind(problem, 0), 0u) << t.problems[0].text;
        EXPECT_EQ(t.problems[0].fatal, fatal) << text;
        EXPECT_EQ(t.firstFatal() != nullptr, fatal) << text;
    }
}

// The fields the service reads (the others only pass through; the library's side of the word
// is ZoltaSmbusHamTest's).
TEST(BoardModel, AddressWordKeepsEveryFieldInItsBits) {
    // field, value set, its bits in word 1, value read back
    const std::tuple<uint32_t KhamAddress::*, uint32_t, uint32_t, uint32_t> cases[] = {
        {&KhamAddress::address, 0x7F, 0x7Fu, 0x7F},     {&KhamAddress::bus, 0x7F, 0x7Fu << 7, 0x7F},
        {&KhamAddress::accel, 0x7F, 0x7Fu << 14, 0x7F}, {&KhamAddress::address, 0xD0, 0x50u, 0x50},  // cut to 7 bits
    };
    const uint64_t addrSize1 = uint64_t(1) << (32 + 25);
    for (const auto& [member, value, bits, back] : cases) {
        KhamAddress a;
        a.reg = 0x8B;
        a.*member = value;
        const uint64_t packed = a.pack();
        EXPECT_EQ(packed, (uint64_t(bits) << 32 | addrSize1 | 0x8B)) << std::hex << bits;
        const KhamAddress unpacked = KhamAddress::unpack(packed);
        EXPECT_EQ(unpacked.*member, back) << std::hex << bits;
        EXPECT_EQ(unpacked.pack(), packed);
    }
}

}  // namespace
