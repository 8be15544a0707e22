// The symbol file and the disassembly listing on real ROMs, through the
// runner's --write-sym and --disasm: blargg's cpu_instrs (code run from the
// entry point, its test code copied out of banks 1-3 as data) and dmg-acid2
// (tiles copied from ROM into VRAM as images). Each ROM is copied into a
// scratch directory, so the suite's folder is never written. Skipped without
// ZEMBRIX_TEST_ROMS.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../command_output.h"
#include "../temp_dir.h"
#include "core/gb.h"
#include "romtest.h"

namespace {

namespace fs = std::filesystem;

std::string test_roms() {
    const char* dir = std::getenv("ZEMBRIX_TEST_ROMS");
    return dir ? dir : "";
}

CommandRun run_runner(const std::string& arguments) {
    return run_command(quote(ZEMBRIX_ROMTEST_BINARY) + " " + arguments + " 2>&1");
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Entry {
    int bank = 0;
    int address = 0;
    std::string kind;
    int length = 0;
};

std::vector<Entry> entries_of(const std::string& text) {
    std::vector<Entry> entries;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        unsigned bank = 0, address = 0, length = 0;
        char kind[16] = {};
        if (std::sscanf(line.c_str(), "%x:%x .%15[a-z]:%x", &bank, &address, kind, &length) == 4)
            entries.push_back(Entry{int(bank), int(address), kind, int(length)});
    }
    return entries;
}

// A copy of a suite's ROM in a scratch directory; skips when the suite is
// not there.
class RomCopy {
public:
    explicit RomCopy(const std::string& relative) {
        const fs::path source = fs::path(test_roms()) / relative;
        rom = dir.path(source.filename().string());
        fs::copy_file(source, rom);
        sym = dir.path(source.stem().string() + ".sym");
        const std::string text = read_file(rom);
        bytes.assign(text.begin(), text.end());
    }
    // The bytes of a bank's CPU address range.
    std::string rom_bytes(int bank, int address, int length) const {
        const size_t at = size_t(bank) * 0x4000 + size_t(address & 0x3FFF);
        return std::string(bytes.begin() + std::ptrdiff_t(at), bytes.begin() + std::ptrdiff_t(at + size_t(length)));
    }
    TempDir dir;
    std::string rom;
    std::string sym;
    std::vector<char> bytes;
};

#define SKIP_WITHOUT_TEST_ROMS() \
    if (test_roms().empty()) GTEST_SKIP() << "ZEMBRIX_TEST_ROMS is not set"

bool code_run_covers(const std::vector<Entry>& entries, int bank, int address) {
    return std::any_of(entries.begin(), entries.end(), [&](const Entry& e) {
        return e.kind == "code" && e.bank == bank && address >= e.address && address < e.address + e.length;
    });
}

}  // namespace

// cpu_instrs starts at 0100 with NOP; JP nn: code runs start at the entry
// point and cover the jump's target. Its tests are copied out of banks 1-3
// into work RAM before they run, so those banks are data. The file reads
// back without names, and a second run with it in place writes the same runs.
TEST(SymbolFileOnRealRoms, CpuInstrsCodeFromTheEntryPointsAndCopiedBanksAsData) {
    SKIP_WITHOUT_TEST_ROMS();
    RomCopy rom("blargg/cpu_instrs/cpu_instrs.gb");
    const CommandRun run = run_runner("--model cgbE --expect serial --write-sym " + quote(rom.rom));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("symbol file written: " + rom.sym), std::string::npos) << run.output;
    const std::string text = read_file(rom.sym);
    const std::vector<Entry> entries = entries_of(text);

    ASSERT_EQ(rom.rom_bytes(0, 0x0100, 2), std::string("\x00\xC3", 2));
    const int target = u8(rom.bytes[0x0102]) | u8(rom.bytes[0x0103]) << 8;
    const auto first_code = std::find_if(entries.begin(), entries.end(),
                                         [](const Entry& e) { return e.bank == 0 && e.address == 0x0100; });
    ASSERT_NE(first_code, entries.end()) << text;
    EXPECT_EQ(first_code->kind, "code");
    EXPECT_EQ(first_code->length, 4);
    EXPECT_TRUE(code_run_covers(entries, 0, target)) << std::hex << target << "\n" << text;
    for (int bank = 1; bank <= 3; ++bank) {
        EXPECT_TRUE(std::any_of(entries.begin(), entries.end(),
                                [&](const Entry& e) { return e.bank == bank && e.kind == "data"; }))
            << "bank " << bank << "\n" << text;
        EXPECT_FALSE(std::any_of(entries.begin(), entries.end(),
                                 [&](const Entry& e) { return e.bank == bank && e.kind == "code"; }))
            << "bank " << bank << "\n" << text;
    }

    GB gb;
    gb.cartridge.load_rom(rom.rom);
    gb.disassembler.load_symbol_file();
    EXPECT_EQ(gb.disassembler.symbols.size(), size_t(BUILT_IN_SYMBOL_COUNT));

    const CommandRun again = run_runner("--model cgbE --expect serial --write-sym " + quote(rom.rom));
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(read_file(rom.sym), text);
    EXPECT_FALSE(fs::exists(rom.sym + ".bak"));
}

// dmg-acid2 copies its tiles from ROM into VRAM: every tile of every image
// range of the file is a tile that stood in VRAM at some point of the run
// (later copies overwrite earlier ones, so the end state alone would not do).
TEST(SymbolFileOnRealRoms, Acid2ImageRangesAreTilesCopiedIntoVram) {
    SKIP_WITHOUT_TEST_ROMS();
    RomCopy rom("dmg-acid2/dmg-acid2.gb");
    const std::string reference = (fs::path(test_roms()) / "dmg-acid2/img/reference-dmg.png").string();
    const CommandRun run =
        run_runner("--model dmgB --expect " + quote("image:" + reference) + " --write-sym " + quote(rom.rom));
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string text = read_file(rom.sym);
    std::vector<Entry> images;
    for (const Entry& e : entries_of(text))
        if (e.kind == "image") images.push_back(e);
    ASSERT_FALSE(images.empty()) << text;

    // The same run in this process up to the test's LD B,B, collecting every
    // tile that VRAM's tile data held after any instruction.
    GB gb;
    gb.set_default_device_by_short_string("dmgB");
    gb.player_turbo = true;
    gb.cartridge.load_rom(rom.rom);
    gb.reset();
    constexpr size_t TILE_DATA = 0x1800;
    std::string before(TILE_DATA, '\0');
    std::set<std::string> tiles_seen;
    for (int step = 0; step < 2'000'000 && gb.cpu.opcode != romtest::OPCODE_LD_B_B; ++step) {
        gb.run_single_instruction();
        const char* now = reinterpret_cast<const char*>(gb.vram.data());
        if (std::memcmp(before.data(), now, TILE_DATA) == 0) continue;
        for (size_t tile = 0; tile < TILE_DATA; tile += 16)
            if (std::memcmp(before.data() + tile, now + tile, 16) != 0) tiles_seen.insert(std::string(now + tile, 16));
        before.assign(now, TILE_DATA);
    }
    ASSERT_EQ(gb.cpu.opcode, romtest::OPCODE_LD_B_B);
    for (const Entry& e : images) {
        ASSERT_EQ(e.length % 16, 0);
        for (int tile = 0; tile < e.length; tile += 16)
            EXPECT_TRUE(tiles_seen.count(rom.rom_bytes(e.bank, e.address + tile, 16)))
                << std::hex << e.bank << ":" << e.address + tile;
    }
}

// A linker's symbol file beside the ROM labels the listing; writing the
// program's own file keeps the linker's as .sym.bak.
TEST(SymbolFileOnRealRoms, ListingShowsALinkersLabels) {
    SKIP_WITHOUT_TEST_ROMS();
    RomCopy rom("blargg/cpu_instrs/cpu_instrs.gb");
    const int target = u8(rom.bytes[0x0102]) | u8(rom.bytes[0x0103]) << 8;
    char target_line[32];
    std::snprintf(target_line, sizeof target_line, "00:%04x Main\r\n", target);
    const std::string linker_file = std::string("; File generated by rgblink\r\n00:0100 Entry\r\n") + target_line;
    std::ofstream(rom.sym, std::ios::binary) << linker_file;

    const CommandRun run =
        run_runner("--model dmgB --bench --frames 2 --disasm 0100 --disasm-rows 8 --write-sym " + quote(rom.rom));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("\nEntry:\n  ROM00:0100    00          nop"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("  ROM00:0101    C3 "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("jp   Main"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("(the old one kept as " + rom.sym + ".bak)"), std::string::npos) << run.output;
    EXPECT_EQ(read_file(rom.sym + ".bak"), linker_file);

    // The listing at the final PC marks that row.
    const CommandRun at_pc = run_runner("--model dmgB --bench --frames 2 --disasm pc " + quote(rom.rom));
    ASSERT_EQ(at_pc.status, 0) << at_pc.output;
    size_t marked = 0;
    for (size_t at = at_pc.output.find("\n->"); at != std::string::npos; at = at_pc.output.find("\n->", at + 1))
        ++marked;
    EXPECT_EQ(marked, 1u) << at_pc.output;
}
