#pragma once
// Minimal PNG reading and writing for the conformance runner: 8-bit RGB in
// and out, whatever the colour type or bit depth of the file read.
#include <string>
#include <vector>

#include "core/types.h"

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<u8> rgb;  // width * height * 3, row-major
    u8 r(int x, int y) const { return rgb[size_t(y * width + x) * 3 + 0]; }
    u8 g(int x, int y) const { return rgb[size_t(y * width + x) * 3 + 1]; }
    u8 b(int x, int y) const { return rgb[size_t(y * width + x) * 3 + 2]; }
};

// Largest width or height read_png_rgb accepts (a screen is 160x144).
inline constexpr unsigned MAX_PNG_SIDE = 1024;

// Reads a PNG of any colour type and bit depth as 8-bit RGB. Grey levels of
// 1, 2 and 4 bits are scaled to the full 0-255 range; alpha is dropped; no
// gamma or colour-space conversion is applied (the stored values are used
// as they are). Only a regular file is read, and only up to MAX_PNG_SIDE
// pixels a side. Returns false with a message in `error` on failure.
bool read_png_rgb(const std::string& path, RgbImage& out, std::string& error);

// Writes an 8-bit RGB PNG. Returns false with a message in `error` on failure.
bool write_png_rgb(const std::string& path, const RgbImage& image, std::string& error);
