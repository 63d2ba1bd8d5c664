// Drives of the system's own NVMe driver: vendor commands through the storage
// protocol request, firmware through the firmware download and activate
// requests, Identify through the protocol-specific property query.
#include <cstring>

#include "app/Log.h"
#include "platform/Platform.h"
#include "transport/CmdModel.h"
#include "transport/RequestBuffer.h"
#include "transport/WireFormats.h"

namespace {

// The data follows the request's command.
constexpr DWORD PROTOCOL_DATA_OFFSET = offsetof(STORAGE_PROTOCOL_COMMAND, Command) + sizeof(NvmeCommand);
static_assert(PROTOCOL_DATA_OFFSET == 0x90, "protocol command data");
constexpr DWORD FW_INFO_SIZE = offsetof(STORAGE_HW_FIRMWARE_INFO, Slot) + 7 * sizeof(STORAGE_HW_FIRMWARE_SLOT_INFO);
// The query's header, the protocol-specific record, then the reply's data,
// which the record places right after itself.
constexpr DWORD IDENTIFY_PROTOCOL_DATA_OFFSET = sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA);
constexpr DWORD IDENTIFY_DATA_OFFSET = offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters) +
                                       IDENTIFY_PROTOCOL_DATA_OFFSET;
static_assert(IDENTIFY_DATA_OFFSET == 0x30, "identify data");

INT32 NoMemory() {
  ReportDeviceError(ERROR_NOT_ENOUGH_MEMORY);
  return RES_REQUEST_FAILED;
}

INT32 RequestFailed() {
  DWORD error = GetLastError();
  ReportDeviceError(error);
  NoteSystemError(error);
  return RES_REQUEST_FAILED;
}

}  // namespace

INT32 IO_NVMe_ProtocolCmd(HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer, DWORD length) {
  const BYTE opcode = static_cast<BYTE>(command->CDW[0]);
  bool withData = direction == DIR_WRITE || direction == DIR_READ;
  if (withData && length != 0 && buffer == nullptr) return RES_REQUEST_FAILED;
  DWORD size = PROTOCOL_DATA_OFFSET + (withData ? length : 0);
  BYTE* request = AllocRequest(size);
  if (request == nullptr) return NoMemory();

  auto* cmd = reinterpret_cast<STORAGE_PROTOCOL_COMMAND*>(request);
  cmd->Version = STORAGE_PROTOCOL_STRUCTURE_VERSION;
  cmd->Length = sizeof(STORAGE_PROTOCOL_COMMAND);
  cmd->ProtocolType = ProtocolTypeNvme;
  cmd->Flags = STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST;
  cmd->CommandLength = STORAGE_PROTOCOL_COMMAND_LENGTH_NVME;
  cmd->DataToDeviceTransferLength = direction == DIR_WRITE ? length : 0;
  cmd->DataFromDeviceTransferLength = direction == DIR_READ ? length : 0;
  cmd->TimeOutValue = NVME_PROTOCOL_TIMEOUT_SECONDS;
  cmd->DataToDeviceBufferOffset = PROTOCOL_DATA_OFFSET;
  cmd->DataFromDeviceBufferOffset = PROTOCOL_DATA_OFFSET;
  cmd->CommandSpecific = STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND;
  memcpy(cmd->Command, command, sizeof(NvmeCommand));
  if (direction == DIR_WRITE && length != 0) memcpy(request + PROTOCOL_DATA_OFFSET, buffer, length);

  DWORD returned = 0;
  INT32 result = RES_SUCCESS;
  if (!plat::DeviceIoControl(hDrive, IOCTL_STORAGE_PROTOCOL_COMMAND, request, size, request, size, &returned,
                             nullptr)) {
    result = RequestFailed();
  } else if (cmd->ReturnStatus != STORAGE_PROTOCOL_STATUS_SUCCESS) {
    // The request reached the drive and the drive refused the command (or a
    // driver left the status unset, which reads as pending): a failure, not
    // a success with garbage data.
    LogDetail(L"IO_NVMe_ProtocolCmd opcode %02X refused: status %d, error 0x%08X", opcode, cmd->ReturnStatus,
              cmd->ErrorCode);
    // For an NVMe command the driver's error code is the completion's status field.
    if (cmd->ReturnStatus == STORAGE_PROTOCOL_STATUS_ERROR && cmd->ErrorCode != 0) NoteNvmeStatus(cmd->ErrorCode);
    else NoteProtocolStatus(cmd->ReturnStatus);
    result = RES_REQUEST_FAILED;
  } else if (direction == DIR_READ && length != 0) {
    memcpy(buffer, request + PROTOCOL_DATA_OFFSET, length);
  }
  FreeRequest(request);
  return result;
}

INT32 IO_NVMe_DownloadFW(HANDLE hDrive, DWORD offset, const BYTE* piece, DWORD pieceLength, BYTE slot) {
  if (pieceLength > FW_PIECE_MAX) return RES_REQUEST_FAILED;
  BYTE* request = AllocRequest(sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD) + pieceLength);
  if (request == nullptr) return NoMemory();

  auto* download = reinterpret_cast<STORAGE_HW_FIRMWARE_DOWNLOAD*>(request);
  download->Version = sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD);
  download->Size = pieceLength + sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD);
  download->Flags = STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER;
  download->Slot = slot;
  download->Offset = offset;
  download->BufferSize = pieceLength;
  if (pieceLength != 0) memcpy(download->ImageBuffer, piece, pieceLength);

  DWORD returned = 0;
  INT32 result = RES_SUCCESS;
  if (!plat::DeviceIoControl(hDrive, IOCTL_STORAGE_FIRMWARE_DOWNLOAD, request, download->Size, nullptr, 0, &returned,
                             nullptr))
    result = RequestFailed();
  FreeRequest(request);
  return result;
}

INT32 IO_NVMe_GetFirmwareInfo(HANDLE hDrive, DriverFirmwareInfo* info) {
  ZeroMemory(info, sizeof *info);
  STORAGE_HW_FIRMWARE_INFO_QUERY query = {sizeof query, sizeof query, STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER, 0};
  BYTE* reply = AllocRequest(FW_INFO_SIZE);
  if (reply == nullptr) return NoMemory();
  DWORD returned = 0;
  INT32 result = RES_SUCCESS;
  const auto* answer = reinterpret_cast<const STORAGE_HW_FIRMWARE_INFO*>(reply);
  if (!plat::DeviceIoControl(hDrive, IOCTL_STORAGE_FIRMWARE_GET_INFO, &query, sizeof query, reply, FW_INFO_SIZE,
                             &returned, nullptr)) {
    result = RequestFailed();
  } else if (returned < offsetof(STORAGE_HW_FIRMWARE_INFO, Slot)) {
    LogLine(L"IO_NVMe_GetFirmwareInfo: %lu bytes are no firmware information", returned);
    result = RES_REQUEST_FAILED;
  } else {
    ReadFirmwareInfo(*answer, answer->SupportUpgrade,
                     (returned - offsetof(STORAGE_HW_FIRMWARE_INFO, Slot)) / sizeof(STORAGE_HW_FIRMWARE_SLOT_INFO),
                     info);
  }
  FreeRequest(reply);
  return result;
}

INT32 IO_NVMe_ActivateFW(HANDLE hDrive, DWORD slot, DWORD action) {
  STORAGE_HW_FIRMWARE_ACTIVATE activate = {};
  activate.Version = sizeof(STORAGE_HW_FIRMWARE_ACTIVATE);
  activate.Size = sizeof(STORAGE_HW_FIRMWARE_ACTIVATE);
  activate.Flags = STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER;
  if (action != COMMIT_ACTION_REPLACE_AND_ACTIVATE) activate.Flags |= STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE;
  activate.Slot = static_cast<BYTE>(slot);

  DWORD returned = 0;
  if (plat::DeviceIoControl(hDrive, IOCTL_STORAGE_FIRMWARE_ACTIVATE, &activate, sizeof(activate), nullptr, 0,
                            &returned, nullptr)) {
    return RES_SUCCESS;
  }
  DWORD error = GetLastError();
  ReportDeviceError(error);
  // The image was accepted and runs after the next power cycle: what the
  // class driver makes of a commit that needs a conventional reset.
  if (error == static_cast<DWORD>(STG_S_POWER_CYCLE_REQUIRED)) {
    NoteResetNeed(RESET_POWER_CYCLE);
    return RES_SUCCESS;
  }
  NoteSystemError(error);
  return RES_REQUEST_FAILED;
}

INT32 IO_NVMe_Identify(HANDLE hDrive, DWORD cns, DWORD nsid, void* buffer, DWORD length) {
  DWORD size = IDENTIFY_DATA_OFFSET + length;
  BYTE* request = AllocRequest(size);
  if (request == nullptr) return NoMemory();

  auto* query = reinterpret_cast<STORAGE_PROPERTY_QUERY*>(request);
  query->PropertyId = StorageAdapterProtocolSpecificProperty;
  query->QueryType = PropertyStandardQuery;
  auto* protocol = reinterpret_cast<STORAGE_PROTOCOL_SPECIFIC_DATA*>(query->AdditionalParameters);
  protocol->ProtocolType = ProtocolTypeNvme;
  protocol->DataType = NVMeDataTypeIdentify;
  protocol->ProtocolDataRequestValue = cns;
  protocol->ProtocolDataRequestSubValue = nsid;
  protocol->ProtocolDataOffset = IDENTIFY_PROTOCOL_DATA_OFFSET;
  protocol->ProtocolDataLength = length;

  DWORD returned = 0;
  INT32 result = RES_SUCCESS;
  if (plat::DeviceIoControl(hDrive, IOCTL_STORAGE_QUERY_PROPERTY, request, size, request, size, &returned,
                            nullptr)) {
    memcpy(buffer, request + IDENTIFY_DATA_OFFSET, length);
  } else {
    result = RequestFailed();
  }
  FreeRequest(request);
  return result;
}
