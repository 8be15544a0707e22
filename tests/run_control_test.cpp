// Running the machine a frame at a time, as the front end does.
#include <gtest/gtest.h>

#include "test_machine.h"

namespace {

// Counts how often the joypad state is asked for.
class CountingHost : public Host {
public:
    void update_display(const u32*) override {}
    u8 get_joypad_state() override {
        ++reads;
        return 0;
    }
    int reads = 0;
};

}  // namespace

// A frame runs until the picture unit finishes one, or for at most 17564
// instructions when it never does (LCD off), and then looks at the joypad
// once. While paused a frame does nothing at all.
TEST(RunControl, FrameEndsWithThePictureOrAfter17564Instructions) {
    struct Row {
        const char* what;
        bool lcd_on, paused;
        u64 cpu_cycles;  // a program of NOPs: 4 cycles per instruction; 0 = less than a frame's cap
        int joypad_reads;
    };
    const Row rows[] = {
        {"LCD on: up to the end of the picture", true, false, 0, 1},
        {"LCD off: the instruction cap", false, false, 17564 * 4, 1},
        {"paused", true, true, 0, 0},
        {"paused with the LCD off", false, true, 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        TestMachine m(RomImage(), "dmgB");  // NOPs all the way
        CountingHost host;
        m.gb->host = &host;
        if (!r.lcd_on) m.gb->write_byte(REG_LCDC, 0x00);
        m.cpu().paused = r.paused;
        const u64 start = m.cpu().cpu_cycles;
        m.gb->run_frame();
        const u64 ran = m.cpu().cpu_cycles - start;
        if (r.paused) {
            EXPECT_EQ(ran, 0u);
        } else if (r.lcd_on) {
            EXPECT_TRUE(m.gb->ppu.frame_done);
            EXPECT_GT(ran, 0u);
            EXPECT_LE(ran, u64(PPU::FRAME_CYCLES));
        } else {
            EXPECT_EQ(ran, r.cpu_cycles);
        }
        EXPECT_EQ(host.reads, r.joypad_reads);
        m.gb->host = nullptr;
    }
}
