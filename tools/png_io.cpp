#include "tools/png_io.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace kestrin::tools {
namespace {

uint8_t to8(double v) {
    return static_cast<uint8_t>(std::clamp(std::lround(v * 255.0), 0L, 255L));
}

} // namespace

std::string writePng(const std::string& path, const model::YcPixel* pixels, int width, int height,
                     int pitch) {
    if (width <= 0 || height <= 0 || pitch < width) return "bad image size";
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const model::YcPixel& p = pixels[static_cast<size_t>(y) * pitch + x];
            // BT.601 on the editor's scale: Y 0..4096, Cb and Cr -2048..2048.
            const double yy = p.y / 4096.0, cb = p.cb / 4096.0, cr = p.cr / 4096.0;
            uint8_t* o = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            o[0] = to8(yy + 1.402 * cr);
            o[1] = to8(yy - 0.34414 * cb - 0.71414 * cr);
            o[2] = to8(yy + 1.772 * cb);
        }
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), width * 3, nullptr)) {
        std::string error = image.message;
        png_image_free(&image);
        return error.empty() ? "cannot write " + path : error;
    }
    return {};
}

} // namespace kestrin::tools
