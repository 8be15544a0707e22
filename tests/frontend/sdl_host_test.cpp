// The SDL host on SDL's dummy video driver: the picture it puts in its window
// and the joypad state it reads from the keyboard and a game controller.
#include <gtest/gtest.h>

#include <SDL.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/gb.h"
#include "core/joypad.h"
#include "frontend/controls.h"
#include "frontend/main_loop.h"
#include "frontend/sdl_host.h"

namespace {

class SdlVideo : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("SDL_VIDEODRIVER", "dummy", 0);
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO | SDL_INIT_GAMECONTROLLER), 0) << SDL_GetError();
    }
    void TearDown() override { SDL_Quit(); }
};
const auto* const sdl_video = ::testing::AddGlobalTestEnvironment(new SdlVideo);

}  // namespace

// The frame's 0xAARRGGBB words reach the window in their colours, stretched
// over the whole window: scale s shows each pixel as an s x s square.
TEST(SdlHost, FrameFillsTheWindowInItsColours) {
    std::vector<u32> frame(160 * 144);
    for (int y = 0; y < 144; ++y)
        for (int x = 0; x < 160; ++x) frame[size_t(y * 160 + x)] = 0xFF000000u | u32(x) << 16 | u32(y) << 8 | u32(255 - x);
    for (int scale : {1, 2, 3}) {
        SCOPED_TRACE("scale " + std::to_string(scale));
        SdlHost host;
        SdlHost::WindowSettings settings;
        settings.scale = scale;
        settings.high_dpi = false;
        settings.software_renderer = true;
        std::string error;
        ASSERT_TRUE(host.create_window("test", settings, error)) << error;
        host.update_display(frame.data());
        SDL_Renderer* renderer = SDL_GetRenderer(host.window());
        ASSERT_NE(renderer, nullptr);
        int width = 0, height = 0;
        ASSERT_EQ(SDL_GetRendererOutputSize(renderer, &width, &height), 0);
        ASSERT_EQ(width, 160 * scale);
        ASSERT_EQ(height, 144 * scale);
        std::vector<u32> shown(size_t(width * height));
        ASSERT_EQ(SDL_RenderReadPixels(renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, shown.data(), width * 4), 0)
            << SDL_GetError();
        int wrong = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if ((shown[size_t(y * width + x)] & 0xFFFFFF) != (frame[size_t(y / scale * 160 + x / scale)] & 0xFFFFFF))
                    ++wrong;
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(shown[0] & 0xFFFFFF, 0x0000FFu);
        EXPECT_EQ(shown[size_t(width * height - 1)] & 0xFFFFFF, 0x9F8F60u);
    }
}

// The keyboard (default layout) and the first game controller press the
// joypad's buttons together.
TEST(SdlHost, JoypadStateFromKeyboardAndController) {
    const int index = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_GAMECONTROLLER, 6, SDL_CONTROLLER_BUTTON_MAX, 0);
    ASSERT_GE(index, 0) << SDL_GetError();
    SDL_Joystick* pad = SDL_JoystickOpen(index);
    ASSERT_NE(pad, nullptr) << SDL_GetError();
    SdlHost host;
    host.init_joypad(true);
    int key_count = 0;
    u8* keys = const_cast<u8*>(SDL_GetKeyboardState(&key_count));
    ASSERT_GT(key_count, SDL_SCANCODE_RSHIFT);

    struct Row {
        std::vector<SDL_Scancode> keys;
        std::vector<SDL_GameControllerButton> buttons;
        u8 state;
    };
    const std::vector<Row> rows = {
        {{}, {}, 0x00},
        {{SDL_SCANCODE_RIGHT, SDL_SCANCODE_RETURN}, {}, JOYPAD_RIGHT | JOYPAD_START},
        {{}, {SDL_CONTROLLER_BUTTON_B, SDL_CONTROLLER_BUTTON_DPAD_UP}, JOYPAD_A | JOYPAD_UP},
        {{SDL_SCANCODE_S, SDL_SCANCODE_DOWN}, {SDL_CONTROLLER_BUTTON_A, SDL_CONTROLLER_BUTTON_Y},
         JOYPAD_A | JOYPAD_DOWN | JOYPAD_B | JOYPAD_START},
        {{SDL_SCANCODE_LEFT}, {SDL_CONTROLLER_BUTTON_DPAD_LEFT}, JOYPAD_LEFT},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "expected " << int(r.state));
        for (int b = 0; b < SDL_CONTROLLER_BUTTON_MAX; ++b) SDL_JoystickSetVirtualButton(pad, b, 0);
        for (SDL_GameControllerButton b : r.buttons) SDL_JoystickSetVirtualButton(pad, b, 1);
        SDL_GameControllerUpdate();
        for (SDL_Scancode k : r.keys) keys[k] = 1;
        EXPECT_EQ(host.get_joypad_state(), r.state);
        for (SDL_Scancode k : r.keys) keys[k] = 0;
    }
    host.close();
    SDL_JoystickClose(pad);
    SDL_JoystickDetachVirtual(index);
}

// The picture unit keeps SDL's description of its pixel format.
TEST(SdlHost, DescribesPixelFormats) {
    SdlHost host;
    struct Case {
        Uint32 code;
        int bits;
        Uint32 red_mask;
    };
    for (const Case c : {Case{SDL_PIXELFORMAT_ARGB8888, 32, 0x00FF0000u}, Case{SDL_PIXELFORMAT_RGB565, 16, 0xF800u}}) {
        const auto description = host.describe_pixel_format(c.code);
        ASSERT_NE(description, nullptr);
        const auto* format = static_cast<const SDL_PixelFormat*>(description.get());
        EXPECT_EQ(format->format, c.code);
        EXPECT_EQ(format->BitsPerPixel, c.bits);
        EXPECT_EQ(format->Rmask, c.red_mask);
    }
}

// Whatever became of the window's size while it opened, the main loop gives
// it the size of its scale again once the first frame is shown.
TEST(MainLoop, FirstFrameGivesTheWindowTheSizeOfItsScale) {
    GB gb(1);
    std::vector<u8> rom(0x8000, 0x00);  // NOPs
    gb.cartridge.load_rom_from_memory("test.gb", rom.data(), int(rom.size()));
    ASSERT_TRUE(gb.set_default_device_by_short_string("dmgB"));
    gb.reset();
    SdlHost host;
    SdlHost::WindowSettings settings;
    settings.scale = 2;
    settings.high_dpi = false;
    settings.software_renderer = true;
    std::string error;
    ASSERT_TRUE(host.create_window("test", settings, error)) << error;
    gb.host = &host;
    SDL_SetWindowSize(host.window(), 100, 90);
    Controls controls(gb, [](const std::string&) {});
    controls.request_quit();  // the first frame runs all the same
    const volatile std::sig_atomic_t no_signal = 0;
    const u64 start = gb.cpu.cycles_4mhz;
    run_main_loop(gb, host, controls, no_signal);
    EXPECT_GT(gb.cpu.cycles_4mhz, start);
    int width = 0, height = 0;
    SDL_GetWindowSize(host.window(), &width, &height);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 288);
    gb.host = nullptr;
    host.close();
}
