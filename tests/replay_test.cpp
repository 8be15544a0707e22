// Rollback and the joypad input log: a machine rolled back to a cycle stands
// exactly where it stood when it first passed that cycle, and goes on the
// same way; snapshots keep their interval and their limit; input logs turn
// into the recorded changes they describe.
#include <gtest/gtest.h>

#include "state_compare.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "temp_dir.h"
#include "test_machine.h"

namespace {

constexpr u64 FRAME = 70224;

// Waits in `wait` (HALT or STOP, with its second byte) for the joypad
// interrupt, with the action buttons selected; the handler logs LY and DIV
// to work RAM, and the program waits again. The log shows at which line
// every press and release arrived, which depends on the random delay drawn
// for it.
RomImage log_rom(u8 wait) {
    RomImage rom({
        0x3E, 0x10, 0xE0, 0x00,  // P1 = 10: the action buttons
        0x3E, 0x10, 0xE0, 0xFF,  // IE = joypad
        0x21, 0x00, 0xC0,        // LD HL,C000
        0xFB,                    // EI
        wait, 0x00,              // HALT, NOP or STOP
        0x18, 0xFC,              // JR back to it
    });
    rom.place(0x0060, {0xF0, 0x44, 0x22, 0xF0, 0x04, 0x22, 0xD9});  // LY, DIV to (HL+); RETI
    return rom;
}

RomImage joypad_log_rom() { return log_rom(0x76); }

// STOP wakes at a button going down, and the interrupt that comes with the
// wake logs; a press still held when STOP runs halts the CPU instead, until
// the joypad interrupt that the release arms.
RomImage stop_log_rom() { return log_rom(0x10); }

struct HandsOff : Host {
    u8 get_joypad_state() override { return 0; }
    void update_display(const u32*) override {}
};

// Holds A for a while every few frames, by the machine's own clock.
struct ScriptedHost : Host {
    GB* gb = nullptr;
    u8 get_joypad_state() override {
        const u64 frame = gb->cpu.cycles_4mhz / FRAME;
        return (frame % 7 < 3) ? JOYPAD_A : 0;
    }
    void update_display(const u32*) override { ++frames_shown; }
    int frames_shown = 0;
};

struct Player {
    TestMachine machine;
    ScriptedHost host;
    explicit Player(const std::string& model, const RomImage& rom = joypad_log_rom()) : machine(rom, model) {
        host.gb = machine.gb.get();
        machine.gb->host = &host;
        start = machine.gb->cpu.cycles_4mhz;
    }
    GB& gb() { return *machine.gb; }
    // As the program's main loop does: a frame, then a snapshot when due.
    // Cycles counted from the end of the reset.
    u64 start = 0;
    void play_until(u64 cycle) {
        while (gb().cpu.cycles_4mhz < start + cycle) {
            gb().run_frame();
            gb().check_if_save_state_needed();
        }
    }
};

// A second machine that runs the same frames without ever being stopped.
std::string uninterrupted_state_at(const std::string& model, u64 cycle, const RomImage& rom = joypad_log_rom()) {
    Player p(model, rom);
    p.gb().run_turbo_to_cycle(p.start + cycle, false);
    return p.gb().save_state();
}

}  // namespace

TEST(Rollback, TheMachineStandsWhereItStoodAndGoesOnTheSameWay) {
    struct Row {
        const char* model;
        u64 target;  // where to roll back to
    };
    const Row rows[] = {
        {"dmgB", 150 * FRAME + 12345},  // from a snapshot
        {"cgbE", 150 * FRAME + 777},
        {"dmgB", 10 * FRAME + 999},     // from the first snapshot
        {"cgbE", 777},                  // before any snapshot: from the reset
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.model) + " to cycle " + std::to_string(r.target));
        Player p(r.model);
        p.play_until(200 * FRAME);
        ASSERT_GE(p.gb().saved_states.size(), 10u);
        const u64 end = p.gb().cpu.cycles_4mhz - p.start;
        ASSERT_TRUE(p.gb().rollback_to(p.start + r.target));
        EXPECT_GE(p.gb().cpu.cycles_4mhz, p.start + r.target);
        EXPECT_TRUE(same_state(p.gb().save_state(), uninterrupted_state_at(r.model, r.target)));
        for (const auto& shot : p.gb().saved_states) EXPECT_LT(shot->cycle, p.start + r.target);
        // The recorded presses replay the rest of the way.
        p.gb().run_turbo_to_cycle(p.start + end, false);
        EXPECT_TRUE(same_state(p.gb().save_state(), uninterrupted_state_at(r.model, end)));
        // The handler logged every joypad interrupt on its way.
        EXPECT_NE(p.gb().wram[0x0000], 0xFF);
    }
}

// The wakes from STOP come from the recorded buttons: a rollback replays
// every one of them at its cycle with the player's hands off the keys.
TEST(Rollback, WakesFromStopReplayFromTheRecordAlone) {
    for (const char* model : {"dmgB", "cgbE"}) {
        SCOPED_TRACE(model);
        Player p(model, stop_log_rom());
        p.play_until(100 * FRAME);
        const u64 end = p.gb().cpu.cycles_4mhz - p.start;
        ASSERT_GE(p.gb().cpu.hl, 0xC000 + 2 * 6) << "the program woke and logged";
        // Only the snapshots of the first 30 frames stay: the replay runs
        // through many presses.
        auto& shots = p.gb().saved_states;
        while (!shots.empty() && shots.back()->cycle >= p.start + 30 * FRAME) shots.pop_back();
        ASSERT_GE(shots.size(), 2u);
        HandsOff hands_off;
        p.gb().host = &hands_off;
        ASSERT_TRUE(p.gb().rollback_to(p.start + end));
        EXPECT_TRUE(same_state(p.gb().save_state(), uninterrupted_state_at(model, end, stop_log_rom())));
    }
}

TEST(Rollback, SnapshotsAreTakenEveryIntervalUpToTheLimit) {
    Player p("dmgB");
    auto& shots = p.gb().saved_states;
    p.play_until(40 * FRAME);
    ASSERT_GE(shots.size(), 2u);
    for (size_t i = 1; i < shots.size(); ++i) {
        EXPECT_GT(shots[i]->cycle - shots[i - 1]->cycle, GB::SNAPSHOT_INTERVAL);
        EXPECT_LT(shots[i]->cycle - shots[i - 1]->cycle, GB::SNAPSHOT_INTERVAL + 2 * FRAME);
    }
    // Past the limit the oldest go first.
    while (shots.size() < GB::MAX_SNAPSHOTS) shots.insert(shots.begin(), shots.front());
    const auto second_oldest = shots[1];
    p.play_until(p.gb().cpu.cycles_4mhz + GB::SNAPSHOT_INTERVAL + 2 * FRAME);
    EXPECT_EQ(shots.size(), GB::MAX_SNAPSHOTS);
    EXPECT_EQ(shots.front(), second_oldest);
}

// Wherever the rollback lands, in the middle of the record, before its first
// change or between its last two, exactly the changes up to the present are
// left, none of the future, and the record the player goes on with stays in
// cycle order.
TEST(Rollback, APlayerTakingOverAfterARollbackKeepsTheRecordInCycleOrder) {
    struct Row {
        const char* where;
        size_t (*past)(size_t changes);  // the changes before the target
    };
    const Row rows[] = {
        {"in the middle", [](size_t changes) { return changes / 2; }},
        {"before the first change", [](size_t) { return size_t{0}; }},
        {"before the last change", [](size_t changes) { return changes - 1; }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.where);
        Player p("dmgB");
        p.play_until(100 * FRAME);
        const auto played = p.gb().joypad_states;
        ASSERT_GE(played.size(), 3u);
        // Half way from the last change to stay (or the start) to the first to go.
        const size_t past = r.past(played.size());
        const u64 from = past == 0 ? p.start : played[past - 1].cycle;
        ASSERT_TRUE(p.gb().rollback_to(from + (played[past].cycle - from) / 2));
        p.gb().discard_future_joypad_states();
        const u64 now = p.gb().cpu.cycles_4mhz;
        std::vector<std::pair<u64, u8>> kept, expected;
        for (const auto& s : p.gb().joypad_states) kept.emplace_back(s.cycle, s.state);
        for (const auto& s : played)
            if (s.cycle <= now) expected.emplace_back(s.cycle, s.state);
        ASSERT_EQ(expected.size(), past) << "the rollback landed at cycle " << now;
        EXPECT_EQ(kept, expected);
        p.gb().set_joypad_replay_mode(false);
        p.play_until(now - p.start + 20 * FRAME);
        const auto& record = p.gb().joypad_states;
        ASSERT_GE(record.size(), 2u);
        for (size_t i = 1; i < record.size(); ++i) EXPECT_LT(record[i - 1].cycle, record[i].cycle);
        EXPECT_LE(record.back().cycle, p.gb().cpu.cycles_4mhz);
    }
}

TEST(JoypadInputLog, PairsBecomeRecordedChangesAndStartTheReplay) {
    TempDir dir;
    const std::string path = dir.prefix() + "moves.gbi";
    std::ofstream(path) << "3B4 01\n3B5 80\r\n  5 10\t400 8\n3B6\n";
    TestMachine m(RomImage{}, "dmgB");
    GB& gb = *m.gb;
    gb.joypad_states.clear();
    std::string error;
    ASSERT_TRUE(gb.try_load_gbi(path, &error)) << error;
    struct Change {
        u64 cycle;
        u8 state;
    };
    // Time A is cycle (A << 10) - 970752, never before cycle 0; the buttons
    // have the action keys in the high nibble of the file.
    const Change expected[] = {{0, JOYPAD_A}, {1024, JOYPAD_DOWN}, {0, JOYPAD_RIGHT}, {0x100000 - 970752, JOYPAD_START}};
    ASSERT_EQ(gb.joypad_states.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(gb.joypad_states[i].cycle, expected[i].cycle) << i;
        EXPECT_EQ(gb.joypad_states[i].state, expected[i].state) << i;
    }
    EXPECT_TRUE(gb.replay_mode);
    EXPECT_EQ(gb.replay_index, 1u);

    EXPECT_FALSE(gb.try_load_gbi(dir.prefix() + "missing.gbi", &error));
    EXPECT_EQ(error, "GBI not found: " + dir.prefix() + "missing.gbi");
    EXPECT_FALSE(gb.try_load_gbi(dir.prefix(), &error));  // a folder is no log
}

// The log's size is checked before anything is read: a file over the limit
// adds nothing to the record, whatever it holds.
TEST(JoypadInputLog, ALogLargerThanAnyPlaySessionIsRefusedAndAddsNothing) {
    struct Row {
        u64 size;
        bool loads;
    };
    const Row rows[] = {{GB::MAX_INPUT_LOG_BYTES, true}, {GB::MAX_INPUT_LOG_BYTES + 1, false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.size);
        TempDir dir;
        const std::string path = dir.prefix() + "moves.gbi";
        // One pair, then zero bytes (a sparse file), which end its last word.
        std::ofstream(path) << "3B5 80";
        std::filesystem::resize_file(path, r.size);
        TestMachine m(RomImage{}, "dmgB");
        GB& gb = *m.gb;
        gb.joypad_states.assign(1, {JOYPAD_B, 77});
        std::string error;
        EXPECT_EQ(gb.try_load_gbi(path, &error), r.loads);
        EXPECT_EQ(gb.joypad_states.size(), r.loads ? 2u : 1u);
        EXPECT_EQ(gb.joypad_states.front().cycle, 77u);
        EXPECT_EQ(gb.replay_mode, r.loads);
        if (!r.loads) {
            EXPECT_EQ(error, "GBI too large: " + path + " (a joypad input log may be at most 32 MiB)");
        }
    }
}

// Loading a log of two million changes under a limit of 8 bytes of memory per
// byte of log: a change is kept in a few bytes, with no allocation of its own.
TEST(JoypadInputLog, ALongLogTakesAFewBytesOfMemoryAChange) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers reserve address space of their own";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "the sanitizers reserve address space of their own";
#endif
#endif
    constexpr size_t CHANGES = 2000000;
    TempDir dir;
    const std::string path = dir.prefix() + "long.gbi";
    std::string text;
    for (size_t i = 0; i < CHANGES; ++i) text += "0 0\n";
    std::ofstream(path) << text;
    const u64 budget = 8 * text.size();
    text = {};
    TestMachine m(RomImage{}, "dmgB");
    m.gb->joypad_states.clear();
    m.gb->joypad_states.shrink_to_fit();
    const pid_t pid = ::fork();
    if (pid == 0) {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t limit = rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + budget;
        const rlimit small{limit, limit};
        if (::setrlimit(RLIMIT_AS, &small) != 0) ::_exit(3);
        try {
            const bool ok = m.gb->try_load_gbi(path) && m.gb->joypad_states.size() == CHANGES;
            ::_exit(ok ? 0 : 1);
        } catch (const std::bad_alloc&) {
            ::_exit(2);
        }
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "child status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: wrong record, 2: out of memory, 3: no limit";
}
