// Updates that wait for the machine to restart: an image committed to a drive
// is remembered in the registry until the drive runs it, so that the next
// start knows whether it became active, and RUN never sends it twice.
#pragma once

#include <windows.h>

#include "discovery/DriveRecord.h"

// HKEY_LOCAL_MACHINE\SOFTWARE\Kestrel\Pending\<serial>: only administrators
// (and the system) may write there.
constexpr WCHAR PENDING_KEY[] = L"SOFTWARE\\Kestrel\\Pending";

enum PendingState : INT32 {
  PENDING_NONE = 0,
  PENDING_RESTART = 1,     // committed; the machine has not restarted since
  PENDING_POWER_OFF = 2,   // committed; it needs a full power-off, which has not come
  PENDING_NOT_ACTIVE = 3,  // the machine restarted, and the drive still runs the old firmware
};

// After a committed image: model, serial, the revision before, the package's
// firmware name, the image's version text, the reset it needs and the time.
// 0 (logged) when the record could not be written.
int RecordPendingUpdate(const DriveRecord* drive, INT32 reset, const WCHAR* firmwareName, const WCHAR* imageVersion);
// Sets the drive's iPending from its record, if it has one. A drive whose
// revision changed runs the new firmware: its record goes, and the log says so.
INT32 JudgePendingUpdate(DriveRecord* drive);
// The panel's firmware line: the revision, with what waits.
void FormatFirmwareLine(const DriveRecord* drive, WCHAR* text, size_t capacity);
// RUN's refusal for a drive whose update waits; nullptr when none does.
const WCHAR* PendingRefusal(INT32 state);
