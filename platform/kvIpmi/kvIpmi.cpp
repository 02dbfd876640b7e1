// kvIpmi: the platform's IPMI tool, answering PSU identification queries from the
// running emulated board (zolta-smbusd's control socket).
//
//   kvIpmi [api] psuSlot ID
//   kvIpmi raw psuSlot ID ModelNumber=M SerialNumber=S
//
// prints "STATUS MODEL SERIAL" on one line: status 1 when the PSU in bay ID is
// present and identified, else "0 - -". For raw, M and S name the FRU fields asked
// for: a property of the PSU's chip with that name is printed instead of its
// model / serial property when there is one.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Control.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: kvIpmi [api] psuSlot ID\n"
                 "       kvIpmi raw psuSlot ID ModelNumber=M SerialNumber=S\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    size_t i = 0;
    bool raw = false;
    if (i < a.size() && (a[i] == "api" || a[i] == "raw")) {
        raw = a[i] == "raw";
        ++i;
    }
    if (i + 1 >= a.size() || a[i] != "psuSlot") return usage();
    std::string id = a[i + 1];
    i += 2;
    std::string modelField, serialField;
    for (; i < a.size(); ++i) {
        if (a[i].compare(0, 12, "ModelNumber=") == 0) {
            modelField = a[i].substr(12);
        } else if (a[i].compare(0, 13, "SerialNumber=") == 0) {
            serialField = a[i].substr(13);
        } else {
            return usage();
        }
    }
    if (raw && (modelField.empty() || serialField.empty())) return usage();

    std::vector<std::string> cmd = {"ipmi", id};
    if (raw) {
        cmd.push_back(modelField);
        cmd.push_back(serialField);
    }
    std::string out, err;
    int rc = Smbusd::runControl(Smbusd::defaultControlPath(), cmd, &out, &err);
    if (rc != 0) {
        std::fprintf(stderr, "kvIpmi: %s\n", err.c_str());
        return 1;
    }
    std::fputs(out.c_str(), stdout);
    return 0;
}
