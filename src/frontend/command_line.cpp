#include "frontend/command_line.h"

#include <algorithm>
#include <charconv>

#include "core/gb.h"
#include "core/models.h"

namespace {
const std::string EMPTY;

// Every option the program takes, and whether the token after it is its value.
struct OptionName {
    const char* name;
    bool takes_value;
};
constexpr OptionName OPTIONS[] = {
    {"-soft", false},  {"-dmg", false},     {"-cgb", false},  {"-turbo", false},
    {"-disable_high_dpi", false},           {"-ignore_boot_roms", false},
    {"-scale", true},  {"-dev", true},      {"-gbi", true},   {"-h", false},
    {"--help", false},
};

const OptionName* find_option(const std::string& token) {
    for (const OptionName& option : OPTIONS)
        if (token == option.name) return &option;
    return nullptr;
}

// The first token before the ROM path that looks like an option and is none;
// empty when there is none. The values of the options that take one are
// skipped, whatever they look like.
std::string first_unknown_option(const std::vector<std::string>& tokens) {
    for (size_t i = 0; i + 1 < tokens.size(); ++i) {
        const OptionName* option = find_option(tokens[i]);
        if (option) {
            if (option->takes_value) ++i;
        } else if (tokens[i][0] == '-') {
            return tokens[i];
        }
    }
    return "";
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
    const std::string unknown = first_unknown_option(parser.tokens());
    if (!unknown.empty()) {
        line.error = "Unknown option: " + unknown + "\n";
        return line;
    }
    FrontendOptions& o = line.options;
    o.use_software_renderer = parser.cmdOptionExists("-soft");
    o.force_dmg = parser.cmdOptionExists("-dmg");
    o.force_cgb = parser.cmdOptionExists("-cgb");
    o.turbo = parser.cmdOptionExists("-turbo");
    o.disable_high_dpi = parser.cmdOptionExists("-disable_high_dpi");
    if (parser.cmdOptionExists("-scale")) {
        const std::string& value = parser.getCmdOption("-scale");
        if (value.empty()) {
            line.error = "Missing value for -scale: give " + scale_range() + ".\n";
            return line;
        }
        if (!parse_scale(value, o.scale)) {
            line.error = "Invalid value for -scale: \"" + value + "\" (give " + scale_range() + ").\n";
            return line;
        }
    }
    o.ignore_boot_roms = parser.cmdOptionExists("-ignore_boot_roms");
    o.device = parser.getCmdOption("-dev");
    o.rom_path = parser.getLastParameter();
    if (parser.cmdOptionExists("-gbi")) {
        // The log's path comes right after the option, never in the ROM's place.
        const auto& tokens = parser.tokens();
        const auto at = std::find(tokens.begin(), tokens.end(), "-gbi");
        if (tokens.end() - at < 3) {
            line.error = "Missing value for -gbi: give the joypad input log's path before the ROM.\n";
            return line;
        }
        o.input_log = *(at + 1);
    }
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
