// Where and within what bounds the XPS print API interprets a package. On Linux the
// server interprets packages itself (libgxps), in a child process whose memory, time,
// output and pages are bounded; on Windows the spooler does, in processes of its own,
// so the settings have no use there.
#pragma once

#include <cstdint>
#include <string>

namespace quillmesh::platform {

struct XpsWorkSettings {
  // The job's work files (the package as the job stream received it, its rendering)
  // are "<workPrefix>-<what>.<ext>"; "" puts them in the system's temporary folder.
  std::string workPrefix;
  std::uint64_t memoryBytes = 1024ULL << 20;
  int seconds = 600;
  int maxPages = 2000;
  // Free space kept in the work folder beside the work files.
  std::uint64_t reserveBytes = 512ULL << 20;
};

// Why a bounded interpretation failed the job, as the Win32 code of its job status.
inline constexpr std::uint32_t kXpsErrorNeedsMoreMemory = 8;     // ERROR_NOT_ENOUGH_MEMORY
inline constexpr std::uint32_t kXpsErrorNoSpace = 112;           // ERROR_DISK_FULL
inline constexpr std::uint32_t kXpsErrorTooManyPages = 223;      // ERROR_FILE_TOO_LARGE
inline constexpr std::uint32_t kXpsErrorTookTooLong = 1460;      // ERROR_TIMEOUT
inline constexpr std::uint32_t kXpsErrorEndedAbnormally = 1067;  // ERROR_PROCESS_ABORTED

#ifdef _WIN32
inline void SetXpsWorkSettings(const XpsWorkSettings& /*settings*/) {}
#else
// The settings of the next XPS print job the calling thread starts; the jobs after it
// have the defaults unless they are set again.
void SetXpsWorkSettings(const XpsWorkSettings& settings);
#endif

}  // namespace quillmesh::platform
