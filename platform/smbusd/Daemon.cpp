// zolta-smbusd: the SMBus service of the emulated board. Serves length-prefixed
// TransactionRequest frames on a Unix stream socket and the control line protocol
// on a second one, from one poll loop.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "Board.h"
#include "Control.h"
#include "Kavrin/ZLSocket.h"

namespace {

using Smbusd::Board;
using Smbusd::FaultKind;

int sigPipe[2] = {-1, -1};

void onSignal(int) {
    int saved = errno;
    char c = 1;
    ssize_t ignored = ::write(sigPipe[1], &c, 1);
    (void)ignored;
    errno = saved;
}

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

FILE* logFile = stderr;

void logLine(const std::string& text) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    gmtime_r(&ts.tv_sec, &t);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03ld ", t.tm_hour, t.tm_min, t.tm_sec, ts.tv_nsec / 1000000);
    std::fputs(stamp, logFile);
    std::fputs(text.c_str(), logFile);
    if (text.empty() || text.back() != '\n') std::fputc('\n', logFile);
    std::fflush(logFile);
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

int listenOn(const std::string& path, std::string* err) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        *err = "socket path too long or empty: '" + path + "'";
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *err = path + " exists and is not a socket";
            return -1;
        }
        int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool live = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0) ::close(probe);
        if (live) {
            *err = path + " is in use by another service";
            return -1;
        }
        ::unlink(path.c_str());  // stale socket of a service that died
    } else {
        // Create the parent directory when it is missing (e.g. /run/zolta).
        size_t slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0) ::mkdir(path.substr(0, slash).c_str(), 0755);
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || ::listen(fd, 64) < 0) {
        *err = "cannot listen on " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return -1;
    }
    setNonBlocking(fd);
    return fd;
}

bool readFile(const std::string& path, std::string* text, std::string* err) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *err = "cannot read " + path;
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    *text = ss.str();
    return true;
}

struct Conn {
    int fd = -1;
    int id = 0;
    bool control = false;
    std::string in;
    std::string out;
    bool busy = false;  // an answer is held back by a delay fault
    int64_t due = 0;
    std::string pending;
    bool dead = false;
};

std::string frame(const std::string& payload) {
    uint32_t n = uint32_t(payload.size());
    std::string f;
    f.reserve(4 + payload.size());
    f += char(n >> 24);
    f += char(n >> 16);
    f += char(n >> 8);
    f += char(n);
    f += payload;
    return f;
}

class Server {
  public:
    Server(Board& board) : board_(board) {}

    int run(int dataFd, int controlFd) {
        std::vector<pollfd> fds;
        while (!stop_) {
            fds.clear();
            fds.push_back({sigPipe[0], POLLIN, 0});
            fds.push_back({dataFd, POLLIN, 0});
            fds.push_back({controlFd, POLLIN, 0});
            int64_t now = nowMs();
            int timeout = -1;
            for (const auto& c : conns_) {
                short ev = 0;
                // Stop reading from a client that does not read its answers.
                if (!c->busy && c->out.size() < 4 * Kavrin::ZLSocket::kMaxFrame) ev |= POLLIN;
                if (!c->out.empty()) ev |= POLLOUT;
                fds.push_back({c->fd, ev, 0});
                if (c->busy) {
                    int64_t left = c->due - now;
                    int t = left < 0 ? 0 : int(left > 60000 ? 60000 : left);
                    if (timeout < 0 || t < timeout) timeout = t;
                }
            }
            int n = ::poll(fds.data(), fds.size(), timeout);
            if (n < 0) {
                if (errno == EINTR) continue;
                logLine(std::string("poll: ") + std::strerror(errno));
                return 1;
            }
            if (fds[0].revents) {
                stop_ = true;
                break;
            }
            size_t count = conns_.size();  // accepted connections join the next round
            if (fds[1].revents & POLLIN) accept(dataFd, false);
            if (fds[2].revents & POLLIN) accept(controlFd, true);
            for (size_t i = 0; i < count; ++i) {
                Conn& c = *conns_[i];
                short re = fds[3 + i].revents;
                if (re & POLLNVAL) c.dead = true;
                // A client that went away while its answer is held back: drop it now
                // instead of being woken for its hang-up until the answer is due.
                if (c.busy && (re & (POLLHUP | POLLERR))) c.dead = true;
                if (!c.dead && (re & (POLLIN | POLLHUP | POLLERR)) && !c.busy &&
                    c.out.size() < 4 * Kavrin::ZLSocket::kMaxFrame) {
                    receive(c);
                }
                if (!c.dead && (re & POLLOUT)) flush(c);
            }
            now = nowMs();
            for (auto& cp : conns_) {
                Conn& c = *cp;
                if (!c.dead && c.busy && c.due <= now) {
                    c.busy = false;
                    c.out += c.pending;
                    c.pending.clear();
                    process(c);
                    flush(c);
                }
            }
            for (size_t i = 0; i < conns_.size();) {
                if (conns_[i]->dead) {
                    if (board_.logLevel() >= 2) logLine("client " + std::to_string(conns_[i]->id) + " closed");
                    ::close(conns_[i]->fd);
                    conns_.erase(conns_.begin() + long(i));
                } else {
                    ++i;
                }
            }
        }
        for (auto& c : conns_) ::close(c->fd);
        conns_.clear();
        return 0;
    }

  private:
    void accept(int listenFd, bool control) {
        for (;;) {
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;
            auto c = std::make_unique<Conn>();
            c->fd = fd;
            c->id = ++lastId_;
            c->control = control;
            if (board_.logLevel() >= 2) {
                logLine(std::string(control ? "control " : "") + "client " + std::to_string(c->id) + " connected");
            }
            conns_.push_back(std::move(c));
        }
    }

    void receive(Conn& c) {
        char buf[65536];
        bool eof = false;
        for (;;) {
            ssize_t n = ::read(c.fd, buf, sizeof buf);
            if (n > 0) {
                c.in.append(buf, size_t(n));
                if (c.in.size() > 8 * Kavrin::ZLSocket::kMaxFrame) break;  // process before reading more
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            eof = true;  // closed by the peer (or failed)
            break;
        }
        // Requests that arrived before a half-close are still answered.
        process(c);
        if (!c.dead) flush(c);
        if (eof) c.dead = true;
    }

    void process(Conn& c) {
        if (c.control) {
            processControl(c);
            return;
        }
        while (!c.dead && !c.busy && c.in.size() >= 4) {
            const unsigned char* h = reinterpret_cast<const unsigned char*>(c.in.data());
            uint32_t len = uint32_t(h[0]) << 24 | uint32_t(h[1]) << 16 | uint32_t(h[2]) << 8 | h[3];
            if (len > Kavrin::ZLSocket::kMaxFrame) {
                logLine("client " + std::to_string(c.id) + ": frame of " + std::to_string(len) +
                        " bytes is over the limit; closing");
                c.dead = true;
                return;
            }
            if (c.in.size() < 4 + size_t(len)) return;
            // One request object serves every frame: parsing into it reuses the sub-messages
            // of earlier batches instead of allocating them again.
            Smbus::TransactionRequest& req = request_;
            bool parsed = req.ParseFromArray(c.in.data() + 4, int(len));
            c.in.erase(0, 4 + size_t(len));
            if (!parsed) {
                logLine("client " + std::to_string(c.id) + ": malformed request; closing");
                c.dead = true;
                return;
            }
            std::string log;
            Smbusd::BatchOutcome outcome = board_.execute(req, c.id, board_.logLevel(), &log);
            if (!log.empty()) logLine(log);
            if (outcome.response.failed() && board_.logLevel() >= 1) {
                logLine("client " + std::to_string(c.id) + ": batch failed: " + outcome.response.error());
            }
            switch (outcome.action) {
                case FaultKind::Close:
                    if (board_.logLevel() >= 1) logLine("client " + std::to_string(c.id) + ": closing (injected fault)");
                    c.dead = true;
                    return;
                case FaultKind::Garbage:
                    // A frame whose bytes are no valid message: an unterminated varint tag.
                    c.out += frame(std::string(8, '\xff'));
                    break;
                case FaultKind::Delay:
                    c.busy = true;
                    c.due = nowMs() + outcome.delayMs;
                    c.pending = frame(outcome.response.SerializeAsString());
                    return;
                default:
                    c.out += frame(outcome.response.SerializeAsString());
                    break;
            }
        }
    }

    void processControl(Conn& c) {
        for (;;) {
            size_t nl = c.in.find('\n');
            if (nl == std::string::npos) {
                if (c.in.size() > 65536) c.dead = true;  // no sane command is that long
                return;
            }
            std::string line = c.in.substr(0, nl);
            c.in.erase(0, nl + 1);
            std::vector<std::string> words;
            std::string out, err;
            bool ok;
            if (!Smbusd::splitWords(line, &words)) {
                ok = false;
                err = "unterminated quote";
            } else if (words.empty()) {
                continue;
            } else {
                ok = board_.control(words, &out, &err);
            }
            if (board_.logLevel() >= 1) logLine("control: " + line + (ok ? " -> ok" : " -> " + err));
            if (ok) {
                size_t lines = 0;
                for (char ch : out) lines += ch == '\n';
                c.out += "OK " + std::to_string(lines) + "\n" + out;
            } else {
                for (auto& ch : err) {
                    if (ch == '\n') ch = ' ';
                }
                c.out += "ERR " + err + "\n";
            }
        }
    }

    void flush(Conn& c) {
        while (!c.out.empty()) {
            ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
            if (n > 0) {
                c.out.erase(0, size_t(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            c.dead = true;
            return;
        }
    }

    Board& board_;
    Smbus::TransactionRequest request_;
    std::vector<std::unique_ptr<Conn>> conns_;
    int lastId_ = 0;
    bool stop_ = false;
};

void usage() {
    std::fprintf(stderr,
                 "usage: zolta-smbusd --socket PATH --topology FILE [--state FILE] [--control PATH] [-v LEVEL] "
                 "[--log FILE]\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath, topologyPath, statePath, controlPath, logPath;
    int level = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        bool ok = true;
        if (a == "--socket") ok = value(&socketPath);
        else if (a == "--topology") ok = value(&topologyPath);
        else if (a == "--state") ok = value(&statePath);
        else if (a == "--control") ok = value(&controlPath);
        else if (a == "--log") ok = value(&logPath);
        else if (a == "-v" || a == "--verbose") {
            ok = value(&v);
            level = ok ? std::atoi(v.c_str()) : 0;
        } else if (a == "-h" || a == "--help") {
            usage();
            return 0;
        } else {
            ok = false;
        }
        if (!ok) {
            usage();
            return 2;
        }
    }
    if (socketPath.empty()) {
        const char* env = std::getenv("ZOLTA_SMBUS_SOCKET");
        socketPath = env && *env ? env : "/run/zolta/smbus.sock";
    }
    if (controlPath.empty()) {
        const char* env = std::getenv("ZOLTA_SMBUS_CONTROL");
        controlPath = env && *env ? std::string(env) : socketPath + ".ctl";
    }
    if (topologyPath.empty()) {
        usage();
        return 2;
    }
    if (!logPath.empty()) {
        FILE* f = std::fopen(logPath.c_str(), "a");
        if (!f) {
            std::fprintf(stderr, "zolta-smbusd: cannot open log %s: %s\n", logPath.c_str(), std::strerror(errno));
            return 1;
        }
        logFile = f;
    }

    std::string topology, state, err;
    if (!readFile(topologyPath, &topology, &err) || (!statePath.empty() && !readFile(statePath, &state, &err))) {
        logLine("zolta-smbusd: " + err);
        return 1;
    }
    Board board;
    board.setLogLevel(level);
    if (!board.load(topology, state, &err)) {
        logLine("zolta-smbusd: " + err);
        return 1;
    }
    for (const auto& w : board.warnings()) logLine("zolta-smbusd: warning: " + w);

    if (::pipe2(sigPipe, O_CLOEXEC | O_NONBLOCK) < 0) return 1;
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    int controlFd = listenOn(controlPath, &err);
    if (controlFd < 0) {
        logLine("zolta-smbusd: " + err);
        return 1;
    }
    int dataFd = listenOn(socketPath, &err);
    if (dataFd < 0) {
        logLine("zolta-smbusd: " + err);
        ::close(controlFd);
        ::unlink(controlPath.c_str());
        return 1;
    }
    logLine("zolta-smbusd: serving " + socketPath + " (control " + controlPath + ")");

    Server server(board);
    int rc = server.run(dataFd, controlFd);

    ::close(dataFd);
    ::close(controlFd);
    ::unlink(socketPath.c_str());
    ::unlink(controlPath.c_str());
    logLine("zolta-smbusd: stopped");
    if (logFile != stderr) std::fclose(logFile);
    return rc;
}
