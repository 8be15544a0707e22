// The symbol file: the writer's runs of code, data and image marks per ROM
// bank, the reader's line rules, and the symbol lookups the listing uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cartridge/cartridge.h"
#include "core/gb.h"
#include "debug/disassembler.h"
#include "debug_machine.h"
#include "temp_dir.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The entry lines of a symbol-file text (everything after the banner and the
// empty line).
std::vector<std::string> entries_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = text.find("\n\n");
    if (at == std::string::npos) return lines;
    at += 2;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

struct MarkRun {
    int bank;
    int offset;  // in the bank
    int length;
    u8 kind;
};

// ---------------------------------------------------------------------------
// Writer

// Marks are runs of equal kind; inside code only instruction starts count,
// so the operand bytes of a 2-byte instruction need no mark of their own.
TEST(SymbolFileWriter, RunsOfEachBankBecomeEntries) {
    struct Case {
        const char* what;
        int banks;
        std::vector<MarkRun> runs;
        std::vector<std::string> entries;
    };
    const Case cases[] = {
        {"five 2-byte instructions", 2, {{0, 0x150, 1, 1}, {0, 0x152, 1, 1}, {0, 0x154, 1, 1}, {0, 0x156, 1, 1},
                                         {0, 0x158, 1, 1}}, {"00:0150 .code:000a"}},
        {"data in bank 2", 4, {{2, 0x0000, 0x100, 2}}, {"02:4000 .data:0100"}},
        {"second half of a 32 KiB ROM", 2, {{1, 0x1234, 3, 2}}, {"01:5234 .data:0003"}},
        {"image with a partial tile", 2, {{0, 0x2000, 0x23, 3}}, {"00:2000 .image:0020"}},
        {"image shorter than a tile", 2, {{0, 0x2000, 0x0F, 3}}, {}},
        {"one 16-tile row", 2, {{0, 0x2000, 0x100, 3}}, {"00:2000 .image:0100"}},
        {"long image", 2, {{1, 0x0000, 0x250, 3}}, {"01:4000 .image:0200:w128", "01:4200 .image:0050"}},
        {"data in the last byte of a bank", 2, {{1, 0x3FFF, 1, 2}}, {"01:7fff .data:0001"}},
        {"kinds next to each other", 2, {{0, 0x3000, 2, 2}, {0, 0x3002, 0x10, 3}, {0, 0x3012, 1, 1}},
         {"00:3000 .data:0002", "00:3002 .image:0010", "00:3012 .code:0001"}},
        // An instruction that runs past the bank end is cut at the end.
        {"code to the bank end", 2, {{0, 0x3FFE, 1, 1}}, {"00:3ffe .code:0002"}},
        // Bank numbers from 0x100 keep all their digits.
        {"bank 0x1ff of 8 MiB", 512, {{0x1FF, 0x0010, 1, 2}}, {"1ff:4010 .data:0001"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BankedRom rom(c.banks, 0x19);  // MBC5
        rom.place(0, 0x0150, {0x06, 0x01, 0x06, 0x02, 0x06, 0x03, 0x06, 0x04, 0x06, 0x05});  // ld b, d8
        rom.place(0, 0x3FFE, {0xC3});                                                          // jp d16
        Cartridge cart;
        cart.load_rom_from_memory("game.gb", rom.bytes.data(), int(rom.bytes.size()));
        cart.rom_access_types[HEADER_ENTRY] = ACCESS_UNMARKED;
        for (const MarkRun& r : c.runs)
            std::fill_n(cart.rom_access_types.get() + r.bank * 0x4000 + r.offset, r.length, r.kind);
        EXPECT_EQ(entries_of(cart.generate_symbol_file()), c.entries);
    }
}

// ---------------------------------------------------------------------------
// Reader: one line at a time

TEST(SymbolFileReader, LineRules) {
    struct Row {
        const char* line;
        bool symbol;
        int bank = 0;
        int address = 0;
        const char* name = "";
    };
    const Row rows[] = {
        {"00:0150 Main", true, 0, 0x0150, "Main"},
        {"-1:2000 rROMB0", true, -1, 0x2000, "rROMB0"},
        {"1F:4000 Far.loop", true, 0x1F, 0x4000, "Far.loop"},
        {"0x1f:0x4000 Far", true, 0x1F, 0x4000, "Far"},
        {"00:10150 Wide", true, 0, 0x0150, "Wide"},
        {":0150 NoBank", true, 0, 0x0150, "NoBank"},
        {"zz:4000 NotHex", true, 0, 0x4000, "NotHex"},
        {"00:0150 Main ", true, 0, 0x0150, "Main"},
        // Windows line ends: the carriage return is no part of the name.
        {"00:0150 Main\r", true, 0, 0x0150, "Main"},
        {"00:0150 .code", true, 0, 0x0150, ".code"},
        {"00:0150 Main:local", true, 0, 0x0150, "Main:local"},
        // A name that begins with ':' is a name, not a run entry.
        {"00:0150 :x", true, 0, 0x0150, ":x"},
        {"00:0150 .code:0010", false},
        {"01:4000 .image:0200:w128", false},
        {"00:0150  Main", false},
        {" 00:0150 Main", false},
        {"00:0150\tMain", false},
        {"000150 Main", false},
        {"00:01:50 Main", false},
        {"00: Main", false},
        {"00:0150", false},
        {"; File generated by rgblink", false},
        {"", false},
        {"\r", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.line);
        const auto symbol = Symbol::create_from_line(r.line);
        ASSERT_EQ(symbol != nullptr, r.symbol);
        if (!symbol) continue;
        EXPECT_EQ(symbol->bank, r.bank);
        EXPECT_EQ(symbol->address, r.address);
        EXPECT_EQ(symbol->name, r.name);
    }
    EXPECT_EQ(Symbol::create_from_line("00:0150 MainLoop")->lower_name, "mainloop");
}

// ---------------------------------------------------------------------------
// Loading and lookups

// A linker's file (CR LF line ends, comments) loads after the 58 register
// names; its labels name jump targets in the listing.
TEST(SymbolFileReader, LinkerFileLabelsTheListing) {
    BankedRom rom;
    rom.at_entry({0xC3, 0x50, 0x01});  // jp $0150
    FileMachine m(rom, "dmgB", "; File generated by rgblink\r\n00:0150 Start\r\n00:c000 wCounter\r\n");
    Disassembler& d = m.gb->disassembler;
    ASSERT_EQ(d.symbols.size(), size_t(BUILT_IN_SYMBOL_COUNT + 2));
    ASSERT_NE(d.get_symbol("Start"), nullptr);
    EXPECT_EQ(d.get_symbol("Start")->address, 0x0150);
    EXPECT_EQ(d.get_instruction(0x0100).substr(0, 15), "jp   Start     ");
    EXPECT_EQ(d.get_label_for_address(0xC001, -1), "wCounter + 1");

    // A reload reads the file again, replacing the list.
    std::ofstream(m.sym_path, std::ios::binary) << "00:0150 Begin\n";
    m.gb->reload_rom();
    EXPECT_EQ(d.symbols.size(), size_t(BUILT_IN_SYMBOL_COUNT + 1));
    EXPECT_EQ(d.get_symbol("Start"), nullptr);
    EXPECT_EQ(d.get_label_for_address(0x0150, 0), "Begin");
}

// A file's size alone does not bound what its labels take in memory: a line
// longer than any label's gives no symbol (the lines after it are read), and
// labels past the most any linker writes are left out, with a message.
TEST(SymbolFileReader, OverlongLinesAndLabelsPastTheMostAreNotKept) {
    const size_t longest = Disassembler::MAX_SYMBOL_LINE;
    std::string many;
    for (size_t i = 0; i <= Disassembler::MAX_FILE_SYMBOLS; ++i) many += "0:0 a\n";
    struct Row {
        const char* what;
        std::string file;
        size_t file_symbols;
        bool message;
    };
    const Row rows[] = {
        {"a line as long as a line may be", "00:0150 " + std::string(longest - 8, 'n') + "\n00:0151 After\n", 2, false},
        {"a line one longer", "00:0150 " + std::string(longest - 7, 'n') + "\n00:0151 After\n", 1, false},
        {"a line of megabytes", "00:0150 " + std::string(8 << 20, 'n') + "\r\n00:0151 After\n", 1, false},
        {"one label past the most", many, Disassembler::MAX_FILE_SYMBOLS, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        testing::internal::CaptureStdout();
        FileMachine m(BankedRom{}, "dmgB", r.file);
        const std::string out = testing::internal::GetCapturedStdout();
        const Disassembler& d = m.gb->disassembler;
        EXPECT_EQ(d.symbols.size(), BUILT_IN_SYMBOL_COUNT + r.file_symbols);
        EXPECT_EQ(out.find("labels; the rest are not read") != std::string::npos, r.message) << out;
        if (r.file_symbols < 3) {
            EXPECT_EQ(d.get_label_for_address(0x0151, 0), "After");
        }
    }
}

// Which symbol a lookup finds: the bank asked for, or with bank -1 the bank
// mapped at the address now. Work RAM C000-CFFF is one fixed bank on every
// model and is looked up like the unbanked areas.
TEST(SymbolFileReader, LookupsFollowTheBanksMappedNow) {
    BankedRom rom(4, 0x1B, 0x03);  // MBC5, 32 KiB RAM
    rom.cgb_flag(0x80);
    const std::string file =
        "00:ff40 MyLcdc\n01:4000 One\n02:4000 Two\n00:c000 wFixed\n01:d000 wOne\n03:d000 wThree\n"
        "01:a000 sOne\n02:a000 sTwo\n";
    FileMachine m(rom, "cgbE", file);
    GB& gb = *m.gb;
    const Disassembler& d = gb.disassembler;
    gb.write_byte(0x0000, 0x0A);  // RAM on
    gb.write_byte(0x2000, 0x02);  // ROM bank 2
    gb.write_byte(0x4000, 0x01);  // RAM bank 1
    gb.write_byte(REG_SVBK, 0x03);

    struct Row {
        int address, bank;
        const char* label;
    };
    const Row rows[] = {
        {0xFF40, -1, "rLCDC"},  {0xFF40, 0, "rLCDC"},   // the built-in name comes first
        {0xFF03, -1, "rSC + 1"},                         // FF02 has a name, FF03 none
        {0x2000, -1, "rROMB0"}, {0x2001, -1, "rROMB0 + 1"},
        {0x4000, -1, "Two"},    {0x4000, 1, "One"},     {0x4000, 3, ""},
        {0xA000, -1, "sOne"},   {0xA000, 2, "sTwo"},
        {0xC000, -1, "wFixed"}, {0xD000, -1, "wThree"}, {0xD000, 1, "wOne"},
        // Address 0 has nothing below it (FFFF is not "below").
        {0x0000, -1, ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(d.get_label_for_address(r.address, r.bank), r.label) << std::hex << r.address << " bank " << r.bank;
    EXPECT_EQ(d.get_symbol_index_for_address(0x10000, -1), -1);
    EXPECT_EQ(d.get_symbol_index_for_address(-1, -1), -1);
    ASSERT_NE(d.get_symbol("MyLcdc"), nullptr);
}

// On a monochrome machine D000-DFFF is one bank too: linkers that lay work
// RAM out in one piece give its names bank 0.
TEST(SymbolFileReader, MonochromeWorkRamIsUnbanked) {
    FileMachine m(BankedRom(), "dmgB", "00:d000 wHigh\n");
    EXPECT_EQ(m.gb->disassembler.get_label_for_address(0xD000, -1), "wHigh");
}

TEST(SymbolFileReader, SearchListsPrefixMatchesFirst) {
    FileMachine m(BankedRom(), "dmgB", "00:0150 Nr1Handler\n");
    const Disassembler& d = m.gb->disassembler;
    auto names = [&](const std::string& text) {
        std::vector<std::string> out;
        for (const Symbol* s : d.get_symbols_matching_string(text)) out.push_back(s->name);
        return out;
    };
    EXPECT_EQ(names("nr1"), (std::vector<std::string>{"Nr1Handler", "rNR10", "rNR11", "rNR12", "rNR13", "rNR14"}));
    EXPECT_EQ(names("RNR1"), (std::vector<std::string>{"rNR10", "rNR11", "rNR12", "rNR13", "rNR14"}));
    EXPECT_EQ(names("").size(), d.symbols.size());
}

// ---------------------------------------------------------------------------
// Round trip

// A file the writer made reads back as comments and run entries only, so the
// list holds just the register names; a second run with it in place writes
// the same runs again.
TEST(SymbolFileReader, WrittenFileReloadsWithoutSymbols) {
    BankedRom rom;
    // ld hl, $0200; ld a, [hl+]; ld [$c000], a; jr -6 (to the load).
    rom.at_entry({0x21, 0x00, 0x02, 0x2A, 0xEA, 0x00, 0xC0, 0x18, 0xFA});
    FileMachine m(rom);
    m.step(200);
    ASSERT_TRUE(m.gb->cartridge.write_symbol_file());
    const std::string first = read_file(m.sym_path);
    EXPECT_NE(first.find("\n00:0100 .code:0009\n"), std::string::npos) << first;
    EXPECT_NE(first.find("\n00:0200 .data:00"), std::string::npos) << first;

    m.gb->reload_rom();
    EXPECT_EQ(m.gb->disassembler.symbols.size(), size_t(BUILT_IN_SYMBOL_COUNT));
    m.step(200);
    ASSERT_TRUE(m.gb->cartridge.write_symbol_file());
    EXPECT_EQ(read_file(m.sym_path), first);
    EXPECT_FALSE(std::filesystem::exists(m.sym_path + ".bak"));
}

// Each developer's symbol file (one the program did not write) is kept
// before the program's own replaces it, under a name nothing has yet:
// game.sym.bak, then .bak-2, ... A backup is never replaced, and a name that
// is taken by anything (a folder, a link to nowhere) is passed over, never
// followed. The program's own file is replaced without a copy.
TEST(SymbolFileWriter, DevelopersFilesAreKeptAsNumberedBackups) {
    BankedRom rom;
    rom.at_entry({0x00, 0x18, 0xFD});
    FileMachine m(rom);
    m.step(20);
    std::filesystem::create_directory(m.sym_path + ".bak-3");
    std::filesystem::create_symlink(m.dir.path("nowhere"), m.sym_path + ".bak-4");
    struct Step {
        const char* developers_file;  // nullptr: the program's own file is there
        const char* kept_as;          // "" when nothing is kept
    };
    const Step steps[] = {{"; rgblink\n00:0100 First\n", ".bak"},
                          {nullptr, ""},
                          {"; rgblink\n00:0100 Second\n", ".bak-2"},
                          {"; another linker\n00:0100 Third\n", ".bak-5"}};
    std::vector<std::pair<std::string, std::string>> kept;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.kept_as);
        if (s.developers_file) std::ofstream(m.sym_path, std::ios::binary | std::ios::trunc) << s.developers_file;
        std::string backup;
        ASSERT_TRUE(m.gb->cartridge.write_symbol_file(&backup));
        EXPECT_TRUE(Cartridge::is_own_symbol_file(read_file(m.sym_path)));
        EXPECT_EQ(backup, *s.kept_as ? m.sym_path + s.kept_as : "");
        if (s.developers_file) kept.emplace_back(m.sym_path + s.kept_as, s.developers_file);
        for (const auto& [path, text] : kept) EXPECT_EQ(read_file(path), text) << path;
    }
    EXPECT_TRUE(std::filesystem::is_directory(m.sym_path + ".bak-3"));
    EXPECT_TRUE(std::filesystem::is_symlink(m.sym_path + ".bak-4"));
    EXPECT_FALSE(std::filesystem::exists(m.dir.path("nowhere")));
}

// The banner names the ROM on its first line whatever its name holds: a line
// break or another control character is written as \xNN, and a quote or
// backslash of the name behind a backslash. So the file stays the program's
// own, and pressing W again replaces it without a backup.
TEST(SymbolFileWriter, BannerStaysOneLineWhateverTheRomIsCalled) {
    struct Row {
        std::string name;   // of the ROM file, in its own folder
        std::string shown;  // in the banner
    };
    const Row rows[] = {
        {"my\ngame.gb", "my\\x0Agame.gb"},
        {"cr\r\nlf.gb", "cr\\x0D\\x0Alf.gb"},
        {"tab\tbell\a del\x7F.gb", "tab\\x09bell\\x07 del\\x7F.gb"},
        {"\" generated by Zembrix\n\n.gb", "\\\" generated by Zembrix\\x0A\\x0A.gb"},
        {"back\\slash \"quoted\".gb", "back\\\\slash \\\"quoted\\\".gb"},
        {"caf\xC3\xA9.gb", "caf\xC3\xA9.gb"},  // UTF-8 is shown as it is
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.shown);
        TempDir dir;
        BankedRom rom;
        rom.at_entry({0x00, 0x18, 0xFD});
        const std::string rom_path = dir.file(r.name, rom.bytes);
        GB gb(1);
        gb.load_rom(rom_path);
        for (int i = 0; i < 20; ++i) gb.run_single_instruction();
        const std::string sym_path = gb.cartridge.get_sym_file_path();
        for (int press = 0; press < 3; ++press) {
            std::string backup;
            ASSERT_TRUE(gb.cartridge.write_symbol_file(&backup));
            EXPECT_EQ(backup, "");
        }
        const std::string text = read_file(sym_path);
        const std::string banner = "; Symbol file for \"" + dir.path(r.shown) +
                                   "\" generated by Zembrix - code, data and image ranges of the ROM as it ran";
        EXPECT_EQ(text.substr(0, text.find('\n')), banner);
        EXPECT_EQ(text.compare(banner.size(), 2, "\n\n"), 0) << text;
        EXPECT_TRUE(Cartridge::is_own_symbol_file(text));
        EXPECT_EQ(entries_of(text), std::vector<std::string>{"00:0100 .code:0003"});
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.root()), std::filesystem::directory_iterator()),
                  2)
            << "the ROM and its symbol file only";
    }
}

// Banners of earlier versions are the program's own too, a name with a line
// break spread over lines included; a file that does not start with the
// banner is a developer's.
TEST(SymbolFileWriter, OwnBannersOfEveryVersionAreRecognised) {
    const std::string rest = "\" generated by Zembrix - code, data and image ranges of the ROM as it ran\n\n";
    const std::pair<std::string, bool> rows[] = {
        {"; Symbol file for \"dir/game.gb" + rest + "00:0100 .code:0003\n", true},
        {"; Symbol file for \"dir/game.gb" + rest, true},
        {"; Symbol file for \"my\ngame.gb" + rest + "00:0100 .code:0003\n", true},
        {"; Symbol file for \"a\n\nb.gb" + rest, true},
        {"; Symbol file for \"my\\x0Agame.gb" + rest, true},
        {"", false},
        {"; rgblink\n00:0100 Main\n", false},
        {"00:0100 Main\n; Symbol file for \"game.gb" + rest, false},
        {"; Symbol file for \"game.gb\"\n00:0100 Main\n", false},
        {"; Symbol file for \"my\ngame.gb\" generated by Zembrix\n00:0100 Main\n", false},
    };
    for (const auto& [text, own] : rows) {
        SCOPED_TRACE(text);
        EXPECT_EQ(Cartridge::is_own_symbol_file(text), own);
    }
}

}  // namespace
