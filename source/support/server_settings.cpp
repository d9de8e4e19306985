#include "support/server_settings.h"

#include <cerrno>
#include <cstdlib>

#include "support/log_writer.h"
#include "platform/platform.h"

// One setting's set, non-empty text, read into the settings.
struct SettingReading {
  const SettingEntry& entry;
  const char* text;
  ServerSettings& settings;
  std::string& problem;

  // Stores the text as a whole number in the entry's range; false, with the problem,
  // when it is not one.
  template <typename Number>
  bool WholeNumber(Number& field) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno == ERANGE || parsed < entry.lowest ||
        parsed > entry.highest) {
      problem = std::string(entry.name) + " must be a whole number from " +
                std::to_string(entry.lowest) + " to " + std::to_string(entry.highest);
      return false;
    }
    field = static_cast<Number>(parsed);
    return true;
  }

  // Stores the text as it is.
  bool Text(std::string& field) {
    field = text;
    return true;
  }
};

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

// The most each rendering bound takes: a larger value is a typo, not a wish.
constexpr unsigned long long kLargestRenderBound = 1000000;
constexpr unsigned long long kLargestPort = 65535;
// Thirty days: a job the spooler holds longer than that is forgotten there too.
constexpr unsigned long long kLongestSpoolerWatch = 30ULL * 24 * 60 * 60;
constexpr unsigned long long kLongestJobHistory = 1000000;

ServerSettings& InForce() {
  static ServerSettings settings;
  return settings;
}

// Readers of settings kept in another form than they are given.
bool ReadAllowList(SettingReading& reading);
bool ReadAdminAllowList(SettingReading& reading);
bool ReadAdminAddress(SettingReading& reading);
bool ReadKeptMegabytes(SettingReading& reading);

// Every setting. The spooler's text is checked by the platform, which knows what it
// names.
constexpr SettingEntry kSettings[] = {
    {"QUILLMESH_PORT", "9099", "TCP port to listen on", 1, kLargestPort,
     [](SettingReading& r) { return r.WholeNumber(r.settings.port); }},
    {"QUILLMESH_SPOOLER", "cups",
     "Linux: where printers come from, cups or folder:DIR (each subfolder of DIR a printer)", 0,
     0, [](SettingReading& r) { return r.Text(r.settings.spooler); }},
    {"QUILLMESH_ALLOW", "everyone",
     "comma-separated IPv4 addresses and CIDR ranges of the peers let in", 0, 0, ReadAllowList},
    {"QUILLMESH_MAX_SESSIONS", "Linux: (open-file limit - 64) / 2, at most 1024; Windows: 1024",
     "sessions open at once", 1, kSessionCeiling,
     [](SettingReading& r) { return r.WholeNumber(r.settings.maxSessions); }},
    {"QUILLMESH_MAX_SESSIONS_PER_PEER", "16", "sessions of one peer address open at once", 1,
     kSessionCeiling,
     [](SettingReading& r) { return r.WholeNumber(r.settings.maxSessionsPerPeer); }},
    {"QUILLMESH_IDLE_TIMEOUT", "300",
     "seconds a frame, a job's next frame or a reply may take; 0 never times out", 0,
     kLongestIdleTimeout,
     [](SettingReading& r) { return r.WholeNumber(r.settings.idleTimeoutSeconds); }},
    {"QUILLMESH_MIN_FREE_MB", "512",
     "MiB the work folder keeps free: a job that would leave less is refused", 0,
     kLargestFreeReserveMegabytes,
     [](SettingReading& r) { return r.WholeNumber(r.settings.minFreeMegabytes); }},
    {"QUILLMESH_KEEP_FAILED_MB", "1024",
     "MiB of job files kept for diagnosis, in all (none beyond 7 days); 0 keeps none", 0,
     kLargestKeptMegabytes, ReadKeptMegabytes},
    {"QUILLMESH_JOB_HISTORY", "1000",
     "finished jobs a peer can still ask about, kept across restarts in the job journal", 1,
     kLongestJobHistory, [](SettingReading& r) { return r.WholeNumber(r.settings.jobHistory); }},
    {"QUILLMESH_LOG_MAX_BYTES", "67108864", "size in bytes at which the log is rotated",
     kSmallestLogBytes, kLargestLogBytes,
     [](SettingReading& r) { return r.WholeNumber(r.settings.logRotation.maxBytes); }},
    {"QUILLMESH_LOG_FILES", "4", "log files kept, the current one included", 1, kMostLogFiles,
     [](SettingReading& r) { return r.WholeNumber(r.settings.logRotation.files); }},
    {"QUILLMESH_MAX_PAGES", "2000", "a PDF job of more pages (on Linux an XPS job too) is refused",
     1, kLargestRenderBound,
     [](SettingReading& r) { return r.WholeNumber(r.settings.render.maxPages); }},
    {"QUILLMESH_RENDER_SECONDS", "600", "seconds the rendering of one job may run", 1,
     kLargestRenderBound,
     [](SettingReading& r) { return r.WholeNumber(r.settings.render.renderSeconds); }},
    {"QUILLMESH_RENDER_JOBS", "the number of cores",
     "PDF jobs rendering at once, shared fairly among peers", 1, kLargestRenderBound,
     [](SettingReading& r) { return r.WholeNumber(r.settings.render.renderJobs); }},
    {"QUILLMESH_RENDER_MEMORY_MB", "1024", "MiB the rendering of one job may take", 1,
     kLargestRenderBound,
     [](SettingReading& r) { return r.WholeNumber(r.settings.render.renderMemoryMegabytes); }},
    {"QUILLMESH_SPOOLER_WATCH_SECONDS", "86400",
     "seconds a job handed to the spooler is followed to its end there before it is given up", 1,
     kLongestSpoolerWatch,
     [](SettingReading& r) { return r.WholeNumber(r.settings.spoolerWatchSeconds); }},
    // A UTF-16 path, which only the Windows loader reads whole (the narrow environment
    // would lose what the code page lacks); any value is only a place to look first.
    {"QUILLMESH_GS_DLL", "unset",
     "Windows: the full path of gsdll64.dll; else beside quillmesh.exe, then the newest "
     "installed Ghostscript",
     0, 0, nullptr},
    {"QUILLMESH_ADMIN", "127.0.0.1:9098",
     "the administrator's window (web pages, JSON, metrics): IPv4 address:port, or off", 0, 0,
     ReadAdminAddress},
    {"QUILLMESH_ADMIN_PASSWORD", "(not set)",
     "the window's password (HTTP Basic, user admin); needed on a non-loopback address", 0, 0,
     [](SettingReading& r) { return r.Text(r.settings.admin.password); }},
    {"QUILLMESH_ADMIN_CERT", "unset",
     "Linux: PEM certificate file, with QUILLMESH_ADMIN_KEY, to serve the window over HTTPS", 0,
     0, [](SettingReading& r) { return r.Text(r.settings.admin.certificatePath); }},
    {"QUILLMESH_ADMIN_KEY", "unset", "Linux: PEM private key file of QUILLMESH_ADMIN_CERT", 0, 0,
     [](SettingReading& r) { return r.Text(r.settings.admin.keyPath); }},
    {"QUILLMESH_ADMIN_ALLOW", AdminWindowSettings::kAdminAllowDefault,
     "comma-separated IPv4 addresses and CIDR ranges let into the window", 0, 0,
     ReadAdminAllowList},
};

}  // namespace

unsigned DefaultMaxSessions(std::uint64_t descriptorLimit) {
  if (descriptorLimit == 0) return kSessionCeiling;
  if (descriptorLimit <= kReservedDescriptors + kDescriptorsPerSession) return 1;
  const std::uint64_t sessions = (descriptorLimit - kReservedDescriptors) / kDescriptorsPerSession;
  return sessions > kSessionCeiling ? kSessionCeiling : static_cast<unsigned>(sessions);
}

namespace {

// Reads an allow-list and keeps its text; a list half understood must not let anyone in.
bool ReadAllowListInto(SettingReading& reading, std::string& text, AllowList& list) {
  text = reading.text;
  std::string allowProblem;
  if (list.Parse(text, allowProblem)) return true;
  reading.problem = std::string(reading.entry.name) + ": " + allowProblem;
  return false;
}

bool ReadAllowList(SettingReading& reading) {
  return ReadAllowListInto(reading, reading.settings.allowText, reading.settings.allow);
}

bool ReadAdminAllowList(SettingReading& reading) {
  return ReadAllowListInto(reading, reading.settings.admin.allowText,
                           reading.settings.admin.allow);
}

// "off", or an IPv4 address and a port of 1 to 65535 ("0.0.0.0:9098").
bool ReadAdminAddress(SettingReading& reading) {
  AdminWindowSettings& admin = reading.settings.admin;
  const std::string text = reading.text;
  if (text == "off") {
    admin.enabled = false;
    return true;
  }
  const std::size_t colon = text.rfind(':');
  std::uint32_t address = 0;
  const std::string portText = colon == std::string::npos ? "" : text.substr(colon + 1);
  const SettingEntry portEntry{reading.entry.name, "", "", 1, kLargestPort, nullptr};
  SettingReading portReading{portEntry, portText.c_str(), reading.settings, reading.problem};
  unsigned short port = 0;
  if (colon == std::string::npos || !ParseIpv4Address(text.substr(0, colon), address) ||
      !portReading.WholeNumber(port)) {
    reading.problem = std::string(reading.entry.name) +
                      " must be off or an IPv4 address and a port from 1 to 65535, as "
                      "127.0.0.1:9098";
    return false;
  }
  admin.enabled = true;
  admin.host = text.substr(0, colon);
  admin.port = port;
  return true;
}

// The kept files' bound, given in MiB and kept in bytes.
bool ReadKeptMegabytes(SettingReading& reading) {
  std::uint64_t megabytes = 0;
  if (!reading.WholeNumber(megabytes)) return false;
  reading.settings.keptFiles.maxBytes = megabytes << 20;
  return true;
}

}  // namespace

std::span<const SettingEntry> SettingEntries() { return kSettings; }

bool ReadServerSettings(ServerSettings& settings, std::string& problem) {
  settings.maxSessions = DefaultMaxSessions(quillmesh::platform::DescriptorLimit());
  // The window's own default admits loopback alone, unlike the peers' (everyone).
  std::string defaultProblem;
  settings.admin.allow.Parse(settings.admin.allowText, defaultProblem);
  for (const SettingEntry& entry : kSettings) {
    if (entry.read == nullptr) continue;
    const char* text = quillmesh::platform::GetEnvironment(entry.name);
    if (text == nullptr || *text == '\0') continue;
    SettingReading reading{entry, text, settings, problem};
    if (!entry.read(reading)) return false;
  }
  return true;
}

bool IsLoopbackAddress(std::uint32_t address) { return (address >> 24) == 127; }

bool CheckAdminWindowSettings(const ServerSettings& settings, bool tlsAvailable,
                              std::string& problem) {
  const AdminWindowSettings& admin = settings.admin;
  if (!admin.enabled) return true;
  std::uint32_t address = 0;
  ParseIpv4Address(admin.host, address);
  if (!IsLoopbackAddress(address) && admin.password.empty()) {
    problem = "QUILLMESH_ADMIN is not a loopback address, so QUILLMESH_ADMIN_PASSWORD must be set";
  } else if (admin.certificatePath.empty() != admin.keyPath.empty()) {
    problem = "QUILLMESH_ADMIN_CERT and QUILLMESH_ADMIN_KEY must be set together";
  } else if (!admin.certificatePath.empty() && !tlsAvailable) {
    problem = "QUILLMESH_ADMIN_CERT: this build serves the window without TLS";
  } else if (admin.port == settings.port) {
    problem = "QUILLMESH_ADMIN must not use QUILLMESH_PORT's port " + std::to_string(settings.port);
  } else {
    return true;
  }
  return false;
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
  LOG_DEBUG("jobs at the spooler: QUILLMESH_SPOOLER_WATCH_SECONDS=%u\n",
            settings.spoolerWatchSeconds);
  // The password itself never goes to the log.
  const AdminWindowSettings& admin = settings.admin;
  const std::string address =
      admin.enabled ? admin.host + ":" + std::to_string(admin.port) : std::string("off");
  LOG_DEBUG("administrator's window: QUILLMESH_ADMIN=%s QUILLMESH_ADMIN_ALLOW=%s, password %s, "
            "certificate %s\n",
            address.c_str(), admin.allowText.c_str(), admin.password.empty() ? "unset" : "set",
            admin.certificatePath.empty() ? "unset" : admin.certificatePath.c_str());
}
