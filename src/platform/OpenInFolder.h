// Opening a name inside a folder by the folder's handle, shared by the real
// seam and the lab's (whose log files are real files too).
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cwchar>

namespace plat {

// The native call, since the Windows functions take only whole paths. ntdll
// is in every process: nothing is searched for.
inline HANDLE OpenInFolderHandle(HANDLE folder, LPCWSTR name, DWORD access, BOOL makeFolder,
                                 PSECURITY_DESCRIPTOR security) {
  using CreateFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG,
                                ULONG, ULONG, ULONG, PVOID, ULONG);
  using ErrorFn = ULONG(NTAPI*)(LONG);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto create = reinterpret_cast<CreateFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateFile")));
  auto error = reinterpret_cast<ErrorFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
  size_t length = wcslen(name);
  if (create == nullptr || error == nullptr || length == 0 || length > 4096) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING text = {USHORT(length * sizeof(WCHAR)), USHORT(length * sizeof(WCHAR)), const_cast<PWSTR>(name)};
  // A server of the name (a pipe) may learn who asks, never act as the program.
  SECURITY_QUALITY_OF_SERVICE quality = {sizeof quality, SecurityIdentification, SECURITY_STATIC_TRACKING, FALSE};
  OBJECT_ATTRIBUTES attributes = {};
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = folder;
  attributes.ObjectName = &text;
  attributes.Attributes = OBJ_CASE_INSENSITIVE;
  attributes.SecurityDescriptor = security;
  attributes.SecurityQualityOfService = &quality;
  IO_STATUS_BLOCK io = {};
  HANDLE opened = nullptr;
  ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT | (makeFolder ? FILE_DIRECTORY_FILE : 0);
  LONG status = create(&opened, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, makeFolder ? FILE_CREATE : FILE_OPEN_IF, options, nullptr, 0);
  if (status < 0) {
    SetLastError(error(status));
    return INVALID_HANDLE_VALUE;
  }
  return opened;
}

}  // namespace plat
