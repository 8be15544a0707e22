#include <gtest/gtest.h>

#include "temp_dir.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "cartridge/boot_rom.h"
#include "core/gb.h"

namespace fs = std::filesystem;

namespace {


std::vector<u8> image(int size, u8 seed) {
    std::vector<u8> bytes(size);
    for (int i = 0; i < size; ++i) bytes[i] = u8(seed + i * 3);
    return bytes;
}

bool slot_holds(const BootROM& slot, const std::vector<u8>& bytes) {
    return slot.loaded && slot.data && int(bytes.size()) == slot.size &&
           std::equal(bytes.begin(), bytes.end(), slot.data.get());
}

// ---------------------------------------------------------------------------
// Only a file of exactly the slot's size is taken.

struct SizeCase {
    const char* name;
    int slot_size;
    int file_size;
    bool loads;
};

class BootRomSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(BootRomSize, ExactSizeOnly) {
    const SizeCase& c = GetParam();
    TempDir dir;
    const std::vector<u8> bytes = image(c.file_size, 0x31);
    BootROM slot("dmg", c.slot_size);
    slot.load(dir.file("dmg_boot.bin", bytes));
    EXPECT_EQ(slot.loaded, c.loads);
    if (c.loads) {
        EXPECT_TRUE(slot_holds(slot, bytes));
    } else {
        EXPECT_EQ(slot.data, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, BootRomSize,
    ::testing::Values(SizeCase{"Dmg256", 256, 256, true}, SizeCase{"Dmg257", 256, 257, false},
                      SizeCase{"Dmg255", 256, 255, false}, SizeCase{"DmgEmpty", 256, 0, false},
                      SizeCase{"Cgb2304", 2304, 2304, true}, SizeCase{"Cgb2305", 2304, 2305, false},
                      SizeCase{"CgbGivenDmgImage", 2304, 256, false},
                      SizeCase{"Stadium1008", 1008, 1008, true}, SizeCase{"Stadium1024", 1008, 1024, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BootRom, MissingFileLeavesTheSlotEmpty) {
    TempDir dir;
    BootROM slot("cgb", 2304);
    slot.load(dir.path("cgb_boot.bin"));
    EXPECT_FALSE(slot.loaded);
    EXPECT_EQ(slot.data, nullptr);
}

// ---------------------------------------------------------------------------
// Once loaded, a slot stays loaded; a later good file replaces the image in
// the same buffer, a bad one changes nothing.

TEST(BootRom, FailedLaterLoadKeepsTheOldImage) {
    TempDir dir;
    const std::vector<u8> first = image(256, 0x10);
    BootROM slot("dmg", 256);
    slot.load(dir.file("first.bin", first));
    ASSERT_TRUE(slot_holds(slot, first));
    const u8* buffer = slot.data.get();

    slot.load(dir.file("long.bin", image(257, 0x99)));
    EXPECT_TRUE(slot_holds(slot, first));
    slot.load(dir.file("short.bin", image(255, 0x99)));
    EXPECT_TRUE(slot_holds(slot, first));
    slot.load(dir.path("absent.bin"));
    EXPECT_TRUE(slot_holds(slot, first));

    const std::vector<u8> second = image(256, 0x77);
    slot.load(dir.file("second.bin", second));
    EXPECT_TRUE(slot_holds(slot, second));
    EXPECT_EQ(slot.data.get(), buffer);
}

// ---------------------------------------------------------------------------
// Default file names: directory + name + "_boot.bin", the directory put in
// front unchanged.

TEST(BootRom, DefaultPathIsAPlainConcatenation) {
    TempDir dir;
    const std::vector<u8> bytes = image(256, 0x05);
    dir.file("emu_mgb_boot.bin", bytes);
    BootROM slot("mgb", 256);
    slot.load_default(dir.prefix() + "emu_");
    EXPECT_TRUE(slot_holds(slot, bytes));
}

TEST(BootRom, DirectoryWithoutSeparatorFindsNothing) {
    TempDir dir;
    dir.file("sgb_boot.bin", image(256, 0x05));
    BootROM slot("sgb", 256);
    std::string no_separator = dir.prefix();
    no_separator.pop_back();
    slot.load_default(no_separator);
    EXPECT_FALSE(slot.loaded);
}

// The machine's nine slots, each with its own file.
struct SlotCase {
    const char* name;
    int size;
};

constexpr SlotCase MACHINE_SLOTS[] = {
    {"dmg0", 256}, {"dmg", 256},   {"mgb", 256},  {"sgb", 256},  {"sgb2", 256},
    {"cgb0", 2304}, {"cgb", 2304}, {"agb", 2304}, {"pokemon_stadium_2", 1008},
};

TEST(MachineBootRoms, NineSlotsInOrder) {
    GB gb(1);
    ASSERT_EQ(gb.boot_roms.size(), std::size(MACHINE_SLOTS));
    for (size_t i = 0; i < std::size(MACHINE_SLOTS); ++i) {
        EXPECT_EQ(gb.boot_roms[i]->name, MACHINE_SLOTS[i].name);
        EXPECT_EQ(gb.boot_roms[i]->size, MACHINE_SLOTS[i].size);
        EXPECT_FALSE(gb.boot_roms[i]->loaded);
    }
}

class OneFilePresent : public ::testing::TestWithParam<SlotCase> {};

// With a single file of the right size present, only its own slot loads:
// slots of the same size do not pick up another slot's file.
TEST_P(OneFilePresent, LoadsOnlyItsOwnSlot) {
    const SlotCase& c = GetParam();
    TempDir dir;
    const std::vector<u8> bytes = image(c.size, 0x42);
    dir.file(std::string(c.name) + "_boot.bin", bytes);
    GB gb(1);
    for (auto& slot : gb.boot_roms) slot->load_default(dir.prefix());
    for (auto& slot : gb.boot_roms) {
        if (slot->name == c.name) {
            EXPECT_TRUE(slot_holds(*slot, bytes)) << slot->name;
        } else {
            EXPECT_FALSE(slot->loaded) << slot->name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Slots, OneFilePresent, ::testing::ValuesIn(MACHINE_SLOTS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MachineBootRoms, NoFilesLeaveEverySlotEmpty) {
    TempDir dir;
    GB gb(1);
    for (auto& slot : gb.boot_roms) slot->load_default(dir.prefix());
    for (auto& slot : gb.boot_roms) EXPECT_FALSE(slot->loaded) << slot->name;
}

}  // namespace
