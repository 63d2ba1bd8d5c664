// The seam on a real machine: every call goes straight to Windows.
#include "platform/Platform.h"
#include "platform/OpenInFolder.h"

namespace plat {

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                   DWORD flags, HANDLE templ) {
  return ::CreateFileW(name, access, share, sa, disposition, flags, templ);
}
BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED ov) {
  return ::DeviceIoControl(h, code, in, inSize, out, outSize, returned, ov);
}
BOOL CloseHandle(HANDLE h) { return ::CloseHandle(h); }
BOOL WriteFile(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED ov) {
  return ::WriteFile(h, data, size, written, ov);
}
BOOL GetFileInformationByHandle(HANDLE h, LPBY_HANDLE_FILE_INFORMATION info) {
  return ::GetFileInformationByHandle(h, info);
}
DWORD GetFinalPathNameByHandleW(HANDLE h, LPWSTR path, DWORD capacity, DWORD flags) {
  return ::GetFinalPathNameByHandleW(h, path, capacity, flags);
}
HANDLE CreateFileInFolder(HANDLE folder, LPCWSTR name, DWORD access, BOOL makeFolder, PSECURITY_DESCRIPTOR security) {
  return OpenInFolderHandle(folder, name, access, makeFolder, security);
}

HDEVINFO SetupDiGetClassDevsW(const GUID* cls, PCWSTR enumerator, HWND parent, DWORD flags) {
  return ::SetupDiGetClassDevsW(cls, enumerator, parent, flags);
}
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
  return ::SetupDiEnumDeviceInfo(set, index, data);
}
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA data, const GUID* cls, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA iface) {
  return ::SetupDiEnumDeviceInterfaces(set, data, cls, index, iface);
}
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA iface,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                                      PSP_DEVINFO_DATA data) {
  return ::SetupDiGetDeviceInterfaceDetailW(set, iface, detail, size, required, data);
}
BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD prop, PDWORD type, PBYTE buf,
                                       DWORD size, PDWORD required) {
  return ::SetupDiGetDeviceRegistryPropertyW(set, data, prop, type, buf, size, required);
}
BOOL SetupDiGetDevicePropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, const DEVPROPKEY* key, DEVPROPTYPE* type,
                               PBYTE buf, DWORD size, PDWORD required, DWORD flags) {
  return ::SetupDiGetDevicePropertyW(set, data, key, type, buf, size, required, flags);
}
BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA data, PWSTR id, DWORD size, PDWORD required) {
  return ::SetupDiGetDeviceInstanceIdW(set, data, id, size, required);
}
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) { return ::SetupDiDestroyDeviceInfoList(set); }
CONFIGRET CM_Get_Parent(PDEVINST parent, DEVINST inst, ULONG flags) { return ::CM_Get_Parent(parent, inst, flags); }
CONFIGRET CM_Get_Device_IDW(DEVINST inst, PWSTR buf, ULONG len, ULONG flags) {
  return ::CM_Get_Device_IDW(inst, buf, len, flags);
}

void Sleep(DWORD ms) { ::Sleep(ms); }
ULONGLONG GetTickCount64() { return ::GetTickCount64(); }
void GetSystemTimeAsFileTime(LPFILETIME time) { ::GetSystemTimeAsFileTime(time); }

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR cls, DWORD options, REGSAM sam,
                        LPSECURITY_ATTRIBUTES sa, PHKEY result, LPDWORD disposition) {
  return ::RegCreateKeyExW(key, subKey, reserved, cls, options, sam, sa, result, disposition);
}
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM sam, PHKEY result) {
  return ::RegOpenKeyExW(key, subKey, options, sam, result);
}
LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
  return ::RegSetValueExW(key, name, reserved, type, data, size);
}
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
  return ::RegQueryValueExW(key, name, reserved, type, data, size);
}
LSTATUS RegDeleteKeyExW(HKEY key, LPCWSTR subKey, REGSAM sam, DWORD reserved) {
  return ::RegDeleteKeyExW(key, subKey, sam, reserved);
}
LSTATUS RegCloseKey(HKEY key) { return ::RegCloseKey(key); }

LPVOID VirtualAlloc(LPVOID addr, SIZE_T size, DWORD type, DWORD protect) {
  return ::VirtualAlloc(addr, size, type, protect);
}
BOOL VirtualFree(LPVOID addr, SIZE_T size, DWORD type) { return ::VirtualFree(addr, size, type); }

int MessageBoxW(HWND hwnd, LPCWSTR text, LPCWSTR caption, UINT type) {
  return ::MessageBoxW(hwnd, text, caption, type);
}
void OutputDebugStringW(LPCWSTR text) { ::OutputDebugStringW(text); }

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  return ::OpenProcessToken(process, access, token);
}
BOOL LookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, PLUID luid) {
  return ::LookupPrivilegeValueW(system, name, luid);
}
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD len,
                           PTOKEN_PRIVILEGES previous, PDWORD returned) {
  return ::AdjustTokenPrivileges(token, disableAll, state, len, previous, returned);
}
BOOL ExitWindowsEx(UINT flags, DWORD reason) { return ::ExitWindowsEx(flags, reason); }

BOOL RestrictDllSearch() { return ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); }
HMODULE LoadSystemLibrary(LPCWSTR name) { return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32); }

BOOL ShutdownBlockReasonCreate(HWND hwnd, LPCWSTR reason) { return ::ShutdownBlockReasonCreate(hwnd, reason); }
BOOL ShutdownBlockReasonDestroy(HWND hwnd) { return ::ShutdownBlockReasonDestroy(hwnd); }
EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags) { return ::SetThreadExecutionState(flags); }
BOOL GetSystemPowerStatus(LPSYSTEM_POWER_STATUS status) { return ::GetSystemPowerStatus(status); }

}  // namespace plat
