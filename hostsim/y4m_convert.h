// Between a YUV4MPEG2 frame's samples and the editor's scale (Y 0 to 4096 from black to white,
// Cb and Cr -2048 to 2048), by linear maps rounded to nearest. For b-bit samples, s = 2^(b-8):
//
//   limited range:  Y  16s .. 235s      <->  0 .. 4096
//                   Cb, Cr 16s .. 240s  <->  -2048 .. 2048   (128s <-> 0)
//   full range:     Y  0 .. 2^b - 1     <->  0 .. 4096
//                   Cb, Cr 0 .. 2^b - 1 <->  -2048 .. 2048
//
// Codes outside a limited range map on along the same line; going back, values are rounded and
// clamped to the codes of the depth. Up to 12 bits a code spans more than one step of the editor's
// scale, so the way back gives every code unchanged; a 16-bit code comes back within one step
// (about 14 codes of luma).
//
// Subsampled chroma is interpolated up to one sample per pixel for the filter, linearly between
// the chroma samples where the layout places them (centred between the pixels, or with the left
// or top-left one). Going back to the same layout, each chroma sample becomes the stream's own
// sample plus the mean change the filter made over the pixels it covers: a frame the filter left
// alone gives its chroma back exactly. Going to another layout, chroma is the mean over those
// pixels.
#pragma once

#include <cstdint>
#include <vector>

#include "host/host_records.h"
#include "hostsim/y4m.h"

namespace kestrin::hostsim::y4m {

// The two maps of one depth and range, as tables over every code and every host value.
class SampleMaps {
  public:
    SampleMaps(int bits, bool fullRange);

    int16_t lumaToHost(uint16_t code) const { return lumaIn_[code]; }
    int16_t chromaToHost(uint16_t code) const { return chromaIn_[code]; }
    uint16_t lumaFromHost(int16_t value) const { return lumaOut_[uint16_t(value) ^ 0x8000u]; }
    uint16_t chromaFromHost(int16_t value) const { return chromaOut_[uint16_t(value) ^ 0x8000u]; }
    int bits() const { return bits_; }

  private:
    int bits_;
    std::vector<int16_t> lumaIn_, chromaIn_;    // by code
    std::vector<uint16_t> lumaOut_, chromaOut_; // by host value + 32768
};

// The frame as the editor holds it: width x height pixels, packed rows.
void toHost(const Planes& planes, const Header& header, const SampleMaps& maps,
            std::vector<YcPixel>& frame);

// The filtered frame (rows `pitch` pixels apart) back to `out`'s layout and depth. `source` and
// `inHeader`/`inMaps` are the stream's frame the filtered one came from: when the layouts agree,
// chroma goes back as the source's samples plus the filter's change.
void fromHost(const YcPixel* filtered, int32_t pitch, const Planes& source, const Header& inHeader,
              const SampleMaps& inMaps, const Header& outHeader, const SampleMaps& outMaps,
              Planes& out);

} // namespace kestrin::hostsim::y4m
