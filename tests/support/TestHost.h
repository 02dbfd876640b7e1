// Host services for the tests: every zl_trace line is kept with its level, the timer
// service is manual (a test arms nothing by waiting; it fires timers itself), and
// zl_fd_watcher_delete records its calls.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "zl_api.h"

namespace TestHost {

struct TraceLine {
    int level;
    std::string text;
};

// Captured trace lines, oldest first. ZL_TEST_TRACE=1 in the environment also echoes them.
std::vector<TraceLine>& traces();
void clearTraces();
// True when some captured line (at `level`, or any level when -1) contains `needle`.
bool traced(const std::string& needle, int level = -1);
// True when one captured line at `level` is exactly `text`.
bool hasLine(int level, const std::string& text);
// Number of captured lines that contain `needle`.
int traceCount(const std::string& needle);
// All captured lines joined, one per line, for failure messages.
std::string dumpTraces();

struct Timer {
    void (*callback)(void*) = nullptr;
    void* context = nullptr;
    bool armed = false;
    uint32_t milliseconds = 0;
    int setCalls = 0;
    bool deleted = false;
};

std::map<uint32_t, Timer>& timers();
void resetTimers();
// When true, zl_timer_add returns 0 (failure); when set, zl_timer_set returns -1.
void failTimerAdd(bool fail);
void failTimerSet(bool fail);
// Fires one armed timer (disarming it first, one expiry per arming). False if not armed.
bool fireTimer(uint32_t id);

std::vector<uint32_t>& fdWatcherDeletes();

// getPresence through the slot's host callback: its status and the text handed out ("-"
// when none), which is freed.
std::pair<zl_status, std::string> slotPresence(zl_slot* slot);

// Keeps a record the library handed out reachable until the process ends, as a host does:
// logical devices are never destroyed through the host interface. Returns the record.
void holdPointer(const void* record);
template <class Record>
Record* hold(Record* record) {
    holdPointer(record);
    return record;
}

}  // namespace TestHost
