#include "debug_tools.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "debug/disassembler.h"

namespace romtest {

namespace {

bool parse_hex_address(const std::string& text, u16& out) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
    if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    out = u16(std::strtoul(digits.c_str(), nullptr, 16));
    return true;
}

}  // namespace

const char* debug_options_usage() {
    return "  --write-sym   after the run, write the symbol file beside the ROM (what W does in the program)\n"
           "  --disasm WHERE  after the run, print a disassembly listing with labels around WHERE: pc (the\n"
           "                final PC) or a hex address, in the banks mapped then\n"
           "  --disasm-rows N  rows of that listing (default 24)\n";
}

int parse_debug_option(int argc, char** argv, int& i, DebugOutputs& outputs, std::string& error) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--write-sym") {
        outputs.write_symbol_file = true;
        return 1;
    }
    if (arg == "--disasm") {
        const char* v = value();
        const std::string where = v ? v : "";
        outputs.listing = true;
        outputs.listing_at_pc = where == "pc";
        if (outputs.listing_at_pc || parse_hex_address(where, outputs.listing_address)) return 1;
        error = "--disasm needs pc or a hex address, not \"" + where + "\"";
        return -1;
    }
    if (arg == "--disasm-rows") {
        const char* v = value();
        char* end = nullptr;
        const long rows = v ? std::strtol(v, &end, 10) : 0;
        if (!v || *end != '\0' || rows < 1 || rows > 0x20000) {
            error = "--disasm-rows needs a positive number";
            return -1;
        }
        outputs.listing_rows = int(rows);
        return 1;
    }
    return 0;
}

void load_symbols(GB& gb) { gb.disassembler.load_symbol_file(); }

std::string listing_around(GB& gb, u16 address, int rows) {
    Disassembler& d = gb.disassembler;
    const std::vector<int> layout = d.get_instruction_addresses();
    // The instruction row that holds the address (an address inside an
    // instruction belongs to the row of its first byte).
    size_t at = 0;
    for (size_t r = 0; r < layout.size(); ++r) {
        if (layout[r] > 0xFFFF) continue;
        if (layout[r] > address) break;
        at = r;
    }
    const size_t first = at >= size_t(rows / 4) ? at - size_t(rows / 4) : 0;
    const size_t last = std::min(layout.size(), first + size_t(rows));
    const u16 pc = gb.get_pc();
    std::string text;
    for (size_t r = first; r < last; ++r) {
        const int row = layout[r];
        if (row >= LISTING_LABEL_ROW) {
            text += d.symbols[size_t(row - LISTING_LABEL_ROW)]->name + ":\n";
        } else if (row == LISTING_SEPARATOR_ROW) {
            text += "\n";
        } else {
            std::string line = d.disassemble_instruction_at(row, d.get_instruction_length_at_address(row, true));
            if (row == pc) line.replace(0, 2, "->");
            text += line + "\n";
        }
    }
    return text;
}

bool write_debug_outputs(GB& gb, const DebugOutputs& outputs, std::string& error) {
    if (outputs.listing) {
        const u16 address = outputs.listing_at_pc ? gb.get_pc() : outputs.listing_address;
        std::cout << listing_around(gb, address, outputs.listing_rows) << std::flush;
    }
    if (outputs.write_symbol_file) {
        std::string backup;
        if (!gb.cartridge.write_symbol_file(&backup)) {
            error = "symbol file not written: " + gb.cartridge.get_sym_file_path();
            return false;
        }
        std::cout << "symbol file written: " << gb.cartridge.get_sym_file_path();
        if (!backup.empty()) std::cout << " (the old one kept as " << backup << ")";
        std::cout << std::endl;
    }
    return true;
}

}  // namespace romtest
