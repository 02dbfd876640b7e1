#include "FuzzHost.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <vector>
#include <fstream>
#include <sstream>

#include "zl_api.h"

extern "C" {

void zl_trace(int, const char*, ...) {}

// Timers are handed out and armed, but a fuzz run never waits for one to expire.
uint32_t zl_timer_add(void (*)(void*), void*) {
    static uint32_t next = 0;
    return ++next;
}
int zl_timer_set(uint32_t, uint32_t) { return 0; }
void zl_timer_delete(uint32_t) {}

}  // extern "C"

namespace Fuzz {

std::string scratchDir(const char* name) {
    static std::vector<std::string> dirs;
    // In memory when the machine has /dev/shm: a simulation file rewritten on every input
    // would otherwise be flushed to disk each time it is truncated and closed.
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/zl-fuzz-" + name + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    if (dirs.empty())
        std::atexit([] {
            for (const auto& dir : dirs) {
                std::error_code ignored;
                std::filesystem::remove_all(dir, ignored);
            }
        });
    dirs.push_back(pattern);
    return pattern;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

}  // namespace Fuzz
