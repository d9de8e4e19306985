// A connection of our own to the CUPS scheduler, with bounded connect and answer times
// (libcups gives its default connection a 30 s connect timeout and no bound on the answer).
#pragma once

#include <cups/cups.h>

namespace quillmesh::platform {

// A dead or unreachable scheduler must not hold a session for long: bounds on the
// connection and on each silent wait for an answer. A listing makes two requests, so a
// scheduler that accepts but never answers costs about 2 x (4 + 1) s.
inline constexpr int kConnectTimeoutMilliseconds = 5000;
inline constexpr double kAnswerTimeoutSeconds = 4.0;

// Owns an HTTP connection to the scheduler.
class CupsConnection {
 public:
  CupsConnection() = default;
  CupsConnection(const CupsConnection&) = delete;
  CupsConnection& operator=(const CupsConnection&) = delete;
  ~CupsConnection() {
    if (mHttp != nullptr) httpClose(mHttp);
  }

  // Connects to the scheduler cupsServer() names (CUPS_SERVER or the local socket),
  // with bounded connect and answer times; false when it cannot be reached.
  bool Open() {
    mHttp = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                         kConnectTimeoutMilliseconds, nullptr);
    if (mHttp == nullptr) return false;
    httpSetTimeout(mHttp, kAnswerTimeoutSeconds, nullptr, nullptr);
    return true;
  }

  http_t* get() const { return mHttp; }

 private:
  http_t* mHttp = nullptr;
};

}  // namespace quillmesh::platform
