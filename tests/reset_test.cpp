// Models, reset and the state each model's boot program hands over to the
// cartridge when the machine starts without a boot ROM image.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "core_test_support.h"

namespace {

// ---------------------------------------------------------------------------
// Post-boot state

TEST(HandOver, RegistersClocksAndHighRamPerModel) {
    const std::vector<u8> dmg0 = {0x39, 0x01, 0x73}, dmg = {0x39, 0x01, 0x2E}, sgb = {0x39, 0x01, 0xB2};
    const std::vector<u8> cgb = {0x71, 0x02, 0x4D, 0x01, 0xC1, 0xFF, 0x0D, 0x00, 0xD3, 0x05, 0xF9};
    const std::vector<u8> agb = {0x71, 0x02, 0x4D, 0x01, 0xC1, 0xFF, 0x0D, 0x00, 0xD3, 0x05, 0xF8};
    struct Row {
        const char* model;
        u8 cgb_flag;  // cartridge header byte 0x0143
        u16 af, bc, de, hl;
        u64 clock;
        const std::vector<u8>& residue;  // at FFFA (DMG class) or FFF2 (CGB class)
        u8 key0;                         // 0x80 and up: colour mode; 4: DMG-compatibility mode
    };
    const Row rows[] = {
        {"dmg0", 0x00, 0x0100, 0xFF13, 0x00C1, 0x8403, 24844328, dmg0, 0},
        {"dmgA", 0x00, 0x01B0, 0x0013, 0x00D8, 0x014D, 23440324, dmg, 0},
        {"dmgB", 0x00, 0x01B0, 0x0013, 0x00D8, 0x014D, 23440324, dmg, 0},
        {"dmgC", 0x80, 0x01B0, 0x0013, 0x00D8, 0x014D, 23440324, dmg, 0},  // a colour cartridge changes nothing
        {"mgb", 0x00, 0xFFB0, 0x0013, 0x00D8, 0x014D, 23440324, dmg, 0},
        {"sgb", 0x00, 0x0100, 0x0014, 0x0000, 0xC060, 1955912, sgb, 0},
        {"sgb2", 0xC0, 0xFF00, 0x0014, 0x0000, 0xC060, 1955912, sgb, 0},
        {"cgb0", 0x00, 0x1180, 0x0000, 0x0008, 0x007C, 13051504 + 524, cgb, 0x04},
        {"cgbA", 0x80, 0x1180, 0x0000, 0xFF56, 0x000D, 13049496, cgb, 0x80},
        {"cgbB", 0x00, 0x1180, 0x0000, 0x0008, 0x007C, 13051504, cgb, 0x04},
        {"cgbC", 0x80, 0x1180, 0x0000, 0xFF56, 0x000D, 13049496, cgb, 0x80},
        {"cgbD", 0x00, 0x1180, 0x0000, 0x0008, 0x007C, 13051504, cgb, 0x04},
        {"cgbE", 0xC0, 0x1180, 0x0000, 0xFF56, 0x000D, 13049496, cgb, 0xC0},
        {"cgbE", 0x7F, 0x1180, 0x0000, 0x0008, 0x007C, 13051504, cgb, 0x04},  // bit 7 alone decides
        {"agb0", 0x80, 0x1100, 0x0100, 0xFF56, 0x000D, 13049496 + 4, agb, 0x80},
        {"agb0", 0x00, 0x1100, 0x0100, 0x0008, 0x007C, 13051504 + 4, agb, 0x04},
        {"pokemon_stadium_2", 0x00, 0x1180, 0x0000, 0x0008, 0x007C, 13051504, cgb, 0x04},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.model << " flag " << std::hex << int(r.cgb_flag));
        auto gb = build_machine(patterned_rom(r.cgb_flag), r.model);
        const CPU& cpu = gb->cpu;
        EXPECT_EQ((std::array{cpu.af, cpu.bc, cpu.de, cpu.hl, cpu.sp, cpu.pc}),
                  (std::array<u16, 6>{r.af, r.bc, r.de, r.hl, 0xFFFE, 0x0100}));
        EXPECT_EQ(cpu.cpu_cycles, r.clock);
        EXPECT_EQ(cpu.cycles_4mhz, r.clock);
        EXPECT_FALSE(cpu.ime || cpu.halted || gb->boot_rom_mapped || gb->double_speed);
        EXPECT_EQ(gb->key0, r.key0);
        EXPECT_EQ(gb->opri, r.key0 >= 0x80 ? 1 : 0);
        EXPECT_EQ(gb->read_byte(REG_KEY0), 0xFF);  // the boot ROM is gone

        // The colour registers answer only in colour mode.
        const bool colour = r.key0 >= 0x80;
        EXPECT_EQ(gb->read_byte(REG_SVBK), colour ? 0x01 : 0xFF);
        EXPECT_EQ(gb->read_byte(REG_KEY1), colour ? 0x7E : 0xFF);
        EXPECT_EQ(gb->read_byte(REG_FF74), colour ? 0x00 : 0xFF);

        // The boot program's VBlank request waits, nothing is enabled.
        EXPECT_EQ(gb->read_byte(0xFF0F), 0xE1);
        EXPECT_EQ(gb->read_byte(0xFFFF), 0x00);
        EXPECT_EQ(cpu.pending_interrupts, 0x00);
        gb->write_byte(0xFFFF, INT_VBLANK);
        EXPECT_EQ(cpu.pending_interrupts, INT_VBLANK);

        // High RAM holds the boot program's leftovers; a colour boot program
        // also copied the header logo to FF80.
        const bool cgb_class = r.residue.size() == cgb.size();
        const int residue_at = cgb_class ? 0xFFF2 : 0xFFFA;
        for (int a = 0xFF80; a <= 0xFFFE; ++a) {
            u8 expected = 0x00;
            if (a >= residue_at && a < residue_at + int(r.residue.size()))
                expected = r.residue[a - residue_at];
            else if (cgb_class && a <= 0xFFAF)
                expected = rom_pattern(0x0104 + (a - 0xFF80));
            EXPECT_EQ(gb->read_byte(u16(a)), expected) << std::hex << "at " << a;
        }
    }
}

// ---------------------------------------------------------------------------
// Model selection

TEST(Models, ShortNamesMatchExactly) {
    const std::pair<const char*, int> rows[] = {
        {"auto", MODEL_AUTO}, {"dmg0", MODEL_DMG0}, {"sgb2", MODEL_SGB2}, {"cgbE", MODEL_CGBE},
        {"pokemon_stadium_2", MODEL_POKEMON_STADIUM_2},
        {"CGBE", -1}, {"Auto", -1}, {"cgb", -1}, {"", -1}, {"cgbE ", -1},
    };
    for (auto [name, index] : rows) {
        GB gb(1);
        gb.requested_device = MODEL_SGB;  // an earlier choice stays when the name is unknown
        EXPECT_EQ(gb.set_default_device_by_short_string(name), index >= 0) << name;
        EXPECT_EQ(gb.requested_device, index >= 0 ? index : int(MODEL_SGB)) << name;
    }
}

TEST(Models, AutoDetectionFollowsHeaderBitSeven) {
    const std::pair<u8, int> rows[] = {{0x80, MODEL_CGBE}, {0xC0, MODEL_CGBE}, {0x7F, MODEL_DMGC}, {0x40, MODEL_DMGC}};
    for (auto [flag, device] : rows) {
        auto gb = build_machine(patterned_rom(flag), "auto");
        EXPECT_EQ(gb->device, device) << int(flag);
        EXPECT_EQ(gb->is_cgb, device == MODEL_CGBE) << int(flag);
        EXPECT_EQ(gb->requested_device, MODEL_AUTO);  // asked again at the next reset
    }
    // The defaults it picks from are configurable.
    TestMachine d(patterned_rom(0x00), "auto");
    d.gb->default_dmg_device = MODEL_MGB;
    d.gb->reset();
    EXPECT_EQ(d.gb->device, MODEL_MGB);
    EXPECT_EQ(d.gb->cpu.af, 0xFFB0);
    d.gb->default_cgb_device = MODEL_CGBA;
    const RomImage colour = patterned_rom(0x80);
    d.gb->cartridge.load_rom_from_memory("colour.gb", colour.bytes.data(), int(colour.bytes.size()));
    d.gb->reset();
    EXPECT_EQ(d.gb->device, MODEL_CGBA);
}

// The header byte is read from the cartridge itself: an OAM DMA holding the
// external bus at the moment of the reset does not fool the detection.
TEST(Models, AutoDetectionReadsTheCartridgeNotTheBus) {
    TestMachine m(patterned_rom(0x00), "auto");
    m.gb->dma.oam_dma_bus_state = 1;
    m.gb->dma.oam_dma_byte = 0x80;
    m.gb->reset();
    EXPECT_EQ(m.gb->device, MODEL_DMGC);
}

// ---------------------------------------------------------------------------
// Boot ROM start

TEST(BootRomStart, RunsTheModelsOwnSlotOnly) {
    struct Row {
        const char* model;
        std::vector<const char*> loaded;
        bool use_boot_roms;
        bool runs_boot_rom;
    };
    const Row rows[] = {
        {"cgbE", {"cgb"}, true, true}, {"cgb0", {"cgb"}, true, false}, {"cgb0", {"cgb0"}, true, true},
        {"cgbA", {"cgb0", "agb"}, true, false}, {"agb0", {"cgb"}, true, false}, {"agb0", {"agb"}, true, true},
        {"pokemon_stadium_2", {"cgb"}, true, false}, {"pokemon_stadium_2", {"pokemon_stadium_2"}, true, true},
        {"dmg0", {"dmg"}, true, false}, {"dmgA", {"dmg"}, true, true}, {"mgb", {"mgb"}, true, true},
        {"sgb", {"sgb2"}, true, false}, {"sgb2", {"sgb2"}, true, true}, {"cgbE", {"cgb"}, false, false},
        {"pokemon_stadium_2", {"pokemon_stadium_2"}, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.model << " with " << r.loaded[0] << " use " << r.use_boot_roms);
        auto gb = std::make_unique<GB>(1);
        const RomImage rom = patterned_rom(0x80);
        gb->cartridge.load_rom_from_memory("test.gb", rom.bytes.data(), int(rom.bytes.size()));
        ASSERT_TRUE(gb->set_default_device_by_short_string(r.model));
        for (const char* slot : r.loaded) install_boot_image(*gb, slot);
        gb->use_boot_roms = r.use_boot_roms;
        gb->reset();
        EXPECT_TRUE(gb->running);
        EXPECT_EQ(gb->boot_rom_mapped, r.runs_boot_rom);
        if (r.runs_boot_rom) {
            // The CPU sits at the reset vector inside the mapped image, with
            // KEY0 clear.
            EXPECT_EQ(gb->cpu.pc, 0x0000);
            EXPECT_EQ(gb->cpu.cpu_cycles, 0u);
            EXPECT_EQ(gb->cpu.cycles_4mhz, 0u);
            EXPECT_EQ(gb->read_byte(0xFF0F), 0xE0);
            EXPECT_EQ(gb->read_byte(0x0000), boot_image_byte(boot_slot_of(r.model), 0x0000));
            EXPECT_EQ(gb->read_byte(REG_KEY0), gb->is_cgb ? 0x00 : 0xFF);
        } else {
            EXPECT_EQ(gb->cpu.pc, 0x0100);
            EXPECT_EQ(gb->read_byte(0xFF0F), 0xE1);
            EXPECT_EQ(gb->read_byte(0x0000), rom_pattern(0x0000));
            // The header copy comes from the cartridge even where a loaded but
            // unused image would overlay it.
            for (int i = 0; i < 48 && gb->is_cgb; ++i)
                EXPECT_EQ(gb->read_byte(u16(0xFF80 + i)), rom_pattern(0x0104 + i)) << i;
        }
    }
}

// ---------------------------------------------------------------------------
// What reset clears and what it keeps

TEST(Reset, FillsTheMemoriesWithTheirPowerOnValues) {
    for (const char* model : {"dmgB", "cgbE"}) {
        SCOPED_TRACE(model);
        // With a boot image the machine stops right after the clear, so the
        // memories show exactly what reset left in them.
        auto gb = build_machine(patterned_rom(0x80), model, {boot_slot_of(model)});
        gb->vram.fill(0x77);
        gb->wram.fill(0x77);
        gb->oam.fill(0x77);
        gb->io_page.fill(0x77);
        gb->reset();
        ASSERT_TRUE(gb->boot_rom_mapped);
        for (size_t i = 0; i < gb->wram.size(); ++i) ASSERT_EQ(gb->wram[i], 0xFF) << i;
        for (size_t i = 0; i < gb->vram.size(); ++i) ASSERT_EQ(gb->vram[i], 0x00) << i;
        for (size_t i = 0; i < gb->oam.size(); ++i) ASSERT_EQ(gb->oam[i], 0x00) << i;
        for (size_t i = 0; i < gb->io_page.size(); ++i) ASSERT_EQ(gb->io_page[i], 0x00) << i;
    }
}

TEST(Reset, KeepsTheRecordedInputAndSnapshotsButStopsReplay) {
    TestMachine m(patterned_rom(), "dmgB");
    const GB::JoypadState input{0x81, 1234};
    const auto snapshot = std::make_shared<GB::SavedState>(GB::SavedState{0x100000, "state"});
    m.gb->joypad_states.push_back(input);
    m.gb->saved_states.push_back(snapshot);
    m.gb->replay_mode = m.gb->turbo_run = true;
    m.gb->replay_index = 1;
    m.gb->reset();
    EXPECT_EQ(m.gb->joypad_states, std::vector{input});
    EXPECT_EQ(m.gb->saved_states, std::vector{snapshot});
    EXPECT_FALSE(m.gb->replay_mode);
    EXPECT_EQ(m.gb->replay_index, 0u);
    EXPECT_FALSE(m.gb->turbo_run);
}

TEST(Reset, PutsTheColourRegistersBackToPowerOn) {
    TestMachine m(patterned_rom(0x80), "cgbE");
    GB& gb = *m.gb;
    for (u16 reg : {REG_SVBK, REG_VBK, REG_KEY1, REG_FF72, REG_FF73, REG_FF74, REG_FF75}) gb.write_byte(reg, 0x75);
    gb.set_double_speed(true);
    gb.ppu_phase_shift = true;
    gb.spare_byte = 9;
    gb.reset();
    const std::pair<u16, u8> power_on[] = {{REG_SVBK, 0x01}, {REG_VBK, 0xFE},  {REG_KEY1, 0x7E}, {REG_FF72, 0x00},
                                           {REG_FF73, 0x00}, {REG_FF74, 0x00}, {REG_FF75, 0x8F}};
    for (auto [reg, value] : power_on) EXPECT_EQ(gb.read_byte(reg), value) << std::hex << reg;
    EXPECT_FALSE(gb.ppu_phase_shift);
    EXPECT_EQ(gb.spare_byte, 0);
    // The bank windows follow the registers.
    ppu_idle(gb);
    gb.write_byte(0xD000, 0x31);
    gb.write_byte(0x8000, 0x32);
    EXPECT_EQ(gb.wram[0x1000], 0x31);
    EXPECT_EQ(gb.vram[0x0000], 0x32);
}

// What LCDC bit 0 does not control is set at power-on so that it hides
// nothing: on a CGB in colour mode, where the bit only takes the background's
// priority away, the background shows (the boot program's logo); on DMG,
// where the bit switches the background, a sprite behind the background
// stays behind it. A boot program starts from these.
TEST(Reset, BackgroundShowsFromPowerOnOnEachFamily) {
    struct Row {
        const char* model;
        const char* slot;
        u8 lcdc;
        int colour;  // index into the machine's mapped colours
    };
    const Row rows[] = {{"cgbE", "cgb", 0x90, 3}, {"cgbE", "cgb", 0x91, 3}, {"cgbC", "cgb", 0x90, 3},
                        {"dmgB", "dmg", 0x93, 64 + 3}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.model << " LCDC " << std::hex << int(r.lcdc));
        auto gb = build_machine(patterned_rom(0x80), r.model, {r.slot});
        ASSERT_TRUE(gb->boot_rom_mapped);
        // Every map entry is tile 0: colour 3 throughout. Sprite 0 (tile 1,
        // colour 1) sits behind the background in the top-left corner.
        for (int i = 0; i < 16; ++i) gb->vram[size_t(i)] = 0xFF;
        for (int i = 16; i < 32; i += 2) gb->vram[size_t(i)] = 0xFF;
        gb->oam[0] = 16;
        gb->oam[1] = 8;
        gb->oam[2] = 1;
        gb->oam[3] = 0x80;
        gb->write_byte(REG_BGP, 0xE4);
        gb->write_byte(REG_OBP0, 0xE4);
        gb->write_byte(REG_BCPS, 0x86);  // palette 0, colour 3, auto-increment
        gb->write_byte(REG_BCPD, 0x1F);
        gb->write_byte(REG_BCPD, 0x00);
        gb->write_byte(REG_LCDC, r.lcdc);
        for (int i = 0; i < 2 * PPU::FRAME_CYCLES; ++i) gb->cpu.t_cycle_4mhz();
        const u32 expected = gb->ppu.mapped_colors[size_t(r.colour)];
        EXPECT_EQ(gb->ppu.frame_buffer[0], expected) << "under the sprite";
        EXPECT_EQ(gb->ppu.frame_buffer[80 * PPU::SCREEN_WIDTH + 80], expected);
    }
}

TEST(Reset, WithoutACartridgeNothingStartsOrRuns) {
    GB gb(1);
    ASSERT_TRUE(gb.set_default_device_by_short_string("dmgB"));
    gb.reset();
    gb.run_frame();
    gb.run_turbo_to_cycle(1000, false);
    EXPECT_FALSE(gb.running);
    EXPECT_EQ(gb.device, MODEL_CGBE);  // the construction value
    EXPECT_EQ(gb.cpu.cpu_cycles, 0u);
    EXPECT_EQ(gb.cpu.pc, 0x0000);
    EXPECT_EQ(gb.current_boot_rom, nullptr);
    const RomImage rom = patterned_rom();
    gb.cartridge.load_rom_from_memory("test.gb", rom.bytes.data(), int(rom.bytes.size()));
    gb.reset();
    const u64 start = gb.cpu.cpu_cycles;
    gb.run_frame();
    EXPECT_GT(gb.cpu.cpu_cycles, start);
}

// Once the cartridge is gone (shut down, or a load that failed after a good
// one) the machine does not run another cycle: its bank controller would
// read a ROM that has been freed.
TEST(Reset, NothingRunsOnceTheCartridgeIsGone) {
    enum Way { Shutdown, FailedLoad };
    for (Way way : {Shutdown, FailedLoad}) {
        SCOPED_TRACE(int(way));
        TestMachine m(patterned_rom());
        m.step(10);
        if (way == Shutdown) {
            m.gb->shutdown();
        } else {
            std::string error;
            ASSERT_FALSE(m.gb->cartridge.try_load_rom("/nonexistent/zembrix/game.gb", error));
            m.gb->reset();
        }
        const u64 cycles = m.gb->cpu.cpu_cycles;
        const u16 pc = m.gb->cpu.pc;
        m.step(10);
        m.gb->run_frame();
        m.gb->run_turbo_to_cycle(cycles + 100000, false);
        EXPECT_EQ(m.gb->cpu.cpu_cycles, cycles);
        EXPECT_EQ(m.gb->cpu.pc, pc);
    }
}

}  // namespace
