// Breakpoints as a debugger uses them: a loop that asks the debugger before
// every instruction runs a ROM until an execution breakpoint, a watched write
// or a watched jump stops it, or until a routine returns. And the access
// prediction each of them rests on.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "debug/debugger.h"
#include "debug_machine.h"
#include "test_machine.h"

namespace {

// What a debugger does between instructions. Returns true when something
// stopped the machine before `max_steps` instructions.
bool run_until_break(GB& gb, int max_steps = 10000) {
    Debugger& d = gb.debugger;
    for (int i = 0; i < max_steps; ++i) {
        d.check_for_return_breakpoint();
        if (d.break_requested || d.breakpoint_triggered() || d.access_breakpoint_triggered()) return true;
        gb.run_single_instruction();
    }
    return false;
}

// MBC1, four banks. 0100: ld a, 1; ld [$2000], a; call $4000;
// ld a, 2; ld [$2000], a; call $4000 (at 010D); halt (0110).
// Bank 1 at 4000: ld b, $11; ret. Bank 2 at 4000: ld c, $22; ret.
BankedRom two_banked_routines() {
    BankedRom rom(4, 0x01);
    rom.at_entry({0x3E, 0x01, 0xEA, 0x00, 0x20, 0xCD, 0x00, 0x40,  //
                  0x3E, 0x02, 0xEA, 0x00, 0x20, 0xCD, 0x00, 0x40, 0x76});
    rom.place(1, 0x4000, {0x06, 0x11, 0xC9});
    rom.place(2, 0x4000, {0x0E, 0x22, 0xC9});
    return rom;
}

// ---------------------------------------------------------------------------
// The breakpoint lists

TEST(Debugger, BreakpointListsKeepOrderAndRefuseWhatDoesNotFit) {
    FileMachine m(two_banked_routines());
    Debugger& d = m.gb->debugger;
    EXPECT_FALSE(d.have_breakpoints);
    EXPECT_EQ(d.add_breakpoint(-1, 0x0150, false), 0);
    EXPECT_EQ(d.add_breakpoint(1, 0x4000, true), 1);
    EXPECT_EQ(d.add_breakpoint(-1, 0x0200, false), 2);
    EXPECT_EQ(d.add_access_breakpoint(-1, -1, 0xC000, 0xC0FF, false, true, false, false, 0), 0);
    EXPECT_TRUE(d.have_breakpoints);
    EXPECT_EQ(d.get_one_time_breakpoint_id(), 1);

    // A reset drops the one-time breakpoint, the break request and the
    // return breakpoint; the others move down and stay.
    d.break_requested = true;
    d.arm_return_breakpoint();
    m.gb->reset();
    EXPECT_FALSE(d.break_requested);
    EXPECT_FALSE(d.return_breakpoint_armed);
    ASSERT_EQ(d.breakpoint_count, 2);
    EXPECT_EQ(d.breakpoints[0].address, 0x0150);
    EXPECT_EQ(d.breakpoints[1].address, 0x0200);
    EXPECT_EQ(d.access_breakpoint_count, 1);

    // Out-of-range deletes do nothing; a 65th breakpoint is refused.
    for (int index : {-1, 2, 64}) d.delete_breakpoint(index);
    d.delete_access_breakpoint(1);
    EXPECT_EQ(d.breakpoint_count, 2);
    EXPECT_EQ(d.access_breakpoint_count, 1);
    for (int i = 2; i < MAX_BREAKPOINTS; ++i) ASSERT_EQ(d.add_breakpoint(-1, u16(i), false), i);
    EXPECT_EQ(d.add_breakpoint(-1, 0x1234, false), -1);
    EXPECT_EQ(d.breakpoint_count, MAX_BREAKPOINTS);
    auto add_read_watch = [&] { return d.add_access_breakpoint(-1, -1, 0, 0, true, false, false, false, 0); };
    for (int i = 1; i < MAX_BREAKPOINTS; ++i) ASSERT_EQ(add_read_watch(), i);
    EXPECT_EQ(add_read_watch(), -1);

    // Deleting from the middle moves the later ones down in order.
    d.delete_breakpoint(1);
    d.delete_access_breakpoint(1);
    ASSERT_EQ(d.breakpoint_count, MAX_BREAKPOINTS - 1);
    EXPECT_EQ(d.breakpoints[0].address, 0x0150);
    for (int i = 1; i < MAX_BREAKPOINTS - 1; ++i) ASSERT_EQ(d.breakpoints[size_t(i)].address, i + 1) << i;
    EXPECT_EQ(d.access_breakpoint_count, MAX_BREAKPOINTS - 1);

    while (d.breakpoint_count > 0) d.delete_breakpoint(0);
    EXPECT_TRUE(d.have_breakpoints);  // access breakpoints are left
    while (d.access_breakpoint_count > 0) d.delete_access_breakpoint(d.access_breakpoint_count - 1);
    EXPECT_FALSE(d.have_breakpoints);
}

TEST(Debugger, AddressAndBankRanges) {
    struct Row {
        int bank, address, bank_min, bank_max;
        bool in;
    };
    const Row rows[] = {
        {5, 0x4100, -1, -1, true},  {5, 0x8000, -1, -1, false}, {5, 0x4100, 1, 3, false},
        {2, 0x4100, 1, 3, true},    {-1, 0x4100, 1, 3, true},   {5, 0x3FFF, -1, -1, false},
        {5, 0x4000, 5, -1, false},  // bank_max -1 is no wildcard
    };
    for (const Row& r : rows)
        EXPECT_EQ(Debugger::address_and_bank_in_range(r.bank, r.address, r.bank_min, r.bank_max, 0x4000, 0x7FFF), r.in)
            << r.bank << " " << std::hex << r.address;
}

TEST(Debugger, BreakpointsMatchTheBankMappedNow) {
    FileMachine m(two_banked_routines());
    Debugger& d = m.gb->debugger;
    d.add_breakpoint(-1, 0x0150, false);
    d.add_breakpoint(1, 0x4000, true);
    EXPECT_EQ(d.breakpoint_at_address(0x4000), 1);  // bank 1 is mapped after reset
    EXPECT_EQ(d.breakpoint_at_address(0x0150), 0);
    m.gb->write_byte(0x2000, 0x02);
    EXPECT_EQ(d.breakpoint_at_address(0x4000), -1);
    EXPECT_EQ(d.breakpoint_at_address(0x0150), 0);
    // A disabled breakpoint is still listed there but does not stop.
    d.breakpoints[0].enabled = false;
    m.cpu().pc = 0x0150;
    EXPECT_EQ(d.breakpoint_at_address(0x0150), 0);
    EXPECT_FALSE(d.breakpoint_triggered());
}

// ---------------------------------------------------------------------------
// Running until something stops the machine

// A breakpoint for bank 2's 4000 lets the visit to bank 1's 4000 pass; a
// one-time breakpoint for any bank stops at the first and is gone.
TEST(Debugger, ExecutionBreakpointStopsAtTheInstructionInItsBank) {
    FileMachine m(two_banked_routines());
    GB& gb = *m.gb;
    gb.debugger.add_breakpoint(2, 0x4000, false);
    ASSERT_TRUE(run_until_break(gb));
    EXPECT_EQ(gb.cpu.pc, 0x4000);
    EXPECT_EQ(gb.cartridge.get_rom_bank(), 2);
    EXPECT_EQ(gb.cpu.b(), 0x11);  // bank 1's routine has run
    EXPECT_NE(gb.cpu.c(), 0x22);  // bank 2's has not

    FileMachine again(two_banked_routines());
    Debugger& d = again.gb->debugger;
    d.add_breakpoint(-1, 0x4000, true);
    ASSERT_TRUE(run_until_break(*again.gb));
    EXPECT_EQ(again.gb->cartridge.get_rom_bank(), 1);
    EXPECT_EQ(again.cpu().pc, 0x4000);
    EXPECT_EQ(d.breakpoint_count, 0);
}

// A write breakpoint with a value stops before the instruction that would
// write that value, with the old byte still in memory.
TEST(Debugger, WriteBreakpointStopsBeforeTheMatchingWrite) {
    // 0100: ld hl, $c123; ld [hl], $11; ld a, $22; ld [hl], a (0107);
    //       ld a, $33; ld [$c123], a (010A); halt
    BankedRom rom;
    rom.at_entry({0x21, 0x23, 0xC1, 0x36, 0x11, 0x3E, 0x22, 0x77, 0x3E, 0x33, 0xEA, 0x23, 0xC1, 0x76});
    struct Row {
        bool compare;
        u8 value;
        u16 stop_pc;
        u8 byte_before;
    };
    for (const Row r : {Row{false, 0, 0x0103, 0xFF}, Row{true, 0x22, 0x0107, 0x11}, Row{true, 0x33, 0x010A, 0x22}}) {
        FileMachine m(rom);
        m.gb->debugger.add_access_breakpoint(-1, -1, 0xC123, 0xC123, false, true, false, r.compare, r.value);
        ASSERT_TRUE(run_until_break(*m.gb)) << int(r.value);
        EXPECT_EQ(m.cpu().pc, r.stop_pc) << int(r.value);
        EXPECT_EQ(m.gb->read_byte(0xC123), r.byte_before) << int(r.value);
    }
}

// A jump breakpoint on bank 2's 4000-7FFF stops at the call that goes there,
// not at the one that goes into bank 1.
TEST(Debugger, JumpBreakpointStopsAtTheCallIntoItsBank) {
    FileMachine m(two_banked_routines());
    m.gb->debugger.add_access_breakpoint(2, 2, 0x4000, 0x7FFF, false, false, true, false, 0);
    ASSERT_TRUE(run_until_break(*m.gb));
    EXPECT_EQ(m.cpu().pc, 0x010D);
    EXPECT_EQ(m.gb->cartridge.get_rom_bank(), 2);
}

// Stepping out: armed at a routine's entry, the return breakpoint lets the
// routine's own pushes and pops pass and stops after its RET.
TEST(Debugger, StepOutStopsAfterTheReturn) {
    // 0100: call $0110; halt (0103). 0110: push bc; push de; pop de; pop bc; ret
    BankedRom rom;
    rom.at_entry({0xCD, 0x10, 0x01, 0x76}).place(0, 0x0110, {0xC5, 0xD5, 0xD1, 0xC1, 0xC9});
    FileMachine m(rom);
    ASSERT_TRUE(m.run_to(0x0110, 10));
    m.gb->debugger.arm_return_breakpoint();
    ASSERT_TRUE(run_until_break(*m.gb, 100));
    EXPECT_EQ(m.cpu().pc, 0x0103);
    EXPECT_FALSE(m.gb->debugger.return_breakpoint_armed);
}

// ---------------------------------------------------------------------------
// Prediction

TEST(Debugger, PredictionOfReadsWritesAndJumps) {
    using Bytes = std::map<u16, u8>;
    struct Row {
        const char* what;
        std::vector<u8> code;  // at C150
        u16 af, bc, hl, sp;
        Bytes memory;  // before
        Bytes reads, writes;
        int jump;
    };
    const u16 F_Z = 0x0080, F_C = 0x0010;
    const Row rows[] = {
        {"ld [hl], a", {0x77}, 0x4200, 0, 0xD000, 0xFFFE, {}, {}, {{0xD000, 0x42}}, -1},
        {"inc [hl]", {0x34}, 0, 0, 0xD000, 0xFFFE, {{0xD000, 0xFF}}, {{0xD000, 0xFF}}, {{0xD000, 0x00}}, -1},
        {"jr nz not taken", {0x20, 0xFE}, F_Z, 0, 0, 0xFFFE, {}, {}, {}, -1},
        {"jr nz taken", {0x20, 0xFE}, 0, 0, 0, 0xFFFE, {}, {}, {}, 0xC150},
        // The return address is the instruction's own address + 3, whatever PC is.
        {"call", {0xCD, 0x00, 0x40}, 0, 0, 0, 0xFFFE, {}, {}, {{0xFFFD, 0xC1}, {0xFFFC, 0x53}}, 0x4000},
        {"call z not taken", {0xCC, 0x00, 0x40}, 0, 0, 0, 0xFFFE, {}, {}, {}, -1},
        {"rst $38", {0xFF}, 0, 0, 0, 0xD000, {}, {}, {{0xCFFF, 0xC1}, {0xCFFE, 0x51}}, 0x0038},
        {"ldh a, [rLY]", {0xF0, 0x44}, 0, 0, 0, 0xFFFE, {}, {{0xFF44, 0x00}}, {}, -1},
        {"push af", {0xF5}, 0x12BF, 0, 0, 0xFFFE, {}, {}, {{0xFFFD, 0x12}, {0xFFFC, 0xB0}}, -1},
        // Both popped bytes as stored, the flag byte too.
        {"pop af", {0xF1}, 0, 0, 0, 0xD000, {{0xD000, 0xFF}, {0xD001, 0x12}}, {{0xD000, 0xFF}, {0xD001, 0x12}}, {}, -1},
        {"push bc", {0xC5}, 0, 0x1234, 0, 0xD000, {}, {}, {{0xCFFF, 0x12}, {0xCFFE, 0x34}}, -1},
        {"ld [a16], sp", {0x08, 0x10, 0xD0}, 0, 0, 0, 0xABCD, {}, {}, {{0xD010, 0xCD}, {0xD011, 0xAB}}, -1},
        {"ld [hl], d8", {0x36, 0x5A}, 0, 0, 0xD000, 0xFFFE, {}, {}, {{0xD000, 0x5A}}, -1},
        {"ret", {0xC9}, 0, 0, 0, 0xD000, {{0xD000, 0x34}, {0xD001, 0x12}}, {{0xD000, 0x34}, {0xD001, 0x12}}, {},
         0x1234},
        {"ret z not taken", {0xC8}, 0, 0, 0, 0xD000, {}, {}, {}, -1},
        {"jp hl", {0xE9}, 0, 0, 0x1234, 0xFFFE, {}, {}, {}, 0x1234},
        // CB register forms touch no memory; the [hl] forms read, and all but BIT write.
        {"rl c", {0xCB, 0x11}, F_C, 0, 0xD000, 0xFFFE, {}, {}, {}, -1},
        {"rl [hl]", {0xCB, 0x16}, F_C, 0, 0xD000, 0xFFFE, {{0xD000, 0x81}}, {{0xD000, 0x81}}, {{0xD000, 0x03}}, -1},
        {"bit 0, [hl]", {0xCB, 0x46}, 0, 0, 0xD000, 0xFFFE, {{0xD000, 0x81}}, {{0xD000, 0x81}}, {}, -1},
        {"set 7, [hl]", {0xCB, 0xFE}, 0, 0, 0xD000, 0xFFFE, {{0xD000, 0x01}}, {{0xD000, 0x01}}, {{0xD000, 0x81}}, -1},
        {"swap [hl]", {0xCB, 0x36}, 0, 0, 0xD000, 0xFFFE, {{0xD000, 0x12}}, {{0xD000, 0x12}}, {{0xD000, 0x21}}, -1},
        // SRA keeps bit 7; SRL clears it; RR shifts the carry in.
        {"sra [hl]", {0xCB, 0x2E}, 0, 0, 0xD000, 0xFFFE, {{0xD000, 0x81}}, {{0xD000, 0x81}}, {{0xD000, 0xC0}}, -1},
        {"srl [hl]", {0xCB, 0x3E}, 0, 0, 0xD000, 0xFFFE, {{0xD000, 0x81}}, {{0xD000, 0x81}}, {{0xD000, 0x40}}, -1},
        {"rr [hl]", {0xCB, 0x1E}, F_C, 0, 0xD000, 0xFFFE, {{0xD000, 0x02}}, {{0xD000, 0x02}}, {{0xD000, 0x81}}, -1},
        // The carry conditions: NC jumps with the carry clear, C with it set.
        {"jr nc taken", {0x30, 0x10}, 0, 0, 0, 0xFFFE, {}, {}, {}, 0xC162},
        {"jr nc not taken", {0x30, 0x10}, F_C, 0, 0, 0xFFFE, {}, {}, {}, -1},
        {"jp c taken", {0xDA, 0x00, 0x40}, F_C, 0, 0, 0xFFFE, {}, {}, {}, 0x4000},
        {"jp c not taken", {0xDA, 0x00, 0x40}, F_Z, 0, 0, 0xFFFE, {}, {}, {}, -1},
        {"call nc not taken", {0xD4, 0x00, 0x40}, F_C, 0, 0, 0xFFFE, {}, {}, {}, -1},
        {"ret c", {0xD8}, F_C, 0, 0, 0xD000, {{0xD000, 0x78}, {0xD001, 0x56}}, {{0xD000, 0x78}, {0xD001, 0x56}}, {},
         0x5678},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        TestMachine m(RomImage{});
        GB& gb = *m.gb;
        for (size_t i = 0; i < r.code.size(); ++i) gb.write_byte(u16(0xC150 + i), r.code[i]);
        for (const auto& [at, byte] : r.memory) gb.write_byte(at, byte);
        CPU& cpu = m.cpu();
        cpu.af = r.af;
        cpu.bc = r.bc;
        cpu.hl = r.hl;
        cpu.sp = r.sp;
        cpu.pc = 0x0100;
        Debugger& d = gb.debugger;
        d.check_actions_for_instruction(0xC150);
        Bytes reads = r.reads;
        if (reads.count(0xFF44)) reads[0xFF44] = gb.read_byte(0xFF44);  // the bus's value now
        EXPECT_EQ(d.predicted_reads, reads);
        EXPECT_EQ(d.predicted_writes, r.writes);
        EXPECT_EQ(d.predicted_jump_address, r.jump);
    }
}

// Access breakpoints are tested against the prediction for PC; a value to
// compare narrows a write, a bank range narrows a jump.
TEST(Debugger, AccessBreakpointsTestThePredictionForPc) {
    BankedRom rom(4, 0x01);
    rom.place(0, 0x0150, {0xE0, 0x40}).place(0, 0x0160, {0xC3, 0x00, 0x40});  // ldh [rLCDC], a / jp $4000
    FileMachine m(rom);
    Debugger& d = m.gb->debugger;
    CPU& cpu = m.cpu();
    cpu.pc = 0x0150;
    EXPECT_FALSE(d.access_breakpoint_triggered());
    EXPECT_TRUE(d.predicted_writes.empty());  // nothing predicted without access breakpoints

    d.add_access_breakpoint(-1, -1, 0xFF40, 0xFF40, false, true, false, true, 0x91);
    cpu.af = 0x9000;
    EXPECT_FALSE(d.access_breakpoint_triggered());
    cpu.af = 0x9100;
    EXPECT_TRUE(d.access_breakpoint_triggered());

    d.add_access_breakpoint(2, 2, 0x4000, 0x7FFF, false, false, true, false, 0);
    cpu.pc = 0x0160;
    EXPECT_FALSE(d.access_breakpoint_triggered());  // bank 1 mapped
    m.gb->write_byte(0x2000, 0x02);
    EXPECT_TRUE(d.access_breakpoint_triggered());
    d.access_breakpoints[1].enabled = false;
    EXPECT_FALSE(d.access_breakpoint_triggered());
}

// A read breakpoint watches its address range only, and with a value to
// compare only the reads of that byte; a write watch ignores reads.
TEST(Debugger, ReadBreakpointsWatchTheirRangeAndValue) {
    BankedRom rom;
    rom.place(0, 0x0150, {0x7E});  // ld a, [hl]
    struct Row {
        u16 addr_min, addr_max;
        bool on_read, on_write, compare;
        u8 value;
        bool fires;
    };
    const Row rows[] = {
        {0xC123, 0xC123, true, false, false, 0, true},   {0xC100, 0xC1FF, true, false, false, 0, true},
        {0xC124, 0xC1FF, true, false, false, 0, false},  {0xC000, 0xC122, true, false, false, 0, false},
        {0xC123, 0xC123, true, false, true, 0x5A, true}, {0xC100, 0xC1FF, true, false, true, 0x5B, false},
        {0xC123, 0xC123, false, true, false, 0, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.addr_min << "-" << r.addr_max << " value " << int(r.value));
        FileMachine m(rom);
        m.gb->write_byte(0xC123, 0x5A);
        m.cpu().hl = 0xC123;
        m.cpu().pc = 0x0150;
        Debugger& d = m.gb->debugger;
        d.add_access_breakpoint(-1, -1, r.addr_min, r.addr_max, r.on_read, r.on_write, false, r.compare, r.value);
        EXPECT_EQ(d.access_breakpoint_triggered(), r.fires);
    }
}

}  // namespace
