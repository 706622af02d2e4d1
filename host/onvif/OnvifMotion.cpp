// Renewal of ONVIF continuous moves and the stop at their time-out.
#include "host/onvif/OnvifMotion.h"

#include <algorithm>

#include "common/K47Global.h"

namespace k47host::onvif {

MotionKeeper::MotionKeeper(Send send, std::chrono::milliseconds renewEvery)
    : send_(std::move(send)),
      renew_every_(std::max(renewEvery, std::chrono::milliseconds(1))),
      thread_([this] { Run(); }) {}

MotionKeeper::~MotionKeeper() {
    {
        std::lock_guard<std::mutex> guard(motion_lock_);
        if (moving_) {
            Forget();
            SendLocked(Velocity{});
        }
        quit_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

HRESULT MotionKeeper::SendLocked(const Velocity& v) {
    try {
        return send_(v);
    } catch (...) {
        return E_FAIL;
    }
}

void MotionKeeper::Keep(const Velocity& v, Clock::time_point deadline) {
    moving_ = true;
    current_ = v;
    deadline_ = deadline;
    next_renewal_ = Clock::now() + renew_every_;
    wake_.notify_one();
}

void MotionKeeper::Forget() {
    moving_ = false;
    current_ = Velocity{};
    wake_.notify_one();
}

HRESULT MotionKeeper::Move(const Velocity& v, std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> guard(motion_lock_);
    HRESULT hr = SendLocked(v);
    // Counted from after the send, so the stop can never come early whatever the send took.
    if (SUCCEEDED(hr) && !v.Zero()) {
        Keep(v, Clock::now() + timeout);
        renewal_failure_logged_ = false;
    } else {
        Forget();
    }
    return hr;
}

HRESULT MotionKeeper::Stop(bool panTilt, bool zoom) {
    std::lock_guard<std::mutex> guard(motion_lock_);
    Velocity rest = current_;
    if (panTilt)
        rest.pan = rest.tilt = 0;
    if (zoom)
        rest.zoom = 0;
    HRESULT hr = SendLocked(rest);
    // The rest is kept even when its send failed: the motion the camera may still be doing then
    // gets its stop at the deadline.
    if (rest.Zero())
        Forget();
    else
        Keep(rest, deadline_);
    return hr;
}

bool MotionKeeper::Moving() const {
    std::lock_guard<std::mutex> guard(motion_lock_);
    return moving_;
}

Velocity MotionKeeper::Current() const {
    std::lock_guard<std::mutex> guard(motion_lock_);
    return current_;
}

void MotionKeeper::Run() {
    std::unique_lock<std::mutex> lock(motion_lock_);
    while (!quit_) {
        if (!moving_) {
            wake_.wait(lock);
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline_) {  // before the renewal: one due at the deadline is not sent
            Forget();
            HRESULT hr = SendLocked(Velocity{});
            if (FAILED(hr))
                g_ErrorHandling.WriteLog(
                    "k47ptz-host: ONVIF motion: stop at time-out failed: 0x%08x\n",
                    static_cast<unsigned>(hr));
        } else if (now >= next_renewal_) {
            HRESULT hr = SendLocked(current_);
            if (FAILED(hr) && !renewal_failure_logged_) {
                renewal_failure_logged_ = true;
                g_ErrorHandling.WriteLog("k47ptz-host: ONVIF motion: renewal failed: 0x%08x\n",
                                         static_cast<unsigned>(hr));
            }
            // On the original beat; beats missed on a loaded machine are skipped, not sent in a
            // burst.
            next_renewal_ += renew_every_;
            while (next_renewal_ <= now)
                next_renewal_ += renew_every_;
        } else {
            wake_.wait_until(lock, std::min(deadline_, next_renewal_));
        }
    }
}

}  // namespace k47host::onvif
