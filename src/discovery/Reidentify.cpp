// Finding a drive again by its port id after it re-enumerated.
#include <cwchar>

#include "app/AppState.h"
#include "app/Text.h"
#include "discovery/Discovery.h"
#include "platform/Platform.h"
#include "transport/StorageDefs.h"

namespace {

constexpr DWORD TRY_PAUSE_MS = 1000;

enum class Probe { NotThere, Found, Failed };

// Probes the disks at the port id in turn. Drives behind one RST adapter
// share a port id: a disk whose serial number is not the record's is another
// drive, and is passed over.
Probe ProbeAtPort(INT32 iCmdType, INT64 portId, const WCHAR* serial, DriveRecord* probed) {
  Probe outcome = Probe::NotThere;
  for (int skip = 0;; ++skip) {
    HANDLE disk = OpenDiskByPortIDSkipping(iCmdType, portId, skip);
    if (disk == INVALID_HANDLE_VALUE) return outcome;
    STORAGE_DEVICE_NUMBER number = {};
    bool known = QueryDeviceNumber(disk, &number);
    plat::CloseHandle(disk);
    if (!known) continue;  // no path to probe: never another drive in its place
    WCHAR path[DRIVE_TEXT_CAPACITY];
    FormatText(path, L"\\\\.\\PhysicalDrive%d", number.DeviceNumber);
    if (GetDiskInfo(path, probed) != RES_SUCCESS) {
      outcome = Probe::Failed;
      continue;
    }
    if (serial[0] == L'\0' || wcscmp(probed->szSerial, serial) == 0) return Probe::Found;
    LogDetail(L"GetDiskInfoByPortID: %s is another drive (%s)", path, probed->szSerial);
  }
}

}  // namespace

int GetDiskInfoByPortID(DriveRecord* record, int tries) {
  const INT32 cmdType = record->iCmdType;
  const INT64 port = record->iPort;
  WCHAR serial[DRIVE_TEXT_CAPACITY];
  StringCchCopyW(serial, DRIVE_TEXT_CAPACITY, record->szSerial);
  LogDetail(L"GetDiskInfoByPortID IN, iCmdType = %d, iPort=%I64d", cmdType, port);
  for (int attempt = 0; attempt < tries; ++attempt) {
    DriveRecord probed;
    switch (ProbeAtPort(cmdType, port, serial, &probed)) {
      case Probe::Found:
        *record = probed;
        LogDetail(L"GetDiskInfoByPortID Success OUT");
        return 1;
      case Probe::Failed:
        // The drive is there but does not answer as a drive: the record
        // describes nothing usable any more.
        ZeroMemory(record, sizeof *record);
        return 0;
      case Probe::NotThere:
        plat::Sleep(TRY_PAUSE_MS);
        PostMessageW(GetAppState()->hDlg, WM_UPDATE_PROGRESS, 0, 100 * (attempt + 1) / tries);
        break;
    }
  }
  return 0;
}
