#include "hostsim/png_codec.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace kestrin::hostsim {
namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

enum ColourType : uint8_t { kGrey = 0, kRgb = 2, kPalette = 3, kGreyAlpha = 4, kRgba = 6 };

uint32_t readU32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

uint32_t chunkCrc(const uint8_t* typeAndData, size_t length) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes lengths as uInt; a chunk is at most 2^31 - 1 bytes long, so feed it in parts.
    while (length > 0) {
        const auto part = static_cast<uInt>(std::min<size_t>(length, 1u << 30));
        crc = crc32(crc, typeAndData, part);
        typeAndData += part;
        length -= part;
    }
    return static_cast<uint32_t>(crc);
}

struct Header {
    uint32_t width = 0, height = 0;
    int depth = 0;
    int colour = 0;
    bool interlaced = false;

    int channels() const {
        switch (colour) {
        case kGrey:
        case kPalette:
            return 1;
        case kGreyAlpha:
            return 2;
        case kRgb:
            return 3;
        default:
            return 4;
        }
    }
    int bitsPerPixel() const { return channels() * depth; }
    // Bytes of one filtered row of `w` pixels, without its filter byte.
    size_t rowBytes(uint32_t w) const { return (size_t{w} * bitsPerPixel() + 7) / 8; }
    // The distance to the byte a filter predicts from: one pixel, at least one byte.
    size_t filterStep() const { return std::max<size_t>(1, bitsPerPixel() / 8); }
};

bool validHeader(const Header& h) {
    switch (h.colour) {
    case kGrey:
        return h.depth == 1 || h.depth == 2 || h.depth == 4 || h.depth == 8 || h.depth == 16;
    case kPalette:
        return h.depth == 1 || h.depth == 2 || h.depth == 4 || h.depth == 8;
    case kRgb:
    case kGreyAlpha:
    case kRgba:
        return h.depth == 8 || h.depth == 16;
    default:
        return false;
    }
}

// Adam7: the passes' first column and row and their steps; one pass with steps of 1 otherwise.
struct Pass {
    uint32_t x0, y0, dx, dy;
};
constexpr Pass kAdam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                            {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
constexpr Pass kWhole = {0, 0, 1, 1};

uint32_t passExtent(uint32_t size, uint32_t start, uint32_t step) {
    return size > start ? (size - start + step - 1) / step : 0;
}

uint8_t paeth(uint8_t a, uint8_t b, uint8_t c) {
    const int p = int(a) + int(b) - int(c);
    const int pa = std::abs(p - int(a)), pb = std::abs(p - int(b)), pc = std::abs(p - int(c));
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

// Undoes the filter of one row in place; `previous` is the row above (null for the first row of
// a pass). False for an unknown filter type.
bool unfilter(uint8_t type, uint8_t* row, const uint8_t* previous, size_t bytes, size_t step) {
    switch (type) {
    case 0:
        return true;
    case 1:
        for (size_t i = step; i < bytes; ++i) row[i] = uint8_t(row[i] + row[i - step]);
        return true;
    case 2:
        if (previous)
            for (size_t i = 0; i < bytes; ++i) row[i] = uint8_t(row[i] + previous[i]);
        return true;
    case 3:
        for (size_t i = 0; i < bytes; ++i) {
            const int left = i >= step ? row[i - step] : 0;
            const int up = previous ? previous[i] : 0;
            row[i] = uint8_t(row[i] + (left + up) / 2);
        }
        return true;
    case 4:
        for (size_t i = 0; i < bytes; ++i) {
            const uint8_t left = i >= step ? row[i - step] : 0;
            const uint8_t up = previous ? previous[i] : 0;
            const uint8_t upLeft = previous && i >= step ? previous[i - step] : 0;
            row[i] = uint8_t(row[i] + paeth(left, up, upLeft));
        }
        return true;
    default:
        return false;
    }
}

// Sample `index` (0-based, in units of `depth` bits) of an unfiltered row.
uint32_t sampleAt(const uint8_t* row, size_t index, int depth) {
    if (depth == 16) return uint32_t(row[2 * index]) << 8 | row[2 * index + 1];
    if (depth == 8) return row[index];
    const size_t bit = index * static_cast<size_t>(depth);
    const int shift = 8 - depth - static_cast<int>(bit % 8);
    return (row[bit / 8] >> shift) & ((1u << depth) - 1);
}

class Decoder {
  public:
    Decoder(const Header& header, const std::vector<std::array<uint8_t, 3>>& palette,
            RgbImage& image)
        : h_(header), palette_(palette), image_(image) {}

    // Unfilters `data` (all passes, every row with its filter byte) into the image.
    bool decode(std::vector<uint8_t>& data) {
        size_t offset = 0;
        const Pass* passes = h_.interlaced ? kAdam7 : &kWhole;
        const int passCount = h_.interlaced ? 7 : 1;
        for (int p = 0; p < passCount; ++p) {
            const Pass& pass = passes[p];
            const uint32_t columns = passExtent(h_.width, pass.x0, pass.dx);
            const uint32_t rows = passExtent(h_.height, pass.y0, pass.dy);
            if (columns == 0 || rows == 0) continue;
            const size_t bytes = h_.rowBytes(columns);
            const uint8_t* previous = nullptr;
            for (uint32_t r = 0; r < rows; ++r) {
                if (data.size() - offset < bytes + 1) return false;
                uint8_t* row = data.data() + offset + 1;
                if (!unfilter(data[offset], row, previous, bytes, h_.filterStep())) return false;
                for (uint32_t c = 0; c < columns; ++c)
                    store(pass.x0 + c * pass.dx, pass.y0 + r * pass.dy, row, c);
                previous = row;
                offset += bytes + 1;
            }
        }
        return true;
    }

  private:
    // The R, G, B samples of column `c` of an unfiltered row, into pixel (x, y).
    void store(uint32_t x, uint32_t y, const uint8_t* row, uint32_t c) {
        uint16_t* out = &image_.samples[(size_t{y} * h_.width + x) * 3];
        const size_t first = size_t{c} * static_cast<size_t>(h_.channels());
        switch (h_.colour) {
        case kPalette: {
            const uint32_t index = sampleAt(row, first, h_.depth);
            static constexpr std::array<uint8_t, 3> kBlack = {0, 0, 0};
            const auto& entry = index < palette_.size() ? palette_[index] : kBlack;
            for (int k = 0; k < 3; ++k) out[k] = entry[static_cast<size_t>(k)];
            return;
        }
        case kGrey:
        case kGreyAlpha: {
            uint32_t v = sampleAt(row, first, h_.depth);
            if (h_.depth < 8) v = v * 255u / ((1u << h_.depth) - 1u); // replicates the bits
            out[0] = out[1] = out[2] = static_cast<uint16_t>(v);
            return;
        }
        default:
            for (int k = 0; k < 3; ++k)
                out[k] =
                    static_cast<uint16_t>(sampleAt(row, first + static_cast<size_t>(k), h_.depth));
            return;
        }
    }

    const Header& h_;
    const std::vector<std::array<uint8_t, 3>>& palette_;
    RgbImage& image_;
};

// Inflates `compressed` into exactly `expected` bytes. Data past them is ignored; too little, or
// a broken stream, is false.
bool inflateAll(const std::vector<uint8_t>& compressed, size_t expected,
                std::vector<uint8_t>& out) {
    out.assign(expected, 0);
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    size_t in = 0, produced = 0;
    int status = Z_OK;
    while (produced < expected && status == Z_OK) {
        const auto inPart = static_cast<uInt>(std::min<size_t>(compressed.size() - in, 1u << 30));
        const auto outPart = static_cast<uInt>(std::min<size_t>(expected - produced, 1u << 30));
        z.next_in = const_cast<Bytef*>(compressed.data() + in);
        z.avail_in = inPart;
        z.next_out = out.data() + produced;
        z.avail_out = outPart;
        status = inflate(&z, Z_NO_FLUSH);
        in += inPart - z.avail_in;
        produced += outPart - z.avail_out;
        if (status == Z_BUF_ERROR && inPart == 0) break; // the stream ended early
        if (status == Z_BUF_ERROR) status = Z_OK;
    }
    inflateEnd(&z);
    return produced == expected && (status == Z_OK || status == Z_STREAM_END);
}

size_t imageDataBytes(const Header& h) {
    if (!h.interlaced) return size_t{h.height} * (h.rowBytes(h.width) + 1);
    size_t total = 0;
    for (const Pass& pass : kAdam7) {
        const uint32_t columns = passExtent(h.width, pass.x0, pass.dx);
        const uint32_t rows = passExtent(h.height, pass.y0, pass.dy);
        if (columns && rows) total += size_t{rows} * (h.rowBytes(columns) + 1);
    }
    return total;
}

// The filter byte a row is written with: of the five, the one whose output has the smallest sum
// of absolute values (read as signed bytes), the usual choice for photographs.
uint8_t bestFilter(const uint8_t* row, const uint8_t* previous, size_t bytes,
                   std::vector<uint8_t>& scratch, std::vector<uint8_t>& best) {
    uint64_t bestSum = UINT64_MAX;
    uint8_t bestType = 0;
    scratch.resize(bytes);
    for (uint8_t type = 0; type < 5; ++type) {
        uint64_t sum = 0;
        for (size_t i = 0; i < bytes; ++i) {
            const uint8_t left = i >= 3 ? row[i - 3] : 0;
            const uint8_t up = previous ? previous[i] : 0;
            const uint8_t upLeft = previous && i >= 3 ? previous[i - 3] : 0;
            uint8_t predicted = 0;
            switch (type) {
            case 1:
                predicted = left;
                break;
            case 2:
                predicted = up;
                break;
            case 3:
                predicted = uint8_t((int(left) + int(up)) / 2);
                break;
            case 4:
                predicted = paeth(left, up, upLeft);
                break;
            default:
                break;
            }
            scratch[i] = uint8_t(row[i] - predicted);
            sum += static_cast<uint64_t>(std::abs(static_cast<int8_t>(scratch[i])));
        }
        if (sum < bestSum) {
            bestSum = sum;
            bestType = type;
            best.assign(scratch.begin(), scratch.end());
        }
    }
    return bestType;
}

void putChunk(std::vector<uint8_t>& out, const char* type, const uint8_t* data, size_t length) {
    putU32(out, static_cast<uint32_t>(length));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    if (length) out.insert(out.end(), data, data + length);
    putU32(out, chunkCrc(out.data() + start, length + 4));
}

} // namespace

PngError decodePng(const uint8_t* data, size_t size, RgbImage& image) {
    if (size < 8 || memcmp(data, kSignature, 8) != 0) return PngError::NotPng;
    Header h;
    bool haveHeader = false, ended = false;
    std::vector<std::array<uint8_t, 3>> palette;
    std::vector<uint8_t> compressed;
    size_t at = 8;
    while (!ended) {
        if (size - at < 12) return PngError::Damaged;
        const uint32_t length = readU32(data + at);
        if (length > 0x7FFFFFFFu || size - at - 12 < length) return PngError::Damaged;
        const uint8_t* type = data + at + 4;
        const uint8_t* body = data + at + 8;
        const bool critical = (type[0] & 0x20) == 0;
        const bool crcGood = readU32(body + length) == chunkCrc(type, size_t{length} + 4);
        at += size_t{length} + 12;
        if (!crcGood) {
            if (critical) return PngError::Damaged;
            continue; // an ancillary chunk with a bad checksum is dropped, as libpng does
        }
        if (memcmp(type, "IHDR", 4) == 0) {
            if (haveHeader || length != 13) return PngError::Damaged;
            h.width = readU32(body);
            h.height = readU32(body + 4);
            h.depth = body[8];
            h.colour = body[9];
            h.interlaced = body[12] == 1;
            image.width = h.width;
            image.height = h.height;
            if (h.width == 0 || h.height == 0 || h.width > kMaxPngSide || h.height > kMaxPngSide)
                return PngError::ImpossibleSize;
            if (!validHeader(h) || body[10] != 0 || body[11] != 0 || body[12] > 1)
                return PngError::Damaged;
            haveHeader = true;
        } else if (!haveHeader) {
            return PngError::Damaged; // IHDR comes first
        } else if (memcmp(type, "PLTE", 4) == 0) {
            if (length % 3 != 0 || length == 0 || length > 3 * 256 || !palette.empty())
                return PngError::Damaged;
            for (uint32_t i = 0; i < length; i += 3)
                palette.push_back({body[i], body[i + 1], body[i + 2]});
        } else if (memcmp(type, "IDAT", 4) == 0) {
            compressed.insert(compressed.end(), body, body + length);
        } else if (memcmp(type, "IEND", 4) == 0) {
            ended = true;
        } else if (critical) {
            return PngError::Damaged; // a critical chunk this decoder does not know
        }
    }
    if (!haveHeader || compressed.empty() || (h.colour == kPalette && palette.empty()))
        return PngError::Damaged;

    std::vector<uint8_t> filtered;
    if (!inflateAll(compressed, imageDataBytes(h), filtered)) return PngError::Damaged;
    image.depth = h.depth == 16 ? 16 : 8;
    image.samples.assign(size_t{h.width} * h.height * 3, 0);
    return Decoder(h, palette, image).decode(filtered) ? PngError::None : PngError::Damaged;
}

std::vector<uint8_t> encodePng(const RgbImage& image) {
    std::vector<uint8_t> out(kSignature, kSignature + 8);
    uint8_t header[13];
    const uint32_t fields[2] = {image.width, image.height};
    for (int f = 0; f < 2; ++f)
        for (int b = 0; b < 4; ++b)
            header[4 * f + b] = static_cast<uint8_t>(fields[f] >> (24 - 8 * b));
    header[8] = 8;    // bits per sample
    header[9] = kRgb; // colour type
    header[10] = header[11] = header[12] = 0;
    putChunk(out, "IHDR", header, sizeof header);

    const size_t bytes = size_t{image.width} * 3;
    std::vector<uint8_t> raw;
    raw.reserve(size_t{image.height} * (bytes + 1));
    std::vector<uint8_t> row(bytes), previous(bytes), scratch, best;
    for (uint32_t y = 0; y < image.height; ++y) {
        for (size_t i = 0; i < bytes; ++i)
            row[i] = static_cast<uint8_t>(image.samples[size_t{y} * bytes + i]);
        raw.push_back(bestFilter(row.data(), y ? previous.data() : nullptr, bytes, scratch, best));
        raw.insert(raw.end(), best.begin(), best.end());
        std::swap(row, previous);
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> packed(packedSize);
    compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 6);
    putChunk(out, "IDAT", packed.data(), packedSize);
    putChunk(out, "IEND", nullptr, 0);
    return out;
}

} // namespace kestrin::hostsim
