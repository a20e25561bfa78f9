// Lays an Effect out as a compiled fx_2_0 effect, byte for byte in the arrangement fxc uses:
// data area (typedefs, values, strings, state lists) first, then counts, parameter and technique
// records, object-data entries and resources, each list in fxc's order.
#pragma once

#include <cstdint>
#include <vector>

#include "fx/effect.h"
#include "fx/result.h"

namespace kestrin::fx {

// The binary, or a message naming what in the effect cannot be written (an unknown state, a
// texture reference to a parameter that is not a texture, a default of the wrong length, ...).
Result<std::vector<uint8_t>> writeEffect(const Effect& effect);

} // namespace kestrin::fx
