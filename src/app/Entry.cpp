// The program entry, shared by the real updater and the lab program.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cwchar>

namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>

#include "app/Dialog.h"
#include "package/Package.h"
#include "resources/resource.h"

namespace {

// One name for every session of the machine: two copies must never update
// one drive together, whoever started them.
constexpr WCHAR SINGLE_COPY_MUTEX[] = L"Global\\Kestrel.FirmwareUpdater.OneCopy";

const WCHAR* FileNameOf(const WCHAR* path) {
  const WCHAR* name = wcsrchr(path, L'\\');
  return name != nullptr ? name + 1 : path;
}

// Another process of the same program file: a process that only hosts the
// dialog (a test program) is not the running copy.
int IsSameProgram(HWND hwnd) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return 0;
  WCHAR other[MAX_PATH] = L"", self[MAX_PATH] = L"";
  DWORD size = MAX_PATH;
  BOOL read = QueryFullProcessImageNameW(process, 0, other, &size);
  CloseHandle(process);
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return read && _wcsicmp(FileNameOf(other), FileNameOf(self)) == 0 ? 1 : 0;
}

BOOL CALLBACK BringForward(HWND hwnd, LPARAM) {
  if (GetPropW(hwnd, KESTREL_WINDOW_PROP) == nullptr || !IsSameProgram(hwnd)) return TRUE;
  if (IsIconic(hwnd)) ShowWindow(hwnd, SW_RESTORE);
  SetForegroundWindow(hwnd);
  return FALSE;
}

}  // namespace

int RunKestrel(HINSTANCE instance) {
  // A copy already runs: bring its window to the front and leave before
  // anything is extracted. A mutex another user made may not open for this
  // one, and that too means a copy runs.
  HANDLE oneCopy = CreateMutexW(nullptr, FALSE, SINGLE_COPY_MUTEX);
  DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || (oneCopy == nullptr && error == ERROR_ACCESS_DENIED)) {
    EnumWindows(BringForward, 0);
    if (oneCopy != nullptr) CloseHandle(oneCopy);
    return 0;
  }
  // GDI+ is started and shut down around the dialog, nothing more.
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
  InitCommonControls();
  ZeroMemory(GetAppState(), sizeof(AppState));
  DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_KESTREL), nullptr, DialogProc, 0);
  ForgetPackageItems();
  Gdiplus::GdiplusShutdown(token);
  if (oneCopy != nullptr) CloseHandle(oneCopy);
  return 0;
}
