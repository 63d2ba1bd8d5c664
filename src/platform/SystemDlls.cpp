// System DLLs loaded by name from the system folder, each once, with every
// function the program takes from it; see SystemDlls.h for why.
#include "platform/SystemDlls.h"

#include "app/Log.h"
#include "platform/Platform.h"

namespace sysdll {

namespace {

// One DLL: its name, the functions taken from it, and whether they all came.
struct Library {
  const WCHAR* name;
  const char* const* functions;
  int count;
  FARPROC* addresses;
  INIT_ONCE once;
  BOOL loaded;
};

BOOL CALLBACK LoadOnce(PINIT_ONCE, PVOID parameter, PVOID*) {
  auto* library = static_cast<Library*>(parameter);
  HMODULE module = plat::LoadSystemLibrary(library->name);
  if (module == nullptr) {
    LogLine(L"%s could not be loaded from the system folder (error %lu)", library->name, GetLastError());
    return TRUE;
  }
  for (int i = 0; i < library->count; ++i) {
    library->addresses[i] = GetProcAddress(module, library->functions[i]);
    if (library->addresses[i] == nullptr) {
      LogLine(L"%s has no function %S", library->name, library->functions[i]);
      return TRUE;
    }
  }
  library->loaded = TRUE;
  return TRUE;
}

// The address of function n of the library, or nullptr when it is not there.
template <typename F>
F Function(Library& library, int n) {
  InitOnceExecuteOnce(&library.once, LoadOnce, &library, nullptr);
  return library.loaded ? reinterpret_cast<F>(reinterpret_cast<void*>(library.addresses[n])) : nullptr;
}

const char* const kComctl32[] = {"InitCommonControlsEx", "SetWindowSubclass", "RemoveWindowSubclass",
                                 "DefSubclassProc"};
FARPROC g_comctl32[4];
Library g_controls = {L"comctl32.dll", kComctl32, 4, g_comctl32, INIT_ONCE_STATIC_INIT, FALSE};

const char* const kGdiplus[] = {"GdiplusStartup", "GdiplusShutdown"};
FARPROC g_gdiplus[2];
Library g_gdi = {L"gdiplus.dll", kGdiplus, 2, g_gdiplus, INIT_ONCE_STATIC_INIT, FALSE};

const char* const kBcrypt[] = {"BCryptOpenAlgorithmProvider", "BCryptCreateHash", "BCryptHashData",
                               "BCryptFinishHash", "BCryptDestroyHash", "BCryptCloseAlgorithmProvider"};
FARPROC g_bcrypt[6];
Library g_crypto = {L"bcrypt.dll", kBcrypt, 6, g_bcrypt, INIT_ONCE_STATIC_INIT, FALSE};

// What a bcrypt call answers when bcrypt is not there: STATUS_DLL_NOT_FOUND.
constexpr LONG NO_DLL = static_cast<LONG>(0xC0000135);

}  // namespace

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* controls) {
  auto f = Function<BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*)>(g_controls, 0);
  return f != nullptr ? f(controls) : FALSE;
}

BOOL SetWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR id, DWORD_PTR data) {
  auto f = Function<BOOL(WINAPI*)(HWND, SUBCLASSPROC, UINT_PTR, DWORD_PTR)>(g_controls, 1);
  return f != nullptr ? f(hwnd, proc, id, data) : FALSE;
}

BOOL RemoveWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR id) {
  auto f = Function<BOOL(WINAPI*)(HWND, SUBCLASSPROC, UINT_PTR)>(g_controls, 2);
  return f != nullptr ? f(hwnd, proc, id) : FALSE;
}

LRESULT DefSubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto f = Function<LRESULT(WINAPI*)(HWND, UINT, WPARAM, LPARAM)>(g_controls, 3);
  return f != nullptr ? f(hwnd, message, wParam, lParam) : DefWindowProcW(hwnd, message, wParam, lParam);
}

int GdiplusStartup(ULONG_PTR* token, const GdiplusInput* input) {
  *token = 0;
  auto f = Function<int(WINAPI*)(ULONG_PTR*, const GdiplusInput*, void*)>(g_gdi, 0);
  if (f == nullptr) return -1;
  int status = f(token, input, nullptr);
  if (status != 0) *token = 0;
  return status;
}

void GdiplusShutdown(ULONG_PTR token) {
  auto f = Function<void(WINAPI*)(ULONG_PTR)>(g_gdi, 1);
  if (f != nullptr && token != 0) f(token);
}

LONG BCryptOpenAlgorithmProvider(void** algorithm, LPCWSTR id, LPCWSTR implementation, ULONG flags) {
  auto f = Function<LONG(WINAPI*)(void**, LPCWSTR, LPCWSTR, ULONG)>(g_crypto, 0);
  return f != nullptr ? f(algorithm, id, implementation, flags) : NO_DLL;
}

LONG BCryptCreateHash(void* algorithm, void** hash, BYTE* object, ULONG objectSize, BYTE* secret, ULONG secretSize,
                      ULONG flags) {
  auto f = Function<LONG(WINAPI*)(void*, void**, BYTE*, ULONG, BYTE*, ULONG, ULONG)>(g_crypto, 1);
  return f != nullptr ? f(algorithm, hash, object, objectSize, secret, secretSize, flags) : NO_DLL;
}

LONG BCryptHashData(void* hash, BYTE* input, ULONG size, ULONG flags) {
  auto f = Function<LONG(WINAPI*)(void*, BYTE*, ULONG, ULONG)>(g_crypto, 2);
  return f != nullptr ? f(hash, input, size, flags) : NO_DLL;
}

LONG BCryptFinishHash(void* hash, BYTE* output, ULONG size, ULONG flags) {
  auto f = Function<LONG(WINAPI*)(void*, BYTE*, ULONG, ULONG)>(g_crypto, 3);
  return f != nullptr ? f(hash, output, size, flags) : NO_DLL;
}

LONG BCryptDestroyHash(void* hash) {
  auto f = Function<LONG(WINAPI*)(void*)>(g_crypto, 4);
  return f != nullptr ? f(hash) : NO_DLL;
}

LONG BCryptCloseAlgorithmProvider(void* algorithm, ULONG flags) {
  auto f = Function<LONG(WINAPI*)(void*, ULONG)>(g_crypto, 5);
  return f != nullptr ? f(algorithm, flags) : NO_DLL;
}

}  // namespace sysdll
