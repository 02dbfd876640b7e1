#include "HostServices.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

#include "zl_api.h"

namespace Host {

namespace {

using Clock = std::chrono::steady_clock;

int level_ = 0;

struct Timer {
    void (*callback)(void*) = nullptr;
    void* context = nullptr;
    bool armed = false;
    Clock::time_point due;
};

std::map<uint32_t, Timer>& timers() {
    static std::map<uint32_t, Timer> all;
    return all;
}

uint32_t nextTimer = 1;

}  // namespace

void setTraceLevel(int level) { level_ = level; }
int traceLevel() { return level_; }

size_t armedTimerCount() {
    size_t n = 0;
    for (const auto& entry : timers()) n += entry.second.armed;
    return n;
}

int runTimers(long milliseconds, const volatile std::sig_atomic_t* stop) {
    const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
    int ran = 0;
    while (!(stop && *stop)) {
        auto now = Clock::now();
        // The earliest armed timer that is due.
        uint32_t dueId = 0;
        Clock::time_point dueAt = end;
        for (const auto& [id, timer] : timers()) {
            if (timer.armed && timer.due <= dueAt) {
                dueAt = timer.due;
                dueId = id;
            }
        }
        if (dueId != 0 && dueAt <= now) {
            Timer& timer = timers()[dueId];
            timer.armed = false;  // one expiry per arming; the callback may arm it again
            auto callback = timer.callback;
            void* context = timer.context;
            callback(context);
            ++ran;
            continue;
        }
        if (now >= end) break;
        auto wait = std::min<Clock::duration>(dueAt - now, std::chrono::milliseconds(100));
        std::this_thread::sleep_for(wait);
    }
    return ran;
}

}  // namespace Host

extern "C" {

void zl_trace(int level, const char* format, ...) {
    if (level > Host::level_ || format == nullptr) return;
    char buffer[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    size_t n = std::strlen(buffer);
    while (n > 0 && buffer[n - 1] == '\n') buffer[--n] = '\0';
    std::fprintf(stderr, "zl[%d] %s\n", level, buffer);
}

uint32_t zl_timer_add(void (*callback)(void* context), void* context) {
    if (callback == nullptr) return 0;
    uint32_t id = Host::nextTimer++;
    if (id == 0) id = Host::nextTimer++;
    Host::Timer timer;
    timer.callback = callback;
    timer.context = context;
    Host::timers()[id] = timer;
    return id;
}

int zl_timer_set(uint32_t timer, uint32_t milliseconds) {
    auto it = Host::timers().find(timer);
    if (it == Host::timers().end()) return -1;
    it->second.armed = true;
    it->second.due = Host::Clock::now() + std::chrono::milliseconds(milliseconds);
    return 0;
}

void zl_timer_delete(uint32_t timer) { Host::timers().erase(timer); }

void zl_fd_watcher_delete(uint32_t watcher) {
    // The host watches no descriptors for the library; nothing to release.
    (void)watcher;
}

}  // extern "C"
