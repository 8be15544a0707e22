// The recorded joypad input, its replay, the periodic snapshots and rollback,
// and the joypad input log.
//
// Every change of the buttons is recorded with the 4 MHz cycle at which the
// program first saw it. Rolling back restores a snapshot taken before the
// target cycle and replays the record up to the target: the machine then
// stands exactly where it stood when it first passed that cycle.
#include <array>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sys/stat.h>

#include "core/gb.h"
#include "core/helpers.h"

u8 GB::get_joypad_state_from_replay() {
    const size_t count = joypad_states.size();
    if (count == 0) {
        replay_mode = false;
        return 0;
    }
    // A change was recorded by the read that first saw it, so it is in force
    // from its own cycle on.
    while (replay_index < count && joypad_states[replay_index].cycle <= cpu.cycles_4mhz) ++replay_index;
    if (replay_index >= count) {
        // Past the last change its buttons stay held. A rollback's run to its
        // target replays them to the end; otherwise the host takes over from
        // the next read.
        if (!turbo_run) replay_mode = false;
        return joypad_states.back().state;
    }
    return replay_index == 0 ? 0 : joypad_states[replay_index - 1].state;
}

void GB::discard_future_joypad_states() {
    const size_t count = joypad_states.size();
    size_t past = 0;
    while (past < count && joypad_states[past].cycle <= cpu.cycles_4mhz) ++past;
    replay_index = u32(past);
    // Changes from a future that will not happen now go, every one of them:
    // recording goes on from the present, and the list must stay in cycle
    // order for any later replay.
    joypad_states.resize(past);
}

void GB::check_if_save_state_needed() {
    const u64 now = cpu.cycles_4mhz;
    if (!saved_states.empty() && now - saved_states.back()->cycle <= SNAPSHOT_INTERVAL) return;
    auto snapshot = std::make_shared<SavedState>();
    snapshot->cycle = now;
    snapshot->data = save_state();
    saved_states.push_back(std::move(snapshot));
    if (saved_states.size() > MAX_SNAPSHOTS) saved_states.erase(saved_states.begin());
}

bool GB::rollback_to(u64 cycle, std::string* error) {
    size_t found = saved_states.size();
    for (size_t i = saved_states.size(); i-- > 0;) {
        if (saved_states[i]->cycle < cycle) {
            found = i;
            break;
        }
    }
    // A copy: loading must not depend on the list it is about to trim.
    const std::string data = found < saved_states.size() ? saved_states[found]->data : power_on_state;
    if (!load_state(data, error)) return false;
    // Snapshots of a future that will now be run again go; the list stays in
    // cycle order.
    saved_states.resize(found < saved_states.size() ? found + 1 : 0);
    replay_mode = true;
    replay_index = 0;
    cpu.paused = false;
    if (running) {
        turbo_run = true;
        cpu.run_turbo_to_cycle(cycle, false);
        turbo_run = false;
    }
    if (host) host->update_display(ppu.frame_buffer.data());
    return true;
}

void GB::load_gbi(const std::string& path) {
    std::string error;
    if (try_load_gbi(path, &error)) return;
    std::cout << error << '\n' << std::flush;
    // The player's battery RAM and clock outlive the failed start.
    cartridge.write_battery_files();
    std::exit(1);
}

namespace {

// White space as the standard streams see it in the "C" locale.
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

bool GB::try_load_gbi(const std::string& path, std::string* error) {
    // Only a regular file: a FIFO or a device would block or never end.
    struct stat info {};
    std::ifstream file;
    const bool regular = ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    if (regular) file.open(path, std::ios::binary);
    if (!file.is_open()) {
        if (error) *error = "GBI not found: " + path;
        return false;
    }
    const std::string too_large = "GBI too large: " + path + " (a joypad input log may be at most " +
                                  std::to_string(MAX_INPUT_LOG_BYTES >> 20) + " MiB)";
    if (u64(info.st_size) > MAX_INPUT_LOG_BYTES) {
        if (error) *error = too_large;
        return false;
    }
    // Pairs of hexadecimal words: a time in units of 1024 cycles counted from
    // 948 units before the machine's cycle 0, and the buttons with the action
    // keys in the high nibble. Times before cycle 0 count as cycle 0. Read a
    // block at a time, each word straight into its number; a trailing odd
    // word is ignored.
    constexpr u64 ORIGIN = 970752;
    const size_t kept = joypad_states.size();
    std::array<char, 1 << 16> block;
    Helpers::HexWordReader word;
    bool in_word = false, have_time = false;
    u64 time = 0, total = 0;
    auto end_word = [&] {
        in_word = false;
        if (!have_time) {
            time = word.value();
            have_time = true;
        } else {
            const u64 buttons = word.value();
            const u8 state = u8(((buttons & 0x0F) << 4) | ((buttons >> 4) & 0x0F));
            const u64 cycle =
                time >= (~u64{0} >> 10) ? ~u64{0} : (time << 10) < ORIGIN ? 0 : (time << 10) - ORIGIN;
            joypad_states.push_back({state, cycle});
            have_time = false;
        }
        word.clear();
    };
    while (file) {
        file.read(block.data(), std::streamsize(block.size()));
        const size_t got = size_t(file.gcount());
        total += got;
        // The file may have grown since it was measured.
        if (total > MAX_INPUT_LOG_BYTES) {
            joypad_states.resize(kept);
            if (error) *error = too_large;
            return false;
        }
        for (size_t i = 0; i < got; ++i) {
            const char c = block[i];
            if (is_space(c)) {
                if (in_word) end_word();
            } else {
                in_word = true;
                word.feed(c);
            }
        }
    }
    if (in_word) end_word();
    replay_mode = true;
    replay_index = 1;
    return true;
}
