// The real Kestrel.exe, started under Wine: its window, its list, its exit.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "PackageFixture.h"
#include "resources/resource.h"

namespace {

std::wstring ProgramPath() {
  WCHAR self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"Kestrel.exe";
}

struct Search {
  DWORD pid;
  HWND found;
};

HWND DialogOf(DWORD pid) {
  Search search{pid, nullptr};
  EnumWindows(
      [](HWND hwnd, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        DWORD owner = 0;
        GetWindowThreadProcessId(hwnd, &owner);
        WCHAR cls[32] = L"";
        GetClassNameW(hwnd, cls, 32);
        if (owner == s->pid && wcscmp(cls, L"#32770") == 0) {
          s->found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::set<std::wstring> RunFolders() {
  std::set<std::wstring> names;
  for (const auto& name : ListTree(TempRoot() + L"\\Kestrel"))
    if (name.find(L'\\') == name.size() - 1) names.insert(name);
  return names;
}

}  // namespace

TEST(RealProgram, ListsNoDriveShowsThePackageAndCleansUp) {
  std::set<std::wstring> before = RunFolders();
  std::wstring program = ProgramPath();
  ASSERT_EQ(1, IsPathExist(program.c_str())) << "Kestrel.exe lies beside the tests";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::wstring command = L"\"" + program + L"\"";
  ASSERT_TRUE(CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &process));
  HWND dlg = nullptr;
  for (int i = 0; i < 300 && dlg == nullptr; ++i) {
    Sleep(100);
    dlg = DialogOf(process.dwProcessId);
  }
  ASSERT_NE(nullptr, dlg) << "no dialog within 30 seconds";
  Sleep(500);  // initialisation runs inside WM_INITDIALOG, before the window shows
  WCHAR title[260] = L"";
  GetWindowTextW(dlg, title, 260);
  EXPECT_STREQ(L"Kestrel Demo Firmware Update", title);
  // Wine's one disk is not an NVMe drive.
  EXPECT_EQ(0, SendMessageW(GetDlgItem(dlg, IDC_DRIVE_LIST), CB_GETCOUNT, 0, 0));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dlg, IDOK)));

  // A second start while the first runs: no second window, no run folder,
  // exit code 0, and the first window in front. One test, so that no other
  // test's copy is running meanwhile.
  std::set<std::wstring> withFirst = RunFolders();
  EXPECT_EQ(before.size() + 1, withFirst.size());
  SetForegroundWindow(GetDesktopWindow());
  PROCESS_INFORMATION second = {};
  ASSERT_TRUE(CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &second));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second.hProcess, 10000)) << "the second copy ends by itself";
  DWORD secondCode = 1;
  GetExitCodeProcess(second.hProcess, &secondCode);
  EXPECT_EQ(0u, secondCode);
  EXPECT_EQ(nullptr, DialogOf(second.dwProcessId));
  EXPECT_EQ(withFirst, RunFolders()) << "the second copy extracted nothing";
  EXPECT_EQ(dlg, GetForegroundWindow()) << "the first window was brought forward";
  EXPECT_TRUE(IsWindow(dlg));
  CloseHandle(second.hThread);
  CloseHandle(second.hProcess);

  PostMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 30000));
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  EXPECT_EQ(0u, code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(before, RunFolders()) << "its run folder is gone";
}
