// SM83 bus behaviour the test ROMs do not see: the exact order of the
// cartridge-bus accesses of the stack and control-flow instructions, a
// repeated EI, the illegal opcodes and what the debugger is told.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "test_machine.h"

namespace {

constexpr u8 FZ = 0x80, FC = 0x10;

// Register values that put every data and stack access into cartridge RAM
// (A000-BFFF), where the tracing controller sees it.
constexpr u16 BC0 = 0xA081, DE0 = 0xA030, HL0 = 0xA010, SP0 = 0xB000;
constexpr u8 A0 = 0x3C;
constexpr u16 STACKED = 0x4321;  // return address waiting at SP0

RomImage rom_with(const std::vector<u8>& program) {
    RomImage rom(program);
    rom.ram_size_code(2);  // 8 KiB of always-enabled RAM on a plain ROM cartridge
    return rom;
}

void load_registers(CPU& cpu, u8 f) {
    cpu.af = u16((A0 << 8) | f);
    cpu.bc = BC0;
    cpu.de = DE0;
    cpu.hl = HL0;
    cpu.sp = SP0;
    cpu.ime = 0;
}

// One machine runs each instruction from work RAM at C000.
class Sm83Timing : public ::testing::Test {
protected:
    TestMachine m{rom_with({})};
    CPU& cpu = m.cpu();

    // Runs `code` at C000 with the standard registers and flags `f`.
    void run(const std::vector<u8>& code, u8 f) {
        for (size_t i = 0; i < code.size(); ++i) m.gb->write_byte(u16(0xC000 + i), code[i]);
        m.gb->write_word(SP0, STACKED);
        load_registers(cpu, f);
        m.gb->debugger.break_requested = false;
        cpu.pc = 0xC000;
        m.step();
    }
};

// The illegal opcodes change nothing but request a break.
TEST_F(Sm83Timing, IllegalOpcodesAreNoOpsThatRequestABreak) {
    for (u8 op : {0xD3, 0xDB, 0xDD, 0xE3, 0xE4, 0xEB, 0xEC, 0xED, 0xF4, 0xFC, 0xFD}) {
        run({op, 0x80, 0xA0}, 0xB0);
        EXPECT_TRUE(m.gb->debugger.break_requested) << std::hex << int(op);
        EXPECT_EQ((std::array{cpu.af, cpu.bc, cpu.de, cpu.hl, cpu.sp}),
                  (std::array<u16, 5>{A0 << 8 | 0xB0, BC0, DE0, HL0, SP0})) << std::hex << int(op);
    }
}

TEST_F(Sm83Timing, PushAndPopMoveTheStackAndTellTheDebugger) {
    m.gb->debugger.return_breakpoint_armed = true;
    m.gb->debugger.return_breakpoint_stack_pointer = 0x1000;
    run({0xD5}, 0x00);  // PUSH DE
    EXPECT_EQ(cpu.sp, SP0 - 2);
    EXPECT_EQ(m.gb->read_word(cpu.sp), DE0);
    EXPECT_EQ(m.gb->debugger.return_breakpoint_stack_pointer, 0x0FFE);
    run({0xE1}, 0x00);  // POP HL
    EXPECT_EQ(cpu.sp, SP0 + 2);
    EXPECT_EQ(cpu.hl, STACKED);
    EXPECT_EQ(m.gb->debugger.return_breakpoint_stack_pointer, 0x1000);
}

// ---------------------------------------------------------------------------
// Bus traces. The program runs from ROM at 0x0100; each case lists the
// cartridge-bus accesses after the opcode fetch as (M-cycle of the step,
// address, read or write, value written).

struct Access {
    int mcycle;
    u16 address;
    char kind;       // 'R' or 'W'
    int value = -1;  // checked for writes
};

struct TraceCase {
    const char* name;
    std::vector<u8> code;
    u8 f;
    std::vector<Access> after_fetch;
    int mcycles;
};

const TraceCase TRACE_CASES[] = {
    {"LdA16FromSpHighByteFirst", {0x08, 0x40, 0xA0}, 0,
     {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}, {4, 0xA041, 'W', SP0 >> 8}, {5, 0xA040, 'W', SP0 & 0xFF}}, 5},
    {"LdHlSpE8", {0xF8, 0x02}, 0, {{2, 0x0101, 'R'}}, 3},
    {"AddSpE8", {0xE8, 0x02}, 0, {{2, 0x0101, 'R'}}, 4},
    {"JrCTaken", {0x38, 0x05}, FC, {{2, 0x0101, 'R'}}, 3},
    {"JrZNotTakenSkipsTheOffset", {0x28, 0x05}, 0, {}, 2},
    {"JpNzNotTaken", {0xC2, 0x00, 0x02}, FZ, {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}}, 3},
    {"CallPushesHighByteFirst", {0xCD, 0x00, 0x02}, 0,
     {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}, {5, SP0 - 1, 'W', 0x01}, {6, SP0 - 2, 'W', 0x03}}, 6},
    {"CallNcNotTaken", {0xD4, 0x00, 0x02}, FC, {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}}, 3},
    {"RetReadsLowByteFirst", {0xC9}, 0, {{2, SP0, 'R'}, {3, SP0 + 1, 'R'}}, 4},
    {"RetNcTaken", {0xD0}, 0, {{3, SP0, 'R'}, {4, SP0 + 1, 'R'}}, 5},
    {"Rst38", {0xFF}, 0, {{3, SP0 - 1, 'W', 0x01}, {4, SP0 - 2, 'W', 0x01}}, 4},
    {"PushAf", {0xF5}, 0xB0, {{3, SP0 - 1, 'W', A0}, {4, SP0 - 2, 'W', 0xB0}}, 4},
    {"PopDe", {0xD1}, 0, {{2, SP0, 'R'}, {3, SP0 + 1, 'R'}}, 3},
};

TEST(Sm83BusTrace, AccessesFallOnTheirMcycles) {
    for (const TraceCase& c : TRACE_CASES) {
        SCOPED_TRACE(c.name);
        TestMachine m(rom_with(c.code));
        CPU& cpu = m.cpu();
        m.gb->write_word(SP0, STACKED);
        load_registers(cpu, c.f);
        TracingMBC& trace = m.trace();
        const u64 start = cpu.cpu_cycles;
        m.step();

        EXPECT_EQ(int(cpu.cpu_cycles - start) / 4, c.mcycles);
        const auto& log = trace.log_entries;
        ASSERT_EQ(log.size(), c.after_fetch.size() + 1);
        EXPECT_EQ(log[0], (BusAccess{start + 4, 0x0100, c.code[0], false})) << "opcode fetch";
        for (size_t i = 0; i < c.after_fetch.size(); ++i) {
            const Access& want = c.after_fetch[i];
            const BusAccess& got = log[i + 1];
            SCOPED_TRACE(testing::Message() << "access " << i + 1);
            EXPECT_EQ(got.cpu_cycle, start + 4 * u64(want.mcycle));
            EXPECT_EQ(got.address, want.address);
            EXPECT_EQ(got.write, want.kind == 'W');
            if (want.kind == 'W') {
                EXPECT_EQ(got.value, want.value);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// A second EI while interrupts are already enabled must not restart the
// one-instruction delay: a request made right after it is taken at once.

TEST(Sm83InterruptEnable, EiWhileEnabledKeepsThemEnabled) {
    TestMachine m(rom_with({0xFB, 0x00, 0xFB, 0x00, 0x00}));
    CPU& cpu = m.cpu();
    m.gb->write_byte(0xFFFF, INT_TIMER);
    m.gb->write_byte(0xFF0F, 0x00);
    cpu.sp = SP0;
    m.step(3);  // EI, NOP, EI
    cpu.flag_interrupt(INT_TIMER);
    m.step();
    EXPECT_EQ(cpu.pc, 0x0050);
    EXPECT_EQ(m.gb->read_word(cpu.sp), 0x0103);
}

// ---------------------------------------------------------------------------
// Code/data marks: data reads through a pointer mark the ROM byte as data;
// operand bytes and the stack reads of RET do not.

TEST(Sm83DataMarks, PointerReadsMarkRomBytesAsData) {
    struct Case {
        std::vector<u8> code;  // run from 0x0100 with BC, HL and SP at 0x0200
        std::vector<u16> data_bytes;
    };
    const Case cases[] = {
        {{0x0A}, {0x0200}},       {{0x2A}, {0x0200}},             {{0xFA, 0x03, 0x02}, {0x0203}},
        {{0xAE}, {0x0200}},       {{0xCB, 0x7E}, {0x0200}},       {{0xC1}, {0x0200, 0x0201}},
        {{0xC9}, {}},             {{0x06, 0x12}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.code[0]));
        TestMachine m(rom_with(c.code));
        m.cpu().bc = m.cpu().hl = m.cpu().sp = 0x0200;
        m.step();
        for (u16 a = 0x0100; a < 0x0210; ++a) {
            const bool data = std::find(c.data_bytes.begin(), c.data_bytes.end(), a) != c.data_bytes.end();
            const u8 mark = a == 0x0100 ? ACCESS_INSTRUCTION : data ? ACCESS_DATA : ACCESS_UNMARKED;
            EXPECT_EQ(m.gb->cartridge.rom_access_types[a], mark) << std::hex << a;
        }
    }
}

}  // namespace
