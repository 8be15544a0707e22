// The SM83 instruction interpreter.
//
// Every opcode is a separate instantiation of exec<OP> / exec_cb<OP>: the
// opcode is decoded at compile time into its family and fixed operands, and
// CPU::execute calls the function of that one instruction through a table.
// Every memory access goes through the ticked accessors, so each read, write
// and internal cycle lands on its own M-cycle.
#include <array>
#include <cstddef>
#include <utility>

#include "cpu/cpu.h"
#include "cpu/cpu_inline.h"

namespace {

// ---------------------------------------------------------------------------
// Flag tables, built at compile time from their rules. Each entry is the part
// of F that the table contributes; the 8-bit half-carry is computed with an
// XOR instead (see half_carry).

template <std::size_t N, class Rule>
constexpr std::array<u8, N> make_flag_table(Rule rule) {
    std::array<u8, N> table{};
    for (std::size_t i = 0; i < N; ++i) table[i] = rule(int(i));
    return table;
}

// Z from an 8-bit result.
constexpr auto genFlags = make_flag_table<256>([](int r) { return u8(r == 0 ? FLAG_Z : 0); });
// AND always sets H.
constexpr auto andFlags = make_flag_table<256>([](int r) { return u8((r == 0 ? FLAG_Z : 0) | FLAG_H); });
// INC: H when the increment carried out of the low nibble (result nibble 0).
constexpr auto incFlags = make_flag_table<256>(
    [](int r) { return u8((r == 0 ? FLAG_Z : 0) | ((r & 0x0F) == 0x00 ? FLAG_H : 0)); });
// DEC: N always, H when the decrement borrowed into the low nibble (result nibble F).
constexpr auto decFlags = make_flag_table<256>(
    [](int r) { return u8((r == 0 ? FLAG_Z : 0) | FLAG_N | ((r & 0x0F) == 0x0F ? FLAG_H : 0)); });
// 8-bit add, indexed by the full sum 0..511.
constexpr auto addFlags = make_flag_table<512>(
    [](int sum) { return u8(((sum & 0xFF) == 0 ? FLAG_Z : 0) | (sum > 0xFF ? FLAG_C : 0)); });
// 8-bit subtract, indexed by the difference + 256 (differences -256..255).
constexpr auto subFlags = make_flag_table<512>([](int index) {
    const int difference = index - 256;
    return u8(((difference & 0xFF) == 0 ? FLAG_Z : 0) | FLAG_N | (difference < 0 ? FLAG_C : 0));
});
// 16-bit add, indexed by the carry out of bit 15. Only entries 0 and 1 are used.
constexpr auto add16Flags = make_flag_table<32>([](int carry) { return u8(carry == 1 ? FLAG_C : 0); });

// H of an 8-bit add or subtract: bit 4 of a ^ b ^ result is the carry (or
// borrow) into bit 4, moved up to bit 5.
constexpr u8 half_carry(int a, int b, int result) { return u8(((a ^ b ^ result) << 1) & FLAG_H); }

// ---------------------------------------------------------------------------
// Operand access. Register indices follow the opcode encoding:
// 0 B, 1 C, 2 D, 3 E, 4 H, 5 L, 6 (HL) (handled by each family), 7 A.

#define ZX_INLINE [[gnu::always_inline]] inline

template <int R>
ZX_INLINE u8 get_r(const CPU& c) {
    static_assert(R != 6);
    if constexpr (R == 0) return c.b();
    if constexpr (R == 1) return c.c();
    if constexpr (R == 2) return c.d();
    if constexpr (R == 3) return c.e();
    if constexpr (R == 4) return c.h();
    if constexpr (R == 5) return c.l();
    if constexpr (R == 7) return c.a();
}

template <int R>
ZX_INLINE void set_r(CPU& c, u8 v) {
    static_assert(R != 6);
    if constexpr (R == 0) c.set_b(v);
    if constexpr (R == 1) c.set_c(v);
    if constexpr (R == 2) c.set_d(v);
    if constexpr (R == 3) c.set_e(v);
    if constexpr (R == 4) c.set_h(v);
    if constexpr (R == 5) c.set_l(v);
    if constexpr (R == 7) c.set_a(v);
}

// 16-bit pairs as encoded in LD rr,d16 / INC rr / ADD HL,rr: 0 BC, 1 DE, 2 HL, 3 SP.
template <int P>
ZX_INLINE u16& pair_sp(CPU& c) {
    if constexpr (P == 0) return c.bc;
    if constexpr (P == 1) return c.de;
    if constexpr (P == 2) return c.hl;
    if constexpr (P == 3) return c.sp;
}

// The same encoding in PUSH/POP, where 3 is AF.
template <int P>
ZX_INLINE u16& pair_af(CPU& c) {
    if constexpr (P == 3)
        return c.af;
    else
        return pair_sp<P>(c);
}

// Branch conditions: 0 NZ, 1 Z, 2 NC, 3 C.
template <int CC>
ZX_INLINE bool condition(const CPU& c) {
    if constexpr (CC == 0) return !(c.f() & FLAG_Z);
    if constexpr (CC == 1) return (c.f() & FLAG_Z) != 0;
    if constexpr (CC == 2) return !(c.f() & FLAG_C);
    if constexpr (CC == 3) return (c.f() & FLAG_C) != 0;
}

ZX_INLINE int carry_in(const CPU& c) { return (c.f() >> 4) & 1; }
ZX_INLINE void set_a_f(CPU& c, int a, u8 f) { c.af = u16(((a & 0xFF) << 8) | f); }
ZX_INLINE void mark_data(CPU& c, u16 address) { Disassembler::mark_data_read(*c.gb, address); }
ZX_INLINE u8 operand8(CPU& c) { return c.ticked_read_byte(u16(c.pc + 1)); }
ZX_INLINE u16 operand16(CPU& c) { return c.ticked_read_word(u16(c.pc + 1)); }

// The eight accumulator operations: 0 ADD, 1 ADC, 2 SUB, 3 SBC, 4 AND, 5 XOR, 6 OR, 7 CP.
template <int K>
ZX_INLINE void alu(CPU& c, u8 v) {
    const int a = c.a();
    if constexpr (K == 0 || K == 1) {
        const int r = a + v + (K == 1 ? carry_in(c) : 0);
        set_a_f(c, r, u8(addFlags[r] | half_carry(a, v, r)));
    } else if constexpr (K == 2 || K == 3 || K == 7) {
        const int r = a - v - (K == 3 ? carry_in(c) : 0);
        const u8 f = u8(subFlags[r + 256] | half_carry(a, v, r));
        if constexpr (K == 7)
            c.set_f(f);
        else
            set_a_f(c, r, f);
    } else if constexpr (K == 4) {
        const int r = a & v;
        set_a_f(c, r, andFlags[r]);
    } else if constexpr (K == 5) {
        const int r = a ^ v;
        set_a_f(c, r, genFlags[r]);
    } else {
        const int r = a | v;
        set_a_f(c, r, genFlags[r]);
    }
}

ZX_INLINE u8 inc8(CPU& c, u8 v) {
    const u8 r = u8(v + 1);
    c.set_f(u8((c.f() & FLAG_C) | incFlags[r]));
    return r;
}

ZX_INLINE u8 dec8(CPU& c, u8 v) {
    const u8 r = u8(v - 1);
    c.set_f(u8((c.f() & FLAG_C) | decFlags[r]));
    return r;
}

// The CB rotates and shifts: 0 RLC, 1 RRC, 2 RL, 3 RR, 4 SLA, 5 SRA, 6 SWAP, 7 SRL.
template <int K>
ZX_INLINE u8 shift_op(CPU& c, u8 v) {
    int r = 0;
    int out = 0;  // the bit shifted out, 0 or 1
    if constexpr (K == 0) {
        r = (v << 1) | (v >> 7);
        out = v >> 7;
    } else if constexpr (K == 1) {
        r = (v >> 1) | (v << 7);
        out = v & 1;
    } else if constexpr (K == 2) {
        r = (v << 1) | carry_in(c);
        out = v >> 7;
    } else if constexpr (K == 3) {
        r = (v >> 1) | (carry_in(c) << 7);
        out = v & 1;
    } else if constexpr (K == 4) {
        r = v << 1;
        out = v >> 7;
    } else if constexpr (K == 5) {
        r = (v >> 1) | (v & 0x80);
        out = v & 1;
    } else if constexpr (K == 6) {
        r = (v << 4) | (v >> 4);
    } else {
        r = v >> 1;
        out = v & 1;
    }
    r &= 0xFF;
    c.set_f(u8(genFlags[r] | (out ? FLAG_C : 0)));
    return u8(r);
}

// Signed 8-bit operand of ADD SP,e8 and LD HL,SP+e8, with its flags: C and H
// from the unsigned add of the low byte (bits 8 and 4 of SP ^ e ^ sum).
ZX_INLINE u16 sp_plus_e8(CPU& c, u8 operand) {
    const int e = i8(operand);
    const int sum = c.sp + e;
    const int x = c.sp ^ e ^ sum;
    c.set_f(u8(((x & 0x100) ? FLAG_C : 0) | ((x & 0x10) ? FLAG_H : 0)));
    return u16(sum);
}

ZX_INLINE void daa(CPU& c) {
    int a = c.a();
    const u8 f = c.f();
    bool carry = (f & FLAG_C) != 0;
    if (f & FLAG_N) {
        if (carry) a -= 0x60;
        if (f & FLAG_H) a -= 0x06;
    } else {
        if (a > 0x99 || carry) {
            a += 0x60;
            carry = true;
        } else {
            carry = false;
        }
        if ((a & 0x0F) > 9 || (f & FLAG_H)) a += 0x06;
    }
    a &= 0xFF;
    set_a_f(c, a, u8((f & FLAG_N) | (carry ? FLAG_C : 0) | genFlags[a]));
}

// Pushes a return address: high byte to SP+1 first, then low byte to SP.
ZX_INLINE void push_return(CPU& c, u16 address) {
    c.sp = u16(c.sp - 2);
    c.ticked_write_word(c.sp, address);
}

constexpr bool is_illegal(int op) {
    switch (op) {
        case 0xD3: case 0xDB: case 0xDD: case 0xE3: case 0xE4: case 0xEB:
        case 0xEC: case 0xED: case 0xF4: case 0xFC: case 0xFD:
            return true;
        default:
            return false;
    }
}

// ---------------------------------------------------------------------------
// One handler per opcode. pc addresses the opcode on entry; each handler moves
// it past the instruction or to the jump target.

template <int OP>
ZX_INLINE void exec(CPU& c) {
    constexpr int x = OP >> 6;
    constexpr int y = (OP >> 3) & 7;
    constexpr int z = OP & 7;
    constexpr int p = y >> 1;
    constexpr int q = y & 1;

    if constexpr (OP == 0x10 || OP == 0x76 || OP == 0xCB) {
        // STOP, HALT and the CB prefix are run by CPU::execute itself.
    } else if constexpr (is_illegal(OP)) {
        c.gb->debugger.break_requested = true;
        c.pc += 1;
    } else if constexpr (x == 1) {
        // LD r,r'
        if constexpr (y == 6) {
            c.ticked_write_byte(c.hl, get_r<z>(c));
        } else if constexpr (z == 6) {
            mark_data(c, c.hl);
            set_r<y>(c, c.ticked_read_byte(c.hl));
        } else if constexpr (y != z) {
            set_r<y>(c, get_r<z>(c));
        }
        c.pc += 1;
    } else if constexpr (x == 2) {
        // ALU A,r
        if constexpr (z == 6) {
            const u8 v = c.ticked_read_byte(c.hl);
            mark_data(c, c.hl);
            alu<y>(c, v);
        } else {
            alu<y>(c, get_r<z>(c));
        }
        c.pc += 1;
    } else if constexpr (x == 0 && z == 0) {
        if constexpr (y == 0) {  // NOP
            c.pc += 1;
        } else if constexpr (y == 1) {  // LD (a16),SP
            const u16 address = operand16(c);
            c.ticked_write_word(address, c.sp);
            c.pc += 3;
        } else if constexpr (y == 3) {  // JR e8
            const i8 e = i8(operand8(c));
            c.tick();
            c.pc = u16(c.pc + 2 + e);
        } else {  // JR cc,e8: when not taken the offset byte is never read
            if (condition<y - 4>(c)) {
                const i8 e = i8(operand8(c));
                c.tick();
                c.pc = u16(c.pc + 2 + e);
            } else {
                c.tick();
                c.pc += 2;
            }
        }
    } else if constexpr (x == 0 && z == 1) {
        if constexpr (q == 0) {  // LD rr,d16
            pair_sp<p>(c) = operand16(c);
            c.pc += 3;
        } else {  // ADD HL,rr
            c.tick();
            const int hl = c.hl;
            const int rr = pair_sp<p>(c);
            const int sum = hl + rr;
            c.set_f(u8((c.f() & FLAG_Z) | (((hl ^ rr ^ sum) >> 7) & FLAG_H) | add16Flags[sum >> 16]));
            c.hl = u16(sum);
            c.pc += 1;
        }
    } else if constexpr (x == 0 && z == 2) {
        if constexpr (p < 2) {  // (BC), (DE)
            u16& rr = pair_sp<p>(c);
            if constexpr (q == 0) {
                c.ticked_write_byte(rr, c.a());
            } else {
                mark_data(c, rr);
                c.set_a(c.ticked_read_byte(rr));
            }
        } else {  // (HL+), (HL-)
            constexpr int step = p == 2 ? 1 : -1;
            if constexpr (q == 0) {
                c.check_oam_corruption(c.hl, p == 2 ? 8 : 9);
                c.ticked_write_byte(c.hl, c.a());
                c.check_oam_scan_start_write(c.hl);
            } else {
                c.check_oam_corruption(c.hl, p == 2 ? 6 : 7);
                mark_data(c, c.hl);
                c.set_a(c.ticked_read_byte(c.hl));
            }
            c.hl = u16(c.hl + step);
        }
        c.pc += 1;
    } else if constexpr (x == 0 && z == 3) {  // INC rr / DEC rr
        u16& rr = pair_sp<p>(c);
        c.tick();
        c.check_oam_corruption(rr, q);
        rr = u16(q == 0 ? rr + 1 : rr - 1);
        c.pc += 1;
    } else if constexpr (x == 0 && (z == 4 || z == 5)) {  // INC r / DEC r
        if constexpr (y == 6) {
            const u8 v = c.ticked_read_byte(c.hl);
            c.ticked_write_byte(c.hl, z == 4 ? inc8(c, v) : dec8(c, v));
        } else {
            set_r<y>(c, z == 4 ? inc8(c, get_r<y>(c)) : dec8(c, get_r<y>(c)));
        }
        c.pc += 1;
    } else if constexpr (x == 0 && z == 6) {  // LD r,d8
        const u8 v = operand8(c);
        if constexpr (y == 6)
            c.ticked_write_byte(c.hl, v);
        else
            set_r<y>(c, v);
        c.pc += 2;
    } else if constexpr (x == 0 && z == 7) {
        const int a = c.a();
        const int carry = carry_in(c);
        if constexpr (y == 0) {  // RLCA
            set_a_f(c, (a << 1) | (a >> 7), (a & 0x80) ? FLAG_C : 0);
        } else if constexpr (y == 1) {  // RRCA
            set_a_f(c, (a >> 1) | (a << 7), (a & 0x01) ? FLAG_C : 0);
        } else if constexpr (y == 2) {  // RLA
            set_a_f(c, (a << 1) | carry, (a & 0x80) ? FLAG_C : 0);
        } else if constexpr (y == 3) {  // RRA
            set_a_f(c, (a >> 1) | (carry << 7), (a & 0x01) ? FLAG_C : 0);
        } else if constexpr (y == 4) {
            daa(c);
        } else if constexpr (y == 5) {  // CPL
            set_a_f(c, ~a, u8(c.f() | FLAG_N | FLAG_H));
        } else if constexpr (y == 6) {  // SCF
            c.set_f(u8((c.f() & FLAG_Z) | FLAG_C));
        } else {  // CCF
            c.set_f(u8((c.f() & (FLAG_Z | FLAG_C)) ^ FLAG_C));
        }
        c.pc += 1;
    } else if constexpr (x == 3 && z == 0) {
        if constexpr (y < 4) {  // RET cc
            c.tick();
            if (condition<y>(c))
                c.ret();
            else
                c.pc += 1;
        } else if constexpr (y == 4) {  // LDH (a8),A
            const u8 offset = operand8(c);
            c.ticked_write_byte(u16(0xFF00 | offset), c.a());
            c.pc += 2;
        } else if constexpr (y == 5) {  // ADD SP,e8
            const u8 operand = operand8(c);
            c.tick();
            c.tick();
            c.sp = sp_plus_e8(c, operand);
            c.pc += 2;
        } else if constexpr (y == 6) {  // LDH A,(a8)
            const u8 offset = operand8(c);
            c.set_a(c.ticked_read_byte(u16(0xFF00 | offset)));
            c.pc += 2;
        } else {  // LD HL,SP+e8
            const u8 operand = operand8(c);
            c.tick();
            c.hl = sp_plus_e8(c, operand);
            c.pc += 2;
        }
    } else if constexpr (x == 3 && z == 1) {
        if constexpr (q == 0) {  // POP rr
            c.gb->debugger.adjust_return_breakpoint_stack_pointer(+2);
            c.check_oam_corruption(c.sp, 5);
            mark_data(c, c.sp);
            const u8 low = c.ticked_read_byte(c.sp);
            c.sp += 1;
            c.check_oam_corruption(c.sp, 4);
            mark_data(c, c.sp);
            const u8 high = c.ticked_read_byte(c.sp);
            c.sp += 1;
            pair_af<p>(c) = u16((high << 8) | (p == 3 ? low & 0xF0 : low));
            c.pc += 1;
        } else if constexpr (p == 0) {  // RET
            c.ret();
        } else if constexpr (p == 1) {  // RETI
            c.ret();
            c.ime = 2;
        } else if constexpr (p == 2) {  // JP HL
            c.pc = c.hl;
        } else {  // LD SP,HL
            c.tick();
            c.sp = c.hl;
            c.pc += 1;
        }
    } else if constexpr (x == 3 && z == 2) {
        if constexpr (y < 4) {  // JP cc,a16
            const u16 target = operand16(c);
            if (condition<y>(c)) {
                c.tick();
                c.pc = target;
            } else {
                c.pc += 3;
            }
        } else if constexpr (y == 4) {  // LD (C),A
            c.ticked_write_byte(u16(0xFF00 | c.c()), c.a());
            c.pc += 1;
        } else if constexpr (y == 5) {  // LD (a16),A
            const u16 address = operand16(c);
            c.ticked_write_byte(address, c.a());
            c.pc += 3;
        } else if constexpr (y == 6) {  // LD A,(C)
            c.set_a(c.ticked_read_byte(u16(0xFF00 | c.c())));
            c.pc += 1;
        } else {  // LD A,(a16)
            const u16 address = operand16(c);
            mark_data(c, address);
            c.set_a(c.ticked_read_byte(address));
            c.pc += 3;
        }
    } else if constexpr (x == 3 && z == 3) {
        if constexpr (y == 0) {  // JP a16
            const u16 target = operand16(c);
            c.tick();
            c.pc = target;
        } else if constexpr (y == 6) {  // DI
            c.ime = 0;
            c.pc += 1;
        } else {  // EI: a pending or active enable is left as it is
            static_assert(y == 7);
            if (c.ime == 0) c.ime = 1;
            c.pc += 1;
        }
    } else if constexpr (x == 3 && (z == 4 || OP == 0xCD)) {  // CALL cc,a16 / CALL a16
        const u16 target = operand16(c);
        if constexpr (OP != 0xCD) {
            if (!condition<y>(c)) {
                c.pc += 3;
                return;
            }
        }
        c.tick();
        push_return(c, u16(c.pc + 3));
        c.pc = target;
    } else if constexpr (x == 3 && z == 5) {  // PUSH rr
        static_assert(q == 0);
        const u16 value = p == 3 ? u16(c.af & 0xFFF0) : pair_af<p>(c);
        c.tick();
        c.gb->debugger.adjust_return_breakpoint_stack_pointer(-2);
        c.check_oam_corruption(c.sp, 2);
        c.sp -= 1;
        c.ticked_write_byte(c.sp, u8(value >> 8));
        c.check_oam_corruption(c.sp, 3);
        c.sp -= 1;
        c.ticked_write_byte(c.sp, u8(value));
        c.pc += 1;
    } else if constexpr (x == 3 && z == 6) {  // ALU A,d8
        alu<y>(c, operand8(c));
        c.pc += 2;
    } else if constexpr (x == 3 && z == 7) {  // RST n
        c.tick();
        push_return(c, u16(c.pc + 1));
        c.pc = u16(OP & 0x38);
    } else {
        static_assert(OP < 0, "opcode without a handler");
    }
}

template <int OP>
ZX_INLINE void exec_cb(CPU& c) {
    constexpr int x = OP >> 6;
    constexpr int y = (OP >> 3) & 7;
    constexpr int z = OP & 7;

    if constexpr (x == 1) {  // BIT b: reads only
        u8 v;
        if constexpr (z == 6) {
            mark_data(c, c.hl);
            v = c.ticked_read_byte(c.hl);
        } else {
            v = get_r<z>(c);
        }
        c.set_f(u8((c.f() & FLAG_C) | FLAG_H | ((v >> y) & 1 ? 0 : FLAG_Z)));
    } else {
        // Rotates and shifts, RES and SET: read, modify, write back.
        const auto modify = [&](u8 v) -> u8 {
            if constexpr (x == 0)
                return shift_op<y>(c, v);
            else if constexpr (x == 2)
                return u8(v & ~(1 << y));
            else
                return u8(v | (1 << y));
        };
        if constexpr (z == 6) {
            const u8 v = c.ticked_read_byte(c.hl);
            c.ticked_write_byte(c.hl, modify(v));
        } else {
            set_r<z>(c, modify(get_r<z>(c)));
        }
    }
}

}  // namespace

// One function per opcode, reached through a table: each saves only the
// host registers its own instruction needs.
template <int N>
void CPU::run_opcode(CPU& c) {
    if constexpr (N == 0x10)
        c.op_stop();
    else if constexpr (N == 0x76)
        c.op_halt();
    else if constexpr (N == 0xCB)
        c.execute_cb();
    else
        exec<N>(c);
}

template <int N>
void CPU::run_cb_opcode(CPU& c) {
    exec_cb<N>(c);
}

const std::array<CPU::OpcodeHandler, 256> CPU::OPCODES = opcode_table(std::make_integer_sequence<int, 256>{});
const std::array<CPU::OpcodeHandler, 256> CPU::CB_OPCODES =
    cb_opcode_table(std::make_integer_sequence<int, 256>{});

void CPU::execute(u8 op) { OPCODES[op](*this); }

void CPU::execute_cb() {
    const u8 op = ticked_read_byte(u16(pc + 1));
    CB_OPCODES[op](*this);
    pc += 2;
}
