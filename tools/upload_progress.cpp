// The upload progress display of quillmesh-peer.
#include "upload_progress.h"

#include <algorithm>
#include <cstdio>

namespace quillmesh::peer {

namespace {

constexpr const char* kProgramName = "quillmesh-peer";
// Files above this size report their progress every tenth on a non-terminal.
constexpr std::uint64_t kPlainProgressThreshold = 8u * 1024u * 1024u;
// The bar is redrawn at most this often; the final state is always drawn.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 30;
constexpr double kMebibyte = 1024.0 * 1024.0;

// "m:ss" (or "h:mm:ss") for a number of seconds; "--:--" when unknown.
std::string FormatDuration(double seconds) {
  if (!(seconds >= 0) || seconds > 99 * 3600.0) return "--:--";
  const auto whole = static_cast<unsigned long>(seconds + 0.5);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%lu:%02lu:%02lu", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%lu:%02lu", whole / 60, whole % 60);
  }
  return text;
}

}  // namespace

std::string FormatProgressBar(std::uint64_t done, std::uint64_t total, double bytesPerSecond,
                              int barWidth) {
  done = std::min(done, total);
  const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
  const int filled = static_cast<int>(fraction * barWidth);
  std::string bar(1, '[');
  bar.append(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(barWidth - filled), '-');
  bar.push_back(']');
  const double secondsLeft =
      bytesPerSecond > 0 ? static_cast<double>(total - done) / bytesPerSecond : -1.0;
  char figures[128];
  std::snprintf(figures, sizeof figures, " %3d%%  %.1f/%.1f MiB  %.1f MiB/s  %s left",
                static_cast<int>(fraction * 100), static_cast<double>(done) / kMebibyte,
                static_cast<double>(total) / kMebibyte, bytesPerSecond / kMebibyte,
                FormatDuration(secondsLeft).c_str());
  bar.append(figures);
  return bar;
}

UploadProgress::UploadProgress(std::uint64_t total, bool onTerminal)
    : mTotal(total), mOnTerminal(onTerminal) {}

void UploadProgress::Update(std::uint64_t done) {
  if (mOnTerminal) {
    DrawBar(done);
  } else {
    PrintTenth(done);
  }
}

void UploadProgress::Finish() {
  if (mBarShown) std::fputc('\n', stderr);
  mBarShown = false;
}

double UploadProgress::ElapsedSeconds() const {
  return std::chrono::duration<double>(Clock::now() - mStarted).count();
}

// Redraws the bar in place, no more often than kRedrawInterval except for the end.
void UploadProgress::DrawBar(std::uint64_t done) {
  const Clock::time_point now = Clock::now();
  if (done < mTotal && mBarShown && now - mLastDrawn < kRedrawInterval) return;
  mLastDrawn = now;
  const double elapsed = ElapsedSeconds();
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
  // Clears to the end of the line, as a redraw may be shorter than the one before.
  std::fprintf(stderr, "\r%s\033[K", FormatProgressBar(done, mTotal, rate, kBarWidth).c_str());
  std::fflush(stderr);
  mBarShown = true;
}

// Prints a line each time another tenth of a large file is acknowledged.
void UploadProgress::PrintTenth(std::uint64_t done) {
  if (mTotal <= kPlainProgressThreshold) return;
  const auto tenths = static_cast<unsigned>(std::min(done, mTotal) * 10 / mTotal);
  if (tenths <= mReportedTenths) return;
  mReportedTenths = tenths;
  std::fprintf(stderr, "%s: %u%% (%llu of %llu bytes)\n", kProgramName, tenths * 10,
               static_cast<unsigned long long>(done), static_cast<unsigned long long>(mTotal));
}

}  // namespace quillmesh::peer
