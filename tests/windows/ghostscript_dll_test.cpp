// Where the Windows build looks for Ghostscript's DLL, with registry entries of
// installed versions written by the test (Wine keeps its registry in the prefix).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/ghostscript.h"
#include "platform/win32/ghostscript_dll.h"

namespace {

constexpr const wchar_t kInstallations[] = L"SOFTWARE\\GPL Ghostscript";

// Records one installed version with its DLL; removed again by the destructor.
class InstalledVersion {
 public:
  InstalledVersion(const std::wstring& version, const std::wstring& dll)
      : mKey(std::wstring(kInstallations) + L"\\" + version) {
    HKEY key = nullptr;
    mCreated = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, mKey.c_str(), 0, nullptr, 0,
                                 KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key,
                                 nullptr) == ERROR_SUCCESS;
    if (!mCreated) return;
    if (!dll.empty()) {
      ::RegSetValueExW(key, L"GS_DLL", 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()),
                       static_cast<DWORD>((dll.size() + 1) * sizeof(wchar_t)));
    }
    ::RegCloseKey(key);
  }
  ~InstalledVersion() {
    if (mCreated) ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, mKey.c_str(), KEY_WOW64_64KEY, 0);
  }
  bool Created() const { return mCreated; }

 private:
  std::wstring mKey;
  bool mCreated = false;
};

// The folder of this test program, with a separator at the end.
std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text(path, length);
  return text.substr(0, text.find_last_of(L"\\/") + 1);
}

TEST(GhostscriptDllTest, TheSettingThenTheProgramsFolderThenTheNewestInstallation) {
  const InstalledVersion older(L"9.56.1", L"C:\\gs\\gs9.56.1\\bin\\gsdll64.dll");
  const InstalledVersion newer(L"10.02.1", L"C:\\gs\\gs10.02.1\\bin\\gsdll64.dll");
  const InstalledVersion withoutDll(L"10.03.0", L"");
  ASSERT_TRUE(older.Created() && newer.Created() && withoutDll.Created());
  const std::wstring beside = ProgramFolder() + L"gsdll64.dll";

  ::SetEnvironmentVariableW(L"QUILLMESH_GS_DLL", nullptr);
  EXPECT_EQ(quillmesh::platform::GhostscriptDllCandidates(),
            (std::vector<std::wstring>{beside, L"C:\\gs\\gs10.02.1\\bin\\gsdll64.dll"}));

  ::SetEnvironmentVariableW(L"QUILLMESH_GS_DLL", L"D:\\Tools\\gsdll64.dll");
  EXPECT_EQ(quillmesh::platform::GhostscriptDllCandidates(),
            (std::vector<std::wstring>{L"D:\\Tools\\gsdll64.dll", beside,
                                       L"C:\\gs\\gs10.02.1\\bin\\gsdll64.dll"}));

  // None of them exists here: nothing is loaded, and every place is reported.
  const quillmesh::platform::GhostscriptLibrarySearch& search =
      quillmesh::platform::FindGhostscriptLibrary();
  EXPECT_EQ(quillmesh::platform::LoadGhostscript(), nullptr);
  EXPECT_TRUE(search.loadedFrom.empty());
  EXPECT_EQ(search.lookedIn, (std::vector<std::string>{"D:\\Tools\\gsdll64.dll",
                                                       std::string(beside.begin(), beside.end()),
                                                       "C:\\gs\\gs10.02.1\\bin\\gsdll64.dll"}));
  ::SetEnvironmentVariableW(L"QUILLMESH_GS_DLL", nullptr);
}

}  // namespace
