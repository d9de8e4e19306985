// A CUPS queue's state in words, from the printer-state and printer-state-reasons the
// scheduler lists with each destination.
#pragma once

#include <string>

namespace quillmesh::platform {

// "idle" (3), "printing" (4), "stopped" (5) followed by its reasons ("stopped: paused,
// media-jam-error"; "none" is no reason), "unknown" for a missing or other state.
std::string CupsPrinterStateText(const char* state, const char* reasons);

}  // namespace quillmesh::platform
