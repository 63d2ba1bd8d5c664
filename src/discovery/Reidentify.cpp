// Finding a drive again by its port id after it re-enumerated.
#include <cwchar>

#include "app/Log.h"
#include "app/Text.h"
#include "discovery/Discovery.h"
#include "platform/Platform.h"
#include "transport/WireFormats.h"
#include "transport/StorageDefs.h"

namespace {

constexpr DWORD TRY_PAUSE_MS = 1000;

enum class Probe { NotThere, Found, Failed };

// Probes the disks at the port id in turn. Drives behind one RST adapter
// share a port id: a disk whose serial number is not the record's is another
// drive, and is passed over.
Probe ProbeAtPort(INT32 iCmdType, INT64 portId, const WCHAR* serial, DriveRecord* probed) {
  TreeSnapshot tree;  // one reading of the device tree per attempt
  Probe outcome = Probe::NotThere;
  for (DWORD next = 0;;) {
    HANDLE disk = OpenNextDiskByPortID(tree, iCmdType, portId, &next);
    if (disk == INVALID_HANDLE_VALUE) return outcome;
    STORAGE_DEVICE_NUMBER number = {};
    bool known = QueryDeviceNumber(disk, &number);
    plat::CloseHandle(disk);
    if (!known) continue;  // no path to probe: never another drive in its place
    WCHAR path[DRIVE_TEXT_CAPACITY];
    FormatText(path, L"\\\\.\\PhysicalDrive%d", number.DeviceNumber);
    if (GetDiskInfo(tree, path, probed) != RES_SUCCESS) {
      outcome = Probe::Failed;
      continue;
    }
    if (serial[0] == L'\0' || wcscmp(probed->szSerial, serial) == 0) return Probe::Found;
    LogDetail(L"GetDiskInfoByPortID: %s is another drive (%s)", path, probed->szSerial);
  }
}

}  // namespace

int GetDiskInfoByPortID(DriveRecord* record, int tries) {
  // A cleared slot names no drive; its port id 0 is a real one.
  if (record->szDevicePath[0] == L'\0') return 0;
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
        ReportProgress(100 * (attempt + 1) / tries);
        break;
    }
  }
  return 0;
}

INT32 ConfirmDiskIdentity(const CmdContext* ctx, HANDLE hDrive, const DriveRecord* expected, FirmwareFacts* facts) {
  BYTE* controller =
      static_cast<BYTE*>(plat::VirtualAlloc(nullptr, IDENTIFY_SIZE, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (controller == nullptr) return RES_REQUEST_FAILED;
  BYTE status = 0;
  INT32 result = IdentifyDisk(ctx, hDrive, CNS_CONTROLLER, 0, controller, IDENTIFY_SIZE, &status);
  // The bridge refused Identify.
  if (result == RES_SUCCESS && status == SCSI_STATUS_CHECK_CONDITION) result = RES_REQUEST_FAILED;
  if (result != RES_SUCCESS) {
    LogLine(L"%s: Identify Controller failed (%d); the drive cannot be confirmed", expected->szDevicePath, result);
  } else {
    DriveRecord now = {};
    ReadIdentifyTexts(controller, &now);
    if (facts != nullptr) *facts = {controller[IDCTRL_FRMW], controller[IDCTRL_FWUG]};
    STORAGE_DEVICE_NUMBER number = {};
    INT64 port = QueryDeviceNumber(hDrive, &number) ? GetDiskPortID(ctx, number.DeviceNumber) : PORT_ID_UNKNOWN;
    if (ctx->iCmdType != expected->iCmdType || port != expected->iPort || wcscmp(now.szSerial, expected->szSerial) != 0 ||
        wcscmp(now.szModel, expected->szModel) != 0 || wcscmp(now.szFwRevision, expected->szFwRevision) != 0) {
      LogLine(L"%s is not the drive that passed the checks: %s, %s, %s at port %I64d instead of %s, %s, %s at port %I64d",
              expected->szDevicePath, now.szModel, now.szSerial, now.szFwRevision, port, expected->szModel,
              expected->szSerial, expected->szFwRevision, expected->iPort);
      result = RES_DRIVE_CHANGED;
    }
  }
  plat::VirtualFree(controller, 0, MEM_RELEASE);
  return result;
}
