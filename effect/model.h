// The reference model of the filter: the six pixel programs of the bilateral effect, worked in
// IEEE single precision step by step in the same order as the programs, with every multiply and
// add rounded on its own. Plain and slow on purpose: it is the oracle that every pixel test of
// the software device, the plug-in and the host compares against, bit for bit.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "effect/texel_codec.h"

namespace kestrin::model {

// The host's pixel: Y, Cb, Cr as signed 16-bit values, 6 bytes, packed.
#pragma pack(push, 1)
struct YcPixel {
    int16_t y;
    int16_t cb;
    int16_t cr;
};
#pragma pack(pop)
static_assert(sizeof(YcPixel) == 6);

// Four 16-bit channels as stored on the card (x, y, z, w).
using Texel = std::array<uint16_t, 4>;

// An image of texels, rows packed (width texels apart).
struct TexelImage {
    int width = 0;
    int height = 0;
    std::vector<Texel> texels;

    TexelImage() = default;
    TexelImage(int w, int h) : width(w), height(h), texels(static_cast<size_t>(w) * h) {}
    Texel& at(int x, int y) { return texels[static_cast<size_t>(y) * width + x]; }
    const Texel& at(int x, int y) const { return texels[static_cast<size_t>(y) * width + x]; }
};

// The filter parameters the programs read (the colour matrices are fixed constants).
struct FilterParams {
    float pixGain = 0.0f; // blend factor of the last pass
    float pixDist = 0.0f; // factor on the squared colour distance
    float posDist = 0.0f; // factor on the squared tap distance
};

// The falloff shared by the spatial and the range weight: 1 at a <= 0, then
// 1 - 3u^2 + 2u^3 with u = min(0.6 sqrt(a), 1), reaching exactly 0 from a = 1 / 0.36 on.
float calcWeight(float a);

// Tap addressing: column k (any integer) of an image `size` texels wide, mirrored at the edges.
int mirrorIndex(int k, int size);

// p0: Y, Cb, Cr -> R, G, B (the unsigned variant keeps the 0x8000 offset as biasU).
TexelImage psYC2RGB(const TexelImage& src);
TexelImage psYC2RGBU(const TexelImage& src);

// p1: one bilateral iteration over an R, G, B image.
TexelImage psFilter(const TexelImage& rgb, const FilterParams& params);
TexelImage psFilterU(const TexelImage& rgb, const FilterParams& params);

// p2: the last iteration, back to Y, Cb, Cr, blended with the source by pixGain.
TexelImage psFilterRGB2YC(const TexelImage& rgb, const TexelImage& src, const FilterParams& params);
TexelImage psFilterRGB2YCU(const TexelImage& rgb, const TexelImage& src,
                           const FilterParams& params);

// The parameters a frame runs with, from the first four track values.
struct FrameSettings {
    FilterParams params;
    int32_t passCount = 1;
};
FrameSettings settingsFromTracks(const int32_t trackValues[5]);

// Host image -> texel image in the given encoding (channel w written 0), and back.
TexelImage encodeFrame(const YcPixel* pixels, int width, int height, int pitch, TexelFormat format);
std::vector<YcPixel> decodeFrame(const TexelImage& image, TexelFormat format);

// A whole frame as the card filters it: encode, p0, p1 x (passes - 1), p2, decode.
// `pitch` is the distance between rows of `pixels`, in pixels; the result is packed.
std::vector<YcPixel> filterFrame(const YcPixel* pixels, int width, int height, int pitch,
                                 const int32_t trackValues[5], TexelFormat format);

// The same from ready parameters (used by tests that sweep parameters directly).
std::vector<YcPixel> filterFrame(const YcPixel* pixels, int width, int height, int pitch,
                                 const FrameSettings& settings, TexelFormat format);

} // namespace kestrin::model
