// The front end's player side without SDL: keys and controller buttons to the
// joypad state byte, the hotkeys, the window title with its status, and the
// frame pacing of the main loop.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "frontend/controls.h"
#include "frontend/frame_pacer.h"
#include "temp_dir.h"
#include "test_machine.h"

namespace {

// A keyboard with the listed scancodes held, as SDL's key-state array.
struct Keys {
    std::array<u8, 512> down{};
    Keys(std::initializer_list<int> held) {
        for (int key : held) down[size_t(key)] = 1;
    }
    u8 state(int layout = DEFAULT_KEYBOARD_LAYOUT) const { return keyboard_joypad_state(down.data(), int(down.size()), layout); }
};

std::string hex(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", v);
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Keyboard and controller

TEST(KeyboardMapping, DefaultLayout) {
    namespace sc = scancode;
    struct Row {
        std::vector<int> keys;
        u8 state;
    };
    const std::vector<Row> rows = {
        {{}, 0x00},
        {{sc::RIGHT}, JOYPAD_RIGHT}, {{sc::LEFT}, JOYPAD_LEFT}, {{sc::UP}, JOYPAD_UP}, {{sc::DOWN}, JOYPAD_DOWN},
        {{sc::S}, JOYPAD_A}, {{sc::A}, JOYPAD_B}, {{sc::RIGHT_SHIFT}, JOYPAD_SELECT}, {{sc::RETURN}, JOYPAD_START},
        // Extra keys of every layout.
        {{sc::Z}, JOYPAD_LEFT},
        {{sc::SLASH}, JOYPAD_A},
        // Overlaps give one bit, and opposite directions are both reported.
        {{sc::LEFT, sc::Z}, JOYPAD_LEFT},
        {{sc::UP, sc::DOWN, sc::S, sc::A}, JOYPAD_UP | JOYPAD_DOWN | JOYPAD_A | JOYPAD_B},
        // Keys of the other layouts and hotkeys press nothing here.
        {{sc::F, sc::E, sc::C, sc::D, sc::J, sc::G, sc::N, sc::O, sc::SPACE, sc::P}, 0x00},
    };
    for (const Row& r : rows) {
        Keys keys({});
        for (int k : r.keys) keys.down[size_t(k)] = 1;
        EXPECT_EQ(keys.state(), r.state) << "expected " << hex(r.state);
    }
}

TEST(KeyboardMapping, EightBitdoLayouts) {
    namespace sc = scancode;
    // Keys for Right, Left, Up, Down, A, B, Select, Start.
    const std::array<std::array<int, 8>, 4> layouts = {{
        {sc::F, sc::E, sc::C, sc::D, sc::J, sc::G, sc::N, sc::O},
        {sc::A, sc::R, sc::P, sc::Q, sc::U, sc::B, sc::X, sc::Y},
        {sc::F, sc::E, sc::C, sc::D, sc::G, sc::J, sc::N, sc::O},
        {sc::A, sc::R, sc::P, sc::Q, sc::B, sc::U, sc::X, sc::Y},
    }};
    for (int layout = 1; layout < KEYBOARD_LAYOUT_COUNT; ++layout) {
        for (int bit = 0; bit < 8; ++bit) {
            Keys keys({layouts[size_t(layout - 1)][size_t(bit)]});
            EXPECT_EQ(keys.state(layout), u8(1 << bit)) << KEYBOARD_LAYOUTS[size_t(layout)].name << " bit " << bit;
        }
        EXPECT_EQ(Keys({scancode::Z, scancode::SLASH}).state(layout), JOYPAD_LEFT | JOYPAD_A);
    }
}

TEST(KeyboardMapping, ShortKeyArrayIsSafe) {
    const u8 down[4] = {1, 1, 1, 1};  // nothing of interest below scancode 4
    EXPECT_EQ(keyboard_joypad_state(down, 4), 0x00);
}

TEST(ControllerMapping, FaceButtonsFollowTheHandheld) {
    struct Row {
        int button;
        u8 state;
    };
    const Row rows[] = {
        {pad_button::DPAD_RIGHT, JOYPAD_RIGHT}, {pad_button::DPAD_LEFT, JOYPAD_LEFT},
        {pad_button::DPAD_UP, JOYPAD_UP},       {pad_button::DPAD_DOWN, JOYPAD_DOWN},
        {pad_button::B, JOYPAD_A},              {pad_button::A, JOYPAD_B},
        {pad_button::X, JOYPAD_SELECT},         {pad_button::Y, JOYPAD_START},
        {4, 0x00},  // Back
        {6, 0x00},  // Start of the controller: not mapped
    };
    for (const Row& r : rows) {
        const u8 state = controller_joypad_state([&](int b) { return b == r.button; });
        EXPECT_EQ(state, r.state) << "button " << r.button;
    }
    EXPECT_EQ(controller_joypad_state([](int) { return true; }), 0xFF);
    EXPECT_EQ(controller_joypad_state([](int) { return false; }), 0x00);
}

// ---------------------------------------------------------------------------
// Hotkeys and the window title's status

namespace {
struct ControlsFixture : TestMachine {
    ControlsFixture() : TestMachine(RomImage()), controls(*gb, [this](const std::string& t) { titles.push_back(t); }) {}
    std::vector<std::string> titles;
    Controls controls;
    Audio& audio() { return gb->audio; }
    std::array<bool, 4> channels() {
        return {audio().channel1->enabled, audio().channel2->enabled, audio().channel3->enabled,
                audio().channel4->enabled};
    }
    void tap(int key) {
        controls.key_down(key);
        controls.key_up(key);
    }
};
}  // namespace

TEST(Hotkeys, QuitOnReleaseOfEscapeOrQ) {
    for (int key : {scancode::ESCAPE, scancode::Q}) {
        ControlsFixture f;
        f.controls.key_down(key);
        EXPECT_FALSE(f.controls.quit);
        f.controls.key_up(key);
        EXPECT_TRUE(f.controls.quit);
    }
    ControlsFixture f;
    f.controls.request_quit();
    EXPECT_TRUE(f.controls.quit);
}

TEST(Hotkeys, SpaceHoldsTurbo) {
    ControlsFixture f;
    f.controls.key_down(scancode::SPACE);
    EXPECT_TRUE(f.gb->player_turbo);
    f.controls.key_down(scancode::SPACE);  // auto-repeat
    EXPECT_TRUE(f.gb->player_turbo);
    f.controls.key_up(scancode::SPACE);
    EXPECT_FALSE(f.gb->player_turbo);
    // Started with turbo on: one press and release switches it off.
    f.gb->player_turbo = true;
    f.tap(scancode::SPACE);
    EXPECT_FALSE(f.gb->player_turbo);
}

TEST(Hotkeys, PauseFlipsOnRelease) {
    ControlsFixture f;
    f.controls.key_down(scancode::P);
    EXPECT_FALSE(f.gb->cpu.paused);
    f.controls.key_up(scancode::P);
    EXPECT_TRUE(f.gb->cpu.paused);
    f.tap(scancode::P);
    EXPECT_FALSE(f.gb->cpu.paused);
}

TEST(Hotkeys, ChannelSwitches) {
    ControlsFixture f;
    EXPECT_EQ(f.channels(), (std::array<bool, 4>{true, true, true, true}));
    f.controls.key_down(scancode::NUM_2);
    EXPECT_EQ(f.channels(), (std::array<bool, 4>{true, true, true, true}));
    f.controls.key_up(scancode::NUM_2);
    EXPECT_EQ(f.channels(), (std::array<bool, 4>{true, false, true, true}));
    f.tap(scancode::NUM_1);
    f.tap(scancode::NUM_4);
    EXPECT_EQ(f.channels(), (std::array<bool, 4>{false, false, true, false}));
    f.tap(scancode::NUM_3);
    f.tap(scancode::NUM_2);
    EXPECT_EQ(f.channels(), (std::array<bool, 4>{false, true, false, false}));
}

TEST(Hotkeys, AllSoundFollowsChannelOne) {
    struct Row {
        std::array<bool, 4> before;
        bool after;
    };
    const Row rows[] = {{{false, true, true, true}, true}, {{true, false, false, false}, false}};
    for (const Row& r : rows) {
        ControlsFixture f;
        f.audio().channel1->enabled = r.before[0];
        f.audio().channel2->enabled = r.before[1];
        f.audio().channel3->enabled = r.before[2];
        f.audio().channel4->enabled = r.before[3];
        f.tap(scancode::M);
        EXPECT_EQ(f.channels(), (std::array<bool, 4>{r.after, r.after, r.after, r.after}));
    }
}

TEST(Hotkeys, OtherKeysDoNothing) {
    ControlsFixture f;
    for (int key = 0; key < 512; ++key) {
        static const std::set<int> hotkeys = {scancode::SPACE, scancode::ESCAPE, scancode::Q, scancode::NUM_1,
                                              scancode::NUM_2, scancode::NUM_3,  scancode::NUM_4, scancode::M,
                                              scancode::W,     scancode::P,      scancode::BACKSPACE};
        if (hotkeys.count(key)) continue;
        f.tap(key);
    }
    EXPECT_FALSE(f.controls.quit);
    EXPECT_FALSE(f.gb->player_turbo);
    EXPECT_FALSE(f.gb->cpu.paused);
    EXPECT_EQ(f.channels(), (std::array<bool, 4>{true, true, true, true}));
    EXPECT_TRUE(f.titles.empty());
}

TEST(WindowTitle, NameVersionAndStatus) {
    EXPECT_EQ(generate_window_title(), "Zembrix - v0.1.2022-05-01.11-19-52");
    EXPECT_EQ(generate_window_title("Symbol file written"),
              "Zembrix - v0.1.2022-05-01.11-19-52 - Symbol file written");
}

// W writes the symbol file beside a ROM loaded from a file, as the program
// loads it.
namespace {
struct SymbolFileFixture : ControlsFixture {
    TempDir dir;
    std::string rom_path;
    std::string sym_path;
    SymbolFileFixture() {
        // NOP, JR -3: a three-byte loop at the entry point.
        rom_path = dir.file("game.gb", RomImage({0x00, 0x18, 0xFD}).bytes);
        sym_path = dir.path("game.sym");
        gb->load_rom(rom_path);
        gb->run_frame();
    }
    std::string printed_by_w() {
        testing::internal::CaptureStdout();
        tap(scancode::W);
        return testing::internal::GetCapturedStdout();
    }
};

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
}  // namespace

TEST(Hotkeys, SymbolFileWrittenBesideTheRomShowsForSixtyPasses) {
    SymbolFileFixture f;
    const std::string plain = generate_window_title();
    const std::string status = plain + " - Symbol file written";

    f.tap(scancode::W);
    ASSERT_EQ(f.titles, (std::vector<std::string>{status}));
    const std::string text = file_text(f.sym_path);
    EXPECT_EQ(text.rfind("; Symbol file for \"" + f.rom_path + "\" generated by Zembrix", 0), 0u) << text;
    EXPECT_NE(text.find("\n\n00:0100 .code:0003\n"), std::string::npos) << text;
    EXPECT_FALSE(std::filesystem::exists(f.sym_path + ".bak"));
    for (int pass = 1; pass < 60; ++pass) f.controls.begin_pass();
    EXPECT_EQ(f.titles.size(), 1u);  // 59 passes: still shown
    f.controls.begin_pass();
    EXPECT_EQ(f.titles, (std::vector<std::string>{status, plain}));
    for (int pass = 0; pass < 200; ++pass) f.controls.begin_pass();
    EXPECT_EQ(f.titles.size(), 2u);  // nothing more to restore

    // A second W while shown starts the sixty passes again.
    f.titles.clear();
    f.tap(scancode::W);
    for (int pass = 0; pass < 30; ++pass) f.controls.begin_pass();
    f.tap(scancode::W);
    for (int pass = 1; pass < 60; ++pass) f.controls.begin_pass();
    EXPECT_EQ(f.titles, (std::vector<std::string>{status, status}));
    f.controls.begin_pass();
    EXPECT_EQ(f.titles.back(), plain);
}

// A linker's symbol file is the developer's own: W keeps it as .sym.bak and
// says so; a later W replaces only its own file.
TEST(Hotkeys, SymbolFileOfTheDevelopersIsKeptAsBackup) {
    SymbolFileFixture f;
    const std::string linker_file = "; File generated by rgblink\r\n00:0100 Start\r\n";
    std::ofstream(f.sym_path, std::ios::binary) << linker_file;

    f.tap(scancode::W);
    EXPECT_EQ(f.titles, (std::vector<std::string>{generate_window_title() +
                                                  " - Symbol file written, the old one kept as game.sym.bak"}));
    EXPECT_EQ(file_text(f.sym_path + ".bak"), linker_file);
    EXPECT_NE(file_text(f.sym_path).find("00:0100 .code:0003"), std::string::npos);

    f.tap(scancode::W);
    EXPECT_EQ(f.titles.back(), generate_window_title() + " - Symbol file written");
    EXPECT_EQ(file_text(f.sym_path + ".bak"), linker_file);
}

// A write that cannot finish says why, names the file, leaves the old file
// and the title as they were and no temporary file behind.
TEST(Hotkeys, FailedSymbolFileWriteKeepsTheOldFileAndTheTitle) {
    {
        SymbolFileFixture f;
        std::filesystem::create_directory(f.sym_path);  // nothing can replace it
        const std::string printed = f.printed_by_w();
        EXPECT_NE(printed.find("Could not write the symbol file " + f.sym_path), std::string::npos) << printed;
        EXPECT_TRUE(f.titles.empty());
        EXPECT_EQ(f.controls.title_reset_counter, 0);
        EXPECT_TRUE(std::filesystem::is_directory(f.sym_path));
        EXPECT_FALSE(std::filesystem::exists(f.sym_path + ".tmp"));
    }
    {
        // The developer's file cannot be kept (it is larger than any symbol
        // file the program would copy), so it is not replaced.
        SymbolFileFixture f;
        std::ofstream(f.sym_path, std::ios::binary) << "00:0100 Start\n";
        const std::uintmax_t size = 65u << 20;
        std::filesystem::resize_file(f.sym_path, size);
        const std::string printed = f.printed_by_w();
        EXPECT_NE(printed.find("Could not write the symbol file " + f.sym_path), std::string::npos) << printed;
        EXPECT_TRUE(f.titles.empty());
        EXPECT_EQ(std::filesystem::file_size(f.sym_path), size);
        EXPECT_FALSE(std::filesystem::exists(f.sym_path + ".bak"));
    }
}

TEST(Hotkeys, BackspaceRollsTheGameBackThreeSecondsAndHandsItToThePlayer) {
    ControlsFixture f;
    GB& gb = *f.gb;
    const u64 second = 4194304;
    // Five seconds of play with snapshots, as the main loop takes them, and a
    // change of the buttons recorded every frame.
    u8 buttons = 0;
    const u64 start = gb.cpu.cycles_4mhz;
    while (gb.cpu.cycles_4mhz - start < 5 * second) {
        gb.joypad_states.push_back({++buttons, gb.cpu.cycles_4mhz});
        gb.run_frame();
        gb.check_if_save_state_needed();
    }
    const u64 before = gb.cpu.cycles_4mhz;
    f.tap(scancode::BACKSPACE);
    EXPECT_GE(gb.cpu.cycles_4mhz, before - 3 * second);
    EXPECT_LT(gb.cpu.cycles_4mhz, before - 3 * second + 100);
    EXPECT_FALSE(gb.replay_mode);
    ASSERT_FALSE(gb.joypad_states.empty());
    EXPECT_LE(gb.joypad_states.back().cycle, gb.cpu.cycles_4mhz);
    EXPECT_EQ(f.titles, (std::vector<std::string>{generate_window_title("Rolled back")}));
}

// ---------------------------------------------------------------------------
// Frame pacing

TEST(FramePacing, DeadlinesFollowEachOtherWithoutDrift) {
    using namespace std::chrono;
    using Clock = FramePacer::Clock;
    FramePacer pacer;
    const Clock::time_point start{seconds(1000)};
    pacer.restart(start);
    // Frames that take a varying share of the period, and a sleep that
    // overshoots by 300 us each time: the schedule does not move.
    Clock::time_point now = start;
    for (int frame = 1; frame <= 600; ++frame) {
        now += microseconds(2000 + (frame % 7) * 1500);  // the frame's work
        const auto due = pacer.next_frame_due(now);
        EXPECT_EQ(due, start + FRAME_PERIOD * frame);
        ASSERT_GT(due, now);
        now = due + microseconds(300);  // the sleep's overshoot
    }
    // 600 frames take ten seconds and a twentieth, as on the hardware.
    EXPECT_EQ(duration_cast<milliseconds>(now - start).count(), 10045);
}

TEST(FramePacing, LateFramesCatchUpBrieflyThenTheScheduleRestarts) {
    using namespace std::chrono;
    using Clock = FramePacer::Clock;
    FramePacer pacer;  // gives up after four frames behind
    const Clock::time_point start{seconds(50)};
    pacer.restart(start);
    // One frame 40 ms late: the next two are due at once (catching up), then
    // the old schedule continues.
    Clock::time_point now = start + milliseconds(50);
    EXPECT_EQ(pacer.next_frame_due(now), start + FRAME_PERIOD);
    EXPECT_EQ(pacer.next_frame_due(now), start + FRAME_PERIOD * 2);
    EXPECT_EQ(pacer.next_frame_due(now), start + FRAME_PERIOD * 3);
    EXPECT_GT(start + FRAME_PERIOD * 3, now);
    // A stall of a second: no burst of frames, the schedule starts from now.
    now += seconds(1);
    EXPECT_EQ(pacer.next_frame_due(now), now);
    EXPECT_EQ(pacer.next_frame_due(now), now + FRAME_PERIOD);
    // The limit: exactly four frames behind still catches up, a nanosecond more restarts.
    for (int extra_ns : {0, 1}) {
        pacer.restart(start);
        now = start + FRAME_PERIOD * 5 + nanoseconds(extra_ns);
        EXPECT_EQ(pacer.next_frame_due(now), extra_ns ? now : start + FRAME_PERIOD) << extra_ns;
    }
}
