// zembrix-romtest: runs one test ROM headless, unthrottled, without sound,
// and judges it by the reporting protocol of its suite.
#include <vector>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "cartridge/file_io.h"
#include "core/gb.h"
#include "debug_tools.h"
#include "picture_tools.h"
#include "png_io.h"
#include "romtest.h"

namespace {

constexpr int DEFAULT_FRAMES = 3600;  // one emulated minute

void print_usage() {
    std::cout << "usage: zembrix-romtest [--model SHORT_NAME] [--frames N] [--expect KIND] [--screenshot OUT.png]\n"
                 "                       [--press FRAME:BUTTONS]... [--patch OFFSET:OLD:NEW]... [--state-roundtrip FRAME]...\n"
                 "                       [--snapshots] [--whole-line] [--ppm OUT.ppm] [--ppu-dump] [--bench] ROM\n"
                 "  --model       auto (default), dmg0, dmgA, dmgB, dmgC, mgb, sgb, sgb2, cgb0, cgbA..cgbE,\n"
                 "                agb0, pokemon_stadium_2\n"
                 "  --frames N    frame limit (default 3600); with --bench, the exact number of frames to run\n"
                 "  --expect KIND serial       blargg: serial text contains \"Passed\" / \"Failed\"\n"
                 "                fibonacci    at the first LD B,B: B,C,D,E,H,L = 3,5,8,13,21,34\n"
                 "                blargg-ram   cartridge RAM A001-A003 = DE B0 61, A000 = 0x00 pass\n"
                 "                hram-result  FF82 = 0x01 pass, 0xFF fail\n"
                 "                image:REF.png         screen at the first LD B,B (or at the frame limit)\n"
                 "                                      equals REF.png\n"
                 "                image-frames:REF.png  screen after exactly N frames equals REF.png\n"
                 "  --screenshot OUT.png  write the last frame shown\n"
                 "  --press FRAME:BUTTONS  hold buttons for 6 frames from frame FRAME (0 = first); repeatable.\n"
                 "                BUTTONS: names joined by '+' (right left up down a b select start), or a\n"
                 "                hex joypad byte (0x01 Right, 02 Left, 04 Up, 08 Down, 10 A, 20 B, 40 Select,\n"
                 "                80 Start)\n"
                 "  --patch OFFSET:OLD:NEW  before loading, replace the hex bytes OLD at file offset OFFSET\n"
                 "                by NEW (same length; refused when OLD is not there); repeatable\n"
                 "  --state-roundtrip FRAME  as frame FRAME begins, save the machine, load the state into a new\n"
                 "                machine and go on with that one; at the end an uninterrupted run to the same\n"
                 "                cycle must leave the same state and picture; repeatable\n"
                 "  --snapshots   keep rollback snapshots at every frame's end, as the program does\n"
                 "  --bench       run exactly N frames, judge nothing, report the speed\n"
                 "exit status: 0 pass, 1 fail, 2 time-out or error\n";
    std::cout << romtest::debug_options_usage();
    std::cout << romtest::picture_options_usage();
}

int error_exit(const std::string& why) {
    std::cout << "ERROR " << why << std::endl;
    return 2;
}

bool parse_frames(const std::string& text, int& out) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v <= 0 || v > 100000000) return false;
    out = int(v);
    return true;
}

}  // namespace

// blargg's memory-style ROMs report in cartridge RAM. A few of them declare an
// MBC1 with RAM but a RAM size of 0 in their header, although the cartridges
// they ran on had 8 KiB: give them those 8 KiB so their report can be read.
bool load_cartridge(GB& gb, const std::string& rom, const romtest::Expectation& expectation,
                    const std::vector<romtest::Patch>& patches, std::string& error) {
    if (expectation.kind != romtest::Kind::BlarggRam && patches.empty()) return gb.cartridge.try_load_rom(rom, error);
    // A regular file of at most the largest cartridge, as the machine itself
    // loads it: a FIFO or a device is refused, never waited on or read
    // without end.
    const file_io::FileRead file = file_io::read_regular_file(rom, u64(MAX_ROM_FILE_SIZE));
    if (file.status == file_io::ReadStatus::Missing) {
        error = "ROM not found: " + rom;
        return false;
    }
    if (file.status == file_io::ReadStatus::Failed) {
        error = "ROM not readable: " + rom + " (" + file.error + ")";
        return false;
    }
    // One too short to be a cartridge is refused as the machine refuses it.
    if (file.bytes.size() < size_t(MIN_ROM_FILE_SIZE)) return gb.cartridge.try_load_rom(rom, error);
    std::vector<u8> image = file.bytes;
    if (file.size > u64(MAX_ROM_FILE_SIZE)) {
        if (!patches.empty()) {
            error = "cannot patch " + rom;
            return false;
        }
        return gb.cartridge.try_load_rom(rom, error);
    }
    for (const auto& patch : patches)
        if (!romtest::apply_patch(image, patch, error)) return false;
    const bool mbc1_with_ram = image.size() > HEADER_RAM_SIZE &&
                               (image[HEADER_TYPE] == 0x02 || image[HEADER_TYPE] == 0x03);
    if (expectation.kind == romtest::Kind::BlarggRam && mbc1_with_ram && image[HEADER_RAM_SIZE] == 0)
        image[HEADER_RAM_SIZE] = 0x02;
    gb.cartridge.load_rom_from_memory(rom, image.data(), int(image.size()));
    return true;
}

int main(int argc, char** argv) {
    // The verdict and every message go out line by line, to a pipe or file
    // too. Past a file-size limit (ulimit -f) a write fails instead of ending
    // the run with SIGXFSZ: a picture file's is reported, a line of output is
    // lost, and the exit status still gives the verdict.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    std::signal(SIGXFSZ, SIG_IGN);
    std::string model = "auto";
    std::string rom;
    std::string expect_text;
    std::string screenshot;
    int frames = DEFAULT_FRAMES;
    bool bench = false;
    std::vector<romtest::Press> presses;
    std::vector<romtest::Patch> patches;
    std::vector<int> round_trips;
    bool snapshots = false;
    romtest::DebugOutputs debug_outputs;
    romtest::PictureOptions picture_options;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::cout << "missing value after " << name << "\n";
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            print_usage();
            return 0;
        } else if (arg == "--model") {
            const char* v = value("--model");
            if (!v) return error_exit("bad arguments");
            model = v;
        } else if (arg == "--frames") {
            const char* v = value("--frames");
            if (!v || !parse_frames(v, frames)) return error_exit("--frames needs a positive number");
        } else if (arg == "--expect") {
            const char* v = value("--expect");
            if (!v) return error_exit("bad arguments");
            expect_text = v;
        } else if (arg == "--screenshot") {
            const char* v = value("--screenshot");
            if (!v) return error_exit("bad arguments");
            screenshot = v;
        } else if (arg == "--press") {
            const char* v = value("--press");
            if (!v) return error_exit("bad arguments");
            const auto press = romtest::parse_press(v);
            if (!press) return error_exit(std::string("--press needs FRAME:BUTTONS, not ") + v);
            presses.push_back(*press);
        } else if (arg == "--patch") {
            const char* v = value("--patch");
            if (!v) return error_exit("bad arguments");
            const auto patch = romtest::parse_patch(v);
            if (!patch) return error_exit(std::string("--patch needs OFFSET:OLD:NEW in hex, not ") + v);
            patches.push_back(*patch);
        } else if (arg == "--state-roundtrip") {
            const char* v = value("--state-roundtrip");
            int frame = 0;
            if (!v || !parse_frames(v, frame)) return error_exit("--state-roundtrip needs a positive frame number");
            round_trips.push_back(frame);
        } else if (arg == "--snapshots") {
            snapshots = true;
        } else if (arg == "--bench") {
            bench = true;
        } else if (std::string why; const int taken = romtest::parse_debug_option(argc, argv, i, debug_outputs, why)) {
            if (taken < 0) return error_exit(why);
        } else if (std::string why; const int taken = romtest::parse_picture_option(argc, argv, i, picture_options, why)) {
            if (taken < 0) return error_exit(why);
        } else if (!arg.empty() && arg[0] == '-') {
            print_usage();
            return error_exit("unknown option " + arg);
        } else if (rom.empty()) {
            rom = arg;
        } else {
            print_usage();
            return error_exit("more than one ROM given");
        }
    }
    if (rom.empty()) {
        print_usage();
        return error_exit("no ROM given");
    }

    romtest::Expectation expectation;
    if (bench) {
        if (!expect_text.empty()) return error_exit("--bench judges nothing; drop --expect");
    } else {
        if (expect_text.empty()) return error_exit("nothing to judge: give --expect KIND or --bench");
        auto parsed = romtest::parse_expectation(expect_text);
        if (!parsed) return error_exit("unknown expectation " + expect_text);
        expectation = *parsed;
    }

    // Every machine of a run is set up alike: the judged one, and for state
    // round trips the ones that load its states and the uninterrupted twin.
    auto build = [&](romtest::ScreenCapture* host, std::string& error) -> std::unique_ptr<GB> {
        auto gb = std::make_unique<GB>();
        if (!gb->set_default_device_by_short_string(model)) {
            error = "unknown model " + model;
            return nullptr;
        }
        gb->host = host;
        gb->use_boot_roms = false;
        gb->grey_shades = true;   // the reference pictures use the plain grey ramp
        gb->player_turbo = true;  // never wait for the wall clock
        if (!load_cartridge(*gb, rom, expectation, patches, error)) return nullptr;
        gb->rom_path = rom;
        romtest::load_symbols(*gb);
        gb->reset();
        romtest::apply_render_path(*gb, picture_options);
        return gb;
    };
    romtest::ScreenCapture screen;
    screen.presses = presses;
    std::string error;
    std::unique_ptr<GB> machine = build(&screen, error);
    if (!machine) return error_exit(error);
    GB& gb = *machine;

    romtest::Runner runner(gb, expectation, frames, &screen);
    if (!runner.prepare(error)) return error_exit(error);
    runner.take_snapshots = snapshots;
    for (int frame : round_trips) {
        runner.add_state_round_trip(frame, [&build](romtest::ScreenCapture* host) {
            std::string ignored;
            return build(host, ignored);
        });
    }

    std::cout << "rom " << rom << " on " << gb.device_short_names[gb.device] << ", "
              << (bench ? std::string("bench") : "expect " + expect_text) << ", " << frames << " frames\n";

    const auto start = std::chrono::steady_clock::now();
    const romtest::Verdict verdict = runner.run();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    if (!screenshot.empty() && !write_png_rgb(screenshot, romtest::to_rgb(screen), error)) return error_exit(error);
    if (!romtest::write_debug_outputs(runner.machine(), debug_outputs, error)) return error_exit(error);
    if (!romtest::write_picture_files(runner.machine(), picture_options, error)) return error_exit(error);

    if (bench) {
        char line[128];
        std::snprintf(line, sizeof line, "frames=%d seconds=%.3f fps=%.1f", verdict.frames, seconds,
                      seconds > 0 ? verdict.frames / seconds : 0.0);
        std::cout << line << std::endl;
        return 0;
    }
    if (verdict.status == romtest::Status::Timeout && !verdict.detail.empty()) {
        std::cout << verdict.detail << "\n";
    }
    std::cout << romtest::verdict_line(verdict) << std::endl;
    return romtest::exit_code(verdict.status);
}
