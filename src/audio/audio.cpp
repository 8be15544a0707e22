#include "audio/audio.h"

#include "core/gb.h"

void Audio::reset() {
    gb->cpu.set_next_audio_frame_seq_cycle(NEVER);
    gb->cpu.set_next_audio_frequency_cycle(NEVER);
    // The CPU's reset leaves the sample due at cycle 1; nothing samples yet,
    // and a due cycle left in the past would hold back every later 4 MHz event.
    gb->cpu.set_next_audio_sample_cycle(NEVER);
}

void Audio::tick_frame_sequencer() { gb->cpu.set_next_audio_frame_seq_cycle(NEVER); }
void Audio::tick_frequency() { gb->cpu.set_next_audio_frequency_cycle(NEVER); }
void Audio::sample_tick() { gb->cpu.set_next_audio_sample_cycle(NEVER); }
