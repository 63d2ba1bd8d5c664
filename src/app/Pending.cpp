// Remembering an update until the drive runs it: a record per drive in the
// registry, read through the platform seam.
#include "app/Pending.h"

#include <sddl.h>

#include <cwchar>

#include "app/AppState.h"
#include "app/Text.h"
#include "platform/Platform.h"
#include "transport/CmdModel.h"

namespace {

constexpr DWORD TEXT_CAPACITY = 64;
// Administrators and the system may change the records; users may read them.
constexpr WCHAR PENDING_SECURITY[] = L"D:P(A;OICI;KA;;;BA)(A;OICI;KA;;;SY)(A;OICI;KR;;;BU)";

// The record's key below PENDING_KEY: the serial number without its blanks,
// with nothing that could name another key; the name also heads log lines.
bool RecordKey(const DriveRecord* drive, WCHAR* key, size_t capacity, WCHAR* name /* DRIVE_TEXT_CAPACITY */) {
  WCHAR serial[DRIVE_TEXT_CAPACITY];
  StringCchCopyW(serial, DRIVE_TEXT_CAPACITY, drive->szSerial);
  size_t length = wcslen(serial);
  while (length > 0 && serial[length - 1] == L' ') serial[--length] = L'\0';
  const WCHAR* start = serial;
  while (*start == L' ') ++start;
  if (*start == L'\0') return false;
  for (WCHAR* c = serial; *c; ++c)
    if (*c == L'\\' || *c == L'/') *c = L'_';
  StringCchCopyW(name, DRIVE_TEXT_CAPACITY, start);
  FormatText(key, capacity, L"%s\\%s", PENDING_KEY, start);
  return true;
}

ULONGLONG FileTimeNow() {
  FILETIME now;
  plat::GetSystemTimeAsFileTime(&now);
  return static_cast<ULONGLONG>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}

// When the machine last started, on the wall clock.
ULONGLONG BootTime() { return FileTimeNow() - plat::GetTickCount64() * 10000; }

bool SetText(HKEY key, const WCHAR* name, const WCHAR* value) {
  DWORD size = static_cast<DWORD>((wcslen(value) + 1) * sizeof(WCHAR));
  return plat::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), size) == ERROR_SUCCESS;
}

// A text value of the record, terminated whatever the registry holds.
bool GetText(HKEY key, const WCHAR* name, WCHAR* value, DWORD capacity) {
  DWORD type = 0, size = (capacity - 1) * sizeof(WCHAR);
  value[0] = L'\0';
  if (plat::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return false;
  value[size / sizeof(WCHAR) < capacity ? size / sizeof(WCHAR) : capacity - 1] = L'\0';
  return true;
}

bool GetNumber(HKEY key, const WCHAR* name, DWORD type, void* value, DWORD size) {
  DWORD found = 0, got = size;
  return plat::RegQueryValueExW(key, name, nullptr, &found, static_cast<BYTE*>(value), &got) == ERROR_SUCCESS &&
         found == type && got == size;
}

}  // namespace

int RecordPendingUpdate(const DriveRecord* drive, INT32 reset, const WCHAR* firmwareName, const WCHAR* imageVersion) {
  WCHAR path[MAX_PATH], serial[DRIVE_TEXT_CAPACITY];
  if (!RecordKey(drive, path, MAX_PATH, serial)) {
    LogLine(L"Pending update of %s not recorded: the drive has no serial number", drive->szModel);
    return 0;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(PENDING_SECURITY, SDDL_REVISION_1, &descriptor, nullptr);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  HKEY key = nullptr;
  LSTATUS status = plat::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_WRITE | KEY_WOW64_64KEY, descriptor != nullptr ? &attributes : nullptr,
                                         &key, nullptr);
  if (descriptor != nullptr) LocalFree(descriptor);
  if (status != ERROR_SUCCESS) {
    LogLine(L"Pending update of %s not recorded (registry error %ld)", serial, status);
    return 0;
  }
  DWORD need = static_cast<DWORD>(reset);
  ULONGLONG now = FileTimeNow();
  bool written = SetText(key, L"Model", drive->szModel) && SetText(key, L"Serial", drive->szSerial) &&
                 SetText(key, L"RevisionBefore", drive->szFwRevision) && SetText(key, L"FirmwareName", firmwareName) &&
                 SetText(key, L"ImageVersion", imageVersion) &&
                 plat::RegSetValueExW(key, L"Reset", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&need), sizeof need) ==
                     ERROR_SUCCESS &&
                 plat::RegSetValueExW(key, L"Time", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&now), sizeof now) ==
                     ERROR_SUCCESS;
  plat::RegCloseKey(key);
  if (!written) LogLine(L"Pending update of %s: the record could not be written whole", serial);
  else LogLine(L"Pending update of %s recorded: %s until %s", serial, drive->szFwRevision, ResetNeedName(reset));
  return written ? 1 : 0;
}

INT32 JudgePendingUpdate(DriveRecord* drive) {
  drive->iPending = PENDING_NONE;
  WCHAR path[MAX_PATH], serial[DRIVE_TEXT_CAPACITY];
  HKEY key = nullptr;
  if (!RecordKey(drive, path, MAX_PATH, serial) ||
      plat::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return PENDING_NONE;
  WCHAR model[TEXT_CAPACITY], before[TEXT_CAPACITY];
  DWORD reset = RESET_NEXT;
  ULONGLONG time = 0;
  bool whole = GetText(key, L"Model", model, TEXT_CAPACITY) && GetText(key, L"RevisionBefore", before, TEXT_CAPACITY) &&
               GetNumber(key, L"Reset", REG_DWORD, &reset, sizeof reset) &&
               GetNumber(key, L"Time", REG_QWORD, &time, sizeof time);
  plat::RegCloseKey(key);
  // A record of another model under this serial, or one not whole, is no
  // record of this drive's update.
  if (!whole || wcscmp(model, drive->szModel) != 0) return PENDING_NONE;
  if (wcscmp(before, drive->szFwRevision) != 0) {
    plat::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0);
    LogLine(L"%s: the new firmware is active (%s \x2192 %s)", serial, before, drive->szFwRevision);
    return PENDING_NONE;
  }
  if (BootTime() > time) drive->iPending = PENDING_NOT_ACTIVE;
  else drive->iPending = reset == RESET_SUBSYSTEM ? PENDING_POWER_OFF : PENDING_RESTART;
  return drive->iPending;
}

void FormatFirmwareLine(const DriveRecord* drive, WCHAR* text, size_t capacity) {
  switch (drive->iPending) {
    case PENDING_RESTART:
      FormatText(text, capacity, L"%s (new firmware waiting for restart)", drive->szFwRevision);
      break;
    case PENDING_POWER_OFF:
      FormatText(text, capacity, L"%s (new firmware waiting for a full shutdown)", drive->szFwRevision);
      break;
    case PENDING_NOT_ACTIVE:
      FormatText(text, capacity, L"%s (new firmware not active)", drive->szFwRevision);
      break;
    default:
      FormatText(text, capacity, L"%s", drive->szFwRevision);
      break;
  }
}

const WCHAR* PendingRefusal(INT32 state) {
  switch (state) {
    case PENDING_RESTART:
      return L"The new firmware of this drive is waiting for the computer to restart.\n"
             L"Restart the computer to finish the update.";
    case PENDING_POWER_OFF:
      return L"The new firmware of this drive is waiting for the computer to shut down fully.\n"
             L"Shut the computer down fully, wait ten seconds, and start it again.";
    case PENDING_NOT_ACTIVE:
      return L"The new firmware did not become active after the restart.\n"
             L"Shut the computer down fully, wait ten seconds, and start it again.";
    default:
      return nullptr;
  }
}
