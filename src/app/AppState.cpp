#include "app/AppState.h"

#include "app/Text.h"
#include "platform/Platform.h"

namespace {

AppState g_appState;

constexpr int LOG_LINE_CAPACITY = 1024;   // code units, terminator included
constexpr int LOG_TEXT_LIMIT = 1023;      // characters of the caller's formatted text

void WriteLogLine(const WCHAR* prefix, const WCHAR* format, va_list args) {
  WCHAR line[LOG_LINE_CAPACITY];
  size_t used = 0;
  StringCchCopyW(line, LOG_LINE_CAPACITY, prefix);
  StringCchLengthW(line, LOG_LINE_CAPACITY, &used);
  size_t room = LOG_LINE_CAPACITY - used;
  if (room > LOG_TEXT_LIMIT + 1) room = LOG_TEXT_LIMIT + 1;
  FormatTextV(line + used, room, format, args);
  plat::OutputDebugStringW(line);
}

}  // namespace

AppState* GetAppState() { return &g_appState; }

int IsBusy() { return g_appState.hWorker != nullptr ? 1 : 0; }

void LogDetail(const WCHAR* format, ...) {
  if (g_appState.iDebugLog != 1) return;
  va_list args;
  va_start(args, format);
  WriteLogLine(L"[VX]          [middle] ", format, args);
  va_end(args);
}

void LogLine(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLogLine(L"[VX] ", format, args);
  va_end(args);
}

void ToggleDebugLog() {
  g_appState.iDebugLog = g_appState.iDebugLog == 1 ? 0 : 1;
  LogLine(L"Detail log %s (Ctrl+Shift+D)", g_appState.iDebugLog == 1 ? L"on" : L"off");
}
