// The Windows side of module.h: LoadLibraryW, a hidden filter window, and message boxes answered
// by the host through the module's import table.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "hostsim/module.h"

namespace kestrin::hostsim {
namespace {

constexpr wchar_t kWindowClass[] = L"KestrinHostFilterWindow";

std::wstring wideFromAnsi(const std::string& text) {
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string utf8FromWide(const wchar_t* text) {
    if (!text) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), n, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(n - 1));
    return utf8;
}

// The system's text for the last error, on one line.
std::string lastErrorText() {
    const DWORD code = GetLastError();
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string line = text ? text : "";
    if (text) LocalFree(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    char number[32];
    std::snprintf(number, sizeof number, "error %lu", static_cast<unsigned long>(code));
    return line.empty() ? number : line + " (" + number + ")";
}

// The first button of a box's button set: what a user pressing Enter would choose.
int firstButton(UINT type) {
    switch (type & MB_TYPEMASK) {
    case MB_ABORTRETRYIGNORE:
        return IDABORT;
    case MB_YESNOCANCEL:
    case MB_YESNO:
        return IDYES;
    case MB_RETRYCANCEL:
        return IDRETRY;
    case MB_CANCELTRYCONTINUE:
        return IDCANCEL;
    default:
        return IDOK;
    }
}

std::mutex g_stderrLock; // boxes come from the host's thread and from the render worker

// Writes one line to stderr: UTF-16 to a console, which would show UTF-8 bytes as noise; UTF-8
// to a file or a pipe.
void writeErrorLine(const std::string& utf8) {
    std::lock_guard<std::mutex> lock(g_stderrLock);
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        std::fflush(stderr);
        const std::wstring wide = [&] {
            const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(),
                                              static_cast<int>(utf8.size()), nullptr, 0);
            std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
            if (n > 0)
                MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    w.data(), n);
            return w + L"\r\n";
        }();
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::fputs((utf8 + "\n").c_str(), stderr);
    std::fflush(stderr);
}

int WINAPI AnswerMessageBox(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
    // Windows' own caption when none is given.
    writeErrorLine(messageBoxLine(caption ? utf8FromWide(caption) : "Error", utf8FromWide(text)));
    return firstButton(type);
}

// Points every import slot of `module` from `dll` that holds the address `original` at
// `replacement`. False when a slot could not be written.
bool patchImports(HMODULE module, const char* dll, ULONG_PTR original, ULONG_PTR replacement) {
    auto* base = reinterpret_cast<uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return true;
    bool ok = true;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         d->Name != 0; ++d) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
        for (auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
             slot->u1.Function != 0; ++slot) {
            if (slot->u1.Function != original) continue;
            DWORD protection = 0;
            if (!VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE,
                                &protection)) {
                ok = false;
                continue;
            }
            slot->u1.Function = replacement;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
            FlushInstructionCache(GetCurrentProcess(), &slot->u1.Function,
                                  sizeof slot->u1.Function);
        }
    }
    return ok;
}

} // namespace

void* openModule(const std::string& path, std::string& error) {
    // No "cannot find d3dx9_40.dll" box from the system when a dependency is missing: the
    // reason comes back as the error text instead.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryW(wideFromAnsi(path).c_str());
    if (!module) error = "cannot load " + path + ": " + lastErrorText();
    SetErrorMode(previous);
    return module;
}

void* moduleExport(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

bool closeModule(void* module) {
    return FreeLibrary(static_cast<HMODULE>(module)) != FALSE;
}

HWND createFilterWindow() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = instance;
    wc.lpszClassName = kWindowClass;
    RegisterClassW(&wc); // fails harmlessly when a previous host registered it
    // Never shown: the device only needs it as its focus window.
    return CreateWindowExW(0, kWindowClass, L"Kestrin", WS_OVERLAPPEDWINDOW, 0, 0, 320, 240,
                           nullptr, nullptr, instance, nullptr);
}

void destroyFilterWindow(HWND window) {
    if (window) DestroyWindow(window);
}

bool answerMessageBoxes(void* module) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    FARPROC original = user32 ? GetProcAddress(user32, "MessageBoxW") : nullptr;
    if (!original) return true; // the module cannot have bound it
    return patchImports(static_cast<HMODULE>(module), "USER32.dll",
                        reinterpret_cast<ULONG_PTR>(original),
                        reinterpret_cast<ULONG_PTR>(&AnswerMessageBox));
}

} // namespace kestrin::hostsim
