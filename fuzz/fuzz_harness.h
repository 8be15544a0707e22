#pragma once
// Shared harness of the libFuzzer targets. A target is one source file that
// defines the two functions at the end of this header; the harness supplies
// libFuzzer's entry points, one machine reused by every input (reset, never
// rebuilt), bounded running, scratch files and the seed writer.
#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "core/gb.h"
#include "core/host.h"

namespace fuzz {

// One file of a target's seed corpus.
struct Seed {
    std::string name;
    std::vector<u8> bytes;
};

// Reads an input front to back; past its end every read gives 0.
class Input {
public:
    Input(const u8* data, size_t size) : data_(data), size_(size) {}
    u8 byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    u16 word() { return u16(byte() | byte() << 8); }
    u64 u64le() {
        u64 v = 0;
        for (int i = 0; i < 8; ++i) v |= u64(byte()) << (8 * i);
        return v;
    }
    size_t left() const { return size_ - pos_; }
    const u8* rest() const { return data_ + pos_; }
    // The next n bytes (fewer at the end) as a buffer.
    std::vector<u8> take(size_t n) {
        n = std::min(n, left());
        std::vector<u8> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }

private:
    const u8* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Host of the shared machine: frames are dropped, the buttons are whatever
// the target sets.
class FuzzHost : public Host {
public:
    void update_display(const u32*) override { ++frames; }
    u8 get_joypad_state() override { return buttons; }
    u8 buttons = 0;
    int frames = 0;
};

// The machine every input of this process uses: built once, headless, with
// no boot ROM images and no wall-clock pacing.
GB& machine();
FuzzHost& host();

// Models a target cycles through: every hardware model (1-15).
int model_for(u8 selector);

// Loads `image` from memory on `model` and resets. Buttons released.
void boot_from_memory(GB& gb, const std::vector<u8>& image, int model);

// Runs at most `frames` frames (at most `max_steps` interpreter steps in
// all); returns early when the CPU can never run again (STOP with no button
// to wake it, HALT with no interrupt enabled).
void run_frames(GB& gb, int frames, int max_steps = 1 << 30);
// Runs `steps` interpreter steps, or fewer when the CPU is stuck for good.
void run_steps(GB& gb, int steps);
bool stuck_for_good(const GB& gb);

// A folder of this process's own for files, made on first use and removed
// at exit.
const std::string& scratch_dir();
void write_file(const std::string& path, const std::vector<u8>& bytes);
std::vector<u8> read_file(const std::string& path);

// A 32 KiB ROM image (or larger, in 16 KiB banks) with a program at `at`.
struct Rom {
    std::vector<u8> bytes;
    explicit Rom(size_t size = 0x8000) : bytes(size, 0x00) {}
    Rom& place(size_t at, const std::vector<u8>& data);
    Rom& type(u8 v) { bytes[0x0147] = v; return *this; }
    Rom& ram_size_code(u8 v) { bytes[0x0149] = v; return *this; }
    Rom& cgb_flag(u8 v) { bytes[0x0143] = v; return *this; }
    Rom& byte(size_t at, u8 v) { bytes.at(at) = v; return *this; }
};

// Stops the process with a message when a property the target checks does
// not hold; libFuzzer records the input as a crash.
[[noreturn]] void fail(const std::string& what);
inline void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

}  // namespace fuzz

// Defined by each target.
void zembrix_fuzz_one(const u8* data, size_t size);
std::vector<fuzz::Seed> zembrix_fuzz_seeds();
// May be defined by a target whose faults live in long inputs: the -max_len
// it runs with unless the command line names one (libFuzzer's own default is
// the largest seed, at least 4096 bytes, at most 1 MiB). 0: that default.
size_t zembrix_fuzz_max_len();
