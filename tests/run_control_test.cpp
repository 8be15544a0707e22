// Running the machine a frame at a time, as the front end does.
#include <gtest/gtest.h>

#include "state_compare.h"
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
    // IME off, woken at every HBlank, halting again after a delay that
    // changes from line to line, so that HALT lands at every distance from
    // the next request (a request can also come before HALT).
    const std::vector<u8> hblank_drift = {0x3E, 0x08, 0xE0, 0x41, 0x3E, 0x02, 0xE0, 0xFF, 0xF3,
                                          0x76, 0x00, 0xAF, 0xE0, 0x0F, 0x04, 0x78, 0xE6, 0x1F,
                                          0x3C, 0x3D, 0x20, 0xFD, 0x18, 0xF1};
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

// A halted CPU waits in steps of one M-cycle; the run loops take the steps
// before the next event at once. Frames, frame caps, turbo targets, every
// event and every interrupt must come out exactly as when each step is run.
TEST(RunControl, HaltedStretchesTakenAtOnceEndAsStepByStep) {
    const std::vector<u8> halt_loop = {0x76, 0x00, 0x18, 0xFC};  // HALT, NOP, JR -4
    auto program = [](std::vector<u8> setup, const std::vector<u8>& tail) {
        setup.insert(setup.end(), tail.begin(), tail.end());
        return setup;
    };
    // IME off: HALT ends on the request without a call; the loop clears IF.
    const std::vector<u8> di_loop = {0xF3, 0x76, 0x00, 0xAF, 0xE0, 0x0F, 0x18, 0xF9};
    const std::vector<u8> vblank_ie = {0x3E, 0x01, 0xE0, 0xFF};
    const std::vector<u8> timer_on = {0x3E, 0x05, 0xE0, 0x07, 0x3E, 0x04, 0xE0, 0xFF};  // TAC 16 cycles, IE timer
    const std::vector<u8> double_speed = {0x3E, 0x01, 0xE0, 0x4D, 0x10, 0x00};         // KEY1 armed, STOP
    const std::vector<u8> lcd_off = {0x3E, 0x00, 0xE0, 0x40, 0xAF, 0xE0, 0xFF};        // LCDC 0, IE 0
    // The IME-off loop copied to C000 and run there.
    std::vector<u8> to_wram = {0x21, 0x00, 0xC0};
    for (u8 b : {0x76, 0x00, 0xAF, 0xE0, 0x0F, 0x18, 0xF9}) to_wram.insert(to_wram.end(), {0x36, b, 0x23});
    to_wram.insert(to_wram.end(), {0x3E, 0x01, 0xE0, 0xFF, 0xF3, 0xC3, 0x00, 0xC0});
    // From high RAM: an OAM DMA started right before each IME-off HALT.
    std::vector<u8> dma_then_halt = {0x21, 0x80, 0xFF};
    for (u8 b : {0x3E, 0x10, 0xE0, 0x46, 0x76, 0x00, 0xAF, 0xE0, 0x0F, 0x18, 0xF5})
        dma_then_halt.insert(dma_then_halt.end(), {0x36, b, 0x23});
    dma_then_halt.insert(dma_then_halt.end(), {0x3E, 0x01, 0xE0, 0xFF, 0xF3, 0xC3, 0x80, 0xFF});

    // IME off, woken at every HBlank, halting again after a delay that
    // changes from line to line, so that HALT lands at every distance from
    // the next request (a request can also come before HALT).
    const std::vector<u8> hblank_drift = {0x3E, 0x08, 0xE0, 0x41, 0x3E, 0x02, 0xE0, 0xFF, 0xF3,
                                          0x76, 0x00, 0xAF, 0xE0, 0x0F, 0x04, 0x78, 0xE6, 0x1F,
                                          0x3C, 0x3D, 0x20, 0xFD, 0x18, 0xF1};
    struct Row {
        const char* what;
        const char* model;
        std::vector<u8> code;
        bool turbo;  // run to a target cycle instead of whole frames
    };
    const Row rows[] = {
        {"IME on, VBlank, DMG", "dmgB", program(program(vblank_ie, {0xFB}), halt_loop), false},
        {"IME on, VBlank, CGB", "cgbE", program(program(vblank_ie, {0xFB}), halt_loop), false},
        {"IME on, timer", "dmgB", program(program(timer_on, {0xFB}), halt_loop), false},
        {"IME on, timer, double speed", "cgbE", program(program(double_speed, timer_on), program({0xFB}, halt_loop)),
         false},
        {"IME off, VBlank", "dmgB", program(vblank_ie, di_loop), false},
        {"IME off, VBlank, in work RAM", "cgbE", to_wram, false},
        {"IME off, in high RAM, after an OAM DMA", "dmgB", dma_then_halt, false},
        {"IME off, HBlank, drifting, DMG", "dmgB", hblank_drift, false},
        {"IME off, HBlank, drifting, CGB", "cgbE", hblank_drift, false},
        {"LCD off, nothing enabled: the frame cap", "dmgB", program(program(lcd_off, {0xFB}), halt_loop), false},
        {"LCD off, IME off: the frame cap", "cgbE", program(program(lcd_off, {0xF3}), halt_loop), false},
        {"turbo to a target, VBlank", "cgbE", program(program(vblank_ie, {0xFB}), halt_loop), true},
        {"turbo to a target, timer", "dmgB", program(program(timer_on, {0xFB}), halt_loop), true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        RomImage rom(r.code);
        rom.place(0x0040, {0xD9}).place(0x0050, {0xD9});  // RETI
        if (std::string(r.model).rfind("cgb", 0) == 0) rom.cgb_flag(0x80);
        TestMachine stepped(rom, r.model), skipped(rom, r.model);
        stepped.cpu().halt_skipping = false;
        for (int frame = 0; frame < 5; ++frame) {
            if (r.turbo) {
                const u64 target = stepped.cpu().cycles_4mhz + 3 * PPU::FRAME_CYCLES / 2 + 7;
                stepped.gb->run_turbo_to_cycle(target, false);
                skipped.gb->run_turbo_to_cycle(target, false);
            } else {
                stepped.gb->run_frame();
                skipped.gb->run_frame();
            }
            ASSERT_EQ(skipped.cpu().cycles_4mhz, stepped.cpu().cycles_4mhz) << "frame " << frame;
            ASSERT_TRUE(same_state(skipped.gb->save_state(), stepped.gb->save_state())) << "frame " << frame;
        }
        EXPECT_EQ(skipped.gb->ppu.frame_buffer, stepped.gb->ppu.frame_buffer);
    }
}

// A run to a target cycle stops at the first instruction boundary at or past
// the target: a target at the clock runs nothing, one cycle ahead a whole
// step. Running or halted, on either clock.
TEST(RunControl, RunToATargetStopsAtTheFirstBoundaryAtOrPastIt) {
    const std::vector<u8> halt_forever = {0xF3, 0xAF, 0xE0, 0xFF, 0x76};  // DI, IE = 0, HALT
    struct Row {
        bool halted, turbo;  // turbo: run_turbo_to_cycle on the 4 MHz clock; else run_until_cycle
        u64 distance, advance;
    };
    const Row rows[] = {
        {false, true, 0, 0}, {false, true, 1, 4}, {false, true, 4, 4},   {false, true, 5, 8},
        {false, false, 0, 0}, {false, false, 1, 4}, {false, false, 8, 8}, {true, true, 0, 0},
        {true, true, 1, 4},   {true, true, 4, 4},   {true, true, 9, 12},  {true, false, 0, 0},
        {true, false, 3, 4},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << (r.halted ? "halted" : "running") << (r.turbo ? ", turbo" : ", until")
                                        << ", target " << r.distance << " ahead");
        TestMachine m(r.halted ? RomImage(halt_forever) : RomImage(), "dmgB");
        if (r.halted) {
            for (int i = 0; i < 4; ++i) m.gb->run_single_instruction();
            ASSERT_TRUE(m.cpu().halted);
        }
        if (r.turbo) {
            const u64 start = m.cpu().cycles_4mhz;
            m.gb->run_turbo_to_cycle(start + r.distance, false);
            EXPECT_EQ(m.cpu().cycles_4mhz - start, r.advance);
        } else {
            const u64 start = m.cpu().cpu_cycles;
            m.cpu().run_until_cycle(start + r.distance);
            EXPECT_EQ(m.cpu().cpu_cycles - start, r.advance);
        }
    }
}
