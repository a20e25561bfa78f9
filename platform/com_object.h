// The one base of every stand-in COM object: an atomic reference count, QueryInterface over the
// object's interface IDs, and the live-object count the test hooks report.
//
// Release at zero deletes the object; a further Release is a caller's bug and returns 0 without
// touching the count (D3D9 applications sometimes over-release; the count must not wrap).
// QueryInterface: a null out-pointer gives E_POINTER; otherwise *out is cleared, IUnknown and
// the listed IIDs answer with AddRef + S_OK, anything else E_NOINTERFACE.
#pragma once

#include <atomic>
#include <initializer_list>

#include "platform/test_hooks.h"
#include "unknwn.h"

namespace kestrin::platform {

template <class Interface> class ComObject : public Interface {
  public:
    ComObject() { hooks::objectCreated(); }
    virtual ~ComObject() { hooks::objectDestroyed(); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid == IID_IUnknown || answers(riid)) {
            AddRef();
            *out = static_cast<Interface*>(this);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG current = refs_.load();
        do {
            if (current == 0) return 0;
        } while (!refs_.compare_exchange_weak(current, current - 1));
        if (current == 1) delete this;
        return current - 1;
    }

    ULONG refCount() const { return refs_.load(); }

  protected:
    // The interface IDs this object answers besides IUnknown.
    virtual bool answers(REFIID riid) const = 0;

  private:
    std::atomic<ULONG> refs_{1};
};

} // namespace kestrin::platform
