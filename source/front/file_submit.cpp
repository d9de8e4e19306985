// The file-submit command's header, read from peer bytes, and the folder its job files
// are received into.
#include "front/file_submit.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "print/print_service.h"
#include "support/kept_files.h"
#include "support/log_writer.h"
#include "platform/platform.h"
#include "support/server_settings.h"
#include "support/wire_format.h"

using quillmesh::wire::kDataFormatPdf;
using quillmesh::wire::kDataFormatRaw;
using quillmesh::wire::kDataFormatXps;
using quillmesh::wire::PayloadReader;

namespace {

constexpr const char kTempFolderName[] = "temp";
constexpr std::size_t kTempNameSize = 256;
// The random piece stays within 0 to 32767 on every runtime (glibc's rand goes higher).
constexpr int kRandomPieceLimit = 32768;

// Reads a 16-bit length and that many bytes.
bool ReadLengthPrefixed(PayloadReader& reader, std::string& bytes) {
  std::uint32_t length = 0;
  return reader.ReadNumber(2, length) && reader.ReadBytes(length, bytes);
}

// Reads the optional property: a 16-bit length and the bytes, when they fit.
bool ReadProperty(PayloadReader& reader, std::string& property) {
  std::uint32_t propLen = 0;
  if (!reader.ReadNumber(2, propLen)) {
    LOG_ERROR("file submit header cuts the property length short, job refused\n");
    return false;
  }
  if (!reader.ReadBytes(propLen, property)) {
    LOG_ERROR("property length overflow: propLen=%d remaining=%lld\n", static_cast<int>(propLen),
              reader.Remaining());
    property.clear();
    return true;
  }
  LOG_DEBUG("File Print more, mPrinterProperty len:%d\n", static_cast<int>(propLen));
  return true;
}

}  // namespace

bool ParseFileSubmitHeader(const std::uint8_t* payload, std::uint32_t length,
                           std::uint8_t protoVer, FileSubmitHeader& header) {
  PayloadReader reader({payload, length});
  std::uint32_t fileSize = 0;
  if (!ReadLengthPrefixed(reader, header.printerName) ||
      !ReadLengthPrefixed(reader, header.fileName) || !reader.ReadNumber(4, fileSize)) {
    LOG_ERROR("file submit header of %u bytes is too short for its fields, job refused\n", length);
    return false;
  }
  header.fileSize = fileSize;
  header.property.clear();
  if (reader.Remaining() > 0 && !ReadProperty(reader, header.property)) return false;

  header.dataFormat = kDataFormatPdf;
  std::uint32_t dataFormat = 0;
  if (protoVer >= 1 && reader.ReadNumber(1, dataFormat)) {
    header.dataFormat = static_cast<std::uint8_t>(dataFormat);
    LOG_DEBUG("v1 proto, dataFormat=%d\n", header.dataFormat);
  }
  header.remaining = reader.Remaining();
  return true;
}

const char* ExtensionForDataFormat(std::uint8_t dataFormat) {
  if (dataFormat == kDataFormatXps) return "xps";
  if (dataFormat == kDataFormatRaw) return "prn";
  return "pdf";
}

std::string JobFileFolder() {
  return GetWorkBaseDir() + quillmesh::platform::kPathSeparator + kTempFolderName;
}

UploadSpace& JobFolderSpace() {
  static UploadSpace space([](std::uint64_t& available) {
    std::error_code failure;
    available = std::filesystem::space(JobFileFolder(), failure).available;
    return !failure;
  });
  return space;
}

void SweepJobFolder() {
  SweepKeptFiles(JobFileFolder(), ServerSettingsInForce().keptFiles,
                 quillmesh::platform::SystemClockMillis());
}

std::string BuildTempFileName(const char* extension) {
  const quillmesh::platform::ClockReading now = quillmesh::platform::ReadClock();
  char name[kTempNameSize] = {};
  char threadId[32];
  std::snprintf(threadId, sizeof threadId, "%lu", quillmesh::platform::CurrentThreadId());
  int used = std::snprintf(name, sizeof name, "%s_%s_", "print", threadId);
  used += std::snprintf(name + used, sizeof name - used, "%d-%d-%d_", now.local.tm_year + 1900,
                        now.local.tm_mon + 1, now.local.tm_mday);
  used += std::snprintf(name + used, sizeof name - used, "%02d-%02d-%02d-%03ld_",
                        now.local.tm_hour, now.local.tm_min, now.local.tm_sec, now.milliseconds);
  std::snprintf(name + used, sizeof name - used, "%04d.%s", std::rand() % kRandomPieceLimit,
                extension);
  return name;
}
