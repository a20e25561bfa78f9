// How a parameter's value fills shader constant registers, for one constant-table entry.
//
// Each register holds four 32-bit lanes. Scalars and vectors take one register per array element,
// their components in x, y, z, w. A matrix that the constant table describes as MATRIX_COLUMNS
// takes one register per column (register base + k = column k, rows in x, y, z, w); one described
// as MATRIX_ROWS takes one register per row. Lanes the value does not reach are 0. A FLOAT4 set
// receives floats, an INT4 set integers (truncated from floats), a BOOL set one 0/1 value per
// register in x, taken from the value's components in order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fx/effect.h"
#include "shader/ctab.h"

namespace kestrin::platform::d3dx9 {

// One constant-table entry of a program, tied to the top-level parameter of the same name.
struct ConstantBinding {
    size_t parameter = 0;
    shader::RegisterSet set = shader::RegisterSet::Float4;
    uint32_t firstRegister = 0;
    uint32_t registerCount = 0;
    shader::ParamClass layout = shader::ParamClass::Scalar; // the entry's class
};

using RegisterValue = std::array<uint32_t, 4>;

// The most registers the parameter's value can fill when laid out as `layout` in `set`.
uint64_t registersFilled(const fx::Parameter& p, shader::RegisterSet set,
                         shader::ParamClass layout);

// The contents of the binding's registers (registerCount of them) for the value `words` of the
// bound parameter `p`.
std::vector<RegisterValue> bindingRegisters(const ConstantBinding& binding, const fx::Parameter& p,
                                            const std::vector<uint32_t>& words);

} // namespace kestrin::platform::d3dx9
