// Resources of a native module. On Windows, resources live in the module's image; on the native
// build a module (shared object) exports a table of them instead:
//
//     extern "C" const KestrinResourceEntry kestrin_module_resources[] = {
//         {10 /* RT_RCDATA */, 104, 0x0411, effectBytes, effectSize},
//         {0, 0, 0, nullptr, 0}, // ends the table
//     };
//
// FindResourceW / FindResourceExW / LoadResource / SizeofResource / LockResource (<windows.h>)
// find a module's table in the registry below first, then by looking the symbol up in the
// module itself (HMODULE is the module's dlopen handle; a null HMODULE means the main program,
// whose table must then be exported, e.g. with -rdynamic).
#pragma once

#include <cstdint>

#include "kestrin_win_base.h"

struct KestrinResourceEntry {
    uint16_t type;     // RT_RCDATA = 10, ...
    uint16_t id;       // integer resource name
    uint16_t language; // LANGID, e.g. 0x0411
    const void* data;  // null ends the table
    uint32_t size;     // bytes
};

// For tests that have no module: from now on `module` (any value, also a made-up one) answers
// with `table`, which must stay valid and end with a null-data entry. A null table forgets the
// module again.
void registerModuleResources(HMODULE module, const KestrinResourceEntry* table);

namespace kestrin::platform {
using ::registerModuleResources;
}
