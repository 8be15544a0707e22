// The picture unit's registers: the state the boot program leaves on the
// models the test ROMs do not check, the CGB colour palette ports, and the
// OAM scan that an LCDC write catches up.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lcd_machine.h"

namespace {

RomImage colour_cartridge() { return RomImage().cgb_flag(0x80); }

// ---------------------------------------------------------------------------
// Post-boot state

struct PostBoot {
    const char* model;
    u8 ly;
    int line_cycle;        // how far into its line the boot program hands over
    int next_line_after;   // cycles until LY next changes
    u8 next_ly;
};

class PpuPostBoot : public testing::TestWithParam<PostBoot> {};

TEST_P(PpuPostBoot, LineAndRegisters) {
    const PostBoot& p = GetParam();
    Lcd lcd(p.model);
    const std::pair<u16, u8> registers[] = {{REG_LCDC, 0x91}, {REG_STAT, 0x81}, {REG_SCY, 0x00}, {REG_SCX, 0x00},
                                            {REG_LYC, 0x00},  {REG_BGP, 0xFC},  {REG_OBP0, 0xFF}, {REG_OBP1, 0xFF},
                                            {REG_WY, 0x00},   {REG_WX, 0x00}};
    for (auto [address, value] : registers) EXPECT_EQ(lcd.read(address), value) << std::hex << address;
    EXPECT_EQ(lcd.ly(), p.ly);
    // The bus and the CPU time their accesses by the cycle within the line.
    EXPECT_EQ(lcd.gb.ppu.get_scanline_cycle_count(), p.line_cycle);
    int n = 0;
    while (lcd.ly() == p.ly && n < PPU::FRAME_CYCLES) {
        lcd.run(1);
        ++n;
    }
    EXPECT_EQ(n, p.next_line_after);
    EXPECT_EQ(lcd.ly(), p.next_ly);
    EXPECT_EQ(lcd.gb.ppu.get_scanline_cycle_count(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Models, PpuPostBoot,
    testing::Values(
        // "dmg0" hands over 92 cycles into line 145.
        PostBoot{"dmg0", 145, 92, 364, 146},
        // CGB family: 164 cycles into line 144, the VBlank request just made.
        PostBoot{"cgb0", 144, 164, 104, 145}, PostBoot{"agb0", 144, 164, 104, 145}));

struct BootVideoRam {
    const char* model;
    bool trademark;
    bool logo_map;
    bool trademark_in_map;
};

class PpuPostBootVideoRam : public testing::TestWithParam<BootVideoRam> {};

TEST_P(PpuPostBootVideoRam, LogoFromTheCartridgeHeader) {
    const BootVideoRam& p = GetParam();
    Lcd lcd(p.model, RomImage().place(0x0104, {0xCE, 0xED, 0x66}));
    auto vram = [&](u16 address) { return lcd.gb.read_byte_unrestricted(address); };
    // Every logo bit becomes two pixels and every row two rows.
    const std::vector<std::pair<u16, u8>> logo = {
        {0x8010, 0xF0}, {0x8012, 0xF0}, {0x8014, 0xFC}, {0x8016, 0xFC}, {0x8018, 0xFC}, {0x801A, 0xFC},
        {0x801C, 0xF3}, {0x801E, 0xF3}, {0x8020, 0x3C}, {0x8026, 0x3C}, {0x8011, 0x00}, {0x8017, 0x00},
        {0x8028, 0x00}};
    for (auto [address, value] : logo) EXPECT_EQ(vram(address), value) << std::hex << address;
    const u8 trademark[8] = {0x3C, 0x42, 0xB9, 0xA5, 0xB9, 0xA5, 0x42, 0x3C};
    for (int row = 0; row < 8; ++row) {
        EXPECT_EQ(vram(u16(0x8190 + 2 * row)), p.trademark ? trademark[row] : 0x00) << row;
        EXPECT_EQ(vram(u16(0x8191 + 2 * row)), 0x00) << row;
    }
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(vram(u16(0x9904 + i)), p.logo_map ? 1 + i : 0) << i;
        EXPECT_EQ(vram(u16(0x9924 + i)), p.logo_map ? 13 + i : 0) << i;
    }
    EXPECT_EQ(vram(0x9910), p.trademark_in_map ? 0x19 : 0x00);
    EXPECT_EQ(vram(0x9903), 0x00);
    EXPECT_EQ(vram(0x9930), 0x00);
}

INSTANTIATE_TEST_SUITE_P(Models, PpuPostBootVideoRam,
                         testing::Values(BootVideoRam{"dmg0", false, true, false}, BootVideoRam{"dmgB", true, true, true},
                                         BootVideoRam{"sgb", true, true, true}, BootVideoRam{"cgbE", true, false, false}));

// ---------------------------------------------------------------------------
// CGB colour palettes

TEST(PpuPaletteIndex, UnusedBitReadsSet) {
    struct Case {
        u16 address;
        u8 written;
        u8 read;
    };
    for (const Case c : {Case{REG_BCPS, 0xBF, 0xFF}, Case{REG_BCPS, 0x05, 0x45}, Case{REG_BCPS, 0x40, 0x40},
                         Case{REG_OCPS, 0x85, 0xC5}}) {
        Lcd lcd("cgbE", colour_cartridge());
        lcd.write(c.address, c.written);
        EXPECT_EQ(lcd.read(c.address), c.read) << std::hex << c.address << " " << int(c.written);
    }
}

struct PalettePort {
    u16 index;
    u16 data;
    u8 boot_byte_even;  // what the boot program left in the palette memory
    u8 boot_byte_odd;
};

class PpuPaletteMemory : public testing::TestWithParam<PalettePort> {};

TEST_P(PpuPaletteMemory, AutoIncrementWalksAllSixtyFourBytes) {
    const PalettePort& p = GetParam();
    Lcd lcd("cgbE", colour_cartridge());
    lcd.write(p.index, 0x80 | 5);
    for (int i = 0; i < 64; ++i) lcd.write(p.data, u8(i ^ 0xA5));
    EXPECT_EQ(lcd.read(p.index), 0xC0 | 5) << "the index wrapped back to where it started";
    for (int k = 0; k < 64; ++k) {
        lcd.write(p.index, u8(k));
        EXPECT_EQ(lcd.read(p.data), u8(((k - 5 + 64) % 64) ^ 0xA5)) << k;
    }
}

TEST_P(PpuPaletteMemory, WithoutAutoIncrementEveryWriteLandsOnOneByte) {
    const PalettePort& p = GetParam();
    Lcd lcd("cgbE", colour_cartridge());
    lcd.write(p.index, 0x03);
    for (int i = 0; i < 64; ++i) lcd.write(p.data, u8(i));
    EXPECT_EQ(lcd.read(p.index), 0x43);
    for (int k = 0; k < 64; ++k) {
        lcd.write(p.index, u8(k));
        const u8 expected = k == 3 ? 63 : (k & 1) ? p.boot_byte_odd : p.boot_byte_even;
        EXPECT_EQ(lcd.read(p.data), expected) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Ports, PpuPaletteMemory,
                         testing::Values(PalettePort{REG_BCPS, REG_BCPD, 0xFF, 0x7F},
                                         PalettePort{REG_OCPS, REG_OCPD, 0x00, 0x00}));

// Written in the middle of mode 3: the ports are never blocked. Colour 0x0421
// is 1 in each channel.
TEST(PpuPaletteColour, MappedAtOnceInMode3) {
    Lcd lcd("cgbE", colour_cartridge());
    lcd.run_to(10, 150);
    ASSERT_EQ(lcd.read(REG_STAT) & 3, 3);
    // BG palette 2 colour 3, OBJ palette 7 colour 1.
    lcd.write(REG_BCPS, 0x80 | (2 * 8 + 3 * 2));
    lcd.write(REG_BCPD, 0x21);
    lcd.write(REG_BCPD, 0x04);
    lcd.write(REG_OCPS, 0x80 | (7 * 8 + 1 * 2));
    lcd.write(REG_OCPD, 0x21);
    lcd.write(REG_OCPD, 0x04);
    EXPECT_EQ(lcd.gb.ppu.mapped_colors[2 * 4 + 3], 0xFF080808);
    EXPECT_EQ(lcd.gb.ppu.mapped_colors[32 + 7 * 4 + 1], 0xFF080808);
    lcd.write(REG_BCPS, 2 * 8 + 3 * 2 + 1);
    EXPECT_EQ(lcd.read(REG_BCPD), 0x04);
}

TEST(PpuPalettePorts, PostBootColoursPerCartridge) {
    struct Case {
        bool colour_cartridge;
        u8 bcps, ocps;
        std::vector<u32> bg0;    // BG palette 0
        std::vector<u32> obj01;  // OBJ palettes 0 and 1
    };
    const Case cases[] = {
        {true, 0xC0, 0x40, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},
         {0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000}},
        // A monochrome cartridge runs with the boot program's DMG colours.
        {false, 0xC8, 0xD0, {0xFFFFFFFF, 0xFF7BFF31, 0xFF0063C6, 0xFF000000},
         {0xFFFFFFFF, 0xFFFF8484, 0xFF943939, 0xFF000000, 0xFFFFFFFF, 0xFFFF8484, 0xFF943939, 0xFF000000}},
    };
    for (const Case& c : cases) {
        Lcd lcd("cgbE", RomImage().cgb_flag(c.colour_cartridge ? 0x80 : 0x00));
        EXPECT_EQ(lcd.read(REG_BCPS), c.bcps);
        EXPECT_EQ(lcd.read(REG_OCPS), c.ocps);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(lcd.gb.ppu.mapped_colors[i], c.bg0[i]) << i;
        for (int i = 0; i < 8; ++i) EXPECT_EQ(lcd.gb.ppu.mapped_colors[32 + i], c.obj01[i]) << i;
        // The data ports are gone in DMG-compatibility mode.
        lcd.write(REG_BCPS, 0x01);
        EXPECT_EQ(lcd.read(REG_BCPD), c.colour_cartridge ? 0x7F : 0xFF);
        EXPECT_EQ(lcd.read(REG_OCPD), c.colour_cartridge ? 0x00 : 0xFF);
    }
}

// ---------------------------------------------------------------------------
// OAM scan

// Forty sprites that all cover line 10.
void fill_oam_for_line_10(Lcd& lcd) {
    for (int i = 0; i < 40; ++i) {
        lcd.write(u16(0xFE00 + 4 * i), 26);
        lcd.write(u16(0xFE01 + 4 * i), u8(8 + i));
    }
}

TEST(PpuOamScan, LcdcWriteCatchesUpTheEntriesDueBeforeIt) {
    Lcd lcd("dmgB");
    fill_oam_for_line_10(lcd);
    lcd.run_to(10, 9);
    // Entries are examined 2 cycles apart from line cycle 2: 2, 4, 6 and 8 are due.
    lcd.write(REG_LCDC, 0x93);
    EXPECT_EQ(lcd.gb.ppu.oam_scan_index, 4);
    EXPECT_EQ(lcd.gb.ppu.sprite_count, 4);
    lcd.run(80);  // into mode 3: the scan is complete with the first ten entries
    EXPECT_EQ(lcd.gb.ppu.oam_scan_index, 40);
    ASSERT_EQ(lcd.gb.ppu.sprite_count, 10);
    // Mode 3 sorted them for fetching: the last one has the lowest x.
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(lcd.gb.ppu.line_sprites[i].oam_index, 9 - i);
        EXPECT_EQ(lcd.gb.ppu.line_sprites[i].x, 17 - i);
    }
}

TEST(PpuOamScan, NoScanWhileTheLcdIsOff) {
    Lcd lcd("dmgB");
    fill_oam_for_line_10(lcd);
    lcd.run_to(10, 0);
    lcd.write(REG_LCDC, 0x11);
    lcd.run(40);
    lcd.write(REG_LCDC, 0x13);
    EXPECT_EQ(lcd.gb.ppu.oam_scan_index, 0);
    EXPECT_EQ(lcd.gb.ppu.sprite_count, 0);
}

TEST(PpuOamScan, StopsAfterTheLastEntryHoweverFarBehindItIs) {
    Lcd lcd("dmgB");
    fill_oam_for_line_10(lcd);
    lcd.run_to(10, 300);
    PPU& ppu = lcd.gb.ppu;
    ppu.oam_scan_index = 0;
    ppu.sprite_count = 0;
    ppu.fifo_cycle = lcd.gb.cpu.cycles_4mhz - 100000;
    ppu.collect_sprites(false);
    EXPECT_EQ(ppu.oam_scan_index, 40);
    EXPECT_EQ(ppu.sprite_count, 10);
    EXPECT_EQ(ppu.fifo_cycle, lcd.gb.cpu.cycles_4mhz - 100000 + 80);
}

TEST(PpuOamScan, NothingCollectedWhileStoppedOutsideMode3) {
    struct Case {
        int latched_mode;
        int sprites;
    };
    for (const Case c : {Case{0, 0}, Case{1, 0}, Case{2, 0}, Case{3, 10}}) {
        Lcd lcd("dmgB");
        fill_oam_for_line_10(lcd);
        lcd.run_to(9, 300);
        lcd.gb.cpu.stopped = true;
        lcd.gb.ppu.oam_scan_state = c.latched_mode;
        lcd.run_to(10, 100);
        EXPECT_EQ(lcd.gb.ppu.sprite_count, c.sprites) << "latched mode " << c.latched_mode;
    }
}

// The window's WY latch is compared at line starts (lines 0-143), at WY
// writes and when LCDC switches the window on: on CGB by the delayed LCDC
// effect, which applies at once while the LCD is off. Lines 144-152 do not
// compare, so a WY naming one of them is met only by a later switch. (The
// next frame start compares afresh, so no picture shows this latch.)
TEST(PpuWindowLatch, SwitchingTheWindowOnComparesWyAgain) {
    struct Row {
        const char* model;
        u8 cgb_flag;
        u8 wy;
        bool reached;
    };
    const Row rows[] = {{"cgbE", 0x80, 150, true}, {"cgbE", 0x80, 151, false}, {"dmgB", 0x00, 150, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.model << " WY " << int(r.wy));
        Lcd lcd(r.model, RomImage().cgb_flag(r.cgb_flag));
        lcd.write(REG_WY, r.wy);
        lcd.run_to_line(10);  // a frame begun with this WY
        lcd.run_to_line(150);
        ASSERT_FALSE(lcd.gb.ppu.wy_reached);
        lcd.write(REG_LCDC, 0x11);  // LCD off in vertical blank
        lcd.write(REG_LCDC, 0x31);  // the window on, the LCD still off
        EXPECT_EQ(lcd.gb.ppu.wy_reached, r.reached);
    }
}

}  // namespace
