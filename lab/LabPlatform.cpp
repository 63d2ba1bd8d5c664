// The platform seam served by the virtual machine room.
#include "Lab.h"
#include "platform/Platform.h"
#include "platform/OpenInFolder.h"

#include <mutex>
#include <set>

namespace {
lab::Machine& M() { return lab::Machine::Get(); }

// Files are the real ones of the system the lab runs on: a log file is
// written where a test or a person reads it. Only handles opened here are
// served as files; any other is no file of the program's.
std::mutex g_filesLock;
std::set<HANDLE> g_files;

// "C:\..." and "\\?\C:\..." name files; devices and interfaces ("\\.\",
// "\\?\scsi#...") are the lab's.
bool IsFilePath(LPCWSTR name) {
  if (name != nullptr && wcsncmp(name, L"\\\\?\\", 4) == 0) name += 4;
  return name != nullptr && name[0] != L'\0' && name[1] == L':';
}

HANDLE Track(HANDLE file) {
  if (file != INVALID_HANDLE_VALUE) {
    std::lock_guard<std::mutex> lock(g_filesLock);
    g_files.insert(file);
  }
  return file;
}

bool IsFile(HANDLE h) {
  std::lock_guard<std::mutex> lock(g_filesLock);
  if (g_files.count(h) != 0) return true;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}
}  // namespace

namespace plat {

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                   DWORD flags, HANDLE templ) {
  if (!IsFilePath(name)) return M().Open(name, access, disposition);
  return Track(::CreateFileW(name, access, share, sa, disposition, flags, templ));
}
BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED ov) {
  return M().Ioctl(h, code, in, inSize, out, outSize, returned, ov);
}
BOOL CloseHandle(HANDLE h) {
  {
    std::lock_guard<std::mutex> lock(g_filesLock);
    if (g_files.erase(h) != 0) return ::CloseHandle(h);
  }
  return M().Close(h);
}
BOOL WriteFile(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED ov) {
  return IsFile(h) && ::WriteFile(h, data, size, written, ov);
}
BOOL GetFileInformationByHandle(HANDLE h, LPBY_HANDLE_FILE_INFORMATION info) {
  return IsFile(h) && ::GetFileInformationByHandle(h, info);
}
DWORD GetFinalPathNameByHandleW(HANDLE h, LPWSTR path, DWORD capacity, DWORD flags) {
  return IsFile(h) ? ::GetFinalPathNameByHandleW(h, path, capacity, flags) : 0;
}
HANDLE CreateFileInFolder(HANDLE folder, LPCWSTR name, DWORD access, BOOL makeFolder, PSECURITY_DESCRIPTOR security) {
  if (!IsFile(folder)) return INVALID_HANDLE_VALUE;
  return Track(OpenInFolderHandle(folder, name, access, makeFolder, security));
}

HDEVINFO SetupDiGetClassDevsW(const GUID* cls, PCWSTR, HWND, DWORD flags) { return M().GetClassDevs(cls, flags); }
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
  return M().EnumDeviceInfo(set, index, data);
}
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* cls, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
  return M().EnumDeviceInterfaces(set, device, cls, index, data);
}
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA iface,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                                      PSP_DEVINFO_DATA data) {
  return M().GetInterfaceDetail(set, iface, detail, size, required, data);
}
BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer,
                                       DWORD size, PDWORD required) {
  return M().GetRegistryProperty(set, data, property, type, buffer, size, required);
}
BOOL SetupDiGetDevicePropertyW(HDEVINFO set, PSP_DEVINFO_DATA data, const DEVPROPKEY* key, DEVPROPTYPE* type,
                               PBYTE buffer, DWORD size, PDWORD required, DWORD flags) {
  return M().GetDeviceProperty(set, data, key, type, buffer, size, required, flags);
}
BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA data, PWSTR id, DWORD size, PDWORD required) {
  return M().GetInstanceId(set, data, id, size, required);
}
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) { return M().DestroyDeviceSet(set); }
CONFIGRET CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags) { return M().GetParent(parent, node, flags); }
CONFIGRET CM_Get_Device_IDW(DEVINST node, PWSTR buffer, ULONG length, ULONG flags) {
  return M().GetDeviceId(node, buffer, length, flags);
}

void Sleep(DWORD ms) { M().Sleep(ms); }
ULONGLONG GetTickCount64() { return M().Uptime(); }
void GetSystemTimeAsFileTime(LPFILETIME time) { M().WallTime(time); }

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES sa, PHKEY result,
                        LPDWORD disposition) {
  return M().RegistryCreate(key, subKey, sa, result, disposition);
}
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM, PHKEY result) {
  return M().RegistryOpen(key, subKey, result);
}
LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  return M().RegistrySet(key, name, type, data, size);
}
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  return M().RegistryQuery(key, name, type, data, size);
}
LSTATUS RegDeleteKeyExW(HKEY key, LPCWSTR subKey, REGSAM, DWORD) { return M().RegistryDelete(key, subKey); }
LSTATUS RegCloseKey(HKEY key) { return M().RegistryClose(key); }

LPVOID VirtualAlloc(LPVOID, SIZE_T size, DWORD type, DWORD protect) { return M().Alloc(size, type, protect); }
BOOL VirtualFree(LPVOID p, SIZE_T size, DWORD type) { return M().Free(p, size, type); }

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  return M().MessageBox(owner, text, caption, type);
}
void OutputDebugStringW(LPCWSTR text) { M().DebugString(text); }

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  return M().OpenProcessToken(process, access, token);
}
BOOL LookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, PLUID luid) {
  return M().LookupPrivilege(system, name, luid);
}
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD length,
                           PTOKEN_PRIVILEGES previous, PDWORD returned) {
  return M().AdjustPrivileges(token, disableAll, state, length, previous, returned);
}
BOOL ExitWindowsEx(UINT flags, DWORD reason) { return M().Shutdown(flags, reason); }

BOOL RestrictDllSearch() { return M().RestrictDllSearch(); }
HMODULE LoadSystemLibrary(LPCWSTR name) { return M().LoadSystemLibrary(name); }

BOOL ShutdownBlockReasonCreate(HWND hwnd, LPCWSTR reason) { return M().BlockShutdown(hwnd, reason); }
BOOL ShutdownBlockReasonDestroy(HWND hwnd) { return M().UnblockShutdown(hwnd); }
EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags) { return M().SetExecutionState(flags); }
BOOL GetSystemPowerStatus(LPSYSTEM_POWER_STATUS status) { return M().PowerStatus(status); }

}  // namespace plat
