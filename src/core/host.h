#pragma once
#include <memory>

#include "core/types.h"

// The seam between the machine and whatever shows its picture and reads its
// buttons. The SDL front end implements it; tests implement it without SDL.
// A machine without a host runs headless: frames are dropped, no button is held.
class Host {
public:
    virtual ~Host() = default;
    // A finished 160x144 frame, row-major 0xAARRGGBB.
    virtual void update_display(const u32* frame) = 0;
    // Joypad state byte: bit 0 Right, 1 Left, 2 Up, 3 Down, 4 A, 5 B,
    // 6 Select, 7 Start; 1 = pressed.
    virtual u8 get_joypad_state() = 0;
    // The graphics library's description of a pixel format code, released
    // when its last holder lets go; null when the host has none.
    virtual std::shared_ptr<const void> describe_pixel_format(u32 format) {
        (void)format;
        return nullptr;
    }
};
