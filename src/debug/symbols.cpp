// The symbol list: the built-in register names and the symbol file beside the
// ROM, with an index by address for the listing's labels.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string_view>
#include <utility>

#include "core/gb.h"
#include "core/helpers.h"
#include "debug/disassembler.h"

namespace {

struct RegisterName {
    u16 address;
    const char* name;
};

// Hardware register names as Game Boy assemblers spell them.
constexpr RegisterName REGISTER_SYMBOLS[] = {
    {0xFF00, "rP1"},    {0xFF01, "rSB"},    {0xFF02, "rSC"},    {0xFF04, "rDIV"},   {0xFF05, "rTIMA"},
    {0xFF06, "rTMA"},   {0xFF07, "rTAC"},   {0xFF0F, "rIF"},    {0xFF10, "rNR10"},  {0xFF11, "rNR11"},
    {0xFF12, "rNR12"},  {0xFF13, "rNR13"},  {0xFF14, "rNR14"},  {0xFF16, "rNR21"},  {0xFF17, "rNR22"},
    {0xFF18, "rNR23"},  {0xFF19, "rNR24"},  {0xFF1A, "rNR30"},  {0xFF1B, "rNR31"},  {0xFF1C, "rNR32"},
    {0xFF1D, "rNR33"},  {0xFF1E, "rNR34"},  {0xFF20, "rNR41"},  {0xFF21, "rNR42"},  {0xFF22, "rNR43"},
    {0xFF23, "rNR44"},  {0xFF24, "rNR50"},  {0xFF25, "rNR51"},  {0xFF26, "rNR52"},  {0xFF40, "rLCDC"},
    {0xFF41, "rSTAT"},  {0xFF42, "rSCY"},   {0xFF43, "rSCX"},   {0xFF44, "rLY"},    {0xFF45, "rLYC"},
    {0xFF46, "rDMA"},   {0xFF47, "rBGP"},   {0xFF48, "rOBP0"},  {0xFF49, "rOBP1"},  {0xFF4A, "rWY"},
    {0xFF4B, "rWX"},    {0xFF4D, "rKEY1"},  {0xFF4F, "rVBK"},   {0xFF51, "rHDMA1"}, {0xFF52, "rHDMA2"},
    {0xFF53, "rHDMA3"}, {0xFF54, "rHDMA4"}, {0xFF55, "rHDMA5"}, {0xFF56, "rRP"},    {0xFF68, "rBCPS"},
    {0xFF69, "rBCPD"},  {0xFF6A, "rOCPS"},  {0xFF6B, "rOCPD"},  {0xFF70, "rSVBK"},  {0xFF76, "rPCM12"},
    {0xFF77, "rPCM34"}, {0xFFFF, "rIE"},
};
static_assert(std::size(REGISTER_SYMBOLS) + 1 == BUILT_IN_SYMBOL_COUNT);

// Linker symbol files are small; anything this large is not one.
constexpr std::uintmax_t MAX_SYMBOL_FILE_SIZE = 64ull * 1024 * 1024;

// Reads the next line (without its line feed) into `line`, keeping at most
// MAX_SYMBOL_LINE characters of it: false at the end of the file, and `long_line`
// set when the line went on past that.
bool read_bounded_line(std::istream& in, std::string& line, bool& long_line) {
    line.clear();
    long_line = false;
    std::streambuf* buffer = in.rdbuf();
    bool any = false;
    for (int c = buffer->sbumpc(); c != std::char_traits<char>::eof(); c = buffer->sbumpc()) {
        any = true;
        if (c == '\n') return true;
        if (line.size() < Disassembler::MAX_SYMBOL_LINE)
            line.push_back(char(c));
        else
            long_line = true;
    }
    return any;
}

// The pieces `text` splits into at `delimiter` (see Helpers::split): every
// piece between two delimiters counts, an empty one too; a delimiter at the
// very end adds none, and an empty text has none.
size_t piece_count(std::string_view text, char delimiter) {
    if (text.empty()) return 0;
    return size_t(std::count(text.begin(), text.end(), delimiter)) + 1 - (text.back() == delimiter ? 1 : 0);
}

// The first piece, and what follows its delimiter without a final delimiter.
std::pair<std::string_view, std::string_view> two_pieces(std::string_view text, char delimiter) {
    const size_t at = text.find(delimiter);
    std::string_view rest = text.substr(at + 1);
    if (!rest.empty() && rest.back() == delimiter) rest.remove_suffix(1);
    return {text.substr(0, at), rest};
}

}  // namespace

std::unique_ptr<Symbol> Symbol::create_from_line(std::string line) {
    // Files written on another system end their lines with CR LF.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') return nullptr;
    if (piece_count(line, ' ') != 2) return nullptr;
    const auto [location, name] = two_pieces(line, ' ');
    if (piece_count(location, ':') != 2) return nullptr;
    const auto [bank, address] = two_pieces(location, ':');
    // "bank:address .code:001a" and its kind are the writer's run entries,
    // not names. A name whose first ':' piece is empty (":x") is an ordinary
    // name.
    if (piece_count(name, ':') >= 2 && name.starts_with('.')) return nullptr;

    auto symbol = std::make_unique<Symbol>();
    symbol->bank = Helpers::hex_string_to_int(std::string(bank));
    symbol->address = Helpers::hex_string_to_int(std::string(address)) & 0xFFFF;
    symbol->name = name;
    symbol->lower_name = Helpers::to_lower(symbol->name);
    return symbol;
}

void Disassembler::create_default_symbols() {
    symbols.push_back(Symbol::create_from_line("-1:2000 rROMB0"));
    for (const RegisterName& r : REGISTER_SYMBOLS)
        symbols.push_back(Symbol::create_from_line("00:" + Helpers::int_to_hex(r.address, 4) + " " + r.name));
}

void Disassembler::load_symbol_file() {
    symbols.clear();
    symbols_at_address.clear();
    create_default_symbols();

    namespace fs = std::filesystem;
    const std::string path = gb->cartridge.get_sym_file_path();
    std::error_code ec;
    // Only a plain file (or a link to one) is read: a pipe or device would
    // block or never end.
    if (!gb->cartridge.rom_path.empty() && fs::is_regular_file(path, ec)) {
        const std::uintmax_t size = fs::file_size(path, ec);
        if (!ec && size > MAX_SYMBOL_FILE_SIZE) {
            std::cout << "Symbol file " << path << " is larger than 64 MiB; not read" << std::endl;
        } else if (std::ifstream file{path}) {
            // A line longer than any label's, and labels past the most any
            // linker writes, are not kept: the file's size alone would let
            // them take many times its size in memory.
            std::string line;
            bool long_line = false;
            size_t labels = 0;
            while (read_bounded_line(file, line, long_line)) {
                if (long_line) continue;
                auto symbol = Symbol::create_from_line(line);
                if (!symbol) continue;
                if (labels++ == MAX_FILE_SYMBOLS) {
                    std::cout << "Symbol file " << path << " has more than " << MAX_FILE_SYMBOLS
                              << " labels; the rest are not read" << std::endl;
                    break;
                }
                symbols.push_back(std::move(symbol));
            }
        }
    }
    rebuild_symbol_index();
}

void Disassembler::rebuild_symbol_index() {
    symbols_at_address.assign(0x10000, {});
    for (size_t i = 0; i < symbols.size(); ++i) symbols_at_address[size_t(symbols[i]->address)].push_back(int(i));
}

int Disassembler::get_symbol_index_for_address(int address, int bank) const {
    if (address < 0 || address >= int(symbols_at_address.size())) return -1;
    // With bank -1, the bank mapped at the address now. Work RAM bank 0
    // (C000-CFFF) is fixed on every model, so it is looked up like the
    // unbanked areas, whatever bank the file gives it; D000-DFFF is banked
    // only in colour mode, and a monochrome machine has one bank there.
    int wanted = bank;
    if (bank == -1) {
        if (address >= 0x4000 && address < 0x8000)
            wanted = gb->cartridge.get_rom_bank();
        else if (address >= 0xA000 && address < 0xC000)
            wanted = gb->cartridge.get_ram_bank();
        else if (address >= 0xD000 && address < 0xE000 && wram_is_banked())
            wanted = gb->wram_bank;
        else {
            const auto& list = symbols_at_address[size_t(address)];
            return list.empty() ? -1 : list.front();
        }
    }
    for (int index : symbols_at_address[size_t(address)])
        if (symbols[size_t(index)]->bank == wanted) return index;
    return -1;
}

std::string Disassembler::get_label_for_address(int address, int bank) const {
    const int index = get_symbol_index_for_address(address, bank);
    if (index >= 0) return symbols[size_t(index)]->name;
    const int below = get_symbol_index_for_address(address - 1, bank);
    if (below >= 0) return symbols[size_t(below)]->name + " + 1";
    return {};
}

const Symbol* Disassembler::get_symbol(const std::string& name) const {
    for (const auto& symbol : symbols)
        if (symbol->name == name) return symbol.get();
    return nullptr;
}

std::vector<const Symbol*> Disassembler::get_symbols_matching_string(const std::string& text) const {
    const std::string query = Helpers::to_lower(text);
    std::vector<const Symbol*> found;
    for (const auto& symbol : symbols)
        if (symbol->lower_name.compare(0, query.size(), query) == 0) found.push_back(symbol.get());
    for (const auto& symbol : symbols) {
        const size_t at = symbol->lower_name.find(query);
        if (at != std::string::npos && at > 0) found.push_back(symbol.get());
    }
    return found;
}

void Disassembler::generate_symbol_file() const { std::cout << gb->cartridge.generate_symbol_file(); }
