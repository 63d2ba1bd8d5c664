// The program's one dialog: entry, message routing, initialisation, the drive
// list and device panel, completion and exit.
#pragma once

#include <windows.h>


#include "app/AppState.h"
#include "transport/CmdModel.h"

constexpr UINT_PTR TIMER_RESCAN = 1000;
constexpr UINT RESCAN_DELAY_MS = 2000;

// Marks the dialog, so that a second start can find it and bring it forward.
constexpr WCHAR KESTREL_WINDOW_PROP[] = L"Kestrel.FirmwareUpdater";

// The first call of each program's entry: from then on DLLs are searched for
// in the system folder only. 0 (logged) when Windows refuses.
int RestrictDllSearch();
// The program entry after the platform is chosen: runs the dialog modally;
// a second start while one runs brings the first forward and ends. A
// command line with switches runs unattended instead.
int RunKestrel(HINSTANCE instance, const WCHAR* commandLine = nullptr);
extern const WCHAR CONTROLS_MISSING_MESSAGE[];
// One copy at a time: GUARD_TAKEN with the guard's handle, GUARD_OTHER_COPY
// when a copy holds it, GUARD_UNAVAILABLE when it is held by something else
// or cannot be made (logged).
enum { GUARD_TAKEN = 1, GUARD_OTHER_COPY = 2, GUARD_UNAVAILABLE = 3 };
int TakeOneCopyGuard(HANDLE* guard);
extern const WCHAR GUARD_UNAVAILABLE_MESSAGE[];

INT_PTR CALLBACK DialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
// FALSE to a logoff, restart or shutdown while an update runs.
INT_PTR OnQueryEndSession(HWND hDlg);
void InitDialog(HWND hDlg);
// Ctrl+Shift+D flips the detail log. The key goes to whichever control has
// the focus, so the controls that can take it and the dialog all pass it here;
// 1 when the key was this one and was used.
int OnDebugLogKey(UINT message, WPARAM key);
void CenterWindow(HWND hwnd);

// Drive list and device panel.
extern volatile LONG RefreshGuard;
void RefreshDriveList(HWND hDlg, int initial);
void ShowDriveInfo(HWND hDlg, const DriveRecord* drive);
void OnDriveSelected(HWND hDlg);
// 1 when the list holds a drive, not only the disconnect entry.
int IsDriveListed(HWND hDlg);
// Every copy into and out of SelectedDrive goes through these: the dialog
// thread and the worker both write it during a run, and a copy must never
// interleave with another. nullptr clears it.
void GetSelectedDrive(DriveRecord* drive);
void SetSelectedDrive(const DriveRecord* drive);
// The list's text for a drive: "%s (RAW)" or "%s [%s]".
void FormatDriveEntry(const DriveRecord* drive, WCHAR* text, size_t capacity);

// Update run and completion.
constexpr INT32 RES_BAD_IMAGE = -6;  // the image could not be read whole, or is damaged
// The image was sent and committed, but the drive was not found again after
// its power cycle or reset: whether it runs the new firmware is unknown.
constexpr INT32 RES_NOT_FOUND_AGAIN = -9;
extern const WCHAR NOT_FOUND_AGAIN_MESSAGE[];
constexpr DWORD SETTLE_MS = 3000;
void OnRun(HWND hDlg);
// 1 for the drive RUN checked, while its run is asked for or goes on: the
// panel shows what it runs and what it is about to run.
int IsRunDrive(const DriveRecord* drive);
// RUN's refusal on a battery below a quarter of its charge.
extern const WCHAR BATTERY_LOW_MESSAGE[];
// RUN's judgement, shared with the unattended run: the battery rule, and the
// gates with the image they chose (nullptr when the drive may be updated;
// REFUSE_CURRENT when it needs nothing, REFUSE_DAMAGED for a damaged image).
int IsBatteryTooLow();
const WCHAR* JudgeGates(const DriveRecord& drive, WCHAR* image, WCHAR* version, WCHAR* text, size_t capacity);
extern const WCHAR REFUSE_CURRENT[];
extern const WCHAR REFUSE_DAMAGED[];
// What a checked drive will run: the package's firmware name, or with KEEP
// the image's version text (32 units).
void NextFirmwareName(const WCHAR* imageVersion, WCHAR* out, size_t capacity);
// The serial number without the blanks the drive pads it with.
void TrimmedSerial(const DriveRecord& drive, WCHAR* out, size_t capacity);
// A drive that passed the checks, updated on the calling thread without a
// dialog; the worker's result, with what the run learnt in AppState.
INT32 RunCheckedDrive(const DriveRecord& drive, const WCHAR* nextVersion);
int StartWorker(HWND hDlg, HANDLE* hWorker, LPTHREAD_START_ROUTINE proc);
DWORD WINAPI UpdateWorker(LPVOID hWorkerAddress);
INT32 FinishRun(HANDLE* hWorker, CmdContext* ctx, HANDLE hDrive, INT32 result);
void SetProgressRange(INT16 start, INT16 end, LPARAM percentage);
int MapProgress(LPARAM percentage);
// The bar at a position, and the status row naming the run's phase.
void ShowProgress(HWND hDlg, int position);
void WaitWithProgress(DWORD milliseconds);
void OnUpdateDone(HWND hDlg, LPARAM result);
// The closing text of a failed run, from what the run kept.
void FormatFailureMessage(const AppState* app, WCHAR* text, size_t capacity);
// The panel of the list's chosen entry, or of the selected drive when the
// list shows it disconnected.
void ShowChosenDrive(HWND hDlg);
// The reason a shutdown shows while a run holds it up; the system takes it
// only from the thread that made the dialog, so both run there.
extern const WCHAR SHUTDOWN_BLOCK_REASON[];
void HoldShutdown(HWND hDlg);
void ReleaseShutdown(HWND hDlg);
// 1 when Windows took the request; reason is one of the system's shutdown
// reason codes (0: none given).
int RequestShutdown(UINT flags, DWORD reason = 0);

// Exit.
INT_PTR OnCancel(HWND hDlg);
