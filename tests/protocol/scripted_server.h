// A stand-in server on loopback for the peer's tests: it acknowledges every file-submit
// frame and answers any other frame as its script says, so a test can play a server
// from before a command, one that goes away, or a job in any state.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class ScriptedServer {
 public:
  using Bytes = std::vector<std::uint8_t>;
  // The answer to one frame that is not a file-submit frame: the bytes to send back;
  // nothing to stay silent; an empty reply closes the connection.
  using Script = std::function<std::optional<Bytes>(std::uint8_t type, const Bytes& payload)>;

  explicit ScriptedServer(Script script);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // The loopback port it listens on; 0 when it could not listen.
  std::uint16_t Port() const { return mPort; }

 private:
  void AcceptLoop();
  void Serve(int connection);
  // Reads one frame; false when the peer went or the frame broke off.
  static bool ReadFrame(int connection, std::uint8_t& type, Bytes& payload);

  Script mScript;
  int mListener = -1;
  std::uint16_t mPort = 0;
  std::mutex mGuard;  // the script runs on every connection's thread
  std::vector<int> mConnections;
  std::vector<std::thread> mThreads;
  std::thread mAcceptor;
};

// A status reply frame of that command: state, spooler job, message, server job, pages.
std::vector<std::uint8_t> StatusReplyFrame(std::uint8_t command, std::uint8_t state,
                                           std::uint32_t serverJobId,
                                           const char* message = "",
                                           std::uint32_t pagesDone = 0,
                                           std::uint32_t pagesTotal = 0);
