// The administrator's window's web server: its own port, its own few threads, the
// access rules on every request, and the URL map onto the pages, the JSON and the
// metrics, which read the server through AdminSources.
#pragma once

#include <memory>
#include <string>

#include "admin/admin_sources.h"
#include "support/server_settings.h"

// Whether this build can serve the window over TLS (Linux, with OpenSSL).
bool AdminWindowHasTls();

class AdminServer {
 public:
  AdminServer(AdminSources& sources, const AdminWindowSettings& settings);
  // Stops serving and waits for its threads.
  ~AdminServer();
  AdminServer(const AdminServer&) = delete;
  AdminServer& operator=(const AdminServer&) = delete;

  // Binds the address and serves on a thread of its own, logging where it is reached;
  // false, with an Error line, when the certificate cannot be read, the address cannot be
  // bound or the thread not started: the print server then goes on without the window.
  bool Start();

  // Where the window is reached: "http://127.0.0.1:9098".
  std::string Url() const;

 private:
  struct Serving;
  AdminSources& mSources;
  const AdminWindowSettings mSettings;
  std::unique_ptr<Serving> mServing;
};
