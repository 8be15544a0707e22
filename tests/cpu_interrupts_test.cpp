#include <gtest/gtest.h>

#include "test_machine.h"

// Interrupt entry, HALT, STOP and the CGB speed switch, timed in CPU-clock
// cycles from the step that notices the request.

namespace {

constexpr u8 EI = 0xFB, DI = 0xF3, HALT = 0x76, NOP = 0x00, STOP = 0x10;

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

TEST(Interrupts, EntryFromRunningCodeTakesFiveMcycles) {
    for (const char* model : {"dmgB", "cgbE"}) {
        for (u8 mask : {INT_VBLANK, INT_STAT, INT_TIMER, INT_SERIAL, INT_JOYPAD}) {
            Machine m({EI, NOP, NOP, NOP}, model);
            m.g().write_byte(REG_IE, 0x1F);
            m.step(2);  // EI, then the NOP that runs with interrupts still blocked
            m.c().flag_interrupt(mask);
            const u16 return_address = m.c().pc;
            const u16 sp = m.c().sp;
            const u64 start = m.c().cpu_cycles;
            m.step();
            EXPECT_EQ(m.c().cpu_cycles - start, 20u) << model << " mask " << int(mask);
            EXPECT_EQ(m.c().pc, vector_of(mask));
            EXPECT_EQ(m.c().sp, u16(sp - 2));
            EXPECT_EQ(m.g().read_word(m.c().sp), return_address);
            EXPECT_EQ(m.c().ime, 0);
            EXPECT_EQ(m.g().read_byte(REG_IF) & mask, 0) << "the taken request is acknowledged";
        }
    }
}

TEST(Interrupts, LowestPendingBitWinsAndTheOthersStayRequested) {
    Machine m({EI, NOP, NOP}, "dmgB");
    m.g().write_byte(REG_IE, 0x1F);
    m.step(2);
    m.c().flag_interrupt(INT_JOYPAD | INT_TIMER | INT_STAT);
    m.step();
    EXPECT_EQ(m.c().pc, 0x0048);
    EXPECT_EQ(m.g().read_byte(REG_IF) & 0x1F, INT_JOYPAD | INT_TIMER);
}

TEST(Interrupts, RequestWithoutEnableBitIsNotTaken) {
    Machine m({EI, NOP, NOP, NOP}, "dmgB");
    m.g().write_byte(REG_IE, INT_VBLANK);
    m.step(2);
    m.c().flag_interrupt(INT_TIMER);
    m.step();
    EXPECT_EQ(m.c().pc, 0x0103);
}

TEST(Interrupts, HighBytePushOntoIeCanCancelTheEntry) {
    // SP = 0: the first push lands on IE. PC is 0x01xx, so IE becomes 0x01 and
    // the timer request no longer qualifies when it is latched.
    Machine m({EI, NOP, NOP, NOP}, "dmgB");
    m.g().write_byte(REG_IE, INT_TIMER);
    m.c().sp = 0x0000;
    m.step(2);
    m.c().flag_interrupt(INT_TIMER);
    m.step();
    EXPECT_EQ(m.c().pc, 0x0000);
    EXPECT_EQ(m.g().read_byte(REG_IE), 0x01);
    EXPECT_NE(m.g().read_byte(REG_IF) & INT_TIMER, 0) << "IF keeps the request";
}

TEST(Interrupts, EntryFromHaltCostsPerFamilyAndSource) {
    struct Case {
        const char* model;
        u8 mask;
        int stat_source;  // last STAT source the PPU reported
        u64 cycles;
    };
    const Case cases[] = {
        // CGB: wait M-cycle, two internal, two pushes; one more for VBlank, STAT and timer.
        {"cgbE", INT_VBLANK, -1, 24},
        {"cgbE", INT_STAT, -1, 24},
        {"cgbE", INT_TIMER, -1, 24},
        {"cgbE", INT_SERIAL, -1, 20},
        {"cgbE", INT_JOYPAD, -1, 20},
        // DMG: half an M-cycle, one and a half internal, two pushes; one more
        // for a timer request, or a STAT request raised by mode 0 or 2.
        {"dmgB", INT_VBLANK, -1, 16},
        {"dmgB", INT_TIMER, -1, 20},
        {"dmgB", INT_SERIAL, -1, 16},
        {"dmgB", INT_STAT, 0, 20},
        {"dmgB", INT_STAT, 2, 20},
        {"dmgB", INT_STAT, 1, 16},
        {"dmgB", INT_STAT, 3, 16},
    };
    for (const Case& c : cases) {
        Machine m({EI, HALT, NOP, NOP}, c.model);
        m.g().write_byte(REG_IE, 0x1F);
        m.step(2);
        ASSERT_TRUE(m.c().halted);
        m.step(3);  // idle wait steps
        EXPECT_EQ(m.c().pc, 0x0101) << "PC stays on HALT";
        m.g().ppu.last_stat_source = c.stat_source;
        m.c().flag_interrupt(c.mask);
        const u64 start = m.c().cpu_cycles;
        m.step();
        EXPECT_EQ(m.c().cpu_cycles - start, c.cycles) << c.model << " mask " << int(c.mask) << " src " << c.stat_source;
        EXPECT_EQ(m.c().pc, vector_of(c.mask));
        EXPECT_FALSE(m.c().halted);
        EXPECT_EQ(m.g().read_word(m.c().sp), 0x0102) << "returns after the HALT";
    }
}

TEST(Interrupts, HaltWithInterruptsDisabledResumesWithoutEntering) {
    for (const char* model : {"dmgB", "cgbE"}) {
        // DI; HALT; INC A; INC A
        Machine m({DI, HALT, 0x3C, 0x3C}, model);
        m.g().write_byte(REG_IE, INT_TIMER);
        const u8 a = m.c().a();
        m.step(2);
        ASSERT_TRUE(m.c().halted);
        m.step(4);  // HALT is fetched again at each step
        EXPECT_TRUE(m.c().halted);
        EXPECT_EQ(m.c().a(), a);
        m.c().flag_interrupt(INT_TIMER);
        m.step();
        EXPECT_FALSE(m.c().halted) << model;
        EXPECT_EQ(m.c().a(), u8(a + 1)) << model << ": the instruction after HALT ran in the same step";
        EXPECT_EQ(m.c().pc, 0x0103);
        EXPECT_NE(m.g().read_byte(REG_IF) & INT_TIMER, 0) << "the request stays in IF";
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

TEST(Stop, SpeedSwitchRoundTrip) {
    // LD A,1; LDH (4D),A; STOP; NOP; LDH (4D),A; STOP; NOP
    Machine m({0x3E, 0x01, 0xE0, 0x4D, STOP, 0x00, 0xE0, 0x4D, STOP, 0x00, NOP}, "cgbE");
    m.step(2);
    EXPECT_EQ(m.g().read_byte(REG_KEY1), 0x7F);
    const u64 start_4mhz = m.c().cycles_4mhz;
    const u64 start_cpu = m.c().cpu_cycles;
    m.step();  // the switch to double speed
    EXPECT_TRUE(m.g().double_speed);
    EXPECT_EQ(m.g().read_byte(REG_KEY1), 0xFE);
    EXPECT_EQ(m.c().pc, 0x0106);
    // Fetch at normal speed, then 0x8004 M-cycles at double speed.
    EXPECT_EQ(m.c().cycles_4mhz - start_4mhz, 4u + 0x10008u);
    EXPECT_EQ(m.c().cpu_cycles - start_cpu, 4u + 0x8004u * 4);
    EXPECT_FALSE(m.g().ppu_phase_shift);

    m.step();  // LDH (4D),A arms again
    const u64 elapsed = m.c().cycles_4mhz - m.c().speed_switch_reference;
    const u64 back_start = m.c().cycles_4mhz;
    m.step();  // back to normal speed
    EXPECT_FALSE(m.g().double_speed);
    const bool extra = (elapsed + 2) % 4 == 2;  // the STOP's own fetch is 2 base cycles
    EXPECT_EQ(m.c().cycles_4mhz - back_start, 2u + 0x20000u + (extra ? 4u : 0u));
    EXPECT_EQ(m.g().ppu_phase_shift, !extra);
    EXPECT_EQ(m.c().pc, 0x010A);
}

TEST(Stop, SpeedSwitchBackAddsAnMcycleOnAnOddPhase) {
    struct Case {
        u64 extra_base_cycles;  // time spent in double speed beyond the switch itself
        bool extra_mcycle;
    };
    // Each NOP in double speed is 2 base cycles, so NOP count decides the phase.
    const Case cases[] = {{0, false}, {2, true}, {4, false}, {6, true}};
    for (const Case& c : cases) {
        std::vector<u8> program = {0x3E, 0x01, 0xE0, 0x4D, STOP, 0x00};
        for (u64 i = 0; i < c.extra_base_cycles / 2; ++i) program.push_back(NOP);
        program.insert(program.end(), {0xE0, 0x4D, STOP, 0x00, NOP});
        Machine m(program, "cgbE");
        m.step(3 + int(c.extra_base_cycles / 2) + 1);
        ASSERT_TRUE(m.g().double_speed);
        const u64 before = m.c().cycles_4mhz;
        m.step();
        ASSERT_FALSE(m.g().double_speed);
        // Elapsed since the switch began: fetch 0x10008 + LDH (3 M-cycles = 6) + NOPs + STOP fetch 2.
        EXPECT_EQ(m.c().cycles_4mhz - before, 2u + 0x20000u + (c.extra_mcycle ? 4u : 0u))
            << "extra " << c.extra_base_cycles;
        EXPECT_EQ(m.g().ppu_phase_shift, !c.extra_mcycle);
    }
}

TEST(Stop, DmgCompatibilityModeNeverSwitchesSpeed) {
    // A monochrome cartridge on a CGB: KEY1 is gone and STOP just stops.
    TestMachine m(RomImage({0x3E, 0x01, 0xE0, 0x4D, STOP, 0x00}), "cgbE");
    m.step(3);
    EXPECT_FALSE(m.gb->double_speed);
    EXPECT_TRUE(m.gb->cpu.stopped);
}
