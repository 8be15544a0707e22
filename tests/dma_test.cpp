#include <gtest/gtest.h>

#include "peripherals_support.h"

namespace {
struct DmaMachine : TestMachine {
    // A colour cartridge, so that a CGB keeps its CGB-only registers.
    explicit DmaMachine(const std::string& model = "dmgB") : TestMachine(RomImage().cgb_flag(0x80), model) {}
    GB& g() { return *gb; }
    void fill_wram_page(u16 page, u8 seed) {
        for (int i = 0; i < 0x100; ++i) gb->write_byte(u16(page + i), u8(seed + i));
    }
};
}  // namespace

// Which bus a CGB's transfer takes, by source page (the DMG sources are
// checked by the test ROMs).
TEST(OamDma, CgbBusStateBySource) {
    const std::pair<u8, int> cases[] = {
        {0x40, OAM_DMA_CGB_EXTERNAL}, {0xA0, OAM_DMA_CGB_EXTERNAL}, {0x80, OAM_DMA_VRAM}, {0xC1, OAM_DMA_CGB_WRAM},
        {0xE0, OAM_DMA_CGB_ECHO},     {0xFE, OAM_DMA_OAM},          {0xFF, OAM_DMA_HIGH},
    };
    for (const auto& [page, state] : cases) {
        DmaMachine m("cgbE");
        m.g().write_byte(REG_DMA, page);
        advance_mcycles(m.g(), 1);
        EXPECT_EQ(m.g().dma.oam_dma_bus_state, OAM_DMA_IDLE) << int(page);
        advance_mcycles(m.g(), 1);
        EXPECT_EQ(m.g().dma.oam_dma_bus_state, state) << int(page);
    }
}

TEST(OamDma, RestartBeginsAgainAtTheFirstByte) {
    DmaMachine m;
    m.fill_wram_page(0xC100, 0x00);
    m.fill_wram_page(0xC200, 0x80);
    m.g().write_byte(REG_DMA, 0xC1);
    advance_mcycles(m.g(), 25);
    m.g().write_byte(REG_DMA, 0xC2);
    advance_mcycles(m.g(), 1);
    EXPECT_EQ(m.g().dma.oam_dma_bus_state, OAM_DMA_DMG_EXTERNAL) << "the old transfer still holds the bus";
    advance_mcycles(m.g(), 2 + 160);
    for (int i = 0; i < 160; ++i) ASSERT_EQ(m.g().oam[i], u8(0x80 + i)) << i;
}

TEST(OamDma, TakesOneMcyclePerByteInDoubleSpeed) {
    DmaMachine m("cgbE");
    m.g().set_double_speed(true);
    m.fill_wram_page(0xC100, 0x20);
    m.g().write_byte(REG_DMA, 0xC1);
    advance_mcycles(m.g(), 2 + 159);
    EXPECT_EQ(m.g().oam[158], u8(0x20 + 158));
    EXPECT_EQ(m.g().oam[159], 0x00);
    advance_mcycles(m.g(), 1);
    EXPECT_EQ(m.g().oam[159], u8(0x20 + 159));
}

namespace {
void set_hdma(GB& gb, u16 source, u16 destination) {
    gb.write_byte(REG_HDMA1, u8(source >> 8));
    gb.write_byte(REG_HDMA2, u8(source));
    gb.write_byte(REG_HDMA3, u8(destination >> 8));
    gb.write_byte(REG_HDMA4, u8(destination));
}
}  // namespace

TEST(VramDma, GeneralTransferCopiesAllBlocksInsideTheWrite) {
    struct Case {
        bool double_speed;
        u64 cpu_cycles;  // cost of three blocks on the CPU clock
    };
    // One M-cycle, then two base-clock cycles per byte.
    const Case cases[] = {{false, 4 + 48 * 2}, {true, 4 + 48 * 4}};
    for (const Case& c : cases) {
        DmaMachine m("cgbE");
        m.g().set_double_speed(c.double_speed);
        m.fill_wram_page(0xC000, 0x01);
        set_hdma(m.g(), 0xC000, 0x8800);
        const u64 before = m.g().cpu.cpu_cycles;
        m.g().write_byte(REG_HDMA5, 0x02);
        EXPECT_EQ(m.g().cpu.cpu_cycles - before, c.cpu_cycles);
        for (int i = 0; i < 48; ++i) ASSERT_EQ(m.g().vram[0x0800 + i], u8(0x01 + i)) << i;
        EXPECT_EQ(m.g().vram[0x0800 + 48], 0x00);
        EXPECT_EQ(m.g().read_byte(REG_HDMA5), 0xFF);
    }
}

TEST(VramDma, AddressRegistersIgnoreTheLowNibbleAndKeepTheDestinationInVram) {
    DmaMachine m("cgbE");
    m.fill_wram_page(0xC100, 0x00);
    set_hdma(m.g(), 0xC10F, 0xFFFF);  // source low nibble dropped; destination 0x9FF0
    m.g().write_byte(REG_HDMA5, 0x01);  // two blocks: the second wraps to 0x8000
    for (int i = 0; i < 16; ++i) EXPECT_EQ(m.g().vram[0x1FF0 + i], u8(i)) << i;
    for (int i = 0; i < 16; ++i) EXPECT_EQ(m.g().vram[i], u8(16 + i)) << i;
}

TEST(VramDma, HblankTransferWithLcdOffCopiesOneBlockPerRequest) {
    DmaMachine m("cgbE");
    m.g().ppu.lcd_enabled = false;
    m.fill_wram_page(0xC000, 0x30);
    set_hdma(m.g(), 0xC000, 0x8000);
    m.g().write_byte(REG_HDMA5, 0x81);
    EXPECT_EQ(m.g().read_byte(REG_HDMA5), 0x01);
    m.step();  // the block goes at the next instruction boundary
    for (int i = 0; i < 16; ++i) EXPECT_EQ(m.g().vram[i], u8(0x30 + i)) << i;
    EXPECT_EQ(m.g().vram[16], 0x00);
    EXPECT_EQ(m.g().read_byte(REG_HDMA5), 0x00);
    m.step(3);
    EXPECT_EQ(m.g().vram[16], 0x00) << "the next block waits for an HBlank";
    m.g().cpu.hblank_hdma_requested = true;
    m.step();
    EXPECT_EQ(m.g().vram[31], u8(0x30 + 31));
    EXPECT_EQ(m.g().read_byte(REG_HDMA5), 0xFF);
}

// With the LCD on, an HBlank transfer copies one 16-byte block in the
// horizontal blank of each visible line, in either speed, and nothing while
// the line is drawn.
TEST(VramDma, HblankTransferCopiesABlockInEachLinesHblank) {
    for (bool double_speed : {false, true}) {
        SCOPED_TRACE(double_speed ? "double speed" : "single speed");
        DmaMachine m("cgbE");  // NOPs from 0x0100, LCD on
        m.g().set_double_speed(double_speed);
        m.fill_wram_page(0xC000, 0x40);
        auto mode = [&] { return m.g().read_byte(REG_STAT) & 3; };
        auto ly = [&] { return int(m.g().read_byte(REG_LY)); };
        auto step_until = [&](auto done) {
            for (int guard = 0; !done(); ++guard) {
                ASSERT_LT(guard, 4 * PPU::FRAME_CYCLES);
                m.step();
            }
        };
        auto blocks_copied = [&] {
            int n = 0;
            while (n < 5 && m.g().vram[size_t(16 * n + 15)] == u8(0x40 + 16 * n + 15)) ++n;
            return n;
        };
        step_until([&] { return ly() == 10 && mode() == 2; });
        set_hdma(m.g(), 0xC000, 0x8000);
        m.g().write_byte(REG_HDMA5, 0x83);  // four blocks
        for (int line = 10; line < 14; ++line) {
            step_until([&] { return mode() == 3; });
            EXPECT_EQ(blocks_copied(), line - 10) << "drawing line " << line;
            step_until([&] { return ly() == line + 1; });
            EXPECT_EQ(blocks_copied(), line - 9) << "after line " << line;
        }
        EXPECT_EQ(m.g().read_byte(REG_HDMA5), 0xFF);
        EXPECT_EQ(m.g().vram[64], 0x00);
    }
}

// Started while the line is already in its horizontal blank, an HBlank
// transfer copies its first block there and then, not a line later.
TEST(VramDma, HblankTransferStartedInHblankCopiesItsFirstBlockAtOnce) {
    for (bool double_speed : {false, true}) {
        SCOPED_TRACE(double_speed ? "double speed" : "single speed");
        DmaMachine m("cgbE");
        m.g().set_double_speed(double_speed);
        m.fill_wram_page(0xC000, 0x50);
        auto mode = [&] { return m.g().read_byte(REG_STAT) & 3; };
        auto ly = [&] { return int(m.g().read_byte(REG_LY)); };
        for (int guard = 0; !(ly() == 20 && mode() == 0); ++guard) {
            ASSERT_LT(guard, 4 * PPU::FRAME_CYCLES);
            m.step();
        }
        set_hdma(m.g(), 0xC000, 0x8000);
        m.g().write_byte(REG_HDMA5, 0x81);  // two blocks
        m.step();
        ASSERT_EQ(ly(), 20);
        EXPECT_EQ(m.g().vram[15], u8(0x50 + 15));
        EXPECT_EQ(m.g().vram[16], 0x00);
        EXPECT_EQ(m.g().read_byte(REG_HDMA5), 0x00);
    }
}

TEST(VramDma, CancelLeavesTheRemainingLengthReadable) {
    DmaMachine m("cgbE");
    m.g().ppu.lcd_enabled = true;
    m.g().ppu.mode = 3;  // not in HBlank: nothing is copied at the start
    set_hdma(m.g(), 0xC000, 0x8000);
    m.g().write_byte(REG_HDMA5, 0x83);
    EXPECT_FALSE(m.g().cpu.hblank_hdma_requested);
    m.g().write_byte(REG_HDMA5, 0x05);
    EXPECT_EQ(m.g().read_byte(REG_HDMA5), 0x85);
    EXPECT_FALSE(m.g().dma.hblank_dma_active);
}

TEST(VramDma, HblankSourceAboveWorkRamCopiesTheOpcodeOnTheBus) {
    DmaMachine m("cgbE");
    m.g().ppu.lcd_enabled = false;
    set_hdma(m.g(), 0xE000, 0x8000);
    m.g().cpu.opcode = 0x3C;
    m.g().write_byte(REG_HDMA5, 0x80);
    m.g().dma.do_hblank_transfer();
    for (int i = 0; i < 16; ++i) EXPECT_EQ(m.g().vram[i], 0x3C) << i;
}
