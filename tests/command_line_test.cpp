// The program's command-line grammar: whole-token options anywhere, the ROM
// path always last, the scale's accepted range and the model options; and the
// start-up check that the window can be seen.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/command_line.h"
#include "frontend/display_check.h"
#include "test_machine.h"

namespace {

using Args = std::vector<std::string>;

std::string joined(const Args& args) {
    std::string text;
    for (const auto& a : args) text += "[" + a + "]";
    return text;
}

CommandLine parse(const Args& args) { return parse_command_line(InputParser(args)); }

}  // namespace

TEST(InputParser, TokensAndQueries) {
    struct Row {
        Args args;
        std::string option;
        bool present;
        std::string value;  // getCmdOption(option)
        std::string last;
    };
    const std::vector<Row> rows = {
        {{}, "-scale", false, "", ""},
        {{"game.gb"}, "-scale", false, "", "game.gb"},
        {{"-scale", "2", "game.gb"}, "-scale", true, "2", "game.gb"},
        {{"-scale"}, "-scale", true, "", "-scale"},                  // last token: no value
        {{"-scale", "game.gb"}, "-scale", true, "game.gb", "game.gb"},  // the path doubles as value
        {{"-dev", "cgbB", "-dev", "dmg0", "x"}, "-dev", true, "cgbB", "x"},  // the first one counts
        {{"-Scale", "2", "x"}, "-scale", false, "", "x"},             // case-sensitive
        {{"--scale", "2", "x"}, "-scale", false, "", "x"},            // whole tokens only
        {{"-scale=2", "x"}, "-scale", false, "", "x"},
        {{"", "-scale", "", "4", "game.gb", ""}, "-scale", true, "4", "game.gb"},  // empty arguments dropped
        {{"", ""}, "-soft", false, "", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(joined(r.args) + " " + r.option);
        const InputParser parser(r.args);
        EXPECT_EQ(parser.cmdOptionExists(r.option), r.present);
        EXPECT_EQ(parser.getCmdOption(r.option), r.value);
        EXPECT_EQ(parser.getLastParameter(), r.last);
    }
}

TEST(InputParser, ArgvSkipsTheProgramName) {
    const char* argv[] = {"zembrix", "-turbo", "", "game.gb"};
    const InputParser parser(4, argv);
    EXPECT_EQ(parser.tokens(), (Args{"-turbo", "game.gb"}));
    const char* only_program[] = {"zembrix"};
    EXPECT_TRUE(InputParser(1, only_program).tokens().empty());
    EXPECT_TRUE(InputParser(0, nullptr).tokens().empty());
}

TEST(CommandLine, FlagsAndPath) {
    struct Row {
        Args args;
        bool soft, dmg, cgb, turbo, no_high_dpi, no_boot_roms;
        int scale;
        std::string device;
        std::string rom;
    };
    const std::vector<Row> rows = {
        {{"game.gb"}, false, false, false, false, false, false, 3, "", "game.gb"},
        {{"-soft", "a.gb"}, true, false, false, false, false, false, 3, "", "a.gb"},
        {{"-dmg", "a.gb"}, false, true, false, false, false, false, 3, "", "a.gb"},
        {{"-cgb", "a.gb"}, false, false, true, false, false, false, 3, "", "a.gb"},
        {{"-turbo", "a.gb"}, false, false, false, true, false, false, 3, "", "a.gb"},
        {{"-disable_high_dpi", "a.gb"}, false, false, false, false, true, false, 3, "", "a.gb"},
        {{"-ignore_boot_roms", "a.gb"}, false, false, false, false, false, true, 3, "", "a.gb"},
        {{"-dev", "cgbB", "a.gb"}, false, false, false, false, false, false, 3, "cgbB", "a.gb"},
        {{"-scale", "2", "a.gb"}, false, false, false, false, false, false, 2, "", "a.gb"},
        {{"-scale", "1", "a.gb"}, false, false, false, false, false, false, 1, "", "a.gb"},
        {{"-scale", "16", "a.gb"}, false, false, false, false, false, false, 16, "", "a.gb"},
        {{"-scale", "08", "a.gb"}, false, false, false, false, false, false, 8, "", "a.gb"},
        // An option's value is never an option, whatever it looks like.
        {{"-gbi", "-turbo", "a.gb"}, false, false, false, false, false, false, 3, "", "a.gb"},
        {{"-gbi", "-dev", "-scale", "2", "a.gb"}, false, false, false, false, false, false, 2, "", "a.gb"},
        // Options after the path still count; the path is the last token.
        {{"a.gb", "-soft", "b.gb"}, true, false, false, false, false, false, 3, "", "b.gb"},
        {{"-dmg", "-cgb", "-soft", "-turbo", "-disable_high_dpi", "-ignore_boot_roms", "-scale", "5", "-dev", "sgb",
          "dir/game.gbc"},
         true, true, true, true, true, true, 5, "sgb", "dir/game.gbc"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(joined(r.args));
        const CommandLine line = parse(r.args);
        EXPECT_EQ(line.error, "");
        const FrontendOptions& o = line.options;
        EXPECT_EQ(o.use_software_renderer, r.soft);
        EXPECT_EQ(o.force_dmg, r.dmg);
        EXPECT_EQ(o.force_cgb, r.cgb);
        EXPECT_EQ(o.turbo, r.turbo);
        EXPECT_EQ(o.disable_high_dpi, r.no_high_dpi);
        EXPECT_EQ(o.ignore_boot_roms, r.no_boot_roms);
        EXPECT_EQ(o.scale, r.scale);
        EXPECT_EQ(o.device, r.device);
        EXPECT_EQ(o.rom_path, r.rom);
    }
}

// Options are whole tokens, matched case-sensitively; any other token that
// starts with '-' before the ROM path is refused. -h and --help anywhere ask
// for the usage text.
TEST(CommandLine, HelpAndUnknownOptions) {
    struct Row {
        Args args;
        bool help;
        std::string error;
    };
    const std::vector<Row> rows = {
        {{"-h"}, true, ""},
        {{"--help"}, true, ""},
        {{"-dmg", "--help", "a.gb"}, true, ""},
        {{"-frobnicate", "-h", "a.gb"}, true, ""},  // help wins over a wrong line
        {{"-frobnicate", "a.gb"}, false, "Unknown option: -frobnicate\n"},
        {{"-SOFT", "-Dmg", "a.gb"}, false, "Unknown option: -SOFT\n"},
        {{"--scale", "2", "a.gb"}, false, "Unknown option: --scale\n"},
        {{"-scale=2", "a.gb"}, false, "Unknown option: -scale=2\n"},
        {{"-help", "a.gb"}, false, "Unknown option: -help\n"},
        {{"-", "a.gb"}, false, "Unknown option: -\n"},
        {{"-soft", "-x", "-dmg", "a.gb"}, false, "Unknown option: -x\n"},
        // Values of the options that take one are not options.
        {{"-dev", "-x", "a.gb"}, false, "Unknown device: -x\n"},
        {{"-gbi", "-moves.gbi", "-scale", "2", "a.gb"}, false, ""},
        // The last token is the ROM path, whatever it looks like.
        {{"-frobnicate"}, false, ""},
        {{"-dmg", "-game.gb"}, false, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(joined(r.args));
        const CommandLine line = parse(r.args);
        EXPECT_EQ(line.help, r.help);
        EXPECT_EQ(line.error, r.error);
    }
}

// Each option the program takes is accepted where it belongs and is named in
// the usage text, with -h and --help.
TEST(CommandLine, UsageNamesEveryOption) {
    const std::vector<Args> lines = {
        {"-soft"}, {"-dmg"}, {"-cgb"}, {"-turbo"}, {"-disable_high_dpi"}, {"-ignore_boot_roms"},
        {"-scale", "2"}, {"-dev", "cgbE"}, {"-gbi", "moves.gbi"}, {"-h"}, {"--help"},
    };
    const std::string usage = usage_text();
    EXPECT_EQ(usage.rfind("usage: zembrix", 0), 0u);
    EXPECT_EQ(usage.back(), '\n');
    for (Args args : lines) {
        SCOPED_TRACE(joined(args));
        args.push_back("a.gb");
        EXPECT_EQ(parse(args).error, "");
        // Named as a word of its own, not inside a longer option's name.
        const bool named = usage.find(" " + args[0] + " ") != std::string::npos ||
                           usage.find(" " + args[0] + ",") != std::string::npos;
        EXPECT_TRUE(named) << usage;
    }
}

TEST(CommandLine, InputLogComesBeforeTheRom) {
    struct Row {
        Args args;
        std::string log, rom, error;
    };
    const std::string missing = "Missing value for -gbi: give the joypad input log's path before the ROM.\n";
    const std::vector<Row> rows = {
        {{"-gbi", "moves.gbi", "a.gb"}, "moves.gbi", "a.gb", ""},
        {{"-turbo", "-gbi", "-soft", "a.gb"}, "-soft", "a.gb", ""},
        {{"a.gb"}, "", "a.gb", ""},
        {{"-gbi", "a.gb"}, "", "", missing},  // the ROM is no log
        {{"a.gb", "-gbi"}, "", "", missing},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(joined(r.args));
        const CommandLine line = parse(r.args);
        EXPECT_EQ(line.error, r.error);
        if (!r.error.empty()) continue;
        EXPECT_EQ(line.options.input_log, r.log);
        EXPECT_EQ(line.options.rom_path, r.rom);
    }
}

TEST(CommandLine, ScaleOutsideOneToSixteenIsRefused) {
    struct Row {
        Args args;
        std::string error;
    };
    // The process tests check the missing value, 0, 17 and a path.
    const std::string range = "a whole number from 1 to 16";
    const std::vector<Row> rows = {
        {{"-scale"}, "Missing value for -scale: give " + range + ".\n"},
        {{"-scale", "-2", "a.gb"}, "Invalid value for -scale: \"-2\" (give " + range + ").\n"},
        {{"-scale", "+2", "a.gb"}, "Invalid value for -scale: \"+2\" (give " + range + ").\n"},
        {{"-scale", "2x", "a.gb"}, "Invalid value for -scale: \"2x\" (give " + range + ").\n"},
        {{"-scale", " 2", "a.gb"}, "Invalid value for -scale: \" 2\" (give " + range + ").\n"},
        {{"-scale", "2.5", "a.gb"}, "Invalid value for -scale: \"2.5\" (give " + range + ").\n"},
        {{"-scale", "4294967298", "a.gb"}, "Invalid value for -scale: \"4294967298\" (give " + range + ").\n"},
        {{"-scale", "99999999999999999999999", "a.gb"},
         "Invalid value for -scale: \"99999999999999999999999\" (give " + range + ").\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(joined(r.args));
        EXPECT_EQ(parse(r.args).error, r.error);
    }
}

// The model options must reach the model that the ROM load resolves, so they
// are checked through a real reset.
TEST(CommandLine, ModelOptionsDecideTheModelAtReset) {
    struct Row {
        Args args;
        u8 cgb_flag;  // the cartridge's request
        int model;
    };
    const std::vector<Row> rows = {
        {{"a.gb"}, 0x00, MODEL_DMGC},
        {{"a.gb"}, 0x80, MODEL_CGBE},
        {{"-dmg", "a.gb"}, 0x80, MODEL_DMGC},
        {{"-cgb", "a.gb"}, 0x00, MODEL_CGBE},
        {{"-cgb", "-dmg", "a.gb"}, 0x80, MODEL_DMGC},  // -dmg wins
        {{"-dmg", "-cgb", "a.gb"}, 0x00, MODEL_DMGC},  // whatever the order
        {{"-dev", "cgbB", "a.gb"}, 0x00, MODEL_CGBB},
        {{"-dev", "sgb2", "a.gb"}, 0x80, MODEL_SGB2},
        {{"-dev", "cgbB", "-dmg", "a.gb"}, 0x80, MODEL_DMGC},
        {{"-dev", "dmg0", "-cgb", "a.gb"}, 0x00, MODEL_CGBE},
        {{"-dev", "auto", "a.gb"}, 0x80, MODEL_CGBE},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(joined(r.args) + " flag " + std::to_string(r.cgb_flag));
        const CommandLine line = parse(r.args);
        ASSERT_EQ(line.error, "");
        GB gb(1);
        ASSERT_TRUE(apply_model_options(gb, line.options));
        const RomImage rom = RomImage().cgb_flag(r.cgb_flag);
        gb.cartridge.load_rom_from_memory("a.gb", rom.bytes.data(), int(rom.bytes.size()));
        gb.reset();
        EXPECT_EQ(gb.device, r.model);
        EXPECT_EQ(gb.is_cgb, model_is_cgb(r.model));
    }
}

// The program always shows the DMG shades as plain greys (white, light and
// dark grey, black) and starts in the player's turbo with "-turbo".
TEST(CommandLine, GreyShadesAndTurbo) {
    for (const Args& args : {Args{"a.gb"}, Args{"-turbo", "a.gb"}}) {
        SCOPED_TRACE(joined(args));
        const CommandLine line = parse(args);
        ASSERT_EQ(line.error, "");
        GB gb(1);
        ASSERT_TRUE(apply_model_options(gb, line.options));
        apply_machine_settings(gb, line.options);
        const RomImage rom;
        gb.cartridge.load_rom_from_memory("a.gb", rom.bytes.data(), int(rom.bytes.size()));
        gb.reset();
        EXPECT_EQ(gb.player_turbo, line.options.turbo);
        // Colours 0-3 side by side in every tile row, BGP taking colour n to shade n.
        gb.write_byte(REG_LCDC, 0x00);
        for (int row = 0; row < 8; ++row) {
            gb.vram[size_t(2 * row)] = 0x55;
            gb.vram[size_t(2 * row + 1)] = 0x33;
        }
        for (int i = 0; i < 0x400; ++i) gb.vram[size_t(0x1800 + i)] = 0x00;
        gb.write_byte(REG_BGP, 0xE4);
        gb.write_byte(REG_LCDC, 0x91);
        for (int i = 0; i < 2 * PPU::FRAME_CYCLES; ++i) gb.cpu.t_cycle_4mhz();
        const u32 greys[4] = {0xFFFFFFFF, 0xFFAAAAAA, 0xFF555555, 0xFF000000};
        for (int x = 0; x < 4; ++x) EXPECT_EQ(gb.ppu.frame_buffer[size_t(x)], greys[x]) << "colour " << x;
    }
}

// The line is judged whole before anything else starts: a -dev that names no
// model, an option without its value and a line without a ROM path of its own
// are errors of the line. The ROM path is the last token, and never an option
// or an option's value.
TEST(CommandLine, WrongModelsAndMissingRomsAreErrorsOfTheLine) {
    struct Row {
        Args args;
        std::string error;
    };
    const std::string no_rom = "No ROM filename found.\n";
    const std::vector<Row> rows = {
        {{}, no_rom},
        {{"", ""}, no_rom},
        {{"-dmg"}, no_rom},
        {{"-turbo"}, no_rom},
        {{"-soft", "-ignore_boot_roms"}, no_rom},
        {{"a.gb", "-cgb"}, no_rom},
        {{"-scale", "3"}, no_rom},
        {{"a.gb", "-scale", "3"}, no_rom},
        {{"-dev", "cgbE"}, no_rom},
        {{"-dev", "cgbE", "-dmg"}, no_rom},
        {{"-dev"}, "Missing value for -dev: give the name of a model.\n"},
        {{"a.gb", "-dev"}, "Missing value for -dev: give the name of a model.\n"},
        {{"-dev", "a.gb"}, "Unknown device: a.gb\n"},
        {{"-dev", "cgbF", "a.gb"}, "Unknown device: cgbF\n"},
        {{"-dev", "CGBE", "-dmg", "a.gb"}, "Unknown device: CGBE\n"},  // case-sensitive, refused even with -dmg
        {{"-dev", "bogus", "-scale", "3"}, "Unknown device: bogus\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(joined(r.args));
        const CommandLine line = parse(r.args);
        EXPECT_FALSE(line.help);
        EXPECT_EQ(line.error, r.error);
    }
    // Every model the machine knows is a name -dev takes.
    for (const ModelInfo& model : MODELS) {
        SCOPED_TRACE(std::string(model.short_name));
        const CommandLine line = parse({"-dev", std::string(model.short_name), "a.gb"});
        EXPECT_EQ(line.error, "");
        EXPECT_EQ(line.options.device, model.short_name);
    }
}

TEST(CommandLine, UnknownDeviceLeavesTheModelUntouched) {
    GB gb(1);
    const int before = gb.requested_device;
    FrontendOptions options;
    options.device = "cgbF";
    options.force_dmg = true;
    EXPECT_FALSE(apply_model_options(gb, options));
    EXPECT_EQ(gb.requested_device, before);
}

// A window on a video driver that shows nothing is a fatal start error, unless
// the player chose that driver.
TEST(StartUp, WindowNoOneCanSeeIsFatalUnlessTheDriverWasNamed) {
    struct Row {
        std::string driver;
        bool named;
        bool fatal;
    };
    const std::vector<Row> rows = {
        {"x11", false, false},       {"wayland", false, false}, {"KMSDRM", false, false},
        {"offscreen", false, true},  {"dummy", false, true},    {"evdev", false, true},
        {"offscreen", true, false},  {"dummy", true, false},    {"evdev", true, false},
        {"x11", true, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.driver + (r.named ? " (named)" : ""));
        const std::string error = unseen_window_error(r.driver, r.named);
        EXPECT_EQ(!error.empty(), r.fatal) << error;
        if (!r.fatal) continue;
        EXPECT_NE(error.find("\"" + r.driver + "\""), std::string::npos) << error;
        EXPECT_NE(error.find("SDL_VIDEODRIVER"), std::string::npos) << error;
        EXPECT_EQ(error.back(), '\n');
    }
}
