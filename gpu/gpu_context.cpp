#include "gpu/gpu_context.h"

#include <new>

GpuContext* g_context = nullptr;
bool g_rebuildNeeded = true;

namespace {

// The texts shown since the last ForgetShownErrors, by a hash of their characters: the texts
// themselves may be gone by now (an effect's error text is freed after its box). Written only by
// the thread that shows a box: the host's thread, or the render worker while the host's thread
// waits for its job.
struct ShownErrors {
    static constexpr int kCapacity = 32;
    uint64_t hashes[kCapacity];
    int count;
};
ShownErrors g_shownErrors = {{}, 0};

uint64_t TextHash(const wchar_t* text) {
    uint64_t h = 0xCBF29CE484222325ull; // FNV-1a over the UTF-16 units
    for (; *text; ++text) {
        h ^= static_cast<uint16_t>(*text);
        h *= 0x100000001B3ull;
    }
    return h;
}

// True when `text` was shown before; otherwise notes it (while there is room) and is false.
bool AlreadyShown(const wchar_t* text) {
    const uint64_t h = TextHash(text);
    for (int i = 0; i < g_shownErrors.count; ++i)
        if (g_shownErrors.hashes[i] == h) return true;
    if (g_shownErrors.count < ShownErrors::kCapacity)
        g_shownErrors.hashes[g_shownErrors.count++] = h;
    return false;
}

} // namespace

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
    if (!text || AlreadyShown(text)) return 0;
    MessageBoxW(nullptr, text, L"Kestrin", MB_SYSTEMMODAL | MB_ICONERROR);
    return 0;
}

void ForgetShownErrors() {
    g_shownErrors.count = 0;
}
