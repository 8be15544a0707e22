#pragma once
#include <array>
#include <cstdlib>
#include <utility>

#include "core/save_state.h"
#include "core/types.h"

class GB;

inline constexpr u16 REG_IF = 0xFF0F;

// Flag bits of F.
inline constexpr u8 FLAG_Z = 0x80;
inline constexpr u8 FLAG_N = 0x40;
inline constexpr u8 FLAG_H = 0x20;
inline constexpr u8 FLAG_C = 0x10;

// The SM83 core, the machine's two clocks and the event scheduler that drives
// every other timed unit at the exact cycle of its next event.
class CPU {
public:
    CPU();

    // --- clocks and scheduling ---
    void tick();               // one M-cycle (inline, cpu_inline.h)
    bool no_event_within(u64 cpu, u64 base) const;
    // Sets tick_limit from the clocks, the speed and the next events as they
    // are now.
    void update_tick_limits();
    void t_cycle_4mhz();       // one 4 MHz cycle
    void t_cycles(int count);  // half an M-cycle; count must be 2
    void do_something();
    void do_something_4mhz();
    void set_next_timer_update_cycle(u64 cycle);
    void set_next_oam_dma_cycle(u64 cycle);
    void set_next_audio_frame_seq_cycle(u64 cycle);
    void set_next_serial_transfer_cycle(u64 cycle);
    void set_next_audio_frequency_cycle(u64 cycle);
    void set_next_audio_sample_cycle(u64 cycle);
    void calculate_next_ppu_state_change_cycle(u64 distance);
    void recompute_next_cpu_event();
    void recompute_next_4mhz_event();

    // --- ticked bus access (inline, cpu_inline.h) ---
    u8 ticked_read_byte(u16 address);
    void ticked_write_byte(u16 address, u8 value);
    u16 ticked_read_word(u16 address);
    void ticked_write_word(u16 address, u16 value);
    void ret();

    // --- interrupts, HALT, STOP ---
    void flag_interrupt(u8 mask);
    // Ends STOP: a selected joypad line has gone low.
    void leave_stop();
    void unflag_interrupt(u8 mask);
    bool handle_interrupts();
    void dispatch_interrupt();
    void dispatch_interrupt_from_second_cycle();
    // Called at every opcode fetch: only an address in FE00-FEFF goes further.
    void check_oam_corruption(u16 address, int kind) {
        if ((address & 0xFF00) == 0xFE00) apply_oam_corruption(kind);
    }
    void apply_oam_corruption(int kind);
    // After the write of LD (HL+),A or LD (HL-),A: only an address in
    // FE00-FEFF goes further.
    void check_oam_scan_start_write(u16 address) {
        if ((address & 0xFF00) == 0xFE00) apply_oam_scan_start_write();
    }
    void apply_oam_scan_start_write();
    void copy_oam(int destination, int source, int count);

    // --- lifecycle ---
    void register_read_write_handlers(GB* machine);
    void reset();
    void emulate_boot_rom();

    // --- run control ---
    void run_single_instruction_inline();
    void run_fetched_instruction();
    void run_single_instruction();
    void run_frame();
    void run_turbo_to_cycle(u64 target, bool flag);
    // Most steps in one frame of the run loop.
    static constexpr u32 MAX_FRAME_STEPS = 17564;
    void run_until_cycle(u64 target);
    // Takes the steps of a halted CPU before the next event at once (see
    // the definition); returns how many.
    u32 skip_halted_steps(u32 max_steps, u64 until);
    bool halt_refetch_is_idle() const;
    // Halted stretches are taken at once (cleared only to compare the two).
    bool halt_skipping = true;
    void run();

    // The next 4 MHz event counting the sample output, as a save state holds
    // it (the samples themselves are produced in batches, not dispatched).
    void scheduled_4mhz_event(u64& cycle, int& kind) const;

    // Loading keeps the next 4 MHz event as read; the machine recomputes it
    // once the whole state is in.
    template <class Archive>
    void serialize(Archive& ar) {
        u64 next_4mhz = next_4mhz_event_cycle;
        int next_4mhz_kind = next_4mhz_event_kind;
        if constexpr (!state::loading<Archive>) scheduled_4mhz_event(next_4mhz, next_4mhz_kind);
        ar(af, bc, de, hl, sp, pc, ime, ie, if_reg, halted, was_halted, stopped, pending_interrupts,
           hblank_hdma_requested, opcode, instruction_start_cycle, cpu_cycles, cycles_4mhz,
           speed_switch_reference, next_cpu_event_cycle, next_4mhz, next_4mhz_kind, next_ppu_cycle,
           next_audio_frequency_cycle, next_audio_sample_cycle, next_serial_cycle, next_oam_dma_cycle,
           next_timer_cycle, next_frame_seq_cycle);
        if constexpr (state::loading<Archive>) {
            next_4mhz_event_cycle = next_4mhz;
            next_4mhz_event_kind = next_4mhz_kind;
        }
    }
    // What a save state holds beyond the fields above: the HALT bug pending
    // for the next opcode fetch, a HALT whose deciding M-cycle is still to
    // come, and the steps of the run loop's frame under way.
    template <class Archive>
    void serialize_extension(Archive& ar) {
        ar(halt_bug, halt_entered, frame_steps, halted_in_stop);
    }

    // 8-bit halves of the register pairs (little-endian host layout is not
    // assumed: the halves are computed).
    u8 a() const { return u8(af >> 8); }
    u8 f() const { return u8(af); }
    u8 b() const { return u8(bc >> 8); }
    u8 c() const { return u8(bc); }
    u8 d() const { return u8(de >> 8); }
    u8 e() const { return u8(de); }
    u8 h() const { return u8(hl >> 8); }
    u8 l() const { return u8(hl); }
    void set_a(u8 v) { af = u16((af & 0x00FF) | (v << 8)); }
    void set_f(u8 v) { af = u16((af & 0xFF00) | (v & 0xF0)); }
    void set_b(u8 v) { bc = u16((bc & 0x00FF) | (v << 8)); }
    void set_c(u8 v) { bc = u16((bc & 0xFF00) | v); }
    void set_d(u8 v) { de = u16((de & 0x00FF) | (v << 8)); }
    void set_e(u8 v) { de = u16((de & 0xFF00) | v); }
    void set_h(u8 v) { hl = u16((hl & 0x00FF) | (v << 8)); }
    void set_l(u8 v) { hl = u16((hl & 0xFF00) | v); }

    bool halt_bug = false;
    // True from the step in which HALT halts the CPU until the next step has
    // looked at it: that step's M-cycle is still HALT's own (not saved).
    bool halt_entered = false;
    // The CPU halted at a STOP that found a selected key already held: PC is
    // on STOP's second byte, which the HALT wait never fetches.
    bool halted_in_stop = false;
    bool run_flag = false;
    // Steps of the run loop's frame under way (see run_frame).
    u32 frame_steps = 0;
    std::array<u8, 31> hram_residue{};
    GB* gb = nullptr;
    int ime = 0;  // 0 off, 1 on from the next instruction, 2 on
    u8 ie = 0;
    u8 if_reg = 0xE0;
    bool halted = false;
    bool was_halted = false;
    // STOP without a speed switch: the CPU's clock waits for a selected
    // joypad line to go low (Joypad::read_p1 ends it).
    bool stopped = false;
    u8 pending_interrupts = 0;
    bool hblank_hdma_requested = false;
    u8 opcode = 0;
    u64 turbo_target_cycle = NEVER;
    u64 instruction_start_cycle = 0;
    u64 cpu_cycles = 0;
    u64 cycles_4mhz = 0;
    // 4 MHz clock at which the last switch to double speed began (saved).
    u64 speed_switch_reference = 0;
    u64 next_cpu_event_cycle = NEVER;
    u64 next_4mhz_event_cycle = NEVER;
    int next_4mhz_event_kind = 1;  // 1 audio frequency, 2 audio sample, 3 PPU
    u64 next_ppu_cycle = NEVER;
    u64 next_audio_frequency_cycle = NEVER;
    u64 next_audio_sample_cycle = NEVER;
    u64 next_serial_cycle = NEVER;
    u64 next_oam_dma_cycle = NEVER;
    u64 next_timer_cycle = NEVER;
    u64 next_frame_seq_cycle = NEVER;
    // The CPU clock up to which whole M-cycles meet no event, and the 4 MHz
    // cycles of an M-cycle (4, or 2 in double speed), for the speed the
    // machine runs at (see update_tick_limits; not saved).
    u64 tick_limit = 0;
    u64 m_cycle_base = 4;
    // The clocks are going T-cycle by T-cycle (no event handler ticks).
    bool stepping = false;
    u16 af = 0, bc = 0, de = 0, hl = 0, sp = 0, pc = 0;
    bool paused = false;

    // Counts one step of the frame under way; at the frame's end (the picture
    // unit finished one, or MAX_FRAME_STEPS steps with none) samples the
    // joypad, as the run loop does. For callers that step the machine one
    // instruction at a time and still want the joypad seen at frame ends.
    void end_frame_step();

private:
    [[gnu::noinline]] void tick_through_events();
    void lower_tick_limits_for_4mhz_event();
    void step_cpu_clock();
    void step_4mhz_clock();
    void dispatch_cpu_events();
    void dispatch_4mhz_events();
    void execute(u8 op);
    // One function per opcode, and per CB-prefixed opcode, reached through a
    // table (cpu_instructions.cpp).
    using OpcodeHandler = void (*)(CPU&);
    template <int N>
    static void run_opcode(CPU& c);
    template <int N>
    static void run_cb_opcode(CPU& c);
    template <int... N>
    static constexpr std::array<OpcodeHandler, 256> opcode_table(std::integer_sequence<int, N...>) {
        return {&run_opcode<N>...};
    }
    template <int... N>
    static constexpr std::array<OpcodeHandler, 256> cb_opcode_table(std::integer_sequence<int, N...>) {
        return {&run_cb_opcode<N>...};
    }
    static const std::array<OpcodeHandler, 256> OPCODES;
    static const std::array<OpcodeHandler, 256> CB_OPCODES;
    void execute_cb();
    void halt_wait_step();
    void op_halt();
    void op_stop();
    void stop_without_speed_switch();
    void speed_switch_wait(int m_cycles);
    void speed_switch_wake_at_once();
};
