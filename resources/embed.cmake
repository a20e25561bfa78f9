# Writes a C++ source that embeds a file as the native module's resource table.
#   cmake -DINPUT=bilateral.fxo -DOUTPUT=module_resources.cpp -DID=104 -DLANGUAGE=0x0411 -P embed.cmake
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
file(WRITE ${OUTPUT} "// Generated from ${INPUT}: the module's resources for the native build.
#include \"platform/module_resources.h\"

namespace {
const unsigned char kEffect[${size}] = {
    ${bytes}
};
} // namespace

extern \"C\" __attribute__((visibility(\"default\"))) const KestrinResourceEntry
    kestrin_module_resources[] = {
        {10 /* RT_RCDATA */, ${ID}, ${LANGUAGE}, kEffect, ${size}},
        {0, 0, 0, nullptr, 0},
};
")
