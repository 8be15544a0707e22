// The FF00-FF7F register page: the handler tables, the machine core's own
// registers (FF50, KEY0, KEY1, VBK, OPRI, SVBK, FF72-FF75) and the switch of
// colour hardware into DMG-compatibility mode.
#include <gtest/gtest.h>

#include <set>

#include "core_test_support.h"

namespace {

constexpr u16 CORE_COLOUR_REGISTERS[] = {REG_KEY0, REG_KEY1, REG_VBK,  REG_OPRI, REG_SVBK,
                                         REG_FF72, REG_FF73, REG_FF74, REG_FF75};

// ---------------------------------------------------------------------------
// DMG class: the colour registers are not there

class MonochromeModel : public testing::TestWithParam<const char*> {};

TEST_P(MonochromeModel, ColourRegistersAreOpenBus) {
    TestMachine m(patterned_rom(0x80), GetParam());
    GB& gb = *m.gb;
    for (u16 reg : CORE_COLOUR_REGISTERS) {
        EXPECT_EQ(gb.read_byte(reg), 0xFF) << std::hex << reg;
        gb.write_byte(reg, 0x01);
        EXPECT_EQ(gb.read_byte(reg), 0xFF) << std::hex << reg;
    }
    // None of the writes reached the machine state.
    EXPECT_EQ(gb.wram_bank, 1);
    EXPECT_EQ(gb.vram_bank, 0);
    EXPECT_FALSE(gb.speed_switch_armed);
    EXPECT_EQ(gb.opri, 0);
    EXPECT_EQ(gb.ff72 | gb.ff73 | gb.ff74 | gb.ff75, 0);
    gb.write_byte(0xD000, 0x66);
    EXPECT_EQ(gb.wram[0x1000], 0x66);
}

INSTANTIATE_TEST_SUITE_P(DmgClass, MonochromeModel, testing::ValuesIn(DMG_CLASS_MODELS));

// ---------------------------------------------------------------------------
// CGB class: read masks

struct Readback {
    u16 reg;
    u8 written;
    u8 read;
};

const Readback READBACKS[] = {
    {REG_KEY1, 0x01, 0x7F}, {REG_KEY1, 0xFF, 0x7F}, {REG_KEY1, 0xFE, 0x7E}, {REG_KEY1, 0x80, 0x7E},
    {REG_VBK, 0x01, 0xFF},  {REG_VBK, 0x00, 0xFE},  {REG_VBK, 0xFE, 0xFE},  {REG_VBK, 0x03, 0xFF},
    {REG_OPRI, 0x01, 0xFF}, {REG_OPRI, 0x00, 0xFE}, {REG_OPRI, 0xFE, 0xFE}, {REG_OPRI, 0x81, 0xFF},
    {REG_SVBK, 0x00, 0x01}, {REG_SVBK, 0x0B, 0x03}, {REG_SVBK, 0x07, 0x07}, {REG_SVBK, 0xF8, 0x01},
    {REG_SVBK, 0xFA, 0x02}, {REG_FF72, 0xA5, 0xA5}, {REG_FF72, 0x00, 0x00}, {REG_FF73, 0x5A, 0x5A},
    {REG_FF73, 0xFF, 0xFF}, {REG_FF74, 0x3C, 0x3C}, {REG_FF74, 0x00, 0x00}, {REG_FF75, 0xFF, 0xFF},
    {REG_FF75, 0x00, 0x8F}, {REG_FF75, 0x30, 0xBF}, {REG_FF75, 0x70, 0xFF}, {REG_FF75, 0x40, 0xCF},
    {REG_BOOT, 0x00, 0xFF}, {REG_BOOT, 0x01, 0xFF},
};

struct ModelReadback {
    const char* model;
    Readback r;
};

std::vector<ModelReadback> all_model_readbacks() {
    std::vector<ModelReadback> rows;
    for (const char* model : CGB_CLASS_MODELS)
        for (const Readback& r : READBACKS) rows.push_back({model, r});
    return rows;
}

class ColourRegisterReadback : public testing::TestWithParam<ModelReadback> {};

TEST_P(ColourRegisterReadback, UnusedBitsReadAsOnesOrZeros) {
    const ModelReadback& p = GetParam();
    TestMachine m(patterned_rom(0x80), p.model);
    m.gb->write_byte(p.r.reg, p.r.written);
    EXPECT_EQ(m.gb->read_byte(p.r.reg), p.r.read);
}

INSTANTIATE_TEST_SUITE_P(CgbClass, ColourRegisterReadback, testing::ValuesIn(all_model_readbacks()));

TEST(Key1, ShowsTheCurrentSpeedInBitSeven) {
    TestMachine m(patterned_rom(0x80), "cgbE");
    GB& gb = *m.gb;
    gb.double_speed = true;
    EXPECT_EQ(gb.read_byte(REG_KEY1), 0xFE);
    gb.write_byte(REG_KEY1, 0x01);
    EXPECT_EQ(gb.read_byte(REG_KEY1), 0xFF);
    EXPECT_TRUE(gb.double_speed);  // only STOP changes the speed
    gb.write_byte(REG_KEY1, 0x00);
    EXPECT_FALSE(gb.speed_switch_armed);
}

TEST(Svbk, WrittenBankIsWhatTheCpuSees) {
    TestMachine m(patterned_rom(0x80), "cgbA");
    GB& gb = *m.gb;
    for (int bank = 0; bank < 8; ++bank) gb.wram[bank * 0x1000 + 0x0777] = u8(0x70 + bank);
    const std::pair<u8, u8> rows[] = {{0x00, 0x71}, {0x02, 0x72}, {0x0F, 0x77}, {0x10, 0x71}, {0x05, 0x75}};
    for (auto [svbk, seen] : rows) {
        gb.write_byte(REG_SVBK, svbk);
        EXPECT_EQ(gb.read_byte(0xD777), seen) << int(svbk);
        EXPECT_EQ(gb.read_byte(0xC777), 0x70) << int(svbk);
    }
}

// ---------------------------------------------------------------------------
// KEY0 and FF50 while a boot ROM image runs

TEST(Key0, WritableOnlyWhileTheBootRomIsMapped) {
    auto gb = build_machine(patterned_rom(0x80), "cgbE", {"cgb"});
    ASSERT_TRUE(gb->boot_rom_mapped);
    gb->write_byte(REG_KEY0, 0x80);
    EXPECT_EQ(gb->read_byte(REG_KEY0), 0x80);
    gb->write_byte(REG_KEY0, 0xC0);
    EXPECT_EQ(gb->read_byte(REG_KEY0), 0xC0);
    gb->write_byte(REG_BOOT, 0x11);
    EXPECT_EQ(gb->read_byte(REG_KEY0), 0xFF);
    gb->write_byte(REG_KEY0, 0x04);
    EXPECT_EQ(gb->key0, 0xC0);
    // A colour KEY0 keeps the colour registers.
    EXPECT_EQ(gb->read_byte(REG_SVBK), 0x01);
    gb->write_byte(REG_VBK, 0x01);
    EXPECT_EQ(gb->read_byte(REG_VBK), 0xFF);
}

TEST(BootRegister, ReadsOpenBusInEveryState) {
    for (const char* model : {"dmgB", "cgbE", "pokemon_stadium_2"}) {
        SCOPED_TRACE(model);
        auto gb = build_machine(patterned_rom(0x80), model, {boot_slot_of(model)});
        ASSERT_TRUE(gb->boot_rom_mapped);
        EXPECT_EQ(gb->read_byte(REG_BOOT), 0xFF);
        gb->write_byte(REG_BOOT, 0x00);
        EXPECT_FALSE(gb->boot_rom_mapped);
        EXPECT_EQ(gb->read_byte(REG_BOOT), 0xFF);
        gb->write_byte(REG_BOOT, 0xFF);
        EXPECT_FALSE(gb->boot_rom_mapped);  // there is no way back
        EXPECT_EQ(gb->read_byte(REG_BOOT), 0xFF);
    }
}

struct MarkRange {
    const char* model;
    u16 address;
    bool cleared;
};

class BootRegisterMarks : public testing::TestWithParam<MarkRange> {};

// The boot program's addresses stop being code of this machine when it leaves.
TEST_P(BootRegisterMarks, UnmappingForgetsTheBootProgramsMarks) {
    const MarkRange& r = GetParam();
    auto gb = build_machine(patterned_rom(0x80), r.model, {boot_slot_of(r.model)});
    u8* marks = gb->cartridge.rom_access_types.get();
    for (int i = 0; i < gb->cartridge.rom_size; ++i) marks[i] = ACCESS_INSTRUCTION;
    gb->write_byte(REG_BOOT, 0x01);
    EXPECT_EQ(marks[r.address], r.cleared ? ACCESS_UNMARKED : ACCESS_INSTRUCTION);
    // A second write clears them again.
    marks[r.address] = ACCESS_DATA;
    gb->write_byte(REG_BOOT, 0x01);
    EXPECT_EQ(marks[r.address], r.cleared ? ACCESS_UNMARKED : ACCESS_DATA);
}

INSTANTIATE_TEST_SUITE_P(
    Models, BootRegisterMarks,
    testing::Values(MarkRange{"dmgB", 0x0000, true}, MarkRange{"dmgB", 0x00FF, true},
                    MarkRange{"dmgB", 0x0100, false}, MarkRange{"dmgB", 0x0200, false},
                    MarkRange{"dmgB", 0x08FF, false}, MarkRange{"cgbE", 0x0000, true},
                    MarkRange{"cgbE", 0x00FF, true}, MarkRange{"cgbE", 0x0100, false},
                    MarkRange{"cgbE", 0x01FF, false}, MarkRange{"cgbE", 0x0200, true},
                    MarkRange{"cgbE", 0x08FF, true}, MarkRange{"cgbE", 0x0900, false},
                    MarkRange{"pokemon_stadium_2", 0x0300, true}, MarkRange{"pokemon_stadium_2", 0x0150, false},
                    MarkRange{"pokemon_stadium_2", 0x0800, true}));

// ---------------------------------------------------------------------------
// DMG-compatibility mode

// A colour boot ROM that found a monochrome cartridge leaves KEY0 = 4; the
// FF50 write then takes the colour registers away.
TEST(DmgCompatibility, BootRomLeavingKey0FourLocksTheColourRegisters) {
    auto gb = build_machine(patterned_rom(0x00), "cgbB", {"cgb"});
    GB& m = *gb;
    m.write_byte(REG_SVBK, 0x03);
    m.write_byte(0xD010, 0x33);
    m.write_byte(REG_FF72, 0x72);
    m.write_byte(REG_FF73, 0x73);
    m.write_byte(REG_FF74, 0x74);
    m.write_byte(REG_FF75, 0x75);
    m.write_byte(REG_KEY0, KEY0_DMG_COMPAT);
    m.write_byte(REG_VBK, 0x00);
    // Until the boot ROM is unmapped nothing changes.
    EXPECT_EQ(m.read_byte(REG_SVBK), 0x03);
    m.write_byte(REG_BOOT, 0x01);

    for (u16 reg : {REG_KEY0, REG_KEY1, REG_OPRI, REG_SVBK, REG_FF74}) {
        EXPECT_EQ(m.read_byte(reg), 0xFF) << std::hex << reg;
    }
    EXPECT_EQ(m.read_byte(REG_BOOT), 0xFF);
    EXPECT_EQ(m.read_byte(REG_VBK), 0xFE);
    EXPECT_EQ(m.read_byte(REG_FF72), 0x72);
    EXPECT_EQ(m.read_byte(REG_FF73), 0x73);
    EXPECT_EQ(m.read_byte(REG_FF75), 0xFF);

    // The bank numbers keep their values: D000 still shows bank 3 ...
    EXPECT_EQ(m.read_byte(0xD010), 0x33);
    // ... and can no longer be moved.
    m.write_byte(REG_SVBK, 0x01);
    EXPECT_EQ(m.read_byte(0xD010), 0x33);
    m.write_byte(REG_VBK, 0x01);
    ppu_idle(m);
    m.write_byte(0x8000, 0x44);
    EXPECT_EQ(m.vram[0x0000], 0x44);
    EXPECT_EQ(m.vram[0x2000], 0x00);
    m.write_byte(REG_KEY1, 0x01);
    EXPECT_FALSE(m.speed_switch_armed);
}

TEST(DmgCompatibility, VramBankStaysWhereTheBootRomLeftIt) {
    auto gb = build_machine(patterned_rom(0x00), "cgbE", {"cgb"});
    gb->write_byte(REG_VBK, 0x01);
    gb->write_byte(REG_KEY0, KEY0_DMG_COMPAT);
    // With KEY0 = 4 the bank register is locked already.
    gb->write_byte(REG_VBK, 0x00);
    EXPECT_EQ(gb->read_byte(REG_VBK), 0xFF);
    gb->write_byte(REG_BOOT, 0x01);
    EXPECT_EQ(gb->read_byte(REG_VBK), 0xFF);
    ppu_idle(*gb);
    gb->write_byte(0x8001, 0x55);
    EXPECT_EQ(gb->vram[0x2001], 0x55);
}

// Exactly which of FF4C-FF7F survive the switch.
TEST(DmgCompatibility, SwitchKeepsOnlyTheListedRegisters) {
    TestMachine m(patterned_rom(0x80), "cgbE");
    GB& gb = *m.gb;
    int writes = 0;
    for (int i = 0; i < 128; ++i)
        gb.add_io_handlers_for_address(i, [i] { return u8(i); }, [&writes](u8) { ++writes; });
    gb.set_cgb_to_dmg_mode();
    const std::set<int> kept = {0x4F, 0x68, 0x6A, 0x72, 0x73, 0x75, 0x76, 0x77};
    for (int i = 0; i < 128; ++i) {
        const bool stays = i < 0x4C || kept.count(i) > 0;
        writes = 0;
        gb.write_byte(u16(0xFF00 + i), 0x00);
        EXPECT_EQ(gb.read_byte(u16(0xFF00 + i)), stays ? u8(i) : 0xFF) << std::hex << 0xFF00 + i;
        EXPECT_EQ(writes, stays ? 1 : 0) << std::hex << 0xFF00 + i;
    }
}

TEST(DmgCompatibility, OnlyAKey0OfFourSwitches) {
    struct Row {
        const char* model;
        u8 key0;
        bool switched;
    };
    const Row rows[] = {{"cgbE", 0x04, true},  {"cgbE", 0x80, false}, {"cgbE", 0x00, false},
                        {"cgbE", 0x0C, false}, {"agb0", 0x04, true},  {"cgb0", 0x04, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.model) + " " + std::to_string(r.key0));
        auto gb = build_machine(patterned_rom(0x00), r.model, {boot_slot_of(r.model)});
        gb->write_byte(REG_KEY0, r.key0);
        gb->write_byte(REG_BOOT, 0x01);
        EXPECT_EQ(gb->read_byte(REG_SVBK), r.switched ? 0xFF : 0x01);
        EXPECT_EQ(gb->read_byte(REG_OPRI), r.switched ? 0xFF : 0xFE);
    }
}

// ---------------------------------------------------------------------------
// Handler tables

TEST(IoHandlers, EverySlotAnswersAfterReset) {
    for (const char* model : {"dmg0", "sgb2", "cgbE", "pokemon_stadium_2"}) {
        for (u8 flag : {0x00, 0x80}) {
            SCOPED_TRACE(std::string(model) + (flag ? " colour" : " mono"));
            TestMachine m(patterned_rom(flag), model);
            for (int a = 0xFF00; a < 0xFF80; ++a) {
                EXPECT_NO_THROW(m.gb->read_byte(u16(a))) << std::hex << a;
                EXPECT_NO_THROW(m.gb->write_byte(u16(a), m.gb->read_byte(u16(a)))) << std::hex << a;
            }
        }
    }
}

// Addresses that no unit of any model decodes.
TEST(IoHandlers, UnusedAddressesReadOpenBus) {
    const u16 unused[] = {0xFF03, 0xFF08, 0xFF0E, 0xFF15, 0xFF1F, 0xFF27, 0xFF2F,
                          0xFF4E, 0xFF57, 0xFF67, 0xFF6D, 0xFF6F, 0xFF71, 0xFF78, 0xFF7F};
    for (const char* model : {"dmgB", "cgbE"}) {
        TestMachine m(patterned_rom(0x80), model);
        for (u16 a : unused) {
            m.gb->write_byte(a, 0x00);
            EXPECT_EQ(m.gb->read_byte(a), 0xFF) << model << " " << std::hex << a;
        }
    }
}

TEST(IoHandlers, OutOfRangeSlotIsIgnored) {
    TestMachine m(patterned_rom(0x80), "cgbE");
    GB& gb = *m.gb;
    bool called = false;
    for (int index : {-1, 128, 255, 0x4C - 0xFF00}) {
        gb.add_io_handlers_for_address(
            index, [&called] { called = true; return u8(0x00); }, [&called](u8) { called = true; });
    }
    for (int a = 0xFF00; a < 0xFF80; ++a) gb.write_byte(u16(a), gb.read_byte(u16(a)));
    EXPECT_FALSE(called);
}

TEST(IoHandlers, InstalledPairServesItsAddressOnly) {
    TestMachine m(patterned_rom(0x80), "dmgB");
    GB& gb = *m.gb;
    u8 stored = 0;
    gb.add_io_handlers_for_address(0x7A, [&stored] { return u8(stored ^ 0xFF); }, [&stored](u8 v) { stored = v; });
    gb.write_byte(0xFF7A, 0x0F);
    EXPECT_EQ(stored, 0x0F);
    EXPECT_EQ(gb.read_byte(0xFF7A), 0xF0);
    EXPECT_EQ(gb.read_byte(0xFF7B), 0xFF);
    EXPECT_EQ(gb.read_byte(0xFF79), 0xFF);
}

}  // namespace
