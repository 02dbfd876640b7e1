// The host's board files: any text is read into a board or refused with a problem.
#include "BoardFile.h"
#include "FuzzHost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Host::Board board;
    std::vector<Host::BoardProblem> problems;
    if (!Host::parseBoard(Fuzz::text(data, size), "fuzz/board.json", &board, &problems) && problems.empty())
        __builtin_trap();  // a refused file always says why
    for (const auto& device : board.devices) board.find(device.kind, device.name);
    return 0;
}
