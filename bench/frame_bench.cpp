// zembrix-framebench: runs a cartridge headless for a number of frames
// through GB::run_frame, the loop the program's main loop drives, and reports
// the speed; with --hash it also reports what the machine put out, so that two
// builds can be shown to produce the same pictures and sound.
//
//   zembrix-framebench [--model NAME] [--frames N] [--hash] ROM
//
// Output, one line:
//   frames=N cycles=C seconds=S fps=F realtime=X
//   [frame_hash=H presented=P audio_hash=H samples=S state_hash=H]
// `realtime` is emulated time (the 4 MHz clock against 4194304 Hz) per second
// of wall-clock time. `frame_hash` covers every frame handed to the host,
// `audio_hash` every stereo sample the sound unit produced (each full buffer
// as it is queued, then the part of the last one not yet full), `state_hash`
// the save state at the end.
//
// The program uses only what the machine has long offered (the host seam, the
// audio sink, run_frame, save_state), so scripts/bench.sh can build it against
// an older revision of the machine and compare the two side by side.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "core/gb.h"
#include "core/host.h"

namespace {

constexpr double BASE_CLOCK_HZ = 4194304.0;

// A running 64-bit hash over 64-bit words. Each step is a bijection of the
// running value for a fixed word, so a single differing word always shows.
class WordHash {
public:
    void add(const void* data, size_t bytes) {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        while (bytes >= 8) {
            u64 w;
            std::memcpy(&w, p, 8);
            mix(w);
            p += 8;
            bytes -= 8;
        }
        if (bytes != 0) {
            u64 w = 0;
            std::memcpy(&w, p, bytes);
            mix(w ^ (u64(bytes) << 56));
        }
    }
    u64 value() const {
        u64 h = h_;
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDull;
        h ^= h >> 33;
        return h;
    }

private:
    void mix(u64 w) { h_ = (h_ ^ w) * 0x100000001B3ull + 0x9E3779B97F4A7C15ull; }
    u64 h_ = 0xCBF29CE484222325ull;
};

// The host: hashes every frame handed over when asked to; no button is held.
class BenchHost : public Host {
public:
    explicit BenchHost(bool hash) : hash_(hash) {}
    void update_display(const u32* frame) override {
        ++presented;
        if (hash_) frames.add(frame, 160 * 144 * sizeof(u32));
    }
    u8 get_joypad_state() override { return 0; }

    WordHash frames;
    u64 presented = 0;

private:
    bool hash_;
};

// An audio device that plays at once: it never holds anything queued, so the
// machine never waits for it, and it hashes what it is given.
class HashingSink : public AudioSink {
public:
    explicit HashingSink(WordHash* hash, u64* bytes) : hash_(hash), bytes_(bytes) {}
    u32 queued_bytes() override { return 0; }
    void queue(const void* data, u32 bytes) override {
        hash_->add(data, bytes);
        *bytes_ += bytes;
    }
    void sleep_ms(u32) override {}
    u64 now_ms() override { return 0; }

private:
    WordHash* hash_;
    u64* bytes_;
};

int usage(const char* why) {
    std::printf("error: %s\nusage: zembrix-framebench [--model NAME] [--frames N] [--hash] ROM\n", why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string model = "auto";
    std::string rom_path;
    long frames = 600;
    bool hash = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--model" && i + 1 < argc) {
            model = argv[++i];
        } else if (arg == "--frames" && i + 1 < argc) {
            char* end = nullptr;
            frames = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || frames <= 0) return usage("--frames needs a positive number");
        } else if (arg == "--hash") {
            hash = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return usage(("unknown option " + arg).c_str());
        } else {
            rom_path = arg;
        }
    }
    if (rom_path.empty()) return usage("no ROM given");

    std::ifstream file(rom_path, std::ios::binary);
    const std::vector<u8> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.is_open() || image.empty()) return usage(("cannot read " + rom_path).c_str());

    BenchHost host(hash);
    WordHash audio_hash;
    u64 audio_bytes = 0;
    auto gb = std::make_unique<GB>();
    if (!gb->set_default_device_by_short_string(model)) return usage(("unknown model " + model).c_str());
    gb->use_boot_roms = false;
    // From memory: no battery RAM, clock or symbol file beside the ROM is
    // read or written.
    gb->cartridge.load_rom_from_memory(rom_path, image.data(), int(image.size()));
    gb->reset();
    gb->host = &host;
    if (hash) gb->audio.attach_sink(std::make_unique<HashingSink>(&audio_hash, &audio_bytes));

    const u64 start_cycle = gb->cpu.cycles_4mhz;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < frames; ++i) gb->run_frame();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const u64 cycles = gb->cpu.cycles_4mhz - start_cycle;

    std::printf("frames=%ld cycles=%llu seconds=%.4f fps=%.1f realtime=%.2f", frames, (unsigned long long)cycles,
                seconds, seconds > 0 ? double(frames) / seconds : 0.0,
                seconds > 0 ? double(cycles) / BASE_CLOCK_HZ / seconds : 0.0);
    if (hash) {
        // The samples of the buffer not yet full.
        audio_hash.add(gb->audio.samples.data(), size_t(gb->audio.sample_index) * sizeof(i16));
        const u64 samples = audio_bytes / 4 + u64(gb->audio.sample_index) / 2;
        WordHash state;
        const std::string saved = gb->save_state();
        state.add(saved.data(), saved.size());
        std::printf(" frame_hash=%016llx presented=%llu audio_hash=%016llx samples=%llu state_hash=%016llx",
                    (unsigned long long)host.frames.value(), (unsigned long long)host.presented,
                    (unsigned long long)audio_hash.value(), (unsigned long long)samples,
                    (unsigned long long)state.value());
    }
    std::printf("\n");
    return 0;
}
