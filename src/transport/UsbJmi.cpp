// The JMicron bridge: the NVMe command rides in a 512-byte "NVME" block, and
// every operation is three SCSI steps: the block out, the data, the response
// in.
#include <cstring>

#include "app/Log.h"
#include "transport/UsbBridge.h"
#include "transport/WireFormats.h"

namespace {

struct JmiCmdBlock {
  BYTE bytes[JMI_BLOCK_SIZE];
};

void FillBlock(JmiCmdBlock* block, const NvmeCommand* command, BYTE mode) {
  memset(block, 0, sizeof *block);
  memcpy(block->bytes, JMI_SIGNATURE, sizeof JMI_SIGNATURE);
  if (command != nullptr) memcpy(block->bytes + JMI_BLOCK_COMMAND, command, sizeof(NvmeCommand));
  block->bytes[JMI_BLOCK_POWER_MODE] = mode;
}

// Every step is an admin step; the protocol says what it moves.
void JmiCdb(BYTE* cdb, BYTE protocol, DWORD length) {
  memset(cdb, 0, BRIDGE_CDB_LENGTH);
  cdb[0] = JMI_OP;
  cdb[JMI_CDB_PROTOCOL] = JMI_ADMIN | protocol;
  PutBe24(cdb + JMI_CDB_LENGTH, length);
}

BYTE DataProtocol(DWORD direction) {
  switch (direction) {
    case DIR_READ: return JMI_PROTOCOL_DATA_IN;
    case DIR_WRITE: return JMI_PROTOCOL_DATA_OUT;
    default: return JMI_PROTOCOL_NON_DATA;
  }
}

// Outcome of a step as the caller sees it.
enum class Step { Failed, CheckCondition, Done };

Step Send(HANDLE hDrive, const BYTE* cdb, BYTE dataIn, void* buffer, DWORD length, BYTE* bCheckCondition,
          ULONG timeout) {
  BYTE status = 0;
  DWORD moved = 0;
  if (!SendBridgeStep(hDrive, cdb, dataIn, buffer, length, &status, timeout, &moved)) {
    NoteBridgeStep(cdb, false);
    return Step::Failed;
  }
  if (status == SCSI_STATUS_CHECK_CONDITION) {
    // Reported to a caller that asks (Identify); for every other command
    // the bridge refused it, and the command failed.
    if (bCheckCondition == nullptr) {
      NoteBridgeStep(cdb, true);
      return Step::Failed;
    }
    *bCheckCondition = SCSI_STATUS_CHECK_CONDITION;
    return Step::CheckCondition;
  }
  // A short step did not carry the command: a short read leaves part of the
  // buffer cleared (a response without its completion entry reads as
  // success), a short write handed the drive part of a piece.
  if (moved != length) {
    LogDetail(L"Bridge step %02X %02X: %lu of %lu bytes", cdb[0], cdb[1], moved, length);
    NoteShortBridgeStep(cdb, moved, length);
    return Step::Failed;
  }
  return Step::Done;
}

INT32 JmiTunnelSteps(HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer, DWORD length,
                     BYTE* bCheckCondition) {
  const ULONG timeout = BridgeTimeout(command);
  JmiCmdBlock block;
  FillBlock(&block, command, 0);
  BYTE cdb[BRIDGE_CDB_LENGTH];
  JmiCdb(cdb, JMI_PROTOCOL_COMMAND, JMI_BLOCK_SIZE);
  Step step = Send(hDrive, cdb, SCSI_IOCTL_DATA_OUT, &block, JMI_BLOCK_SIZE, bCheckCondition, timeout);
  if (step != Step::Done) return step == Step::Failed ? RES_REQUEST_FAILED : RES_SUCCESS;

  bool withData = direction == DIR_WRITE || direction == DIR_READ;
  DWORD dataLength = withData ? length : 0;
  if (direction != DIR_WRITE && dataLength != 0) memset(buffer, 0, dataLength);
  JmiCdb(cdb, DataProtocol(direction), dataLength);
  step = Send(hDrive, cdb, BridgeDataIn(direction), withData ? buffer : nullptr, dataLength, bCheckCondition, timeout);
  if (step != Step::Done) return step == Step::Failed ? RES_REQUEST_FAILED : RES_SUCCESS;

  // The response carries the drive's completion entry: a missing response,
  // one without the bridge's signature or a refused command is a failure,
  // never a success with a cleared buffer.
  memset(&block, 0, sizeof block);
  JmiCdb(cdb, JMI_PROTOCOL_RESPONSE, JMI_BLOCK_SIZE);
  step = Send(hDrive, cdb, SCSI_IOCTL_DATA_IN, &block, JMI_BLOCK_SIZE, bCheckCondition, timeout);
  if (step == Step::CheckCondition) return RES_SUCCESS;
  const BYTE opcode = static_cast<BYTE>(command->CDW[0]);
  if (step == Step::Failed) {
    LogDetail(L"IO_USB_JMI opcode %02X: no response from the bridge", opcode);
    return RES_REQUEST_FAILED;
  }
  if (memcmp(block.bytes, JMI_SIGNATURE, sizeof JMI_SIGNATURE) != 0) {
    LogDetail(L"IO_USB_JMI opcode %02X: the response carries no bridge signature", opcode);
    return RES_REQUEST_FAILED;
  }
  UINT32 status = NvmeCompletionStatus(block.bytes + JMI_RESPONSE_COMPLETION);
  INT32 result = JudgeCompletion(opcode, status);
  if (result != RES_SUCCESS) LogDetail(L"IO_USB_JMI opcode %02X refused by the drive: status 0x%04X", opcode, status);
  return result;
}

INT32 JmiTunnel(HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer, DWORD length,
                BYTE* bCheckCondition) {
  EnterBridgeLock();
  INT32 result = JmiTunnelSteps(hDrive, direction, command, buffer, length, bCheckCondition);
  LeaveBridgeLock();
  return result;
}

INT32 JmiPowerSteps(HANDLE hDrive, DWORD mode) {
  LogDetail(L"IO_USB_JMI_PowerCtrl IN %d", mode & 0xFF);
  JmiCmdBlock block;
  FillBlock(&block, nullptr, static_cast<BYTE>(mode));
  BYTE cdb[BRIDGE_CDB_LENGTH];
  JmiCdb(cdb, JMI_PROTOCOL_COMMAND, JMI_BLOCK_SIZE);
  if (!SendBridgeStep(hDrive, cdb, SCSI_IOCTL_DATA_OUT, &block, JMI_BLOCK_SIZE, nullptr)) return RES_REQUEST_FAILED;
  memset(&block, 0, sizeof block);
  JmiCdb(cdb, JMI_PROTOCOL_NON_DATA, 0);
  if (!SendBridgeStep(hDrive, cdb, SCSI_IOCTL_DATA_IN, &block, 0, nullptr)) return RES_REQUEST_FAILED;
  memset(&block, 0, sizeof block);
  JmiCdb(cdb, JMI_PROTOCOL_RESPONSE, JMI_BLOCK_SIZE);
  SendBridgeStep(hDrive, cdb, SCSI_IOCTL_DATA_IN, &block, JMI_BLOCK_SIZE, nullptr);
  LogDetail(L"IO_USB_JMI_PowerCtrl Success OUT");
  return RES_SUCCESS;
}

}  // namespace

INT32 IO_USB_JMI_NVMeCmd(HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer, DWORD length,
                         BYTE* bCheckCondition) {
  return JmiTunnel(hDrive, direction, command, buffer, length, bCheckCondition);
}

INT32 IO_USB_JMI_DownloadFW(HANDLE hDrive, DWORD offset, const BYTE* piece, DWORD pieceLength) {
  NvmeCommand command = BuildDownloadCommand(offset, pieceLength);
  return JmiTunnel(hDrive, DIR_WRITE, &command, const_cast<BYTE*>(piece), pieceLength, nullptr);
}

INT32 IO_USB_JMI_PowerCtrl(HANDLE hDrive, DWORD mode) {
  EnterBridgeLock();
  INT32 result = JmiPowerSteps(hDrive, mode);
  LeaveBridgeLock();
  return result;
}
