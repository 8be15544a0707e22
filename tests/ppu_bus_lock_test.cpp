// When the picture unit holds VRAM and OAM against the CPU, and what STAT
// shows meanwhile, on the first line after LCD-on, on an ordinary line and on
// line 0 of the next frame. Each probe is a CPU program: it switches the LCD
// on and then reads or writes at every M-cycle it can reach, in either speed,
// so the access falls on the line cycle the CPU's own timing gives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lcd_machine.h"
#include "test_machine.h"

namespace {

enum class Access { VramRead, VramWrite, OamRead, OamWrite, Stat };

// The lines a probe looks at.
enum class Line { LcdOn, Second, NextFrameFirst };

const char* name(Access a) {
    switch (a) {
        case Access::VramRead: return "VRAM read";
        case Access::VramWrite: return "VRAM write";
        case Access::OamRead: return "OAM read";
        case Access::OamWrite: return "OAM write";
        default: return "STAT read";
    }
}

// A cell the picture unit does not fetch with these settings: the unused
// second map, and the tile byte of a sprite that is on no line.
constexpr u16 VRAM_CELL = 0x9FFF;
constexpr u16 OAM_CELL = 0xFE02;
constexpr u8 STORED = 0x5A;

struct Outcome {
    Line line;
    int cycle;
    int result;  // blocked 1 / landed 0, or the STAT mode
};

// The program: at 0x0200 LDH (FF40),A switches the LCD on, a NOP at 0x0202
// moves the CPU one M-cycle on, and the access instruction at 0x0210 is run
// over and over (the harness sets PC back to it, which costs no time).
class BusProbe {
public:
    BusProbe(const std::string& model, bool double_speed) : m(rom(), model), gb(*m.gb) {
        if (double_speed) {
            gb.write_byte(0xFF4D, 0x01);
            gb.cpu.pc = 0x0150;
            m.step();
            EXPECT_TRUE(gb.double_speed);
        }
    }

    // Switches the LCD off (for `off_m_cycles` M-cycles) and on with SCX
    // `scx`, skips `offset` M-cycles and then accesses at every other M-cycle
    // (each access takes two) until the second frame's line 1.
    std::vector<Outcome> run(Access access, int scx, int offset, int off_m_cycles = 256) {
        gb.write_byte(REG_LCDC, 0x00);
        gb.write_byte(REG_SCX, u8(scx));
        gb.cpu.pc = 0x0202;
        for (int i = 0; i < off_m_cycles; ++i) step_at(0x0202);
        gb.vram[VRAM_CELL & 0x1FFF] = STORED;
        gb.oam[OAM_CELL & 0xFF] = STORED;
        gb.cpu.set_a(0x81);
        step_at(0x0200);
        const u64 on = gb.cpu.cycles_4mhz;
        for (int i = 0; i < offset; ++i) step_at(0x0202);
        std::vector<Outcome> out;
        const u16 address = (access == Access::VramRead || access == Access::VramWrite) ? VRAM_CELL
                            : access == Access::Stat                                   ? REG_STAT
                                                                                       : OAM_CELL;
        gb.cpu.de = address;
        for (;;) {
            const bool write = access == Access::VramWrite || access == Access::OamWrite;
            u8& cell = access == Access::VramWrite ? gb.vram[VRAM_CELL & 0x1FFF] : gb.oam[OAM_CELL & 0xFF];
            if (write) cell = 0x00;
            gb.cpu.set_a(write ? STORED : 0x00);
            step_at(write ? 0x0211 : 0x0210);
            // Position on the LCD's own grid: the first line is 4 cycles short.
            const u64 since = gb.cpu.cycles_4mhz - on;
            const u64 frame_position = since + 4;
            const int frame = int(frame_position / PPU::FRAME_CYCLES);
            const int line = int(frame_position % PPU::FRAME_CYCLES / PPU::LINE_CYCLES);
            int cycle = int(frame_position % PPU::FRAME_CYCLES % PPU::LINE_CYCLES);
            if (frame == 1 && line == 1) break;
            int result;
            if (access == Access::Stat)
                result = gb.cpu.a() & 3;
            else if (write)
                result = cell != STORED;
            else
                result = gb.cpu.a() != STORED;
            if (frame == 0 && line == 0) {
                out.push_back({Line::LcdOn, int(since), result});
            } else if (frame == 0 && line == 1) {
                out.push_back({Line::Second, cycle, result});
            } else if (frame == 1 && line == 0) {
                out.push_back({Line::NextFrameFirst, cycle, result});
            }
        }
        return out;
    }

private:
    static RomImage rom() {
        RomImage image;
        image.cgb_flag(0x80);
        image.place(0x0150, {0x10, 0x00});        // STOP
        image.place(0x0200, {0xE0, 0x40, 0x00});  // LDH (FF40),A; NOP
        image.place(0x0210, {0x1A, 0x12});        // LD A,(DE); LD (DE),A
        return image;
    }
    void step_at(u16 pc) {
        gb.cpu.pc = pc;
        m.step();
    }

    TestMachine m;
    GB& gb;
};

struct Case {
    const char* model;
    bool double_speed;
    int off_m_cycles = 256;  // how long the LCD stays off before each probe
};

bool dmg(const Case& c) { return std::string(c.model).rfind("dmg", 0) == 0; }
bool cgb_d_or_later(const Case& c) { return std::string(c.model) == "cgbD" || std::string(c.model) == "cgbE"; }

// The cycle in which each line's drawing ends, as STAT shows it, without
// sprites or window: the line after LCD-on reports it two cycles sooner than
// the others, and a CGB in double speed shows it one cycle later.
int drawing_end(const Case& c, Line line, int scx) {
    return (line == Line::LcdOn ? 251 : 253) + (scx & 7) + (c.double_speed ? 1 : 0);
}

int expected_stat_mode(const Case& c, Line line, int scx, int t) {
    const int end = drawing_end(c, line, scx);
    if (line == Line::LcdOn) return t >= 80 && t < end ? 3 : 0;
    if (t >= 81 && t < end) return 3;
    if (t >= end) return 0;
    if (t >= (dmg(c) ? 4 : 2)) return 2;
    // Line 0 begins in mode 1 on CGB-D and later, and in double speed.
    const bool vblank = line == Line::NextFrameFirst && !dmg(c) && (cgb_d_or_later(c) || c.double_speed);
    return vblank ? 1 : 0;
}

bool expected_blocked(const Case& c, Access a, Line line, int scx, int t) {
    const int end = drawing_end(c, line, scx);
    if (line == Line::LcdOn) {
        switch (a) {
            // A CGB in single speed leaves VRAM to reads for one more cycle.
            case Access::VramRead: return t >= (!dmg(c) && !c.double_speed ? 81 : 80) && t < end;
            case Access::VramWrite: return t >= 80 && t < end;
            // Revision D on keeps OAM from reads for the cycle in which
            // single-speed STAT shows mode 0.
            case Access::OamRead: return t >= 80 && t < end + (cgb_d_or_later(c) && !c.double_speed ? 1 : 0);
            // A CGB takes OAM from writes two cycles before mode 3; a DMG
            // with mode 3, or one M-cycle after it when the LCD was off for
            // a while, and holds it through cycle 252.
            case Access::OamWrite:
                if (dmg(c)) return t >= (c.off_m_cycles < 100 ? 80 : 84) && t < std::max(end, 253);
                return t >= 78 && t < end;
            default: return false;
        }
    }
    switch (a) {
        // The DMG's fetcher takes VRAM from reads in the scan's last cycle.
        case Access::VramRead: return t >= (dmg(c) ? 80 : 81) && t < end;
        case Access::VramWrite: return t >= 81 && t < end;
        // OAM is the scan's from the line's first cycle, while STAT still
        // shows the old mode; in double speed the revisions before D leave
        // reads that cycle.
        case Access::OamRead:
            return t >= (!dmg(c) && !cgb_d_or_later(c) && c.double_speed ? 2 : 0) &&
                   t < end + (cgb_d_or_later(c) && !c.double_speed ? 1 : 0);
        // Writes get OAM in the scan's last cycle; the DMG also leaves them
        // the line's first cycle.
        case Access::OamWrite: return (t >= (dmg(c) ? 4 : 0) && t < 80) || (t >= 81 && t < end);
        default: return false;
    }
}

void check(const Case& c, Access access) {
    BusProbe probe(c.model, c.double_speed);
    for (int scx : {0, 3, 7}) {
        for (int offset = 0; offset < 2; ++offset) {
            int seen[3] = {0, 0, 0};
            for (const Outcome& o : probe.run(access, scx, offset, c.off_m_cycles)) {
                const int expected = access == Access::Stat ? expected_stat_mode(c, o.line, scx, o.cycle)
                                                            : expected_blocked(c, access, o.line, scx, o.cycle);
                ++seen[int(o.line)];
                ASSERT_EQ(o.result, expected) << c.model << (c.double_speed ? " double speed " : " ") << "off " << c.off_m_cycles << " " << name(access)
                                              << " line kind " << int(o.line) << " cycle " << o.cycle << " SCX "
                                              << scx;
            }
            for (int n : seen) EXPECT_GE(n, 55);  // every other M-cycle of each line
        }
    }
}

const Case CASES[] = {{"dmgC", false}, {"dmgC", false, 9}, {"cgbC", false},
                      {"cgbC", true},  {"cgbE", false},    {"cgbE", true}};

TEST(BusLocks, VideoRamReads) {
    for (const Case& c : CASES) check(c, Access::VramRead);
}
TEST(BusLocks, VideoRamWrites) {
    for (const Case& c : CASES) check(c, Access::VramWrite);
}
TEST(BusLocks, ObjectMemoryReads) {
    for (const Case& c : CASES) check(c, Access::OamRead);
}
TEST(BusLocks, ObjectMemoryWrites) {
    for (const Case& c : CASES) check(c, Access::OamWrite);
}
TEST(BusLocks, StatModes) {
    for (const Case& c : CASES) check(c, Access::Stat);
}

// Line 0 ends its drawing as the other lines do: the HBlank DMA request and
// the HBlank STAT interrupt come at the same line cycles as on line 1, on
// each revision and in either speed.
TEST(BusLocks, LineZeroEndsDrawingAsTheOthers) {
    struct Event {
        int hdma_request = -1, stat_request = -1;
    };
    for (const Case& c : CASES) {
        if (dmg(c)) continue;
        SCOPED_TRACE(testing::Message() << c.model << (c.double_speed ? " double speed" : ""));
        Lcd lcd(c.model, RomImage().cgb_flag(0x80));
        lcd.gb.set_double_speed(c.double_speed);
        lcd.write(REG_SCX, 5);
        lcd.write(REG_STAT, 0x08);  // the HBlank source alone
        auto events_of_line = [&](int line) {
            lcd.run_to(line, 0);
            lcd.gb.cpu.hblank_hdma_requested = false;
            lcd.clear_requests();
            Event e;
            for (int t = 1; t < 300; ++t) {
                lcd.run(1);
                if (e.hdma_request < 0 && lcd.gb.cpu.hblank_hdma_requested) e.hdma_request = t;
                if (e.stat_request < 0 && lcd.stat_requested()) e.stat_request = t;
            }
            return e;
        };
        const Event line_1 = events_of_line(1);
        ASSERT_GT(line_1.hdma_request, 0);
        ASSERT_GT(line_1.stat_request, 0);
        const Event line_0 = events_of_line(0);
        EXPECT_EQ(line_0.hdma_request, line_1.hdma_request);
        EXPECT_EQ(line_0.stat_request, line_1.stat_request);
    }
}

}  // namespace
