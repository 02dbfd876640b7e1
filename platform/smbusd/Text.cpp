#include "Text.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace Smbusd {

std::string trimmed(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string formatNumber(double v) {
    char buf[64];
    if (std::fabs(v - std::round(v)) < 1e-12 && std::fabs(v) < 1e15) {
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(std::llround(v)));
    } else {
        std::snprintf(buf, sizeof buf, "%.10g", v);
    }
    return buf;
}

std::string hex(uint64_t v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llx", width, static_cast<unsigned long long>(v));
    return buf;
}

std::string wordBytes(uint16_t v) { return std::string{char(v & 0xFF), char(v >> 8)}; }

std::string hexBytes(const std::string& bytes, size_t max) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size() && i < max; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", unsigned(uint8_t(bytes[i])));
        if (!s.empty()) s += ' ';
        s += buf;
    }
    if (bytes.size() > max) s += " ...";
    return s;
}

bool parseNumber(const std::string& text, double* out) {
    std::string t = trimmed(text);
    if (t.empty()) return false;
    const char* s = t.c_str();
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s, &end);
    if (end == s || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

bool parseUnsigned(const std::string& text, uint64_t* out) {
    std::string t = trimmed(text);
    if (t.empty() || t[0] == '-' || t[0] == '+') return false;
    int base = 10;
    const char* s = t.c_str();
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        s += 2;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s, &end, base);
    if (end == s || *end != '\0' || errno == ERANGE) return false;
    *out = v;
    return true;
}

bool parseFlag(const std::string& text, bool* out) {
    std::string t = trimmed(text);
    for (auto& c : t) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (t == "1" || t == "true" || t == "on" || t == "yes") {
        *out = true;
        return true;
    }
    if (t == "0" || t == "false" || t == "off" || t == "no") {
        *out = false;
        return true;
    }
    double v;
    if (parseNumber(t, &v)) {
        *out = v != 0;
        return true;
    }
    return false;
}

}  // namespace Smbusd
