// The platform seam served by the virtual machine room.
#include "Lab.h"
#include "platform/Platform.h"

namespace {
lab::Machine& M() { return lab::Machine::Get(); }
}  // namespace

namespace plat {

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
  return M().Open(name, access, disposition);
}
BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED ov) {
  return M().Ioctl(h, code, in, inSize, out, outSize, returned, ov);
}
BOOL CloseHandle(HANDLE h) { return M().Close(h); }

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
