// A driver that refreshes its copy of the device's state periodically, driven by one timer of
// the host's timer service: every expiry runs pollCallback() and arms the timer again, so the
// period runs from the end of one poll to the next expiry.
#pragma once

#include <cstdint>

#include "Utils.h"
#include "zl_api.h"

namespace Component {

template <class Base>
class PollingDevice : public Base {
  public:
    PollingDevice() {
        zl_trace(0, "creating timer");
        timer = zl_timer_add(&PollingDevice::handlePollTimerCallback, this);
    }
    ~PollingDevice() override {
        zl_trace(0, "destroying timer");
        // 0 is the timer service's "no timer"; there is nothing to delete then.
        if (timer != 0) zl_timer_delete(timer);
    }
    PollingDevice(const PollingDevice&) = delete;
    PollingDevice& operator=(const PollingDevice&) = delete;

    // Refreshes the driver's state; runs on every expiry.
    virtual void pollCallback() = 0;

    // Arms the timer with pollInterval unless polling already runs. False (traced) when the
    // timer service refuses.
    bool pollStart() {
        if (polling) return true;
        zl_trace(0, "setting polling interval to %ums", pollInterval);
        if (zl_timer_set(timer, pollInterval) != 0) {
            zl_trace(0, "failed to set timer interval");
            return false;
        }
        polling = true;
        return true;
    }

    // The host's timer callback; context is the driver object. A poll that throws is traced
    // by the guard and the timer is armed again all the same: the next poll may succeed.
    static void handlePollTimerCallback(void* context) noexcept {
        auto* self = static_cast<PollingDevice*>(context);
        zl_trace(6, "pollCallbackWrapper");
        Utils::guardCallback([self] {
            self->pollCallback();
            return ZL_STATUS_OK;
        });
        if (zl_timer_set(self->timer, self->pollInterval) != 0) {
            zl_trace(0, "failed to set timer interval");
            return;
        }
        self->polling = true;
    }

    bool polling = false;       // armed successfully at least once
    uint32_t timer = 0;         // handle from zl_timer_add
    uint32_t pollInterval = 0;  // milliseconds; set by the driver's init
};

}  // namespace Component
