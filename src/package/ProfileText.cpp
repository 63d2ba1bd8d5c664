// An INI file read from its bytes in memory, with the rules the system's
// profile functions apply to a file: the package's configuration is judged
// as it was verified and never read back from disk.
#include <cstring>
#include <cwchar>
#include <new>

#include "app/Text.h"
#include "package/Package.h"

namespace {

constexpr WCHAR DOS_END_OF_FILE = 0x1A;
constexpr DWORD NUMBER_CAPACITY = 30;  // what the profile function reads a number into

// Blanks as the profile reader knows them: the ASCII spaces and controls
// tab to carriage return, and the DOS end-of-file mark.
bool IsBlank(WCHAR c) { return (c >= L'\t' && c <= L'\r') || c == L' ' || c == DOS_END_OF_FILE; }

struct Span {
  const WCHAR* at;
  size_t length;
};

// A name of the file against the one asked for: the name ends at its first
// zero character, as a C text would, and case is ignored.
bool SameName(Span name, const WCHAR* wanted, size_t wantedLength) {
  const WCHAR* zero = wmemchr(name.at, L'\0', name.length);
  size_t length = zero != nullptr ? static_cast<size_t>(zero - name.at) : name.length;
  return length == wantedLength &&
         (length == 0 || CompareStringOrdinal(name.at, static_cast<int>(length), wanted,
                                              static_cast<int>(length), TRUE) == CSTR_EQUAL);
}

// The names asked for lose their blanks too.
Span Trimmed(const WCHAR* text) {
  Span s = {text, wcslen(text)};
  while (s.length > 0 && IsBlank(s.at[0])) ++s.at, --s.length;
  while (s.length > 0 && IsBlank(s.at[s.length - 1])) --s.length;
  return s;
}

// The next line, without its blanks at either end; false at the end of text.
// A line ends at a line feed or a carriage return.
bool NextLine(const WCHAR** cursor, const WCHAR* end, Span* line) {
  if (*cursor >= end) return false;
  const WCHAR* start = *cursor;
  const WCHAR* stop = start;
  while (stop < end && *stop != L'\n' && *stop != L'\r') ++stop;
  *cursor = stop;
  while (*cursor < end && (**cursor == L'\n' || **cursor == L'\r')) ++*cursor;
  while (start < stop && IsBlank(*start)) ++start;
  while (stop > start && IsBlank(stop[-1])) --stop;
  *line = {start, static_cast<size_t>(stop - start)};
  return true;
}

// A section header's name: between "[" and the last "]" of the line,
// without blanks at either end.
bool SectionName(Span line, Span* name) {
  if (line.length == 0 || line.at[0] != L'[') return false;
  for (size_t i = line.length; i-- > 1;) {
    if (line.at[i] == L']') {
      *name = {line.at + 1, i - 1};
      while (name->length > 0 && IsBlank(name->at[0])) ++name->at, --name->length;
      while (name->length > 0 && IsBlank(name->at[name->length - 1])) --name->length;
      return true;
    }
  }
  return false;  // no "]": an ordinary line
}

// Finds the value of key in the first section of that name. false: no such
// key, or a key without "=" (both take the fallback).
bool FindValue(const ProfileText* profile, const WCHAR* section, const WCHAR* key, Span* value) {
  if (profile == nullptr || profile->pText == nullptr) return false;
  Span wantedSection = Trimmed(section), wantedKey = Trimmed(key);
  const WCHAR* cursor = profile->pText;
  const WCHAR* end = profile->pText + profile->nLength;
  bool inSection = false, sectionSeen = false;
  Span line;
  while (NextLine(&cursor, end, &line)) {
    if (line.length == 0) continue;
    Span name;
    if (SectionName(line, &name)) {
      // Only the first section of a name is searched; a later one is not.
      if (sectionSeen) return false;
      inSection = name.length > 0 && SameName(name, wantedSection.at, wantedSection.length);
      sectionSeen = inSection;
      continue;
    }
    if (!inSection) continue;
    const WCHAR* equals = wmemchr(line.at, L'=', line.length);
    Span keyName = {line.at, equals != nullptr ? static_cast<size_t>(equals - line.at) : line.length};
    while (keyName.length > 0 && IsBlank(keyName.at[keyName.length - 1])) --keyName.length;
    if (!SameName(keyName, wantedKey.at, wantedKey.length)) continue;
    if (equals == nullptr) return false;  // the first key of the name wins, even without a value
    const WCHAR* start = equals + 1;
    const WCHAR* stop = line.at + line.length;
    while (start < stop && IsBlank(*start)) ++start;
    *value = {start, static_cast<size_t>(stop - start)};
    return true;
  }
  return false;
}

void CopyCut(const WCHAR* text, size_t length, WCHAR* out, DWORD capacity) {
  if (capacity == 0) return;
  // The value ends at a zero character, as the profile function's copy does.
  const WCHAR* zero = wmemchr(text, L'\0', length);
  if (zero != nullptr) length = static_cast<size_t>(zero - text);
  if (length > capacity - 1) length = capacity - 1;
  wmemcpy(out, text, length);
  out[length] = L'\0';
}

// UTF-16 after its byte-order mark, in either byte order; an odd last byte
// is no character.
WCHAR* FromUtf16(const BYTE* file, DWORD size, bool bigEndian, size_t* length) {
  size_t units = (size - 2) / 2;
  WCHAR* text = new (std::nothrow) WCHAR[units + 1];
  if (text == nullptr) return nullptr;
  for (size_t i = 0; i < units; ++i) {
    BYTE first = file[2 + 2 * i], second = file[3 + 2 * i];
    text[i] = static_cast<WCHAR>(bigEndian ? (first << 8 | second) : (second << 8 | first));
  }
  *length = units;
  return text;
}

WCHAR* Widen(UINT codePage, const BYTE* bytes, DWORD size, size_t* length) {
  *length = 0;
  if (size == 0) return new (std::nothrow) WCHAR[1];
  int units = MultiByteToWideChar(codePage, 0, reinterpret_cast<const char*>(bytes), static_cast<int>(size), nullptr, 0);
  WCHAR* text = new (std::nothrow) WCHAR[units > 0 ? units + 1 : 1];
  if (text == nullptr || units <= 0) return text;
  MultiByteToWideChar(codePage, 0, reinterpret_cast<const char*>(bytes), static_cast<int>(size), text, units);
  *length = static_cast<size_t>(units);
  return text;
}

}  // namespace

int OpenProfileText(const BYTE* file, DWORD size, ProfileText* profile) {
  profile->pText = nullptr;
  profile->nLength = 0;
  if (file == nullptr) return 1;  // no file: every key takes its fallback
  static const BYTE kUtf8Mark[] = {0xEF, 0xBB, 0xBF};
  if (size >= 3 && memcmp(file, kUtf8Mark, 3) == 0)
    profile->pText = Widen(CP_UTF8, file + 3, size - 3, &profile->nLength);
  else if (size >= 2 && file[0] == 0xFF && file[1] == 0xFE)
    profile->pText = FromUtf16(file, size, false, &profile->nLength);
  else if (size >= 2 && file[0] == 0xFE && file[1] == 0xFF)
    profile->pText = FromUtf16(file, size, true, &profile->nLength);
  else
    profile->pText = Widen(CP_ACP, file, size, &profile->nLength);
  return profile->pText != nullptr ? 1 : 0;
}

void CloseProfileText(ProfileText* profile) {
  delete[] profile->pText;
  profile->pText = nullptr;
  profile->nLength = 0;
}

void GetProfileText(const ProfileText* profile, const WCHAR* section, const WCHAR* key, const WCHAR* fallback,
                    WCHAR* out, DWORD capacity) {
  Span value;
  if (!FindValue(profile, section, key, &value)) {
    CopyCut(fallback, wcslen(fallback), out, capacity);
    return;
  }
  // One pair of quotes around the whole value is dropped.
  if (value.length >= 2 && (value.at[0] == L'"' || value.at[0] == L'\'') && value.at[value.length - 1] == value.at[0]) {
    ++value.at;
    value.length -= 2;
  }
  CopyCut(value.at, value.length, out, capacity);
}

UINT GetProfileNumber(const ProfileText* profile, const WCHAR* section, const WCHAR* key, INT fallback) {
  WCHAR text[NUMBER_CAPACITY];
  GetProfileText(profile, section, key, L"", text, NUMBER_CAPACITY);
  if (text[0] == L'\0') return static_cast<UINT>(fallback);
  const WCHAR* p = text;
  while (*p != L'\0' && *p <= L' ') ++p;
  bool minus = false;
  if (*p == L'+' || *p == L'-') minus = *p++ == L'-';
  UINT base = 10;
  if (p[0] == L'0' && (p[1] == L'x' || p[1] == L'o' || p[1] == L'b')) {
    base = p[1] == L'x' ? 16 : p[1] == L'o' ? 8 : 2;
    p += 2;
  }
  UINT value = 0;
  for (;; ++p) {
    UINT digit = (*p >= L'0' && *p <= L'9') ? *p - L'0'
               : (*p >= L'a' && *p <= L'z') ? *p - L'a' + 10
               : (*p >= L'A' && *p <= L'Z') ? *p - L'A' + 10 : 99;
    if (digit >= base) break;
    value = value * base + digit;  // wraps as the system's conversion does
  }
  return minus ? 0u - value : value;
}
