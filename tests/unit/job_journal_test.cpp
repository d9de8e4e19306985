// The journal of the job history: every field comes back whatever bytes a peer put in
// its texts, a line cut short or garbled is skipped and costs no later line, a job that
// never ended comes back failed, and the file stays bounded and is never swept away.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "job_history_fixture.h"
#include "print/job_journal_line.h"
#include "support/kept_files.h"

namespace {

namespace fs = std::filesystem;

// A record of a job that ran its whole course, with a field of every kind set.
JobRecord WholeRecord(std::uint32_t id, const std::string& text) {
  JobRecord record;
  record.id = id;
  record.description = {"10.1.2.3", text, text, 3, 9876543210ULL, text};
  record.settingsGiven = text;
  record.spoolerJobId = 4321;
  record.state = JobState::kPrinted;
  record.message = text;
  record.pagesRendered = 12;
  record.pagesPrinted = 11;
  record.pagesTotal = 13;
  const JobState course[] = {JobState::kReceiving, JobState::kPrinting,
                             JobState::kWaitingForSlot, JobState::kPrinting,
                             JobState::kSpooled, JobState::kPrinting, JobState::kPrinted};
  std::int64_t at = 1765000000000;
  for (const JobState state : course) record.changes.push_back({state, at += 1234});
  record.firstPageAtMillis = record.changes[2].atMillis + 17;
  return record;
}

// Whether two records agree in every field.
void ExpectSameRecord(const JobRecord& got, const JobRecord& wanted) {
  EXPECT_EQ(got.id, wanted.id);
  EXPECT_EQ(got.description.peer, wanted.description.peer);
  EXPECT_EQ(got.description.printerName, wanted.description.printerName);
  EXPECT_EQ(got.description.documentName, wanted.description.documentName);
  EXPECT_EQ(got.description.dataFormat, wanted.description.dataFormat);
  EXPECT_EQ(got.description.bytes, wanted.description.bytes);
  EXPECT_EQ(got.description.settingsAsked, wanted.description.settingsAsked);
  EXPECT_EQ(got.settingsGiven, wanted.settingsGiven);
  EXPECT_EQ(got.spoolerJobId, wanted.spoolerJobId);
  EXPECT_EQ(got.state, wanted.state);
  EXPECT_EQ(got.message, wanted.message);
  EXPECT_EQ(got.pagesRendered, wanted.pagesRendered);
  EXPECT_EQ(got.pagesPrinted, wanted.pagesPrinted);
  EXPECT_EQ(got.pagesTotal, wanted.pagesTotal);
  EXPECT_EQ(got.firstPageAtMillis, wanted.firstPageAtMillis);
  ASSERT_EQ(got.changes.size(), wanted.changes.size());
  for (std::size_t at = 0; at < got.changes.size(); ++at) {
    EXPECT_EQ(got.changes[at].state, wanted.changes[at].state) << at;
    EXPECT_EQ(got.changes[at].atMillis, wanted.changes[at].atMillis) << at;
  }
}

// A journal opened at the path, what it read back and the highest id it saw.
struct OpenedJournal {
  std::unique_ptr<JobJournal> journal;
  std::vector<JobRecord> finished;
  std::uint32_t lastId = 0;
};

OpenedJournal OpenAt(const std::string& path, std::size_t limit) {
  OpenedJournal opened;
  std::string problem;
  opened.journal = JobJournal::Open(path, limit, opened.finished, opened.lastId, problem);
  EXPECT_NE(opened.journal, nullptr) << problem;
  return opened;
}

// Appends raw bytes to a file.
void AppendBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

// Texts a peer could send: every control byte, invalid UTF-8, a forged line of its own,
// escapes that are not escapes, and the longest a header carries.
std::vector<std::string> HostileTexts() {
  std::string everyByte;
  for (int byte = 0; byte < 256; ++byte) everyByte += static_cast<char>(byte);
  std::string longest(65535, 'x');
  for (std::size_t at = 0; at < longest.size(); at += 7) longest[at] = static_cast<char>(at);
  return {"",
          "tab\there",
          "line\nF\t99\t1.1.1.1\tforged\r\n",
          std::string("nul\0inside", 10),
          "\xff\xfe\xc3(\x80",
          "back\\slash\\x41\\t\\",
          everyByte,
          longest};
}

using JobJournalTest = JobHistoryTest;

TEST_F(JobJournalTest, AFinishedRecordComesBackWithEveryFieldWhateverBytesItsTextsHold) {
  std::vector<JobRecord> written;
  {
    OpenedJournal opened = OpenAt(JournalPath(), 100);
    for (const std::string& text : HostileTexts()) {
      written.push_back(WholeRecord(static_cast<std::uint32_t>(written.size() + 1), text));
      opened.journal->NoteOpened(written.back());
      opened.journal->NoteFinished(written.back());
    }
  }
  const OpenedJournal reopened = OpenAt(JournalPath(), 100);
  // A name that holds a line of its own adds no job and no id.
  EXPECT_EQ(reopened.lastId, written.size());
  ASSERT_EQ(reopened.finished.size(), written.size());
  for (std::size_t at = 0; at < written.size(); ++at) {
    SCOPED_TRACE(at);
    ExpectSameRecord(reopened.finished[at], written[at]);
  }
  EXPECT_EQ(LogText().find("Error:"), std::string::npos) << LogText();
}

// The text of a journal line with its check made again, as the journal computes it
// (FNV-1a over the text), so a line of other fields still passes it.
std::string Rechecked(const std::string& text) {
  std::uint32_t hash = 2166136261u;
  for (const char character : text) {
    hash = (hash ^ static_cast<unsigned char>(character)) * 16777619u;
  }
  char check[9];
  std::snprintf(check, sizeof check, "%08x", static_cast<unsigned>(hash));
  return text + '\t' + check;
}

// A finished job's line without its check.
std::string Unchecked(const JobRecord& record) {
  const std::string line = job_journal_line::Finished(record);
  return line.substr(0, line.rfind('\t'));
}

// The line a finished job had before its first page was kept: its last field dropped.
std::string LineWithoutFirstPage(const JobRecord& record) {
  const std::string text = Unchecked(record);
  return Rechecked(text.substr(0, text.rfind('\t')));
}

TEST_F(JobJournalTest, ALineWrittenBeforeTheFirstPageWasKeptStillReadsAsAJobWithoutOne) {
  const JobRecord record = WholeRecord(9, "older");
  job_journal_line::Entry entry;
  ASSERT_TRUE(job_journal_line::Parse(LineWithoutFirstPage(record), entry));
  JobRecord wanted = record;
  wanted.firstPageAtMillis = 0;
  ExpectSameRecord(entry.record, wanted);
  // Both kinds of line in one journal come back, each with what it held.
  AppendBytes(JournalPath(), LineWithoutFirstPage(record) + "\n" +
                                 job_journal_line::Finished(WholeRecord(10, "newer")) + "\n");
  const OpenedJournal reopened = OpenAt(JournalPath(), 100);
  ASSERT_EQ(reopened.finished.size(), 2u);
  EXPECT_EQ(reopened.finished[0].firstPageAtMillis, 0);
  EXPECT_EQ(reopened.finished[1].firstPageAtMillis, WholeRecord(10, "newer").firstPageAtMillis);
  // A field more than a line ever held is no line of the journal.
  EXPECT_TRUE(job_journal_line::Parse(Rechecked(Unchecked(record)), entry));
  EXPECT_FALSE(job_journal_line::Parse(Rechecked(Unchecked(record) + "\t5"), entry));
}

TEST_F(JobJournalTest, ATornOrGarbledLineIsSkippedWithAnErrorAndCostsNoLaterLine) {
  const JobRecord torn = WholeRecord(3, "torn");
  {
    OpenedJournal opened = OpenAt(JournalPath(), 100);
    for (std::uint32_t id = 1; id <= 2; ++id) {
      opened.journal->NoteOpened(WholeRecord(id, "whole"));
      opened.journal->NoteFinished(WholeRecord(id, "whole"));
    }
    opened.journal->NoteOpened(torn);
  }
  std::string badEscape = job_journal_line::Finished(WholeRecord(50, "a\tb"));
  badEscape.replace(badEscape.find("\\t"), 2, "\\q");
  const std::string cut = job_journal_line::Finished(torn);
  AppendBytes(JournalPath(), "F\t12\tnot a record\n" + badEscape + "\n\n" +
                                 cut.substr(0, cut.size() / 2));

  OpenedJournal reopened = OpenAt(JournalPath(), 100);
  EXPECT_EQ(reopened.lastId, 3u);
  ASSERT_EQ(reopened.finished.size(), 3u);
  EXPECT_EQ(reopened.finished[0].id, 1u);
  EXPECT_EQ(reopened.finished[1].id, 2u);
  // The job whose end was cut short is one that never ended.
  EXPECT_EQ(reopened.finished[2].id, 3u);
  EXPECT_EQ(reopened.finished[2].state, JobState::kFailed);
  EXPECT_EQ(reopened.finished[2].message, JobJournal::kStoppedReason);
  EXPECT_EQ(reopened.finished[2].description.documentName, "torn");
  EXPECT_NE(LogText().find("Error:the job journal " + JournalPath() +
                           " has 4 malformed lines, skipped (the first is line 6)"),
            std::string::npos)
      << LogText();

  const JobRecord after = WholeRecord(4, "after the tear");
  reopened.journal->NoteOpened(after);
  reopened.journal->NoteFinished(after);
  reopened.journal.reset();
  const OpenedJournal again = OpenAt(JournalPath(), 100);
  // The job that never ended was settled once, in its place, not again at each start.
  ASSERT_EQ(again.finished.size(), 4u);
  EXPECT_EQ(again.finished[2].id, 3u);
  ExpectSameRecord(again.finished[3], after);
}

TEST_F(JobJournalTest, ALineLongerThanAnyRecordIsSkippedWithoutBeingHeldWhole) {
  AppendBytes(JournalPath(), std::string(20u << 20, 'F') + "\n");
  {
    OpenedJournal opened = OpenAt(JournalPath(), 10);
    EXPECT_TRUE(opened.finished.empty());
    opened.journal->NoteOpened(WholeRecord(1, "next"));
    opened.journal->NoteFinished(WholeRecord(1, "next"));
  }
  const OpenedJournal reopened = OpenAt(JournalPath(), 10);
  ASSERT_EQ(reopened.finished.size(), 1u);
  EXPECT_EQ(reopened.finished[0].description.documentName, "next");
}

TEST_F(JobJournalTest, AJournalThatCannotBeOpenedIsAProblemAndAMissingOneIsEmpty) {
  fs::create_directories(mFolder / "a folder");
  std::vector<JobRecord> finished;
  std::uint32_t lastId = 0;
  std::string problem;
  EXPECT_EQ(JobJournal::Open((mFolder / "a folder").string(), 10, finished, lastId, problem),
            nullptr);
  EXPECT_NE(problem.find("a folder"), std::string::npos) << problem;

  const OpenedJournal fresh = OpenAt(JournalPath(), 10);
  EXPECT_TRUE(fresh.finished.empty());
  EXPECT_EQ(fresh.lastId, 0u);
}

TEST_F(JobJournalTest, TheJournalAndItsRewriteAreNoJobFilesForAnySweep) {
  for (const std::string& name : {std::string(JobJournal::kFileName),
                                 std::string(JobJournal::kFileName) + ".new"}) {
    EXPECT_FALSE(IsServerJobFileName(name)) << name;
  }
}

TEST_F(JobJournalTest, ARewriteCutShortLeavesItsFileBehindAndTheNextOneReplacesIt) {
  const std::string leftover = JournalPath() + ".new";
  AppendBytes(leftover, "half a rewrite");
  {
    OpenedJournal opened = OpenAt(JournalPath(), 1);
    for (std::uint32_t id = 1; id <= 3; ++id) {
      opened.journal->NoteOpened(WholeRecord(id, "job"));
      opened.journal->NoteFinished(WholeRecord(id, "job"));
      if (opened.journal->RewriteDue()) {
        const JobRecord last = WholeRecord(id, "job");
        opened.journal->Rewrite({&last}, {});
      }
    }
  }
  EXPECT_FALSE(fs::exists(leftover));
  const OpenedJournal reopened = OpenAt(JournalPath(), 1);
  ASSERT_EQ(reopened.finished.size(), 1u);
  EXPECT_EQ(reopened.finished[0].id, 3u);
  EXPECT_EQ(ReadFile(JournalPath()), job_journal_line::Finished(WholeRecord(3, "job")) + "\n");
}

}  // namespace
