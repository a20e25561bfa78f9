// A vertex buffer: bytes the draw reads vertices from through a declaration.
//
// Lock takes an offset and a size (size 0: to the end); locks may nest as on Direct3D 9, and
// each Unlock ends one of them. The lock's flags are recorded for tests.
#pragma once

#include <vector>

#include "platform/d3d9/object.h"

namespace kestrin::platform::d3d9 {

class VertexBuffer final : public DeviceChild<IDirect3DVertexBuffer9> {
  public:
    static constexpr std::string_view kInterface = "IDirect3DVertexBuffer9";
    static constexpr ObjectKind kKind = ObjectKind::VertexBuffer;

    // Attach after construction.
    VertexBuffer(Device* device, UINT length, DWORD usage, DWORD fvf, D3DPOOL pool);

    // IDirect3DResource9
    HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** ppDevice) override;
    DWORD STDMETHODCALLTYPE SetPriority(DWORD PriorityNew) override;
    DWORD STDMETHODCALLTYPE GetPriority() override;
    void STDMETHODCALLTYPE PreLoad() override {}
    D3DRESOURCETYPE STDMETHODCALLTYPE GetType() override { return D3DRTYPE_VERTEXBUFFER; }
    // IDirect3DVertexBuffer9
    HRESULT STDMETHODCALLTYPE Lock(UINT OffsetToLock, UINT SizeToLock, void** ppbData,
                                   DWORD Flags) override;
    HRESULT STDMETHODCALLTYPE Unlock() override;
    HRESULT STDMETHODCALLTYPE GetDesc(D3DVERTEXBUFFER_DESC* pDesc) override;

    // With the device's mutex held.
    const std::vector<uint8_t>& data() const { return data_; }
    unsigned lockDepth() const { return lockDepth_; }
    unsigned lockCount() const { return lockCount_; }
    DWORD lastLockFlags() const { return lastLockFlags_; }

  protected:
    bool answers(REFIID riid) const override;

  private:
    D3DVERTEXBUFFER_DESC desc_{};
    std::vector<uint8_t> data_;
    DWORD priority_ = 0;
    unsigned lockDepth_ = 0;
    unsigned lockCount_ = 0;
    DWORD lastLockFlags_ = 0;
};

} // namespace kestrin::platform::d3d9
