// Module resources: FindResourceW, FindResourceExW, LoadResource, SizeofResource, LockResource,
// FreeResource, and the registry of tables for modules that are not shared objects.
//
// An HRSRC is the address of the entry in its module's table and an HGLOBAL the address of the
// bytes. A module handle that is neither registered nor a loaded shared object is refused
// before anything is looked up through it, so a made-up HMODULE cannot crash the lookup.
#include <dlfcn.h>
#include <link.h>

#include <cstdint>
#include <cwchar>
#include <map>
#include <mutex>
#include <vector>

#include "platform/module_resources.h"
#include "platform/win32/kernel_objects.h"

namespace kestrin::platform::win32 {
namespace {

constexpr char kTableSymbol[] = "kestrin_module_resources";
// A table longer than this has lost its end marker.
constexpr size_t kMaxEntries = 65536;

std::mutex registryMutex;
std::map<HMODULE, const KestrinResourceEntry*>& registry() {
    static auto* modules = new std::map<HMODULE, const KestrinResourceEntry*>;
    return *modules;
}

int collectObjectAddress(dl_phdr_info* info, size_t, void* out) {
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_LOAD) {
            static_cast<std::vector<uintptr_t>*>(out)->push_back(info->dlpi_addr +
                                                                 info->dlpi_phdr[i].p_vaddr);
            break;
        }
    }
    return 0;
}

// The loader's record of the object mapped at `address`, or null.
void* linkMapAt(uintptr_t address) {
    Dl_info info;
    void* map = nullptr;
    if (!dladdr1(reinterpret_cast<void*>(address), &info, &map, RTLD_DL_LINKMAP)) return nullptr;
    return map;
}

// The loader's record of the main program, or of `module` if it is a loaded object's handle
// (with glibc a dlopen handle is that object's link map); null for anything else.
void* loadedObject(HMODULE module) {
    std::vector<uintptr_t> addresses;
    dl_iterate_phdr(collectObjectAddress, &addresses);
    for (size_t i = 0; i < addresses.size(); ++i) {
        void* map = linkMapAt(addresses[i]);
        if (!map) continue;
        if (module ? map == static_cast<void*>(module) : i == 0) return map;
    }
    return nullptr;
}

// The module's own exported table (not one of a library it depends on).
const KestrinResourceEntry* exportedTable(HMODULE module) {
    void* object = loadedObject(module);
    if (!object) return nullptr;
    void* handle = module ? static_cast<void*>(module) : dlopen(nullptr, RTLD_LAZY);
    if (!handle) return nullptr;
    void* symbol = dlsym(handle, kTableSymbol);
    if (!module) dlclose(handle);
    if (!symbol || linkMapAt(reinterpret_cast<uintptr_t>(symbol)) != object) return nullptr;
    return static_cast<const KestrinResourceEntry*>(symbol);
}

// Sets the last error when the module has no table.
const KestrinResourceEntry* tableOf(HMODULE module) {
    {
        std::lock_guard lock(registryMutex);
        auto it = registry().find(module);
        if (it != registry().end()) return it->second;
    }
    if (module && !loadedObject(module)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const KestrinResourceEntry* table = exportedTable(module);
    if (!table) SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return table;
}

size_t entryCount(const KestrinResourceEntry* table) {
    size_t n = 0;
    while (n < kMaxEntries && table[n].data) ++n;
    return n;
}

// An integer resource name, or "#123"; -1 for a name no table can hold.
long resourceNumber(LPCWSTR name) {
    if (IS_INTRESOURCE(name)) return static_cast<long>(reinterpret_cast<ULONG_PTR>(name));
    if (name[0] != L'#' || name[1] == L'\0') return -1;
    long value = 0;
    for (const wchar_t* c = name + 1; *c; ++c) {
        if (*c < L'0' || *c > L'9') return -1;
        value = value * 10 + (*c - L'0');
        if (value > 0xFFFF) return -1;
    }
    return value;
}

// Finds (type, name) in the module's table: in `language`, or when `anyLanguage` preferring a
// language-neutral entry and otherwise the first. Sets the last error when nothing matches.
HRSRC findResource(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, bool anyLanguage) {
    const KestrinResourceEntry* table = tableOf(module);
    if (!table) return nullptr;
    const long typeNumber = resourceNumber(type);
    const long nameNumber = resourceNumber(name);
    bool typeSeen = false;
    bool nameSeen = false;
    const KestrinResourceEntry* found = nullptr;
    for (size_t i = 0, n = entryCount(table); i < n; ++i) {
        const KestrinResourceEntry& entry = table[i];
        if (entry.type != typeNumber) continue;
        typeSeen = true;
        if (entry.id != nameNumber) continue;
        nameSeen = true;
        if (anyLanguage) {
            if (!found || (PRIMARYLANGID(entry.language) == LANG_NEUTRAL &&
                           PRIMARYLANGID(found->language) != LANG_NEUTRAL)) {
                found = &entry;
            }
        } else if (entry.language == language) {
            found = &entry;
            break;
        }
    }
    if (!found) {
        SetLastError(!typeSeen   ? ERROR_RESOURCE_TYPE_NOT_FOUND
                     : !nameSeen ? ERROR_RESOURCE_NAME_NOT_FOUND
                                 : ERROR_RESOURCE_LANG_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HRSRC>(const_cast<KestrinResourceEntry*>(found));
}

// The entry behind `resource` if it is one of the module's table.
const KestrinResourceEntry* entryOf(HMODULE module, HRSRC resource) {
    if (!resource) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const KestrinResourceEntry* table = tableOf(module);
    if (!table) return nullptr;
    const auto begin = reinterpret_cast<uintptr_t>(table);
    const auto address = reinterpret_cast<uintptr_t>(resource);
    const size_t count = entryCount(table);
    if (address < begin || address >= begin + count * sizeof(KestrinResourceEntry) ||
        (address - begin) % sizeof(KestrinResourceEntry) != 0) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    return &table[(address - begin) / sizeof(KestrinResourceEntry)];
}

} // namespace
} // namespace kestrin::platform::win32

using namespace kestrin::platform;
using namespace kestrin::platform::win32;

void registerModuleResources(HMODULE module, const KestrinResourceEntry* table) {
    std::lock_guard lock(registryMutex);
    if (table) {
        registry()[module] = table;
    } else {
        registry().erase(module);
    }
}

extern "C" {

HRSRC WINAPI FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    return enter({.function = __func__}, LastErrorValue<HRSRC>{nullptr}, [&](auto& call) -> HRSRC {
        if (!name || !type) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return call.proceed([&] { return findResource(module, type, name, 0, true); });
    });
}

HRSRC WINAPI FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language) {
    return enter({.function = __func__}, LastErrorValue<HRSRC>{nullptr}, [&](auto& call) -> HRSRC {
        if (!name || !type) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return call.proceed(
            [&] { return findResource(module, type, name, language, language == 0); });
    });
}

HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource) {
    return enter({.function = __func__}, LastErrorValue<HGLOBAL>{nullptr},
                 [&](auto& call) -> HGLOBAL {
                     const KestrinResourceEntry* entry = entryOf(module, resource);
                     if (!entry) return nullptr;
                     return call.proceed([&] { return const_cast<void*>(entry->data); });
                 });
}

DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource) {
    return enter({.function = __func__}, LastErrorValue<DWORD>{0}, [&](auto& call) -> DWORD {
        const KestrinResourceEntry* entry = entryOf(module, resource);
        if (!entry) return 0;
        return call.proceed([&] { return entry->size; });
    });
}

LPVOID WINAPI LockResource(HGLOBAL data) {
    return enter({.function = __func__}, LastErrorValue<LPVOID>{nullptr},
                 [&](auto& call) -> LPVOID {
                     if (!data) {
                         SetLastError(ERROR_INVALID_HANDLE);
                         return nullptr;
                     }
                     return call.proceed([&] { return data; });
                 });
}

// Obsolete on Windows since 32-bit Windows: does nothing and returns FALSE.
BOOL WINAPI FreeResource(HGLOBAL) {
    return FALSE;
}

} // extern "C"
