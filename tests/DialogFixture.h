// Shared by the dialog tests: the real dialog created over the lab, with the
// temporary folder the test's own (see PackageTest).
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "PackageFixture.h"
#include "Scenario.h"
#include "app/Dialog.h"
#include "resources/resource.h"

inline std::wstring Text(HWND dlg, int id) {
  WCHAR text[260] = L"";
  GetDlgItemTextW(dlg, id, text, 260);
  return text;
}

inline std::wstring FirstLine(const std::wstring& text) { return text.substr(0, text.find(L'\n')); }

inline std::vector<std::wstring> Entries(HWND dlg) {
  std::vector<std::wstring> out;
  LRESULT n = SendDlgItemMessageW(dlg, IDC_DRIVE_LIST, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < n; ++i) {
    WCHAR text[260] = L"";
    SendDlgItemMessageW(dlg, IDC_DRIVE_LIST, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    out.push_back(text);
  }
  return out;
}

// Dispatches this thread's messages for ms of real time, waking for each
// message as a dialog's own message loop does.
inline void Pump(DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= ms) break;
    MsgWaitForMultipleObjectsEx(0, nullptr, ms - elapsed, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

inline const char kMachine[] =
    "nvme disk=0 bus=2 link=3x4 model=\"KESTREL LAB NVME 512GB\" serial=NATIVE-1 maker\n"
    "usb disk=1 chip=jmicron controller=12 ports=3 model=\"KESTREL LAB NVME 1TB\" serial=JMI-1 size=1000 maker\n"
    "nvme disk=2 bus=9 model=\"OTHER MAKER SSD 1TB\" vid=144D ssvid=144D size=1000\n"
    "volume letter=C disk=0\nvolume letter=D disk=0\n";

class DialogTest : public PackageTest {
 protected:
  HWND dlg = nullptr;

  void SetUp() override {
    PackageTest::SetUp();
    InitCommonControls();
  }
  void TearDown() override {
    Close();
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

