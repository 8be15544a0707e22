// The CPU's view of the address space: boot ROM overlay, work RAM banking and
// echo, video RAM and OAM blocking by the picture unit, the bus conflicts of a
// running OAM DMA, extra OAM per model, IE/IF and the code/data marks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core_test_support.h"

namespace {

#define TRACE_AT(model, address) SCOPED_TRACE(testing::Message() << (model) << " at " << std::hex << (address))

// ---------------------------------------------------------------------------
// Boot ROM overlay

enum Source { CART, BOOT };

TEST(BootOverlay, MappedImageCoversItsRangesUntilFF50) {
    struct Row {
        const char* model;
        u16 address;
        Source cpu_view, unrestricted_view;
    };
    const Row rows[] = {
        {"dmg0", 0x0000, BOOT, BOOT}, {"dmgB", 0x00FF, BOOT, BOOT}, {"mgb", 0x0100, CART, CART},
        {"sgb2", 0x0200, CART, CART}, {"cgb0", 0x0000, BOOT, BOOT}, {"cgbA", 0x00FF, BOOT, BOOT},
        {"cgbE", 0x016F, CART, CART}, {"cgbE", 0x0200, BOOT, BOOT}, {"agb0", 0x08FF, BOOT, BOOT},
        {"cgbB", 0x0900, CART, CART},
        // The Stadium image also covers the header for the CPU, but not for the
        // DMA's own fetches.
        {"pokemon_stadium_2", 0x00FF, BOOT, BOOT}, {"pokemon_stadium_2", 0x016F, BOOT, CART},
        {"pokemon_stadium_2", 0x0200, BOOT, BOOT}, {"pokemon_stadium_2", 0x03EF, BOOT, BOOT},
        {"pokemon_stadium_2", 0x03F0, CART, CART},
    };
    for (const Row& r : rows) {
        TRACE_AT(r.model, r.address);
        // Every slot holds an image, so a read also shows which slot answers.
        auto gb = build_machine(patterned_rom(0x80), r.model,
                                {"dmg0", "dmg", "mgb", "sgb", "sgb2", "cgb0", "cgb", "agb", "pokemon_stadium_2"});
        ASSERT_TRUE(gb->boot_rom_mapped);
        const auto expected = [&](Source s) {
            return s == BOOT ? boot_image_byte(boot_slot_of(r.model), r.address) : rom_pattern(r.address);
        };
        EXPECT_EQ(gb->read_byte(r.address), expected(r.cpu_view));
        EXPECT_EQ(gb->read_byte_unrestricted(r.address), expected(r.unrestricted_view));
        // A running OAM DMA holding the external bus does not hide the image.
        gb->dma.oam_dma_bus_state = gb->is_cgb ? 7 : 1;
        gb->dma.oam_dma_byte = 0x99;
        if (r.cpu_view == BOOT) {
            EXPECT_EQ(gb->read_byte(r.address), expected(BOOT));
        }
        // Once unmapped, the Stadium model patches one cartridge byte for the
        // CPU, whatever the DMA does.
        gb->write_byte(REG_BOOT, 0x01);
        EXPECT_FALSE(gb->boot_rom_mapped);
        const bool patched = std::string(r.model) == "pokemon_stadium_2" && r.address == 0x016F;
        if (!patched) gb->dma.oam_dma_bus_state = 0;
        EXPECT_EQ(gb->read_byte(r.address), patched ? 0x12 : rom_pattern(r.address));
        EXPECT_EQ(gb->read_byte_unrestricted(r.address), rom_pattern(r.address));
        // The CPU's own reads, with no DMA running, see the same byte.
        gb->dma.oam_dma_bus_state = 0;
        EXPECT_EQ(gb->cpu_read_byte(r.address), patched ? 0x12 : rom_pattern(r.address));
    }
}

TEST(BootOverlay, UnloadedSlotLeavesTheCartridgeVisible) {
    // "cgb0" with only the "cgb" image: the boot is emulated and nothing
    // overlays, even with the flag forced back on.
    auto gb = build_machine(patterned_rom(0x80), "cgb0", {"cgb"});
    EXPECT_FALSE(gb->boot_rom_mapped);
    gb->boot_rom_mapped = true;
    for (u16 a : {0x0000, 0x0200, 0x08FF}) {
        EXPECT_EQ(gb->read_byte(a), rom_pattern(a)) << a;
        EXPECT_EQ(gb->read_byte_unrestricted(a), rom_pattern(a)) << a;
    }
}

// ---------------------------------------------------------------------------
// Work RAM and video RAM banks

TEST(WorkRam, ColourModelsSwitchTheUpperBankAndItsEcho) {
    TestMachine m(patterned_rom(0x80), "cgbE");
    GB& gb = *m.gb;
    const std::pair<u8, int> rows[] = {{0x00, 1}, {0x02, 2}, {0x07, 7}, {0x0B, 3}, {0xFE, 6}};
    for (auto [svbk, bank] : rows) {
        gb.write_byte(REG_SVBK, svbk);
        gb.write_byte(0xD123, u8(0xB0 + bank));
        gb.write_byte(0xFDFF, u8(0xC0 + bank));
        EXPECT_EQ(gb.wram[bank * 0x1000 + 0x123], 0xB0 + bank) << int(svbk);
        EXPECT_EQ(gb.read_byte(0xF123), 0xB0 + bank) << int(svbk);
        EXPECT_EQ(gb.read_byte(0xDDFF), 0xC0 + bank) << int(svbk);
    }
    // Each bank kept its byte; bank 0 does not move.
    for (auto [svbk, bank] : rows) {
        gb.write_byte(REG_SVBK, svbk);
        EXPECT_EQ(gb.read_byte(0xD123), 0xB0 + bank) << int(svbk);
    }
    gb.write_byte(0xEFFF, 0x45);
    EXPECT_EQ(gb.wram[0x0FFF], 0x45);
    EXPECT_EQ(gb.read_byte(0xCFFF), 0x45);
    // The banked views read the bank asked for, and do not switch banks.
    EXPECT_EQ(gb.wram_banked_read_byte(2, 0xCFFF), 0x45);
    EXPECT_EQ(gb.wram_banked_read_word(7, 0xD122), 0xB7FF);
    EXPECT_EQ(gb.wram_banked_read_byte(7, 0xE123), 0xFF);
    EXPECT_EQ(gb.read_byte(REG_SVBK), 0x06);
}

TEST(VideoRam, BankRegisterSelectsTheCpuWindowOnColourModelsOnly) {
    for (const char* model : {"cgbE", "mgb"}) {
        SCOPED_TRACE(model);
        TestMachine m(patterned_rom(0x80), model);
        GB& gb = *m.gb;
        ppu_idle(gb);
        gb.write_byte(REG_SVBK, 0x03);  // one upper WRAM bank on DMG-class models
        gb.write_byte(0xD010, 0x5A);
        EXPECT_EQ(gb.wram[(gb.is_cgb ? 0x3000 : 0x1000) + 0x010], 0x5A);
        gb.write_byte(0x8010, 0xA0);
        gb.write_byte(REG_VBK, 0xFF);  // only bit 0 counts
        gb.write_byte(0x8010, 0xA1);
        gb.write_byte(0x9FFF, 0xA2);
        const int bank1 = gb.is_cgb ? 0x2000 : 0x0000;
        EXPECT_EQ(gb.vram[bank1 + 0x0010], 0xA1);
        EXPECT_EQ(gb.vram[bank1 + 0x1FFF], 0xA2);
        EXPECT_EQ(gb.read_byte(0x8010), 0xA1);
        EXPECT_EQ(gb.vram_banked_read_byte(0x8010, 0), gb.is_cgb ? 0xA0 : 0xA1);
        EXPECT_EQ(gb.vram_banked_read_word(0x9FFF, 1), gb.is_cgb ? 0x00A2 : 0x0000);
        gb.write_byte(REG_VBK, 0x02);
        EXPECT_EQ(gb.read_byte_unrestricted(0x8010), gb.is_cgb ? 0xA0 : 0xA1);
    }
}

// The picture unit's own fetches see bank 0 regardless of VBK, but a CPU that
// entered STOP during mode 0 or 1 leaves the VRAM bus floating.
TEST(VideoRam, PictureFetchesDuringStop) {
    struct Row {
        bool stopped;
        int latched_mode;
        bool floating;
    };
    for (const Row r : {Row{false, 0, false}, Row{true, 1, true}, Row{true, 2, false}}) {
        TestMachine m(patterned_rom(0x80), "cgbE");
        GB& gb = *m.gb;
        gb.vram[0x0200] = 0xCD;
        gb.vram[0x0201] = 0xAB;
        gb.write_byte(REG_VBK, 0x01);
        gb.cpu.stopped = r.stopped;
        gb.ppu.oam_scan_state = r.latched_mode;
        EXPECT_EQ(gb.vram_read_byte(0x8200), r.floating ? 0xFF : 0xCD) << r.stopped << r.latched_mode;
        EXPECT_EQ(gb.vram_read_word(0x8200), r.floating ? 0xFFFF : 0xABCD) << r.stopped << r.latched_mode;
    }
}

// The CPU's access to VRAM and OAM at each point of a line: the DMG fetcher
// takes VRAM from line cycle 80 of the OAM scan, a colour model's only with
// mode 3; the scan blocks OAM reads throughout and OAM writes until cycle 80,
// drawing blocks both, and a running OAM DMA takes OAM (and shows its byte in
// VRAM when it reads from there).
TEST(VideoAndObjectMemory, BlockedByThePictureUnitAndTheDma) {
    struct Row {
        const char* model;
        int mode, line, line_cycle, state, dma_state;
        char vram_read;  // 'r' readable, 'b' blocked, 'd' the DMA's byte
        bool vram_write_dropped, oam_read_blocked, oam_write_dropped;
    };
    constexpr int ANY = PPU::STATE_LINE_1_143_HBLANK_STAT;  // a step without a rule of its own
    const Row rows[] = {
        // The DMG's plain mode 1-3 cases are checked by the test ROMs.
        {"cgbC", 2, 10, 79, ANY, 0, 'r', false, true, true},   {"cgbE", 2, 10, 80, ANY, 0, 'r', false, true, false},
        {"cgbC", 3, 10, 40, ANY, 0, 'b', true, true, true},
        // The first cycle of lines 1-143 already reads OAM as scanning.
        {"dmgB", 0, 5, 0, PPU::STATE_LINE_1_143_CLOCKS_0, 0, 'r', false, true, false},
        // A colour model also drops OAM writes in that first cycle, of line 0
        // too (where STAT still shows mode 1 on the later revisions).
        {"cgbC", 0, 5, 0, PPU::STATE_LINE_1_143_CLOCKS_0, 0, 'r', false, true, true},
        {"cgbE", 1, 0, 0, PPU::STATE_LINE_0_CLOCKS_0, 0, 'r', false, true, true},
        {"cgbC", 0, 5, 300, PPU::STATE_LINE_1_143_HBLANK_STAT, 0, 'r', false, false, false},
        {"dmgB", 0, 10, 300, ANY, 3, 'd', false, true, true},  {"cgbE", 0, 10, 300, ANY, 3, 'd', false, true, true},
        {"dmgB", 3, 10, 100, ANY, 3, 'b', true, true, true},   {"dmgB", 0, 10, 300, ANY, 1, 'r', false, true, true},
        {"cgbE", 0, 10, 300, ANY, 4, 'r', false, true, true},  {"cgbC", 0, 10, 300, ANY, 7, 'r', false, true, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.model << " mode " << r.mode << " line " << r.line << " cycle "
                                        << r.line_cycle << " dma " << r.dma_state);
        TestMachine m(patterned_rom(0x80), r.model);
        GB& gb = *m.gb;
        gb.vram[0x1234] = 0x3C;
        gb.oam[0x9F] = 0x4C;
        place_ppu(gb, r.mode, r.line, r.line_cycle, r.state);
        gb.dma.oam_dma_bus_state = r.dma_state;
        gb.dma.oam_dma_byte = 0x99;
        EXPECT_EQ(gb.read_byte(0x9234), r.vram_read == 'b' ? 0xFF : r.vram_read == 'd' ? 0x99 : 0x3C);
        EXPECT_EQ(gb.read_byte(0xFE9F), r.oam_read_blocked ? 0xFF : 0x4C);
        EXPECT_EQ(gb.read_byte_unrestricted(0x9234), 0x3C);
        EXPECT_EQ(gb.read_byte_unrestricted(0xFE9F), 0x4C);
        gb.write_byte(0x9234, 0x5D);
        gb.write_byte(0xFE9F, 0x6D);
        EXPECT_EQ(gb.vram[0x1234], r.vram_write_dropped ? 0x3C : 0x5D);
        EXPECT_EQ(gb.oam[0x9F], r.oam_write_dropped ? 0x4C : 0x6D);
    }
}

// FEA0-FEFF: each model wires the unused area differently.
TEST(ObjectMemory, ExtraAreaPerModel) {
    struct Row {
        const char* model;
        u16 address;
        int cell;   // OAM cell reached, or -1
        int fixed;  // value read when no cell is reached
    };
    const Row rows[] = {
        {"dmgB", 0xFEB3, -1, 0x00}, {"cgb0", 0xFEA8, 0xA0, 0},   {"cgbA", 0xFEB9, 0xA1, 0},
        {"cgbB", 0xFEFF, 0xE7, 0},  {"cgbC", 0xFED3, 0xC3, 0},   {"cgbD", 0xFEBF, 0xBF, 0},
        {"cgbD", 0xFEC5, 0xC5, 0},  {"cgbD", 0xFED5, 0xC5, 0},   {"cgbD", 0xFEEA, 0xCA, 0},
        {"cgbE", 0xFEB3, -1, 0xBB}, {"cgbE", 0xFEC7, -1, 0xCC},  {"agb0", 0xFEF0, -1, 0x00},
    };
    for (const Row& r : rows) {
        TRACE_AT(r.model, r.address);
        TestMachine m(patterned_rom(0x80), r.model);
        GB& gb = *m.gb;
        ppu_idle(gb);
        for (int i = 0; i < 256; ++i) gb.oam[i] = u8(0x13 * i + 7);
        auto expected = gb.oam;
        EXPECT_EQ(gb.read_byte(r.address), r.cell >= 0 ? expected[r.cell] : r.fixed);
        gb.write_byte(r.address, 0xEE);
        if (r.cell >= 0) expected[r.cell] = 0xEE;
        EXPECT_EQ(gb.oam, expected);
    }
}

// ---------------------------------------------------------------------------
// OAM DMA bus conflicts

enum Seen { NORMAL, DMA_BYTE, OPEN, BANK0, BANKN };

TEST(OamDmaConflict, CpuReadSeesTheBusTheDmaLeaves) {
    struct Row {
        const char* model;
        int state;
        u8 source_page;
        u16 address;
        Seen seen;
    };
    const Row rows[] = {
        // The DMG's conflicts are checked by the test ROMs. From video RAM
        // only the video bus is taken.
        {"cgbE", 3, 0x80, 0x9000, DMA_BYTE}, {"cgbE", 3, 0x80, 0xC123, NORMAL},
        // CGB from cartridge space: the external bus carries the byte and WRAM
        // shows one bank, chosen by bit 4 of the source page.
        {"cgbE", 2, 0x40, 0x4000, DMA_BYTE}, {"cgbE", 2, 0x40, 0xA000, DMA_BYTE},
        {"cgbE", 2, 0x40, 0xC123, BANK0},    {"cgbE", 2, 0x50, 0xC123, BANKN},
        {"cgbE", 2, 0x50, 0xE123, BANKN},    {"cgbE", 2, 0xA0, 0xD123, BANK0},
        {"cgbE", 2, 0x40, 0x8000, NORMAL},
        // CGB from WRAM: WRAM carries the byte, the cartridge is free.
        {"cgbC", 4, 0xC0, 0x4000, NORMAL},   {"cgbC", 4, 0xD0, 0xC123, DMA_BYTE},
        {"cgbC", 4, 0xD0, 0xE123, DMA_BYTE},
        // CGB from echo, OAM or the top page: the external bus floats.
        {"cgbA", 5, 0xE0, 0xA000, OPEN},     {"cgbA", 5, 0xF0, 0xC123, BANKN},
        {"agb0", 6, 0xFE, 0x0150, OPEN},     {"agb0", 6, 0xFE, 0xC123, BANKN},
        {"pokemon_stadium_2", 7, 0xFF, 0x2000, OPEN}, {"cgbE", 7, 0xEF, 0xC123, BANK0},
        // No transfer running.
        {"cgbE", 0, 0x50, 0xC123, NORMAL},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.model << " state " << r.state << " page " << std::hex
                                        << int(r.source_page) << " at " << r.address);
        // 8 KiB of cartridge RAM so that A000 holds a byte of its own.
        TestMachine m(patterned_rom(0x80, 0x02), r.model);
        GB& gb = *m.gb;
        ppu_idle(gb);
        gb.write_byte(REG_SVBK, 0x03);  // ignored on DMG-class models
        gb.write_byte(0xA000, 0xA5);
        gb.vram[0x0000] = 0x80;
        gb.vram[0x1000] = 0x90;
        gb.wram[0x0123] = 0x01;
        gb.wram[(gb.is_cgb ? 3 : 1) * 0x1000 + 0x0123] = 0x0D;
        gb.io_page[0x80] = 0xF8;
        gb.dma.oam_dma_bus_state = r.state;
        gb.dma.oam_dma_source = u16(r.source_page << 8 | 0x42);
        gb.dma.oam_dma_byte = 0x99;

        u8 normal = 0;
        switch (r.address >> 12) {
            case 0x8: normal = 0x80; break;
            case 0x9: normal = 0x90; break;
            case 0xA: normal = 0xA5; break;
            case 0xC: case 0xE: normal = 0x01; break;
            case 0xD: case 0xF: normal = r.address >= 0xFF00 ? 0xF8 : 0x0D; break;
            default: normal = rom_pattern(r.address); break;
        }
        const u8 seen[] = {normal, 0x99, 0xFF, 0x01, 0x0D};
        EXPECT_EQ(gb.read_byte(r.address), seen[r.seen]);
        // The DMA's own fetches are never in conflict with themselves.
        EXPECT_EQ(gb.read_byte_unrestricted(r.address), normal);
        if (r.address >> 12 != 0xC) continue;
        // Where the CPU cannot read bank 0 at C000 it cannot write it either;
        // the upper bank and the echo are always written.
        for (u16 a : {0xCFFF, 0xD001, 0xE002}) gb.write_byte(a, 0x22);
        EXPECT_EQ(gb.wram[0x0FFF], r.seen == DMA_BYTE || r.seen == BANKN ? 0xFF : 0x22);
        EXPECT_EQ(gb.wram[(gb.is_cgb ? 3 : 1) * 0x1000 + 0x001], 0x22);
        EXPECT_EQ(gb.wram[0x0002], 0x22);
    }
}

// ---------------------------------------------------------------------------
// Cartridge space

// Records the clock the bus hands to the controller with each write.
struct ClockRecorder : TracingMBC {
    using TracingMBC::TracingMBC;
    void write_byte(u16 a, u8 v, u64 cycle) override {
        clocks.push_back({a, cycle});
        TracingMBC::write_byte(a, v, cycle);
    }
    std::vector<std::pair<u16, u64>> clocks;
};

TEST(CartridgeSpace, WritesReachTheControllerWithTheBaseClockAndBanksAreReported) {
    RomImage rom = patterned_rom(0x80, 0x03);
    rom.bytes.resize(256 * 1024);
    TestMachine m(rom.type(0x03), "cgbE");
    GB& gb = *m.gb;
    auto recorder = std::make_shared<ClockRecorder>(gb.mbc, &gb);
    gb.mbc = recorder;
    // In double speed the two clocks differ; the controller gets the 4 MHz one.
    gb.cpu.cpu_cycles = 5000;
    gb.cpu.cycles_4mhz = 3000;
    for (u16 a : {0x0000, 0x2000, 0x6000, 0x7FFF, 0x8000, 0xBFFF, 0xC000}) gb.write_byte(a, a == 0x0000 ? 0x0A : 0x07);
    gb.write_byte(0x4000, 0x02);
    const std::vector<std::pair<u16, u64>> expected = {{0x0000, 3000}, {0x2000, 3000}, {0x6000, 3000},
                                                       {0x7FFF, 3000}, {0xBFFF, 3000}, {0x4000, 3000}};
    EXPECT_EQ(recorder->clocks, expected);
    const std::pair<u16, int> banks[] = {{0x3FFF, 0}, {0x4000, 7}, {0x7FFF, 7}, {0x8000, -1},
                                         {0xA000, 2}, {0xBFFF, 2}, {0xC000, -1}, {0xFFFF, -1}};
    for (auto [address, bank] : banks) EXPECT_EQ(gb.get_current_bank_for_address(address), bank) << address;
}

TEST(CartridgeSpace, RamWriteClearsTheRamBytesMark) {
    TestMachine m(patterned_rom(0x80, 0x02), "dmgB");
    GB& gb = *m.gb;
    gb.cartridge.ram_access_types[0x0123] = ACCESS_INSTRUCTION;
    gb.cartridge.ram_access_types[0x0124] = ACCESS_INSTRUCTION;
    gb.write_byte(0xA123, 0x00);
    EXPECT_EQ(gb.cartridge.ram_access_types[0x0123], ACCESS_UNMARKED);
    EXPECT_EQ(gb.cartridge.ram_access_types[0x0124], ACCESS_INSTRUCTION);
}

// ---------------------------------------------------------------------------
// Marks outside the cartridge

TEST(InstructionMarks, RamWritesForgetTheCodeThatWasThere) {
    const std::pair<u16, int> rows[] = {{0xC123, 0xC123}, {0xE123, 0xC123}, {0xF123, 0xD123}, {0xFF03, 0xFF03},
                                        {0xFF80, 0xFF80}, {0xFFFF, 0xFFFF}, {0x8123, -1},     {0xFE10, -1}};
    // The bus, and the CPU's inline path onto it.
    for (bool cpu : {false, true}) {
        for (auto [written, cleared] : rows) {
            SCOPED_TRACE(testing::Message() << std::hex << written << (cpu ? " by the CPU" : ""));
            TestMachine m(patterned_rom(0x80), "cgbE");
            ppu_idle(*m.gb);
            auto& marks = m.gb->disassembler.instruction_marks;
            marks.fill(ACCESS_INSTRUCTION);
            if (cpu)
                m.gb->cpu_write_byte(written, 0x00);
            else
                m.gb->write_byte(written, 0x00);
            for (int a = 0x8000; a <= 0xFFFF; ++a)
                ASSERT_EQ(marks[a], a == cleared ? ACCESS_UNMARKED : ACCESS_INSTRUCTION) << std::hex << a;
        }
    }
}

// A ROM byte read as data shortly before it is copied into tile data is an
// image.
TEST(InstructionMarks, RomByteCopiedToTileDataIsMarkedAsImage) {
    struct Row {
        u64 cycles_since_read;  // CPU clock at the write minus that of the read
        u16 written;
        int ppu_mode;
        bool marked;
    };
    const Row rows[] = {{0, 0x9000, 0, true},  {48, 0x97FF, 0, true},  {49, 0x8000, 0, false},
                        {8, 0x9800, 0, false}, {0, 0x9000, 3, false},  // the write is dropped
                        {u64(0) - 8, 0x9000, 0, false}};               // a read stamped later
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.cycles_since_read << " " << std::hex << r.written);
        TestMachine m(patterned_rom(), "dmgB");
        GB& gb = *m.gb;
        place_ppu(gb, r.ppu_mode, 10, r.ppu_mode == 3 ? 100 : 300);
        gb.cartridge.rom_access_types[0x4567] = ACCESS_DATA;
        gb.cartridge.last_data_read_address = 0x4567;
        gb.cartridge.last_data_read_cycle = 1000000;
        gb.cpu.cpu_cycles = 1000000 + r.cycles_since_read;
        gb.write_byte(r.written, 0x12);
        EXPECT_EQ(gb.cartridge.rom_access_types[0x4567], r.marked ? ACCESS_IMAGE : ACCESS_DATA);
    }
}

}  // namespace
