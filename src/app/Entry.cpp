// The program entry, shared by the real updater and the lab program.
#include <windows.h>
#include <commctrl.h>

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <cwchar>

#include "app/Dialog.h"
#include "app/Unattended.h"
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
// Where "Global\" puts it. A symbolic link of the guard's name could lead
// to any other administrator's mutex: the object opened must bear this name.
constexpr WCHAR SINGLE_COPY_OBJECT[] = L"\\BaseNamedObjects\\Kestrel.FirmwareUpdater.OneCopy";

// The object manager's own name of what a handle reaches, through the
// native call (ntdll is loaded in every process, so nothing is searched for).
bool IsNamed(HANDLE object, const WCHAR* name) {
  using QueryObject = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  constexpr int OBJECT_NAME_INFORMATION_CLASS = 1;
  auto query = reinterpret_cast<QueryObject>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  alignas(UNICODE_STRING) BYTE buffer[sizeof(UNICODE_STRING) + 512];
  ULONG returned = 0;
  if (query == nullptr || query(object, OBJECT_NAME_INFORMATION_CLASS, buffer, sizeof buffer, &returned) < 0)
    return false;
  const auto* actual = reinterpret_cast<const UNICODE_STRING*>(buffer);
  size_t length = actual->Length / sizeof(WCHAR);
  return length == wcslen(name) && _wcsnicmp(actual->Buffer, name, length) == 0;
}

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
  if (mutex == nullptr) {
    LogLine(L"One copy: %s can be neither made nor opened (error %lu)", SINGLE_COPY_MUTEX, error);
    return GUARD_UNAVAILABLE;
  }
  int result = error != ERROR_ALREADY_EXISTS ? GUARD_TAKEN : GUARD_OTHER_COPY;
  if (!IsNamed(mutex, SINGLE_COPY_OBJECT)) {
    LogLine(L"One copy: %s leads to another object; it is no copy's", SINGLE_COPY_MUTEX);
    result = GUARD_UNAVAILABLE;
  } else if (result == GUARD_OTHER_COPY && !IsOwnedByAdministrators(mutex)) {
    LogLine(L"One copy: %s was made by a process without administrator rights; it is no copy's", SINGLE_COPY_MUTEX);
    result = GUARD_UNAVAILABLE;
  }
  if (result == GUARD_TAKEN) *guard = mutex;
  else CloseHandle(mutex);
  return result;
}

int RunKestrel(HINSTANCE instance, const WCHAR* commandLine) {
  // Switches make an unattended run, which never shows the dialog.
  int unattended = RunFromCommandLine(commandLine);
  if (unattended >= 0) return unattended;
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
  // DLL loaded from now on, a message box's own included: the program stops
  // before loading any. Windows 10 and later never refuse this.
  LogLine(L"The DLL search could not be restricted to the system folder (error %lu); the updater stops",
          GetLastError());
  return 0;
}
