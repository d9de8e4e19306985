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
//   hostile_peers fill PORT idle|drip COUNT ADDRESSES PRINTER SECONDS
//                                                         COUNT connections from ADDRESSES
//                                                         loopback addresses (127.0.1.1 on)
//                                                         that send nothing, or drip a job's
//                                                         header a byte a second; once all
//                                                         are open a fresh peer prints a job
//   hostile_peers listreset PORT PEERS REQUESTS SECONDS   each peer, from its own loopback
//                                                         address, sends REQUESTS printer-list
//                                                         requests at once and resets; then a
//                                                         fresh peer is timed, and the time
//                                                         until the server (BENCH_SERVER_PID)
//                                                         runs as few threads as before
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
constexpr auto kDripInterval = milliseconds(1000);
constexpr auto kSettle = milliseconds(500);
constexpr auto kRecoveryPoll = milliseconds(10);
constexpr std::size_t kNewcomerJobBytes = 4096;
constexpr std::size_t kAddressesPerBlock = 250;

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

// How many of the connections the server still holds: one it closed reads as ended, one
// it holds times out.
std::size_t StillHeld(std::vector<proto::PeerConnection>& connections) {
  std::size_t held = 0;
  Bytes byte(1);
  for (proto::PeerConnection& connection : connections) {
    if (connection.IsOpen() && !connection.ReadExact(byte, milliseconds(1)) &&
        connection.LastFailure() == proto::IoFailure::kTimeout) {
      ++held;
    }
  }
  return held;
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
  const std::size_t stillOpen = StillHeld(held);
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

// The loopback address of the index-th peer of `addresses`: 127.0.1.1 onwards, apart
// from the probes' 127.0.0.1.
std::string LoopbackPeer(std::size_t index, std::size_t addresses) {
  const std::size_t slot = index % addresses;
  return "127.0." + std::to_string(1 + slot / kAddressesPerBlock) + "." +
         std::to_string(1 + slot % kAddressesPerBlock);
}

// A fresh peer prints a small RAW job, starting again while the server closes it; the
// milliseconds from its first attempt to the print order's acknowledgement, negative
// when it never printed before the deadline.
double PrintAsNewcomer(std::uint16_t port, const std::string& printer, const Deadline& deadline) {
  const auto start = Clock::now();
  bool printed = false;
  while (!printed && Clock::now() < deadline.at) {
    printed = UploadInSmallFrames(port, kNewcomerJobBytes, printer, deadline);
  }
  const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return printed ? elapsed : -elapsed;
}

// Fills the session caps with `count` connections from `addresses` loopback addresses,
// silent or dripping a job's header frame, then times a fresh peer printing a job.
int FillCaps(std::uint16_t port, bool drip, std::size_t count, std::size_t addresses,
             const std::string& printer, const Deadline& deadline) {
  std::vector<proto::PeerConnection> fillers(count);
  std::size_t opened = 0;
  for (std::size_t index = 0; index < count; ++index) {
    if (fillers[index].Connect("127.0.0.1", port, deadline.Left(), LoopbackPeer(index, addresses))) {
      ++opened;
    }
  }
  proto::SubmitHeader header;
  header.printer_name = printer;
  header.file_name = "drip.prn";
  header.file_size = 1 << 20;
  header.data_format = proto::kDataFormatRaw;
  const Bytes dripped = *proto::BuildSubmitHeaderFrame(header);
  std::atomic<bool> stop{false};
  std::thread dripper([&] {
    for (std::size_t next = 0; drip && !stop && next < dripped.size(); ++next) {
      for (proto::PeerConnection& connection : fillers) {
        if (connection.IsOpen()) connection.SendAll({dripped.data() + next, 1}, milliseconds(100));
      }
      for (auto waited = milliseconds(0); !stop && waited < kDripInterval; waited += kRecoveryPoll) {
        std::this_thread::sleep_for(kRecoveryPoll);
      }
    }
  });
  std::this_thread::sleep_for(kSettle);
  const std::size_t heldBefore = StillHeld(fillers);
  const double printed = PrintAsNewcomer(port, printer, deadline);
  std::printf("%s connections: %zu of %zu opened from %zu addresses, %zu held by the server\n",
              drip ? "dripping" : "idle", opened, count, addresses, heldBefore);
  if (printed >= 0) {
    std::printf("fresh peer printed a job %.1f ms after its first attempt\n", printed);
  } else {
    std::printf("fresh peer did not print within %.1f ms\n", -printed);
  }
  std::printf("connections held after it: %zu\n", StillHeld(fillers));
  stop = true;
  dripper.join();
  return 0;
}

// The threads the process runs now (its /proc status); 0 when it cannot be read.
std::size_t ThreadsOf(const char* pid) {
  FILE* status = std::fopen((std::string("/proc/") + pid + "/status").c_str(), "r");
  if (status == nullptr) return 0;
  char line[256];
  std::size_t threads = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "Threads: %zu", &threads) == 1) break;
  }
  std::fclose(status);
  return threads;
}

// Sends `requests` printer-list requests at once from its own address, then resets.
bool AskAndReset(std::uint16_t port, std::size_t requests, const std::string& source,
                 const Deadline& deadline) {
  proto::PeerConnection connection;
  const Bytes request = proto::BuildFrame(proto::kCmdPrinterList, 0, {});
  Bytes all;
  for (std::size_t index = 0; index < requests; ++index) {
    all.insert(all.end(), request.begin(), request.end());
  }
  if (!connection.Connect("127.0.0.1", port, deadline.Left(), source) ||
      !connection.SendAll(all, deadline.Left())) {
    return false;
  }
  connection.Reset();
  return true;
}

// Peers that ask for the list many times and reset at once; then a fresh peer's wait and
// the time until the server is back to the threads it ran before.
int ListAndReset(std::uint16_t port, std::size_t peers, std::size_t requests,
                 const Deadline& deadline) {
  const char* pid = std::getenv("BENCH_SERVER_PID");
  const std::size_t idleThreads = pid == nullptr ? 0 : ThreadsOf(pid);
  std::atomic<std::size_t> completed{0};
  std::vector<std::thread> flooders;
  for (std::size_t index = 0; index < peers; ++index) {
    flooders.emplace_back([&, index] {
      if (AskAndReset(port, requests, LoopbackPeer(index, peers), deadline)) ++completed;
    });
  }
  for (std::thread& flooder : flooders) flooder.join();
  const auto reset = Clock::now();
  std::printf("flood: %zu of %zu peers sent %zu requests each and reset\n", completed.load(),
              peers, requests);
  PrintProbes("fresh peer right after the resets", {ProbeOnce(port)});
  if (idleThreads == 0) return 0;
  std::size_t threads = ThreadsOf(pid);
  while (threads > idleThreads && Clock::now() < deadline.at) {
    std::this_thread::sleep_for(kRecoveryPoll);
    threads = ThreadsOf(pid);
  }
  const double recovered = std::chrono::duration<double, std::milli>(Clock::now() - reset).count();
  std::printf("server threads: %zu before the flood, %zu %.0f ms after the resets%s\n",
              idleThreads, threads, recovered,
              threads > idleThreads ? " (the time limit ended the wait)" : "");
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
  if (mode == "fill" && argc == 8) {
    const std::string kind = argv[3];
    return FillCaps(port, kind == "drip", Number(argv[4]), std::max<std::size_t>(1, Number(argv[5])),
                    argv[6], DeadlineIn(argv[7]));
  }
  if (mode == "listreset" && argc == 6) {
    return ListAndReset(port, Number(argv[3]), Number(argv[4]), DeadlineIn(argv[5]));
  }
  std::fprintf(stderr,
               "usage: hostile_peers noise PORT PEERS BYTES SECONDS | list PORT PEERS REQUESTS "
               "SECONDS | upload PORT PEERS BYTES PRINTER SECONDS | idle PORT COUNT HOLD SECONDS "
               "| fill PORT idle|drip COUNT ADDRESSES PRINTER SECONDS | listreset PORT PEERS "
               "REQUESTS SECONDS\n");
  return 2;
}
