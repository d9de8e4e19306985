// Log lines written while the thread impersonates: the log is written as the server's
// own account and the impersonation is in force again after the line. Wine runs the
// token calls but checks no file access against a token, so the refusal a real user's
// token meets at the log folder is not reproduced here, only the switch around it.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/log_writer.h"
#include "platform/platform.h"  // windows.h, after winsock2.h

namespace {

// Whether the calling thread runs under a token of its own (impersonates).
bool ThreadImpersonates() {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
  ::CloseHandle(token);
  return true;
}

std::string LogText() {
  std::ifstream stream(GetWorkBaseDir() + "\\log\\QuillmeshLog.txt", std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

TEST(ServerAccountScopeTest, ALineWrittenWhileImpersonatingIsWrittenAsTheServerAndKept) {
  ASSERT_TRUE(::ImpersonateSelf(SecurityImpersonation));
  ASSERT_TRUE(ThreadImpersonates());
  {
    const quillmesh::platform::ServerAccountScope asServer;
    EXPECT_FALSE(ThreadImpersonates()) << "the scope must act as the process";
    {
      const quillmesh::platform::ServerAccountScope nested;
      EXPECT_FALSE(ThreadImpersonates());
    }
    EXPECT_FALSE(ThreadImpersonates()) << "a nested scope must not resume the impersonation";
  }
  EXPECT_TRUE(ThreadImpersonates()) << "the impersonation must be resumed";

  WriteLog(3, "Debug:line while impersonating %lu\n", ::GetCurrentThreadId());
  EXPECT_TRUE(ThreadImpersonates()) << "a log line must leave the impersonation in force";
  EXPECT_NE(LogText().find("Debug:line while impersonating " +
                           std::to_string(::GetCurrentThreadId())),
            std::string::npos);
  ASSERT_TRUE(::RevertToSelf());

  const quillmesh::platform::ServerAccountScope withoutImpersonation;
  EXPECT_FALSE(ThreadImpersonates()) << "a thread that impersonates no one stays as it is";
}

}  // namespace
