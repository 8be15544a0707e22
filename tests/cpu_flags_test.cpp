// SM83 results and flags. Each expectation comes from a reference written
// here from the hardware's arithmetic (nibble carries, decimal adjust by
// correction factor, bit-by-bit rotates), not from the interpreter's tables.
// Instructions run one at a time from work RAM at C000.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <vector>

#include "test_machine.h"

namespace {

constexpr u8 Z = 0x80, N = 0x40, H = 0x20, C = 0x10;
constexpr u16 CODE = 0xC000;
constexpr u16 DATA = 0xC100;  // where (HL) points

struct AF {
    u8 a, f;
    bool operator==(const AF&) const = default;
};
std::ostream& operator<<(std::ostream& os, const AF& v) {
    return os << "A=" << std::hex << int(v.a) << " F=" << int(v.f);
}

u8 zero_flag(int result) { return (result & 0xFF) == 0 ? Z : 0; }

// ADD ADC SUB SBC AND XOR OR CP, in opcode order.
AF reference_alu(int op, u8 a, u8 v, bool carry) {
    const int cin = (carry && (op == 1 || op == 3)) ? 1 : 0;
    switch (op) {
        case 0: case 1: {
            const int sum = a + v + cin;
            const bool half = (a & 0x0F) + (v & 0x0F) + cin > 0x0F;
            return {u8(sum), u8(zero_flag(sum) | (half ? H : 0) | (sum > 0xFF ? C : 0))};
        }
        case 2: case 3: case 7: {
            const int difference = a - v - cin;
            const bool half = (a & 0x0F) < (v & 0x0F) + cin;
            const bool borrow = a < v + cin;
            return {op == 7 ? a : u8(difference), u8(zero_flag(difference) | N | (half ? H : 0) | (borrow ? C : 0))};
        }
        case 4: return {u8(a & v), u8(zero_flag(a & v) | H)};
        case 5: return {u8(a ^ v), zero_flag(a ^ v)};
        default: return {u8(a | v), zero_flag(a | v)};
    }
}

// RLC RRC RL RR SLA SRA SWAP SRL, in CB opcode order.
AF reference_shift(int op, u8 v, bool carry) {
    u8 r = 0;
    bool out = false;
    switch (op) {
        case 0: r = std::rotl(v, 1); out = v & 0x80; break;
        case 1: r = std::rotr(v, 1); out = v & 0x01; break;
        case 2: r = u8(v * 2 + carry); out = v >= 0x80; break;
        case 3: r = u8(v / 2 + (carry ? 0x80 : 0)); out = v % 2; break;
        case 4: r = u8(v * 2); out = v >= 0x80; break;
        case 5: r = u8(i8(v) >> 1); out = v % 2; break;
        case 6: r = u8((v % 16) * 16 + v / 16); break;
        default: r = u8(v / 2); out = v % 2; break;
    }
    return {r, u8(zero_flag(r) | (out ? C : 0))};
}

// Decimal adjust by correction factor: 06 when the low digit overflowed or
// is not a digit, 60 when the high digit did; subtract it after a subtraction.
AF reference_daa(u8 a, u8 f) {
    const bool n = f & N, h = f & H, c = f & C;
    int correction = 0;
    bool carry = c;
    if (h || (!n && (a & 0x0F) > 9)) correction |= 0x06;
    if (c || (!n && a > 0x99)) {
        correction |= 0x60;
        carry = true;
    }
    const u8 r = u8(n ? a - correction : a + correction);
    return {r, u8(zero_flag(r) | (n ? N : 0) | (carry ? C : 0))};
}

// Flags that an operation must ignore as inputs, varied from case to case.
u8 noise(int i, int j) { return u8(((i * 7 + j * 13) & 0x07) << 5); }

class Sm83Results : public ::testing::Test {
protected:
    TestMachine m{RomImage().ram_size_code(2)};
    CPU& cpu = m.cpu();

    void place(const std::vector<u8>& code) {
        for (size_t i = 0; i < code.size(); ++i) m.gb->write_byte(u16(CODE + i), code[i]);
    }
    // One step at C000.
    void run() {
        cpu.pc = CODE;
        m.step();
    }
    void run(const std::vector<u8>& code) {
        place(code);
        run();
    }
    AF af() const { return {cpu.a(), cpu.f()}; }

    // Register by opcode index: 0 B, 1 C, 2 D, 3 E, 4 H, 5 L, 6 (HL), 7 A.
    void set_reg(int r, u8 v) {
        static constexpr void (CPU::*setters[])(u8) = {&CPU::set_b, &CPU::set_c, &CPU::set_d, &CPU::set_e,
                                                       &CPU::set_h, &CPU::set_l, nullptr,      &CPU::set_a};
        if (r == 6)
            m.gb->write_byte(cpu.hl, v);
        else
            (cpu.*setters[r])(v);
    }
    // Distinct values in every register, HL pointing at DATA.
    void background() {
        cpu.af = 0x7700;
        cpu.bc = 0x1122;
        cpu.de = 0x3344;
        cpu.hl = DATA;
        cpu.sp = 0xDFF0;
        m.gb->write_byte(DATA, 0x66);
    }
    // B C D E H L, the byte at DATA, A.
    std::vector<u8> all_registers() {
        return {cpu.b(), cpu.c(), cpu.d(), cpu.e(), cpu.h(), cpu.l(), m.gb->read_byte(DATA), cpu.a()};
    }
};

// Every operand pair and carry, the operand taken in turn from B C D E H L
// (HL), A itself and d8.
TEST_F(Sm83Results, EightBitArithmeticOverEveryOperandPairAndSource) {
    for (int op = 0; op < 8; ++op) {
        for (int a = 0; a < 256; ++a) {
            for (int v = 0; v < 256; ++v) {
                const int src = (a + v) % 9;
                const u8 operand = src == 7 ? u8(a) : u8(v);
                for (bool carry : {false, true}) {
                    background();
                    if (src == 8) {
                        place({u8(0xC6 | op << 3), operand});
                    } else {
                        place({u8(0x80 | op << 3 | src)});
                        set_reg(src, operand);
                    }
                    cpu.af = u16(a << 8 | (carry ? C : 0) | noise(a, v));
                    run();
                    ASSERT_EQ(af(), reference_alu(op, u8(a), operand, carry))
                        << "op " << op << " source " << src << " a " << a << " v " << int(operand) << " c " << carry;
                }
            }
        }
    }
}

TEST_F(Sm83Results, LoadsBetweenEveryRegisterPair) {
    for (int dst = 0; dst < 8; ++dst) {
        for (int src = 0; src < 9; ++src) {  // the eight sources, then d8
            if (dst == 6 && src == 6) continue;  // HALT
            background();
            std::vector<u8> want = all_registers();
            want[dst] = src == 8 ? 0xA5 : want[src];
            run(src == 8 ? std::vector<u8>{u8(0x06 | dst << 3), 0xA5} : std::vector<u8>{u8(0x40 | dst << 3 | src)});
            EXPECT_EQ(all_registers(), want) << "LD " << dst << "," << src;
            EXPECT_EQ(cpu.f(), 0x00);
        }
    }
}

// Loads through BC, DE, HL+, HL-, a16 and the high page, with C = 0x90.
TEST_F(Sm83Results, PointerLoadsAndTheirPointerSteps) {
    struct Case {
        std::vector<u8> code;
        u16 at;  // the memory byte involved, 0x66 before the step
        u16 hl_after;
        u8 a_after;  // A and the byte at `at` after the step
    };
    const Case cases[] = {
        {{0x22}, DATA, DATA + 1, 0x77}, {{0x32}, DATA, DATA - 1, 0x77},       {{0x2A}, DATA, DATA + 1, 0x66},
        {{0x3A}, DATA, DATA - 1, 0x66}, {{0xEA, 0x00, 0xC1}, DATA, DATA, 0x77}, {{0xFA, 0x00, 0xC1}, DATA, DATA, 0x66},
        {{0x02}, 0xC190, DATA, 0x77},   {{0x1A}, 0xC144, DATA, 0x66},         {{0xE2}, 0xFF90, DATA, 0x77},
        {{0xF2}, 0xFF90, DATA, 0x66},   {{0xE0, 0x91}, 0xFF91, DATA, 0x77},   {{0xF0, 0x91}, 0xFF91, DATA, 0x66},
    };
    for (const Case& c : cases) {
        background();
        cpu.bc = 0xC190;
        cpu.de = 0xC144;
        m.gb->write_byte(c.at, 0x66);
        run(c.code);
        EXPECT_EQ(cpu.hl, c.hl_after) << std::hex << int(c.code[0]);
        EXPECT_EQ(cpu.a(), c.a_after) << std::hex << int(c.code[0]);
        EXPECT_EQ(m.gb->read_byte(c.at), c.a_after) << std::hex << int(c.code[0]);
    }
}

// INC rr and DEC rr wrap and leave the flags; ADD HL,rr keeps Z, clears N,
// and takes H from bit 11 and C from bit 15.
TEST_F(Sm83Results, SixteenBitPairArithmetic) {
    const u16 values[] = {0x0000, 0x0001, 0x00FF, 0x0FFF, 0x1000, 0x7FFF,
                          0x8000, 0x8FFF, 0xF000, 0xFFFF, 0x1234, 0xEDCC};
    for (int p = 0; p < 4; ++p) {
        u16& pair = *std::array{&cpu.bc, &cpu.de, &cpu.hl, &cpu.sp}[p];
        for (u16 hl : values) {
            for (u16 rr : values) {
                for (u8 f_in : {u8(0x00), u8(0xF0), Z, N}) {
                    for (u8 op : {0x03, 0x0B}) {  // INC rr, DEC rr
                        pair = rr;
                        cpu.set_f(f_in);
                        run({u8(op | p << 4)});
                        ASSERT_EQ(pair, u16(op == 0x03 ? rr + 1 : rr - 1)) << p << " " << rr;
                        ASSERT_EQ(cpu.f(), f_in);
                    }
                    cpu.hl = hl;
                    pair = p == 2 ? hl : rr;
                    const u16 added = pair;
                    cpu.set_f(f_in);
                    run({u8(0x09 | p << 4)});  // ADD HL,rr
                    const int sum = hl + added;
                    const bool half = (hl & 0x0FFF) + (added & 0x0FFF) > 0x0FFF;
                    ASSERT_EQ(cpu.hl, u16(sum)) << p << " " << hl << " " << added;
                    ASSERT_EQ(cpu.f(), u8((f_in & Z) | (half ? H : 0) | (sum > 0xFFFF ? C : 0)));
                }
            }
        }
    }
}

TEST_F(Sm83Results, SignedOffsetToSpFlagsComeFromTheLowByte) {
    const u16 sps[] = {0x0000, 0x000F, 0x00FF, 0x0F0F, 0xFFFF, 0xFFF8, 0x8000, 0x1234, 0xC0F1};
    for (bool to_hl : {false, true}) {
        for (u16 sp : sps) {
            for (int e = 0; e < 256; ++e) {
                cpu.sp = sp;
                cpu.hl = 0x5555;
                cpu.set_f(0xF0);
                run({u8(to_hl ? 0xF8 : 0xE8), u8(e)});
                const u16 result = u16(sp + i8(e));
                const bool half = (sp & 0x0F) + (e & 0x0F) > 0x0F;
                const bool carry = (sp & 0xFF) + e > 0xFF;
                ASSERT_EQ(to_hl ? cpu.hl : cpu.sp, result) << to_hl << " " << sp << " " << e;
                ASSERT_EQ(to_hl ? cpu.sp : cpu.hl, to_hl ? sp : 0x5555);
                ASSERT_EQ(cpu.f(), u8((half ? H : 0) | (carry ? C : 0))) << to_hl << " " << sp << " " << e;
            }
        }
    }
}

// INC and DEC (carry kept, H from the low nibble), the CB rotates and shifts,
// and RLCA RRCA RLA RRA, which behave like CB RLC/RRC/RL/RR on A but always
// clear Z.
TEST_F(Sm83Results, SingleRegisterOperationsOnEveryRegisterAndValue) {
    const auto reference = [](int op, u8 v, bool carry) -> AF {
        if (op < 0) {
            const bool dec = op == -1;
            const u8 r = u8(dec ? v - 1 : v + 1);
            const bool half = (v & 0x0F) == (dec ? 0x00 : 0x0F);
            return {r, u8(zero_flag(r) | (dec ? N : 0) | (half ? H : 0) | (carry ? C : 0))};
        }
        AF result = reference_shift(op % 8, v, carry);
        if (op >= 8) result.f &= C;
        return result;
    };
    for (int r = 0; r < 8; ++r) {
        for (int op = -2; op < 12; ++op) {  // INC, DEC, CB 00-3F, RLCA RRCA RLA RRA
            if (op >= 8 && r != 7) continue;
            if (op < 0) place({u8(r << 3 | (op == -2 ? 0x04 : 0x05))});
            else if (op < 8) place({0xCB, u8(op << 3 | r)});
            else place({u8(0x07 | (op - 8) << 3)});
            for (int v = 0; v < 256; ++v) {
                for (bool carry : {false, true}) {
                    background();
                    set_reg(r, u8(v));
                    cpu.set_f(u8((carry ? C : 0) | noise(v, op + 2)));
                    std::vector<u8> want = all_registers();
                    const AF expected = reference(op, u8(v), carry);
                    want[r] = expected.a;
                    run();
                    ASSERT_EQ(all_registers(), want) << "reg " << r << " op " << op << " v " << v;
                    ASSERT_EQ(cpu.f(), expected.f) << "reg " << r << " op " << op << " v " << v;
                }
            }
        }
    }
}

TEST_F(Sm83Results, BitResAndSetOnEveryRegister) {
    for (int r = 0; r < 8; ++r) {
        for (int bit = 0; bit < 8; ++bit) {
            for (u8 v : {u8(0x00), u8(0x96), u8(0xFF)}) {
                for (u8 f_in : {u8(0x00), u8(0xF0)}) {
                    background();
                    set_reg(r, v);
                    cpu.set_f(f_in);
                    std::vector<u8> want = all_registers();
                    run({0xCB, u8(0x40 | bit << 3 | r)});  // BIT
                    ASSERT_EQ(all_registers(), want);
                    ASSERT_EQ(cpu.f(), u8((v >> bit & 1 ? 0 : Z) | H | (f_in & C))) << r << " " << bit << " " << int(v);
                    want[r] = u8(v & ~(1 << bit));
                    run({0xCB, u8(0x80 | bit << 3 | r)});  // RES
                    ASSERT_EQ(all_registers(), want);
                    want[r] = u8(v | (1 << bit));
                    cpu.set_f(f_in);
                    run({0xCB, u8(0xC0 | bit << 3 | r)});  // SET
                    ASSERT_EQ(all_registers(), want);
                    ASSERT_EQ(cpu.f(), f_in);
                }
            }
        }
    }
}

// DAA, CPL, SCF and CCF on every accumulator and flag combination.
TEST_F(Sm83Results, AccumulatorAndCarryFlagOperations) {
    const u8 opcodes[] = {0x27, 0x2F, 0x37, 0x3F};
    for (int a = 0; a < 256; ++a) {
        for (int f = 0; f < 256; f += 0x10) {
            const AF expected[] = {reference_daa(u8(a), u8(f)), {u8(~a), u8(f | N | H)}, {u8(a), u8((f & Z) | C)},
                                   {u8(a), u8((f & Z) | (~f & C))}};
            for (int i = 0; i < 4; ++i) {
                cpu.af = u16(a << 8 | f);
                run({opcodes[i]});
                ASSERT_EQ(af(), expected[i]) << std::hex << "op " << int(opcodes[i]) << " a " << a << " f " << f;
            }
        }
    }
}

// POP AF keeps only the four flag bits of the stacked low byte.
TEST_F(Sm83Results, PopLoadsThePairAndPopAfKeepsOnlyTheFlagBits) {
    struct Case {
        u8 op;
        u16 stacked, af, bc;
    };
    for (const Case c : {Case{0xF1, 0x12FF, 0x12F0, 0x1122}, Case{0xF1, 0xAB0F, 0xAB00, 0x1122},
                         Case{0xC1, 0x12FF, 0x7700, 0x12FF}}) {
        background();
        m.gb->write_word(cpu.sp, c.stacked);
        run({c.op});
        EXPECT_EQ(cpu.af, c.af) << std::hex << c.stacked;
        EXPECT_EQ(cpu.bc, c.bc) << std::hex << c.stacked;
        EXPECT_EQ(cpu.sp, 0xDFF2);
    }
}

}  // namespace
