#include "core/serial.h"

#include <fstream>

#include "core/gb.h"

namespace {
constexpr u8 SC_START = 0x80;
constexpr u8 SC_INTERNAL_CLOCK = 0x01;
}  // namespace

void Serial::register_read_write_handlers(GB* machine) {
    machine->add_io_handlers_for_address(REG_SB - 0xFF00, [this] { return sb; }, [this](u8 v) { sb = v; });
    machine->add_io_handlers_for_address(REG_SC - 0xFF00, [this] { return u8(sc | 0x7E); },
                                         [this](u8 v) { write_sc(v); });
}

void Serial::reset() {
    sb = 0x00;
    sc = 0x7E;
    bits_left = 0;
    sent_bytes.clear();
    // The CPU's own reset recomputes its event minimum afterwards.
    gb->cpu.next_serial_cycle = NEVER;
}

u64 Serial::calculate_next_aligned_serial_transfer_cycle() const {
    return ((gb->cpu.cpu_cycles + 4) & ~u64(511)) + 508;
}

void Serial::update_next_serial_transfer_cycle() {
    const bool shifting = bits_left != 0 && (sc & SC_INTERNAL_CLOCK);
    gb->cpu.set_next_serial_transfer_cycle(shifting ? calculate_next_aligned_serial_transfer_cycle() : NEVER);
}

void Serial::write_sc(u8 value) {
    if (value & SC_START) {
        bits_left = 8;
        sent_bytes.push_back(sb);
    }
    sc = value;
    update_next_serial_transfer_cycle();
}

void Serial::handle_transfer() {
    if (bits_left == 0) {
        // Nothing to shift (only reachable through a restored state): drop the
        // event rather than leave it due forever.
        gb->cpu.set_next_serial_transfer_cycle(NEVER);
        return;
    }
    --bits_left;
    sb = u8((sb << 1) | 1);
    if (bits_left == 0) {
        sc &= u8(~SC_START);
        gb->cpu.flag_interrupt(INT_SERIAL);
        gb->cpu.set_next_serial_transfer_cycle(NEVER);
        return;
    }
    update_next_serial_transfer_cycle();
}

void Serial::write_log() const {
    std::ofstream file("serial-log.bin", std::ios::binary | std::ios::trunc);
    if (!file) return;
    file.write(reinterpret_cast<const char*>(sent_bytes.data()), std::streamsize(sent_bytes.size()));
}
