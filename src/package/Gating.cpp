// Which drives a package lists, and whether a chosen drive may be updated.
#include <cstring>

#include "app/Log.h"
#include "app/Text.h"
#include "package/Package.h"

namespace {

constexpr size_t FIND_TEXT_CAPACITY = 1024;
constexpr size_t FIND_PATTERN_CAPACITY = 512;
constexpr size_t VERSION_CAPACITY = 32;
constexpr DWORD VERSION_WINDOW = 8;

bool IsVersionCharacter(BYTE c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Counts the dots of the 8-byte window that starts at data[start]; a byte
// outside the data stops the scan like any byte that is not part of a version.
int CountWindowDots(const BYTE* data, DWORD size, INT64 start) {
  int dots = 0;
  bool afterDot = false;
  for (DWORD i = 0; i < VERSION_WINDOW; ++i) {
    INT64 at = start + i;
    if (at < 0 || at >= static_cast<INT64>(size)) break;
    BYTE c = data[at];
    if (c == '.') {
      if (afterDot) break;
      ++dots;
      afterDot = true;
    } else if (IsVersionCharacter(c)) {
      afterDot = false;
    } else {
      break;
    }
  }
  return dots;
}

}  // namespace

void WrapListItem(const WCHAR* item, WCHAR* out, size_t capacity) { FormatText(out, capacity, L";%s;", item); }

int IsDriveAccepted(const DriveRecord* drive, const WCHAR* modelList, const WCHAR* socId) {
  LogLine(L"%s, %s", drive->szModel, modelList);
  if (modelList[0] != L'\0') {
    WCHAR wrapped[64];
    WrapListItem(drive->szModel, wrapped, 64);
    if (FindNoCase(modelList, wrapped) == nullptr) return 0;
  }
  if (wcscmp(socId, L"*") == 0) return 1;
  if (wcscmp(socId, L"VORTALEX") == 0 && drive->iSocId != 0) return 1;
  WCHAR id[16];
  FormatText(id, L"%04X", drive->iSocId);
  return wcscmp(socId, id) == 0 ? 1 : 0;
}

int IsFwRevisionAccepted(const WCHAR* fwRevision, const WCHAR* fwVersionList) {
  if (fwVersionList[0] == L'\0') return 1;
  WCHAR wrapped[64];
  WrapListItem(fwRevision, wrapped, 64);
  return FindNoCase(fwVersionList, wrapped) != nullptr ? 1 : 0;
}

int CheckInternalVersion(const WCHAR* driveVersion, int checkPart, const WCHAR* imageName) {
  WCHAR image[VERSION_CAPACITY] = L"";
  if (ReadImageVersion(imageName, image)) {
    WCHAR drive[VERSION_CAPACITY];
    StringCchCopyW(drive, VERSION_CAPACITY, driveVersion);
    int dots = 0;
    for (int j = 0; j < 8 && drive[j] != L'\0'; ++j) {
      if (drive[j] == L'.') ++dots;
      if (dots == checkPart) {
        drive[j] = L'\0';
        image[j] = L'\0';
        break;
      }
    }
    if (wcscmp(drive, image) == 0) return 1;
  }
  LogLine(L"DrvInfoVersion = %s, BinFWVersion = %s, iCheckPart = %d", driveVersion, image, checkPart);
  return 0;
}

int ReadImageVersion(const WCHAR* imageName, WCHAR* out) {
  const PackageItem* item = FindPackageItem(imageName);
  char version[VERSION_WINDOW + 1];
  if (item == nullptr || !FindVersionText(item->pData, item->dwSize, version)) return 0;
  FormatText(out, VERSION_CAPACITY, L"%S", version);
  return 1;
}

int FindVersionText(const BYTE* data, DWORD size, char* out) {
  out[0] = '\0';
  DWORD from = 0;
  while (from < size) {
    const void* hit = memchr(data + from, '.', size - from);
    if (hit == nullptr) break;
    DWORD dot = static_cast<DWORD>(static_cast<const BYTE*>(hit) - data);
    INT64 start = static_cast<INT64>(dot) - 1;
    if (CountWindowDots(data, size, start) == 3) {
      // Accepted windows lie inside the data: three dots need the window's
      // first bytes, and a byte past the end would have stopped the scan.
      for (DWORD i = 0; i < VERSION_WINDOW; ++i) {
        INT64 at = start + i;
        out[i] = at < static_cast<INT64>(size) ? static_cast<char>(data[at]) : '\0';
      }
      out[VERSION_WINDOW] = '\0';
      break;
    }
    from = dot + 7;
  }
  return out[0] != '\0' ? 1 : 0;
}

const WCHAR* FindNoCase(const WCHAR* text, const WCHAR* pattern) {
  WCHAR lowText[FIND_TEXT_CAPACITY];
  WCHAR lowPattern[FIND_PATTERN_CAPACITY];
  StringCchCopyW(lowText, FIND_TEXT_CAPACITY, text);
  StringCchCopyW(lowPattern, FIND_PATTERN_CAPACITY, pattern);
  CharLowerW(lowText);
  CharLowerW(lowPattern);
  const WCHAR* hit = wcsstr(lowText, lowPattern);
  return hit == nullptr ? nullptr : text + (hit - lowText);
}

namespace {

bool IsHiddenCharacter(WCHAR c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) ||                           // C0, DEL, C1
         c == 0x00AD || c == 0x061C || c == 0x180E ||                        // soft hyphen, Arabic mark, Mongolian separator
         (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||  // zero-width, line breaks, direction marks
         (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB);  // invisible, BOM, annotations
}

}  // namespace

void CleanDriveText(WCHAR* text, WCHAR replacement) {
  size_t to = 0;
  for (size_t from = 0; text[from] != L'\0'; ++from) {
    if (!IsHiddenCharacter(text[from])) text[to++] = text[from];
    else if (replacement != L'\0') text[to++] = replacement;
  }
  text[to] = L'\0';
}

void TrimBlanks(WCHAR* text) {
  size_t start = 0;
  while (text[start] == L' ' || text[start] == L'\t') ++start;
  size_t length = wcslen(text + start);
  memmove(text, text + start, (length + 1) * sizeof(WCHAR));
  while (length > 0 && (text[length - 1] == L' ' || text[length - 1] == L'\t')) text[--length] = L'\0';
}
