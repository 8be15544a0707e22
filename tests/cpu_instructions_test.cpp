// SM83 instruction timing and bus behaviour: M-cycle counts and instruction
// lengths of every opcode, the exact order of the cartridge-bus accesses of
// each instruction family, control flow, EI delay, the HALT bug and the
// illegal opcodes.
#include <gtest/gtest.h>

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

void put_word(GB& gb, u16 address, u16 value) {
    gb.write_byte(address, u8(value));
    gb.write_byte(u16(address + 1), u8(value >> 8));
}

u16 stacked_word(GB& gb, u16 sp) { return u16(gb.read_byte(sp) | (gb.read_byte(u16(sp + 1)) << 8)); }

// Whether a conditional opcode's condition (NZ, Z, NC, C in bits 3-4) holds.
bool condition_holds(u8 op, u8 f) {
    switch ((op >> 3) & 3) {
        case 0: return !(f & FZ);
        case 1: return (f & FZ) != 0;
        case 2: return !(f & FC);
        default: return (f & FC) != 0;
    }
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

int taken_extra(u8 op) {
    switch (op) {
        case 0x20: case 0x28: case 0x30: case 0x38:  // JR cc
        case 0xC2: case 0xCA: case 0xD2: case 0xDA:  // JP cc
            return 1;
        case 0xC0: case 0xC8: case 0xD0: case 0xD8:  // RET cc
        case 0xC4: case 0xCC: case 0xD4: case 0xDC:  // CALL cc
            return 3;
        default:
            return 0;
    }
}

// Where PC goes for the control-flow opcodes (operand bytes 0x80 0xA0),
// -1 for the ones that fall through to the next instruction.
int jump_target(u8 op, u16 pc, u8 f) {
    const u16 a16 = 0xA080;
    const u16 jr = u16(pc + 2 - 128);
    switch (op) {
        case 0x18: return jr;
        case 0xC3: case 0xCD: return a16;
        case 0xE9: return HL0;
        case 0xC9: case 0xD9: return STACKED;
        case 0x20: case 0x28: case 0x30: case 0x38: return condition_holds(op, f) ? jr : -1;
        case 0xC2: case 0xCA: case 0xD2: case 0xDA:
        case 0xC4: case 0xCC: case 0xD4: case 0xDC: return condition_holds(op, f) ? a16 : -1;
        case 0xC0: case 0xC8: case 0xD0: case 0xD8: return condition_holds(op, f) ? STACKED : -1;
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
        put_word(*m.gb, SP0, STACKED);
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
}

TEST_F(Sm83Timing, EveryCbOpcodeTakesTwoMcyclesOrFourOnHlAndThreeForBitHl) {
    for (int op = 0; op < 256; ++op) {
        SCOPED_TRACE(testing::Message() << "CB " << std::hex << op);
        const bool on_hl = (op & 7) == 6;
        const bool bit = (op >> 6) == 1;
        EXPECT_EQ(run({0xCB, u8(op)}, 0x00), on_hl ? (bit ? 3 : 4) : 2);
        EXPECT_EQ(cpu.pc, 0xC002);
    }
}

TEST_F(Sm83Timing, IllegalOpcodesAreOneMcycleNoOpsThatRequestABreak) {
    for (u8 op : {0xD3, 0xDB, 0xDD, 0xE3, 0xE4, 0xEB, 0xEC, 0xED, 0xF4, 0xFC, 0xFD}) {
        SCOPED_TRACE(testing::Message() << "opcode " << std::hex << int(op));
        EXPECT_EQ(run({op, 0x80, 0xA0}, 0xB0), 1);
        EXPECT_EQ(cpu.pc, 0xC001);
        EXPECT_TRUE(m.gb->debugger.break_requested);
        EXPECT_EQ(cpu.af, (A0 << 8) | 0xB0);
        EXPECT_EQ(cpu.bc, BC0);
        EXPECT_EQ(cpu.de, DE0);
        EXPECT_EQ(cpu.hl, HL0);
        EXPECT_EQ(cpu.sp, SP0);
    }
}

TEST_F(Sm83Timing, JrOffsetIsSignedAndCountsFromTheNextInstruction) {
    struct Case {
        u8 offset;
        u16 target;
    };
    for (const Case c : {Case{0x00, 0xC002}, Case{0x7F, 0xC081}, Case{0x80, 0xBF82}, Case{0xFE, 0xC000}}) {
        run({0x18, c.offset}, 0x00);
        EXPECT_EQ(cpu.pc, c.target) << "offset " << int(c.offset);
    }
}

TEST_F(Sm83Timing, PushAndPopMoveTheStackAndTellTheDebugger) {
    m.gb->debugger.return_breakpoint_armed = true;
    m.gb->debugger.return_breakpoint_stack_pointer = 0x1000;
    run({0xD5}, 0x00);  // PUSH DE
    EXPECT_EQ(cpu.sp, SP0 - 2);
    EXPECT_EQ(stacked_word(*m.gb, cpu.sp), DE0);
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
    char kind;      // 'R' or 'W'
    int value = -1;  // checked for writes
};

struct TraceCase {
    std::string name;
    std::vector<u8> code;
    u8 f;
    std::vector<Access> after_fetch;
    int mcycles;
};

std::ostream& operator<<(std::ostream& os, const TraceCase& c) { return os << c.name; }

constexpr u8 HL_BYTE = 0x41;  // what (HL) holds before each traced step

const std::vector<TraceCase> TRACE_CASES = {
    {"Nop", {0x00}, 0, {}, 1},
    {"LdRegReg", {0x41}, 0, {}, 1},
    {"LdRegD8", {0x06, 0x5A}, 0, {{2, 0x0101, 'R'}}, 2},
    {"LdRegFromHl", {0x46}, 0, {{2, HL0, 'R'}}, 2},
    {"LdHlFromReg", {0x70}, 0, {{2, HL0, 'W', 0xA0}}, 2},
    {"LdHlD8", {0x36, 0x5A}, 0, {{2, 0x0101, 'R'}, {3, HL0, 'W', 0x5A}}, 3},
    {"LdAFromBc", {0x0A}, 0, {{2, BC0, 'R'}}, 2},
    {"LdDeFromA", {0x12}, 0, {{2, DE0, 'W', A0}}, 2},
    {"LdHlIncFromA", {0x22}, 0, {{2, HL0, 'W', A0}}, 2},
    {"LdAFromHlDec", {0x3A}, 0, {{2, HL0, 'R'}}, 2},
    {"LdRegPairD16", {0x01, 0x34, 0x12}, 0, {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}}, 3},
    {"LdA16FromSpHighByteFirst",
     {0x08, 0x40, 0xA0},
     0,
     {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}, {4, 0xA041, 'W', SP0 >> 8}, {5, 0xA040, 'W', SP0 & 0xFF}},
     5},
    {"LdA16FromA", {0xEA, 0x40, 0xA0}, 0, {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}, {4, 0xA040, 'W', A0}}, 4},
    {"LdAFromA16", {0xFA, 0x40, 0xA0}, 0, {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}, {4, 0xA040, 'R'}}, 4},
    {"LdhA8FromA", {0xE0, 0x80}, 0, {{2, 0x0101, 'R'}}, 3},
    {"LdhAFromA8", {0xF0, 0x80}, 0, {{2, 0x0101, 'R'}}, 3},
    {"LdCFromA", {0xE2}, 0, {}, 2},
    {"LdSpHl", {0xF9}, 0, {}, 2},
    {"LdHlSpE8", {0xF8, 0x02}, 0, {{2, 0x0101, 'R'}}, 3},
    {"AddSpE8", {0xE8, 0x02}, 0, {{2, 0x0101, 'R'}}, 4},
    {"IncRegPair", {0x03}, 0, {}, 2},
    {"DecSp", {0x3B}, 0, {}, 2},
    {"AddHlDe", {0x19}, 0, {}, 2},
    {"IncReg", {0x04}, 0, {}, 1},
    {"IncHlIndirect", {0x34}, 0, {{2, HL0, 'R'}, {3, HL0, 'W', HL_BYTE + 1}}, 3},
    {"DecHlIndirect", {0x35}, 0, {{2, HL0, 'R'}, {3, HL0, 'W', HL_BYTE - 1}}, 3},
    {"AluFromHl", {0x86}, 0, {{2, HL0, 'R'}}, 2},
    {"AluD8", {0xC6, 0x01}, 0, {{2, 0x0101, 'R'}}, 2},
    {"Jr", {0x18, 0x05}, 0, {{2, 0x0101, 'R'}}, 3},
    {"JrNzTaken", {0x20, 0x05}, 0, {{2, 0x0101, 'R'}}, 3},
    {"JrZNotTakenSkipsTheOffset", {0x28, 0x05}, 0, {}, 2},
    {"JrCTaken", {0x38, 0x05}, FC, {{2, 0x0101, 'R'}}, 3},
    {"JpA16", {0xC3, 0x00, 0x02}, 0, {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}}, 4},
    {"JpNzNotTaken", {0xC2, 0x00, 0x02}, FZ, {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}}, 3},
    {"JpHl", {0xE9}, 0, {}, 1},
    {"CallPushesHighByteFirst",
     {0xCD, 0x00, 0x02},
     0,
     {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}, {5, SP0 - 1, 'W', 0x01}, {6, SP0 - 2, 'W', 0x03}},
     6},
    {"CallZTaken",
     {0xCC, 0x00, 0x02},
     FZ,
     {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}, {5, SP0 - 1, 'W', 0x01}, {6, SP0 - 2, 'W', 0x03}},
     6},
    {"CallNcNotTaken", {0xD4, 0x00, 0x02}, FC, {{2, 0x0101, 'R'}, {3, 0x0102, 'R'}}, 3},
    {"RetReadsLowByteFirst", {0xC9}, 0, {{2, SP0, 'R'}, {3, SP0 + 1, 'R'}}, 4},
    {"RetNcTaken", {0xD0}, 0, {{3, SP0, 'R'}, {4, SP0 + 1, 'R'}}, 5},
    {"RetCNotTaken", {0xD8}, 0, {}, 2},
    {"Reti", {0xD9}, 0, {{2, SP0, 'R'}, {3, SP0 + 1, 'R'}}, 4},
    {"Rst38", {0xFF}, 0, {{3, SP0 - 1, 'W', 0x01}, {4, SP0 - 2, 'W', 0x01}}, 4},
    {"PushBc", {0xC5}, 0, {{3, SP0 - 1, 'W', BC0 >> 8}, {4, SP0 - 2, 'W', BC0 & 0xFF}}, 4},
    {"PushAf", {0xF5}, 0xB0, {{3, SP0 - 1, 'W', A0}, {4, SP0 - 2, 'W', 0xB0}}, 4},
    {"PopDe", {0xD1}, 0, {{2, SP0, 'R'}, {3, SP0 + 1, 'R'}}, 3},
    {"CbOnReg", {0xCB, 0x11}, 0, {{2, 0x0101, 'R'}}, 2},
    {"CbRlHl", {0xCB, 0x16}, FC, {{2, 0x0101, 'R'}, {3, HL0, 'R'}, {4, HL0, 'W', (HL_BYTE << 1) | 1}}, 4},
    {"CbBitHlOnlyReads", {0xCB, 0x46}, 0, {{2, 0x0101, 'R'}, {3, HL0, 'R'}}, 3},
    {"CbResHl", {0xCB, 0x86}, 0, {{2, 0x0101, 'R'}, {3, HL0, 'R'}, {4, HL0, 'W', HL_BYTE & ~1}}, 4},
    {"CbSetHl", {0xCB, 0xFE}, 0, {{2, 0x0101, 'R'}, {3, HL0, 'R'}, {4, HL0, 'W', HL_BYTE | 0x80}}, 4},
    {"Illegal", {0xDD}, 0, {}, 1},
    {"Daa", {0x27}, 0, {}, 1},
};

class Sm83BusTrace : public ::testing::TestWithParam<TraceCase> {};

TEST_P(Sm83BusTrace, AccessesFallOnTheirMcycles) {
    const TraceCase& c = GetParam();
    TestMachine m(rom_with(c.code));
    CPU& cpu = m.cpu();
    put_word(*m.gb, SP0, STACKED);
    m.gb->write_byte(HL0, HL_BYTE);
    load_registers(cpu, c.f);
    TracingMBC& trace = m.trace();
    const u64 start = cpu.cpu_cycles;
    m.step();

    EXPECT_EQ(int(cpu.cpu_cycles - start) / 4, c.mcycles);
    const auto& log = trace.log_entries;
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], (BusAccess{start + 4, 0x0100, c.code[0], false})) << "opcode fetch";
    ASSERT_EQ(log.size(), c.after_fetch.size() + 1);
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

INSTANTIATE_TEST_SUITE_P(Families, Sm83BusTrace, ::testing::ValuesIn(TRACE_CASES),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// HALT with interrupts disabled while an enabled interrupt is already
// requested does not halt, and the byte after HALT is fetched twice.

struct HaltBugCase {
    std::string name;
    std::vector<u8> code;  // starts with HALT
    int steps;
    std::vector<u16> reads;  // every cartridge read of those steps
    u8 b;                    // B afterwards (B starts at 0)
};

std::ostream& operator<<(std::ostream& os, const HaltBugCase& c) { return os << c.name; }

class Sm83HaltBug : public ::testing::TestWithParam<HaltBugCase> {};

TEST_P(Sm83HaltBug, ByteAfterHaltIsReadTwice) {
    const HaltBugCase& c = GetParam();
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
    EXPECT_EQ(reads, c.reads);
    EXPECT_EQ(cpu.b(), c.b);
    EXPECT_EQ(cpu.if_reg & INT_TIMER, INT_TIMER) << "no interrupt was taken";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Sm83HaltBug,
    ::testing::Values(
        // INC B runs twice.
        HaltBugCase{"OneByteInstructionRunsTwice", {0x76, 0x04, 0x00}, 4, {0x0100, 0x0101, 0x0101, 0x0102}, 2},
        // LD B,d8 takes its own opcode as the operand; the real operand byte
        // (INC B) then runs as the next opcode.
        HaltBugCase{"OpcodeBecomesItsOwnOperand", {0x76, 0x06, 0x04, 0x00}, 3, {0x0100, 0x0101, 0x0101, 0x0102}, 7}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// EI enables interrupts only after the instruction that follows it; RETI
// enables them at once; DI right after EI keeps them off.

struct EiCase {
    std::string name;
    std::vector<u8> code;
    u8 ie, if_;          // before the first step
    int request_after;   // flag the timer interrupt after this many steps (0 = never)
    int entry_step;      // step after which PC is at the timer vector (0 = never within 6)
    u16 return_address;  // pushed by the entry
};

std::ostream& operator<<(std::ostream& os, const EiCase& c) { return os << c.name; }

class Sm83InterruptEnable : public ::testing::TestWithParam<EiCase> {};

TEST_P(Sm83InterruptEnable, EntryHappensAtTheRightBoundary) {
    const EiCase& c = GetParam();
    TestMachine m(rom_with(c.code).place(0x0200, {0x00, 0x00, 0x00}));
    CPU& cpu = m.cpu();
    m.gb->write_byte(0xFFFF, c.ie);
    m.gb->write_byte(0xFF0F, c.if_);
    cpu.sp = SP0;
    put_word(*m.gb, SP0, 0x0200);
    int entered = 0;
    for (int step = 1; step <= 6 && !entered; ++step) {
        m.step();
        if (cpu.pc == 0x0050) entered = step;
        if (step == c.request_after) cpu.flag_interrupt(INT_TIMER);
    }
    EXPECT_EQ(entered, c.entry_step);
    if (c.entry_step) {
        EXPECT_EQ(stacked_word(*m.gb, cpu.sp), c.return_address);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Sm83InterruptEnable,
    ::testing::Values(
        EiCase{"RequestRightAfterEi", {0xFB, 0x00, 0x00, 0x00}, INT_TIMER, 0, 1, 3, 0x0102},
        EiCase{"RequestAlreadyPendingAtEi", {0xFB, 0x00, 0x00, 0x00}, INT_TIMER, INT_TIMER, 0, 3, 0x0102},
        // LD A,4; LDH (FF),A enables the request in code, then EI; NOP.
        EiCase{"IeWrittenByCode", {0x3E, 0x04, 0xE0, 0xFF, 0xFB, 0x00, 0x00}, 0, INT_TIMER, 0, 5, 0x0106},
        // LD A,4; LDH (0F),A requests it in code.
        EiCase{"IfWrittenByCode", {0x3E, 0x04, 0xE0, 0x0F, 0xFB, 0x00, 0x00}, INT_TIMER, 0, 0, 5, 0x0106},
        EiCase{"DiRightAfterEi", {0xFB, 0xF3, 0x00, 0x00, 0x00, 0x00}, INT_TIMER, INT_TIMER, 0, 0, 0},
        // A second EI while enabled must not restart the one-instruction delay.
        EiCase{"EiWhileEnabled", {0xFB, 0x00, 0xFB, 0x00, 0x00}, INT_TIMER, 0, 3, 4, 0x0103},
        EiCase{"RetiEnablesAtOnce", {0xD9}, INT_TIMER, INT_TIMER, 0, 2, 0x0200},
        EiCase{"NoEiNoEntry", {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, INT_TIMER, INT_TIMER, 0, 0, 0}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Code/data marks: data reads through a pointer mark the ROM byte as data;
// stack reads of RET and operand bytes do not.

struct MarkCase {
    std::string name;
    std::vector<u8> code;  // run from work RAM
    u16 pointer;           // loaded into BC, HL and SP
    std::vector<u16> data_bytes;
    std::vector<u16> unmarked_bytes;
};

std::ostream& operator<<(std::ostream& os, const MarkCase& c) { return os << c.name; }

class Sm83DataMarks : public ::testing::TestWithParam<MarkCase> {};

TEST_P(Sm83DataMarks, PointerReadsMarkRomBytesAsData) {
    const MarkCase& c = GetParam();
    TestMachine m(rom_with({}));
    CPU& cpu = m.cpu();
    for (size_t i = 0; i < c.code.size(); ++i) m.gb->write_byte(u16(0xC000 + i), c.code[i]);
    cpu.bc = cpu.hl = cpu.sp = c.pointer;
    cpu.pc = 0xC000;
    m.step();
    for (u16 a : c.data_bytes) EXPECT_EQ(m.gb->cartridge.rom_access_types[a], ACCESS_DATA) << std::hex << a;
    for (u16 a : c.unmarked_bytes) EXPECT_EQ(m.gb->cartridge.rom_access_types[a], ACCESS_UNMARKED) << std::hex << a;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Sm83DataMarks,
    ::testing::Values(MarkCase{"LdRegFromHl", {0x46}, 0x0200, {0x0200}, {}},
                      MarkCase{"LdAFromBc", {0x0A}, 0x0200, {0x0200}, {}},
                      MarkCase{"LdAFromHlInc", {0x2A}, 0x0200, {0x0200}, {0x0201}},
                      MarkCase{"LdAFromA16", {0xFA, 0x03, 0x02}, 0x0200, {0x0203}, {0x0200}},
                      MarkCase{"AluFromHl", {0xAE}, 0x0200, {0x0200}, {}},
                      MarkCase{"BitOnHl", {0xCB, 0x7E}, 0x0200, {0x0200}, {}},
                      MarkCase{"PopMarksBothBytes", {0xC1}, 0x0200, {0x0200, 0x0201}, {}},
                      MarkCase{"RetDoesNotMark", {0xC9}, 0x0200, {}, {0x0200, 0x0201}}),
    [](const auto& info) { return info.param.name; });

TEST(Sm83DataMarks, OperandBytesStayUnmarked) {
    TestMachine m(rom_with({0x06, 0x12, 0xFA, 0x00, 0x02}));  // LD B,d8; LD A,(0200)
    m.step(2);
    EXPECT_EQ(m.gb->cartridge.rom_access_types[0x0101], ACCESS_UNMARKED);
    EXPECT_EQ(m.gb->cartridge.rom_access_types[0x0103], ACCESS_UNMARKED);
    EXPECT_EQ(m.gb->cartridge.rom_access_types[0x0102], ACCESS_INSTRUCTION);
    EXPECT_EQ(m.gb->cartridge.rom_access_types[0x0200], ACCESS_DATA);
}

}  // namespace
