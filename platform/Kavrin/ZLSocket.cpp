// Client side of the SMBus service: one Unix stream socket, one length-prefixed
// protocol-buffer frame per message in each direction.
#include "Kavrin/ZLSocket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace Kavrin {

namespace {

constexpr const char* kDefaultSocketPath = "/run/zolta/smbus.sock";
constexpr int kDefaultTimeoutMs = 10000;

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is readable. deadline < 0 waits forever. false with errno set
// (ETIMEDOUT when the deadline passed).
bool waitReadable(int fd, int64_t deadline) {
    for (;;) {
        int wait = -1;
        if (deadline >= 0) {
            int64_t left = deadline - nowMs();
            if (left <= 0) {
                errno = ETIMEDOUT;
                return false;
            }
            wait = left > 0x7fffffff ? 0x7fffffff : int(left);
        }
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, wait);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) continue;  // the deadline check above decides
        if (p.revents & POLLNVAL) {
            errno = EBADF;
            return false;
        }
        return true;  // POLLIN, POLLHUP or POLLERR: the read reports which
    }
}

// Reads exactly len bytes. A closed peer gives ECONNRESET.
bool readAll(int fd, char* buf, size_t len, int64_t deadline) {
    size_t done = 0;
    while (done < len) {
        if (!waitReadable(fd, deadline)) return false;
        ssize_t n = ::read(fd, buf + done, len - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        if (n == 0) {
            errno = ECONNRESET;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

// Writes the iovecs completely. Sockets get MSG_NOSIGNAL so a closed peer is EPIPE,
// never SIGPIPE; other descriptors fall back to writev.
bool writeAllV(int fd, iovec* iov, int cnt) {
    bool isSocket = true;
    while (cnt > 0) {
        ssize_t n;
        if (isSocket) {
            msghdr msg{};
            msg.msg_iov = iov;
            msg.msg_iovlen = size_t(cnt);
            n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
            if (n < 0 && errno == ENOTSOCK) {
                isSocket = false;
                continue;
            }
        } else {
            n = ::writev(fd, iov, cnt);
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 1000);
                continue;
            }
            return false;
        }
        size_t left = size_t(n);
        while (cnt > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --cnt;
        }
        if (cnt > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return true;
}

// Per-thread buffers so a batch costs no allocation beyond the response object.
thread_local std::string tlsRequestBuf;
thread_local std::string tlsResponseBuf;

}  // namespace

bool writeFrame(int fd, const std::string& payload) {
    if (payload.size() > ZLSocket::kMaxFrame) {
        errno = EMSGSIZE;
        return false;
    }
    uint32_t len = uint32_t(payload.size());
    unsigned char header[4] = {static_cast<unsigned char>(len >> 24), static_cast<unsigned char>(len >> 16),
                               static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len)};
    iovec iov[2];
    iov[0].iov_base = header;
    iov[0].iov_len = sizeof header;
    iov[1].iov_base = const_cast<char*>(payload.data());
    iov[1].iov_len = payload.size();
    return writeAllV(fd, iov, payload.empty() ? 1 : 2);
}

bool readFrame(int fd, std::string* payload, int timeoutMs) {
    int64_t deadline = timeoutMs >= 0 ? nowMs() + timeoutMs : -1;
    unsigned char header[4];
    if (!readAll(fd, reinterpret_cast<char*>(header), sizeof header, deadline)) return false;
    uint32_t len = uint32_t(header[0]) << 24 | uint32_t(header[1]) << 16 | uint32_t(header[2]) << 8 | header[3];
    if (len > ZLSocket::kMaxFrame) {
        errno = EPROTO;
        return false;
    }
    payload->resize(len);
    if (len == 0) return true;
    return readAll(fd, &(*payload)[0], len, deadline);
}

ZLSocket::~ZLSocket() { close(); }

std::string ZLSocket::socketPath() {
    const char* env = std::getenv("ZOLTA_SMBUS_SOCKET");
    return env && *env ? std::string(env) : std::string(kDefaultSocketPath);
}

int ZLSocket::timeoutMs() {
    const char* env = std::getenv("ZOLTA_SMBUS_TIMEOUT_MS");
    if (!env || !*env) return kDefaultTimeoutMs;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(env, &end, 10);
    if (errno != 0 || end == env || v < 0 || v > 0x7fffffffL) return kDefaultTimeoutMs;
    return int(v);
}

void ZLSocket::close() {
    if (fd_ >= 0) {
        int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    fd_ = -1;
}

int ZLSocket::connectOnce() {
    close();
    std::string path = socketPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    fd_ = fd;
    lost_ = false;
    return 0;
}

int ZLSocket::setup() { return connectOnce() == 0 ? 0 : -1; }

int ZLSocket::sendRequestWait(Smbus::TransactionRequest* request, Smbus::TransactionResponse** out) {
    if (!request || !out) {
        errno = EINVAL;
        return -1;
    }
    *out = nullptr;

    bool reconnected = false;
    if (fd_ < 0 || lost_) {
        if (connectOnce() != 0) {
            lost_ = true;
            if (errno == 0) errno = ECONNRESET;
            return -1;
        }
        reconnected = true;
    }

    std::string& buf = tlsRequestBuf;
    size_t size = request->ByteSizeLong();
    if (size > kMaxFrame) {
        errno = EMSGSIZE;
        return -1;
    }
    buf.resize(size);
    if (size) request->SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t*>(&buf[0]));

    auto fail = [this](int err) {
        close();
        lost_ = true;
        errno = err;
        return -1;
    };

    // A service that went away since the last batch shows as EPIPE on the write (a
    // Unix stream peer that closed refuses data at once): nothing was delivered, so
    // connect again, once, and send on the new connection.
    if (!writeFrame(fd_, buf)) {
        int err = errno;
        if (reconnected || (err != EPIPE && err != ECONNRESET && err != ENOTCONN) || connectOnce() != 0 ||
            !writeFrame(fd_, buf)) {
            return fail(errno == EPIPE || errno == ECONNRESET ? errno : EPIPE);
        }
    }

    std::string& in = tlsResponseBuf;
    if (!readFrame(fd_, &in, timeoutMs())) {
        int err = errno;
        if (err != ETIMEDOUT && err != EPROTO) err = ECONNRESET;
        return fail(err);
    }
    auto* response = new Smbus::TransactionResponse();
    if (!response->ParseFromString(in)) {
        delete response;
        return fail(EBADMSG);
    }
    *out = response;
    return 0;
}

}  // namespace Kavrin
