// Texel addressing along one axis, shared by the device's sampler and the fast engine (which
// folds reads at constant coordinates with it and fills decoded padding by it).
#pragma once

#include <algorithm>
#include <cstdint>

namespace kestrin::shader {

// D3DTEXTUREADDRESS values.
enum : uint32_t {
    kAddressWrap = 1,
    kAddressMirror = 2,
    kAddressClamp = 3,
    kAddressBorder = 4,
    kAddressMirrorOnce = 5
};

// The texel index `index` reads in a texture `size` texels long (size >= 1), or -1 for the
// border colour. Modes no address mode names wrap.
inline int64_t addressTexel(int64_t index, int64_t size, uint32_t mode) {
    switch (mode) {
    case kAddressClamp:
        return std::clamp<int64_t>(index, 0, size - 1);
    case kAddressBorder:
        return index < 0 || index >= size ? -1 : index;
    case kAddressMirror: {
        const int64_t period = 2 * size;
        int64_t m = index % period;
        if (m < 0) m += period;
        return m < size ? m : period - 1 - m;
    }
    case kAddressMirrorOnce:
        if (index < 0) index = -1 - index;
        return std::min(index, size - 1);
    default: {
        int64_t m = index % size;
        if (m < 0) m += size;
        return m;
    }
    }
}

} // namespace kestrin::shader
