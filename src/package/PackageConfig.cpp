// The package's configuration file, read into the application state.
#include <cstring>

#include "app/AppState.h"
#include "app/Text.h"
#include "package/Package.h"

namespace {

constexpr size_t REPLACE_AREA = 1000;
constexpr size_t LIST_READ_CAPACITY = 260;

void ReadText(const WCHAR* key, const WCHAR* fallback, WCHAR* target, DWORD capacity, const WCHAR* path) {
  GetPrivateProfileStringW(PACKAGE_SECTION, key, fallback, target, capacity, path);
}

// A list key is stored wrapped in ";" only when it holds something.
void ReadList(const WCHAR* key, WCHAR* target, size_t capacity, const WCHAR* path) {
  WCHAR value[LIST_READ_CAPACITY];
  ReadText(key, L"", value, LIST_READ_CAPACITY, path);
  target[0] = L'\0';
  if (value[0] != L'\0') FormatText(target, capacity, L";%s;", value);
}

}  // namespace

void LoadPackageConfig(const WCHAR* configPath) {
  AppState* app = GetAppState();
  ReadText(L"TITLE", L"Package Error", app->szTitle, ARRAYSIZE(app->szTitle), configPath);
  SetWindowTextW(app->hDlg, app->szTitle);
  ReadText(L"SOCID", L"", app->szSocId, ARRAYSIZE(app->szSocId), configPath);
  ReadList(L"ModelName", app->szModelList, ARRAYSIZE(app->szModelList), configPath);
  ReadList(L"FWVersion", app->szFwVersionList, ARRAYSIZE(app->szFwVersionList), configPath);
  ReadText(L"NEWVERSION", L"", app->szNewVersion, ARRAYSIZE(app->szNewVersion), configPath);
  app->iInternalFWVersionCheckPart =
      static_cast<INT32>(GetPrivateProfileIntW(PACKAGE_SECTION, L"iInternalFWVersionCheckPart", 3, configPath));
  ReadText(L"BeforeMessage", L"", app->szBeforeMessage, ARRAYSIZE(app->szBeforeMessage), configPath);
  ReplaceAll(app->szBeforeMessage, L"<BR>", L"\r\n");
  ReadText(L"AfterMessage", L"", app->szAfterMessage, ARRAYSIZE(app->szAfterMessage), configPath);
  ReplaceAll(app->szAfterMessage, L"<BR>", L"\r\n");
  app->PowerCtrl = static_cast<BYTE>(GetPrivateProfileIntW(PACKAGE_SECTION, L"PowerCtrl", 0, configPath) & 0xFF);
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
