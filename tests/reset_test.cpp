// Models, reset and the state each model's boot program hands over to the
// cartridge when the machine starts without a boot ROM image.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "core_test_support.h"

namespace {

// ---------------------------------------------------------------------------
// Post-boot state

struct HandOver {
    const char* model;
    u8 cgb_flag;  // cartridge header byte 0x0143
    u16 af, bc, de, hl;
    u64 clock;
    u16 residue_at;
    std::vector<u8> residue;
    u8 key0;
    u8 opri;
    bool cgb_registers;  // SVBK and friends still answer after the hand-over
};

const std::vector<u8> DMG0_RESIDUE = {0x39, 0x01, 0x73};
const std::vector<u8> DMG_RESIDUE = {0x39, 0x01, 0x2E};
const std::vector<u8> SGB_RESIDUE = {0x39, 0x01, 0xB2};
const std::vector<u8> CGB_RESIDUE = {0x71, 0x02, 0x4D, 0x01, 0xC1, 0xFF, 0x0D, 0x00, 0xD3, 0x05, 0xF9};
const std::vector<u8> AGB_RESIDUE = {0x71, 0x02, 0x4D, 0x01, 0xC1, 0xFF, 0x0D, 0x00, 0xD3, 0x05, 0xF8};

const HandOver HAND_OVERS[] = {
    {"dmg0", 0x00, 0x0100, 0xFF13, 0x00C1, 0x8403, 24844328, 0xFFFA, DMG0_RESIDUE, 0, 0, false},
    {"dmgA", 0x00, 0x01B0, 0x0013, 0x00D8, 0x014D, 23440324, 0xFFFA, DMG_RESIDUE, 0, 0, false},
    {"dmgB", 0x00, 0x01B0, 0x0013, 0x00D8, 0x014D, 23440324, 0xFFFA, DMG_RESIDUE, 0, 0, false},
    {"dmgC", 0x00, 0x01B0, 0x0013, 0x00D8, 0x014D, 23440324, 0xFFFA, DMG_RESIDUE, 0, 0, false},
    // A DMG runs a colour cartridge exactly like any other.
    {"dmgC", 0x80, 0x01B0, 0x0013, 0x00D8, 0x014D, 23440324, 0xFFFA, DMG_RESIDUE, 0, 0, false},
    {"mgb", 0x00, 0xFFB0, 0x0013, 0x00D8, 0x014D, 23440324, 0xFFFA, DMG_RESIDUE, 0, 0, false},
    {"sgb", 0x00, 0x0100, 0x0014, 0x0000, 0xC060, 1955912, 0xFFFA, SGB_RESIDUE, 0, 0, false},
    {"sgb2", 0xC0, 0xFF00, 0x0014, 0x0000, 0xC060, 1955912, 0xFFFA, SGB_RESIDUE, 0, 0, false},

    {"cgb0", 0x80, 0x1180, 0x0000, 0xFF56, 0x000D, 13049496 + 524, 0xFFF2, CGB_RESIDUE, 0x80, 1, true},
    {"cgbA", 0x80, 0x1180, 0x0000, 0xFF56, 0x000D, 13049496, 0xFFF2, CGB_RESIDUE, 0x80, 1, true},
    {"cgbB", 0x80, 0x1180, 0x0000, 0xFF56, 0x000D, 13049496, 0xFFF2, CGB_RESIDUE, 0x80, 1, true},
    {"cgbC", 0x80, 0x1180, 0x0000, 0xFF56, 0x000D, 13049496, 0xFFF2, CGB_RESIDUE, 0x80, 1, true},
    {"cgbD", 0x80, 0x1180, 0x0000, 0xFF56, 0x000D, 13049496, 0xFFF2, CGB_RESIDUE, 0x80, 1, true},
    {"cgbE", 0x80, 0x1180, 0x0000, 0xFF56, 0x000D, 13049496, 0xFFF2, CGB_RESIDUE, 0x80, 1, true},
    {"cgbE", 0xC0, 0x1180, 0x0000, 0xFF56, 0x000D, 13049496, 0xFFF2, CGB_RESIDUE, 0xC0, 1, true},
    {"agb0", 0x80, 0x1100, 0x0100, 0xFF56, 0x000D, 13049496 + 4, 0xFFF2, AGB_RESIDUE, 0x80, 1, true},
    {"pokemon_stadium_2", 0x80, 0x1180, 0x0000, 0xFF56, 0x000D, 13049496, 0xFFF2, CGB_RESIDUE, 0x80, 1, true},

    {"cgb0", 0x00, 0x1180, 0x0000, 0x0008, 0x007C, 13051504 + 524, 0xFFF2, CGB_RESIDUE, 0x04, 0, false},
    {"cgbA", 0x00, 0x1180, 0x0000, 0x0008, 0x007C, 13051504, 0xFFF2, CGB_RESIDUE, 0x04, 0, false},
    {"cgbB", 0x00, 0x1180, 0x0000, 0x0008, 0x007C, 13051504, 0xFFF2, CGB_RESIDUE, 0x04, 0, false},
    {"cgbC", 0x00, 0x1180, 0x0000, 0x0008, 0x007C, 13051504, 0xFFF2, CGB_RESIDUE, 0x04, 0, false},
    {"cgbD", 0x00, 0x1180, 0x0000, 0x0008, 0x007C, 13051504, 0xFFF2, CGB_RESIDUE, 0x04, 0, false},
    {"cgbE", 0x00, 0x1180, 0x0000, 0x0008, 0x007C, 13051504, 0xFFF2, CGB_RESIDUE, 0x04, 0, false},
    // A monochrome header with other bits set still counts as monochrome.
    {"cgbE", 0x7F, 0x1180, 0x0000, 0x0008, 0x007C, 13051504, 0xFFF2, CGB_RESIDUE, 0x04, 0, false},
    {"agb0", 0x00, 0x1100, 0x0100, 0x0008, 0x007C, 13051504 + 4, 0xFFF2, AGB_RESIDUE, 0x04, 0, false},
    {"pokemon_stadium_2", 0x00, 0x1180, 0x0000, 0x0008, 0x007C, 13051504, 0xFFF2, CGB_RESIDUE, 0x04, 0, false},
};

class HandOverState : public testing::TestWithParam<HandOver> {};

TEST_P(HandOverState, RegistersAndClocksAtTheCartridgeEntry) {
    const HandOver& h = GetParam();
    auto gb = build_machine(patterned_rom(h.cgb_flag), h.model);
    const CPU& cpu = gb->cpu;
    EXPECT_EQ(cpu.af, h.af);
    EXPECT_EQ(cpu.bc, h.bc);
    EXPECT_EQ(cpu.de, h.de);
    EXPECT_EQ(cpu.hl, h.hl);
    EXPECT_EQ(cpu.sp, 0xFFFE);
    EXPECT_EQ(cpu.pc, 0x0100);
    EXPECT_EQ(cpu.cpu_cycles, h.clock);
    EXPECT_EQ(cpu.cycles_4mhz, h.clock);
    EXPECT_EQ(cpu.ime, 0);
    EXPECT_FALSE(cpu.halted);
    EXPECT_FALSE(gb->boot_rom_mapped);
    EXPECT_FALSE(gb->double_speed);
}

TEST_P(HandOverState, VBlankRequestWaitsAndNothingIsEnabled) {
    const HandOver& h = GetParam();
    auto gb = build_machine(patterned_rom(h.cgb_flag), h.model);
    EXPECT_EQ(gb->read_byte(0xFF0F), 0xE1);
    EXPECT_EQ(gb->read_byte(0xFFFF), 0x00);
    EXPECT_EQ(gb->cpu.pending_interrupts, 0x00);
    // Enabling VBlank finds the boot program's request still there.
    gb->write_byte(0xFFFF, INT_VBLANK);
    EXPECT_EQ(gb->cpu.pending_interrupts, INT_VBLANK);
}

TEST_P(HandOverState, HighRamHoldsTheBootProgramsLeftovers) {
    const HandOver& h = GetParam();
    auto gb = build_machine(patterned_rom(h.cgb_flag), h.model);
    const bool cgb_class = h.residue_at == 0xFFF2;
    for (int a = 0xFF80; a <= 0xFFFE; ++a) {
        u8 expected = 0x00;
        if (a >= h.residue_at && a < h.residue_at + int(h.residue.size()))
            expected = h.residue[a - h.residue_at];
        else if (cgb_class && a <= 0xFFAF)
            expected = rom_pattern(0x0104 + (a - 0xFF80));  // the header copy
        EXPECT_EQ(gb->read_byte(u16(a)), expected) << std::hex << "at " << a;
    }
}

TEST_P(HandOverState, ColourModeRegisters) {
    const HandOver& h = GetParam();
    auto gb = build_machine(patterned_rom(h.cgb_flag), h.model);
    EXPECT_EQ(gb->key0, h.key0);
    EXPECT_EQ(gb->opri, h.opri);
    // The boot ROM is gone, so KEY0 is locked away on every model.
    EXPECT_EQ(gb->read_byte(REG_KEY0), 0xFF);
    if (h.cgb_registers) {
        EXPECT_EQ(gb->read_byte(REG_SVBK), 0x01);
        EXPECT_EQ(gb->read_byte(REG_KEY1), 0x7E);
        EXPECT_EQ(gb->read_byte(REG_FF74), 0x00);
    } else {
        // DMG hardware, or CGB hardware switched into DMG-compatibility mode.
        EXPECT_EQ(gb->read_byte(REG_SVBK), 0xFF);
        EXPECT_EQ(gb->read_byte(REG_KEY1), 0xFF);
        EXPECT_EQ(gb->read_byte(REG_FF74), 0xFF);
        EXPECT_EQ(gb->read_byte(REG_OPRI), 0xFF);
    }
}

std::string hand_over_name(const testing::TestParamInfo<HandOver>& info) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s_flag%02X", info.param.model, info.param.cgb_flag);
    return buffer;
}

INSTANTIATE_TEST_SUITE_P(AllModels, HandOverState, testing::ValuesIn(HAND_OVERS), hand_over_name);

TEST(HandOverExtras, DmgCompatibilityLeavesVramBankAndTheUndocumentedRegisters) {
    auto gb = build_machine(patterned_rom(0x00), "cgbC");
    EXPECT_EQ(gb->read_byte(REG_VBK), 0xFE);
    gb->write_byte(REG_VBK, 0x01);  // locked by KEY0 = 4
    EXPECT_EQ(gb->read_byte(REG_VBK), 0xFE);
    ppu_idle(*gb);
    gb->write_byte(0x8000, 0x5C);
    EXPECT_EQ(gb->vram[0x0000], 0x5C);
    EXPECT_EQ(gb->vram[0x2000], 0x00);
    gb->write_byte(REG_FF72, 0x12);
    gb->write_byte(REG_FF73, 0x34);
    gb->write_byte(REG_FF75, 0x00);
    EXPECT_EQ(gb->read_byte(REG_FF72), 0x12);
    EXPECT_EQ(gb->read_byte(REG_FF73), 0x34);
    EXPECT_EQ(gb->read_byte(REG_FF75), 0x8F);
}

// The header copy comes from the cartridge even when a boot image that would
// overlay those addresses sits loaded but unused.
TEST(HandOverExtras, HeaderCopyIgnoresAnUnusedBootImage) {
    for (const char* model : {"pokemon_stadium_2", "cgbE"}) {
        SCOPED_TRACE(model);
        auto gb = std::make_unique<GB>(1);
        const RomImage rom = patterned_rom(0x80);
        gb->cartridge.load_rom_from_memory("test.gb", rom.bytes.data(), int(rom.bytes.size()));
        ASSERT_TRUE(gb->set_default_device_by_short_string(model));
        install_boot_image(*gb, boot_slot_of(model));
        gb->use_boot_roms = false;
        gb->reset();
        EXPECT_EQ(gb->cpu.pc, 0x0100);
        EXPECT_EQ(gb->key0, 0x80);
        for (int i = 0; i < 48; ++i) EXPECT_EQ(gb->read_byte(u16(0xFF80 + i)), rom_pattern(0x0104 + i)) << i;
    }
}

// ---------------------------------------------------------------------------
// Model selection

struct ShortName {
    const char* name;
    bool known;
    int index;
};

const ShortName SHORT_NAMES[] = {
    {"auto", true, 0},          {"dmg0", true, 1},  {"dmgA", true, 2},  {"dmgB", true, 3},
    {"dmgC", true, 4},          {"mgb", true, 5},   {"sgb", true, 6},   {"sgb2", true, 7},
    {"cgb0", true, 8},          {"cgbA", true, 9},  {"cgbB", true, 10}, {"cgbC", true, 11},
    {"cgbD", true, 12},         {"cgbE", true, 13}, {"agb0", true, 14}, {"pokemon_stadium_2", true, 15},
    {"CGBE", false, 0},         {"cgbe", false, 0}, {"dmgc", false, 0}, {"DMGC", false, 0},
    {"Auto", false, 0},         {"MGB", false, 0},  {"agb", false, 0},  {"cgb", false, 0},
    {"", false, 0},             {"cgbE ", false, 0}, {"Pokemon_Stadium_2", false, 0},
    {"CPU CGB E", false, 0},
};

class ModelByShortName : public testing::TestWithParam<ShortName> {};

TEST_P(ModelByShortName, MatchesExactlyOrLeavesTheRequest) {
    const ShortName& s = GetParam();
    GB gb(1);
    gb.requested_device = MODEL_SGB;  // an earlier choice
    EXPECT_EQ(gb.set_default_device_by_short_string(s.name), s.known);
    EXPECT_EQ(gb.requested_device, s.known ? s.index : int(MODEL_SGB));
}

INSTANTIATE_TEST_SUITE_P(Names, ModelByShortName, testing::ValuesIn(SHORT_NAMES));

struct AutoPick {
    u8 cgb_flag;
    int device;
};

class AutoDetect : public testing::TestWithParam<AutoPick> {};

TEST_P(AutoDetect, HeaderColourBitPicksTheDefaultModel) {
    const AutoPick& p = GetParam();
    auto gb = build_machine(patterned_rom(p.cgb_flag), "auto");
    EXPECT_EQ(gb->device, p.device);
    EXPECT_EQ(gb->is_cgb, p.device == MODEL_CGBE);
    EXPECT_EQ(gb->is_dmg, p.device == MODEL_DMGC);
    EXPECT_EQ(gb->requested_device, MODEL_AUTO);  // asked again at the next reset
}

INSTANTIATE_TEST_SUITE_P(HeaderBytes, AutoDetect,
                         testing::Values(AutoPick{0x80, MODEL_CGBE}, AutoPick{0xC0, MODEL_CGBE},
                                         AutoPick{0xFF, MODEL_CGBE}, AutoPick{0x00, MODEL_DMGC},
                                         AutoPick{0x40, MODEL_DMGC}, AutoPick{0x7F, MODEL_DMGC}));

TEST(AutoDetection, FollowsTheConfiguredDefaults) {
    TestMachine m(patterned_rom(0x80), "auto");
    m.gb->default_cgb_device = MODEL_CGBA;
    m.gb->reset();
    EXPECT_EQ(m.gb->device, MODEL_CGBA);

    TestMachine d(patterned_rom(0x00), "auto");
    d.gb->default_dmg_device = MODEL_MGB;
    d.gb->reset();
    EXPECT_EQ(d.gb->device, MODEL_MGB);
    EXPECT_EQ(d.gb->cpu.af, 0xFFB0);
}

// The header byte is read from the cartridge itself: an OAM DMA holding the
// external bus at the moment of the reset does not fool the detection.
TEST(AutoDetection, ReadsTheCartridgeNotTheBus) {
    TestMachine m(patterned_rom(0x00), "auto");
    ASSERT_EQ(m.gb->device, MODEL_DMGC);
    m.gb->dma.oam_dma_bus_state = 1;
    m.gb->dma.oam_dma_byte = 0x80;
    m.gb->reset();
    EXPECT_EQ(m.gb->device, MODEL_DMGC);
}

TEST(AutoDetection, ReDecidesAfterTheCartridgeChanges) {
    TestMachine m(patterned_rom(0x80), "auto");
    ASSERT_EQ(m.gb->device, MODEL_CGBE);
    const RomImage mono = patterned_rom(0x00);
    m.gb->cartridge.load_rom_from_memory("mono.gb", mono.bytes.data(), int(mono.bytes.size()));
    m.gb->reset();
    EXPECT_EQ(m.gb->device, MODEL_DMGC);
    EXPECT_TRUE(m.gb->is_dmg);
}

// ---------------------------------------------------------------------------
// Boot ROM start

struct BootStart {
    const char* model;
    std::vector<const char*> loaded;
    bool use_boot_roms;
    bool runs_boot_rom;
};

const BootStart BOOT_STARTS[] = {
    {"cgbB", {"cgb"}, true, true},
    {"cgbE", {"cgb"}, true, true},
    {"cgb0", {"cgb"}, true, false},  // its slot is "cgb0"
    {"cgb0", {"cgb0"}, true, true},
    {"cgbA", {"cgb0", "agb"}, true, false},
    {"agb0", {"cgb"}, true, false},
    {"agb0", {"agb"}, true, true},
    {"pokemon_stadium_2", {"cgb"}, true, false},
    {"pokemon_stadium_2", {"pokemon_stadium_2"}, true, true},
    {"dmg0", {"dmg"}, true, false},
    {"dmg0", {"dmg0"}, true, true},
    {"dmgA", {"dmg"}, true, true},
    {"dmgC", {"dmg0", "mgb"}, true, false},
    {"mgb", {"mgb"}, true, true},
    {"sgb", {"sgb2"}, true, false},
    {"sgb2", {"sgb2"}, true, true},
    {"cgbE", {"cgb"}, false, false},
    {"dmgB", {"dmg"}, false, false},
};

class BootRomStart : public testing::TestWithParam<BootStart> {};

TEST_P(BootRomStart, RunsTheModelsOwnSlotOnly) {
    const BootStart& b = GetParam();
    auto gb = std::make_unique<GB>(1);
    const RomImage rom = patterned_rom(0x80);
    gb->cartridge.load_rom_from_memory("test.gb", rom.bytes.data(), int(rom.bytes.size()));
    ASSERT_TRUE(gb->set_default_device_by_short_string(b.model));
    for (const char* slot : b.loaded) install_boot_image(*gb, slot);
    gb->use_boot_roms = b.use_boot_roms;
    gb->reset();
    EXPECT_TRUE(gb->running);
    if (b.runs_boot_rom) {
        // The CPU sits at the reset vector inside the mapped image.
        EXPECT_TRUE(gb->boot_rom_mapped);
        EXPECT_EQ(gb->cpu.pc, 0x0000);
        EXPECT_EQ(gb->cpu.cpu_cycles, 0u);
        EXPECT_EQ(gb->cpu.cycles_4mhz, 0u);
        EXPECT_EQ(gb->read_byte(0xFF0F), 0xE0);
        EXPECT_EQ(gb->read_byte(0x0000), boot_image_byte(boot_slot_of(b.model), 0x0000));
        for (int a = 0xFF80; a <= 0xFFFE; ++a) EXPECT_EQ(gb->read_byte(u16(a)), 0x00) << std::hex << a;
    } else {
        EXPECT_FALSE(gb->boot_rom_mapped);
        EXPECT_EQ(gb->cpu.pc, 0x0100);
        EXPECT_EQ(gb->cpu.sp, 0xFFFE);
        EXPECT_EQ(gb->read_byte(0xFF0F), 0xE1);
        EXPECT_EQ(gb->read_byte(0x0000), rom_pattern(0x0000));
    }
}

INSTANTIATE_TEST_SUITE_P(Slots, BootRomStart, testing::ValuesIn(BOOT_STARTS));

TEST(BootRomSlots, KeyZeroStartsClearWhileTheImageRuns) {
    auto gb = build_machine(patterned_rom(0x80), "cgbD", {"cgb"});
    ASSERT_TRUE(gb->boot_rom_mapped);
    EXPECT_EQ(gb->read_byte(REG_KEY0), 0x00);
    EXPECT_EQ(gb->opri, 0);
}

TEST(BootRomSlots, BootSlotsArePreparedAtConstruction) {
    GB gb(7);
    EXPECT_EQ(gb.getId(), 7);
    const std::pair<const char*, int> slots[] = {{"dmg0", 256}, {"dmg", 256},  {"mgb", 256},
                                                 {"sgb", 256},  {"sgb2", 256}, {"cgb0", 2304},
                                                 {"cgb", 2304}, {"agb", 2304}, {"pokemon_stadium_2", 1008}};
    ASSERT_EQ(gb.boot_roms.size(), std::size(slots));
    for (size_t i = 0; i < std::size(slots); ++i) {
        EXPECT_EQ(gb.boot_roms[i]->name, slots[i].first);
        EXPECT_EQ(gb.boot_roms[i]->size, slots[i].second);
        EXPECT_FALSE(gb.boot_roms[i]->loaded);
        EXPECT_EQ(gb.get_boot_rom_by_name(slots[i].first), gb.boot_roms[i].get());
    }
    EXPECT_EQ(gb.get_boot_rom_by_name("cgbE"), nullptr);
    EXPECT_TRUE(gb.use_boot_roms);
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
        ppu_idle(*gb);
        EXPECT_EQ(gb->read_byte(0xC000), 0xFF);
        EXPECT_EQ(gb->read_byte(0xDFFF), 0xFF);
        EXPECT_EQ(gb->read_byte(0xE000), 0xFF);
        EXPECT_EQ(gb->read_byte(0x9FFF), 0x00);
        EXPECT_EQ(gb->read_byte(0xFE9F), 0x00);
    }
}

TEST(Reset, KeepsTheRecordedInputAndSnapshots) {
    TestMachine m(patterned_rom(), "dmgB");
    m.gb->joypad_states.push_back(std::make_shared<GB::JoypadState>(GB::JoypadState{0x81, 1234}));
    m.gb->joypad_states.push_back(std::make_shared<GB::JoypadState>(GB::JoypadState{0x00, 5678}));
    m.gb->saved_states.push_back(std::make_shared<GB::SavedState>(GB::SavedState{0x100000, "state"}));
    m.gb->replay_mode = true;
    m.gb->replay_index = 1;
    m.gb->turbo_run = true;
    m.gb->reset();
    ASSERT_EQ(m.gb->joypad_states.size(), 2u);
    EXPECT_EQ(m.gb->joypad_states[0]->state, 0x81);
    EXPECT_EQ(m.gb->joypad_states[0]->cycle, 1234u);
    EXPECT_EQ(m.gb->joypad_states[1]->cycle, 5678u);
    ASSERT_EQ(m.gb->saved_states.size(), 1u);
    EXPECT_EQ(m.gb->saved_states[0]->data, "state");
    // Replay starts over from the first entry and only when asked again.
    EXPECT_FALSE(m.gb->replay_mode);
    EXPECT_EQ(m.gb->replay_index, 0u);
    EXPECT_FALSE(m.gb->turbo_run);
    EXPECT_TRUE(m.gb->running);
}

TEST(Reset, PutsTheColourRegistersBackToPowerOn) {
    TestMachine m(patterned_rom(0x80), "cgbE");
    GB& gb = *m.gb;
    gb.write_byte(REG_SVBK, 0x05);
    gb.write_byte(REG_VBK, 0x01);
    gb.write_byte(REG_KEY1, 0x01);
    gb.write_byte(REG_FF72, 0xAA);
    gb.write_byte(REG_FF73, 0xBB);
    gb.write_byte(REG_FF74, 0xCC);
    gb.write_byte(REG_FF75, 0x70);
    gb.double_speed = true;
    gb.ppu_phase_shift = true;
    gb.spare_byte = 9;
    gb.reset();
    EXPECT_EQ(gb.read_byte(REG_SVBK), 0x01);
    EXPECT_EQ(gb.read_byte(REG_VBK), 0xFE);
    EXPECT_EQ(gb.read_byte(REG_KEY1), 0x7E);
    EXPECT_EQ(gb.read_byte(REG_FF72), 0x00);
    EXPECT_EQ(gb.read_byte(REG_FF73), 0x00);
    EXPECT_EQ(gb.read_byte(REG_FF74), 0x00);
    EXPECT_EQ(gb.read_byte(REG_FF75), 0x8F);
    EXPECT_FALSE(gb.ppu_phase_shift);
    EXPECT_EQ(gb.spare_byte, 0);
    // The bank windows follow the registers.
    ppu_idle(gb);
    gb.write_byte(0xD000, 0x31);
    gb.write_byte(0x8000, 0x32);
    EXPECT_EQ(gb.wram[0x1000], 0x31);
    EXPECT_EQ(gb.vram[0x0000], 0x32);
}

// Switching the model rebuilds the register tables from scratch.
TEST(Reset, ChangingToAMonochromeModelRemovesTheColourRegisters) {
    TestMachine m(patterned_rom(0x80), "cgbE");
    ASSERT_EQ(m.gb->read_byte(REG_SVBK), 0x01);
    ASSERT_TRUE(m.gb->set_default_device_by_short_string("sgb2"));
    m.gb->reset();
    EXPECT_TRUE(m.gb->is_dmg);
    EXPECT_FALSE(m.gb->is_cgb);
    for (u16 reg : {REG_KEY0, REG_KEY1, REG_VBK, REG_OPRI, REG_SVBK, REG_FF72, REG_FF73, REG_FF74, REG_FF75}) {
        m.gb->write_byte(reg, 0x00);
        EXPECT_EQ(m.gb->read_byte(reg), 0xFF) << std::hex << reg;
    }
}

TEST(Reset, ChangingFromMonochromeBackGivesTheColourRegistersBack) {
    TestMachine m(patterned_rom(0x00), "cgbE");
    ASSERT_EQ(m.gb->read_byte(REG_SVBK), 0xFF);  // DMG-compatibility mode
    const RomImage colour = patterned_rom(0x80);
    m.gb->cartridge.load_rom_from_memory("colour.gb", colour.bytes.data(), int(colour.bytes.size()));
    m.gb->reset();
    EXPECT_EQ(m.gb->read_byte(REG_SVBK), 0x01);
    m.gb->write_byte(REG_VBK, 0x01);
    EXPECT_EQ(m.gb->read_byte(REG_VBK), 0xFF);
}

TEST(Reset, WithoutACartridgeChangesNothing) {
    GB gb(1);
    ASSERT_TRUE(gb.set_default_device_by_short_string("dmgB"));
    gb.reset();
    EXPECT_FALSE(gb.running);
    EXPECT_EQ(gb.device, MODEL_CGBE);  // the construction value
    EXPECT_EQ(gb.cpu.pc, 0x0000);
    EXPECT_EQ(gb.current_boot_rom, nullptr);
}

TEST(RunFrame, BeforeAnyRomIsLoadedDoesNothing) {
    GB gb(1);
    gb.run_frame();
    gb.run_turbo_to_cycle(1000, false);
    EXPECT_FALSE(gb.running);
    EXPECT_EQ(gb.cpu.cpu_cycles, 0u);
    EXPECT_EQ(gb.cpu.cycles_4mhz, 0u);
    EXPECT_EQ(gb.cpu.pc, 0x0000);
    EXPECT_FALSE(gb.turbo_run);
}

TEST(RunFrame, AfterResetRunsTheCartridge) {
    TestMachine m(patterned_rom(), "dmgB");
    const u64 start = m.gb->cpu.cpu_cycles;
    m.gb->run_frame();
    EXPECT_GT(m.gb->cpu.cpu_cycles, start);
}

TEST(SetDevice, SetsTheClassFromTheIndex) {
    GB gb(1);
    for (int i = 1; i < MODEL_COUNT; ++i) {
        gb.set_device(i);
        EXPECT_EQ(gb.device, i);
        EXPECT_EQ(gb.is_dmg, i <= 7) << i;
        EXPECT_EQ(gb.is_cgb, i >= 8) << i;
    }
}

}  // namespace
