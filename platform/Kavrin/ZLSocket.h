// Client side of the platform's SMBus service: a Unix stream socket carrying
// length-prefixed (4-byte big-endian) protocol-buffer frames of at most 1 MiB.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ZoltaUtil/Smbus.pb.h"

namespace Kavrin {

class ZLSocket {
  public:
    static constexpr uint32_t kMaxFrame = 1u << 20;

    ZLSocket() = default;
    ~ZLSocket();
    ZLSocket(const ZLSocket&) = delete;
    ZLSocket& operator=(const ZLSocket&) = delete;

    // Connects to the service (ZOLTA_SMBUS_SOCKET, default /run/zolta/smbus.sock), waiting
    // at most ZOLTA_SMBUS_TIMEOUT_MS; both settings are read here, once per connection.
    // 0 once connected, non-zero otherwise.
    int setup();

    // Sends one request and waits for its answer: the whole answer must arrive within
    // ZOLTA_SMBUS_TIMEOUT_MS (default 10000) of sending, and so must the send itself.
    // 0 with *out a new response the caller deletes; negative with errno set when the
    // connection is lost, the answer is malformed or late. A connection that was lost is
    // re-established once before sending. Never raises SIGPIPE.
    int sendRequestWait(Smbus::TransactionRequest* request, Smbus::TransactionResponse** out);

    // Takes back a response that sendRequestWait gave out and the caller is done with
    // (instead of deleting it): the next answer is parsed into it, reusing the entries and
    // strings it holds, so a batch of the same shape allocates nothing. Null is ignored.
    void recycle(Smbus::TransactionResponse* response);

    // Closes the descriptor (if open).
    void close();

    int fd() const { return fd_; }
    uint32_t fdWatcher() const { return fdWatcher_; }

    static std::string socketPath();
    static int timeoutMs();

  private:
    // What the first receive of an answer takes at most; larger answers grow the buffer.
    static constexpr size_t kInitialReceive = 64 * 1024;
    // A recycled response with room for more entries than this is freed instead of kept.
    static constexpr int kKeptEntries = 256;

    int connectOnce();
    // Sends all bytes; a send that blocks past the deadline fails with ETIMEDOUT.
    bool sendAll(const char* data, size_t size, int64_t deadline);
    // Receives one whole frame into the receive buffer by the deadline; its message size
    // goes to received_.
    bool receiveFrame(int64_t deadline);

    int fd_ = -1;
    int timeoutMs_ = 10000;
    // Kept across requests so that a batch costs no allocation: the outgoing frame, the
    // incoming bytes, and one response given back by recycle().
    std::string sendBuf_;
    std::string receiveBuf_;
    std::unique_ptr<Smbus::TransactionResponse> spare_;
    size_t received_ = 0;
    uint32_t fdWatcher_ = 0;
    bool lost_ = false;
};

// Parses the message of an answer frame into *out (cleared first). The usual answer (entries
// of data, an error text, the failed flag) is decoded directly; anything else goes to the
// general protocol-buffer parser, so the result is always the one it would give. false when
// the bytes are no well-formed TransactionResponse.
bool parseResponse(const char* data, size_t size, Smbus::TransactionResponse* out);

// The same for the message of a request frame, for the service side: the fields the library
// sets are decoded directly, anything else (the service's own fields, unknown ones, values no
// enumeration has) by the general parser.
bool parseRequest(const char* data, size_t size, Smbus::TransactionRequest* out);

// Frame helpers shared with the service side: write one length-prefixed frame / read one
// (false on a closed peer, an error, a timeout (timeoutMs >= 0) or a frame over kMaxFrame).
bool writeFrame(int fd, const std::string& payload);
bool readFrame(int fd, std::string* payload, int timeoutMs);

}  // namespace Kavrin
