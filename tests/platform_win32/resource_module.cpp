// A loadable module with a resource table, as the plug-in module exports its effect.
#include "platform/module_resources.h"

namespace {
const char kEffect[] = "compiled effect bytes";
const unsigned char kNeutral[] = {1, 2, 3};
} // namespace

extern "C" __attribute__((visibility("default")))
const KestrinResourceEntry kestrin_module_resources[] = {
    {10, 104, 0x0411, kEffect, sizeof kEffect},
    {10, 7, 0x0000, kNeutral, sizeof kNeutral},
    {0, 0, 0, nullptr, 0},
};
