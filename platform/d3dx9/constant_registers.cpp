#include "platform/d3dx9/constant_registers.h"

#include "platform/d3dx9/parameter_values.h"

namespace kestrin::platform::d3dx9 {
namespace {

using shader::ParamClass;
using shader::RegisterSet;

uint64_t registersPerElement(const fx::Parameter& p, ParamClass layout) {
    switch (layout) {
    case ParamClass::MatrixColumns:
        return p.columns;
    case ParamClass::MatrixRows:
        return p.rows;
    default:
        return 1;
    }
}

fx::ParamType laneType(RegisterSet set) {
    switch (set) {
    case RegisterSet::Int4:
        return fx::ParamType::Int;
    case RegisterSet::Bool:
        return fx::ParamType::Bool;
    default:
        return fx::ParamType::Float;
    }
}

} // namespace

uint64_t registersFilled(const fx::Parameter& p, RegisterSet set, ParamClass layout) {
    const uint64_t elements = p.elements == 0 ? 1 : p.elements;
    if (set == RegisterSet::Bool) return uint64_t{p.rows} * p.columns * elements;
    return registersPerElement(p, layout) * elements;
}

std::vector<RegisterValue> bindingRegisters(const ConstantBinding& binding, const fx::Parameter& p,
                                            const std::vector<uint32_t>& words) {
    std::vector<RegisterValue> registers(binding.registerCount, RegisterValue{});
    const fx::ParamType to = laneType(binding.set);
    auto value = [&](uint64_t i) -> uint32_t {
        return i < words.size() ? convertNumber(words[i], p.type, to) : 0u;
    };
    const uint64_t perElement = uint64_t{p.rows} * p.columns;
    if (binding.set == RegisterSet::Bool) {
        for (uint32_t r = 0; r < binding.registerCount; ++r) registers[r][0] = value(r);
        return registers;
    }
    const uint64_t stride = registersPerElement(p, binding.layout);
    if (stride == 0) return registers;
    for (uint32_t r = 0; r < binding.registerCount; ++r) {
        const uint64_t element = r / stride;
        const uint32_t k = static_cast<uint32_t>(r % stride); // row or column within the element
        const uint64_t base = element * perElement;
        RegisterValue& reg = registers[r];
        for (uint32_t lane = 0; lane < 4; ++lane) {
            switch (binding.layout) {
            case ParamClass::MatrixColumns:
                if (lane < p.rows) reg[lane] = value(base + uint64_t{lane} * p.columns + k);
                break;
            case ParamClass::MatrixRows:
                if (lane < p.columns) reg[lane] = value(base + uint64_t{k} * p.columns + lane);
                break;
            default:
                if (lane < perElement) reg[lane] = value(base + lane);
                break;
            }
        }
    }
    return registers;
}

} // namespace kestrin::platform::d3dx9
