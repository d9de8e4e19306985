// The GUIDs of the XPS object model and XPS print API, which no MinGW library defines:
// defined here once, for every unit that names them.
#include <initguid.h>

#include "platform/xps.h"
