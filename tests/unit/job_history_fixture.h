// A work folder of its own for each test of the job history: TEMP points at it, so the
// log lands there too, and the journal lies in it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "print/job_journal.h"
#include "print/job_registry.h"
#include "support/log_writer.h"
#include "test_environment.h"

class JobHistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mFolder = std::filesystem::temp_directory_path() /
              ("qm-history-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(mFolder);
    const char* savedTemp = std::getenv("TEMP");
    mSavedTemp = savedTemp != nullptr ? savedTemp : "";
    SetTemp(mFolder.string());
  }
  void TearDown() override {
    FlushLog();
    SetTemp(mSavedTemp);
    std::filesystem::remove_all(mFolder);
  }

  std::string JournalPath() const { return (mFolder / JobJournal::kFileName).string(); }

  // A file's bytes.
  static std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::stringstream text;
    text << stream.rdbuf();
    return text.str();
  }

  // The log's text, every line logged so far in it.
  std::string LogText() const {
    FlushLog();
    return ReadFile(mFolder / "Quillmesh" / "log" / "QuillmeshLog.txt");
  }

  // A job of the peer as a header tells it.
  static JobDescription Description(const std::string& peer,
                                    const std::string& document = "quarterly report.pdf") {
    JobDescription description;
    description.peer = peer;
    description.printerName = "Office Laser";
    description.documentName = document;
    description.dataFormat = 2;
    description.bytes = 123456;
    description.settingsAsked = "paper A4, 2 copies, two-sided long edge";
    return description;
  }

  // The outcome of a job that ended in that state.
  static JobOutcome Outcome(JobState state, const std::string& message = {}) {
    JobOutcome outcome;
    outcome.state = state;
    outcome.spoolerJobId = state == JobState::kSpooled ? 77 : 0;
    outcome.message = message;
    return outcome;
  }

  // Opens a job of the peer and fails it at once; its id.
  static std::uint32_t FailedJob(JobRegistry& jobs, const std::string& peer) {
    const auto job = jobs.Open(Description(peer));
    job->Finish(Outcome(JobState::kFailed, "printer not found"));
    return job->Id();
  }

  std::filesystem::path mFolder;
  std::string mSavedTemp;
};
