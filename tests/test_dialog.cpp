// The real dialog over the lab, driven by messages under Wine's null driver.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "DialogFixture.h"

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

TEST_F(DialogTest, A4KnDriveShowsItsWholeCapacity) {
  Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" size=512 format=1 maker\n");
  Start();
  EXPECT_EQ((std::vector<std::wstring>{L"KESTREL LAB NVME 512GB (RAW)"}), Entries(dlg));
  EXPECT_EQ(L"512 GB", Text(dlg, IDC_CAPACITY));
  EXPECT_EQ(4096u, GetAppState()->SelectedDrive.iSectorSize);
}

TEST_F(DialogTest, TheTemporaryFolderPlaysNoPart) {
  Build(kMachine);
  for (const wchar_t* temp : {L"\\missing\\deeper", L"\\temp"}) {
    Close();
    UseTemp(root + temp);
    Start();
    WCHAR title[260];
    GetWindowTextW(dlg, title, 260);
    EXPECT_STREQ(L"Kestrel Demo Firmware Update", title);
    EXPECT_EQ(2u, Entries(dlg).size());
  }
  EXPECT_FALSE(Exists(root + L"\\missing"));
}

// An empty list says why in the status row: nothing here this package
// updates, or, when disks could not be opened for lack of rights, that the
// updater must run as administrator.
TEST_F(DialogTest, AnEmptyListSaysWhy) {
  Build("nvme disk=2 model=\"OTHER MAKER SSD 1TB\" vid=144D ssvid=144D size=1000\n"
        "nvme disk=3 bus=3 model=\"KESTREL LAB NVME 512GB\" maker\n");
  machine.FailOpen(L"\\\\.\\PhysicalDrive3", ERROR_ACCESS_DENIED);
  Start();
  EXPECT_TRUE(Entries(dlg).empty());
  for (int id : {IDC_MODEL, IDC_SERIAL, IDC_INTERFACE, IDC_FIRMWARE, IDC_CAPACITY}) EXPECT_EQ(L"", Text(dlg, id));
  EXPECT_EQ(L"No drive that this package can update was found.\nRun the updater as administrator.",
            Text(dlg, IDC_STATUS));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dlg, IDOK)));
  EXPECT_EQ(0u, GetAppState()->SelectedDrive.iCapacityGB);
  // A disk that cannot be opened for another reason asks for no rights.
  machine.FailOpen(L"\\\\.\\PhysicalDrive3", ERROR_SHARING_VIOLATION);
  RefreshDriveList(dlg, 0);
  EXPECT_EQ(L"No drive that this package can update was found.", Text(dlg, IDC_STATUS));
  machine.FailOpen(L"\\\\.\\PhysicalDrive3", ERROR_SHARING_VIOLATION, INT_MAX);  // lifted
  RefreshDriveList(dlg, 0);
  EXPECT_EQ(1u, Entries(dlg).size());
  EXPECT_EQ(L"", Text(dlg, IDC_STATUS)) << "the row is cleared once a drive is listed";
  SendMessageW(dlg, WM_UPDATE_PROGRESS, 0, 100);  // a check outside a run reports progress too
  EXPECT_EQ(L"", Text(dlg, IDC_STATUS)) << "no phase is named outside a run";
}

// Drives of one model are told apart in the list before one is chosen: by
// the end of the serial number, or by the disk number when those agree.
TEST_F(DialogTest, TwinDrivesAreToldApartInTheList) {
  Build("nvme disk=1 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=LAB-0000A1B2 maker\n"
        "nvme disk=2 bus=3 model=\"KESTREL LAB NVME 512GB\" serial=LAB-0000C3D4 maker\n"
        "nvme disk=4 bus=4 model=\"KESTREL LAB NVME 512GB\" serial=XYZ-0000C3D4 maker\n"
        "nvme disk=5 bus=5 model=\"KESTREL LAB NVME 1TB\" size=1000 maker\n");
  Start();
  EXPECT_EQ((std::vector<std::wstring>{L"KESTREL LAB NVME 512GB (RAW) (serial \u2026A1B2)",
                                       L"KESTREL LAB NVME 512GB (RAW) (disk 2)", L"KESTREL LAB NVME 512GB (RAW) (disk 4)",
                                       L"KESTREL LAB NVME 1TB (RAW)"}),
            Entries(dlg));
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
  Pump(2300);
  EXPECT_EQ(scans + 1, machine.OpenAttempts(probe)) << "the timer stops after its rebuild";
}

TEST_F(DialogTest, ARebuildWhileAnotherRunsIsDropped) {
  Build(kMachine);
  Start();
  const wchar_t* probe = L"\\\\.\\PhysicalDrive19";
  int scans = machine.OpenAttempts(probe);
  InterlockedExchange(&RefreshGuard, 1);  // as while a rebuild runs on the other thread
  RefreshDriveList(dlg, 0);
  InterlockedExchange(&RefreshGuard, 0);
  EXPECT_EQ(scans, machine.OpenAttempts(probe));
  RefreshDriveList(dlg, 0);
  EXPECT_EQ(scans + 1, machine.OpenAttempts(probe));
}

// Drives behind one RST adapter share its port id: the serial number tells
// which one the user chose.
TEST_F(DialogTest, TheSelectionBehindOneAdapterFollowsItsSerialNumber) {
  Build("rst disk=1 port=3 path=0 model=\"KESTREL LAB NVME 512GB\" serial=RST-FIRST maker\n"
        "rst disk=2 port=3 path=1 model=\"KESTREL LAB NVME 512GB\" serial=RST-SECOND maker\n");
  Start();
  ASSERT_EQ(2u, Entries(dlg).size());
  for (int item : {1, 0}) {
    const wchar_t* serial = item ? L"RST-SECOND" : L"RST-FIRST";
    Select(item);
    RefreshDriveList(dlg, 0);
    EXPECT_EQ(item, SendDlgItemMessageW(dlg, IDC_DRIVE_LIST, CB_GETCURSEL, 0, 0));
    EXPECT_EQ(0u, wcsncmp(serial, GetAppState()->SelectedDrive.szSerial, wcslen(serial)));
    EXPECT_EQ(0u, wcsncmp(serial, Text(dlg, IDC_SERIAL).c_str(), wcslen(serial)));
  }
}

TEST_F(DialogTest, LayoutOfTheStripAndTheWindow) {
  Build(kMachine);
  Start();
  RECT client, strip, status;
  GetClientRect(dlg, &client);
  HWND bar = GetDlgItem(dlg, IDC_PROGRESS);
  GetWindowRect(bar, &strip);
  MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&strip), 2);
  RECT standard = {0, 0, 0, 8};  // a progress bar's standard height, in dialog units
  MapDialogRect(dlg, &standard);
  EXPECT_LE(12, standard.bottom);
  EXPECT_EQ(standard.bottom, strip.bottom - strip.top);
  EXPECT_EQ(0, strip.left);
  EXPECT_EQ(client.right, strip.right);
  EXPECT_EQ(client.bottom, strip.bottom) << "the window ends with the bar";
  GetWindowRect(GetDlgItem(dlg, IDC_STATUS), &status);
  MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&status), 2);
  EXPECT_EQ(status.bottom + 5, strip.top) << "the bar sits below the status row, never over it";
  EXPECT_NE(nullptr, reinterpret_cast<HICON>(SendDlgItemMessageW(dlg, IDC_LOGO, STM_GETIMAGE, IMAGE_ICON, 0)));
}

TEST_F(DialogTest, ClosingDuringARunIsRefused) {
  Build(kMachine);
  Start();
  GetAppState()->hWorker = reinterpret_cast<HANDLE>(0x42);
  EXPECT_EQ(0, SendMessageW(dlg, WM_COMMAND, IDCANCEL, 0));  // Esc with a control focused
  SendMessageW(dlg, WM_CLOSE, 0, 0);  // the close box: the dialog posts itself IDCANCEL
  Pump(100);
  // With RUN and the list disabled nothing holds the focus: Esc comes to the
  // dialog as a system key, and gets the same answer.
  SendMessageW(dlg, WM_SYSKEYDOWN, VK_ESCAPE, 1);
  ASSERT_EQ(3u, machine.MessageBoxes().size());
  for (const auto& box : machine.MessageBoxes()) EXPECT_EQ(L"Update FW Now!\nCan't Exit Program.", box.text);
  EXPECT_EQ(L"Kestrel Demo Firmware Update", machine.MessageBoxes()[0].caption);
  EXPECT_TRUE(IsWindow(dlg));
  GetAppState()->hWorker = nullptr;
}

TEST_F(DialogTest, TheSessionMayEndOnlyWhileIdle) {
  Build(kMachine);
  Start();
  EXPECT_NE(0, SendMessageW(dlg, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF)) << "idle: the system's own yes";
  GetAppState()->hWorker = reinterpret_cast<HANDLE>(0x42);
  EXPECT_EQ(0, SendMessageW(dlg, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
  EXPECT_EQ(0, SendMessageW(dlg, WM_QUERYENDSESSION, 0, 0)) << "a shutdown or restart too";
  EXPECT_EQ(2u, LinesContaining(L"[VX] The end of the session was refused: an update runs").size());
  EXPECT_TRUE(IsWindow(dlg));
  GetAppState()->hWorker = nullptr;
}

// The key as the focused window receives it, with the modifiers held down.
void PressKey(HWND target, WPARAM key, std::initializer_list<int> held, UINT message = WM_KEYDOWN) {
  BYTE keys[256] = {};
  GetKeyboardState(keys);
  for (int vk : {VK_CONTROL, VK_SHIFT, VK_MENU}) keys[vk] = 0;
  for (int vk : held) keys[vk] = 0x80;
  SetKeyboardState(keys);
  SendMessageW(target, message, key, 1);
  for (int vk : held) keys[vk] = 0;
  SetKeyboardState(keys);
}

TEST_F(DialogTest, CtrlShiftDSwitchesTheDetailLogOnAndOff) {
  Build(kMachine);
  Start();
  machine.ClearRecords();
  HWND run = GetDlgItem(dlg, IDOK), list = GetDlgItem(dlg, IDC_DRIVE_LIST);
  PressKey(run, 'D', {VK_CONTROL});
  PressKey(run, 'D', {VK_SHIFT});
  PressKey(list, 'D', {VK_CONTROL, VK_SHIFT, VK_MENU});
  PressKey(list, 'E', {VK_CONTROL, VK_SHIFT});
  EXPECT_EQ(0, GetAppState()->iDebugLog) << "only Ctrl+Shift+D";
  EXPECT_TRUE(machine.DebugLines().empty());

  PressKey(run, 'D', {VK_CONTROL, VK_SHIFT});
  EXPECT_EQ(1, GetAppState()->iDebugLog);
  LogDetail(L"a detail");
  PressKey(list, 'D', {VK_CONTROL, VK_SHIFT});
  EXPECT_EQ(0, GetAppState()->iDebugLog);
  LogDetail(L"not written");
  // With RUN and the list disabled during a run no window holds the focus,
  // and the key comes to the dialog as a system key.
  PressKey(dlg, 'D', {VK_CONTROL, VK_SHIFT}, WM_SYSKEYDOWN);
  EXPECT_EQ(1, GetAppState()->iDebugLog);
  EXPECT_EQ((std::vector<std::wstring>{L"[VX] Detail log on (Ctrl+Shift+D)", L"[VX]          [middle] a detail",
                                       L"[VX] Detail log off (Ctrl+Shift+D)", L"[VX] Detail log on (Ctrl+Shift+D)"}),
            machine.DebugLines())
      << "one line each time, on the debugger channel only";
  EXPECT_TRUE(machine.MessageBoxes().empty());
}

// The program runs the dialog modally, and a modal dialog's own loop
// translates no accelerators: the key must still get through that loop.
TEST_F(DialogTest, CtrlShiftDGetsThroughTheModalDialogsOwnLoop) {
  Build(kMachine);
  ZeroMemory(GetAppState(), sizeof(AppState));
  static int step;
  step = 0;
  UINT_PTR timer = SetTimer(nullptr, 0, 20, [](HWND, UINT, UINT_PTR, DWORD) {
    HWND modal = GetAppState()->hDlg;
    if (modal == nullptr || !IsWindowVisible(modal)) return;
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    if (step++ == 0) {
      keys[VK_CONTROL] = keys[VK_SHIFT] = 0x80;
      SetKeyboardState(keys);
      PostMessageW(GetDlgItem(modal, IDOK), WM_KEYDOWN, 'D', 1);
    } else {
      keys[VK_CONTROL] = keys[VK_SHIFT] = 0;
      SetKeyboardState(keys);
      PostMessageW(modal, WM_COMMAND, IDCANCEL, 0);
    }
  });
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_KESTREL), nullptr, DialogProc, 0);
  KillTimer(nullptr, timer);
  EXPECT_LE(2, step);
  EXPECT_EQ(1, GetAppState()->iDebugLog);
  EXPECT_EQ(1u, LinesContaining(L"[VX] Detail log on (Ctrl+Shift+D)").size());
}

TEST_F(DialogTest, CompletionMessagesAndThePowerAction) {
  Build(kMachine);
  Start();
  AppState* app = GetAppState();
  EnableWindow(GetDlgItem(dlg, IDOK), FALSE);
  SendMessageW(dlg, WM_UPDATE_DONE, 0, -4);
  EXPECT_EQ(L"Update FW Fail !", FirstLine(machine.MessageBoxes().back().text));
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg, IDOK)));
  EXPECT_TRUE(machine.ShutdownRequests().empty()) << "a failed run never offers a restart";

  app->PowerCtrl = 0;
  SendMessageW(dlg, WM_UPDATE_DONE, 0, 1);
  EXPECT_EQ(UINT(MB_OK), machine.MessageBoxes().back().type);
  EXPECT_EQ(std::wstring(app->szAfterMessage), machine.MessageBoxes().back().text);
  EXPECT_TRUE(machine.ShutdownRequests().empty());

  machine.QueueMessageBoxAnswer(IDCANCEL);
  app->PowerCtrl = 1;
  SendMessageW(dlg, WM_UPDATE_DONE, 0, 1);
  // Enter keeps the session: Cancel is the default, and OK says what it does.
  EXPECT_EQ(UINT(MB_ICONINFORMATION | MB_OKCANCEL | MB_DEFBUTTON2), machine.MessageBoxes().back().type);
  EXPECT_EQ(std::wstring(app->szAfterMessage) + L"\n\nOK turns the computer off now.", machine.MessageBoxes().back().text);
  EXPECT_TRUE(machine.ShutdownRequests().empty());
  machine.QueueMessageBoxAnswer(IDOK);
  SendMessageW(dlg, WM_UPDATE_DONE, 0, 1);
  EXPECT_EQ((std::vector<UINT>{EWX_POWEROFF}), machine.ShutdownRequests()) << "OK powers off: exactly EWX_POWEROFF";

  app->PowerCtrl = 2;
  machine.QueueMessageBoxAnswer(IDOK);
  SendMessageW(dlg, WM_UPDATE_DONE, 0, 1);
  EXPECT_EQ(UINT(MB_ICONINFORMATION | MB_OKCANCEL | MB_DEFBUTTON2), machine.MessageBoxes().back().type);
  EXPECT_EQ(std::wstring(app->szAfterMessage) + L"\n\nOK restarts the computer now.", machine.MessageBoxes().back().text);
  EXPECT_EQ((std::vector<UINT>{EWX_POWEROFF, EWX_REBOOT}), machine.ShutdownRequests());

  size_t boxes = machine.MessageBoxes().size();
  app->szAfterMessage[0] = L'\0';
  SendMessageW(dlg, WM_UPDATE_DONE, 0, 1);
  EXPECT_EQ(boxes, machine.MessageBoxes().size()) << "no AfterMessage: nothing shown, no power action";
  EXPECT_EQ(2u, machine.ShutdownRequests().size());
}

// The shutdown request over the lab's token, which refuses as Windows does;
// the fixture's end checks that the token was closed.
class ShutdownRequestTest : public LabTest {};

TEST_F(ShutdownRequestTest, EnablesThePrivilegeThenAsks) {
  RequestShutdown(EWX_POWEROFF);
  EXPECT_EQ((std::vector<UINT>{EWX_POWEROFF}), machine.ShutdownRequests());
  EXPECT_TRUE(LinesContaining(L"RequestShutdown").empty());
}

TEST_F(ShutdownRequestTest, APrivilegeNotHeldIsLoggedAndNothingIsAsked) {
  machine.WithholdPrivilege(SE_SHUTDOWN_NAME);
  RequestShutdown(EWX_REBOOT);
  EXPECT_TRUE(machine.ShutdownRequests().empty());
  EXPECT_EQ((std::vector<std::wstring>{L"[VX] RequestShutdown: AdjustTokenPrivileges failed, error 1300"}),
            LinesContaining(L"RequestShutdown"));
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
