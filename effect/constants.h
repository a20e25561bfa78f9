// Constants of the filter effect, as single-precision bit patterns.
//
// The colour matrices are stored row by row: element [r][k] is the factor of input component k
// in output component r. The effect source carries the same values as its parameter defaults;
// a test checks that the built effect holds exactly these bits.
#pragma once

#include <bit>
#include <cstdint>

namespace kestrin {

inline constexpr uint32_t kMatYC2RGBBits[3][3] = {
    {0x3F800000u, 0x00000000u, 0x3FB374BCu}, // R = Y + 1.402 Cr
    {0x3F800000u, 0xBEB0331Eu, 0xBF36D1E1u}, // G = Y - 0.34414 Cb - 0.71414 Cr
    {0x3F800000u, 0x3FE2D0E5u, 0x00000000u}, // B = Y + 1.772 Cb
};

inline constexpr uint32_t kMatRGB2YCBits[3][3] = {
    {0x3E991687u, 0x3F1645A2u, 0x3DE978D5u}, // Y  =  0.299 R + 0.587 G + 0.114 B
    {0xBE2CCA2Eu, 0xBEA99AE9u, 0x3F000000u}, // Cb = -0.16874 R - 0.33126 G + 0.5 B
    {0x3F000000u, 0xBED65E89u, 0xBDA685DBu}, // Cr =  0.5 R - 0.41869 G - 0.08131 B
};

inline constexpr uint32_t kWeightScaleBits = 0x3EB851ECu; // 0.36: 1 / 0.36 is the weight's reach
inline constexpr uint32_t kBiasUBits = 0x3F000080u;       // 32768 / 65535

inline constexpr int kKernelRadius = 3; // taps -3..3 in each direction

inline constexpr float bitsToFloat(uint32_t bits) {
    return std::bit_cast<float>(bits);
}

} // namespace kestrin
