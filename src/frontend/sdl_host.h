#pragma once
// The machine's host on SDL: one window with a 160x144 streaming texture
// stretched over it, the keyboard and the first game controller.
#include <SDL.h>

#include <string>

#include "core/host.h"

class Controls;

class SdlHost : public Host {
public:
    SdlHost() = default;
    SdlHost(const SdlHost&) = delete;
    SdlHost& operator=(const SdlHost&) = delete;
    ~SdlHost() override;

    // Takes SDL's key-state array and opens the first game controller that
    // opens; needs the game-controller subsystem for the controller part.
    void init_joypad(bool controllers_available);

    struct WindowSettings {
        int scale = 3;
        bool high_dpi = true;
        bool software_renderer = false;
    };
    // Creates the window, its renderer (the software one when asked for, or
    // when no accelerated one can be had) and the frame texture. On failure
    // returns false with the message to print in `error`.
    bool create_window(const std::string& title, const WindowSettings& settings, std::string& error);
    // Sets the window to 160x144 times the scale again (after the first frame).
    void restore_window_size();
    void set_title(const std::string& title);

    // Drains SDL's event queue into the controls.
    void check_events(Controls& controls);

    void update_display(const u32* frame) override;
    u8 get_joypad_state() override;
    std::shared_ptr<const void> describe_pixel_format(u32 format) override;

    // Closes the controller, renderer and window, in that order.
    void close();

    SDL_Window* window() const { return window_; }

private:
    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    SDL_Texture* texture_ = nullptr;
    SDL_GameController* game_controller_ = nullptr;
    const Uint8* keyboard_state_ = nullptr;
    int keyboard_key_count_ = 0;
    int actual_width_ = 0;
    int actual_height_ = 0;
    int scale_ = 3;
};
