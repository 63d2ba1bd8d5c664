// The functions the program takes from system DLLs it does not import:
// comctl32 (the progress bar and subclassing), gdiplus (started and shut
// down only) and bcrypt (SHA-256). Each DLL is loaded at its first use with
// plat::LoadSystemLibrary, after the entry has restricted the DLL search to
// the system folder, so that a DLL of that name beside the program, or one
// these DLLs load in turn, is never taken instead.
//
// What the executables may import directly is the few DLLs their entry needs
// before the search is restricted, and only DLLs that Windows loads from the
// system folder whatever the search says: the KnownDLLs, the values of
// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs. From
// Windows 7 to 11 that key holds advapi32, clbcatq, comdlg32, difxapi, gdi32,
// imagehlp, imm32, kernel32, msctf, msvcrt, normaliz, nsi, ole32, oleaut32,
// psapi, rpcrt4, sechost, setupapi, shell32, shlwapi, user32, wldap32 and
// ws2_32 (Windows 10 adds combase, coml2, gdiplus and shcore, among others).
// comctl32 (a side-by-side assembly), bcrypt, cfgmgr32, uxtheme, dwmapi and
// cryptbase are not in it. The programs import kernel32, user32, gdi32,
// advapi32, msvcrt and setupapi (which serves the configuration-manager
// calls from cfgmgr32 itself), and the tests check each program's import
// table against exactly that list.
#pragma once

#include <windows.h>
#include <commctrl.h>

namespace sysdll {

// 0 when a DLL or one of its functions could not be had; the reason is logged.
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* controls);
BOOL SetWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR id, DWORD_PTR data);
BOOL RemoveWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR id);
LRESULT DefSubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// GDI+ through its flat start-up calls; the token is 0 when it did not start.
struct GdiplusInput {
  UINT32 GdiplusVersion;
  void* DebugEventCallback;
  BOOL SuppressBackgroundThread;
  BOOL SuppressExternalCodecs;
};
int GdiplusStartup(ULONG_PTR* token, const GdiplusInput* input);
void GdiplusShutdown(ULONG_PTR token);

// bcrypt's hash calls, with its own status values (negative: failed).
LONG BCryptOpenAlgorithmProvider(void** algorithm, LPCWSTR id, LPCWSTR implementation, ULONG flags);
LONG BCryptCreateHash(void* algorithm, void** hash, BYTE* object, ULONG objectSize, BYTE* secret, ULONG secretSize,
                      ULONG flags);
LONG BCryptHashData(void* hash, BYTE* input, ULONG size, ULONG flags);
LONG BCryptFinishHash(void* hash, BYTE* output, ULONG size, ULONG flags);
LONG BCryptDestroyHash(void* hash);
LONG BCryptCloseAlgorithmProvider(void* algorithm, ULONG flags);

}  // namespace sysdll
