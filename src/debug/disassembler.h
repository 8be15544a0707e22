#pragma once
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "core/types.h"

class GB;

// Text template of every opcode, and of every CB-prefixed opcode. Operands
// that come from the instruction's following bytes are placeholders: "d8",
// "d16", "a16" (memory address), "a8" (FF00 + n), "r8" (signed offset),
// "pc+r8" (relative jump target).
extern const std::array<std::string, 256> instructions;
extern const std::array<std::string, 256> cb_instructions;

// One name for one address, optionally tied to one bank (-1: any bank).
struct Symbol {
    // One line of a symbol file ("bank:address name"); null for comments,
    // empty lines, run entries (".code:0010") and malformed lines.
    static std::unique_ptr<Symbol> create_from_line(std::string line);

    std::string name;
    std::string lower_name;
    int address = 0;
    int bank = -1;
};

// Rows of a whole listing (get_instruction_addresses): 0x0000-0xFFFF is an
// instruction, LISTING_LABEL_ROW + i the label of symbols[i], and
// LISTING_SEPARATOR_ROW an empty row after an unconditional jump or return.
inline constexpr int LISTING_SEPARATOR_ROW = 0x11000;
inline constexpr int LISTING_LABEL_ROW = 0x20000;

// The 58 names of the hardware registers every symbol list starts with.
inline constexpr int BUILT_IN_SYMBOL_COUNT = 58;

// Code marks, symbols and text disassembly.
//
// Instruction-start marks of the cartridge's ROM and RAM are kept per byte by
// the cartridge; the marks of every other address (VRAM, WRAM, echo, OAM, I/O,
// high RAM) are kept here, one per CPU address. All memory the disassembler
// shows is read through the side-effect-free debug view (debug_peek.h), so a
// listing never changes what the machine does next.
class Disassembler {
public:
    Disassembler();
    ~Disassembler();
    Disassembler(const Disassembler&) = delete;
    Disassembler& operator=(const Disassembler&) = delete;

    void reset();

    // Marks made by the CPU at every opcode fetch and data read. Defined in
    // debug/disassembler_inline.h, which the CPU includes: they sit on the
    // interpreter's hot path, where the CPU calls the forms that take the
    // machine (one store through `mark_windows` for a fetch).
    inline void set_instruction_start_address(u16 address);
    inline void set_address_access_type_to_data(u16 address);
    static inline void mark_instruction_start(GB& gb, u16 address);
    static inline void mark_data_read(GB& gb, u16 address);
    // Follows the cartridge's mark windows (Cartridge::update_mark_windows calls it).
    void update_mark_windows();

    bool is_instruction_known_start_address(u16 address) const;
    // Length in bytes (1-3) of the instruction an opcode starts.
    static int get_instruction_length_for_opcode(u8 opcode);
    // Length of the instruction at an address (0 outside 0-0xFFFF). With
    // check_overlap, 1 when one of its operand bytes is itself a known
    // instruction start.
    int get_instruction_length_at_address(int address, bool check_overlap);
    // template with placeholder replaced by "$" and value in upper-case hex
    // (at least width digits; "-$" and the magnitude for a negative value).
    static std::string replace(std::string text, std::string placeholder, int value, int width);
    static std::string replace_string(std::string text, std::string placeholder, std::string value);
    // One instruction: text with operands and labels, in a 15-character
    // field, followed by a comment with the memory operand's address and byte.
    std::string get_instruction(u16 address);
    // One listing line: region and address, the bytes, the text. A length
    // other than the opcode's shows the byte alone as "DB".
    std::string disassemble_instruction_at(int address, int length);
    // The rows of a listing of the whole address space, as seen with the
    // banks mapped now.
    std::vector<int> get_instruction_addresses();

    // Symbols: the built-in register names, then the symbol file beside the
    // ROM. Rebuilt at every ROM load. A line longer than MAX_SYMBOL_LINE
    // characters gives no symbol, and at most MAX_FILE_SYMBOLS come from the
    // file: the largest projects' files hold some tens of thousands of labels
    // of a few dozen characters.
    static constexpr size_t MAX_SYMBOL_LINE = 4096;
    static constexpr size_t MAX_FILE_SYMBOLS = 1 << 18;
    void load_symbol_file();
    void create_default_symbols();
    // Index into `symbols` of the first symbol at the address in the bank
    // (-1: in the bank mapped there now); -1 if none.
    int get_symbol_index_for_address(int address, int bank) const;
    // The symbol's name, or the name of the address below with " + 1", or "".
    std::string get_label_for_address(int address, int bank) const;
    const Symbol* get_symbol(const std::string& name) const;
    // Names starting with the text first, then names containing it, ignoring case.
    std::vector<const Symbol*> get_symbols_matching_string(const std::string& text) const;
    // Prints the cartridge's symbol-file text to standard output.
    void generate_symbol_file() const;

    GB* gb = nullptr;
    std::array<u8, 0x10000> instruction_marks{};
    // Where an instruction start at each 8 KiB of the address space is
    // marked: the cartridge's marks of the ROM and RAM banks mapped now for
    // 0000-7FFF and A000-BFFF, `instruction_marks` for the rest.
    std::array<u8*, 8> mark_windows{};
    std::array<int, 256> instruction_lengths{};
    std::vector<std::unique_ptr<Symbol>> symbols;
    std::vector<std::vector<int>> symbols_at_address;

private:
    std::string region_name(int address) const;
    bool wram_is_banked() const;
    void rebuild_symbol_index();
};
