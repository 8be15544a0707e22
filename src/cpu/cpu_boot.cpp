// The state each model's boot program leaves when it hands over to the
// cartridge at 0x0100, for machines started without a boot ROM image.
#include <array>

#include "cpu/cpu.h"
#include "cpu/cpu_inline.h"

namespace {

struct DmgHandover {
    u16 af, bc, de, hl;
    u64 cycles;       // T-cycles the boot program takes
    int residue_at;   // first of the three bytes in hram_residue it leaves at FFFA-FFFC
};

constexpr DmgHandover dmg_handover(int model) {
    switch (model) {
        case MODEL_DMG0: return {0x0100, 0xFF13, 0x00C1, 0x8403, 24844328, 0};
        case MODEL_MGB: return {0xFFB0, 0x0013, 0x00D8, 0x014D, 23440324, 3};
        case MODEL_SGB: return {0x0100, 0x0014, 0x0000, 0xC060, 1955912, 6};
        case MODEL_SGB2: return {0xFF00, 0x0014, 0x0000, 0xC060, 1955912, 6};
        default: return {0x01B0, 0x0013, 0x00D8, 0x014D, 23440324, 3};  // dmgA, dmgB, dmgC
    }
}

// The CGB boot program takes a different path, and time, for colour and for
// monochrome cartridges.
constexpr u64 CGB_COLOUR_CYCLES = 13049496;
constexpr u64 CGB_MONO_CYCLES = 13051504;
constexpr u64 CGB0_EXTRA_CYCLES = 524;
constexpr u64 AGB_EXTRA_CYCLES = 4;
constexpr int CGB_RESIDUE_AT = 9;
constexpr int AGB_RESIDUE_AT = 20;

}  // namespace

void CPU::emulate_boot_rom() {
    GB& m = *gb;
    // The header is read from the cartridge itself: a boot image overlaying
    // these addresses is not running, so it must not answer.
    auto header = [&m](int offset) { return m.cartridge.header_byte(offset); };

    if (m.is_dmg) {
        const DmgHandover h = dmg_handover(m.device);
        af = h.af;
        bc = h.bc;
        de = h.de;
        hl = h.hl;
        cpu_cycles = h.cycles;
        for (int i = 0; i < 3; ++i) m.write_byte(u16(0xFFFA + i), hram_residue[h.residue_at + i]);
    } else {
        af = 0x1180;
        bc = 0x0000;
        de = 0xFF56;
        hl = 0x000D;
        for (int i = 0; i < HEADER_LOGO_SIZE; ++i) m.write_byte(u16(0xFF80 + i), header(HEADER_LOGO + i));
        const int residue_at = m.device == MODEL_AGB0 ? AGB_RESIDUE_AT : CGB_RESIDUE_AT;
        for (int i = 0; i < 11; ++i) m.write_byte(u16(0xFFF2 + i), hram_residue[residue_at + i]);
        const u8 cgb_flag = header(HEADER_CGB_FLAG);
        if (cgb_flag & 0x80) {
            cpu_cycles = CGB_COLOUR_CYCLES;
            m.write_byte(REG_KEY0, cgb_flag);
            m.write_byte(REG_OPRI, 0x01);
        } else {
            cpu_cycles = CGB_MONO_CYCLES;
            m.write_byte(REG_KEY0, KEY0_DMG_COMPAT);
            m.write_byte(REG_OPRI, 0x00);
        }
        if (m.device == MODEL_CGB0) cpu_cycles += CGB0_EXTRA_CYCLES;
        if (m.device == MODEL_AGB0) {
            cpu_cycles += AGB_EXTRA_CYCLES;
            set_b(0x01);
            set_f(0x00);
        }
        if (m.key0 == KEY0_DMG_COMPAT) {
            m.set_cgb_to_dmg_mode();
            de = 0x0008;
            hl = 0x007C;
        }
    }

    m.boot_rom_mapped = false;
    sp = 0xFFFE;
    pc = 0x0100;
    cycles_4mhz = cpu_cycles;
    m.audio.clocks_set();
    next_oam_dma_cycle = NEVER;

    m.timer.set_boot_rom_values();
    m.ppu.set_boot_rom_values();
    m.joypad.set_boot_rom_values();
    m.audio.set_boot_rom_values();

    ie = 0x00;
    if_reg = 0xE1;
    pending_interrupts = 0;
    ime = 0;
    halted = false;
    halt_bug = false;
    halt_entered = false;
    recompute_next_cpu_event();
    recompute_next_4mhz_event();
}
