// Without console sessions (Linux) the impersonator stays inert and says why.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "test_environment.h"
#include "print/user_impersonation.h"

namespace {

namespace fs = std::filesystem;

TEST(UserSessionImpersonatorTest, StaysInertAndLogsTheMissingConsoleSession) {
  const fs::path root = fs::temp_directory_path() / ("qm-imp-" + std::to_string(std::rand()));
  fs::remove_all(root);  // a crashed earlier run may have left its log behind
  fs::create_directories(root);
  SetTemp(root.string());
  {
    const UserSessionImpersonator impersonator;
    EXPECT_FALSE(impersonator.IsImpersonating());
  }
  std::ifstream stream(root / "Quillmesh" / "log" / "QuillmeshLog.txt", std::ios::binary);
  std::stringstream logStream;
  logStream << stream.rdbuf();
  const std::string log = logStream.str();
  EXPECT_NE(log.find(" UserSessionImpersonator::UserSessionImpersonator "), std::string::npos);
  EXPECT_NE(log.find("Error:Impersonate: no active console session\n"), std::string::npos);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  fs::remove_all(root);
}

}  // namespace
