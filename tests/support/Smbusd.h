// A private zolta-smbusd for a test, in its own temporary directory, driven through
// zolta-smbusctl and stopped with SIGTERM when the object goes; every transaction is in log().
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace TestSmbusd {

class Daemon {
  public:
    Daemon();   // creates the private directory
    ~Daemon();  // stops the daemon and removes the directory
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Starts it on these texts; waits (up to 10 s) until both sockets accept. false when
    // it exits or never becomes ready (log() tells why).
    bool start(const std::string& topology, const std::string& state = std::string(),
               const std::vector<std::string>& extraArgs = std::vector<std::string>());
    // Stops and starts again with the same texts on the same socket paths.
    bool restart();
    // SIGTERM, SIGKILL after 10 s; the exit status, -1 when not running or killed.
    int stop();

    bool running() const;
    pid_t pid() const { return pid_; }
    const std::string& dir() const { return dir_; }
    const std::string& socketPath() const { return socket_; }
    const std::string& controlPath() const { return control_; }
    const std::string& logPath() const { return log_; }
    std::string log() const;

    // Points ZOLTA_SMBUS_SOCKET and ZOLTA_SMBUS_CONTROL of this process at it.
    void exportEnvironment() const;

    // zolta-smbusctl WORDS... on it: the exit status (0 done, 1 refused, 2 unreachable).
    int control(const std::vector<std::string>& words, std::string* out = nullptr, std::string* err = nullptr) const;
    // The same, a test failure unless it succeeds; the output.
    std::string ctl(const std::vector<std::string>& words) const;

  private:
    bool launch();
    std::string dir_, socket_, control_, log_, topologyFile_, stateFile_;
    std::vector<std::string> extraArgs_;
    pid_t pid_ = -1;
};

// Directory of the built programs (zolta-smbusd, zolta-smbusctl, kvIpmi, zolta-host).
std::string binDir();
// Puts binDir() at the front of PATH (once), so tools are found by name.
void addBinDirToPath();
// Runs argv (no shell, argv[0] from PATH) and collects its output: the exit status, -1 when it
// could not start, died of a signal or ran over timeoutMs (then killed).
int runProgram(const std::vector<std::string>& argv, std::string* out, std::string* err, int timeoutMs = 30000);

// A client connected to the Unix socket at path; -1 when nobody listens there.
int rawConnect(const std::string& path);
// Whether the peer closed fd within ms (end of file, or a reset when data was left unread).
bool closedWithin(int fd, int ms);
int msSince(std::chrono::steady_clock::time_point t0);
// Bytes as "01 a2 ...".
std::string hex(const std::string& bytes);

}  // namespace TestSmbusd
