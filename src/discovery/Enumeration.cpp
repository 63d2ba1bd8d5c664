// Finding the NVMe drives: PhysicalDrive0 to 19 probed one by one through
// their transport, then the volumes C: to Z: tied to them.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "app/Log.h"
#include "app/Text.h"
#include "discovery/Discovery.h"
#include "package/Package.h"
#include "platform/Platform.h"
#include "transport/Transports.h"
#include "transport/WireFormats.h"

namespace {

constexpr DWORD SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD ACCESS = GENERIC_READ | GENERIC_WRITE;
constexpr UINT64 GIGABYTE = 1000000000ull;
// Sectors from 512 bytes to 64 KiB: what the NVMe and Windows storage
// stacks know; any other LBADS is no drive's.
constexpr BYTE MIN_LBADS = 9, MAX_LBADS = 16;

// Identify text: bytes as the drive sent them, terminated, widened through
// the ANSI code page.
void DriveText(const BYTE* bytes, size_t count, WCHAR* out) {
  char text[DRIVE_TEXT_CAPACITY] = {};
  memcpy(text, bytes, count < DRIVE_TEXT_CAPACITY - 1 ? count : DRIVE_TEXT_CAPACITY - 1);
  out[0] = L'\0';
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, out, DRIVE_TEXT_CAPACITY) == 0) out[0] = L'\0';
  out[DRIVE_TEXT_CAPACITY - 1] = L'\0';
}

// Ties the volumes C: to Z: to the filled records.
void TieVolumes(DriveRecord* slots, UINT32 count) {
  for (WCHAR letter = L'C'; letter <= L'Z'; ++letter) {
    WCHAR path[8];
    FormatText(path, L"\\\\.\\%c:", letter);
    HANDLE volume = plat::CreateFileW(path, ACCESS, SHARE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) continue;
    STORAGE_DEVICE_NUMBER number = {};
    if (QueryDeviceNumber(volume, &number) && number.DeviceType == FILE_DEVICE_DISK) {
      for (UINT32 i = 0; i < count; ++i) {
        DriveRecord& drive = slots[i];
        if (drive.iDeviceNumber != number.DeviceNumber) continue;
        drive.bRaw = 0;
        // "%c: " writes three characters; letters that no longer fit in
        // the text are left out, never written beyond it.
        size_t used = wcslen(drive.szDriveLetters);
        if (used + 3 < DRIVE_TEXT_CAPACITY)
          FormatText(drive.szDriveLetters + used, DRIVE_TEXT_CAPACITY - used, L"%c: ", letter);
        if (letter == L'C') drive.bSystemDrive = 1;
        break;
      }
    }
    plat::CloseHandle(volume);
  }
}

// The Identify Namespace reply judged before the drive is offered: the format
// it names must exist, its sector size must be one a drive has, and the
// capacity must fit the record. Returns why not, or nullptr.
const WCHAR* JudgeNamespace(const BYTE* ns, UINT32* sectorSize, UINT64* blocks, UINT32* capacityGB) {
  // FLBAS bits 6:5 count only past 16 formats (NVMe 2.0); a host ignores
  // them below.
  BYTE flbas = ns[IDNS_FLBAS];
  UINT32 format = flbas & FLBAS_LOW_MASK;
  if (ns[IDNS_NLBAF] >= 16) format |= ((flbas >> FLBAS_HIGH_SHIFT) & FLBAS_HIGH_MASK) << 4;
  if (format > ns[IDNS_NLBAF]) return L"names an LBA format it does not have";
  BYTE lbads = ns[IDNS_LBAF + LBAF_SIZE * format + LBAF_LBADS];
  if (lbads < MIN_LBADS || lbads > MAX_LBADS) return L"reports a sector size no drive has";
  *blocks = GetLe64(ns + IDNS_NSZE);
  if (*blocks > (UINT64_MAX >> lbads)) return L"reports more bytes than a drive can hold";
  UINT64 gigabytes = (*blocks << lbads) / GIGABYTE;
  if (gigabytes > 0xFFFFFFFFull) return L"reports more gigabytes than the record holds";
  *sectorSize = 1u << lbads;
  *capacityGB = static_cast<UINT32>(gigabytes);
  return nullptr;
}

}  // namespace

void ReadIdentifyTexts(const BYTE* controller, DriveRecord* record) {
  DriveText(controller + IDCTRL_MODEL, IDCTRL_MODEL_LENGTH, record->szModel);
  DriveText(controller + IDCTRL_FIRMWARE, IDCTRL_FIRMWARE_LENGTH, record->szFwRevision);
  DriveText(controller + IDCTRL_SERIAL, IDCTRL_SERIAL_LENGTH, record->szSerial);
  TrimBlanks(record->szModel);
  TrimBlanks(record->szFwRevision);
  // What the list, the panel and the log show is never a drive's control
  // code. Marked, not dropped: "2.0" followed by a bell must not pass for
  // the revision 2.0, nor two serials that differ in one for the same drive.
  for (WCHAR* text : {record->szModel, record->szFwRevision, record->szSerial}) CleanDriveText(text, L'?');
}

bool QueryDeviceNumber(HANDLE h, STORAGE_DEVICE_NUMBER* number) {
  DWORD returned = 0;
  return plat::DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, number, sizeof *number, &returned,
                               nullptr) != FALSE;
}

void CloseDisk(HANDLE hDrive, CmdContext* ctx) {
  if (hDrive != INVALID_HANDLE_VALUE) plat::CloseHandle(hDrive);
  if (ctx->hScsiPort != INVALID_HANDLE_VALUE) {
    plat::CloseHandle(ctx->hScsiPort);
    ctx->hScsiPort = INVALID_HANDLE_VALUE;
  }
}

HANDLE OpenDisk(const WCHAR* path, CmdContext* ctx) {
  TreeSnapshot tree;  // read only for a disk on the RAID bus
  return OpenDisk(tree, path, ctx);
}

HANDLE OpenDisk(TreeSnapshot& tree, const WCHAR* path, CmdContext* ctx) {
  ctx->hScsiPort = INVALID_HANDLE_VALUE;
  HANDLE h = plat::CreateFileW(path, ACCESS, SHARE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return h;

  SCSI_ADDRESS address = {};
  address.Length = sizeof address;
  DWORD returned = 0;
  if (plat::DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, &address, sizeof address, &address, sizeof address, &returned,
                            nullptr)) {
    ctx->iPathId = address.PathId;
    WCHAR port[32];
    FormatText(port, L"\\\\.\\scsi%d:", address.PortNumber);
    ctx->hScsiPort = plat::CreateFileW(port, ACCESS, SHARE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  STORAGE_PROPERTY_QUERY query = {};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  STORAGE_DEVICE_DESCRIPTOR descriptor = {};
  if (!plat::DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &descriptor, sizeof descriptor,
                             &returned, nullptr)) {
    ctx->iCmdType = CMD_NONE;
    return h;
  }
  switch (descriptor.BusType) {
    case BusTypeNvme:
      ctx->iCmdType = CMD_NVME;
      break;
    case BusTypeUsb:
      ctx->iCmdType = IO_USB_GetBridgeType(h);
      break;
    case BusTypeRAID: {
      WCHAR service[SERVICE_CAPACITY];
      GetControllerService(tree, path, service);
      ctx->iCmdType = FindNoCase(service, L"iaStor") != nullptr ? CMD_RST : CMD_NONE;
      break;
    }
    default:
      ctx->iCmdType = CMD_NONE;
      break;
  }
  return h;
}

INT32 IdentifyDisk(const CmdContext* ctx, HANDLE hDrive, DWORD cns, DWORD nsid, void* buffer, DWORD length,
                   BYTE* status) {
  ClearCmdFault();
  NoteCmdStep(L"Identify", -1);
  const Transport* transport = FindTransport(ctx->iCmdType);
  if (transport == nullptr) return RES_NO_TRANSPORT;
  NvmeCommand cmd = BuildIdentifyCommand(cns, nsid);
  return transport->Identify(ctx, hDrive, &cmd, buffer, length, status);
}

INT32 GetDiskInfo(const WCHAR* path, DriveRecord* record) {
  TreeSnapshot tree;
  return GetDiskInfo(tree, path, record);
}

INT32 GetDiskInfo(TreeSnapshot& tree, const WCHAR* path, DriveRecord* record) {
  // The disks are read before the drive is opened, so that the disk found
  // under its number afterwards is the one that was probed.
  tree.ReadDisks();
  ZeroMemory(record, sizeof *record);
  WCHAR upper[DRIVE_TEXT_CAPACITY];
  StringCchCopyW(upper, DRIVE_TEXT_CAPACITY, path);
  CharUpperW(upper);
  int number = 0;
  swscanf(upper, L"\\\\.\\PHYSICALDRIVE%d", &number);

  CmdContext ctx = {CMD_NONE, INVALID_HANDLE_VALUE, 0};
  HANDLE h = OpenDisk(tree, path, &ctx);
  if (h == INVALID_HANDLE_VALUE) return RES_OPEN_FAILED;
  INT32 result = RES_NO_TRANSPORT;
  BYTE* controller = static_cast<BYTE*>(plat::VirtualAlloc(nullptr, IDENTIFY_SIZE * 2, MEM_COMMIT | MEM_RESERVE,
                                                           PAGE_READWRITE));
  BYTE* ns = controller + IDENTIFY_SIZE;
  if (controller == nullptr) {
    result = RES_REQUEST_FAILED;
  } else if (ctx.iCmdType != CMD_NONE) {
    BYTE status = 0;
    result = IdentifyDisk(&ctx, h, CNS_CONTROLLER, 0, controller, IDENTIFY_SIZE, &status);
    // The bridge refused Identify.
    if (result == RES_SUCCESS && status == SCSI_STATUS_CHECK_CONDITION) result = RES_NO_TRANSPORT;
    if (result == RES_SUCCESS) {
      // A refused Identify Namespace leaves no data to judge, whatever a
      // bridge left in the buffer.
      status = 0;
      INT32 answered = IdentifyDisk(&ctx, h, CNS_NAMESPACE, 1, ns, IDENTIFY_SIZE, &status);
      // NSZE counts blocks of the formatted LBA size: a 4Kn drive's size is
      // in 4096-byte blocks even when LBA format 0 has 512-byte ones.
      UINT32 sector = 0, capacity = 0;
      UINT64 blocks = 0;
      const WCHAR* refusal = answered != RES_SUCCESS || status == SCSI_STATUS_CHECK_CONDITION
                                 ? L"did not answer Identify Namespace"
                                 : JudgeNamespace(ns, &sector, &blocks, &capacity);
      if (refusal != nullptr) {
        LogLine(L"GetDiskInfo: %s %s; not offered", path, refusal);
        result = RES_NO_TRANSPORT;
      } else if (capacity < MIN_CAPACITY_GB) {
        result = RES_NO_TRANSPORT;
      } else {
        StringCchCopyW(record->szDevicePath, DRIVE_TEXT_CAPACITY, path);
        record->iCmdType = ctx.iCmdType;
        record->iSectorSize = sector;
        record->iNamespaceSize = blocks;
        record->iCapacityGB = capacity;
        record->iPciVendorId = GetLe16(controller + IDCTRL_VID);
        record->iPciSubVendorId = GetLe16(controller + IDCTRL_SSVID);
        ReadIdentifyTexts(controller, record);
        record->iDeviceNumber = static_cast<UINT32>(number);
        record->bRaw = 1;
        QueryFlashInfo(&ctx, h, record);
        record->bSupportedController = (record->iPciVendorId == 0x1D4C || record->iSocId != 0) ? 1 : 0;
        record->iPort = GetDiskPortID(tree, &ctx, record->iDeviceNumber);
        LogDetail(L"%s - iCmdType = %d, iPort = %I64d", path, record->iCmdType, record->iPort);
        const int disk = tree.DiskWithNumber(record->iDeviceNumber);
        if (record->iPort == PORT_ID_UNKNOWN) {
          // Without a port id the drive could not be found again after its
          // update, nor re-read when chosen.
          LogLine(L"GetDiskInfo: %s has no port id in the device tree; not offered", path);
          result = RES_NO_TRANSPORT;
        } else if (disk < 0 || !tree.StillNumbered(static_cast<DWORD>(disk))) {
          // The disk that held the number when the tree was read has left:
          // the drive probed may be another one, at another port.
          LogLine(L"GetDiskInfo: %s changed while it was read; not offered", path);
          result = RES_NO_TRANSPORT;
        } else if (record->iCmdType == CMD_NVME) {
          GetPcieLinkInfo(tree, path, &record->iLinkSpeed, &record->iLinkWidth, &record->iMaxLinkSpeed,
                          &record->iMaxLinkWidth);
        }
      }
    }
  }
  if (controller != nullptr) plat::VirtualFree(controller, 0, MEM_RELEASE);
  CloseDisk(h, &ctx);
  if (result != RES_SUCCESS) ZeroMemory(record, sizeof *record);
  return result;
}

// Whether a disk is still there, asked without a single request to it: an
// open handle reaches the class driver, not the drive.
bool DiskPresent(const WCHAR* path) {
  HANDLE h = plat::CreateFileW(path, 0, SHARE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  plat::CloseHandle(h);
  return true;
}

UINT32 ScanDisks(DriveRecord* slots, UINT32 capacity, const DriveRecord* busy, UINT32* denied) {
  ZeroMemory(slots, sizeof(DriveRecord) * capacity);
  if (denied != nullptr) *denied = 0;
  // One reading of the device tree for every drive of the scan.
  TreeSnapshot tree;
  tree.ReadDisks();
  UINT32 count = 0;
  for (int n = 0; n < MAX_PHYSICAL_DRIVES && count < capacity; ++n) {
    WCHAR path[DRIVE_TEXT_CAPACITY];
    FormatText(path, L"\\\\.\\PhysicalDrive%d", n);
    if (busy != nullptr && _wcsicmp(path, busy->szDevicePath) == 0) {
      // The drive under update is in the middle of a download or a power
      // cycle: it keeps its entry and is sent nothing.
      if (DiskPresent(path)) {
        slots[count] = *busy;
        slots[count].szDriveLetters[0] = L'\0';
        slots[count].bRaw = 1;
        slots[count].bSystemDrive = 0;
        ++count;
      }
      continue;
    }
    INT32 result = GetDiskInfo(tree, path, &slots[count]);
    if (result == RES_SUCCESS) ++count;
    else if (result == RES_OPEN_FAILED && GetLastError() == ERROR_ACCESS_DENIED && denied != nullptr) ++*denied;
  }
  TieVolumes(slots, count);
  return count;
}
