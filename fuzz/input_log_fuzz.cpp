// Joypad input logs. The input is the log's text, read by the machine from a
// file and replayed for two frames. An input whose first byte is 0xFF is
// instead padded (sparsely) past the size limit, which must refuse it.
//
// Checked: the log gives at most one recorded change per pair of words, in a
// few bytes of memory each; a log over the limit is refused and adds nothing;
// the replay reads the recorded buttons without running off the list.
#include "fuzz_harness.h"

#include <cstdio>
#include <filesystem>

namespace {

bool is_space(u8 c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

size_t count_words(const u8* data, size_t size) {
    size_t words = 0;
    bool in_word = false;
    for (size_t i = 0; i < size; ++i) {
        const bool space = is_space(data[i]);
        if (!space && !in_word) ++words;
        in_word = !space;
    }
    return words;
}

}  // namespace

// Long logs are where the reader's memory and time go.
size_t zembrix_fuzz_max_len() { return 4 << 20; }

void zembrix_fuzz_one(const u8* data, size_t size) {
    const std::string path = fuzz::scratch_dir() + "/moves.gbi";
    fuzz::write_file(path, std::vector<u8>(data, data + size));
    const bool oversized = size > 0 && data[0] == 0xFF;
    if (oversized) std::filesystem::resize_file(path, GB::MAX_INPUT_LOG_BYTES + 1 + (size > 1 ? data[1] : 0));
    fuzz::Rom rom;
    // Selects the buttons and the directions in turn, reading P1 each time.
    rom.place(0x0100, {0x3E, 0x10, 0xE0, 0x00, 0xF0, 0x00, 0x3E, 0x20, 0xE0, 0x00, 0xF0, 0x00, 0x18, 0xF2});
    GB& gb = fuzz::machine();
    fuzz::boot_from_memory(gb, rom.bytes, MODEL_DMGB);
    std::vector<GB::JoypadState>().swap(gb.joypad_states);
    std::string error;
    const bool loaded = gb.try_load_gbi(path, &error);
    if (oversized) {
        fuzz::check(!loaded && gb.joypad_states.empty() && !gb.replay_mode, "a log over the limit is refused");
        return;
    }
    fuzz::check(loaded, "a regular file loads as a log");
    fuzz::check(gb.joypad_states.size() <= count_words(data, size) / 2, "one change per pair of words at most");
    fuzz::check(gb.joypad_states.capacity() * sizeof(GB::JoypadState) <= 8 * size + 64,
                "a change takes a few bytes of memory");
    fuzz::run_frames(gb, 2, 40000);
}

std::vector<fuzz::Seed> zembrix_fuzz_seeds() {
    auto text = [](const char* name, const std::string& s) { return fuzz::Seed{name, std::vector<u8>(s.begin(), s.end())}; };
    // A long session as a recorder writes it: rising times, one change each.
    std::string session;
    char pair[32];
    for (unsigned i = 0; i < 50000; ++i) {
        std::snprintf(pair, sizeof pair, "%X %02X\n", 948 + 37 * i, (i * 0x35) & 0xFF);
        session += pair;
    }
    std::string short_pairs;
    for (int i = 0; i < 100000; ++i) short_pairs += (i % 2) ? "1 1\n" : "0 0 ";
    return {
        text("presses", "3B4 01\n3B5 80\n400 00\n500 10\n"),
        text("crlf_and_tabs", "3b4\t01\r\n3c0 0F\r\n"),
        text("odd_word", "3B4 01 3B5"),
        text("huge_times", "FFFFFFFFFFFFFFFF 01\n0 FF\n"),
        text("oversized", "\xFF\x10 3B4 01\n"),
        text("long_session", session),
        text("short_pairs", short_pairs),
        text("one_long_word", std::string(1 << 20, '7') + " 01"),
        text("long_blank_run", "3B4" + std::string(1 << 20, ' ') + "01\n"),
    };
}
