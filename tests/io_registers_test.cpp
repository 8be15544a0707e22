// The FF00-FF7F register page: the handler tables, the machine core's own
// registers (FF50, KEY0, KEY1, VBK, OPRI, SVBK, FF72-FF75) and the switch of
// colour hardware into DMG-compatibility mode.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "core_test_support.h"

namespace {

constexpr u16 CORE_COLOUR_REGISTERS[] = {REG_KEY0, REG_KEY1, REG_VBK,  REG_OPRI, REG_SVBK,
                                         REG_FF72, REG_FF73, REG_FF74, REG_FF75};

// Switching the model rebuilds the register tables: on DMG hardware the
// colour registers are open bus and their writes reach nothing.
TEST(ColourRegisters, AbsentOnMonochromeModels) {
    TestMachine m(patterned_rom(0x80), "cgbE");
    GB& gb = *m.gb;
    ASSERT_EQ(gb.read_byte(REG_SVBK), 0x01);
    ASSERT_TRUE(gb.set_default_device_by_short_string("sgb2"));
    gb.reset();
    for (u16 reg : CORE_COLOUR_REGISTERS) {
        gb.write_byte(reg, 0x01);
        EXPECT_EQ(gb.read_byte(reg), 0xFF) << std::hex << reg;
    }
    EXPECT_EQ(gb.wram_bank, 1);
    EXPECT_EQ(gb.vram_bank, 0);
    EXPECT_FALSE(gb.speed_switch_armed);
    EXPECT_EQ(gb.opri | gb.ff72 | gb.ff73 | gb.ff74 | gb.ff75, 0);
}

TEST(ColourRegisters, UnusedBitsReadAsOnesOrZeros) {
    struct Row {
        u16 reg;
        u8 written, read;
    };
    const Row rows[] = {
        {REG_KEY1, 0x01, 0x7F}, {REG_KEY1, 0xFE, 0x7E}, {REG_VBK, 0x01, 0xFF},  {REG_VBK, 0xFE, 0xFE},
        {REG_OPRI, 0x81, 0xFF}, {REG_OPRI, 0x00, 0xFE}, {REG_SVBK, 0x00, 0x01}, {REG_SVBK, 0x0B, 0x03},
        {REG_SVBK, 0xFA, 0x02}, {REG_FF72, 0xA5, 0xA5}, {REG_FF73, 0x5A, 0x5A}, {REG_FF74, 0x3C, 0x3C},
        {REG_FF75, 0x00, 0x8F}, {REG_FF75, 0x30, 0xBF}, {REG_FF75, 0x70, 0xFF}, {REG_BOOT, 0x00, 0xFF},
    };
    TestMachine m(patterned_rom(0x80), "cgbE");
    for (const Row& r : rows) {
        m.gb->write_byte(r.reg, r.written);
        EXPECT_EQ(m.gb->read_byte(r.reg), r.read) << std::hex << r.reg << " " << int(r.written);
    }
    // KEY1 bit 7 shows the current speed; a write only arms the switch.
    m.gb->set_double_speed(true);
    m.gb->write_byte(REG_KEY1, 0x01);
    EXPECT_EQ(m.gb->read_byte(REG_KEY1), 0xFF);
    EXPECT_TRUE(m.gb->double_speed);
}

// ---------------------------------------------------------------------------
// KEY0 and FF50 while a boot ROM image runs

TEST(BootRegister, Key0IsWritableOnlyWhileTheBootRomIsMapped) {
    auto gb = build_machine(patterned_rom(0x80), "cgbE", {"cgb"});
    ASSERT_TRUE(gb->boot_rom_mapped);
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

// FF50 reads open bus in every state and there is no way back. Unmapping
// forgets the marks of the boot program's addresses, every time it is written.
TEST(BootRegister, UnmappingForgetsTheBootProgramsMarks) {
    struct Row {
        const char* model;
        std::vector<u16> cleared, kept;
    };
    const Row rows[] = {
        {"dmgB", {0x0000, 0x00FF}, {0x0100, 0x0200, 0x08FF}},
        {"cgbE", {0x00FF, 0x0200, 0x08FF}, {0x0100, 0x01FF, 0x0900}},
        {"pokemon_stadium_2", {0x0000, 0x0300, 0x0800}, {0x0150}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.model);
        auto gb = build_machine(patterned_rom(0x80), r.model, {boot_slot_of(r.model)});
        ASSERT_TRUE(gb->boot_rom_mapped);
        EXPECT_EQ(gb->read_byte(REG_BOOT), 0xFF);
        u8* marks = gb->cartridge.rom_access_types.get();
        for (u8 mark : {ACCESS_INSTRUCTION, ACCESS_DATA}) {
            std::fill(marks, marks + gb->cartridge.rom_size, mark);
            gb->write_byte(REG_BOOT, mark == ACCESS_DATA ? 0xFF : 0x01);
            EXPECT_FALSE(gb->boot_rom_mapped);
            EXPECT_EQ(gb->read_byte(REG_BOOT), 0xFF);
            for (u16 a : r.cleared) EXPECT_EQ(marks[a], ACCESS_UNMARKED) << std::hex << a;
            for (u16 a : r.kept) EXPECT_EQ(marks[a], mark) << std::hex << a;
        }
    }
}

// ---------------------------------------------------------------------------
// DMG-compatibility mode

// A colour boot ROM that found a monochrome cartridge leaves KEY0 = 4; the
// FF50 write then takes the colour registers away. The bank numbers keep the
// values the boot ROM left and can no longer be moved.
TEST(DmgCompatibility, BootRomLeavingKey0FourLocksTheColourRegisters) {
    auto gb = build_machine(patterned_rom(0x00), "cgbB", {"cgb"});
    GB& m = *gb;
    m.write_byte(REG_SVBK, 0x03);
    m.write_byte(0xD010, 0x33);
    m.write_byte(REG_VBK, 0x01);
    for (u16 reg : {REG_FF72, REG_FF73, REG_FF74, REG_FF75}) m.write_byte(reg, u8(reg));
    m.write_byte(REG_KEY0, KEY0_DMG_COMPAT);
    m.write_byte(REG_VBK, 0x00);  // locked by KEY0 = 4 already
    EXPECT_EQ(m.read_byte(REG_SVBK), 0x03);  // nothing else changes until FF50
    m.write_byte(REG_BOOT, 0x01);

    for (u16 reg : {REG_KEY0, REG_KEY1, REG_OPRI, REG_SVBK, REG_FF74})
        EXPECT_EQ(m.read_byte(reg), 0xFF) << std::hex << reg;
    EXPECT_EQ(m.read_byte(REG_VBK), 0xFF);
    EXPECT_EQ(m.read_byte(REG_FF72), 0x72);
    EXPECT_EQ(m.read_byte(REG_FF73), 0x73);
    EXPECT_EQ(m.read_byte(REG_FF75), 0xFF);
    m.write_byte(REG_SVBK, 0x01);
    EXPECT_EQ(m.read_byte(0xD010), 0x33);
    m.write_byte(REG_VBK, 0x00);
    ppu_idle(m);
    m.write_byte(0x8001, 0x55);
    EXPECT_EQ(m.vram[0x2001], 0x55);
    m.write_byte(REG_KEY1, 0x01);
    EXPECT_FALSE(m.speed_switch_armed);
}

// Exactly which of FF4C-FF7F survive the switch. Each installed handler pair
// serves its own address only; slots out of range are ignored.
TEST(DmgCompatibility, SwitchKeepsOnlyTheListedRegisters) {
    TestMachine m(patterned_rom(0x80), "cgbE");
    GB& gb = *m.gb;
    int writes = 0;
    for (int i = -1; i <= 128; ++i)
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
    for (const Row r : {Row{"cgbE", 0x04, true}, Row{"cgbE", 0x80, false}, Row{"cgbE", 0x0C, false},
                        Row{"agb0", 0x04, true}}) {
        SCOPED_TRACE(testing::Message() << r.model << " " << int(r.key0));
        auto gb = build_machine(patterned_rom(0x00), r.model, {boot_slot_of(r.model)});
        gb->write_byte(REG_KEY0, r.key0);
        gb->write_byte(REG_BOOT, 0x01);
        EXPECT_EQ(gb->read_byte(REG_SVBK), r.switched ? 0xFF : 0x01);
        EXPECT_EQ(gb->read_byte(REG_OPRI), r.switched ? 0xFF : 0xFE);
    }
}

// ---------------------------------------------------------------------------
// Handler tables

// Every slot has a handler after reset; addresses that no unit of any model
// decodes read open bus.
TEST(IoHandlers, EverySlotAnswersAndUnusedOnesReadOpenBus) {
    const std::set<int> unused = {0xFF03, 0xFF08, 0xFF0E, 0xFF15, 0xFF1F, 0xFF27, 0xFF2F,
                                  0xFF4E, 0xFF57, 0xFF67, 0xFF6D, 0xFF71, 0xFF78, 0xFF7F};
    for (const auto& [model, flag] : {std::pair{"dmg0", 0x00}, std::pair{"cgbE", 0x00}, std::pair{"cgbE", 0x80}}) {
        SCOPED_TRACE(testing::Message() << model << " flag " << flag);
        TestMachine m(patterned_rom(u8(flag)), model);
        for (int a = 0xFF00; a < 0xFF80; ++a) {
            EXPECT_NO_THROW(m.gb->write_byte(u16(a), m.gb->read_byte(u16(a)))) << std::hex << a;
            if (unused.count(a)) {
                EXPECT_EQ(m.gb->read_byte(u16(a)), 0xFF) << std::hex << a;
            }
        }
    }
}

}  // namespace
