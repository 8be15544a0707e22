#pragma once
// Headless conformance running: drives a machine instruction by instruction,
// counts video frames, and judges a test ROM by one of the reporting
// protocols the public test suites use.
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/gb.h"
#include "core/host.h"
#include "png_io.h"

namespace romtest {

inline constexpr int FRAME_WIDTH = 160;
inline constexpr int FRAME_HEIGHT = 144;
// One video frame at single speed: 154 lines of 456 dots, in 4 MHz cycles.
inline constexpr u64 CYCLES_PER_FRAME = 70224;
// The debug breakpoint the suites execute when they are done: LD B,B.
inline constexpr u8 OPCODE_LD_B_B = 0x40;

enum class Kind {
    Serial,      // the serial text contains "Passed" / "Failed"
    Fibonacci,   // at the first LD B,B: B,C,D,E,H,L = 3,5,8,13,21,34
    BlarggRam,   // cartridge RAM: signature DE B0 61 at A001, status at A000
    HramResult,  // FF82 = 0x01 pass, 0xFF fail
    Image,       // the screen equals a reference picture
    None,        // judge nothing (benchmark)
};

struct Expectation {
    Kind kind = Kind::None;
    std::string reference;  // reference PNG of Kind::Image
    // Kind::Image only: compare at the first LD B,B (or at the frame limit if
    // it never comes); when false, LD B,B is ignored and the picture is
    // compared after exactly the frame limit.
    bool at_breakpoint = true;
};

// Parses an --expect argument: "serial", "fibonacci", "blargg-ram",
// "hram-result", "image:REF.png" (breakpoint or frame limit) or
// "image-frames:REF.png" (after exactly the frame limit).
std::optional<Expectation> parse_expectation(const std::string& text);

enum class Status { Pass, Fail, Timeout, Error };

struct Verdict {
    Status status = Status::Error;
    std::string detail;  // why it failed, or what stopped the run
    int frames = 0;      // frames run when the verdict was reached
};

// Exit status of the runner for a verdict: 0 pass, 1 fail, 2 time-out/error.
int exit_code(Status status);
// The runner's last output line for a verdict: "PASS", "FAIL <why>",
// "TIMEOUT after N frames" or "ERROR <why>".
std::string verdict_line(const Verdict& verdict);

// A scripted press: the buttons (a joypad state byte: bit 0 Right, 1 Left,
// 2 Up, 3 Down, 4 A, 5 B, 6 Select, 7 Start) are held for PRESS_HOLD_FRAMES
// frames from the start of frame `frame` (the first frame is 0).
struct Press {
    int frame = 0;
    u8 buttons = 0;
};
inline constexpr int PRESS_HOLD_FRAMES = 6;

// Parses a --press argument "FRAME:BUTTONS". BUTTONS is button names joined
// by '+' (right, left, up, down, a, b, select, start; any case), or else a
// hexadecimal state byte ("0x11" or "11"). Names win: "A" is the A button,
// 0x0A is Left+Down.
std::optional<Press> parse_press(const std::string& text);

// A change to the ROM image before it is loaded, for test ROMs that cannot
// report on any machine as built. "OFFSET:OLD:NEW" in hexadecimal: the bytes
// OLD at file offset OFFSET become NEW (same length). The old bytes are
// checked, so a patch never lands on a different ROM.
struct Patch {
    size_t offset = 0;
    std::vector<u8> old_bytes;
    std::vector<u8> new_bytes;
};
std::optional<Patch> parse_patch(const std::string& text);
// Applies the patch, or says why not (out of range, different bytes there).
bool apply_patch(std::vector<u8>& image, const Patch& patch, std::string& error);

// The machine's host: keeps the last frame the machine presented, as
// 0xAARRGGBB pixels, and plays the scripted presses. Before the first frame
// (LCD never switched on) the screen is blank: all white.
class ScreenCapture : public Host {
public:
    ScreenCapture() { pixels.fill(0xFFFFFFFFu); }
    void update_display(const u32* frame) override;
    // The buttons of every press being held in the current frame.
    u8 get_joypad_state() override;

    std::array<u32, FRAME_WIDTH * FRAME_HEIGHT> pixels{};
    int frames_presented = 0;
    std::vector<Press> presses;
    int frame = 0;  // kept up to date by the Runner
};

// Converts a captured screen to 8-bit RGB.
RgbImage to_rgb(const ScreenCapture& screen);

// Compares a screen with a reference picture pixel by pixel. Returns an empty
// string when they are equal, else a description of the difference.
std::string compare_screen(const ScreenCapture& screen, const RgbImage& reference);

// State of the machine just before one interpreter step, to recognise what
// the step did.
struct StepProbe {
    u16 pc = 0;
    u16 sp = 0;
    bool halted = false;
    bool stopped = false;
    int ime = 0;
    static StepProbe of(const GB& gb);
};

// True when the step that started in state `before` executed the opcode LD B,B.
// An executed opcode leaves its value in the CPU's opcode field; a step that
// only waited in HALT or STOP fetches nothing, and a step that dispatched an
// interrupt fetches nothing and pushes PC (LD B,B never moves SP).
bool executed_ld_b_b(const StepProbe& before, const GB& gb);

// Why the machine can never reach a verdict from its present state, or empty:
// stopped with no scripted press still to pull a selected joypad line low
// (a stopped CPU cannot change the selection), halted with no interrupt
// enabled, or jumping to itself with interrupts off. `frame` is the frame
// the run has reached.
inline const std::vector<Press> NO_PRESSES;
std::string stuck_reason(const StepProbe& before, const GB& gb, const std::vector<Press>& presses = NO_PRESSES,
                         int frame = 0);

// Runs a loaded, reset machine until the expectation is decided or
// `frame_limit` frames have passed. The machine's host must be `screen`
// (or null for expectations other than Kind::Image).
class Runner {
public:
    Runner(GB& gb, Expectation expectation, int frame_limit, ScreenCapture* screen = nullptr);

    // Loads the reference picture (Kind::Image). False with a message on failure.
    bool prepare(std::string& error);
    Verdict run();
    // Runs, judging nothing, up to the first instruction boundary at or past
    // `cycle` of the 4 MHz clock.
    void run_to_cycle(u64 cycle);

    // Save-state round trips: as frame `frame` begins, the machine is saved,
    // a new machine from `factory` (same cartridge, model and host) loads the
    // state, and the run goes on with it. At the end of the run an
    // uninterrupted machine from `factory`, with a host of its own, runs to
    // the same cycle; its state string and picture must equal the ones of the
    // machine that was saved and loaded, or the verdict is a failure.
    using MachineFactory = std::function<std::unique_ptr<GB>(ScreenCapture* host)>;
    void add_state_round_trip(int frame, MachineFactory factory);
    GB& machine() { return *gb_; }
    // Keeps rollback snapshots as the program's main loop does, at every
    // frame's end (for measuring what they cost).
    bool take_snapshots = false;

    // Everything sent over the serial port so far, as text.
    const std::string& serial_text() const { return serial_text_; }
    int frames() const { return frames_; }

private:
    void count_frames();
    std::optional<Verdict> judge_after_step(const StepProbe& before);
    Verdict judge_fibonacci() const;
    Verdict judge_image() const;
    std::optional<Verdict> judge_serial();
    std::optional<Verdict> judge_blargg_ram();
    std::optional<Verdict> judge_hram() const;

    Verdict run_judged();
    void state_round_trip();
    Verdict check_round_trips(const Verdict& verdict);

    GB* gb_;
    std::unique_ptr<GB> replacement_;
    std::vector<int> round_trip_frames_;
    MachineFactory factory_;
    int round_trips_done_ = 0;
    std::string round_trip_error_;
    Expectation expectation_;
    int frame_limit_;
    ScreenCapture* screen_;
    RgbImage reference_;
    int frames_ = 0;
    u64 frame_start_cycle_ = 0;
    size_t serial_seen_ = 0;
    std::string serial_text_;
    bool blargg_running_seen_ = false;
};

}  // namespace romtest
