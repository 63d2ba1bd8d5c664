// What the lower floors (transports, discovery, the package) tell the
// application: log lines, how far a long step has come, and the system error
// of a device request that failed. None of the application's state is seen
// from here.
#pragma once

#include <windows.h>

// One line to the debugger channel and the log file; formats follow the
// Microsoft rules (%s wide, %I64d). LogDetail writes only while the detail
// log is on.
void LogDetail(const WCHAR* format, ...);
void LogLine(const WCHAR* format, ...);
// The share of the current phase done, 0 to 100: the dialog's bar moves,
// when there is a dialog.
void ReportProgress(UINT32 percentage);
// The system error of the last device request that failed, and what it
// was before a probe that must leave it as it was.
void ReportDeviceError(DWORD error);
DWORD LastDeviceError();
