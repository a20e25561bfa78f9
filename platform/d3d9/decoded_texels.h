// A surface's texels as the samplers read them: one float plane per channel (x, y, z, w), each
// surrounded by kPad texels of padding that hold what the stage's addressing reads beyond the
// edges. Kept by the surface and reused across draws: a channel is decoded again only when the
// surface's contents changed (its version), the padding only when the addressing did too.
//
// Decoding goes through the texel codec's rules (signed s -> max(s / 32767, -1), unsigned
// u -> u / 65535), in parallel over rows. A draw into a render target writes the decoded
// channels of what it stores directly (DecodedTexels::adopt), so the next pass that samples it
// decodes nothing.
//
// Not locked: the device's mutex, held by every draw, copy and lock, guards it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "effect/texel_codec.h"

namespace kestrin::platform::d3d9 {

class Surface;

class DecodedTexels {
  public:
    static constexpr int kPad = 8;

    int width() const { return width_; }
    int height() const { return height_; }
    int64_t rowFloats() const { return rowFloats_; }
    int64_t planeFloats() const { return planeFloats_; }
    // Texel (0, 0) of plane 0; texel (x, y) of channel c is base()[c * planeFloats + y *
    // rowFloats + x], for -kPad <= x < width + kPad and likewise y.
    const float* base() const { return storage_.get() + origin(); }
    float* row(unsigned channel, int y) {
        return storage_.get() + origin() + channel * planeFloats_ + y * rowFloats_;
    }

    // Channels of `mask` hold `surface`'s texels (interior and padding for the modes), decoding
    // what is missing on up to `threads` threads. Throws std::bad_alloc.
    void prepare(const Surface& surface, unsigned mask, uint32_t addressU, uint32_t addressV,
                 const std::array<float, 4>& border, int threads);
    // The interior channels of `mask` hold the surface's texels (padding untouched).
    void prepareInterior(const Surface& surface, unsigned mask, int threads);
    // True once a draw has sampled these texels: only then do draws into the surface keep its
    // planes up to date as they store (a final target that is only read back never needs them).
    bool sampled() const { return sampled_; }
    // Channels the interior holds for the surface's current contents.
    unsigned validChannels(const Surface& surface) const;

    // For a draw that writes the decoded channels of what it stores into the interior: after
    // the draw (and the surface's touch), the channels of `mask` that held the old contents
    // hold the new ones; padding is filled again on the next prepare.
    void adopt(const Surface& surface, unsigned mask);
    // For a copy that writes every texel of `surface`: shapes the planes; the copy then decodes
    // each row it writes with decodeRow, and replace() marks the channels of `mask` valid for
    // the surface's new version.
    void shapeFor(const Surface& surface);
    void replace(const Surface& surface, unsigned mask);
    // Texels [0, width) of a row, the channels of `mask`, into row y of the planes.
    void decodeRow(const uint8_t* texels, TexelFormat format, unsigned mask, int y);

  private:
    int64_t origin() const { return kPad * rowFloats_ + kPad; }
    void shape(int width, int height);
    void fillPadding(unsigned channel, uint32_t addressU, uint32_t addressV, float border);

    std::unique_ptr<float[]> storage_;
    int width_ = 0, height_ = 0;
    int64_t rowFloats_ = 0, planeFloats_ = 0;
    uint64_t version_ = 0; // contents the interior channels hold
    unsigned valid_ = 0;   // interior channels decoded for version_
    unsigned padded_ = 0;  // channels whose padding matches padU_, padV_, border_
    uint32_t padU_ = 0, padV_ = 0;
    std::array<float, 4> border_{};
    bool sampled_ = false;
};

// Runs fn(first, last) over [0, count) split in up to `threads` contiguous ranges, the calling
// thread taking one. Exceptions of a helper are rethrown on the calling thread.
void parallelRanges(int threads, int64_t count, const std::function<void(int64_t, int64_t)>& fn);

// Decoding of `count` channel values spaced `stride` uint16 apart, into floats.
void decodeChannel(const uint16_t* raw, size_t stride, size_t count, TexelFormat format,
                   float* out);

} // namespace kestrin::platform::d3d9
