// The services the library binds when it is loaded, as zolta-host provides them: traces on
// stderr filtered by level, level-0 traces kept while a capture runs, and a single-threaded
// timer service whose callbacks run from the host's main loop only, never inside another call
// into the library.
#pragma once

#include <csignal>
#include <cstddef>
#include <string>
#include <vector>

namespace Host {

// Traces up to and including `level` are printed; -1 prints none. Default 0.
void setTraceLevel(int level);
int traceLevel();

// Keeps the traces up to `level` (level 0 by default) the library emits while it lives,
// whatever level is shown: what the library said about the call made meanwhile. The first
// kMaxLines are kept; one capture runs at a time.
class TraceCapture {
  public:
    static constexpr size_t kMaxLines = 64;
    explicit TraceCapture(int level = 0);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;
    std::vector<std::string> lines() const;
};

// Runs expired timers (one expiry per arming, in due order) until `milliseconds` have passed
// or *stop becomes non-zero. Returns the number of callbacks run.
int runTimers(long milliseconds, const volatile std::sig_atomic_t* stop);

size_t armedTimerCount();

}  // namespace Host
