#include "Smbusd.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace TestSmbusd {

namespace {

// Starts argv (looked up in PATH) with stdin from /dev/null and stdout/stderr on the
// given descriptors (-1: left as they are); -1 when fork fails.
pid_t spawn(const std::vector<std::string>& argv, int outFd, int errFd) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(::open("/dev/null", O_RDWR), 0);
        if (outFd >= 0) ::dup2(outFd, 1);
        if (errFd >= 0) ::dup2(errFd, 2);
        ::execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Waits up to ms for pid: its exit status, -1 for a signal, -2 while it still runs.
int waitFor(pid_t pid, int ms) {
    for (auto t0 = std::chrono::steady_clock::now();; ::usleep(5000)) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0 && errno != EINTR) return -1;
        if (msSince(t0) >= ms) return -2;
    }
}

// Waits up to ms, then kills; the exit status, or -1 when killed or signalled.
int finish(pid_t pid, int ms) {
    int rc = waitFor(pid, ms);
    if (rc != -2) return rc;
    ::kill(pid, SIGKILL);
    waitFor(pid, 5000);
    return -1;
}

bool canConnect(const std::string& path) {
    int fd = rawConnect(path);
    ::close(fd);
    return fd >= 0;
}

}  // namespace

int rawConnect(const std::string& path) {
    sockaddr_un addr{AF_UNIX, {}};
    if (path.size() >= sizeof addr.sun_path) return -1;
    std::strcpy(addr.sun_path, path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    ::close(fd);
    return -1;
}

bool closedWithin(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    char byte;
    return ::poll(&p, 1, ms) == 1 && ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

int msSince(std::chrono::steady_clock::time_point t0) {
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
}

std::string hex(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) out += (std::snprintf(buf, sizeof buf, " %02x", c), buf);
    return out.empty() ? out : out.substr(1);
}

std::string binDir() { return std::string(ZL_BUILD_DIR) + "/bin"; }

void addBinDirToPath() {
    static bool done = false;
    if (done) return;
    done = true;
    const char* path = std::getenv("PATH");
    ::setenv("PATH", (binDir() + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
}

int runProgram(const std::vector<std::string>& argv, std::string* out, std::string* err, int timeoutMs) {
    FILE* files[2] = {std::tmpfile(), std::tmpfile()};  // removed when closed
    pid_t pid = argv.empty() || !files[0] || !files[1] ? -1 : spawn(argv, fileno(files[0]), fileno(files[1]));
    int rc = pid > 0 ? finish(pid, timeoutMs) : -1;
    std::string* sinks[2] = {out, err};
    for (int i = 0; i < 2; ++i) {
        if (sinks[i]) sinks[i]->clear();
        if (!files[i]) continue;
        char buf[4096];
        std::rewind(files[i]);
        for (size_t n; sinks[i] && (n = std::fread(buf, 1, sizeof buf, files[i])) > 0;) sinks[i]->append(buf, n);
        std::fclose(files[i]);
    }
    return rc;
}

Daemon::Daemon() {
    char tmpl[] = "/tmp/zl-smbusd-XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    dir_ = d ? d : "/tmp";
    socket_ = dir_ + "/smbus.sock";
    control_ = dir_ + "/smbus.sock.ctl";
    log_ = dir_ + "/smbusd.log";
    topologyFile_ = dir_ + "/topology.json";
    stateFile_ = dir_ + "/state.json";
}

Daemon::~Daemon() {
    stop();
    std::error_code ec;
    if (dir_ != "/tmp") std::filesystem::remove_all(dir_, ec);
}

bool Daemon::start(const std::string& topology, const std::string& state, const std::vector<std::string>& extraArgs) {
    stop();
    std::ofstream(topologyFile_, std::ios::binary | std::ios::trunc) << topology;
    ::unlink(stateFile_.c_str());
    if (!state.empty()) std::ofstream(stateFile_, std::ios::binary | std::ios::trunc) << state;
    extraArgs_ = extraArgs;
    return launch();
}

bool Daemon::restart() {
    stop();
    return launch();
}

bool Daemon::launch() {
    std::vector<std::string> argv = {binDir() + "/zolta-smbusd", "--socket", socket_, "--control", control_,
                                     "--topology", topologyFile_, "-v", "1", "--log", log_};
    if (::access(stateFile_.c_str(), F_OK) == 0) argv.insert(argv.end(), {"--state", stateFile_});
    argv.insert(argv.end(), extraArgs_.begin(), extraArgs_.end());
    int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = spawn(argv, devnull, -1);
    ::close(devnull);
    for (auto t0 = std::chrono::steady_clock::now(); pid_ > 0 && msSince(t0) < 10000; ::usleep(10000)) {
        if (waitFor(pid_, 0) != -2) {
            pid_ = -1;  // exited: bad topology or state, or a busy socket
            return false;
        }
        if (canConnect(socket_) && canConnect(control_)) return true;
    }
    stop();
    return false;
}

int Daemon::stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int rc = finish(pid_, 10000);
    pid_ = -1;
    return rc;
}

bool Daemon::running() const {
    // Look without reaping: an exited daemon stays a zombie until stop() collects it.
    siginfo_t info{};
    return pid_ > 0 && ::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

std::string Daemon::log() const {
    std::ostringstream ss;
    ss << std::ifstream(log_).rdbuf();
    return ss.str();
}

void Daemon::exportEnvironment() const {
    ::setenv("ZOLTA_SMBUS_SOCKET", socket_.c_str(), 1);
    ::setenv("ZOLTA_SMBUS_CONTROL", control_.c_str(), 1);
}

int Daemon::control(const std::vector<std::string>& words, std::string* out, std::string* err) const {
    std::vector<std::string> argv = {binDir() + "/zolta-smbusctl", "--control", control_};
    argv.insert(argv.end(), words.begin(), words.end());
    return runProgram(argv, out, err);
}

std::string Daemon::ctl(const std::vector<std::string>& words) const {
    std::string out, err, line;
    for (const auto& w : words) line += " " + w;
    int rc = control(words, &out, &err);
    if (rc != 0) ADD_FAILURE() << "zolta-smbusctl" << line << " failed (" << rc << "): " << err;
    return out;
}

}  // namespace TestSmbusd
