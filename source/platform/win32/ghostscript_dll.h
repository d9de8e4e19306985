// Where the Windows build looks for Ghostscript's DLL, in order: QUILLMESH_GS_DLL when
// set, gsdll64.dll beside the running program, then the GS_DLL of the newest version
// the Ghostscript installer recorded under HKLM\SOFTWARE\GPL Ghostscript.
#pragma once

#include <string>
#include <vector>

namespace quillmesh::platform {

std::vector<std::wstring> GhostscriptDllCandidates();

}  // namespace quillmesh::platform
