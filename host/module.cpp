// The native module's own translation unit: everything it exports comes from the plug-in
// library (GetFilterTable) and the generated resource table.
#include "host/filter.h"
