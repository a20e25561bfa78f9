#include "platform/d3d9/object.h"

#include <mutex>

#include "platform/d3d9/device.h"

namespace kestrin::platform::d3d9 {
namespace {

constexpr uint64_t kPublicOne = 1;
constexpr uint64_t kPrivateOne = uint64_t{1} << 32;
constexpr uint64_t kPublicMask = 0xFFFFFFFFu;

std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

DeviceObject* registryHead = nullptr; // guarded by registryMutex()

} // namespace

DeviceObject::DeviceObject(ObjectKind kind, Device* device, DeviceObject* container,
                           const IUnknown* key)
    : kind_(kind), device_(device), container_(container), key_(key) {
    std::lock_guard guard(registryMutex());
    next_ = registryHead;
    if (next_) next_->prev_ = this;
    registryHead = this;
}

DeviceObject::~DeviceObject() {
    {
        std::lock_guard guard(registryMutex());
        if (prev_)
            prev_->next_ = next_;
        else
            registryHead = next_;
        if (next_) next_->prev_ = prev_;
    }
    if (countedInDefaultPool_) device_->defaultPoolObjectDestroyed();
}

DeviceObject* findObject(const IUnknown* key) {
    std::lock_guard guard(registryMutex());
    for (DeviceObject* o = registryHead; o; o = o->next_)
        if (o->key_ == key) return o;
    return nullptr;
}

void DeviceObject::attach(bool defaultPool) {
    device_->AddRef();
    if (defaultPool) {
        countedInDefaultPool_ = true;
        device_->defaultPoolObjectCreated();
    }
}

ULONG DeviceObject::addPublicRef() {
    if (container_) return container_->addPublicRef();
    const uint64_t old = refs_.fetch_add(kPublicOne);
    // Back from public zero (a getter handing out a bound object): the device reference too.
    if ((old & kPublicMask) == 0) device_->AddRef();
    return static_cast<ULONG>((old & kPublicMask) + 1);
}

ULONG DeviceObject::releasePublicRef() {
    if (container_) return container_->releasePublicRef();
    Device* device = device_; // `this` may be gone once the count has dropped
    uint64_t old = refs_.load();
    uint64_t now = 0;
    do {
        if ((old & kPublicMask) == 0) return 0;
        now = old - kPublicOne;
    } while (!refs_.compare_exchange_weak(old, now));
    const auto publicCount = static_cast<ULONG>(now & kPublicMask);
    if (publicCount == 0) {
        if (now == 0) destroy();
        device->Release();
    }
    return publicCount;
}

void DeviceObject::addPrivateRef() {
    if (container_) return container_->addPrivateRef();
    refs_.fetch_add(kPrivateOne);
}

void DeviceObject::releasePrivateRef() {
    if (container_) return container_->releasePrivateRef();
    if (refs_.fetch_sub(kPrivateOne) == kPrivateOne) destroy();
}

ULONG DeviceObject::publicRefs() const {
    if (container_) return container_->publicRefs();
    return static_cast<ULONG>(refs_.load() & kPublicMask);
}

} // namespace kestrin::platform::d3d9
