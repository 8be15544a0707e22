// Line completion and frame presentation: the end of every visible line's
// mode 3 completes the line's pixels, and the end of line 143 hands the frame
// to the host, marks it done for the CPU's frame loop and, on a paced machine,
// holds the emulation to one frame per 16 ms of wall-clock time.
#include <algorithm>
#include <chrono>
#include <thread>

#include "core/gb.h"
#include "video/ppu.h"

namespace {

constexpr u32 FRAME_MS = 16;
// Frames released while the machine runs to a target cycle are only drawn in
// the last two frames' worth of cycles before it.
constexpr u64 TARGET_DRAW_WINDOW = 2 * PPU::FRAME_CYCLES;

u32 wall_clock_ms() {
    using namespace std::chrono;
    return u32(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

void PPU::render_line(int line) {
    finish_rendering_line();
    if (line == SCREEN_HEIGHT - 1) {
        if (timing_image_enabled) std::fill(timing_image.begin() + SCREEN_HEIGHT * LINE_CYCLES, timing_image.end(), map_rgb(0x53, 0xE3, 0xF1));
        // The first frame after the LCD is switched on is shown white, and so is
        // every DMG frame finished while the CPU is stopped.
        if (lcd_just_enabled || (gb->is_dmg && gb->cpu.stopped)) {
            render_turned_off();
            lcd_just_enabled = false;
        }
        const bool skip_drawing = gb->turbo_run && gb->cpu.turbo_target_cycle - TARGET_DRAW_WINDOW >= now();
        if (!skip_drawing && gb->host) gb->host->update_display(frame_buffer.data());
        frame_done = true;
        // Only a machine showing its picture to a player is held to real time
        // here, and only when asked to: not headless, not in turbo, not while
        // running to a target cycle.
        if (frame_pacing && gb->host && !gb->player_turbo && !gb->turbo_run) pace_frame();
    }
    if (line == 72) map_snapshot_lcdc = {lcdc, scx, scy};
}

u32 PPU::frame_pacing_sleep_ms(u32 next_tick, u32 now_ms) {
    const i32 early = i32(next_tick - now_ms);
    if (early <= 2) return 0;  // late, or too close to the mark to bother
    return std::min<u32>(u32(early), FRAME_MS) - 1;
}

// Lateness is not made up: the next mark counts from this frame's release.
void PPU::pace_frame() {
    const u32 sleep_ms = frame_pacing_sleep_ms(next_frame_tick, wall_clock_ms());
    if (sleep_ms != 0) std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
    next_frame_tick = wall_clock_ms() + FRAME_MS;
}
