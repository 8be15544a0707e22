#pragma once
// The player's side of the front end without SDL: which keys and controller
// buttons make up the joypad state byte, what the hotkeys do to the machine,
// and the window title with its temporary status text. The SDL layer feeds
// it raw scancodes and button states.
#include <array>
#include <functional>
#include <string>

#include "core/types.h"

class GB;

// Keys are physical positions: SDL scancodes, which are the USB HID keyboard
// usage numbers.
namespace scancode {
inline constexpr int A = 4, B = 5, C = 6, D = 7, E = 8, F = 9, G = 10, J = 13, M = 16, N = 17, O = 18;
inline constexpr int P = 19, Q = 20, R = 21, S = 22, U = 24, W = 26, X = 27, Y = 28, Z = 29;
inline constexpr int NUM_1 = 30, NUM_2 = 31, NUM_3 = 32, NUM_4 = 33;
inline constexpr int RETURN = 40, ESCAPE = 41, BACKSPACE = 42, SPACE = 44, SLASH = 56;
inline constexpr int RIGHT = 79, LEFT = 80, DOWN = 81, UP = 82, RIGHT_SHIFT = 229;
}  // namespace scancode

// Game-controller buttons (SDL_GameControllerButton numbering).
namespace pad_button {
inline constexpr int A = 0, B = 1, X = 2, Y = 3, DPAD_UP = 11, DPAD_DOWN = 12, DPAD_LEFT = 13, DPAD_RIGHT = 14;
}  // namespace pad_button

// One keyboard layout: the key for each joypad bit, Right first, Start last.
struct KeyboardLayout {
    const char* name;
    std::array<int, 8> keys;
};

inline constexpr int KEYBOARD_LAYOUT_COUNT = 5;
extern const std::array<KeyboardLayout, KEYBOARD_LAYOUT_COUNT> KEYBOARD_LAYOUTS;
// The layout in use; the first one (arrows, S/A, right Shift, Return).
inline constexpr int DEFAULT_KEYBOARD_LAYOUT = 0;
// Controller button for each joypad bit, Right first, Start last.
extern const std::array<int, 8> CONTROLLER_MAPPING;

// The joypad state byte for the keys held. `key_down` is indexed by scancode
// and has `key_count` entries. Z presses Left and Slash presses A in every
// layout. Opposite directions may both be set; the joypad register decides.
u8 keyboard_joypad_state(const u8* key_down, int key_count, int layout = DEFAULT_KEYBOARD_LAYOUT);
// The joypad state byte for the controller buttons held.
u8 controller_joypad_state(const std::function<bool(int button)>& button_down);

inline constexpr const char* PROGRAM_VERSION = "0.1.2022-05-01.11-19-52";
// Passes of the event loop (one per frame) a status stays in the title.
inline constexpr int STATUS_PASSES = 60;
// How far back Backspace takes the game, in seconds of the 4 MHz clock.
inline constexpr u64 ROLLBACK_SECONDS = 3;

// "Zembrix - v<version>", then " - <status>" when there is a status.
std::string generate_window_title(const std::string& status = "");

// Hotkeys and the title status. Space acts when pressed (auto-repeats
// included) and when released; every other hotkey acts on release.
class Controls {
public:
    Controls(GB& gb, std::function<void(const std::string&)> set_title);

    // Start of an event-loop pass: counts a shown status down and puts the
    // plain title back when it runs out.
    void begin_pass();
    void key_down(int key);
    void key_up(int key);
    void request_quit() { quit = true; }
    void update_status(const std::string& status);
    // Takes the game ROLLBACK_SECONDS back and hands it to the player there:
    // what was recorded after that moment is forgotten.
    void roll_back();

    bool quit = false;
    int title_reset_counter = 0;

private:
    // W: the symbol file beside the ROM.
    void write_symbol_file();

    GB& gb_;
    std::function<void(const std::string&)> set_title_;
};
