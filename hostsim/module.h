// What the host needs of the system to hold a plug-in module: load it by path, find its export,
// give its filter a window, keep its message boxes from waiting for a click, unload it.
// module_posix.cpp (dlopen, the native build) and module_windows.cpp (LoadLibraryW).
#pragma once

#include <cstdint>
#include <string>

#include "host/host_records.h"

namespace kestrin::hostsim {

// Null with `error` set to one line ("cannot load PATH: why") on failure.
void* openModule(const std::string& path, std::string& error);
void* moduleExport(void* module, const char* name);
// False when the system refused to unload it.
bool closeModule(void* module);

// The window the editor hands the filter (its device's focus window): a hidden top-level window
// on Windows, a made-up handle on the stand-ins, which never dereference it.
HWND createFilterWindow();
void destroyFilterWindow(HWND window);

// A host that runs without anyone at the screen answers the filter's message boxes itself: each
// box becomes one line on stderr, "MessageBoxW [caption] text" (line breaks shown as \n), the
// line the native stand-in prints, and is answered with its first button. On Windows this
// points the module's import of USER32!MessageBoxW at the host; the stand-in does it natively.
// False when the module's imports could not be changed.
bool answerMessageBoxes(void* module);

// The message-box line for `caption` and `text` (UTF-8), without its line break.
std::string messageBoxLine(const std::string& caption, const std::string& text);

// The x87 unit's control word (precision, rounding, exception masks) on the calling thread, or -1
// where the processor has no x87 unit. A host checks that no callback changes it.
int x87ControlWord();
void setX87ControlWord(int word);

} // namespace kestrin::hostsim
