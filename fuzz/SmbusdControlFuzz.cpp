// The SMBus service's control language: the input is what a control client sends, one
// command per line, run on a fresh OrvikS board. Every line is done or refused.
#include <cstdlib>
#include <memory>

#include "Board.h"
#include "Control.h"
#include "FuzzHost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string topology = Fuzz::readFile(ZL_BOARD_TOPOLOGY);
    static const std::string state = Fuzz::readFile(ZL_BOARD_STATE);
    Smbusd::Board board;
    std::string err;
    if (!board.load(topology, state, &err)) std::abort();
    const std::string text = Fuzz::text(data, size);
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::vector<std::string> words;
        std::string out;
        err.clear();
        if (Smbusd::splitWords(text.substr(start, nl - start), &words) && !words.empty())
            board.control(words, &out, &err);
        start = nl + 1;
    }
    return 0;
}
