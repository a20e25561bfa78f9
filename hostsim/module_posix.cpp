// The native build's side of module.h: dlopen, and the stand-ins for the rest.
#include <dlfcn.h>

#include "hostsim/module.h"

namespace kestrin::hostsim {

void* openModule(const std::string& path, std::string& error) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* why = dlerror();
        error = "cannot load " + path + ": " + (why ? why : "unknown error");
    }
    return module;
}

void* moduleExport(void* module, const char* name) {
    return dlsym(module, name);
}

bool closeModule(void* module) {
    return dlclose(module) == 0;
}

HWND createFilterWindow() {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x1000));
}

void destroyFilterWindow(HWND) {}

bool answerMessageBoxes(void*) {
    return true; // the stand-in's MessageBoxW prints and answers already
}

} // namespace kestrin::hostsim
