#include "debug/disassembler.h"

#include "core/gb.h"
#include "core/helpers.h"
#include "debug/debug_peek.h"

namespace {

// Operand names by the three-bit register field of the opcode.
constexpr const char* REGISTER_NAMES[8] = {"b", "c", "d", "e", "h", "l", "[hl]", "a"};

// Opcodes 0x00-0x3F and 0xC0-0xFF; 0x40-0xBF follow the register rules below.
constexpr const char* LOW_QUARTER[64] = {
    "nop", "ld   bc, d16", "ld   [bc], a", "inc  bc", "inc  b", "dec  b", "ld   b, d8", "rlca",
    "ld   [a16], sp", "add  hl, bc", "ld   a, [bc]", "dec  bc", "inc  c", "dec  c", "ld   c, d8", "rrca",
    "stop", "ld   de, d16", "ld   [de], a", "inc  de", "inc  d", "dec  d", "ld   d, d8", "rla",
    "jr   pc+r8", "add  hl, de", "ld   a, [de]", "dec  de", "inc  e", "dec  e", "ld   e, d8", "rra",
    "jr   nz, pc+r8", "ld   hl, d16", "ld   [hl+], a", "inc  hl", "inc  h", "dec  h", "ld   h, d8", "daa",
    "jr   z, pc+r8", "add  hl, hl", "ld   a, [hl+]", "dec  hl", "inc  l", "dec  l", "ld   l, d8", "cpl",
    "jr   nc, pc+r8", "ld   sp, d16", "ld   [hl-], a", "inc  sp", "inc  [hl]", "dec  [hl]", "ld   [hl], d8", "scf",
    "jr   c, pc+r8", "add  hl, sp", "ld   a, [hl-]", "dec  sp", "inc  a", "dec  a", "ld   a, d8", "ccf",
};

constexpr const char* HIGH_QUARTER[64] = {
    "ret  nz", "pop  bc", "jp   nz, d16", "jp   d16", "call nz, d16", "push bc", "add  a, d8", "rst  $00",
    "ret  z", "ret", "jp   z, d16", "!!!", "call z, d16", "call d16", "adc  a, d8", "rst  $08",
    "ret  nc", "pop  de", "jp   nc, d16", "DB   $D3", "call nc, d16", "push de", "sub  a, d8", "rst  $10",
    "ret  c", "reti", "jp   c, d16", "DB   $DB", "call c, d16", "DB   $DD", "sbc  a, d8", "rst  $18",
    "ldh  [a8], a", "pop  hl", "ldh  [c], a", "DB   $E3", "DB   $E4", "push hl", "and  d8", "rst  $20",
    "add  sp, r8", "jp   hl", "ld   [a16], a", "DB   $EB", "DB   $EC", "DB   $ED", "xor  d8", "rst  $28",
    "ldh  a, [a8]", "pop  af", "ldh  a, [c]", "di", "DB   $F4", "push af", "or   d8", "rst  $30",
    "ld   hl, sp+r8", "ld   sp, hl", "ld   a, [a16]", "ei", "DB   $FC", "DB   $FD", "cp   d8", "rst  $38",
};

constexpr const char* ALU_PREFIXES[8] = {"add  a, ", "adc  a, ", "sub  a, ", "sbc  a, ",
                                         "and  ", "xor  ", "or   ", "cp   "};
constexpr const char* SHIFT_PREFIXES[8] = {"rlc  ", "rrc  ", "rl   ", "rr   ", "sla  ", "sra  ", "swap ", "srl  "};
constexpr const char* BIT_PREFIXES[4] = {"", "bit  ", "res  ", "set  "};

std::array<std::string, 256> build_instructions() {
    std::array<std::string, 256> table;
    for (int op = 0; op < 256; ++op) {
        const char* destination = REGISTER_NAMES[(op >> 3) & 7];
        const char* source = REGISTER_NAMES[op & 7];
        if (op < 0x40)
            table[op] = LOW_QUARTER[op];
        else if (op == 0x76)
            table[op] = "halt";
        else if (op < 0x80)
            table[op] = std::string("ld   ") + destination + ", " + source;
        else if (op < 0xC0)
            table[op] = std::string(ALU_PREFIXES[(op >> 3) & 7]) + source;
        else
            table[op] = HIGH_QUARTER[op - 0xC0];
    }
    return table;
}

std::array<std::string, 256> build_cb_instructions() {
    std::array<std::string, 256> table;
    for (int op = 0; op < 256; ++op) {
        const char* operand = REGISTER_NAMES[op & 7];
        const int row = (op >> 3) & 7;
        if (op < 0x40)
            table[op] = std::string(SHIFT_PREFIXES[row]) + operand;
        else
            table[op] = std::string(BIT_PREFIXES[op >> 6]) + std::to_string(row) + ", " + operand;
    }
    return table;
}

// Placeholders in the order they are looked for: "pc+r8" before "r8", and
// "d8" first, which no other placeholder contains.
constexpr const char* PLACEHOLDERS[6] = {"d8", "a16", "d16", "pc+r8", "r8", "a8"};
constexpr int PLACEHOLDER_LENGTHS[6] = {2, 3, 3, 2, 2, 2};

int length_from_template(int opcode, const std::string& text) {
    // STOP is followed by a byte the CPU skips; CB by the second opcode byte.
    if (opcode == 0xCB || opcode == 0x10) return 2;
    for (int i = 0; i < 6; ++i)
        if (text.find(PLACEHOLDERS[i]) != std::string::npos) return PLACEHOLDER_LENGTHS[i];
    return 1;
}

const std::string HEX_PREFIX = "0x";
constexpr size_t INSTRUCTION_FIELD = 15;

std::string hex(int value, int width) { return Helpers::int_to_hex(value, width); }

}  // namespace

const std::array<std::string, 256> instructions = build_instructions();
const std::array<std::string, 256> cb_instructions = build_cb_instructions();

namespace {
const std::array<int, 256> OPCODE_LENGTHS = [] {
    std::array<int, 256> lengths{};
    for (int op = 0; op < 256; ++op) lengths[op] = length_from_template(op, instructions[op]);
    return lengths;
}();
}  // namespace

Disassembler::Disassembler() : instruction_lengths(OPCODE_LENGTHS) {
    for (size_t w = 0; w < mark_windows.size(); ++w) mark_windows[w] = instruction_marks.data() + w * 0x2000;
}

void Disassembler::update_mark_windows() {
    const Cartridge& cartridge = gb->cartridge;
    for (size_t half = 0; half < 2; ++half) {
        mark_windows[2 * half] = cartridge.rom_mark_windows[half];
        mark_windows[2 * half + 1] = cartridge.rom_mark_windows[half] + 0x2000;
    }
    mark_windows[5] = cartridge.ram_mark_window;
}

Disassembler::~Disassembler() = default;

void Disassembler::reset() {
    instruction_marks.fill(ACCESS_UNMARKED);
    instruction_lengths = OPCODE_LENGTHS;
}

int Disassembler::get_instruction_length_for_opcode(u8 opcode) { return OPCODE_LENGTHS[opcode]; }

bool Disassembler::is_instruction_known_start_address(u16 address) const {
    if (address < 0x8000 || (address >= 0xA000 && address < 0xC000))
        return gb->cartridge.instruction_starts_at_address(address);
    return instruction_marks[address] != ACCESS_UNMARKED;
}

int Disassembler::get_instruction_length_at_address(int address, bool check_overlap) {
    if (address < 0 || address > 0xFFFF) return 0;
    const int length = instruction_lengths[debug_peek_byte(*gb, u16(address))];
    if (!check_overlap || length == 1) return length;
    for (int i = 1; i < length; ++i)
        if (is_instruction_known_start_address(u16(address + i))) return 1;
    return length;
}

std::string Disassembler::replace(std::string text, std::string placeholder, int value, int width) {
    const size_t at = text.find(placeholder);
    if (at == std::string::npos) return text;
    std::string number = value < 0 ? "-$" : "$";
    number += hex(value < 0 ? -value : value, width);
    return text.substr(0, at) + number + text.substr(at + placeholder.size());
}

std::string Disassembler::replace_string(std::string text, std::string placeholder, std::string value) {
    const size_t at = text.find(placeholder);
    if (at == std::string::npos) return text;
    return text.substr(0, at) + value + text.substr(at + placeholder.size());
}

std::string Disassembler::get_instruction(u16 address) {
    GB& machine = *gb;
    const u8 op = debug_peek_byte(machine, address);
    const u8 n = debug_peek_byte(machine, u16(address + 1));
    const std::string& pattern = op == 0xCB ? cb_instructions[n] : instructions[op];

    // A 16-bit target or a high-page address shows its label when it has one.
    auto labelled = [&](const std::string& placeholder, int target, int width, int shown) {
        const std::string label = get_label_for_address(target, -1);
        if (label.empty()) return replace(pattern, placeholder, shown, width);
        return replace_string(pattern, placeholder, label);
    };
    std::string text = pattern;
    if (op == 0xCB) {
        // The second opcode byte is no operand.
    } else if (pattern.find("d8") != std::string::npos) {
        text = replace(pattern, "d8", n, 2);
    } else if (pattern.find("a16") != std::string::npos || pattern.find("d16") != std::string::npos) {
        const char* placeholder = pattern.find("a16") != std::string::npos ? "a16" : "d16";
        const int word = debug_peek_word(machine, u16(address + 1));
        text = labelled(placeholder, word, 4, word);
    } else if (pattern.find("pc+r8") != std::string::npos) {
        const int target = (address + 2 + i8(n)) & 0xFFFF;
        text = labelled("pc+r8", target, 4, target);
    } else if (pattern.find("r8") != std::string::npos) {
        text = replace(pattern, "r8", i8(n), 2);
    } else if (pattern.find("a8") != std::string::npos) {
        text = labelled("a8", 0xFF00 + n, 2, n);
    }
    if (text.size() < INSTRUCTION_FIELD) text.resize(INSTRUCTION_FIELD, ' ');

    const CPU& cpu = machine.cpu;
    auto pointer_comment = [&](const char* name, u16 pointer) {
        text += std::string("; ") + name + " = " + HEX_PREFIX + hex(pointer, 4) + ", [" + name + "] = " + HEX_PREFIX +
                hex(debug_peek_byte(machine, pointer), 2);
    };
    if (pattern.find("[hl") != std::string::npos) pointer_comment("hl", cpu.hl);
    if (pattern.find("[de]") != std::string::npos) pointer_comment("de", cpu.de);
    if (pattern.find("[bc]") != std::string::npos) pointer_comment("bc", cpu.bc);
    if (pattern.find("[c]") != std::string::npos) {
        text += "; c = " + HEX_PREFIX + hex(cpu.c(), 2) + ", [c] = " + HEX_PREFIX +
                hex(debug_peek_byte(machine, u16(0xFF00 + cpu.c())), 2);
    }
    return text;
}

bool Disassembler::wram_is_banked() const { return gb->is_cgb && gb->key0 != KEY0_DMG_COMPAT; }

std::string Disassembler::region_name(int address) const {
    const bool dmg = gb->is_dmg;
    const std::string wram_bank = std::to_string(gb->wram_bank);
    if (address < 0x4000) return "ROM00";
    // Banks from 0x100 up (MBC5) show all three digits.
    if (address < 0x8000) return "ROM" + hex(gb->cartridge.get_rom_bank(), 2);
    if (address < 0xA000) return dmg ? "VRAM " : "VRAM" + std::to_string(gb->vram_bank);
    if (address < 0xC000) return "SRAM ";
    if (address < 0xD000) return dmg ? "WRAM " : "WRAM0";
    if (address < 0xE000) return dmg ? "WRAM " : "WRAM" + wram_bank;
    if (address < 0xF000) return dmg ? "ECHO " : "ECHO0";
    if (address < 0xFE00) return dmg ? "ECHO " : "ECHO" + wram_bank;
    if (address < 0xFF00) return "OAM  ";
    if (address < 0xFF80) return "I/O  ";
    return "HRAM ";
}

std::string Disassembler::disassemble_instruction_at(int address, int length) {
    if (address < 0 || address > 0xFFFF) return {};
    const u16 at = u16(address);
    const u8 op = debug_peek_byte(*gb, at);
    const bool whole = length == instruction_lengths[op];
    const int count = whole ? length : 1;
    std::string line = "  " + region_name(address) + ":" + hex(address, 4) + "    ";
    for (int i = 0; i < count; ++i) line += hex(debug_peek_byte(*gb, u16(at + i)), 2) + " ";
    line += std::string(size_t(3 * (3 - count)), ' ') + "   ";
    line += whole ? get_instruction(at) : "DB   $" + hex(op, 2);
    return line;
}

std::vector<int> Disassembler::get_instruction_addresses() {
    std::vector<int> rows;
    rows.reserve(0x10000 + symbols.size() + 0x1000);
    const u16 pc = gb->get_pc();
    int a = 0;
    while (a <= 0xFFFF) {
        const int symbol = get_symbol_index_for_address(a, -1);
        if (symbol >= 0) rows.push_back(LISTING_LABEL_ROW + symbol);
        rows.push_back(a);
        const u8 op = debug_peek_byte(*gb, u16(a));
        // After an unconditional jump or return, a gap.
        if (op == 0xC9 || op == 0xD9 || op == 0xE9 || op == 0xC3 || op == 0x18) rows.push_back(LISTING_SEPARATOR_ROW);
        int next = a + 1;
        const int length = instruction_lengths[op];
        const bool one_row_each = (a >= 0xFF00 && a < 0xFF80) || a >= 0xFFFE;
        if (!one_row_each && length > 1) {
            next = a + length;
            // An operand byte that is itself where execution goes gets a row.
            for (int i = 1; i < length; ++i) {
                const u16 operand = u16(a + i);
                if (operand == pc || is_instruction_known_start_address(operand)) {
                    next = a + 1;
                    break;
                }
            }
        }
        a = next;
    }
    return rows;
}
