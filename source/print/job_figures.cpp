#include "print/job_figures.h"

namespace {

// The time between two job clock readings.
std::chrono::microseconds Between(std::int64_t fromMillis, std::int64_t toMillis) {
  return std::chrono::milliseconds(toMillis - fromMillis);
}

}  // namespace

std::string_view DataFormatLabel(std::uint8_t dataFormat) {
  switch (dataFormat) {
    case quillmesh::wire::kDataFormatPdf: return "pdf";
    case quillmesh::wire::kDataFormatXps: return "xps";
    case quillmesh::wire::kDataFormatRaw: return "raw";
    default: return "other";
  }
}

std::string_view OutcomeLabel(JobState state) {
  switch (state) {
    case JobState::kPrinted: return "printed";
    case JobState::kCanceled: return "canceled";
    case JobState::kSpooled: return "spooled";
    default: return "failed";
  }
}

FinishedJobFigures FiguresOf(const JobRecord& record) {
  FinishedJobFigures figures;
  figures.printer = record.description.printerName;
  figures.format = DataFormatLabel(record.description.dataFormat);
  figures.outcome = OutcomeLabel(record.state);
  figures.pagesPrinted = record.pagesPrinted;
  if (record.changes.empty()) return figures;
  const std::int64_t acceptedAt = record.changes.front().atMillis;
  figures.duration = Between(acceptedAt, record.changes.back().atMillis);
  figures.hadFirstPage = record.firstPageAtMillis != 0;
  if (figures.hadFirstPage) {
    figures.timeToFirstPage = Between(acceptedAt, record.firstPageAtMillis);
  }
  return figures;
}
