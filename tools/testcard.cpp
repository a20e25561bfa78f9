#include "tools/testcard.h"

#include <algorithm>
#include <cmath>

namespace kestrin::tools {
namespace {

// xorshift32: small, seedable and the same everywhere.
struct Noise {
    uint32_t state;
    int next(int amplitude) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<int>(state % static_cast<uint32_t>(2 * amplitude + 1)) - amplitude;
    }
};

int16_t clampTo(int v, int lo, int hi) {
    return static_cast<int16_t>(std::clamp(v, lo, hi));
}

YcPixel fromRgb(double r, double g, double b) { // r, g, b in 0..1
    const double y = 0.299 * r + 0.587 * g + 0.114 * b;
    const double cb = -0.16874 * r - 0.33126 * g + 0.5 * b;
    const double cr = 0.5 * r - 0.41869 * g - 0.08131 * b;
    return {clampTo(static_cast<int>(std::lround(y * 4096)), 0, 4096),
            clampTo(static_cast<int>(std::lround(cb * 4096)), -2048, 2048),
            clampTo(static_cast<int>(std::lround(cr * 4096)), -2048, 2048)};
}

} // namespace

std::vector<YcPixel> makeTestCard(int width, int height, int pitch, int frameIndex) {
    std::vector<YcPixel> image(static_cast<size_t>(pitch) * height, YcPixel{0, 0, 0});
    static const double bars[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                      {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
    Noise noise{0x9E3779B9u ^ static_cast<uint32_t>(frameIndex * 2654435761u)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            YcPixel p;
            const double u = width > 1 ? static_cast<double>(x) / (width - 1) : 0.0;
            if (y < height / 3) {
                // Colour bars: flat areas with hard edges between them.
                const auto& c = bars[std::min(7, x * 8 / std::max(width, 1))];
                p = fromRgb(0.1 + 0.8 * c[0], 0.1 + 0.8 * c[1], 0.1 + 0.8 * c[2]);
            } else if (y < height / 2) {
                // Smooth gradients: luma ramp above, hue ramp below.
                p = y < (height / 3 + height / 2) / 2
                        ? fromRgb(u, u, u)
                        : fromRgb(0.5 + 0.5 * std::sin(6.283 * u), 0.5 + 0.5 * std::cos(6.283 * u),
                                  1.0 - u);
            } else if (y < 3 * height / 4) {
                // Noisy field with a hard-edged box: edges the filter must keep.
                const bool inBox = x > width / 4 && x < width / 2;
                const YcPixel base = inBox ? fromRgb(0.8, 0.3, 0.2) : fromRgb(0.25, 0.4, 0.6);
                p = {clampTo(base.y + noise.next(160), 0, 4096),
                     clampTo(base.cb + noise.next(80), -2048, 2048),
                     clampTo(base.cr + noise.next(80), -2048, 2048)};
            } else {
                // Checkerboard of 8-pixel squares with a little noise on a grey ramp.
                const bool on = ((x / 8) + (y / 8)) % 2 == 0;
                const double level = 0.2 + 0.6 * u;
                const YcPixel base = fromRgb(on ? level : level * 0.5, on ? level : level * 0.5,
                                             on ? level : level * 0.5);
                p = {clampTo(base.y + noise.next(40), 0, 4096), base.cb, base.cr};
            }
            image[static_cast<size_t>(y) * pitch + x] = p;
        }
    }
    return image;
}

} // namespace kestrin::tools
