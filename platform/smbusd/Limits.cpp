#include "Limits.h"

namespace Smbusd {

namespace {

// Data bytes one request can bring back. A read longer than kMaxReadLength fails
// before it reads anything.
size_t dataBound(const Smbus::Request& r) {
    switch (r.type()) {
        case Smbus::REQUEST_READ: {
            uint32_t address = uint32_t(r.address());  // the low word is the register
            if (r.length() == 0 && address == 0) return 1;  // receive byte
            return r.length() > kMaxReadLength ? 0 : r.length();
        }
        case Smbus::REQUEST_PROCESS_CALL: return 2;
        case Smbus::REQUEST_BLOCK_READ: return 255;
        default: return 0;
    }
}

size_t varintBytes(size_t v) {
    size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

}  // namespace

size_t answerBound(const Smbus::TransactionRequest& request) {
    size_t total = kAnswerReserve;
    for (const auto& r : request.request()) {
        size_t data = dataBound(r);
        size_t inner = 1 + varintBytes(data) + data;  // Response.data
        total += 1 + varintBytes(inner) + inner;      // TransactionResponse.response
    }
    return total;
}

bool checkRequest(const Smbus::TransactionRequest& request, std::string* err) {
    if (request.request_size() > kMaxRequestEntries) {
        *err = "request of " + std::to_string(request.request_size()) + " entries is over the limit of " +
               std::to_string(kMaxRequestEntries) + " entries per request";
        return false;
    }
    size_t bound = answerBound(request);
    if (bound > kMaxFrameBytes) {
        *err = "answer of up to " + std::to_string(bound) + " bytes would pass the frame limit of " +
               std::to_string(kMaxFrameBytes) + " bytes";
        return false;
    }
    return true;
}

}  // namespace Smbusd
