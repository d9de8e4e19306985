// COM, its streams and global memory, and the PrintTicket provider, as the XPS path uses
// them: the Windows SDK's on Windows (the lean windows.h leaves them out, and they are
// kept out of every other unit: their headers declare names such as `byte` globally),
// our own stand-ins elsewhere, which platform.h already declares.
#pragma once

#include "platform/platform.h"

#ifdef _WIN32
#include <objbase.h>
#include <prntvpt.h>
#endif
