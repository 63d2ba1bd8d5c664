// The real Kestrel.exe, started under Wine: its window, its list, its exit.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "PackageFixture.h"
#include "ProgramFixture.h"
#include "package/PackageCheck.h"
#include "resources/resource.h"

namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

// Started with its temporary folder inside the test's own folder: nothing of
// the package may appear there, or anywhere else the test can see.
class RealProgram : public PackageTest {};

TEST_F(RealProgram, ListsNoDriveShowsThePackageAndWritesNothing) {
  OneUpdaterAtATime turn;
  std::vector<std::wstring> before = ListTree(root);
  std::wstring program = ProgramPath();
  ASSERT_TRUE(Exists(program)) << "Kestrel.exe lies beside the tests";
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
  EXPECT_EQ(before, ListTree(root)) << "the package stays in the process";

  // A second start while the first runs: no second window, exit code 0, and
  // the first window in front. One test, so that no other test's copy is
  // running meanwhile.
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
  EXPECT_EQ(dlg, GetForegroundWindow()) << "the first window was brought forward";
  EXPECT_TRUE(IsWindow(dlg));
  CloseHandle(second.hThread);
  CloseHandle(second.hProcess);

  EXPECT_EQ(0u, CloseUpdater(&process, dlg));
  EXPECT_EQ(before, ListTree(root)) << "nothing written, nothing deleted";
}

// A release needs no compiler: a built updater stamped with another package
// shows that package when it starts.
class StampedProgram : public PackageTest {};

TEST_F(StampedProgram, ShowsTheStampedPackagesTitle) {
  OneUpdaterAtATime turn;
  pkgbuild::PackageDescription d;
  pkgbuild::Problems problems;
  pkgbuild::LintDescription("[UPDATEINFO]\nTITLE=Stamped Package\nSOCID=VORTALEX\nAnyModel=1\n[IMAGES]\n"
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
  CloseUpdater(&process, dlg);
}

TEST_F(StampedProgram, ABadPackageIsNeverStamped) {
  std::wstring zip = Archive(TESTZIP_PY_PACKAGE);
  std::string out = Narrow(root + L"\\Refused.exe");
  pkgbuild::Problems problems;
  EXPECT_FALSE(pkgbuild::StampUpdater(Narrow(ProgramPath()), Narrow(zip), out, &problems));
  EXPECT_FALSE(problems.empty());
  EXPECT_FALSE(Exists(std::wstring(out.begin(), out.end()))) << "no program is written";
  // Something that is no updater gets no package either.
  problems.clear();
  std::string good = Narrow(root + L"\\good.zip");
  WriteAll(std::wstring(good.begin(), good.end()), ResourceBytes(L"FWPACKAGEZIP", 1000));
  EXPECT_FALSE(pkgbuild::StampUpdater(Narrow(ProgramPath(L"KestrelPackageTool.exe")), good, out, &problems));
  ASSERT_EQ(1u, problems.size());
  EXPECT_NE(std::string::npos, problems[0].find("carries no resource FWPACKAGEZIP 1000"));
  EXPECT_FALSE(Exists(std::wstring(out.begin(), out.end())));
}
