#include "frontend/display_check.h"

#include <algorithm>
#include <iterator>

namespace {
// SDL 2's video drivers that put nothing on a screen: the offscreen one
// (renders into memory), the dummy one and its twin with evdev input.
constexpr const char* UNSEEN_DRIVERS[] = {"offscreen", "dummy", "evdev"};
}  // namespace

std::string unseen_window_error(const std::string& driver, bool driver_named) {
    if (driver_named) return "";
    const bool unseen = std::any_of(std::begin(UNSEEN_DRIVERS), std::end(UNSEEN_DRIVERS),
                                    [&](const char* name) { return driver == name; });
    if (!unseen) return "";
    return "No display to show the window on: there is no X11 or Wayland display (DISPLAY and WAYLAND_DISPLAY "
           "name none that answers), so SDL chose its \"" +
           driver +
           "\" video driver, which shows nothing. Start zembrix from a desktop session, or set "
           "SDL_VIDEODRIVER to run it on a driver of your choice.\n";
}
