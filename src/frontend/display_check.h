#pragma once
// Whether the window SDL opens can be seen at all. Without an X11 or Wayland
// display (DISPLAY unset or naming no reachable server) SDL falls back to a
// video driver that draws into memory only: the game would run with no window
// and no word until it is killed.
#include <string>

// The message (ending in a line break) to stop the start with when `driver`,
// the video driver SDL picked, shows nothing and the player did not name a
// driver (SDL_VIDEODRIVER, as headless runs and the tests do); empty when the
// window can be seen or the player asked for that driver.
std::string unseen_window_error(const std::string& driver, bool driver_named);
