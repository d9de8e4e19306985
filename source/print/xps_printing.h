// The XPS path's stream helper; the path itself is PrintXpsToPrinter in print_paths.h.
#pragma once

#include "platform/xps.h"

// Copies the whole source stream, from its start, into the print job stream in
// 4096-byte chunks: E_POINTER for a missing stream, the write's HRESULT when it fails,
// E_FAIL when it takes fewer bytes than offered, otherwise S_OK (a failed read ends
// the copy as the end of the source would).
HRESULT CopyStreamToJobStream(IStream* source, IXpsPrintJobStream* destination);
