#include "Fdl.h"

namespace Host {

namespace {
std::string trimmed(const std::string& s) {
    const char* blanks = " \t\r\n";
    auto first = s.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    auto last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

void addItem(const std::string& item, Fdl& out) {
    auto sep = item.find('=');
    if (sep == std::string::npos) sep = item.find(':');
    if (sep == std::string::npos) return;
    std::string key = trimmed(item.substr(0, sep));
    if (key.empty()) return;
    out[key] = trimmed(item.substr(sep + 1));
}
}  // namespace

Fdl parseFdl(const std::string& text) {
    Fdl out;
    std::string item;
    for (char c : text) {
        if (c == ';' || c == '\n') {
            addItem(item, out);
            item.clear();
        } else {
            item += c;
        }
    }
    addItem(item, out);
    return out;
}

std::string fdlValue(const Fdl& fdl, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        auto it = fdl.find(key);
        if (it != fdl.end()) return it->second;
    }
    return "";
}

}  // namespace Host
