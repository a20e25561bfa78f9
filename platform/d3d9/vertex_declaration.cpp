#include "platform/d3d9/vertex_declaration.h"

#include "platform/d3d9/device.h"
#include "platform/d3d9/state.h"
#include "platform/test_hooks.h"

namespace kestrin::platform::d3d9 {

UINT declTypeSize(BYTE type) {
    // Indexed by D3DDECLTYPE.
    static constexpr UINT kSizes[] = {4, 8, 12, 16, 4, 4, 4, 8, 4, 4, 8, 4, 8, 4, 4, 4, 8};
    return type < std::size(kSizes) ? kSizes[type] : 0;
}

bool validateDeclaration(const D3DVERTEXELEMENT9* elements, std::vector<D3DVERTEXELEMENT9>* out) {
    std::vector<D3DVERTEXELEMENT9> result;
    for (size_t i = 0;; ++i) {
        if (i > MAXD3DDECLLENGTH) return false;
        const D3DVERTEXELEMENT9& e = elements[i];
        if (e.Stream == 0xFF) {
            if (e.Type != D3DDECLTYPE_UNUSED) return false;
            result.push_back(e);
            break;
        }
        if (e.Stream >= kStreams || e.Type >= D3DDECLTYPE_UNUSED ||
            e.Method > D3DDECLMETHOD_LOOKUPPRESAMPLED || e.Usage > D3DDECLUSAGE_SAMPLE ||
            e.UsageIndex > MAXD3DDECLUSAGEINDEX || e.Offset % 4 != 0)
            return false;
        for (const D3DVERTEXELEMENT9& seen : result)
            if (seen.Usage == e.Usage && seen.UsageIndex == e.UsageIndex) return false;
        result.push_back(e);
    }
    *out = std::move(result);
    return true;
}

VertexDeclaration::VertexDeclaration(Device* device, std::vector<D3DVERTEXELEMENT9> elements)
    : DeviceChild(ObjectKind::VertexDeclaration, device, nullptr), elements_(std::move(elements)) {}

bool VertexDeclaration::answers(REFIID riid) const {
    return riid == IID_IDirect3DVertexDeclaration9;
}

const D3DVERTEXELEMENT9* VertexDeclaration::find(BYTE usage, BYTE usageIndex) const {
    for (const D3DVERTEXELEMENT9* e = begin(); e != end(); ++e)
        if (e->Usage == usage && e->UsageIndex == usageIndex) return e;
    return nullptr;
}

HRESULT VertexDeclaration::GetDevice(IDirect3DDevice9** ppDevice) {
    return enter({kInterface, __func__}, outputs(ppDevice), [&](auto& call) {
        if (!ppDevice) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            device()->AddRef();
            *ppDevice = device();
            return D3D_OK;
        });
    });
}

HRESULT VertexDeclaration::GetDeclaration(D3DVERTEXELEMENT9* pElement, UINT* pNumElements) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (!pNumElements) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *pNumElements = static_cast<UINT>(elements_.size());
            if (pElement)
                for (size_t i = 0; i < elements_.size(); ++i) pElement[i] = elements_[i];
            return D3D_OK;
        });
    });
}

} // namespace kestrin::platform::d3d9
