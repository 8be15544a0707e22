#pragma once
// The program's command line: options anywhere, the ROM path always last,
// and never an option or an option's value.
// Free of SDL so that the grammar can be checked without a window.
#include <string>
#include <vector>

class GB;

// Window scale factors the program accepts.
inline constexpr int MIN_SCALE = 1;
inline constexpr int MAX_SCALE = 16;
inline constexpr int DEFAULT_SCALE = 3;

// The argument tokens after the program name, empty ones dropped. Options are
// matched as whole tokens, case-sensitively.
class InputParser {
public:
    explicit InputParser(std::vector<std::string> arguments);
    InputParser(int argc, const char* const* argv);

    bool cmdOptionExists(const std::string& option) const;
    // The token right after the first `option`; empty when the option is
    // absent or is the last token.
    const std::string& getCmdOption(const std::string& option) const;
    // The last token, or empty when there is none.
    const std::string& getLastParameter() const;
    const std::vector<std::string>& tokens() const { return tokens_; }

private:
    std::vector<std::string> tokens_;
};

struct FrontendOptions {
    bool use_software_renderer = false;  // -soft
    bool force_dmg = false;              // -dmg
    bool force_cgb = false;              // -cgb
    bool turbo = false;                  // -turbo
    bool disable_high_dpi = false;       // -disable_high_dpi
    bool ignore_boot_roms = false;       // -ignore_boot_roms
    int scale = DEFAULT_SCALE;           // -scale N
    std::string device;                  // -dev NAME, a model's short name; empty keeps the model the cartridge asks for
    std::string input_log;               // -gbi PATH: a joypad input log to replay
    std::string rom_path;                // the last token; never empty in a usable line
};

struct CommandLine {
    FrontendOptions options;
    // -h or --help anywhere: print the usage text and exit 0.
    bool help = false;
    // Empty when the line is usable; otherwise the message (ending in a line
    // break) to print before giving up with exit code 1: an unknown option, a
    // missing or wrong value, a -dev that names no model, no ROM path.
    std::string error;
};

CommandLine parse_command_line(const InputParser& parser);

// Puts the model options into the machine before its ROM is loaded: "-dev"
// first, then "-cgb", then "-dmg", so "-dmg" wins over both. Returns false,
// leaving the model untouched, when "-dev" names no model (which a line
// parse_command_line accepted never does).
bool apply_model_options(GB& gb, const FrontendOptions& options);

// The rest of what the program sets in the machine before loading the ROM:
// the grey DMG shades, always, and the player's turbo from "-turbo".
void apply_machine_settings(GB& gb, const FrontendOptions& options);

// "Unknown device: NAME" and a line break.
std::string unknown_device_message(const std::string& name);

// What the program accepts: shown for -h and --help, and after a wrong line.
std::string usage_text();
