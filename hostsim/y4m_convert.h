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
#include "hostsim/thread_pool.h"
#include "hostsim/y4m.h"
#include "hostsim/y4m_kernels.h"

namespace kestrin::hostsim::y4m {

// The two maps of one depth and range: tables over every code on the way in, integer
// arithmetic on the way back (see CodeMap).
class SampleMaps {
  public:
    SampleMaps(int bits, bool fullRange);

    int16_t lumaToHost(uint16_t code) const { return lumaIn_[code]; }
    int16_t chromaToHost(uint16_t code) const { return chromaIn_[code]; }
    uint16_t lumaFromHost(int16_t value) const { return lumaOut_(value); }
    uint16_t chromaFromHost(int16_t value) const { return chromaOut_(value); }
    ValueMap lumaIn() const { return lumaInMap_; }
    ValueMap chromaIn() const { return chromaInMap_; }
    const CodeMap& lumaOut() const { return lumaOut_; }
    const CodeMap& chromaOut() const { return chromaOut_; }
    // Every chroma sample times 8 (a blend's weights) fits in 16 bits: true for every map here
    // (|Cb|, |Cr| stay below 2400), kept as a check.
    bool chromaBlendsNarrow() const { return chromaBlendsNarrow_; }
    int bits() const { return bits_; }

  private:
    int bits_;
    std::vector<int16_t> lumaIn_, chromaIn_; // by code
    ValueMap lumaInMap_, chromaInMap_;
    CodeMap lumaOut_, chromaOut_;
    bool chromaBlendsNarrow_ = false;
};

// What the way back needs of a subsampled frame that went to the editor: its chroma samples on
// the editor's scale, and for each the sum of the interpolated chroma over the pixels it covers.
struct SourceChroma {
    std::vector<int16_t> cb, cr;
    std::vector<int32_t> sumCb, sumCr;
};

// The frame as the editor holds it: width x height pixels, packed rows. `source`, when given,
// receives what fromHost needs to give the stream's chroma back (left empty for 4:4:4 and mono).
// With a pool, bands of rows are converted on its threads.
void toHost(const Planes& planes, const Header& header, const SampleMaps& maps,
            std::vector<YcPixel>& frame, SourceChroma* source = nullptr,
            ThreadPool* pool = nullptr);

// The filtered frame (rows `pitch` pixels apart) to `outHeader`'s layout and depth. `source` is
// what toHost kept of the stream's frame (or null): when the layouts agree, chroma goes back as
// the stream's samples plus the filter's change.
void fromHost(const YcPixel* filtered, int32_t pitch, const Header& inHeader,
              const SourceChroma* source, const Header& outHeader, const SampleMaps& outMaps,
              Planes& out, ThreadPool* pool = nullptr);

} // namespace kestrin::hostsim::y4m
