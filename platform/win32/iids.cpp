// Interface ids declared by <unknwn.h>, defined once for the whole platform library.
#include "unknwn.h"

extern "C" const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
