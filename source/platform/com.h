// COM, its streams and global memory, and the PrintTicket provider, as the XPS path uses
// them: the Windows SDK's on Windows, our own stand-ins (which platform.h already
// declares) elsewhere. The lean windows.h leaves them out, and platform.h does not add
// them: their headers declare names such as `byte` globally, which a unit's own names
// would shadow, so only the units that need them (through this header or owners.h) take
// them.
#pragma once

#include "platform/platform.h"

#ifdef _WIN32
#include <objbase.h>
#include <prntvpt.h>
#endif
