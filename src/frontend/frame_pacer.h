#pragma once
// Real-time pacing of the main loop for when nothing else holds the machine
// to the hardware's speed (no audio device is draining samples).
#include <chrono>

// One frame of the LCD is 70224 cycles of the 4194304 Hz base clock:
// 16.7427 ms, or about 59.73 frames per second.
inline constexpr long long FRAME_CYCLES = 70224;
inline constexpr long long BASE_CLOCK_HZ = 4194304;
inline constexpr std::chrono::nanoseconds FRAME_PERIOD{FRAME_CYCLES * 1'000'000'000LL / BASE_CLOCK_HZ};

// Keeps a schedule of frame deadlines a fixed period apart. Deadlines follow
// each other, not the moment a frame happened to finish, so the time spent
// emulating and the sleep's own overshoot do not add up into drift. When the
// loop falls far behind (a slow host, a paused debugger, the window being
// dragged) the schedule restarts from now instead of running frames back to
// back to catch up.
class FramePacer {
public:
    using Clock = std::chrono::steady_clock;

    explicit FramePacer(Clock::duration period = FRAME_PERIOD, int max_frames_behind = 4)
        : period_(period), max_lag_(period * max_frames_behind) {}

    // Starts the schedule: the next frame is due one period after `now`.
    void restart(Clock::time_point now) { deadline_ = now; }

    // Called after a frame has run: the time the next frame may start. A time
    // not after `now` means "at once".
    Clock::time_point next_frame_due(Clock::time_point now) {
        deadline_ += period_;
        if (now - deadline_ > max_lag_) deadline_ = now;
        return deadline_;
    }

    Clock::duration period() const { return period_; }

private:
    Clock::duration period_;
    Clock::duration max_lag_;
    Clock::time_point deadline_{};
};
