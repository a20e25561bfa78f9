// What every object a device creates has in common: its two reference counts, its link to the
// device, and its entry in the registry that tells our objects from foreign pointers.
//
// Reference counts follow Direct3D 9:
// - The public count is what AddRef and Release change and return. While it is above zero the
//   object holds a reference on its device, so a device outlives every object the application
//   still holds.
// - The private count is held by the device's bindings (render target, textures, streams,
//   declaration, shader). Binding an object does not change what Release returns, and a bound
//   object that the application has released stays alive, without a device reference, until
//   the binding lets go. This breaks the cycle device -> binding -> object -> device.
// - The object is deleted when both counts are zero. A Release at public zero returns 0 and
//   changes nothing (applications over-release; the count must not wrap).
// - A texture's level surfaces have no counts of their own: their AddRef and Release act on the
//   texture, as on Direct3D 9 (a level is alive exactly as long as its texture).
//
// The registry is an intrusive list (no allocation, so registering cannot fail) keyed by the
// object's IUnknown address; the device looks every interface pointer it is handed up there and
// refuses what it does not find, or finds belonging to another device.
#pragma once

#include <atomic>
#include <cstdint>

#include "d3d9.h"
#include "platform/com_object.h"
#include "platform/entry_point.h"

namespace kestrin::platform::d3d9 {

class Device;

enum class ObjectKind : uint8_t { Texture, Surface, VertexBuffer, VertexDeclaration, PixelShader };

class DeviceObject {
  public:
    DeviceObject(const DeviceObject&) = delete;
    DeviceObject& operator=(const DeviceObject&) = delete;

    ObjectKind kind() const { return kind_; }
    Device* device() const { return device_; }

    ULONG addPublicRef();
    ULONG releasePublicRef();
    void addPrivateRef();
    void releasePrivateRef();
    // The public count (of the container for a texture level).
    ULONG publicRefs() const;

    // Called once by the creating device after construction: takes the device reference of the
    // first public count and, for default-pool resources, counts the object on the device.
    void attach(bool defaultPool);

  protected:
    // `container` (texture levels) carries the counts; such objects never attach.
    DeviceObject(ObjectKind kind, Device* device, DeviceObject* container, const IUnknown* key);
    virtual ~DeviceObject();
    // Deletes the complete object.
    virtual void destroy() = 0;

  private:
    friend DeviceObject* findObject(const IUnknown* key);

    ObjectKind kind_;
    Device* device_;
    DeviceObject* container_;
    const IUnknown* key_;
    bool countedInDefaultPool_ = false;
    // Low 32 bits: public count; high 32 bits: private count.
    std::atomic<uint64_t> refs_{1};
    DeviceObject* prev_ = nullptr;
    DeviceObject* next_ = nullptr;
};

// The registered object whose IUnknown address is `key`, or null.
DeviceObject* findObject(const IUnknown* key);

// The object of kind T::kKind that `iface` points to, if it belongs to `device`; else null.
template <class T, class I> T* findOwn(I* iface, const Device* device) {
    if (!iface) return nullptr;
    DeviceObject* object = findObject(static_cast<const IUnknown*>(iface));
    if (!object || object->kind() != T::kKind || object->device() != device) return nullptr;
    return static_cast<T*>(object);
}

// The COM side: AddRef and Release act on the public count.
template <class Interface> class DeviceChild : public ComObject<Interface>, public DeviceObject {
  public:
    ULONG STDMETHODCALLTYPE AddRef() override { return addPublicRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return releasePublicRef(); }

  protected:
    DeviceChild(ObjectKind kind, Device* device, DeviceObject* container)
        : DeviceObject(kind, device, container,
                       static_cast<const IUnknown*>(static_cast<Interface*>(this))) {}
    void destroy() override { delete this; }
};

// A device's hold on a bound object: a private reference.
template <class T> class Binding {
  public:
    Binding() = default;
    Binding(const Binding&) = delete;
    Binding& operator=(const Binding&) = delete;
    ~Binding() { reset(); }

    void set(T* object) {
        if (object) object->addPrivateRef();
        T* old = object_;
        object_ = object;
        if (old) old->releasePrivateRef();
    }
    void reset() { set(nullptr); }
    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    T* object_ = nullptr;
};

} // namespace kestrin::platform::d3d9
