// Joypad input logs. The input is the log's text, read by the machine from a
// file and replayed for two frames.
//
// Checked: the log gives at most one recorded change per pair of words, and
// the replay reads the recorded buttons without running off the list.
#include "fuzz_harness.h"

#include <sstream>

void zembrix_fuzz_one(const u8* data, size_t size) {
    const std::string path = fuzz::scratch_dir() + "/moves.gbi";
    fuzz::write_file(path, std::vector<u8>(data, data + size));
    fuzz::Rom rom;
    // Selects the buttons and the directions in turn, reading P1 each time.
    rom.place(0x0100, {0x3E, 0x10, 0xE0, 0x00, 0xF0, 0x00, 0x3E, 0x20, 0xE0, 0x00, 0xF0, 0x00, 0x18, 0xF2});
    GB& gb = fuzz::machine();
    fuzz::boot_from_memory(gb, rom.bytes, MODEL_DMGB);
    gb.joypad_states.clear();
    std::string error;
    fuzz::check(gb.try_load_gbi(path, &error), "a regular file loads as a log");
    std::istringstream words(std::string(reinterpret_cast<const char*>(data), size));
    size_t count = 0;
    for (std::string w; words >> w;) ++count;
    fuzz::check(gb.joypad_states.size() <= count / 2, "one change per pair of words at most");
    fuzz::run_frames(gb, 2, 40000);
}

std::vector<fuzz::Seed> zembrix_fuzz_seeds() {
    auto text = [](const char* name, const std::string& s) { return fuzz::Seed{name, std::vector<u8>(s.begin(), s.end())}; };
    return {
        text("presses", "3B4 01\n3B5 80\n400 00\n500 10\n"),
        text("crlf_and_tabs", "3b4\t01\r\n3c0 0F\r\n"),
        text("odd_word", "3B4 01 3B5"),
        text("huge_times", "FFFFFFFFFFFFFFFF 01\n0 FF\n"),
    };
}
