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

// The direct decoders take only what the usual frames hold and give up on anything else,
// leaving it to the general parser, whose verdict on odd encodings (overlong varints,
// values cut to 32 bits, huge lengths) is the reference. A varint of at most 9 bytes
// (63 bits) at p, before end; advances p.
constexpr int kMaxDirectVarintBits = 63;
// A length of at most 3 bytes (2 MiB, above the largest frame).
constexpr uint64_t kMaxDirectLength = (uint64_t(1) << 21) - 1;

bool readVarint(const uint8_t*& p, const uint8_t* end, uint64_t* value) {
    uint64_t v = 0;
    for (int shift = 0; shift < kMaxDirectVarintBits && p < end; shift += 7) {
        const uint8_t b = *p++;
        v |= uint64_t(b & 0x7F) << shift;
        if (!(b & 0x80)) {
            *value = v;
            return true;
        }
    }
    return false;
}

// A length-delimited field's bytes at p; advances p past them.
bool readLength(const uint8_t*& p, const uint8_t* end, const uint8_t** bytes, size_t* len) {
    uint64_t n = 0;
    const uint8_t* start = p;
    if (!readVarint(p, end, &n) || p - start > 3 || n > kMaxDirectLength || n > uint64_t(end - p)) return false;
    *bytes = p;
    *len = size_t(n);
    p += n;
    return true;
}

// Wire tags (field number << 3 | wire type) of the fields the direct decoder knows.
constexpr uint8_t kTagResponse = 1 << 3 | 2;  // TransactionResponse.response, length-delimited
constexpr uint8_t kTagError = 2 << 3 | 2;     // TransactionResponse.error, length-delimited
constexpr uint8_t kTagFailed = 3 << 3 | 0;    // TransactionResponse.failed, varint
constexpr uint8_t kTagData = 1 << 3 | 2;      // Response.data, length-delimited

// The direct decoder: false on anything it does not know (the general parser then decides).
bool decodeResponse(const uint8_t* p, const uint8_t* end, Smbus::TransactionResponse* out) {
    while (p < end) {
        const uint8_t tag = *p++;
        const uint8_t* bytes = nullptr;
        size_t len = 0;
        if (tag == kTagResponse) {
            if (!readLength(p, end, &bytes, &len)) return false;
            Smbus::Response* entry = out->add_response();
            const uint8_t* q = bytes;
            const uint8_t* qEnd = bytes + len;
            while (q < qEnd) {
                const uint8_t* data = nullptr;
                size_t dataLen = 0;
                if (*q++ != kTagData || !readLength(q, qEnd, &data, &dataLen)) return false;
                entry->mutable_data()->assign(reinterpret_cast<const char*>(data), dataLen);
            }
        } else if (tag == kTagError) {
            if (!readLength(p, end, &bytes, &len)) return false;
            out->mutable_error()->assign(reinterpret_cast<const char*>(bytes), len);
        } else if (tag == kTagFailed) {
            uint64_t v = 0;
            if (!readVarint(p, end, &v)) return false;
            out->set_failed(v != 0);
        } else {
            return false;
        }
    }
    return true;
}

// Request fields the direct decoder knows.
constexpr uint8_t kTagRequest = 1 << 3 | 2;     // TransactionRequest.request, length-delimited
constexpr uint8_t kTagRetries = 2 << 3 | 0;     // TransactionRequest.retries, varint
constexpr uint8_t kTagReqData = 1 << 3 | 2;     // Request.data
constexpr uint8_t kTagAddress = 2 << 3 | 0;     // Request.address
constexpr uint8_t kTagPci = 3 << 3 | 0;         // Request.pci
constexpr uint8_t kTagMastertype = 4 << 3 | 0;  // Request.mastertype
constexpr uint8_t kTagType = 5 << 3 | 0;        // Request.type
constexpr uint8_t kTagLength = 6 << 3 | 0;      // Request.length
constexpr uint8_t kTagPec = 10 << 3 | 0;        // Request.pec

bool decodeEntry(const uint8_t* p, const uint8_t* end, Smbus::Request* r) {
    while (p < end) {
        const uint8_t tag = *p++;
        if (tag == kTagReqData) {
            const uint8_t* bytes = nullptr;
            size_t len = 0;
            if (!readLength(p, end, &bytes, &len)) return false;
            r->mutable_data()->assign(reinterpret_cast<const char*>(bytes), len);
            continue;
        }
        uint64_t v = 0;
        if (!readVarint(p, end, &v)) return false;
        if (tag != kTagAddress && v > UINT32_MAX) return false;  // 32-bit fields: the general parser cuts
        switch (tag) {
            case kTagAddress: r->set_address(v); break;
            case kTagPci: r->set_pci(uint32_t(v)); break;
            case kTagLength: r->set_length(uint32_t(v)); break;
            case kTagPec: r->set_pec(v != 0); break;
            case kTagMastertype:  // a value no enumeration has is kept as an unknown field
                if (!Smbus::MasterType_IsValid(int(int32_t(v))) || int64_t(v) < 0) return false;
                r->set_mastertype(Smbus::MasterType(int32_t(v)));
                break;
            case kTagType:
                if (!Smbus::RequestType_IsValid(int(int32_t(v))) || int64_t(v) < 0) return false;
                r->set_type(Smbus::RequestType(int32_t(v)));
                break;
            default: return false;
        }
    }
    return true;
}

bool decodeRequest(const uint8_t* p, const uint8_t* end, Smbus::TransactionRequest* out) {
    while (p < end) {
        const uint8_t tag = *p++;
        if (tag == kTagRequest) {
            const uint8_t* bytes = nullptr;
            size_t len = 0;
            if (!readLength(p, end, &bytes, &len) || !decodeEntry(bytes, bytes + len, out->add_request())) {
                return false;
            }
        } else if (tag == kTagRetries) {
            uint64_t v = 0;
            if (!readVarint(p, end, &v) || v > UINT32_MAX) return false;
            out->set_retries(uint32_t(v));
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool parseRequest(const char* data, size_t size, Smbus::TransactionRequest* out) {
    const auto* p = reinterpret_cast<const uint8_t*>(data);
    out->Clear();
    if (decodeRequest(p, p + size, out)) return true;
    return out->ParseFromArray(data, int(size));
}

bool parseResponse(const char* data, size_t size, Smbus::TransactionResponse* out) {
    const auto* p = reinterpret_cast<const uint8_t*>(data);
    out->Clear();
    if (decodeResponse(p, p + size, out)) return true;
    return out->ParseFromArray(data, int(size));
}

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

namespace {

// A socket timeout of ms milliseconds; 0 would mean "wait forever" to the kernel, so the
// shortest wait it keeps stands in for it.
timeval socketTimeout(int64_t ms) {
    if (ms <= 0) return timeval{0, 1};
    return timeval{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
}

bool setSocketTimeout(int fd, int option, int64_t ms) {
    const timeval tv = socketTimeout(ms);
    return ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

}  // namespace

int ZLSocket::connectOnce() {
    close();
    // The settings are read once per connection, not per request.
    const std::string path = socketPath();
    timeoutMs_ = timeoutMs();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // Both directions wait at most the timeout. The send timeout also bounds connect(): a
    // service whose listen queue is full (it stopped accepting) refuses with EAGAIN once it
    // ran out, instead of blocking forever.
    if (!setSocketTimeout(fd, SO_SNDTIMEO, timeoutMs_) || !setSocketTimeout(fd, SO_RCVTIMEO, timeoutMs_)) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    const int64_t deadline = nowMs() + timeoutMs_;
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (rc < 0 && errno == EINTR && nowMs() < deadline);
    if (rc < 0) {
        int saved = errno == EAGAIN || errno == EINTR ? ETIMEDOUT : errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    fd_ = fd;
    lost_ = false;
    return 0;
}

int ZLSocket::setup() { return connectOnce() == 0 ? 0 : -1; }

bool ZLSocket::sendAll(const char* data, size_t size, int64_t deadline) {
    bool shortened = false;  // the send timeout was cut to the time left
    bool ok = true;
    while (size > 0) {
        ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                const int64_t left = deadline - nowMs();
                if (left <= 0 || errno != EINTR) {
                    if (left > 0) {
                        // The timeout ran out on one part of a larger frame: wait only
                        // what is left to the deadline for the rest.
                        shortened = setSocketTimeout(fd_, SO_SNDTIMEO, left);
                        if (shortened) continue;
                    }
                    errno = ETIMEDOUT;
                    ok = false;
                    break;
                }
                continue;
            }
            ok = false;
            break;
        }
        data += n;
        size -= size_t(n);
    }
    if (shortened && ok) setSocketTimeout(fd_, SO_SNDTIMEO, timeoutMs_);
    return ok;
}

bool ZLSocket::receiveFrame(int64_t deadline) {
    std::string& in = receiveBuf_;
    if (in.size() < kInitialReceive) in.resize(kInitialReceive);
    size_t have = 0;
    size_t want = 4;  // the length first, then the frame it announces
    bool shortened = false;
    bool ok = true;
    while (have < want) {
        ssize_t n = ::recv(fd_, &in[have], in.size() - have, 0);
        if (n > 0) {
            have += size_t(n);
            if (want == 4 && have >= 4) {
                const auto* h = reinterpret_cast<const unsigned char*>(in.data());
                const uint32_t len = uint32_t(h[0]) << 24 | uint32_t(h[1]) << 16 | uint32_t(h[2]) << 8 | h[3];
                if (len > kMaxFrame) {
                    errno = EPROTO;
                    ok = false;
                    break;
                }
                want = 4 + size_t(len);
                if (in.size() < want) in.resize(want);
            }
            if (have < want) {
                // The answer arrives in pieces: the rest may take only the time left.
                const int64_t left = deadline - nowMs();
                if (left <= 0 || !setSocketTimeout(fd_, SO_RCVTIMEO, left)) {
                    errno = ETIMEDOUT;
                    ok = false;
                    break;
                }
                shortened = true;
            }
            continue;
        }
        if (n == 0) {
            errno = ECONNRESET;
            ok = false;
            break;
        }
        if (errno == EINTR && nowMs() < deadline) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) errno = ETIMEDOUT;
        ok = false;
        break;
    }
    if (ok && have != want) {
        // One request, one answer: anything beyond it is no answer of ours.
        errno = EPROTO;
        ok = false;
    }
    if (shortened && ok) setSocketTimeout(fd_, SO_RCVTIMEO, timeoutMs_);
    received_ = want - 4;
    return ok;
}

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

    // The frame is built in one buffer (length, then message) and leaves in one send.
    std::string& buf = sendBuf_;
    const size_t size = request->ByteSizeLong();
    if (size > kMaxFrame) {
        errno = EMSGSIZE;
        return -1;
    }
    buf.resize(4 + size);
    auto* bytes = reinterpret_cast<uint8_t*>(&buf[0]);
    bytes[0] = uint8_t(size >> 24);
    bytes[1] = uint8_t(size >> 16);
    bytes[2] = uint8_t(size >> 8);
    bytes[3] = uint8_t(size);
    if (size) request->SerializeWithCachedSizesToArray(bytes + 4);

    auto fail = [this](int err) {
        close();
        lost_ = true;
        errno = err;
        return -1;
    };

    // A service that went away since the last batch shows as EPIPE on the write (a
    // Unix stream peer that closed refuses data at once): nothing was delivered, so
    // connect again, once, and send on the new connection.
    int64_t deadline = nowMs() + timeoutMs_;
    if (!sendAll(buf.data(), buf.size(), deadline)) {
        int err = errno;
        if (reconnected || (err != EPIPE && err != ECONNRESET && err != ENOTCONN)) return fail(err);
        if (connectOnce() != 0) return fail(errno == ETIMEDOUT ? ETIMEDOUT : EPIPE);
        deadline = nowMs() + timeoutMs_;
        if (!sendAll(buf.data(), buf.size(), deadline)) return fail(errno == ETIMEDOUT ? ETIMEDOUT : EPIPE);
    }

    // The whole answer must arrive within the timeout of sending.
    if (!receiveFrame(deadline)) {
        int err = errno;
        if (err != ETIMEDOUT && err != EPROTO) err = ECONNRESET;
        return fail(err);
    }
    Smbus::TransactionResponse* response = spare_ ? spare_.release() : new Smbus::TransactionResponse();
    if (!parseResponse(receiveBuf_.data() + 4, received_, response)) {
        recycle(response);
        return fail(EBADMSG);
    }
    *out = response;
    return 0;
}

void ZLSocket::recycle(Smbus::TransactionResponse* response) {
    if (response == nullptr) return;
    // Room for the entries of a large batch is not worth keeping: its memory goes back.
    if (response->response().Capacity() > kKeptEntries) {
        delete response;
        return;
    }
    spare_.reset(response);
}

}  // namespace Kavrin
