// The command line: an administrator's or a deployment tool's run, with no
// window, read by its exit code, its console lines and its log file.
#pragma once

#include <windows.h>

#include "app/AppState.h"

enum CommandMode : INT32 {
  MODE_DIALOG = 0,  // no switch: the dialog program
  MODE_LIST = 1,
  MODE_UPDATE = 2,
  MODE_STATUS = 3,
  MODE_HELP = 4,
};

constexpr UINT32 MAX_SERIALS = DRIVE_TABLE_SIZE;
constexpr size_t LOG_PATH_CAPACITY = 1024;

struct CommandLine {
  INT32 iMode;
  BOOL bAll;
  BOOL bForceRestart;
  UINT32 nSerials;
  WCHAR szSerials[MAX_SERIALS][DRIVE_TEXT_CAPACITY];
  WCHAR szLogFile[LOG_PATH_CAPACITY];
};

// The codes deployment tools act on, with Windows Installer's meanings.
constexpr int EXIT_DONE = 0;               // updated and running, or nothing to do
constexpr int EXIT_NOT_CURRENT = 1;        // /status: a drive does not run the package's firmware
constexpr int EXIT_BAD_COMMAND_LINE = 87;  // ERROR_INVALID_PARAMETER
constexpr int EXIT_ON_BATTERY = 1602;      // refused by the battery rule: retry on mains
constexpr int EXIT_FAILED = 1603;
constexpr int EXIT_ANOTHER_COPY = 1618;    // retried later by the tool
constexpr int EXIT_PACKAGE_DAMAGED = 1620;
constexpr int EXIT_RESTART_STARTED = 1641;
constexpr int EXIT_RESTART_NEEDED = 3010;

// The longest a download may take in an unattended run; the whole update
// of a drive ends well within a deployment tool's hour.
constexpr DWORD UNATTENDED_DOWNLOAD_LIMIT_SECONDS = 20 * 60;

extern const WCHAR USAGE_TEXT[];

// Switches are "/" or "-" and a name in any case; a value is the next word
// (quoted as Windows quotes arguments). 1 when understood (MODE_DIALOG for a
// line without any), else 0 with why.
int ParseCommandLine(const WCHAR* text, CommandLine* line, WCHAR* why, size_t capacity);
// Of two exit codes, the one a tool must act on: a damaged package, then a
// failure, the battery, a restart, nothing.
int WorseExit(int a, int b);
// Runs what the line asks for, never showing a window (but /? without a
// console); the exit code.
int RunCommandLine(const CommandLine& line);
// The command line of wWinMain: the dialog (MODE_DIALOG, returned as -1 so
// that the caller runs it), or the unattended run's exit code.
int RunFromCommandLine(const WCHAR* text);
