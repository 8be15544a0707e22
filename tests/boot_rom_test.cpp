#include <gtest/gtest.h>

#include "temp_dir.h"

#include <algorithm>
#include <string>
#include <vector>

#include "cartridge/boot_rom.h"
#include "core/gb.h"

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

TEST(BootRom, OnlyAFileOfExactlyTheSlotsSizeLoads) {
    struct Row {
        int slot_size, file_size;
    };
    const Row rows[] = {{256, 256},   {256, 257}, {256, 255},   {256, 0},
                        {2304, 2304}, {2304, 256}, {1008, 1008}, {1008, 1024}};
    for (const Row& r : rows) {
        TempDir dir;
        const std::vector<u8> bytes = image(r.file_size, 0x31);
        BootROM slot("dmg", r.slot_size);
        slot.load(dir.file("dmg_boot.bin", bytes));
        EXPECT_EQ(slot_holds(slot, bytes), r.slot_size == r.file_size) << r.slot_size << " " << r.file_size;
        if (r.slot_size != r.file_size) {
            EXPECT_EQ(slot.data, nullptr);
        }
    }
}

// Once loaded, a slot stays loaded: a later good file replaces the image in
// the same buffer, a bad or missing one changes nothing.
TEST(BootRom, FailedLaterLoadKeepsTheOldImage) {
    TempDir dir;
    const std::vector<u8> first = image(256, 0x10);
    BootROM slot("dmg", 256);
    slot.load(dir.file("first.bin", first));
    ASSERT_TRUE(slot_holds(slot, first));
    const u8* buffer = slot.data.get();
    slot.load(dir.file("long.bin", image(257, 0x99)));
    slot.load(dir.path("absent.bin"));
    EXPECT_TRUE(slot_holds(slot, first));
    const std::vector<u8> second = image(256, 0x77);
    slot.load(dir.file("second.bin", second));
    EXPECT_TRUE(slot_holds(slot, second));
    EXPECT_EQ(slot.data.get(), buffer);
}

// The machine's nine slots in order. The default file name is the directory
// as given (a plain prefix) + name + "_boot.bin"; with a single file present
// only its own slot loads, even where other slots have the same size.
TEST(BootRom, MachineSlotsEachLoadTheirOwnFile) {
    const std::pair<const char*, int> slots[] = {{"dmg0", 256}, {"dmg", 256},  {"mgb", 256},
                                                 {"sgb", 256},  {"sgb2", 256}, {"cgb0", 2304},
                                                 {"cgb", 2304}, {"agb", 2304}, {"pokemon_stadium_2", 1008}};
    for (const auto& [name, size] : slots) {
        TempDir dir;
        const std::vector<u8> bytes = image(size, 0x42);
        dir.file(std::string("emu_") + name + "_boot.bin", bytes);
        GB gb(1);
        ASSERT_EQ(gb.boot_roms.size(), std::size(slots));
        for (size_t i = 0; i < gb.boot_roms.size(); ++i) {
            BootROM& slot = *gb.boot_roms[i];
            EXPECT_EQ(slot.name, slots[i].first);
            EXPECT_EQ(slot.size, slots[i].second);
            EXPECT_EQ(gb.get_boot_rom_by_name(slot.name), &slot);
            slot.load_default(dir.prefix() + "emu_");
            EXPECT_EQ(slot_holds(slot, bytes), slot.name == name) << slot.name << " with " << name;
        }
    }
}

}  // namespace
