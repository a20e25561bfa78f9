// Native build: ID3DXBuffer, the block of bytes D3DX hands back (compiler messages and the like).
#pragma once

#include "d3dx9.h"

KESTRIN_DECLARE_IID(IID_ID3DXBuffer);

struct ID3DXBuffer : public IUnknown {
    virtual LPVOID STDMETHODCALLTYPE GetBufferPointer() = 0;
    virtual DWORD STDMETHODCALLTYPE GetBufferSize() = 0;

  protected:
    ~ID3DXBuffer() = default;
};
typedef ID3DXBuffer* LPD3DXBUFFER;

// A zero-filled buffer of `size` bytes.
extern "C" HRESULT WINAPI D3DXCreateBuffer(DWORD size, ID3DXBuffer** buffer);
