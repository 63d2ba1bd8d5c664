// The dialog: message routing, initialisation, completion and exit.
#include "app/Dialog.h"

#include <commctrl.h>

#include <cwctype>
#include <initializer_list>

#include "app/Text.h"
#include "package/Package.h"
#include "platform/Platform.h"
#include "platform/SystemDlls.h"
#include "resources/resource.h"

namespace {

constexpr int PROGRESS_HEIGHT_DLU = 8;  // the standard height of a progress bar
constexpr int PROGRESS_GAP = 5;          // pixels between the status row and the bar
constexpr int LOGO_SIZE = 64;

int ProgressHeight(HWND hDlg) {
  RECT r = {0, 0, 0, PROGRESS_HEIGHT_DLU};
  MapDialogRect(hDlg, &r);
  return r.bottom;
}

// The bar spans the window's width below the status row; the window ends
// with the bar.
void FitBelowStatusLine(HWND hDlg) {
  RECT status, dialog, client;
  GetWindowRect(GetDlgItem(hDlg, IDC_STATUS), &status);
  MapWindowPoints(nullptr, hDlg, reinterpret_cast<POINT*>(&status), 2);
  GetWindowRect(hDlg, &dialog);
  GetClientRect(hDlg, &client);
  int frame = (dialog.bottom - dialog.top) - client.bottom;
  MoveWindow(hDlg, dialog.left, dialog.top, dialog.right - dialog.left,
             frame + status.bottom + PROGRESS_GAP + ProgressHeight(hDlg), TRUE);
}

void PlaceProgressStrip(HWND hDlg) {
  RECT client;
  GetClientRect(hDlg, &client);
  int height = ProgressHeight(hDlg);
  MoveWindow(GetDlgItem(hDlg, IDC_PROGRESS), 0, client.bottom - height, client.right, height, TRUE);
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

// The phase the worker's share of the bar belongs to, with the bar's percentage.
void ShowProgress(HWND hDlg, int position) {
  // The checks outside a run (a selection, RUN's own) post progress too:
  // only a run names a phase.
  if (!IsBusy()) {
    SendDlgItemMessageW(hDlg, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    return;
  }
  INT16 start = GetAppState()->sProgressStart;
  const WCHAR* phase = start < 30   ? L"Sending the firmware"
                       : start < 60 ? L"Activating the firmware"
                       : start < 80 ? L"Restarting the drive"
                                    : L"Finding the drive again";
  WCHAR text[80];
  FormatText(text, L"%s \u2026 %d %%", phase, position);
  SetDlgItemTextW(hDlg, IDC_STATUS, text);
  SendDlgItemMessageW(hDlg, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(position), 0);
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
      // During a run no control can hold the focus, so Esc arrives here
      // rather than as IDCANCEL: it is answered as the close box is.
      if (wParam == VK_ESCAPE && IsBusy()) {
        OnCancel(hDlg);
        return TRUE;
      }
      return OnDebugLogKey(message, wParam);
    case WM_QUERYENDSESSION:
      return OnQueryEndSession(hDlg);
    case WM_UPDATE_DONE:
      OnUpdateDone(hDlg, lParam);
      return 0;
    case WM_UPDATE_PROGRESS:
      ShowProgress(hDlg, MapProgress(lParam));
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

// "Update FW Fail !", then what failed, whether the old firmware still
// runs, and what to do next, from what the run kept.
void FormatFailureMessage(const AppState* app, WCHAR* text, size_t capacity) {
  WCHAR what[ARRAYSIZE(app->szRunFailure)];
  StringCchCopyW(what, ARRAYSIZE(what), app->szRunFailure[0] != L'\0' ? app->szRunFailure : L"the update stopped");
  what[0] = towupper(what[0]);
  bool fullShutdown = app->iRunReset == RESET_SUBSYSTEM || app->iRunReset == RESET_POWER_CYCLE;
  const WCHAR* state = !app->bRunCommitted ? L"The drive still runs its old firmware."
                       : fullShutdown
                           ? L"The drive took the new firmware: it runs after the computer is shut down fully and started again."
                           : L"The drive took the new firmware: it runs after the computer restarts.";
  WCHAR next[ARRAYSIZE(app->szRunQuote) + 200];
  // A committed image waits for its reset, and RUN refuses until then.
  if (app->bRunCommitted) {
    size_t used = FormatText(next, L"%s, then start the updater again to check its firmware.",
                             fullShutdown ? L"Shut the computer down fully, wait ten seconds, and start it again"
                                          : L"Restart the computer");
    if (app->szRunQuote[0] != L'\0')
      FormatText(next + used, ARRAYSIZE(next) - used, L" If it still runs the old one, contact support and quote: %s.",
                 app->szRunQuote);
  } else switch (app->iRunAdvice) {
    case ADVICE_SUPPORT:
      FormatText(next, L"Contact support and quote: %s.", app->szRunQuote);
      break;
    case ADVICE_DIRECT:
      StringCchCopyW(next, ARRAYSIZE(next),
                     L"Connect the drive directly to the computer, not through a USB enclosure, and try again.");
      break;
    case ADVICE_NEW_COPY:
      StringCchCopyW(next, ARRAYSIZE(next), L"Get a new copy of the updater.");
      break;
    default:
      StringCchCopyW(next, ARRAYSIZE(next), L"Check the cable and press RUN again.");
      break;
  }
  FormatText(text, capacity, L"Update FW Fail !\n%s.\n%s\n%s", what, state, next);
}

// The chosen entry's panel again, now that the run's versions are told.
void ShowChosenDrive(HWND hDlg) {
  AppState* app = GetAppState();
  LRESULT item = SendDlgItemMessageW(hDlg, IDC_DRIVE_LIST, CB_GETCURSEL, 0, 0);
  LRESULT index = item == CB_ERR ? CB_ERR : SendDlgItemMessageW(hDlg, IDC_DRIVE_LIST, CB_GETITEMDATA, item, 0);
  if (index >= 0 && static_cast<UINT32>(index) < app->nDriveCount) {
    ShowDriveInfo(hDlg, &app->DriveTable[index]);
    return;
  }
  // The drive is not listed (the disconnect entry): its last record, without
  // the versions of a run that is over.
  DriveRecord shown;
  GetSelectedDrive(&shown);
  if (shown.szDevicePath[0] != L'\0') ShowDriveInfo(hDlg, &shown);
}

void OnUpdateDone(HWND hDlg, LPARAM result) {
  AppState* app = GetAppState();
  // The run is over: a shutdown may come, even while the closing message is up.
  ReleaseShutdown(hDlg);
  app->szRunNewVersion[0] = L'\0';
  ShowChosenDrive(hDlg);
  if (result != 1) {
    // The bar never stays where the run stopped.
    SendDlgItemMessageW(hDlg, IDC_PROGRESS, PBM_SETPOS, 0, 0);
    SetDlgItemTextW(hDlg, IDC_STATUS,
                    result == RES_NOT_FOUND_AGAIN ? L"The drive was not found after the update" : L"Update failed");
  } else {
    SetDlgItemTextW(hDlg, IDC_STATUS, L"Update finished");
  }
  if (result == RES_NOT_FOUND_AGAIN) {
    plat::MessageBoxW(hDlg, NOT_FOUND_AGAIN_MESSAGE, app->szTitle, MB_OK | MB_ICONWARNING);
  } else if (result != 1) {
    WCHAR text[1024];
    FormatFailureMessage(app, text, ARRAYSIZE(text));
    plat::MessageBoxW(hDlg, text, app->szTitle, MB_OK | MB_ICONERROR);
  } else if (app->szAfterMessage[0] != L'\0') {
    // Enter out of habit must not end the person's session: Cancel is the
    // default, and the message says what OK does.
    WCHAR text[ARRAYSIZE(app->szAfterMessage) + 64];
    switch (app->PowerCtrl) {
      case 0:
        plat::MessageBoxW(hDlg, app->szAfterMessage, app->szTitle, MB_OK);
        break;
      case 1:
        FormatText(text, L"%s\n\nOK turns the computer off now.", app->szAfterMessage);
        if (plat::MessageBoxW(hDlg, text, app->szTitle, MB_ICONINFORMATION | MB_OKCANCEL | MB_DEFBUTTON2) == IDOK)
          RequestShutdown(EWX_POWEROFF);
        break;
      case 2:
        FormatText(text, L"%s\n\nOK restarts the computer now.", app->szAfterMessage);
        if (plat::MessageBoxW(hDlg, text, app->szTitle, MB_ICONINFORMATION | MB_OKCANCEL | MB_DEFBUTTON2) == IDOK)
          RequestShutdown(EWX_REBOOT);
        break;
      default:
        break;
    }
  }
  // RUN for the disconnect entry alone would start nothing.
  EnableWindow(GetDlgItem(hDlg, IDOK), IsDriveListed(hDlg) ? TRUE : FALSE);
  EnableWindow(GetDlgItem(hDlg, IDC_DRIVE_LIST), TRUE);
  // The keyboard gets a control again: during the run none could hold it.
  SendMessageW(hDlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(hDlg, IDC_DRIVE_LIST)), TRUE);
}

// Powering off or restarting needs the shutdown privilege enabled in the
// process token; an administrator holds it, disabled. A refusal is logged and
// the program stays open.
int RequestShutdown(UINT flags, DWORD reason) {
  HANDLE token = nullptr;
  if (!plat::OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    LogLine(L"RequestShutdown: OpenProcessToken failed, error %lu", GetLastError());
    return 0;
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
  else if (!plat::ExitWindowsEx(flags, reason))
    failed = L"ExitWindowsEx";
  if (failed != nullptr) LogLine(L"RequestShutdown: %s failed, error %lu", failed, GetLastError());
  plat::CloseHandle(token);
  return failed == nullptr ? 1 : 0;
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
