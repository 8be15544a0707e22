#include "fuzz_harness.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

namespace fuzz {

GB& machine() {
    // Never destroyed: libFuzzer ends the process with exit().
    static GB* gb = [] {
        auto* m = new GB(1);
        m->use_boot_roms = false;
        m->player_turbo = true;
        m->host = &host();
        return m;
    }();
    return *gb;
}

FuzzHost& host() {
    static FuzzHost* h = new FuzzHost;
    return *h;
}

int model_for(u8 selector) { return 1 + selector % (MODEL_COUNT - 1); }

void boot_from_memory(GB& gb, const std::vector<u8>& image, int model) {
    host().buttons = 0;
    gb.requested_device = model;
    gb.cartridge.load_rom_from_memory("fuzz.gb", image.data(), int(image.size()));
    gb.reset();
}

bool stuck_for_good(const GB& gb) {
    const CPU& cpu = gb.cpu;
    if (cpu.stopped) return host().buttons == 0;
    return cpu.halted && (cpu.ie & 0x1F) == 0;
}

void run_steps(GB& gb, int steps) {
    for (int i = 0; i < steps; ++i) {
        if ((i & 255) == 0 && stuck_for_good(gb)) return;
        gb.run_single_instruction();
    }
}

void run_frames(GB& gb, int frames, int max_steps) {
    // One frame is at most 17564 steps (an LCD that is off presents none).
    // As in the program's main loop, the buttons are looked at after every
    // frame: that look is what wakes a CPU in STOP.
    for (int f = 0; f < frames && max_steps > 0; ++f) {
        gb.ppu.frame_done = false;
        for (int s = 0; s < 17564 && max_steps > 0; ++s, --max_steps) {
            if ((s & 255) == 0 && stuck_for_good(gb)) return;
            gb.run_single_instruction();
            if (gb.ppu.frame_done) break;
        }
        gb.joypad.read_p1();
    }
}

namespace {
std::string make_scratch_dir() {
    // Memory-backed when the system has such a folder: the files are written
    // and synced on every input.
    std::error_code ec;
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
            ? std::filesystem::path("/dev/shm")
            : std::filesystem::temp_directory_path();
    std::string pattern = (base / "zembrix-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) fail("cannot create a scratch folder");
    static std::string for_cleanup;
    for_cleanup = pattern;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(for_cleanup, ec);
    });
    return pattern;
}
}  // namespace

const std::string& scratch_dir() {
    static const std::string dir = make_scratch_dir();
    return dir;
}

void write_file(const std::string& path, const std::vector<u8>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) fail("cannot write " + path);
}

std::vector<u8> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Rom& Rom::place(size_t at, const std::vector<u8>& data) {
    if (bytes.size() < at + data.size()) bytes.resize(at + data.size(), 0x00);
    std::copy(data.begin(), data.end(), bytes.begin() + std::ptrdiff_t(at));
    return *this;
}

void fail(const std::string& what) {
    std::fprintf(stderr, "zembrix fuzz check failed: %s\n", what.c_str());
    std::abort();
}

}  // namespace fuzz

namespace {

// `TARGET --write-seeds DIR` writes the target's seed corpus into DIR and
// exits, before libFuzzer reads its own arguments.
void write_seeds_if_asked(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--write-seeds") != 0) continue;
        const std::filesystem::path dir = argv[i + 1];
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        int count = 0;
        for (const fuzz::Seed& seed : zembrix_fuzz_seeds()) {
            fuzz::write_file((dir / seed.name).string(), seed.bytes);
            ++count;
        }
        std::cout << "wrote " << count << " seeds to " << dir.string() << std::endl;
        std::exit(0);
    }
}

// The target's -max_len, put on the command line before libFuzzer reads it.
void add_max_len_if_wanted(int* argc, char*** argv) {
    const size_t max_len = zembrix_fuzz_max_len();
    if (max_len == 0) return;
    for (int i = 1; i < *argc; ++i)
        if (std::strncmp((*argv)[i], "-max_len=", 9) == 0) return;
    static std::vector<char*> args;
    static std::string flag;
    flag = "-max_len=" + std::to_string(max_len);
    args.assign(*argv, *argv + *argc);
    // Flags go before the corpus folders, which libFuzzer takes as they come.
    args.insert(args.begin() + 1, flag.data());
    args.push_back(nullptr);
    *argc += 1;
    *argv = args.data();
}

}  // namespace

__attribute__((weak)) size_t zembrix_fuzz_max_len() { return 0; }

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    write_seeds_if_asked(*argc, *argv);
    add_max_len_if_wanted(argc, argv);
    fuzz::machine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    zembrix_fuzz_one(data, size);
    return 0;
}
