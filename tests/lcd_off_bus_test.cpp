#include <gtest/gtest.h>

#include "test_machine.h"

// With the LCD off the picture unit holds no memory: OAM and VRAM answer the
// CPU whatever step the line was in when the LCD was switched off.
TEST(LcdOffBus, OamAndVramAreFreeWhateverStepTheLcdStoppedIn) {
    for (const char* model : {"dmgB", "cgbE"}) {
        TestMachine m(RomImage(), model);
        GB& gb = *m.gb;
        gb.oam[0x10] = 0x5A;
        gb.vram[0x0010] = 0xA5;
        // Run until the first step of a visible line, then switch the LCD off there.
        for (int i = 0; i < 200000 && gb.ppu.state != PPU::STATE_LINE_1_143_CLOCKS_0; ++i) gb.cpu.t_cycle_4mhz();
        ASSERT_EQ(gb.ppu.state, PPU::STATE_LINE_1_143_CLOCKS_0) << model;
        gb.write_byte(0xFF40, 0x00);
        ASSERT_FALSE(gb.ppu.lcd_enabled);
        EXPECT_EQ(gb.read_byte(0xFE10), 0x5A) << model;
        EXPECT_EQ(gb.read_byte(0x8010), 0xA5) << model;
    }
}
