// The host audio device: the only place of the machine that talks to SDL.
// The device runs in queue mode; the sample output hands it one full buffer
// at a time through the AudioSink interface.
#include <SDL.h>

#include <iostream>

#include "audio/audio.h"

namespace {

class SdlAudioSink : public AudioSink {
public:
    SdlAudioSink(SDL_AudioDeviceID id, bool owns_subsystem) : id_(id), owns_subsystem_(owns_subsystem) {}
    ~SdlAudioSink() override {
        // After SDL_Quit the device is gone already.
        if (!SDL_WasInit(SDL_INIT_AUDIO)) return;
        SDL_CloseAudioDevice(id_);
        if (owns_subsystem_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    SdlAudioSink(const SdlAudioSink&) = delete;
    SdlAudioSink& operator=(const SdlAudioSink&) = delete;

    u32 queued_bytes() override { return SDL_GetQueuedAudioSize(id_); }
    void queue(const void* data, u32 bytes) override {
        if (SDL_QueueAudio(id_, data, bytes) == 0) {
            reported_failure_ = false;
        } else if (!reported_failure_) {
            std::cout << "Failed to queue audio: " << SDL_GetError() << "\n";
            reported_failure_ = true;
        }
    }
    void sleep_ms(u32 ms) override { SDL_Delay(ms); }
    u64 now_ms() override { return SDL_GetTicks64(); }

private:
    SDL_AudioDeviceID id_;
    bool owns_subsystem_;
    bool reported_failure_ = false;
};

}  // namespace

bool Audio::open_device() {
    close_device();
    bool owns_subsystem = false;
    if (!SDL_WasInit(SDL_INIT_AUDIO)) {
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
            std::cout << "Failed to open audio: " << SDL_GetError() << "\n";
            return false;
        }
        owns_subsystem = true;
    }

    SDL_AudioSpec wanted{};
    wanted.freq = AUDIO_SAMPLE_RATE;
    wanted.format = AUDIO_S16SYS;  // the sample buffer is in host byte order
    wanted.channels = AUDIO_CHANNELS;
    wanted.samples = 2048;
    wanted.callback = nullptr;  // queue mode
    SDL_AudioSpec obtained{};
    const SDL_AudioDeviceID id = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
    if (id == 0) {
        std::cout << "Failed to open audio: " << SDL_GetError() << "\n";
        if (owns_subsystem) SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    if (obtained.freq != wanted.freq || obtained.format != wanted.format || obtained.channels != wanted.channels) {
        // With no changes allowed SDL converts for us; a mismatch means the
        // device cannot be used. Run silent rather than play garbage.
        SDL_LogError(SDL_LOG_CATEGORY_AUDIO, "Failed to get the desired AudioSpec");
        SDL_CloseAudioDevice(id);
        if (owns_subsystem) SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    SDL_PauseAudioDevice(id, 0);
    attach_sink(std::make_unique<SdlAudioSink>(id, owns_subsystem));
    device_id = id;
    return true;
}

void Audio::close_device() {
    attach_sink(nullptr);
    device_id = 0;
}
