// The package's configuration file, read from its bytes into the application state.
#include <cstring>

#include "app/AppState.h"
#include "app/Text.h"
#include "package/Package.h"

namespace {

constexpr size_t REPLACE_AREA = 1000;
constexpr size_t LIST_READ_CAPACITY = 260;

// A list key is stored wrapped in ";" only when it holds something.
void ReadList(const ProfileText* profile, const WCHAR* key, WCHAR* target, size_t capacity) {
  WCHAR value[LIST_READ_CAPACITY];
  GetProfileText(profile, PACKAGE_SECTION, key, L"", value, LIST_READ_CAPACITY);
  target[0] = L'\0';
  if (value[0] != L'\0') FormatText(target, capacity, L";%s;", value);
}

}  // namespace

void LoadPackageConfig(const BYTE* file, DWORD size) {
  AppState* app = GetAppState();
  ProfileText profile;
  if (!OpenProfileText(file, size, &profile)) LogLine(L"LoadPackageConfig: no memory for the configuration");
  const ProfileText* p = &profile;
  GetProfileText(p, PACKAGE_SECTION, L"TITLE", L"Package Error", app->szTitle, ARRAYSIZE(app->szTitle));
  SetWindowTextW(app->hDlg, app->szTitle);
  GetProfileText(p, PACKAGE_SECTION, L"SOCID", L"", app->szSocId, ARRAYSIZE(app->szSocId));
  ReadList(p, L"ModelName", app->szModelList, ARRAYSIZE(app->szModelList));
  ReadList(p, L"FWVersion", app->szFwVersionList, ARRAYSIZE(app->szFwVersionList));
  GetProfileText(p, PACKAGE_SECTION, L"NEWVERSION", L"", app->szNewVersion, ARRAYSIZE(app->szNewVersion));
  app->iInternalFWVersionCheckPart =
      static_cast<INT32>(GetProfileNumber(p, PACKAGE_SECTION, L"iInternalFWVersionCheckPart", 3));
  GetProfileText(p, PACKAGE_SECTION, L"BeforeMessage", L"", app->szBeforeMessage, ARRAYSIZE(app->szBeforeMessage));
  ReplaceAll(app->szBeforeMessage, L"<BR>", L"\r\n");
  GetProfileText(p, PACKAGE_SECTION, L"AfterMessage", L"", app->szAfterMessage, ARRAYSIZE(app->szAfterMessage));
  ReplaceAll(app->szAfterMessage, L"<BR>", L"\r\n");
  app->PowerCtrl = static_cast<BYTE>(GetProfileNumber(p, PACKAGE_SECTION, L"PowerCtrl", 0) & 0xFF);
  CloseProfileText(&profile);
}

void ReplaceAll(WCHAR* text, const WCHAR* pattern, const WCHAR* replacement) {
  size_t patternLength = wcslen(pattern);
  if (patternLength == 0) return;
  // A text longer than the working area is cut to fit it.
  WCHAR area[REPLACE_AREA];
  StringCchCopyW(area, REPLACE_AREA, text);
  if (wcsstr(area, pattern) == nullptr) return;
  WCHAR next[REPLACE_AREA];
  size_t from = 0;
  const WCHAR* hit;
  while ((hit = wcsstr(area + from, pattern)) != nullptr) {
    size_t at = static_cast<size_t>(hit - area);
    FormatText(next, REPLACE_AREA, L"%.*s%s%s", static_cast<int>(at), area, replacement, hit + patternLength);
    // Search on after the replacement, so one that holds the pattern ends too.
    from = at + wcslen(replacement);
    StringCchCopyW(area, REPLACE_AREA, next);
    if (from >= wcslen(area)) break;
  }
  StringCchCopyW(text, REPLACE_AREA, area);
}
