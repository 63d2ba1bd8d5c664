// The program entry, shared by the real updater and the lab program.
#include <windows.h>
#include <commctrl.h>

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>

#include "app/Dialog.h"
#include "package/Package.h"
#include "platform/Platform.h"
#include "platform/SystemDlls.h"
#include "resources/resource.h"

namespace {

// One name for every session of the machine: two copies must never update
// one drive together, whoever started them.
constexpr WCHAR SINGLE_COPY_MUTEX[] = L"Global\\Kestrel.FirmwareUpdater.OneCopy";
// Owned by the Administrators group, open to administrators and the system
// only. A process without administrator rights may make a mutex of that name
// first, but cannot give it that owner: such a one is never taken for a copy.
constexpr WCHAR SINGLE_COPY_SECURITY[] = L"O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)";

bool IsOwnedByAdministrators(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS)
    return false;
  bool trusted = owner != nullptr && (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                                      IsWellKnownSid(owner, WinLocalSystemSid));
  LocalFree(descriptor);
  return trusted;
}

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

const WCHAR GUARD_UNAVAILABLE_MESSAGE[] =
    L"Another copy of the updater is running, or it cannot check for one. Close it, then start the updater again.";

int TakeOneCopyGuard(HANDLE* guard) {
  *guard = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(SINGLE_COPY_SECURITY, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    LogLine(L"One copy: no security descriptor (error %lu)", GetLastError());
    return GUARD_UNAVAILABLE;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  HANDLE mutex = CreateMutexW(&attributes, FALSE, SINGLE_COPY_MUTEX);
  DWORD error = GetLastError();
  LocalFree(descriptor);
  if (mutex != nullptr && error != ERROR_ALREADY_EXISTS) {
    *guard = mutex;
    return GUARD_TAKEN;
  }
  if (mutex == nullptr) {
    LogLine(L"One copy: %s can be neither made nor opened (error %lu)", SINGLE_COPY_MUTEX, error);
    return GUARD_UNAVAILABLE;
  }
  int result = IsOwnedByAdministrators(mutex) ? GUARD_OTHER_COPY : GUARD_UNAVAILABLE;
  if (result == GUARD_UNAVAILABLE)
    LogLine(L"One copy: %s was made by a process without administrator rights; it is no copy's", SINGLE_COPY_MUTEX);
  CloseHandle(mutex);
  return result;
}

int RunKestrel(HINSTANCE instance) {
  // A copy already runs: bring its window to the front and leave before
  // anything is read. A guard that cannot be had is said, never passed over
  // in silence: the user would see nothing happen.
  HANDLE oneCopy = nullptr;
  switch (TakeOneCopyGuard(&oneCopy)) {
    case GUARD_OTHER_COPY:
      EnumWindows(BringForward, 0);
      return 0;
    case GUARD_UNAVAILABLE:
      plat::MessageBoxW(nullptr, GUARD_UNAVAILABLE_MESSAGE, L"Kestrel", MB_OK | MB_ICONERROR);
      return 1;
    default:
      break;
  }
  // The dialog's progress bar needs the common controls; without them there
  // is no dialog to show.
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  if (!sysdll::InitCommonControlsEx(&controls)) {
    plat::MessageBoxW(nullptr, CONTROLS_MISSING_MESSAGE, L"Kestrel", MB_OK | MB_ICONERROR);
    CloseHandle(oneCopy);
    return 1;
  }
  // GDI+ is started and shut down around the dialog, nothing more.
  sysdll::GdiplusInput input = {1, nullptr, FALSE, FALSE};
  ULONG_PTR token = 0;
  sysdll::GdiplusStartup(&token, &input);
  ZeroMemory(GetAppState(), sizeof(AppState));
  DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_KESTREL), nullptr, DialogProc, 0);
  ForgetPackageItems();
  sysdll::GdiplusShutdown(token);
  CloseHandle(oneCopy);
  return 0;
}

const WCHAR CONTROLS_MISSING_MESSAGE[] =
    L"The updater cannot start: a part of Windows it needs (comctl32.dll, the common controls) could not be "
    L"loaded from the system folder.\nNothing was changed on any drive. Run Windows Update or System File Checker "
    L"(sfc /scannow), then start the updater again.";

int RestrictDllSearch() {
  if (plat::RestrictDllSearch()) return 1;
  // Without the restriction the program's folder would be searched for every
  // DLL loaded from now on: the program stops before loading any.
  plat::MessageBoxW(nullptr, L"The updater cannot start safely: Windows did not let it limit where DLLs are loaded "
                             L"from.\nNothing was changed on any drive. Install the latest Windows updates, then start "
                             L"the updater again.",
                    L"Kestrel", MB_OK | MB_ICONERROR);
  return 0;
}
