// The render child on Windows: it never outlives the program that started it (its job
// object kills it), its committed memory is bounded, and work without a description, or
// with one the child does not know, never runs.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/render_process.h"

namespace {

namespace fs = std::filesystem;
using quillmesh::platform::RenderLimits;
using quillmesh::platform::RenderMessage;
using quillmesh::platform::RenderProcess;
using quillmesh::platform::RenderReporter;
using quillmesh::platform::RenderWork;
using quillmesh::platform::RenderWorkDescription;
using Clock = std::chrono::steady_clock;

constexpr char kHoldArgument[] = "--hold-render";
constexpr RenderLimits kLimits{1 << 20, 256ULL << 20};
constexpr int kAllocationFailed = 3;

// Work that writes its process id into the file named, then runs until it is killed.
RenderWork Lingering(const std::string& file) {
  return [file](RenderReporter&) -> int {
    std::ofstream(file + ".part") << ::GetCurrentProcessId();
    fs::rename(file + ".part", file);
    for (;;) ::Sleep(10);
  };
}

// Work that commits and touches the megabytes named; kAllocationFailed when it may not.
RenderWork Hungry(const std::string& megabytes) {
  return [megabytes](RenderReporter&) {
    const SIZE_T bytes = static_cast<SIZE_T>(std::stoull(megabytes)) << 20;
    auto* memory = static_cast<volatile char*>(
        ::VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (memory == nullptr) return kAllocationFailed;
    for (SIZE_T at = 0; at < bytes; at += 4096) memory[at] = 1;
    return 0;
  };
}

// Work that reports the limits of the job object it runs in: "<flags> <memory bytes>".
int JobLimits(RenderReporter& reporter) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  if (!::QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits, nullptr)) {
    return 2;
  }
  const std::string text = std::to_string(limits.BasicLimitInformation.LimitFlags) + " " +
                           std::to_string(limits.ProcessMemoryLimit);
  reporter.Report(quillmesh::platform::RenderStream::kOutput, text.data(), text.size());
  return 0;
}

RenderWork ChildWork(const RenderWorkDescription& description) {
  if (description.kind == "job-limits") return JobLimits;
  if (description.arguments.size() != 1) return {};
  if (description.kind == "lingering") return Lingering(description.arguments[0]);
  if (description.kind == "hungry") return Hungry(description.arguments[0]);
  return {};
}

std::unique_ptr<RenderProcess> StartWork(const RenderWorkDescription& description,
                                         const RenderLimits& limits = kLimits) {
  return RenderProcess::Start(ChildWork(description), limits, description);
}

// Collects until the work has ended (or a generous time has passed); its exit code.
int AwaitExitCode(RenderProcess& process, std::vector<RenderMessage>& messages) {
  const Clock::time_point end = Clock::now() + std::chrono::seconds(120);
  while (process.Collect(5, messages)) {
    if (Clock::now() > end) return -2;
  }
  return process.ExitCode();
}

int AwaitExitCode(RenderProcess& process) {
  std::vector<RenderMessage> messages;
  return AwaitExitCode(process, messages);
}

bool UnderWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The program between the test and its render child: starts a lingering child and waits
// to be killed.
int HoldRender(const std::string& file) {
  const auto process = StartWork({"lingering", {file}});
  if (!process) return 2;
  for (;;) ::Sleep(1000);
}

std::wstring OwnExecutable() {
  std::wstring path(MAX_PATH * 4, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

TEST(RenderChildTest, TheChildEndsWithTheProgramThatStartedIt) {
  const char* temp = std::getenv("TEMP");
  ASSERT_NE(temp, nullptr);
  const std::string file =
      std::string(temp) + "\\qm-render-child-" + std::to_string(::GetCurrentProcessId());
  fs::remove(file);
  std::wstring commandLine = L"\"" + OwnExecutable() + L"\" --hold-render \"" +
                             fs::path(file).wstring() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION holder{};
  ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                               CREATE_SUSPENDED, nullptr, nullptr, &startup, &holder));
  // In a job of its own, as the service host runs the server: the child's job nests in
  // it, and this job, still open here, must not keep the child alive.
  const HANDLE outerJob = ::CreateJobObjectW(nullptr, nullptr);
  EXPECT_TRUE(::AssignProcessToJobObject(outerJob, holder.hProcess));
  ::ResumeThread(holder.hThread);
  ::CloseHandle(holder.hThread);
  const Clock::time_point end = Clock::now() + std::chrono::seconds(120);
  while (!fs::exists(file) && Clock::now() < end &&
         ::WaitForSingleObject(holder.hProcess, 20) == WAIT_TIMEOUT) {
  }
  DWORD childId = 0;
  std::ifstream(file) >> childId;
  fs::remove(file);
  const HANDLE child = childId != 0 ? ::OpenProcess(SYNCHRONIZE, FALSE, childId) : nullptr;
  DWORD holderEnd = 0;
  ::GetExitCodeProcess(holder.hProcess, &holderEnd);
  ::TerminateProcess(holder.hProcess, 1);
  ::WaitForSingleObject(holder.hProcess, INFINITE);
  ::CloseHandle(holder.hProcess);
  ASSERT_NE(child, nullptr) << "the render child never ran (child " << childId
                            << ", the program between ended with " << holderEnd << ")";
  EXPECT_EQ(::WaitForSingleObject(child, 60000), WAIT_OBJECT_0) << "the child outlived it";
  ::CloseHandle(child);
  ::CloseHandle(outerJob);
}

TEST(RenderChildTest, WorkRunsOnlyFromADescriptionTheChildKnows) {
  EXPECT_EQ(RenderProcess::Start([](RenderReporter&) { return 0; }, kLimits, {}), nullptr)
      << "a closure cannot cross into the child";
  for (const RenderWorkDescription& unknown :
       {RenderWorkDescription{"unknown", {"1"}}, RenderWorkDescription{"hungry", {}}}) {
    SCOPED_TRACE(unknown.kind);
    const auto process = RenderProcess::Start([](RenderReporter&) { return 0; }, kLimits, unknown);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(AwaitExitCode(*process), 1);
  }
}

// Wine neither reports a job's limits nor enforces its memory bound: this runs on
// Windows only. That the job kills the child on close is tested above, under Wine too.
TEST(RenderChildTest, TheChildsJobBoundsItsMemory) {
  if (UnderWine()) GTEST_SKIP() << "Wine does not keep or enforce a job's memory limit";
  const RenderLimits limits{1 << 20, 128ULL << 20};
  const auto reporting = StartWork({"job-limits", {}}, limits);
  ASSERT_NE(reporting, nullptr);
  std::vector<RenderMessage> messages;
  ASSERT_EQ(AwaitExitCode(*reporting, messages), 0) << "the child is in no job";
  ASSERT_EQ(messages.size(), 1U);
  const DWORD flags = std::stoul(messages[0].text);
  EXPECT_NE(flags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE, 0U) << messages[0].text;
  EXPECT_EQ(messages[0].text.substr(messages[0].text.find(' ') + 1),
            std::to_string(128ULL << 20));

  const auto within = StartWork({"hungry", {"64"}}, limits);
  ASSERT_NE(within, nullptr);
  EXPECT_EQ(AwaitExitCode(*within), 0);
  const auto past = StartWork({"hungry", {"129"}}, limits);
  ASSERT_NE(past, nullptr);
  EXPECT_EQ(AwaitExitCode(*past), kAllocationFailed);
}

}  // namespace

// This program is its own render child, as the server is, and the program between the
// test and the child.
int main(int argc, char** argv) {
  if (quillmesh::platform::IsRenderChild(argc, argv)) {
    return quillmesh::platform::RunRenderChild(argc, argv, ChildWork);
  }
  if (argc == 3 && std::string(argv[1]) == kHoldArgument) return HoldRender(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
