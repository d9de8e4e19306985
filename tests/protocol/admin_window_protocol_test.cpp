// The administrator's window of the real server, on Linux and under Wine alike: it answers
// on its own port with the overview, its live part, script and metrics, under its
// Content-Security-Policy, and a job printed meanwhile shows on the overview.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "server_process.h"

namespace {

// One HTTP answer as it came: the status line and headers, and the body.
struct HttpAnswer {
  std::string head;
  std::string body;
};

// GET path from the window on loopback, the connection closed after the answer; an empty
// head when no answer came.
HttpAnswer Get(std::uint16_t port, const std::string& path) {
  const int connection = ::socket(AF_INET, SOCK_STREAM, 0);
  const timeval limit{static_cast<time_t>(kIoTimeout.count()), 0};
  ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  std::string answer;
  if (::connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    const std::string request =
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (::send(connection, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      char buffer[16384];
      for (ssize_t got; (got = ::recv(connection, buffer, sizeof buffer, 0)) > 0;) {
        answer.append(buffer, static_cast<std::size_t>(got));
      }
    }
  }
  ::close(connection);
  const std::size_t headEnd = answer.find("\r\n\r\n");
  if (headEnd == std::string::npos) return {};
  return {answer.substr(0, headEnd), answer.substr(headEnd + 4)};
}

// Whether the answer is a 200 under the window's Content-Security-Policy.
bool IsSafeSuccess(const HttpAnswer& answer) {
  return answer.head.starts_with("HTTP/1.1 200") &&
         answer.head.find("Content-Security-Policy: default-src 'none'; script-src 'self'") !=
             std::string::npos;
}

TEST(AdminWindow, AnswersOnItsOwnPortWithTheOverviewScriptAndMetrics) {
  ServerProcess server({"Lab"});
  const std::uint16_t windowPort = FreePort();
  ASSERT_NE(windowPort, server.Port());
  server.SetEnvironment("QUILLMESH_ADMIN", "127.0.0.1:" + std::to_string(windowPort));
  ASSERT_TRUE(server.Start());
  HttpAnswer overview;
  ASSERT_TRUE(Eventually([&] { return !(overview = Get(windowPort, "/")).head.empty(); },
                         std::chrono::duration_cast<std::chrono::seconds>(kStartLimit)))
      << "the window never answered";
  EXPECT_TRUE(IsSafeSuccess(overview)) << overview.head;
  EXPECT_NE(overview.body.find("<script src=\"/admin.js\""), std::string::npos);
  EXPECT_NE(overview.body.find("id=\"live\""), std::string::npos);

  const HttpAnswer script = Get(windowPort, "/admin.js");
  EXPECT_TRUE(IsSafeSuccess(script)) << script.head;
  EXPECT_NE(script.body.find("fetch("), std::string::npos);
  const HttpAnswer metrics = Get(windowPort, "/metrics");
  EXPECT_TRUE(IsSafeSuccess(metrics)) << metrics.head;
  EXPECT_NE(metrics.body.find("# TYPE quillmesh_jobs_total counter"), std::string::npos);

  // Wine's spooler has no folder printer: a printed job is looked for natively only.
  if (ServerProcess::UnderWine()) return;
  SubmitJob(server, "Lab", 0, {}, "printer data", std::chrono::seconds(60));
  EXPECT_TRUE(Eventually(
      [&] {
        return Get(windowPort, "/live/overview").body.find("data-job-id=\"1\"") !=
               std::string::npos;
      },
      std::chrono::seconds(60)));
}

}  // namespace
