// The application's one global record, its private messages and the debug log.
#pragma once

#include <windows.h>

#include "app/Log.h"
#include "discovery/DriveRecord.h"

constexpr UINT WM_UPDATE_PROGRESS = 0x8030;  // lParam: percentage of the current phase
constexpr UINT WM_UPDATE_DONE = 0x8025;      // lParam: the run's result, 1 for success

constexpr int DRIVE_TABLE_SIZE = 26;

struct AppState {
  HWND hDlg;
  HANDLE hWorker;               // non-zero exactly while an update runs
  WCHAR szTitle[260];
  UINT32 nDriveCount;
  DriveRecord DriveTable[DRIVE_TABLE_SIZE];
  DriveRecord SelectedDrive;    // the user's choice; RUN and the worker use only this copy
  WCHAR szSocId[64];
  WCHAR szModelList[260];       // ";" + ModelName + ";" or empty
  WCHAR szFwVersionList[260];   // ";" + FWVersion + ";" or empty
  WCHAR szNewVersion[64];       // "KEEP" leaves the firmware name unchanged
  WCHAR szBeforeMessage[1024];
  WCHAR szAfterMessage[1024];
  BYTE PowerCtrl;               // 0 message only, 1 offer power-off, 2 offer restart
  INT32 iInternalFWVersionCheckPart;
  INT16 sProgressStart;         // the current phase's share of the bar, in percent
  INT16 sProgressEnd;
  DWORD dwLastError;            // system error of the last failed device request
  INT32 iDebugLog;              // 1 switches LogDetail on; Ctrl+Shift+D in the dialog flips it
  // What the last run learnt, written by the worker before it posts its end:
  // why it failed, and what its committed image needs before it runs.
  WCHAR szRunFailure[260];
  INT32 iRunReset;              // a ResetNeed
  INT32 iRunAdvice;             // a RunAdvice: what the person does next
  WCHAR szRunQuote[160];        // "<step>, <status>" for support, when the drive refused
  BYTE bRunCommitted;           // the drive took the image: it no longer runs only the old firmware
  WCHAR szRunNewVersion[64];    // what the checked drive is about to run, shown beside what it runs
};

// What a failed run tells the person to do next.
enum RunAdvice { ADVICE_CABLE = 0, ADVICE_DIRECT = 1, ADVICE_SUPPORT = 2, ADVICE_NEW_COPY = 3 };

AppState* GetAppState();
int IsBusy();

// Flips iDebugLog between 0 and 1 and says so in one LogLine.
void ToggleDebugLog();
// From now on every line, main and detail, is also appended to this file:
// UTF-8, one line per call, each with its UTC time. The file is refused (0,
// with why) when it is a folder, a link or reached through one, or has other
// names, and before anything is opened when the path names a device, a pipe,
// a stream or a reserved name ("NUL"): an elevated program must write, and
// make files and folders, only where it was told.
int OpenLogFile(const WCHAR* path, WCHAR* why, size_t capacity);
void CloseLogFile();
