// zolta-smbusctl: runs one control command on a running zolta-smbusd and prints
// its output. Exit status 0 on success, 1 when the service refused the command,
// 2 when it could not be reached or the command line is wrong.
#include <cstdio>
#include <string>
#include <vector>

#include "Control.h"

int main(int argc, char** argv) {
    std::string path;
    std::vector<std::string> words;
    int i = 1;
    if (i + 1 < argc && std::string(argv[i]) == "--control") {
        path = argv[i + 1];
        i += 2;
    }
    for (; i < argc; ++i) words.emplace_back(argv[i]);
    if (words.empty()) {
        std::fprintf(stderr,
                     "usage: zolta-smbusctl [--control PATH] COMMAND...\n"
                     "  list | read DEVICE REG [COUNT] | write DEVICE REG BYTE... | prop DEVICE NAME [VALUE]\n"
                     "  props DEVICE | fault DEVICE|all nak|count|close|garbage|delay MS|off | log LEVEL\n"
                     "  ipmi ID [MODEL-PROPERTY SERIAL-PROPERTY] | ping\n");
        return 2;
    }
    if (path.empty()) path = Smbusd::defaultControlPath();
    std::string out, err;
    int rc = Smbusd::runControl(path, words, &out, &err);
    std::fputs(out.c_str(), stdout);
    if (rc != 0) std::fprintf(stderr, "zolta-smbusctl: %s\n", err.c_str());
    return rc;
}
