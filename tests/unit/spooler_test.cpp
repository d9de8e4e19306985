// The spooler seam on Linux: the folder printer, the backend choice and the Win32-style
// level-2 enumeration on top of a fake backend.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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

// The bytes of a folder printer's RAW document <id>.prn.
std::string PrintedDocument(const fs::path& printer, DWORD jobId) {
  std::ifstream printed(printer / (std::to_string(jobId) + ".prn"), std::ios::binary);
  return {std::istreambuf_iterator<char>(printed), std::istreambuf_iterator<char>()};
}

// Opens the printer "Lab" and starts a RAW document on it; the job id is 0 when either
// failed.
HANDLE StartLabDocument(DWORD& jobId) {
  WCHAR name[] = {'L', 'a', 'b', 0};
  HANDLE printer = nullptr;
  EXPECT_TRUE(OpenPrinterW(name, &printer, nullptr));
  DOC_INFO_1W info = {name, nullptr, nullptr};
  jobId = StartDocPrinterW(printer, 1, reinterpret_cast<LPBYTE>(&info));
  return printer;
}

// A job file handed to the folder printer lands byte for byte, from the file's position
// to its end, after what was written before it: empty, smaller and larger than the read
// buffer, and read part-way already. The copy is the kernel's: the buffer stays untouched.
TEST(FolderSpooler, AJobFileHandedOverLandsExactlyWithoutPassingThroughTheBuffer) {
  TemporaryFolder root;
  AddPrinterFolder(root.path(), "Lab", false);
  InstallSpooler(MakeFolderSpooler(root.path().string()));
  std::string large(3 * 65536 + 5, '\0');
  for (std::size_t index = 0; index < large.size(); ++index) large[index] = char(index * 31 / 7);
  struct Case {
    const char* name;
    std::string written;  // WritePrinter bytes before the file
    std::string file;
    long alreadyRead;     // bytes of the file read before it is handed over
  };
  const Case cases[] = {
      {"an empty file", "", "", 0},
      {"one byte", "", "j", 0},
      {"past one buffer", "", large, 0},
      {"after written bytes", "header", large, 0},
      {"read part-way", "", large, 70000},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const fs::path source = root.path() / "job.prn";
    std::ofstream(source, std::ios::binary) << test.file;
    std::FILE* reader = std::fopen(source.c_str(), "rb");
    ASSERT_NE(reader, nullptr);
    std::string skipped(static_cast<std::size_t>(test.alreadyRead), '\0');
    ASSERT_EQ(std::fread(skipped.data(), 1, skipped.size(), reader), skipped.size());
    DWORD jobId = 0;
    HANDLE printer = StartLabDocument(jobId);
    ASSERT_NE(jobId, 0u);
    ASSERT_TRUE(StartPagePrinter(printer));
    std::string before = test.written;
    DWORD written = 0;
    ASSERT_TRUE(WritePrinter(printer, before.data(), static_cast<DWORD>(before.size()), &written));
    std::vector<BYTE> buffer(65536, 0xA5);
    const quillmesh::platform::PrinterFileCopy copy =
        quillmesh::platform::WritePrinterFromFile(printer, reader, buffer);
    EXPECT_TRUE(copy.complete);
    EXPECT_EQ(copy.total, test.file.size() - skipped.size());
    EXPECT_EQ(std::fgetc(reader), EOF) << "the file is left at its end";
    std::fclose(reader);
    EXPECT_TRUE(EndPagePrinter(printer));
    EXPECT_TRUE(EndDocPrinter(printer));
    EXPECT_TRUE(ClosePrinter(printer));
    const std::string expected = test.written + test.file.substr(skipped.size());
    const std::string printed = PrintedDocument(root.path() / "Lab", jobId);
    EXPECT_TRUE(printed == expected) << printed.size() << " bytes printed, " << expected.size()
                                     << " handed over";
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xA5), 65536);
  }
  InstallSpooler(nullptr);
}

// A job file the kernel cannot copy from (here a pipe) still lands exactly, read through
// the buffer.
TEST(FolderSpooler, AJobFileTheKernelCannotCopyGoesThroughTheBuffer) {
  TemporaryFolder root;
  AddPrinterFolder(root.path(), "Lab", false);
  InstallSpooler(MakeFolderSpooler(root.path().string()));
  const std::string content(5000, 'p');
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ASSERT_EQ(::write(ends[1], content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(ends[1]);
  std::FILE* reader = ::fdopen(ends[0], "rb");
  ASSERT_NE(reader, nullptr);
  DWORD jobId = 0;
  HANDLE printer = StartLabDocument(jobId);
  ASSERT_NE(jobId, 0u);
  std::vector<BYTE> buffer(1024, 0xA5);
  const quillmesh::platform::PrinterFileCopy copy =
      quillmesh::platform::WritePrinterFromFile(printer, reader, buffer);
  std::fclose(reader);
  EXPECT_TRUE(copy.complete);
  EXPECT_EQ(copy.total, content.size());
  EXPECT_TRUE(EndDocPrinter(printer));
  EXPECT_TRUE(ClosePrinter(printer));
  EXPECT_EQ(PrintedDocument(root.path() / "Lab", jobId), content);
  EXPECT_EQ(buffer[0], 'p') << "the pieces passed through the buffer";
  InstallSpooler(nullptr);
}

// The file is handed over only inside an open document, as WritePrinter is.
TEST(FolderSpooler, AJobFileOutsideADocumentIsRefused) {
  TemporaryFolder root;
  AddPrinterFolder(root.path(), "Lab", false);
  InstallSpooler(MakeFolderSpooler(root.path().string()));
  const fs::path source = root.path() / "job.prn";
  std::ofstream(source, std::ios::binary) << "data";
  std::FILE* reader = std::fopen(source.c_str(), "rb");
  ASSERT_NE(reader, nullptr);
  WCHAR name[] = {'L', 'a', 'b', 0};
  HANDLE printer = nullptr;
  ASSERT_TRUE(OpenPrinterW(name, &printer, nullptr));
  std::vector<BYTE> buffer(16);
  EXPECT_FALSE(quillmesh::platform::WritePrinterFromFile(printer, reader, buffer).complete);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SPL_NO_STARTDOC));
  EXPECT_FALSE(quillmesh::platform::WritePrinterFromFile(nullptr, reader, buffer).complete);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  std::fclose(reader);
  EXPECT_TRUE(ClosePrinter(printer));
  InstallSpooler(nullptr);
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
