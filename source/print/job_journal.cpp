#include "print/job_journal.h"

#include <algorithm>
#include <charconv>
#include <deque>
#include <iterator>
#include <map>
#include <string_view>
#include <utility>

#include "platform/platform.h"
#include "print/job_journal_line.h"
#include "support/log_writer.h"

namespace {

using quillmesh::platform::FileOwner;

constexpr std::size_t kReadBlockBytes = 1 << 16;
// Longer than any line the journal writes (each text field of a job is bounded far below
// it, even escaped): a longer one is garbage and is skipped without being held whole.
constexpr std::size_t kLongestLine = 16u << 20;
// The file the journal is rewritten into before it takes the journal's place.
constexpr char kRewriteSuffix[] = ".new";

// What reading the journal found.
struct JournalContents {
  std::size_t limit = 0;
  std::deque<JobRecord> finished;          // the last `limit`, oldest first
  std::map<std::uint32_t, JobRecord> open;  // jobs seen to open and not (yet) to end
  std::uint32_t lastId = 0;
  std::size_t lines = 0;
  std::size_t malformed = 0;
  std::size_t firstMalformedLine = 0;
  bool endsMidLine = false;  // the last line has no line break: a write cut short

  // Counts a line that is not one the journal writes.
  void TakeMalformed() {
    ++lines;
    if (malformed++ == 0) firstMalformedLine = lines;
  }

  // Keeps a finished record, dropping the oldest beyond the limit.
  void KeepFinished(JobRecord record) {
    finished.push_back(std::move(record));
    if (finished.size() > limit) finished.pop_front();
  }

  // Takes one complete line, without its line break.
  void TakeLine(std::string_view line) {
    job_journal_line::Entry entry;
    if (!job_journal_line::Parse(line, entry)) {
      TakeMalformed();
      return;
    }
    ++lines;
    lastId = std::max(lastId, entry.record.id);
    if (!entry.finished) {
      open.insert_or_assign(entry.record.id, std::move(entry.record));
      return;
    }
    open.erase(entry.record.id);
    KeepFinished(std::move(entry.record));
  }
};

// Cuts the file's bytes into lines as they are read; a line past kLongestLine is not
// kept, only known to be malformed once it ends.
class LineSplitter {
 public:
  explicit LineSplitter(JournalContents& contents) : mContents(contents) {}

  // Takes the next bytes of the file.
  void Feed(std::string_view bytes) {
    for (std::size_t end = bytes.find('\n'); end != std::string_view::npos;
         end = bytes.find('\n')) {
      Add(bytes.substr(0, end));
      EndLine();
      bytes.remove_prefix(end + 1);
    }
    Add(bytes);
  }

  // The end of the file: a line without its line break was cut short.
  void Finish() {
    if (mPending.empty() && !mOverlong) return;
    mContents.endsMidLine = true;
    mContents.TakeMalformed();
  }

 private:
  // Adds bytes to the line under way, unless it is already too long to be one.
  void Add(std::string_view bytes) {
    if (mOverlong) return;
    if (mPending.size() + bytes.size() > kLongestLine) {
      mOverlong = true;
      mPending.clear();
      return;
    }
    mPending += bytes;
  }

  // Ends the line under way at its line break.
  void EndLine() {
    if (mOverlong) {
      mContents.TakeMalformed();
    } else {
      mContents.TakeLine(mPending);
    }
    mPending.clear();
    mOverlong = false;
  }

  JournalContents& mContents;
  std::string mPending;
  bool mOverlong = false;
};

// Reads every line of the open file; false when it cannot be read.
bool ReadLines(std::FILE* file, JournalContents& contents) {
  std::rewind(file);
  LineSplitter splitter(contents);
  std::vector<char> block(kReadBlockBytes);
  for (;;) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), file);
    if (got == 0) break;
    splitter.Feed(std::string_view(block.data(), got));
  }
  if (std::ferror(file) != 0) return false;
  splitter.Finish();
  // Reading and appending share the stream: a write must follow a seek.
  return std::fseek(file, 0, SEEK_END) == 0;
}

// The system's last error as the log shows such codes ("error 0x70"), for a problem or a
// log line.
std::string LastErrorText() {
  char digits[2 * sizeof(unsigned long)] = {};
  const auto written = std::to_chars(digits, digits + sizeof digits,
                                     quillmesh::platform::LastSystemError(), 16);
  return "error 0x" + std::string(digits, written.ptr);
}

// Ends a job that was open when the server stopped: it failed, noticed now.
void FailStopped(JobRecord& record) {
  record.state = JobState::kFailed;
  record.message = JobJournal::kStoppedReason;
  record.changes.push_back({JobState::kFailed, JobClockMillis()});
}

// Pointers to the records, in their order.
std::vector<const JobRecord*> PointersTo(const std::vector<JobRecord>& records) {
  std::vector<const JobRecord*> pointers;
  pointers.reserve(records.size());
  for (const JobRecord& record : records) pointers.push_back(&record);
  return pointers;
}

}  // namespace

std::unique_ptr<JobJournal> JobJournal::Open(const std::string& path, std::size_t limit,
                                             std::vector<JobRecord>& finished,
                                             std::uint32_t& lastId, std::string& problem) {
  finished.clear();
  lastId = 0;
  FileOwner file(quillmesh::platform::OpenPrivateFileForAppend(path.c_str(), "a+b"));
  if (!file) {
    problem = path + " cannot be opened: " + LastErrorText();
    return nullptr;
  }
  JournalContents contents;
  contents.limit = limit;
  if (!ReadLines(file.get(), contents)) {
    problem = path + " cannot be read: " + LastErrorText();
    return nullptr;
  }
  if (contents.malformed != 0) {
    LOG_ERROR("the job journal %s has %zu malformed lines, skipped (the first is line %zu)\n",
              path.c_str(), contents.malformed, contents.firstMalformedLine);
  }
  std::unique_ptr<JobJournal> journal(
      new JobJournal(path, limit, std::move(file), contents.lines));
  // The line a write left unfinished is ended, so the next one starts a line of its own.
  if (contents.endsMidLine) journal->Append({});
  for (auto& [id, record] : contents.open) {
    FailStopped(record);
    journal->NoteFinished(record);
    contents.KeepFinished(std::move(record));
  }
  finished.assign(std::make_move_iterator(contents.finished.begin()),
                  std::make_move_iterator(contents.finished.end()));
  lastId = contents.lastId;
  if (journal->RewriteDue()) journal->Rewrite(PointersTo(finished), {});
  return journal;
}

JobJournal::JobJournal(std::string path, std::size_t limit, FileOwner file, std::size_t lines)
    : mPath(std::move(path)),
      mLimit(limit),
      mFile(std::move(file)),
      mLines(lines),
      mRewriteAt(2 * limit) {}

JobJournal::~JobJournal() = default;

void JobJournal::NoteOpened(const JobRecord& record) {
  Append(job_journal_line::Opened(record));
}

void JobJournal::NoteFinished(const JobRecord& record) {
  Append(job_journal_line::Finished(record));
}

bool JobJournal::RewriteDue() const { return mLines >= mRewriteAt; }

void JobJournal::Rewrite(const std::vector<const JobRecord*>& finished,
                         const std::vector<const JobRecord*>& open) {
  std::vector<std::string> lines;
  lines.reserve(finished.size() + open.size());
  for (const JobRecord* record : finished) lines.push_back(job_journal_line::Finished(*record));
  for (const JobRecord* record : open) lines.push_back(job_journal_line::Opened(*record));
  if (ReplaceWith(lines)) {
    mLines = lines.size();
    mRewriteAt = std::max(2 * mLimit, mLines + mLimit);
  } else {
    mRewriteAt = mLines + mLimit;
  }
}

void JobJournal::Append(const std::string& line) {
  if (!mFile) return;
  // After a failed write the file may end inside a line: the next one starts afresh.
  const std::string text = (mAppendFailing ? "\n" : "") + line + '\n';
  std::clearerr(mFile.get());
  const bool written =
      std::fwrite(text.data(), 1, text.size(), mFile.get()) == text.size() &&
      std::fflush(mFile.get()) == 0;
  if (!line.empty()) ++mLines;
  if (!written && !mAppendFailing) {
    LOG_ERROR("the job journal %s cannot be written: %s; the job history is kept in memory\n",
              mPath.c_str(), LastErrorText().c_str());
  }
  mAppendFailing = !written;
}

bool JobJournal::ReplaceWith(const std::vector<std::string>& lines) {
  const std::string fresh = mPath + kRewriteSuffix;
  quillmesh::platform::RemoveFile(fresh.c_str());  // what a rewrite cut short left
  FileOwner file(quillmesh::platform::OpenPrivateFileForAppend(fresh.c_str(), "ab"));
  bool written = file != nullptr;
  for (const std::string& line : lines) {
    if (!written) break;
    written = std::fwrite(line.data(), 1, line.size(), file.get()) == line.size() &&
              std::fputc('\n', file.get()) != EOF;
  }
  // Closed before anything else: Windows removes or moves no file held open.
  if (file) written = std::fclose(file.release()) == 0 && written;
  if (!written) {
    LOG_ERROR("the job journal %s cannot be rewritten into %s: %s; it goes on growing\n",
              mPath.c_str(), fresh.c_str(), LastErrorText().c_str());
    quillmesh::platform::RemoveFile(fresh.c_str());
    return false;
  }
  mFile.reset();  // Windows replaces no file held open
  const bool moved = quillmesh::platform::MoveFileOver(fresh.c_str(), mPath.c_str());
  if (!moved) {
    LOG_ERROR("the job journal %s cannot be replaced by %s: %s; it goes on growing\n",
              mPath.c_str(), fresh.c_str(), LastErrorText().c_str());
    quillmesh::platform::RemoveFile(fresh.c_str());
  }
  mFile.reset(quillmesh::platform::OpenPrivateFileForAppend(mPath.c_str(), "ab"));
  if (!mFile) {
    LOG_ERROR("the job journal %s cannot be reopened: %s; the job history is no longer "
              "journaled\n",
              mPath.c_str(), LastErrorText().c_str());
  }
  return moved;
}
