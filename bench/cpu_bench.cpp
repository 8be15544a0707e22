// CPU throughput: how many emulated T-cycles per second the machine runs
// through a tight loop that looks like game code (ALU work, WRAM loads and
// stores, 16-bit INC/DEC, JR/JP/CALL/RET, CB-prefixed operations, PUSH/POP).
//
// Counters:
//   cycles       emulated CPU-clock T-cycles per wall-clock second
//   emu_seconds  emulated seconds per wall-clock second, measured on the
//                4 MHz clock against 4194304 Hz (1.0 = full speed)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/gb.h"
#include "cpu/cpu.h"

namespace {

constexpr double BASE_CLOCK_HZ = 4194304.0;
// One DMG frame of T-cycles: the amount of emulated time run per iteration.
constexpr u64 CYCLES_PER_ITERATION = 70224;

// A small assembler with labels, enough to lay out the loop below without
// hand-computed jump offsets.
class Assembler {
public:
    explicit Assembler(u16 origin) : origin_(origin) {}

    Assembler& db(std::initializer_list<u8> bytes) {
        for (u8 b : bytes) code_.push_back(b);
        return *this;
    }
    Assembler& label(const std::string& name) {
        labels_[name] = here();
        return *this;
    }
    // A two-byte relative jump (JR / JR cc) to a label.
    Assembler& jr(u8 opcode, const std::string& target) {
        code_.push_back(opcode);
        relative_.push_back({code_.size(), target});
        code_.push_back(0);
        return *this;
    }
    // A three-byte absolute instruction (JP, CALL, LD rr,d16 ...) to a label.
    Assembler& abs(u8 opcode, const std::string& target) {
        code_.push_back(opcode);
        absolute_.push_back({code_.size(), target});
        code_.push_back(0);
        code_.push_back(0);
        return *this;
    }
    u16 here() const { return u16(origin_ + code_.size()); }
    u16 address_of(const std::string& name) const { return labels_.at(name); }

    std::vector<u8> link() const {
        std::vector<u8> out = code_;
        for (const auto& [at, name] : relative_) {
            const int next = origin_ + int(at) + 1;  // PC after the JR
            const int offset = int(labels_.at(name)) - next;
            if (offset < -128 || offset > 127) throw std::runtime_error("JR out of range: " + name);
            out[at] = u8(offset & 0xFF);
        }
        for (const auto& [at, name] : absolute_) {
            const u16 a = labels_.at(name);
            out[at] = u8(a & 0xFF);
            out[at + 1] = u8(a >> 8);
        }
        return out;
    }

private:
    u16 origin_;
    std::vector<u8> code_;
    std::map<std::string, u16> labels_;
    std::vector<std::pair<size_t, std::string>> relative_;
    std::vector<std::pair<size_t, std::string>> absolute_;
};

constexpr u16 PROGRAM_START = 0x0150;
constexpr u16 STACK_TOP = 0xDFF0;
constexpr u16 LOOP_COUNTER = 0xC300;  // outer iterations, mod 256

struct Program {
    std::vector<u8> rom;
    u16 code_begin = 0;
    u16 code_end = 0;
};

// Registers: HL walks C000-C0FF, B counts the inner loop, C is scratch, DE is
// a 16-bit iteration counter and A the running value.
Program build_program() {
    Assembler a(PROGRAM_START);
    a.label("start")
        .db({0xF3})                     // DI
        .db({0x31, 0xF0, 0xDF})         // LD SP,DFF0
        .db({0x21, 0x00, 0xC0})         // LD HL,C000
        .db({0x11, 0x00, 0x00})         // LD DE,0000
        .db({0xAF})                     // XOR A
        .db({0xEA, 0x00, 0xC3});        // LD (C300),A
    a.label("outer")
        .db({0x26, 0xC0})               // LD H,C0
        .db({0x06, 0x10});              // LD B,16
    a.label("inner")
        .db({0x22})                     // LD (HL+),A
        .db({0xC6, 0x07})               // ADD A,7
        .db({0xAE})                     // XOR (HL)
        .db({0x4F})                     // LD C,A
        .db({0xCB, 0x11})               // RL C
        .db({0xCB, 0x39})               // SRL C
        .db({0xCB, 0x31})               // SWAP C
        .db({0xCB, 0x41})               // BIT 0,C
        .jr(0x28, "skip")               // JR Z,skip
        .db({0x3C});                    // INC A
    a.label("skip")
        .db({0xA9})                     // XOR C
        .db({0xC5})                     // PUSH BC
        .db({0xE5})                     // PUSH HL
        .abs(0xCD, "sub")               // CALL sub
        .db({0xE1})                     // POP HL
        .db({0xC1})                     // POP BC
        .db({0x13})                     // INC DE
        .db({0x05})                     // DEC B
        .jr(0x20, "inner")              // JR NZ,inner
        .db({0x0B})                     // DEC BC
        .db({0x03})                     // INC BC
        .db({0xFA, 0x00, 0xC3})         // LD A,(C300)
        .db({0x3C})                     // INC A
        .db({0xEA, 0x00, 0xC3})         // LD (C300),A
        .abs(0xC3, "outer");            // JP outer
    a.label("sub")
        .db({0xF5})                     // PUSH AF
        .db({0x21, 0x00, 0xC2})         // LD HL,C200
        .db({0x73})                     // LD (HL),E
        .db({0x23})                     // INC HL
        .db({0x72})                     // LD (HL),D
        .db({0x7E})                     // LD A,(HL)
        .db({0x83})                     // ADD A,E
        .db({0xCE, 0x03})               // ADC A,3
        .db({0xD6, 0x05})               // SUB 5
        .db({0xE6, 0x3F})               // AND 3F
        .db({0xB0})                     // OR B
        .db({0xFE, 0x20})               // CP 20
        .jr(0x38, "low")                // JR C,low
        .db({0x2F});                    // CPL
    a.label("low")
        .db({0x77})                     // LD (HL),A
        .db({0xCB, 0xFE})               // SET 7,(HL)
        .db({0xCB, 0xBE})               // RES 7,(HL)
        .db({0x2B})                     // DEC HL
        .db({0xF1})                     // POP AF
        .db({0xC9});                    // RET

    Program p;
    p.code_begin = PROGRAM_START;
    p.code_end = a.here();
    const std::vector<u8> code = a.link();

    p.rom.assign(0x8000, 0x00);
    p.rom[0x0100] = 0x00;  // NOP
    p.rom[0x0101] = 0xC3;  // JP start
    p.rom[0x0102] = u8(PROGRAM_START & 0xFF);
    p.rom[0x0103] = u8(PROGRAM_START >> 8);
    p.rom[0x0143] = 0x80;  // colour-capable: a CGB model runs it in CGB mode
    for (size_t i = 0; i < code.size(); ++i) p.rom[PROGRAM_START + i] = code[i];
    return p;
}

std::unique_ptr<GB> make_machine(const Program& program, const std::string& model) {
    auto gb = std::make_unique<GB>(1);
    gb->cartridge.load_rom_from_memory("bench.gb", program.rom.data(), int(program.rom.size()));
    if (!gb->set_default_device_by_short_string(model)) throw std::runtime_error("unknown model " + model);
    gb->reset();
    // Run unthrottled: no frame pacing, no waiting on the sound queue.
    gb->player_turbo = true;
    return gb;
}

// True when the machine is still inside the benchmark loop: PC in the
// program, the stack near its top and the outer loop having advanced.
bool loop_is_running(GB& gb, const Program& program, u8 counter_before) {
    const CPU& cpu = gb.cpu;
    const bool pc_ok = cpu.pc >= program.code_begin && cpu.pc < program.code_end;
    const bool sp_ok = cpu.sp <= STACK_TOP && cpu.sp >= STACK_TOP - 8;
    const bool progressed = gb.read_byte_unrestricted(LOOP_COUNTER) != counter_before;
    return pc_ok && sp_ok && progressed;
}

void BM_CpuLoop(benchmark::State& state, const std::string& model) {
    const Program program = build_program();
    std::unique_ptr<GB> gb;
    try {
        gb = make_machine(program, model);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    CPU& cpu = gb->cpu;

    // Warm up into the loop, then check that it really is looping.
    cpu.run_until_cycle(cpu.cpu_cycles + 4 * CYCLES_PER_ITERATION);
    const u8 counter_before = gb->read_byte_unrestricted(LOOP_COUNTER);
    cpu.run_until_cycle(cpu.cpu_cycles + CYCLES_PER_ITERATION);
    const bool looping = loop_is_running(*gb, program, counter_before);

    const u64 cpu_start = cpu.cpu_cycles;
    const u64 base_start = cpu.cycles_4mhz;
    for (auto _ : state) {
        cpu.run_until_cycle(cpu.cpu_cycles + CYCLES_PER_ITERATION);
        benchmark::DoNotOptimize(cpu.af);
    }
    const double cpu_cycles = double(cpu.cpu_cycles - cpu_start);
    const double base_cycles = double(cpu.cycles_4mhz - base_start);

    state.counters["cycles"] = benchmark::Counter(cpu_cycles, benchmark::Counter::kIsRate);
    state.counters["emu_seconds"] = benchmark::Counter(base_cycles / BASE_CLOCK_HZ, benchmark::Counter::kIsRate);
    // A figure from a machine that left the loop (an incomplete or faulty
    // interpreter) does not measure game-like code; say so next to it.
    if (!looping) state.SetLabel("WARNING: program left its loop; figure is not representative");
}

}  // namespace

BENCHMARK_CAPTURE(BM_CpuLoop, dmgB, std::string("dmgB"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CpuLoop, cgbE, std::string("cgbE"))->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
