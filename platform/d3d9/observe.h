// For tests: what the software device recorded, read without calling a Direct3D method (no call
// is logged, no reference count changes). Each function returns false (or -1) for a pointer that
// is not one of the device's live objects.
#pragma once

#include "d3d9.h"

namespace kestrin::platform::d3d9::observe {

struct LockInfo {
    bool locked = false;
    unsigned lockCount = 0; // locks since creation
    DWORD lastFlags = 0;    // flags of the last lock
    bool lastWhole = true;  // the last lock named no rectangle
    RECT lastRect{};        // the rectangle the last lock covered
};

// A surface's lock history; for a texture, that of level `level`.
bool surfaceLocks(IUnknown* surfaceOrTexture, UINT level, LockInfo* out);
// A vertex buffer's: `locked` while any lock is open; the rectangle is not used.
bool bufferLocks(IDirect3DVertexBuffer9* buffer, LockInfo* out);
// Default-pool resources alive on a device (those that make Reset fail).
int defaultPoolObjects(IDirect3DDevice9* device);
// The public reference count of a device object (a texture level's is its texture's).
int publicRefs(IUnknown* object);

} // namespace kestrin::platform::d3d9::observe
