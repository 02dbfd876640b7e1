// The SMBus service's side of the wire: the input is the byte stream one client sends.
// Frames are cut, parsed, checked against the request limits and run on the OrvikS board
// as the service does; every answer must fit one frame.
#include <cstdlib>

#include "Board.h"
#include "FuzzHost.h"
#include "Limits.h"

namespace {

Smbusd::Board& board() {
    static Smbusd::Board* b = [] {
        auto* fresh = new Smbusd::Board;
        std::string err;
        if (!fresh->load(Fuzz::readFile(ZL_BOARD_TOPOLOGY), Fuzz::readFile(ZL_BOARD_STATE), &err)) std::abort();
        return fresh;
    }();
    return *b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Smbusd::Board& b = board();
    size_t at = 0;
    Smbus::TransactionRequest request;
    while (size - at >= 4) {
        const uint8_t* h = data + at;
        size_t len = size_t(h[0]) << 24 | size_t(h[1]) << 16 | size_t(h[2]) << 8 | h[3];
        if (len > Smbusd::kMaxFrameBytes || size - at - 4 < len) break;  // closed, or waits for more
        bool parsed = request.ParseFromArray(data + at + 4, int(len));
        at += 4 + len;
        if (!parsed) break;
        std::string err;
        if (!Smbusd::checkRequest(request, &err)) continue;
        Smbusd::BatchOutcome outcome = b.execute(request, 1, 0, nullptr);
        if (outcome.response.ByteSizeLong() > Smbusd::kMaxFrameBytes ||
            outcome.response.ByteSizeLong() > Smbusd::answerBound(request))
            std::abort();  // the limits let through an answer that cannot be sent
    }
    return 0;
}
