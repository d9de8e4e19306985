// How quillmesh-peer words a job's status for a person: the line that follows a job
// while it prints, and the fuller one that `status` prints. Standard library only.
#pragma once

#include <string>
#include <string_view>

#include "support/wire_format.h"

namespace quillmesh::peer {

// What the job is doing, in a few words: "receiving", "waiting for a render slot",
// "rendering page 3 of 20", "spooling", "at the spooler", "printed 20 pages",
// "failed: REASON", "canceled".
std::string DescribeJobState(const wire::JobStatus& status);

// The line that follows a job: "job 17: rendering page 3 of 20".
std::string JobStatusLine(const wire::JobStatus& status);

// The line of `status`: the state's words, then the message when they do not already
// carry it, the pages and the spooler's job id ("job 17: at the spooler; pages 3 of 20;
// spooler job 5").
std::string JobStatusReport(const wire::JobStatus& status);

// The server's text made safe for a terminal: control characters (C0, DEL and C1) are
// written as \xNN, so no reply can move the cursor or change the display.
std::string PrintableText(std::string_view text);

}  // namespace quillmesh::peer
