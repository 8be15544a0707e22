#include "frontend/main_loop.h"

#include <thread>

#include "core/gb.h"
#include "frontend/controls.h"
#include "frontend/frame_pacer.h"
#include "frontend/sdl_host.h"

// Without an audio device draining its queue nothing else holds the machine
// to the LCD's frame rate, so the loop waits for each frame's due time
// itself, except in turbo. While paused no frame runs and the loop waits a
// frame period per pass whatever the audio and turbo state, so an idle
// program does not spin.
void run_main_loop(GB& gb, SdlHost& host, Controls& controls, const volatile std::sig_atomic_t& quit_signal) {
    using Clock = FramePacer::Clock;
    gb.run_frame();
    gb.check_if_save_state_needed();
    host.check_events(controls);
    host.restore_window_size();

    FramePacer pacer;
    pacer.restart(Clock::now());
    while (!controls.quit) {
        gb.run_frame();
        // Snapshots for the rollback key, a few per second.
        gb.check_if_save_state_needed();
        host.check_events(controls);
        if (quit_signal) controls.request_quit();
        const auto now = Clock::now();
        const bool paced = gb.cpu.paused || (!gb.audio.device_ready && !gb.player_turbo);
        if (!paced) {
            pacer.restart(now);
            continue;
        }
        const auto due = pacer.next_frame_due(now);
        if (due > now && !controls.quit) std::this_thread::sleep_until(due);
    }
}
