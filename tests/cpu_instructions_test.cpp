// SM83 instruction timing and bus behaviour: M-cycle counts and instruction
// lengths of every opcode, the exact order of the cartridge-bus accesses of
// each instruction family, control flow, EI delay, the HALT bug and the
// illegal opcodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "test_machine.h"

namespace {

constexpr u8 FZ = 0x80, FC = 0x10;

// Register values that put every data and stack access into cartridge RAM
// (A000-BFFF), where the tracing controller sees it. C = 0x81 sends
// LD (C),A / LD A,(C) to high RAM.
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

// Whether a conditional opcode's condition (NZ, Z, NC, C in bits 3-4) holds.
bool condition_holds(u8 op, u8 f) {
    const bool flag = f & (op & 0x10 ? FC : FZ);
    return op & 0x08 ? flag : !flag;
}

// ---------------------------------------------------------------------------
// Every opcode: M-cycles (fetch included) and length, from the SM83 timing
// chart. Conditional instructions are listed with their not-taken cost; a
// taken JR cc / JP cc costs one more M-cycle, a taken RET cc / CALL cc three
// more. '-' marks STOP, HALT and the CB prefix, which are covered elsewhere.

constexpr const char* MCYCLES[16] = {
    "1322112152221121", "-322112132221121", "2322112122221121", "2322333122221121",
    "1111112111111121", "1111112111111121", "1111112111111121", "222222-211111121",
    "1111112111111121", "1111112111111121", "1111112111111121", "1111112111111121",
    "23343424243-3624", "2331342424313124", "3321142441411124", "3321142432411124",
};
constexpr const char* LENGTHS[16] = {
    "1311112131111121", "-311112121111121", "2311112121111121", "2311112121111121",
    "1111111111111111", "1111111111111111", "1111111111111111", "111111-111111111",
    "1111111111111111", "1111111111111111", "1111111111111111", "1111111111111111",
    "1133312111323321", "1131312111313121", "2111112121311121", "2111112121311121",
};

int chart(const char* const (&rows)[16], int op) { return rows[op >> 4][op & 15] - '0'; }

// Extra M-cycles of a taken JR cc / JP cc (one) and RET cc / CALL cc (three).
int taken_extra(u8 op) {
    const int family = op & 0xE7;  // the condition bits cleared
    return family == 0x20 || family == 0xC2 ? 1 : family == 0xC0 || family == 0xC4 ? 3 : 0;
}

// Where PC goes for the control-flow opcodes (operand bytes 0x80 0xA0),
// -1 for the ones that fall through to the next instruction.
int jump_target(u8 op, u16 pc, u8 f) {
    const u16 a16 = 0xA080;
    const u16 jr = u16(pc + 2 - 128);
    const bool taken = !taken_extra(op) || condition_holds(op, f);
    switch (op & 0xE7) {
        case 0x20: return taken ? jr : -1;
        case 0xC2: case 0xC4: return taken ? a16 : -1;
        case 0xC0: return taken ? STACKED : -1;
    }
    switch (op) {
        case 0x18: return jr;
        case 0xC3: case 0xCD: return a16;
        case 0xE9: return HL0;
        case 0xC9: case 0xD9: return STACKED;
        default: return (op & 0xC7) == 0xC7 ? op & 0x38 : -1;  // RST n
    }
}

// One machine runs every opcode from work RAM at C000, followed by the
// operand bytes 0x80 0xA0.
class Sm83Timing : public ::testing::Test {
protected:
    TestMachine m{rom_with({})};
    CPU& cpu = m.cpu();

    // Runs `code` at C000 with the standard registers and flags `f`; returns
    // the M-cycles the step took.
    int run(const std::vector<u8>& code, u8 f) {
        for (size_t i = 0; i < code.size(); ++i) m.gb->write_byte(u16(0xC000 + i), code[i]);
        m.gb->write_word(SP0, STACKED);
        load_registers(cpu, f);
        m.gb->debugger.break_requested = false;
        cpu.pc = 0xC000;
        const u64 start = cpu.cpu_cycles;
        m.step();
        return int(cpu.cpu_cycles - start) / 4;
    }
};

TEST_F(Sm83Timing, EveryOpcodeTakesItsChartedMcyclesAndLength) {
    for (int op = 0; op < 256; ++op) {
        if (MCYCLES[op >> 4][op & 15] == '-') continue;
        for (u8 f : {u8(0x00), FZ, FC, u8(FZ | FC)}) {
            SCOPED_TRACE(testing::Message() << "opcode " << std::hex << op << " F " << int(f));
            const bool taken = taken_extra(u8(op)) && condition_holds(u8(op), f);
            const int mcycles = run({u8(op), 0x80, 0xA0}, f);
            EXPECT_EQ(mcycles, chart(MCYCLES, op) + (taken ? taken_extra(u8(op)) : 0));
            const int target = jump_target(u8(op), 0xC000, f);
            EXPECT_EQ(cpu.pc, target >= 0 ? target : 0xC000 + chart(LENGTHS, op));
        }
    }
    // CB opcodes: two M-cycles, four on (HL), three for BIT on (HL).
    for (int op = 0; op < 256; ++op) {
        EXPECT_EQ(run({0xCB, u8(op)}, 0x00), (op & 7) != 6 ? 2 : (op >> 6) == 1 ? 3 : 4) << "CB " << std::hex << op;
        EXPECT_EQ(cpu.pc, 0xC002) << "CB " << std::hex << op;
    }
}

// The illegal opcodes (one M-cycle each, as charted) change nothing but
// request a break.
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

constexpr u8 HL_BYTE = 0x41;  // what (HL) holds before each traced step

const TraceCase TRACE_CASES[] = {
    {"LdRegD8", {0x06, 0x5A}, 0, {{2, 0x0101, 'R'}}, 2},
    {"LdRegFromHl", {0x46}, 0, {{2, HL0, 'R'}}, 2},
    {"LdHlD8", {0x36, 0x5A}, 0, {{2, 0x0101, 'R'}, {3, HL0, 'W', 0x5A}}, 3},
    {"LdDeFromA", {0x12}, 0, {{2, DE0, 'W', A0}}, 2},
    {"LdA16FromSpHighByteFirst", {0x08, 0x40, 0xA0}, 0,
     {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}, {4, 0xA041, 'W', SP0 >> 8}, {5, 0xA040, 'W', SP0 & 0xFF}}, 5},
    {"LdAFromA16", {0xFA, 0x40, 0xA0}, 0, {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}, {4, 0xA040, 'R'}}, 4},
    {"LdhA8FromA", {0xE0, 0x80}, 0, {{2, 0x0101, 'R'}}, 3},
    {"LdHlSpE8", {0xF8, 0x02}, 0, {{2, 0x0101, 'R'}}, 3},
    {"AddSpE8", {0xE8, 0x02}, 0, {{2, 0x0101, 'R'}}, 4},
    {"IncHlIndirect", {0x34}, 0, {{2, HL0, 'R'}, {3, HL0, 'W', HL_BYTE + 1}}, 3},
    {"AluFromHl", {0x86}, 0, {{2, HL0, 'R'}}, 2},
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
    {"CbRlHl", {0xCB, 0x16}, FC, {{2, 0x0101, 'R'}, {3, HL0, 'R'}, {4, HL0, 'W', (HL_BYTE << 1) | 1}}, 4},
    {"CbBitHlOnlyReads", {0xCB, 0x46}, 0, {{2, 0x0101, 'R'}, {3, HL0, 'R'}}, 3},
};

TEST(Sm83BusTrace, AccessesFallOnTheirMcycles) {
    for (const TraceCase& c : TRACE_CASES) {
        SCOPED_TRACE(c.name);
        TestMachine m(rom_with(c.code));
        CPU& cpu = m.cpu();
        m.gb->write_word(SP0, STACKED);
        m.gb->write_byte(HL0, HL_BYTE);
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
// HALT with interrupts disabled while an enabled interrupt is already
// requested does not halt, and the byte after HALT is fetched twice.

TEST(Sm83HaltBug, ByteAfterHaltIsReadTwice) {
    struct Case {
        std::vector<u8> code;  // starts with HALT
        int steps;
        u8 b;  // B afterwards (B starts at 0)
    };
    // INC B runs twice. LD B,d8 takes its own opcode as the operand; the real
    // operand byte (INC B) then runs as the next opcode.
    const Case cases[] = {{{0x76, 0x04, 0x00}, 4, 2}, {{0x76, 0x06, 0x04, 0x00}, 3, 7}};
    for (const Case& c : cases) {
        TestMachine m(rom_with(c.code));
        CPU& cpu = m.cpu();
        m.gb->write_byte(0xFF0F, INT_TIMER);
        m.gb->write_byte(0xFFFF, INT_TIMER);
        cpu.bc = 0;
        TracingMBC& trace = m.trace();
        m.step(c.steps);
        EXPECT_FALSE(cpu.halted);
        std::vector<u16> reads;
        for (const BusAccess& a : trace.log_entries) reads.push_back(a.address);
        EXPECT_EQ(reads, (std::vector<u16>{0x0100, 0x0101, 0x0101, 0x0102}));
        EXPECT_EQ(cpu.b(), c.b);
        EXPECT_EQ(cpu.if_reg & INT_TIMER, INT_TIMER) << "no interrupt was taken";
    }
}

// ---------------------------------------------------------------------------
// EI enables interrupts only after the instruction that follows it; RETI
// enables them at once; DI right after EI keeps them off.

TEST(Sm83InterruptEnable, EntryHappensAtTheRightBoundary) {
    struct Case {
        const char* name;
        std::vector<u8> code;
        u8 ie, if_;          // before the first step
        int request_after;   // flag the timer interrupt after this many steps (0 = never)
        int entry_step;      // step after which PC is at the timer vector (0 = never within 6)
        u16 return_address;  // pushed by the entry
    };
    const Case cases[] = {
        {"RequestRightAfterEi", {0xFB, 0x00, 0x00, 0x00}, INT_TIMER, 0, 1, 3, 0x0102},
        // LD A,4; LDH (FF),A enables the request in code, then EI; NOP.
        {"IeWrittenByCode", {0x3E, 0x04, 0xE0, 0xFF, 0xFB, 0x00, 0x00}, 0, INT_TIMER, 0, 5, 0x0106},
        {"DiRightAfterEi", {0xFB, 0xF3, 0x00, 0x00, 0x00, 0x00}, INT_TIMER, INT_TIMER, 0, 0, 0},
        // A second EI while enabled must not restart the one-instruction delay.
        {"EiWhileEnabled", {0xFB, 0x00, 0xFB, 0x00, 0x00}, INT_TIMER, 0, 3, 4, 0x0103},
        {"RetiEnablesAtOnce", {0xD9}, INT_TIMER, INT_TIMER, 0, 2, 0x0200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestMachine m(rom_with(c.code).place(0x0200, {0x00, 0x00, 0x00}));
        CPU& cpu = m.cpu();
        m.gb->write_byte(0xFFFF, c.ie);
        m.gb->write_byte(0xFF0F, c.if_);
        cpu.sp = SP0;
        m.gb->write_word(SP0, 0x0200);
        int entered = 0;
        for (int step = 1; step <= 6 && !entered; ++step) {
            m.step();
            if (cpu.pc == 0x0050) entered = step;
            if (step == c.request_after) cpu.flag_interrupt(INT_TIMER);
        }
        EXPECT_EQ(entered, c.entry_step);
        if (c.entry_step) {
            EXPECT_EQ(m.gb->read_word(cpu.sp), c.return_address);
        }
    }
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
