// The lines of the job journal: one event per line, its fields separated by tabs and a
// check of them last. Text fields are escaped (backslash, tab, line breaks and every other
// control byte), so a peer's document name of any bytes can neither end a line nor add a
// field; bytes from 0x80 up are kept as they are.
#pragma once

#include <string>
#include <string_view>

#include "print/job_registry.h"

namespace job_journal_line {

// The line of a job that opened: its id, what its header told and when it was accepted.
std::string Opened(const JobRecord& record);

// The line of a job that ended: its whole record.
std::string Finished(const JobRecord& record);

// What one line tells.
struct Entry {
  bool finished = false;  // a finished job's record; else a job that opened
  JobRecord record;
};

// Reads one line, without its line break; false when it is not one the journal writes.
bool Parse(std::string_view line, Entry& entry);

}  // namespace job_journal_line
