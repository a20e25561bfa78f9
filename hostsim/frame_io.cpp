#include "hostsim/frame_io.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace kestrin::hostsim {
namespace {

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

int16_t clampTo(long v, long lo, long hi) {
    return static_cast<int16_t>(std::clamp(v, lo, hi));
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t getU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

YcPixel ycFromRgb(double r, double g, double b) {
    const double y = 0.299 * r + 0.587 * g + 0.114 * b;
    const double cb = -0.16874 * r - 0.33126 * g + 0.5 * b;
    const double cr = 0.5 * r - 0.41869 * g - 0.08131 * b;
    return {clampTo(std::lround(y * 4096), 0, 4096), clampTo(std::lround(cb * 4096), -2048, 2048),
            clampTo(std::lround(cr * 4096), -2048, 2048)};
}

void rgbFromYc(const YcPixel& p, double& r, double& g, double& b) {
    const double y = p.y / 4096.0, cb = p.cb / 4096.0, cr = p.cr / 4096.0;
    r = y + 1.402 * cr;
    g = y - 0.34414 * cb - 0.71414 * cr;
    b = y + 1.772 * cb;
}

std::string readPng(const std::string& path, Frame& frame) {
    File file(fopen(path.c_str(), "rb"));
    if (!file) return "cannot open " + path;
    uint8_t signature[8];
    if (fread(signature, 1, 8, file.get()) != 8 || png_sig_cmp(signature, 0, 8) != 0)
        return path + ": not a PNG file";
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return "out of memory reading " + path;
    }
    std::vector<uint8_t> data;
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return path + ": damaged PNG data";
    }
    png_init_io(png, file.get());
    png_set_sig_bytes(png, 8);
    png_read_info(png, info);
    const uint32_t width = png_get_image_width(png, info);
    const uint32_t height = png_get_image_height(png, info);
    if (width == 0 || height == 0 || width > kMaxFileSide || height > kMaxFileSide) {
        png_destroy_read_struct(&png, &info, nullptr);
        return path + ": impossible size " + std::to_string(width) + "x" + std::to_string(height);
    }
    const int depth = png_get_bit_depth(png, info);
    const int type = png_get_color_type(png, info);
    // Everything becomes RGB at 8 or 16 bits, without alpha.
    if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    if (depth < 8) png_set_expand(png);
    if (type & PNG_COLOR_MASK_ALPHA) png_set_strip_alpha(png);
    if (depth == 16) png_set_swap(png); // little-endian samples
    png_read_update_info(png, info);
    const bool wide = png_get_bit_depth(png, info) == 16;
    const size_t rowBytes = png_get_rowbytes(png, info);
    data.resize(rowBytes * height);
    rows.resize(height);
    for (uint32_t y = 0; y < height; ++y) rows[y] = data.data() + y * rowBytes;
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);

    frame.width = static_cast<int32_t>(width);
    frame.height = static_cast<int32_t>(height);
    frame.pixels.resize(static_cast<size_t>(width) * height);
    const double scale = wide ? 65535.0 : 255.0;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            double rgb[3];
            for (int c = 0; c < 3; ++c) {
                const uint8_t* s = rows[y] + (wide ? 6 : 3) * x + (wide ? 2 : 1) * c;
                rgb[c] = (wide ? (s[0] | s[1] << 8) : s[0]) / scale;
            }
            frame.pixels[static_cast<size_t>(y) * width + x] = ycFromRgb(rgb[0], rgb[1], rgb[2]);
        }
    }
    return {};
}

std::string writePng(const std::string& path, const Frame& frame) {
    if (frame.width <= 0 || frame.height <= 0 ||
        frame.pixels.size() < static_cast<size_t>(frame.width) * frame.height)
        return "nothing to write to " + path;
    std::vector<uint8_t> rgb(static_cast<size_t>(frame.width) * frame.height * 3);
    for (size_t i = 0; i < static_cast<size_t>(frame.width) * frame.height; ++i) {
        double c[3];
        rgbFromYc(frame.pixels[i], c[0], c[1], c[2]);
        for (int k = 0; k < 3; ++k)
            rgb[3 * i + k] = static_cast<uint8_t>(std::clamp(std::lround(c[k] * 255.0), 0L, 255L));
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(frame.width);
    image.height = static_cast<png_uint_32>(frame.height);
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), frame.width * 3, nullptr)) {
        std::string error = image.message;
        png_image_free(&image);
        return "cannot write " + path + (error.empty() ? "" : ": " + error);
    }
    return {};
}

std::string readRaw(const std::string& path, std::vector<Frame>& frames) {
    File file(fopen(path.c_str(), "rb"));
    if (!file) return "cannot open " + path;
    uint8_t header[16];
    if (fread(header, 1, 16, file.get()) != 16 || memcmp(header, "YCP1", 4) != 0)
        return path + ": bad header (expected YCP1, width, height, frame count)";
    const uint32_t width = getU32(header + 4), height = getU32(header + 8),
                   count = getU32(header + 12);
    if (width == 0 || height == 0 || width > kMaxFileSide || height > kMaxFileSide || count == 0 ||
        count > 100000)
        return path + ": impossible size " + std::to_string(width) + "x" + std::to_string(height) +
               " x " + std::to_string(count) + " frames";
    // Measure the file before allocating: a short file may claim frames of gigabytes.
    const uint64_t frameBytes = uint64_t(width) * height * sizeof(YcPixel);
    const long start = ftell(file.get());
    if (start < 0 || fseek(file.get(), 0, SEEK_END) != 0) return "cannot read " + path;
    const long end = ftell(file.get());
    if (end < start || fseek(file.get(), start, SEEK_SET) != 0) return "cannot read " + path;
    const uint64_t available = uint64_t(end - start);
    if (available < frameBytes * count)
        return path + ": file ends inside frame " + std::to_string(available / frameBytes);
    frames.clear();
    for (uint32_t i = 0; i < count; ++i) {
        Frame f;
        f.width = static_cast<int32_t>(width);
        f.height = static_cast<int32_t>(height);
        f.pixels.resize(static_cast<size_t>(width) * height);
        const size_t want = f.pixels.size() * sizeof(YcPixel);
        if (fread(f.pixels.data(), 1, want, file.get()) != want)
            return path + ": file ends inside frame " + std::to_string(i);
        frames.push_back(std::move(f));
    }
    return {};
}

std::string writeRaw(const std::string& path, const std::vector<Frame>& frames) {
    if (frames.empty()) return "nothing to write to " + path;
    std::vector<uint8_t> header(frames.size() ? 4 : 0);
    memcpy(header.data(), "YCP1", 4);
    putU32(header, static_cast<uint32_t>(frames[0].width));
    putU32(header, static_cast<uint32_t>(frames[0].height));
    putU32(header, static_cast<uint32_t>(frames.size()));
    File file(fopen(path.c_str(), "wb"));
    if (!file) return "cannot write " + path;
    bool ok = fwrite(header.data(), 1, header.size(), file.get()) == header.size();
    for (const Frame& f : frames) {
        if (f.width != frames[0].width || f.height != frames[0].height)
            return path + ": frames of different sizes cannot share a raw file";
        ok = ok && fwrite(f.pixels.data(), sizeof(YcPixel), f.pixels.size(), file.get()) ==
                       f.pixels.size();
    }
    return ok ? std::string() : "cannot write " + path;
}

} // namespace kestrin::hostsim
