#include "cpu/cpu.h"
#include "cpu/cpu_inline.h"

void CPU::execute(u8) { pc = u16(pc + 1); }
void CPU::execute_cb() {}
