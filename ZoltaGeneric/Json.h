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
