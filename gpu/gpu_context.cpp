#include "gpu/gpu_context.h"

#include <new>

GpuContext* g_context = nullptr;

GpuContext* NewGpuContext() {
    GpuContext* context = new (std::nothrow) GpuContext;
    if (!context) return nullptr;
    *context = GpuContext{};
    context->width = -1; // equal to no real size: the first frame always rebuilds
    context->height = -1;
    context->pitch = -1;
    context->passCount = 0;
    context->texelFormat = kTexelUnsigned;
    return context;
}

void ChooseTexelFormat(GpuContext* context) {
    context->texelFormat = context->signedFormatSupported ? kTexelSigned : kTexelUnsigned;
}

D3DFORMAT TexelD3DFormat(int32_t texelFormat) {
    return texelFormat == kTexelSigned ? D3DFMT_Q16W16V16U16 : D3DFMT_A16B16G16R16;
}

int32_t ShowError(const wchar_t* text) {
    MessageBoxW(nullptr, text, L"Kestrin", MB_SYSTEMMODAL | MB_ICONERROR);
    return 0;
}
