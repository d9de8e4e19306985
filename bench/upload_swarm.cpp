// Many peers uploading at once, for the memory figure of the upload benchmark.
//   upload_swarm send PORT COUNT SIZE PRINTER [HOLD]
//                                               COUNT connections each send a RAW job of
//                                               SIZE bytes in 1 MiB frames; all of them hold
//                                               their first frame on the server at once. With
//                                               HOLD, every connection stays open and silent
//                                               for HOLD seconds once all jobs are over
//   upload_swarm verify FOLDER COUNT SIZE       checks that FOLDER holds COUNT printed
//                                               jobs, each exactly the bytes sent for it
// Job n is its index as 8 big-endian bytes followed by a pattern shared by every job.
#include <algorithm>
#include <barrier>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "peer_protocol.h"

namespace {

namespace proto = quillmesh::peer;
using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kIndexBytes = 8;
constexpr auto kTimeout = std::chrono::seconds(300);

// The bytes every job shares after its index.
Bytes SharedPattern(std::size_t size) {
  std::mt19937 generator(1);
  Bytes pattern(size);
  for (std::uint8_t& byte : pattern) byte = static_cast<std::uint8_t>(generator());
  return pattern;
}

// The job's first bytes: its index, big-endian.
Bytes IndexBytes(std::uint64_t index) {
  Bytes bytes(kIndexBytes);
  for (std::size_t position = 0; position < kIndexBytes; ++position) {
    bytes[position] = static_cast<std::uint8_t>(index >> (8 * (kIndexBytes - 1 - position)));
  }
  return bytes;
}

// Sends the data frame that covers [offset, offset + count) of job `index`.
bool SendDataFrame(proto::PeerConnection& connection, const Bytes& pattern, const Bytes& index,
                   std::size_t offset, std::size_t count) {
  const auto header = proto::EncodeFrameHeader(proto::kCmdFileSubmit,
                                               proto::SubmitParam(1, proto::kStageData),
                                               static_cast<std::uint32_t>(count));
  if (!connection.SendAll(header, kTimeout)) return false;
  if (offset == 0) {
    if (!connection.SendAll(index, kTimeout)) return false;
    offset = kIndexBytes;
    count -= kIndexBytes;
  }
  return connection.SendAll({pattern.data() + offset, count}, kTimeout) &&
         connection.ExpectAcknowledgement(kTimeout);
}

// One peer's whole job on its connection; waits at the barrier once its first frame is
// acknowledged.
bool UploadOne(proto::PeerConnection& connection, std::uint16_t port, std::uint64_t index,
               const Bytes& pattern, const std::string& printer, std::barrier<>& allHoldAFrame) {
  proto::SubmitHeader header;
  header.printer_name = printer;
  header.file_name = "swarm.prn";
  header.file_size = static_cast<std::uint32_t>(pattern.size());
  header.data_format = proto::kDataFormatRaw;
  const Bytes indexBytes = IndexBytes(index);
  bool ok = connection.Connect("127.0.0.1", port, kTimeout) &&
            connection.SendAll(*proto::BuildSubmitHeaderFrame(header), kTimeout) &&
            connection.ExpectAcknowledgement(kTimeout);
  std::size_t offset = 0;
  const std::size_t first = std::min<std::size_t>(proto::kMaxPayload, pattern.size());
  ok = ok && SendDataFrame(connection, pattern, indexBytes, 0, first);
  if (!ok) {
    allHoldAFrame.arrive_and_drop();
    std::fprintf(stderr, "upload_swarm: job %llu: %s\n", static_cast<unsigned long long>(index),
                 connection.LastError().c_str());
    return false;
  }
  allHoldAFrame.arrive_and_wait();
  for (offset = first; ok && offset < pattern.size(); offset += proto::kMaxPayload) {
    const std::size_t count = std::min<std::size_t>(proto::kMaxPayload, pattern.size() - offset);
    ok = SendDataFrame(connection, pattern, indexBytes, offset, count);
  }
  ok = ok && connection.SendFrame(proto::kCmdFileSubmit, proto::SubmitParam(1, proto::kStagePrint),
                                  {}, kTimeout) &&
       connection.ExpectAcknowledgement(kTimeout);
  if (!ok) {
    std::fprintf(stderr, "upload_swarm: job %llu: %s\n", static_cast<unsigned long long>(index),
                 connection.LastError().c_str());
  }
  return ok;
}

// Says, once, that every job is over and the connections are held.
void AnnounceHolding() noexcept {
  std::printf("every job is over; the connections stay open\n");
  std::fflush(stdout);
}

// Runs COUNT peers at once, each holding its connection HOLD seconds after all jobs are
// over; 0 when every job was acknowledged to the end.
int Send(std::uint16_t port, std::size_t count, std::size_t size, const std::string& printer,
         unsigned holdSeconds) {
  const Bytes pattern = SharedPattern(size);
  std::barrier<> allHoldAFrame(static_cast<std::ptrdiff_t>(count));
  std::barrier allJobsOver(static_cast<std::ptrdiff_t>(count), &AnnounceHolding);
  std::vector<char> results(count, 0);
  std::vector<std::thread> peers;
  peers.reserve(count);
  for (std::size_t index = 0; index < count; ++index) {
    peers.emplace_back([&, index] {
      proto::PeerConnection connection;
      results[index] = UploadOne(connection, port, index, pattern, printer, allHoldAFrame) ? 1 : 0;
      if (holdSeconds == 0) return;
      allJobsOver.arrive_and_wait();
      std::this_thread::sleep_for(std::chrono::seconds(holdSeconds));
    });
  }
  for (std::thread& peer : peers) peer.join();
  const auto failed = static_cast<std::size_t>(std::count(results.begin(), results.end(), 0));
  std::printf("%zu of %zu jobs acknowledged to the end\n", count - failed, count);
  return failed == 0 ? 0 : 1;
}

// Checks every printed job against what was sent; 0 when all COUNT are there intact.
int Verify(const std::string& folder, std::size_t count, std::size_t size) {
  const Bytes pattern = SharedPattern(size);
  std::vector<char> seen(count, 0);
  std::size_t intact = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".prn") continue;
    std::ifstream file(entry.path(), std::ios::binary);
    const Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() != size || size < kIndexBytes) continue;
    std::uint64_t index = 0;
    for (std::size_t position = 0; position < kIndexBytes; ++position) index = index << 8 | bytes[position];
    if (index >= count || seen[index] ||
        !std::equal(bytes.begin() + kIndexBytes, bytes.end(), pattern.begin() + kIndexBytes)) {
      continue;
    }
    seen[index] = 1;
    ++intact;
  }
  std::printf("%zu of %zu jobs printed intact\n", intact, count);
  return intact == count ? 0 : 1;
}

}  // namespace

// Dispatches to the sending or the checking half.
int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "send" && (argc == 6 || argc == 7)) {
    const unsigned holdSeconds = argc == 7 ? static_cast<unsigned>(std::atoi(argv[6])) : 0;
    return Send(static_cast<std::uint16_t>(std::atoi(argv[2])), std::strtoul(argv[3], nullptr, 10),
                std::strtoul(argv[4], nullptr, 10), argv[5], holdSeconds);
  }
  if (mode == "verify" && argc == 5) {
    return Verify(argv[2], std::strtoul(argv[3], nullptr, 10), std::strtoul(argv[4], nullptr, 10));
  }
  std::fprintf(stderr,
               "usage: upload_swarm send PORT COUNT SIZE PRINTER [HOLD] | verify FOLDER COUNT SIZE\n");
  return 2;
}
