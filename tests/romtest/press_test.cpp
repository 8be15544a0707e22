#include <gtest/gtest.h>

#include <vector>

#include "romtest.h"

namespace {

using romtest::Press;

TEST(Press, ParsesNamesAndHexBytes) {
    const std::pair<const char*, Press> good[] = {
        {"60:A", {60, 0x10}},          {"0:start", {0, 0x80}},     {"7:a+B", {7, 0x30}},
        {"9:Right+LEFT+up+down", {9, 0x0F}}, {"12:select", {12, 0x40}}, {"3:0x0A", {3, 0x0A}},
        {"4:81", {4, 0x81}},           {"5:ff", {5, 0xFF}},
    };
    for (const auto& [text, want] : good) {
        const auto got = romtest::parse_press(text);
        ASSERT_TRUE(got) << text;
        EXPECT_EQ(got->frame, want.frame) << text;
        EXPECT_EQ(got->buttons, want.buttons) << text;
    }
    for (const char* bad : {"", "A", ":A", "-1:A", "x:A", "5:", "5:A+", "5:jump", "5:0x100", "5:0x", "5 A"})
        EXPECT_FALSE(romtest::parse_press(bad)) << bad;
}

// A patch names its offset and the bytes it expects there, so it only ever
// lands on the ROM it was written for.
TEST(Patch, ReplacesOnlyTheBytesItExpects) {
    struct Case {
        const char* text;
        bool applies;
        std::vector<u8> result;
    };
    const std::vector<u8> rom = {0x00, 0x36, 0x00, 0x77, 0xC9};
    const Case cases[] = {
        {"1:3600:0000", true, {0x00, 0x00, 0x00, 0x77, 0xC9}},
        {"3:77c9:0000", true, {0x00, 0x36, 0x00, 0x00, 0x00}},
        {"0:00:FF", true, {0xFF, 0x36, 0x00, 0x77, 0xC9}},
        {"1:77:00", false, rom},     // different bytes at that offset
        {"4:C900:0000", false, rom}, // runs past the end
        {"9:00:00", false, rom},     // starts past the end
    };
    for (const auto& c : cases) {
        const auto patch = romtest::parse_patch(c.text);
        ASSERT_TRUE(patch) << c.text;
        std::vector<u8> image = rom;
        std::string error;
        EXPECT_EQ(romtest::apply_patch(image, *patch, error), c.applies) << c.text;
        EXPECT_EQ(image, c.result) << c.text;
        EXPECT_EQ(error.empty(), c.applies) << c.text;
    }
    for (const char* bad : {"", "12", "12:34", "12:34:", "12::56", "x:00:00", "1:0:00", "1:00:0011", "1:zz:00",
                            "1234567:00:00"})
        EXPECT_FALSE(romtest::parse_patch(bad)) << bad;
}

// The presses reach the machine through its host: a program reading P1 in a
// loop records each change of the button byte. Start is held from frame 3,
// A from frame 5, each for six frames.
TEST(Press, HeldForSixFramesThroughTheHost) {
    std::vector<u8> rom(0x8000, 0x00);
    const u8 loop[] = {0xF0, 0x00, 0x18, 0xFC};  // LDH A,(P1); JR -4
    std::copy(std::begin(loop), std::end(loop), rom.begin() + 0x100);
    GB gb;
    ASSERT_TRUE(gb.set_default_device_by_short_string("dmgB"));
    gb.cartridge.load_rom_from_memory("press.gb", rom.data(), int(rom.size()));
    gb.reset();
    romtest::ScreenCapture screen;
    screen.presses = {{3, 0x80}, {5, 0x10}};
    gb.host = &screen;
    romtest::Runner runner(gb, {}, 14, &screen);
    EXPECT_EQ(runner.run().frames, 14);
    std::vector<u8> states;
    for (const auto& change : gb.joypad_states) states.push_back(change.state);
    EXPECT_EQ(states, (std::vector<u8>{0x00, 0x80, 0x90, 0x10, 0x00}));
}

}  // namespace
