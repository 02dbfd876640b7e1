// zolta-smbusctl: runs one control command on a running zolta-smbusd and prints
// its output. Exit status 0 on success, 1 when the service refused the command,
// 2 when it could not be reached or the command line is wrong.
#include <cstdio>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Control.h"

int main(int argc, char** argv) {
    std::string path;
    CLI::App app("Runs one control command on a running zolta-smbusd and prints its output.", "zolta-smbusctl");
    Smbusd::addVersionFlag(app);
    app.add_option("--control", path, "control socket (default $ZOLTA_SMBUS_CONTROL, else $ZOLTA_SMBUS_SOCKET + .ctl)")
        ->type_name("PATH");
    // The first word that is no option starts the command: its words go to the service as
    // they are, whatever they look like (log -1).
    app.prefix_command();
    Smbusd::setUsage(app, "Usage: zolta-smbusctl [--control PATH] COMMAND [ARG...]\n");
    app.footer("COMMAND is one of\n"
               "  list | ping | props DEVICE | show DEVICE | log LEVEL\n"
               "  read DEVICE REG [COUNT] | write DEVICE REG BYTE...\n"
               "  prop DEVICE NAME [VALUE]\n"
               "  fault DEVICE|all nak|count|close|garbage|delay MS|off\n"
               "  ipmi ID [MODEL-PROPERTY SERIAL-PROPERTY]\n"
               "DEVICE is a topology label or did:N.\n"
               "Exit status: 0 done, 1 the service refused the command, 2 service unreachable or usage error.");
    if (int rc = Smbusd::parseCommandLine(app, argc, argv); rc >= 0) return rc;
    std::vector<std::string> words = app.remaining();
    if (words.empty()) {
        std::fprintf(stderr, "zolta-smbusctl: no command given\n%s", app.help().c_str());
        return Smbusd::kExitUsage;
    }
    if (path.empty()) path = Smbusd::defaultControlPath();
    std::string out, err;
    int rc = Smbusd::runControl(path, words, &out, &err);
    std::fputs(out.c_str(), stdout);
    if (rc != 0) std::fprintf(stderr, "zolta-smbusctl: %s\n", err.c_str());
    return rc;
}
