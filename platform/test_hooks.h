// Test hooks of the native stand-ins: make any call fail, choose what the device reports, and
// read back what the plug-in did (calls, failed calls, message boxes, live objects, thread
// priorities).
//
// Every stand-in entry point asks the fault plan (after clearing its out-parameters and checking
// its arguments; platform/entry_point.h), so a test can make the Nth call of any named method fail
// with any HRESULT. Names are "Interface::Method" ("IDirect3DDevice9::CreateTexture",
// "ID3DXEffect::SetFloat") or the plain function name ("Direct3DCreate9", "CreateEventW",
// "_beginthreadex", "D3DXCreateEffectFromResourceW").
//
// What a planned failure leaves behind:
// - A call that ends a state the caller opened still ends it, and then reports the planned
//   result, because the real runtimes never leave that state open behind a failed call:
//     ID3DXEffect::EndPass               the pass ends (BeginPass may follow)
//     ID3DXEffect::End                   the effect ends and the saved device state is restored
//     IDirect3DDevice9::EndScene         the scene ends (BeginScene may follow)
//     IDirect3DSurface9::UnlockRect      the surface is unlocked
//     IDirect3DTexture9::UnlockRect      the level is unlocked
//     IDirect3DVertexBuffer9::Unlock     one lock ends
//     CloseHandle                        the handle is closed
//   So the rest of a sequence runs as it would have, and only the caller's own check of the
//   result can notice the failure.
// - Every other call changes nothing: it fails before doing any of its work. (A failed
//   IDirect3DDevice9::Reset, planned or not, leaves the device waiting for another Reset: on
//   Direct3D 9 that is what a failed reset means.)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kestrin_win_base.h"

namespace kestrin::platform::hooks {

// Forget every plan, script, log and recorded value (live-object counts keep counting).
void reset();

// ---- Fault plan ------------------------------------------------------------------------------

// The `nth` call (1-based, counted from now) of `method` returns `result`. With `repeat`, that
// call and every later one do.
void failCall(const std::string& method, int nth, HRESULT result, bool repeat = false);
// For stand-ins: counts this call of `method`, appends it to the call log, and returns true
// with the planned result when it is to fail.
bool shouldFail(std::string_view method, HRESULT* result);
// Calls of `method` made since the last reset.
int callCount(const std::string& method);
// Every call made since the last reset, in order, by name.
std::vector<std::string> callLog();

// Direct3DCreate9 returns null while set. shouldFail("Direct3DCreate9") also answers true
// while it is set; direct3DCreateFails() reads the flag without counting a call.
void setDirect3DCreateFails(bool fails);
bool direct3DCreateFails();
// The nth CreateEventW / _beginthreadex from now fails (returns null / 0).
void failEventCreation(int nth);
void failThreadCreation(int nth);
// The nth `new (std::nothrow)` from now returns null (0: none). Counts only while armed.
void failNothrowAllocation(int nth);
// For the allocation override: true when this allocation is to fail.
bool nothrowAllocationFails();

// ---- What the device reports -----------------------------------------------------------------

struct DeviceProfile {
    DWORD textureCaps = 0;      // D3DCAPS9::TextureCaps (0: no restrictions)
    bool signedFormat = true;   // D3DFMT_Q16W16V16U16 usable as a render-target texture
    bool unsignedFormat = true; // D3DFMT_A16B16G16R16 likewise
    int renderThreads = 2;      // threads a draw splits its rows over
};
void setDeviceProfile(const DeviceProfile& profile);
DeviceProfile deviceProfile();

// Answers of TestCooperativeLevel, one per call, then D3D_OK. D3DERR_DEVICENOTRESET answers
// hold until Reset succeeds; D3DERR_DEVICELOST marks the device lost.
void scriptCooperativeLevel(const std::vector<HRESULT>& answers);
// For the device: takes the next scripted answer off the script; false once it is used up.
bool takeCooperativeLevelAnswer(HRESULT* answer);

// ---- What happened ---------------------------------------------------------------------------

// Direct3D and D3DX objects alive now, all devices together.
int liveObjects();
// For stand-ins: one object created / destroyed.
void objectCreated();
void objectDestroyed();

struct MessageBoxRecord {
    HWND owner = nullptr;
    std::u16string text; // as UTF-16
    std::u16string caption;
    UINT style = 0;
    std::string utf8() const; // text as UTF-8, for assertions and logs
};
std::vector<MessageBoxRecord> messageBoxes();

// One entry-point call that returned a failure: its name as the fault plan knows it, the result
// (for calls that return no HRESULT: the planned result, HRESULT_FROM_WIN32 of the last error, or
// E_FAIL), and whether the fault plan made it fail.
struct FailedCall {
    std::string method;
    HRESULT result = S_OK;
    bool planned = false;
    bool operator==(const FailedCall&) const = default;
};
// Every failed call since the last reset, in order, from every thread. With one planned failure,
// a test can check that it is the only failure a sequence met, or which failures followed it.
std::vector<FailedCall> failedCalls();
// For the entry helper: a call of `scope`::`function` (or `function` alone when `scope` is empty)
// failed. Never throws; the record is dropped if memory runs out.
void recordFailedCall(std::string_view scope, std::string_view function, HRESULT result,
                      bool planned) noexcept;
void recordMessageBox(const MessageBoxRecord& record);

// UTF-8 -> UTF-16, for writing expected message texts in tests.
std::u16string utf16(const std::string& utf8);

} // namespace kestrin::platform::hooks
