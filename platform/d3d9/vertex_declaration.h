// A vertex declaration: the elements a draw reads from the streams, as created (D3DDECL_END
// included).
#pragma once

#include <vector>

#include "platform/d3d9/object.h"

namespace kestrin::platform::d3d9 {

class VertexDeclaration final : public DeviceChild<IDirect3DVertexDeclaration9> {
  public:
    static constexpr std::string_view kInterface = "IDirect3DVertexDeclaration9";
    static constexpr ObjectKind kKind = ObjectKind::VertexDeclaration;

    // `elements` as validated by validateDeclaration, D3DDECL_END last. Attach after
    // construction.
    VertexDeclaration(Device* device, std::vector<D3DVERTEXELEMENT9> elements);

    HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** ppDevice) override;
    HRESULT STDMETHODCALLTYPE GetDeclaration(D3DVERTEXELEMENT9* pElement,
                                             UINT* pNumElements) override;

    // The elements without the terminator.
    const D3DVERTEXELEMENT9* begin() const { return elements_.data(); }
    const D3DVERTEXELEMENT9* end() const { return elements_.data() + elements_.size() - 1; }
    // The element of `usage` / `usageIndex`, or null.
    const D3DVERTEXELEMENT9* find(BYTE usage, BYTE usageIndex) const;

  protected:
    bool answers(REFIID riid) const override;

  private:
    std::vector<D3DVERTEXELEMENT9> elements_;
};

// Reads a D3DDECL_END-terminated element array (at most MAXD3DDECLLENGTH elements) and checks
// it as Direct3D 9 does: stream, type, method, usage and usage index in range, offsets a
// multiple of 4, no (usage, index) twice. False when the array is not acceptable.
bool validateDeclaration(const D3DVERTEXELEMENT9* elements, std::vector<D3DVERTEXELEMENT9>* out);

// Bytes an element of `type` occupies (0 for D3DDECLTYPE_UNUSED or out of range).
UINT declTypeSize(BYTE type);

} // namespace kestrin::platform::d3d9
