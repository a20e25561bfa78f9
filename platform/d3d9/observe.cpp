#include "platform/d3d9/observe.h"

#include <mutex>

#include "platform/d3d9/device.h"
#include "platform/d3d9/surface.h"
#include "platform/d3d9/texture.h"
#include "platform/d3d9/vertex_buffer.h"

namespace kestrin::platform::d3d9::observe {

bool surfaceLocks(IUnknown* surfaceOrTexture, UINT level, LockInfo* out) {
    DeviceObject* object = findObject(surfaceOrTexture);
    if (!object || !out) return false;
    std::lock_guard guard(object->device()->mutex());
    const Surface* surface = nullptr;
    if (object->kind() == ObjectKind::Surface)
        surface = static_cast<Surface*>(object);
    else if (object->kind() == ObjectKind::Texture)
        surface = static_cast<Texture*>(object)->level(level);
    if (!surface) return false;
    const LockRecord& last = surface->lastLock();
    *out = {surface->locked(), surface->lockCount(), last.flags, last.whole, last.rect};
    return true;
}

bool bufferLocks(IDirect3DVertexBuffer9* buffer, LockInfo* out) {
    DeviceObject* object = findObject(buffer);
    if (!object || !out || object->kind() != ObjectKind::VertexBuffer) return false;
    std::lock_guard guard(object->device()->mutex());
    const auto* b = static_cast<VertexBuffer*>(object);
    *out = LockInfo{};
    out->locked = b->lockDepth() > 0;
    out->lockCount = b->lockCount();
    out->lastFlags = b->lastLockFlags();
    return true;
}

int defaultPoolObjects(IDirect3DDevice9* device) {
    if (!device) return -1;
    // Devices are not registered objects; every device is ours in the native build.
    return static_cast<Device*>(device)->defaultPoolObjects();
}

int publicRefs(IUnknown* object) {
    DeviceObject* o = findObject(object);
    return o ? static_cast<int>(o->publicRefs()) : -1;
}

} // namespace kestrin::platform::d3d9::observe
