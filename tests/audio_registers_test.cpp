// Sound registers: read masks, power switching, the CGB PCM registers, wave
// RAM contents after start-up, and the state the boot program leaves.
#include <gtest/gtest.h>

#include "audio_support.h"
#include "core_test_support.h"

namespace {

// Bits that read as 1 whatever was written; 0xFF for write-only and unused
// addresses.
struct RegisterMask {
    u16 address;
    u8 mask;
};
constexpr RegisterMask SOUND_REGISTER_MASKS[] = {
    {NR10, 0x80}, {NR11, 0x3F}, {NR12, 0x00}, {NR13, 0xFF}, {NR14, 0xBF}, {0xFF15, 0xFF},
    {NR21, 0x3F}, {NR22, 0x00}, {NR23, 0xFF}, {NR24, 0xBF}, {NR30, 0x7F}, {NR31, 0xFF},
    {NR32, 0x9F}, {NR33, 0xFF}, {NR34, 0xBF}, {0xFF1F, 0xFF}, {NR41, 0xFF}, {NR42, 0x00},
    {NR43, 0x00}, {NR44, 0xBF}, {NR50, 0x00}, {NR51, 0x00}, {0xFF27, 0xFF}, {0xFF28, 0xFF},
    {0xFF29, 0xFF}, {0xFF2A, 0xFF}, {0xFF2B, 0xFF}, {0xFF2C, 0xFF}, {0xFF2D, 0xFF}, {0xFF2E, 0xFF},
    {0xFF2F, 0xFF},
};

}  // namespace

TEST(AudioRegisters, ReadBackWithTheirUnusedBitsSet) {
    for (const char* model : {"dmgB", "cgbE"}) {
        for (u8 value : {u8(0x00), u8(0xFF), u8(0x5A), u8(0x25)}) {
            for (const RegisterMask& reg : SOUND_REGISTER_MASKS) {
                AudioMachine m(model);
                m.power_cycle();
                m.w(reg.address, value);
                EXPECT_EQ(m.r(reg.address), u8(value | reg.mask))
                    << model << " register " << std::hex << reg.address << " written " << int(value);
            }
        }
    }
}

TEST(AudioRegisters, Nr52ShowsPowerAndPlayingChannels) {
    AudioMachine m;
    m.power_cycle();
    EXPECT_EQ(m.r(NR52), 0xF0);
    m.w(NR52, 0x8F);  // the status bits are read-only
    EXPECT_EQ(m.r(NR52), 0xF0);

    // Each trigger with the DAC on sets that channel's bit.
    for (const ChannelRegs& ch : ALL_CHANNELS) {
        m.w(ch.volume, ch.dac_on);
        m.w(ch.control, 0x80);
        EXPECT_TRUE(m.playing(ch.number)) << "channel " << ch.number;
    }
    EXPECT_EQ(m.r(NR52), 0xFF);

    m.w(NR52, 0x00);
    EXPECT_EQ(m.r(NR52), 0x70);
}

TEST(AudioRegisters, TriggerWithTheDacOffDoesNotStartTheChannel) {
    for (const ChannelRegs& ch : ALL_CHANNELS) {
        AudioMachine m;
        m.power_cycle();
        m.w(ch.volume, 0x00);
        m.w(ch.control, 0x80);
        EXPECT_FALSE(m.playing(ch.number)) << "channel " << ch.number;
        // Switching the DAC off stops a playing channel at once.
        m.w(ch.volume, ch.dac_on);
        m.w(ch.control, 0x80);
        EXPECT_TRUE(m.playing(ch.number)) << "channel " << ch.number;
        m.w(ch.volume, ch.number == 3 ? 0x7F : 0x07);
        EXPECT_FALSE(m.playing(ch.number)) << "channel " << ch.number;
    }
}

TEST(AudioRegisters, PowerOffClearsEveryRegisterAndIgnoresWrites) {
    for (const char* model : {"dmgB", "cgbE"}) {
        AudioMachine m(model);
        m.power_cycle();
        for (const RegisterMask& reg : SOUND_REGISTER_MASKS) m.w(reg.address, 0xFF);
        m.w(NR52, 0x00);
        for (const RegisterMask& reg : SOUND_REGISTER_MASKS) {
            EXPECT_EQ(m.r(reg.address), reg.mask) << model << " register " << std::hex << reg.address;
            m.w(reg.address, 0xFF);
            EXPECT_EQ(m.r(reg.address), reg.mask) << model << " written while off " << std::hex << reg.address;
        }
        EXPECT_EQ(m.r(NR52), 0x70) << model;

        // Wave RAM stays reachable while the unit is off.
        for (int i = 0; i < 16; ++i) m.w(u16(WAVE_RAM + i), u8(i * 17));
        for (int i = 0; i < 16; ++i) EXPECT_EQ(m.r(u16(WAVE_RAM + i)), u8(i * 17)) << model;

        // Back on, the registers are still clear.
        m.w(NR52, 0x80);
        EXPECT_EQ(m.r(NR11), 0x3F) << model;
        EXPECT_EQ(m.r(NR50), 0x00) << model;
        EXPECT_EQ(m.r(NR52), 0xF0) << model;
    }
}

TEST(AudioRegisters, PcmRegistersExistOnlyOnCgbClassModels) {
    for (const char* model : DMG_CLASS_MODELS) {
        AudioMachine m(model);
        m.power_cycle();
        m.w(NR12, 0xF0);
        m.w(NR14, 0x87);
        m.run(64);
        EXPECT_EQ(m.r(PCM12), 0xFF) << model;
        EXPECT_EQ(m.r(PCM34), 0xFF) << model;
    }
    for (const char* model : CGB_CLASS_MODELS) {
        AudioMachine m(model);
        m.power_cycle();
        EXPECT_EQ(m.r(PCM12), 0x00) << model;
        EXPECT_EQ(m.r(PCM34), 0x00) << model;
        m.w(PCM12, 0xFF);  // read-only
        EXPECT_EQ(m.r(PCM12), 0x00) << model;
    }
}

TEST(AudioRegisters, WaveRamAfterStartUpDependsOnTheModel) {
    const u8 dmg_pattern[16] = {0x36, 0xCC, 0x43, 0x3C, 0x39, 0x23, 0x7F, 0x4F,
                                0xFB, 0x0E, 0xC6, 0xCA, 0xD1, 0x62, 0x74, 0xF3};
    for (const char* model : DMG_CLASS_MODELS) {
        AudioMachine m(model);
        for (int i = 0; i < 16; ++i) EXPECT_EQ(m.r(u16(WAVE_RAM + i)), dmg_pattern[i]) << model << " byte " << i;
    }
    // The CGB boot program leaves alternating 00/FF; the first CGB revision
    // leaves wave RAM cleared.
    for (const char* model : CGB_CLASS_MODELS) {
        AudioMachine m(model);
        const bool cleared = std::string(model) == "cgb0";
        for (int i = 0; i < 16; ++i) {
            const u8 expected = cleared ? 0x00 : ((i & 1) ? 0xFF : 0x00);
            EXPECT_EQ(m.r(u16(WAVE_RAM + i)), expected) << model << " byte " << i;
        }
    }
}

// Channel 1 is still marked on after the boot chime; the SGB boot program
// plays no chime, so there it is off.
TEST(AudioRegisters, BootProgramLeavesChannelOneMarkedAndFullVolume) {
    for (const char* model : {"dmg0", "dmgB", "mgb", "sgb", "sgb2", "cgbC", "cgbE", "agb0"}) {
        AudioMachine m(model);
        const bool sgb = std::string(model).rfind("sgb", 0) == 0;
        EXPECT_EQ(m.r(NR52), sgb ? 0xF0 : 0xF1) << model;
        EXPECT_EQ(m.r(NR50), 0x77) << model;
        EXPECT_EQ(m.r(NR51), 0xF3) << model;
        EXPECT_EQ(m.r(NR11), 0xBF) << model;
        EXPECT_EQ(m.r(NR12), 0xF3) << model;
    }
}

TEST(AudioRegisters, MasterRegistersIgnoreWritesWhileOff) {
    AudioMachine m;
    m.power_cycle();
    m.w(NR50, 0x35);
    m.w(NR51, 0xA5);
    m.w(NR52, 0x00);
    m.w(NR50, 0x77);
    m.w(NR51, 0xFF);
    m.w(NR52, 0x80);
    EXPECT_EQ(m.r(NR50), 0x00);
    EXPECT_EQ(m.r(NR51), 0x00);
}

// Length counters and power: a DMG keeps them through power and lets NRx1
// load them while off; a CGB clears them at power-on.
TEST(AudioRegisters, LengthCountersAcrossPowerPerModel) {
    struct Case {
        const char* model;
        bool keeps_length;
    };
    const Case cases[] = {{"dmgB", true}, {"mgb", true}, {"sgb2", true}, {"cgbC", false}, {"cgbE", false}};
    for (const Case& c : cases) {
        for (const ChannelRegs& ch : ALL_CHANNELS) {
            AudioMachine m(c.model);
            m.w(REG_DIV, 0);
            m.w(NR52, 0x00);
            m.w(ch.length, ch.length_value(1));  // written while off
            m.w(NR52, 0x80);
            const u64 start = m.now();
            m.w(ch.volume, ch.dac_on);
            m.w(ch.control, 0xC0);  // trigger with length enabled
            m.run_to(start + SEQ_STEP);
            // A counter of 1 runs out at the first length step; a cleared one
            // was reloaded with the full length at the trigger.
            EXPECT_EQ(m.playing(ch.number), !c.keeps_length) << c.model << " channel " << ch.number;
        }
    }
}
