#include "Status.h"

#include <algorithm>
#include <cctype>

namespace Host {

std::string statusWord(int status) {
    switch (status) {
        case 0: return "ok";
        case 1: return "not found";
        case 2: return "device fault";
        case 3: return "bad input";
        case 4: return "no communication";
        case 5: return "not provided";
        case 6: return "failed";
        case kNotSupported: return "not supported";
        case kNotAdded: return "not added";
        case kAbsent: return "absent";
        default: return "status " + std::to_string(status);
    }
}

std::string refusalReason(const std::vector<std::string>& traces, const std::string& deviceText) {
    // How the library words a failure; its progress traces ("creating ...", "looking for
    // ...") use none of these.
    static const char* const kFailureWords[] = {"fail",      "not found", "error",    "invalid", "cannot",
                                                "couldn't",  "could not", "missing",  "expected", "exception",
                                                "does not",  "is not",    "has no",   "null",    "not implemented"};
    for (const auto& trace : traces) {
        if (!deviceText.empty() && trace.find(deviceText) != std::string::npos) continue;
        std::string lower(trace);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        for (const char* word : kFailureWords)
            if (lower.find(word) != std::string::npos) return trace;
    }
    return "";
}

}  // namespace Host
