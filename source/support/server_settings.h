// The settings that bound what peers may take from the server: sessions, time, disk, log
// and who may connect. Read once from the environment at start.
#pragma once

#include <cstdint>
#include <string>

#include "support/allow_list.h"
#include "support/kept_files.h"
#include "support/log_writer.h"

struct ServerSettings {
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
};

// The default cap: each session may hold its socket and its job file open, and a
// reserve stays for the listener, the log, the spooler and rendering.
unsigned DefaultMaxSessions(std::uint64_t descriptorLimit);

// Reads every setting from the environment; false, with a message naming the variable,
// when one is malformed.
bool ReadServerSettings(ServerSettings& settings, std::string& problem);

// The settings in force: the defaults until the server installs what it read at start.
const ServerSettings& ServerSettingsInForce();
void InstallServerSettings(const ServerSettings& settings);

// Writes the settings to the log, in start-up lines.
void LogServerSettings(const ServerSettings& settings);

