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

// "\\?\C:\x" and "\\?\UNC\server\x" as the paths they are, without a last
// backslash (a root's included).
void PlainPath(const WCHAR* path, WCHAR* buffer, size_t capacity) {
  if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) FormatText(buffer, capacity, L"\\\\%s", path + 8);
  else StringCchCopyW(buffer, capacity, wcsncmp(path, L"\\\\?\\", 4) == 0 ? path + 4 : path);
  size_t length = wcslen(buffer);
  if (length > 0 && buffer[length - 1] == L'\\') buffer[length - 1] = L'\0';
}

// Why an open file or folder of the log is no place to write: a link,
// another name of a file (a hard link), or a path that leads elsewhere;
// nullptr when none.
const WCHAR* JudgeOpened(HANDLE file, const WCHAR* full, bool folder) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!plat::GetFileInformationByHandle(file, &info)) return L"its kind cannot be read";
  bool isFolder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (folder && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return L"its path leads elsewhere through a link";
  if (folder && !isFolder) return L"its folder is a file";
  if (!folder && isFolder) return L"it is a folder";
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return L"it is a link";
  if (!folder && info.nNumberOfLinks > 1) return L"the file has other names (hard links)";
  WCHAR final[MAX_LOG_PATH], plain[MAX_LOG_PATH], fullPlain[MAX_LOG_PATH];
  DWORD length = plat::GetFinalPathNameByHandleW(file, final, MAX_LOG_PATH, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= MAX_LOG_PATH) return L"where it leads cannot be read";
  PlainPath(final, plain, MAX_LOG_PATH);
  PlainPath(full, fullPlain, MAX_LOG_PATH);
  if (_wcsicmp(plain, fullPlain) != 0) return L"its path leads elsewhere through a link";
  return nullptr;
}

// A name Windows keeps for a device in every folder ("NUL", "aux.log",
// "COM1"): such a path reaches the device, not a file.
bool IsReservedName(const WCHAR* name, size_t length) {
  size_t stem = 0;
  while (stem < length && name[stem] != L'.') ++stem;
  while (stem > 0 && name[stem - 1] == L' ') --stem;
  WCHAR text[8] = L"";
  if (stem == 0 || stem >= ARRAYSIZE(text)) return false;
  StringCchCopyNW(text, ARRAYSIZE(text), name, stem);
  static const WCHAR* const KEPT[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const WCHAR* kept : KEPT)
    if (_wcsicmp(text, kept) == 0) return true;
  WCHAR digit = text[3];
  return stem == 4 && (_wcsnicmp(text, L"COM", 3) == 0 || _wcsnicmp(text, L"LPT", 3) == 0) &&
         ((digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3');
}

// One step of a path up to the next backslash: a plain name, no stream
// (":"), no wildcard, not "." or "..".
size_t PlainStep(const WCHAR* step) {
  size_t length = 0;
  for (; step[length] != L'\0' && step[length] != L'\\'; ++length)
    if (step[length] < L' ' || wcschr(L":*?\"<>|/", step[length]) != nullptr) return 0;
  if (length == 0 || wcsncmp(step, L".", length) == 0 || wcsncmp(step, L"..", length) == 0) return 0;
  return length;
}

// The length of the root of a full path that names a file on a drive or a
// share ("C:\", "\\server\share\", and their "\\?\" forms), each step after
// it plain and no reserved name; 0 for anything else: a device
// ("\\.\PhysicalDrive0", "\\?\GLOBALROOT\...", a pipe, a volume), a stream.
size_t PlainRootLength(const WCHAR* full) {
  size_t root = 0;
  bool share = false;
  if (wcsncmp(full, L"\\\\?\\UNC\\", 8) == 0) root = 8, share = true;
  else if (wcsncmp(full, L"\\\\?\\", 4) == 0) root = 4;
  else if (wcsncmp(full, L"\\\\", 2) == 0) root = 2, share = true;
  if (share) {
    size_t server = PlainStep(full + root);
    if (server == 0 || full[root + server] != L'\\') return 0;
    const WCHAR* name = full + root + server + 1;
    size_t shared = PlainStep(name);
    // \\server\pipe\ and \\server\mailslot\ are pipes and mailslots, not files.
    if (shared == 0 || name[shared] != L'\\' || (shared == 4 && _wcsnicmp(name, L"pipe", 4) == 0) ||
        (shared == 8 && _wcsnicmp(name, L"mailslot", 8) == 0))
      return 0;
    root += server + 1 + shared + 1;
  } else {
    WCHAR drive = full[root] | 0x20;
    if (drive < L'a' || drive > L'z' || full[root + 1] != L':' || full[root + 2] != L'\\') return 0;
    root += 3;
  }
  for (const WCHAR* step = full + root;; ++step) {
    size_t length = PlainStep(step);
    if (length == 0 || IsReservedName(step, length)) return 0;
    step += length;
    if (*step == L'\0') return root;
  }
}

// The folder of a path below a root, a root keeping its backslash.
size_t FolderLength(const WCHAR* path, size_t root) {
  size_t folder = static_cast<size_t>(wcsrchr(path, L'\\') - path);
  return folder + 1 <= root ? root : folder;
}

// A folder of the log opened as itself (a link at its last step is not
// followed), and judged by where the handle leads; what it is reached through
// is never read again. INVALID_HANDLE_VALUE when it cannot be opened or is
// refused (refusal says why).
HANDLE OpenLogFolder(const WCHAR* path, size_t length, const WCHAR** refusal) {
  WCHAR folder[MAX_LOG_PATH];
  StringCchCopyNW(folder, MAX_LOG_PATH, path, length);
  HANDLE handle = plat::CreateFileW(folder, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT |
                                        SECURITY_IDENTIFICATION,
                                    nullptr);
  if (handle == INVALID_HANDLE_VALUE) return handle;
  *refusal = JudgeOpened(handle, folder, true);
  if (*refusal == nullptr) return handle;
  plat::CloseHandle(handle);
  return INVALID_HANDLE_VALUE;
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

void ReportProgress(UINT32 percentage) {
  if (HWND hDlg = g_appState.hDlg) PostMessageW(hDlg, WM_UPDATE_PROGRESS, 0, percentage);
}

void ReportDeviceError(DWORD error) { g_appState.dwLastError = error; }

DWORD LastDeviceError() { return g_appState.dwLastError; }

void ToggleDebugLog() {
  g_appState.iDebugLog = g_appState.iDebugLog == 1 ? 0 : 1;
  LogLine(L"Detail log %s (Ctrl+Shift+D)", g_appState.iDebugLog == 1 ? L"on" : L"off");
}

namespace {

// A log folder that is not there yet is made for administrators and the
// system to write, and for users to read: one made by anybody else could
// be changed under the program.
constexpr WCHAR LOG_FOLDER_SECURITY[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FRFX;;;BU)";

// Made inside its parent, judged first as the log's own folder is: never at
// the end of a link. A refusal of the parent, or nullptr.
const WCHAR* MakeLogFolder(const WCHAR* folder, size_t length, size_t root) {
  if (length <= root) return nullptr;
  WCHAR path[MAX_LOG_PATH];
  StringCchCopyNW(path, MAX_LOG_PATH, folder, length);
  const WCHAR* refusal = nullptr;
  HANDLE parent = OpenLogFolder(path, FolderLength(path, root), &refusal);
  if (parent == INVALID_HANDLE_VALUE) return refusal;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(LOG_FOLDER_SECURITY, SDDL_REVISION_1, &descriptor,
                                                           nullptr)) {
    HANDLE made = plat::CreateFileInFolder(parent, wcsrchr(path, L'\\') + 1, FILE_LIST_DIRECTORY, TRUE, descriptor);
    if (made != INVALID_HANDLE_VALUE) {
      LogLine(L"The log folder %s was made", path);
      plat::CloseHandle(made);
    }
    LocalFree(descriptor);
  }
  plat::CloseHandle(parent);
  return nullptr;
}

}  // namespace

int OpenLogFile(const WCHAR* path, WCHAR* why, size_t capacity) {
  WCHAR full[MAX_LOG_PATH];
  DWORD length = GetFullPathNameW(path, MAX_LOG_PATH, full, nullptr);
  if (length == 0 || length >= MAX_LOG_PATH) {
    FormatText(why, capacity, L"the log file %s: the path cannot be used", path);
    return 0;
  }
  // Judged before anything is opened: opening a device can be enough to
  // change it, or to lend the program's rights to whoever serves it.
  size_t root = PlainRootLength(full);
  if (root == 0) {
    FormatText(why, capacity, L"the log file %s is refused: it names no file on a drive or a share", full);
    return 0;
  }
  size_t folderLength = FolderLength(full, root);
  const WCHAR* refusal = nullptr;
  HANDLE folder = OpenLogFolder(full, folderLength, &refusal);
  DWORD error = GetLastError();
  if (folder == INVALID_HANDLE_VALUE && refusal == nullptr &&
      (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
    refusal = MakeLogFolder(full, folderLength, root);
    if (refusal == nullptr) folder = OpenLogFolder(full, folderLength, &refusal);
    error = GetLastError();
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  if (folder != INVALID_HANDLE_VALUE) {
    file = plat::CreateFileInFolder(folder, wcsrchr(full, L'\\') + 1, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FALSE,
                                    nullptr);
    error = GetLastError();
    plat::CloseHandle(folder);
  }
  if (file != INVALID_HANDLE_VALUE) {
    refusal = JudgeOpened(file, full, false);
    if (refusal != nullptr) {
      plat::CloseHandle(file);
      file = INVALID_HANDLE_VALUE;
    }
  }
  if (refusal != nullptr) {
    FormatText(why, capacity, L"the log file %s is refused: %s", full, refusal);
    return 0;
  }
  if (file == INVALID_HANDLE_VALUE) {
    FormatText(why, capacity, L"the log file %s cannot be opened (Windows error %lu)", full, error);
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
