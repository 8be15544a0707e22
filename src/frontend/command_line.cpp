#include "frontend/command_line.h"

#include <algorithm>
#include <charconv>

#include "core/gb.h"
#include "core/models.h"

namespace {
const std::string EMPTY;

// Every option the program takes, whether the token after it is its value,
// and for the switches the setting they turn on.
struct OptionName {
    const char* name;
    bool takes_value;
    bool FrontendOptions::*flag;
};
constexpr OptionName OPTIONS[] = {
    {"-soft", false, &FrontendOptions::use_software_renderer},
    {"-dmg", false, &FrontendOptions::force_dmg},
    {"-cgb", false, &FrontendOptions::force_cgb},
    {"-turbo", false, &FrontendOptions::turbo},
    {"-disable_high_dpi", false, &FrontendOptions::disable_high_dpi},
    {"-ignore_boot_roms", false, &FrontendOptions::ignore_boot_roms},
    {"-scale", true, nullptr},
    {"-dev", true, nullptr},
    {"-gbi", true, nullptr},
    {"-h", false, nullptr},
    {"--help", false, nullptr},
};

const OptionName* find_option(const std::string& token) {
    for (const OptionName& option : OPTIONS)
        if (token == option.name) return &option;
    return nullptr;
}

// A scale is a plain decimal number; anything else (signs, spaces, trailing
// letters, numbers too long for 64 bits) is rejected.
bool parse_scale(const std::string& text, int& scale) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    unsigned long long value = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (status != std::errc() || end != text.data() + text.size()) return false;
    if (value < MIN_SCALE || value > MAX_SCALE) return false;
    scale = int(value);
    return true;
}

std::string scale_range() {
    return "a whole number from " + std::to_string(MIN_SCALE) + " to " + std::to_string(MAX_SCALE);
}

std::string missing_value_message(const std::string& option) {
    if (option == "-scale") return "Missing value for -scale: give " + scale_range() + ".\n";
    if (option == "-gbi") return "Missing value for -gbi: give the joypad input log's path before the ROM.\n";
    return "Missing value for -dev: give the name of a model.\n";
}

bool is_model_name(const std::string& name) {
    return std::any_of(MODELS.begin(), MODELS.end(), [&](const ModelInfo& model) { return model.short_name == name; });
}
}  // namespace

InputParser::InputParser(std::vector<std::string> arguments) {
    for (auto& argument : arguments)
        if (!argument.empty()) tokens_.push_back(std::move(argument));
}

InputParser::InputParser(int argc, const char* const* argv)
    : InputParser(argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>()) {}

bool InputParser::cmdOptionExists(const std::string& option) const {
    return std::find(tokens_.begin(), tokens_.end(), option) != tokens_.end();
}

const std::string& InputParser::getCmdOption(const std::string& option) const {
    auto it = std::find(tokens_.begin(), tokens_.end(), option);
    if (it == tokens_.end() || ++it == tokens_.end()) return EMPTY;
    return *it;
}

const std::string& InputParser::getLastParameter() const { return tokens_.empty() ? EMPTY : tokens_.back(); }

CommandLine parse_command_line(const InputParser& parser) {
    CommandLine line;
    line.help = parser.cmdOptionExists("-h") || parser.cmdOptionExists("--help");
    if (line.help) return line;
    const std::vector<std::string>& tokens = parser.tokens();
    // One walk from the left: an option that takes a value takes the token
    // after it, whatever that looks like, and that token is neither an option
    // nor the ROM; the ROM is the last token when it is neither. The first of
    // a repeated option counts.
    FrontendOptions& o = line.options;
    const std::string* scale = nullptr;
    const std::string* device = nullptr;
    const std::string* log = nullptr;
    bool log_is_last = false;
    bool rom_given = false;
    for (size_t i = 0; i < tokens.size(); ++i) {
        const bool last = i + 1 == tokens.size();
        const OptionName* option = find_option(tokens[i]);
        if (!option) {
            // Before the ROM's place, a token that looks like an option must be one.
            if (!last && tokens[i][0] == '-') {
                line.error = "Unknown option: " + tokens[i] + "\n";
                return line;
            }
            rom_given = last;
            continue;
        }
        if (!option->takes_value) {
            if (option->flag) o.*(option->flag) = true;
            continue;
        }
        if (last) {
            line.error = missing_value_message(option->name);
            return line;
        }
        const std::string* value = &tokens[++i];
        const std::string name = option->name;
        if (name == "-scale" && !scale) scale = value;
        if (name == "-dev" && !device) device = value;
        if (name == "-gbi" && !log) {
            log = value;
            log_is_last = i + 1 == tokens.size();
        }
    }
    if (scale && !parse_scale(*scale, o.scale)) {
        line.error = "Invalid value for -scale: \"" + *scale + "\" (give " + scale_range() + ").\n";
        return line;
    }
    // The log's path comes right after the option, never in the ROM's place.
    if (log_is_last) {
        line.error = missing_value_message("-gbi");
        return line;
    }
    if (log) o.input_log = *log;
    if (device && !is_model_name(*device)) {
        line.error = unknown_device_message(*device);
        return line;
    }
    if (device) o.device = *device;
    if (!rom_given) {
        line.error = "No ROM filename found.\n";
        return line;
    }
    o.rom_path = tokens.back();
    return line;
}

bool apply_model_options(GB& gb, const FrontendOptions& options) {
    if (!options.device.empty() && !gb.set_default_device_by_short_string(options.device)) return false;
    // The model is resolved from requested_device when the ROM is loaded.
    if (options.force_cgb) gb.requested_device = gb.default_cgb_device;
    if (options.force_dmg) gb.requested_device = gb.default_dmg_device;
    return true;
}

void apply_machine_settings(GB& gb, const FrontendOptions& options) {
    gb.grey_shades = true;  // read when the ROM's reset builds the colours
    gb.player_turbo = options.turbo;
}

std::string unknown_device_message(const std::string& name) { return "Unknown device: " + name + "\n"; }

std::string usage_text() {
    std::string models;
    for (const ModelInfo& model : MODELS) {
        if (!models.empty()) models += ' ';
        models += model.short_name;
    }
    return "usage: zembrix [options] ROM   (the ROM path is always the last argument)\n"
           "  -dmg               run on the default DMG model (" +
           std::string(MODELS[DEFAULT_DMG_DEVICE].short_name) +
           "); wins over -cgb and -dev\n"
           "  -cgb               run on the default CGB model (" +
           std::string(MODELS[DEFAULT_CGB_DEVICE].short_name) +
           "); wins over -dev\n"
           "  -dev NAME          run on the model NAME, one of:\n"
           "                     " +
           models +
           "\n"
           "  -scale N           window scale, " +
           std::to_string(MIN_SCALE) + " to " + std::to_string(MAX_SCALE) + " (default " +
           std::to_string(DEFAULT_SCALE) +
           ")\n"
           "  -turbo             start in turbo (run as fast as possible)\n"
           "  -soft              use the software renderer\n"
           "  -disable_high_dpi  create the window without high-DPI support\n"
           "  -ignore_boot_roms  load no boot ROM images\n"
           "  -gbi PATH          replay the joypad input log PATH (pairs of hexadecimal time\n"
           "                     and buttons); the keyboard takes over where it ends\n"
           "  -h, --help         show this text and exit\n";
}
