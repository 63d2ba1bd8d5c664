// The dialog: message routing, initialisation, completion and exit.
#include "app/Dialog.h"

#include <commctrl.h>

#include <initializer_list>

#include "app/Text.h"
#include "package/Package.h"
#include "platform/Platform.h"
#include "platform/SystemDlls.h"
#include "resources/resource.h"

namespace {

constexpr int PROGRESS_HEIGHT = 5;
constexpr int LOGO_SIZE = 64;

// The window ends one status-line height plus 5 pixels below the status line.
void FitBelowStatusLine(HWND hDlg) {
  RECT status, dialog;
  GetWindowRect(GetDlgItem(hDlg, IDC_STATUS), &status);
  GetWindowRect(hDlg, &dialog);
  MoveWindow(hDlg, dialog.left, dialog.top, dialog.right - dialog.left, 2 * status.bottom - status.top + 5 - dialog.top,
             TRUE);
}

void PlaceProgressStrip(HWND hDlg) {
  RECT client;
  GetClientRect(hDlg, &client);
  MoveWindow(GetDlgItem(hDlg, IDC_PROGRESS), 0, client.bottom - PROGRESS_HEIGHT, client.right, PROGRESS_HEIGHT, TRUE);
}

void ShowLogo(HWND hDlg) {
  HANDLE icon = LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_KESTREL), IMAGE_ICON, LOGO_SIZE, LOGO_SIZE,
                           LR_DEFAULTCOLOR);
  if (icon == nullptr) return;
  SendDlgItemMessageW(hDlg, IDC_LOGO, STM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon));
  SetClassLongPtrW(hDlg, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
}

constexpr UINT_PTR DEBUG_KEY_SUBCLASS = 1;

// A modal dialog's own message loop has no accelerators: the controls that
// can hold the focus hand the key to the dialog's handler.
LRESULT CALLBACK DebugKeyProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
  if (OnDebugLogKey(message, wParam)) return 0;
  if (message == WM_NCDESTROY) sysdll::RemoveWindowSubclass(hwnd, DebugKeyProc, DEBUG_KEY_SUBCLASS);
  return sysdll::DefSubclassProc(hwnd, message, wParam, lParam);
}

void ListenForDebugLogKey(HWND hDlg) {
  for (int id : {IDOK, IDC_DRIVE_LIST}) sysdll::SetWindowSubclass(GetDlgItem(hDlg, id), DebugKeyProc, DEBUG_KEY_SUBCLASS, 0);
}

}  // namespace

int OnDebugLogKey(UINT message, WPARAM key) {
  // With no window holding the focus, as during a run, keys reach the active
  // window as WM_SYSKEYDOWN.
  if ((message != WM_KEYDOWN && message != WM_SYSKEYDOWN) || key != 'D') return 0;
  // The state of the keys when this message was sent, not of the keyboard now.
  if (!(GetKeyState(VK_CONTROL) & 0x8000) || !(GetKeyState(VK_SHIFT) & 0x8000) || (GetKeyState(VK_MENU) & 0x8000))
    return 0;
  ToggleDebugLog();
  return 1;
}

void CenterWindow(HWND hwnd) {
  RECT r;
  GetWindowRect(hwnd, &r);
  int w = r.right - r.left, h = r.bottom - r.top;
  int x, y;
  HWND parent = GetParent(hwnd);
  if (parent != nullptr) {
    RECT p;
    GetWindowRect(parent, &p);
    x = p.left + ((p.right - p.left) - w) / 2;
    y = p.top + ((p.bottom - p.top) - h) / 2;
  } else {
    x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
    y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
  }
  MoveWindow(hwnd, x, y, w, h, TRUE);
}

void InitDialog(HWND hDlg) {
  AppState* app = GetAppState();
  app->hDlg = hDlg;
  SetPropW(hDlg, KESTREL_WINDOW_PROP, reinterpret_cast<HANDLE>(1));
  for (int id : {IDC_MODEL, IDC_SERIAL, IDC_INTERFACE, IDC_FIRMWARE, IDC_CAPACITY, IDC_STATUS})
    SetDlgItemTextW(hDlg, id, L"");
  FitBelowStatusLine(hDlg);
  PlaceProgressStrip(hDlg);
  CenterWindow(hDlg);
  ShowLogo(hDlg);
  ListenForDebugLogKey(hDlg);
  // The package stays in this process: no file of it exists for anyone to change.
  ExtractPackage(PACKAGE_RESOURCE_TYPE, PACKAGE_RESOURCE_ID);
  const PackageItem* config = FindPackageItem(PACKAGE_CONFIG_NAME);
  LoadPackageConfig(config != nullptr ? config->pData : nullptr, config != nullptr ? config->dwSize : 0);
  RefreshDriveList(hDlg, 1);
  OnDriveSelected(hDlg);
}

INT_PTR CALLBACK DialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      InitDialog(hDlg);
      return 0;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          OnRun(hDlg);
          return 0;
        case IDCANCEL:
          return OnCancel(hDlg);
        case IDC_DRIVE_LIST:
          if (HIWORD(wParam) == CBN_SELENDOK) OnDriveSelected(hDlg);
          return 0;
        default:
          return 0;
      }
    case WM_TIMER:
      KillTimer(hDlg, TIMER_RESCAN);
      RefreshDriveList(hDlg, 0);
      return 0;
    case WM_DEVICECHANGE:
      // Setting the timer again restarts it: a burst of notices, one rebuild.
      SetTimer(hDlg, TIMER_RESCAN, RESCAN_DELAY_MS, nullptr);
      return 0;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      return OnDebugLogKey(message, wParam);
    case WM_QUERYENDSESSION:
      return OnQueryEndSession(hDlg);
    case WM_UPDATE_DONE:
      OnUpdateDone(hDlg, lParam);
      return 0;
    case WM_UPDATE_PROGRESS:
      SendDlgItemMessageW(hDlg, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(MapProgress(lParam)), 0);
      return 0;
    default:
      return 0;
  }
}

// A session that ends mid-download or mid-commit can leave the drive without
// working firmware.
INT_PTR OnQueryEndSession(HWND hDlg) {
  if (!IsBusy()) return FALSE;  // the system's own answer: the session may end
  LogLine(L"The end of the session was refused: an update runs");
  // A dialog procedure's answer goes through DWLP_MSGRESULT.
  SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, FALSE);
  return TRUE;
}

const WCHAR SHUTDOWN_BLOCK_REASON[] = L"A drive's firmware is being updated.";

void HoldShutdown(HWND hDlg) {
  if (!plat::ShutdownBlockReasonCreate(hDlg, SHUTDOWN_BLOCK_REASON))
    LogLine(L"ShutdownBlockReasonCreate failed, error %lu", GetLastError());
}

void ReleaseShutdown(HWND hDlg) {
  if (!plat::ShutdownBlockReasonDestroy(hDlg)) LogLine(L"ShutdownBlockReasonDestroy failed, error %lu", GetLastError());
}

const WCHAR NOT_FOUND_AGAIN_MESSAGE[] =
    L"The firmware was sent to the drive, but the drive did not come back.\n"
    L"Disconnect and reconnect it, then start the updater again to check its firmware.";

void OnUpdateDone(HWND hDlg, LPARAM result) {
  AppState* app = GetAppState();
  // The run is over: a shutdown may come, even while the closing message is up.
  ReleaseShutdown(hDlg);
  if (result == RES_NOT_FOUND_AGAIN) {
    plat::MessageBoxW(hDlg, NOT_FOUND_AGAIN_MESSAGE, app->szTitle, MB_OK | MB_ICONWARNING);
  } else if (result != 1) {
    plat::MessageBoxW(hDlg, L"Update FW Fail !", app->szTitle, MB_OK);
  } else if (app->szAfterMessage[0] != L'\0') {
    switch (app->PowerCtrl) {
      case 0:
        plat::MessageBoxW(hDlg, app->szAfterMessage, app->szTitle, MB_OK);
        break;
      case 1:
        if (plat::MessageBoxW(hDlg, app->szAfterMessage, app->szTitle, MB_ICONINFORMATION | MB_OKCANCEL) == IDOK)
          RequestShutdown(EWX_POWEROFF);
        break;
      case 2:
        if (plat::MessageBoxW(hDlg, app->szAfterMessage, app->szTitle, MB_ICONINFORMATION | MB_OKCANCEL) == IDOK)
          RequestShutdown(EWX_REBOOT);
        break;
      default:
        break;
    }
  }
  // RUN for the disconnect entry alone would start nothing.
  EnableWindow(GetDlgItem(hDlg, IDOK), IsDriveListed(hDlg) ? TRUE : FALSE);
  EnableWindow(GetDlgItem(hDlg, IDC_DRIVE_LIST), TRUE);
}

// Powering off or restarting needs the shutdown privilege enabled in the
// process token; an administrator holds it, disabled. A refusal is logged and
// the program stays open.
void RequestShutdown(UINT flags) {
  HANDLE token = nullptr;
  if (!plat::OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    LogLine(L"RequestShutdown: OpenProcessToken failed, error %lu", GetLastError());
    return;
  }
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  TOKEN_PRIVILEGES previous = {};
  DWORD length = 0;
  const WCHAR* failed = nullptr;
  if (!plat::LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid))
    failed = L"LookupPrivilegeValueW";
  // It answers TRUE even when the token lacks the privilege; only
  // ERROR_NOT_ALL_ASSIGNED in the last error tells.
  else if (!plat::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof previous, &previous, &length) ||
           GetLastError() != ERROR_SUCCESS)
    failed = L"AdjustTokenPrivileges";
  else if (!plat::ExitWindowsEx(flags, 0))
    failed = L"ExitWindowsEx";
  if (failed != nullptr) LogLine(L"RequestShutdown: %s failed, error %lu", failed, GetLastError());
  plat::CloseHandle(token);
}

INT_PTR OnCancel(HWND hDlg) {
  AppState* app = GetAppState();
  if (IsBusy()) {
    plat::MessageBoxW(hDlg, L"Update FW Now!\nCan't Exit Program.", app->szTitle, MB_OK);
    return 0;
  }
  // Nothing was written anywhere, so nothing is deleted.
  RemovePropW(hDlg, KESTREL_WINDOW_PROP);
  EndDialog(hDlg, 0);
  return 1;
}
