// The CUPS backend against the private test bed (testbed.sh): queues are listed, an
// ipp:// queue is a network printer and a file: queue a local one.
#include <cups/cups.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/spooler/spooler_backend.h"
#include "platform/posix/system/win32_api.h"

namespace {

using quillmesh::platform::InstallSpooler;
using quillmesh::platform::MakeCupsSpooler;
using quillmesh::platform::PrinterEntry;

// What Windows reports when the print spooler cannot be reached.
constexpr DWORD kSpoolerUnavailable = 1722;

const char* Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// The entry of that name, or nullptr; a name listed twice fails the test.
const PrinterEntry* Find(const std::vector<PrinterEntry>& printers, const std::string& name) {
  const PrinterEntry* found = nullptr;
  for (const PrinterEntry& printer : printers) {
    if (printer.name != name) continue;
    EXPECT_EQ(found, nullptr) << name << " is listed twice";
    found = &printer;
  }
  return found;
}

class CupsEnumeration : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Environment("CUPS_SERVER") == nullptr || Environment("QM_TESTBED_QUEUE") == nullptr) {
      GTEST_SKIP() << "no test bed: run through run_with_testbed.sh";
    }
    mQueue = Environment("QM_TESTBED_QUEUE");
    const char* localQueue = Environment("QM_TESTBED_LOCAL_QUEUE");
    mLocalQueue = localQueue != nullptr ? localQueue : "";
  }
  void TearDown() override { InstallSpooler(nullptr); }

  std::string mQueue;
  std::string mLocalQueue;
};

TEST_F(CupsEnumeration, ListsEachQueueOnceWithItsKind) {
  auto backend = MakeCupsSpooler();
  std::vector<PrinterEntry> printers;
  DWORD error = ERROR_SUCCESS;
  ASSERT_TRUE(backend->ListPrinters(printers, error)) << "error " << error;

  const PrinterEntry* network = Find(printers, mQueue);
  ASSERT_NE(network, nullptr) << mQueue << " is not listed";
  EXPECT_TRUE(network->network) << "an ipp:// queue is a network printer";
  if (mLocalQueue.empty()) return;
  const PrinterEntry* local = Find(printers, mLocalQueue);
  ASSERT_NE(local, nullptr) << mLocalQueue << " is not listed";
  EXPECT_FALSE(local->network) << "a file: queue is a local printer";
}

// The state the scheduler lists with each queue: a held (disabled) queue is stopped, and
// says why.
TEST_F(CupsEnumeration, EachQueueHasItsStateAndAStoppedOneItsReasons) {
  const char* heldQueue = Environment("QM_TESTBED_HELD_QUEUE");
  InstallSpooler(MakeCupsSpooler());
  std::vector<quillmesh::platform::PrinterStateReport> printers;
  ASSERT_TRUE(quillmesh::platform::ListPrinterStates(printers));
  const auto stateOf = [&](const std::string& name) {
    for (const auto& printer : printers) {
      if (printer.name == name) return printer.state;
    }
    return std::string("<not listed>");
  };
  EXPECT_EQ(stateOf(mQueue), "idle");
  if (heldQueue == nullptr) return;
  EXPECT_EQ(stateOf(heldQueue).rfind("stopped: ", 0), 0u) << stateOf(heldQueue);
  EXPECT_NE(stateOf(heldQueue).find("paused"), std::string::npos) << stateOf(heldQueue);
}

TEST_F(CupsEnumeration, EnumPrintersAReportsTheNetworkBit) {
  InstallSpooler(MakeCupsSpooler());
  DWORD needed = 0;
  DWORD count = 0;
  EnumPrintersA(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, nullptr, 0, &needed,
                &count);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(EnumPrintersA(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2,
                            buffer.data(), needed, &needed, &count))
      << "error " << GetLastError();

  const auto* records = reinterpret_cast<const PRINTER_INFO_2A*>(buffer.data());
  bool sawQueue = false;
  for (DWORD index = 0; index < count; ++index) {
    if (mQueue != records[index].pPrinterName) continue;
    sawQueue = true;
    EXPECT_EQ(records[index].Attributes, PRINTER_ATTRIBUTE_NETWORK);
  }
  EXPECT_TRUE(sawQueue);
}

// Needs no test bed: nothing listens on port 1, and the failure must come fast.
TEST(CupsUnreachable, ClosedPortFailsQuicklyAsSpoolerUnavailable) {
  cupsSetServer("127.0.0.1:1");
  const auto started = std::chrono::steady_clock::now();
  std::vector<PrinterEntry> printers;
  DWORD error = ERROR_SUCCESS;
  const bool listed = MakeCupsSpooler()->ListPrinters(printers, error);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  cupsSetServer(nullptr);  // back to CUPS_SERVER for the other tests of this thread

  EXPECT_FALSE(listed);
  EXPECT_EQ(error, kSpoolerUnavailable);
  EXPECT_TRUE(printers.empty());
  EXPECT_LT(elapsed, std::chrono::seconds(6));
}

}  // namespace
