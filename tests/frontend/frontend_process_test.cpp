// Starts the zembrix program as a child process, headless, and checks what it
// prints and how it ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Outcome {
    bool exited = false;    // ended through exit / return from main
    int exit_code = -1;
    int signal = 0;         // the signal that ended it otherwise
    bool timed_out = false;
    bool alive_at_signal = false;
    std::string never_ready;  // the state the signal waited for and never saw, if any
    std::string out;
    std::string err;
};

// A scratch directory with a 32 KiB ROM that loops on JR -2 at 0x100.
class Scratch {
public:
    Scratch() {
        char pattern[] = "/tmp/zembrix-frontend-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (!made) throw std::runtime_error("mkdtemp failed");
        dir = made;
        rom = dir + "/loop.gb";
        std::vector<char> image(0x8000, 0);
        image[0x100] = char(0x18);  // JR
        image[0x101] = char(0xFE);  // -2
        std::ofstream(rom, std::ios::binary).write(image.data(), std::streamsize(image.size()));
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    std::string dir;
    std::string rom;
};

// A battery cartridge (MBC1, 8 KiB RAM) in a folder of its own that stores
// 0x5A at A000 and spins.
struct BatteryGame {
    explicit BatteryGame(const Scratch& scratch) {
        folder = scratch.dir + "/game";
        std::filesystem::create_directory(folder);
        rom = folder + "/game.gb";
        sav = folder + "/game.sav";
        std::vector<char> image(0x8000, 0);
        const unsigned char program[] = {0x3E, 0x0A, 0xEA, 0x00, 0x00, 0x3E, 0x5A, 0xEA, 0x00, 0xA0, 0x18, 0xFE};
        std::copy(std::begin(program), std::end(program), image.begin() + 0x100);
        image[0x147] = 0x03;
        image[0x149] = 0x02;
        std::ofstream(rom, std::ios::binary).write(image.data(), std::streamsize(image.size()));
    }
    std::vector<char> saved() const {
        std::ifstream in(sav, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::string folder, rom, sav;
};

void drain(int fd, std::string& into, bool& open) {
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0)
        into.append(buffer, size_t(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        open = false;
}

// Whether the process has installed a handler for `signal_number` (SDL does
// for SIGINT and SIGTERM when it starts). Read from /proc; where that is not
// available the answer is yes and only the state waited for counts.
bool handles_signal(pid_t pid, int signal_number) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    if (!status) return true;
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) != 0) continue;
        const unsigned long long caught = std::stoull(line.substr(7), nullptr, 16);
        return (caught >> (signal_number - 1)) & 1;
    }
    return true;
}

// A null video driver names none and takes the X11 and Wayland displays away:
// what a player sees on a machine with no desktop.
struct Drivers {
    const char* video = "dummy";
    const char* audio = "dummy";
};

// In a forked child: runs `binary` with `args`, its output going to `out_fd`
// and `err_fd`, with the drivers asked for and the signal dispositions a
// program started from a terminal has (a test runner started in the
// background may ignore SIGINT, and an ignored signal stays ignored across
// exec). `setup` runs last, just before the exec. Never returns.
[[noreturn]] void exec_program(const std::string& binary, const std::vector<std::string>& args, int out_fd,
                               int err_fd, Drivers drivers, const std::function<void()>& setup = {}) {
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    if (out_fd > STDERR_FILENO) close(out_fd);
    if (err_fd > STDERR_FILENO) close(err_fd);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT, SIGPIPE, SIGXFSZ}) signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // No display and no sound card needed.
    if (drivers.video) {
        setenv("SDL_VIDEODRIVER", drivers.video, 1);
    } else {
        unsetenv("SDL_VIDEODRIVER");
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
    }
    setenv("SDL_AUDIODRIVER", drivers.audio, 1);
    if (setup) setup();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(binary.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
}

// What the program must have done before the test signals it, however slow
// the machine: never a time. Both are seen through inotify. Nothing asked
// for: no signal.
struct SignalWhen {
    std::string read_file;
    bool main_loop = false;
};

// It has opened and closed `path` again. Once its ROM is read the game is
// loaded and its battery RAM and clock files looked for.
SignalWhen after_reading(const std::string& path) { return {path, false}; }

// It has shown a frame from its main loop: a quit request now reaches the
// loop itself. The pass before the loop shows one at most (the ROMs here
// never switch the LCD off). SDL's dummy video driver writes every frame
// shown to a file of its own when SDL_VIDEO_DUMMY_SAVE_FRAMES is set; in
// turbo, "-scale 1" keeps the files it writes until the signal lands small.
SignalWhen in_main_loop() { return {"", true}; }

// Follows the program towards the state a SignalWhen names.
class Progress {
public:
    explicit Progress(const SignalWhen& when) : read_path_(when.read_file), frames_wanted_(when.main_loop ? 2 : 0) {
        if (read_path_.empty() && frames_wanted_ == 0) return;
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error(std::string("inotify_init1: ") + std::strerror(errno));
        // Watched before the program starts, so that nothing it does comes first.
        if (!read_path_.empty()) {
            read_watch_ = inotify_add_watch(fd_, read_path_.c_str(), IN_CLOSE_NOWRITE);
            if (read_watch_ < 0) throw std::runtime_error("cannot watch " + read_path_ + ": " + std::strerror(errno));
        } else {
            read_ = true;
        }
        if (frames_wanted_ > 0) {
            char pattern[] = "/tmp/zembrix-frames-XXXXXX";
            if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
            frames_folder_ = pattern;
            if (inotify_add_watch(fd_, pattern, IN_CLOSE_WRITE) < 0)
                throw std::runtime_error("cannot watch " + frames_folder_ + ": " + std::strerror(errno));
        }
    }
    ~Progress() {
        if (fd_ >= 0) close(fd_);
        std::error_code ignored;
        if (!frames_folder_.empty()) std::filesystem::remove_all(frames_folder_, ignored);
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    int fd() const { return fd_; }  // -1: nothing to wait for
    // Where the program runs, so that its frames are seen; empty when they need not be.
    const std::string& frames_folder() const { return frames_folder_; }
    bool reached() const { return fd_ >= 0 && read_ && frames_ >= frames_wanted_; }
    std::string missing() const {
        if (!read_) return "did not read " + read_path_;
        return "showed no frame from its main loop (" + std::to_string(frames_) + " frames in all)";
    }
    void take_events() {
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->wd == read_watch_ && (event->mask & IN_CLOSE_NOWRITE)) read_ = true;
                else if (event->wd != read_watch_ && (event->mask & IN_CLOSE_WRITE)) ++frames_;
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
    }

private:
    std::string read_path_;
    int frames_wanted_;
    int fd_ = -1;
    int read_watch_ = -1;
    bool read_ = false;
    int frames_ = 0;
    std::string frames_folder_;
};

// Runs the program with `args`. Sends `signal_number` once it is in the
// state `when` names and ready for the signal. Gives up (SIGKILL) after
// `limit`.
Outcome run(const std::vector<std::string>& args, const SignalWhen& when = {}, int signal_number = SIGTERM,
            Drivers drivers = {}, std::chrono::milliseconds limit = 20000ms,
            const std::function<void()>& before_signal = {}, const std::string& binary = ZEMBRIX_BINARY) {
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
    Progress progress(when);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        exec_program(binary, args, out_pipe[1], err_pipe[1], drivers, [&] {
            if (progress.frames_folder().empty()) return;
            if (chdir(progress.frames_folder().c_str()) != 0) _exit(126);
            setenv("SDL_VIDEO_DUMMY_SAVE_FRAMES", "1", 1);
        });
    }
    close(out_pipe[1]);
    close(err_pipe[1]);

    Outcome outcome;
    bool out_open = true, err_open = true, signalled = false, reaped = false;
    int status = 0;
    const auto start = Clock::now();
    while (!reaped || out_open || err_open) {
        pollfd watch[3];
        nfds_t count = 0;
        if (out_open) watch[count++] = {out_pipe[0], POLLIN, 0};
        if (err_open) watch[count++] = {err_pipe[0], POLLIN, 0};
        if (progress.fd() >= 0 && !progress.reached()) watch[count++] = {progress.fd(), POLLIN, 0};
        if (count > 0 && poll(watch, count, 20) > 0) {
            for (nfds_t i = 0; i < count; ++i) {
                if (!(watch[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                if (watch[i].fd == out_pipe[0]) drain(out_pipe[0], outcome.out, out_open);
                else if (watch[i].fd == err_pipe[0]) drain(err_pipe[0], outcome.err, err_open);
                else progress.take_events();
            }
        } else if (count == 0) {
            std::this_thread::sleep_for(20ms);
        }
        if (!reaped && waitpid(pid, &status, WNOHANG) == pid) reaped = true;
        const auto elapsed = Clock::now() - start;
        // The signal goes out once the program is in the state asked for and
        // has its handler for it (a slow start-up under load must not turn a
        // clean stop into a kill).
        if (!reaped && progress.reached() && !signalled && handles_signal(pid, signal_number)) {
            outcome.alive_at_signal = true;
            if (before_signal) before_signal();
            kill(pid, signal_number);
            signalled = true;
        }
        if (!reaped && elapsed >= limit) {
            outcome.timed_out = true;
            if (progress.fd() >= 0 && !signalled)
                outcome.never_ready = progress.missing() + " within " + std::to_string(limit.count()) + " ms";
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            reaped = true;
        }
        if (reaped && elapsed >= limit + 2000ms) break;  // a grandchild holding the pipes
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (WIFEXITED(status)) {
        outcome.exited = true;
        outcome.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        outcome.signal = WTERMSIG(status);
    }
    return outcome;
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void expect_clean_stop(const Outcome& o) {
    EXPECT_TRUE(o.alive_at_signal) << (o.never_ready.empty() ? "ended before the signal" : o.never_ready)
                                   << "; stdout: " << o.out << "\nstderr: " << o.err;
    EXPECT_FALSE(o.timed_out) << "did not stop on the signal";
    EXPECT_TRUE(o.exited) << "killed by signal " << o.signal << "\nstdout: " << o.out << "\nstderr: " << o.err;
    EXPECT_EQ(o.exit_code, 0) << "stdout: " << o.out << "\nstderr: " << o.err;
}

}  // namespace

TEST(FrontendProcess, TurboRunStopsCleanlyOnSigterm) {
    Scratch scratch;
    expect_clean_stop(run({"-turbo", "-scale", "1", scratch.rom}, in_main_loop(), SIGTERM));
}

TEST(FrontendProcess, PacedRunStopsCleanlyOnSigterm) {
    Scratch scratch;
    expect_clean_stop(run({"-scale", "2", scratch.rom}, in_main_loop(), SIGTERM));
}

TEST(FrontendProcess, SoftwareRendererStopsCleanlyOnSigint) {
    Scratch scratch;
    expect_clean_stop(run({"-soft", "-dmg", "-ignore_boot_roms", scratch.rom}, in_main_loop(), SIGINT));
}

// Sound is optional: without an audio device the program says so and runs on.
TEST(FrontendProcess, RunsOnWithoutAudio) {
    Scratch scratch;
    const Outcome o = run({scratch.rom}, in_main_loop(), SIGTERM, Drivers{"dummy", "no-such-audio-driver"});
    expect_clean_stop(o);
    EXPECT_EQ(o.out.rfind("Failed to open audio: ", 0), 0u) << "stdout: [" << o.out << "]";
}

// Video is not optional.
TEST(FrontendProcess, NoVideoIsFatal) {
    Scratch scratch;
    const Outcome o = run({scratch.rom}, {}, SIGTERM, Drivers{"no-such-video-driver", "dummy"});
    ASSERT_FALSE(o.timed_out);
    EXPECT_TRUE(o.exited) << "signal " << o.signal;
    EXPECT_EQ(o.exit_code, 1);
    EXPECT_EQ(o.out.rfind("error initializing SDL: ", 0), 0u) << "stdout: [" << o.out << "]";
    EXPECT_TRUE(ends_with(o.out, "\n"));
}

TEST(FrontendProcess, FatalStartErrorsPrintTheirMessageAndExitOne) {
    Scratch scratch;
    const std::string missing = scratch.dir + "/missing.gb";
    const std::string fifo = scratch.dir + "/fifo.gb";  // would block an open for reading
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A joypad input log larger than any play session (sparse: no disk used).
    const std::string huge_log = scratch.dir + "/huge.gbi";
    std::ofstream(huge_log).close();
    std::filesystem::resize_file(huge_log, (32u << 20) + 1);
    struct Row {
        std::vector<std::string> args;
        std::string message;  // the end of standard output
        bool usage;           // the usage goes to standard error
    };
    const std::vector<Row> rows = {
        {{}, "No ROM filename found.\n", true},
        {{"", ""}, "No ROM filename found.\n", true},
        {{"-dev", "cgbZ", scratch.rom}, "Unknown device: cgbZ\n", true},
        {{"-dev", "cgbZ", "-dmg", scratch.rom}, "Unknown device: cgbZ\n", true},
        {{missing}, "ROM not found: " + missing + "\n", false},
        {{fifo}, "ROM not readable: " + fifo + " (a FIFO, not a regular file)\n", false},
        {{"-turbo"}, "No ROM filename found.\n", true},
        {{"-frobnicate", scratch.rom}, "Unknown option: -frobnicate\n", true},
        {{"-scale", "0", scratch.rom}, "Invalid value for -scale: \"0\" (give a whole number from 1 to 16).\n", true},
        {{"-scale", "17", scratch.rom}, "Invalid value for -scale: \"17\" (give a whole number from 1 to 16).\n", true},
        {{"-scale", scratch.rom},
         "Invalid value for -scale: \"" + scratch.rom + "\" (give a whole number from 1 to 16).\n", true},
        {{scratch.rom, "-scale"}, "Missing value for -scale: give a whole number from 1 to 16.\n", true},
        {{"-gbi", scratch.dir + "/none.gbi", scratch.rom}, "GBI not found: " + scratch.dir + "/none.gbi\n", false},
        {{"-gbi", huge_log, scratch.rom}, "GBI too large: " + huge_log + " (a joypad input log may be at most 32 MiB)\n",
         false},
        {{"-gbi", scratch.rom}, "Missing value for -gbi: give the joypad input log's path before the ROM.\n", true},
    };
    for (const Row& r : rows) {
        std::string line;
        for (const auto& a : r.args) line += " [" + a + "]";
        SCOPED_TRACE("zembrix" + line);
        const Outcome o = run(r.args);
        ASSERT_FALSE(o.timed_out);
        EXPECT_TRUE(o.exited) << "signal " << o.signal;
        EXPECT_EQ(o.exit_code, 1);
        EXPECT_TRUE(ends_with(o.out, r.message)) << "stdout: [" << o.out << "]";
        EXPECT_EQ(o.err.find("usage: zembrix") != std::string::npos, r.usage) << "stderr: [" << o.err << "]";
    }
}

// -h and --help print the usage on standard output and end the program with
// status 0, wherever they stand and with no display to be had.
TEST(FrontendProcess, HelpPrintsTheUsageAndExitsZero) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-h"}, {"--help"}, {"-dmg", "--help", "game.gb"}}) {
        SCOPED_TRACE(args[0]);
        const Outcome o = run(args, {}, SIGTERM, Drivers{"no-such-video-driver", "dummy"});
        ASSERT_FALSE(o.timed_out);
        EXPECT_TRUE(o.exited) << "signal " << o.signal;
        EXPECT_EQ(o.exit_code, 0) << "stdout: [" << o.out << "]";
        EXPECT_EQ(o.out.rfind("usage: zembrix", 0), 0u) << "stdout: [" << o.out << "]";
        EXPECT_NE(o.out.find("-h, --help"), std::string::npos) << o.out;
        EXPECT_TRUE(ends_with(o.out, "\n"));
        EXPECT_EQ(o.err, "");
    }
}

// With no display and no driver named, SDL would open its window on a driver
// that shows nothing: the program says why and ends with status 1 before the
// game starts, leaving the battery RAM file as it was.
TEST(FrontendProcess, NoDisplayIsAFatalStartError) {
    // A text console with a graphics card would show the window (KMSDRM).
    if (std::filesystem::exists("/dev/dri")) GTEST_SKIP() << "this machine has a graphics device";
    Scratch scratch;
    const BatteryGame game(scratch);
    const std::vector<char> kept(8192, char(0x33));
    std::ofstream(game.sav, std::ios::binary).write(kept.data(), std::streamsize(kept.size()));
    const Outcome o = run({game.rom}, {}, SIGTERM, Drivers{nullptr, "dummy"});
    ASSERT_FALSE(o.timed_out) << "ran with no window to be seen; stdout: [" << o.out << "]";
    EXPECT_TRUE(o.exited) << "signal " << o.signal;
    EXPECT_EQ(o.exit_code, 1);
    EXPECT_EQ(o.out.rfind("No display to show the window on", 0), 0u) << "stdout: [" << o.out << "]";
    EXPECT_TRUE(ends_with(o.out, "\n"));
    EXPECT_EQ(game.saved(), kept);
}

// The program looks for boot ROM images beside itself, runs the model's own
// before the cartridge unless told "-ignore_boot_roms", and writes the
// cartridge's battery RAM when it exits. The cartridge (MBC1 with 8 KiB of
// battery RAM) stores C0 at A001; the DMG boot image stores B0 at A000 first.
TEST(FrontendProcess, BootImageBesideTheProgramAndBatteryRamWrittenAtExit) {
    Scratch scratch;
    const std::string program = scratch.dir + "/zembrix";
    std::filesystem::copy_file(ZEMBRIX_BINARY, program);
    auto write = [](const std::string& path, const std::vector<unsigned char>& bytes) {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    };
    std::vector<unsigned char> boot(256, 0x00);
    const std::vector<unsigned char> boot_code = {0x3E, 0x0A, 0xEA, 0x00, 0x00,   // enable the cartridge RAM
                                                  0x3E, 0xB0, 0xEA, 0x00, 0xA0,   // LD (A000),B0
                                                  0xC3, 0xFC, 0x00};              // JP 00FC
    std::copy(boot_code.begin(), boot_code.end(), boot.begin());
    boot[0xFC] = 0x3E, boot[0xFD] = 0x01, boot[0xFE] = 0xE0, boot[0xFF] = 0x50;  // unmap; on at 0100
    write(scratch.dir + "/dmg_boot.bin", boot);
    std::vector<unsigned char> rom(0x8000, 0x00);
    const std::vector<unsigned char> code = {0x3E, 0x0A, 0xEA, 0x00, 0x00, 0x3E, 0xC0, 0xEA, 0x01, 0xA0, 0x18, 0xFE};
    std::copy(code.begin(), code.end(), rom.begin() + 0x100);
    rom[0x147] = 0x03;  // MBC1 + RAM + battery
    rom[0x149] = 0x02;  // 8 KiB
    const std::string game = scratch.dir + "/game.gb", save = scratch.dir + "/game.sav";
    write(game, rom);

    // A joypad input log that cannot be read, or is too large, ends the
    // program, but not before the battery RAM is written.
    const std::string huge_log = scratch.dir + "/huge.gbi";
    std::ofstream(huge_log).close();
    std::filesystem::resize_file(huge_log, (32u << 20) + 1);
    for (const std::string& log : {scratch.dir + "/none.gbi", huge_log}) {
        SCOPED_TRACE(log);
        std::filesystem::remove(save);
        const Outcome o = run({"-gbi", log, game}, {}, SIGTERM, {}, 20000ms, {}, program);
        EXPECT_EQ(o.exit_code, 1);
        EXPECT_EQ(std::filesystem::file_size(save), 0x2000u);
    }
    for (bool ignore : {false, true}) {
        SCOPED_TRACE(ignore ? "-ignore_boot_roms" : "boot image");
        std::filesystem::remove(save);
        std::vector<std::string> args = {"-dmg"};
        if (ignore) args.push_back("-ignore_boot_roms");
        args.push_back(game);
        expect_clean_stop(run(args, after_reading(game), SIGTERM, {}, 20000ms, {}, program));
        std::ifstream file(save, std::ios::binary);
        const std::vector<unsigned char> ram((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        ASSERT_EQ(ram.size(), 0x2000u);
        EXPECT_EQ(ram[1], 0xC0);
        EXPECT_EQ(ram[0] == 0xB0, !ignore);
    }
}

// Closing the terminal (SIGHUP) and SIGQUIT end the program as cleanly as
// SIGTERM: the battery RAM is written and the exit status is 0.
TEST(FrontendProcess, HangupAndQuitSignalsWriteTheSave) {
    for (int signal_number : {SIGHUP, SIGQUIT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal_number));
        Scratch scratch;
        const BatteryGame game(scratch);
        expect_clean_stop(run({"-turbo", "-scale", "1", game.rom}, in_main_loop(), signal_number));
        const std::vector<char> sav = game.saved();
        ASSERT_EQ(sav.size(), 8192u);
        EXPECT_EQ(sav[0], char(0x5A));
    }
}

// When the battery RAM cannot be written (here its folder goes once the game
// is loaded, before the player quits) the program says so and exits with
// status 1.
TEST(FrontendProcess, FailedBatteryWriteGivesExitStatusOne) {
    Scratch scratch;
    const BatteryGame game(scratch);
    const Outcome o = run({"-turbo", game.rom}, after_reading(game.rom), SIGTERM, {}, 20000ms,
                          [&] { std::filesystem::remove_all(game.folder); });
    ASSERT_TRUE(o.alive_at_signal) << (o.never_ready.empty() ? "ended before the signal" : o.never_ready)
                                   << "; stdout: " << o.out;
    EXPECT_TRUE(o.exited) << "signal " << o.signal;
    EXPECT_EQ(o.exit_code, 1) << "stdout: " << o.out;
    EXPECT_NE(o.out.find("Could not write the battery RAM file " + game.sav), std::string::npos) << o.out;
}

// scripts/run.sh builds the program it starts and nothing else: the tests,
// benchmarks and fuzz targets would keep a player from the first picture for
// minutes. Run here with a cmake that records its calls and makes a stand-in
// program, and a dpkg that finds every package installed.
TEST(RunScript, BuildsOnlyTheProgramItStarts) {
    Scratch scratch;
    const std::string bin = scratch.dir + "/bin", log = scratch.dir + "/cmake.log";
    std::filesystem::create_directory(bin);
    auto script = [&](const std::string& name, const std::string& text) {
        const std::string path = bin + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << text;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    };
    script("dpkg", "echo 'Status: install ok installed'\n");
    script("cmake", "echo \"$*\" >> '" + log + "'\n"
                    "if [ \"$1\" = --build ]; then\n"
                    "  mkdir -p \"$2/src/frontend\"\n"
                    "  printf '#!/bin/sh\\necho started: \"$*\"\\n' > \"$2/src/frontend/zembrix\"\n"
                    "  chmod +x \"$2/src/frontend/zembrix\"\n"
                    "fi\n");
    const std::string path = bin + ":" + std::getenv("PATH");
    const Outcome o = run({"PATH=" + path, "ZEMBRIX_BUILD_DIR=" + scratch.dir + "/build", "bash",
                           ZEMBRIX_SCRIPTS_DIR "/run.sh", "-dmg", "game.gb"},
                          {}, SIGTERM, {}, 20000ms, {}, "/usr/bin/env");
    EXPECT_EQ(o.exit_code, 0) << "stdout: " << o.out << "\nstderr: " << o.err;
    EXPECT_NE(o.out.find("started: -dmg game.gb\n"), std::string::npos) << o.out;
    std::ifstream calls(log);
    std::string call;
    int builds = 0;
    while (std::getline(calls, call)) {
        if (call.rfind("--build", 0) != 0) continue;
        ++builds;
        EXPECT_NE(call.find(" --target zembrix"), std::string::npos) << call;
    }
    EXPECT_EQ(builds, 1);
}

// ---------------------------------------------------------------------------
// Start errors, limits on the program's own output, and stops of the whole
// process.

namespace {

// A program that a test acts on while it runs. `setup` runs in the child
// before the program starts (to send its output elsewhere, set a limit, name
// a driver's file); standard output and error go to pipes read meanwhile,
// unless `setup` sends them elsewhere. Each wait is for a state of the
// program, and gives up only after `limit`.
class Started {
public:
    Started(const std::vector<std::string>& args, Drivers drivers, const std::function<void()>& setup = {}) {
        int out_pipe[2], err_pipe[2];
        if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) exec_program(ZEMBRIX_BINARY, args, out_pipe[1], err_pipe[1], drivers, setup);
        close(out_pipe[1]);
        close(err_pipe[1]);
        out_fd_ = out_pipe[0];
        err_fd_ = err_pipe[0];
    }
    ~Started() {
        if (!reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
        }
        close(out_fd_);
        close(err_fd_);
    }
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& out() const { return out_; }

    // Waits until `ready()` holds while the program runs (or is stopped);
    // false when it ended first or `limit` went by.
    bool wait_until(const std::function<bool()>& ready, std::chrono::milliseconds limit = 20000ms) {
        const auto start = Clock::now();
        for (;;) {
            pump(20ms);
            if (!reaped_ && waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
            if (reaped_) return false;
            if (ready()) return true;
            if (Clock::now() - start >= limit) return false;
        }
    }

    // Waits for the program to end, killing it after `limit`, and reads the
    // rest of what it printed.
    Outcome finish(std::chrono::milliseconds limit = 20000ms) {
        Outcome o;
        const auto start = Clock::now();
        while (!reaped_) {
            pump(20ms);
            if (waitpid(pid_, &status_, WNOHANG) == pid_) {
                reaped_ = true;
            } else if (Clock::now() - start >= limit) {
                o.timed_out = true;
                kill(pid_, SIGKILL);
                waitpid(pid_, &status_, 0);
                reaped_ = true;
            }
        }
        while (out_open_ || err_open_) pump(100ms);  // up to the end of both pipes
        o.exited = WIFEXITED(status_);
        o.exit_code = o.exited ? WEXITSTATUS(status_) : -1;
        o.signal = WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
        o.out = out_;
        o.err = err_;
        return o;
    }

private:
    void pump(std::chrono::milliseconds wait) {
        pollfd watch[2];
        nfds_t count = 0;
        if (out_open_) watch[count++] = {out_fd_, POLLIN, 0};
        if (err_open_) watch[count++] = {err_fd_, POLLIN, 0};
        if (count == 0) {
            std::this_thread::sleep_for(wait);
            return;
        }
        if (poll(watch, count, int(wait.count())) <= 0) return;
        for (nfds_t i = 0; i < count; ++i) {
            if (!(watch[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (watch[i].fd == out_fd_) drain(out_fd_, out_, out_open_);
            else drain(err_fd_, err_, err_open_);
        }
    }

    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
    bool out_open_ = true, err_open_ = true, reaped_ = false;
    int status_ = 0;
    std::string out_, err_;
};

// What /proc tells of the program's main thread: its state letter ('T' when
// stopped), how often it gave the processor up of its own (a wait for the
// sound device is a sleep of a millisecond), and its processor time in
// clock ticks.
struct MainThread {
    char state = '?';
    long waits = 0;
    long ticks = 0;
};

MainThread main_thread(pid_t pid) {
    MainThread t;
    const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
    std::ifstream stat(task + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t name_end = text.rfind(')');
    if (name_end != std::string::npos) {
        std::istringstream fields(text.substr(name_end + 2));
        std::string field;
        std::vector<std::string> f;
        while (fields >> field) f.push_back(field);
        if (f.size() > 12) {
            t.state = f[0][0];
            t.ticks = std::stol(f[11]) + std::stol(f[12]);  // utime, stime
        }
    }
    std::ifstream status(task + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) t.waits = std::stol(line.substr(24));
    return t;
}

// Whether the main thread has gone on since `before`: it waited for the
// sound device a hundred times, or computed for a tenth of a second.
bool ran_on(pid_t pid, const MainThread& before) {
    const MainThread now = main_thread(pid);
    return now.waits >= before.waits + 100 || now.ticks >= before.ticks + sysconf(_SC_CLK_TCK) / 10;
}

bool has_thread_named(pid_t pid, const std::string& prefix) {
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

const std::string STALL_MESSAGE = "Audio device is not playing its queue; dropping sound until it drains\n";

}  // namespace

// Errors of the command line come before any of the machine it runs on: with
// no display a wrong line is still reported as such. An option, or an
// option's value, is never taken for the ROM.
TEST(FrontendStart, ErrorsOfTheLineComeFirstAndOptionsAreNoRom) {
    Scratch scratch;
    struct Row {
        std::vector<std::string> args;
        std::string message;  // all of standard output
    };
    const std::string no_rom = "No ROM filename found.\n";
    const std::vector<Row> rows = {
        {{"-dmg"}, no_rom},
        {{"-scale", "3"}, no_rom},
        {{"-dev", "cgbE"}, no_rom},
        {{scratch.rom, "-scale", "2"}, no_rom},
        {{"-dev", "bogus", scratch.rom}, "Unknown device: bogus\n"},
        {{"-dev", scratch.rom}, "Unknown device: " + scratch.rom + "\n"},
        {{scratch.rom, "-dev"}, "Missing value for -dev: give the name of a model.\n"},
        {{"-scale", "0", scratch.rom}, "Invalid value for -scale: \"0\" (give a whole number from 1 to 16).\n"},
    };
    for (bool display : {true, false}) {
        for (const Row& r : rows) {
            std::string line;
            for (const auto& a : r.args) line += " [" + a + "]";
            SCOPED_TRACE((display ? "zembrix" : "no display: zembrix") + line);
            const Outcome o = run(r.args, {}, SIGTERM, display ? Drivers{} : Drivers{nullptr, "dummy"});
            ASSERT_FALSE(o.timed_out);
            EXPECT_TRUE(o.exited) << "signal " << o.signal;
            EXPECT_EQ(o.exit_code, 1);
            EXPECT_EQ(o.out, r.message);
            EXPECT_NE(o.err.find("usage: zembrix"), std::string::npos) << "stderr: [" << o.err << "]";
        }
    }
}

// A file too short to hold a cartridge header is no game: the program says so
// and ends with status 1 instead of running a blank machine for ever.
TEST(FrontendStart, RomTooShortForAHeaderIsRefused) {
    Scratch scratch;
    for (size_t size : {size_t(0), size_t(1), size_t(0x14F)}) {
        SCOPED_TRACE(size);
        const std::string rom = scratch.dir + "/short.gb";
        std::ofstream(rom, std::ios::binary | std::ios::trunc).write(std::string(size, '\0').data(), std::streamsize(size));
        const Outcome o = run({rom}, {}, SIGTERM, {}, 10000ms);
        ASSERT_FALSE(o.timed_out) << "ran a blank machine; stdout: [" << o.out << "]";
        EXPECT_TRUE(o.exited) << "signal " << o.signal;
        EXPECT_EQ(o.exit_code, 1);
        EXPECT_TRUE(ends_with(o.out, "ROM too short to hold a cartridge header (" + std::to_string(size) +
                                         " bytes; the header takes the first 336): " + rom + "\n"))
            << "stdout: [" << o.out << "]";
    }
}

// A file-size limit (ulimit -f) on the file standard output is appended to
// makes every message fail to be written, and that is all: the message at
// start about a battery file longer than the RAM is lost, the game runs, and
// at exit the file is kept and the session saved.
TEST(FrontendOutput, FileSizeLimitOnTheOutputLosesOnlyTheMessages) {
    Scratch scratch;
    const BatteryGame game(scratch);
    const std::vector<char> longer(8192 + 16, char(0x33));
    std::ofstream(game.sav, std::ios::binary).write(longer.data(), std::streamsize(longer.size()));
    constexpr rlim_t LIMIT = 64 * 1024;
    const std::string log = scratch.dir + "/output.log";
    std::ofstream(log).close();
    std::filesystem::resize_file(log, 2 * LIMIT);  // already past the limit
    Started program({"-ignore_boot_roms", game.rom}, {}, [&] {
        const int fd = open(log.c_str(), O_WRONLY | O_APPEND);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        close(fd);
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = LIMIT;
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    // Asked to quit as soon as it can hear it: the quit comes after the
    // first frame, after the message at start.
    const bool listening = program.wait_until([&] { return handles_signal(program.pid(), SIGTERM); });
    if (listening) kill(program.pid(), SIGTERM);
    const Outcome o = program.finish();
    EXPECT_FALSE(o.timed_out);
    EXPECT_EQ(o.signal, 0) << strsignal(o.signal);
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.exit_code, 0);
    const std::vector<char> sav = game.saved();
    ASSERT_EQ(sav.size(), 8192u);
    EXPECT_EQ(sav[0], char(0x5A));
    std::ifstream kept(game.sav + ".bak", std::ios::binary);
    EXPECT_EQ(std::vector<char>((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>()), longer);
    EXPECT_EQ(std::filesystem::file_size(log), 2 * LIMIT) << "nothing got past the limit";
}

// Each message reaches a pipe as it is printed, not when the program ends.
TEST(FrontendOutput, MessagesReachAPipeWhileTheProgramRuns) {
    Scratch scratch;
    Started program({"-ignore_boot_roms", scratch.rom}, Drivers{"dummy", "no-such-audio-driver"});
    const bool seen = program.wait_until([&] {
        const size_t at = program.out().find("Failed to open audio: ");
        return at != std::string::npos && program.out().find('\n', at) != std::string::npos;
    }, 10000ms);
    EXPECT_TRUE(seen) << "stdout so far: [" << program.out() << "]";
    kill(program.pid(), SIGTERM);
    const Outcome o = program.finish();
    EXPECT_FALSE(o.timed_out);
    EXPECT_EQ(o.exit_code, 0) << "stdout: " << o.out << "\nstderr: " << o.err;
}

// A device that stops taking sound (here SDL's disk driver writing into a
// FIFO no one reads) is reported once, and at once; when it lets go the
// program quits as usual.
TEST(FrontendSound, StalledDeviceIsReportedAtOnce) {
    Scratch scratch;
    const std::string fifo = scratch.dir + "/sound.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Opened here so that the device can open it; never read.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    Started program({"-ignore_boot_roms", scratch.rom}, Drivers{"dummy", "disk"},
                    [&] { setenv("SDL_DISKAUDIOFILE", fifo.c_str(), 1); });
    const bool reported = program.wait_until([&] { return program.out().find(STALL_MESSAGE) != std::string::npos; });
    close(reader);  // the device's next write fails, and it stops waiting on the FIFO
    kill(program.pid(), SIGTERM);
    const Outcome o = program.finish();
    EXPECT_TRUE(reported) << "stdout so far: [" << o.out << "]";
    EXPECT_FALSE(o.timed_out);
    EXPECT_EQ(o.exit_code, 0) << "stdout: " << o.out << "\nstderr: " << o.err;
    EXPECT_EQ(o.out, STALL_MESSAGE);
}

// Ctrl-Z stops the whole process, the sound device's thread with it: the
// time until it goes on (SIGCONT) is no stall of the device, however often.
TEST(FrontendSound, StopAndContinueIsNoStallOfTheDevice) {
    Scratch scratch;
    // A process group of its own, as a shell gives each job: the kernel
    // discards SIGTSTP sent to a group with no parent outside it in the
    // session (an orphaned group, as a test run by a detached CI job is in).
    Started program({"-ignore_boot_roms", scratch.rom}, {}, [] { setpgid(0, 0); });
    ASSERT_TRUE(program.wait_until([&] { return has_thread_named(program.pid(), "SDLAudio"); }))
        << "no sound device; stdout: [" << program.out() << "]";
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        // Running and playing since the last round.
        const MainThread before = main_thread(program.pid());
        ASSERT_TRUE(program.wait_until([&] { return ran_on(program.pid(), before); }));
        kill(program.pid(), SIGTSTP);
        ASSERT_TRUE(program.wait_until([&] { return main_thread(program.pid()).state == 'T'; }));
        // Stopped for longer than a device may go without taking sound.
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        kill(program.pid(), SIGCONT);
    }
    const MainThread before = main_thread(program.pid());
    ASSERT_TRUE(program.wait_until([&] { return ran_on(program.pid(), before); }));
    kill(program.pid(), SIGTERM);
    const Outcome o = program.finish();
    EXPECT_FALSE(o.timed_out);
    EXPECT_EQ(o.exit_code, 0) << "stdout: " << o.out << "\nstderr: " << o.err;
    EXPECT_EQ(o.out.find(STALL_MESSAGE), std::string::npos) << o.out;
}
