#include "romtest.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace romtest {

namespace {

constexpr u8 OPCODE_JR = 0x18;
constexpr u8 OPCODE_JP = 0xC3;

// Blargg's memory-style report in cartridge RAM.
constexpr u8 BLARGG_SIGNATURE[3] = {0xDE, 0xB0, 0x61};
constexpr u8 BLARGG_RUNNING = 0x80;
constexpr int BLARGG_TEXT_OFFSET = 4;

// gbmicrotest's result byte in high RAM.
constexpr u16 HRAM_RESULT = 0xFF82;
constexpr u8 HRAM_PASS = 0x01;
constexpr u8 HRAM_FAIL = 0xFF;

constexpr u8 FIBONACCI[6] = {3, 5, 8, 13, 21, 34};

std::string hex2(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
    return buf;
}

std::string hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFF);
    return buf;
}

// The last non-empty lines of a text, joined with " | ", for a one-line report.
std::string tail_lines(const std::string& text, size_t max_lines) {
    std::vector<std::string> lines;
    std::string current;
    for (char c : text) {
        if (c == '\n' || c == '\r') {
            if (!current.empty()) lines.push_back(current);
            current.clear();
        } else if (c >= 0x20 && c < 0x7F) {
            current += c;
        }
    }
    if (!current.empty()) lines.push_back(current);
    const size_t first = lines.size() > max_lines ? lines.size() - max_lines : 0;
    std::string out;
    for (size_t i = first; i < lines.size(); ++i) {
        if (!out.empty()) out += " | ";
        out += lines[i];
    }
    return out;
}

}  // namespace

std::optional<Expectation> parse_expectation(const std::string& text) {
    Expectation e;
    if (text == "serial") {
        e.kind = Kind::Serial;
    } else if (text == "fibonacci") {
        e.kind = Kind::Fibonacci;
    } else if (text == "blargg-ram") {
        e.kind = Kind::BlarggRam;
    } else if (text.rfind("image:", 0) == 0 && text.size() > 6) {
        e.kind = Kind::Image;
        e.reference = text.substr(6);
    } else if (text.rfind("image-frames:", 0) == 0 && text.size() > 13) {
        e.kind = Kind::Image;
        e.reference = text.substr(13);
        e.at_breakpoint = false;
    } else if (text == "hram-result") {
        e.kind = Kind::HramResult;
    } else {
        return std::nullopt;
    }
    return e;
}

int exit_code(Status status) {
    switch (status) {
        case Status::Pass: return 0;
        case Status::Fail: return 1;
        default: return 2;
    }
}

std::string verdict_line(const Verdict& verdict) {
    switch (verdict.status) {
        case Status::Pass: return "PASS";
        case Status::Fail: return "FAIL " + verdict.detail;
        case Status::Timeout: return "TIMEOUT after " + std::to_string(verdict.frames) + " frames";
        default: return "ERROR " + verdict.detail;
    }
}

// ---------------------------------------------------------------------------
// Screen

void ScreenCapture::update_display(const u32* frame_pixels) {
    std::memcpy(pixels.data(), frame_pixels, pixels.size() * sizeof(u32));
    ++frames_presented;
}

u8 ScreenCapture::get_joypad_state() {
    u8 state = 0;
    for (const Press& p : presses)
        if (frame >= p.frame && frame - p.frame < PRESS_HOLD_FRAMES) state |= p.buttons;
    return state;
}

// ---------------------------------------------------------------------------
// Scripted presses

namespace {
constexpr const char* BUTTON_NAMES[8] = {"right", "left", "up", "down", "a", "b", "select", "start"};

std::optional<u8> parse_button_names(const std::string& text) {
    u8 state = 0;
    size_t start = 0;
    for (;;) {
        const size_t plus = text.find('+', start);
        std::string name = text.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return char(std::tolower(ch)); });
        const auto* found = std::find(std::begin(BUTTON_NAMES), std::end(BUTTON_NAMES), name);
        if (found == std::end(BUTTON_NAMES)) return std::nullopt;
        state |= u8(1u << (found - std::begin(BUTTON_NAMES)));
        if (plus == std::string::npos) return state;
        start = plus + 1;
    }
}

std::optional<u8> parse_hex_byte(std::string text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = text.substr(2);
    if (text.empty() || text.size() > 2) return std::nullopt;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (*end != '\0') return std::nullopt;
    return u8(v);
}
}  // namespace

std::optional<Press> parse_press(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    const std::string frame_text = text.substr(0, colon);
    if (frame_text.find_first_not_of("0123456789") != std::string::npos || frame_text.size() > 9) return std::nullopt;
    const std::string buttons = text.substr(colon + 1);
    auto state = parse_button_names(buttons);
    if (!state) state = parse_hex_byte(buttons);
    if (!state) return std::nullopt;
    return Press{std::stoi(frame_text), *state};
}

namespace {

std::optional<std::vector<u8>> parse_hex_bytes(const std::string& text) {
    if (text.empty() || text.size() % 2 != 0 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
    std::vector<u8> bytes;
    for (size_t i = 0; i < text.size(); i += 2) bytes.push_back(u8(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

}  // namespace

std::optional<Patch> parse_patch(const std::string& text) {
    const size_t first = text.find(':');
    const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) return std::nullopt;
    const std::string offset_text = text.substr(0, first);
    if (offset_text.empty() || offset_text.size() > 6 ||
        offset_text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
    auto old_bytes = parse_hex_bytes(text.substr(first + 1, second - first - 1));
    auto new_bytes = parse_hex_bytes(text.substr(second + 1));
    if (!old_bytes || !new_bytes || old_bytes->size() != new_bytes->size()) return std::nullopt;
    return Patch{size_t(std::stoul(offset_text, nullptr, 16)), *old_bytes, *new_bytes};
}

bool apply_patch(std::vector<u8>& image, const Patch& patch, std::string& error) {
    char where[16];
    std::snprintf(where, sizeof where, "%zX", patch.offset);
    if (patch.offset > image.size() || image.size() - patch.offset < patch.old_bytes.size()) {
        error = std::string("patch at ") + where + " is outside the ROM";
        return false;
    }
    if (!std::equal(patch.old_bytes.begin(), patch.old_bytes.end(), image.begin() + std::ptrdiff_t(patch.offset))) {
        error = std::string("patch at ") + where + ": the ROM holds other bytes there";
        return false;
    }
    std::copy(patch.new_bytes.begin(), patch.new_bytes.end(), image.begin() + std::ptrdiff_t(patch.offset));
    return true;
}

RgbImage to_rgb(const ScreenCapture& screen) {
    RgbImage image;
    image.width = FRAME_WIDTH;
    image.height = FRAME_HEIGHT;
    image.rgb.resize(size_t(FRAME_WIDTH) * FRAME_HEIGHT * 3);
    for (size_t i = 0; i < screen.pixels.size(); ++i) {
        const u32 p = screen.pixels[i];
        image.rgb[i * 3 + 0] = u8(p >> 16);
        image.rgb[i * 3 + 1] = u8(p >> 8);
        image.rgb[i * 3 + 2] = u8(p);
    }
    return image;
}

std::string compare_screen(const ScreenCapture& screen, const RgbImage& reference) {
    if (reference.width != FRAME_WIDTH || reference.height != FRAME_HEIGHT)
        return "reference is " + std::to_string(reference.width) + "x" + std::to_string(reference.height) +
               ", not 160x144";
    int differing = 0;
    int first_x = -1, first_y = -1;
    u32 got = 0;
    for (int y = 0; y < FRAME_HEIGHT; ++y) {
        for (int x = 0; x < FRAME_WIDTH; ++x) {
            const u32 p = screen.pixels[size_t(y) * FRAME_WIDTH + x] & 0xFFFFFFu;
            const u32 want = u32(reference.r(x, y)) << 16 | u32(reference.g(x, y)) << 8 | reference.b(x, y);
            if (p == want) continue;
            if (differing++ == 0) {
                first_x = x;
                first_y = y;
                got = p;
            }
        }
    }
    if (differing == 0) return {};
    const u32 want = u32(reference.r(first_x, first_y)) << 16 | u32(reference.g(first_x, first_y)) << 8 |
                     reference.b(first_x, first_y);
    return "screen differs from reference in " + std::to_string(differing) + " pixels, first at (" +
           std::to_string(first_x) + "," + std::to_string(first_y) + "): #" + hex2(got >> 16) + hex2(got >> 8) +
           hex2(got) + " instead of #" + hex2(want >> 16) + hex2(want >> 8) + hex2(want);
}

// ---------------------------------------------------------------------------
// Step recognition

StepProbe StepProbe::of(const GB& gb) {
    StepProbe p;
    p.pc = gb.cpu.pc;
    p.sp = gb.cpu.sp;
    p.halted = gb.cpu.halted;
    p.stopped = gb.cpu.stopped;
    p.ime = gb.cpu.ime;
    return p;
}

namespace {
// A step from this state goes through the opcode fetch (it may still end in an
// interrupt dispatch instead of executing the opcode).
bool step_fetches(const StepProbe& before) { return !before.stopped && !(before.halted && before.ime == 2); }
}  // namespace

bool executed_ld_b_b(const StepProbe& before, const GB& gb) {
    return step_fetches(before) && gb.cpu.opcode == OPCODE_LD_B_B && gb.cpu.sp == before.sp;
}

namespace {
// A press held now or still to come pulls a line the program selected low:
// the joypad sampled at a frame's end will then wake a stopped CPU.
bool press_can_wake(const GB& gb, const std::vector<Press>& presses, int frame) {
    return std::any_of(presses.begin(), presses.end(), [&](const Press& p) {
        return p.frame + PRESS_HOLD_FRAMES > frame && (gb.joypad.lines_for(p.buttons) & 0x0F) != 0x0F;
    });
}
}  // namespace

std::string stuck_reason(const StepProbe& before, const GB& gb, const std::vector<Press>& presses, int frame) {
    const CPU& cpu = gb.cpu;
    if (cpu.stopped && !press_can_wake(gb, presses, frame)) return "the CPU executed STOP and nothing can wake it";
    if (cpu.halted && (cpu.ie & 0x1F) == 0) return "the CPU is halted with no interrupt enabled in IE";
    const bool interrupts_off = cpu.ime == 0 || (cpu.ie & 0x1F) == 0;
    if (interrupts_off && step_fetches(before) && cpu.sp == before.sp && cpu.pc == before.pc &&
        (cpu.opcode == OPCODE_JR || cpu.opcode == OPCODE_JP))
        return "the CPU jumps to itself at $" + hex4(cpu.pc) + " with interrupts off";
    return {};
}

// ---------------------------------------------------------------------------
// Runner

Runner::Runner(GB& gb, Expectation expectation, int frame_limit, ScreenCapture* screen)
    : gb_(&gb), expectation_(std::move(expectation)), frame_limit_(frame_limit), screen_(screen) {}

bool Runner::prepare(std::string& error) {
    if (expectation_.kind != Kind::Image) return true;
    if (!screen_) {
        error = "a picture comparison needs a screen capture";
        return false;
    }
    if (!read_png_rgb(expectation_.reference, reference_, error)) return false;
    if (reference_.width != FRAME_WIDTH || reference_.height != FRAME_HEIGHT) {
        error = "reference " + expectation_.reference + " is " + std::to_string(reference_.width) + "x" +
                std::to_string(reference_.height) + ", not 160x144";
        return false;
    }
    return true;
}

void Runner::count_frames() {
    // A frame ends when the picture unit says so; while it produces none (LCD
    // off), every 70224 cycles of the 4 MHz clock count as one.
    const u64 now = gb_->cpu.cycles_4mhz;
    if (gb_->ppu.frame_done) {
        gb_->ppu.frame_done = false;
        ++frames_;
        frame_start_cycle_ = now;
    } else if (now - frame_start_cycle_ >= CYCLES_PER_FRAME) {
        ++frames_;
        frame_start_cycle_ += CYCLES_PER_FRAME;
    }
    if (screen_) screen_->frame = frames_;
}

Verdict Runner::judge_fibonacci() const {
    const CPU& c = gb_->cpu;
    const u8 regs[6] = {c.b(), c.c(), c.d(), c.e(), c.h(), c.l()};
    if (std::equal(std::begin(regs), std::end(regs), std::begin(FIBONACCI))) return {Status::Pass, {}, frames_};
    std::string values;
    for (u8 r : regs) {
        if (!values.empty()) values += ' ';
        values += hex2(r);
    }
    const bool reported = std::all_of(std::begin(regs), std::end(regs), [](u8 r) { return r == 0x42; });
    return {Status::Fail,
            (reported ? "the test reported failure (B-L = " : "LD B,B with B-L = ") + values + " at $" +
                hex4(u16(c.pc - 1)),
            frames_};
}

Verdict Runner::judge_image() const {
    const std::string difference = compare_screen(*screen_, reference_);
    if (difference.empty()) return {Status::Pass, {}, frames_};
    return {Status::Fail, difference, frames_};
}

std::optional<Verdict> Runner::judge_serial() {
    const auto& bytes = gb_->serial.sent_bytes;
    if (bytes.size() == serial_seen_) return std::nullopt;
    // Only the new bytes, plus enough of the old ones to catch a word split
    // across two checks, are searched.
    const size_t old_size = serial_text_.size();
    serial_text_.append(bytes.begin() + std::ptrdiff_t(serial_seen_), bytes.end());
    serial_seen_ = bytes.size();
    const size_t from = old_size >= 6 ? old_size - 6 : 0;
    if (serial_text_.find("Passed", from) != std::string::npos) return Verdict{Status::Pass, {}, frames_};
    if (serial_text_.find("Failed", from) != std::string::npos) {
        // The report usually continues after the word; the verdict is taken
        // now, with what has been printed so far.
        return Verdict{Status::Fail, "serial: " + tail_lines(serial_text_, 4), frames_};
    }
    return std::nullopt;
}

std::optional<Verdict> Runner::judge_blargg_ram() {
    const Cartridge& cart = gb_->cartridge;
    if (!cart.ram || cart.ram_size < BLARGG_TEXT_OFFSET) return std::nullopt;
    const u8* ram = cart.ram.get();
    if (std::memcmp(ram + 1, BLARGG_SIGNATURE, sizeof BLARGG_SIGNATURE) != 0) return std::nullopt;
    const u8 status = ram[0];
    // The status counts only once the test has shown that it is running: RAM
    // holds leftovers until then.
    if (status == BLARGG_RUNNING) {
        blargg_running_seen_ = true;
        return std::nullopt;
    }
    if (!blargg_running_seen_) return std::nullopt;
    if (status == 0x00) return Verdict{Status::Pass, {}, frames_};
    std::string text;
    for (int i = BLARGG_TEXT_OFFSET; i < cart.ram_size && ram[i] != 0; ++i) text += char(ram[i]);
    return Verdict{Status::Fail, "result code " + std::to_string(status) + ": " + tail_lines(text, 4), frames_};
}

std::optional<Verdict> Runner::judge_hram() const {
    const u8 result = gb_->read_byte_unrestricted(HRAM_RESULT);
    if (result == HRAM_PASS) return Verdict{Status::Pass, {}, frames_};
    if (result == HRAM_FAIL) {
        return Verdict{Status::Fail,
                       "FF82 = FF (read " + hex2(gb_->read_byte_unrestricted(0xFF80)) + ", expected " +
                           hex2(gb_->read_byte_unrestricted(0xFF81)) + ")",
                       frames_};
    }
    return std::nullopt;
}

std::optional<Verdict> Runner::judge_after_step(const StepProbe& before) {
    switch (expectation_.kind) {
        case Kind::Fibonacci:
            if (executed_ld_b_b(before, *gb_)) return judge_fibonacci();
            return std::nullopt;
        case Kind::Image:
            if (expectation_.at_breakpoint && executed_ld_b_b(before, *gb_)) return judge_image();
            return std::nullopt;
        case Kind::Serial: return judge_serial();
        case Kind::BlarggRam: return judge_blargg_ram();
        case Kind::HramResult: return judge_hram();
        case Kind::None: return std::nullopt;
    }
    return std::nullopt;
}

void Runner::add_state_round_trip(int frame, MachineFactory factory) {
    round_trip_frames_.push_back(frame);
    factory_ = std::move(factory);
}

void Runner::state_round_trip() {
    const std::string saved = gb_->save_state();
    std::unique_ptr<GB> fresh = factory_(screen_);
    std::string error;
    if (!fresh || !fresh->load_state(saved, &error)) {
        round_trip_error_ = "state round trip at frame " + std::to_string(frames_) + ": " + error;
        return;
    }
    // What the serial port has sent so far is the runner's record, not state.
    fresh->serial.sent_bytes = gb_->serial.sent_bytes;
    replacement_ = std::move(fresh);
    gb_ = replacement_.get();
    ++round_trips_done_;
}

Verdict Runner::check_round_trips(const Verdict& verdict) {
    if (!round_trip_error_.empty()) return {Status::Error, round_trip_error_, frames_};
    if (round_trip_frames_.empty()) return verdict;
    // The same cartridge run without interruption, on a host of its own that
    // holds the same presses.
    ScreenCapture other;
    if (screen_) other.presses = screen_->presses;
    std::unique_ptr<GB> reference = factory_(&other);
    if (!reference) return {Status::Error, "state round trip: no reference machine", frames_};
    Runner plain(*reference, Expectation{}, frame_limit_, &other);
    plain.run_to_cycle(gb_->cpu.cycles_4mhz);
    std::string difference;
    if (reference->cpu.cycles_4mhz != gb_->cpu.cycles_4mhz)
        difference = "the uninterrupted run stops at cycle " + std::to_string(reference->cpu.cycles_4mhz) +
                     ", the loaded one at " + std::to_string(gb_->cpu.cycles_4mhz);
    else if (reference->save_state() != gb_->save_state())
        difference = "the state strings differ";
    else if (reference->ppu.frame_buffer != gb_->ppu.frame_buffer || (screen_ && other.pixels != screen_->pixels))
        difference = "the pictures differ";
    if (difference.empty()) return verdict;
    return {Status::Fail,
            "after " + std::to_string(round_trips_done_) + " state round trip(s), " + difference + " at frame " +
                std::to_string(frames_),
            frames_};
}

void Runner::run_to_cycle(u64 cycle) {
    frames_ = 0;
    if (screen_) screen_->frame = 0;
    frame_start_cycle_ = gb_->cpu.cycles_4mhz;
    gb_->ppu.frame_done = false;
    while (gb_->cpu.cycles_4mhz < cycle) {
        gb_->run_single_instruction();
        gb_->cpu.end_frame_step();
        count_frames();
    }
}

Verdict Runner::run() { return check_round_trips(run_judged()); }

Verdict Runner::run_judged() {
    frames_ = 0;
    if (screen_) screen_->frame = 0;
    frame_start_cycle_ = gb_->cpu.cycles_4mhz;
    gb_->ppu.frame_done = false;
    // Expectations decided by the program's own report give up early when the
    // program can no longer report anything; a picture may still change.
    const bool detect_stuck = expectation_.kind != Kind::Image && expectation_.kind != Kind::None;
    while (frames_ < frame_limit_) {
        const StepProbe before = StepProbe::of(*gb_);
        gb_->run_single_instruction();
        // The joypad is sampled at each frame's end as in the program's own
        // loop: that is what wakes a CPU stopped by STOP.
        gb_->cpu.end_frame_step();
        if (auto verdict = judge_after_step(before)) return *verdict;
        const int frames_before = frames_;
        count_frames();
        if (frames_ != frames_before && take_snapshots) gb_->check_if_save_state_needed();
        if (frames_ != frames_before && !round_trip_frames_.empty() &&
            std::find(round_trip_frames_.begin(), round_trip_frames_.end(), frames_) != round_trip_frames_.end())
            state_round_trip();
        if (detect_stuck) {
            const std::string reason =
                stuck_reason(before, *gb_, screen_ ? screen_->presses : NO_PRESSES, frames_);
            if (!reason.empty()) return {Status::Timeout, reason, frames_};
        }
    }
    switch (expectation_.kind) {
        case Kind::None: return {Status::Pass, {}, frames_};
        case Kind::Image: return judge_image();
        default: {
            const CPU& cpu = gb_->cpu;
            std::string detail = "no result; PC=$" + hex4(cpu.pc) + " IME=" + std::to_string(cpu.ime) + " IE=$" +
                                 hex2(cpu.ie) + (cpu.halted ? " halted" : "");
            if (expectation_.kind == Kind::Serial && !serial_text_.empty())
                detail += "; serial: " + tail_lines(serial_text_, 4);
            return {Status::Timeout, detail, frames_};
        }
    }
}

}  // namespace romtest
