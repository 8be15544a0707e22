#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "cartridge/mbc3.h"
#include "core/gb.h"
#include "temp_dir.h"
#include "test_machine.h"

namespace fs = std::filesystem;

namespace {

std::vector<u8> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file_as(const TempDir& dir, const std::string& name, const std::string& text) {
    dir.file(name, std::vector<u8>(text.begin(), text.end()));
}

// How a child process ended and what it printed.
struct ChildRun {
    int exit_code = -1;  // -1: it did not exit
    int signal = 0;      // the signal that ended it otherwise
    std::string out;
};

constexpr uid_t NOBODY = 65534;

// Runs `session` in a child process whose exit code is what `session`
// returns and whose standard output is kept. With `as_nobody` a test run as
// root runs it as "nobody", whom the modes of the test's files bind (the
// folder of `dir` must then let "nobody" write).
ChildRun run_in_child(const TempDir& dir, bool as_nobody, const std::function<int()>& session) {
    const std::string out = dir.path("stdout.txt");
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (as_nobody && ::geteuid() == 0 && (::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0)) ::_exit(100);
        if (!std::freopen(out.c_str(), "w", stdout)) ::_exit(101);
        const int code = session();
        std::fflush(stdout);
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ChildRun run;
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    const std::vector<u8> text = read_file(out);
    fs::remove(out);
    run.out.assign(text.begin(), text.end());
    return run;
}

// Enables the cartridge RAM, stores 0x5A at A134 and spins.
// Loads the ROM, its start messages (about the files beside it) left unseen.
void load_quietly(Cartridge& cart, const std::string& rom) {
    std::string error;
    testing::internal::CaptureStdout();
    const bool loaded = cart.try_load_rom(rom, error);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(loaded) << error;
}

const std::vector<u8> STORE_5A = {0x3E, 0x0A, 0xEA, 0x00, 0x00, 0x3E, 0x5A, 0xEA, 0x34, 0xA1, 0x18, 0xFE};

TEST(BatteryFiles, PathsFromTheRomPath) {
    const std::pair<std::string, std::string> rows[] = {
        {"D:\\games\\tetris.gb", "D:\\games\\tetris"}, {"D:\\my.games\\tetris", "D:\\my.games\\tetris"},
        {"tetris", "tetris"},                          {"a.b.gb", "a.b"},
        {"roms.new/game", "roms.new/game"},            {"roms.new/game.gbc", "roms.new/game"},
        {"roms/.hidden", "roms/.hidden"},              {"", ""}};
    for (const auto& [path, base] : rows) EXPECT_EQ(Cartridge::remove_extension(path), base) << path;

    Cartridge cart;
    cart.rom_path = "roms.new/game";
    EXPECT_EQ(cart.get_battery_save_path(), "roms.new/game.sav");
    EXPECT_EQ(cart.get_rtc_save_path(), "roms.new/game.rtc");
    EXPECT_EQ(cart.get_sym_file_path(), "roms.new/game.sym");
    for (const char* expected : {"roms.new/game.ppm", "roms.new/game_2.ppm", "roms.new/game_3.ppm"})
        EXPECT_EQ(cart.get_screenshot_path(), expected);
}

// A program stores into the RAM; the machine shuts down and a new one finds
// the byte. Only battery cartridges with RAM keep a file, MBC2 its 512 cells.
TEST(BatteryFiles, RamSurvivesAShutdown) {
    struct Row {
        u8 type, ram_code;
        size_t file_size;  // 0: no file
        u8 stored;
    };
    const Row rows[] = {{0x03, 2, 8192, 0x5A}, {0x06, 0, 512, 0x0A}, {0x1B, 3, 32768, 0x5A},
                        {0x03, 0, 0, 0}, {0x01, 2, 0, 0}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << int(r.type) << " code " << int(r.ram_code));
        TempDir dir;
        fs::create_directories(dir.root() / "roms.new");
        const std::vector<u8> image = RomImage(STORE_5A).type(r.type).ram_size_code(r.ram_code).bytes;
        const std::string rom = dir.file("roms.new/game", image);
        const std::string sav = dir.path("roms.new/game.sav");
        {
            GB gb;
            gb.set_default_device_by_short_string("dmgB");
            gb.load_rom(rom);
            for (int i = 0; i < 10; ++i) gb.run_single_instruction();
            gb.shutdown();
            gb.shutdown();  // nothing loaded any more: no second write
        }
        if (r.file_size == 0) {
            EXPECT_FALSE(fs::exists(sav));
            continue;
        }
        const std::vector<u8> file = read_file(sav);
        ASSERT_EQ(file.size(), r.file_size);
        EXPECT_EQ(file[0x134], r.stored);
        EXPECT_EQ(std::count(file.begin(), file.end(), 0xFF), std::ptrdiff_t(r.file_size - 1));
        EXPECT_FALSE(fs::exists(sav + ".tmp"));

        GB again;
        again.set_default_device_by_short_string("dmgB");
        again.load_rom(rom);
        EXPECT_EQ(again.cartridge.ram[0x134], r.stored);

        // A shorter file fills only its own length.
        again.shutdown();
        dir.file("roms.new/game.sav", std::vector<u8>(100, 0x11));
        again.load_rom(rom);
        EXPECT_EQ(again.cartridge.ram[99], 0x11);
        EXPECT_EQ(again.cartridge.ram[100], 0xFF);
    }
}

// The clock file is written with the flush call that fatal exits use, laid
// out as ten register fields and the host time. Loaded later, a running clock
// moves on by the host seconds passed; a halted one, a stamp in the future
// and a file of another length add nothing (the last is not read at all, and
// is replaced on unloading).
TEST(BatteryFiles, ClockRunsOnByTheHostTime) {
    constexpr u64 T0 = 1700000000;
    struct Row {
        u8 dh;
        u64 later;
        size_t length;
        std::array<u8, 5> running;
    };
    const Row rows[] = {{0x01, T0 + 90061, 48, {11, 21, 4, 0x41, 0x01}},
                        {0x41, T0 + 90061, 48, {10, 20, 3, 0x40, 0x41}},
                        {0x01, T0 - 5, 48, {10, 20, 3, 0x40, 0x01}},
                        {0x01, T0 + 90061, 44, {}}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << int(r.dh) << " " << r.later << " " << r.length);
        TempDir dir;
        const std::string rom = dir.file("clock.gb", RomImage().type(0x10).ram_size_code(2).bytes);
        GB gb;
        gb.set_default_device_by_short_string("dmgB");
        gb.cartridge.host_time = [] { return T0; };
        gb.load_rom(rom);
        const std::array<u8, 5> values = {10, 20, 3, 0x40, r.dh};
        for (int i = 0; i < 5; ++i) {
            gb.write_byte(0x4000, u8(0x08 + i));
            gb.write_byte(0xA000, values[i]);
        }
        gb.write_byte(0x6000, 0x01);
        ASSERT_TRUE(gb.cartridge.write_battery_files());
        std::vector<u8> file = read_file(dir.path("clock.rtc"));
        ASSERT_EQ(file.size(), 48u);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(file[i * 4], values[i]);
            EXPECT_EQ(file[20 + i * 4], values[i]);
            EXPECT_EQ(file[i * 4 + 1] | file[i * 4 + 2] | file[i * 4 + 3], 0);
        }
        u64 stamp = 0;
        for (int i = 7; i >= 0; --i) stamp = stamp << 8 | file[40 + i];
        EXPECT_EQ(stamp, T0);
        file.resize(r.length);
        dir.file("clock.rtc", file);

        Cartridge later;
        later.host_time = [&] { return r.later; };
        std::string error;
        ASSERT_TRUE(later.try_load_rom(rom, error)) << error;
        EXPECT_EQ(dynamic_cast<const MBC3&>(*later.mbc).rtc, r.running);
        later.unload_rom();
        EXPECT_EQ(read_file(dir.path("clock.rtc")).size(), 48u);
    }
}

// Starting without a boot ROM image puts the machine at the cycle the boot
// program would have ended on, but none of that time passed: a clock file
// written just now comes back exactly as written, and the first emulated
// second after the start still takes a whole second.
TEST(BatteryFiles, StartingAddsNoBootTimeToTheClock) {
    constexpr u64 NOW = 1700000000;
    for (const char* model : {"dmgB", "cgbE", "sgb"}) {
        SCOPED_TRACE(model);
        TempDir dir;
        const std::string rom = dir.file("clock.gb", RomImage().type(0x10).ram_size_code(2).bytes);
        std::vector<u8> file(48, 0);
        file[0] = 10;  // S
        file[4] = 20;  // M
        for (int i = 0; i < 8; ++i) file[size_t(40 + i)] = u8(NOW >> (8 * i));
        dir.file("clock.rtc", file);
        GB gb;
        gb.set_default_device_by_short_string(model);
        gb.cartridge.host_time = [] { return NOW; };
        gb.load_rom(rom);
        auto& mbc3 = dynamic_cast<MBC3&>(*gb.mbc);
        mbc3.sync_rtc_registers(gb.cpu.cycles_4mhz);
        EXPECT_EQ(mbc3.rtc[RTC_S], 10);
        EXPECT_EQ(mbc3.rtc[RTC_M], 20);
        mbc3.sync_rtc_registers(gb.cpu.cycles_4mhz + RTC_CYCLES_PER_SECOND - 1);
        EXPECT_EQ(mbc3.rtc[RTC_S], 10);
        mbc3.sync_rtc_registers(gb.cpu.cycles_4mhz + RTC_CYCLES_PER_SECOND);
        EXPECT_EQ(mbc3.rtc[RTC_S], 11);
    }
}

// A ROM named like one of its own files is neither read as one nor replaced.
TEST(BatteryFiles, NeverOverTheRomItself) {
    for (const auto& [name, type] : {std::pair<const char*, u8>{"game.sav", 0x03}, {"clock.rtc", 0x0F}}) {
        SCOPED_TRACE(name);
        TempDir dir;
        const std::vector<u8> image = RomImage().type(type).ram_size_code(2).bytes;
        const std::string rom = dir.file(name, image);
        Cartridge cart;
        std::string error;
        ASSERT_TRUE(cart.try_load_rom(rom, error)) << error;
        EXPECT_EQ(cart.ram[0x147], 0xFF);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(cart.write_battery_files());
        EXPECT_NE(testing::internal::GetCapturedStdout().find(rom), std::string::npos);
        EXPECT_EQ(read_file(rom), image);
    }
}

// When the new file cannot be completed the old one stays as it was, a
// message names it and the writer reports the failure: a folder the program
// may not write to, or a disk that takes no more bytes. A file-size limit
// (ulimit -f) stands in for a full disk: the write past it is an ordinary
// failure, not the end of the process by SIGXFSZ, and leaves no temporary
// file behind.
TEST(BatteryFiles, FailedWriteKeepsTheOldFile) {
    enum Setup { ReadOnlyFolder, DiskFull };
    for (Setup setup : {ReadOnlyFolder, DiskFull}) {
        SCOPED_TRACE(int(setup));
        TempDir dir;
        fs::create_directory(dir.root() / "game");
        const std::string rom = dir.file("game/game.gb", RomImage().type(0x03).ram_size_code(2).bytes);
        const std::string sav = dir.file("game/game.sav", std::vector<u8>(8192, 0x77));
        if (::geteuid() == 0) ::chown(sav.c_str(), NOBODY, NOBODY);  // the child's own save
        Cartridge cart;
        std::string error;
        ASSERT_TRUE(cart.try_load_rom(rom, error)) << error;
        cart.ram[0] = 0x01;
        ::chmod(dir.root().c_str(), 0777);
        ::chmod((dir.root() / "game").c_str(), setup == ReadOnlyFolder ? 0555 : 0777);
        const ChildRun run = run_in_child(dir, true, [&] {
            if (setup == DiskFull) {
                std::signal(SIGXFSZ, SIG_DFL);
                rlimit small{};
                ::getrlimit(RLIMIT_FSIZE, &small);
                small.rlim_cur = 4096;
                ::setrlimit(RLIMIT_FSIZE, &small);
            }
            return cart.save_ram() ? 0 : 1;
        });
        ::chmod((dir.root() / "game").c_str(), 0755);
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.exit_code, 1) << "the write is reported as failed";
        EXPECT_NE(run.out.find("Could not write the battery RAM file " + sav), std::string::npos) << run.out;
        EXPECT_EQ(read_file(sav), std::vector<u8>(8192, 0x77));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.root() / "game"), fs::directory_iterator()), 2)
            << "no temporary left";
    }
}

// A save killed half-way leaves its temporary file (game.sav.tmp, or
// .tmp-2 ... .tmp-100 when that was taken). The next save removes such
// leftovers of its own, so any number of kills during a save never blocks a
// later one: regular files of the program's user, linked nowhere else, that
// no running writer holds. Anything else under those names (a link, whose
// target stays untouched, a folder, a second name of another file, another
// user's file, one a writer holds now) is neither removed nor written through,
// and neither is a name outside the pattern. The folder need not be readable
// (mode 0333): the save lands all the same.
TEST(BatteryFiles, LeftoverTemporariesNeverBlockTheSave) {
    enum Kind { Own, LinkToVictim, Folder, SecondNameOfVictim, HeldByAWriter, OtherUsers };
    const bool root = ::geteuid() == 0;
    auto kind_of = [&](int n) {
        switch (n) {
            case 1: return LinkToVictim;
            case 2: return Folder;
            case 50: return SecondNameOfVictim;
            case 60: return HeldByAWriter;
            case 70: return root ? OtherUsers : Own;  // only root can hand a file to another user
            default: return Own;
        }
    };
    struct Row {
        mode_t folder_mode;
        bool leftovers;
    };
    for (const Row& r : {Row{0777, true}, Row{0333, false}, Row{0333, true}}) {
        SCOPED_TRACE(testing::Message() << std::oct << r.folder_mode << " leftovers " << r.leftovers);
        TempDir dir;
        const fs::path folder = dir.root() / "game";
        fs::create_directory(folder);
        const std::string rom = dir.file("game/game.gb", RomImage().type(0x03).ram_size_code(2).bytes);
        const std::string sav = dir.file("game/game.sav", std::vector<u8>(8192, 0x77));
        if (root) ::chown(sav.c_str(), NOBODY, NOBODY);  // the child's own save
        const std::string victim = dir.file("victim.txt", std::vector<u8>(10, 'v'));
        if (root) ::chown(victim.c_str(), NOBODY, NOBODY);  // only its second name protects it
        std::vector<std::string> survivors = {rom, sav};
        std::vector<std::string> own;
        int held_fd = -1;
        if (r.leftovers) {
            for (int n = 1; n <= 100; ++n) {
                const std::string name = sav + (n == 1 ? ".tmp" : ".tmp-" + std::to_string(n));
                switch (kind_of(n)) {
                    case Own:
                        dir.file("game/" + fs::path(name).filename().string(), std::vector<u8>(3000, 0x33));
                        if (root) ::chown(name.c_str(), NOBODY, NOBODY);  // the child's own
                        own.push_back(name);
                        continue;
                    case LinkToVictim: fs::create_symlink(victim, name); break;
                    case Folder: fs::create_directory(name); break;
                    case SecondNameOfVictim: fs::create_hard_link(victim, name); break;
                    case HeldByAWriter:
                        dir.file("game/" + fs::path(name).filename().string(), std::vector<u8>(10, 0x44));
                        if (root) ::chown(name.c_str(), NOBODY, NOBODY);
                        held_fd = ::open(name.c_str(), O_RDONLY);
                        ASSERT_EQ(::flock(held_fd, LOCK_EX), 0);
                        break;
                    case OtherUsers: dir.file("game/" + fs::path(name).filename().string(), {0x55}); break;
                }
                survivors.push_back(name);
            }
            for (const char* outside : {".tmp-1", ".tmp-101", ".tmpx"}) {
                survivors.push_back(dir.file("game/game.sav" + std::string(outside), {0x66}));
                if (root) ::chown(survivors.back().c_str(), NOBODY, NOBODY);
            }
        }
        Cartridge cart;
        std::string error;
        ASSERT_TRUE(cart.try_load_rom(rom, error)) << error;
        cart.ram[0] = 0x01;
        ::chmod(dir.root().c_str(), 0777);
        ::chmod(folder.c_str(), r.folder_mode);
        const ChildRun run = run_in_child(dir, true, [&] { return cart.save_ram() ? 0 : 1; });
        ::chmod(folder.c_str(), 0755);
        if (held_fd >= 0) ::close(held_fd);
        EXPECT_EQ(run.exit_code, 0) << run.out;
        const std::vector<u8> saved = read_file(sav);
        ASSERT_EQ(saved.size(), 8192u);
        EXPECT_EQ(saved[0], 0x01);
        EXPECT_EQ(saved[1], 0x77);
        for (const std::string& name : own) EXPECT_FALSE(fs::exists(fs::symlink_status(name))) << name;
        for (const std::string& name : survivors) EXPECT_TRUE(fs::exists(fs::symlink_status(name))) << name;
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()),
                  std::ptrdiff_t(survivors.size()))
            << "no temporary of this save left";
        EXPECT_EQ(read_file(victim), std::vector<u8>(10, 'v'));
        if (r.leftovers) {
            EXPECT_TRUE(fs::is_symlink(sav + ".tmp"));
            EXPECT_TRUE(fs::is_directory(sav + ".tmp-2"));
        }
        EXPECT_FALSE(fs::is_symlink(sav));
    }
}

// A save that is a symbolic link (to a synced folder, say) is updated where
// the link points, relative links counting from the link's folder, and the
// file keeps its permissions.
TEST(BatteryFiles, LinkedSaveIsUpdatedAtItsTargetWithItsPermissions) {
    for (mode_t mode : {mode_t(0640), mode_t(0600)}) {
        SCOPED_TRACE(mode);
        TempDir dir;
        fs::create_directories(dir.root() / "synced");
        const std::string target = dir.file("synced/game.sav", std::vector<u8>(8192, 0x77));
        ::chmod(target.c_str(), mode);
        const std::string rom = dir.file("game.gb", RomImage().type(0x03).ram_size_code(2).bytes);
        fs::create_symlink("synced/game.sav", dir.path("game.sav"));
        Cartridge cart;
        std::string error;
        ASSERT_TRUE(cart.try_load_rom(rom, error)) << error;
        EXPECT_EQ(cart.ram[1], 0x77) << "read through the link";
        cart.ram[0] = 0x01;
        ASSERT_TRUE(cart.save_ram());
        EXPECT_TRUE(fs::is_symlink(dir.path("game.sav")));
        const std::vector<u8> saved = read_file(target);
        ASSERT_EQ(saved.size(), 8192u);
        EXPECT_EQ(saved[0], 0x01);
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.root() / "synced"), fs::directory_iterator()), 1);
    }
}

// Runs `session` in a child process that cannot read files owned by the
// test: as root the child becomes "nobody"; otherwise the files' read
// permission is simply taken away. Returns the child's standard output.
std::string run_without_read_access(const TempDir& dir, const std::vector<std::string>& files,
                                    const std::function<void()>& session) {
    const bool root = ::geteuid() == 0;
    if (root) {
        ::chmod(dir.root().c_str(), 0777);
        for (const auto& f : files) ::chmod(f.c_str(), 0600);
    } else {
        for (const auto& f : files) ::chmod(f.c_str(), 0000);
    }
    const ChildRun run = run_in_child(dir, true, [&] {
        session();
        return 0;
    });
    EXPECT_EQ(run.exit_code, 0) << "child signal " << run.signal;
    if (!root)
        for (const auto& f : files) ::chmod(f.c_str(), 0600);
    return run.out;
}

// A battery RAM or clock file that is there but cannot be read (another
// user's file, a folder, a FIFO) is not mistaken for a missing one: the game
// starts blank and is told so, the player's file is never replaced, and this
// session's data goes to a ".new" file beside it. Nothing blocks on a FIFO.
TEST(BatteryFiles, UnreadableFilesAreNeverReplaced) {
    enum Kind { OtherUsersFile, Folder, Fifo };
    struct Row {
        const char* file;
        Kind kind;
    };
    const Row rows[] = {{"game.sav", OtherUsersFile}, {"game.rtc", OtherUsersFile}, {"game.sav", Folder},
                        {"game.rtc", Folder}, {"game.sav", Fifo}, {"game.rtc", Fifo}};
    // A clock 100 days in, a RAM of 0x77s.
    std::vector<u8> clock(48, 0);
    clock[12] = 100;
    for (int i = 0; i < 8; ++i) clock[size_t(40 + i)] = u8(u64(1700000000) >> (8 * i));
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.file) + " kind " + std::to_string(int(r.kind)));
        TempDir dir;
        const std::string rom = dir.file("game.gb", RomImage(STORE_5A).type(0x10).ram_size_code(2).bytes);
        const std::string path = dir.path(r.file);
        const bool is_sav = std::string(r.file) == "game.sav";
        const std::vector<u8> original = is_sav ? std::vector<u8>(8192, 0x77) : clock;
        if (r.kind == OtherUsersFile) dir.file(r.file, original);
        if (r.kind == Folder) fs::create_directory(path);
        if (r.kind == Fifo) {
            ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
        }
        const std::string other = dir.file(is_sav ? "game.rtc" : "game.sav", is_sav ? clock : std::vector<u8>(8192, 0x77));

        std::vector<u8> blank_ram, session_ram;
        bool shutdown_ok = true;
        auto session = [&] {
            GB gb;
            gb.set_default_device_by_short_string("dmgB");
            gb.cartridge.host_time = [] { return u64(1700000000); };
            gb.load_rom(rom);
            blank_ram.assign(gb.cartridge.ram.get(), gb.cartridge.ram.get() + 8192);
            for (int i = 0; i < 10; ++i) gb.run_single_instruction();
            session_ram.assign(gb.cartridge.ram.get(), gb.cartridge.ram.get() + 8192);
            shutdown_ok = gb.shutdown();
            if (r.kind == OtherUsersFile) {  // the child's findings travel in files
                write_file_as(dir, "ok", shutdown_ok ? "1" : "0");
            }
        };
        std::string out;
        if (r.kind == OtherUsersFile) {
            out = run_without_read_access(dir, {path}, session);
            shutdown_ok = read_file(dir.path("ok")) == std::vector<u8>{'1'};
            fs::remove(dir.path("ok"));
        } else {
            testing::internal::CaptureStdout();
            session();
            out = testing::internal::GetCapturedStdout();
            EXPECT_EQ(blank_ram[0x134], is_sav ? 0xFF : 0x77) << "blank RAM only when the RAM file was unreadable";
            EXPECT_EQ(session_ram[0x134], 0x5A);
        }
        EXPECT_FALSE(shutdown_ok) << "the save is not where the game looks for it";
        EXPECT_NE(out.find("The " + std::string(is_sav ? "battery RAM" : "clock") + " file " + path +
                           " exists but could not be read"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("this session's data was written to " + path + ".new"), std::string::npos) << out;
        const bool untouched = r.kind == OtherUsersFile ? read_file(path) == original
                               : r.kind == Folder       ? fs::is_directory(path)
                                                        : fs::is_fifo(path);
        EXPECT_TRUE(untouched) << "the player's file is left as it was";
        const std::vector<u8> beside = read_file(path + ".new");
        ASSERT_EQ(beside.size(), is_sav ? 8192u : 48u);
        EXPECT_EQ(beside[is_sav ? 0x134 : 12], is_sav ? 0x5A : 0) << "this session's RAM, or a clock from zero";
        EXPECT_EQ(read_file(other).size(), is_sav ? 48u : 8192u) << "the readable file is saved as usual";
    }
}

// A clock file of another length than 48 bytes (as other programs write it)
// is not read, and a battery file longer than the RAM is read only as far as
// the RAM goes. Neither is destroyed when the game is saved: the file is first
// kept under a new name (game.rtc.bak, or .bak-2 ... when that is taken), and
// standard output says so. A file taken in full (one that fits the RAM, a
// clock file of 48 bytes, an empty one) is simply replaced, and so is the
// next session's file.
TEST(BatteryFiles, FileNotTakenInFullIsKeptBeforeItIsReplaced) {
    struct Row {
        const char* file;
        size_t length;
        bool bak_taken;        // game.xxx.bak is already there
        const char* kept_as;   // "" when the file is simply replaced
    };
    const Row rows[] = {{"game.rtc", 44, false, "game.rtc.bak"},   {"game.rtc", 47, false, "game.rtc.bak"},
                        {"game.rtc", 49, false, "game.rtc.bak"},   {"game.rtc", 44, true, "game.rtc.bak-2"},
                        {"game.sav", 8240, false, "game.sav.bak"}, {"game.sav", 16384, true, "game.sav.bak-2"},
                        {"game.rtc", 48, false, ""},               {"game.rtc", 0, false, ""},
                        {"game.sav", 8192, false, ""},             {"game.sav", 100, false, ""}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.file << " " << r.length << " " << r.bak_taken);
        TempDir dir;
        const std::string rom = dir.file("game.gb", RomImage().type(0x10).ram_size_code(2).bytes);
        std::vector<u8> original(r.length);
        for (size_t i = 0; i < original.size(); ++i) original[i] = u8(i * 13 + 1);
        const std::string path = dir.file(r.file, original);
        const std::vector<u8> earlier_backup = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
        if (r.bak_taken) dir.file(std::string(r.file) + ".bak", earlier_backup);
        const bool is_sav = std::string(r.file) == "game.sav";

        Cartridge cart;
        std::string error;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(cart.try_load_rom(rom, error)) << error;
        EXPECT_TRUE(cart.unload_rom());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(read_file(path).size(), is_sav ? 8192u : 48u) << "this session's file is in place";
        if (*r.kept_as == 0) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(path + ".bak"))) << out;
            EXPECT_EQ(out, "");
        } else {
            const std::string kept = dir.path(r.kept_as);
            EXPECT_EQ(read_file(kept), original);
            EXPECT_NE(out.find("kept as " + kept), std::string::npos) << out;
            EXPECT_TRUE(!out.empty() && out.back() == '\n') << "messages end with a newline";
        }
        if (r.bak_taken) {
            EXPECT_EQ(read_file(path + ".bak"), earlier_backup);
        }

        // The file written now is taken in full: the next session keeps no copy.
        const size_t files = size_t(std::distance(fs::directory_iterator(dir.root()), fs::directory_iterator()));
        testing::internal::CaptureStdout();
        ASSERT_TRUE(cart.try_load_rom(rom, error)) << error;
        EXPECT_TRUE(cart.unload_rom());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(size_t(std::distance(fs::directory_iterator(dir.root()), fs::directory_iterator())), files);
    }

    // A file too large to copy is left alone, like one that cannot be read:
    // this session goes beside it, and the save counts as failed.
    TempDir dir;
    const std::string rom = dir.file("game.gb", RomImage(STORE_5A).type(0x03).ram_size_code(2).bytes);
    const std::string sav = dir.file("game.sav", std::vector<u8>(8192, 0x77));
    const std::uintmax_t huge = MAX_KEPT_FILE_SIZE + 1;
    fs::resize_file(sav, huge);
    GB gb;
    gb.set_default_device_by_short_string("dmgB");
    testing::internal::CaptureStdout();
    gb.load_rom(rom);
    for (int i = 0; i < 10; ++i) gb.run_single_instruction();
    EXPECT_FALSE(gb.shutdown());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("this session's data was written to " + sav + ".new"), std::string::npos) << out;
    EXPECT_EQ(fs::file_size(sav), huge);
    const std::vector<u8> beside = read_file(sav + ".new");
    ASSERT_EQ(beside.size(), 8192u);
    EXPECT_EQ(beside[0], 0x77);
    EXPECT_EQ(beside[0x134], 0x5A);
    EXPECT_FALSE(fs::exists(sav + ".bak"));
}


// Where this session's data went, as the message at exit names it; empty
// when it names none.
std::string written_instead_to(const std::string& out) {
    const std::string opening = "this session's data was written to ";
    const size_t at = out.find(opening);
    if (at == std::string::npos) return "";
    const size_t from = at + opening.size();
    const size_t end = out.find(" instead.", from);
    return end == std::string::npos ? "" : out.substr(from, end - from);
}

// The names in `folder` that start with `prefix`.
std::vector<std::string> names_starting(const fs::path& folder, const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A save the player may not write is never replaced, however the program is
// run: by its owner with mode 0444, through a link, as root (who could write
// it, but leaves a file alone that no one may write), or by a user whom the
// write bit for others or for the group leaves out. The session goes to
// game.sav.new beside the path the player gave, with the message used for a
// file that could not be read, and the save counts as not written. A write
// bit that does apply to this user lets the save be replaced as usual.
TEST(BatteryFiles, ReadOnlySaveIsNeverReplaced) {
    const bool root = ::geteuid() == 0;
    struct Row {
        mode_t mode;
        bool linked;      // game.sav is a link to keep/game.sav
        bool as_nobody;   // the file is root's and the session runs as "nobody" (root only)
        bool nobodys_group;  // the file's group is nobody's
        bool replaced;
    };
    const Row rows[] = {{0644, false, false, false, true},  {0444, false, false, false, false},
                        {0444, true, false, false, false},
                        {0555, false, false, false, false}, {0644, false, true, false, false},
                        {0464, false, true, false, false},  {0646, false, true, true, false},
                        {0666, false, true, false, true},   {0464, false, true, true, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::oct << r.mode << " linked " << r.linked << " nobody " << r.as_nobody
                                        << " group " << r.nobodys_group);
        if (r.as_nobody && !root) continue;  // only root can hand a file to another user
        TempDir dir;
        fs::create_directory(dir.root() / "keep");
        const std::string rom = dir.file("game.gb", RomImage(STORE_5A).type(0x03).ram_size_code(2).bytes);
        const std::string sav = dir.path("game.sav");
        const std::string file = r.linked ? dir.file("keep/game.sav", std::vector<u8>(8192, 0x77))
                                          : dir.file("game.sav", std::vector<u8>(8192, 0x77));
        if (r.linked) fs::create_symlink("keep/game.sav", sav);
        if (r.nobodys_group) ::chown(file.c_str(), 0, NOBODY);
        ::chmod(file.c_str(), r.mode);
        Cartridge cart;
        std::string error;
        ASSERT_TRUE(cart.try_load_rom(rom, error)) << error;
        ASSERT_EQ(cart.ram[0], 0x77) << "read as usual";
        cart.ram[0] = 0x01;
        ::chmod(dir.root().c_str(), 0777);
        const ChildRun run = run_in_child(dir, r.as_nobody, [&] { return cart.save_ram() ? 0 : 1; });
        EXPECT_EQ(run.exit_code, r.replaced ? 0 : 1) << run.out;
        struct stat st {};
        EXPECT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, r.mode);
        const std::vector<u8> there = read_file(file);
        EXPECT_TRUE(there.size() == 8192 && there[0] == (r.replaced ? 0x01 : 0x77));
        if (r.replaced) {
            EXPECT_EQ(run.out, "");
            EXPECT_TRUE(names_starting(dir.root(), "game.sav.").empty());
            continue;
        }
        EXPECT_EQ(run.out, "The battery RAM file " + sav + " is read-only, so it was left as it was; this session's "
                           "data was written to " + sav + ".new instead.\n");
        std::vector<u8> session(8192, 0x77);
        session[0] = 0x01;
        EXPECT_TRUE(read_file(sav + ".new") == session);
        EXPECT_EQ(names_starting(dir.root(), "game.sav."), std::vector<std::string>{"game.sav.new"});
        EXPECT_TRUE(r.linked == fs::is_symlink(sav));
    }
}

// Sessions of one game whose save cannot be read (a folder of that name),
// all ending at once as at a logout: each one's data lands in a file of its
// own, the one its message names, and no session's file replaces another's.
TEST(BatteryFiles, SessionsEndingTogetherEachKeepAFileOfTheirOwn) {
    constexpr int SESSIONS = 4;
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        TempDir dir;
        const std::string rom = dir.file("game.gb", RomImage().type(0x03).ram_size_code(2).bytes);
        fs::create_directory(dir.path("game.sav"));
        Cartridge cart;
        ASSERT_NO_FATAL_FAILURE(load_quietly(cart, rom));
        int gate[2];
        ASSERT_EQ(::pipe(gate), 0);
        std::fflush(stdout);
        std::vector<pid_t> sessions;
        for (int i = 0; i < SESSIONS; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::close(gate[1]);
                if (!std::freopen(dir.path("out-" + std::to_string(i)).c_str(), "w", stdout)) ::_exit(101);
                cart.ram[0] = u8(0x10 + i);
                char c;
                while (::read(gate[0], &c, 1) < 0 && errno == EINTR) {
                }
                const bool saved = cart.save_ram();
                std::fflush(stdout);
                ::_exit(saved ? 0 : 1);
            }
            sessions.push_back(pid);
        }
        ::close(gate[0]);
        ::close(gate[1]);  // all sessions go at once
        std::vector<std::string> names;
        for (int i = 0; i < SESSIONS; ++i) {
            int status = 0;
            ::waitpid(sessions[size_t(i)], &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "not where the game looks for it";
            const std::vector<u8> text = read_file(dir.path("out-" + std::to_string(i)));
            const std::string named = written_instead_to(std::string(text.begin(), text.end()));
            EXPECT_FALSE(named.empty()) << std::string(text.begin(), text.end());
            if (named.empty()) continue;
            const std::vector<u8> kept = read_file(named);
            EXPECT_TRUE(kept.size() == 8192 && kept[0] == 0x10 + i) << named << " holds this session's data";
            names.push_back(fs::path(named).filename().string());
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, names_starting(dir.root(), "game.sav.")) << "one file each, nothing else";
        EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
    }
}

// After a thousand sessions with a blocked save, game.sav.new to
// game.sav.new-1000 are all taken: none is ever replaced (the first is not
// the one to go), and the session that finds no name free says it could not
// be kept (the save counts as not written: exit status 1). The same for the
// clock, and where the first name is a folder.
TEST(BatteryFiles, WithEveryFallbackNameTakenNoneIsReplaced) {
    struct Row {
        const char* file;
        const char* what;
        bool first_is_folder;
    };
    for (const Row& r : {Row{"game.sav", "battery RAM", false}, Row{"game.rtc", "clock", true}}) {
        SCOPED_TRACE(r.file);
        TempDir dir;
        const std::string rom = dir.file("game.gb", RomImage().type(0x10).ram_size_code(2).bytes);
        const std::string path = dir.path(r.file);
        fs::create_directory(path);  // cannot be read
        if (r.first_is_folder)
            fs::create_directory(path + ".new");
        else
            dir.file(std::string(r.file) + ".new", {1});
        for (int n = 2; n <= 1000; ++n) dir.file(std::string(r.file) + ".new-" + std::to_string(n), {u8(n)});
        Cartridge cart;
        std::string error;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(cart.try_load_rom(rom, error)) << error;
        EXPECT_FALSE(cart.write_battery_files());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("The " + std::string(r.what) + " file " + path + " could not be read at start, so it was "
                           "left as it was; this session's data could not be kept: every name from " + path +
                           ".new to " + path + ".new-1000 is taken.\n"),
                  std::string::npos)
            << out;
        if (r.first_is_folder) {
            EXPECT_TRUE(fs::is_directory(path + ".new"));
        } else {
            EXPECT_EQ(read_file(path + ".new"), std::vector<u8>{1});
        }
        for (int n = 2; n <= 1000; ++n) {
            const std::vector<u8> kept = read_file(path + ".new-" + std::to_string(n));
            ASSERT_EQ(kept, std::vector<u8>{u8(n)}) << n;
        }
        EXPECT_EQ(names_starting(dir.root(), std::string(r.file) + ".").size(), 1000u) << "nothing new, nothing left";
    }
}

// The bytes of this process's address space in use now, from
// /proc/self/status; 0 where that cannot be read.
u64 address_space_in_use() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
    return 0;
}

// A file of 60 MiB (within what is kept) is copied a block at a time, so a
// memory limit far below its size (ulimit -v) does not end the program: the
// backup is made, and the battery RAM and clock are both written.
TEST(BatteryFiles, KeepingALargeFileNeedsNoMemoryOfItsSize) {
    if (address_space_in_use() == 0) GTEST_SKIP() << "no /proc/self/status to measure the address space by";
    TempDir dir;
    const std::string rom = dir.file("game.gb", RomImage().type(0x10).ram_size_code(2).bytes);
    const std::string sav = dir.file("game.sav", std::vector<u8>(8192, 0x77));
    constexpr u64 LARGE = 60ull << 20;
    static_assert(LARGE < MAX_KEPT_FILE_SIZE);
    {
        std::fstream tail(sav, std::ios::binary | std::ios::in | std::ios::out);
        tail.seekp(std::streamoff(LARGE - 1));
        tail.put('\x42');
    }
    const std::string rtc = dir.file("game.rtc", std::vector<u8>(44, 0x05));
    Cartridge cart;
    ASSERT_NO_FATAL_FAILURE(load_quietly(cart, rom));
    cart.ram[0] = 0x01;
    const ChildRun run = run_in_child(dir, false, [&] {
        rlimit limit{};
        ::getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = rlim_t(address_space_in_use() + (40ull << 20));
        if (::setrlimit(RLIMIT_AS, &limit) != 0) return 102;
        return cart.write_battery_files() ? 0 : 1;
    });
    EXPECT_EQ(run.signal, 0) << run.out;
    EXPECT_EQ(run.exit_code, 0) << run.out;
    EXPECT_NE(run.out.find("was kept as " + sav + ".bak "), std::string::npos) << run.out;
    ASSERT_EQ(fs::file_size(sav + ".bak"), LARGE);
    {
        std::ifstream kept(sav + ".bak", std::ios::binary);
        EXPECT_EQ(kept.get(), 0x77);
        kept.seekg(std::streamoff(LARGE - 1));
        EXPECT_EQ(kept.get(), 0x42);
    }
    const std::vector<u8> saved = read_file(sav);
    ASSERT_EQ(saved.size(), 8192u);
    EXPECT_EQ(saved[0], 0x01);
    EXPECT_EQ(read_file(rtc).size(), 48u);
    EXPECT_EQ(read_file(rtc + ".bak"), std::vector<u8>(44, 0x05));
}

// A save that is a link into a folder that is gone (an unmounted drive):
// the player is told at start that the link leads nowhere, and at exit the
// session goes to game.sav.new beside the link, the link left as it is. The
// same for the clock file.
TEST(BatteryFiles, SaveLinkThatLeadsNowhereGoesBesideTheLink) {
    for (const char* file : {"game.sav", "game.rtc"}) {
        SCOPED_TRACE(file);
        TempDir dir;
        const bool is_sav = std::string(file) == "game.sav";
        const char* what = is_sav ? "battery RAM" : "clock";
        const std::string rom = dir.file("game.gb", RomImage(STORE_5A).type(0x10).ram_size_code(2).bytes);
        const std::string path = dir.path(file);
        const std::string target = dir.path("drive/real");
        fs::create_symlink(target, path);
        GB gb;
        gb.set_default_device_by_short_string("dmgB");
        testing::internal::CaptureStdout();
        gb.load_rom(rom);
        const std::string at_start = testing::internal::GetCapturedStdout();
        EXPECT_EQ(at_start, "The " + std::string(what) + " file " + path + " is a link that leads nowhere (to " +
                                target + "). The game starts with " + (is_sav ? "a blank RAM" : "a clock from zero") +
                                "; at exit this session is saved where the link points if that can be written "
                                "then, else beside " + path + ".\n");
        for (int i = 0; i < 10; ++i) gb.run_single_instruction();
        testing::internal::CaptureStdout();
        EXPECT_FALSE(gb.shutdown());
        const std::string at_exit = testing::internal::GetCapturedStdout();
        EXPECT_EQ(at_exit, "The " + std::string(what) + " file " + path + " is a link that leads nowhere (to " +
                               target + "), so it was left as it was; this session's data was written to " + path +
                               ".new instead.\n");
        EXPECT_TRUE(fs::is_symlink(path));
        EXPECT_FALSE(fs::exists(dir.path("drive")));
        const std::vector<u8> beside = read_file(path + ".new");
        ASSERT_EQ(beside.size(), is_sav ? 8192u : 48u);
        if (is_sav) {
            EXPECT_EQ(beside[0x134], 0x5A);
        }
        EXPECT_EQ(read_file(dir.path(is_sav ? "game.rtc" : "game.sav")).size(), is_sav ? 48u : 8192u)
            << "the other file is saved as usual";
    }
}

// Another user's save in a shared folder with the sticky bit (mode 1777):
// this user may write the file but not rename over it. The save is left as
// it was and the session goes to game.sav.new beside it. Root may rename
// anything there, so the session runs as "nobody".
TEST(BatteryFiles, SaveInAStickyFolderThatCannotBeReplacedGoesBesideIt) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make another user's file";
    TempDir dir;
    const fs::path shared = dir.root() / "shared";
    fs::create_directory(shared);
    const std::string rom = dir.file("shared/game.gb", RomImage().type(0x03).ram_size_code(2).bytes);
    const std::string sav = dir.file("shared/game.sav", std::vector<u8>(8192, 0x77));
    ::chmod(sav.c_str(), 0666);
    Cartridge cart;
    std::string error;
    ASSERT_TRUE(cart.try_load_rom(rom, error)) << error;
    cart.ram[0] = 0x01;
    ::chmod(dir.root().c_str(), 0777);
    ::chmod(shared.c_str(), 01777);
    const ChildRun run = run_in_child(dir, true, [&] { return cart.save_ram() ? 0 : 1; });
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_EQ(run.out, "Could not write the battery RAM file " + sav + ": cannot replace " + sav +
                           " (Operation not permitted); the previous file is kept, and this session's data was "
                           "written to " + sav + ".new instead.\n");
    EXPECT_EQ(read_file(sav), std::vector<u8>(8192, 0x77));
    const std::vector<u8> beside = read_file(sav + ".new");
    ASSERT_EQ(beside.size(), 8192u);
    EXPECT_EQ(beside[0], 0x01);
    EXPECT_EQ(names_starting(shared, "game.sav."), std::vector<std::string>{"game.sav.new"});
}

}  // namespace

// An image handed over in memory has no file: nothing is read or written
// beside the name it was given, even for a battery cartridge with a clock.
TEST(BatteryFiles, InMemoryImageKeepsNoFiles) {
    TempDir dir;
    const std::string name = dir.path("memory.gb");
    std::ofstream(dir.path("memory.sav"), std::ios::binary) << std::string(8192, '\x11');
    for (u8 type : {u8(0x03), u8(0x10)}) {
        const std::vector<u8> image = RomImage(STORE_5A).type(type).ram_size_code(2).bytes;
        GB gb;
        gb.cartridge.load_rom_from_memory(name, image.data(), int(image.size()));
        gb.reset();
        EXPECT_EQ(gb.cartridge.ram[0], 0xFF) << "the stale file beside the name is not read";
        for (int i = 0; i < 100; ++i) gb.run_single_instruction();
        EXPECT_EQ(gb.cartridge.ram[0x134], 0x5A);
        gb.shutdown();
        EXPECT_EQ(read_file(dir.path("memory.sav")), std::vector<u8>(8192, 0x11));
        EXPECT_FALSE(fs::exists(dir.path("memory.rtc")));
    }
}
