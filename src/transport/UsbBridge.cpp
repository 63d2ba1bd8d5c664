#include "transport/UsbBridge.h"

#include <cstring>

#include "app/Log.h"
#include "platform/Platform.h"
#include "transport/RequestBuffer.h"

namespace {
constexpr BYTE SENSE_LENGTH = 0x18;
}  // namespace

ULONG BridgeTimeout(const NvmeCommand* command) {
  // Every command that writes the drive's flash: firmware pieces, the commit,
  // and the maker's configuration block and device information writes.
  switch (static_cast<BYTE>(command->CDW[0])) {
    case NVME_OP_FW_DOWNLOAD:
    case NVME_OP_FW_COMMIT:
    case VENDOR_OP_CONFIG_WRITE:
    case VENDOR_OP_DEVINFO_WRITE:
      return BRIDGE_FLASH_TIMEOUT_SECONDS;
    default:
      return BRIDGE_TIMEOUT_SECONDS;
  }
}

namespace {
CRITICAL_SECTION g_bridgeLock;
INIT_ONCE g_bridgeLockOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK InitBridgeLock(PINIT_ONCE, PVOID, PVOID*) {
  InitializeCriticalSection(&g_bridgeLock);
  return TRUE;
}
}  // namespace

void EnterBridgeLock() {
  InitOnceExecuteOnce(&g_bridgeLockOnce, InitBridgeLock, nullptr, nullptr);
  EnterCriticalSection(&g_bridgeLock);
}

void LeaveBridgeLock() { LeaveCriticalSection(&g_bridgeLock); }

BYTE BridgeDataIn(DWORD direction) {
  switch (direction) {
    case DIR_WRITE: return SCSI_IOCTL_DATA_OUT;
    case DIR_READ: return SCSI_IOCTL_DATA_IN;
    default: return SCSI_IOCTL_DATA_UNSPECIFIED;
  }
}

static bool SendAlignedStep(HANDLE hDrive, const BYTE* cdb, BYTE dataIn, void* buffer, DWORD length, BYTE* status,
                            ULONG timeoutSeconds, DWORD* transferred);

bool SendBridgeStep(HANDLE hDrive, const BYTE* cdb, BYTE dataIn, void* buffer, DWORD length, BYTE* status,
                    ULONG timeoutSeconds, DWORD* transferred) {
  // The adapter takes only data buffers that meet its alignment mask; a page
  // meets any. A caller's buffer elsewhere travels through a page copy.
  BYTE* page = nullptr;
  if (length != 0 && reinterpret_cast<uintptr_t>(buffer) % BRIDGE_BUFFER_ALIGNMENT != 0) {
    page = AllocRequest(length);
    if (page == nullptr) {
      ReportDeviceError(ERROR_NOT_ENOUGH_MEMORY);
      NoteSystemError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    if (dataIn == SCSI_IOCTL_DATA_OUT) memcpy(page, buffer, length);
  }
  DWORD moved = 0;
  bool sent = SendAlignedStep(hDrive, cdb, dataIn, page != nullptr ? page : buffer, length, status, timeoutSeconds,
                              &moved);
  if (transferred != nullptr) *transferred = moved;
  if (page != nullptr) {
    if (sent && dataIn == SCSI_IOCTL_DATA_IN) memcpy(buffer, page, moved < length ? moved : length);
    FreeRequest(page);
  }
  return sent;
}

static bool SendAlignedStep(HANDLE hDrive, const BYTE* cdb, BYTE dataIn, void* buffer, DWORD length, BYTE* status,
                            ULONG timeoutSeconds, DWORD* transferred) {
  SptdBlock block = {};
  block.Sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  block.Sptd.CdbLength = BRIDGE_CDB_LENGTH;
  block.Sptd.SenseInfoLength = SENSE_LENGTH;
  block.Sptd.DataIn = dataIn;
  block.Sptd.DataTransferLength = length;
  block.Sptd.TimeOutValue = timeoutSeconds;
  block.Sptd.DataBuffer = buffer;
  block.Sptd.SenseInfoOffset = offsetof(SptdBlock, Sense);
  memcpy(block.Sptd.Cdb, cdb, BRIDGE_CDB_LENGTH);
  DWORD returned = 0;
  BOOL ok = plat::DeviceIoControl(hDrive, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block, sizeof block,
                                  &returned, nullptr);
  if (!ok) {
    DWORD error = GetLastError();
    ReportDeviceError(error);
    NoteSystemError(error);
    return false;
  }
  if (status != nullptr) *status = block.Sptd.ScsiStatus;
  if (transferred != nullptr) *transferred = block.Sptd.DataTransferLength;
  return true;
}

INT32 TunnelStep(HANDLE hDrive, const BYTE* cdb, BYTE dataIn, void* buffer, DWORD length, ULONG timeoutSeconds) {
  BYTE status = 0;
  DWORD moved = 0;
  if (!SendBridgeStep(hDrive, cdb, dataIn, buffer, length, &status, timeoutSeconds, &moved)) {
    NoteBridgeStep(cdb, false);
    return RES_REQUEST_FAILED;
  }
  if (status == SCSI_STATUS_CHECK_CONDITION) {
    LogDetail(L"Bridge step %02X %02X: CHECK CONDITION", cdb[0], cdb[1]);
    NoteBridgeStep(cdb, true);
    return RES_REQUEST_FAILED;
  }
  // A step that moved fewer bytes than asked did not carry the command: a
  // short read leaves part of the buffer as it was, a short write handed the
  // drive part of a piece, whatever its completion says.
  if (moved != length) {
    LogDetail(L"Bridge step %02X %02X: %lu of %lu bytes", cdb[0], cdb[1], moved, length);
    NoteShortBridgeStep(cdb, moved, length);
    return RES_REQUEST_FAILED;
  }
  return RES_SUCCESS;
}
