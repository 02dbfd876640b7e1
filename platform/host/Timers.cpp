#include "Timers.h"

#include <algorithm>
#include <vector>

namespace Host {

uint32_t TimerService::add(void (*callback)(void*), void* context) {
    if (callback == nullptr) return 0;
    if (next_ == 0) next_ = 1;  // 0 means failure to the library
    uint32_t id = next_++;
    Timer& timer = timers_[id];
    timer.callback = callback;
    timer.context = context;
    return id;
}

int TimerService::set(uint32_t timer, uint32_t milliseconds, Clock::time_point now) {
    auto it = timers_.find(timer);
    if (it == timers_.end()) return -1;
    it->second.armed = true;
    it->second.due = now + std::chrono::milliseconds(milliseconds);
    ++it->second.generation;
    return 0;
}

void TimerService::remove(uint32_t timer) { timers_.erase(timer); }

int TimerService::runDue(Clock::time_point now) {
    struct Due {
        Clock::time_point at;
        uint32_t id;
        uint64_t generation;
    };
    std::vector<Due> due;
    for (const auto& [id, timer] : timers_)
        if (timer.armed && timer.due <= now) due.push_back({timer.due, id, timer.generation});
    std::stable_sort(due.begin(), due.end(), [](const Due& a, const Due& b) { return a.at < b.at; });
    int ran = 0;
    for (const Due& d : due) {
        // An earlier callback may have deleted, disarmed or re-armed this timer.
        auto it = timers_.find(d.id);
        if (it == timers_.end() || !it->second.armed || it->second.generation != d.generation) continue;
        it->second.armed = false;
        auto callback = it->second.callback;
        void* context = it->second.context;
        callback(context);  // may add, set or remove timers, this one included
        ++ran;
    }
    return ran;
}

bool TimerService::nextDue(Clock::time_point* when) const {
    bool any = false;
    for (const auto& entry : timers_) {
        if (!entry.second.armed) continue;
        if (!any || entry.second.due < *when) *when = entry.second.due;
        any = true;
    }
    return any;
}

size_t TimerService::armedCount() const {
    size_t n = 0;
    for (const auto& entry : timers_) n += entry.second.armed;
    return n;
}

}  // namespace Host
