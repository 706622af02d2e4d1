// Continuous motion for ONVIF clients. An ONVIF ContinuousMove lasts until the client stops it or
// its Timeout ends, while the camera object stops by itself when a move is not renewed within
// its dead-man time-out (5 s). The keeper bridges the two: it renews the client's move and sends
// the stop when the client's time-out ends.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace k47host::onvif {

struct Velocity {  // camera speeds, -100..100 each
    int pan = 0, tilt = 0, zoom = 0;
    bool Zero() const { return pan == 0 && tilt == 0 && zoom == 0; }
    bool operator==(const Velocity&) const = default;
};

// Keeps one camera's continuous motion alive: the camera object stops by itself when a move is not
// renewed within 5 s (its dead-man time-out), so a client's move is renewed here until the client
// stops it or its time-out ends; then a stop is sent. A client that vanishes thus leaves a camera
// that stops at its time-out.
class MotionKeeper {
  public:
    // One command to the camera: a move with these speeds, or the stop when v.Zero(). Returns the
    // camera's HRESULT. Called from the caller's thread (Move, Stop) or the keeper's own thread
    // (renewals, the time-out's stop), never two at once, and in the order decided (a renewal
    // never goes out after the stop that ended its motion). It must not call back into the keeper:
    // it runs under the keeper's lock.
    using Send = std::function<HRESULT(const Velocity&)>;
    MotionKeeper(Send send, std::chrono::milliseconds renewEvery = std::chrono::seconds(1));
    ~MotionKeeper();  // ends the thread; a motion still running gets its stop first
    MotionKeeper(const MotionKeeper&) = delete;
    MotionKeeper& operator=(const MotionKeeper&) = delete;

    // Sends v at once (on the caller's thread) and keeps it: renewed every renewEvery, and a stop
    // sent when `timeout` has passed since this call (never before). v.Zero() is a stop. A new Move
    // replaces the previous one (speeds and time-out). Returns what the first send returned; when
    // it failed, nothing is kept (no renewals) but a stop is NOT sent either.
    HRESULT Move(const Velocity& v, std::chrono::milliseconds timeout);
    // Zeroes the named axes (panTilt: pan and tilt; zoom: zoom) of the motion kept. When all axes
    // are then zero (or nothing was moving), sends the stop at once and keeps nothing; otherwise
    // sends the remaining speeds at once and keeps them with the same deadline. Always sends
    // something (a stop when nothing moves: a client's Stop must reach the camera even if the
    // bridge thinks it is idle, e.g. after another client moved it).
    HRESULT Stop(bool panTilt = true, bool zoom = true);
    bool Moving() const;       // a motion is kept
    Velocity Current() const;  // its speeds (zero when none)

  private:
    using Clock = std::chrono::steady_clock;
    HRESULT SendLocked(const Velocity& v);  // send_, with exceptions turned into E_FAIL
    void Keep(const Velocity& v, Clock::time_point deadline);
    void Forget();
    void Run();

    const Send send_;
    const std::chrono::milliseconds renew_every_;
    // Guards the state below AND is held across send_, so that the camera gets commands in the
    // order they were decided: a renewal taken before a Stop cannot overtake it.
    mutable std::mutex motion_lock_;
    std::condition_variable wake_;
    bool moving_ = false;
    Velocity current_;
    Clock::time_point deadline_;
    Clock::time_point next_renewal_;
    bool renewal_failure_logged_ = false;  // once per motion: a dead line would flood the log
    bool quit_ = false;
    std::thread thread_;  // last: starts once the state above exists
};

}  // namespace k47host::onvif
