#include "platform/d3dx9/buffer.h"

#include <cstring>
#include <new>

namespace kestrin::platform::d3dx9 {

LPVOID STDMETHODCALLTYPE Buffer::GetBufferPointer() {
    return enter({kInterface, __func__}, FailureValue<LPVOID>{nullptr},
                 [&](auto& call) -> LPVOID { return call.proceed([&] { return bytes_.data(); }); });
}

DWORD STDMETHODCALLTYPE Buffer::GetBufferSize() {
    return enter({kInterface, __func__}, AnyValue<DWORD>{0}, [&](auto& call) -> DWORD {
        return call.proceed([&] { return static_cast<DWORD>(size_); });
    });
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
    return enter({.function = __func__}, outputs(buffer), [&](auto& call) {
        if (!buffer) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *buffer = new d3dx9::Buffer(size);
            return D3D_OK;
        });
    });
}
