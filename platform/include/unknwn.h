// Native build: IUnknown, the root of every COM interface the plug-in uses.
#pragma once

#include "kestrin_win_base.h"

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

  protected:
    ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

// IIDs are defined once, in the stand-in library.
#define KESTRIN_DECLARE_IID(name) extern "C" const IID name
KESTRIN_DECLARE_IID(IID_IUnknown);
