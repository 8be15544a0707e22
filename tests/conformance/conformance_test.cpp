// The conformance driver: skipping, regressions, new passes, rows that cannot
// run, and raising the table, with a ROM folder of generated test programs.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../command_output.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

// LD B,3 / LD C,5 / LD D,8 / LD E,13 / LD H,21 / LD L,last / LD B,B / JR -2 at 0x0100.
Bytes fibonacci_rom(unsigned char last) {
    Bytes rom(0x8000, 0x00);
    const Bytes program = {0x06, 3, 0x0E, 5, 0x16, 8, 0x1E, 13, 0x26, 21, 0x2E, last, 0x40, 0x18, 0xFE};
    std::copy(program.begin(), program.end(), rom.begin() + 0x0100);
    return rom;
}

using DriverRun = CommandRun;

// A ROM folder with a passing and a failing Fibonacci program, and a table.
class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() / ("zembrix-conformance-" + std::to_string(::getpid()) + "-" + info->name());
        fs::create_directories(dir / "roms" / "suite");
        write(dir / "roms" / "suite" / "pass.gb", fibonacci_rom(34));
        write(dir / "roms" / "suite" / "fail.gb", fibonacci_rom(33));
        table = dir / "expected.tsv";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    static void write(const fs::path& path, const Bytes& bytes) {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    void write_table(const std::string& text) { std::ofstream(table) << text; }
    std::string read_table() const {
        std::ifstream in(table);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    DriverRun run(const std::string& extra = "", bool with_roms = true,
                  const std::string& runner = ZEMBRIX_ROMTEST_BINARY) const {
        const std::string env =
            with_roms ? "env ZEMBRIX_TEST_ROMS=" + quote((dir / "roms").string()) : "env -u ZEMBRIX_TEST_ROMS";
        const std::string command = env + " " + quote(ZEMBRIX_CONFORMANCE_BINARY) + " --runner " +
                                    quote(runner) + " --table " + quote(table.string()) + " --jobs 2 " +
                                    extra + " 2>&1";
        return run_command(command);
    }
    fs::path dir;
    fs::path table;
};

}  // namespace

TEST_F(Driver, SkipsWithoutTheRomFolder) {
    write_table("suite/pass.gb\tdmgB\tfibonacci\t10\tpass\n");
    EXPECT_EQ(run("", false).status, 77);
}

// Results as expected succeed; a row that no longer passes, or cannot run at
// all, fails the run; a malformed table is an error.
TEST_F(Driver, ExitStatusAndReportPerTable) {
    const std::string pass = "suite/pass.gb\tdmgB\tfibonacci\t10\t", fail = "suite/fail.gb\tcgbE\tfibonacci\t10\t";
    struct Row {
        std::string table, extra;
        int status;
        std::string says;
    };
    const Row rows[] = {
        {"# comment\n\n" + pass + "pass\n" + fail + "fail\n", "", 0, "suite: 1 / 2, expected 1\n"},
        {pass + "pass\n" + fail + "pass\n", "--filter pass.gb", 0, "conformance: 1 passed, 0 failed"},
        {pass + "pass\n" + fail + "pass\n", "", 1, "REGRESSION: suite/fail.gb [cgbE, fibonacci]: FAIL "},
        {"suite/missing.gb\tdmgB\tfibonacci\t10\tfail\n", "", 1, "ERROR: suite/missing.gb"},
        {"suite/pass.gb\tdmgZ\tfibonacci\t10\tfail\n", "", 1, "unknown model dmgZ"},
        {pass + "\n", "", 2, ""},
        {pass + "maybe\n", "", 2, ":1: expected result must be pass or fail"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.table);
        write_table(r.table);
        const DriverRun out = run(r.extra);
        EXPECT_EQ(out.status, r.status) << out.output;
        EXPECT_TRUE(out.says(r.says)) << out.output;
        EXPECT_EQ(out.says("REGRESSION"), r.says.starts_with("REGRESSION")) << out.output;
    }
}

// A new pass does not fail the run; only --raise writes it into the table.
TEST_F(Driver, ANewPassIsReportedAndRaiseMarksIt) {
    const std::string before =
        "# header\nsuite/pass.gb\tdmgB\tfibonacci\t10\tfail\nsuite/fail.gb\tdmgB\tfibonacci\t10\tfail\n";
    write_table(before);
    const DriverRun r = run();
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(r.says("NEW PASS: suite/pass.gb [dmgB, fibonacci]")) << r.output;
    EXPECT_EQ(read_table(), before);
    EXPECT_EQ(run("--raise").status, 0);
    EXPECT_EQ(read_table(),
              "# header\nsuite/pass.gb\tdmgB\tfibonacci\t10\tpass\nsuite/fail.gb\tdmgB\tfibonacci\t10\tfail\n");
}

// A crash is its own kind of failure: a runner killed by a signal, one that
// printed a sanitizer report (whatever its exit status), and one that ended
// without the verdict line its exit status stands for all fail the run, even
// on rows expected to fail. A stand-in runner plays each case by ROM name.
TEST_F(Driver, ACrashFailsTheRunWhateverTheRowExpects) {
    const fs::path runner = dir / "runner.sh";
    std::ofstream(runner) << "#!/bin/sh\n"
                             "for rom; do :; done\n"
                             "case \"$rom\" in\n"
                             "*segv.gb) kill -SEGV $$ ;;\n"
                             "*asan.gb) echo '==1==ERROR: AddressSanitizer: heap-use-after-free'; exit 1 ;;\n"
                             "*ubsan.gb) echo 'gb.cpp:1:2: runtime error: shift exponent 40'; echo 'FAIL at 1'; exit 1 ;;\n"
                             "*silent.gb) exit 1 ;;\n"
                             "*liar.gb) echo 'FAIL at 2'; exit 0 ;;\n"
                             "*) echo 'FAIL at 3'; exit 1 ;;\n"
                             "esac\n";
    fs::permissions(runner, fs::perms::owner_all);
    std::string table;
    for (const char* rom : {"segv", "asan", "ubsan", "silent", "liar", "fail"})
        table += std::string("suite/") + rom + ".gb\tdmgB\tfibonacci\t10\tfail\n";
    write_table(table);
    const DriverRun r = run("", true, runner.string());
    EXPECT_EQ(r.status, 1) << r.output;
    for (const char* rom : {"segv", "asan", "ubsan", "silent", "liar"})
        EXPECT_TRUE(r.says(std::string("CRASH: suite/") + rom + ".gb")) << rom << "\n" << r.output;
    EXPECT_FALSE(r.says("CRASH: suite/fail.gb")) << r.output;
    EXPECT_TRUE(r.says("crashes: 5")) << r.output;
}
