#include "Smbusd.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool canConnect(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Waits for pid for up to ms milliseconds; the exit status, -1 for a signal,
// -2 when it is still running.
int waitFor(pid_t pid, int ms) {
    int64_t deadline = nowMs() + ms;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0 && errno != EINTR) return -1;
        if (nowMs() >= deadline) return -2;
        ::usleep(5000);
    }
}

}  // namespace

std::string binDir() { return std::string(ZL_BUILD_DIR) + "/bin"; }

void addBinDirToPath() {
    static bool done = false;
    if (done) return;
    done = true;
    const char* path = std::getenv("PATH");
    std::string v = binDir() + ":" + (path ? path : "/usr/bin:/bin");
    ::setenv("PATH", v.c_str(), 1);
}

int runProgram(const std::vector<std::string>& argv, std::string* out, std::string* err, int timeoutMs) {
    if (out) out->clear();
    if (err) err->clear();
    if (argv.empty()) return -1;
    int po[2], pe[2];
    if (::pipe2(po, O_CLOEXEC) < 0) return -1;
    if (::pipe2(pe, O_CLOEXEC) < 0) {
        ::close(po[0]);
        ::close(po[1]);
        return -1;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        ::dup2(po[1], 1);
        ::dup2(pe[1], 2);
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, 0);
        ::execvp(args[0], args.data());
        _exit(127);
    }
    ::close(po[1]);
    ::close(pe[1]);
    std::string* sinks[2] = {out, err};
    int fds[2] = {po[0], pe[0]};
    bool open[2] = {true, true};
    int64_t deadline = nowMs() + timeoutMs;
    bool timedOut = false;
    while (open[0] || open[1]) {
        pollfd p[2];
        int n = 0, map[2];
        for (int i = 0; i < 2; ++i) {
            if (open[i]) {
                p[n] = {fds[i], POLLIN, 0};
                map[n++] = i;
            }
        }
        int64_t left = deadline - nowMs();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        int r = ::poll(p, nfds_t(n), int(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        for (int k = 0; k < n; ++k) {
            if (!p[k].revents) continue;
            char buf[4096];
            ssize_t got = ::read(p[k].fd, buf, sizeof buf);
            if (got > 0) {
                if (sinks[map[k]]) sinks[map[k]]->append(buf, size_t(got));
            } else if (got == 0 || errno != EINTR) {
                open[map[k]] = false;
            }
        }
    }
    ::close(po[0]);
    ::close(pe[0]);
    if (timedOut) {
        ::kill(pid, SIGKILL);
        waitFor(pid, 5000);
        return -1;
    }
    int rc = waitFor(pid, timeoutMs);
    if (rc == -2) {
        ::kill(pid, SIGKILL);
        waitFor(pid, 5000);
        return -1;
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
    if (dir_ != "/tmp") {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

bool Daemon::start(const std::string& topology, const std::string& state, const std::vector<std::string>& extraArgs) {
    stop();
    writeFile(topologyFile_, topology);
    if (state.empty()) {
        ::unlink(stateFile_.c_str());
    } else {
        writeFile(stateFile_, state);
    }
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
    if (::access(stateFile_.c_str(), F_OK) == 0) {
        argv.push_back("--state");
        argv.push_back(stateFile_);
    }
    for (const auto& a : extraArgs_) argv.push_back(a);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, 0);
            ::dup2(devnull, 1);
        }
        ::execv(args[0], args.data());
        _exit(127);
    }
    pid_ = pid;
    int64_t deadline = nowMs() + 10000;
    while (nowMs() < deadline) {
        int rc = waitFor(pid_, 0);
        if (rc != -2) {
            pid_ = -1;  // exited: bad topology or state, or a busy socket
            return false;
        }
        if (canConnect(socket_) && canConnect(control_)) return true;
        ::usleep(10000);
    }
    stop();
    return false;
}

int Daemon::stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int rc = waitFor(pid_, 10000);
    if (rc == -2) {
        ::kill(pid_, SIGKILL);
        waitFor(pid_, 5000);
        rc = -1;
    }
    pid_ = -1;
    return rc;
}

bool Daemon::running() const {
    if (pid_ <= 0) return false;
    // Look without reaping: an exited daemon stays a zombie until stop() collects it.
    siginfo_t info{};
    if (::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return info.si_pid == 0;
}

std::string Daemon::log() const {
    std::ifstream in(log_);
    std::ostringstream ss;
    ss << in.rdbuf();
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
