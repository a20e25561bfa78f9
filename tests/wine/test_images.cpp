#include "tests/wine/test_images.h"

namespace kestrin::winecheck {
namespace {

// xorshift32: small, and the same sequence on every compiler.
class Random {
  public:
    explicit Random(uint32_t seed) : state_(seed ? seed : 0x9E3779B9u) {}
    uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    // Uniform in lo..hi, both included (the small bias of the modulo does not matter here).
    int between(int lo, int hi) {
        return lo + static_cast<int>(next() % static_cast<uint32_t>(hi - lo + 1));
    }

  private:
    uint32_t state_;
};

int16_t clampTo(int v, int lo, int hi) {
    return static_cast<int16_t>(v < lo ? lo : (v > hi ? hi : v));
}

} // namespace

std::vector<model::YcPixel> makeTestFrame(int width, int height, uint32_t seed) {
    Random rng(seed);
    constexpr int kBlock = 6;
    const int blocksAcross = width / kBlock + 1;
    std::vector<model::YcPixel> blocks(static_cast<size_t>(blocksAcross) * (height / kBlock + 1));
    for (auto& b : blocks)
        b = {static_cast<int16_t>(rng.between(0, 4096)),
             static_cast<int16_t>(rng.between(-2048, 2048)),
             static_cast<int16_t>(rng.between(-2048, 2048))};

    std::vector<model::YcPixel> frame(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            model::YcPixel& p = frame[static_cast<size_t>(y) * width + x];
            if (3 * x < width) {
                p = {static_cast<int16_t>(rng.between(0, 4096)),
                     static_cast<int16_t>(rng.between(-2048, 2048)),
                     static_cast<int16_t>(rng.between(-2048, 2048))};
            } else if (3 * x < 2 * width) {
                const int ramp = (x * 4096) / width;
                const int fall = (y * 2048) / height;
                p = {clampTo(ramp + rng.between(-48, 48), 0, 4096),
                     clampTo(1024 - fall + rng.between(-24, 24), -2048, 2048),
                     clampTo(fall - 1024 + rng.between(-24, 24), -2048, 2048)};
            } else {
                p = blocks[static_cast<size_t>(y / kBlock) * blocksAcross + x / kBlock];
            }
        }
    }
    return frame;
}

model::TexelImage encodeWithNoisyW(const std::vector<model::YcPixel>& frame, int width, int height,
                                   TexelFormat format, uint32_t seed) {
    model::TexelImage image = model::encodeFrame(frame.data(), width, height, width, format);
    Random rng(seed ^ 0xA5A5A5A5u);
    for (model::Texel& t : image.texels) t[3] = static_cast<uint16_t>(rng.next());
    return image;
}

} // namespace kestrin::winecheck
