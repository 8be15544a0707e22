#pragma once
// The program's main loop: one frame of the machine per pass, the events and
// hotkeys after it, and the pacing when nothing else holds the machine to
// the LCD's frame rate.
#include <csignal>

class Controls;
class GB;
class SdlHost;

// Runs frames until the player quits (or `quit_signal` is set). The first
// frame always runs, and after it the window takes the size of its scale
// again.
void run_main_loop(GB& gb, SdlHost& host, Controls& controls, const volatile std::sig_atomic_t& quit_signal);
