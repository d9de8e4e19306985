// The header frame of a print job upload, read from untrusted peer bytes, and the folder
// job files are received into.
#pragma once

#include <cstdint>
#include <string>

#include "front/upload_space.h"

// What a job's first frame announces.
struct FileSubmitHeader {
  std::string printerName;
  std::string fileName;
  std::uint32_t fileSize = 0;
  std::string property;
  std::uint8_t dataFormat = 0;
  long long remaining = 0;  // payload bytes after the last field read
};

// Reads a header payload; false (with an Error line) when it is too short for its
// fixed fields or cuts a length field in two. Never reads past `length`.
bool ParseFileSubmitHeader(const std::uint8_t* payload, std::uint32_t length,
                           std::uint8_t protoVer, FileSubmitHeader& header);

// A temporary job file name: print_<thread>_<date>_<time>_<random>.<extension>.
std::string BuildTempFileName(const char* extension);

// The temporary file extension of a data format.
const char* ExtensionForDataFormat(std::uint8_t dataFormat);

// The folder job files are received into: "temp" in the work folder.
std::string JobFileFolder();

// The free space of that folder, shared among the uploads under way.
UploadSpace& JobFolderSpace();

// Bounds the files left in the job folder by the settings in force (SweepKeptFiles).
void SweepJobFolder();
