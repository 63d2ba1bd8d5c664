// The real Kestrel.exe, started under Wine: its window, its list, its exit.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "PackageFixture.h"
#include "package/PackageCheck.h"
#include "resources/resource.h"

namespace {

std::wstring ProgramPath(const wchar_t* name = L"Kestrel.exe") {
  WCHAR self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

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

// Starts an updater and waits for its dialog.
void StartUpdater(const std::wstring& program, PROCESS_INFORMATION* process, HWND* dlg) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  std::wstring command = L"\"" + program + L"\"";
  ASSERT_TRUE(CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             process));
  for (int i = 0; i < 300 && *dlg == nullptr; ++i) {
    Sleep(100);
    *dlg = DialogOf(process->dwProcessId);
  }
  ASSERT_NE(nullptr, *dlg) << "no dialog within 30 seconds";
}

std::set<std::wstring> RunFolders() {
  std::set<std::wstring> names;
  for (const auto& name : ListTree(TempRoot() + L"\\Kestrel"))
    if (name.find(L'\\') == name.size() - 1) names.insert(name);
  return names;
}

// Only one updater runs at a time on a machine: tests that start a real one
// take turns, across the test processes CTest runs side by side.
class OneUpdaterAtATime {
 public:
  OneUpdaterAtATime() : mutex_(CreateMutexW(nullptr, FALSE, L"Local\\KestrelTests-RealUpdater")) {
    if (mutex_ != nullptr) WaitForSingleObject(mutex_, 120000);
  }
  ~OneUpdaterAtATime() {
    if (mutex_ != nullptr) {
      ReleaseMutex(mutex_);
      CloseHandle(mutex_);
    }
  }

 private:
  HANDLE mutex_;
};

}  // namespace

TEST(RealProgram, ListsNoDriveShowsThePackageAndCleansUp) {
  OneUpdaterAtATime turn;
  std::set<std::wstring> before = RunFolders();
  std::wstring program = ProgramPath();
  ASSERT_EQ(1, IsPathExist(program.c_str())) << "Kestrel.exe lies beside the tests";
  PROCESS_INFORMATION process = {};
  HWND dlg = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartUpdater(program, &process, &dlg));
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
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  std::wstring command = L"\"" + program + L"\"";
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

// A release needs no compiler: a built updater stamped with another package
// shows that package when it starts.
class StampedProgram : public PackageTest {};

TEST_F(StampedProgram, ShowsTheStampedPackagesTitle) {
  OneUpdaterAtATime turn;
  pkgbuild::PackageDescription d;
  pkgbuild::Problems problems;
  pkgbuild::LintDescription("[UPDATEINFO]\nTITLE=Stamped Package\nSOCID=VORTALEX\n[IMAGES]\n"
                            "Micron-B47R_0=version 1.4.B.22 pages 8\n",
                            "", &d, &problems);
  ASSERT_TRUE(problems.empty()) << problems[0];
  std::string zip = Narrow(root + L"\\stamp.zip"), out = Narrow(root + L"\\Stamped.exe");
  std::string error;
  ASSERT_TRUE(pkgbuild::WritePackage(zip, d, &error)) << error;
  ASSERT_TRUE(pkgbuild::StampUpdater(Narrow(ProgramPath()), zip, out, &problems)) << problems.back();

  PROCESS_INFORMATION process = {};
  HWND dlg = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartUpdater(std::wstring(out.begin(), out.end()), &process, &dlg));
  Sleep(500);
  WCHAR title[260] = L"";
  GetWindowTextW(dlg, title, 260);
  EXPECT_STREQ(L"Stamped Package", title);
  PostMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 30000));
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

TEST_F(StampedProgram, ABadPackageIsNeverStamped) {
  std::wstring zip = Archive(TESTZIP_PY_PACKAGE);
  std::string out = Narrow(root + L"\\Refused.exe");
  pkgbuild::Problems problems;
  EXPECT_FALSE(pkgbuild::StampUpdater(Narrow(ProgramPath()), Narrow(zip), out, &problems));
  EXPECT_FALSE(problems.empty());
  EXPECT_EQ(0, IsPathExist(std::wstring(out.begin(), out.end()).c_str())) << "no program is written";
  // Something that is no updater gets no package either.
  problems.clear();
  std::string good = Narrow(root + L"\\good.zip");
  WriteAll(std::wstring(good.begin(), good.end()), ResourceBytes(L"FWPACKAGEZIP", 1000));
  EXPECT_FALSE(pkgbuild::StampUpdater(Narrow(ProgramPath(L"KestrelPackageTool.exe")), good, out, &problems));
  ASSERT_EQ(1u, problems.size());
  EXPECT_NE(std::string::npos, problems[0].find("carries no resource FWPACKAGEZIP 1000"));
  EXPECT_EQ(0, IsPathExist(std::wstring(out.begin(), out.end()).c_str()));
}
