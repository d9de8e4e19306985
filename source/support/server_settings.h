// Every QUILLMESH_* setting of the server: the port, where printers come from, and what
// peers may take (sessions, time, disk, log, rendering, who may connect). Read and
// checked once from the environment at start, then handed to the units that use them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "support/allow_list.h"
#include "support/kept_files.h"
#include "support/log_writer.h"
#include "support/render_settings.h"

// The administrator's window: where it listens, who may reach it and how it is secured.
struct AdminWindowSettings {
  bool enabled = true;  // QUILLMESH_ADMIN=off switches it off
  std::string host = "127.0.0.1";
  unsigned short port = 9098;
  std::string password;  // empty: none asked, which only a loopback address allows
  std::string certificatePath;
  std::string keyPath;
  std::string allowText = kAdminAllowDefault;  // as given, for the start-up log
  AllowList allow;  // read from allowText when the settings are read

  static constexpr const char* kAdminAllowDefault = "127.0.0.0/8";
};

struct ServerSettings {
  unsigned short port = 9099;
  // QUILLMESH_SPOOLER as given; the platform knows what it names (UseSpooler).
  std::string spooler;
  unsigned maxSessions = 1024;
  // Sessions of one peer address open at once.
  unsigned maxSessionsPerPeer = 16;
  // Seconds a frame may take from its first byte, a job between its frames, and a reply
  // to go out; 0 waits for ever.
  unsigned idleTimeoutSeconds = 300;
  std::uint64_t minFreeMegabytes = 512;
  std::string allowText;  // as given, for the start-up log
  AllowList allow;
  LogRotation logRotation;
  // Job files kept for diagnosis, in total (QUILLMESH_KEEP_FAILED_MB) and by age.
  KeptFilesBound keptFiles;
  // Finished jobs kept in the job history and its journal.
  std::size_t jobHistory = 1000;
  PdfRenderSettings render;
  // Seconds a job handed to the spooler is followed there before it is given up.
  unsigned spoolerWatchSeconds = 86400;
  AdminWindowSettings admin;
};

// One setting's text being read; defined where the settings are read.
struct SettingReading;

// One setting: its environment variable, its default as --help shows it, one line of what
// it does, and how a set, non-empty value is read (false, with a problem naming the
// setting, when it is malformed). A setting without a reader is read where it is used.
struct SettingEntry {
  const char* name;
  const char* defaultText;
  const char* meaning;
  // The range of a whole-number setting; both 0 for a text.
  unsigned long long lowest;
  unsigned long long highest;
  bool (*read)(SettingReading& reading);
};

// Every QUILLMESH_* setting, in the order --help lists them: the one table both the
// reading and the help text come from.
std::span<const SettingEntry> SettingEntries();

// The default cap: each session may hold its socket and its job file open, and a
// reserve stays for the listener, the log, the spooler and rendering.
unsigned DefaultMaxSessions(std::uint64_t descriptorLimit);

// Reads every setting from the environment; false, with a message naming the variable,
// when one is malformed.
bool ReadServerSettings(ServerSettings& settings, std::string& problem);

// Checks the administrator's window's settings against each other and the port: false,
// with the problem, for a non-loopback address without a password, a certificate without
// its key or the reverse, a certificate where the build has no TLS, or the peers' port.
bool CheckAdminWindowSettings(const ServerSettings& settings, bool tlsAvailable,
                              std::string& problem);

// Whether the address (host byte order) is a loopback one, 127.0.0.0/8.
bool IsLoopbackAddress(std::uint32_t address);

// The settings in force: the defaults until the server installs what it read at start.
const ServerSettings& ServerSettingsInForce();
void InstallServerSettings(const ServerSettings& settings);

// Writes the settings to the log, in start-up lines.
void LogServerSettings(const ServerSettings& settings);

