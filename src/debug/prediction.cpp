// Access prediction: what the next instruction will read, write and jump to,
// worked out from its bytes and the registers before it runs, so that an
// access breakpoint stops the machine before the access rather than after.
#include "core/gb.h"
#include "debug/debug_peek.h"
#include "debug/debugger.h"

namespace {

// Condition field of the conditional jumps, calls and returns (bits 4-3):
// NZ, Z, NC, C.
bool condition_holds(u8 opcode, u8 flags) {
    switch ((opcode >> 3) & 3) {
        case 0: return !(flags & FLAG_Z);
        case 1: return (flags & FLAG_Z) != 0;
        case 2: return !(flags & FLAG_C);
        default: return (flags & FLAG_C) != 0;
    }
}

// The byte a CB-prefixed rotate, shift, RES or SET leaves in [hl].
u8 cb_result(u8 m, u8 b, bool carry) {
    const int bit = (m >> 3) & 7;
    switch (m >> 6) {
        case 2: return u8(b & ~(1 << bit));  // res
        case 3: return u8(b | (1 << bit));   // set
        default: break;
    }
    switch (bit) {
        case 0: return u8((b << 1) | (b >> 7));                 // rlc
        case 1: return u8((b >> 1) | (b << 7));                 // rrc
        case 2: return u8((b << 1) | (carry ? 1 : 0));          // rl
        case 3: return u8((b >> 1) | (carry ? 0x80 : 0));       // rr
        case 4: return u8(b << 1);                              // sla
        case 5: return u8((b >> 1) | (b & 0x80));               // sra
        case 6: return u8((b << 4) | (b >> 4));                 // swap
        default: return u8(b >> 1);                             // srl
    }
}

}  // namespace

void Debugger::check_actions_for_instruction(u16 address) {
    predicted_writes.clear();
    predicted_reads.clear();
    predicted_jump_address = -1;

    GB& machine = *gb;
    const CPU& cpu = machine.cpu;
    auto peek = [&](int at) { return debug_peek_byte(machine, u16(at)); };
    auto read = [&](int at) { predicted_reads[u16(at)] = peek(at); };
    auto write = [&](int at, int value) { predicted_writes[u16(at)] = u8(value); };
    auto jump = [&](int target) { predicted_jump_address = target & 0xFFFF; };
    // A call or RST pushes the address of the instruction after it; the
    // instruction's own address counts, not PC.
    auto push = [&](int value) {
        write(cpu.sp - 1, value >> 8);
        write(cpu.sp - 2, value);
    };
    // A return reads the return address from the stack and goes there.
    auto pop_and_return = [&] {
        read(cpu.sp);
        read(cpu.sp + 1);
        jump(peek(cpu.sp) | peek(cpu.sp + 1) << 8);
    };

    const u8 op = peek(address);
    const u8 n = peek(address + 1);
    const int nn = debug_peek_word(machine, u16(address + 1));
    const int e = i8(n);
    const u8 flags = cpu.f();
    const u8 registers[8] = {cpu.b(), cpu.c(), cpu.d(), cpu.e(), cpu.h(), cpu.l(), 0, cpu.a()};

    switch (op) {
        // Reads.
        case 0x0A: read(cpu.bc); break;
        case 0x1A: read(cpu.de); break;
        case 0x2A: case 0x3A:
        case 0x46: case 0x4E: case 0x56: case 0x5E: case 0x66: case 0x6E: case 0x7E:
        case 0x86: case 0x8E: case 0x96: case 0x9E: case 0xA6: case 0xAE: case 0xB6: case 0xBE:
            read(cpu.hl);
            break;
        // POP records both stack bytes as stored, also for AF (the flag
        // register drops the low nibble only once it is loaded).
        case 0xC1: case 0xD1: case 0xE1: case 0xF1:
            read(cpu.sp);
            read(cpu.sp + 1);
            break;
        case 0xC9: case 0xD9: pop_and_return(); break;
        case 0xC0: case 0xC8: case 0xD0: case 0xD8:
            if (condition_holds(op, flags)) pop_and_return();
            break;
        case 0xF0: read(0xFF00 + n); break;
        case 0xF2: read(0xFF00 + cpu.c()); break;
        case 0xFA: read(nn); break;

        // Writes.
        case 0x02: write(cpu.bc, cpu.a()); break;
        case 0x12: write(cpu.de, cpu.a()); break;
        case 0x22: case 0x32: case 0x77: write(cpu.hl, cpu.a()); break;
        case 0x70: case 0x71: case 0x72: case 0x73: case 0x74: case 0x75: write(cpu.hl, registers[op & 7]); break;
        case 0x36: write(cpu.hl, n); break;
        case 0x34: read(cpu.hl); write(cpu.hl, peek(cpu.hl) + 1); break;
        case 0x35: read(cpu.hl); write(cpu.hl, peek(cpu.hl) - 1); break;
        case 0x08:
            write(nn, cpu.sp);
            write(nn + 1, cpu.sp >> 8);
            break;
        case 0xC5: case 0xD5: case 0xE5: push(op == 0xC5 ? cpu.bc : op == 0xD5 ? cpu.de : cpu.hl); break;
        case 0xF5: push((cpu.a() << 8) | (flags & 0xF0)); break;
        case 0xE0: write(0xFF00 + n, cpu.a()); break;
        case 0xE2: write(0xFF00 + cpu.c(), cpu.a()); break;
        case 0xEA: write(nn, cpu.a()); break;

        // Jumps and calls.
        case 0x18: jump(address + 2 + e); break;
        case 0x20: case 0x28: case 0x30: case 0x38:
            if (condition_holds(op, flags)) jump(address + 2 + e);
            break;
        case 0xC3: jump(nn); break;
        case 0xC2: case 0xCA: case 0xD2: case 0xDA:
            if (condition_holds(op, flags)) jump(nn);
            break;
        case 0xE9: jump(cpu.hl); break;
        case 0xCD:
            jump(nn);
            push(address + 3);
            break;
        case 0xC4: case 0xCC: case 0xD4: case 0xDC:
            if (condition_holds(op, flags)) {
                jump(nn);
                push(address + 3);
            }
            break;
        case 0xC7: case 0xCF: case 0xD7: case 0xDF: case 0xE7: case 0xEF: case 0xF7: case 0xFF:
            jump(op & 0x38);
            push(address + 1);
            break;

        case 0xCB:
            // Only the [hl] forms touch memory.
            if ((n & 7) == 6) {
                read(cpu.hl);
                if ((n >> 6) != 1) write(cpu.hl, cb_result(n, peek(cpu.hl), flags & FLAG_C));
            }
            break;
        default:
            break;
    }
}

bool Debugger::access_breakpoint_triggered() {
    if (access_breakpoint_count == 0) return false;
    check_actions_for_instruction(gb->get_pc());
    if (predicted_writes.empty() && predicted_reads.empty() && predicted_jump_address == -1) return false;
    const int jump_bank =
        predicted_jump_address >= 0 ? gb->get_current_bank_for_address(u16(predicted_jump_address)) : -1;
    for (int i = 0; i < access_breakpoint_count; ++i) {
        const AccessBreakpoint& b = access_breakpoints[size_t(i)];
        if (b.removed || !b.enabled) continue;
        auto in_range = [&](int bank, int address) {
            return address_and_bank_in_range(bank, address, b.bank_min, b.bank_max, b.addr_min, b.addr_max);
        };
        if (b.on_jump && predicted_jump_address >= 0 && in_range(jump_bank, predicted_jump_address)) return true;
        auto fires = [&](const std::map<u16, u8>& accesses) {
            for (const auto& [at, byte] : accesses)
                if (in_range(gb->get_current_bank_for_address(at), at) && (!b.compare_value || b.value == byte))
                    return true;
            return false;
        };
        if (b.on_write && fires(predicted_writes)) return true;
        if (b.on_read && fires(predicted_reads)) return true;
    }
    return false;
}
