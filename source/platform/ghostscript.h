// The Ghostscript interpreter library, reached through its published gsapi calls.
// Linux links libgs directly; Windows loads gsdll64.dll when first asked. Only the
// calls the page rasteriser makes are declared here, so the Windows build needs no
// Ghostscript headers. On x86-64 both systems have one calling convention, which
// the library's exports and callbacks use.
#pragma once

#include <string>
#include <vector>

namespace quillmesh::platform {

// Reads up to length bytes of the interpreter's standard input; 0 is end of input.
using GhostscriptReadFn = int (*)(void* callerHandle, char* buffer, int length);
// Takes length bytes of the interpreter's standard output or error; returns the
// number of bytes taken.
using GhostscriptWriteFn = int (*)(void* callerHandle, const char* text, int length);
// Called now and then while the interpreter runs (where the library is built to call
// it: the Windows DLL is, Debian's libgs is not); a non-zero result interrupts it.
using GhostscriptPollFn = int (*)(void* callerHandle);

// The library's file system hooks (gsapi_fs_t) as the rasteriser uses them: a hook
// declines a name by leaving *file null and returning 0, and fails the open with a
// negative result. The hooks it does not use stay null.
struct GhostscriptFileSystem {
  int (*openFile)(const void* memory, void* secret, const char* name, const char* mode,
                  void** file);
  void (*openPipe)();
  void (*openScratch)();
  int (*openPrinter)(const void* memory, void* secret, char* name, int binary, void** file);
  void (*openHandle)();
};

// An input/output error, for a hook that refuses an open.
inline constexpr int kGhostscriptIoError = -12;

// The three permission lists of the interpreter's file access control.
inline constexpr int kGhostscriptPermitReading = 0;
inline constexpr int kGhostscriptPermitWriting = 1;
inline constexpr int kGhostscriptPermitControl = 2;

// Argument encodings of gsapi_set_arg_encoding.
inline constexpr int kGhostscriptArgEncodingLocal = 0;
inline constexpr int kGhostscriptArgEncodingUtf8 = 1;

// Result of a run that ended by the program's own quit: not an error.
inline constexpr int kGhostscriptQuit = -101;

// The library's entry points, in gsapi order and with gsapi signatures.
struct GhostscriptApi {
  int (*newInstance)(void** instance, void* callerHandle);
  void (*deleteInstance)(void* instance);
  int (*setStdio)(void* instance, GhostscriptReadFn readInput, GhostscriptWriteFn writeOutput,
                  GhostscriptWriteFn writeError);
  int (*setPoll)(void* instance, GhostscriptPollFn poll);
  int (*setArgEncoding)(void* instance, int encoding);
  int (*initWithArgs)(void* instance, int argumentCount, char** arguments);
  int (*runFile)(void* instance, const char* fileName, int userErrors, int* exitCode);
  int (*runString)(void* instance, const char* text, int userErrors, int* exitCode);
  int (*exit)(void* instance);
  int (*addControlPath)(void* instance, int permission, const char* path);
  int (*removeControlPath)(void* instance, int permission, const char* path);
  void (*purgeControlPaths)(void* instance, int permission);
  int (*addFileSystem)(void* instance, GhostscriptFileSystem* fileSystem, void* secret);
  // The argument encoding that GhostscriptText produces on this system.
  int argEncoding;
};

// The library, or nullptr when it is not installed; loaded once per process and
// kept until the process ends.
const GhostscriptApi* LoadGhostscript();

// Where the library came from (UTF-8): the file it was loaded from or how it is linked,
// empty when it was not found, and every place it was looked for.
struct GhostscriptLibrarySearch {
  std::string loadedFrom;
  std::vector<std::string> lookedIn;
};
const GhostscriptLibrarySearch& FindGhostscriptLibrary();

// A narrow path of this system (the Windows ANSI code page; bytes as they are on
// Linux) in the interpreter's argument encoding; empty when it cannot be converted.
std::string GhostscriptText(const std::string& narrowPath);

}  // namespace quillmesh::platform
