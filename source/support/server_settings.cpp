#include "support/server_settings.h"

#include <cerrno>
#include <cstdlib>

#include "support/log_writer.h"
#include "platform/platform.h"

namespace {

constexpr unsigned kSessionCeiling = 1024;
constexpr std::uint64_t kReservedDescriptors = 64;
constexpr unsigned kDescriptorsPerSession = 2;
constexpr unsigned long long kLongestIdleTimeout = 86400;
constexpr unsigned long long kLargestFreeReserveMegabytes = 1ULL << 30;
// A log file smaller than a few lines would rotate at every line.
constexpr unsigned long long kSmallestLogBytes = 16384;
constexpr unsigned long long kLargestLogBytes = 1ULL << 40;
constexpr unsigned long long kMostLogFiles = 100;
constexpr unsigned long long kLargestKeptMegabytes = 1ULL << 30;
constexpr long long kMillisPerDay = 24LL * 60 * 60 * 1000;

ServerSettings& InForce() {
  static ServerSettings settings;
  return settings;
}

// A setting that must be a whole number in [lowest, highest]; an unset or empty variable
// leaves `value` as it is.
bool ReadWholeNumber(const char* name, unsigned long long lowest, unsigned long long highest,
                     unsigned long long& value, std::string& problem) {
  const char* text = quillmesh::platform::GetEnvironment(name);
  if (text == nullptr || *text == '\0') return true;
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno == ERANGE || parsed < lowest ||
      parsed > highest) {
    problem = std::string(name) + " must be a whole number from " + std::to_string(lowest) +
              " to " + std::to_string(highest);
    return false;
  }
  value = parsed;
  return true;
}

}  // namespace

unsigned DefaultMaxSessions(std::uint64_t descriptorLimit) {
  if (descriptorLimit == 0) return kSessionCeiling;
  if (descriptorLimit <= kReservedDescriptors + kDescriptorsPerSession) return 1;
  const std::uint64_t sessions = (descriptorLimit - kReservedDescriptors) / kDescriptorsPerSession;
  return sessions > kSessionCeiling ? kSessionCeiling : static_cast<unsigned>(sessions);
}

bool ReadServerSettings(ServerSettings& settings, std::string& problem) {
  unsigned long long maxSessions = DefaultMaxSessions(quillmesh::platform::DescriptorLimit());
  unsigned long long maxPerPeer = settings.maxSessionsPerPeer;
  unsigned long long idleTimeout = settings.idleTimeoutSeconds;
  unsigned long long minFree = settings.minFreeMegabytes;
  unsigned long long logBytes = settings.logRotation.maxBytes;
  unsigned long long logFiles = settings.logRotation.files;
  unsigned long long keptMegabytes = settings.keptFiles.maxBytes >> 20;
  if (!ReadWholeNumber("QUILLMESH_MAX_SESSIONS", 1, kSessionCeiling, maxSessions, problem) ||
      !ReadWholeNumber("QUILLMESH_MAX_SESSIONS_PER_PEER", 1, kSessionCeiling, maxPerPeer,
                       problem) ||
      !ReadWholeNumber("QUILLMESH_IDLE_TIMEOUT", 0, kLongestIdleTimeout, idleTimeout, problem) ||
      !ReadWholeNumber("QUILLMESH_MIN_FREE_MB", 0, kLargestFreeReserveMegabytes, minFree,
                       problem) ||
      !ReadWholeNumber("QUILLMESH_LOG_MAX_BYTES", kSmallestLogBytes, kLargestLogBytes, logBytes,
                       problem) ||
      !ReadWholeNumber("QUILLMESH_LOG_FILES", 1, kMostLogFiles, logFiles, problem) ||
      !ReadWholeNumber("QUILLMESH_KEEP_FAILED_MB", 0, kLargestKeptMegabytes, keptMegabytes,
                       problem)) {
    return false;
  }
  settings.logRotation.maxBytes = logBytes;
  settings.logRotation.files = static_cast<unsigned>(logFiles);
  settings.maxSessions = static_cast<unsigned>(maxSessions);
  settings.maxSessionsPerPeer = static_cast<unsigned>(maxPerPeer);
  settings.idleTimeoutSeconds = static_cast<unsigned>(idleTimeout);
  settings.minFreeMegabytes = minFree;
  settings.keptFiles.maxBytes = keptMegabytes << 20;

  const char* allowText = quillmesh::platform::GetEnvironment("QUILLMESH_ALLOW");
  settings.allowText = allowText == nullptr ? "" : allowText;
  std::string allowProblem;
  if (!settings.allow.Parse(settings.allowText, allowProblem)) {
    problem = "QUILLMESH_ALLOW: " + allowProblem;
    return false;
  }
  return true;
}

const ServerSettings& ServerSettingsInForce() { return InForce(); }

void InstallServerSettings(const ServerSettings& settings) { InForce() = settings; }

void LogServerSettings(const ServerSettings& settings) {
  LOG_DEBUG("limits: QUILLMESH_MAX_SESSIONS=%u QUILLMESH_IDLE_TIMEOUT=%u "
            "QUILLMESH_MIN_FREE_MB=%llu QUILLMESH_LOG_MAX_BYTES=%llu QUILLMESH_LOG_FILES=%u "
            "QUILLMESH_ALLOW=%s\n",
            settings.maxSessions, settings.idleTimeoutSeconds,
            static_cast<unsigned long long>(settings.minFreeMegabytes),
            static_cast<unsigned long long>(settings.logRotation.maxBytes),
            settings.logRotation.files,
            settings.allow.AdmitsEveryone() ? "(everyone)" : settings.allowText.c_str());
  LOG_DEBUG("sessions of one peer: QUILLMESH_MAX_SESSIONS_PER_PEER=%u\n",
            settings.maxSessionsPerPeer);
  LOG_DEBUG("kept files: QUILLMESH_KEEP_FAILED_MB=%llu, none kept longer than %lld days\n",
            static_cast<unsigned long long>(settings.keptFiles.maxBytes >> 20),
            static_cast<long long>(settings.keptFiles.maxAgeMillis / kMillisPerDay));
}
