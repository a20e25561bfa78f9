#include "hostsim/module.h"

namespace kestrin::hostsim {

std::string messageBoxLine(const std::string& caption, const std::string& text) {
    std::string line = "MessageBoxW [" + caption + "] ";
    for (char c : text) {
        if (c == '\n') {
            line += "\\n";
        } else if (c != '\r') {
            line.push_back(c);
        }
    }
    return line;
}

int x87ControlWord() {
#if defined(__i386__) || defined(__x86_64__)
    uint16_t word = 0;
    __asm__ __volatile__("fnstcw %0" : "=m"(word));
    return word;
#else
    return -1;
#endif
}

void setX87ControlWord(int word) {
#if defined(__i386__) || defined(__x86_64__)
    const auto value = static_cast<uint16_t>(word);
    __asm__ __volatile__("fldcw %0" : : "m"(value));
#else
    (void)word;
#endif
}

} // namespace kestrin::hostsim
