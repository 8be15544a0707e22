// SM83 results and flags. Each expectation comes from a reference written
// here from the hardware's arithmetic (nibble carries, decimal adjust by
// correction factor, bit-by-bit rotates), not from the interpreter's tables.
// Instructions run one at a time from work RAM at C000.
#include <gtest/gtest.h>

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
    TestMachine m{[] {
        RomImage rom;
        rom.ram_size_code(2);
        return rom;
    }()};
    CPU& cpu = m.cpu();

    void place(const std::vector<u8>& code) {
        for (size_t i = 0; i < code.size(); ++i) m.gb->write_byte(u16(CODE + i), code[i]);
    }
    // One step at C000; returns the M-cycles taken.
    int run() {
        cpu.pc = CODE;
        const u64 start = cpu.cpu_cycles;
        m.step();
        return int(cpu.cpu_cycles - start) / 4;
    }
    int run(const std::vector<u8>& code) {
        place(code);
        return run();
    }
    AF af() const { return {cpu.a(), cpu.f()}; }

    // Register by opcode index: 0 B, 1 C, 2 D, 3 E, 4 H, 5 L, 6 (HL), 7 A.
    u8 reg(int r) {
        switch (r) {
            case 0: return cpu.b();
            case 1: return cpu.c();
            case 2: return cpu.d();
            case 3: return cpu.e();
            case 4: return cpu.h();
            case 5: return cpu.l();
            case 6: return m.gb->read_byte(cpu.hl);
            default: return cpu.a();
        }
    }
    void set_reg(int r, u8 v) {
        switch (r) {
            case 0: cpu.set_b(v); break;
            case 1: cpu.set_c(v); break;
            case 2: cpu.set_d(v); break;
            case 3: cpu.set_e(v); break;
            case 4: cpu.set_h(v); break;
            case 5: cpu.set_l(v); break;
            case 6: m.gb->write_byte(cpu.hl, v); break;
            default: cpu.set_a(v); break;
        }
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
        std::vector<u8> r;
        for (int i = 0; i < 8; ++i) r.push_back(i == 6 ? m.gb->read_byte(DATA) : reg(i));
        return r;
    }
};

TEST_F(Sm83Results, EightBitArithmeticOverEveryOperandPair) {
    for (int op = 0; op < 8; ++op) {
        place({u8(0x81 | op << 3)});  // op A,C
        for (int a = 0; a < 256; ++a) {
            for (int v = 0; v < 256; ++v) {
                for (bool carry : {false, true}) {
                    cpu.af = u16(a << 8 | (carry ? C : 0) | noise(a, v));
                    cpu.set_c(u8(v));
                    run();
                    ASSERT_EQ(af(), reference_alu(op, u8(a), u8(v), carry))
                        << "op " << op << " a " << a << " v " << v << " carry " << carry;
                }
            }
        }
    }
}

TEST_F(Sm83Results, AccumulatorWithItself) {
    // SUB A, SBC A,A, XOR A and CP A have fixed results; ADD A,A, ADC A,A,
    // AND A and OR A follow the general rules.
    for (int op = 0; op < 8; ++op) {
        place({u8(0x87 | op << 3)});
        for (int a = 0; a < 256; ++a) {
            for (bool carry : {false, true}) {
                cpu.af = u16(a << 8 | (carry ? C : 0) | noise(a, op));
                run();
                ASSERT_EQ(af(), reference_alu(op, u8(a), u8(a), carry)) << "op " << op << " a " << a;
            }
        }
    }
    cpu.af = 0x1210;
    run({0x9F});  // SBC A,A with carry
    EXPECT_EQ(af(), (AF{0xFF, 0x70}));
}

TEST_F(Sm83Results, EveryOperandSourceFeedsTheAlu) {
    struct Pair {
        u8 a, v;
    };
    const Pair pairs[] = {{0x3A, 0xC6}, {0x0F, 0x01}, {0x80, 0x80}, {0x10, 0x21}, {0xFF, 0x00}};
    for (int op = 0; op < 8; ++op) {
        for (int src = 0; src < 9; ++src) {  // B C D E H L (HL) A, then d8
            if (src == 7) continue;          // A with itself is covered above
            for (const Pair p : pairs) {
                for (bool carry : {false, true}) {
                    background();
                    if (src == 8) {
                        place({u8(0xC6 | op << 3), p.v});
                    } else {
                        place({u8(0x80 | op << 3 | src)});
                        set_reg(src, p.v);
                    }
                    cpu.set_a(p.a);
                    cpu.set_f(carry ? C : 0);
                    const int mcycles = run();
                    ASSERT_EQ(af(), reference_alu(op, p.a, p.v, carry)) << "op " << op << " source " << src;
                    EXPECT_EQ(mcycles, src >= 6 ? 2 : 1);
                }
            }
        }
    }
}

TEST_F(Sm83Results, IncAndDecEveryRegisterKeepCarry) {
    for (int r = 0; r < 8; ++r) {
        for (bool dec : {false, true}) {
            place({u8((r << 3) | (dec ? 0x05 : 0x04))});
            for (int v = 0; v < 256; ++v) {
                for (bool carry : {false, true}) {
                    background();
                    set_reg(r, u8(v));
                    cpu.set_f(u8((carry ? C : 0) | noise(v, r)));
                    std::vector<u8> want = all_registers();
                    want[r] = u8(dec ? v - 1 : v + 1);
                    run();
                    const bool half = dec ? (v & 0x0F) == 0x00 : (v & 0x0F) == 0x0F;
                    const u8 f = u8(zero_flag(want[r]) | (dec ? N : 0) | (half ? H : 0) | (carry ? C : 0));
                    ASSERT_EQ(all_registers(), want) << "reg " << r << " dec " << dec << " v " << v;
                    ASSERT_EQ(cpu.f(), f) << "reg " << r << " dec " << dec << " v " << v;
                }
            }
        }
    }
}

TEST_F(Sm83Results, LoadsBetweenEveryRegisterPair) {
    for (int dst = 0; dst < 8; ++dst) {
        for (int src = 0; src < 8; ++src) {
            if (dst == 6 && src == 6) continue;  // HALT
            background();
            std::vector<u8> want = all_registers();
            want[dst] = want[src];
            const int mcycles = run({u8(0x40 | dst << 3 | src)});
            EXPECT_EQ(all_registers(), want) << "LD " << dst << "," << src;
            EXPECT_EQ(cpu.f(), 0x00);
            EXPECT_EQ(mcycles, (dst == 6 || src == 6) ? 2 : 1);
        }
        background();
        std::vector<u8> want = all_registers();
        want[dst] = 0xA5;
        run({u8(0x06 | dst << 3), 0xA5});  // LD r,d8
        EXPECT_EQ(all_registers(), want) << "LD " << dst << ",d8";
    }
}

TEST_F(Sm83Results, PointerLoadsAndTheirPointerSteps) {
    struct Case {
        std::vector<u8> code;
        u16 hl_after;
        u8 a_after;
        u8 memory_after;  // at DATA
    };
    const std::vector<Case> cases = {
        {{0x22}, DATA + 1, 0x77, 0x77},        // LD (HL+),A
        {{0x32}, DATA - 1, 0x77, 0x77},        // LD (HL-),A
        {{0x2A}, DATA + 1, 0x66, 0x66},        // LD A,(HL+)
        {{0x3A}, DATA - 1, 0x66, 0x66},        // LD A,(HL-)
        {{0xEA, 0x00, 0xC1}, DATA, 0x77, 0x77},  // LD (a16),A
        {{0xFA, 0x00, 0xC1}, DATA, 0x66, 0x66},  // LD A,(a16)
    };
    for (const Case& c : cases) {
        background();
        run(c.code);
        EXPECT_EQ(cpu.hl, c.hl_after);
        EXPECT_EQ(cpu.a(), c.a_after);
        EXPECT_EQ(m.gb->read_byte(DATA), c.memory_after);
    }
    // The high page: LDH with an 8-bit offset and LD with C.
    background();
    cpu.set_c(0x90);
    run({0xE2});  // LD (C),A
    EXPECT_EQ(m.gb->read_byte(0xFF90), 0x77);
    run({0xF0, 0x90});  // LDH A,(90)
    EXPECT_EQ(cpu.a(), 0x77);
    cpu.set_a(0x19);
    run({0xE0, 0x91});  // LDH (91),A
    cpu.set_a(0);
    cpu.set_c(0x91);
    run({0xF2});  // LD A,(C)
    EXPECT_EQ(cpu.a(), 0x19);
    // BC and DE pointers.
    background();
    cpu.bc = DATA;
    run({0x02});  // LD (BC),A
    EXPECT_EQ(m.gb->read_byte(DATA), 0x77);
    cpu.de = DATA;
    m.gb->write_byte(DATA, 0x5E);
    run({0x1A});  // LD A,(DE)
    EXPECT_EQ(cpu.a(), 0x5E);
}

TEST_F(Sm83Results, SixteenBitIncDecWrapAndLeaveFlags) {
    struct Case {
        u8 op;
        u16 before, after;
    };
    const Case cases[] = {{0x03, 0xFFFF, 0x0000}, {0x13, 0x00FF, 0x0100}, {0x23, 0x1234, 0x1235},
                          {0x33, 0xFFFF, 0x0000}, {0x0B, 0x0000, 0xFFFF}, {0x1B, 0x0100, 0x00FF},
                          {0x2B, 0x0001, 0x0000}, {0x3B, 0x8000, 0x7FFF}};
    for (const Case& c : cases) {
        u16* const pairs[] = {&cpu.bc, &cpu.de, &cpu.hl, &cpu.sp};
        for (u8 f : {u8(0x00), u8(0xF0)}) {
            background();
            *pairs[(c.op >> 4) & 3] = c.before;
            cpu.set_f(f);
            run({c.op});
            EXPECT_EQ(*pairs[(c.op >> 4) & 3], c.after) << std::hex << int(c.op);
            EXPECT_EQ(cpu.f(), f);
        }
    }
}

TEST_F(Sm83Results, AddHlPairSetsHalfCarryFromBit11AndKeepsZ) {
    const u16 values[] = {0x0000, 0x0001, 0x00FF, 0x0FFF, 0x1000, 0x7FFF, 0x8000, 0x8FFF, 0xF000, 0xFFFF, 0x1234, 0xEDCC};
    for (int p = 0; p < 4; ++p) {
        place({u8(0x09 | p << 4)});
        for (u16 hl : values) {
            for (u16 rr : values) {
                for (u8 f_in : {u8(0x00), u8(0xF0), Z, N}) {
                    cpu.hl = hl;
                    cpu.bc = cpu.de = cpu.sp = rr;
                    if (p == 2) rr = hl;  // ADD HL,HL
                    cpu.set_f(f_in);
                    run();
                    const int sum = hl + rr;
                    const bool half = (hl & 0x0FFF) + (rr & 0x0FFF) > 0x0FFF;
                    ASSERT_EQ(cpu.hl, u16(sum)) << p << " " << hl << " " << rr;
                    ASSERT_EQ(cpu.f(), u8((f_in & Z) | (half ? H : 0) | (sum > 0xFFFF ? C : 0)));
                }
            }
        }
    }
    cpu.hl = 0x8000;
    cpu.set_f(Z);
    run({0x29});
    EXPECT_EQ(cpu.hl, 0x0000);
    EXPECT_EQ(cpu.f(), Z | C);
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

TEST_F(Sm83Results, AccumulatorRotatesClearZ) {
    // RLCA RRCA RLA RRA behave like CB RLC/RRC/RL/RR on A except that Z is
    // always clear.
    for (int op = 0; op < 4; ++op) {
        place({u8(0x07 | op << 3)});
        for (int a = 0; a < 256; ++a) {
            for (bool carry : {false, true}) {
                cpu.af = u16(a << 8 | (carry ? C : 0) | noise(a, op));
                run();
                AF want = reference_shift(op, u8(a), carry);
                want.f &= C;
                ASSERT_EQ(af(), want) << "op " << op << " a " << a;
            }
        }
    }
}

TEST_F(Sm83Results, CbRotatesAndShiftsOnEveryValue) {
    for (int op = 0; op < 8; ++op) {
        place({0xCB, u8(op << 3 | 3)});  // on E
        for (int v = 0; v < 256; ++v) {
            for (bool carry : {false, true}) {
                cpu.de = u16(0x5A00 | v);
                cpu.af = u16(0x3300 | (carry ? C : 0) | noise(v, op));
                run();
                const AF want = reference_shift(op, u8(v), carry);
                ASSERT_EQ(cpu.e(), want.a) << "op " << op << " v " << v;
                ASSERT_EQ(cpu.f(), want.f) << "op " << op << " v " << v;
                ASSERT_EQ(cpu.d(), 0x5A);
                ASSERT_EQ(cpu.a(), 0x33);
            }
        }
    }
}

TEST_F(Sm83Results, CbOperationsReachEveryRegister) {
    const u8 values[] = {0x00, 0x01, 0x80, 0x96, 0xFF};
    for (int r = 0; r < 8; ++r) {
        for (int op = 0; op < 8; ++op) {
            for (u8 v : values) {
                background();
                set_reg(r, v);
                cpu.set_f(C);
                std::vector<u8> want = all_registers();
                const AF expected = reference_shift(op, v, true);
                want[r] = expected.a;
                run({0xCB, u8(op << 3 | r)});
                ASSERT_EQ(all_registers(), want) << "reg " << r << " op " << op << " v " << int(v);
                ASSERT_EQ(cpu.f(), expected.f);
            }
        }
        for (int bit = 0; bit < 8; ++bit) {
            for (u8 v : values) {
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

TEST_F(Sm83Results, ComplementAndCarryFlagOperations) {
    for (int f = 0; f < 256; f += 0x10) {
        for (u8 a : {u8(0x00), u8(0x5A), u8(0xFF)}) {
            cpu.af = u16(a << 8 | f);
            run({0x2F});  // CPL
            EXPECT_EQ(af(), (AF{u8(~a), u8(f | N | H)}));
            cpu.af = u16(a << 8 | f);
            run({0x37});  // SCF
            EXPECT_EQ(af(), (AF{a, u8((f & Z) | C)}));
            cpu.af = u16(a << 8 | f);
            run({0x3F});  // CCF
            EXPECT_EQ(af(), (AF{a, u8((f & Z) | (~f & C))}));
        }
    }
}

TEST_F(Sm83Results, DaaOnEveryAccumulatorAndFlagCombination) {
    place({0x27});
    for (int a = 0; a < 256; ++a) {
        for (int f = 0; f < 256; f += 0x10) {
            cpu.af = u16(a << 8 | f);
            run();
            ASSERT_EQ(af(), reference_daa(u8(a), u8(f))) << "a " << a << " f " << f;
        }
    }
}

TEST_F(Sm83Results, DaaTurnsBinaryArithmeticIntoDecimal) {
    const auto bcd = [](int n) { return u8(n / 10 * 16 + n % 10); };
    // ADD/ADC/SUB/SBC A,B then DAA on every pair of two-digit numbers.
    for (int op = 0; op < 4; ++op) {
        place({u8(0x80 | op << 3), 0x27});
        for (int x = 0; x < 100; ++x) {
            for (int y = 0; y < 100; ++y) {
                for (bool carry : {false, true}) {
                    cpu.af = u16(bcd(x) << 8 | (carry ? C : 0));
                    cpu.set_b(bcd(y));
                    cpu.pc = CODE;
                    m.step(2);
                    const int cin = (carry && (op & 1)) ? 1 : 0;
                    const int exact = op < 2 ? x + y + cin : x - y - cin;
                    const int digits = (exact + 100) % 100;
                    ASSERT_EQ(cpu.a(), bcd(digits)) << op << " " << x << " " << y << " " << cin;
                    ASSERT_EQ((cpu.f() & C) != 0, exact >= 100 || exact < 0) << op << " " << x << " " << y;
                    ASSERT_EQ((cpu.f() & Z) != 0, digits == 0);
                }
            }
        }
    }
    cpu.af = 0x9900;
    run({0xC6, 0x01});  // ADD A,01 gives 9A
    run({0x27});
    EXPECT_EQ(af(), (AF{0x00, Z | C}));
}

TEST_F(Sm83Results, PopAfKeepsOnlyTheFlagBits) {
    struct Case {
        u8 op;
        u16 stacked, af, bc, de, hl;
    };
    const Case cases[] = {
        {0xF1, 0x12FF, 0x12F0, 0x1122, 0x3344, DATA},
        {0xF1, 0xAB0F, 0xAB00, 0x1122, 0x3344, DATA},
        {0xC1, 0x12FF, 0x7700, 0x12FF, 0x3344, DATA},
        {0xD1, 0xBEEF, 0x7700, 0x1122, 0xBEEF, DATA},
        {0xE1, 0x0F0F, 0x7700, 0x1122, 0x3344, 0x0F0F},
    };
    for (const Case& c : cases) {
        background();
        m.gb->write_byte(cpu.sp, u8(c.stacked));
        m.gb->write_byte(u16(cpu.sp + 1), u8(c.stacked >> 8));
        run({c.op});
        EXPECT_EQ(cpu.af, c.af) << std::hex << int(c.op);
        EXPECT_EQ(cpu.bc, c.bc);
        EXPECT_EQ(cpu.de, c.de);
        EXPECT_EQ(cpu.hl, c.hl);
        EXPECT_EQ(cpu.sp, 0xDFF2);
    }
}

}  // namespace
