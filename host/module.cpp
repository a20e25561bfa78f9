// The module's own translation unit, in both builds: everything it exports comes from the plug-in
// library (GetFilterTable) and, natively, from the generated resource table.
#include "host/filter.h"
