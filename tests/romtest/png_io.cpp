#include "png_io.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <memory>

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// libpng reports errors through a longjmp; the message is kept here first.
struct ErrorSink {
    std::string message;
    std::string warning;  // the first warning; says why a header was refused
};

void on_png_error(png_structp png, png_const_charp message) {
    if (auto* sink = static_cast<ErrorSink*>(png_get_error_ptr(png))) sink->message = message;
    png_longjmp(png, 1);
}

void on_png_warning(png_structp png, png_const_charp message) {
    auto* sink = static_cast<ErrorSink*>(png_get_error_ptr(png));
    if (sink && sink->warning.empty()) sink->warning = message;
}

}  // namespace

namespace {

// The libpng state of one read. The function that calls setjmp touches
// nothing but this record, so no local of its own is live across a longjmp.
struct ReadState {
    std::FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    ErrorSink sink;
    std::vector<u8> pixels;
    std::vector<png_bytep> rows;
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    bool layout_ok = true;
};

bool read_png_body(ReadState& s) {
    if (setjmp(png_jmpbuf(s.png))) return false;
    png_init_io(s.png, s.file);
    png_set_sig_bytes(s.png, 8);
    // The header's size is refused before anything is allocated for it.
    png_set_user_limits(s.png, MAX_PNG_SIDE, MAX_PNG_SIDE);
    png_read_info(s.png, s.info);

    s.width = png_get_image_width(s.png, s.info);
    s.height = png_get_image_height(s.png, s.info);
    const int colour_type = png_get_color_type(s.png, s.info);
    const int bit_depth = png_get_bit_depth(s.png, s.info);

    if (colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(s.png);
    if (colour_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(s.png);
    if (png_get_valid(s.png, s.info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(s.png);
    if (bit_depth == 16) png_set_strip_16(s.png);
    if (colour_type == PNG_COLOR_TYPE_GRAY || colour_type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(s.png);
    png_set_strip_alpha(s.png);
    png_read_update_info(s.png, s.info);

    const size_t row_bytes = png_get_rowbytes(s.png, s.info);
    if (row_bytes != size_t(s.width) * 3) {
        s.layout_ok = false;
        return false;
    }
    s.pixels.resize(row_bytes * s.height);
    s.rows.resize(s.height);
    for (png_uint_32 y = 0; y < s.height; ++y) s.rows[y] = s.pixels.data() + y * row_bytes;
    png_read_image(s.png, s.rows.data());
    png_read_end(s.png, nullptr);
    return true;
}

}  // namespace

bool read_png_rgb(const std::string& path, RgbImage& out, std::string& error) {
    // Opened without blocking and checked to be a regular file first: a
    // FIFO would wait for a writer forever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path;
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "not a regular file: " + path;
        return false;
    }
    File file(::fdopen(fd, "rb"));
    if (!file) {
        ::close(fd);
        error = "cannot open " + path;
        return false;
    }
    png_byte signature[8];
    if (std::fread(signature, 1, sizeof signature, file.get()) != sizeof signature ||
        png_sig_cmp(signature, 0, sizeof signature) != 0) {
        error = "not a PNG file: " + path;
        return false;
    }
    ReadState s;
    s.file = file.get();
    s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &s.sink, on_png_error, on_png_warning);
    if (s.png) s.info = png_create_info_struct(s.png);
    if (!s.png || !s.info) {
        png_destroy_read_struct(&s.png, nullptr, nullptr);
        error = "libpng: out of memory";
        return false;
    }
    const bool ok = read_png_body(s);
    png_destroy_read_struct(&s.png, &s.info, nullptr);
    if (!ok) {
        const std::string why = s.sink.warning.empty() ? s.sink.message : s.sink.warning + " (" + s.sink.message + ")";
        error = s.layout_ok ? "cannot read " + path + ": " + why : "unexpected pixel layout in " + path;
        return false;
    }
    out.width = int(s.width);
    out.height = int(s.height);
    out.rgb = std::move(s.pixels);
    return true;
}

bool write_png_rgb(const std::string& path, const RgbImage& image, std::string& error) {
    if (image.width <= 0 || image.height <= 0 || image.rgb.size() != size_t(image.width) * image.height * 3) {
        error = "invalid image for " + path;
        return false;
    }
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = "cannot create " + path;
        return false;
    }
    ErrorSink sink;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, on_png_error, on_png_warning);
    if (!png) {
        error = "libpng: out of memory";
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        error = "libpng: out of memory";
        return false;
    }
    std::vector<png_bytep> rows(size_t(image.height));
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        error = "cannot write " + path + ": " + sink.message;
        return false;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, png_uint_32(image.width), png_uint_32(image.height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < image.height; ++y)
        rows[size_t(y)] = const_cast<png_bytep>(image.rgb.data() + size_t(y) * image.width * 3);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fflush(file.get()) != 0) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}
