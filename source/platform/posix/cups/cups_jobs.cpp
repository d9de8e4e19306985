// Each request goes over a connection of its own with bounded waits: the thread that
// follows jobs must never hang on a scheduler that stopped answering.
#include "platform/posix/cups/cups_jobs.h"

#include <cups/cups.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/posix/cups/cups_connection.h"
#include "platform/posix/cups/cups_settings.h"

namespace quillmesh::platform {

namespace {

constexpr std::array<const char*, 5> kJobAttributes = {
    "job-state", "job-state-reasons", "job-printer-state-message", "job-impressions-completed",
    "job-impressions"};

// Where the job stands, by its IPP job-state.
SpoolerJobState StateOf(int jobState) {
  switch (jobState) {
    case IPP_JSTATE_PENDING:
    case IPP_JSTATE_HELD:
      return SpoolerJobState::kQueued;
    case IPP_JSTATE_PROCESSING:
    case IPP_JSTATE_STOPPED:
      return SpoolerJobState::kPrinting;
    case IPP_JSTATE_CANCELED:
      return SpoolerJobState::kCanceled;
    case IPP_JSTATE_ABORTED:
      return SpoolerJobState::kFailed;
    case IPP_JSTATE_COMPLETED:
      return SpoolerJobState::kPrinted;
    default:
      return SpoolerJobState::kUnknown;
  }
}

// The printer's own words when it gave any, else the job's state reasons ("none" says
// nothing).
std::string ReasonOf(ipp_t* response) {
  ipp_attribute_t* message = ippFindAttribute(response, "job-printer-state-message", IPP_TAG_TEXT);
  const char* text = message == nullptr ? nullptr : ippGetString(message, 0, nullptr);
  if (text != nullptr && *text != '\0') return text;
  std::string reasons;
  ipp_attribute_t* keywords = ippFindAttribute(response, "job-state-reasons", IPP_TAG_KEYWORD);
  for (int index = 0; keywords != nullptr && index < ippGetCount(keywords); ++index) {
    const char* keyword = ippGetString(keywords, index, nullptr);
    if (keyword == nullptr || std::string_view(keyword) == "none") continue;
    if (!reasons.empty()) reasons += ", ";
    reasons += keyword;
  }
  return reasons;
}

// A whole number the scheduler reported, when it did and it is not negative.
std::optional<std::uint32_t> CountOf(ipp_t* response, const char* name) {
  ipp_attribute_t* count = ippFindAttribute(response, name, IPP_TAG_INTEGER);
  if (count == nullptr || ippGetInteger(count, 0) < 0) return std::nullopt;
  return static_cast<std::uint32_t>(ippGetInteger(count, 0));
}

// The job's printer URI on the scheduler.
std::string QueueUri(const std::string& queue) {
  char uri[HTTP_MAX_URI];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                   "/printers/%s", queue.c_str());
  return uri;
}

}  // namespace

SpoolerJobReport QueryCupsJob(const std::string& queue, int jobId) {
  SpoolerJobReport report;
  CupsConnection connection;
  if (!connection.Open()) return report;
  IppMessage request(ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES));
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               QueueUri(queue).c_str());
  ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(kJobAttributes.size()), nullptr, kJobAttributes.data());
  // cupsDoRequest takes the request over.
  const IppMessage response(cupsDoRequest(connection.get(), request.release(), "/"));
  if (!response) return report;
  if (ippGetStatusCode(response.get()) == IPP_STATUS_ERROR_NOT_FOUND) {
    report.state = SpoolerJobState::kGone;
    return report;
  }
  ipp_attribute_t* state = ippFindAttribute(response.get(), "job-state", IPP_TAG_ENUM);
  if (state == nullptr) return report;
  report.state = StateOf(ippGetInteger(state, 0));
  report.pagesPrinted = CountOf(response.get(), "job-impressions-completed");
  report.pagesTotal = CountOf(response.get(), "job-impressions").value_or(0);
  report.reason = ReasonOf(response.get());
  return report;
}

bool CancelCupsJob(const std::string& queue, int jobId, DWORD& error) {
  CupsConnection connection;
  if (!connection.Open()) {
    error = RPC_S_SERVER_UNAVAILABLE;
    return false;
  }
  const ipp_status_t status = cupsCancelJob2(connection.get(), queue.c_str(), jobId, 0);
  if (status <= IPP_STATUS_OK_CONFLICTING) return true;
  // A job that already completed, or one the scheduler forgot, cannot be canceled any more.
  error = status == IPP_STATUS_ERROR_NOT_POSSIBLE || status == IPP_STATUS_ERROR_NOT_FOUND
              ? ERROR_INVALID_PARAMETER
              : Win32ErrorOfCups(status);
  return false;
}

}  // namespace quillmesh::platform
