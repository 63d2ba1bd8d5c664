// Bounded text formatting with the Microsoft conversions (%s wide, %S narrow,
// %I64d). C++'s swprintf follows C99 under mingw (%s narrow), so the program
// formats only through these.
#pragma once

#include <windows.h>
#include <strsafe.h>

#include <cstdarg>

// Formats into dst of capacity cch (terminator included); a longer result is
// cut and always terminated. Returns the number of characters written.
inline size_t FormatTextV(WCHAR* dst, size_t cch, const WCHAR* format, va_list args) {
  if (cch == 0) return 0;
  dst[0] = L'\0';
  StringCchVPrintfW(dst, cch, format, args);  // truncates and terminates on overflow
  size_t len = 0;
  StringCchLengthW(dst, cch, &len);
  return len;
}

inline size_t FormatText(WCHAR* dst, size_t cch, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  size_t len = FormatTextV(dst, cch, format, args);
  va_end(args);
  return len;
}

template <size_t N>
inline size_t FormatText(WCHAR (&dst)[N], const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  size_t len = FormatTextV(dst, N, format, args);
  va_end(args);
  return len;
}
