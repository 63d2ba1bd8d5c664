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

// The device tree: an empty machine room has no devices to list yet.
HDEVINFO SetupDiGetClassDevsW(const GUID*, PCWSTR, HWND, DWORD) { return M().OpenDeviceSet(); }
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD, PSP_DEVINFO_DATA) {
  SetLastError(M().IsDeviceSet(set) ? ERROR_NO_MORE_ITEMS : ERROR_INVALID_HANDLE);
  return FALSE;
}
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA) {
  SetLastError(M().IsDeviceSet(set) ? ERROR_NO_MORE_ITEMS : ERROR_INVALID_HANDLE);
  return FALSE;
}
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD,
                                      PDWORD, PSP_DEVINFO_DATA) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}
BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD) {
  SetLastError(ERROR_INVALID_DATA);
  return FALSE;
}
BOOL SetupDiGetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*, DEVPROPTYPE*, PBYTE, DWORD, PDWORD,
                               DWORD) {
  SetLastError(ERROR_NOT_FOUND);
  return FALSE;
}
BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO, PSP_DEVINFO_DATA, PWSTR, DWORD, PDWORD) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  if (!M().IsDeviceSet(set)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return M().Close(set);
}
CONFIGRET CM_Get_Parent(PDEVINST, DEVINST, ULONG) { return CR_NO_SUCH_DEVNODE; }
CONFIGRET CM_Get_Device_IDW(DEVINST, PWSTR, ULONG, ULONG) { return CR_NO_SUCH_DEVNODE; }

void Sleep(DWORD ms) { M().Sleep(ms); }
ULONGLONG GetTickCount64() { return M().Now(); }

LPVOID VirtualAlloc(LPVOID, SIZE_T size, DWORD type, DWORD protect) { return M().Alloc(size, type, protect); }
BOOL VirtualFree(LPVOID p, SIZE_T size, DWORD type) { return M().Free(p, size, type); }

int MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT type) { return M().MessageBox(text, caption, type); }
void OutputDebugStringW(LPCWSTR text) { M().DebugString(text); }

BOOL OpenProcessToken(HANDLE, DWORD, PHANDLE token) {
  *token = M().OpenToken();
  return TRUE;
}
BOOL LookupPrivilegeValueW(LPCWSTR, LPCWSTR, PLUID luid) {
  luid->LowPart = 19;  // the shutdown privilege's well-known value
  luid->HighPart = 0;
  return TRUE;
}
BOOL AdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD returned) {
  if (returned) *returned = 0;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
BOOL ExitWindowsEx(UINT flags, DWORD) {
  M().RecordShutdown(flags);
  return TRUE;
}

}  // namespace plat
