#include "frontend/sdl_host.h"

#include <cstdio>

#include "frontend/controls.h"

namespace {
constexpr int SCREEN_WIDTH = 160;
constexpr int SCREEN_HEIGHT = 144;
constexpr int FRAME_PITCH = SCREEN_WIDTH * 4;  // bytes per frame-buffer row
}  // namespace

SdlHost::~SdlHost() { close(); }

void SdlHost::init_joypad(bool controllers_available) {
    keyboard_state_ = SDL_GetKeyboardState(&keyboard_key_count_);
    if (!controllers_available) return;
    const int count = SDL_NumJoysticks();
    if (count == 0) return;
    std::printf("%d joysticks found\n", count);
    for (int i = 0; i < count; ++i) {
        const char* name = SDL_JoystickNameForIndex(i);
        std::printf("%s\n", name ? name : "");
        if (!SDL_IsGameController(i)) continue;
        std::printf("is a game controller!\n");
        game_controller_ = SDL_GameControllerOpen(i);
        if (game_controller_) break;
        std::printf("failed to open game controller :(\n");
    }
    std::fflush(stdout);
}

bool SdlHost::create_window(const std::string& title, const WindowSettings& settings, std::string& error) {
    scale_ = settings.scale;
    window_ = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, SCREEN_WIDTH * scale_,
                               SCREEN_HEIGHT * scale_, settings.high_dpi ? SDL_WINDOW_ALLOW_HIGHDPI : 0);
    if (!window_) {
        error = std::string("error creating window: ") + SDL_GetError() + "\n";
        return false;
    }
    if (!settings.software_renderer) renderer_ = SDL_CreateRenderer(window_, -1, SDL_RENDERER_ACCELERATED);
    if (!renderer_) renderer_ = SDL_CreateRenderer(window_, -1, SDL_RENDERER_SOFTWARE);
    if (!renderer_) {
        error = std::string("error creating renderer: ") + SDL_GetError() + "\n";
        return false;
    }
    if (SDL_GetRendererOutputSize(renderer_, &actual_width_, &actual_height_) != 0) {
        error = "Couldn't get actual screen size.\n";
        return false;
    }
    // The frame buffer is 0xAARRGGBB words: uploaded as it is, no conversion.
    texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, SCREEN_WIDTH,
                                 SCREEN_HEIGHT);
    if (!texture_) {
        error = std::string("error creating texture: ") + SDL_GetError() + "\n";
        return false;
    }
    return true;
}

void SdlHost::restore_window_size() {
    if (window_) SDL_SetWindowSize(window_, SCREEN_WIDTH * scale_, SCREEN_HEIGHT * scale_);
}

void SdlHost::set_title(const std::string& title) {
    if (window_) SDL_SetWindowTitle(window_, title.c_str());
}

void SdlHost::update_display(const u32* frame) {
    if (!texture_) return;
    SDL_UpdateTexture(texture_, nullptr, frame, FRAME_PITCH);
    // Stretched over the whole output as measured at start-up, aspect ratio
    // not kept (the window is not resizable).
    const SDL_Rect destination{0, 0, actual_width_, actual_height_};
    SDL_RenderCopy(renderer_, texture_, nullptr, &destination);
    SDL_RenderPresent(renderer_);
}

std::shared_ptr<const void> SdlHost::describe_pixel_format(u32 format) {
    SDL_PixelFormat* description = SDL_AllocFormat(format);
    if (!description) return nullptr;
    return std::shared_ptr<const void>(description,
                                       [](const void* p) { SDL_FreeFormat(static_cast<SDL_PixelFormat*>(const_cast<void*>(p))); });
}

u8 SdlHost::get_joypad_state() {
    u8 state = keyboard_state_ ? keyboard_joypad_state(keyboard_state_, keyboard_key_count_) : 0;
    if (game_controller_) {
        state |= controller_joypad_state([this](int button) {
            return SDL_GameControllerGetButton(game_controller_, SDL_GameControllerButton(button)) != 0;
        });
    }
    return state;
}

void SdlHost::check_events(Controls& controls) {
    controls.begin_pass();
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        switch (event.type) {
            case SDL_QUIT:  // also what SIGINT and SIGTERM turn into
                controls.request_quit();
                break;
            case SDL_KEYDOWN:
                controls.key_down(event.key.keysym.scancode);
                break;
            case SDL_KEYUP:
                controls.key_up(event.key.keysym.scancode);
                break;
            default:
                break;
        }
    }
}

void SdlHost::close() {
    if (game_controller_) SDL_GameControllerClose(game_controller_);
    game_controller_ = nullptr;
    // The renderer owns the texture and frees it with itself.
    if (renderer_) SDL_DestroyRenderer(renderer_);
    renderer_ = nullptr;
    texture_ = nullptr;
    if (window_) SDL_DestroyWindow(window_);
    window_ = nullptr;
}
