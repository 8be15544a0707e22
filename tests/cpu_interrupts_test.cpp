#include <gtest/gtest.h>

#include "test_machine.h"

// Interrupt entry, HALT, STOP and the CGB speed switch, timed in CPU-clock
// cycles from the step that notices the request.

namespace {

constexpr u8 EI = 0xFB, HALT = 0x76, NOP = 0x00, STOP = 0x10;

struct Machine : TestMachine {
    Machine(const std::vector<u8>& program, const std::string& model)
        : TestMachine(RomImage(program).cgb_flag(0x80), model) {
        // The boot program leaves a VBlank request behind; start from none.
        gb->write_byte(REG_IF, 0x00);
    }
    GB& g() { return *gb; }
    CPU& c() { return gb->cpu; }
};

u16 vector_of(u8 mask) { return u16(0x40 + 8 * __builtin_ctz(mask)); }

}  // namespace

TEST(Interrupts, LowestPendingBitWinsAndTheOthersStayRequested) {
    Machine m({EI, NOP, NOP}, "dmgB");
    m.g().write_byte(REG_IE, 0x1F);
    m.step(2);
    m.c().flag_interrupt(INT_JOYPAD | INT_TIMER | INT_STAT);
    m.step();
    EXPECT_EQ(m.c().pc, 0x0048);
    EXPECT_EQ(m.g().read_byte(REG_IF) & 0x1F, INT_JOYPAD | INT_TIMER);
}

TEST(Interrupts, EntryFromHaltCostsPerFamilyAndSource) {
    struct Case {
        const char* model;
        u8 mask;
        u64 cycles;
    };
    const Case cases[] = {
        // CGB: wait M-cycle, two internal, two pushes; one more for VBlank, STAT and timer.
        {"cgbE", INT_VBLANK, 24},
        {"cgbE", INT_STAT, 24},
        {"cgbE", INT_TIMER, 24},
        {"cgbE", INT_SERIAL, 20},
        {"cgbE", INT_JOYPAD, 20},
        // DMG: half an M-cycle, one and a half internal, two pushes (the
        // sources that cost one more are checked by the test ROMs).
        {"dmgB", INT_SERIAL, 16},
        {"dmgB", INT_JOYPAD, 16},
    };
    for (const Case& c : cases) {
        Machine m({EI, HALT, NOP, NOP}, c.model);
        m.g().write_byte(REG_IE, 0x1F);
        m.step(2);
        ASSERT_TRUE(m.c().halted);
        m.step(3);  // idle wait steps
        EXPECT_EQ(m.c().pc, 0x0101) << "PC stays on HALT";
        m.g().ppu.last_stat_source = -1;
        m.c().flag_interrupt(c.mask);
        const u64 start = m.c().cpu_cycles;
        m.step();
        EXPECT_EQ(m.c().cpu_cycles - start, c.cycles) << c.model << " mask " << int(c.mask) ;
        EXPECT_EQ(m.c().pc, vector_of(c.mask));
        EXPECT_FALSE(m.c().halted);
        EXPECT_EQ(m.g().read_word(m.c().sp), 0x0102) << "returns after the HALT";
    }
}

namespace {

// The buttons the test holds.
struct HeldButtons : Host {
    void update_display(const u32*) override {}
    u8 get_joypad_state() override { return buttons; }
    u8 buttons = 0;
};

// DI; P1 = select; IF = 0; IE = ie; STOP second; then INC B for ever. STOP
// sits at 010C, its second byte at 010D, the loop at 010E.
struct StopMachine : Machine {
    StopMachine(const std::string& model, u8 select, u8 ie, u8 second = 0x00)
        : Machine({0xF3, 0x3E, select, 0xE0, 0x00, 0xAF, 0xE0, 0x0F, 0x3E, ie, 0xE0, 0xFF, STOP, second, 0x04, 0x18,
                   0xFD},
                  model) {
        gb->host = &host;
    }
    static constexpr int STEPS_BEFORE_STOP = 7;
    HeldButtons host;
};

}  // namespace

// STOP without a speed switch stops the CPU's clock, each step one M-cycle,
// until a selected joypad line goes low: no interrupt request wakes it, nor a
// key of a group that is not selected. The machine sees the key at its next
// look at the buttons (the end of a frame), and the same edge requests the
// joypad interrupt. STOP is two bytes long, or one when an enabled interrupt
// was already requested (its second byte, INC C here, then runs after it).
TEST(Stop, WithoutSpeedSwitchOnlyASelectedKeyGoingDownWakesTheCpu) {
    struct Row {
        const char* model;
        u8 select;  // FF00: bit 4 low selects the directions, bit 5 low the buttons
        u8 key;
        bool wakes;
        bool requested = false;  // an enabled request made before STOP
    };
    const Row rows[] = {
        {"dmgB", 0x20, JOYPAD_RIGHT, true}, {"dmgB", 0x20, JOYPAD_A, false},    {"mgb", 0x10, JOYPAD_START, true},
        {"sgb", 0x00, JOYPAD_DOWN, true},   {"cgbE", 0x10, JOYPAD_B, true},     {"cgbE", 0x30, JOYPAD_A, false},
        {"cgbE", 0x10, JOYPAD_UP, false},   {"dmgB", 0x10, JOYPAD_A, true, true}, {"cgbE", 0x20, JOYPAD_LEFT, true, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.model) + " select " + std::to_string(r.select) + " key " + std::to_string(r.key) +
                     (r.requested ? " requested" : ""));
        StopMachine m(r.model, r.select, INT_JOYPAD, 0x0C);
        m.step(StopMachine::STEPS_BEFORE_STOP);
        if (r.requested) m.c().flag_interrupt(INT_JOYPAD);
        const u8 c = m.c().c();
        m.step();
        ASSERT_TRUE(m.c().stopped);
        EXPECT_EQ(m.c().pc, r.requested ? 0x010D : 0x010E);
        m.g().write_byte(REG_IF, 0x00);
        m.g().write_byte(REG_IE, 0x1F);
        m.c().flag_interrupt(0x0F);
        const u64 start = m.c().cpu_cycles;
        m.step(10);
        EXPECT_EQ(m.c().cpu_cycles - start, 40u) << "each step is one M-cycle";
        for (int f = 0; f < 3; ++f) m.g().run_frame();
        EXPECT_TRUE(m.c().stopped) << "an interrupt request does not wake it";
        EXPECT_EQ(m.c().if_reg & INT_JOYPAD, 0);
        m.host.buttons = r.key;
        m.g().run_frame();
        EXPECT_EQ(m.c().stopped, !r.wakes);
        EXPECT_EQ((m.c().if_reg & INT_JOYPAD) != 0, r.wakes);
        m.g().run_frame();
        EXPECT_EQ(m.c().b() != 0, r.wakes) << "the loop after STOP runs";
        EXPECT_EQ(m.c().c(), u8(r.wakes && r.requested ? c + 1 : c)) << "the second byte runs after a one-byte STOP";
    }
}

// A selected key already held when STOP runs: no line can go low, and the CPU
// does not stop. With an enabled interrupt already requested STOP is one byte
// long and its second byte runs next; otherwise it is two bytes and the CPU
// halts until an enabled interrupt is requested.
TEST(Stop, AKeyAlreadyHeldKeepsTheCpuFromStopping) {
    struct Row {
        const char* model;
        u8 ie;
        bool requested;  // an enabled request made before STOP
    };
    const Row rows[] = {{"dmgB", INT_VBLANK, false}, {"cgbE", INT_VBLANK, false}, {"dmgB", INT_TIMER, true},
                        {"cgbE", INT_JOYPAD, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.model) + " ie " + std::to_string(r.ie));
        StopMachine m(r.model, 0x10, r.ie, 0x0C);  // the second byte is INC C
        m.host.buttons = JOYPAD_A;
        m.step(StopMachine::STEPS_BEFORE_STOP);
        if (r.requested) m.c().flag_interrupt(r.ie);
        const u8 c = m.c().c();
        m.step();
        EXPECT_FALSE(m.c().stopped);
        EXPECT_EQ(m.c().halted, !r.requested);
        EXPECT_EQ(m.c().pc, 0x010D);
        m.step(r.requested ? 1 : 30000);  // halted: up to the next VBlank
        EXPECT_FALSE(m.c().halted);
        EXPECT_EQ(m.c().c(), u8(r.requested ? c + 1 : c)) << "the second byte runs only after a one-byte STOP";
        EXPECT_GE(m.c().pc, 0x010E);
    }
}

TEST(Stop, SpeedSwitchToDoubleSpeed) {
    // LD A,1; LDH (4D),A; STOP; NOP
    Machine m({0x3E, 0x01, 0xE0, 0x4D, STOP, 0x00, NOP}, "cgbE");
    m.step(2);
    EXPECT_EQ(m.g().read_byte(REG_KEY1), 0x7F);
    const u64 start_4mhz = m.c().cycles_4mhz;
    const u64 start_cpu = m.c().cpu_cycles;
    m.step();
    EXPECT_TRUE(m.g().double_speed);
    EXPECT_EQ(m.g().read_byte(REG_KEY1), 0xFE);
    EXPECT_EQ(m.c().pc, 0x0106);
    // Fetch and two more M-cycles at normal speed, then 0x8000 M-cycles at
    // double speed, over which the divider counts 0x20000 and wraps to 0.
    EXPECT_EQ(m.c().cycles_4mhz - start_4mhz, 4u + 8u + 0x10000u);
    EXPECT_EQ(m.c().cpu_cycles - start_cpu, 4u + 8u + 0x20000u);
    EXPECT_EQ(m.g().timer.counter(), 0u);
    EXPECT_FALSE(m.g().ppu_phase_shift);
}

TEST(Stop, SpeedSwitchBackTakesTheSameTimeOnEitherPhase) {
    // Each NOP in double speed is 2 base cycles, so the NOP count decides on
    // which half of a single-speed M-cycle the switch back begins.
    for (int nops = 0; nops < 4; ++nops) {
        std::vector<u8> program = {0x3E, 0x01, 0xE0, 0x4D, STOP, 0x00};
        program.insert(program.end(), size_t(nops), NOP);
        program.insert(program.end(), {0xE0, 0x4D, STOP, 0x00, NOP});
        Machine m(program, "cgbE");
        m.step(3 + nops + 1);
        ASSERT_TRUE(m.g().double_speed);
        const u64 before = m.c().cycles_4mhz;
        m.step();
        ASSERT_FALSE(m.g().double_speed);
        // STOP fetch and two more M-cycles at double speed (2 + 4), then
        // three base cycles and 0x7FFF M-cycles at normal speed.
        EXPECT_EQ(m.c().cycles_4mhz - before, 2u + 4u + 3u + 0x7FFFu * 4) << nops << " NOPs";
        EXPECT_EQ(m.g().timer.counter(), 0u) << nops << " NOPs";
        EXPECT_FALSE(m.g().ppu_phase_shift);
    }
}

TEST(Stop, PendingRequestEndsTheSpeedSwitchWaitAtOnce) {
    struct Case {
        bool ime;
        u16 pc_after;  // the vector, or the byte after STOP 00
    };
    const Case cases[] = {{true, 0x0040}, {false, 0x0107}};
    for (const Case& c : cases) {
        // LD A,1; LDH (4D),A; (EI or NOP); STOP; NOP. The request is made
        // before EI, so it can only be taken once STOP has run.
        Machine m({0x3E, 0x01, 0xE0, 0x4D, c.ime ? EI : NOP, STOP, 0x00, NOP}, "cgbE");
        m.g().write_byte(REG_IE, INT_VBLANK);
        m.step(2);
        m.c().flag_interrupt(INT_VBLANK);
        m.step();
        const u64 start = m.c().cycles_4mhz;
        m.step();
        EXPECT_TRUE(m.g().double_speed);
        EXPECT_EQ(m.c().pc, c.pc_after) << "ime " << c.ime;
        EXPECT_LT(m.c().cycles_4mhz - start, 64u) << "no settling wait";
        EXPECT_EQ((m.g().read_byte(REG_IF) & INT_VBLANK) != 0, !c.ime) << "ime " << c.ime;
    }
}

TEST(Stop, DmgCompatibilityModeNeverSwitchesSpeed) {
    // A monochrome cartridge on a CGB: KEY1 is gone and STOP just stops.
    TestMachine m(RomImage({0x3E, 0x01, 0xE0, 0x4D, STOP, 0x00}), "cgbE");
    m.step(3);
    EXPECT_FALSE(m.gb->double_speed);
    EXPECT_TRUE(m.gb->cpu.stopped);
}
