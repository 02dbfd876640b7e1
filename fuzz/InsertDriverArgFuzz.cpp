// insertDriverArg: the input is split at its first two NUL bytes into device text, key and
// value; a success gives a text that parses again with the new key last.
#include <cstdlib>
#include <cstring>

#include "Drivers/DriverArgs.h"
#include "FuzzHost.h"

namespace Drivers {
bool insertDriverArg(const char* json, char** out, const char* key, const char* value);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input = Fuzz::text(data, size);
    input.append(2, '\0');  // there are always three texts
    const char* json = input.c_str();
    const char* key = json + std::strlen(json) + 1;
    const char* value = key + std::strlen(key) + 1;
    char* out = nullptr;
    if (Drivers::insertDriverArg(json, &out, key, value)) {
        rapidjson::Document again;
        again.Parse(out);
        if (again.HasParseError()) std::abort();  // the writer produced no JSON
        std::free(out);
    }
    return 0;
}
