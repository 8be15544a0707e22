#include <gtest/gtest.h>

#include "audio_support.h"

// Units due on the same CPU-clock cycle run one at a time in a fixed order:
// timer, OAM DMA, audio frame sequencer, serial. An OAM DMA copying the I/O
// page (CGB) reads TIMA and SB at known cycles and shows which unit ran first.

namespace {

struct SchedulerMachine : TestMachine {
    SchedulerMachine() : TestMachine(RomImage().cgb_flag(0x80), "cgbE") {}
    GB& g() { return *gb; }
    // Starts an OAM DMA from FF00; returns the cycle at which it reads FF00+k.
    u64 start_dma_from_io_page(int k) {
        g().write_byte(REG_DMA, 0xFF);
        return g().cpu.cpu_cycles + 8 + 4 * u64(k);
    }
    void finish_dma() { advance_mcycles(g(), 2 + 160 + 1); }
};

}  // namespace

TEST(Scheduler, TimerRunsBeforeOamDmaOnTheSameCycle) {
    struct Case {
        int timer_offset;  // timer event relative to the DMA's read of TIMA
        u8 copied;
    };
    const Case cases[] = {{-4, 0x11}, {0, 0x11}, {4, 0x10}};
    for (const Case& c : cases) {
        SchedulerMachine m;
        m.g().write_byte(REG_TIMA, 0x10);
        const u64 tima_read = m.start_dma_from_io_page(REG_TIMA - 0xFF00);
        m.g().cpu.set_next_timer_update_cycle(u64(i64(tima_read) + c.timer_offset));
        m.finish_dma();
        EXPECT_EQ(m.g().oam[REG_TIMA - 0xFF00], c.copied) << "timer at " << c.timer_offset;
        EXPECT_EQ(m.g().read_byte(REG_TIMA), 0x11);
    }
}

TEST(Scheduler, SerialRunsAfterOamDmaOnTheSameCycle) {
    struct Case {
        int serial_offset;  // serial shift relative to the DMA's read of SB
        u8 copied;
    };
    const Case cases[] = {{-4, 0x81}, {0, 0x40}, {4, 0x40}};
    for (const Case& c : cases) {
        SchedulerMachine m;
        m.g().write_byte(REG_SB, 0x40);
        m.g().write_byte(REG_SC, 0x80);  // external clock: armed, never shifts by itself
        const u64 sb_read = m.start_dma_from_io_page(REG_SB - 0xFF00);
        m.g().cpu.set_next_serial_transfer_cycle(u64(i64(sb_read) + c.serial_offset));
        m.finish_dma();
        EXPECT_EQ(m.g().oam[REG_SB - 0xFF00], c.copied) << "serial at " << c.serial_offset;
        EXPECT_EQ(m.g().read_byte(REG_SB), 0x81);
    }
}

TEST(Scheduler, EventsRunExactlyAtTheirCycleOnBothClocks) {
    struct Case {
        bool double_speed;
        int mcycles;       // M-cycles run
        u64 cpu_clock;     // CPU-clock advance
        u64 base_clock;    // 4 MHz advance
    };
    const Case cases[] = {{false, 10, 40, 40}, {true, 10, 40, 20}};
    for (const Case& c : cases) {
        SchedulerMachine m;
        m.g().set_double_speed(c.double_speed);
        const u64 cpu0 = m.g().cpu.cpu_cycles, base0 = m.g().cpu.cycles_4mhz;
        // A timer event one cycle ahead of an M-cycle boundary still runs at that cycle.
        m.g().write_byte(REG_TIMA, 0x00);
        m.g().cpu.set_next_timer_update_cycle(cpu0 + 3);
        advance_mcycles(m.g(), c.mcycles);
        EXPECT_EQ(m.g().cpu.cpu_cycles - cpu0, c.cpu_clock);
        EXPECT_EQ(m.g().cpu.cycles_4mhz - base0, c.base_clock);
        EXPECT_EQ(m.g().read_byte(REG_TIMA), 0x01) << "ran once, rescheduled itself";
    }
}

TEST(Scheduler, PastCyclesAreNeverReached) {
    SchedulerMachine m;
    m.g().write_byte(REG_TIMA, 0x00);
    m.g().cpu.set_next_timer_update_cycle(m.g().cpu.cpu_cycles - 1);
    advance_mcycles(m.g(), 100);
    EXPECT_EQ(m.g().read_byte(REG_TIMA), 0x00);
}

// On the 4 MHz clock a channel's timer step and an output sample due on the
// same cycle run timer first: the sample already hears the channel's new
// level. One cycle earlier it still hears the old one.
TEST(Scheduler, ChannelTimerRunsBeforeTheSampleOnTheSameCycle) {
    auto start_channel_2 = [](AudioMachine& m) {
        m.power_cycle();
        m.w(NR50, 0x77);
        m.w(NR51, 0x22);
        m.w(NR21, 0x80);  // 50 % duty
        m.w(NR22, 0xF0);
        m.w(NR23, 0xF0);  // a duty step every 64 cycles
        m.w(NR24, 0x87);
    };
    // The first duty step at which the channel's level changes, well ahead.
    AudioMachine probe;
    start_channel_2(probe);
    probe.run(50);
    u64 edge = 0;
    for (int guard = 0; edge == 0 && guard < 2000; ++guard) {
        const i16 before = probe.audio().mixed_left;
        const u64 step = probe.audio().next_frequency_cycle[1];
        while (probe.gb.cpu.cycles_4mhz < step) probe.gb.cpu.t_cycle_4mhz();
        if (probe.audio().mixed_left != before) edge = step;
    }
    ASSERT_NE(edge, 0u);

    // The same run three times, with one sample moved next to that step.
    auto sample_at = [&](int offset) {
        AudioMachine m;
        start_channel_2(m);
        while (m.gb.cpu.cycles_4mhz < edge - 2) m.gb.cpu.t_cycle_4mhz();
        m.gb.cpu.set_next_audio_sample_cycle(u64(i64(edge) + offset));
        while (m.gb.cpu.cycles_4mhz < edge + 2) m.gb.cpu.t_cycle_4mhz();
        return m.audio().samples[size_t(m.audio().sample_index - 2)];
    };
    const i16 before = sample_at(-1), same = sample_at(0), after = sample_at(1);
    EXPECT_NE(before, after);
    EXPECT_EQ(same, after) << "the sample on the step's cycle hears the step";
}

// A channel timer and a picture-unit step due on the same 4 MHz cycle: the
// timer goes first, so the frame handed to the display at the end of the
// last line comes after the channel has taken its step of that cycle.
TEST(Scheduler, ChannelTimerRunsBeforeThePictureUnitOnTheSameCycle) {
    struct WatchingHost : Host {
        GB* gb = nullptr;
        u64 shown_at = 0, channel_2_next = 0;
        void update_display(const u32*) override {
            if (shown_at != 0) return;
            shown_at = gb->cpu.cycles_4mhz;
            channel_2_next = gb->audio.next_frequency_cycle[1];
        }
        u8 get_joypad_state() override { return 0; }
    };
    // The channel's next step `offset` cycles from the frame's end (0: none moved).
    auto run = [](u64 frame_end, int offset) {
        AudioMachine m;
        WatchingHost host;
        host.gb = &m.gb;
        m.gb.host = &host;
        m.power_cycle();
        m.w(NR22, 0xF0);
        m.w(NR23, 0x00);
        m.w(NR24, 0x87);
        while (frame_end != 0 && m.gb.cpu.cycles_4mhz + 8 < frame_end) m.gb.cpu.tick();
        if (frame_end != 0) {
            m.audio().next_frequency_cycle[1] = u64(i64(frame_end) + offset);
            m.gb.cpu.set_next_audio_frequency_cycle(u64(i64(frame_end) + offset));
        }
        for (int guard = 0; host.shown_at == 0 && guard < 2 * PPU::FRAME_CYCLES; ++guard) m.gb.cpu.tick();
        m.gb.host = nullptr;
        return std::pair{host.shown_at, host.channel_2_next};
    };
    const u64 frame_end = run(0, 0).first;
    ASSERT_NE(frame_end, 0u);
    const auto [shown_same, next_same] = run(frame_end, 0);
    EXPECT_EQ(shown_same, frame_end);
    EXPECT_GT(next_same, frame_end) << "the channel's step of that cycle has run";
    const auto [shown_after, next_after] = run(frame_end, 1);
    EXPECT_EQ(shown_after, frame_end);
    EXPECT_EQ(next_after, frame_end + 1) << "a step one cycle later waits";
}

// In double speed an M-cycle is four CPU-clock steps and two 4 MHz steps,
// in the order CPU, CPU, 4 MHz, CPU, CPU, 4 MHz. An OAM DMA reading LY on
// the CPU-clock cycle just before the 4 MHz step that changes LY still
// copies the old line; one cycle later, what the step made of it.
TEST(Scheduler, DoubleSpeedStepsTwoCpuCyclesBeforeEachBaseCycle) {
    auto machine_after_a_line_change = [](SchedulerMachine& m) {
        m.g().set_double_speed(true);
        const u8 ly = m.g().read_byte(REG_LY);
        while (m.g().read_byte(REG_LY) == ly) m.g().cpu.tick();
    };
    SchedulerMachine probe;
    machine_after_a_line_change(probe);
    const u64 c0 = probe.g().cpu.cpu_cycles, b0 = probe.g().cpu.cycles_4mhz;
    const u8 old_line = probe.g().read_byte(REG_LY);
    while (probe.g().read_byte(REG_LY) == old_line) probe.g().cpu.t_cycle_4mhz();
    const u64 change = probe.g().cpu.cycles_4mhz;
    const u8 new_line = probe.g().read_byte(REG_LY);  // on CGB a half-changed count first
    // The CPU-clock cycle stepped right before the 4 MHz step `change`.
    const u64 paired = c0 + 2 * (change - b0);
    ASSERT_GT(paired, c0 + 8 + 4 * 0x44);

    for (const auto& [offset, copied] : {std::pair{-1, old_line}, {0, old_line}, {1, new_line}}) {
        SchedulerMachine m;
        machine_after_a_line_change(m);
        ASSERT_EQ(m.g().cpu.cpu_cycles, c0);
        m.start_dma_from_io_page(0);
        m.g().cpu.set_next_oam_dma_cycle(u64(i64(paired) + offset) - 4 * 0x44);  // byte 0x44 (LY) at paired + offset
        while (m.g().cpu.cpu_cycles < paired + 8) m.g().cpu.tick();
        m.finish_dma();
        EXPECT_EQ(m.g().oam[0x44], copied) << "LY read at offset " << offset;
    }
}
