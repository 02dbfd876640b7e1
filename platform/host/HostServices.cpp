#include "HostServices.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <mutex>
#include <thread>

#include "Timers.h"
#include "zl_api.h"

namespace Host {

namespace {

using Clock = TimerService::Clock;

int shownLevel = 0;

// The running capture's lines; the library may trace from its own threads.
std::mutex captureMutex;
bool capturing = false;
std::atomic<int> keptLevel{0};  // traces up to this level are kept (level 0 always)
std::vector<std::string> captured;

// Called from zl_trace: nothing may escape it, so a line that can't be kept is dropped.
void keep(const char* line) noexcept {
    try {
        std::lock_guard<std::mutex> lock(captureMutex);
        if (capturing && captured.size() < TraceCapture::kMaxLines) captured.emplace_back(line);
    } catch (...) {
    }
}

TimerService& timers() {
    static TimerService service;
    return service;
}

}  // namespace

void setTraceLevel(int level) { shownLevel = level; }
int traceLevel() { return shownLevel; }

TraceCapture::TraceCapture(int level) {
    std::lock_guard<std::mutex> lock(captureMutex);
    captured.clear();
    capturing = true;
    keptLevel = level;
}

TraceCapture::~TraceCapture() {
    std::lock_guard<std::mutex> lock(captureMutex);
    capturing = false;
    keptLevel = 0;
    captured.clear();
}

std::vector<std::string> TraceCapture::lines() const {
    std::lock_guard<std::mutex> lock(captureMutex);
    return captured;
}

size_t armedTimerCount() { return timers().armedCount(); }

int runTimers(long milliseconds, const volatile std::sig_atomic_t* stop) {
    const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
    int ran = 0;
    while (!(stop && *stop)) {
        ran += timers().runDue(Clock::now());
        auto now = Clock::now();
        if (now >= end) break;
        Clock::time_point next = end;
        if (!timers().nextDue(&next) || next > end) next = end;
        // Wake at least every 100 ms to notice a stop request.
        auto wait = std::min<Clock::duration>(next - now, std::chrono::milliseconds(100));
        if (wait > Clock::duration::zero()) std::this_thread::sleep_for(wait);
    }
    return ran;
}

}  // namespace Host

extern "C" {

void zl_trace(int level, const char* format, ...) {
    bool shown = level <= Host::shownLevel;
    bool kept = level <= Host::keptLevel;
    if (format == nullptr || (!shown && !kept)) return;
    char buffer[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    size_t n = std::strlen(buffer);
    while (n > 0 && buffer[n - 1] == '\n') buffer[--n] = '\0';
    if (kept) Host::keep(buffer);
    if (shown) std::fprintf(stderr, "zl[%d] %s\n", level, buffer);
}

uint32_t zl_timer_add(void (*callback)(void* context), void* context) { return Host::timers().add(callback, context); }

int zl_timer_set(uint32_t timer, uint32_t milliseconds) {
    return Host::timers().set(timer, milliseconds, Host::Clock::now());
}

void zl_timer_delete(uint32_t timer) { Host::timers().remove(timer); }

void zl_fd_watcher_delete(uint32_t watcher) {
    // The host watches no descriptors for the library; nothing to release.
    (void)watcher;
}

}  // extern "C"
