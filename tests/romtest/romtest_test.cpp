// The conformance runner's judging logic, and the runner program's contract
// (exit status and last line), on small ROMs built in memory.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/gb.h"
#include "png_io.h"
#include "romtest.h"

namespace fs = std::filesystem;
using namespace romtest;

namespace {

// A 32 KiB ROM with a program at the entry point 0x0100.
struct Rom {
    std::vector<u8> bytes = std::vector<u8>(0x8000, 0x00);
    explicit Rom(const std::vector<u8>& program) {
        for (size_t i = 0; i < program.size(); ++i) bytes.at(0x0100 + i) = program[i];
    }
    Rom& with_ram() {  // MBC1 + RAM + battery, 8 KiB
        bytes[0x0147] = 0x03;
        bytes[0x0149] = 0x02;
        return *this;
    }
};

// A machine reset on `model` with the ROM loaded from memory, no boot ROM,
// and a screen capture as its host.
struct Machine {
    GB gb;
    ScreenCapture screen;
    Machine(const Rom& rom, const std::string& model = "dmgB") {
        gb.set_default_device_by_short_string(model);
        gb.use_boot_roms = false;
        gb.grey_shades = true;
        gb.player_turbo = true;
        gb.host = &screen;
        gb.cartridge.load_rom_from_memory("test.gb", rom.bytes.data(), int(rom.bytes.size()));
        gb.reset();
    }
    void set_registers(u8 b, u8 c, u8 d, u8 e, u8 h, u8 l) {
        gb.cpu.set_b(b);
        gb.cpu.set_c(c);
        gb.cpu.set_d(d);
        gb.cpu.set_e(e);
        gb.cpu.set_h(h);
        gb.cpu.set_l(l);
    }
    void send_serial(const std::string& text) {
        for (char ch : text) {
            gb.write_byte(0xFF01, u8(ch));
            gb.write_byte(0xFF02, 0x81);
        }
    }
};

// NOP, NOP, LD B,B, then a loop: the breakpoint is reached on the third step.
const std::vector<u8> NOPS_THEN_LD_B_B = {0x00, 0x00, 0x40, 0x18, 0xFE};

Expectation expect(Kind kind) {
    Expectation e;
    e.kind = kind;
    return e;
}

// A file in the temporary directory, removed at the end of the test.
struct TempFile {
    fs::path path;
    explicit TempFile(const std::string& name) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path = fs::temp_directory_path() /
               ("zembrix-romtest-" + std::to_string(::getpid()) + "-" + info->name() + "-" + name);
    }
    ~TempFile() {
        std::error_code ec;
        fs::remove(path, ec);
    }
    std::string str() const { return path.string(); }
};

RgbImage solid(u8 r, u8 g, u8 b) {
    RgbImage image;
    image.width = FRAME_WIDTH;
    image.height = FRAME_HEIGHT;
    image.rgb.resize(size_t(FRAME_WIDTH) * FRAME_HEIGHT * 3);
    for (size_t i = 0; i < image.rgb.size(); i += 3) {
        image.rgb[i] = r;
        image.rgb[i + 1] = g;
        image.rgb[i + 2] = b;
    }
    return image;
}

void write_png_or_fail(const std::string& path, const RgbImage& image) {
    std::string error;
    ASSERT_TRUE(write_png_rgb(path, image, error)) << error;
}

}  // namespace

// ---------------------------------------------------------------------------
// Expectation parsing and verdict lines

TEST(RomtestExpectation, ParsesEveryKind) {
    EXPECT_EQ(parse_expectation("serial")->kind, Kind::Serial);
    EXPECT_EQ(parse_expectation("fibonacci")->kind, Kind::Fibonacci);
    EXPECT_EQ(parse_expectation("blargg-ram")->kind, Kind::BlarggRam);
    EXPECT_EQ(parse_expectation("hram-result")->kind, Kind::HramResult);
    auto image = parse_expectation("image:dir with space/ref.png");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->kind, Kind::Image);
    EXPECT_EQ(image->reference, "dir with space/ref.png");
    EXPECT_TRUE(image->at_breakpoint);
    auto frames = parse_expectation("image-frames:ref.png");
    ASSERT_TRUE(frames);
    EXPECT_EQ(frames->reference, "ref.png");
    EXPECT_FALSE(frames->at_breakpoint);
}

TEST(RomtestExpectation, RejectsUnknownKindsAndMissingReferences) {
    EXPECT_FALSE(parse_expectation(""));
    EXPECT_FALSE(parse_expectation("Serial"));
    EXPECT_FALSE(parse_expectation("image:"));
    EXPECT_FALSE(parse_expectation("image-frames:"));
    EXPECT_FALSE(parse_expectation("mooneye"));
}

TEST(RomtestVerdict, LinesAndExitCodes) {
    EXPECT_EQ(verdict_line({Status::Pass, "", 3}), "PASS");
    EXPECT_EQ(verdict_line({Status::Fail, "why", 3}), "FAIL why");
    EXPECT_EQ(verdict_line({Status::Timeout, "stuck", 42}), "TIMEOUT after 42 frames");
    EXPECT_EQ(exit_code(Status::Pass), 0);
    EXPECT_EQ(exit_code(Status::Fail), 1);
    EXPECT_EQ(exit_code(Status::Timeout), 2);
    EXPECT_EQ(exit_code(Status::Error), 2);
}

// ---------------------------------------------------------------------------
// Fibonacci protocol

TEST(RomtestFibonacci, PassesAtLdBBWithTheFibonacciRegisters) {
    Machine m{Rom(NOPS_THEN_LD_B_B)};
    m.set_registers(3, 5, 8, 13, 21, 34);
    Runner runner(m.gb, expect(Kind::Fibonacci), 10);
    const Verdict v = runner.run();
    EXPECT_EQ(v.status, Status::Pass) << v.detail;
    EXPECT_EQ(m.gb.cpu.pc, 0x0103);  // stopped right after the breakpoint
    EXPECT_EQ(v.frames, 0);
}

TEST(RomtestFibonacci, FailsAtLdBBWithOtherRegisters) {
    Machine m{Rom(NOPS_THEN_LD_B_B)};
    m.set_registers(3, 5, 8, 13, 21, 35);
    Runner runner(m.gb, expect(Kind::Fibonacci), 10);
    const Verdict v = runner.run();
    EXPECT_EQ(v.status, Status::Fail);
    EXPECT_NE(v.detail.find("03 05 08 0D 15 23"), std::string::npos) << v.detail;
    EXPECT_EQ(m.gb.cpu.pc, 0x0103);
}

TEST(RomtestFibonacci, RecognisesTheReportedFailure) {
    Machine m{Rom(NOPS_THEN_LD_B_B)};
    m.set_registers(0x42, 0x42, 0x42, 0x42, 0x42, 0x42);
    Runner runner(m.gb, expect(Kind::Fibonacci), 10);
    const Verdict v = runner.run();
    EXPECT_EQ(v.status, Status::Fail);
    EXPECT_NE(v.detail.find("reported failure"), std::string::npos) << v.detail;
}

TEST(RomtestFibonacci, RegistersAreJudgedOnlyAtTheBreakpoint) {
    // The right values are in place from the start, but the program never
    // executes LD B,B: no verdict but a time-out.
    Machine m{Rom({0x00, 0x00, 0x00, 0x18, 0xFE})};
    m.set_registers(3, 5, 8, 13, 21, 34);
    Runner runner(m.gb, expect(Kind::Fibonacci), 2);
    const Verdict v = runner.run();
    EXPECT_EQ(v.status, Status::Timeout);
}

TEST(RomtestStep, LdBBIsAnExecutedOpcodeOnly) {
    Machine m{Rom(NOPS_THEN_LD_B_B)};
    StepProbe before = StepProbe::of(m.gb);
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
    StepProbe halted_ime0 = before;
    halted_ime0.halted = true;
    halted_ime0.ime = 0;
    EXPECT_TRUE(executed_ld_b_b(halted_ime0, m.gb));
    // An interrupt dispatch pushes PC: no opcode ran.
    m.gb.cpu.sp = u16(before.sp - 2);
    EXPECT_FALSE(executed_ld_b_b(before, m.gb));
    // Any other opcode.
    m.gb.cpu.sp = before.sp;
    m.gb.cpu.opcode = 0x41;
    EXPECT_FALSE(executed_ld_b_b(before, m.gb));
}

// ---------------------------------------------------------------------------
// Serial protocol

TEST(RomtestSerial, PassesWhenTheTextContainsPassed) {
    Machine m{Rom({0x18, 0xFE})};
    m.send_serial("cpu_instrs\n\n01:ok\n\nPassed all tests\n");
    Runner runner(m.gb, expect(Kind::Serial), 10);
    const Verdict v = runner.run();
    EXPECT_EQ(v.status, Status::Pass) << v.detail;
    EXPECT_EQ(runner.serial_text(), "cpu_instrs\n\n01:ok\n\nPassed all tests\n");
}

TEST(RomtestSerial, FailsWhenTheTextContainsFailed) {
    Machine m{Rom({0x18, 0xFE})};
    m.send_serial("02-interrupts\n\nTimer doesn't work\nFailed #4\n");
    Runner runner(m.gb, expect(Kind::Serial), 10);
    const Verdict v = runner.run();
    EXPECT_EQ(v.status, Status::Fail);
    EXPECT_NE(v.detail.find("Failed #4"), std::string::npos) << v.detail;
}

TEST(RomtestSerial, FindsAWordSplitAcrossTwoChecks) {
    Machine m{Rom({0x00, 0x00, 0x00, 0x00, 0x00, 0x00})};
    m.send_serial("...Pas");
    Runner runner(m.gb, expect(Kind::Serial), 1);
    const Verdict first = runner.run();
    ASSERT_EQ(first.status, Status::Timeout);
    EXPECT_EQ(first.frames, 1);
    m.send_serial("sed\n");
    const Verdict second = runner.run();
    EXPECT_EQ(second.status, Status::Pass) << second.detail;
}

TEST(RomtestSerial, OtherTextTimesOut) {
    Machine m{Rom({0x00, 0x00, 0x00, 0x00})};
    m.send_serial("Pass\nFail\n");
    Runner runner(m.gb, expect(Kind::Serial), 2);
    const Verdict v = runner.run();
    EXPECT_EQ(v.status, Status::Timeout);
    EXPECT_EQ(v.frames, 2);
    EXPECT_NE(v.detail.find("serial: Pass | Fail"), std::string::npos) << v.detail;
    EXPECT_NE(v.detail.find("PC=$"), std::string::npos) << v.detail;
}

// ---------------------------------------------------------------------------
// Blargg's cartridge-RAM protocol

namespace {
void blargg_report(GB& gb, u8 status, const std::string& text) {
    u8* ram = gb.cartridge.ram.get();
    ram[0] = status;
    ram[1] = 0xDE;
    ram[2] = 0xB0;
    ram[3] = 0x61;
    for (size_t i = 0; i <= text.size(); ++i) ram[4 + i] = i < text.size() ? u8(text[i]) : 0;
}
}  // namespace

TEST(RomtestBlarggRam, PassesOnStatusZeroAfterRunning) {
    Machine m{Rom({0x00, 0x00, 0x00, 0x00}).with_ram()};
    ASSERT_TRUE(m.gb.cartridge.ram);
    Runner runner(m.gb, expect(Kind::BlarggRam), 1);
    blargg_report(m.gb, 0x80, "");
    EXPECT_EQ(runner.run().status, Status::Timeout);  // still running
    blargg_report(m.gb, 0x00, "dmg_sound\n\nPassed\n");
    const Verdict v = runner.run();
    EXPECT_EQ(v.status, Status::Pass) << v.detail;
}

TEST(RomtestBlarggRam, FailsOnANonZeroStatusWithTheText) {
    Machine m{Rom({0x00, 0x00, 0x00, 0x00}).with_ram()};
    Runner runner(m.gb, expect(Kind::BlarggRam), 1);
    blargg_report(m.gb, 0x80, "");
    ASSERT_EQ(runner.run().status, Status::Timeout);
    blargg_report(m.gb, 0x03, "03-trigger\n\nFailed #3\n");
    const Verdict v = runner.run();
    EXPECT_EQ(v.status, Status::Fail);
    EXPECT_NE(v.detail.find("result code 3"), std::string::npos) << v.detail;
    EXPECT_NE(v.detail.find("Failed #3"), std::string::npos) << v.detail;
}

TEST(RomtestBlarggRam, IgnoresAStatusNotPrecededByRunning) {
    // Leftover RAM contents (a signature with status 0) before the test has
    // marked itself running are no result.
    Machine m{Rom({0x00, 0x00, 0x00, 0x00}).with_ram()};
    blargg_report(m.gb, 0x00, "Passed");
    Runner runner(m.gb, expect(Kind::BlarggRam), 1);
    EXPECT_EQ(runner.run().status, Status::Timeout);
}

TEST(RomtestBlarggRam, IgnoresAStatusWithoutTheSignature) {
    Machine m{Rom({0x00, 0x00, 0x00, 0x00}).with_ram()};
    Runner runner(m.gb, expect(Kind::BlarggRam), 1);
    blargg_report(m.gb, 0x80, "");
    ASSERT_EQ(runner.run().status, Status::Timeout);
    blargg_report(m.gb, 0x00, "Passed");
    m.gb.cartridge.ram[3] = 0x60;
    EXPECT_EQ(runner.run().status, Status::Timeout);
}

// ---------------------------------------------------------------------------
// gbmicrotest's high-RAM protocol

TEST(RomtestHram, PassFailAndUndecided) {
    {
        Machine m{Rom({0x00, 0x00, 0x00, 0x00})};
        m.gb.write_byte(0xFF82, 0x01);
        Runner runner(m.gb, expect(Kind::HramResult), 1);
        EXPECT_EQ(runner.run().status, Status::Pass);
    }
    {
        Machine m{Rom({0x00, 0x00, 0x00, 0x00})};
        m.gb.write_byte(0xFF80, 0x12);
        m.gb.write_byte(0xFF81, 0x34);
        m.gb.write_byte(0xFF82, 0xFF);
        Runner runner(m.gb, expect(Kind::HramResult), 1);
        const Verdict v = runner.run();
        EXPECT_EQ(v.status, Status::Fail);
        EXPECT_NE(v.detail.find("read 12, expected 34"), std::string::npos) << v.detail;
    }
    {
        Machine m{Rom({0x00, 0x00, 0x00, 0x00})};
        m.gb.write_byte(0xFF82, 0x02);
        Runner runner(m.gb, expect(Kind::HramResult), 1);
        EXPECT_EQ(runner.run().status, Status::Timeout);
    }
}

// ---------------------------------------------------------------------------
// Frames and giving up

TEST(RomtestFrames, WithoutPicturesEveryFrameIs70224Cycles) {
    Machine m{Rom({0x00, 0x00, 0x00, 0x00})};
    m.gb.write_byte(0xFF40, 0x00);  // LCD off: the picture unit signals no frame
    const u64 start = m.gb.cpu.cycles_4mhz;
    Runner runner(m.gb, expect(Kind::None), 3);
    const Verdict v = runner.run();
    EXPECT_EQ(v.status, Status::Pass);
    EXPECT_EQ(v.frames, 3);
    const u64 elapsed = m.gb.cpu.cycles_4mhz - start;
    EXPECT_GE(elapsed, 3 * CYCLES_PER_FRAME);
    EXPECT_LT(elapsed, 3 * CYCLES_PER_FRAME + 32);  // no longer than one instruction more
}

TEST(RomtestStuck, RecognisesMachinesThatCanNeverReport) {
    Machine m{Rom({0x18, 0xFE})};
    StepProbe before = StepProbe::of(m.gb);
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
}

// ---------------------------------------------------------------------------
// Pictures

TEST(RomtestPng, RoundTripsRgb) {
    TempFile file("round.png");
    RgbImage image = solid(0, 0, 0);
    for (int y = 0; y < FRAME_HEIGHT; ++y)
        for (int x = 0; x < FRAME_WIDTH; ++x) {
            const size_t i = (size_t(y) * FRAME_WIDTH + x) * 3;
            image.rgb[i] = u8(x);
            image.rgb[i + 1] = u8(y);
            image.rgb[i + 2] = u8(x ^ y);
        }
    write_png_or_fail(file.str(), image);
    RgbImage back;
    std::string error;
    ASSERT_TRUE(read_png_rgb(file.str(), back, error)) << error;
    EXPECT_EQ(back.width, FRAME_WIDTH);
    EXPECT_EQ(back.height, FRAME_HEIGHT);
    EXPECT_EQ(back.rgb, image.rgb);
}

TEST(RomtestPng, ReportsMissingAndInvalidFiles) {
    RgbImage image;
    std::string error;
    EXPECT_FALSE(read_png_rgb("/nonexistent/ref.png", image, error));
    EXPECT_NE(error.find("/nonexistent/ref.png"), std::string::npos);
    TempFile file("not.png");
    std::ofstream(file.path) << "not a picture";
    error.clear();
    EXPECT_FALSE(read_png_rgb(file.str(), image, error));
    EXPECT_FALSE(error.empty());
}

TEST(RomtestPng, ReadsLowDepthGreyReferencesAsTheFullRamp) {
    const char* roms = std::getenv("ZEMBRIX_TEST_ROMS");
    if (!roms || !*roms) GTEST_SKIP() << "ZEMBRIX_TEST_ROMS is not set";
    // A 2-bit greyscale reference with all four DMG shades.
    const fs::path path = fs::path(roms) / "dmg-acid2" / "img" / "reference-dmg.png";
    if (!fs::exists(path)) GTEST_SKIP() << path << " is missing";
    RgbImage image;
    std::string error;
    ASSERT_TRUE(read_png_rgb(path.string(), image, error)) << error;
    ASSERT_EQ(image.width, FRAME_WIDTH);
    ASSERT_EQ(image.height, FRAME_HEIGHT);
    std::set<int> levels;
    for (size_t i = 0; i < image.rgb.size(); i += 3) {
        EXPECT_EQ(image.rgb[i], image.rgb[i + 1]);
        EXPECT_EQ(image.rgb[i], image.rgb[i + 2]);
        levels.insert(image.rgb[i]);
    }
    EXPECT_EQ(levels, (std::set<int>{0x00, 0x55, 0xAA, 0xFF}));
}

TEST(RomtestScreen, ComparesPixelByPixel) {
    ScreenCapture screen;  // blank: white
    EXPECT_EQ(compare_screen(screen, solid(255, 255, 255)), "");
    std::vector<u32> frame(size_t(FRAME_WIDTH) * FRAME_HEIGHT, 0xFFFFFFFFu);
    frame[size_t(10) * FRAME_WIDTH + 7] = 0xFF7BFF31u;
    frame[size_t(20) * FRAME_WIDTH + 0] = 0xFF000000u;
    screen.update_display(frame.data());
    EXPECT_EQ(screen.frames_presented, 1);
    const std::string diff = compare_screen(screen, solid(255, 255, 255));
    EXPECT_NE(diff.find("in 2 pixels"), std::string::npos) << diff;
    EXPECT_NE(diff.find("(7,10): #7BFF31 instead of #FFFFFF"), std::string::npos) << diff;
    // The alpha byte is not part of the picture.
    std::vector<u32> opaque_white(size_t(FRAME_WIDTH) * FRAME_HEIGHT, 0x00FFFFFFu);
    screen.update_display(opaque_white.data());
    EXPECT_EQ(compare_screen(screen, solid(255, 255, 255)), "");
}

TEST(RomtestImage, ComparesTheScreenShownAtTheBreakpoint) {
    // LD B,B comes long before the first frame ends: the screen is still blank.
    TempFile white("white.png");
    TempFile black("black.png");
    write_png_or_fail(white.str(), solid(255, 255, 255));
    write_png_or_fail(black.str(), solid(0, 0, 0));
    {
        Machine m{Rom(NOPS_THEN_LD_B_B)};
        Runner runner(m.gb, *parse_expectation("image:" + white.str()), 10, &m.screen);
        std::string error;
        ASSERT_TRUE(runner.prepare(error)) << error;
        const Verdict v = runner.run();
        EXPECT_EQ(v.status, Status::Pass) << v.detail;
        EXPECT_EQ(m.gb.cpu.pc, 0x0103);
    }
    {
        Machine m{Rom(NOPS_THEN_LD_B_B)};
        Runner runner(m.gb, *parse_expectation("image:" + black.str()), 10, &m.screen);
        std::string error;
        ASSERT_TRUE(runner.prepare(error)) << error;
        const Verdict v = runner.run();
        EXPECT_EQ(v.status, Status::Fail);
        EXPECT_NE(v.detail.find("23040 pixels"), std::string::npos) << v.detail;
    }
}

TEST(RomtestImage, AfterFramesComparesTheLastFrameShown) {
    // Whatever the machine shows after two frames, a second identical run
    // shows it again: the first run's picture is the reference.
    TempFile reference("ref.png");
    {
        Machine m{Rom({0x18, 0xFE})};
        Runner runner(m.gb, expect(Kind::None), 2, &m.screen);
        runner.run();
        write_png_or_fail(reference.str(), to_rgb(m.screen));
    }
    {
        Machine m{Rom({0x18, 0xFE})};
        Runner runner(m.gb, *parse_expectation("image-frames:" + reference.str()), 2, &m.screen);
        std::string error;
        ASSERT_TRUE(runner.prepare(error)) << error;
        const Verdict v = runner.run();
        EXPECT_EQ(v.status, Status::Pass) << v.detail;
        EXPECT_EQ(v.frames, 2);
    }
    {
        RgbImage altered;
        std::string error;
        ASSERT_TRUE(read_png_rgb(reference.str(), altered, error)) << error;
        altered.rgb[(size_t(143) * FRAME_WIDTH + 159) * 3 + 1] ^= 0x01;
        write_png_or_fail(reference.str(), altered);
        Machine m{Rom({0x18, 0xFE})};
        Runner runner(m.gb, *parse_expectation("image-frames:" + reference.str()), 2, &m.screen);
        ASSERT_TRUE(runner.prepare(error)) << error;
        const Verdict v = runner.run();
        EXPECT_EQ(v.status, Status::Fail);
        EXPECT_NE(v.detail.find("in 1 pixels, first at (159,143)"), std::string::npos) << v.detail;
    }
}

TEST(RomtestImage, PrepareRejectsMissingOrMisSizedReferences) {
    Machine m{Rom({0x18, 0xFE})};
    std::string error;
    Runner missing(m.gb, *parse_expectation("image:/nonexistent.png"), 1, &m.screen);
    EXPECT_FALSE(missing.prepare(error));
    TempFile small("small.png");
    RgbImage image;
    image.width = 2;
    image.height = 2;
    image.rgb.assign(12, 0);
    write_png_or_fail(small.str(), image);
    Runner wrong_size(m.gb, *parse_expectation("image:" + small.str()), 1, &m.screen);
    error.clear();
    EXPECT_FALSE(wrong_size.prepare(error));
    EXPECT_NE(error.find("2x2"), std::string::npos) << error;
}

// ---------------------------------------------------------------------------
// The runner program: real test programs, run through the executable

namespace {

struct Outcome {
    int status = -1;
    std::string output;
    std::string last_line() const {
        std::string text = output;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        const size_t nl = text.rfind('\n');
        return nl == std::string::npos ? text : text.substr(nl + 1);
    }
};

std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

Outcome run_romtest(const std::string& arguments) {
    Outcome o;
    const std::string command = quote(ZEMBRIX_ROMTEST_BINARY) + " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return o;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) o.output.append(buffer.data(), n);
    const int raw = ::pclose(pipe);
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return o;
}

struct RomFile : TempFile {
    explicit RomFile(const Rom& rom, const std::string& name = "rom.gb") : TempFile(name) {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(rom.bytes.data()), std::streamsize(rom.bytes.size()));
    }
};

// LD B,3 / LD C,5 / LD D,8 / LD E,13 / LD H,21 / LD L,last / LD B,B / JR -2
std::vector<u8> fibonacci_program(u8 last) {
    return {0x06, 3, 0x0E, 5, 0x16, 8, 0x1E, 13, 0x26, 21, 0x2E, last, 0x40, 0x18, 0xFE};
}

// Sends `text` over the serial port byte by byte, waiting for each transfer
// to finish (SC bit 7 clear), then loops with interrupts off.
std::vector<u8> serial_program(const std::string& text) {
    std::vector<u8> p = {0xF3};  // DI
    for (char c : text) {
        p.insert(p.end(), {0x3E, u8(c),      // LD A,c
                           0xE0, 0x01,       // LDH (SB),A
                           0x3E, 0x81,       // LD A,0x81
                           0xE0, 0x02,       // LDH (SC),A
                           0xF0, 0x02,       // wait: LDH A,(SC)
                           0xE6, 0x80,       // AND 0x80
                           0x20, 0xFA});     // JR NZ,wait
    }
    p.insert(p.end(), {0x18, 0xFE});  // JR -2
    return p;
}

}  // namespace

TEST(RomtestProgram, FibonacciProgramPasses) {
    RomFile rom(Rom(fibonacci_program(34)));
    const Outcome o = run_romtest("--model dmgB --frames 10 --expect fibonacci " + quote(rom.str()));
    EXPECT_EQ(o.status, 0) << o.output;
    EXPECT_EQ(o.last_line(), "PASS") << o.output;
}

TEST(RomtestProgram, FibonacciProgramWithAWrongRegisterFails) {
    RomFile rom(Rom(fibonacci_program(33)));
    const Outcome o = run_romtest("--model cgbE --frames 10 --expect fibonacci " + quote(rom.str()));
    EXPECT_EQ(o.status, 1) << o.output;
    EXPECT_EQ(o.last_line().rfind("FAIL ", 0), 0u) << o.output;
    EXPECT_NE(o.last_line().find("03 05 08 0D 15 21"), std::string::npos) << o.output;
}

TEST(RomtestProgram, SerialProgramPasses) {
    RomFile rom(Rom(serial_program("Passed\n")));
    const Outcome o = run_romtest("--frames 10 --expect serial " + quote(rom.str()));
    EXPECT_EQ(o.status, 0) << o.output;
    EXPECT_EQ(o.last_line(), "PASS") << o.output;
}

TEST(RomtestProgram, SerialProgramFails) {
    RomFile rom(Rom(serial_program("Failed #2\n")));
    const Outcome o = run_romtest("--frames 10 --expect serial " + quote(rom.str()));
    EXPECT_EQ(o.status, 1) << o.output;
    EXPECT_EQ(o.last_line().rfind("FAIL ", 0), 0u) << o.output;
}

TEST(RomtestProgram, ALoopWithoutReportTimesOut) {
    // DI, then JR to itself: nothing can ever be reported.
    RomFile rom(Rom({0xF3, 0x18, 0xFE}));
    const Outcome o = run_romtest("--frames 5 --expect fibonacci " + quote(rom.str()));
    EXPECT_EQ(o.status, 2) << o.output;
    EXPECT_EQ(o.last_line().rfind("TIMEOUT after ", 0), 0u) << o.output;
    EXPECT_NE(o.last_line().find(" frames"), std::string::npos) << o.output;
}

TEST(RomtestProgram, AnUnwinnableRunTimesOutAtTheFrameLimit) {
    // The timer interrupt enabled in IE, EI, and JR to itself: an interrupt
    // could still come (the timer is off, which the runner does not judge),
    // so the run goes on to the frame limit.
    RomFile rom(Rom({0x3E, 0x04, 0xE0, 0xFF, 0xFB, 0x18, 0xFE}));
    const Outcome o = run_romtest("--frames 4 --expect hram-result " + quote(rom.str()));
    EXPECT_EQ(o.status, 2) << o.output;
    EXPECT_EQ(o.last_line(), "TIMEOUT after 4 frames") << o.output;
}

TEST(RomtestProgram, ErrorsExitWithTwo) {
    RomFile rom(Rom({0x18, 0xFE}));
    const Outcome missing = run_romtest("--expect serial /nonexistent/rom.gb");
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.last_line().rfind("ERROR ", 0), 0u) << missing.output;
    const Outcome model = run_romtest("--model cgbF --expect serial " + quote(rom.str()));
    EXPECT_EQ(model.status, 2);
    EXPECT_EQ(model.last_line(), "ERROR unknown model cgbF") << model.output;
    const Outcome kind = run_romtest("--expect mooneye " + quote(rom.str()));
    EXPECT_EQ(kind.status, 2);
    EXPECT_EQ(kind.last_line(), "ERROR unknown expectation mooneye") << kind.output;
    const Outcome reference = run_romtest("--expect image:/nonexistent.png " + quote(rom.str()));
    EXPECT_EQ(reference.status, 2);
    EXPECT_EQ(reference.last_line().rfind("ERROR ", 0), 0u) << reference.output;
    const Outcome nothing = run_romtest(quote(rom.str()));
    EXPECT_EQ(nothing.status, 2);
}

TEST(RomtestProgram, BenchRunsExactlyNFramesAndWritesTheScreenshot) {
    RomFile rom(Rom({0x18, 0xFE}));
    TempFile shot("shot.png");
    const Outcome o = run_romtest("--bench --frames 5 --screenshot " + quote(shot.str()) + " " + quote(rom.str()));
    EXPECT_EQ(o.status, 0) << o.output;
    const std::string line = o.last_line();
    EXPECT_EQ(line.rfind("frames=5 seconds=", 0), 0u) << o.output;
    EXPECT_NE(line.find(" fps="), std::string::npos) << o.output;
    RgbImage image;
    std::string error;
    ASSERT_TRUE(read_png_rgb(shot.str(), image, error)) << error;
    EXPECT_EQ(image.width, FRAME_WIDTH);
    EXPECT_EQ(image.height, FRAME_HEIGHT);
}
