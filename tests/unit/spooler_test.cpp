// The spooler seam on Linux: the folder printer, the backend choice and the Win32-style
// level-2 enumeration on top of a fake backend.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fake_spooler.h"
#include "platform/platform.h"
#include "platform/posix/spooler/spooler_backend.h"
#include "platform/posix/system/win32_api.h"
#include "temporary_folder.h"
#include "support/text_encoding.h"

namespace {

namespace fs = std::filesystem;
using quillmesh::platform::InstallSpooler;
using quillmesh::platform::MakeFolderSpooler;
using quillmesh::platform::MakeSpooler;
using quillmesh::platform::PrinterEntry;
using quillmesh::platform::Spooler;
using quillmesh::platform::SpoolerBackend;
using quillmesh::platform::UseSpooler;

constexpr DWORD kLocalAndConnections = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;

// Makes a printer folder, optionally marked as a network printer.
void AddPrinterFolder(const fs::path& root, const std::string& name, bool network) {
  fs::create_directories(root / name);
  if (network) std::ofstream(root / name / ".network").put('\n');
}

std::vector<PrinterEntry> ListOrFail(SpoolerBackend& backend) {
  std::vector<PrinterEntry> printers;
  DWORD error = ERROR_SUCCESS;
  EXPECT_TRUE(backend.ListPrinters(printers, error)) << "error " << error;
  return printers;
}

// ---- the folder printer ----

TEST(FolderSpooler, ListsVisibleSubfoldersInByteOrderWithTheNetworkMarker) {
  TemporaryFolder root;
  AddPrinterFolder(root.path(), "b-printer", true);
  AddPrinterFolder(root.path(), "\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA", false);  // 打印机
  AddPrinterFolder(root.path(), "A printer", false);
  AddPrinterFolder(root.path(), ".hidden", false);
  std::ofstream(root.path() / "notes.txt") << "not a printer";
  std::ofstream(root.path() / "A printer" / "1.prn") << "a job, not a marker";

  auto backend = MakeFolderSpooler(root.path().string());
  const std::vector<PrinterEntry> printers = ListOrFail(*backend);

  ASSERT_EQ(printers.size(), 3u);
  EXPECT_EQ(printers[0].name, "A printer");
  EXPECT_FALSE(printers[0].network);
  EXPECT_EQ(printers[1].name, "b-printer");
  EXPECT_TRUE(printers[1].network);
  EXPECT_EQ(printers[2].name, "\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA");  // UTF-8 sorts last
  EXPECT_FALSE(printers[2].network);
}

// A RAW document fed from the file the thread opened for reading is copied from it only
// while the fed bytes are that file's, in order; whatever is fed lands byte for byte.
TEST(FolderSpooler, RawDocumentsHoldExactlyTheBytesFedWhetherCopiedOrWritten) {
  TemporaryFolder root;
  AddPrinterFolder(root.path(), "Lab", false);
  const std::string source = (root.path() / "job.prn").string();
  const std::string content(3 * 65536 + 5, 'j');
  std::ofstream(source, std::ios::binary) << content;
  const std::string other(65536, 'x');
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
  };
  const std::vector<Case> cases = {
      {"the file in order", {content.substr(0, 65536), content.substr(65536, 65536),
                             content.substr(131072)}},
      {"a chunk that differs, then the file's bytes again",
       {content.substr(0, 65536), other, content.substr(131072)}},
      {"other bytes from the start", {other, content.substr(0, 65536)}},
  };
  auto backend = MakeFolderSpooler(root.path().string());
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    std::FILE* reader = quillmesh::platform::OpenWideFile(
        Utf8ToWide(source), "rb");
    ASSERT_NE(reader, nullptr);
    DWORD error = ERROR_SUCCESS;
    auto printer = backend->OpenPrinter("Lab", error);
    ASSERT_NE(printer, nullptr);
    const DWORD jobId = printer->StartDocument("job", "RAW", error);
    ASSERT_NE(jobId, 0u) << error;
    std::string expected;
    for (const std::string& chunk : test.chunks) {
      DWORD written = 0;
      ASSERT_TRUE(printer->Write(chunk.data(), static_cast<DWORD>(chunk.size()), written, error));
      EXPECT_EQ(written, chunk.size());
      expected += chunk;
    }
    ASSERT_TRUE(printer->EndDocument(error)) << error;
    std::fclose(reader);
    std::ifstream printed(root.path() / "Lab" / (std::to_string(jobId) + ".prn"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(printed)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(bytes == expected) << bytes.size() << " bytes printed, " << expected.size() << " fed";
  }
}

TEST(FolderSpooler, MissingOrNonFolderRootFailsWithPathNotFound) {
  TemporaryFolder root;
  std::ofstream(root.path() / "plain-file") << "x";
  for (const fs::path& bad : {root.path() / "absent", root.path() / "plain-file"}) {
    auto backend = MakeFolderSpooler(bad.string());
    std::vector<PrinterEntry> printers{{"stale", false}};
    DWORD error = ERROR_SUCCESS;
    EXPECT_FALSE(backend->ListPrinters(printers, error)) << bad;
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND) << bad;
    EXPECT_TRUE(printers.empty()) << bad;
  }
}

// ---- EnumPrintersA through a fake backend ----

class EnumPrinters : public ::testing::Test {
 protected:
  void TearDown() override { InstallSpooler(nullptr); }

  static void UseFake(std::vector<PrinterEntry> printers, DWORD failure = ERROR_SUCCESS) {
    FakeSpoolerScript script;
    script.printers = std::move(printers);
    script.listFailure = failure;
    InstallSpooler(std::make_unique<FakeSpooler>(std::move(script)));
  }

  // Runs the two-call protocol; the buffer holds the records on success.
  static std::vector<BYTE> Enumerate(DWORD flags, DWORD& count) {
    DWORD needed = 0;
    count = 0;
    EnumPrintersA(flags, nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed);
    EXPECT_TRUE(EnumPrintersA(flags, nullptr, 2, buffer.data(), needed, &needed, &count));
    return buffer;
  }

  static const PRINTER_INFO_2A* Records(const std::vector<BYTE>& buffer) {
    return reinterpret_cast<const PRINTER_INFO_2A*>(buffer.data());
  }
};

TEST_F(EnumPrinters, FirstCallReportsTheSizeOfRecordsAndStrings) {
  UseFake({{"Lab", false}, {"Office", true}});
  DWORD needed = 0;
  DWORD count = 99;
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(EnumPrintersA(kLocalAndConnections, nullptr, 2, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(count, 0u);
  // Two records, "Lab\0", "Office\0" and the one shared empty string.
  EXPECT_EQ(needed, 2 * sizeof(PRINTER_INFO_2A) + 4 + 7 + 1);
}

TEST_F(EnumPrinters, SecondCallPacksRecordsFirstAndEveryPointerInsideTheBuffer) {
  UseFake({{"Lab", false}, {"Office", true}});
  DWORD count = 0;
  const std::vector<BYTE> buffer = Enumerate(kLocalAndConnections, count);
  ASSERT_EQ(count, 2u);

  const char* stringsStart =
      reinterpret_cast<const char*>(buffer.data() + 2 * sizeof(PRINTER_INFO_2A));
  const char* end = reinterpret_cast<const char*>(buffer.data() + buffer.size());
  const PRINTER_INFO_2A* records = Records(buffer);
  for (DWORD index = 0; index < count; ++index) {
    const PRINTER_INFO_2A& record = records[index];
    EXPECT_EQ(record.pServerName, nullptr);
    EXPECT_EQ(record.pDevMode, nullptr);
    for (const char* text : {record.pPrinterName, record.pShareName, record.pPortName,
                             record.pDriverName, record.pComment, record.pLocation, record.pSepFile,
                             record.pPrintProcessor, record.pDatatype, record.pParameters}) {
      ASSERT_NE(text, nullptr);
      ASSERT_GE(text, stringsStart);
      ASSERT_LT(text + std::char_traits<char>::length(text), end);  // terminator inside too
    }
  }
  EXPECT_STREQ(records[0].pPrinterName, "Lab");
  EXPECT_EQ(records[0].Attributes, PRINTER_ATTRIBUTE_LOCAL);
  EXPECT_STREQ(records[1].pPrinterName, "Office");
  EXPECT_EQ(records[1].Attributes, PRINTER_ATTRIBUTE_NETWORK);
  EXPECT_EQ(records[1].Attributes & 0x10u, 0x10u);
}

TEST_F(EnumPrinters, BufferOneByteShortFailsWithoutWritingIntoIt) {
  UseFake({{"Lab", false}});
  DWORD needed = 0;
  DWORD count = 0;
  EnumPrintersA(kLocalAndConnections, nullptr, 2, nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed, 0xCC);
  EXPECT_FALSE(
      EnumPrintersA(kLocalAndConnections, nullptr, 2, buffer.data(), needed - 1, &needed, &count));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, buffer.size());
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(std::set<BYTE>(buffer.begin(), buffer.end()), std::set<BYTE>{0xCC});
}

TEST_F(EnumPrinters, NoPrintersNeedsNoBytesAndSucceedsAtOnce) {
  UseFake({});
  DWORD needed = 7;
  DWORD count = 7;
  EXPECT_TRUE(EnumPrintersA(kLocalAndConnections, nullptr, 2, nullptr, 0, &needed, &count));
  EXPECT_EQ(needed, 0u);
  EXPECT_EQ(count, 0u);
}

TEST_F(EnumPrinters, NamesComeBackInCodePage936) {
  UseFake({{"\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA", false}});  // 打印机 in UTF-8
  DWORD count = 0;
  const std::vector<BYTE> buffer = Enumerate(kLocalAndConnections, count);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(std::string(Records(buffer)[0].pPrinterName), "\xB4\xF2\xD3\xA1\xBB\xFA");
}

TEST_F(EnumPrinters, FlagsChooseLocalPrintersAndConnections) {
  struct Case {
    DWORD flags;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {kLocalAndConnections, {"Lab", "Remote", "Desk"}},
      {PRINTER_ENUM_LOCAL, {"Lab", "Desk"}},
      {PRINTER_ENUM_CONNECTIONS, {"Remote"}},
      {0, {}},
  };
  for (const Case& test : cases) {
    UseFake({{"Lab", false}, {"Remote", true}, {"Desk", false}});
    DWORD count = 0;
    const std::vector<BYTE> buffer = Enumerate(test.flags, count);
    std::vector<std::string> names;
    for (DWORD index = 0; index < count; ++index)
      names.emplace_back(Records(buffer)[index].pPrinterName);
    EXPECT_EQ(names, test.names) << "flags " << test.flags;
  }
}

TEST_F(EnumPrinters, RejectsOtherLevelsAndMissingOutputs) {
  UseFake({{"Lab", false}});
  DWORD needed = 0;
  DWORD count = 0;
  for (DWORD level : {0u, 1u, 4u, 5u}) {
    EXPECT_FALSE(EnumPrintersA(kLocalAndConnections, nullptr, level, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_LEVEL) << "level " << level;
  }
  EXPECT_FALSE(EnumPrintersA(kLocalAndConnections, nullptr, 2, nullptr, 0, nullptr, &count));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(EnumPrintersA(kLocalAndConnections, nullptr, 2, nullptr, 0, &needed, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // A claimed size with no buffer behind it.
  EXPECT_FALSE(EnumPrintersA(kLocalAndConnections, nullptr, 2, nullptr, 4096, &needed, &count));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(EnumPrinters, BackendFailureIsTheCallsError) {
  UseFake({}, ERROR_ACCESS_DENIED);
  DWORD needed = 5;
  DWORD count = 5;
  EXPECT_FALSE(EnumPrintersA(kLocalAndConnections, nullptr, 2, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(needed, 0u);
  EXPECT_EQ(count, 0u);
}

// ---- choosing the backend ----

TEST(MakeSpooler, AcceptsOnlyTheDocumentedSpellings) {
  struct Case {
    const char* setting;
    bool known;
  };
  const Case cases[] = {
      {nullptr, true},    {"", true},      {"cups", true},   {"folder:/srv/printers", true},
      {"folder:", false}, {"CUPS", false}, {"cups ", false}, {"Folder:/x", false},
      {"folder", false},  {"lpd", false},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(MakeSpooler(test.setting) != nullptr, test.known)
        << (test.setting == nullptr ? "(unset)" : test.setting);
  }
}

TEST(MakeSpooler, FolderSettingListsThatFolder) {
  TemporaryFolder root;
  AddPrinterFolder(root.path(), "Lab", false);
  auto backend = MakeSpooler(("folder:" + root.path().string()).c_str());
  ASSERT_NE(backend, nullptr);
  const std::vector<PrinterEntry> printers = ListOrFail(*backend);
  ASSERT_EQ(printers.size(), 1u);
  EXPECT_EQ(printers[0].name, "Lab");
}

// Leaves the default backend choice behind.
class SpoolerChoice : public ::testing::Test {
 protected:
  void TearDown() override { InstallSpooler(nullptr); }
};

TEST_F(SpoolerChoice, AnUnknownSettingIsRefusedAndKeepsTheBackendInUse) {
  TemporaryFolder root;
  std::string problem;
  ASSERT_TRUE(UseSpooler("folder:" + root.path().string(), problem)) << problem;
  SpoolerBackend* chosen = &Spooler();
  for (const char* setting : {"folder", "folder:", "CUPS", "lpd"}) {
    EXPECT_FALSE(UseSpooler(setting, problem)) << setting;
    EXPECT_NE(problem.find("QUILLMESH_SPOOLER"), std::string::npos) << problem;
    EXPECT_EQ(&Spooler(), chosen) << setting;
  }
}

// The default backend (CUPS) is made on first use; threads racing there share one. Only
// the choice is raced: listing would ask a scheduler that may not run here.
TEST_F(SpoolerChoice, ThreadsRacingOnFirstUseShareOneBackend) {
  InstallSpooler(nullptr);
  constexpr int kThreads = 8;
  std::vector<SpoolerBackend*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int index = 0; index < kThreads; ++index) {
    threads.emplace_back([&seen, index] { seen[index] = &Spooler(); });
  }
  for (std::thread& thread : threads) thread.join();
  for (int index = 0; index < kThreads; ++index) EXPECT_EQ(seen[index], seen[0]);
}

}  // namespace
