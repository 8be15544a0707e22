// The CPU's view of the address space: boot ROM overlay, work RAM banking and
// echo, video RAM and OAM blocking by the picture unit, the bus conflicts of a
// running OAM DMA, extra OAM per model, IE/IF and the code/data marks.
#include <gtest/gtest.h>

#include <vector>

#include "core_test_support.h"

namespace {

// ---------------------------------------------------------------------------
// Boot ROM overlay

enum Source { CART, BOOT };

struct OverlayCase {
    const char* model;
    u16 address;
    Source cpu_view;           // read_byte
    Source unrestricted_view;  // read_byte_unrestricted
};

const OverlayCase OVERLAYS[] = {
    {"dmg0", 0x0000, BOOT, BOOT},   {"dmg0", 0x00FF, BOOT, BOOT},   {"dmg0", 0x0100, CART, CART},
    {"dmg0", 0x0200, CART, CART},   {"dmgA", 0x0050, BOOT, BOOT},   {"dmgB", 0x00FF, BOOT, BOOT},
    {"dmgC", 0x0200, CART, CART},   {"dmgC", 0x08FF, CART, CART},   {"mgb", 0x0080, BOOT, BOOT},
    {"mgb", 0x0300, CART, CART},    {"sgb", 0x00FE, BOOT, BOOT},    {"sgb", 0x0104, CART, CART},
    {"sgb2", 0x0001, BOOT, BOOT},   {"sgb2", 0x0500, CART, CART},

    {"cgb0", 0x0000, BOOT, BOOT},   {"cgb0", 0x0150, CART, CART},   {"cgb0", 0x0200, BOOT, BOOT},
    {"cgbA", 0x00FF, BOOT, BOOT},   {"cgbA", 0x0100, CART, CART},   {"cgbB", 0x01FF, CART, CART},
    {"cgbC", 0x0200, BOOT, BOOT},   {"cgbD", 0x0600, BOOT, BOOT},   {"cgbE", 0x08FF, BOOT, BOOT},
    {"cgbE", 0x0900, CART, CART},   {"cgbE", 0x0144, CART, CART},   {"agb0", 0x0000, BOOT, BOOT},
    {"agb0", 0x016F, CART, CART},   {"agb0", 0x08FF, BOOT, BOOT},   {"agb0", 0x0900, CART, CART},

    {"pokemon_stadium_2", 0x0000, BOOT, BOOT},
    {"pokemon_stadium_2", 0x00FF, BOOT, BOOT},
    {"pokemon_stadium_2", 0x0100, BOOT, CART},
    {"pokemon_stadium_2", 0x0144, BOOT, CART},
    {"pokemon_stadium_2", 0x016F, BOOT, CART},
    {"pokemon_stadium_2", 0x01FF, BOOT, CART},
    {"pokemon_stadium_2", 0x0200, BOOT, BOOT},
    {"pokemon_stadium_2", 0x03EF, BOOT, BOOT},
    {"pokemon_stadium_2", 0x03F0, CART, CART},
    {"pokemon_stadium_2", 0x08FF, CART, CART},
};

class BootOverlay : public testing::TestWithParam<OverlayCase> {
protected:
    // Every slot holds an image, so a read also shows which slot answers.
    std::unique_ptr<GB> machine() {
        return build_machine(patterned_rom(0x80), GetParam().model,
                             {"dmg0", "dmg", "mgb", "sgb", "sgb2", "cgb0", "cgb", "agb", "pokemon_stadium_2"});
    }
    u8 expected(Source s) const {
        const OverlayCase& c = GetParam();
        return s == BOOT ? boot_image_byte(boot_slot_of(c.model), c.address) : rom_pattern(c.address);
    }
};

TEST_P(BootOverlay, MappedImageCoversItsRanges) {
    const OverlayCase& c = GetParam();
    auto gb = machine();
    ASSERT_TRUE(gb->boot_rom_mapped);
    EXPECT_EQ(gb->read_byte(c.address), expected(c.cpu_view));
    EXPECT_EQ(gb->read_byte_unrestricted(c.address), expected(c.unrestricted_view));
}

TEST_P(BootOverlay, WritingFF50HandsEveryAddressToTheCartridge) {
    const OverlayCase& c = GetParam();
    auto gb = machine();
    gb->write_byte(REG_BOOT, 0x01);
    EXPECT_FALSE(gb->boot_rom_mapped);
    const bool patched = std::string(c.model) == "pokemon_stadium_2" && c.address == 0x016F;
    EXPECT_EQ(gb->read_byte(c.address), patched ? 0x12 : rom_pattern(c.address));
    EXPECT_EQ(gb->read_byte_unrestricted(c.address), rom_pattern(c.address));
}

INSTANTIATE_TEST_SUITE_P(Models, BootOverlay, testing::ValuesIn(OVERLAYS));

// A running OAM DMA holding the external bus does not hide the boot image.
TEST(BootImage, ImageAnswersBeforeTheDmaConflict) {
    for (const OverlayCase& c : OVERLAYS) {
        if (c.cpu_view != BOOT) continue;
        SCOPED_TRACE(std::string(c.model) + " " + std::to_string(c.address));
        auto gb = build_machine(patterned_rom(0x80), c.model, {boot_slot_of(c.model)});
        gb->dma.oam_dma_bus_state = gb->is_cgb ? 2 : 1;
        gb->dma.oam_dma_byte = 0x99;
        EXPECT_EQ(gb->read_byte(c.address), boot_image_byte(boot_slot_of(c.model), c.address));
        gb->dma.oam_dma_bus_state = gb->is_cgb ? 7 : 1;
        EXPECT_EQ(gb->read_byte(c.address), boot_image_byte(boot_slot_of(c.model), c.address));
    }
}

TEST(BootImage, UnloadedSlotLeavesTheCartridgeVisible) {
    // "cgb0" with only the "cgb" image: the boot is emulated and nothing overlays.
    auto gb = build_machine(patterned_rom(0x80), "cgb0", {"cgb"});
    EXPECT_FALSE(gb->boot_rom_mapped);
    for (u16 a : {0x0000, 0x00FF, 0x0200, 0x08FF}) EXPECT_EQ(gb->read_byte(a), rom_pattern(a)) << a;
    // Even with the flag forced back on, an absent image cannot answer.
    gb->boot_rom_mapped = true;
    for (u16 a : {0x0000, 0x00FF, 0x0200, 0x08FF}) {
        EXPECT_EQ(gb->read_byte(a), rom_pattern(a)) << a;
        EXPECT_EQ(gb->read_byte_unrestricted(a), rom_pattern(a)) << a;
    }
}

struct StadiumPatch {
    u16 address;
    int dma_state;
    u8 cpu_view;  // 0 means the cartridge byte
};

class StadiumCartridgeByte : public testing::TestWithParam<StadiumPatch> {};

// Without its image the Stadium model boots emulated, FF50 already written.
TEST_P(StadiumCartridgeByte, PatchedWithoutTheImage) {
    const StadiumPatch& p = GetParam();
    auto gb = build_machine(patterned_rom(0x80), "pokemon_stadium_2");
    ASSERT_FALSE(gb->boot_rom_mapped);
    gb->dma.oam_dma_bus_state = p.dma_state;
    gb->dma.oam_dma_byte = 0x99;
    EXPECT_EQ(gb->read_byte(p.address), p.cpu_view ? p.cpu_view : rom_pattern(p.address));
    gb->dma.oam_dma_bus_state = 0;
    EXPECT_EQ(gb->read_byte_unrestricted(p.address), rom_pattern(p.address));
}

INSTANTIATE_TEST_SUITE_P(Addresses, StadiumCartridgeByte,
                         testing::Values(StadiumPatch{0x016F, 0, 0x12}, StadiumPatch{0x016F, 2, 0x12},
                                         StadiumPatch{0x016F, 7, 0x12}, StadiumPatch{0x016E, 0, 0},
                                         StadiumPatch{0x0170, 0, 0}, StadiumPatch{0x416F, 0, 0}));

TEST(StadiumPatch, OtherModelsReadTheCartridge) {
    for (const char* model : {"cgbE", "agb0", "dmgB"}) {
        auto gb = build_machine(patterned_rom(0x80), model);
        EXPECT_EQ(gb->read_byte(0x016F), rom_pattern(0x016F)) << model;
    }
}

// ---------------------------------------------------------------------------
// Work RAM banking and echo

TEST(WorkRam, ColourModelsSwitchTheUpperBank) {
    struct Row {
        u8 svbk;
        int bank;
    };
    const Row rows[] = {{0x00, 1}, {0x01, 1}, {0x02, 2}, {0x07, 7}, {0x08, 1}, {0x0B, 3}, {0xFE, 6}};
    for (const Row& r : rows) {
        SCOPED_TRACE(int(r.svbk));
        TestMachine m(patterned_rom(0x80), "cgbE");
        GB& gb = *m.gb;
        gb.write_byte(REG_SVBK, r.svbk);
        gb.write_byte(0xD123, 0x42);
        EXPECT_EQ(gb.wram[r.bank * 0x1000 + 0x123], 0x42);
        EXPECT_EQ(gb.read_byte(0xF123), 0x42);  // echo of the switchable bank
        gb.write_byte(0xFDFF, 0x43);
        EXPECT_EQ(gb.wram[r.bank * 0x1000 + 0xDFF], 0x43);
        EXPECT_EQ(gb.read_byte(0xDDFF), 0x43);
        // Bank 0 does not move.
        gb.write_byte(0xC456, 0x44);
        EXPECT_EQ(gb.wram[0x0456], 0x44);
        EXPECT_EQ(gb.read_byte(0xE456), 0x44);
        gb.write_byte(0xEFFF, 0x45);
        EXPECT_EQ(gb.read_byte(0xCFFF), 0x45);
    }
}

TEST(WorkRam, BanksKeepTheirContentsAcrossSwitches) {
    TestMachine m(patterned_rom(0x80), "cgbB");
    GB& gb = *m.gb;
    for (int bank = 1; bank <= 7; ++bank) {
        gb.write_byte(REG_SVBK, u8(bank));
        gb.write_byte(0xD800, u8(0xB0 + bank));
    }
    for (int bank = 7; bank >= 1; --bank) {
        gb.write_byte(REG_SVBK, u8(bank));
        EXPECT_EQ(gb.read_byte(0xD800), 0xB0 + bank);
        EXPECT_EQ(gb.read_byte(0xF800), 0xB0 + bank);
    }
    EXPECT_EQ(gb.read_byte(0xC800), 0xFF);  // bank 0 untouched
}

TEST(WorkRam, MonochromeModelsHaveOneUpperBank) {
    TestMachine m(patterned_rom(0x80), "dmgB");
    GB& gb = *m.gb;
    gb.write_byte(REG_SVBK, 0x03);
    gb.write_byte(0xD010, 0x5A);
    EXPECT_EQ(gb.wram[0x1010], 0x5A);
    EXPECT_EQ(gb.read_byte(0xF010), 0x5A);
}

TEST(WorkRam, BankedViewsReadTheRequestedBank) {
    TestMachine m(patterned_rom(0x80), "cgbE");
    GB& gb = *m.gb;
    gb.wram[0x0010] = 0x10;
    gb.wram[0x0011] = 0x11;
    gb.wram[0x5020] = 0x20;
    gb.wram[0x5021] = 0x21;
    EXPECT_EQ(gb.wram_banked_read_byte(5, 0xC010), 0x10);  // bank 0 whatever the bank asked
    EXPECT_EQ(gb.wram_banked_read_byte(5, 0xD020), 0x20);
    EXPECT_EQ(gb.wram_banked_read_byte(1, 0xD020), 0xFF);
    EXPECT_EQ(gb.wram_banked_read_byte(5, 0xE010), 0xFF);
    EXPECT_EQ(gb.wram_banked_read_byte(5, 0xBFFF), 0xFF);
    EXPECT_EQ(gb.wram_banked_read_word(5, 0xD020), 0x2120);
    EXPECT_EQ(gb.wram_banked_read_word(5, 0xC010), 0x1110);
    EXPECT_EQ(gb.read_byte(REG_SVBK), 0x01);  // the views do not switch banks
}

// ---------------------------------------------------------------------------
// Video RAM

TEST(VideoRam, BankRegisterSelectsTheCpuWindow) {
    TestMachine m(patterned_rom(0x80), "cgbE");
    GB& gb = *m.gb;
    ppu_idle(gb);
    gb.write_byte(0x8010, 0xA0);
    gb.write_byte(REG_VBK, 0xFF);  // only bit 0 counts
    gb.write_byte(0x8010, 0xA1);
    gb.write_byte(0x9FFF, 0xA2);
    EXPECT_EQ(gb.vram[0x0010], 0xA0);
    EXPECT_EQ(gb.vram[0x2010], 0xA1);
    EXPECT_EQ(gb.vram[0x3FFF], 0xA2);
    EXPECT_EQ(gb.read_byte(0x8010), 0xA1);
    EXPECT_EQ(gb.vram_banked_read_byte(0x8010, 0), 0xA0);
    EXPECT_EQ(gb.vram_banked_read_byte(0x8010, 1), 0xA1);
    gb.write_byte(REG_VBK, 0x02);
    EXPECT_EQ(gb.read_byte(0x8010), 0xA0);
    EXPECT_EQ(gb.read_byte_unrestricted(0x8010), 0xA0);
}

TEST(VideoRam, MonochromeModelsIgnoreTheBankRegister) {
    TestMachine m(patterned_rom(0x80), "mgb");
    ppu_idle(*m.gb);
    m.gb->write_byte(REG_VBK, 0x01);
    m.gb->write_byte(0x8010, 0xA1);
    EXPECT_EQ(m.gb->vram[0x0010], 0xA1);
    EXPECT_EQ(m.gb->vram[0x2010], 0x00);
}

TEST(VideoRam, WordViewsAreLittleEndian) {
    TestMachine m(patterned_rom(0x80), "cgbE");
    GB& gb = *m.gb;
    gb.vram[0x0100] = 0x34;
    gb.vram[0x0101] = 0x12;
    gb.vram[0x2100] = 0x78;
    gb.vram[0x2101] = 0x56;
    EXPECT_EQ(gb.vram_read_word(0x8100), 0x1234);
    EXPECT_EQ(gb.vram_banked_read_word(0x8100, 0), 0x1234);
    EXPECT_EQ(gb.vram_banked_read_word(0x8100, 1), 0x5678);
}

// The picture unit's own fetches see bank 0 regardless of VBK, but a CPU that
// entered STOP during mode 0 or 1 leaves the VRAM bus floating.
struct StopFetch {
    bool stopped;
    int latched_mode;
    bool blocked;
};

class PictureFetchDuringStop : public testing::TestWithParam<StopFetch> {};

TEST_P(PictureFetchDuringStop, ReadsBankZeroOrOpenBus) {
    const StopFetch& s = GetParam();
    TestMachine m(patterned_rom(0x80), "cgbE");
    GB& gb = *m.gb;
    gb.vram[0x0200] = 0xCD;
    gb.vram[0x0201] = 0xAB;
    gb.vram[0x2200] = 0x11;
    gb.write_byte(REG_VBK, 0x01);
    gb.cpu.stopped = s.stopped;
    gb.ppu.oam_scan_state = s.latched_mode;
    EXPECT_EQ(gb.vram_read_byte(0x8200), s.blocked ? 0xFF : 0xCD);
    EXPECT_EQ(gb.vram_read_word(0x8200), s.blocked ? 0xFFFF : 0xABCD);
}

INSTANTIATE_TEST_SUITE_P(Modes, PictureFetchDuringStop,
                         testing::Values(StopFetch{false, 0, false}, StopFetch{false, 1, false},
                                         StopFetch{true, 0, true}, StopFetch{true, 1, true},
                                         StopFetch{true, 2, false}, StopFetch{true, 3, false}));

struct VramAccess {
    const char* model;
    int mode;
    int line;
    int line_cycle;
    int dma_state;
    bool read_blocked;
    bool read_sees_dma_byte;
    bool write_dropped;
};

const VramAccess VRAM_ACCESSES[] = {
    {"dmgB", 0, 10, 300, 0, false, false, false},
    {"dmgB", 1, 150, 100, 0, false, false, false},
    // OAM scan: the CPU keeps VRAM until the fetcher takes it at line cycle 80.
    {"dmgB", 2, 10, 0, 0, false, false, false},
    {"dmgB", 2, 10, 79, 0, false, false, false},
    {"dmgB", 2, 10, 80, 0, true, false, false},
    {"cgbE", 2, 10, 80, 0, true, false, false},
    {"dmgB", 3, 10, 100, 0, true, false, true},
    {"dmgB", 3, 0, 40, 0, true, false, true},
    {"cgbE", 3, 10, 40, 0, true, false, true},
    // Line 0 of a colour model: mode 3 only blocks reads after line cycle 80.
    {"cgbE", 3, 0, 40, 0, false, false, true},
    {"cgbE", 3, 0, 80, 0, false, false, true},
    {"cgbE", 3, 0, 81, 0, true, false, true},
    {"cgb0", 3, 0, 80, 0, false, false, true},
    {"dmgB", 0, 10, 300, 3, false, true, false},
    {"cgbE", 0, 10, 300, 3, false, true, false},
    {"dmgB", 3, 10, 100, 3, true, false, true},  // blocking wins over the DMA's byte
    {"dmgB", 2, 10, 80, 3, true, false, false},
    {"dmgB", 0, 10, 300, 1, false, false, false},
    {"cgbE", 0, 10, 300, 2, false, false, false},
    {"cgbE", 0, 10, 300, 4, false, false, false},
    {"cgbE", 1, 150, 100, 7, false, false, false},
};

class VideoRamAccess : public testing::TestWithParam<VramAccess> {};

TEST_P(VideoRamAccess, PictureUnitAndDmaRules) {
    const VramAccess& v = GetParam();
    TestMachine m(patterned_rom(0x80), v.model);
    GB& gb = *m.gb;
    gb.vram[0x1234] = 0x3C;
    place_ppu(gb, v.mode, v.line, v.line_cycle);
    gb.dma.oam_dma_bus_state = v.dma_state;
    gb.dma.oam_dma_byte = 0x99;
    const u8 expected = v.read_blocked ? 0xFF : v.read_sees_dma_byte ? 0x99 : 0x3C;
    EXPECT_EQ(gb.read_byte(0x9234), expected);
    EXPECT_EQ(gb.read_byte_unrestricted(0x9234), 0x3C);
    gb.write_byte(0x9234, 0x5D);
    EXPECT_EQ(gb.vram[0x1234], v.write_dropped ? 0x3C : 0x5D);
}

INSTANTIATE_TEST_SUITE_P(Rules, VideoRamAccess, testing::ValuesIn(VRAM_ACCESSES));

// ---------------------------------------------------------------------------
// Object memory

struct OamAccess {
    const char* model;
    int mode;
    int line;
    int line_cycle;
    int state;
    int dma_state;
    bool read_blocked;
    bool write_dropped;
};

const OamAccess OAM_ACCESSES[] = {
    {"dmgB", 0, 10, 300, 0, 0, false, false},
    {"dmgB", 1, 150, 100, 0, 0, false, false},
    // OAM scan: reads are blocked throughout, writes until line cycle 80.
    {"dmgB", 2, 10, 0, 0, 0, true, true},
    {"dmgB", 2, 10, 79, 0, 0, true, true},
    {"dmgB", 2, 10, 80, 0, 0, true, false},
    {"cgbC", 2, 10, 79, 0, 0, true, true},
    {"cgbC", 2, 10, 80, 0, 0, true, false},
    {"dmgB", 3, 10, 100, 0, 0, true, true},
    {"cgbC", 3, 10, 100, 0, 0, true, true},
    // The first cycle of lines 1-143 already reads as OAM scan.
    {"dmgB", 0, 5, 0, PPU::STATE_LINE_1_143_CLOCKS_0, 0, true, false},
    {"cgbC", 0, 5, 0, PPU::STATE_LINE_1_143_CLOCKS_0, 0, true, false},
    {"dmgB", 0, 5, 0, 2685, 0, false, false},
    // Line 1 on a colour model: writes in its first four cycles are lost.
    {"cgbC", 0, 1, 0, 0, 0, false, true},
    {"cgbC", 0, 1, 3, 0, 0, false, true},
    {"cgbC", 0, 1, 4, 0, 0, false, false},
    {"dmgB", 0, 1, 0, 0, 0, false, false},
    {"cgbC", 0, 2, 0, 0, 0, false, false},
    {"dmgB", 0, 10, 300, 0, 1, true, true},
    {"dmgB", 0, 10, 300, 0, 3, true, true},
    {"cgbC", 0, 10, 300, 0, 2, true, true},
    {"cgbC", 1, 150, 100, 0, 4, true, true},
    {"cgbC", 0, 10, 300, 0, 7, true, true},
};

class ObjectMemoryAccess : public testing::TestWithParam<OamAccess> {};

TEST_P(ObjectMemoryAccess, BlockedByScanDrawAndDma) {
    const OamAccess& o = GetParam();
    TestMachine m(patterned_rom(0x80), o.model);
    GB& gb = *m.gb;
    gb.oam[0x10] = 0x3C;
    gb.oam[0x9F] = 0x4C;
    place_ppu(gb, o.mode, o.line, o.line_cycle, o.state);
    gb.dma.oam_dma_bus_state = o.dma_state;
    gb.dma.oam_dma_byte = 0x99;
    EXPECT_EQ(gb.read_byte(0xFE10), o.read_blocked ? 0xFF : 0x3C);
    EXPECT_EQ(gb.read_byte(0xFE9F), o.read_blocked ? 0xFF : 0x4C);
    EXPECT_EQ(gb.read_byte_unrestricted(0xFE10), 0x3C);
    gb.write_byte(0xFE10, 0x5D);
    gb.write_byte(0xFE9F, 0x6D);
    EXPECT_EQ(gb.oam[0x10], o.write_dropped ? 0x3C : 0x5D);
    EXPECT_EQ(gb.oam[0x9F], o.write_dropped ? 0x4C : 0x6D);
}

INSTANTIATE_TEST_SUITE_P(Rules, ObjectMemoryAccess, testing::ValuesIn(OAM_ACCESSES));

TEST(ObjectMemory, ExtraAreaIsBlockedLikeOam) {
    TestMachine m(patterned_rom(0x80), "cgbC");
    GB& gb = *m.gb;
    gb.oam[0xA0] = 0x77;
    ppu_idle(gb);
    EXPECT_EQ(gb.read_byte(0xFEA8), 0x77);
    place_ppu(gb, 2, 10, 20);
    EXPECT_EQ(gb.read_byte(0xFEA8), 0xFF);
    EXPECT_EQ(gb.read_byte_unrestricted(0xFEA8), 0x77);
    ppu_idle(gb);
    gb.dma.oam_dma_bus_state = 4;
    gb.write_byte(0xFEA8, 0x12);
    EXPECT_EQ(gb.oam[0xA0], 0x77);
}

// FEA0-FEFF: each model wires the unused area differently.
struct ExtraOam {
    const char* model;
    u16 address;
    int cell;    // OAM cell reached, or -1
    int fixed;   // value read when no cell is reached
};

const ExtraOam EXTRA_OAM[] = {
    {"dmg0", 0xFEA0, -1, 0x00}, {"dmgB", 0xFEB3, -1, 0x00}, {"sgb2", 0xFEFF, -1, 0x00},
    {"cgb0", 0xFEA0, 0xA0, 0},  {"cgb0", 0xFEA8, 0xA0, 0},  {"cgbA", 0xFEB9, 0xA1, 0},
    {"cgbB", 0xFEFF, 0xE7, 0},  {"cgbC", 0xFEA8, 0xA0, 0},  {"cgbC", 0xFEC9, 0xC1, 0},
    {"cgbC", 0xFED3, 0xC3, 0},  {"cgbD", 0xFEA0, 0xA0, 0},  {"cgbD", 0xFEA8, 0xA8, 0},
    {"cgbD", 0xFEBF, 0xBF, 0},  {"cgbD", 0xFEC5, 0xC5, 0},  {"cgbD", 0xFED5, 0xC5, 0},
    {"cgbD", 0xFEF3, 0xC3, 0},  {"cgbD", 0xFEEA, 0xCA, 0},  {"cgbE", 0xFEA0, -1, 0xAA},
    {"cgbE", 0xFEB3, -1, 0xBB}, {"cgbE", 0xFEC7, -1, 0xCC}, {"cgbE", 0xFEFF, -1, 0xFF},
    {"agb0", 0xFEA0, -1, 0x00}, {"agb0", 0xFEF0, -1, 0x00}, {"pokemon_stadium_2", 0xFEC0, -1, 0x00},
};

class ExtraObjectMemory : public testing::TestWithParam<ExtraOam> {};

TEST_P(ExtraObjectMemory, ReadsAndWritesPerModel) {
    const ExtraOam& e = GetParam();
    TestMachine m(patterned_rom(0x80), e.model);
    GB& gb = *m.gb;
    ppu_idle(gb);
    for (int i = 0; i < 256; ++i) gb.oam[i] = u8(0x13 * i + 7);
    const auto before = gb.oam;
    EXPECT_EQ(gb.read_byte(e.address), e.cell >= 0 ? before[e.cell] : e.fixed);
    gb.write_byte(e.address, 0xEE);
    auto expected = before;
    if (e.cell >= 0) expected[e.cell] = 0xEE;
    EXPECT_EQ(gb.oam, expected);
    if (e.cell >= 0) {
        EXPECT_EQ(gb.read_byte(e.address), 0xEE);
    }
}

INSTANTIATE_TEST_SUITE_P(Models, ExtraObjectMemory, testing::ValuesIn(EXTRA_OAM));

// ---------------------------------------------------------------------------
// OAM DMA bus conflicts

enum Seen { NORMAL, DMA_BYTE, OPEN, BANK0, BANKN };

struct Conflict {
    const char* model;
    int state;
    u8 source_page;
    u16 address;
    Seen seen;
};

const Conflict CONFLICTS[] = {
    // DMG from C000: the external bus and WRAM carry the DMA's byte.
    {"dmgB", 1, 0xC0, 0x4000, DMA_BYTE},
    {"dmgB", 1, 0xC0, 0x0150, DMA_BYTE},
    {"dmgB", 1, 0xC0, 0xA000, DMA_BYTE},
    {"dmgB", 1, 0xC0, 0xC123, DMA_BYTE},
    {"dmgB", 1, 0xC0, 0xD123, DMA_BYTE},
    {"dmgB", 1, 0xC0, 0xF123, DMA_BYTE},
    {"dmgB", 1, 0xC0, 0x8000, NORMAL},
    {"dmgB", 1, 0xC0, 0xFF80, NORMAL},
    {"sgb", 1, 0x40, 0x7FFF, DMA_BYTE},
    // From video RAM only the video bus is taken.
    {"dmgB", 3, 0x80, 0x4000, NORMAL},
    {"dmgB", 3, 0x80, 0xA000, NORMAL},
    {"dmgB", 3, 0x80, 0xC123, NORMAL},
    {"dmgB", 3, 0x80, 0x8000, DMA_BYTE},
    {"cgbE", 3, 0x80, 0xD123, NORMAL},
    {"cgbE", 3, 0x80, 0x9000, DMA_BYTE},
    // CGB from cartridge space: external bus carries the byte, WRAM shows one bank.
    {"cgbE", 2, 0x40, 0x4000, DMA_BYTE},
    {"cgbE", 2, 0x40, 0xA000, DMA_BYTE},
    {"cgbE", 2, 0x40, 0xC123, BANK0},
    {"cgbE", 2, 0x40, 0xD123, BANK0},
    {"cgbE", 2, 0x40, 0xF123, BANK0},
    {"cgbE", 2, 0x50, 0xC123, BANKN},
    {"cgbE", 2, 0x50, 0xD123, BANKN},
    {"cgbE", 2, 0x50, 0xE123, BANKN},
    {"cgbE", 2, 0xB0, 0xC123, BANKN},
    {"cgbE", 2, 0xA0, 0xD123, BANK0},
    {"cgbE", 2, 0x40, 0x8000, NORMAL},
    // CGB from WRAM: WRAM carries the byte, the cartridge is free.
    {"cgbC", 4, 0xC0, 0x4000, NORMAL},
    {"cgbC", 4, 0xC0, 0xA000, NORMAL},
    {"cgbC", 4, 0xD0, 0xC123, DMA_BYTE},
    {"cgbC", 4, 0xD0, 0xE123, DMA_BYTE},
    // CGB from echo, OAM or the top page: the external bus floats.
    {"cgbA", 5, 0xE0, 0x4000, OPEN},
    {"cgbA", 5, 0xE0, 0xA000, OPEN},
    {"cgbA", 5, 0xE0, 0xC123, BANK0},
    {"cgbA", 5, 0xF0, 0xC123, BANKN},
    {"agb0", 6, 0xFE, 0x0150, OPEN},
    {"agb0", 6, 0xFE, 0xD123, BANKN},
    {"pokemon_stadium_2", 7, 0xFF, 0x2000, OPEN},
    {"pokemon_stadium_2", 7, 0xFF, 0xC123, BANKN},
    {"cgbE", 7, 0xEF, 0xD123, BANK0},
    // No transfer running.
    {"cgbE", 0, 0x50, 0x4000, NORMAL},
    {"cgbE", 0, 0x50, 0xC123, NORMAL},
    {"dmgB", 0, 0xC0, 0xA000, NORMAL},
};

class OamDmaConflict : public testing::TestWithParam<Conflict> {};

TEST_P(OamDmaConflict, CpuReadSeesTheBusTheDmaLeaves) {
    const Conflict& c = GetParam();
    // 8 KiB of cartridge RAM so that A000 holds a byte of its own.
    TestMachine m(patterned_rom(0x80, 0x02), c.model);
    GB& gb = *m.gb;
    ppu_idle(gb);
    gb.write_byte(REG_SVBK, 0x03);  // ignored on DMG-class models
    const int nbank = gb.is_cgb ? 3 : 1;
    gb.write_byte(0xA000, 0xA5);
    gb.vram[0x0000] = 0x80;
    gb.vram[0x1000] = 0x90;
    gb.wram[0x0123] = 0x01;
    gb.wram[nbank * 0x1000 + 0x0123] = 0x0D;
    gb.io_page[0x80] = 0xF8;

    gb.dma.oam_dma_bus_state = c.state;
    gb.dma.oam_dma_source = u16(c.source_page << 8 | 0x42);
    gb.dma.oam_dma_byte = 0x99;

    u8 normal = 0;
    switch (c.address >> 12) {
        case 0x8: normal = 0x80; break;
        case 0x9: normal = 0x90; break;
        case 0xA: normal = 0xA5; break;
        case 0xC: case 0xE: normal = 0x01; break;
        case 0xD: case 0xF: normal = c.address >= 0xFF00 ? 0xF8 : 0x0D; break;
        default: normal = rom_pattern(c.address); break;
    }
    u8 expected = normal;
    switch (c.seen) {
        case NORMAL: break;
        case DMA_BYTE: expected = 0x99; break;
        case OPEN: expected = 0xFF; break;
        case BANK0: expected = 0x01; break;
        case BANKN: expected = 0x0D; break;
    }
    EXPECT_EQ(gb.read_byte(c.address), expected);
    // The DMA's own fetches are never in conflict with themselves.
    EXPECT_EQ(gb.read_byte_unrestricted(c.address), normal);
}

INSTANTIATE_TEST_SUITE_P(Models, OamDmaConflict, testing::ValuesIn(CONFLICTS));

struct ConflictWrite {
    const char* model;
    int state;
    u8 source_page;
    bool c000_dropped;
};

class OamDmaConflictWrite : public testing::TestWithParam<ConflictWrite> {};

TEST_P(OamDmaConflictWrite, LowerWorkRamWrites) {
    const ConflictWrite& w = GetParam();
    TestMachine m(patterned_rom(0x80), w.model);
    GB& gb = *m.gb;
    gb.dma.oam_dma_bus_state = w.state;
    gb.dma.oam_dma_source = u16(w.source_page << 8);
    gb.write_byte(0xC000, 0x21);
    gb.write_byte(0xCFFF, 0x22);
    EXPECT_EQ(gb.wram[0x0000], w.c000_dropped ? 0xFF : 0x21);
    EXPECT_EQ(gb.wram[0x0FFF], w.c000_dropped ? 0xFF : 0x22);
    // The upper bank and the echo are always written.
    gb.write_byte(0xD001, 0x23);
    gb.write_byte(0xE002, 0x24);
    gb.write_byte(0xF003, 0x25);
    EXPECT_EQ(gb.wram[0x1001], 0x23);
    EXPECT_EQ(gb.wram[0x0002], 0x24);
    EXPECT_EQ(gb.wram[0x1003], 0x25);
}

INSTANTIATE_TEST_SUITE_P(
    Models, OamDmaConflictWrite,
    testing::Values(ConflictWrite{"dmgB", 0, 0xC0, false}, ConflictWrite{"dmgB", 1, 0xC0, true},
                    ConflictWrite{"dmgB", 1, 0x50, true}, ConflictWrite{"dmgB", 3, 0x80, false},
                    ConflictWrite{"cgbE", 2, 0x40, false}, ConflictWrite{"cgbE", 2, 0x50, true},
                    ConflictWrite{"cgbE", 3, 0x90, false}, ConflictWrite{"cgbE", 4, 0xC0, true},
                    ConflictWrite{"cgbE", 4, 0xD0, true}, ConflictWrite{"cgbB", 5, 0xE0, false},
                    ConflictWrite{"cgbB", 5, 0xF0, true}, ConflictWrite{"agb0", 6, 0xFE, true},
                    ConflictWrite{"cgbD", 7, 0xFF, true}, ConflictWrite{"cgbD", 7, 0xEF, false}));

// ---------------------------------------------------------------------------
// High page, IE and IF

TEST(HighRam, PlainMemoryBelowIe) {
    TestMachine m(patterned_rom(0x80), "cgbE");
    GB& gb = *m.gb;
    for (int a = 0xFF80; a <= 0xFFFE; ++a) gb.write_byte(u16(a), u8(a * 7));
    for (int a = 0xFF80; a <= 0xFFFE; ++a) EXPECT_EQ(gb.read_byte(u16(a)), u8(a * 7)) << std::hex << a;
    EXPECT_EQ(gb.cpu.ie, 0x00);  // FFFE did not spill into IE
}

struct InterruptWrite {
    u8 if_written;
    u8 ie_written;
    u8 if_read;
    u8 pending;
};

class InterruptRegisters : public testing::TestWithParam<InterruptWrite> {};

TEST_P(InterruptRegisters, IeStoresAllBitsAndPendingFollowsBoth) {
    const InterruptWrite& w = GetParam();
    TestMachine m(patterned_rom(), "dmgB");
    GB& gb = *m.gb;
    gb.write_byte(0xFF0F, w.if_written);
    gb.write_byte(0xFFFF, w.ie_written);
    EXPECT_EQ(gb.read_byte(0xFF0F), w.if_read);
    EXPECT_EQ(gb.read_byte(0xFFFF), w.ie_written);
    EXPECT_EQ(gb.cpu.pending_interrupts, w.pending);
    // The same pair written the other way round gives the same result.
    gb.write_byte(0xFFFF, 0x00);
    gb.write_byte(0xFF0F, 0x00);
    gb.write_byte(0xFFFF, w.ie_written);
    gb.write_byte(0xFF0F, w.if_written);
    EXPECT_EQ(gb.cpu.pending_interrupts, w.pending);
}

INSTANTIATE_TEST_SUITE_P(Pairs, InterruptRegisters,
                         testing::Values(InterruptWrite{0xE4, 0x1F, 0xE4, 0x04},
                                         InterruptWrite{0x00, 0xFF, 0xE0, 0x00},
                                         InterruptWrite{0xFF, 0xFF, 0xFF, 0x1F},
                                         InterruptWrite{0x1F, 0xE0, 0xFF, 0x00},
                                         InterruptWrite{0x15, 0x0C, 0xF5, 0x04},
                                         InterruptWrite{0x03, 0x02, 0xE3, 0x02},
                                         InterruptWrite{0xE0, 0x1F, 0xE0, 0x00}));

TEST(InterruptRequests, RequestFlaggedByAUnitBecomesPendingOnceEnabled) {
    TestMachine m(patterned_rom(), "cgbE");
    GB& gb = *m.gb;
    gb.write_byte(0xFF0F, 0x00);
    gb.cpu.flag_interrupt(INT_SERIAL);
    EXPECT_EQ(gb.read_byte(0xFF0F), 0xE8);
    EXPECT_EQ(gb.cpu.pending_interrupts, 0x00);
    gb.write_byte(0xFFFF, INT_SERIAL | INT_JOYPAD);
    EXPECT_EQ(gb.cpu.pending_interrupts, INT_SERIAL);
    gb.write_byte(0xFFFF, INT_JOYPAD);
    EXPECT_EQ(gb.cpu.pending_interrupts, 0x00);
}

// ---------------------------------------------------------------------------
// Word access

TEST(WordAccess, LowByteFirstAndWrapsAtTheTop) {
    TestMachine m(patterned_rom(0x80), "dmgB");
    GB& gb = *m.gb;
    gb.write_word(0xC100, 0xBEEF);
    EXPECT_EQ(gb.wram[0x0100], 0xEF);
    EXPECT_EQ(gb.wram[0x0101], 0xBE);
    EXPECT_EQ(gb.read_word(0xC100), 0xBEEF);
    EXPECT_EQ(gb.read_word_unrestricted(0xC100), 0xBEEF);
    gb.write_byte(0xFFFF, 0x1D);
    EXPECT_EQ(gb.read_word(0xFFFF), u16(rom_pattern(0x0000) << 8 | 0x1D));
    EXPECT_EQ(gb.read_word_unrestricted(0xFFFF), u16(rom_pattern(0x0000) << 8 | 0x1D));
    gb.write_word(0xFFFE, 0x0A0B);
    EXPECT_EQ(gb.read_byte(0xFFFE), 0x0B);
    EXPECT_EQ(gb.cpu.ie, 0x0A);
}

// ---------------------------------------------------------------------------
// Cartridge space

// Records what the bus hands to the controller.
class RecordingMBC : public MemoryBankController {
public:
    explicit RecordingMBC(std::shared_ptr<MemoryBankController> inner_) : inner(std::move(inner_)) {}
    void init(u8* r, int rs, u8* ra, int ras) override { inner->init(r, rs, ra, ras); }
    u8 read_byte_rom0(u16 a) override { return inner->read_byte_rom0(a); }
    u8 read_byte_rom1(u16 a) override { return inner->read_byte_rom1(a); }
    u8 read_byte_sram(u16 a) override { return inner->read_byte_sram(a); }
    void write_byte(u16 a, u8 v, u64 cycle) override {
        writes.push_back({a, v, cycle});
        inner->write_byte(a, v, cycle);
    }
    int get_mapped_address_rom(u16 a) override { return inner->get_mapped_address_rom(a); }
    int get_mapped_address_ram(u16 a) override { return inner->get_mapped_address_ram(a); }
    int get_rom_bank() override { return 7; }
    int get_ram_bank() override { return 2; }
    void update() override {}

    struct Write {
        u16 address;
        u8 value;
        u64 cycle;
        bool operator==(const Write&) const = default;
    };
    std::shared_ptr<MemoryBankController> inner;
    std::vector<Write> writes;
};

TEST(CartridgeSpace, WritesReachTheControllerWithTheBaseClock) {
    TestMachine m(patterned_rom(0x80, 0x02), "cgbE");
    GB& gb = *m.gb;
    auto recorder = std::make_shared<RecordingMBC>(gb.mbc);
    gb.mbc = recorder;
    // In double speed the two clocks differ; the controller gets the 4 MHz one.
    gb.cpu.cpu_cycles = 5000;
    gb.cpu.cycles_4mhz = 3000;
    gb.write_byte(0x2000, 0x05);
    gb.write_byte(0x7FFF, 0x06);
    gb.write_byte(0xA010, 0x07);
    gb.write_byte(0xBFFF, 0x08);
    gb.write_byte(0x8000, 0x09);
    gb.write_byte(0xC000, 0x0A);
    const std::vector<RecordingMBC::Write> expected = {
        {0x2000, 0x05, 3000}, {0x7FFF, 0x06, 3000}, {0xA010, 0x07, 3000}, {0xBFFF, 0x08, 3000}};
    EXPECT_EQ(recorder->writes, expected);
}

TEST(CartridgeSpace, CurrentBankPerAddress) {
    TestMachine m(patterned_rom(0x80, 0x02), "cgbE");
    GB& gb = *m.gb;
    gb.mbc = std::make_shared<RecordingMBC>(gb.mbc);
    const std::pair<u16, int> rows[] = {{0x0000, 0},  {0x3FFF, 0},  {0x4000, 7},  {0x7FFF, 7},
                                        {0x8000, -1}, {0x9FFF, -1}, {0xA000, 2},  {0xBFFF, 2},
                                        {0xC000, -1}, {0xFF80, -1}, {0xFFFF, -1}};
    for (auto [address, bank] : rows) EXPECT_EQ(gb.get_current_bank_for_address(address), bank) << address;
}

TEST(CartridgeSpace, RamWriteClearsTheRamBytesMark) {
    TestMachine m(patterned_rom(0x80, 0x02), "dmgB");
    GB& gb = *m.gb;
    gb.cartridge.ram_access_types[0x0123] = ACCESS_INSTRUCTION;
    gb.cartridge.ram_access_types[0x0124] = ACCESS_INSTRUCTION;
    gb.write_byte(0xA123, 0x00);
    EXPECT_EQ(gb.cartridge.ram_access_types[0x0123], ACCESS_UNMARKED);
    EXPECT_EQ(gb.cartridge.ram_access_types[0x0124], ACCESS_INSTRUCTION);
    EXPECT_EQ(gb.read_byte(0xA123), 0x00);
}

// ---------------------------------------------------------------------------
// Instruction marks outside the cartridge

struct MarkClear {
    u16 written;
    int cleared;  // index into the mark array, or -1
};

class InstructionMarks : public testing::TestWithParam<MarkClear> {};

TEST_P(InstructionMarks, RamWritesForgetTheCodeThatWasThere) {
    const MarkClear& c = GetParam();
    TestMachine m(patterned_rom(0x80), "cgbE");
    GB& gb = *m.gb;
    ppu_idle(gb);
    gb.disassembler.instruction_marks.fill(ACCESS_INSTRUCTION);
    gb.write_byte(c.written, 0x00);
    for (int a = 0x8000; a <= 0xFFFF; ++a) {
        const u8 expected = a == c.cleared ? ACCESS_UNMARKED : ACCESS_INSTRUCTION;
        ASSERT_EQ(gb.disassembler.instruction_marks[a], expected) << std::hex << a;
    }
}

INSTANTIATE_TEST_SUITE_P(Regions, InstructionMarks,
                         testing::Values(MarkClear{0xC123, 0xC123}, MarkClear{0xD123, 0xD123},
                                         MarkClear{0xE123, 0xC123}, MarkClear{0xF123, 0xD123},
                                         MarkClear{0xFDFF, 0xDDFF}, MarkClear{0xFF80, 0xFF80},
                                         MarkClear{0xFFFE, 0xFFFE}, MarkClear{0xFFFF, 0xFFFF},
                                         MarkClear{0xFF72, 0xFF72}, MarkClear{0xFF03, 0xFF03},
                                         MarkClear{0x8123, -1}, MarkClear{0x9FFF, -1},
                                         MarkClear{0xFE10, -1}, MarkClear{0xFEB0, -1}));

// ---------------------------------------------------------------------------
// Image marks: ROM bytes the program copies into tile data

struct ImageCopy {
    u64 cycles_since_read;  // CPU clock at the write minus that of the read
    u16 written;
    bool marked;
};

class TileDataImage : public testing::TestWithParam<ImageCopy> {};

TEST_P(TileDataImage, RomByteCopiedToTileDataIsMarkedAsImage) {
    const ImageCopy& c = GetParam();
    TestMachine m(patterned_rom(), "dmgB");
    GB& gb = *m.gb;
    ppu_idle(gb);
    gb.cartridge.rom_access_types[0x4567] = ACCESS_DATA;
    gb.cartridge.last_data_read_address = 0x4567;
    gb.cartridge.last_data_read_cycle = 1000000;
    gb.cpu.cpu_cycles = 1000000 + c.cycles_since_read;
    gb.write_byte(c.written, 0x12);
    EXPECT_EQ(gb.cartridge.rom_access_types[0x4567], c.marked ? ACCESS_IMAGE : ACCESS_DATA);
}

INSTANTIATE_TEST_SUITE_P(Timing, TileDataImage,
                         testing::Values(ImageCopy{0, 0x9000, true}, ImageCopy{4, 0x8000, true},
                                         ImageCopy{48, 0x9000, true}, ImageCopy{48, 0x97FF, true},
                                         ImageCopy{49, 0x9000, false}, ImageCopy{400, 0x8800, false},
                                         ImageCopy{8, 0x9800, false}, ImageCopy{8, 0x9FFF, false},
                                         // A read stamped later than the write is not a recent one.
                                         ImageCopy{u64(0) - 8, 0x9000, false}));

TEST(TileDataImageMarks, DroppedWriteMarksNothing) {
    TestMachine m(patterned_rom(), "dmgB");
    GB& gb = *m.gb;
    gb.cartridge.rom_access_types[0x4567] = ACCESS_DATA;
    gb.cartridge.last_data_read_address = 0x4567;
    gb.cartridge.last_data_read_cycle = gb.cpu.cpu_cycles;
    place_ppu(gb, 3, 10, 100);
    gb.write_byte(0x9000, 0x12);
    EXPECT_EQ(gb.cartridge.rom_access_types[0x4567], ACCESS_DATA);
}

TEST(TileDataImageMarks, NonRomSourceMarksNothing) {
    TestMachine m(patterned_rom(), "dmgB");
    GB& gb = *m.gb;
    // The construction state: no data read of ROM has happened.
    ppu_idle(gb);
    gb.cartridge.last_data_read_address = 0xFFFF;
    gb.cartridge.last_data_read_cycle = gb.cpu.cpu_cycles;
    const std::vector<u8> before(gb.cartridge.rom_access_types.get(),
                                 gb.cartridge.rom_access_types.get() + gb.cartridge.rom_size);
    gb.write_byte(0x9000, 0x12);
    const std::vector<u8> after(gb.cartridge.rom_access_types.get(),
                                gb.cartridge.rom_access_types.get() + gb.cartridge.rom_size);
    EXPECT_EQ(before, after);
}

}  // namespace
