// rapidjson as the library uses it: a failed internal assertion of the reader breaks a
// consistency rule (traced, thrown) instead of aborting the host process.
#pragma once

#include "Utils.h"

#ifndef RAPIDJSON_ASSERT
#define RAPIDJSON_ASSERT(x) ZL_CHECK(x)
#endif
#define RAPIDJSON_NOEXCEPT_ASSERT(x) ((void)0)

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace Json {

using rapidjson::Value;

// The member `name` of an object, null when absent; of several members with that name the
// first one counts.
inline const Value* member(const Value& object, const char* name) {
    auto it = object.FindMember(name);
    return it == object.MemberEnd() ? nullptr : &it->value;
}

// Typed reads: the type is checked before rapidjson is asked for the value, and a wrong
// type breaks the rule named after the reader's own check.
inline uint32_t readUint(const Value& value) {
    ZL_CHECK_RULE(value.IsUint(), "IsUint()");
    return value.GetUint();
}

inline int32_t readInt(const Value& value) {
    ZL_CHECK_RULE(value.IsInt(), "IsInt()");
    return value.GetInt();
}

inline bool readBool(const Value& value) {
    ZL_CHECK_RULE(value.IsBool(), "IsBool()");
    return value.GetBool();
}

inline std::string readString(const Value& value) {
    ZL_CHECK_RULE(value.IsString(), "IsString()");
    return std::string(value.GetString(), value.GetStringLength());
}

inline const Value& readArray(const Value& value) {
    ZL_CHECK_RULE(value.IsArray(), "IsArray()");
    return value;
}

}  // namespace Json
