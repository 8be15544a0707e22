// The P1 register (FF00): select lines, the input lines they connect, the
// joypad interrupt with its random delay, and the recording and replay of the
// host's button state.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "peripherals_support.h"

namespace {

// A front end without SDL: the buttons are whatever the test holds.
class ButtonHost : public Host {
public:
    void update_display(const u32*) override {}
    u8 get_joypad_state() override {
        ++polls;
        return buttons;
    }
    u8 buttons = 0;
    int polls = 0;
};

struct JoypadMachine : TestMachine {
    explicit JoypadMachine(const std::string& model = "dmgB", u8 cgb_flag = 0x00)
        : TestMachine(RomImage().cgb_flag(cgb_flag), model) {
        gb->host = &host;
        gb->write_byte(REG_IF, 0x00);
    }
    GB& g() { return *gb; }
    u8 p1() { return gb->read_byte(REG_P1); }
    // Selects the groups and takes one reading, so that the next reading
    // compares against the given buttons.
    void settle(u8 select, u8 buttons) {
        gb->write_byte(REG_P1, select);
        host.buttons = buttons;
        p1();
    }
    ButtonHost host;
};

std::string hex(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", v);
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Select lines and input lines

TEST(Joypad, SelectedGroupsPullTheirLinesLow) {
    struct Row {
        u8 select;   // byte written to FF00
        u8 buttons;  // host state: bit 0 Right ... bit 7 Start
        u8 expected;
    };
    const Row rows[] = {
        {0x00, 0x00, 0xCF},
        {0x30, 0xFF, 0xFF},  // neither group: every line stays high
        // One group selected: the other group's keys do not reach the lines.
        {0x20, JOYPAD_A | JOYPAD_RIGHT, 0xEE},
        {0x20, JOYPAD_DOWN | JOYPAD_UP | JOYPAD_LEFT | JOYPAD_RIGHT, 0xE5},  // Down, Left win
        {0x20, JOYPAD_UP | JOYPAD_RIGHT, 0xEA},
        {0x10, JOYPAD_START | JOYPAD_B | JOYPAD_UP, 0xD5},
        {0x10, JOYPAD_SELECT | JOYPAD_A, 0xDA},
        // Both groups share the four lines; an action button still pulls the
        // line of the losing direction.
        {0x00, JOYPAD_A | JOYPAD_UP, 0xCA},
        {0x00, JOYPAD_UP | JOYPAD_DOWN | JOYPAD_SELECT, 0xC3},
        {0x00, JOYPAD_LEFT | JOYPAD_RIGHT | JOYPAD_A, 0xCC},
        // Bits 6-7 and 0-3 of the written byte do not show.
        {0xEF, JOYPAD_DOWN, 0xE7},
        {0xDF, JOYPAD_SELECT, 0xDB},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("select " + hex(r.select) + " buttons " + hex(r.buttons));
        JoypadMachine m;
        m.g().write_byte(REG_P1, r.select);
        m.host.buttons = r.buttons;
        EXPECT_EQ(m.p1(), r.expected);
        EXPECT_EQ(m.g().joypad.p1, r.select);  // the whole byte is kept
    }
}

TEST(Joypad, WithoutAHostNothingIsHeld) {
    TestMachine m{RomImage()};
    ASSERT_EQ(m.gb->host, nullptr);
    m.gb->write_byte(REG_P1, 0x00);
    EXPECT_EQ(m.gb->read_byte(REG_P1), 0xCF);
}

TEST(Joypad, EveryReadAsksTheHostAndAWriteNeitherReadsNorArms) {
    JoypadMachine m;
    m.settle(0x30, JOYPAD_RIGHT);
    m.g().joypad.interrupt_pending = 0;
    const int polls = m.host.polls;
    m.g().write_byte(REG_P1, 0x20);  // Right now reaches a line, but nobody looks
    EXPECT_EQ(m.host.polls, polls);
    EXPECT_FALSE(m.g().joypad.interrupt_pending);
    EXPECT_EQ(m.g().joypad.last_p1_value, 0xFF);
    EXPECT_EQ(m.p1(), 0xEE);
    m.host.buttons = 0;
    EXPECT_EQ(m.p1(), 0xEF);
    EXPECT_EQ(m.host.polls, polls + 2);
}

// ---------------------------------------------------------------------------
// Reset and the post-boot state

TEST(Joypad, ResetClearsTheRegisterButKeepsTheDelayAndTheRecord) {
    JoypadMachine m;
    m.host.buttons = JOYPAD_B;
    m.p1();
    const size_t recorded = m.g().joypad_states.size();
    ASSERT_GE(recorded, 1u);
    m.g().joypad.p1 = 0x30;
    m.g().joypad.last_p1_value = 0xEE;
    m.g().joypad.interrupt_pending = 1;
    m.g().joypad.interrupt_delay = 77;
    m.g().reset();
    EXPECT_EQ(m.g().joypad.p1, 0x00);
    EXPECT_EQ(m.g().joypad.last_p1_value, 0x00);
    EXPECT_EQ(m.g().joypad.interrupt_pending, 0);
    EXPECT_EQ(m.g().joypad.interrupt_delay, 77);
    EXPECT_EQ(m.g().joypad_states.size(), recorded);
    m.p1();  // still the same buttons: nothing new is recorded
    EXPECT_EQ(m.g().joypad_states.size(), recorded);
}

// A colour cartridge on a CGB leaves both select lines low (KEY0 holds the
// header flag); the other models' post-boot P1 is checked by the test ROMs.
TEST(Joypad, PostBootSelectLinesOfAColourCartridge) {
    JoypadMachine m("cgbE", 0x80);
    EXPECT_EQ(m.g().joypad.p1, 0x00);
    JoypadMachine dmg_cartridge("cgbE", 0x00);
    EXPECT_EQ(dmg_cartridge.g().joypad.p1, 0xFF);
}

// ---------------------------------------------------------------------------
// Joypad interrupt

TEST(JoypadInterrupt, ArmsWhenTheInputLinesChange) {
    struct Row {
        const char* what;
        u8 select_before, buttons_before;
        u8 select_after, buttons_after;
        bool arms;
    };
    const Row rows[] = {
        {"press of a selected direction", 0x20, 0x00, 0x20, JOYPAD_RIGHT, true},
        {"release of a selected direction", 0x20, JOYPAD_RIGHT, 0x20, 0x00, true},
        {"press of a selected button", 0x10, 0x00, 0x10, JOYPAD_START, true},
        {"press of an unselected group", 0x20, 0x00, 0x20, JOYPAD_A, false},
        {"second key on a line already low", 0x00, JOYPAD_A, 0x00, JOYPAD_A | JOYPAD_RIGHT, false},
        {"Up while Down holds the line", 0x20, JOYPAD_DOWN, 0x20, JOYPAD_DOWN | JOYPAD_UP, false},
        {"Down taking over from Up", 0x20, JOYPAD_UP, 0x20, JOYPAD_DOWN | JOYPAD_UP, true},
        {"selecting a group with a key held", 0x30, JOYPAD_LEFT, 0x20, JOYPAD_LEFT, true},
        {"select lines moved, lines unchanged", 0x30, 0x00, 0x00, 0x00, false},
        // Every line low before: nothing arms, even when a line goes high.
        {"release from all lines low", 0x10, 0xF0, 0x10, 0xE0, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        JoypadMachine m;
        m.settle(r.select_before, r.buttons_before);
        m.g().joypad.interrupt_pending = 0;
        m.g().write_byte(REG_P1, r.select_after);
        m.host.buttons = r.buttons_after;
        m.p1();
        EXPECT_EQ(m.g().joypad.interrupt_pending != 0, r.arms);
    }
}

TEST(JoypadInterrupt, DelaysFollowTheUnseededCLibrarySequence) {
    // The machine's generator restarts at every reset and draws what rand()
    // gives after srand(seed): every run and every replay sees the same delays.
    JoypadMachine m;
    for (unsigned seed : {1u, 7u, 99u, 123456u}) {
        m.g().joypad.random.seed(seed);
        std::srand(seed);
        for (int i = 0; i < 2000; ++i) ASSERT_EQ(m.g().joypad.random.next(), std::rand()) << "seed " << seed;
    }
    m.g().reset();
    std::srand(1);
    EXPECT_EQ(m.g().joypad.random.next(), std::rand());
}

TEST(JoypadInterrupt, FiresAtTheCheckThatTheDrawnDelayNamesAndOnlyOnce) {
    // The delay is the low seven bits of the next random value; the seeds
    // cover a delay of 0 and a large one.
    unsigned zero = 0, large = 0;
    for (unsigned seed = 1; seed < 100000 && (!zero || !large); ++seed) {
        std::srand(seed);
        const int d = std::rand() & 127;
        if (d == 0 && !zero) zero = seed;
        if (d >= 120 && !large) large = seed;
    }
    for (unsigned seed : {7u, zero, large}) {
        std::srand(seed);
        const int delay = std::rand() & 127;
        SCOPED_TRACE("delay " + std::to_string(delay));
        JoypadMachine m;
        m.settle(0x20, 0x00);
        m.g().joypad.random.seed(seed);
        m.host.buttons = JOYPAD_LEFT;
        m.p1();
        EXPECT_EQ(m.g().joypad.interrupt_delay, delay);
        for (int i = 0; i < delay; ++i) m.g().joypad.check_for_interrupt_trigger();
        EXPECT_FALSE(interrupt_requested(m.g(), INT_JOYPAD));
        m.g().joypad.check_for_interrupt_trigger();
        EXPECT_TRUE(interrupt_requested(m.g(), INT_JOYPAD));
        m.g().write_byte(REG_IF, 0x00);
        for (int i = 0; i < 200; ++i) m.g().joypad.check_for_interrupt_trigger();
        EXPECT_FALSE(interrupt_requested(m.g(), INT_JOYPAD));
    }
}

// The delay counts line starts of the picture unit: lines 1 to 144 and
// line 153, 145 a frame.
TEST(JoypadInterrupt, DelayCountsTheStartsOfLines1To144And153) {
    struct Row {
        int delay;
        int line;   // the line whose start raises the request
        int frame;  // 0 this frame, 1 the next
    };
    const Row rows[] = {{0, 1, 0}, {143, 144, 0}, {144, 153, 0}, {145, 1, 1}, {289, 153, 1}};
    for (const Row& r : rows) {
        SCOPED_TRACE("delay " + std::to_string(r.delay));
        JoypadMachine m;
        auto& ppu = m.g().ppu;
        for (int guard = 0; ppu.current_line != 153; ++guard) {
            ASSERT_LT(guard, 2 * PPU::FRAME_CYCLES);
            m.g().cpu.t_cycle_4mhz();
        }
        // Armed just after line 153's check.
        m.g().joypad.interrupt_pending = 1;
        m.g().joypad.interrupt_delay = r.delay;
        int line_1_starts = 0, last_line = ppu.current_line;
        for (int guard = 0; !interrupt_requested(m.g(), INT_JOYPAD); ++guard) {
            ASSERT_LT(guard, 3 * PPU::FRAME_CYCLES);
            m.g().cpu.t_cycle_4mhz();
            if (ppu.current_line == 1 && last_line != 1) ++line_1_starts;
            last_line = ppu.current_line;
        }
        EXPECT_EQ(ppu.current_line, r.line);
        EXPECT_EQ(line_1_starts, r.frame + 1);
    }
}

TEST(JoypadInterrupt, ArmingAgainDrawsANewDelay) {
    JoypadMachine m;
    m.settle(0x20, 0x00);
    std::srand(99);
    const int first = std::rand() & 127;
    const int second = std::rand() & 127;
    m.g().joypad.random.seed(99);
    m.host.buttons = JOYPAD_UP;
    m.p1();
    EXPECT_EQ(m.g().joypad.interrupt_delay, first);
    m.g().joypad.check_for_interrupt_trigger();  // one check passes
    m.host.buttons = 0;
    m.p1();
    EXPECT_EQ(m.g().joypad.interrupt_delay, second);
}

// ---------------------------------------------------------------------------
// Recording and replay

TEST(JoypadRecord, EveryChangeIsStampedWithThe4MhzClock) {
    JoypadMachine m;
    auto& record = m.g().joypad_states;
    record.clear();
    struct Step {
        int mcycles_before;  // time passing before the read
        u8 buttons;
        bool adds_entry;
    };
    const Step steps[] = {
        {0, 0x00, true},  // an empty record takes the first state whatever it is
        {3, 0x00, false},
        {5, JOYPAD_A, true},
        {7, JOYPAD_A | JOYPAD_DOWN, true},
        {2, 0x00, true},
    };
    size_t expected_size = 0;
    for (const Step& s : steps) {
        advance_mcycles(m.g(), s.mcycles_before);
        m.host.buttons = s.buttons;
        const u64 now = m.g().cpu.cycles_4mhz;
        m.p1();
        if (s.adds_entry) {
            ASSERT_EQ(record.size(), ++expected_size);
            EXPECT_EQ(record.back().state, s.buttons);
            EXPECT_EQ(record.back().cycle, now);
        }
        EXPECT_EQ(record.size(), expected_size);
    }
}

namespace {
// Two recorded changes: A from cycle 100, B from cycle 200.
void record_two_changes(GB& gb) {
    gb.joypad_states.clear();
    gb.joypad_states.push_back({JOYPAD_A, 100});
    gb.joypad_states.push_back({JOYPAD_B, 200});
    gb.replay_index = 0;
    gb.replay_mode = true;
}
}  // namespace

TEST(JoypadReplay, ReplayedStateReplacesTheHost) {
    struct Row {
        u64 cycle;
        u8 expected_p1;  // buttons selected (FF00 = 0x10)
        bool still_replaying;
    };
    const Row rows[] = {
        {50, 0xDF, true},    // before the first change: nothing held
        {99, 0xDF, true},
        {100, 0xDE, true},   // A, from the cycle of the read that saw it
        {199, 0xDE, true},
        {200, 0xDD, false},  // the last change: B, and the host takes over
        {500, 0xDD, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("cycle " + std::to_string(r.cycle));
        JoypadMachine m;
        m.g().write_byte(REG_P1, 0x10);
        m.host.buttons = JOYPAD_START;  // the host is ignored while replaying
        record_two_changes(m.g());
        m.g().cpu.cycles_4mhz = r.cycle;
        EXPECT_EQ(m.p1(), r.expected_p1);
        EXPECT_EQ(m.g().replay_mode, r.still_replaying);
        EXPECT_EQ(m.host.polls, 0);
        EXPECT_EQ(m.g().joypad_states.size(), 2u);  // replay records nothing
    }
}

TEST(JoypadReplay, IndexOnlyMovesForwardThenTheHostTakesOver) {
    JoypadMachine m;
    m.g().write_byte(REG_P1, 0x10);
    m.host.buttons = JOYPAD_START;
    record_two_changes(m.g());
    m.g().cpu.cycles_4mhz = 150;
    EXPECT_EQ(m.p1(), 0xDE);
    m.g().cpu.cycles_4mhz = 180;
    EXPECT_EQ(m.p1(), 0xDE);
    EXPECT_EQ(m.g().replay_index, 1u);
    m.g().cpu.cycles_4mhz = 300;
    EXPECT_EQ(m.p1(), 0xDD);  // the read that runs out still sees B held
    EXPECT_EQ(m.p1(), 0xD7);  // Start from the host
    ASSERT_EQ(m.g().joypad_states.size(), 3u);
    EXPECT_EQ(m.g().joypad_states.back().cycle, 300u);
}
