// When the picture unit holds VRAM and OAM against the CPU, and what STAT
// shows meanwhile, on the first line after LCD-on, on an ordinary line and on
// line 0 of the next frame. Each probe is a CPU program: it switches the LCD
// off at a chosen point of its frame, keeps it off for a while, switches it
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

// Where on the LCD's frame grid the LCD is switched off before a probe, and
// for how many M-cycles it stays off.
struct LcdOff {
    int line;
    int cycle;
    int m_cycles;
};

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

    // Switches the LCD off as `off` says and on with SCX `scx`, skips
    // `offset` M-cycles and then accesses at every other M-cycle (each access
    // takes two) until the second frame's line 1.
    std::vector<Outcome> run(Access access, int scx, int offset, const LcdOff& off) {
        switch_off_at(off.line, off.cycle);
        gb.write_byte(REG_SCX, u8(scx));
        for (int i = 0; i < off.m_cycles; ++i) step_at(0x0202);
        gb.vram[VRAM_CELL & 0x1FFF] = STORED;
        gb.oam[OAM_CELL & 0xFF] = STORED;
        switch_on();
        const u64 on = on_;
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
            const u64 since = gb.cpu.cycles_4mhz - on;
            const u64 frame_position = grid_position();
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
    void switch_on() {
        gb.cpu.set_a(0x81);
        step_at(0x0200);
        on_ = gb.cpu.cycles_4mhz;
    }
    // Position on the LCD's own frame grid: the first line is 4 cycles short.
    u64 grid_position() const { return gb.cpu.cycles_4mhz - on_ + 4; }
    // Runs the LCD to the next `line` and `cycle` of its frame grid (from a
    // switch-on of its own the first time) and switches it off there.
    void switch_off_at(int line, int cycle) {
        if (!switched_on_) {
            gb.write_byte(REG_LCDC, 0x00);
            switch_on();
            switched_on_ = true;
        }
        const u64 point = u64(line) * PPU::LINE_CYCLES + u64(cycle);
        const u64 now = grid_position();
        u64 target = now - now % PPU::FRAME_CYCLES + point;
        if (target < now) target += PPU::FRAME_CYCLES;
        while (grid_position() < target) step_at(0x0202);
        gb.write_byte(REG_LCDC, 0x00);
    }

    TestMachine m;
    GB& gb;
    bool switched_on_ = false;
    u64 on_ = 0;
};

struct Case {
    const char* model;
    bool double_speed;
    // Early in the vertical blank, the usual place.
    LcdOff off = {144, 40, 256};
};

bool dmg(const Case& c) { return std::string(c.model).rfind("cgb", 0) != 0; }

// Switched off after the OAM scan of one of lines 0-144 had ended (cycle 80
// on; line 144 starts a scan like the lines above it) and before the next
// line started.
bool off_after_oam_scan(const LcdOff& off) { return off.line <= 144 && off.cycle >= 80; }
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
            // A CGB takes OAM from writes two cycles before mode 3. A DMG
            // takes it with mode 3, unless the LCD went off after a line's
            // OAM scan: then at cycle 81, as on the other lines, holding it
            // at least until their shortest drawing ends, at cycle 253.
            case Access::OamWrite:
                if (!dmg(c)) return t >= 78 && t < end;
                if (off_after_oam_scan(c.off)) return t >= 81 && t < std::max(end, 253);
                return t >= 80 && t < end;
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
            for (const Outcome& o : probe.run(access, scx, offset, c.off)) {
                const int expected = access == Access::Stat ? expected_stat_mode(c, o.line, scx, o.cycle)
                                                            : expected_blocked(c, access, o.line, scx, o.cycle);
                ++seen[int(o.line)];
                ASSERT_EQ(o.result, expected) << c.model << (c.double_speed ? " double speed" : "") << ", off at line "
                                              << c.off.line << " cycle " << c.off.cycle << " for " << c.off.m_cycles
                                              << " M-cycles: " << name(access)
                                              << " line kind " << int(o.line) << " cycle " << o.cycle << " SCX "
                                              << scx;
            }
            for (int n : seen) EXPECT_GE(n, 55);  // every other M-cycle of each line
        }
    }
}

// The DMG family with the LCD switched off before, during and after a line's
// OAM scan, in the vertical blank, and for a short and a long time; the CGB
// after and before the scan ends.
const Case CASES[] = {
    {"dmgC", false},                      {"dmgC", false, {144, 40, 9}},     {"dmgC", false, {144, 320, 256}},
    {"dmgC", false, {144, 320, 9}},       {"dmgC", false, {153, 448, 9}},    {"dmgC", false, {100, 60, 9}},
    {"dmgC", false, {100, 300, 256}},     {"dmgC", false, {150, 300, 256}},  {"dmgB", false},
    {"dmgB", false, {144, 320, 256}},     {"mgb", false, {144, 320, 256}},   {"sgb", false},
    {"sgb2", false, {144, 320, 256}},     {"cgbC", false},                   {"cgbC", true},
    {"cgbE", false},                      {"cgbE", true},                    {"cgbE", false, {144, 320, 256}},
    {"cgbC", true, {100, 300, 256}},
};

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
