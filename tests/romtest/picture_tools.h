#pragma once
// The runner's picture-unit options: the render path, and the files the
// picture unit's debugging tools write after a run (the frame buffer as a
// PPM screenshot, the picture-memory dump ppu.bin).
#include <string>

#include "core/gb.h"

namespace romtest {

struct PictureOptions {
    bool whole_line = false;  // draw with the whole-line renderers
    std::string ppm;          // screenshot path, empty for none
    bool ppu_dump = false;    // ppu.bin in the working directory
};

// Takes the option at argv[i] (and its value) if it is one of these:
// returns 1 when taken, 0 when it is not a picture option, -1 with a message
// in `error` when its value is missing.
int parse_picture_option(int argc, char** argv, int& i, PictureOptions& options, std::string& error);
// Usage lines of the picture options.
const char* picture_options_usage();

// Sets the render path of a machine just reset.
void apply_render_path(GB& gb, const PictureOptions& options);

// After the run: writes the files asked for; false with a message when one
// could not be written.
bool write_picture_files(GB& gb, const PictureOptions& options, std::string& error);

}  // namespace romtest
