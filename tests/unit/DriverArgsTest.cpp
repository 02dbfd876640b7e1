// Driver arguments: reading a device object or text, the defaults, the rules that reject a
// device, the value-to-text conversion and the insertDriverArg helper.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Drivers/DriverArgs.h"
#include "TestHost.h"
#include "zl_api.h"

namespace {

using Drivers::DriverArgs;
using TestHost::hasLine;

TEST(DriverArgsTest, DefaultsAndOptionalMembers) {
    const char* text = R"({"did":3,"driver":"Dummy","address":{"address":80}})";
    DriverArgs args;
    ASSERT_TRUE(args.parseJSON(text)) << TestHost::dumpTraces();
    EXPECT_TRUE(args.uid == 4294967295u && args.provideHam && !args.isMultiDevice && args.driverArgs.empty());
    EXPECT_EQ(args.jsonText, text);  // the caller's pointer, not a copy

    // Each value as ValueToTextConversionTable's; a null is left out, the last duplicate wins.
    ASSERT_TRUE(args.parseJSON(R"({"did":1,"driver":"D","address":{"address":1},"driverArgs":
        {"int":1,"none":null,"dup":"1","dup":"2","obj":{"a":1}}})"))
        << TestHost::dumpTraces();
    EXPECT_EQ(args.driverArgs, (Drivers::DriverSpecificArgs{{"dup", "2"}, {"int", "1"}, {"obj", ""}}));

    for (const auto& [extra, provide] : {std::pair<const char*, bool>{R"(,"provideHam":0)", false},
                                          {R"(,"provideHam":4294967295)", true}}) {
        const std::string device = std::string(R"({"did":1,"driver":"D","address":{"address":1})") + extra + "}";
        ASSERT_TRUE(args.parseJSON(device.c_str())) << device;
        EXPECT_EQ(args.provideHam, provide) << device;  // a number flag, true when absent
    }

    // A null driver keeps the driver already there.
    ASSERT_TRUE(args.parseJSON(R"({"did":2,"driver":null,"address":{"address":1}})"));
    EXPECT_TRUE(args.driver == "D" && args.did == 2);
}

TEST(DriverArgsTest, ValueToTextConversionTable) {
    const std::pair<const char*, const char*> table[] = {
        {"-2147483648", "-2147483648"}, {"4294967295", "4294967295"},
        {"4294967296", ""}, {"-2147483649", ""},  // 64-bit integers outside the 32-bit ranges
        {"18446744073709551616", "1.84467e+19"},  // too large for 64 bits: a double
        {"2.0", "2"}, {"1234567.0", "1.23457e+06"}, {"0.0001", "0.0001"}, {"0.00001", "1e-05"},
        {R"("text")", "text"}, {R"("a\u0000b")", "a"},  // up to the first NUL
        {"false", "false"}, {"[1,2]", ""}, {R"({"k":"v"})", ""},
    };
    for (const auto& [json, expected] : table) {
        rapidjson::Document doc;
        doc.Parse(json);
        EXPECT_EQ(Drivers::driverArgValueToText(doc), expected) << json;
    }
}

TEST(DriverArgsTest, MultiDeviceNeedsMemberTextsInsteadOfAnAddress) {
    DriverArgs args;
    ASSERT_TRUE(args.parseJSON(R"({"did":4,"driver":"OrvikFanTray","isMultiDevice":true,"address":"never read",
        "multiDeviceArgs":{"fan":"{\"did\":5}","eeprom":"{}","fan":"{\"did\":6}"},"driverArgs":{"id":2}})"))
        << TestHost::dumpTraces();
    EXPECT_TRUE(args.isMultiDevice);
    EXPECT_EQ(args.address.word1(), 0u);  // not read for a multi-device
    EXPECT_EQ(args.multiDeviceArgs, (Drivers::DriverSpecificArgs{{"eeprom", "{}"}, {"fan", R"({"did":6})"}}));
    EXPECT_EQ(args.driverArgs.at("id"), "2");

    DriverArgs plain;
    ASSERT_TRUE(plain.parseJSON(R"({"did":4,"driver":"D","isMultiDevice":false,"address":{"address":5},
        "multiDeviceArgs":{"fan":1}})"));
    EXPECT_TRUE(plain.multiDeviceArgs.empty());  // ignored unless a multi-device
}

// A broken rule or a syntax error: the one level-0 line, and the arguments left alone. (The
// rules a device shares with a topology document, a missing address among them, are in the
// topology's table.)
TEST(DriverArgsTest, InvalidDeviceTextsFailAndLeaveTheArgumentsAlone) {
    const std::string rule = "consistency check failed: ", syntax = "failed to load device from json: ";
    const std::pair<const char*, std::string> table[] = {
        {"[]", rule + "json.IsObject()"},
        {R"({"driver":"D","address":{"address":1}})", rule + "json.HasMember( \"did\" )"},
        {R"({"did":1,"address":{"address":1}})", rule + "json.HasMember( \"driver\" )"},
        {R"({"did":1,"driver":"D","uid":4294967296,"address":{"address":1}})", rule + "IsUint()"},
        {R"({"did":1,"driver":7,"address":{"address":1}})", rule + "IsString()"},
        {R"({"did":1,"driver":"D","isMultiDevice":true,"multiDeviceArgs":[]})", rule + "IsObject()"},
        {R"({"did":1,"driver":"D","address":{"address":1}} x)",
         syntax + "The document root must not follow by other values. offset 47"},
        {nullptr, syntax + "The document is empty. offset 0"},
    };
    for (const auto& [text, line] : table) {
        SCOPED_TRACE(text ? text : "null");
        DriverArgs args;
        ASSERT_TRUE(args.parseJSON(R"({"did":42,"driver":"Before","address":{"address":9},"driverArgs":{"k":"v"}})"));
        const char* before = args.jsonText;
        TestHost::clearTraces();
        EXPECT_FALSE(args.parseJSON(text));
        EXPECT_EQ(TestHost::dumpTraces(), "0: " + line + "\n");
        EXPECT_TRUE(args.did == 42 && args.driver == "Before" && args.address.address == 9 && args.jsonText == before &&
                    args.driverArgs.size() == 1);
    }
}

TEST(DriverArgsTest, InsertDriverArgAppendsAndWritesCompactAscii) {
    const struct { const char *json, *key, *value, *result; } table[] = {
        {R"({"driverArgs":{"a":"1"},"did":2})", "b", "\xC3\xA9", R"({"driverArgs":{"a":"1","b":"\u00E9"},"did":2})"},
        {R"({"driverArgs":{}})", "smile", "\xF0\x9F\x98\x80", R"({"driverArgs":{"smile":"\uD83D\uDE00"}})"},
        {" {\n \"a\" : [1, 2.5, true, null],\t\"driverArgs\" : {\"a\":\"1\"} } ", "a", "2",
         R"({"a":[1,2.5,true,null],"driverArgs":{"a":"1","a":"2"}})"},  // compact, a duplicate appended
        {R"({"driverArgs":{},"name":"caf\u00e9"})", "q", "a\"b\\c\nd\x01",
         R"({"driverArgs":{"q":"a\"b\\c\nd\u0001"},"name":"caf\u00E9"})"},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.json);
        char* out = nullptr;
        ASSERT_TRUE(Drivers::insertDriverArg(c.json, &out, c.key, c.value)) << TestHost::dumpTraces();
        EXPECT_STREQ(out, c.result);
        std::free(out);
    }
}

TEST(DriverArgsTest, InsertDriverArgFailuresLeaveTheOutputAlone) {
    const size_t depth = 100000;
    const std::string deep = R"({"driverArgs":{},"x":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
    // trace: an exact line at level 0, or null
    const struct { const char *json, *key, *value, *trace; } table[] = {
        {R"({"driverArgs":{})", "k", "v",
         "failed to parse psu devArgs: Missing a comma or '}' after an object member. offset 16"},
        {"", "k", "v", "failed to parse psu devArgs: The document is empty. offset 0"},
        {R"({"did":1})", "k", "v", "consistency check failed: document.HasMember( \"driverArgs\" )"},
        {R"([{"driverArgs":{}}])", "k", "v", nullptr},
        {R"({"driverArgs":"a"})", "k", "v", nullptr},
        {R"({"driverArgs":{}})", "k", "\xC3", nullptr},          // truncated UTF-8 sequence
        {R"({"driverArgs":{}})", "\xED\xA0\x80", "v", nullptr},  // an encoded surrogate
        {"{\"driverArgs\":{},\"x\":\"\xC3(\"}", "k", "v", nullptr},
        {deep.c_str(), "k", "v", nullptr},  // refused without exhausting the stack
        {nullptr, "k", "v", nullptr},
        {R"({"driverArgs":{}})", nullptr, "v", nullptr},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.json ? std::string(c.json).substr(0, 40) : "null");
        TestHost::clearTraces();
        char sentinel = 0;
        char* out = &sentinel;
        EXPECT_FALSE(Drivers::insertDriverArg(c.json, &out, c.key, c.value));
        EXPECT_EQ(out, &sentinel);
        if (c.trace) {
            EXPECT_TRUE(hasLine(0, c.trace)) << TestHost::dumpTraces();
        }
    }
    EXPECT_FALSE(Drivers::insertDriverArg(R"({"driverArgs":{}})", nullptr, "k", "v"));
}

}  // namespace
