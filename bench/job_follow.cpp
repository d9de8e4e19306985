// How quickly a job's state reaches a peer that follows it, and how quickly a cancel
// stops a rendering, against a running server.
//   job_follow latency PORT PRINTER COUNT   COUNT RAW jobs; for each, the time from the
//                                           print order's acknowledgement (the job at the
//                                           spooler) until a status poll sees it printed
//   job_follow cancel PORT PRINTER PDF      sends the PDF (one document), waits until two
//                                           pages are rendered, cancels it and prints the
//                                           time until the cancel's reply (state 6)
// Status polls here follow each other at once, so the figures are the server's own part;
// a peer polling every P ms sees a change at most P ms later.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "peer_protocol.h"
#include "support/wire_format.h"

namespace {

namespace proto = quillmesh::peer;
namespace wire = quillmesh::wire;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr auto kTimeout = std::chrono::seconds(300);

// Stops the benchmark with the reason.
[[noreturn]] void Fail(const std::string& reason) {
  std::fprintf(stderr, "job_follow: %s\n", reason.c_str());
  std::exit(1);
}

proto::PeerConnection Connect(std::uint16_t port) {
  proto::PeerConnection connection;
  if (!connection.Connect("127.0.0.1", port, std::chrono::seconds(10))) {
    Fail("cannot connect: " + connection.LastError());
  }
  return connection;
}

// Sends a frame and waits for its acknowledgement.
void SendAcknowledged(proto::PeerConnection& connection, const Bytes& frame) {
  if (!connection.SendAll(frame, kTimeout) || !connection.ExpectAcknowledgement(kTimeout)) {
    Fail("a frame was not acknowledged: " + connection.LastError());
  }
}

// Asks for (or cancels) a job by its id.
wire::JobStatus Request(proto::PeerConnection& connection, std::uint8_t command,
                        std::uint32_t jobId) {
  const Bytes request = command == wire::kCmdJobCancel ? proto::BuildJobCancelRequest(jobId)
                                                       : proto::BuildJobStatusRequest(jobId);
  proto::Frame reply;
  wire::JobStatus status;
  std::string error;
  if (!connection.SendAll(request, kTimeout) || !connection.ReadFrame(reply, kTimeout) ||
      proto::ParseJobStatusReply(reply, command, status, error) != proto::StatusReply::kStatus) {
    Fail("no status reply: " + connection.LastError() + error);
  }
  return status;
}

// Sends the header of a job of that size and returns its server job id.
std::uint32_t StartJob(proto::PeerConnection& connection, const std::string& printer,
                       std::size_t size, std::uint8_t format, const std::string& property) {
  proto::SubmitHeader header;
  header.printer_name = printer;
  header.file_name = "bench";
  header.file_size = static_cast<std::uint32_t>(size);
  header.property = Bytes(property.begin(), property.end());
  header.data_format = format;
  SendAcknowledged(connection, *proto::BuildSubmitHeaderFrame(header));
  return Request(connection, wire::kCmdJobOutcome, wire::kLastJobOfConnection).serverJobId;
}

// Sends the data in frames of at most the payload limit.
void SendData(proto::PeerConnection& connection, const std::string& data) {
  for (std::size_t at = 0; at < data.size(); at += wire::kMaxPayload) {
    const std::string piece = data.substr(at, wire::kMaxPayload);
    SendAcknowledged(connection, proto::BuildFrame(wire::kCmdFileSubmit,
                                                   wire::SubmitParam(1, wire::kStageData),
                                                   Bytes(piece.begin(), piece.end())));
  }
}

double Millis(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

int Latency(std::uint16_t port, const std::string& printer, int count) {
  std::vector<double> latencies;
  proto::PeerConnection follower = Connect(port);
  for (int job = 0; job < count; ++job) {
    proto::PeerConnection sender = Connect(port);
    const std::uint32_t id = StartJob(sender, printer, 4, wire::kDataFormatRaw, "");
    SendData(sender, "data");
    SendAcknowledged(sender,
                     proto::BuildFrame(wire::kCmdFileSubmit, wire::SubmitParam(1, wire::kStagePrint), {}));
    const Clock::time_point spooled = Clock::now();
    while (Request(follower, wire::kCmdJobOutcome, id).outcome.state != wire::JobState::kPrinted) {
      if (Clock::now() - spooled > std::chrono::seconds(30)) Fail("a job never printed");
    }
    latencies.push_back(Millis(Clock::now() - spooled));
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf("at the spooler -> printed seen by a peer: median %.1f ms, worst %.1f ms (%d jobs)\n",
              latencies[latencies.size() / 2], latencies.back(), count);
  return 0;
}

int Cancel(std::uint16_t port, const std::string& printer, const std::string& pdfPath) {
  std::ifstream stream(pdfPath, std::ios::binary);
  const std::string pdf{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  if (pdf.empty()) Fail("cannot read " + pdfPath);
  proto::PeerConnection sender = Connect(port);
  const std::uint32_t id = StartJob(sender, printer, pdf.size(), wire::kDataFormatPdf, "NumCopies:1");
  SendData(sender, pdf);
  if (!sender.SendAll(proto::BuildFrame(wire::kCmdFileSubmit,
                                        wire::SubmitParam(1, wire::kStagePrint), {}),
                      kTimeout)) {
    Fail("the print order was not sent");
  }
  proto::PeerConnection follower = Connect(port);
  wire::JobStatus status;
  do {
    status = Request(follower, wire::kCmdJobOutcome, id);
    if (wire::IsFinalState(status.outcome.state)) Fail("the job ended before it was canceled");
  } while (status.outcome.state != wire::JobState::kPrinting || status.pagesDone < 2);
  const Clock::time_point asked = Clock::now();
  const wire::JobStatus canceled = Request(follower, wire::kCmdJobCancel, id);
  const double took = Millis(Clock::now() - asked);
  std::printf("cancel of a rendering at page %u of %u: state %d after %.1f ms\n",
              status.pagesDone, status.pagesTotal, static_cast<int>(canceled.outcome.state), took);
  return canceled.outcome.state == wire::JobState::kCanceled ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "latency") {
    return Latency(static_cast<std::uint16_t>(std::stoi(args[1])), args[2], std::stoi(args[3]));
  }
  if (args.size() == 4 && args[0] == "cancel") {
    return Cancel(static_cast<std::uint16_t>(std::stoi(args[1])), args[2], args[3]);
  }
  std::fprintf(stderr, "usage: job_follow latency PORT PRINTER COUNT | cancel PORT PRINTER PDF\n");
  return 2;
}
