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

#include "CommandLine.h"
#include "Control.h"

namespace {

constexpr const char* kUsage =
    "Usage: kvIpmi [api] psuSlot ID\n"
    "       kvIpmi raw psuSlot ID ModelNumber=M SerialNumber=S\n";

int usage() {
    std::fputs(kUsage, stderr);
    return Smbusd::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Answers PSU identification queries from the running emulated board (zolta-smbusd's\n"
                 "control socket): prints STATUS MODEL SERIAL, 1 for a present, identified PSU, else 0 - -.",
                 "kvIpmi");
    Smbusd::addVersionFlag(app);
    // The query's words are taken as they are, after --help / --version.
    app.prefix_command();
    Smbusd::setUsage(app, kUsage);
    app.footer("For raw, M and S name the FRU fields to print instead of the PSU's model and serial.\n"
               "The service is found through $ZOLTA_SMBUS_CONTROL or $ZOLTA_SMBUS_SOCKET.\n"
               "Exit status: 0 answered, 1 unknown bay or service unreachable, 2 usage error.");
    if (int rc = Smbusd::parseCommandLine(app, argc, argv); rc >= 0) return rc;
    const std::vector<std::string> a = app.remaining();
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
