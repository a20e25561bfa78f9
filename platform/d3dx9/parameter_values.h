// Typed access to the value of a numeric effect parameter, as the effect's SetFloat, SetVector,
// SetMatrix, SetValue (and their getters) see it.
//
// A parameter keeps its value as raw 32-bit words in its own type (FLOAT bits, INT, BOOL 0/1),
// matrices row by row. Every setter converts what it is given into that type and every getter
// converts back: float to int truncates toward zero, anything to bool is "non-zero bits", bool and
// int to float are exact. Shape rules: the scalar accessors take a 1 x 1 parameter, the vector
// accessors a scalar or a vector (only its columns are stored; the others read back as 0), the
// matrix accessors a matrix; none of them takes an array. Each returns false when the parameter
// does not fit, leaving the value unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fx/effect.h"

namespace kestrin::platform::d3dx9 {

// A 32-bit number of type `from` converted to type `to` (FLOAT, INT or BOOL).
uint32_t convertNumber(uint32_t raw, fx::ParamType from, fx::ParamType to);

// The size D3DX reports for the parameter's value (D3DXPARAMETER_DESC::Bytes): 4 bytes per
// number, a pointer per texture or shader, nothing for samplers.
uint32_t parameterBytes(const fx::Parameter& p);

// SetFloat / SetInt / SetBool and their getters: `raw` is a number of type `type`.
bool setScalar(const fx::Parameter& p, std::vector<uint32_t>& words, uint32_t raw,
               fx::ParamType type);
bool getScalar(const fx::Parameter& p, const std::vector<uint32_t>& words, fx::ParamType type,
               uint32_t& raw);

// SetVector / GetVector: four floats x, y, z, w.
bool setVector(const fx::Parameter& p, std::vector<uint32_t>& words, const float (&v)[4]);
bool getVector(const fx::Parameter& p, const std::vector<uint32_t>& words, float (&v)[4]);

// SetMatrix / GetMatrix: a 4 x 4 float matrix row by row (m[r * 4 + c]).
bool setMatrix(const fx::Parameter& p, std::vector<uint32_t>& words, const float (&m)[16]);
bool getMatrix(const fx::Parameter& p, const std::vector<uint32_t>& words, float (&m)[16]);

// SetValue / GetValue on a numeric parameter: the value's raw bytes, `bytes` at least
// parameterBytes(p); the rest of a larger buffer is neither read nor written.
bool setRawValue(const fx::Parameter& p, std::vector<uint32_t>& words, const void* data,
                 size_t bytes);
bool getRawValue(const fx::Parameter& p, const std::vector<uint32_t>& words, void* data,
                 size_t bytes);

} // namespace kestrin::platform::d3dx9
