#include "Drivers/DriverArgs.h"

#include <sys/types.h>

#include <cstdlib>
#include <cstring>
#include <locale>
#include <sstream>

#include "Utils.h"

namespace Drivers {

namespace {

using rapidjson::Value;

using Json::member;
using Json::readUint;

std::string memberName(const Value& name) { return std::string(name.GetString(), name.GetStringLength()); }

// The writer of insertDriverArg recurses once per nesting level; deeper device texts are
// refused rather than risking the stack.
constexpr size_t kMaxWriteDepth = 256;

}  // namespace

std::string driverArgValueToText(const rapidjson::Value& value) {
    if (value.IsInt()) return std::to_string(value.GetInt());
    if (value.IsUint()) return std::to_string(value.GetUint());
    if (value.IsString()) return std::string(value.GetString());  // up to the first NUL
    if (value.IsDouble()) {
        // Fractions, exponents and integers too large for 64 bits: default stream format.
        std::ostringstream out;
        out.imbue(std::locale::classic());
        out << value.GetDouble();
        return out.str();
    }
    if (value.IsBool()) return value.GetBool() ? "true" : "false";
    return "";  // other 64-bit integers, arrays, objects
}

const std::string* findArg(const DriverSpecificArgs& args, const std::string& key) {
    auto it = args.find(key);
    return it == args.end() ? nullptr : &it->second;
}

std::shared_ptr<DriverArgs> DriverArgs::fromJSON(const rapidjson::Value& value) {
    auto args = std::make_shared<DriverArgs>();
    args->parseJSON(value);
    return args;
}

void DriverArgs::parseJSON(const rapidjson::Value& json) {
    ZL_CHECK_RULE(json.IsObject(), "json.IsObject()");
    ZL_CHECK_RULE(json.HasMember("did"), "json.HasMember( \"did\" )");
    ZL_CHECK_RULE(json.HasMember("driver"), "json.HasMember( \"driver\" )");

    isMultiDevice = false;
    if (const Value* multi = member(json, "isMultiDevice")) {
        ZL_CHECK_RULE(multi->IsBool(), "IsBool()");
        isMultiDevice = multi->GetBool();
    }

    if (isMultiDevice) {
        // A container of other devices is not itself on a bus: its address stays as it is.
        ZL_CHECK_RULE(json.HasMember("multiDeviceArgs"), "json.HasMember( \"multiDeviceArgs\" )");
    } else {
        ZL_CHECK_RULE(json.HasMember("address"), "json.HasMember( \"address\" )");
        Topology::fillAddressFromJSON(*member(json, "address"), address);
    }

    provideHam = true;
    if (const Value* v = member(json, "provideHam")) provideHam = readUint(*v) != 0;

    uid = 0xFFFFFFFFu;
    if (const Value* v = member(json, "uid")) uid = readUint(*v);

    did = readUint(*member(json, "did"));

    const Value& driverValue = *member(json, "driver");
    if (!driverValue.IsNull()) {
        ZL_CHECK_RULE(driverValue.IsString(), "IsString()");
        driver.assign(driverValue.GetString(), driverValue.GetStringLength());
    }

    if (const Value* args = member(json, "driverArgs")) {
        if (!args->IsNull()) {
            ZL_CHECK_RULE(args->IsObject(), "IsObject()");
            for (auto it = args->MemberBegin(); it != args->MemberEnd(); ++it) {
                if (it->value.IsNull()) continue;
                driverArgs[memberName(it->name)] = driverArgValueToText(it->value);
            }
        }
    }

    if (isMultiDevice) {
        const Value& members = *member(json, "multiDeviceArgs");
        ZL_CHECK_RULE(members.IsObject(), "IsObject()");
        for (auto it = members.MemberBegin(); it != members.MemberEnd(); ++it) {
            ZL_CHECK_RULE(it->value.IsString(), "IsString()");
            multiDeviceArgs[memberName(it->name)] = std::string(it->value.GetString(), it->value.GetStringLength());
        }
    }
}

bool DriverArgs::parseJSON(const char* text) {
    return Utils::guardEntry(false, [&]() -> bool {
        if (!text) text = "";  // nothing given reads as an empty document
        rapidjson::Document document;
        Topology::parseDocument(document, text);
        if (document.HasParseError()) {
            zl_trace(0, "failed to load device from json: %s offset %zd",
                     Topology::parseErrorMessage(document.GetParseError()),
                     static_cast<ssize_t>(document.GetErrorOffset()));
            return false;
        }
        // Filled aside: an invalid device object leaves this object as it was.
        DriverArgs parsed(*this);
        parsed.jsonText = text;
        parsed.parseJSON(static_cast<const Value&>(document));
        *this = std::move(parsed);
        return true;
    });
}

bool insertDriverArg(const char* json, char** out, const char* key, const char* value) {
    return Utils::guardEntry(false, [&]() -> bool {
        if (!json || !out || !key || !value) {
            zl_trace(0, "insertDriverArg: missing argument");
            return false;
        }
        rapidjson::Document document;
        Topology::parseDocument(document, json);
        if (document.HasParseError()) {
            zl_trace(0, "failed to parse psu devArgs: %s offset %zd",
                     Topology::parseErrorMessage(document.GetParseError()),
                     static_cast<ssize_t>(document.GetErrorOffset()));
            return false;
        }
        ZL_CHECK_RULE(document.IsObject(), "document.IsObject()");
        ZL_CHECK_RULE(document.HasMember("driverArgs"), "document.HasMember( \"driverArgs\" )");
        Value& args = document.FindMember("driverArgs")->value;
        ZL_CHECK_RULE(args.IsObject(), "IsObject()");
        if (Topology::jsonNestingDepth(json) > kMaxWriteDepth) {
            zl_trace(0, "insertDriverArg: device text nested too deeply");
            return false;
        }

        auto& allocator = document.GetAllocator();
        Value name(key, allocator);
        Value text(value, allocator);
        args.AddMember(name, text, allocator);

        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::ASCII<>> writer(buffer);
        if (!document.Accept(writer)) {
            // A string that is not valid UTF-8 has no ASCII form.
            zl_trace(0, "insertDriverArg: device text is not valid UTF-8");
            return false;
        }

        const size_t size = buffer.GetSize();
        char* result = static_cast<char*>(std::malloc(size + 1));
        if (!result) {
            zl_trace(0, "insertDriverArg: out of memory");
            return false;
        }
        std::memcpy(result, buffer.GetString(), size);
        result[size] = '\0';
        *out = result;
        return true;
    });
}

}  // namespace Drivers
