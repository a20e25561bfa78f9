#include "platform/d3dx9/buffer.h"

#include <cstring>
#include <new>

namespace kestrin::platform::d3dx9 {

LPVOID STDMETHODCALLTYPE Buffer::GetBufferPointer() {
    HRESULT hr = S_OK;
    if (hooks::shouldFail("ID3DXBuffer::GetBufferPointer", &hr)) return nullptr;
    return bytes_.data();
}

DWORD STDMETHODCALLTYPE Buffer::GetBufferSize() {
    HRESULT hr = S_OK;
    if (hooks::shouldFail("ID3DXBuffer::GetBufferSize", &hr)) return 0;
    return static_cast<DWORD>(size_);
}

ID3DXBuffer* makeTextBuffer(std::string_view text) noexcept {
    try {
        auto* buffer = new Buffer(text.size() + 1);
        std::memcpy(buffer->data(), text.data(), text.size());
        return buffer;
    } catch (...) {
        return nullptr;
    }
}

} // namespace kestrin::platform::d3dx9

extern "C" HRESULT WINAPI D3DXCreateBuffer(DWORD size, ID3DXBuffer** buffer) {
    using namespace kestrin::platform;
    if (buffer) *buffer = nullptr;
    if (!buffer) return D3DERR_INVALIDCALL;
    HRESULT hr = S_OK;
    if (hooks::shouldFail("D3DXCreateBuffer", &hr)) return hr;
    try {
        *buffer = new d3dx9::Buffer(size);
        return D3D_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
