// Save states: the layout of the string, exact round trips, and strings that
// must be refused without a trace.
#include <gtest/gtest.h>

#include "state_compare.h"

#include <cstring>
#include <random>

#include "cartridge/mbc1.h"
#include "cartridge/mbc2.h"
#include "cartridge/mbc3.h"
#include "cartridge/mbc5.h"
#include "test_machine.h"

namespace {

// Sizes of the fixed runs at the front of every state string.
constexpr size_t AUDIO_BYTES = 8277;
constexpr size_t CPU_BYTES = 132;
constexpr size_t PPU_BYTES = 1079;
constexpr size_t SERIAL_BYTES = 6, DMA_BYTES = 24, TIMER_BYTES = 11, JOYPAD_BYTES = 7;

u32 u32_at(const std::string& s, size_t at) {
    u32 v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}
u64 u64_at(const std::string& s, size_t at) {
    u64 v;
    std::memcpy(&v, s.data() + at, 8);
    return v;
}
u8 byte_at(const std::string& s, size_t at) { return u8(s.at(at)); }

// A program that keeps every unit busy: a sound channel playing, the LCD on
// with sprites, an OAM DMA from work RAM every few hundred cycles.
RomImage busy_rom(u8 type = 0x00, u8 ram_code = 0x00) {
    RomImage rom({
        0x3E, 0x80, 0xE0, 0x26,  // NR52 = 80: sound on
        0x3E, 0xF0, 0xE0, 0x12,  // NR12 = F0
        0x3E, 0x87, 0xE0, 0x14,  // NR14 = 87: trigger
        0x3E, 0x77, 0xE0, 0x24,  // NR50
        0x3E, 0xFF, 0xE0, 0x25,  // NR51
        0x21, 0x00, 0xC0,        // LD HL,C000
        0x3E, 0x40,              // LD A,40: one sprite at (40,40)
        0x22, 0x22, 0x22, 0x22,  // LD (HL+),A x4
        0x3E, 0x93, 0xE0, 0x40,  // LCDC = 93: BG and sprites
        0x3E, 0xC0, 0xE0, 0x46,  // loop: OAM DMA from C000
        0x06, 0x28,              // LD B,40
        0x05, 0x20, 0xFD,        // DEC B / JR NZ
        0x18, 0xF5,              // JR loop
    });
    rom.type(type).ram_size_code(ram_code);
    return rom;
}

std::unique_ptr<GB> machine(const RomImage& rom, const std::string& model) {
    TestMachine m(rom, model);
    return std::move(m.gb);
}

void run_instructions(GB& gb, int n) {
    for (int i = 0; i < n; ++i) gb.run_single_instruction();
}

}  // namespace

TEST(SaveStateLayout, FixedRunsSitWhereTheFormatPutsThem) {
    auto gb = machine(busy_rom(), "dmgB");
    run_instructions(*gb, 3000);
    gb->serial.sb = 0xA5;
    gb->vram[0x1234] = 0x5C;
    gb->wram[0x6789] = 0xC3;
    gb->oam[0x9F] = 0x77;
    gb->io_page[0xFE] = 0x42;
    // Distinct values for the picture unit's neighbouring mode fields.
    gb->ppu.stat_irq_mode = -1;
    gb->ppu.mode = 2;
    gb->ppu.oam_scan_state = 3;
    const std::string s = gb->save_state();

    // A cartridge without RAM puts the picture unit right after the CPU.
    const size_t cpu = AUDIO_BYTES, ppu = cpu + CPU_BYTES, serial = ppu + PPU_BYTES;
    const size_t dma = serial + SERIAL_BYTES, timer = dma + DMA_BYTES, joypad = timer + TIMER_BYTES;
    const size_t mbc = joypad + JOYPAD_BYTES;
    EXPECT_EQ(byte_at(s, 0), gb->audio.nr50);
    EXPECT_EQ(u32_at(s, 8209), u32(gb->audio.sample_index));
    EXPECT_EQ(byte_at(s, cpu + 10) | byte_at(s, cpu + 11) << 8, gb->cpu.pc);
    EXPECT_EQ(u64_at(s, cpu + 32), gb->cpu.cycles_4mhz);
    EXPECT_EQ(byte_at(s, ppu), gb->ppu.lcdc);
    EXPECT_EQ(u32_at(s, ppu + 347), u32(-1));  // stat_irq_mode, mode, oam_scan_state, current_line
    EXPECT_EQ(u32_at(s, ppu + 351), 2u);
    EXPECT_EQ(u32_at(s, ppu + 355), 3u);
    EXPECT_EQ(u32_at(s, ppu + 359), u32(gb->ppu.current_line));
    EXPECT_EQ(u64_at(s, ppu + 629), gb->ppu.fifo_cycle);
    EXPECT_EQ(byte_at(s, ppu + 839), gb->ppu.line_sprites[0].y);
    EXPECT_EQ(byte_at(s, serial), 0xA5);
    EXPECT_EQ(byte_at(s, timer + 10), gb->timer.tac);
    EXPECT_EQ(byte_at(s, joypad), gb->joypad.p1);
    // The controller: type id and name on first use, pointer id, no fields.
    EXPECT_EQ(u32_at(s, mbc), 0x80000001u);
    EXPECT_EQ(u64_at(s, mbc + 4), 7u);
    EXPECT_EQ(s.substr(mbc + 12, 7), "NullMBC");
    EXPECT_EQ(u32_at(s, mbc + 19), 0x80000001u);
    const size_t vram = mbc + 23, wram = vram + 0x4000, oam = wram + 0x8000, io = oam + 0x100;
    const size_t registers = io + 0x100, flags = registers + 9;
    EXPECT_EQ(byte_at(s, vram + 0x1234), 0x5C);
    EXPECT_EQ(byte_at(s, wram + 0x6789), 0xC3);
    EXPECT_EQ(byte_at(s, oam + 0x9F), 0x77);
    EXPECT_EQ(byte_at(s, io + 0xFE), 0x42);
    EXPECT_EQ(byte_at(s, registers), gb->wram_bank);
    EXPECT_EQ(byte_at(s, flags), gb->boot_rom_mapped ? 1 : 0);
    // Everything after the fourth flag is the extension block.
    EXPECT_EQ(u32_at(s, flags + 4), 0x0153585Au);
}

TEST(SaveStateLayout, CartridgeRamFollowsTheCpuAndControllersKeepOnlyTheirRegisters) {
    struct Row {
        const char* name;
        u8 type;
        size_t ram;
        size_t fields;
    };
    const Row rows[] = {
        {"MBC1", 0x03, 0x2000, 13},
        {"MBC2", 0x06, 512, 8},
        {"MBC3", 0x13, 0x2000, 17},
        {"MBC5", 0x1B, 0x2000, 12},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto gb = machine(busy_rom(r.type, 0x02), "cgbE");
        gb->cartridge.ram[0] = 0x11;
        gb->cartridge.ram[r.ram - 1] = 0xEE;
        const std::string s = gb->save_state();
        const size_t ram = AUDIO_BYTES + CPU_BYTES;
        EXPECT_EQ(byte_at(s, ram), 0x11);
        EXPECT_EQ(byte_at(s, ram + r.ram - 1), 0xEE);
        const size_t mbc = ram + r.ram + PPU_BYTES + SERIAL_BYTES + DMA_BYTES + TIMER_BYTES + JOYPAD_BYTES;
        const size_t name_length = std::strlen(r.name);
        EXPECT_EQ(u64_at(s, mbc + 4), name_length);
        EXPECT_EQ(s.substr(mbc + 12, name_length), r.name);
        // VRAM follows the fields: its first bytes are the cleared tile 0.
        const size_t vram = mbc + 12 + name_length + 4 + r.fields;
        EXPECT_EQ(s.substr(vram, 16), std::string(16, '\0'));
        if (std::string(r.name) == "MBC3") {
            EXPECT_EQ(u32_at(s, mbc + 12 + name_length + 4), 255u);
        }
    }
}

// The controllers' registers in their record order: RAM enable, ROM bank,
// then (MBC5) RAM bank, each a 32-bit field.
TEST(SaveStateLayout, ControllerRegistersInTheirOrder) {
    auto mbc2 = machine(busy_rom(0x06, 0x00), "cgbE");
    auto* two = dynamic_cast<MBC2*>(mbc2->mbc.get());
    ASSERT_NE(two, nullptr);
    two->ram_enabled = 1;
    two->rom_bank = 3;
    auto mbc5 = machine(busy_rom(0x1B, 0x02), "cgbE");
    auto* five = dynamic_cast<MBC5*>(mbc5->mbc.get());
    ASSERT_NE(five, nullptr);
    five->ram_enabled = 1;
    five->rom_bank = 0x1A5;
    five->ram_bank = 2;
    struct Row {
        const char* name;
        GB* gb;
        size_t ram;
        std::vector<u32> fields;
    };
    const Row rows[] = {{"MBC2", mbc2.get(), 512, {1, 3}}, {"MBC5", mbc5.get(), 0x2000, {1, 0x1A5, 2}}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string s = r.gb->save_state();
        const size_t mbc = AUDIO_BYTES + CPU_BYTES + r.ram + PPU_BYTES + SERIAL_BYTES + DMA_BYTES + TIMER_BYTES +
                           JOYPAD_BYTES;
        const size_t fields = mbc + 12 + std::strlen(r.name) + 4;
        ASSERT_EQ(s.substr(mbc + 12, std::strlen(r.name)), r.name);
        for (size_t i = 0; i < r.fields.size(); ++i) EXPECT_EQ(u32_at(s, fields + 4 * i), r.fields[i]) << i;
    }
}

TEST(SaveState, ControllerBanksSurviveAStateLoadedIntoAFreshMachine) {
    struct Row {
        const char* what;
        u8 type;
        int rom_banks;
        std::vector<std::pair<u16, u8>> writes;
        int expected_bank0, expected_bank1;
    };
    const Row rows[] = {
        {"MBC1 mode 1", 0x03, 128, {{0x6000, 1}, {0x4000, 2}, {0x2000, 5}}, 0x40, 0x45},
        {"MBC3 bank 7F", 0x13, 128, {{0x2000, 0x7F}}, 0, 0x7F},
        {"MBC5 bank 1FF", 0x1B, 512, {{0x2000, 0xFF}, {0x3000, 1}}, 0, 0x1FF},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        RomImage rom = busy_rom(r.type, 0x02);
        rom.bytes.resize(size_t(r.rom_banks) * 0x4000);
        // Each bank's first byte names the bank's low bits, its second the high.
        for (int b = 1; b < r.rom_banks; ++b) {
            rom.bytes[size_t(b) * 0x4000] = u8(b);
            rom.bytes[size_t(b) * 0x4000 + 1] = u8(b >> 8);
        }
        rom.bytes[0x0148] = u8(__builtin_ctz(unsigned(r.rom_banks)) - 1);
        auto a = machine(rom, "dmgB");
        for (auto [address, value] : r.writes) a->write_byte(address, value);
        auto b = machine(rom, "dmgB");
        ASSERT_TRUE(b->load_state(a->save_state()));
        auto bank_at = [&](u16 base) { return b->read_byte(base) | b->read_byte(u16(base + 1)) << 8; };
        EXPECT_EQ(bank_at(0x4000), r.expected_bank1);
        if (r.expected_bank0 != 0) {
            EXPECT_EQ(bank_at(0x0000), r.expected_bank0);
        }
        EXPECT_TRUE(same_state(b->save_state(), a->save_state()));
    }
}

TEST(SaveState, SavingLoadingAndSavingAgainGivesTheSameStringAndTheSameFuture) {
    for (const char* model : {"dmgB", "cgbE"}) {
        SCOPED_TRACE(model);
        auto a = machine(busy_rom(0x03, 0x02), model);
        for (int point : {1, 700, 5000, 23456}) {
            run_instructions(*a, point);
            const std::string saved = a->save_state();
            auto b = machine(busy_rom(0x03, 0x02), model);
            ASSERT_TRUE(b->load_state(saved));
            EXPECT_TRUE(same_state(b->save_state(), saved));
            // Both go on the same way, frame for frame.
            for (int f = 0; f < 3; ++f) {
                a->run_frame();
                b->run_frame();
            }
            EXPECT_TRUE(same_state(b->save_state(), a->save_state()));
            EXPECT_TRUE(b->ppu.frame_buffer == a->ppu.frame_buffer) << "pictures differ";
        }
    }
}

TEST(SaveState, BankRegistersReachTheBusRightAfterALoad) {
    // A colour cartridge, so that FF70 and FF4F switch banks. Each bank pair
    // holds different bytes: a machine reading the wrong bank shows it.
    RomImage rom = busy_rom();
    rom.cgb_flag(0x80);
    auto a = machine(rom, "cgbE");
    a->ppu.mode = 0;
    const std::pair<u16, u8> writes[] = {{0xFF70, 1}, {0xD000, 0x11}, {0xFF70, 5}, {0xD000, 0x55},
                                         {0x8000, 0x22}, {0xFF4F, 1}, {0x8000, 0x66}};
    for (const auto& [address, value] : writes) a->write_byte(address, value);
    const std::string saved = a->save_state();
    auto b = machine(rom, "cgbE");
    ASSERT_TRUE(b->load_state(saved));
    b->ppu.mode = 0;
    EXPECT_EQ(b->read_byte(0xD000), 0x55);
    EXPECT_EQ(b->read_byte(0xF000), 0x55);  // the echo follows the bank too
    EXPECT_EQ(b->read_byte(0x8000), 0x66);
    b->write_byte(0xFF70, 1);
    b->write_byte(0xFF4F, 0);
    EXPECT_EQ(b->read_byte(0xD000), 0x11);
    EXPECT_EQ(b->read_byte(0x8000), 0x22);
}

TEST(SaveState, ARefusedStringLeavesTheMachineExactlyAsItWas) {
    auto source = machine(busy_rom(0x03, 0x02), "cgbE");
    run_instructions(*source, 4000);
    const std::string good = source->save_state();
    auto damaged = [&](size_t at, u8 value) {
        std::string s = good;
        s.at(at) = char(value);
        return s;
    };
    auto overwritten = [&](size_t at, u64 value, size_t width) {
        std::string s = good;
        for (size_t i = 0; i < width; ++i) s.at(at + i) = char(value >> (8 * i));
        return s;
    };
    const size_t cpu = AUDIO_BYTES, ppu = cpu + CPU_BYTES + 0x2000, dma = ppu + PPU_BYTES + SERIAL_BYTES;
    const size_t joypad = dma + DMA_BYTES + TIMER_BYTES;
    const size_t wram_bank_at = AUDIO_BYTES + CPU_BYTES + 0x2000 + PPU_BYTES + SERIAL_BYTES + DMA_BYTES +
                                TIMER_BYTES + JOYPAD_BYTES + 33 + 0x4000 + 0x8000 + 0x200;
    ASSERT_EQ(byte_at(good, wram_bank_at), source->wram_bank);
    auto other_cartridge = machine(busy_rom(0x1B, 0x02), "cgbE");
    auto other_ram = machine(busy_rom(0x03, 0x03), "cgbE");
    auto other_model = machine(busy_rom(0x03, 0x02), "cgbD");
    struct Row {
        const char* what;
        std::string data;
    };
    const Row rows[] = {
        {"empty", ""},
        {"cut inside the audio fields", good.substr(0, 100)},
        {"cut inside the work RAM", good.substr(0, 40000)},
        {"cut one byte short", good.substr(0, good.size() - 1)},
        {"a byte left over", good + "x"},
        {"another controller type", other_cartridge->save_state()},
        {"another RAM size", other_ram->save_state()},
        {"another model", other_model->save_state()},
        {"work RAM bank 9", damaged(wram_bank_at, 9)},
        {"a flag byte of 2", damaged(wram_bank_at + 9, 2)},
        {"sample position past the buffer", damaged(8209 + 3, 0x40)},
        {"left master volume past the mixer's range", damaged(5 + 3, 0x40)},
        {"picture line 200", damaged(AUDIO_BYTES + CPU_BYTES + 0x2000 + 359, 200)},
        // Steps, modes, indices, addresses and events that name nothing there is.
        {"work RAM bank 0", damaged(wram_bank_at, 0)},
        {"picture step id unknown", overwritten(ppu + 782, 2700, 4)},
        {"picture step under way unknown", overwritten(ppu + 778, 7, 4)},
        {"STAT source unknown", overwritten(ppu + 335, 3, 4)},
        {"STAT mode 4", overwritten(ppu + 347, 4, 4)},
        {"LY compare line 154", overwritten(ppu + 367, 154, 4)},
        {"background map outside the two maps", overwritten(ppu + 16, 0x1234, 2)},
        {"window line far past the screen", overwritten(ppu + 363, 100000, 4)},
        {"fetcher wait of a million cycles", overwritten(ppu + 679, 1000000, 4)},
        {"pixel position far past the line", overwritten(ppu + 700, 0x7FFFFFFF, 4)},
        {"line cycles left past a line", overwritten(ppu + 790, 457, 4)},
        {"picture step far in the future", overwritten(cpu + 76, u64_at(good, cpu + 40) + 100000, 8)},
        {"picture step behind the clock", overwritten(cpu + 76, 1, 8)},
        {"timer event behind the clock", overwritten(cpu + 116, 1, 8)},
        {"frame sequencer event out of reach", overwritten(cpu + 124, u64_at(good, cpu + 32) + 0x10000, 8)},
        {"OAM DMA destination past object memory", overwritten(dma + 7, 0xFF00, 2)},
        {"HDMA destination outside video RAM", overwritten(dma + 17, 0x1234, 2)},
        {"joypad interrupt delay past its draw", overwritten(joypad + 3, 128, 4)},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        auto gb = machine(busy_rom(0x03, 0x02), "cgbE");
        run_instructions(*gb, 1234);
        auto twin = machine(busy_rom(0x03, 0x02), "cgbE");
        run_instructions(*twin, 1234);
        const std::string before = gb->save_state();
        std::string error;
        EXPECT_FALSE(gb->load_state(r.data, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(same_state(gb->save_state(), before));
        for (int f = 0; f < 2; ++f) {
            gb->run_frame();
            twin->run_frame();
        }
        EXPECT_TRUE(same_state(gb->save_state(), twin->save_state()));
    }
}

// A state may name any step of the picture unit's line and frame machine:
// each one, run, schedules the next step within a line and names one the
// state check knows.
TEST(SaveState, EveryStepIdAStateMayNameSchedulesTheNextStep) {
    for (const char* model : {"dmgB", "cgbE"}) {
        auto gb = machine(busy_rom(), model);
        run_instructions(*gb, 3000);
        ASSERT_TRUE(gb->ppu.lcd_enabled);
        const std::string start = gb->save_state();
        for (int id : PPU::STEP_IDS) {
            SCOPED_TRACE(std::string(model) + " step " + std::to_string(id));
            ASSERT_TRUE(gb->load_state(start));
            gb->ppu.set_state(id);
            const u64 now = gb->cpu.cycles_4mhz, next = gb->cpu.next_ppu_cycle;
            EXPECT_TRUE(next >= now && next - now <= PPU::LINE_CYCLES) << next - now;
            EXPECT_TRUE(PPU::is_step_id(gb->ppu.next_state)) << gb->ppu.next_state;
        }
    }
}

TEST(SaveState, RandomlyDamagedStringsAreRefusedWithoutATraceOrRunSafely) {
    // Every damaged string either loads and runs (the sanitizer build watches
    // the run), or is refused with the machine untouched. The damage goes
    // into the fields, not the bulk memories: the CPU, the picture unit, the
    // peripherals and the controller record, the machine's register bytes,
    // and the extension block's fields and tail.
    auto source = machine(busy_rom(0x1B, 0x02), "cgbE");
    run_instructions(*source, 9000);
    const std::string good = source->save_state();
    const size_t cpu = AUDIO_BYTES, ppu = cpu + CPU_BYTES + 0x2000, units = ppu + PPU_BYTES;
    const size_t extension = good.find(std::string("ZXS\x01", 4));
    ASSERT_NE(extension, std::string::npos);
    const std::pair<size_t, size_t> regions[] = {
        {cpu, CPU_BYTES}, {ppu, PPU_BYTES}, {units, 100}, {extension - 13, 13}, {extension, 800}, {good.size() - 700, 700}};
    std::mt19937 random(20261209);
    auto gb = machine(busy_rom(0x1B, 0x02), "cgbE");
    int refused = 0, loaded = 0;
    for (int round = 0; round < 400; ++round) {
        std::string s = good;
        for (int c = 1 + int(random() % 3); c > 0; --c) {
            const auto [from, length] = regions[random() % std::size(regions)];
            s[from + random() % length] = char(random() % 2 ? 0xFF : random());
        }
        const std::string before = gb->save_state();
        if (gb->load_state(s)) {
            ++loaded;
            gb->run_frame();
        } else {
            ++refused;
            ASSERT_TRUE(same_state(gb->save_state(), before)) << "round " << round;
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(loaded, 0);
}

TEST(SaveState, TheMbc3ClockTravelsWithTheState) {
    // The clock counts the machine's cycles: a state restores the time it was
    // saved with, in this machine or another one.
    RomImage rom = busy_rom(0x10, 0x02);
    auto gb = machine(rom, "dmgB");
    auto* clock = dynamic_cast<MBC3*>(gb->mbc.get());
    ASSERT_NE(clock, nullptr);
    clock->rtc = {30, 20, 10, 100, 0};
    clock->rtc_last_sync_cycle = gb->cpu.cycles_4mhz;
    const std::string set = gb->save_state();
    for (int f = 0; f < 120; ++f) gb->run_frame();
    auto other = machine(rom, "dmgB");
    ASSERT_TRUE(other->load_state(gb->save_state()));
    ASSERT_TRUE(gb->load_state(set));
    auto seconds_of = [](GB& m) {
        auto* c = dynamic_cast<MBC3*>(m.mbc.get());
        c->sync_rtc_registers(m.cpu.cycles_4mhz);
        return c->rtc[RTC_DL] * 86400 + c->rtc[RTC_H] * 3600 + c->rtc[RTC_M] * 60 + c->rtc[RTC_S];
    };
    EXPECT_EQ(seconds_of(*gb), 100 * 86400 + 10 * 3600 + 20 * 60 + 30);
    EXPECT_EQ(seconds_of(*other), 100 * 86400 + 10 * 3600 + 20 * 60 + 32);  // two seconds of frames later
}

TEST(SaveState, TheMbc3SelectReachesTheSameChipAfterALoad) {
    // The select register travels with the state: loaded into a fresh
    // machine, A000 reaches what it reached in the machine that saved it, a
    // clock register, a RAM bank or nothing. A select wider than the
    // register's four bits is refused.
    struct Row {
        u8 select;
        int reads;
    };
    const RomImage rom = busy_rom(0x10, 0x03);  // clock and 32 KiB
    const size_t select_at = AUDIO_BYTES + CPU_BYTES + 0x8000 + PPU_BYTES + SERIAL_BYTES + DMA_BYTES + TIMER_BYTES +
                             JOYPAD_BYTES + 12 + std::strlen("MBC3") + 4 + 12;
    for (const Row r : {Row{0x02, 0x77}, Row{0x05, 0xFF}, Row{0x08, 0x2A}, Row{0x0C, 0x00}, Row{0x0E, 0xFF}}) {
        SCOPED_TRACE(int(r.select));
        auto a = machine(rom, "dmgB");
        a->write_byte(0x0000, 0x0A);
        a->write_byte(0x4000, 0x02);
        a->write_byte(0xA000, 0x77);
        a->write_byte(0x4000, 0x08);
        a->write_byte(0xA000, 0x2A);
        a->write_byte(0x6000, 0x00);
        a->write_byte(0x4000, r.select);
        const std::string saved = a->save_state();
        ASSERT_EQ(u32_at(saved, select_at), r.select);
        auto b = machine(rom, "dmgB");
        ASSERT_TRUE(b->load_state(saved));
        EXPECT_EQ(b->read_byte(0xA000), r.reads);
        std::string wide = saved;
        wide[select_at] = char(0x10 | r.select);
        EXPECT_FALSE(b->load_state(wide));
    }
}

TEST(SaveState, AHaltStillDecidingContinuesAsItWouldHave) {
    // HALT with interrupts off decides in the M-cycle after its opcode fetch:
    // a timer request landing there is the HALT bug. The TIMA start value and
    // the NOPs before HALT sweep the request across that M-cycle; the state
    // is saved on the instruction boundary between HALT and its decision.
    int deciding = 0;
    for (int nops = 0; nops < 4; ++nops) {
        for (u8 tima : {u8(0xFE), u8(0xFF)}) {
            std::vector<u8> program = {0x3E, 0x05, 0xE0, 0x07,  // TAC = 05: every 16 cycles
                                       0x3E, 0x04, 0xE0, 0xFF,  // IE = timer
                                       0xAF, 0xE0, 0x0F,        // IF = 0
                                       0x3E, tima, 0xE0, 0x05}; // TIMA
            program.insert(program.end(), size_t(nops), 0x00);
            program.insert(program.end(), {0x76, 0x3C, 0x3C, 0x18, 0xFE});  // HALT, INC A, INC A, JR $
            auto gb = machine(RomImage(program), "dmgB");
            for (int i = 0; i < 40 && !gb->cpu.halt_entered; ++i) gb->run_single_instruction();
            if (!gb->cpu.halt_entered) continue;
            ++deciding;
            auto twin = machine(RomImage(program), "dmgB");
            ASSERT_TRUE(twin->load_state(gb->save_state()));
            run_instructions(*gb, 50);
            run_instructions(*twin, 50);
            EXPECT_TRUE(same_state(twin->save_state(), gb->save_state())) << nops << " NOPs, TIMA " << int(tima);
        }
    }
    EXPECT_GT(deciding, 0);
}

TEST(SaveState, SoundChangesUnderWayTravelWithTheState) {
    // Channel 4 plays while NR43 changes under it (its shift counter runs on
    // across the writes) and channel 1 is retriggered over and over (each
    // trigger's sweep reload lands 12 cycles later). A state saved at any
    // instruction boundary, right after a write included, goes on the same.
    const RomImage rom({
        0x3E, 0x80, 0xE0, 0x26,  // NR52: sound on
        0x3E, 0xF0, 0xE0, 0x21,  // NR42
        0x3E, 0x02, 0xE0, 0x22,  // NR43: divisor code 2
        0x3E, 0x80, 0xE0, 0x23,  // NR44: trigger
        0x3E, 0xF0, 0xE0, 0x12,  // NR12
        0x3E, 0x11, 0xE0, 0x10,  // NR10: period 1, add, shift 1
        0x3E, 0x84, 0xE0, 0x14,  // loop: NR14 trigger
        0x3E, 0x11, 0xE0, 0x22,  // NR43: code 1, shift 1
        0x00, 0x00, 0x00,
        0x3E, 0x02, 0xE0, 0x22,  // NR43: code 2, shift 0
        0x18, 0xF0,              // JR loop
    });
    for (int point = 6; point < 40; ++point) {
        auto a = machine(rom, "cgbE");
        run_instructions(*a, point);
        auto b = machine(rom, "cgbE");
        ASSERT_TRUE(b->load_state(a->save_state()));
        run_instructions(*a, 3000);
        run_instructions(*b, 3000);
        EXPECT_TRUE(same_state(b->save_state(), a->save_state())) << "saved after " << point << " instructions";
    }
}
