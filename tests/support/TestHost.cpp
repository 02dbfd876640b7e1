#include "TestHost.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace TestHost {

namespace {
uint32_t nextTimer = 1;
bool timerAddFails = false;
bool timerSetFails = false;
}  // namespace

std::vector<TraceLine>& traces() {
    static std::vector<TraceLine> lines;
    return lines;
}

void clearTraces() { traces().clear(); }

bool traced(const std::string& needle, int level) {
    return std::any_of(traces().begin(), traces().end(), [&](const TraceLine& line) {
        return (level < 0 || line.level == level) && line.text.find(needle) != std::string::npos;
    });
}

bool hasLine(int level, const std::string& text) {
    return std::any_of(traces().begin(), traces().end(),
                       [&](const TraceLine& line) { return line.level == level && line.text == text; });
}

int traceCount(const std::string& needle) {
    return int(std::count_if(traces().begin(), traces().end(),
                             [&](const TraceLine& line) { return line.text.find(needle) != std::string::npos; }));
}

std::string dumpTraces() {
    std::string out;
    for (const auto& line : traces()) out += std::to_string(line.level) + ": " + line.text + "\n";
    return out;
}

std::map<uint32_t, Timer>& timers() {
    static std::map<uint32_t, Timer> all;
    return all;
}

void resetTimers() {
    timers().clear();
    timerAddFails = timerSetFails = false;
}

void failTimerAdd(bool fail) { timerAddFails = fail; }
void failTimerSet(bool fail) { timerSetFails = fail; }

bool fireTimer(uint32_t id) {
    auto it = timers().find(id);
    if (it == timers().end() || !it->second.armed || it->second.deleted) return false;
    it->second.armed = false;
    it->second.callback(it->second.context);
    return true;
}

void holdPointer(const void* record) {
    static auto* held = new std::vector<const void*>;  // never destroyed: stays reachable
    held->push_back(record);
}

std::pair<zl_status, std::string> slotPresence(zl_slot* slot) {
    char* fdl = nullptr;
    const zl_status status = ZL_CALLBACK(slot, ZL_SLOT_GET_PRESENCE, zl_slot_get_presence_fn)(slot, &fdl);
    const std::string text = fdl != nullptr ? fdl : "-";
    std::free(fdl);
    return {status, text};
}

std::vector<uint32_t>& fdWatcherDeletes() {
    static std::vector<uint32_t> calls;
    return calls;
}

}  // namespace TestHost

extern "C" {

void zl_trace(int level, const char* format, ...) {
    static const bool echo = std::getenv("ZL_TEST_TRACE") != nullptr;
    char buffer[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    TestHost::traces().push_back({level, buffer});
    if (echo) std::fprintf(stderr, "[zl %d] %s\n", level, buffer);
}

uint32_t zl_timer_add(void (*callback)(void*), void* context) {
    if (TestHost::timerAddFails) return 0;
    const uint32_t id = TestHost::nextTimer++;
    TestHost::timers()[id] = TestHost::Timer{callback, context};
    return id;
}

int zl_timer_set(uint32_t id, uint32_t milliseconds) {
    auto it = TestHost::timers().find(id);
    if (it == TestHost::timers().end()) return -1;
    it->second.setCalls++;
    if (TestHost::timerSetFails) return -1;
    it->second.armed = true;
    it->second.milliseconds = milliseconds;
    return 0;
}

void zl_timer_delete(uint32_t id) {
    auto it = TestHost::timers().find(id);
    if (it != TestHost::timers().end()) it->second.deleted = true;
}

void zl_fd_watcher_delete(uint32_t watcher) { TestHost::fdWatcherDeletes().push_back(watcher); }

}  // extern "C"
