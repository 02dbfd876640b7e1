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

bool hasLine(int level, const std::string& text) {
    for (const auto& line : TestHost::traces())
        if (line.level == level && line.text == text) return true;
    return false;
}

class DriverArgsTest : public ::testing::Test {
  protected:
    void SetUp() override { TestHost::clearTraces(); }
};

TEST_F(DriverArgsTest, MinimalDeviceGetsTheDefaults) {
    const char* text = R"({"did":3,"driver":"Dummy","address":{"address":80}})";
    DriverArgs args;
    ASSERT_TRUE(args.parseJSON(text)) << TestHost::dumpTraces();
    EXPECT_EQ(args.driver, "Dummy");
    EXPECT_EQ(args.did, 3u);
    EXPECT_EQ(args.uid, 4294967295u);
    EXPECT_TRUE(args.provideHam);
    EXPECT_FALSE(args.isMultiDevice);
    EXPECT_TRUE(args.driverArgs.empty());
    EXPECT_TRUE(args.multiDeviceArgs.empty());
    EXPECT_EQ(args.address.address, 80u);
    EXPECT_EQ(args.address.addrSize, 1u);
    EXPECT_EQ(args.jsonText, text);  // the caller's pointer, not a copy
}

TEST_F(DriverArgsTest, FromJSONReadsADeviceObject) {
    rapidjson::Document doc;
    doc.Parse(R"({"driver":"TMP75","did":9,"uid":4,"provideHam":0,"address":{"address":72,"accel":2}})");
    auto args = DriverArgs::fromJSON(doc);
    ASSERT_NE(args, nullptr);
    EXPECT_EQ(args->driver, "TMP75");
    EXPECT_EQ(args->did, 9u);
    EXPECT_EQ(args->uid, 4u);
    EXPECT_FALSE(args->provideHam);
    EXPECT_EQ(args->address.address, 72u);
    EXPECT_EQ(args->address.accel, 2u);
    EXPECT_EQ(args->jsonText, nullptr);
}

TEST_F(DriverArgsTest, DriverArgsValuesBecomeTextInDocumentOrder) {
    const char* text = R"({"did":1,"driver":"D","address":{"address":1},"driverArgs":
        {"int":1,"bool":true,"str":"x","frac":1.5,"none":null,"arr":[1],"big":4294967296,"neg":-2,
         "dup":"1","dup":"2","obj":{"a":1}}})";
    DriverArgs args;
    ASSERT_TRUE(args.parseJSON(text)) << TestHost::dumpTraces();
    const Drivers::DriverSpecificArgs expected = {
        {"arr", ""}, {"big", ""}, {"bool", "true"}, {"dup", "2"}, {"frac", "1.5"},
        {"int", "1"}, {"neg", "-2"}, {"obj", ""},   {"str", "x"},
    };
    EXPECT_EQ(args.driverArgs, expected);
}

TEST_F(DriverArgsTest, ValueToTextConversionTable) {
    const std::pair<const char*, const char*> table[] = {
        {"7", "7"},
        {"-5", "-5"},
        {"0", "0"},
        {"2147483647", "2147483647"},
        {"-2147483648", "-2147483648"},
        {"2147483648", "2147483648"},
        {"4294967295", "4294967295"},
        {"4294967296", ""},  // 64-bit integers outside the 32-bit ranges
        {"-2147483649", ""},
        {"9223372036854775807", ""},
        {"18446744073709551615", ""},
        {"18446744073709551616", "1.84467e+19"},  // too large for 64 bits: a double
        {"-9223372036854775809", "-9.22337e+18"},
        {"1.5", "1.5"},
        {"2.0", "2"},
        {"0.1", "0.1"},
        {"1234567.0", "1.23457e+06"},
        {"1e20", "1e+20"},
        {"1e2", "100"},
        {"-0.5", "-0.5"},
        {"0.0001", "0.0001"},
        {"0.00001", "1e-05"},
        {R"("text")", "text"},
        {R"("")", ""},
        {R"("a\u0000b")", "a"},  // up to the first NUL
        {"true", "true"},
        {"false", "false"},
        {"[]", ""},
        {"[1,2]", ""},
        {"{}", ""},
        {R"({"k":"v"})", ""},
    };
    for (const auto& [json, expected] : table) {
        rapidjson::Document doc;
        doc.Parse(json);
        ASSERT_FALSE(doc.HasParseError()) << json;
        EXPECT_EQ(Drivers::driverArgValueToText(doc), expected) << json;
    }
}

TEST_F(DriverArgsTest, ProvideHamIsANumberFlag) {
    const std::pair<const char*, bool> table[] = {{R"(,"provideHam":0)", false},
                                                  {R"(,"provideHam":7)", true},
                                                  {R"(,"provideHam":4294967295)", true},
                                                  {"", true}};
    for (const auto& [extra, expected] : table) {
        const std::string text = std::string(R"({"did":1,"driver":"D","address":{"address":1})") + extra + "}";
        DriverArgs args;
        ASSERT_TRUE(args.parseJSON(text.c_str())) << text;
        EXPECT_EQ(args.provideHam, expected) << text;
    }
}

TEST_F(DriverArgsTest, NullDriverKeepsTheDriverAlreadyThere) {
    DriverArgs fresh;
    ASSERT_TRUE(fresh.parseJSON(R"({"did":1,"driver":null,"address":{"address":1}})"));
    EXPECT_EQ(fresh.driver, "");

    DriverArgs named;
    ASSERT_TRUE(named.parseJSON(R"({"did":1,"driver":"First","address":{"address":1}})"));
    ASSERT_TRUE(named.parseJSON(R"({"did":2,"driver":null,"address":{"address":1}})"));
    EXPECT_EQ(named.driver, "First");
    EXPECT_EQ(named.did, 2u);
}

TEST_F(DriverArgsTest, MultiDeviceNeedsMemberTextsInsteadOfAnAddress) {
    const char* text = R"({"did":4,"driver":"OrvikFanTray","isMultiDevice":true,"address":"never read",
        "multiDeviceArgs":{"fan":"{\"did\":5}","eeprom":"{}","fan":"{\"did\":6}"},"driverArgs":{"id":2}})";
    DriverArgs args;
    ASSERT_TRUE(args.parseJSON(text)) << TestHost::dumpTraces();
    EXPECT_TRUE(args.isMultiDevice);
    EXPECT_EQ(args.address.word1(), 0u);  // not read for a multi-device: stays value-initialised
    const Drivers::DriverSpecificArgs expected = {{"eeprom", "{}"}, {"fan", R"({"did":6})"}};
    EXPECT_EQ(args.multiDeviceArgs, expected);
    EXPECT_EQ(args.driverArgs.at("id"), "2");

    DriverArgs plain;
    ASSERT_TRUE(plain.parseJSON(R"({"did":4,"driver":"D","isMultiDevice":false,"address":{"address":5},
        "multiDeviceArgs":{"fan":1}})"));
    EXPECT_TRUE(plain.multiDeviceArgs.empty());  // ignored unless a multi-device
}

struct InvalidDevice {
    const char* text;
    const char* rule;
};

const InvalidDevice kInvalidDevices[] = {
    {"[]", "json.IsObject()"},
    {"5", "json.IsObject()"},
    {R"({"driver":"D","address":{"address":1}})", "json.HasMember( \"did\" )"},
    {R"({"address":{"address":1}})", "json.HasMember( \"did\" )"},
    {R"({"did":1,"address":{"address":1}})", "json.HasMember( \"driver\" )"},
    {R"({"did":1,"driver":"D","isMultiDevice":true})", "json.HasMember( \"multiDeviceArgs\" )"},
    {R"({"did":1,"driver":"D"})", "json.HasMember( \"address\" )"},
    {R"({"did":1,"driver":"D","isMultiDevice":false})", "json.HasMember( \"address\" )"},
    {R"({"did":1,"driver":"D","isMultiDevice":"true","address":{"address":1}})", "IsBool()"},
    {R"({"did":1,"driver":"D","provideHam":true,"address":{"address":1}})", "IsUint()"},
    {R"({"did":1,"driver":"D","provideHam":-1,"address":{"address":1}})", "IsUint()"},
    {R"({"did":1,"driver":"D","uid":4294967296,"address":{"address":1}})", "IsUint()"},
    {R"({"did":-1,"driver":"D","address":{"address":1}})", "IsUint()"},
    {R"({"did":5.0,"driver":"D","address":{"address":1}})", "IsUint()"},
    {R"({"did":1,"driver":7,"address":{"address":1}})", "IsString()"},
    {R"({"did":1,"driver":"D","driverArgs":"a=1","address":{"address":1}})", "IsObject()"},
    {R"({"did":1,"driver":"D","isMultiDevice":true,"multiDeviceArgs":[]})", "IsObject()"},
    {R"({"did":1,"driver":"D","isMultiDevice":true,"multiDeviceArgs":{"fan":3}})", "IsString()"},
    {R"({"did":1,"driver":"D","address":7})", "value.IsObject()"},
    {R"({"did":1,"driver":"D","address":{}})", "value.HasMember( \"address\" )"},
    {R"({"did":1,"driver":"D","address":{"address":1,"addrSize":3}})",
     "address.addrSize == 1 || address.addrSize == 2"},
};

TEST_F(DriverArgsTest, InvalidDeviceTextsFailAndLeaveTheArgumentsAlone) {
    for (const auto& row : kInvalidDevices) {
        SCOPED_TRACE(row.text);
        TestHost::clearTraces();
        DriverArgs args;
        ASSERT_TRUE(args.parseJSON(R"({"did":42,"driver":"Before","address":{"address":9},"driverArgs":{"k":"v"}})"));
        const char* before = args.jsonText;

        EXPECT_FALSE(args.parseJSON(row.text));
        EXPECT_TRUE(hasLine(0, std::string("consistency check failed: ") + row.rule)) << TestHost::dumpTraces();
        EXPECT_EQ(TestHost::traceCount("consistency check failed"), 1);
        EXPECT_EQ(args.did, 42u);
        EXPECT_EQ(args.driver, "Before");
        EXPECT_EQ(args.address.address, 9u);
        EXPECT_EQ(args.jsonText, before);
        EXPECT_EQ(args.driverArgs.size(), 1u);

        rapidjson::Document doc;
        doc.Parse(row.text);
        EXPECT_THROW(DriverArgs::fromJSON(doc), Utils::ConsistencyError);
    }
}

TEST_F(DriverArgsTest, SyntaxErrorsAreTracedWithMessageAndOffset) {
    const struct {
        const char* text;
        const char* trace;
    } table[] = {
        {R"({"did":1,"driver":"D","address":{"address":1}} x)",
         "failed to load device from json: The document root must not follow by other values. offset 47"},
        {"", "failed to load device from json: The document is empty. offset 0"},
        {R"({"did":1,})", "failed to load device from json: Missing a name for object member. offset 9"},
        {"[1,]", "failed to load device from json: Invalid value. offset 3"},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.text);
        TestHost::clearTraces();
        DriverArgs args;
        const char* previous = "kept";
        args.jsonText = previous;
        args.did = 11;
        EXPECT_FALSE(args.parseJSON(c.text));
        EXPECT_TRUE(hasLine(0, c.trace)) << TestHost::dumpTraces();
        EXPECT_EQ(args.jsonText, previous);
        EXPECT_EQ(args.did, 11u);
    }
    DriverArgs args;
    TestHost::clearTraces();
    EXPECT_FALSE(args.parseJSON(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(hasLine(0, "failed to load device from json: The document is empty. offset 0"));
}

TEST_F(DriverArgsTest, FindArgReturnsTheValueOrNull) {
    const Drivers::DriverSpecificArgs args = {{"bus", "3"}, {"empty", ""}};
    ASSERT_NE(Drivers::findArg(args, "bus"), nullptr);
    EXPECT_EQ(*Drivers::findArg(args, "bus"), "3");
    ASSERT_NE(Drivers::findArg(args, "empty"), nullptr);
    EXPECT_EQ(*Drivers::findArg(args, "empty"), "");
    EXPECT_EQ(Drivers::findArg(args, "Bus"), nullptr);
    EXPECT_EQ(Drivers::findArg({}, "bus"), nullptr);
}

// ---------------------------------------------------------------- insertDriverArg

struct Inserted {
    const char* json;
    const char* key;
    const char* value;
    const char* result;
};

const Inserted kInserts[] = {
    {R"({"driverArgs":{"a":"1"},"did":2})", "b", "\xC3\xA9", R"({"driverArgs":{"a":"1","b":"\u00E9"},"did":2})"},
    {R"({"driverArgs":{},"did":2})", "smile", "\xF0\x9F\x98\x80", R"({"driverArgs":{"smile":"\uD83D\uDE00"},"did":2})"},
    {R"({"driverArgs":{"a":"1"}})", "a", "2", R"({"driverArgs":{"a":"1","a":"2"}})"},
    {" {\n \"x\" : [1, 2.5, true, null],\t\"driverArgs\" : { } } ", "k", "v",
     R"({"x":[1,2.5,true,null],"driverArgs":{"k":"v"}})"},
    {R"({"driverArgs":{},"name":"caf\u00e9"})", "q", "a\"b\\c\nd\x01",
     R"({"driverArgs":{"q":"a\"b\\c\nd\u0001"},"name":"caf\u00E9"})"},
    {R"({"driverArgs":{"n":-3,"o":{"p":[]}}})", "\xE2\x82\xAC", "", R"({"driverArgs":{"n":-3,"o":{"p":[]},"\u20AC":""}})"},
};

TEST_F(DriverArgsTest, InsertDriverArgAppendsAndWritesCompactAscii) {
    for (const auto& c : kInserts) {
        SCOPED_TRACE(c.json);
        char* out = nullptr;
        ASSERT_TRUE(Drivers::insertDriverArg(c.json, &out, c.key, c.value)) << TestHost::dumpTraces();
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(out, c.result);
        std::free(out);
    }
}

TEST_F(DriverArgsTest, InsertedDuplicateWinsWhenParsedAgain) {
    char* out = nullptr;
    ASSERT_TRUE(Drivers::insertDriverArg(
        R"({"did":1,"driver":"PsuSlot","address":{"address":1},"driverArgs":{"id":"1","fdl":"x"}})", &out, "id",
        "2"));
    DriverArgs args;
    ASSERT_TRUE(args.parseJSON(out));
    EXPECT_EQ(args.driverArgs.at("id"), "2");
    EXPECT_EQ(args.driverArgs.at("fdl"), "x");
    std::free(out);
}

TEST_F(DriverArgsTest, InsertDriverArgFailuresLeaveTheOutputAlone) {
    const struct {
        const char* json;
        const char* key;
        const char* value;
        const char* trace;  // an exact trace line at level 0, or null
    } table[] = {
        {R"({"driverArgs":{})", "k", "v",
         "failed to parse psu devArgs: Missing a comma or '}' after an object member. offset 16"},
        {"", "k", "v", "failed to parse psu devArgs: The document is empty. offset 0"},
        {R"([{"driverArgs":{}}])", "k", "v", nullptr},
        {R"({"did":1})", "k", "v", "consistency check failed: document.HasMember( \"driverArgs\" )"},
        {R"({"driverArgs":"a"})", "k", "v", nullptr},
        {R"({"driverArgs":null})", "k", "v", nullptr},
        {R"({"driverArgs":{}})", "k", "\xC3", nullptr},          // truncated UTF-8 sequence
        {R"({"driverArgs":{}})", "k", "\xFF\xFE", nullptr},      // bytes that are never UTF-8
        {R"({"driverArgs":{}})", "\xED\xA0\x80", "v", nullptr},  // an encoded surrogate
        {"{\"driverArgs\":{},\"x\":\"\xC3(\"}", "k", "v", nullptr},
        {nullptr, "k", "v", nullptr},
        {R"({"driverArgs":{}})", nullptr, "v", nullptr},
        {R"({"driverArgs":{}})", "k", nullptr, nullptr},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.json ? c.json : "null");
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

TEST_F(DriverArgsTest, InsertDriverArgRefusesVeryDeepTextsWithoutCrashing) {
    const size_t depth = 100000;
    const std::string deep = R"({"driverArgs":{},"x":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
    char* out = nullptr;
    EXPECT_FALSE(Drivers::insertDriverArg(deep.c_str(), &out, "k", "v"));
    EXPECT_EQ(out, nullptr);

    const std::string shallow = R"({"driverArgs":{},"x":)" + std::string(50, '[') + std::string(50, ']') + "}";
    ASSERT_TRUE(Drivers::insertDriverArg(shallow.c_str(), &out, "k", "v"));
    std::free(out);
}

}  // namespace
