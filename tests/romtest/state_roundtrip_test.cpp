// Save states over the public test ROMs: a machine saved at any instruction
// boundary and loaded into a new machine goes on exactly as the machine that
// was never stopped. Each ROM runs once uninterrupted to a final frame; then
// for each kind of moment (a frame start, the middle of mode 3, an OAM DMA in
// flight, an HBlank DMA between blocks, just before and after a speed switch,
// inside HALT, a register effect still queued in the picture unit, a joypad
// interrupt armed) a second machine runs to the first such moment, is saved,
// a third machine loads the state and runs to the same final cycle. State
// strings and pictures must be byte for byte the same.
#include <gtest/gtest.h>

#include "../state_compare.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "core/gb.h"
#include "romtest.h"

namespace {

constexpr u64 FRAME = 70224;

// Joypad input by frame, read off the machine's own clock so that every
// machine of a case sees the same presses at the same cycles.
struct TimedHost : Host {
    GB* gb = nullptr;
    u64 start = 0;
    std::vector<romtest::Press> presses;
    void update_display(const u32*) override {}
    u8 get_joypad_state() override {
        const int frame = int((gb->cpu.cycles_4mhz - start) / FRAME);
        u8 state = 0;
        for (const auto& p : presses)
            if (frame >= p.frame && frame - p.frame < romtest::PRESS_HOLD_FRAMES) state |= p.buttons;
        return state;
    }
};

struct Machine {
    GB gb;
    TimedHost host;
    Machine(const std::vector<u8>& rom, const std::string& model, const std::vector<romtest::Press>& presses) {
        gb.set_default_device_by_short_string(model);
        gb.use_boot_roms = false;
        gb.player_turbo = true;
        host.gb = &gb;
        host.presses = presses;
        gb.host = &host;
        gb.cartridge.load_rom_from_memory("rom.gb", rom.data(), int(rom.size()));
        gb.reset();
        host.start = gb.cpu.cycles_4mhz;
    }
};

// The moments at which a state is taken; each must come up in at least one case.
enum Moment { FrameStart, MidMode3, MidOamDma, MidHblankDma, BeforeSpeedSwitch, AfterSpeedSwitch, InHalt,
              HaltDeciding, TimaReloading, SweepPending, EffectQueued, JoypadArmed, MOMENT_COUNT };
const char* const MOMENT_NAMES[MOMENT_COUNT] = {
    "frame start", "mid mode 3", "mid OAM DMA", "mid HBlank DMA", "before a speed switch",
    "after a speed switch", "inside HALT", "HALT still deciding", "TIMA reload under way", "sweep update pending",
    "register effect queued", "joypad interrupt armed"};

bool at_moment(Moment m, const GB& gb, bool speed_before) {
    switch (m) {
        case FrameStart: return true;
        case MidMode3: {
            const int c = gb.ppu.get_scanline_cycle_count();
            return gb.ppu.lcd_enabled && gb.ppu.mode == 3 && c >= 100 && c <= 200;
        }
        case MidOamDma: return gb.dma.oam_dma_started && gb.dma.oam_dma_bytes_left > 10 && gb.dma.oam_dma_bytes_left < 150;
        case MidHblankDma: return gb.dma.hblank_dma_active && gb.dma.hdma_bytes_left > 0 && gb.ppu.lcd_enabled;
        case BeforeSpeedSwitch:
            return gb.speed_switch_armed && const_cast<GB&>(gb).read_byte_unrestricted(gb.cpu.pc) == 0x10;
        case AfterSpeedSwitch: return gb.double_speed != speed_before;
        case InHalt: return gb.cpu.halted;
        case HaltDeciding: return gb.cpu.halt_entered;
        case TimaReloading: return gb.timer.overflow_countdown != 0;
        case SweepPending: return gb.audio.channel1->sweep_clock_due != NEVER || gb.audio.channel1->sweep_stop_due != NEVER;
        case EffectQueued: return gb.ppu.pending_delayed_updates() > 0;
        case JoypadArmed: return gb.joypad.interrupt_pending != 0;
        default: return false;
    }
}

struct Case {
    const char* rom;  // a ROM of the public suites, or a name of PROGRAMS below
    const char* model;
    int frames;  // the final frame
    int search_from = -1;  // the frame moments are looked for from; -1: a third of the run
    std::vector<romtest::Press> presses = {};
};

// A 32 KiB CGB cartridge image with `program` at the entry point.
std::vector<u8> cgb_program(const std::vector<u8>& program) {
    std::vector<u8> rom(0x8000, 0x00);
    std::copy(program.begin(), program.end(), rom.begin() + 0x0100);
    rom[0x0143] = 0x80;
    return rom;
}

// Programs for moments no public test ROM reaches with the LCD on.
const std::map<std::string, std::vector<u8>> PROGRAMS = {
    // HBlank DMA of 8 blocks from C000 to 8000, again and again.
    {"hblank-dma", cgb_program({0x3E, 0xC0, 0xE0, 0x51, 0xAF, 0xE0, 0x52, 0x3E, 0x80, 0xE0, 0x53, 0xAF, 0xE0, 0x54,
                                0x3E, 0x87, 0xE0, 0x55,              // loop: HDMA5 = 87
                                0xF0, 0x55, 0xFE, 0xFF, 0x20, 0xFA,  // wait until FF55 reads FF
                                0x18, 0xF4})},
    // A speed switch after every few instructions.
    {"speed-switch", cgb_program({0x3E, 0x01, 0xE0, 0x4D, 0x10, 0x00, 0x00, 0x18, 0xF7})},
};

const Case CASES[] = {
    {"blargg/cpu_instrs/cpu_instrs.gb", "dmgB", 150},
    {"blargg/cpu_instrs/cpu_instrs.gb", "cgbE", 150},
    {"blargg/halt_bug.gb", "dmgC", 100},
    {"blargg/dmg_sound/rom_singles/03-trigger.gb", "dmgC", 240},
    {"blargg/dmg_sound/rom_singles/05-sweep details.gb", "dmgC", 120},
    {"blargg/cgb_sound/rom_singles/09-wave read while on.gb", "cgbE", 200},
    {"blargg/oam_bug/rom_singles/2-causes.gb", "dmgC", 120},
    {"blargg/mem_timing/mem_timing.gb", "cgbE", 120},
    {"mooneye-test-suite/acceptance/oam_dma_timing.gb", "dmgB", 30},
    {"mooneye-test-suite/acceptance/timer/tima_reload.gb", "dmgB", 30, 0},
    {"mooneye-test-suite/acceptance/halt_ime1_timing.gb", "dmgB", 30},
    {"mooneye-test-suite/acceptance/ppu/intr_2_mode0_timing_sprites.gb", "cgbE", 60},
    {"gbmicrotest/bin/hblank_int_scx3.gb", "dmgB", 20},
    {"same-suite/dma/gbc_dma_cont.gb", "cgbE", 60},
    {"same-suite/apu/channel_1/channel_1_nrx2_speed_change.gb", "cgbE", 60},
    {"age-test-roms/speed-switch/spsw-mode0-cgbBCE.gb", "cgbE", 60},
    {"age-test-roms/halt/halt-m0-interrupt-dmgC-cgbBCE.gb", "dmgC", 60},
    {"mealybug-tearoom-tests/m3_lcdc_obj_size_change.gb", "cgbE", 30},
    {"mealybug-tearoom-tests/m3_wx_4_change_sprites.gb", "dmgB", 30},
    {"dmg-acid2/dmg-acid2.gb", "cgbE", 40},
    {"cgb-acid2/cgb-acid2.gbc", "cgbE", 40},
    {"bully/bully.gb", "dmgB", 30},
    {"rtc3test/rtc3test.gb", "cgbE", 200, 70, {{75, 0x10}}},
    {"age-test-roms/speed-switch/spsw-ch2-lc-delay-cgbBCE.gb", "cgbE", 200, 185},
    {"hblank-dma", "cgbE", 30},
    {"speed-switch", "cgbE", 30},
};

const char* rom_folder() { return std::getenv("ZEMBRIX_TEST_ROMS"); }

std::vector<u8> read_rom(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(StateRoundTrip, EveryKindOfMomentContinuesExactlyOnPublicTestRoms) {
    if (!rom_folder()) GTEST_SKIP() << "ZEMBRIX_TEST_ROMS is not set";
    std::map<Moment, int> seen;
    for (const Case& c : CASES) {
        const std::string path = std::string(rom_folder()) + "/" + c.rom;
        SCOPED_TRACE(std::string(c.rom) + " on " + c.model);
        const auto program = PROGRAMS.find(c.rom);
        const std::vector<u8> rom = program != PROGRAMS.end() ? program->second : read_rom(path);
        ASSERT_FALSE(rom.empty()) << "cannot read " << path;

        // The uninterrupted run keeps its state at the first instruction
        // boundary of every frame, so that a difference that later evens out
        // (a different random delay, an interrupt a few cycles off) shows too.
        Machine uninterrupted(rom, c.model, c.presses);
        const u64 start = uninterrupted.host.start;
        const u64 end = start + u64(c.frames) * FRAME;
        std::vector<std::pair<u64, size_t>> checkpoints;  // cycle, digest of the state
        auto run_to_end = [&](GB& gb, auto&& at_checkpoint) {
            u64 next = start + ((gb.cpu.cycles_4mhz - start) / FRAME + 1) * FRAME;
            while (gb.cpu.cycles_4mhz < end) {
                gb.run_single_instruction();
                if (gb.cpu.cycles_4mhz >= next && gb.cpu.cycles_4mhz < end) {
                    at_checkpoint(gb);
                    next = start + ((gb.cpu.cycles_4mhz - start) / FRAME + 1) * FRAME;
                }
            }
        };
        run_to_end(uninterrupted.gb, [&](GB& gb) {
            checkpoints.emplace_back(gb.cpu.cycles_4mhz, std::hash<std::string>{}(gb.save_state()));
        });
        const std::string final_state = uninterrupted.gb.save_state();

        for (int m = 0; m < MOMENT_COUNT; ++m) {
            const Moment moment = Moment(m);
            SCOPED_TRACE(MOMENT_NAMES[m]);
            // Moments are looked for from a third of the run on, so that the
            // program is well under way; a frame start is taken at that frame.
            Machine first(rom, c.model, c.presses);
            const u64 from = first.host.start + u64(c.search_from >= 0 ? c.search_from : c.frames / 3) * FRAME;
            while (first.gb.cpu.cycles_4mhz < from) first.gb.run_single_instruction();
            bool found = at_moment(moment, first.gb, first.gb.double_speed);
            while (!found && first.gb.cpu.cycles_4mhz < end - 2 * FRAME) {
                const bool speed_before = first.gb.double_speed;
                first.gb.run_single_instruction();
                found = at_moment(moment, first.gb, speed_before);
            }
            if (!found) continue;
            ++seen[moment];
            const std::string saved = first.gb.save_state();

            Machine second(rom, c.model, c.presses);
            std::string error;
            ASSERT_TRUE(second.gb.load_state(saved, &error)) << error;
            ASSERT_TRUE(same_state(second.gb.save_state(), saved));
            int diverged = -1;
            run_to_end(second.gb, [&](GB& gb) {
                const auto at = std::find_if(checkpoints.begin(), checkpoints.end(),
                                             [&](const auto& p) { return p.first == gb.cpu.cycles_4mhz; });
                if (diverged < 0 && (at == checkpoints.end() || at->second != std::hash<std::string>{}(gb.save_state())))
                    diverged = int((gb.cpu.cycles_4mhz - start) / FRAME);
            });
            EXPECT_EQ(diverged, -1) << "the states first differ at frame " << diverged;
            ASSERT_EQ(second.gb.cpu.cycles_4mhz, uninterrupted.gb.cpu.cycles_4mhz);
            EXPECT_TRUE(second.gb.save_state() == final_state) << "state strings differ";
            EXPECT_TRUE(second.gb.ppu.frame_buffer == uninterrupted.gb.ppu.frame_buffer) << "pictures differ";
        }
    }
    for (int m = 0; m < MOMENT_COUNT; ++m) EXPECT_GT(seen[Moment(m)], 0) << "never reached: " << MOMENT_NAMES[m];
}
