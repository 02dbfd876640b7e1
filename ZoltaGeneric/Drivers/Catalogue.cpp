#include "Drivers/Catalogue.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "Utils.h"

namespace Drivers {

std::string seriesKey(const char* key, unsigned index) {
    std::string out(key);
    const auto hash = out.find('#');
    if (hash != std::string::npos) out.replace(hash, 1, std::to_string(index));
    return out;
}

const zl_driver_arg& ArgReader::declared(const char* key) const {
    const zl_driver_arg* first = nullptr;
    for (unsigned i = 0; i < driver_.argCount; ++i) {
        const zl_driver_arg& arg = driver_.args[i];
        if (arg.call != call_ || std::strcmp(arg.key, key) != 0) continue;
        if (first == nullptr) first = &arg;
        // The same key may be declared once per condition ("ipmiId" per identification type).
        if (arg.whenKey == nullptr) return arg;
        const std::string* when = findArg(args_, arg.whenKey);
        if (when != nullptr && (arg.whenValue == nullptr || *when == arg.whenValue)) return arg;
    }
    if (first == nullptr) {
        const std::string rule = std::string("driver argument ") + key + " is declared by " + driver_.name;
        Utils::consistencyFailure(rule.c_str());
    }
    return *first;
}

const std::string* ArgReader::find(const zl_driver_arg& arg, unsigned index) {
    if (const std::string* value = findArg(args_, seriesKey(arg.key, index))) return value;
    if (!arg.required) return nullptr;
    if (arg.missingTrace != nullptr) zl_trace(0, "%s", arg.missingTrace);
    switch (arg.missing) {
        case ZL_MISSING_NULL: return nullptr;
        case ZL_MISSING_LOOKUP: throw std::out_of_range("map::at");
        default: Utils::consistencyFailure(arg.missingRule != nullptr ? arg.missingRule : arg.key);
    }
}

std::optional<int> ArgReader::number(const char* key, unsigned index) {
    const zl_driver_arg& arg = declared(key);
    const std::string* value = find(arg, index);
    if (value == nullptr) return std::nullopt;
    int number = Utils::toInt(*value);
    if (arg.read == ZL_READ_DECIMAL_U8) number = static_cast<uint8_t>(number);
    if (arg.rangeRule != nullptr && arg.min <= arg.max && (number < arg.min || number > arg.max))
        Utils::consistencyFailure(arg.rangeRule);
    return number;
}

const std::string* ArgReader::text(const char* key, unsigned index) { return find(declared(key), index); }

bool ArgReader::flag(const char* key, bool absent) {
    const std::string* value = find(declared(key), 0);
    return value == nullptr ? absent : *value == "true";
}

}  // namespace Drivers
