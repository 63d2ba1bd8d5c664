// The drop-down list of the drives the package may update, and the panel
// that shows the chosen one.
#include <cstring>
#include <string>

#include "app/Dialog.h"
#include "app/Pending.h"
#include "app/Text.h"
#include "discovery/Discovery.h"
#include "package/Package.h"
#include "resources/resource.h"
#include "transport/Transports.h"

#include <commctrl.h>

volatile LONG RefreshGuard = 0;

namespace {

constexpr size_t ENTRY_CAPACITY = 260;
const WCHAR* const kGenerations[] = {
    L"",
    L"PCIE Gen1 Signaling Speed (2.5 Gbps)",
    L"PCIE Gen2 Signaling Speed (5.0 Gbps)",
    L"PCIE Gen3 Signaling Speed (8.0 Gbps)",
    L"PCIE Gen4 Signaling Speed (16.0 Gbps)",
};
const int kPanelFields[] = {IDC_MODEL, IDC_SERIAL, IDC_INTERFACE, IDC_FIRMWARE, IDC_CAPACITY, IDC_STATUS};

LRESULT ListMessage(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam) {
  return SendDlgItemMessageW(hDlg, IDC_DRIVE_LIST, message, wParam, lParam);
}

// The same drive: the same port and, since drives behind one RST adapter
// share a port id, the same serial number.
bool SameDrive(const DriveRecord& a, const DriveRecord& b) {
  return a.iPort == b.iPort && wcscmp(a.szSerial, b.szSerial) == 0;
}

// The text the list showed for the chosen drive: re-identification leaves
// the record without its drive letters, the user saw them.
WCHAR g_shownText[ENTRY_CAPACITY] = L"";

void RememberShownText(HWND hDlg, LRESULT item) {
  if (ListMessage(hDlg, CB_GETLBTEXTLEN, item, 0) < static_cast<LRESULT>(ENTRY_CAPACITY))
    ListMessage(hDlg, CB_GETLBTEXT, item, reinterpret_cast<LPARAM>(g_shownText));
}

void AddDisconnectEntry(HWND hDlg, const WCHAR* selectedText) {
  WCHAR text[ENTRY_CAPACITY];
  FormatText(text, ENTRY_CAPACITY, L"%s - Disconnect", selectedText);
  LRESULT item = ListMessage(hDlg, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
  ListMessage(hDlg, CB_SETITEMDATA, item, GetAppState()->nDriveCount);
  ListMessage(hDlg, CB_SETCURSEL, item, 0);
}

// The last four characters of the serial number, blanks trimmed.
std::wstring SerialTail(const DriveRecord& drive) {
  std::wstring serial(drive.szSerial, wcsnlen(drive.szSerial, ARRAYSIZE(drive.szSerial)));
  serial.erase(serial.find_last_not_of(L' ') + 1);
  return serial.size() > 4 ? serial.substr(serial.size() - 4) : serial;
}

}  // namespace

namespace {
SRWLOCK g_selectedLock = SRWLOCK_INIT;
}  // namespace

void GetSelectedDrive(DriveRecord* drive) {
  AcquireSRWLockShared(&g_selectedLock);
  *drive = GetAppState()->SelectedDrive;
  ReleaseSRWLockShared(&g_selectedLock);
}

void SetSelectedDrive(const DriveRecord* drive) {
  AcquireSRWLockExclusive(&g_selectedLock);
  if (drive != nullptr) GetAppState()->SelectedDrive = *drive;
  else ZeroMemory(&GetAppState()->SelectedDrive, sizeof(DriveRecord));
  ReleaseSRWLockExclusive(&g_selectedLock);
}

void FormatDriveEntry(const DriveRecord* drive, WCHAR* text, size_t capacity) {
  if (drive->bRaw) FormatText(text, capacity, L"%s (RAW)", drive->szModel);
  else FormatText(text, capacity, L"%s [%s]", drive->szModel, drive->szDriveLetters);
}

void RefreshDriveList(HWND hDlg, int initial) {
  if (InterlockedCompareExchange(&RefreshGuard, 1, 0) != 0) return;
  AppState* app = GetAppState();
  WCHAR selectedText[ENTRY_CAPACITY] = L"";
  DriveRecord selected;
  GetSelectedDrive(&selected);
  if (initial) g_shownText[0] = L'\0';
  if (!initial) {
    if (g_shownText[0] != L'\0') StringCchCopyW(selectedText, ENTRY_CAPACITY, g_shownText);
    else FormatDriveEntry(&selected, selectedText, ENTRY_CAPACITY);
  }

  bool running = IsBusy() != 0 && selected.szDevicePath[0] != L'\0';
  UINT32 denied = 0;
  app->nDriveCount = ScanDisks(app->DriveTable, DRIVE_TABLE_SIZE, running ? &selected : nullptr, &denied);
  ListMessage(hDlg, CB_RESETCONTENT, 0, 0);
  bool accepted[DRIVE_TABLE_SIZE] = {};
  for (UINT32 i = 0; i < app->nDriveCount; ++i)
    accepted[i] = IsDriveAccepted(&app->DriveTable[i], app->szModelList, app->szSocId) != 0;
  int listed = 0;
  LRESULT found = CB_ERR;
  for (UINT32 i = 0; i < app->nDriveCount; ++i) {
    DriveRecord& drive = app->DriveTable[i];
    if (!accepted[i]) continue;
    JudgePendingUpdate(&drive);
    // Drives of one model are told apart by the end of their serial numbers,
    // or by their disk numbers when those are alike too.
    int twins = 0;
    for (UINT32 j = 0; j < app->nDriveCount; ++j)
      if (j != i && accepted[j] && wcscmp(app->DriveTable[j].szModel, drive.szModel) == 0)
        twins |= SerialTail(app->DriveTable[j]) == SerialTail(drive) ? 2 : 1;
    WCHAR text[ENTRY_CAPACITY];
    FormatDriveEntry(&drive, text, ENTRY_CAPACITY);
    size_t used = wcslen(text);
    if (twins & 2) FormatText(text + used, ENTRY_CAPACITY - used, L" (disk %u)", drive.iDeviceNumber);
    else if (twins) FormatText(text + used, ENTRY_CAPACITY - used, L" (serial \u2026%s)", SerialTail(drive).c_str());
    LRESULT item = ListMessage(hDlg, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    ListMessage(hDlg, CB_SETITEMDATA, item, i);
    if (SameDrive(drive, selected)) {
      SetSelectedDrive(&drive);
      found = item;
    }
    ++listed;
  }

  bool busy = IsBusy() != 0;
  if (listed > 0) {
    if (!busy) {
      LRESULT item = found != CB_ERR ? found : 0;
      ListMessage(hDlg, CB_SETCURSEL, item, 0);
      RememberShownText(hDlg, item);
      UINT32 index = static_cast<UINT32>(ListMessage(hDlg, CB_GETITEMDATA, item, 0));
      ShowDriveInfo(hDlg, &app->DriveTable[index]);
      if (found == CB_ERR) SetDlgItemTextW(hDlg, IDC_STATUS, L"");
      EnableWindow(GetDlgItem(hDlg, IDOK), TRUE);
    } else if (found != CB_ERR) {
      ListMessage(hDlg, CB_SETCURSEL, found, 0);
      RememberShownText(hDlg, found);
      DriveRecord shown;
      GetSelectedDrive(&shown);
      ShowDriveInfo(hDlg, &shown);
    } else {
      AddDisconnectEntry(hDlg, selectedText);
    }
  } else if (busy) {
    AddDisconnectEntry(hDlg, selectedText);
  } else {
    for (int id : kPanelFields) SetDlgItemTextW(hDlg, id, L"");
    // An empty list says why: nothing here this package updates, or disks
    // this process may not open.
    SetDlgItemTextW(hDlg, IDC_STATUS,
                    denied != 0 ? L"No drive that this package can update was found.\nRun the updater as administrator."
                                : L"No drive that this package can update was found.");
    if (denied != 0) LogLine(L"RefreshDriveList: %u disks could not be opened: access denied", denied);
    EnableWindow(GetDlgItem(hDlg, IDOK), FALSE);
  }
  InterlockedExchange(&RefreshGuard, 0);
}

int IsDriveListed(HWND hDlg) {
  LRESULT count = ListMessage(hDlg, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT index = ListMessage(hDlg, CB_GETITEMDATA, i, 0);
    if (index >= 0 && static_cast<UINT32>(index) < GetAppState()->nDriveCount) return 1;
  }
  return 0;
}

void ShowDriveInfo(HWND hDlg, const DriveRecord* drive) {
  SetDlgItemTextW(hDlg, IDC_MODEL, drive->szModel);
  SetDlgItemTextW(hDlg, IDC_SERIAL, drive->szSerial);
  WCHAR text[ENTRY_CAPACITY];
  FormatFirmwareLine(drive, text, ENTRY_CAPACITY);
  if (IsRunDrive(drive)) {
    size_t used = wcslen(text);
    FormatText(text + used, ENTRY_CAPACITY - used, L" \u2192 %s", GetAppState()->szRunNewVersion);
  }
  SetDlgItemTextW(hDlg, IDC_FIRMWARE, text);
  FormatText(text, L"%d GB", drive->iCapacityGB);
  SetDlgItemTextW(hDlg, IDC_CAPACITY, text);
  UINT64 port = static_cast<UINT64>(drive->iPort) % 100;
  const Transport* transport = FindTransport(drive->iCmdType);
  if (transport == nullptr) {
    text[0] = L'\0';
  } else if (transport->szLabel != nullptr) {
    FormatText(text, transport->szLabel, static_cast<int>(port));
  } else {
    const WCHAR* generation = drive->iLinkSpeed <= 4 ? kGenerations[drive->iLinkSpeed] : L"";
    FormatText(text, L"%s x %d", generation, drive->iLinkWidth);
  }
  SetDlgItemTextW(hDlg, IDC_INTERFACE, text);
}

void OnDriveSelected(HWND hDlg) {
  AppState* app = GetAppState();
  LRESULT item = ListMessage(hDlg, CB_GETCURSEL, 0, 0);
  LRESULT index = item == CB_ERR ? CB_ERR : ListMessage(hDlg, CB_GETITEMDATA, item, 0);
  // The disconnect entry names no listed drive: it counts as no selection.
  if (index == CB_ERR || index < 0 || static_cast<UINT32>(index) >= app->nDriveCount) {
    SetSelectedDrive(nullptr);
    return;
  }
  DriveRecord& entry = app->DriveTable[index];
  GetDiskInfoByPortID(&entry, 30);
  JudgePendingUpdate(&entry);
  SetSelectedDrive(&entry);
  RememberShownText(hDlg, item);
  ShowDriveInfo(hDlg, &entry);
  SetDlgItemTextW(hDlg, IDC_STATUS, L"");
  SendDlgItemMessageW(hDlg, IDC_PROGRESS, PBM_SETPOS, 0, 0);
}
