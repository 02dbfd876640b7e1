// The SMBus service's control language: the input is what a control client sends, one
// command per line, run on a copy of the OrvikS board as the service loads it (the board is
// built once; each input starts from the same state). Every line is done or refused.
#include <cstdlib>
#include <memory>

#include "Board.h"
#include "Control.h"
#include "FuzzHost.h"

namespace {

const Smbusd::Board& loadedBoard() {
    static const Smbusd::Board board = [] {
        Smbusd::Board loaded;
        std::string err;
        if (!loaded.load(Fuzz::readFile(ZL_BOARD_TOPOLOGY), Fuzz::readFile(ZL_BOARD_STATE), &err)) std::abort();
        return loaded;
    }();
    return board;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Smbusd::Board board(loadedBoard());
    std::string err;
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
