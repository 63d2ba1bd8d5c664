// The program's one dialog: entry, message routing, initialisation, the drive
// list and device panel, completion and exit.
#pragma once

#include <windows.h>

#include <mutex>

#include "app/AppState.h"

constexpr UINT_PTR TIMER_RESCAN = 1000;
constexpr UINT RESCAN_DELAY_MS = 2000;

// The program entry after the platform is chosen: runs the dialog modally.
int RunKestrel(HINSTANCE instance);

INT_PTR CALLBACK DialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
void InitDialog(HWND hDlg);
void CenterWindow(HWND hwnd);

// Drive list and device panel.
extern volatile LONG RefreshGuard;
void RefreshDriveList(HWND hDlg, int initial);
void ShowDriveInfo(HWND hDlg, const DriveRecord* drive);
void OnDriveSelected(HWND hDlg);
// Held around every copy into SelectedDrive and around re-identification of
// it: the dialog thread and the worker both write it during a run.
std::recursive_mutex& SelectedDriveLock();
// The list's text for a drive: "%s (RAW)" or "%s [%s]".
void FormatDriveEntry(const DriveRecord* drive, WCHAR* text, size_t capacity);

// Update run and completion.
void OnRun(HWND hDlg);
void OnUpdateDone(HWND hDlg, LPARAM result);
int MapProgress(LPARAM percentage);
void RequestShutdown(UINT flags);

// Exit.
INT_PTR OnCancel(HWND hDlg);
void DeleteFolderFiles(const WCHAR* folder, const WCHAR* pattern);
