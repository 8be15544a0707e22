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

TEST(Stop, WithoutSpeedSwitchStopsTheCpuForGood) {
    for (const char* model : {"dmgB", "cgbE"}) {
        // STOP 00; INC A
        Machine m({STOP, 0x00, 0x3C}, model);
        m.step();
        EXPECT_TRUE(m.c().stopped) << model;
        EXPECT_EQ(m.c().pc, 0x0102);
        const u8 a = m.c().a();
        const u64 start = m.c().cpu_cycles;
        m.g().write_byte(REG_IE, 0x1F);
        m.c().flag_interrupt(0x1F);
        m.step(10);
        EXPECT_EQ(m.c().cpu_cycles - start, 40u) << "each step is one M-cycle";
        EXPECT_EQ(m.c().pc, 0x0102);
        EXPECT_EQ(m.c().a(), a);
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
