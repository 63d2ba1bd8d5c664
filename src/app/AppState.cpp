#include "app/AppState.h"

#include <sddl.h>

#include "app/Text.h"
#include "platform/Platform.h"

namespace {

AppState g_appState;

constexpr int LOG_LINE_CAPACITY = 1024;   // code units, terminator included
constexpr int LOG_TEXT_LIMIT = 1023;      // characters of the caller's formatted text
constexpr DWORD MAX_LOG_PATH = 1024;

HANDLE g_logFile = INVALID_HANDLE_VALUE;
SRWLOCK g_logFileLock = SRWLOCK_INIT;

// One WriteFile per line, so that lines of two threads, or of two copies
// appending to one file, never interleave.
void AppendToLogFile(const WCHAR* line) {
  FILETIME now;
  plat::GetSystemTimeAsFileTime(&now);
  SYSTEMTIME t = {};
  FileTimeToSystemTime(&now, &t);
  WCHAR stamped[LOG_LINE_CAPACITY + 32];
  size_t length = FormatText(stamped, L"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ %s\r\n", t.wYear, t.wMonth, t.wDay,
                             t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, line);
  char utf8[(LOG_LINE_CAPACITY + 32) * 3];
  int bytes = WideCharToMultiByte(CP_UTF8, 0, stamped, static_cast<int>(length), utf8, sizeof utf8, nullptr, nullptr);
  DWORD written = 0;
  if (bytes > 0) plat::WriteFile(g_logFile, utf8, static_cast<DWORD>(bytes), &written, nullptr);
}


void WriteLogLine(const WCHAR* prefix, const WCHAR* format, va_list args) {
  WCHAR line[LOG_LINE_CAPACITY];
  size_t used = 0;
  StringCchCopyW(line, LOG_LINE_CAPACITY, prefix);
  StringCchLengthW(line, LOG_LINE_CAPACITY, &used);
  size_t room = LOG_LINE_CAPACITY - used;
  if (room > LOG_TEXT_LIMIT + 1) room = LOG_TEXT_LIMIT + 1;
  FormatTextV(line + used, room, format, args);
  plat::OutputDebugStringW(line);
  AcquireSRWLockExclusive(&g_logFileLock);
  if (g_logFile != INVALID_HANDLE_VALUE) AppendToLogFile(line);
  ReleaseSRWLockExclusive(&g_logFileLock);
}

// "\\?\C:\x" and "\\?\UNC\server\x" as the paths they are.
const WCHAR* WithoutPrefix(const WCHAR* path, WCHAR* buffer, size_t capacity) {
  if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
    FormatText(buffer, capacity, L"\\\\%s", path + 8);
    return buffer;
  }
  return wcsncmp(path, L"\\\\?\\", 4) == 0 ? path + 4 : path;
}

// Why an open log file is no place to write: a folder, a link, another name
// of a file (a hard link), or a path that leads elsewhere; nullptr when none.
const WCHAR* JudgeLogFile(HANDLE file, const WCHAR* full) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!plat::GetFileInformationByHandle(file, &info)) return L"its kind cannot be read";
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return L"it is a folder";
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return L"it is a link";
  if (info.nNumberOfLinks > 1) return L"the file has other names (hard links)";
  WCHAR final[MAX_LOG_PATH], plain[MAX_LOG_PATH], fullPlain[MAX_LOG_PATH];
  DWORD length = plat::GetFinalPathNameByHandleW(file, final, MAX_LOG_PATH, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= MAX_LOG_PATH) return L"where it leads cannot be read";
  if (_wcsicmp(WithoutPrefix(final, plain, MAX_LOG_PATH), WithoutPrefix(full, fullPlain, MAX_LOG_PATH)) != 0)
    return L"its path leads elsewhere through a link";
  return nullptr;
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

namespace {

// A log folder that is not there yet is made for administrators and the
// system to write, and for users to read: one made by anybody else could
// be changed under the program.
constexpr WCHAR LOG_FOLDER_SECURITY[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FRFX;;;BU)";

void MakeLogFolder(const WCHAR* full) {
  WCHAR folder[MAX_LOG_PATH];
  StringCchCopyW(folder, MAX_LOG_PATH, full);
  WCHAR* slash = wcsrchr(folder, L'\\');
  if (slash == nullptr) return;
  *slash = L'\0';
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(LOG_FOLDER_SECURITY, SDDL_REVISION_1, &descriptor,
                                                            nullptr))
    return;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  if (plat::CreateDirectoryW(folder, &attributes)) LogLine(L"The log folder %s was made", folder);
  LocalFree(descriptor);
}

HANDLE OpenForAppending(const WCHAR* full) {
  // A link at the last step is opened as itself, never followed; a folder
  // opens too, so that it can be told apart and refused.
  return plat::CreateFileW(full, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

int OpenLogFile(const WCHAR* path, WCHAR* why, size_t capacity) {
  WCHAR full[MAX_LOG_PATH];
  DWORD length = GetFullPathNameW(path, MAX_LOG_PATH, full, nullptr);
  if (length == 0 || length >= MAX_LOG_PATH) {
    FormatText(why, capacity, L"the log file %s: the path cannot be used", path);
    return 0;
  }
  HANDLE file = OpenForAppending(full);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) {
    MakeLogFolder(full);
    file = OpenForAppending(full);
  }
  if (file == INVALID_HANDLE_VALUE) {
    FormatText(why, capacity, L"the log file %s cannot be opened (Windows error %lu)", full, GetLastError());
    return 0;
  }
  if (const WCHAR* refusal = JudgeLogFile(file, full)) {
    plat::CloseHandle(file);
    FormatText(why, capacity, L"the log file %s is refused: %s", full, refusal);
    return 0;
  }
  AcquireSRWLockExclusive(&g_logFileLock);
  HANDLE previous = g_logFile;
  g_logFile = file;
  ReleaseSRWLockExclusive(&g_logFileLock);
  if (previous != INVALID_HANDLE_VALUE) plat::CloseHandle(previous);
  return 1;
}

void CloseLogFile() {
  AcquireSRWLockExclusive(&g_logFileLock);
  HANDLE file = g_logFile;
  g_logFile = INVALID_HANDLE_VALUE;
  ReleaseSRWLockExclusive(&g_logFileLock);
  if (file != INVALID_HANDLE_VALUE) plat::CloseHandle(file);
}
