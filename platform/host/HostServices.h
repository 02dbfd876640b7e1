// The services the library binds when it is loaded, as zolta-host provides them: traces on
// stderr filtered by level, and a single-threaded timer service whose callbacks run from the
// host's main loop only, never inside another call into the library.
#pragma once

#include <csignal>
#include <cstddef>

namespace Host {

// Traces up to and including `level` are printed; -1 prints none. Default 0.
void setTraceLevel(int level);
int traceLevel();

// Runs expired timers (one expiry per arming, in due order) until `milliseconds` have passed
// or *stop becomes non-zero. Returns the number of callbacks run.
int runTimers(long milliseconds, const volatile std::sig_atomic_t* stop);

size_t armedTimerCount();

}  // namespace Host
