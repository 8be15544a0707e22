#include <gtest/gtest.h>

#include "test_machine.h"

// The harness itself: a traced opcode fetch lands one M-cycle after the step began.
TEST(TestMachine, TracesTheOpcodeFetchOfEachStep) {
    TestMachine m(RomImage({0x00, 0x00}));
    auto& t = m.trace();
    const u64 start = m.cpu().cpu_cycles;
    m.step(2);
    ASSERT_EQ(t.log_entries.size(), 2u);
    EXPECT_EQ(t.log_entries[0], (BusAccess{start + 4, 0x0100, 0x00, false}));
    EXPECT_EQ(t.log_entries[1], (BusAccess{start + 8, 0x0101, 0x00, false}));
}
