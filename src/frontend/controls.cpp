#include "frontend/controls.h"

#include <filesystem>

#include "core/gb.h"

namespace sc = scancode;

const std::array<KeyboardLayout, KEYBOARD_LAYOUT_COUNT> KEYBOARD_LAYOUTS = {{
    {"Default Keyboard Layout", {sc::RIGHT, sc::LEFT, sc::UP, sc::DOWN, sc::S, sc::A, sc::RIGHT_SHIFT, sc::RETURN}},
    {"8Bitdo Zero Keyboard Mode (Player 1)", {sc::F, sc::E, sc::C, sc::D, sc::J, sc::G, sc::N, sc::O}},
    {"8Bitdo Zero Keyboard Mode (Player 2)", {sc::A, sc::R, sc::P, sc::Q, sc::U, sc::B, sc::X, sc::Y}},
    {"8Bitdo SFC30/SNES30 Keyboard Mode (Player 1)", {sc::F, sc::E, sc::C, sc::D, sc::G, sc::J, sc::N, sc::O}},
    {"8Bitdo SFC30/SNES30 Keyboard Mode (Player 2)", {sc::A, sc::R, sc::P, sc::Q, sc::B, sc::U, sc::X, sc::Y}},
}};

// The controller's B (right face button) is the Game Boy's A and its A the
// Game Boy's B, matching the positions on the handheld.
const std::array<int, 8> CONTROLLER_MAPPING = {
    pad_button::DPAD_RIGHT, pad_button::DPAD_LEFT, pad_button::DPAD_UP, pad_button::DPAD_DOWN,
    pad_button::B,          pad_button::A,         pad_button::X,       pad_button::Y,
};

u8 keyboard_joypad_state(const u8* key_down, int key_count, int layout) {
    auto held = [&](int key) { return key >= 0 && key < key_count && key_down[key] != 0; };
    const KeyboardLayout& row = KEYBOARD_LAYOUTS.at(size_t(layout));
    u8 state = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (held(row.keys[size_t(bit)])) state |= u8(1 << bit);
    if (held(sc::Z)) state |= 0x02;      // Left
    if (held(sc::SLASH)) state |= 0x10;  // A
    return state;
}

u8 controller_joypad_state(const std::function<bool(int)>& button_down) {
    u8 state = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (button_down(CONTROLLER_MAPPING[size_t(bit)])) state |= u8(1 << bit);
    return state;
}

std::string generate_window_title(const std::string& status) {
    // Appended, not added: GCC 12 with link-time optimisation misreads the
    // temporary of "a" + b as a buffer overread.
    std::string title = "Zembrix - v";
    title += PROGRAM_VERSION;
    if (!status.empty()) title += " - " + status;
    return title;
}

Controls::Controls(GB& gb, std::function<void(const std::string&)> set_title)
    : gb_(gb), set_title_(std::move(set_title)) {}

void Controls::begin_pass() {
    if (title_reset_counter == 0) return;
    if (--title_reset_counter == 0) set_title_(generate_window_title());
}

void Controls::update_status(const std::string& status) {
    set_title_(generate_window_title(status));
    title_reset_counter = STATUS_PASSES;
}

void Controls::roll_back() {
    constexpr u64 distance = ROLLBACK_SECONDS * 4194304;
    const u64 now = gb_.cpu.cycles_4mhz;
    std::string error;
    if (!gb_.rollback_to(now > distance ? now - distance : 0, &error)) {
        update_status("Rollback failed");
        return;
    }
    gb_.discard_future_joypad_states();
    gb_.set_joypad_replay_mode(false);
    update_status("Rolled back");
}

// The status shows only once the whole file is in place; a failure has
// printed its message and leaves the title alone.
void Controls::write_symbol_file() {
    std::string backup;
    if (!gb_.cartridge.write_symbol_file(&backup)) return;
    if (backup.empty())
        update_status("Symbol file written");
    else
        update_status("Symbol file written, the old one kept as " + std::filesystem::path(backup).filename().string());
}

void Controls::key_down(int key) {
    if (key == sc::SPACE) gb_.player_turbo = true;
}

void Controls::key_up(int key) {
    Audio& audio = gb_.audio;
    switch (key) {
        case sc::SPACE:
            gb_.player_turbo = false;
            break;
        case sc::ESCAPE:
        case sc::Q:
            quit = true;
            break;
        case sc::NUM_1:
            audio.channel1->enabled = !audio.channel1->enabled;
            break;
        case sc::NUM_2:
            audio.channel2->enabled = !audio.channel2->enabled;
            break;
        case sc::NUM_3:
            audio.channel3->enabled = !audio.channel3->enabled;
            break;
        case sc::NUM_4:
            audio.channel4->enabled = !audio.channel4->enabled;
            break;
        case sc::M:
            audio.toggle();
            break;
        case sc::W:
            write_symbol_file();
            break;
        case sc::P:
            gb_.cpu.paused = !gb_.cpu.paused;
            break;
        case sc::BACKSPACE:
            roll_back();
            break;
        default:
            break;
    }
}
