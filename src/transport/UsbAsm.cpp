// USB bridge recognition and the ASMedia bridge: vendor command blocks that
// tunnel an NVMe admin command through three SCSI steps.
#include <cstring>

#include "app/Log.h"
#include "transport/UsbBridge.h"
#include "transport/WireFormats.h"

namespace {

constexpr DWORD INQUIRY_LENGTH = 4096;

// The direction code of every block.
BYTE DirectionCode(DWORD direction) {
  switch (direction) {
    case DIR_READ: return ASM_DIRECTION_READ;
    case DIR_WRITE: return ASM_DIRECTION_WRITE;
    default: return ASM_DIRECTION_NONE;
  }
}

void AsmBlock(BYTE* cdb, BYTE opcode, BYTE carries, BYTE direction, DWORD length) {
  memset(cdb, 0, BRIDGE_CDB_LENGTH);
  cdb[0] = opcode;
  cdb[ASM_CDB_SIGNATURE] = ASM_SIGNATURE;
  cdb[ASM_CDB_CARRIES] = carries;
  cdb[ASM_CDB_DIRECTION] = direction;
  PutBe32(cdb + ASM_CDB_LENGTH, length);
}

// The three steps: send the command, move the data, read the completion.
INT32 AsmTunnelSteps(HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer, DWORD length) {
  NvmeCommand image = *command;
  BYTE code = DirectionCode(direction);
  const ULONG timeout = BridgeTimeout(command);
  BYTE cdb[BRIDGE_CDB_LENGTH];
  AsmBlock(cdb, ASM_OP_TO_BRIDGE, ASM_CARRIES_COMMAND, code, sizeof(NvmeCommand));
  if (TunnelStep(hDrive, cdb, SCSI_IOCTL_DATA_OUT, &image, sizeof image, timeout) != RES_SUCCESS)
    return RES_REQUEST_FAILED;
  bool withData = direction == DIR_WRITE || direction == DIR_READ;
  AsmBlock(cdb, direction == DIR_WRITE ? ASM_OP_TO_BRIDGE : ASM_OP_FROM_BRIDGE, ASM_CARRIES_DATA, code,
           withData ? length : 0);
  if (TunnelStep(hDrive, cdb, BridgeDataIn(direction), withData ? buffer : nullptr, withData ? length : 0,
                 timeout) != RES_SUCCESS)
    return RES_REQUEST_FAILED;
  // The completion entry lands over the command's first 16 bytes. Without it
  // nobody knows whether the drive carried the command out, and a drive that
  // refused it leaves a cleared read buffer that must never pass as data.
  AsmBlock(cdb, ASM_OP_FROM_BRIDGE, ASM_CARRIES_COMPLETION, code, COMPLETION_SIZE);
  const BYTE opcode = static_cast<BYTE>(command->CDW[0]);
  // Marked first: an entry that never arrives must not read as the
  // command's own zero bytes, which look like success.
  memset(&image, 0xFF, COMPLETION_SIZE);
  if (TunnelStep(hDrive, cdb, SCSI_IOCTL_DATA_IN, &image, COMPLETION_SIZE, timeout) != RES_SUCCESS) {
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
  cdb[0] = ASM_OP_IDENTIFY;
  cdb[ASM_IDENTIFY_OPCODE] = static_cast<BYTE>(command->CDW[0]);
  cdb[ASM_IDENTIFY_CNS] = static_cast<BYTE>(command->CDW[10]);
  cdb[ASM_IDENTIFY_NSID] = static_cast<BYTE>(command->CDW[1]);
  BYTE status = 0;
  DWORD moved = 0;
  if (!SendBridgeStep(hDrive, cdb, BridgeDataIn(direction), buffer, length, &status, BRIDGE_TIMEOUT_SECONDS, &moved))
    return RES_REQUEST_FAILED;
  if (status == SCSI_STATUS_CHECK_CONDITION) {
    if (bCheckCondition != nullptr) *bCheckCondition = SCSI_STATUS_CHECK_CONDITION;
    return RES_SUCCESS;
  }
  // Identify data cut short would name the drive from whatever the buffer held.
  if (moved != length) {
    LogDetail(L"Bridge step %02X %02X: %lu of %lu bytes", cdb[0], cdb[1], moved, length);
    NoteShortBridgeStep(cdb, moved, length);
    return RES_REQUEST_FAILED;
  }
  return RES_SUCCESS;
}

INT32 AsmPowerStep(HANDLE hDrive, DWORD mode) {
  LogDetail(L"IO_USB_ASM_PowerCtrl IN %d", mode & 0xFF);
  BYTE cdb[BRIDGE_CDB_LENGTH];
  AsmBlock(cdb, ASM_OP_TO_BRIDGE, static_cast<BYTE>(mode), ASM_DIRECTION_NONE, 0);
  if (!SendBridgeStep(hDrive, cdb, SCSI_IOCTL_DATA_OUT, nullptr, 0, nullptr)) return RES_REQUEST_FAILED;
  LogDetail(L"IO_USB_ASM_PowerCtrl Success OUT ");
  return RES_SUCCESS;
}

}  // namespace

INT32 IO_USB_GetBridgeType(HANDLE hDrive) {
  EnterBridgeLock();
  BYTE cdb[BRIDGE_CDB_LENGTH] = {SCSI_OP_INQUIRY, 0, 0, 0, INQUIRY_BRIDGE_LENGTH};
  BYTE data[INQUIRY_LENGTH] = {};
  BYTE status = 0;
  INT32 type = CMD_NONE;
  DWORD saved = LastDeviceError();  // recognition stores no error code
  if (SendBridgeStep(hDrive, cdb, SCSI_IOCTL_DATA_IN, data, INQUIRY_LENGTH, &status) &&
      status != SCSI_STATUS_CHECK_CONDITION) {
    const BYTE* marker = data + INQUIRY_BRIDGE_MARKER;
    if (memcmp(marker, ASM_MARKER, sizeof ASM_MARKER) == 0) {
      IO_USB_ASM_ReadInfo(hDrive);
      type = CMD_ASM_USB;
    } else if (memcmp(marker, JMI_MARKER, sizeof JMI_MARKER) == 0) {
      type = CMD_JMI_USB;
    }
  } else {
    ReportDeviceError(saved);
  }
  LeaveBridgeLock();
  return type;
}

INT32 IO_USB_ASM_ReadInfo(HANDLE hDrive) {
  EnterBridgeLock();
  BYTE cdb[BRIDGE_CDB_LENGTH];
  AsmBlock(cdb, ASM_OP_FROM_BRIDGE, ASM_CARRIES_INFO, ASM_DIRECTION_NONE, COMPLETION_SIZE);
  BYTE info[COMPLETION_SIZE] = {};
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
