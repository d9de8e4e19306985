// Hostile peers for the hostile-load benchmark: one flood at a time over loopback, and a
// fresh peer asking for the printer list every so often while it lasts.
//   hostile_peers noise PORT PEERS BYTES SECONDS          each peer sends BYTES bytes that
//                                                         never start a frame, then waits for
//                                                         one printer list (the server is
//                                                         through its noise)
//   hostile_peers list PORT PEERS REQUESTS SECONDS        each peer asks REQUESTS times for
//                                                         the printer list, 50 requests ahead
//   hostile_peers upload PORT PEERS BYTES PRINTER SECONDS each peer uploads a RAW job of BYTES
//                                                         in 1 KiB frames, 8 frames ahead
//   hostile_peers idle PORT COUNT HOLD SECONDS            COUNT connections that send nothing,
//                                                         held for HOLD seconds
// SECONDS bounds the flood: whatever is not done by then is given up. The probe starts
// once the flood is under way and prints each figure in milliseconds; after the flood
// one more fresh peer is timed.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "peer_protocol.h"

namespace {

namespace proto = quillmesh::peer;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kListAhead = 50;
constexpr std::size_t kUploadFrame = 1024;
constexpr std::size_t kUploadAhead = 8;
constexpr std::size_t kNoiseChunk = 4096;
constexpr auto kProbeInterval = milliseconds(250);
constexpr auto kProbeLimit = milliseconds(30000);
constexpr auto kWarmUp = milliseconds(1000);

// The flood's end: operations never wait past it.
struct Deadline {
  Clock::time_point at;
  milliseconds Left() const {
    return std::max(milliseconds(1), std::chrono::duration_cast<milliseconds>(at - Clock::now()));
  }
};

// One fresh peer: connect, ask for the printer list, read the reply. The milliseconds it
// took, negative when it was refused or timed out.
double ProbeOnce(std::uint16_t port) {
  const auto start = Clock::now();
  proto::PeerConnection connection;
  proto::Frame reply;
  const bool answered =
      connection.Connect("127.0.0.1", port, kProbeLimit) &&
      connection.SendFrame(proto::kCmdPrinterList, 0, {}, kProbeLimit) &&
      connection.ReadFrame(reply, kProbeLimit) && reply.type == proto::kCmdPrinterList;
  const double elapsed =
      std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return answered ? elapsed : -elapsed;
}

// Prints the probes' count, median and worst; unanswered ones are counted apart.
void PrintProbes(const char* label, std::vector<double> times) {
  std::vector<double> answered;
  double worstUnanswered = 0;
  for (const double time : times) {
    if (time >= 0) answered.push_back(time);
    worstUnanswered = std::max(worstUnanswered, -time);
  }
  std::sort(answered.begin(), answered.end());
  const std::size_t unanswered = times.size() - answered.size();
  std::printf("%s: %zu probes, %zu answered", label, times.size(), answered.size());
  if (!answered.empty()) {
    std::printf(", median %.1f ms, worst %.1f ms", answered[answered.size() / 2], answered.back());
  }
  if (unanswered > 0) std::printf(", %zu not answered (worst after %.1f ms)", unanswered, worstUnanswered);
  std::printf("\n");
}

// Sends bytes that never start a frame (no 0xFF), then one printer-list request, whose
// reply says the server has read all of them.
bool SendNoise(std::uint16_t port, std::size_t bytes, const Deadline& deadline) {
  proto::PeerConnection connection;
  const Bytes chunk(kNoiseChunk, 'q');
  if (!connection.Connect("127.0.0.1", port, deadline.Left())) return false;
  for (std::size_t sent = 0; sent < bytes; sent += chunk.size()) {
    const std::size_t count = std::min(chunk.size(), bytes - sent);
    if (!connection.SendAll({chunk.data(), count}, deadline.Left())) return false;
  }
  proto::Frame reply;
  return connection.SendFrame(proto::kCmdPrinterList, 0, {}, deadline.Left()) &&
         connection.ReadFrame(reply, deadline.Left());
}

// Asks for the printer list `requests` times, kListAhead requests ahead of the replies.
bool AskListRepeatedly(std::uint16_t port, std::size_t requests, const Deadline& deadline) {
  proto::PeerConnection connection;
  if (!connection.Connect("127.0.0.1", port, deadline.Left())) return false;
  Bytes batch;
  const Bytes request = proto::BuildFrame(proto::kCmdPrinterList, 0, {});
  for (std::size_t done = 0; done < requests;) {
    const std::size_t count = std::min(kListAhead, requests - done);
    batch.clear();
    for (std::size_t index = 0; index < count; ++index) {
      batch.insert(batch.end(), request.begin(), request.end());
    }
    if (!connection.SendAll(batch, deadline.Left())) return false;
    proto::Frame reply;
    for (std::size_t index = 0; index < count; ++index) {
      if (!connection.ReadFrame(reply, deadline.Left())) return false;
    }
    done += count;
  }
  return true;
}

// Uploads one RAW job of `bytes` in 1 KiB frames, kUploadAhead frames ahead of their
// acknowledgements, and asks for it to be printed.
bool UploadInSmallFrames(std::uint16_t port, std::size_t bytes, const std::string& printer,
                         const Deadline& deadline) {
  proto::PeerConnection connection;
  proto::SubmitHeader header;
  header.printer_name = printer;
  header.file_name = "hostile.prn";
  header.file_size = static_cast<std::uint32_t>(bytes);
  header.data_format = proto::kDataFormatRaw;
  if (!connection.Connect("127.0.0.1", port, deadline.Left()) ||
      !connection.SendAll(*proto::BuildSubmitHeaderFrame(header), deadline.Left()) ||
      !connection.ExpectAcknowledgement(deadline.Left())) {
    return false;
  }
  const Bytes data(kUploadFrame, 'r');
  const std::size_t frames = (bytes + kUploadFrame - 1) / kUploadFrame;
  std::size_t acknowledged = 0;
  for (std::size_t sent = 0; sent < frames; ++sent) {
    if (sent - acknowledged == kUploadAhead) {
      if (!connection.ExpectAcknowledgement(deadline.Left())) return false;
      ++acknowledged;
    }
    const std::size_t count = std::min(kUploadFrame, bytes - sent * kUploadFrame);
    if (!connection.SendFrame(proto::kCmdFileSubmit, proto::SubmitParam(1, proto::kStageData),
                              {data.data(), count}, deadline.Left())) {
      return false;
    }
  }
  for (; acknowledged < frames; ++acknowledged) {
    if (!connection.ExpectAcknowledgement(deadline.Left())) return false;
  }
  return connection.SendFrame(proto::kCmdFileSubmit, proto::SubmitParam(1, proto::kStagePrint),
                              {}, deadline.Left()) &&
         connection.ExpectAcknowledgement(deadline.Left());
}

// Opens `count` connections that send nothing and holds them for `hold`; prints how many
// the server still held open at the end.
bool HoldIdleConnections(std::uint16_t port, std::size_t count, std::chrono::seconds hold,
                         const Deadline& deadline) {
  std::vector<proto::PeerConnection> held(count);
  std::size_t opened = 0;
  for (proto::PeerConnection& connection : held) {
    if (connection.Connect("127.0.0.1", port, deadline.Left())) ++opened;
  }
  std::this_thread::sleep_for(hold);
  // A connection the server closed reads as ended; one it holds times out.
  std::size_t stillOpen = 0;
  Bytes byte(1);
  for (proto::PeerConnection& connection : held) {
    if (connection.IsOpen() && !connection.ReadExact(byte, milliseconds(1)) &&
        connection.LastFailure() == proto::IoFailure::kTimeout) {
      ++stillOpen;
    }
  }
  std::printf("idle connections: %zu opened, %zu still held by the server at the end\n", opened,
              stillOpen);
  return opened == count;
}

// Runs `peers` flooders at once, probes while they run, then times one fresh peer after.
int RunFlood(std::uint16_t port, std::size_t peers, const Deadline& deadline,
             const std::function<bool(const Deadline&)>& flood) {
  const auto start = Clock::now();
  std::atomic<std::size_t> finished{0};
  std::atomic<std::size_t> completed{0};
  std::vector<std::thread> flooders;
  flooders.reserve(peers);
  for (std::size_t index = 0; index < peers; ++index) {
    flooders.emplace_back([&] {
      if (flood(deadline)) ++completed;
      ++finished;
    });
  }
  std::vector<double> probes;
  std::this_thread::sleep_for(kWarmUp);
  while (finished < peers && Clock::now() < deadline.at) {
    probes.push_back(ProbeOnce(port));
    std::this_thread::sleep_for(kProbeInterval);
  }
  for (std::thread& flooder : flooders) flooder.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("flood: %zu of %zu peers done in %.1f s%s\n", completed.load(), peers, seconds,
              Clock::now() >= deadline.at ? " (stopped at the time limit)" : "");
  PrintProbes("fresh peer during the flood", probes);
  std::this_thread::sleep_for(kWarmUp);
  PrintProbes("fresh peer after the flood", {ProbeOnce(port)});
  return 0;
}

// A whole-number argument.
std::size_t Number(const char* text) { return std::strtoull(text, nullptr, 10); }

// The flood's time limit from its SECONDS argument.
Deadline DeadlineIn(const char* seconds) {
  return {Clock::now() + std::chrono::seconds(Number(seconds))};
}

}  // namespace

// Dispatches to the flood that was asked for.
int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const auto port = static_cast<std::uint16_t>(argc > 2 ? Number(argv[2]) : 0);
  if (mode == "noise" && argc == 6) {
    const std::size_t bytes = Number(argv[4]);
    return RunFlood(port, Number(argv[3]), DeadlineIn(argv[5]),
                    [&](const Deadline& deadline) { return SendNoise(port, bytes, deadline); });
  }
  if (mode == "list" && argc == 6) {
    const std::size_t requests = Number(argv[4]);
    return RunFlood(port, Number(argv[3]), DeadlineIn(argv[5]), [&](const Deadline& deadline) {
      return AskListRepeatedly(port, requests, deadline);
    });
  }
  if (mode == "upload" && argc == 7) {
    const std::size_t bytes = Number(argv[4]);
    const std::string printer = argv[5];
    return RunFlood(port, Number(argv[3]), DeadlineIn(argv[6]), [&](const Deadline& deadline) {
      return UploadInSmallFrames(port, bytes, printer, deadline);
    });
  }
  if (mode == "idle" && argc == 6) {
    const std::size_t count = Number(argv[3]);
    const std::chrono::seconds hold(Number(argv[4]));
    return RunFlood(port, 1, DeadlineIn(argv[5]), [&](const Deadline& deadline) {
      return HoldIdleConnections(port, count, hold, deadline);
    });
  }
  std::fprintf(stderr,
               "usage: hostile_peers noise PORT PEERS BYTES SECONDS | list PORT PEERS REQUESTS "
               "SECONDS | upload PORT PEERS BYTES PRINTER SECONDS | idle PORT COUNT HOLD SECONDS\n");
  return 2;
}
