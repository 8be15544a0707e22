// The conformance runner's judging rules: the pass, fail and time-out
// decision of each expectation kind, and the recognition of LD B,B, on small
// ROMs built in memory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../temp_dir.h"
#include "core/gb.h"
#include "png_io.h"
#include "romtest.h"

using namespace romtest;

namespace {

// A machine reset on dmgB, with no boot ROM and a screen capture as its host,
// running a 32 KiB ROM (all NOPs but for the program at 0x0100), with 8 KiB
// of MBC1 RAM if asked.
struct Machine {
    GB gb;
    ScreenCapture screen;
    explicit Machine(const std::vector<u8>& program, bool with_ram = false) {
        std::vector<u8> rom(0x8000, 0x00);
        std::copy(program.begin(), program.end(), rom.begin() + 0x0100);
        rom[0x0147] = with_ram ? 0x03 : 0x00;
        rom[0x0149] = with_ram ? 0x02 : 0x00;
        gb.set_default_device_by_short_string("dmgB");
        gb.use_boot_roms = false;
        gb.grey_shades = true;
        gb.player_turbo = true;
        gb.host = &screen;
        gb.cartridge.load_rom_from_memory("test.gb", rom.data(), int(rom.size()));
        gb.reset();
    }
    void send_serial(const std::string& text) {
        for (char ch : text) {
            gb.write_byte(0xFF01, u8(ch));
            gb.write_byte(0xFF02, 0x81);
        }
    }
};

Expectation expect(Kind kind) {
    Expectation e;
    e.kind = kind;
    return e;
}

// NOP, NOP, LD B,B, then a loop: the breakpoint is reached on the third step.
const std::vector<u8> NOPS_THEN_LD_B_B = {0x00, 0x00, 0x40, 0x18, 0xFE};

RgbImage solid(u8 level) {
    RgbImage image;
    image.width = FRAME_WIDTH;
    image.height = FRAME_HEIGHT;
    image.rgb.assign(size_t(FRAME_WIDTH) * FRAME_HEIGHT * 3, level);
    return image;
}

void write_png_or_fail(const std::string& path, const RgbImage& image) {
    std::string error;
    ASSERT_TRUE(write_png_rgb(path, image, error)) << error;
}

// ---------------------------------------------------------------------------
// Fibonacci: B-L are judged at the first executed LD B,B, and only there.

TEST(RomtestFibonacci, JudgedAtTheBreakpoint) {
    struct Row {
        std::vector<u8> program;
        std::array<u8, 6> registers;
        Status status;
        const char* detail;
    };
    const Row rows[] = {
        {NOPS_THEN_LD_B_B, {3, 5, 8, 13, 21, 34}, Status::Pass, ""},
        {NOPS_THEN_LD_B_B, {3, 5, 8, 13, 21, 35}, Status::Fail, "03 05 08 0D 15 23"},
        {NOPS_THEN_LD_B_B, {0x42, 0x42, 0x42, 0x42, 0x42, 0x42}, Status::Fail, "reported failure"},
        {{0x00, 0x00, 0x00, 0x18, 0xFE}, {3, 5, 8, 13, 21, 34}, Status::Timeout, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.detail);
        Machine m(r.program);
        CPU& cpu = m.gb.cpu;
        cpu.bc = u16(r.registers[0] << 8 | r.registers[1]);
        cpu.de = u16(r.registers[2] << 8 | r.registers[3]);
        cpu.hl = u16(r.registers[4] << 8 | r.registers[5]);
        const Verdict v = Runner(m.gb, expect(Kind::Fibonacci), 2).run();
        EXPECT_EQ(v.status, r.status) << v.detail;
        EXPECT_NE(v.detail.find(r.detail), std::string::npos) << v.detail;
        if (r.status != Status::Timeout) {
            EXPECT_EQ(cpu.pc, 0x0103);  // stopped right after the breakpoint
            EXPECT_EQ(v.frames, 0);
        }
    }
}

TEST(RomtestFibonacci, LdBBIsAnExecutedOpcodeOnly) {
    Machine m(NOPS_THEN_LD_B_B);
    const StepProbe before = StepProbe::of(m.gb);
    m.gb.cpu.opcode = OPCODE_LD_B_B;
    EXPECT_TRUE(executed_ld_b_b(before, m.gb));
    // A HALT wait step or a STOP step fetches nothing: the opcode is stale.
    StepProbe halted = before;
    halted.halted = true;
    halted.ime = 2;
    EXPECT_FALSE(executed_ld_b_b(halted, m.gb));
    StepProbe stopped = before;
    stopped.stopped = true;
    EXPECT_FALSE(executed_ld_b_b(stopped, m.gb));
    // HALT left with interrupts disabled runs the next opcode in the same step.
    halted.ime = 0;
    EXPECT_TRUE(executed_ld_b_b(halted, m.gb));
    // An interrupt dispatch pushes PC: no opcode ran.
    m.gb.cpu.sp = u16(before.sp - 2);
    EXPECT_FALSE(executed_ld_b_b(before, m.gb));
    m.gb.cpu.sp = before.sp;
    m.gb.cpu.opcode = 0x41;
    EXPECT_FALSE(executed_ld_b_b(before, m.gb));
}

// ---------------------------------------------------------------------------
// Serial text

TEST(RomtestSerial, PassedFailedOrNothing) {
    struct Row {
        std::string text;
        Status status;
        const char* detail;
    };
    const Row rows[] = {
        {"cpu_instrs\n\n01:ok\n\nPassed all tests\n", Status::Pass, ""},
        {"02-interrupts\n\nTimer doesn't work\nFailed #4\n", Status::Fail, "Failed #4"},
        {"Pass\nFail\n", Status::Timeout, "serial: Pass | Fail"},
    };
    for (const Row& r : rows) {
        Machine m({});
        m.send_serial(r.text);
        Runner runner(m.gb, expect(Kind::Serial), 2);
        const Verdict v = runner.run();
        EXPECT_EQ(v.status, r.status) << v.detail;
        EXPECT_NE(v.detail.find(r.detail), std::string::npos) << v.detail;
        EXPECT_EQ(runner.serial_text(), r.text);
    }
}

TEST(RomtestSerial, FindsAWordSplitAcrossTwoChecks) {
    Machine m({});
    m.send_serial("...Pas");
    Runner runner(m.gb, expect(Kind::Serial), 1);
    ASSERT_EQ(runner.run().status, Status::Timeout);
    m.send_serial("sed\n");
    EXPECT_EQ(runner.run().status, Status::Pass);
}

// ---------------------------------------------------------------------------
// Blargg's cartridge-RAM report: a status counts only after the test has
// marked itself running (0x80) behind the signature DE B0 61.

void blargg_report(GB& gb, u8 status, const std::string& text, u8 signature_end = 0x61) {
    u8* ram = gb.cartridge.ram.get();
    ram[0] = status;
    ram[1] = 0xDE;
    ram[2] = 0xB0;
    ram[3] = signature_end;
    for (size_t i = 0; i <= text.size(); ++i) ram[4 + i] = i < text.size() ? u8(text[i]) : 0;
}

TEST(RomtestBlarggRam, StatusAfterRunning) {
    struct Row {
        bool running_first;
        u8 status;
        u8 signature_end;
        Status verdict;
        const char* detail;
    };
    const Row rows[] = {
        {true, 0x00, 0x61, Status::Pass, ""},
        {true, 0x03, 0x61, Status::Fail, "result code 3: 03-trigger | Failed #3"},
        {false, 0x00, 0x61, Status::Timeout, ""},  // leftovers from before the test ran
        {true, 0x00, 0x60, Status::Timeout, ""},   // no signature
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.running_first << " " << int(r.status) << " " << int(r.signature_end));
        Machine m({}, true);
        Runner runner(m.gb, expect(Kind::BlarggRam), 1);
        if (r.running_first) {
            blargg_report(m.gb, 0x80, "");
            ASSERT_EQ(runner.run().status, Status::Timeout);  // still running
        }
        blargg_report(m.gb, r.status, "03-trigger\n\nFailed #3\n", r.signature_end);
        const Verdict v = runner.run();
        EXPECT_EQ(v.status, r.verdict) << v.detail;
        EXPECT_NE(v.detail.find(r.detail), std::string::npos) << v.detail;
    }
}

// ---------------------------------------------------------------------------
// gbmicrotest's high-RAM result: FF82 = 01 pass, FF then fail, anything else
// undecided.

TEST(RomtestHram, PassFailAndUndecided) {
    const std::pair<u8, Status> rows[] = {{0x01, Status::Pass}, {0xFF, Status::Fail}, {0x02, Status::Timeout}};
    for (auto [result, status] : rows) {
        Machine m({});
        m.gb.write_byte(0xFF80, 0x12);
        m.gb.write_byte(0xFF81, 0x34);
        m.gb.write_byte(0xFF82, result);
        const Verdict v = Runner(m.gb, expect(Kind::HramResult), 1).run();
        EXPECT_EQ(v.status, status) << int(result);
        if (status == Status::Fail) {
            EXPECT_NE(v.detail.find("read 12, expected 34"), std::string::npos) << v.detail;
        }
    }
}

// ---------------------------------------------------------------------------
// Giving up: the frame limit, and machines that can never report

TEST(RomtestFrames, WithoutPicturesEveryFrameIs70224Cycles) {
    Machine m({});
    m.gb.write_byte(0xFF40, 0x00);  // LCD off: the picture unit signals no frame
    const u64 start = m.gb.cpu.cycles_4mhz;
    const Verdict v = Runner(m.gb, expect(Kind::None), 3).run();
    EXPECT_EQ(v.status, Status::Pass);
    EXPECT_EQ(v.frames, 3);
    const u64 elapsed = m.gb.cpu.cycles_4mhz - start;
    EXPECT_GE(elapsed, 3 * CYCLES_PER_FRAME);
    EXPECT_LT(elapsed, 3 * CYCLES_PER_FRAME + 32);  // no longer than one instruction more
}

TEST(RomtestStuck, RecognisesMachinesThatCanNeverReport) {
    Machine m({0x18, 0xFE});
    const StepProbe before = StepProbe::of(m.gb);
    CPU& cpu = m.gb.cpu;
    cpu.opcode = 0x00;
    cpu.ime = 0;
    cpu.ie = 0;
    EXPECT_EQ(stuck_reason(before, m.gb), "");  // an ordinary instruction

    cpu.opcode = 0x18;  // JR to itself
    EXPECT_NE(stuck_reason(before, m.gb), "");
    cpu.ime = 2;
    cpu.ie = 0x01;  // an interrupt can still leave the loop
    EXPECT_EQ(stuck_reason(before, m.gb), "");
    cpu.ime = 1;  // EI pending: not stuck either
    EXPECT_EQ(stuck_reason(before, m.gb), "");
    cpu.ime = 2;
    cpu.ie = 0x00;  // enabled, but nothing can be requested
    EXPECT_NE(stuck_reason(before, m.gb), "");
    cpu.ie = 0x01;
    cpu.pc = u16(before.pc + 2);  // the jump went elsewhere
    EXPECT_EQ(stuck_reason(before, m.gb), "");

    cpu.halted = true;
    cpu.ie = 0x00;
    EXPECT_NE(stuck_reason(before, m.gb), "");
    cpu.ie = 0x04;
    EXPECT_EQ(stuck_reason(before, m.gb), "");
    cpu.halted = false;
    cpu.stopped = true;
    EXPECT_NE(stuck_reason(before, m.gb), "");

    // A stopped CPU wakes when a selected line goes low: a scripted press
    // held now or still to come of a key the program selected. The frame
    // reached is 10; a press is held for PRESS_HOLD_FRAMES frames.
    struct StopRow {
        u8 p1;  // select lines written (bit 5 buttons, bit 4 directions; 0 selects)
        std::vector<Press> presses;
        bool stuck;
    };
    const StopRow stop_rows[] = {
        {0x10, {}, true},                        // buttons selected, no press at all
        {0x10, {{20, JOYPAD_A}}, false},         // A still to come
        {0x10, {{20, JOYPAD_UP}}, true},         // only a direction to come
        {0x10, {{20, JOYPAD_UP | JOYPAD_START}}, false},
        {0x10, {{2, JOYPAD_A}}, true},           // released at frame 8
        {0x10, {{5, JOYPAD_B}}, false},          // still held through frame 10
        {0x20, {{20, JOYPAD_A}, {30, JOYPAD_DOWN}}, false},  // directions selected
        {0x30, {{20, 0xFF}}, true},              // nothing selected
    };
    for (const StopRow& r : stop_rows) {
        SCOPED_TRACE(testing::Message() << "P1 " << int(r.p1) << ", " << r.presses.size() << " press(es)");
        m.gb.joypad.p1 = r.p1;
        EXPECT_EQ(stuck_reason(before, m.gb, r.presses, 10) != "", r.stuck);
    }
}

// ---------------------------------------------------------------------------
// Pictures: "image:" compares the screen at LD B,B, "image-frames:" ignores
// LD B,B and compares after exactly the frame limit.

TEST(RomtestImage, ComparesAtTheBreakpointOrAfterTheFrameLimit) {
    TempDir dir;
    const std::string reference = dir.path("ref.png");
    RgbImage two_frames;  // what two frames show; a second identical run shows it again
    {
        Machine m(NOPS_THEN_LD_B_B);
        Runner(m.gb, expect(Kind::None), 2, &m.screen).run();
        two_frames = to_rgb(m.screen);
    }
    RgbImage altered = two_frames;
    altered.rgb[(size_t(143) * FRAME_WIDTH + 159) * 3 + 1] ^= 0x01;
    struct Row {
        std::string kind;
        RgbImage picture;
        Status status;
        int frames;
        const char* detail;
    };
    const Row rows[] = {
        {"image:", solid(255), Status::Pass, 0, ""},  // LD B,B comes before the first frame: a blank screen
        {"image:", solid(0), Status::Fail, 0, "in 23040 pixels"},
        {"image-frames:", two_frames, Status::Pass, 2, ""},
        {"image-frames:", altered, Status::Fail, 2, "in 1 pixels, first at (159,143)"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.kind + r.detail);
        write_png_or_fail(reference, r.picture);
        Machine m(NOPS_THEN_LD_B_B);
        Runner runner(m.gb, *parse_expectation(r.kind + reference), 2, &m.screen);
        std::string error;
        ASSERT_TRUE(runner.prepare(error)) << error;
        const Verdict v = runner.run();
        EXPECT_EQ(v.status, r.status) << v.detail;
        EXPECT_EQ(v.frames, r.frames);
        EXPECT_NE(v.detail.find(r.detail), std::string::npos) << v.detail;
    }
}

// ---------------------------------------------------------------------------
// Inputs of the runner process: each is bounded and none is waited on.

u32 crc32(const u8* data, size_t size) {
    u32 crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

// A real 160x144 PNG whose header is rewritten to claim width x height
// (with a correct checksum, so only the size gives it away).
void write_png_claiming(const std::string& path, u32 width, u32 height) {
    write_png_or_fail(path, solid(0));
    std::ifstream in(path, std::ios::binary);
    std::vector<u8> png{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    in.close();
    for (int i = 0; i < 4; ++i) {
        png[size_t(16 + i)] = u8(width >> (24 - 8 * i));
        png[size_t(20 + i)] = u8(height >> (24 - 8 * i));
    }
    const u32 crc = crc32(png.data() + 12, 17);  // chunk type and data
    for (int i = 0; i < 4; ++i) png[size_t(29 + i)] = u8(crc >> (24 - 8 * i));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
}

// Runs the runner binary with `args`, its output and exit status.
struct RunResult {
    std::string out;
    int status = -1;
};
RunResult run_romtest(const std::string& args) {
    // The time limit only keeps a runner that blocks from stalling the test.
    const std::string command = "timeout 60 " + std::string(ZEMBRIX_ROMTEST_BINARY) + " " + args + " 2>&1";
    RunResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer{};
    for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) result.out.append(buffer.data(), n);
    result.status = ::pclose(pipe);
    return result;
}

// A program that selects the action buttons, executes STOP and then reports
// the Fibonacci registers: only a press of an action button can get it past
// the STOP, and the runner waits for one while one is still to come.
TEST(RomtestStuck, AStopThatAPressToComeWakesRunsOn) {
    TempDir dir;
    std::vector<u8> rom(0x8000, 0x00);
    const u8 program[] = {
        0xF3,                    // DI
        0x3E, 0x10, 0xE0, 0x00,  // P1 = $10: the action buttons selected
        0xAF, 0xE0, 0x0F,        // IF = 0
        0xE0, 0xFF,              // IE = 0
        0x10, 0x00,              // STOP
        0x06, 3, 0x0E, 5, 0x16, 8, 0x1E, 13, 0x26, 21, 0x2E, 34,
        0x40,                    // LD B,B
        0x18, 0xFE,
    };
    std::copy(std::begin(program), std::end(program), rom.begin() + 0x100);
    u8 header_sum = 0;
    for (size_t i = 0x134; i < 0x14D; ++i) header_sum = u8(header_sum - rom[i] - 1);
    rom[0x14D] = header_sum;
    const std::string path = dir.file("stop.gb", rom);
    struct Row {
        std::string args;
        bool passes;
        std::string says;
    };
    const Row rows[] = {
        {"--press 60:a", true, "PASS"},
        {"--press 60:start --press 90:b", true, "PASS"},
        {"", false, "the CPU executed STOP and nothing can wake it\nTIMEOUT after 0 frames"},
        {"--press 60:up", false, "the CPU executed STOP and nothing can wake it\nTIMEOUT after 0 frames"},
        {"--press 60:a --frames 30", false, "TIMEOUT after 30 frames"},
    };
    for (const char* model : {"dmgB", "cgbE"}) {
        for (const Row& r : rows) {
            SCOPED_TRACE(std::string(model) + " " + r.args);
            const RunResult run =
                run_romtest("--model " + std::string(model) + " --expect fibonacci --frames 300 " + r.args + " " + path);
            EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == (r.passes ? 0 : 2))
                << "status " << run.status << ": " << run.out;
            EXPECT_NE(run.out.find(r.says), std::string::npos) << run.out;
        }
    }
}

TEST(RomtestInputs, RefusedAtOnceWithAReason) {
    TempDir dir;
    std::vector<u8> rom(0x8000, 0x00);
    const std::string good = dir.file("good.gb", rom);
    const std::string empty = dir.file("empty.gb", {});
    const std::string short_rom = dir.file("short.gb", std::vector<u8>(0x14F, 0x00));
    const std::string too_short = "ERROR ROM too short to hold a cartridge header (";
    const std::string fifo = dir.path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string huge = dir.path("huge.png");
    write_png_claiming(huge, 100000, 100000);
    struct Row {
        std::string args, says;
    };
    const Row rows[] = {
        {"--expect blargg-ram /dev/zero", "ERROR ROM not readable: /dev/zero (a device, not a regular file)"},
        {"--expect serial --patch 0:00:00 /dev/zero", "ERROR ROM not readable: /dev/zero (a device, not a regular file)"},
        {"--expect serial " + fifo, "ERROR ROM not readable: " + fifo + " (a FIFO, not a regular file)"},
        {"--expect image:" + fifo + " " + good, "ERROR not a regular file: " + fifo},
        {"--expect image:" + huge + " " + good, "ERROR cannot read " + huge + ": Image width exceeds user limit"},
        // Too short to be a cartridge, whether the runner loads the file or
        // patches it in memory first.
        {"--bench --frames 1 " + empty, too_short + "0 bytes; the header takes the first 336): " + empty},
        {"--expect blargg-ram " + short_rom, too_short + "335 bytes; the header takes the first 336): " + short_rom},
        {"--expect serial --patch 0:00:01 " + short_rom,
         too_short + "335 bytes; the header takes the first 336): " + short_rom},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.args);
        const RunResult run = run_romtest(r.args);
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 2) << "status " << run.status << ": " << run.out;
        EXPECT_NE(run.out.find(r.says), std::string::npos) << run.out;
    }
}

// A file-size limit (ulimit -f) on the file the output is appended to ends
// no run: the lines are lost, the exit status still gives the result.
TEST(RomtestOutput, FileSizeLimitOnTheOutputEndsNoRun) {
    TempDir dir;
    std::vector<u8> image(0x8000, 0x00);
    image[0x100] = 0x18;  // JR -2
    image[0x101] = 0xFE;
    const std::string rom = dir.file("loop.gb", image);
    const std::string log = dir.file("output.log", {});
    std::filesystem::resize_file(log, 1 << 20);  // past the limit of 64 blocks
    const std::string command = "ulimit -f 64 && exec timeout 30 " + std::string(ZEMBRIX_ROMTEST_BINARY) +
                                " --bench --frames 2 " + rom + " >> " + log + " 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(std::filesystem::file_size(log), 1u << 20);
}

}  // namespace
