#include "Control.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace Smbusd {


bool splitWords(const std::string& line, std::vector<std::string>* words) {
    words->clear();
    std::string cur;
    bool inWord = false, quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            char n = line[++i];
            cur += n == 'n' ? '\n' : n == 't' ? '\t' : n;
            inWord = true;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (inWord) words->push_back(cur);
            cur.clear();
            inWord = false;
        } else {
            cur += c;
            inWord = true;
        }
    }
    if (quoted) return false;
    if (inWord) words->push_back(cur);
    return true;
}

std::string quoteWord(const std::string& word) {
    bool plain = !word.empty();
    for (char c : word) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '"' || c == '\\') plain = false;
    }
    if (plain) return word;
    std::string q = "\"";
    for (char c : word) {
        if (c == '"' || c == '\\') q += '\\', q += c;
        else if (c == '\n') q += "\\n";
        else if (c == '\t') q += "\\t";
        else q += c;
    }
    return q + "\"";
}

std::string defaultControlPath() {
    const char* ctl = std::getenv("ZOLTA_SMBUS_CONTROL");
    if (ctl && *ctl) return ctl;
    const char* sock = std::getenv("ZOLTA_SMBUS_SOCKET");
    return std::string(sock && *sock ? sock : "/run/zolta/smbus.sock") + ".ctl";
}

namespace {

int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

constexpr size_t kMaxAnswerLine = size_t(1) << 20;

// Reads one line (without its newline) from fd, buffering in *buf.
bool readLine(int fd, std::string* buf, std::string* line, int64_t deadline) {
    for (;;) {
        size_t nl = buf->find('\n');
        if (nl != std::string::npos) {
            *line = buf->substr(0, nl);
            buf->erase(0, nl + 1);
            return true;
        }
        int64_t left = deadline - monotonicMs();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, int(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        // An answer line is short; a service that sends megabytes without a newline is
        // not one to wait for.
        if (buf->size() > kMaxAnswerLine) return false;
        char chunk[4096];
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buf->append(chunk, size_t(got));
    }
}

}  // namespace

int runControl(const std::string& path, const std::vector<std::string>& words, std::string* out, std::string* err,
               int timeoutMs) {
    out->clear();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        *err = "control socket path too long: " + path;
        return 2;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = std::string("socket: ") + std::strerror(errno);
        return 2;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        *err = "cannot reach zolta-smbusd at " + path + ": " + std::strerror(errno);
        ::close(fd);
        return 2;
    }
    std::string line;
    for (size_t i = 0; i < words.size(); ++i) line += (i ? " " : "") + quoteWord(words[i]);
    line += '\n';
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *err = std::string("control socket: ") + std::strerror(errno);
            ::close(fd);
            return 2;
        }
        done += size_t(n);
    }
    int64_t deadline = monotonicMs() + timeoutMs;
    std::string buf, head;
    if (!readLine(fd, &buf, &head, deadline)) {
        *err = "no answer from zolta-smbusd at " + path;
        ::close(fd);
        return 2;
    }
    int rc = 0;
    if (head.compare(0, 4, "ERR ") == 0 || head == "ERR") {
        *err = head.size() > 4 ? head.substr(4) : "error";
        rc = 1;
    } else if (head.compare(0, 3, "OK ") == 0) {
        long n = std::strtol(head.c_str() + 3, nullptr, 10);
        for (long i = 0; i < n; ++i) {
            std::string l;
            if (!readLine(fd, &buf, &l, deadline)) {
                *err = "truncated answer from zolta-smbusd";
                rc = 2;
                break;
            }
            *out += l + "\n";
        }
    } else {
        *err = "unexpected answer from zolta-smbusd: " + head;
        rc = 2;
    }
    ::close(fd);
    return rc;
}

}  // namespace Smbusd
