#include "picture_tools.h"

namespace romtest {

const char* picture_options_usage() {
    return "  --whole-line  draw every line with the whole-line renderers instead of the pixel pipeline\n"
           "  --ppm OUT.ppm after the run, write the picture unit's frame buffer as a PPM file\n"
           "  --ppu-dump    after the run, write the picture-memory dump ppu.bin into the working directory\n";
}

int parse_picture_option(int argc, char** argv, int& i, PictureOptions& options, std::string& error) {
    const std::string arg = argv[i];
    if (arg == "--whole-line") {
        options.whole_line = true;
        return 1;
    }
    if (arg == "--ppu-dump") {
        options.ppu_dump = true;
        return 1;
    }
    if (arg == "--ppm") {
        if (i + 1 >= argc) {
            error = "--ppm needs a file name";
            return -1;
        }
        options.ppm = argv[++i];
        return 1;
    }
    return 0;
}

// Both render-path switches cleared: every line is drawn whole at the end of
// its mode 3, and register writes in mode 3 no longer advance the pipeline.
void apply_render_path(GB& gb, const PictureOptions& options) {
    if (!options.whole_line) return;
    gb.ppu.use_pipeline = false;
    gb.ppu.register_write_catch_up = false;
}

bool write_picture_files(GB& gb, const PictureOptions& options, std::string& error) {
    if (!options.ppm.empty() && !gb.ppu.write_screenshot(options.ppm)) {
        error = "cannot write " + options.ppm;
        return false;
    }
    if (options.ppu_dump && !gb.ppu.dump_vram()) {
        error = "cannot write ppu.bin";
        return false;
    }
    return true;
}

}  // namespace romtest
