#include "hostsim/frame_io.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "hostsim/png_codec.h"

namespace kestrin::hostsim {
namespace {

static_assert(kMaxPngSide == kMaxFileSide);

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
// File positions in 64 bits: a raw file of a few hundred HD frames is past 2 GiB, and `long` has
// 32 bits on Windows.
int64_t tell64(FILE* f) {
#if defined(_WIN32)
    return _ftelli64(f);
#else
    return ftello(f);
#endif
}
int seek64(FILE* f, int64_t offset, int origin) {
#if defined(_WIN32)
    return _fseeki64(f, offset, origin);
#else
    return fseeko(f, static_cast<off_t>(offset), origin);
#endif
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
    std::vector<uint8_t> bytes;
    uint8_t chunk[1 << 16];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file.get())) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + n);
    if (ferror(file.get())) return "cannot read " + path;

    RgbImage image;
    switch (decodePng(bytes.data(), bytes.size(), image)) {
    case PngError::None:
        break;
    case PngError::NotPng:
        return path + ": not a PNG file";
    case PngError::ImpossibleSize:
        return path + ": impossible size " + std::to_string(image.width) + "x" +
               std::to_string(image.height);
    case PngError::Damaged:
        return path + ": damaged PNG data";
    }

    frame.width = static_cast<int32_t>(image.width);
    frame.height = static_cast<int32_t>(image.height);
    frame.pixels.resize(size_t{image.width} * image.height);
    const double scale = image.depth == 16 ? 65535.0 : 255.0;
    for (size_t i = 0; i < frame.pixels.size(); ++i) {
        const uint16_t* s = &image.samples[3 * i];
        frame.pixels[i] = ycFromRgb(s[0] / scale, s[1] / scale, s[2] / scale);
    }
    return {};
}

std::string writePng(const std::string& path, const Frame& frame) {
    if (frame.width <= 0 || frame.height <= 0 ||
        frame.pixels.size() < static_cast<size_t>(frame.width) * frame.height)
        return "nothing to write to " + path;
    RgbImage image;
    image.width = static_cast<uint32_t>(frame.width);
    image.height = static_cast<uint32_t>(frame.height);
    image.depth = 8;
    image.samples.resize(size_t{image.width} * image.height * 3);
    for (size_t i = 0; i < size_t{image.width} * image.height; ++i) {
        double c[3];
        rgbFromYc(frame.pixels[i], c[0], c[1], c[2]);
        for (int k = 0; k < 3; ++k)
            image.samples[3 * i + static_cast<size_t>(k)] =
                static_cast<uint16_t>(std::clamp(std::lround(c[k] * 255.0), 0L, 255L));
    }
    const std::vector<uint8_t> bytes = encodePng(image);
    File file(fopen(path.c_str(), "wb"));
    if (!file) return "cannot write " + path;
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    if (fclose(file.release()) != 0 || !written) return "cannot write " + path;
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
    const int64_t start = tell64(file.get());
    if (start < 0 || seek64(file.get(), 0, SEEK_END) != 0) return "cannot read " + path;
    const int64_t end = tell64(file.get());
    if (end < start || seek64(file.get(), start, SEEK_SET) != 0) return "cannot read " + path;
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
