// Drives behind the Intel RST driver: every request goes to the adapter's
// SCSI port as IOCTL_SCSI_MINIPORT, and names the drive by its path id.
#include <cstddef>
#include <cstring>

#include "app/Log.h"
#include "platform/Platform.h"
#include "transport/CmdModel.h"
#include "transport/RequestBuffer.h"
#include "transport/WireFormats.h"

namespace {

void FillHeader(BYTE* request, const char (&signature)[9], DWORD timeout, DWORD control, DWORD size,
                INT32 iPathId) {
  auto* header = reinterpret_cast<RstHeader*>(request);
  header->Srb.HeaderLength = sizeof(SRB_IO_CONTROL);
  memcpy(header->Srb.Signature, signature, 8);
  header->Srb.Timeout = timeout;
  header->Srb.ControlCode = control;
  header->Srb.Length = size - sizeof(SRB_IO_CONTROL);
  header->Version = 1;
  header->PathId = static_cast<BYTE>(iPathId);
}

// The miniport firmware request; its record follows at 0x38.
BYTE* FillFirmwareRequest(BYTE* request, DWORD size, INT32 iPathId, DWORD function, DWORD recordLength) {
  FillHeader(request, "IntelFw ", RST_FIRMWARE_TIMEOUT_SECONDS, RST_CONTROL_FIRMWARE, size, iPathId);
  auto* fw = reinterpret_cast<RstFirmwareRequest*>(request);
  fw->Block.Version = FIRMWARE_REQUEST_BLOCK_STRUCTURE_VERSION;
  fw->Block.Size = sizeof(FIRMWARE_REQUEST_BLOCK);
  fw->Block.Function = function;
  fw->Block.Flags = FIRMWARE_REQUEST_FLAG_CONTROLLER;
  fw->Block.DataBufferOffset = sizeof(RstFirmwareRequest);
  fw->Block.DataBufferLength = recordLength;
  return request + sizeof(RstFirmwareRequest);
}

// A request the port completed is answered only as far as the bytes it
// handed back: a buffer past them holds what was sent, or zeros, which read
// as ReturnCode 0 and an empty completion entry, a success.
INT32 Send(HANDLE hScsiPort, BYTE* request, DWORD size, BYTE* reply, DWORD replySize, DWORD needed) {
  DWORD returned = 0;
  if (!plat::DeviceIoControl(hScsiPort, IOCTL_SCSI_MINIPORT, request, size, reply, replySize, &returned, nullptr)) {
    NoteSystemError(GetLastError());
    return RES_REQUEST_FAILED;
  }
  if (returned >= needed) return RES_SUCCESS;
  LogDetail(L"IO_RST: the driver handed back %lu of %lu bytes", returned, needed);
  NoteShortReply(returned, needed);
  return RES_REQUEST_FAILED;
}

// The miniport answers a firmware request in the header's ReturnCode, which
// only comes back when the request is its own output buffer too.
INT32 SendFirmware(HANDLE hScsiPort, BYTE* request, DWORD size, bool activation) {
  INT32 result = Send(hScsiPort, request, size, request, size, sizeof(SRB_IO_CONTROL));
  if (result != RES_SUCCESS) return result;
  DWORD code = reinterpret_cast<const RstHeader*>(request)->Srb.ReturnCode;
  if (code == FIRMWARE_STATUS_SUCCESS) return RES_SUCCESS;
  // The new image is accepted and runs after the next power cycle.
  if (activation && code == FIRMWARE_STATUS_POWER_CYCLE_REQUIRED) {
    NoteResetNeed(RESET_POWER_CYCLE);
    return RES_SUCCESS;
  }
  LogDetail(L"IO_RST firmware %s refused: ReturnCode 0x%X", activation ? L"activation" : L"piece", code);
  NoteDriverCode(code);
  return RES_REQUEST_FAILED;
}

}  // namespace

INT32 IO_RST_NVMeCmd(HANDLE hScsiPort, INT32 iPathId, const NvmeCommand* command, void* buffer, DWORD length) {
  if (length != 0 && buffer == nullptr) return RES_REQUEST_FAILED;
  DWORD size = sizeof(RstNvmeRequest) + length + RST_NVME_TRAILER;
  BYTE* request = AllocRequest(size);
  BYTE* reply = AllocRequest(size);
  INT32 result = RES_REQUEST_FAILED;
  if (request != nullptr && reply != nullptr) {
    FillHeader(request, "IntelNvm", RST_NVME_TIMEOUT_SECONDS, RST_CONTROL_NVME_PASS_THROUGH, size, iPathId);
    auto* nvme = reinterpret_cast<RstNvmeRequest*>(request);
    memcpy(nvme->Command, command, sizeof(NvmeCommand));
    nvme->DataOffset = sizeof(RstNvmeRequest);
    nvme->DataLength = length;
    // The driver takes the direction from the command, so the data area
    // always carries the caller's buffer (read buffers come zeroed).
    if (length != 0) memcpy(request + sizeof(RstNvmeRequest), buffer, length);
    // The answer: the header, the completion entry and the data area.
    result = Send(hScsiPort, request, size, reply, size, sizeof(RstNvmeRequest) + length);
    if (result == RES_SUCCESS) {
      // The driver's verdict and the drive's completion entry: a refused
      // command leaves the caller's buffer as it was.
      auto* answer = reinterpret_cast<const RstNvmeRequest*>(reply);
      UINT32 status = NvmeCompletionStatus(answer->Completion);
      const BYTE opcode = static_cast<BYTE>(command->CDW[0]);
      // The drive's completion decides, as behind the bridges; a driver
      // that failed the request without one decides alone.
      if (status != 0) {
        result = JudgeCompletion(opcode, status);
      } else if (answer->Header.Srb.ReturnCode != 0) {
        NoteDriverCode(answer->Header.Srb.ReturnCode);
        result = RES_REQUEST_FAILED;
      }
      if (result != RES_SUCCESS) {
        LogDetail(L"IO_RST_NVMeCmd opcode %02X refused: ReturnCode 0x%X, status 0x%04X", opcode,
                  answer->Header.Srb.ReturnCode, status);
      } else if (length != 0) {
        memcpy(buffer, reply + sizeof(RstNvmeRequest), length);
      }
    }
  }
  FreeRequest(request);
  FreeRequest(reply);
  return result;
}

INT32 IO_RST_DownloadFW(HANDLE hScsiPort, INT32 iPathId, DWORD offset, const BYTE* piece, DWORD pieceLength) {
  DWORD size = RST_PIECE_HEADER + pieceLength;
  BYTE* request = AllocRequest(size);
  if (request == nullptr) return RES_REQUEST_FAILED;
  auto* record = reinterpret_cast<STORAGE_FIRMWARE_DOWNLOAD_V2*>(
      FillFirmwareRequest(request, size, iPathId, FIRMWARE_FUNCTION_DOWNLOAD, pieceLength + sizeof(STORAGE_FIRMWARE_DOWNLOAD_V2)));
  record->Version = STORAGE_FIRMWARE_DOWNLOAD_STRUCTURE_VERSION_V2;
  record->Size = sizeof(STORAGE_FIRMWARE_DOWNLOAD_V2);
  record->Offset = offset;
  record->BufferSize = pieceLength;
  record->Slot = 0xFF;  // the driver chooses the slot at activation
  record->ImageSize = 0;
  if (pieceLength != 0) memcpy(request + RST_PIECE_HEADER, piece, pieceLength);
  INT32 result = SendFirmware(hScsiPort, request, size, false);
  FreeRequest(request);
  return result;
}

INT32 IO_RST_ActivateFW(HANDLE hScsiPort, INT32 iPathId, BYTE slot) {
  BYTE* request = AllocRequest(RST_ACTIVATE_SIZE);
  if (request == nullptr) return RES_REQUEST_FAILED;
  BYTE* at = FillFirmwareRequest(request, RST_ACTIVATE_SIZE, iPathId, FIRMWARE_FUNCTION_ACTIVATE,
                                 sizeof(STORAGE_FIRMWARE_ACTIVATE));
  auto* record = reinterpret_cast<STORAGE_FIRMWARE_ACTIVATE*>(at);
  record->Version = STORAGE_FIRMWARE_ACTIVATE_STRUCTURE_VERSION;
  record->Size = sizeof(STORAGE_FIRMWARE_ACTIVATE);
  record->SlotToActivate = slot;
  // Two words the driver's activation request carries after the record.
  const DWORD tail[2] = {5, 7};
  memcpy(at + sizeof(STORAGE_FIRMWARE_ACTIVATE), tail, sizeof tail);
  INT32 result = SendFirmware(hScsiPort, request, RST_ACTIVATE_SIZE, true);
  FreeRequest(request);
  return result;
}

INT32 IO_RST_GetFirmwareInfo(HANDLE hScsiPort, INT32 iPathId, DriverFirmwareInfo* info) {
  ZeroMemory(info, sizeof *info);
  constexpr DWORD RST_INFO_SLOTS = 7;  // the most a controller has
  constexpr DWORD RECORD = offsetof(STORAGE_FIRMWARE_INFO_V2, Slot) + RST_INFO_SLOTS * sizeof(STORAGE_FIRMWARE_SLOT_INFO_V2);
  constexpr DWORD SIZE = sizeof(RstFirmwareRequest) + RECORD;
  BYTE* request = AllocRequest(SIZE);
  if (request == nullptr) return RES_REQUEST_FAILED;
  auto* record = reinterpret_cast<STORAGE_FIRMWARE_INFO_V2*>(
      FillFirmwareRequest(request, SIZE, iPathId, FIRMWARE_FUNCTION_GET_INFO, RECORD));
  record->Version = STORAGE_FIRMWARE_INFO_STRUCTURE_VERSION_V2;
  record->Size = offsetof(STORAGE_FIRMWARE_INFO_V2, Slot);
  INT32 result = SendFirmware(hScsiPort, request, SIZE, false);
  if (result == RES_SUCCESS) ReadFirmwareInfo(*record, record->UpgradeSupport, RST_INFO_SLOTS, info);
  FreeRequest(request);
  return result;
}
