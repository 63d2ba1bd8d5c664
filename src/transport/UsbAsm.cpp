// USB bridge recognition and the ASMedia bridge: vendor command blocks that
// tunnel an NVMe admin command through three SCSI steps.
#include <cstring>

#include "app/AppState.h"
#include "transport/UsbBridge.h"

namespace {

constexpr DWORD INQUIRY_LENGTH = 4096;
constexpr BYTE INQUIRY_ALLOCATION = 0x26;  // 38 bytes: the bridge marker is in the last two
constexpr DWORD COMPLETION_LENGTH = 16;

// The direction code of byte 4 of every block.
BYTE DirectionCode(DWORD direction) {
  switch (direction) {
    case DIR_READ: return 1;
    case DIR_WRITE: return 2;
    default: return 0;
  }
}

void PutBigEndian32(BYTE* p, DWORD v) {
  p[0] = static_cast<BYTE>(v >> 24);
  p[1] = static_cast<BYTE>(v >> 16);
  p[2] = static_cast<BYTE>(v >> 8);
  p[3] = static_cast<BYTE>(v);
}

void AsmBlock(BYTE* cdb, BYTE b0, BYTE b2, BYTE code, DWORD length) {
  memset(cdb, 0, BRIDGE_CDB_LENGTH);
  cdb[0] = b0;
  cdb[1] = 0x5A;
  cdb[2] = b2;
  cdb[4] = code;
  PutBigEndian32(cdb + 10, length);
}

// The three steps: send the command, move the data, read the completion.
INT32 AsmTunnelSteps(HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer, DWORD length) {
  NvmeCommand image = *command;
  BYTE code = DirectionCode(direction);
  const ULONG timeout = BridgeTimeout(command);
  BYTE cdb[BRIDGE_CDB_LENGTH];
  AsmBlock(cdb, 0xEA, 0x80, code, sizeof(NvmeCommand));
  if (TunnelStep(hDrive, cdb, SCSI_IOCTL_DATA_OUT, &image, sizeof image, timeout) != RES_SUCCESS)
    return RES_REQUEST_FAILED;
  bool withData = direction == DIR_WRITE || direction == DIR_READ;
  AsmBlock(cdb, direction == DIR_WRITE ? 0xEA : 0xEB, 0x81, code, withData ? length : 0);
  if (TunnelStep(hDrive, cdb, BridgeDataIn(direction), withData ? buffer : nullptr, withData ? length : 0,
                 timeout) != RES_SUCCESS)
    return RES_REQUEST_FAILED;
  // The completion entry lands over the command's first 16 bytes. Without it
  // nobody knows whether the drive carried the command out, and a drive that
  // refused it leaves a cleared read buffer that must never pass as data.
  AsmBlock(cdb, 0xEB, 0x82, code, COMPLETION_LENGTH);
  const BYTE opcode = static_cast<BYTE>(command->CDW[0]);
  // Marked first: an entry that never arrives must not read as the
  // command's own zero bytes, which look like success.
  memset(&image, 0xFF, COMPLETION_LENGTH);
  if (TunnelStep(hDrive, cdb, SCSI_IOCTL_DATA_IN, &image, COMPLETION_LENGTH, timeout) != RES_SUCCESS) {
    LogDetail(L"IO_USB_ASM opcode %02X: no completion from the bridge", opcode);
    return RES_REQUEST_FAILED;
  }
  UINT32 status = NvmeCompletionStatus(reinterpret_cast<const BYTE*>(&image));
  INT32 result = JudgeCompletion(opcode, status);
  if (result != RES_SUCCESS) LogDetail(L"IO_USB_ASM opcode %02X refused by the drive: status 0x%04X", opcode, status);
  return result;
}

INT32 AsmTunnel(HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer, DWORD length) {
  EnterBridgeLock();
  INT32 result = AsmTunnelSteps(hDrive, direction, command, buffer, length);
  LeaveBridgeLock();
  return result;
}

INT32 AsmIdentifyStep(HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer, DWORD length,
                      BYTE* bCheckCondition) {
  BYTE cdb[BRIDGE_CDB_LENGTH] = {};
  cdb[0] = 0xE6;
  cdb[1] = static_cast<BYTE>(command->CDW[0]);
  cdb[3] = static_cast<BYTE>(command->CDW[10]);
  cdb[7] = static_cast<BYTE>(command->CDW[1]);
  BYTE status = 0;
  if (!SendBridgeStep(hDrive, cdb, BridgeDataIn(direction), buffer, length, &status)) return RES_REQUEST_FAILED;
  if (bCheckCondition != nullptr && status == SCSI_STATUS_CHECK_CONDITION) *bCheckCondition = 2;
  return RES_SUCCESS;
}

INT32 AsmPowerStep(HANDLE hDrive, DWORD mode) {
  LogDetail(L"IO_USB_ASM_PowerCtrl IN %d", mode & 0xFF);
  BYTE cdb[BRIDGE_CDB_LENGTH];
  AsmBlock(cdb, 0xEA, static_cast<BYTE>(mode), 0, 0);
  if (!SendBridgeStep(hDrive, cdb, SCSI_IOCTL_DATA_OUT, nullptr, 0, nullptr)) return RES_REQUEST_FAILED;
  LogDetail(L"IO_USB_ASM_PowerCtrl Success OUT ");
  return RES_SUCCESS;
}

}  // namespace

INT32 IO_USB_GetBridgeType(HANDLE hDrive) {
  EnterBridgeLock();
  BYTE cdb[BRIDGE_CDB_LENGTH] = {0x12, 0, 0, 0, INQUIRY_ALLOCATION};
  BYTE data[INQUIRY_LENGTH] = {};
  BYTE status = 0;
  INT32 type = CMD_NONE;
  DWORD saved = GetAppState()->dwLastError;  // recognition stores no error code
  if (SendBridgeStep(hDrive, cdb, SCSI_IOCTL_DATA_IN, data, INQUIRY_LENGTH, &status) &&
      status != SCSI_STATUS_CHECK_CONDITION) {
    if (data[36] == 0x60 && data[37] == 0x23) {
      IO_USB_ASM_ReadInfo(hDrive);
      type = CMD_ASM_USB;
    } else if (data[36] == 0x30 && data[37] == 0x35) {
      type = CMD_JMI_USB;
    }
  } else {
    GetAppState()->dwLastError = saved;
  }
  LeaveBridgeLock();
  return type;
}

INT32 IO_USB_ASM_ReadInfo(HANDLE hDrive) {
  EnterBridgeLock();
  BYTE cdb[BRIDGE_CDB_LENGTH];
  AsmBlock(cdb, 0xEB, 0x02, 0, COMPLETION_LENGTH);
  BYTE info[COMPLETION_LENGTH] = {};
  INT32 result = SendBridgeStep(hDrive, cdb, SCSI_IOCTL_DATA_IN, info, sizeof info, nullptr) ? RES_SUCCESS
                                                                                             : RES_REQUEST_FAILED;
  LeaveBridgeLock();
  return result;
}

INT32 IO_USB_ASM_NVMeCmd(HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer, DWORD length) {
  return AsmTunnel(hDrive, direction, command, buffer, length);
}

INT32 IO_USB_ASM_DownloadFW(HANDLE hDrive, DWORD offset, const BYTE* piece, DWORD pieceLength) {
  NvmeCommand command = BuildDownloadCommand(offset, pieceLength);
  return AsmTunnel(hDrive, DIR_WRITE, &command, const_cast<BYTE*>(piece), pieceLength);
}

INT32 IO_USB_ASM_Identify(HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer, DWORD length,
                          BYTE* bCheckCondition) {
  EnterBridgeLock();
  INT32 result = AsmIdentifyStep(hDrive, direction, command, buffer, length, bCheckCondition);
  LeaveBridgeLock();
  return result;
}

INT32 IO_USB_ASM_PowerCtrl(HANDLE hDrive, DWORD mode) {
  EnterBridgeLock();
  INT32 result = AsmPowerStep(hDrive, mode);
  LeaveBridgeLock();
  return result;
}
