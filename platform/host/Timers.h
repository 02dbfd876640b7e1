// The host's timer service: timers the library creates, arms for one expiry at a time and
// deletes. Nothing runs by itself: the host's main loop asks for the timers that are due and
// runs their callbacks, so a callback never runs inside another call into the library.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>

namespace Host {

class TimerService {
  public:
    using Clock = std::chrono::steady_clock;

    // A new, unarmed timer; 0 when the callback is null.
    uint32_t add(void (*callback)(void*), void* context);
    // Arms the timer to expire `milliseconds` after `now`, replacing an earlier arming.
    // 0 on success, -1 for an unknown timer.
    int set(uint32_t timer, uint32_t milliseconds, Clock::time_point now);
    void remove(uint32_t timer);

    // Runs, in due order, every timer that is due at `now`, each once: a timer is disarmed
    // before its callback runs, and a timer its callback arms again is not run again in
    // this call. Returns the number of callbacks run.
    int runDue(Clock::time_point now);
    // The earliest armed expiry, or false when nothing is armed.
    bool nextDue(Clock::time_point* when) const;
    size_t armedCount() const;

  private:
    struct Timer {
        void (*callback)(void*) = nullptr;
        void* context = nullptr;
        bool armed = false;
        Clock::time_point due;
        uint64_t generation = 0;  // counts armings, to tell a re-arming during runDue
    };
    std::map<uint32_t, Timer> timers_;
    uint32_t next_ = 1;
};

}  // namespace Host
