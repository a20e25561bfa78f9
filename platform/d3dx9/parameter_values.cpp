#include "platform/d3dx9/parameter_values.h"

#include <bit>
#include <cstring>

namespace kestrin::platform::d3dx9 {
namespace {

using fx::ParamClass;
using fx::ParamType;

// Float to int as an x86 truncating conversion does: toward zero, and the "integer indefinite"
// value 0x80000000 for NaN and for anything outside the int range.
int32_t truncateToInt(float f) {
    if (!(f > -2147483904.0f && f < 2147483648.0f)) return INT32_MIN;
    return static_cast<int32_t>(f);
}

bool isPlainNumeric(const fx::Parameter& p) {
    return fx::isNumeric(p.type) && p.elements == 0 && p.rows >= 1 && p.rows <= 4 &&
           p.columns >= 1 && p.columns <= 4;
}

bool fits(const fx::Parameter& p, const std::vector<uint32_t>& words) {
    return words.size() == fx::valueWordCount(p);
}

} // namespace

uint32_t convertNumber(uint32_t raw, ParamType from, ParamType to) {
    if (to == ParamType::Bool) return raw != 0 ? 1u : 0u;
    if (from == to) return raw;
    if (to == ParamType::Float) {
        const float f = from == ParamType::Int ? static_cast<float>(static_cast<int32_t>(raw))
                                               : static_cast<float>(raw != 0 ? 1 : 0);
        return std::bit_cast<uint32_t>(f);
    }
    // To INT.
    if (from == ParamType::Float)
        return static_cast<uint32_t>(truncateToInt(std::bit_cast<float>(raw)));
    return raw != 0 ? 1u : 0u; // BOOL
}

uint32_t parameterBytes(const fx::Parameter& p) {
    const uint64_t count = p.elements == 0 ? 1 : p.elements;
    if (fx::isNumeric(p.type)) return static_cast<uint32_t>(fx::valueWordCount(p) * 4);
    if (fx::isTexture(p.type) || fx::isShader(p.type) || p.type == ParamType::String)
        return static_cast<uint32_t>(count * sizeof(void*));
    return 0;
}

bool setScalar(const fx::Parameter& p, std::vector<uint32_t>& words, uint32_t raw, ParamType type) {
    if (!isPlainNumeric(p) || p.rows != 1 || p.columns != 1 || !fits(p, words)) return false;
    words[0] = convertNumber(raw, type, p.type);
    return true;
}

bool getScalar(const fx::Parameter& p, const std::vector<uint32_t>& words, ParamType type,
               uint32_t& raw) {
    if (!isPlainNumeric(p) || p.rows != 1 || p.columns != 1 || !fits(p, words)) return false;
    raw = convertNumber(words[0], p.type, type);
    return true;
}

bool setVector(const fx::Parameter& p, std::vector<uint32_t>& words, const float (&v)[4]) {
    if (!isPlainNumeric(p) || (p.cls != ParamClass::Scalar && p.cls != ParamClass::Vector) ||
        p.rows != 1 || !fits(p, words))
        return false;
    for (uint32_t i = 0; i < p.columns; ++i)
        words[i] = convertNumber(std::bit_cast<uint32_t>(v[i]), ParamType::Float, p.type);
    return true;
}

bool getVector(const fx::Parameter& p, const std::vector<uint32_t>& words, float (&v)[4]) {
    if (!isPlainNumeric(p) || (p.cls != ParamClass::Scalar && p.cls != ParamClass::Vector) ||
        p.rows != 1 || !fits(p, words))
        return false;
    for (uint32_t i = 0; i < 4; ++i)
        v[i] = i < p.columns
                   ? std::bit_cast<float>(convertNumber(words[i], p.type, ParamType::Float))
                   : 0.0f;
    return true;
}

bool setMatrix(const fx::Parameter& p, std::vector<uint32_t>& words, const float (&m)[16]) {
    if (!isPlainNumeric(p) || p.cls != ParamClass::MatrixRows || !fits(p, words)) return false;
    for (uint32_t r = 0; r < p.rows; ++r)
        for (uint32_t c = 0; c < p.columns; ++c)
            words[r * p.columns + c] =
                convertNumber(std::bit_cast<uint32_t>(m[r * 4 + c]), ParamType::Float, p.type);
    return true;
}

bool getMatrix(const fx::Parameter& p, const std::vector<uint32_t>& words, float (&m)[16]) {
    if (!isPlainNumeric(p) || p.cls != ParamClass::MatrixRows || !fits(p, words)) return false;
    for (uint32_t r = 0; r < 4; ++r)
        for (uint32_t c = 0; c < 4; ++c)
            m[r * 4 + c] = r < p.rows && c < p.columns
                               ? std::bit_cast<float>(convertNumber(words[r * p.columns + c],
                                                                    p.type, ParamType::Float))
                               : 0.0f;
    return true;
}

bool setRawValue(const fx::Parameter& p, std::vector<uint32_t>& words, const void* data,
                 size_t bytes) {
    if (!data || !fx::isNumeric(p.type) || !fits(p, words) || bytes < parameterBytes(p))
        return false;
    std::memcpy(words.data(), data, words.size() * 4);
    return true;
}

bool getRawValue(const fx::Parameter& p, const std::vector<uint32_t>& words, void* data,
                 size_t bytes) {
    if (!data || !fx::isNumeric(p.type) || !fits(p, words) || bytes < parameterBytes(p))
        return false;
    std::memcpy(data, words.data(), words.size() * 4);
    return true;
}

} // namespace kestrin::platform::d3dx9
