// Directory links made as another process of the user would make them: on
// Windows a junction; here, under Wine, a unix symbolic link, which Wine
// follows as Windows follows a junction (Wine makes no junctions itself).
#pragma once

#include <windows.h>

#include <string>

namespace links {

// The unix path Wine maps a Windows path to; empty outside Wine.
inline std::string UnixPath(const std::wstring& path) {
  using ToUnix = char*(CDECL*)(LPCWSTR);
  auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (toUnix == nullptr) return "";
  char* unixPath = toUnix(path.c_str());
  if (unixPath == nullptr) return "";
  std::string out = unixPath;
  HeapFree(GetProcessHeap(), 0, unixPath);
  return out;
}

// Wine runs Windows code in a unix process: the kernel's own symlink and
// unlink calls reach the file system directly.
inline long UnixCall(long number, const char* first, const char* second) {
#if defined(__GNUC__) && defined(__x86_64__)
  long result;
  __asm__ volatile("syscall" : "=a"(result) : "a"(number), "D"(first), "S"(second) : "rcx", "r11", "memory");
  return result;
#else
  (void)number, (void)first, (void)second;
  return -1;
#endif
}

constexpr long SYS_UNLINK = 87, SYS_SYMLINK = 88;

// link, which must not exist, becomes a link to the folder target.
inline bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target) {
  std::string to = UnixPath(target);
  size_t slash = link.find_last_of(L'\\');
  std::string parent = UnixPath(link.substr(0, slash));
  if (to.empty() || parent.empty()) return false;
  std::wstring name = link.substr(slash + 1);
  std::string from = parent + "/" + std::string(name.begin(), name.end());
  return UnixCall(SYS_SYMLINK, to.c_str(), from.c_str()) == 0;
}

// Removes the link itself, never what it points to.
inline bool RemoveDirectoryLink(const std::wstring& link) {
  size_t slash = link.find_last_of(L'\\');
  std::string parent = UnixPath(link.substr(0, slash));
  std::wstring name = link.substr(slash + 1);
  std::string path = parent + "/" + std::string(name.begin(), name.end());
  return !parent.empty() && UnixCall(SYS_UNLINK, path.c_str(), nullptr) == 0;
}

}  // namespace links
