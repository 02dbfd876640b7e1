// The driver catalogue: the board check and the library's own add must agree on every
// driver argument of every driver the library has (accept or refuse, the same text), and
// the library reads through the declarations with their exact failure texts.
#include <gtest/gtest.h>

#include <cstring>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "BoardCheck.h"
#include "Drivers/Catalogue.h"
#include "FakeHam.h"
#include "TestHost.h"
#include "Topology/Topology.h"
#include "zl_catalogue.h"

namespace {

using Args = std::map<std::string, std::string>;

// The add function of each kind the library has, through its C entry point.
const std::map<Host::Kind, std::function<void*(const char*)>>& adds() {
    static const std::map<Host::Kind, std::function<void*(const char*)>> table = {
        {Host::Kind::TempSensor, [](const char* t) -> void* { return zl_temp_sensor_add(t, 0, 0); }},
        {Host::Kind::Fan, [](const char* t) -> void* { return zl_fan_add(t); }},
        {Host::Kind::Psu, [](const char* t) -> void* { return zl_psu_add(t); }},
        {Host::Kind::Slot, [](const char* t) -> void* { return zl_slot_add(t); }},
        {Host::Kind::Led, [](const char* t) -> void* { return zl_led_add(t); }},
        {Host::Kind::Xcvr, [](const char* t) -> void* { return zl_xcvr_add(t); }},
        {Host::Kind::Gpio, [](const char* t) -> void* { return zl_gpio_add(t); }},
        {Host::Kind::Smbus, [](const char* t) -> void* { return zl_smbus_add(t, 0); }},
    };
    return table;
}

constexpr unsigned kFirstDid = 90000;  // dids no other test uses: driver objects stay cached
constexpr unsigned kDids = 1000;
const char* const kCpld = "CatalogueCpld";  // a GPIO-making device for ZL_READ_LABEL arguments

std::string key(const zl_driver_arg& arg) { return Drivers::seriesKey(arg.key, 1); }

// Arguments of "driverArgs" the call reads (members live in "multiDeviceArgs").
bool reads(const zl_driver_arg& arg, unsigned call) {
    return (arg.call == ZL_CALL_CREATE || arg.call == call) && arg.read != ZL_READ_GPIO_MEMBER;
}

// Every text a choice argument accepts.
std::vector<std::string> choices(const zl_driver_arg& arg) {
    std::vector<std::string> out;
    std::istringstream list(arg.choices);
    for (std::string one; std::getline(list, one, '|');) out.push_back(one);
    return out;
}

std::string validText(const zl_driver_arg& arg) {
    if (arg.choices != nullptr) return choices(arg).front();
    switch (arg.read) {
        case ZL_READ_DECIMAL:
        case ZL_READ_DECIMAL_U8: return std::to_string(arg.min <= arg.max ? arg.max : 1);
        case ZL_READ_FLAG: return "true";
        case ZL_READ_LABEL: return kCpld;
        default: return "text";
    }
}

bool holds(const zl_driver_arg& arg, const Args& args) {
    if (arg.whenKey == nullptr) return true;
    auto it = args.find(Drivers::seriesKey(arg.whenKey, 1));
    return it != args.end() && (arg.whenValue == nullptr || it->second == arg.whenValue);
}

// Valid arguments for one call with `focus`'s condition made true: every argument whose
// condition then holds gets a valid text.
Args context(const zl_driver_entry& entry, unsigned call, const zl_driver_arg* focus) {
    Args args;
    if (focus != nullptr && focus->whenKey != nullptr) {
        const std::string when = Drivers::seriesKey(focus->whenKey, 1);
        std::string value = focus->whenValue ? focus->whenValue : "";
        for (unsigned i = 0; value.empty() && i < entry.argCount; ++i)
            if (when == key(entry.args[i])) value = validText(entry.args[i]);
        args[when] = value;
    }
    for (bool grown = true; grown;) {
        grown = false;
        for (unsigned i = 0; i < entry.argCount; ++i) {
            const zl_driver_arg& arg = entry.args[i];
            if (reads(arg, call) && holds(arg, args) && !args.count(key(arg))) {
                args[key(arg)] = validText(arg);
                grown = true;
            }
        }
    }
    return args;
}

// The texts to try for one argument: valid, missing (null), and the edges of its reading.
std::vector<std::optional<std::string>> variants(const zl_driver_arg& arg) {
    std::vector<std::optional<std::string>> out = {std::nullopt};
    if (arg.choices != nullptr) {
        for (const std::string& c : choices(arg)) out.insert(out.end(), {c, c + " ", "x" + c});
        return out;
    }
    switch (arg.read) {
        case ZL_READ_DECIMAL:
        case ZL_READ_DECIMAL_U8:
            out.insert(out.end(), {"x", " 2", "-1", "0", "1", "2", "3", "9x", "99999999999"});
            if (arg.read == ZL_READ_DECIMAL_U8) out.insert(out.end(), {"257", "258", "256", "-255"});
            break;
        case ZL_READ_LABEL: out.insert(out.end(), {"NoSuchLabel", kCpld}); break;
        default: out.insert(out.end(), {"", "true", "false"}); break;
    }
    return out;
}

std::string object(const Args& args) {
    std::string t;
    for (const auto& [k, v] : args) t += (t.empty() ? "{\"" : ",\"") + k + "\":\"" + v + "\"";
    return t.empty() ? "{}" : t + "}";
}

// A device text; a multi-device gets a valid GPIO text for every member its arguments name.
std::string deviceText(unsigned did, const zl_driver_entry& entry, const Args& args) {
    std::string t = "{\"did\":" + std::to_string(did) + ",\"driver\":\"" + entry.name + "\"";
    if (entry.flags & ZL_DRIVER_MULTI) {
        Args members;
        for (unsigned i = 0; i < entry.argCount; ++i) {
            const zl_driver_arg& arg = entry.args[i];
            auto number = args.find(arg.whenKey ? arg.whenKey : "");
            if (arg.read != ZL_READ_GPIO_MEMBER || number == args.end()) continue;
            members[Drivers::seriesKey(arg.key, std::atoi(number->second.c_str()) & 0xFF)] =
                "{\\\"did\\\":89999,\\\"driver\\\":\\\"Dummy\\\",\\\"address\\\":{\\\"address\\\":35},"
                "\\\"driverArgs\\\":{\\\"register\\\":\\\"1\\\",\\\"bitpos\\\":\\\"0\\\"}}";
        }
        t += ",\"isMultiDevice\":true,\"multiDeviceArgs\":" + object(members);
    } else {
        t += ",\"address\":{\"address\":72}";
    }
    return t + ",\"driverArgs\":" + object(args) + "}";
}

std::string deviceText(unsigned did, const char* driver, const Args& args) {
    return deviceText(did, zl_driver_entry{driver, 0, 0, nullptr, 0}, args);
}

class CatalogueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Utils::isInSimulation = 0;
        std::string devices = "{\"did\":89999,\"label\":\"" + std::string(kCpld) +
                              "\",\"driver\":\"Dummy\",\"address\":{\"address\":35}}";
        for (unsigned did = kFirstDid; did < kFirstDid + kDids; ++did) devices += ",{\"did\":" + std::to_string(did) + "}";
        const std::string text = TestHost::fakeHamTopology(devices);
        ASSERT_EQ(Topology::loadTopology(text.c_str()), ZL_STATUS_OK);
        std::vector<Host::BoardProblem> problems;
        ASSERT_TRUE(Host::parseTopology(text, &topology_, &problems));
        library_.drivers = zl_driver_catalogue();
        for (const auto& [kind, add] : adds()) library_.kinds.insert(kind);
    }

    // The board check's problems with one device.
    std::vector<Host::BoardProblem> check(Host::Kind kind, const std::string& text, const Host::LibraryCatalogue& library) {
        Host::BoardDevice device{};
        device.kind = kind, device.name = "D", device.text = text;
        std::vector<Host::BoardProblem> problems;
        Host::checkDevice(device, topology_, library, &problems);
        return problems;
    }

    TestHost::FakeRegistrations registrations_;  // FakeHam for the topology's medium
    Host::Topology topology_;
    Host::LibraryCatalogue library_;
};

TEST_F(CatalogueTest, CheckAndLibraryAgreeOnEveryArgumentOfEveryDriver) {
    static auto& made = *new std::vector<void*>;  // logical devices stay reachable, as in a host
    unsigned did = kFirstDid, tried = 0;
    const zl_catalogue* catalogue = zl_driver_catalogue();
    ASSERT_EQ(catalogue->version, static_cast<unsigned>(ZL_CATALOGUE_VERSION));
    for (unsigned d = 0; d < catalogue->driverCount; ++d) {
        const zl_driver_entry& entry = catalogue->drivers[d];
        for (const auto& [kind, add] : adds()) {
            const unsigned call = static_cast<unsigned>(kind);
            if (!(entry.kinds & ZL_KIND_BIT(call))) continue;
            auto attempt = [&](const Args& args) {
                ASSERT_LT(did, kFirstDid + kDids) << "the test topology needs more dids";
                const std::string text = deviceText(did++, entry, args);
                const std::vector<Host::BoardProblem> problems = check(kind, text, library_);
                TestHost::clearTraces();
                void* record = add(text.c_str());
                if (record != nullptr) made.push_back(static_cast<zl_gpio*>(record)->object);
                std::string why;
                for (const auto& p : problems) why += p.rule + "\n";
                EXPECT_EQ(problems.empty(), record != nullptr)
                    << text << "\ncheck:\n" << why << "library:\n" << TestHost::dumpTraces();
                ++tried;
            };
            attempt(context(entry, call, nullptr));
            for (unsigned i = 0; i < entry.argCount; ++i) {
                const zl_driver_arg& arg = entry.args[i];
                if (!reads(arg, call)) continue;
                Args args = context(entry, call, &arg);
                for (const auto& text : variants(arg)) {
                    Args changed = args;
                    if (!text)
                        changed.erase(key(arg));
                    else
                        changed[key(arg)] = *text;
                    attempt(changed);
                }
            }
        }
    }
    EXPECT_GT(tried, 100u);
}

// The check's own words for a kind the library lacks, and for a number read through its low
// 8 bits (an unknown driver is host_show.sh's, the other argument texts HostBoardTest's).
TEST_F(CatalogueTest, CheckNamesWhatTheLibraryLacksAndHowAnArgumentIsRead) {
    const std::tuple<Host::Kind, std::string, const char*> cases[] = {
        {Host::Kind::Led, deviceText(90000, "OrvikLedCpld", {}), "kind led is not supported by this library"},
        {Host::Kind::Slot, deviceText(90000, "PsuSlot", {{"psuId", "259"}}),
         "driverArgs \"psuId\" must be from 1 to 2 (is \"259\", read as 3)"},
    };
    Host::LibraryCatalogue lacking = library_;
    lacking.kinds.erase(Host::Kind::Led);
    for (const auto& [kind, text, rule] : cases) {
        const std::vector<Host::BoardProblem> problems = check(kind, text, lacking);
        ASSERT_EQ(problems.size(), 1u) << text;
        EXPECT_EQ(problems[0].rule.find(rule), 0u) << problems[0].rule;
    }
}

// The reader keeps the library's failure texts: the declared rule, the trace before it, the
// lookup error, and the 8-bit cut before the range.
TEST(ArgReaderTest, FailuresAreTheDeclaredOnes) {
    static constexpr zl_driver_arg args[] = {
        Drivers::Arg("a", ZL_CALL_NEW_FAN, ZL_READ_DECIMAL_U8).required(ZL_MISSING_RULE, "has a", "no a").range(1, 2, "a in 1..2"),
        Drivers::Arg("b", ZL_CALL_NEW_FAN, ZL_READ_DECIMAL).required(ZL_MISSING_LOOKUP),
        Drivers::Arg("c", ZL_CALL_NEW_FAN, ZL_READ_TEXT).required(ZL_MISSING_NULL, nullptr, "no c"),
        Drivers::Arg("e", ZL_CALL_NEW_FAN, ZL_READ_DECIMAL).range(1, 2, nullptr),
        Drivers::Arg("f", ZL_CALL_NEW_FAN, ZL_READ_FLAG),
    };
    static constexpr zl_driver_entry entry = {"T", ZL_KIND_BIT(ZL_KIND_FAN), 0, args, std::size(args)};
    auto read = [](const Drivers::DriverSpecificArgs& given, const char* k) -> std::string {
        TestHost::clearTraces();
        try {
            Drivers::ArgReader r(entry, ZL_CALL_NEW_FAN, given);
            if (std::strcmp(k, "c") == 0) return r.text(k) ? *r.text(k) : "null";
            return std::to_string(*r.number(k));
        } catch (const std::exception& e) {
            return e.what();
        }
    };
    EXPECT_EQ(read({{"a", "257"}}, "a"), "1");
    EXPECT_EQ(read({{"a", " -254x"}}, "a"), "2");
    EXPECT_EQ(read({{"a", "3"}}, "a"), "consistency check failed: a in 1..2");
    EXPECT_EQ(read({}, "a"), "consistency check failed: has a");
    EXPECT_TRUE(TestHost::traced("no a", 0));
    EXPECT_EQ(read({{"a", "x"}}, "a"), "stoi");
    EXPECT_EQ(read({}, "b"), "map::at");
    EXPECT_EQ(read({}, "c"), "null");
    EXPECT_TRUE(TestHost::traced("no c", 0));
    EXPECT_EQ(read({{"e", "3"}}, "e"), "3");  // no rule: the caller refuses it
    const std::pair<const char*, const char*> decimals[] = {
        {"0x10", "0"}, {"  12abc", "12"}, {"+2", "2"}, {"-1", "-1"}};
    for (const auto& [text, value] : decimals) EXPECT_EQ(read({{"e", text}}, "e"), value) << text;  // leading digits
    EXPECT_EQ(read({{"a", "1"}}, "d"), "consistency check failed: driver argument d is declared by T");
    for (const auto& [text, on] : {std::make_pair("true", true), {"True", false}, {"1", false}, {"", false}})
        EXPECT_EQ(Drivers::ArgReader(entry, ZL_CALL_NEW_FAN, {{"f", text}}).flag("f", true), on) << text;  // only "true"
}

}  // namespace
