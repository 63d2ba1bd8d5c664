#include "transport/Transports.h"

#include "transport/UsbBridge.h"
#include "transport/WireFormats.h"

namespace {

// The system's NVMe driver: Identify through its property query, firmware
// through its own requests, which build the commands themselves.
INT32 NativeAdmin(const CmdContext*, HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer,
                  DWORD length, BYTE*) {
  return IO_NVMe_ProtocolCmd(hDrive, direction, command, buffer, length);
}
INT32 NativeIdentify(const CmdContext*, HANDLE hDrive, const NvmeCommand* command, void* buffer, DWORD length,
                     BYTE*) {
  return IO_NVMe_Identify(hDrive, command->CDW[10], command->CDW[1], buffer, length);
}
INT32 NativePiece(const CmdContext*, HANDLE hDrive, DWORD offset, const BYTE* piece, DWORD length, BYTE slot) {
  return IO_NVMe_DownloadFW(hDrive, offset, piece, length, slot);
}
INT32 NativeCommit(const CmdContext*, HANDLE hDrive, DWORD slot, DWORD action) {
  return IO_NVMe_ActivateFW(hDrive, slot, action);
}
INT32 NativeInfo(const CmdContext*, HANDLE hDrive, DriverFirmwareInfo* info) {
  return IO_NVMe_GetFirmwareInfo(hDrive, info);
}

// Intel RST: every request goes to the adapter's port and names the drive
// by its path id; the driver's activation takes the slot and no action.
INT32 RstAdmin(const CmdContext* ctx, HANDLE, DWORD, const NvmeCommand* command, void* buffer, DWORD length,
               BYTE*) {
  return IO_RST_NVMeCmd(ctx->hScsiPort, ctx->iPathId, command, buffer, length);
}
INT32 RstIdentify(const CmdContext* ctx, HANDLE hDrive, const NvmeCommand* command, void* buffer, DWORD length,
                  BYTE* checkCondition) {
  return RstAdmin(ctx, hDrive, DIR_READ, command, buffer, length, checkCondition);
}
INT32 RstPiece(const CmdContext* ctx, HANDLE, DWORD offset, const BYTE* piece, DWORD length, BYTE) {
  return IO_RST_DownloadFW(ctx->hScsiPort, ctx->iPathId, offset, piece, length);
}
INT32 RstCommit(const CmdContext* ctx, HANDLE, DWORD slot, DWORD) {
  return IO_RST_ActivateFW(ctx->hScsiPort, ctx->iPathId, static_cast<BYTE>(slot));
}
INT32 RstInfo(const CmdContext* ctx, HANDLE, DriverFirmwareInfo* info) {
  return IO_RST_GetFirmwareInfo(ctx->hScsiPort, ctx->iPathId, info);
}

// The bridges tunnel every command, the commit too.
INT32 AsmAdmin(const CmdContext*, HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer,
               DWORD length, BYTE*) {
  return IO_USB_ASM_NVMeCmd(hDrive, direction, command, buffer, length);
}
INT32 AsmIdentify(const CmdContext*, HANDLE hDrive, const NvmeCommand* command, void* buffer, DWORD length,
                  BYTE* checkCondition) {
  return IO_USB_ASM_Identify(hDrive, DIR_READ, command, buffer, length, checkCondition);
}
INT32 AsmPiece(const CmdContext*, HANDLE hDrive, DWORD offset, const BYTE* piece, DWORD length, BYTE) {
  return IO_USB_ASM_DownloadFW(hDrive, offset, piece, length);
}
INT32 AsmCommit(const CmdContext* ctx, HANDLE hDrive, DWORD slot, DWORD action) {
  NvmeCommand command = BuildCommitCommand(slot, action);
  return AsmAdmin(ctx, hDrive, DIR_NONE, &command, nullptr, 0, nullptr);
}

INT32 JmiAdmin(const CmdContext*, HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer,
               DWORD length, BYTE* checkCondition) {
  return IO_USB_JMI_NVMeCmd(hDrive, direction, command, buffer, length, checkCondition);
}
INT32 JmiIdentify(const CmdContext* ctx, HANDLE hDrive, const NvmeCommand* command, void* buffer, DWORD length,
                  BYTE* checkCondition) {
  return JmiAdmin(ctx, hDrive, DIR_READ, command, buffer, length, checkCondition);
}
INT32 JmiPiece(const CmdContext*, HANDLE hDrive, DWORD offset, const BYTE* piece, DWORD length, BYTE) {
  return IO_USB_JMI_DownloadFW(hDrive, offset, piece, length);
}
INT32 JmiCommit(const CmdContext* ctx, HANDLE hDrive, DWORD slot, DWORD action) {
  NvmeCommand command = BuildCommitCommand(slot, action);
  return JmiAdmin(ctx, hDrive, DIR_NONE, &command, nullptr, 0, nullptr);
}

// Bridges take no slot: their pieces and commit go where the command names.
const Transport kAsm = {L"ASMedia USB", L"ASMedia Bridge NVME to USB-%d", L"the USB bridge", TRUE, FALSE,
                        BRIDGE_MAX_TRANSFER, BRIDGE_TIMEOUT_SECONDS, BRIDGE_FLASH_TIMEOUT_SECONDS,
                        AsmAdmin, AsmIdentify, AsmPiece, AsmCommit, nullptr, IO_USB_ASM_PowerCtrl, ASM_POWER_CYCLE};
const Transport kJmi = {L"JMicron USB", L"JMicron Bridge NVME to USB-%d", L"the USB bridge", TRUE, FALSE,
                        BRIDGE_MAX_TRANSFER, BRIDGE_TIMEOUT_SECONDS, BRIDGE_FLASH_TIMEOUT_SECONDS,
                        JmiAdmin, JmiIdentify, JmiPiece, JmiCommit, nullptr, IO_USB_JMI_PowerCtrl, JMI_POWER_CYCLE};
// The system's firmware requests carry no timeout of their own.
const Transport kNative = {L"NVMe", nullptr, L"the Windows NVMe driver", FALSE, TRUE,
                           FW_PIECE_MAX, NVME_PROTOCOL_TIMEOUT_SECONDS, NVME_FIRMWARE_REQUEST_SECONDS,
                           NativeAdmin, NativeIdentify, NativePiece, NativeCommit, NativeInfo, nullptr, 0};
const Transport kRst = {L"Intel RST", L"Intel RST", L"the Intel RST driver", FALSE, FALSE,
                        FW_PIECE_MAX, RST_NVME_TIMEOUT_SECONDS, RST_FIRMWARE_TIMEOUT_SECONDS,
                        RstAdmin, RstIdentify, RstPiece, RstCommit, RstInfo, nullptr, 0};

}  // namespace

const Transport* FindTransport(INT32 cmdType) {
  switch (cmdType) {
    case CMD_ASM_USB: return &kAsm;
    case CMD_JMI_USB: return &kJmi;
    case CMD_NVME: return &kNative;
    case CMD_RST: return &kRst;
    default: return nullptr;
  }
}
