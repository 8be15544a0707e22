#include "core/serial.h"

#include "core/gb.h"

void Serial::handle_transfer() { gb->cpu.set_next_serial_transfer_cycle(NEVER); }
