// Runs the real server binary with a private work folder and folder printer, and
// stops it by its PID.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "peer_protocol.h"

inline constexpr auto kIoTimeout = std::chrono::seconds(20);
// A server under Wine on a busy machine can take far longer than a native one to
// start listening; the wait ends as soon as it does.
inline constexpr auto kStartLimit = std::chrono::seconds(120);

class ServerProcess {
 public:
  // Creates the work folder and the printer folders (a name ending in "@net" is made a
  // network printer, without that suffix).
  explicit ServerProcess(const std::vector<std::string>& printers);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Prints through another QUILLMESH_SPOOLER setting than the folder printer.
  void UseSpooler(std::string setting) { mSpooler = std::move(setting); }
  // Sets an environment variable for the server (applied at the next start).
  void SetEnvironment(std::string name, std::string value) {
    mEnvironment.emplace_back(std::move(name), std::move(value));
  }

  // Arguments of the server's command line (applied at the next start).
  void SetArguments(std::vector<std::string> arguments) { mArguments = std::move(arguments); }
  // Keeps what the server writes on standard output and standard error from the next
  // start on (otherwise the one is dropped and the other goes to the test's own).
  void KeepOutput() { mKeepOutput = true; }
  std::string Output() const;
  std::string ErrorOutput() const;

  // Runs the server with its address space bounded (setrlimit before exec), as a small
  // machine would.
  void LimitAddressSpace(std::uint64_t bytes) { mAddressSpaceBytes = bytes; }

  // Starts the server and waits until it accepts connections.
  bool Start();
  // Runs the server once more and returns its exit code (for a second instance).
  int RunToExit(std::chrono::seconds limit);
  // Stops the server (SIGTERM, then SIGKILL) and reaps it; true when SIGTERM ended it
  // within the limit.
  bool Stop(std::chrono::seconds limit = std::chrono::seconds(2));

  // A new connection to the server, from the local address when one is given, or a
  // failed test.
  quillmesh::peer::PeerConnection Connect(const std::string& localAddress = {}) const;

  // The port this server listens on (QUILLMESH_PORT), free when the object was made.
  std::uint16_t Port() const { return mPort; }
  // The running server's process id; -1 when it does not run.
  pid_t Pid() const { return mPid; }
  const std::string& WorkDir() const { return mWorkDir; }
  std::string TempFolder() const { return mWorkDir + "/Quillmesh/temp"; }
  std::string LogText() const;
  std::vector<std::string> TempFiles() const;
  // The files in a folder printer's folder whose names end with the suffix.
  std::vector<std::string> PrinterFiles(const std::string& printer, const std::string& suffix) const;
  // The server command: QM_SERVER_COMMAND (e.g. "wine build/windows/quillmesh.exe")
  // or the Linux binary.
  static std::vector<std::string> Command();
  static bool UnderWine();

 private:
  pid_t Spawn() const;

  std::string mWorkDir;
  std::string mSpooler;
  std::vector<std::pair<std::string, std::string>> mEnvironment;
  std::vector<std::string> mArguments;
  bool mKeepOutput = false;
  std::uint16_t mPort = 0;
  std::uint64_t mAddressSpaceBytes = 0;
  pid_t mPid = -1;
};

// One job as a peer sends it: the header, the data in frames of at most the payload
// limit, then the print order, checking every acknowledgement. The print order's comes
// only once the job has printed, so it is waited for up to printLimit. With outcome,
// the job's outcome is asked for afterwards and stored there. With peerAddress, the job
// comes from that loopback address.
void SubmitJob(const ServerProcess& server, const std::string& printer, std::uint8_t dataFormat,
               const std::vector<std::uint8_t>& property, const std::string& data,
               std::chrono::seconds printLimit, quillmesh::peer::JobOutcome* outcome = nullptr,
               const std::string& peerAddress = {});

// A stage-1 header frame for a job of that size, without a property.
std::vector<std::uint8_t> SubmitHeaderFrame(const std::string& printer, const std::string& file,
                                            std::uint32_t size, std::uint8_t dataFormat);

// A loopback port nobody listens on, below the ephemeral range so that no outgoing
// connection takes it meanwhile; each server of a test gets its own, so test
// programs can run side by side.
std::uint16_t FreePort();

// Runs a shell command; true when it exited with 0.
bool RunCommand(const std::string& command);

// A PDF made with Ghostscript from a PostScript program, in the folder.
std::string MakePdf(const std::string& folder, const std::string& name, const std::string& program);

// A PDF of three 1-inch pages whose grey levels tell them apart: page n is filled with
// grey n/4 (darkest first). Made with Ghostscript in the folder.
std::string MakeThreePagePdf(const std::string& folder);

// Whole file content, or "<missing>".
std::string ReadFile(const std::string& path);

// Polls a condition until it holds or the time is up.
bool Eventually(const std::function<bool()>& condition,
                std::chrono::seconds limit = std::chrono::seconds(5));
