// The real dialog over the lab, driven by messages under Wine's null driver.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstring>

#include "PackageFixture.h"
#include "Scenario.h"
#include "app/Dialog.h"
#include "resources/resource.h"

namespace {

std::wstring Text(HWND dlg, int id) {
  WCHAR text[260] = L"";
  GetDlgItemTextW(dlg, id, text, 260);
  return text;
}

std::vector<std::wstring> Entries(HWND dlg) {
  std::vector<std::wstring> out;
  LRESULT n = SendDlgItemMessageW(dlg, IDC_DRIVE_LIST, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < n; ++i) {
    WCHAR text[260] = L"";
    SendDlgItemMessageW(dlg, IDC_DRIVE_LIST, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    out.push_back(text);
  }
  return out;
}

// Dispatches this thread's messages for ms of real time.
void Pump(DWORD ms) {
  DWORD start = GetTickCount();
  do {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(10);
  } while (GetTickCount() - start < ms);
}

const char kMachine[] =
    "nvme disk=0 bus=2 link=3x4 model=\"KESTREL LAB NVME 512GB\" serial=NATIVE-1 maker\n"
    "usb disk=1 chip=jmicron controller=12 ports=3 model=\"KESTREL LAB NVME 1TB\" serial=JMI-1 size=1000 maker\n"
    "nvme disk=2 bus=9 model=\"OTHER MAKER SSD 1TB\" vid=144D ssvid=144D size=1000\n"
    "volume letter=C disk=0\nvolume letter=D disk=0\n";

}  // namespace

class DialogTest : public PackageTest {
 protected:
  HWND dlg = nullptr;
  WCHAR savedTmp[MAX_PATH] = L"", savedTemp[MAX_PATH] = L"";

  void SetUp() override {
    PackageTest::SetUp();
    InitCommonControls();
    // Every run folder of these tests lands under this test's own root.
    GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH);
    GetEnvironmentVariableW(L"TEMP", savedTemp, MAX_PATH);
    UseTemp(root);
  }
  void TearDown() override {
    Close();
    SetEnvironmentVariableW(L"TMP", savedTmp[0] ? savedTmp : nullptr);
    SetEnvironmentVariableW(L"TEMP", savedTemp[0] ? savedTemp : nullptr);
    PackageTest::TearDown();
  }
  void UseTemp(const std::wstring& folder) {
    SetEnvironmentVariableW(L"TMP", folder.c_str());
    SetEnvironmentVariableW(L"TEMP", folder.c_str());
  }
  void Build(const char* text) {
    std::string error;
    ASSERT_TRUE(lab::BuildScenario(machine, text, &error)) << error;
  }
  void Start() {
    ZeroMemory(GetAppState(), sizeof(AppState));
    dlg = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_KESTREL), nullptr, DialogProc, 0);
    ASSERT_NE(nullptr, dlg);
  }
  // The user closes the dialog; a modeless one is then destroyed.
  void Close() {
    if (dlg == nullptr) return;
    SendMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
    DestroyWindow(dlg);
    dlg = nullptr;
  }
  void Select(int item) {
    SendDlgItemMessageW(dlg, IDC_DRIVE_LIST, CB_SETCURSEL, item, 0);
    SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDC_DRIVE_LIST, CBN_SELENDOK),
                 reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDC_DRIVE_LIST)));
  }
};

TEST_F(DialogTest, InitialisationShowsThePackageTheListAndThePanel) {
  Build(kMachine);
  Start();
  WCHAR title[260];
  GetWindowTextW(dlg, title, 260);
  EXPECT_STREQ(L"Kestrel Demo Firmware Update", title);
  EXPECT_EQ((std::vector<std::wstring>{L"KESTREL LAB NVME 512GB [C: D: ]", L"KESTREL LAB NVME 1TB (RAW)"}), Entries(dlg));
  EXPECT_EQ(0, SendDlgItemMessageW(dlg, IDC_DRIVE_LIST, CB_GETCURSEL, 0, 0));
  EXPECT_EQ(L"KESTREL LAB NVME 512GB", Text(dlg, IDC_MODEL));
  EXPECT_EQ(L"NATIVE-1" + std::wstring(12, L' '), Text(dlg, IDC_SERIAL));
  EXPECT_EQ(L"PCIE Gen3 Signaling Speed (8.0 Gbps) x 4", Text(dlg, IDC_INTERFACE));
  EXPECT_EQ(L"1.0.0.00", Text(dlg, IDC_FIRMWARE));
  EXPECT_EQ(L"512 GB", Text(dlg, IDC_CAPACITY));
  EXPECT_EQ(L"", Text(dlg, IDC_STATUS));
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg, IDOK)));
  EXPECT_STREQ(L"KESTREL LAB NVME 512GB", GetAppState()->SelectedDrive.szModel);

  Select(1);
  EXPECT_EQ(1203, GetAppState()->SelectedDrive.iPort);
  EXPECT_EQ(L"JMicron Bridge NVME to USB-3", Text(dlg, IDC_INTERFACE));
  EXPECT_EQ(L"1000 GB", Text(dlg, IDC_CAPACITY));
}

TEST_F(DialogTest, WithoutAPackageNothingIsListed) {
  Build(kMachine);
  UseTemp(root + L"\\missing\\deeper");  // no run folder, so no package
  Start();
  WCHAR title[260];
  GetWindowTextW(dlg, title, 260);
  EXPECT_STREQ(L"Package Error", title);
  EXPECT_TRUE(Entries(dlg).empty());
  for (int id : {IDC_MODEL, IDC_SERIAL, IDC_INTERFACE, IDC_FIRMWARE, IDC_CAPACITY}) EXPECT_EQ(L"", Text(dlg, id));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dlg, IDOK)));
}

TEST_F(DialogTest, NoAcceptedDriveLeavesThePanelEmpty) {
  Build("nvme disk=2 model=\"OTHER MAKER SSD 1TB\" vid=144D ssvid=144D size=1000\n");
  Start();
  EXPECT_TRUE(Entries(dlg).empty());
  for (int id : {IDC_MODEL, IDC_SERIAL, IDC_INTERFACE, IDC_FIRMWARE, IDC_CAPACITY, IDC_STATUS})
    EXPECT_EQ(L"", Text(dlg, id));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dlg, IDOK)));
  EXPECT_EQ(0u, GetAppState()->SelectedDrive.iCapacityGB);
}

TEST_F(DialogTest, TheSelectionFollowsItsDriveAcrossRebuilds) {
  Build("nvme disk=3 bus=3 model=\"KESTREL LAB NVME 512GB\" serial=FIRST maker\n"
        "usb disk=4 chip=asmedia ports=2 model=\"KESTREL LAB NVME 1TB\" serial=SECOND maker size=1000\n");
  Start();
  Select(1);
  EXPECT_EQ(L"ASMedia Bridge NVME to USB-2", Text(dlg, IDC_INTERFACE));
  // A new drive listed before it moves it to another place in the list.
  std::string error;
  ASSERT_TRUE(lab::BuildScenario(machine, "nvme disk=0 bus=7 model=\"KESTREL LAB NVME 512GB\" serial=NEW maker\n",
                                 &error));
  RefreshDriveList(dlg, 0);
  ASSERT_EQ(3u, Entries(dlg).size());
  EXPECT_EQ(2, SendDlgItemMessageW(dlg, IDC_DRIVE_LIST, CB_GETCURSEL, 0, 0));
  EXPECT_EQ(L"ASMedia Bridge NVME to USB-2", Text(dlg, IDC_INTERFACE));
}

TEST_F(DialogTest, ABurstOfDeviceNoticesGivesOneRebuildTwoSecondsAfterTheLast) {
  Build(kMachine);
  Start();
  const wchar_t* probe = L"\\\\.\\PhysicalDrive19";
  int scans = machine.OpenAttempts(probe);
  for (int i = 0; i < 10; ++i) {
    SendMessageW(dlg, WM_DEVICECHANGE, 0x0007, 0);
    Pump(100);
  }
  Pump(1700);
  EXPECT_EQ(scans, machine.OpenAttempts(probe)) << "no rebuild before two seconds have passed";
  Pump(1000);
  EXPECT_EQ(scans + 1, machine.OpenAttempts(probe)) << "exactly one rebuild";
}

TEST_F(DialogTest, LayoutOfTheStripAndTheWindow) {
  Build(kMachine);
  Start();
  RECT client, strip, status, window;
  GetClientRect(dlg, &client);
  HWND bar = GetDlgItem(dlg, IDC_PROGRESS);
  GetWindowRect(bar, &strip);
  MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&strip), 2);
  EXPECT_EQ(5, strip.bottom - strip.top);
  EXPECT_EQ(0, strip.left);
  EXPECT_EQ(client.right, strip.right);
  EXPECT_EQ(client.bottom, strip.bottom);
  GetWindowRect(GetDlgItem(dlg, IDC_STATUS), &status);
  GetWindowRect(dlg, &window);
  EXPECT_EQ(2 * status.bottom - status.top + 5, window.bottom);
  EXPECT_NE(nullptr, reinterpret_cast<HICON>(SendDlgItemMessageW(dlg, IDC_LOGO, STM_GETIMAGE, IMAGE_ICON, 0)));
}

TEST_F(DialogTest, TwoStartsMakeTwoRunFoldersAndExitRemovesEach) {
  Build(kMachine);
  Start();
  std::wstring first = GetAppState()->szWorkDir;
  HWND firstDialog = dlg;
  plat::Sleep(15);
  Start();
  std::wstring second = GetAppState()->szWorkDir;
  EXPECT_NE(first, second);
  EXPECT_EQ(root + L"\\Kestrel", first.substr(0, first.find_last_of(L'\\')));
  EXPECT_EQ(root + L"\\Kestrel", second.substr(0, second.find_last_of(L'\\')));
  EXPECT_EQ(1, IsPathExist((second + L"\\KestrelInfo.ini").c_str()));
  std::vector<std::wstring> runs = ListTree(root + L"\\Kestrel");
  EXPECT_EQ(2u, std::count_if(runs.begin(), runs.end(), [](const std::wstring& n) { return n.back() == L'\\' &&
                                                                                       n.find(L'\\') == n.size() - 1; }));
  Close();
  EXPECT_EQ(0, IsPathExist(second.c_str())) << "the run folder goes with the dialog";
  EXPECT_EQ(1, IsPathExist((root + L"\\Kestrel").c_str())) << "its parent stays";
  DestroyWindow(firstDialog);
}

TEST_F(DialogTest, ClosingDuringARunIsRefused) {
  Build(kMachine);
  Start();
  GetAppState()->hWorker = reinterpret_cast<HANDLE>(0x42);
  EXPECT_EQ(0, SendMessageW(dlg, WM_COMMAND, IDCANCEL, 0));
  ASSERT_EQ(1u, machine.MessageBoxes().size());
  EXPECT_EQ(L"Update FW Now!\nCan't Exit Program.", machine.MessageBoxes()[0].text);
  EXPECT_EQ(L"Kestrel Demo Firmware Update", machine.MessageBoxes()[0].caption);
  EXPECT_TRUE(IsWindow(dlg));
  EXPECT_EQ(1, IsPathExist(GetAppState()->szWorkDir));
  GetAppState()->hWorker = nullptr;
}

TEST_F(DialogTest, CompletionMessagesAndThePowerAction) {
  Build(kMachine);
  Start();
  AppState* app = GetAppState();
  EnableWindow(GetDlgItem(dlg, IDOK), FALSE);
  SendMessageW(dlg, WM_UPDATE_DONE, 0, -4);
  EXPECT_EQ(L"Update FW Fail !", machine.MessageBoxes().back().text);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg, IDOK)));
  EXPECT_TRUE(machine.ShutdownRequests().empty()) << "a failed run never offers a restart";

  machine.QueueMessageBoxAnswer(IDCANCEL);
  app->PowerCtrl = 1;
  SendMessageW(dlg, WM_UPDATE_DONE, 0, 1);
  EXPECT_EQ(UINT(MB_ICONINFORMATION | MB_OKCANCEL), machine.MessageBoxes().back().type);
  EXPECT_TRUE(machine.ShutdownRequests().empty());

  app->PowerCtrl = 2;
  machine.QueueMessageBoxAnswer(IDOK);
  SendMessageW(dlg, WM_UPDATE_DONE, 0, 1);
  EXPECT_EQ((std::vector<UINT>{EWX_REBOOT}), machine.ShutdownRequests());

  size_t boxes = machine.MessageBoxes().size();
  app->szAfterMessage[0] = L'\0';
  SendMessageW(dlg, WM_UPDATE_DONE, 0, 1);
  EXPECT_EQ(boxes, machine.MessageBoxes().size()) << "no AfterMessage: nothing shown, no power action";
  EXPECT_EQ(1u, machine.ShutdownRequests().size());
}

TEST(ProgressMapping, PhasesOfTheBar) {
  AppState* app = GetAppState();
  ZeroMemory(app, sizeof(AppState));
  EXPECT_EQ(37, MapProgress(37)) << "before any run the range is 0 to 0: percentages show unchanged";
  EXPECT_EQ(100, app->sProgressEnd);
  app->sProgressStart = 20;
  app->sProgressEnd = 60;
  EXPECT_EQ(20, MapProgress(0));
  EXPECT_EQ(40, MapProgress(50));
  EXPECT_EQ(60, MapProgress(100));
}
