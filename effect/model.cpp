#include "effect/model.h"

#include <cmath>

#include "effect/constants.h"
#include "effect/track_mapping.h"

namespace kestrin::model {
namespace {

struct Vec3 {
    float x, y, z;
};

float matYC2RGB(int row, int col) {
    return bitsToFloat(kMatYC2RGBBits[row][col]);
}
float matRGB2YC(int row, int col) {
    return bitsToFloat(kMatRGB2YCBits[row][col]);
}

// The source image or an intermediate R, G, B image, normalised as the sampler returns it.
class SampledImage {
  public:
    SampledImage(const TexelImage& image, TexelFormat format)
        : width_(image.width), height_(image.height), values_(image.texels.size()) {
        for (size_t i = 0; i < image.texels.size(); ++i) {
            const Texel& t = image.texels[i];
            values_[i] = {readChannel(t[0], format), readChannel(t[1], format),
                          readChannel(t[2], format)};
        }
    }
    // Point sample at texel (x, y); taps outside the image read the mirrored texel.
    Vec3 at(int x, int y) const {
        return values_[static_cast<size_t>(mirrorIndex(y, height_)) * width_ +
                       mirrorIndex(x, width_)];
    }

  private:
    int width_;
    int height_;
    std::vector<Vec3> values_;
};

Texel store(const Vec3& v, TexelFormat format) {
    return {writeChannel(v.x, format), writeChannel(v.y, format), writeChannel(v.z, format),
            writeChannel(0.0f, format)};
}

// rgb = Cb * column 1; rgb = Y * column 0 + rgb; rgb = Cr * column 2 + rgb.
Vec3 ycToRgb(const Vec3& yc) {
    Vec3 rgb;
    rgb.x = yc.y * matYC2RGB(0, 1);
    rgb.y = yc.y * matYC2RGB(1, 1);
    rgb.z = yc.y * matYC2RGB(2, 1);
    rgb.x = yc.x * matYC2RGB(0, 0) + rgb.x;
    rgb.y = yc.x * matYC2RGB(1, 0) + rgb.y;
    rgb.z = yc.x * matYC2RGB(2, 0) + rgb.z;
    rgb.x = yc.z * matYC2RGB(0, 2) + rgb.x;
    rgb.y = yc.z * matYC2RGB(1, 2) + rgb.y;
    rgb.z = yc.z * matYC2RGB(2, 2) + rgb.z;
    return rgb;
}

// yc = G * column 1; yc = R * column 0 + yc; yc = B * column 2 + yc.
Vec3 rgbToYc(const Vec3& rgb) {
    Vec3 yc;
    yc.x = rgb.y * matRGB2YC(0, 1);
    yc.y = rgb.y * matRGB2YC(1, 1);
    yc.z = rgb.y * matRGB2YC(2, 1);
    yc.x = rgb.x * matRGB2YC(0, 0) + yc.x;
    yc.y = rgb.x * matRGB2YC(1, 0) + yc.y;
    yc.z = rgb.x * matRGB2YC(2, 0) + yc.z;
    yc.x = rgb.z * matRGB2YC(0, 2) + yc.x;
    yc.y = rgb.z * matRGB2YC(1, 2) + yc.y;
    yc.z = rgb.z * matRGB2YC(2, 2) + yc.z;
    return yc;
}

// out = pixGain * (yc - src) + src, per component.
Vec3 blend(const Vec3& yc, const Vec3& src, float gain) {
    const Vec3 d = {yc.x - src.x, yc.y - src.y, yc.z - src.z};
    return {gain * d.x + src.x, gain * d.y + src.y, gain * d.z + src.z};
}

// The weighted sums of one bilateral iteration at one pixel.
struct Accumulated {
    Vec3 sum;         // S: colours times weights
    float reciprocal; // 1 / W, formed once
};

class BilateralKernel {
  public:
    // `doubleDelta`: the unsigned programs see colour steps half as large and double them.
    BilateralKernel(const FilterParams& params, bool doubleDelta)
        : pixDist_(params.pixDist), doubleDelta_(doubleDelta) {
        // The spatial weight depends on the tap offset alone: the same 49 values for every pixel.
        for (int dy = -kKernelRadius; dy <= kKernelRadius; ++dy)
            for (int dx = -kKernelRadius; dx <= kKernelRadius; ++dx)
                spatial_[dy + kKernelRadius][dx + kKernelRadius] =
                    calcWeight(static_cast<float>(dx * dx + dy * dy) * params.posDist);
    }

    Accumulated run(const SampledImage& rgb, int x, int y) const {
        const Vec3 centre = rgb.at(x, y);
        Vec3 s = {0.0f, 0.0f, 0.0f};
        float w = 0.0f;
        for (int dy = -kKernelRadius; dy <= kKernelRadius; ++dy) {
            for (int dx = -kKernelRadius; dx <= kKernelRadius; ++dx) {
                const Vec3 tap = rgb.at(x + dx, y + dy);
                Vec3 d = {centre.x - tap.x, centre.y - tap.y, centre.z - tap.z};
                if (doubleDelta_) d = {d.x + d.x, d.y + d.y, d.z + d.z};
                const float ws = spatial_[dy + kKernelRadius][dx + kKernelRadius];
                const float dist = (d.x * d.x + d.y * d.y) + d.z * d.z;
                const float wr = calcWeight(dist * pixDist_);
                const float tapWeight = ws * wr;
                w = tapWeight + w;
                s.x = tap.x * tapWeight + s.x;
                s.y = tap.y * tapWeight + s.y;
                s.z = tap.z * tapWeight + s.z;
            }
        }
        return {s, 1.0f / w};
    }

  private:
    float spatial_[2 * kKernelRadius + 1][2 * kKernelRadius + 1];
    float pixDist_;
    bool doubleDelta_;
};

template <typename PixelFn> TexelImage forEachPixel(int width, int height, PixelFn&& fn) {
    TexelImage out(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) out.at(x, y) = fn(x, y);
    return out;
}

TexelImage filterPass(const TexelImage& rgbImage, const FilterParams& params, TexelFormat format) {
    const bool isUnsigned = format == TexelFormat::Unsigned;
    const SampledImage rgb(rgbImage, format);
    const BilateralKernel kernel(params, isUnsigned);
    return forEachPixel(rgbImage.width, rgbImage.height, [&](int x, int y) {
        const Accumulated acc = kernel.run(rgb, x, y);
        const Vec3 f = {acc.sum.x * acc.reciprocal, acc.sum.y * acc.reciprocal,
                        acc.sum.z * acc.reciprocal};
        return store(f, format);
    });
}

} // namespace

float calcWeight(float a) {
    float t = a * bitsToFloat(kWeightScaleBits);
    t = std::isnan(t) ? 0.0f : (t < 0.0f ? 0.0f : (t > 1.0f ? 1.0f : t)); // saturate
    const float q = t * t;
    const float r = 1.0f / std::sqrt(t);
    const float qr = q * r;
    const float smooth = ((qr + qr) - 3.0f * t) + 1.0f;
    // At a = 0 the line above is 0 * infinity; the weight there is exactly 1.
    return a <= 0.0f ? 1.0f : smooth;
}

int mirrorIndex(int k, int size) {
    const int period = 2 * size;
    int m = k % period;
    if (m < 0) m += period;
    return m < size ? m : period - 1 - m;
}

TexelImage psYC2RGB(const TexelImage& src) {
    const SampledImage in(src, TexelFormat::Signed);
    return forEachPixel(src.width, src.height, [&](int x, int y) {
        return store(ycToRgb(in.at(x, y)), TexelFormat::Signed);
    });
}

TexelImage psYC2RGBU(const TexelImage& src) {
    const SampledImage in(src, TexelFormat::Unsigned);
    return forEachPixel(src.width, src.height, [&](int x, int y) {
        const Vec3 v = in.at(x, y);
        const Vec3 rgb = ycToRgb({v.x - kBiasU, v.y - kBiasU, v.z - kBiasU});
        return store({rgb.x + kBiasU, rgb.y + kBiasU, rgb.z + kBiasU}, TexelFormat::Unsigned);
    });
}

TexelImage psFilter(const TexelImage& rgb, const FilterParams& params) {
    return filterPass(rgb, params, TexelFormat::Signed);
}

TexelImage psFilterU(const TexelImage& rgb, const FilterParams& params) {
    return filterPass(rgb, params, TexelFormat::Unsigned);
}

TexelImage psFilterRGB2YC(const TexelImage& rgbImage, const TexelImage& srcImage,
                          const FilterParams& params) {
    const SampledImage rgb(rgbImage, TexelFormat::Signed);
    const SampledImage src(srcImage, TexelFormat::Signed);
    const BilateralKernel kernel(params, false);
    return forEachPixel(rgbImage.width, rgbImage.height, [&](int x, int y) {
        const Accumulated acc = kernel.run(rgb, x, y);
        const Vec3 f = {acc.sum.x * acc.reciprocal, acc.sum.y * acc.reciprocal,
                        acc.sum.z * acc.reciprocal};
        return store(blend(rgbToYc(f), src.at(x, y), params.pixGain), TexelFormat::Signed);
    });
}

TexelImage psFilterRGB2YCU(const TexelImage& rgbImage, const TexelImage& srcImage,
                           const FilterParams& params) {
    const SampledImage rgb(rgbImage, TexelFormat::Unsigned);
    const SampledImage src(srcImage, TexelFormat::Unsigned);
    const BilateralKernel kernel(params, true);
    return forEachPixel(rgbImage.width, rgbImage.height, [&](int x, int y) {
        const Accumulated acc = kernel.run(rgb, x, y);
        // One multiply-add removes the offset while forming the weighted mean.
        const Vec3 f = {acc.sum.x * acc.reciprocal + -kBiasU, acc.sum.y * acc.reciprocal + -kBiasU,
                        acc.sum.z * acc.reciprocal + -kBiasU};
        Vec3 yc = rgbToYc(f);
        yc = {yc.x + kBiasU, yc.y + kBiasU, yc.z + kBiasU};
        return store(blend(yc, src.at(x, y), params.pixGain), TexelFormat::Unsigned);
    });
}

FrameSettings settingsFromTracks(const int32_t trackValues[5]) {
    FrameSettings s;
    s.params.pixGain = MapPixGain(trackValues[kTrackStrength]);
    s.params.pixDist = MapPixDist(trackValues[kTrackThreshold]);
    s.params.posDist = MapPosDist(trackValues[kTrackRange]);
    s.passCount = MapPassCount(trackValues[kTrackPasses]);
    return s;
}

TexelImage encodeFrame(const YcPixel* pixels, int width, int height, int pitch,
                       TexelFormat format) {
    TexelImage image(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const YcPixel& p = pixels[static_cast<size_t>(y) * pitch + x];
            image.at(x, y) = {encodeHostValue(p.y, format), encodeHostValue(p.cb, format),
                              encodeHostValue(p.cr, format), 0};
        }
    }
    return image;
}

std::vector<YcPixel> decodeFrame(const TexelImage& image, TexelFormat format) {
    std::vector<YcPixel> out(image.texels.size());
    for (size_t i = 0; i < out.size(); ++i) {
        const Texel& t = image.texels[i];
        out[i] = {decodeHostValue(t[0], format), decodeHostValue(t[1], format),
                  decodeHostValue(t[2], format)};
    }
    return out;
}

std::vector<YcPixel> filterFrame(const YcPixel* pixels, int width, int height, int pitch,
                                 const FrameSettings& settings, TexelFormat format) {
    const bool isUnsigned = format == TexelFormat::Unsigned;
    const TexelImage src = encodeFrame(pixels, width, height, pitch, format);
    TexelImage rgb = isUnsigned ? psYC2RGBU(src) : psYC2RGB(src);
    for (int i = 1; i < settings.passCount; ++i)
        rgb = isUnsigned ? psFilterU(rgb, settings.params) : psFilter(rgb, settings.params);
    const TexelImage result = isUnsigned ? psFilterRGB2YCU(rgb, src, settings.params)
                                         : psFilterRGB2YC(rgb, src, settings.params);
    return decodeFrame(result, format);
}

std::vector<YcPixel> filterFrame(const YcPixel* pixels, int width, int height, int pitch,
                                 const int32_t trackValues[5], TexelFormat format) {
    return filterFrame(pixels, width, height, pitch, settingsFromTracks(trackValues), format);
}

} // namespace kestrin::model
