// zolta-smbusd: the SMBus service of the emulated board. Serves length-prefixed
// TransactionRequest frames on a Unix stream socket and the control line protocol
// on a second one, from one poll loop.
#include <algorithm>
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
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "Board.h"
#include "CommandLine.h"
#include "Control.h"
#include "Kavrin/ZLSocket.h"
#include "Limits.h"

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

// Creates the socket file with `mode` (the umask is set around bind, so the file never
// exists with wider access).
int listenOn(const std::string& path, mode_t mode, std::string* err) {
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
    mode_t oldMask = ::umask(0777 & ~mode);
    bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    int bindErrno = errno;
    ::umask(oldMask);
    errno = bindErrno;
    if (!bound || ::chmod(path.c_str(), mode) < 0 || ::listen(fd, 64) < 0) {
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
    // Limits: when the unfinished frame (or control line) began, when the answers
    // queued last moved; 0 when there is none.
    int64_t partialSince = 0;
    int64_t outSince = 0;
    size_t frameLen = 0;  // the length of the unfinished frame, once its header is in
};

// Appends the 4-byte length of a frame of n bytes and room for them; returns where they go.
char* appendFrameHead(std::string* out, size_t n) {
    const size_t at = out->size();
    out->resize(at + 4 + n);
    char* h = &(*out)[at];
    h[0] = char(n >> 24);
    h[1] = char(n >> 16);
    h[2] = char(n >> 8);
    h[3] = char(n);
    return h + 4;
}

void appendFrame(std::string* out, const std::string& payload) {
    if (!payload.empty()) std::memcpy(appendFrameHead(out, payload.size()), payload.data(), payload.size());
    else appendFrameHead(out, 0);
}

// Serialises the message straight into the output buffer, behind its length.
void appendFrame(std::string* out, const google::protobuf::MessageLite& message) {
    const size_t n = message.ByteSizeLong();
    char* body = appendFrameHead(out, n);
    if (n) message.SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t*>(body));
}

// The limits a server runs with (Limits.h gives the defaults).
struct ServerLimits {
    int stallMs = Smbusd::kDefaultStallMs;
    size_t maxClients = Smbusd::kMaxClients;
};

class Server {
  public:
    Server(Board& board, const ServerLimits& limits) : board_(board), limits_(limits) {}

    int run(int dataFd, int controlFd) {
        std::vector<pollfd> fds;
        while (!stop_) {
            fds.clear();
            int64_t now = nowMs();
            int timeout = -1;
            auto wakeAt = [&](int64_t due) {
                int64_t left = due - now;
                int t = left < 0 ? 0 : int(left > 60000 ? 60000 : left);
                if (timeout < 0 || t < timeout) timeout = t;
            };
            // Out of descriptors: leave the listening sockets alone for a while rather
            // than being woken for connections that cannot be accepted.
            short listenEv = now < acceptPausedUntil_ ? 0 : POLLIN;
            if (listenEv == 0) wakeAt(acceptPausedUntil_);
            fds.push_back({sigPipe[0], POLLIN, 0});
            fds.push_back({dataFd, listenEv, 0});
            fds.push_back({controlFd, listenEv, 0});
            for (const auto& c : conns_) {
                short ev = 0;
                // Stop reading from a client that does not read its answers.
                if (!c->busy && c->out.size() < Smbusd::kMaxClientOutput) ev |= POLLIN;
                if (!c->out.empty()) ev |= POLLOUT;
                fds.push_back({c->fd, ev, 0});
                if (c->busy) wakeAt(c->due);
                if (c->partialSince) wakeAt(c->partialSince + limits_.stallMs);
                if (c->outSince) wakeAt(c->outSince + limits_.stallMs);
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
                    c.out.size() < Smbusd::kMaxClientOutput) {
                    receive(c);
                }
                if (!c.dead && (re & POLLOUT)) {
                    flush(c);
                    // Frames held back while the answers queued up run now.
                    if (!c.dead && !c.busy && c.out.size() < Smbusd::kMaxClientOutput) {
                        process(c);
                        flush(c);
                    }
                }
                if (!c.dead) track(c);
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
                    if (!c.dead) track(c);
                }
                closeStalled(c, now);
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
            if (fd < 0) {
                if (errno == EINTR) continue;
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    if (nowMs() >= acceptPausedUntil_ + 1000) {
                        logLine(std::string("accept: ") + std::strerror(errno) + "; not accepting for 100 ms");
                    }
                    acceptPausedUntil_ = nowMs() + 100;
                }
                return;
            }
            // Over the client limit the connection is closed at once: the client sees
            // the service refuse it instead of waiting for an answer that never comes.
            if (conns_.size() >= limits_.maxClients) {
                ::close(fd);
                if (++refused_ == 1 || refused_ % 1000 == 0) {
                    logLine("client limit of " + std::to_string(limits_.maxClients) + " connections reached; refused " +
                            std::to_string(refused_) + " so far");
                }
                continue;
            }
            // Faults can be injected through the control socket: only the service's own
            // user (or root) may use it, whatever the socket file's mode says.
            if (control) {
                ucred cred{};
                socklen_t len = sizeof cred;
                if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0 ||
                    (cred.uid != 0 && cred.uid != ::geteuid())) {
                    logLine("control: refused a client of uid " + std::to_string(cred.uid) + " (pid " +
                            std::to_string(cred.pid) + ")");
                    ::close(fd);
                    continue;
                }
            }
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
                // Run what is complete before reading more: a client never has more
                // than one frame (or control line) and one read buffered.
                if (c.in.size() >= 4 + Smbusd::kMaxFrameBytes) break;
                // A read that did not fill the buffer took all there was: the next poll
                // reports what comes later (or the hang-up), so no read has to fail with
                // EAGAIN first.
                if (size_t(n) < sizeof buf) break;
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
        while (!c.dead && !c.busy && c.in.size() >= 4 && c.out.size() < Smbusd::kMaxClientOutput) {
            const unsigned char* h = reinterpret_cast<const unsigned char*>(c.in.data());
            uint32_t len = uint32_t(h[0]) << 24 | uint32_t(h[1]) << 16 | uint32_t(h[2]) << 8 | h[3];
            if (len > Smbusd::kMaxFrameBytes) {
                logLine("client " + std::to_string(c.id) + ": frame of " + std::to_string(len) +
                        " bytes is over the limit of " + std::to_string(Smbusd::kMaxFrameBytes) + " bytes; closing");
                c.dead = true;
                return;
            }
            if (c.in.size() < 4 + size_t(len)) {
                if (!admit(c, len)) c.dead = true;
                return;
            }
            c.frameLen = 0;
            c.partialSince = 0;
            // One request object serves every frame: parsing into it reuses the sub-messages
            // of earlier batches instead of allocating them again.
            Smbus::TransactionRequest& req = request_;
            bool parsed = Kavrin::parseRequest(c.in.data() + 4, len, &req);
            c.in.erase(0, 4 + size_t(len));
            if (!parsed) {
                logLine("client " + std::to_string(c.id) + ": malformed request; closing");
                c.dead = true;
                return;
            }
            std::string limitError;
            if (!Smbusd::checkRequest(req, &limitError)) {
                logLine("client " + std::to_string(c.id) + ": request refused: " + limitError);
                Smbus::TransactionResponse refusal;
                refusal.set_failed(true);
                refusal.set_error(limitError);
                appendFrame(&c.out, refusal);
                releaseRequest(len);
                continue;
            }
            std::string log;
            Smbusd::BatchOutcome& outcome = outcome_;
            board_.execute(req, c.id, board_.logLevel(), &log, &outcome);
            releaseRequest(len);
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
                    appendFrame(&c.out, std::string(8, '\xff'));
                    break;
                case FaultKind::Delay:
                    c.busy = true;
                    c.due = nowMs() + outcome.delayMs;
                    c.pending.clear();
                    appendFrame(&c.pending, outcome.response);
                    releaseOutcome();
                    return;
                default:
                    appendFrame(&c.out, outcome.response);
                    break;
            }
            releaseOutcome();
        }
    }

    void processControl(Conn& c) {
        while (!c.dead && c.out.size() < Smbusd::kMaxClientOutput) {
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
                c.outSince = 0;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            c.dead = true;
            return;
        }
    }

    // ---- limits: memory, stalled clients ----

    // Whether the service can buffer a frame of `len` bytes a client has begun: the bytes
    // of every client's unfinished frame and queued answers stay under kMaxBufferedBytes.
    bool admit(Conn& c, uint32_t len) {
        if (c.frameLen == len + 4) return true;
        size_t total = 0;
        for (const auto& o : conns_) {
            if (o.get() != &c) total += std::max(o->in.size(), o->frameLen) + o->out.size() + o->pending.size();
        }
        total += c.out.size() + c.pending.size();
        if (total + len + 4 > Smbusd::kMaxBufferedBytes) {
            logLine("client " + std::to_string(c.id) + ": frame of " + std::to_string(len) +
                    " bytes would pass the limit of " + std::to_string(Smbusd::kMaxBufferedBytes) +
                    " bytes buffered for all clients; closing");
            return false;
        }
        c.frameLen = len + 4;
        return true;
    }

    // The request object keeps what a batch parsed into it for the next one; after a
    // large batch that memory is given back.
    void releaseRequest(uint32_t frameLen) {
        if (frameLen > Smbusd::kKeptBufferBytes || request_.request_size() > 1024) {
            Smbus::TransactionRequest fresh;
            request_.Swap(&fresh);
        }
    }

    // The outcome keeps the entries of a batch for the next one; a large batch's are given back.
    void releaseOutcome() {
        if (outcome_.response.response_size() > 1024) {
            Smbus::TransactionResponse fresh;
            outcome_.response.Swap(&fresh);
        }
    }

    // After a round: note when an unfinished frame began and when answers started to
    // wait, and give back buffers that grew large and are empty again.
    void track(Conn& c) {
        int64_t now = nowMs();
        bool partial = !c.in.empty() && (c.control || c.in.size() < 4 || (c.frameLen && c.in.size() < c.frameLen));
        if (!partial) c.partialSince = 0;
        else if (!c.partialSince) c.partialSince = now;
        if (c.out.empty()) c.outSince = 0;
        else if (!c.outSince) c.outSince = now;
        if (c.in.empty() && c.in.capacity() > Smbusd::kKeptBufferBytes) std::string().swap(c.in);
        if (c.out.empty() && c.out.capacity() > Smbusd::kKeptBufferBytes) std::string().swap(c.out);
    }

    void closeStalled(Conn& c, int64_t now) {
        if (c.dead) return;
        const char* what = nullptr;
        if (c.partialSince && now - c.partialSince >= limits_.stallMs) {
            what = c.control ? "control line unfinished" : "frame unfinished";
        } else if (c.outSince && now - c.outSince >= limits_.stallMs) {
            what = "answers not taken";
        }
        if (!what) return;
        logLine("client " + std::to_string(c.id) + ": " + what + " for " + std::to_string(limits_.stallMs) +
                " ms; closing");
        c.dead = true;
    }

    Board& board_;
    ServerLimits limits_;
    Smbus::TransactionRequest request_;
    Smbusd::BatchOutcome outcome_;  // reused by every batch, as request_ is
    std::vector<std::unique_ptr<Conn>> conns_;
    int lastId_ = 0;
    bool stop_ = false;
    int64_t acceptPausedUntil_ = 0;
    uint64_t refused_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath, topologyPath, statePath, controlPath, logPath;
    int level = 0;
    ServerLimits limits;
    CLI::App app("Serves the emulated OrvikS board's SMBus on a Unix socket, and a control socket\n"
                 "that changes the board while it runs.",
                 "zolta-smbusd");
    Smbusd::addVersionFlag(app);
    app.add_option("--socket", socketPath, "service socket (default $ZOLTA_SMBUS_SOCKET, else /run/zolta/smbus.sock)")
        ->type_name("PATH");
    app.add_option("--topology", topologyPath, "the board's topology JSON")->type_name("FILE")->required();
    app.add_option("--state", statePath, "state file: chip models, registers, properties, bindings, faults")
        ->type_name("FILE");
    app.add_option("--control", controlPath, "control socket (default $ZOLTA_SMBUS_CONTROL, else the socket + .ctl)")
        ->type_name("PATH");
    app.add_option("-v,--verbose", level,
                   "1: one line per transaction and control command; 2: also connections (the last given wins)")
        ->type_name("LEVEL")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--log", logPath, "append the log to FILE instead of stderr")->type_name("FILE");
    app.add_option("--stall-ms", limits.stallMs, "close a client whose frame or answers stall this long (default 5000)")
        ->type_name("MS")
        ->check(CLI::Range(1, 3600000));
    app.add_option("--max-clients", limits.maxClients, "most clients at once (default 256)")
        ->type_name("N")
        ->check(CLI::Range(1, 3600000));
    app.footer("SIGTERM or SIGINT stops the service; it removes both sockets.\n"
               "Exit status: 0 stopped, 1 the board or a socket could not be set up, 2 usage error.");
    if (int rc = Smbusd::parseCommandLine(app, argc, argv); rc >= 0) return rc;
    if (socketPath.empty()) {
        const char* env = std::getenv("ZOLTA_SMBUS_SOCKET");
        socketPath = env && *env ? env : "/run/zolta/smbus.sock";
    }
    if (controlPath.empty()) {
        const char* env = std::getenv("ZOLTA_SMBUS_CONTROL");
        controlPath = env && *env ? std::string(env) : socketPath + ".ctl";
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

    // Each client takes a descriptor; keep some for the service itself.
    rlimit nofile{};
    if (::getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur != RLIM_INFINITY) {
        size_t usable = nofile.rlim_cur > 32 ? size_t(nofile.rlim_cur) - 32 : 1;
        if (limits.maxClients > usable) limits.maxClients = usable;
    }

    int controlFd = listenOn(controlPath, 0600, &err);
    if (controlFd < 0) {
        logLine("zolta-smbusd: " + err);
        return 1;
    }
    int dataFd = listenOn(socketPath, 0660, &err);
    if (dataFd < 0) {
        logLine("zolta-smbusd: " + err);
        ::close(controlFd);
        ::unlink(controlPath.c_str());
        return 1;
    }
    logLine("zolta-smbusd: serving " + socketPath + " (control " + controlPath + ")");

    Server server(board, limits);
    int rc = server.run(dataFd, controlFd);

    ::close(dataFd);
    ::close(controlFd);
    ::unlink(socketPath.c_str());
    ::unlink(controlPath.c_str());
    logLine("zolta-smbusd: stopped");
    if (logFile != stderr) std::fclose(logFile);
    return rc;
}
