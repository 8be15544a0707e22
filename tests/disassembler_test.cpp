// Text disassembly: every opcode's text and length, operands with labels and
// comments, listing lines and rows, the code marks the CPU leaves behind, and
// that looking at memory never changes what the machine does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "debug/debugger.h"
#include "debug/disassembler.h"
#include "debug/disassembler_inline.h"
#include "debug_machine.h"
#include "test_machine.h"

namespace {

// The SM83 instruction set as assemblers write it, with the operand bytes
// 0x34, 0x12 following each opcode at 0xC000: d8 = $34, d16 = $1234, a
// relative jump lands on $C036. One row of 16 opcodes per line.
const char* const OPCODE_ROWS[16] = {
    "nop|ld bc, $1234|ld [bc], a|inc bc|inc b|dec b|ld b, $34|rlca|ld [$1234], sp|add hl, bc|ld a, [bc]|dec bc|inc c|"
    "dec c|ld c, $34|rrca",
    "stop|ld de, $1234|ld [de], a|inc de|inc d|dec d|ld d, $34|rla|jr $C036|add hl, de|ld a, [de]|dec de|inc e|dec e|"
    "ld e, $34|rra",
    "jr nz, $C036|ld hl, $1234|ld [hl+], a|inc hl|inc h|dec h|ld h, $34|daa|jr z, $C036|add hl, hl|ld a, [hl+]|"
    "dec hl|inc l|dec l|ld l, $34|cpl",
    "jr nc, $C036|ld sp, $1234|ld [hl-], a|inc sp|inc [hl]|dec [hl]|ld [hl], $34|scf|jr c, $C036|add hl, sp|"
    "ld a, [hl-]|dec sp|inc a|dec a|ld a, $34|ccf",
    "ld b, b|ld b, c|ld b, d|ld b, e|ld b, h|ld b, l|ld b, [hl]|ld b, a|ld c, b|ld c, c|ld c, d|ld c, e|ld c, h|"
    "ld c, l|ld c, [hl]|ld c, a",
    "ld d, b|ld d, c|ld d, d|ld d, e|ld d, h|ld d, l|ld d, [hl]|ld d, a|ld e, b|ld e, c|ld e, d|ld e, e|ld e, h|"
    "ld e, l|ld e, [hl]|ld e, a",
    "ld h, b|ld h, c|ld h, d|ld h, e|ld h, h|ld h, l|ld h, [hl]|ld h, a|ld l, b|ld l, c|ld l, d|ld l, e|ld l, h|"
    "ld l, l|ld l, [hl]|ld l, a",
    "ld [hl], b|ld [hl], c|ld [hl], d|ld [hl], e|ld [hl], h|ld [hl], l|halt|ld [hl], a|ld a, b|ld a, c|ld a, d|"
    "ld a, e|ld a, h|ld a, l|ld a, [hl]|ld a, a",
    "add a, b|add a, c|add a, d|add a, e|add a, h|add a, l|add a, [hl]|add a, a|adc a, b|adc a, c|adc a, d|"
    "adc a, e|adc a, h|adc a, l|adc a, [hl]|adc a, a",
    "sub a, b|sub a, c|sub a, d|sub a, e|sub a, h|sub a, l|sub a, [hl]|sub a, a|sbc a, b|sbc a, c|sbc a, d|"
    "sbc a, e|sbc a, h|sbc a, l|sbc a, [hl]|sbc a, a",
    "and b|and c|and d|and e|and h|and l|and [hl]|and a|xor b|xor c|xor d|xor e|xor h|xor l|xor [hl]|xor a",
    "or b|or c|or d|or e|or h|or l|or [hl]|or a|cp b|cp c|cp d|cp e|cp h|cp l|cp [hl]|cp a",
    "ret nz|pop bc|jp nz, $1234|jp $1234|call nz, $1234|push bc|add a, $34|rst $00|ret z|ret|jp z, $1234|swap h|"
    "call z, $1234|call $1234|adc a, $34|rst $08",
    "ret nc|pop de|jp nc, $1234|DB $D3|call nc, $1234|push de|sub a, $34|rst $10|ret c|reti|jp c, $1234|DB $DB|"
    "call c, $1234|DB $DD|sbc a, $34|rst $18",
    "ldh [$34], a|pop hl|ldh [c], a|DB $E3|DB $E4|push hl|and $34|rst $20|add sp, $34|jp hl|ld [$1234], a|DB $EB|"
    "DB $EC|DB $ED|xor $34|rst $28",
    "ldh a, [$34]|pop af|ldh a, [c]|di|DB $F4|push af|or $34|rst $30|ld hl, sp+$34|ld sp, hl|ld a, [$1234]|ei|"
    "DB $FC|DB $FD|cp $34|rst $38",
};

// The CB-prefixed opcodes, eight per line.
const char* const CB_ROWS[32] = {
    "rlc b|rlc c|rlc d|rlc e|rlc h|rlc l|rlc [hl]|rlc a",
    "rrc b|rrc c|rrc d|rrc e|rrc h|rrc l|rrc [hl]|rrc a",
    "rl b|rl c|rl d|rl e|rl h|rl l|rl [hl]|rl a",
    "rr b|rr c|rr d|rr e|rr h|rr l|rr [hl]|rr a",
    "sla b|sla c|sla d|sla e|sla h|sla l|sla [hl]|sla a",
    "sra b|sra c|sra d|sra e|sra h|sra l|sra [hl]|sra a",
    "swap b|swap c|swap d|swap e|swap h|swap l|swap [hl]|swap a",
    "srl b|srl c|srl d|srl e|srl h|srl l|srl [hl]|srl a",
    "bit 0, b|bit 0, c|bit 0, d|bit 0, e|bit 0, h|bit 0, l|bit 0, [hl]|bit 0, a",
    "bit 1, b|bit 1, c|bit 1, d|bit 1, e|bit 1, h|bit 1, l|bit 1, [hl]|bit 1, a",
    "bit 2, b|bit 2, c|bit 2, d|bit 2, e|bit 2, h|bit 2, l|bit 2, [hl]|bit 2, a",
    "bit 3, b|bit 3, c|bit 3, d|bit 3, e|bit 3, h|bit 3, l|bit 3, [hl]|bit 3, a",
    "bit 4, b|bit 4, c|bit 4, d|bit 4, e|bit 4, h|bit 4, l|bit 4, [hl]|bit 4, a",
    "bit 5, b|bit 5, c|bit 5, d|bit 5, e|bit 5, h|bit 5, l|bit 5, [hl]|bit 5, a",
    "bit 6, b|bit 6, c|bit 6, d|bit 6, e|bit 6, h|bit 6, l|bit 6, [hl]|bit 6, a",
    "bit 7, b|bit 7, c|bit 7, d|bit 7, e|bit 7, h|bit 7, l|bit 7, [hl]|bit 7, a",
    "res 0, b|res 0, c|res 0, d|res 0, e|res 0, h|res 0, l|res 0, [hl]|res 0, a",
    "res 1, b|res 1, c|res 1, d|res 1, e|res 1, h|res 1, l|res 1, [hl]|res 1, a",
    "res 2, b|res 2, c|res 2, d|res 2, e|res 2, h|res 2, l|res 2, [hl]|res 2, a",
    "res 3, b|res 3, c|res 3, d|res 3, e|res 3, h|res 3, l|res 3, [hl]|res 3, a",
    "res 4, b|res 4, c|res 4, d|res 4, e|res 4, h|res 4, l|res 4, [hl]|res 4, a",
    "res 5, b|res 5, c|res 5, d|res 5, e|res 5, h|res 5, l|res 5, [hl]|res 5, a",
    "res 6, b|res 6, c|res 6, d|res 6, e|res 6, h|res 6, l|res 6, [hl]|res 6, a",
    "res 7, b|res 7, c|res 7, d|res 7, e|res 7, h|res 7, l|res 7, [hl]|res 7, a",
    "set 0, b|set 0, c|set 0, d|set 0, e|set 0, h|set 0, l|set 0, [hl]|set 0, a",
    "set 1, b|set 1, c|set 1, d|set 1, e|set 1, h|set 1, l|set 1, [hl]|set 1, a",
    "set 2, b|set 2, c|set 2, d|set 2, e|set 2, h|set 2, l|set 2, [hl]|set 2, a",
    "set 3, b|set 3, c|set 3, d|set 3, e|set 3, h|set 3, l|set 3, [hl]|set 3, a",
    "set 4, b|set 4, c|set 4, d|set 4, e|set 4, h|set 4, l|set 4, [hl]|set 4, a",
    "set 5, b|set 5, c|set 5, d|set 5, e|set 5, h|set 5, l|set 5, [hl]|set 5, a",
    "set 6, b|set 6, c|set 6, d|set 6, e|set 6, h|set 6, l|set 6, [hl]|set 6, a",
    "set 7, b|set 7, c|set 7, d|set 7, e|set 7, h|set 7, l|set 7, [hl]|set 7, a",
};

// Instruction lengths in bytes, one row of 16 opcodes per line (0x40-0xBF
// are all one byte).
const char* const LENGTH_ROWS[8] = {
    "1311112131111121", "2311112121111121", "2311112121111121", "2311112121111121",
    "1133312111323321", "1131312111313121", "2111112121311121", "2111112121311121",
};

std::vector<std::string> split_row(const std::string& row) {
    std::vector<std::string> pieces;
    std::stringstream stream(row);
    std::string piece;
    while (std::getline(stream, piece, '|')) pieces.push_back(piece);
    return pieces;
}

// An instruction's text without its comment, its field fill and the padding
// after the mnemonic.
std::string bare_text(const std::string& text) {
    std::string s = text.substr(0, text.find(';'));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    std::string out;
    for (char c : s)
        if (!(c == ' ' && !out.empty() && out.back() == ' ')) out += c;
    return out;
}

TEST(Disassembler, EveryOpcodeReadsAsTheInstructionSetWritesIt) {
    TestMachine m(RomImage{});
    Disassembler& d = m.gb->disassembler;
    auto place = [&](u8 a, u8 b, u8 c) {
        m.gb->write_byte(0xC000, a);
        m.gb->write_byte(0xC001, b);
        m.gb->write_byte(0xC002, c);
    };
    for (int op = 0; op < 256; ++op) {
        const std::string expected = split_row(OPCODE_ROWS[op >> 4]).at(size_t(op & 15));
        place(u8(op), 0x34, 0x12);
        const std::string text = d.get_instruction(0xC000);
        EXPECT_EQ(bare_text(text), expected) << std::hex << op;
        // Operands start in column 5, after the mnemonic and its padding.
        const size_t blank = expected.find(' ');
        if (blank != std::string::npos) {
            std::string mnemonic = expected.substr(0, blank);
            mnemonic.resize(5, ' ');
            EXPECT_EQ(text.substr(0, 5), mnemonic) << text;
            EXPECT_NE(text[5], ' ') << text;
        }
        const int row = op >> 4;
        const int length = row >= 4 && row < 12 ? 1 : LENGTH_ROWS[row < 4 ? row : row - 8][op & 15] - '0';
        EXPECT_EQ(Disassembler::get_instruction_length_for_opcode(u8(op)), length) << std::hex << op;
    }
    for (int op = 0; op < 256; ++op) {
        place(0xCB, u8(op), 0x00);
        EXPECT_EQ(bare_text(d.get_instruction(0xC000)), split_row(CB_ROWS[op >> 3]).at(size_t(op & 7)))
            << "cb " << std::hex << op;
    }
}

// Operands with the built-in register names as labels, signed offsets, and
// the comments showing a memory operand's address and byte.
TEST(Disassembler, OperandsLabelsAndComments) {
    TestMachine m(RomImage().place(0x0200, {0x20, 0xFE}));
    GB& gb = *m.gb;
    Disassembler& d = gb.disassembler;
    d.load_symbol_file();
    CPU& cpu = m.cpu();
    cpu.hl = 0xC000;
    cpu.bc = 0x0080;
    gb.write_byte(0xC000, 0x12);
    gb.write_byte(0xFF80, 0x5A);
    struct Row {
        u16 at;
        std::vector<u8> bytes;
        std::string text;
    };
    const Row rows[] = {
        {0xC100, {0xF0, 0x44}, "ldh  a, [rLY]  "},
        {0xC100, {0xF0, 0x80}, "ldh  a, [$80]  "},
        {0xC100, {0xC3, 0x00, 0x20}, "jp   rROMB0    "},
        {0xC100, {0xC3, 0x01, 0x20}, "jp   rROMB0 + 1"},
        {0x0200, {}, "jr   nz, $0200 "},
        {0xFFF0, {0x18, 0x7F}, "jr   $0071     "},
        {0xC100, {0xE8, 0xF8}, "add  sp, -$08  "},
        {0xC100, {0xF8, 0x05}, "ld   hl, sp+$05"},
        {0xC100, {0xCB, 0x37}, "swap a         "},
        {0xC100, {0xCB, 0x46}, "bit  0, [hl]   ; hl = 0xC000, [hl] = 0x12"},
        {0xC100, {0x7E}, "ld   a, [hl]   ; hl = 0xC000, [hl] = 0x12"},
        {0xC100, {0xE2}, "ldh  [c], a    ; c = 0x80, [c] = 0x5A"},
        {0xC100, {0x0A}, "ld   a, [bc]   ; bc = 0x0080, [bc] = 0x00"},
    };
    for (const Row& r : rows) {
        for (size_t i = 0; i < r.bytes.size(); ++i) gb.write_byte(u16(r.at + i), r.bytes[i]);
        EXPECT_EQ(d.get_instruction(r.at), r.text) << std::hex << r.at;
    }
}

// A listing line: region and address, the bytes in a field of three, the
// text. A byte shown on its own (length other than its opcode's) is "DB".
TEST(Disassembler, ListingLines) {
    TestMachine m(RomImage().place(0x0150, {0xC3, 0x50, 0x01}));
    Disassembler& d = m.gb->disassembler;
    EXPECT_EQ(d.disassemble_instruction_at(0x0150, 3), "  ROM00:0150    C3 50 01    jp   $0150     ");
    EXPECT_EQ(d.disassemble_instruction_at(0x0150, 1), "  ROM00:0150    C3          DB   $C3");
    EXPECT_EQ(d.disassemble_instruction_at(0x10000, 1), "");
    EXPECT_EQ(d.disassemble_instruction_at(-1, 1), "");
}

// The region names a line starts with, by model and the banks mapped now.
TEST(Disassembler, RegionNamesShowTheBanks) {
    struct Row {
        const char* model;
        u16 address;
        const char* region;
    };
    const Row rows[] = {
        {"dmgB", 0x0000, "ROM00"}, {"dmgB", 0x8000, "VRAM "}, {"dmgB", 0xC000, "WRAM "}, {"dmgB", 0xD000, "WRAM "},
        {"dmgB", 0xE000, "ECHO "}, {"dmgB", 0xF000, "ECHO "}, {"dmgB", 0xA000, "SRAM "}, {"dmgB", 0xFE00, "OAM  "},
        {"dmgB", 0xFF00, "I/O  "}, {"dmgB", 0xFF80, "HRAM "}, {"cgbE", 0x8000, "VRAM1"}, {"cgbE", 0xC000, "WRAM0"},
        {"cgbE", 0xD000, "WRAM3"}, {"cgbE", 0xE000, "ECHO0"}, {"cgbE", 0xF000, "ECHO3"}, {"cgbE", 0x4000, "ROM1FF"},
    };
    for (const Row& r : rows) {
        // An 8 MiB MBC5 ROM with bank 0x1FF mapped: the number keeps its digits.
        BankedRom rom(512, 0x19);
        rom.cgb_flag(0x80);
        TestMachine m(RomImage{}, r.model);
        m.gb->cartridge.load_rom_from_memory("big.gb", rom.bytes.data(), int(rom.bytes.size()));
        m.gb->reset();
        m.gb->write_byte(0x2000, 0xFF);
        m.gb->write_byte(0x3000, 0x01);
        m.gb->write_byte(REG_VBK, 1);
        m.gb->write_byte(REG_SVBK, 3);
        const std::string line = m.gb->disassembler.disassemble_instruction_at(r.address, 1);
        EXPECT_EQ(line.substr(2, line.find(':') - 2), r.region) << r.model << " " << std::hex << r.address;
    }
}

// Rows of a whole listing: a label before its instruction, a gap after an
// unconditional jump, one row per I/O register, and a row of its own for an
// operand byte that execution jumps into.
TEST(Disassembler, ListingRows) {
    // 0150: jp $0150, then 01 34 12. Its operand byte 0151 gets a row of its
    // own when execution is known to start there (it was fetched) or PC
    // stands on it now; otherwise jp takes three bytes and ld bc at 0153 three.
    struct Row {
        bool marked;
        u16 pc;
        std::vector<int> after_jump;
    };
    const Row cases[] = {
        {true, 0x0100, {0x0151, 0x0152, 0x0155}},
        {false, 0x0151, {0x0151, 0x0152, 0x0155}},
        {false, 0x0100, {0x0153, 0x0156}},
    };
    for (const Row& c : cases) {
        SCOPED_TRACE(testing::Message() << "marked " << c.marked << " pc " << std::hex << c.pc);
        TestMachine m(RomImage().place(0x0150, {0xC3, 0x50, 0x01, 0x01, 0x34, 0x12}));
        Disassembler& d = m.gb->disassembler;
        d.load_symbol_file();
        if (c.marked) m.gb->cartridge.set_instruction_start_address(0x0151);
        m.cpu().pc = c.pc;
        const std::vector<int> rows = d.get_instruction_addresses();
        const auto at_0150 = std::find(rows.begin(), rows.end(), 0x0150) - rows.begin();
        ASSERT_LT(size_t(at_0150) + 1 + c.after_jump.size(), rows.size());
        EXPECT_EQ(rows[size_t(at_0150) + 1], LISTING_SEPARATOR_ROW);
        const std::vector<int> after(rows.begin() + at_0150 + 2, rows.begin() + at_0150 + 2 + long(c.after_jump.size()));
        EXPECT_EQ(after, c.after_jump);
    }

    TestMachine m(RomImage().place(0x0150, {0xC3, 0x50, 0x01, 0x01, 0x34, 0x12}));
    Disassembler& d = m.gb->disassembler;
    d.load_symbol_file();
    m.gb->cartridge.set_instruction_start_address(0x0151);
    const std::vector<int> rows = d.get_instruction_addresses();
    auto row_of = [&](int value) { return std::find(rows.begin(), rows.end(), value) - rows.begin(); };
    EXPECT_EQ(d.get_instruction_length_at_address(0x0150, true), 1);
    EXPECT_EQ(d.get_instruction_length_at_address(0x0150, false), 3);
    // rLCDC labels FF40; every I/O address has its row whatever it holds.
    const int lcdc_label = LISTING_LABEL_ROW + d.get_symbol_index_for_address(0xFF40, -1);
    EXPECT_EQ(rows[size_t(row_of(lcdc_label)) + 1], 0xFF40);
    for (int a = 0xFF00; a < 0xFF80; ++a) EXPECT_LT(size_t(row_of(a)), rows.size()) << std::hex << a;
    EXPECT_LT(size_t(row_of(0xFFFF)), rows.size());
}

// ---------------------------------------------------------------------------
// Code marks left by the CPU

// The marks of ROM bytes follow the bank the CPU sees: the same address in
// two banks is two bytes. Cartridge RAM marks follow the RAM bank; other
// memory is marked per address and a write there clears the mark.
TEST(Disassembler, FetchesMarkTheBytesOfTheBanksMappedNow) {
    BankedRom rom(4, 0x03, 0x02);  // MBC1 with 8 KiB RAM
    // 0100: ld a, 2; ld [$2000], a; call $4000; ld a, 3; ld [$2000], a;
    //       call $4000; ld a, $0a; ld [$0000], a; ld a, $c9; ld [$a010], a;
    //       call $a010; ld [$c123], a; call $c123; halt
    rom.at_entry({0x3E, 0x02, 0xEA, 0x00, 0x20, 0xCD, 0x00, 0x40, 0x3E, 0x03, 0xEA, 0x00, 0x20, 0xCD, 0x00, 0x40,
                  0x3E, 0x0A, 0xEA, 0x00, 0x00, 0x3E, 0xC9, 0xEA, 0x10, 0xA0, 0xCD, 0x10, 0xA0, 0xEA, 0x23, 0xC1,
                  0xCD, 0x23, 0xC1, 0x76});
    rom.place(2, 0x4000, {0x00, 0xC9});       // nop; ret
    rom.place(3, 0x4000, {0x00, 0x00, 0xC9});  // nop; nop; ret
    FileMachine m(rom);
    ASSERT_TRUE(m.run_to(0x0123, 100));
    const Cartridge& cart = m.gb->cartridge;
    auto rom_mark = [&](int bank, int offset) { return cart.rom_access_types[size_t(bank * 0x4000 + offset)]; };
    EXPECT_EQ(rom_mark(2, 1), ACCESS_INSTRUCTION);
    EXPECT_EQ(rom_mark(2, 2), ACCESS_UNMARKED);
    EXPECT_EQ(rom_mark(3, 2), ACCESS_INSTRUCTION);
    EXPECT_EQ(rom_mark(1, 0), ACCESS_UNMARKED);
    EXPECT_EQ(cart.ram_access_types[0x10], ACCESS_INSTRUCTION);
    const Disassembler& d = m.gb->disassembler;
    EXPECT_TRUE(d.is_instruction_known_start_address(0xA010));
    EXPECT_TRUE(d.is_instruction_known_start_address(0xC123));
    EXPECT_TRUE(d.is_instruction_known_start_address(0x4002));   // bank 3 mapped now
    m.gb->write_byte(0x2000, 0x02);
    EXPECT_FALSE(d.is_instruction_known_start_address(0x4002));  // bank 2's 4002 is never run
    m.gb->write_byte(0xC123, 0x00);
    EXPECT_FALSE(d.is_instruction_known_start_address(0xC123));
}

// An MBC3 with 8 KiB RAM has no RAM byte behind A000 with RAM bank 2 or a
// clock register selected: a fetch there marks nothing.
TEST(Disassembler, FetchFromCartridgeRamMarksOnlyRamThatIsThere) {
    struct Row {
        u8 select;
        bool marked;
    };
    for (const Row r : {Row{0x00, true}, Row{0x02, false}, Row{0x08, false}}) {
        FileMachine m(BankedRom(2, 0x13, 0x02));  // MBC3 with 8 KiB RAM
        m.gb->write_byte(0x4000, r.select);
        Disassembler::mark_instruction_start(*m.gb, 0xA000);
        const Cartridge& cart = m.gb->cartridge;
        EXPECT_EQ(std::count(cart.ram_access_types.get(), cart.ram_access_types.get() + cart.ram_size, ACCESS_UNMARKED),
                  cart.ram_size - (r.marked ? 1 : 0)) << int(r.select);
        EXPECT_EQ(m.gb->disassembler.is_instruction_known_start_address(0xA000), r.marked) << int(r.select);
    }
}

// ---------------------------------------------------------------------------
// Looking changes nothing

namespace {
// Holds A pressed.
struct PressA : Host {
    void update_display(const u32*) override {}
    u8 get_joypad_state() override { return 0x10; }
};
}  // namespace

// A listing and access predictions that show P1 and STAT must not run those
// registers' read side effects: no input recorded, no joypad interrupt armed
// (which would draw a number from the pseudo-random sequence), no STAT
// coincidence latched early.
TEST(Disassembler, LookingAtRegistersChangesNothing) {
    TestMachine m(RomImage{});
    GB& gb = *m.gb;
    PressA host;
    gb.host = &host;
    gb.write_byte(REG_P1, 0x10);  // buttons selected
    gb.joypad.last_p1_value = 0xCF;
    gb.ppu.lyc_coincidence = false;
    gb.ppu.lyc = gb.ppu.lyc_flag_line;
    gb.disassembler.load_symbol_file();
    const size_t recorded = gb.joypad_states.size();

    std::srand(7);
    for (int a = 0xFF00; a < 0xFF80; ++a) gb.disassembler.disassemble_instruction_at(a, 1);
    gb.disassembler.get_instruction_addresses();
    gb.write_byte(0xC000, 0xF0);  // ldh a, [$00]
    gb.write_byte(0xC001, 0x00);
    gb.debugger.check_actions_for_instruction(0xC000);
    EXPECT_EQ(gb.debugger.predicted_reads.at(REG_P1), 0xDF) << "the buttons last seen: none";
    gb.write_byte(0xC001, 0x41);
    gb.debugger.check_actions_for_instruction(0xC000);
    const int next_random = std::rand();
    std::srand(7);
    EXPECT_EQ(next_random, std::rand());

    EXPECT_EQ(gb.joypad_states.size(), recorded);
    EXPECT_EQ(gb.joypad.interrupt_pending, 0);
    EXPECT_EQ(gb.joypad.last_p1_value, 0xCF);
    EXPECT_FALSE(gb.ppu.lyc_coincidence);
    // What the debugger showed is what the CPU then reads.
    EXPECT_EQ(gb.debugger.predicted_reads.at(REG_STAT), gb.read_byte(REG_STAT));
}

}  // namespace
