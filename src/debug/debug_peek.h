#pragma once
// The debugger's view of the bus: what a CPU read of the address would
// return now, without any of a read's side effects. A listing or an access
// prediction that shows FF00 must not record input or arm the joypad
// interrupt, and one that shows STAT must not latch its coincidence bit.
#include "core/types.h"

class GB;

u8 debug_peek_byte(GB& gb, u16 address);
// Little-endian, the second byte at address + 1 (wrapping at 0xFFFF).
u16 debug_peek_word(GB& gb, u16 address);
