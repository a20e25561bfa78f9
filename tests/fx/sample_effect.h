// An effect shaped like the filter's: the same parameters, samplers, techniques, passes and
// states, with small fake pixel programs in place of the real ones.
#pragma once

#include <cstdint>
#include <vector>

#include "fx/effect.h"

namespace kestrin::fx::fixtures {

// A fake ps_3_0 program: version token, `fill` filler words, end token. Distinct per `seed`.
std::vector<uint32_t> fakePixelShader(uint32_t seed, uint32_t fill);

// Parameters txSrc, samSrc, txRGB, samRGB, pixGain, pixDist, posDist, posPitch, matYC2RGB,
// matRGB2YC; techniques BilateralFiltering and BilateralFilteringU, passes p0..p2, each
// VertexShader = NULL, PixelShader = <fake program, 3 + technique * 3 + pass words>,
// ZEnable = FALSE.
Effect filterShapedEffect();

// Shader words of technique t, pass p in filterShapedEffect().
std::vector<uint32_t> filterShader(uint32_t t, uint32_t p);

// Little-endian DWORD access to a binary by byte offset.
uint32_t wordAt(const std::vector<uint8_t>& bytes, size_t offset);
void setWordAt(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);

// File offsets of the records in a binary written from filterShapedEffect(): 10 parameter
// records of 4 DWORDs, techniques of 3 DWORDs plus 3 passes of 3 DWORDs plus 3 states of 4.
struct FilterLayout {
    size_t dataSize = 0;
    size_t structured = 0; // parameter count, technique count, shader count, object count
    std::vector<size_t> resources;

    static size_t data(uint32_t dataOffset) { return 8 + size_t{dataOffset}; }
    size_t parameterRecord(size_t i) const { return structured + 16 + 16 * i; }
    size_t techniqueRecord(size_t t) const { return parameterRecord(10) + 192 * t; }
    size_t passRecord(size_t t, size_t p) const { return techniqueRecord(t) + 12 + 60 * p; }
    size_t stateRecord(size_t t, size_t p, size_t s) const {
        return passRecord(t, p) + 12 + 16 * s;
    }
    size_t objectDataCount() const { return techniqueRecord(2); }
    size_t objectData(size_t i) const { return objectDataCount() + 8 + 8 * i; }
};

// Walks the resource entries (whose sizes vary) of a well-formed filter-shaped binary.
FilterLayout filterLayout(const std::vector<uint8_t>& bytes);

} // namespace kestrin::fx::fixtures
