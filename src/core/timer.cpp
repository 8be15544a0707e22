#include "core/timer.h"

#include "core/gb.h"

void Timer::update() { gb->cpu.set_next_timer_update_cycle(NEVER); }
