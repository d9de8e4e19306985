// The printers' states: the folder printer's, through the administrator's sources, and a
// CUPS queue's in words.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "admin/live_sources.h"
#include "eventually.h"
#include "platform/posix/cups/cups_printer_state.h"

namespace {

namespace fs = std::filesystem;
using quillmesh::platform::CupsPrinterStateText;

TEST(CupsPrinterStateTest, StatesAndTheReasonsOfAStoppedQueue) {
  EXPECT_EQ(CupsPrinterStateText("3", "none"), "idle");
  EXPECT_EQ(CupsPrinterStateText("4", "media-low-warning"), "printing");
  EXPECT_EQ(CupsPrinterStateText("5", "none"), "stopped");
  EXPECT_EQ(CupsPrinterStateText("5", nullptr), "stopped");
  EXPECT_EQ(CupsPrinterStateText("5", "paused"), "stopped: paused");
  EXPECT_EQ(CupsPrinterStateText("5", "none,paused,,media-jam-error"),
            "stopped: paused, media-jam-error");
  EXPECT_EQ(CupsPrinterStateText(nullptr, "paused"), "unknown");
  EXPECT_EQ(CupsPrinterStateText("6", "none"), "unknown");
  EXPECT_EQ(CupsPrinterStateText("", ""), "unknown");
}

TEST(FolderPrinterStateTest, EveryFolderPrinterIsIdleAndANewOneShowsOnceTheListIsOld) {
  const fs::path root = fs::temp_directory_path() / ("qm-printers-" + std::to_string(::getpid()));
  fs::create_directories(root / "Lab");
  fs::create_directories(root / "B\xC3\xBCro");
  fs::create_directories(root / ".hidden");
  std::string problem;
  ASSERT_TRUE(quillmesh::platform::UseSpooler("folder:" + root.string(), problem)) << problem;
  const AllowList everyone;
  const SessionGate gate({1, 1}, everyone);
  JobRegistry jobs;
  const LiveAdminSources sources(jobs, gate);

  std::vector<PrinterView> printers = sources.Printers();
  ASSERT_EQ(printers.size(), 2u);
  EXPECT_EQ(printers[0].name, "B\xC3\xBCro");
  EXPECT_EQ(printers[1].name, "Lab");
  for (const PrinterView& printer : printers) EXPECT_EQ(printer.state, "idle");

  fs::create_directories(root / "Annex");
  EXPECT_TRUE(Eventually([&] { return sources.Printers().size() == 3; }));
  EXPECT_EQ(sources.Printers()[0].name, "Annex");

  ASSERT_TRUE(quillmesh::platform::UseSpooler("cups", problem));
  fs::remove_all(root);
}

}  // namespace
