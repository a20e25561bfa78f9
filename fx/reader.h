// Reads a compiled fx_2_0 effect back into an Effect, trusting nothing in it: every offset,
// length, count, object id and resource index is checked against the buffer and against what
// has been parsed, and the first problem is reported with where it was found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fx/effect.h"
#include "fx/result.h"

namespace kestrin::fx {

// Parses `size` bytes at `data`. Never reads outside them and never throws. Accepts what D3DX
// accepts within the Effect model (unused object data, annotations, trailing bytes); rejects what
// the model cannot hold (structures, string or shader parameters, arrays of objects, computed
// states) with a message that says so.
Result<Effect> readEffect(const uint8_t* data, size_t size);

inline Result<Effect> readEffect(std::span<const uint8_t> bytes) {
    return readEffect(bytes.data(), bytes.size());
}

} // namespace kestrin::fx
