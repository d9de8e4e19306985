// How far an upload has got, shown on standard error: a bar with rate and time left on
// a terminal, plain percentage lines (every tenth, large files only) anywhere else.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace quillmesh::peer {

// One redraw of the bar: "[#####-----]  50%  128.0/256.0 MiB  512.0 MiB/s  0:00 left".
// A rate of 0 (not known yet) shows "--:--" as the time left.
std::string FormatProgressBar(std::uint64_t done, std::uint64_t total, double bytesPerSecond,
                              int barWidth);

class UploadProgress {
 public:
  using Clock = std::chrono::steady_clock;

  // onTerminal chooses the bar; without it the plain lines.
  UploadProgress(std::uint64_t total, bool onTerminal);

  // Called whenever more bytes have been acknowledged.
  void Update(std::uint64_t done);

  // Ends the bar's line once the upload is over (successful or not).
  void Finish();

  // Seconds since the object was made.
  double ElapsedSeconds() const;

 private:
  void DrawBar(std::uint64_t done);
  void PrintTenth(std::uint64_t done);

  std::uint64_t mTotal;
  bool mOnTerminal;
  Clock::time_point mStarted = Clock::now();
  Clock::time_point mLastDrawn{};
  bool mBarShown = false;
  unsigned mReportedTenths = 0;
};

}  // namespace quillmesh::peer
