// zembrix [options] ROM: the program. Sets SDL up, builds the machine, applies
// the command line, loads the boot ROM images and the ROM, opens the window
// and runs one frame per pass of the main loop until the player quits.
#include <SDL.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include "core/gb.h"
#include "frontend/command_line.h"
#include "frontend/controls.h"
#include "frontend/display_check.h"
#include "frontend/main_loop.h"
#include "frontend/sdl_host.h"

namespace {

// The one machine; it lives until the process ends.
GB* gb = nullptr;

// Set by SIGHUP (the terminal was closed) and SIGQUIT. SDL turns SIGINT and
// SIGTERM into a quit event itself; these two would otherwise end the
// process on the spot, without writing the battery RAM.
volatile std::sig_atomic_t quit_signal = 0;

extern "C" void on_quit_signal(int) { quit_signal = 1; }

void catch_quit_signals() {
    struct sigaction action {};
    action.sa_handler = on_quit_signal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGHUP, SIGQUIT}) {
        // Started under nohup (SIGHUP ignored), the program keeps running
        // when its terminal goes away, as asked.
        struct sigaction current {};
        if (::sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        ::sigaction(signal_number, &action, nullptr);
    }
    // A message written to a closed terminal or pipe, or past a file-size
    // limit (ulimit -f) on the file the output is appended to, must not end
    // the program before the saves are written: the write just fails, and
    // the message is lost.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

// Every message ends its line, so the shell's prompt starts on a line of its own.
void print(const std::string& text) {
    std::cout << text;
    if (text.empty() || text.back() != '\n') std::cout << '\n';
    std::cout << std::flush;
}

void print_usage() { std::cerr << usage_text() << std::flush; }

// Loads every boot ROM slot's image from the program's directory. Slots whose
// file is missing or has the wrong size stay empty.
void load_boot_roms() {
    char* base = SDL_GetBasePath();
    if (!base) {
        print(std::string("Boot ROM images not loaded: the program's directory is unknown (") + SDL_GetError() +
              ")\n");
        return;
    }
    const std::string directory(base);
    SDL_free(base);
    for (auto& slot : gb->boot_roms) slot->load_default(directory);
}

}  // namespace

int main(int argc, char* argv[]) {
    // Standard output goes out line by line wherever it leads (a pipe or a
    // file too, not only a terminal): each message is there as it is printed,
    // not when the program ends.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    const InputParser parser(argc, argv);
    catch_quit_signals();

    // The line is read and judged before SDL starts: the usage text needs no
    // display, and a wrong line is reported as such wherever the program runs.
    const CommandLine line = parse_command_line(parser);
    if (line.help) {
        std::cout << usage_text() << std::flush;
        return 0;
    }
    if (!line.error.empty()) {
        print(line.error);
        print_usage();
        return 1;
    }
    const FrontendOptions& options = line.options;

    // Video (with events, which also turns SIGINT and SIGTERM into a quit
    // request) is what the program cannot do without. Sound and controllers
    // are optional: without them it runs silent or keyboard-only.
    if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_VIDEO) != 0) {
        print(std::string("error initializing SDL: ") + SDL_GetError() + "\n");
        return 1;
    }
    // Before any game is loaded, so its battery files are not touched.
    const char* driver = SDL_GetCurrentVideoDriver();
    const char* named_driver = SDL_GetHint(SDL_HINT_VIDEODRIVER);
    const std::string unseen = unseen_window_error(driver ? driver : "", named_driver && *named_driver);
    if (!unseen.empty()) {
        print(unseen);
        SDL_Quit();
        return 1;
    }
    const bool controllers_available = SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) == 0;
    if (!controllers_available)
        print(std::string("Failed to initialize game controllers: ") + SDL_GetError() + "\n");

    static SdlHost host;
    host.init_joypad(controllers_available);

    gb = new GB(1);
    // Brings the audio subsystem up itself; on failure it says so and the
    // machine runs silent, paced by the main loop.
    gb->audio.open_device();

    if (!apply_model_options(*gb, options)) {
        print(unknown_device_message(options.device));
        print_usage();
        SDL_Quit();
        return 1;
    }

    if (!options.ignore_boot_roms) load_boot_roms();

    apply_machine_settings(*gb, options);
    gb->load_rom(options.rom_path);  // an unreadable ROM ends the process here
    // An unreadable log ends the process too, once the battery RAM is kept.
    if (!options.input_log.empty()) gb->load_gbi(options.input_log);

    SdlHost::WindowSettings settings;
    settings.scale = options.scale;
    settings.high_dpi = !options.disable_high_dpi;
    settings.software_renderer = options.use_software_renderer;
    std::string error;
    if (!host.create_window(generate_window_title(), settings, error)) {
        print(error);
        gb->shutdown();  // the battery RAM and clock are kept on every way out
        host.close();
        SDL_Quit();
        return 1;
    }
    gb->host = &host;

    Controls controls(*gb, [](const std::string& title) { host.set_title(title); });
    run_main_loop(*gb, host, controls, quit_signal);

    // A battery RAM or clock file that could not be written where the game
    // looks for it has been reported; the exit status tells scripts and
    // launchers too.
    const bool saved = gb->shutdown();
    gb->host = nullptr;
    gb->audio.close_device();
    host.close();
    SDL_Quit();
    return saved ? 0 : 1;
}
