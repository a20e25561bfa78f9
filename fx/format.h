// Fixed numbers of the fx_2_0 container shared by the writer and the reader.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin::fx::format {

inline constexpr uint32_t kTag = 0xFEFF0901; // first DWORD: effect format 9.1
inline constexpr size_t kHeaderBytes = 8;    // tag, then the size of the data area

// Index field that fxc stores in every state record inside a sampler_state.
inline constexpr uint32_t kSamplerStateIndex = 0x100;

// Resource entry: technique field of a sampler parameter's state; element field of a pass state.
inline constexpr uint32_t kNone = 0xFFFFFFFF;

// Resource usage: what the resource data is.
inline constexpr uint32_t kUsageData = 0;          // shader bytecode (or an FX preshader)
inline constexpr uint32_t kUsageParameterName = 1; // NUL-terminated name of a parameter
inline constexpr uint32_t kUsageArraySelector = 2; // array name plus an index preshader

// Typedef sizes in DWORDs: the common head, plus rows/columns for numeric classes.
inline constexpr uint32_t kTypedefObjectWords = 5;
inline constexpr uint32_t kTypedefNumericWords = 7;

} // namespace kestrin::fx::format
