#include "transport/CmdModel.h"

#include "app/AppState.h"
#include "app/Text.h"
#include "platform/Platform.h"
#include "transport/StorageDefs.h"
#include "transport/UsbBridge.h"

NvmeCommand BuildVendorCommand(BYTE opcode, DWORD length, DWORD cdw12, DWORD cdw13, DWORD cdw14, DWORD cdw15) {
  NvmeCommand cmd = {};
  cmd.CDW[0] = opcode;
  cmd.CDW[1] = 0xFFFFFFFF;
  cmd.CDW[10] = length >> 2;
  cmd.CDW[12] = cdw12;
  cmd.CDW[13] = cdw13;
  cmd.CDW[14] = cdw14;
  cmd.CDW[15] = cdw15;
  return cmd;
}

NvmeCommand BuildCommitCommand(DWORD slot, DWORD action) {
  NvmeCommand cmd = {};
  cmd.CDW[0] = NVME_OP_FW_COMMIT;
  cmd.CDW[10] = slot | (action << 3);
  return cmd;
}

NvmeCommand BuildDownloadCommand(DWORD offset, DWORD pieceLength) {
  NvmeCommand cmd = {};
  cmd.CDW[0] = NVME_OP_FW_DOWNLOAD;
  cmd.CDW[10] = (pieceLength - 1) >> 2;  // NUMD counts from 0
  cmd.CDW[11] = offset >> 2;             // OFST in dwords
  return cmd;
}

NvmeCommand BuildIdentifyCommand(DWORD cns, DWORD nsid) {
  NvmeCommand cmd = {};
  cmd.CDW[0] = NVME_OP_IDENTIFY;
  cmd.CDW[1] = nsid;
  cmd.CDW[10] = cns;
  return cmd;
}

INT32 JudgeCompletion(BYTE opcode, UINT32 statusField) {
  if (statusField == 0) return RES_SUCCESS;
  INT32 need = opcode == NVME_OP_FW_COMMIT ? CommitResetNeed(statusField) : -1;
  if (need >= 0) {
    NoteResetNeed(need);
    return RES_SUCCESS;
  }
  NoteNvmeStatus(statusField);
  return RES_REQUEST_FAILED;
}

UINT32 NvmeCompletionStatus(const BYTE* entry) {
  UINT32 dw3 = static_cast<UINT32>(entry[12]) | static_cast<UINT32>(entry[13]) << 8 |
               static_cast<UINT32>(entry[14]) << 16 | static_cast<UINT32>(entry[15]) << 24;
  return dw3 >> 17;
}

INT32 VendorCmd(const CmdContext* ctx, HANDLE hDrive, DWORD direction, BYTE opcode, DWORD cdw12, DWORD cdw13,
                DWORD cdw14, DWORD cdw15, void* buffer, DWORD length) {
  ClearCmdFault();
  NoteCmdStep(direction == DIR_WRITE ? L"the vendor write" : L"the vendor read", -1);
  NvmeCommand cmd = BuildVendorCommand(opcode, length, cdw12, cdw13, cdw14, cdw15);
  switch (ctx->iCmdType) {
    case CMD_NVME:
      return IO_NVMe_ProtocolCmd(hDrive, direction, opcode, cdw12, cdw13, cdw14, cdw15, buffer, length);
    case CMD_RST:
      return IO_RST_NVMeCmd(ctx->hScsiPort, ctx->iPathId, &cmd, buffer, length);
    case CMD_ASM_USB:
      return IO_USB_ASM_NVMeCmd(hDrive, direction, &cmd, buffer, length);
    case CMD_JMI_USB:
      return IO_USB_JMI_NVMeCmd(hDrive, direction, &cmd, buffer, length, nullptr);
    default:
      return RES_NO_TRANSPORT;
  }
}

// Computed in 64 bits: offset * 10 overflows 32 bits on images past 400 MiB.
UINT32 DownloadPercentage(UINT32 offset, UINT32 size) {
  return static_cast<UINT32>((static_cast<UINT64>(offset) * 10 / size) * 10);
}

static INT32 SendPiece(const CmdContext* ctx, HANDLE hDrive, DWORD offset, const BYTE* piece, DWORD length,
                       BYTE slot) {
  switch (ctx->iCmdType) {
    case CMD_NVME:
      return IO_NVMe_DownloadFW(hDrive, offset, piece, length, slot);
    case CMD_RST:
      return IO_RST_DownloadFW(ctx->hScsiPort, ctx->iPathId, offset, piece, length);
    case CMD_ASM_USB:
      return IO_USB_ASM_DownloadFW(hDrive, offset, piece, length);
    case CMD_JMI_USB:
      return IO_USB_JMI_DownloadFW(hDrive, offset, piece, length);
    default:
      return RES_NO_TRANSPORT;
  }
}

namespace {
ULONGLONG g_downloadDeadline = 0;
}  // namespace

void SetDownloadDeadline(ULONGLONG tick) { g_downloadDeadline = tick; }

DWORD RequestTimeoutSeconds(INT32 cmdType, bool firmware) {
  switch (cmdType) {
    case CMD_NVME:
      return firmware ? NVME_FIRMWARE_REQUEST_SECONDS : NVME_PROTOCOL_TIMEOUT_SECONDS;
    case CMD_RST:
      return firmware ? RST_FIRMWARE_TIMEOUT_SECONDS : RST_NVME_TIMEOUT_SECONDS;
    default:
      return firmware ? BRIDGE_FLASH_TIMEOUT_SECONDS : BRIDGE_TIMEOUT_SECONDS;
  }
}

INT32 DownloadFW(const CmdContext* ctx, HANDLE hDrive, const BYTE* image, UINT32 size, const FirmwarePlan* plan) {
  const DWORD pieceSize = plan != nullptr ? plan->dwPieceSize : FW_PIECE_SIZE;
  const BYTE slot = plan != nullptr ? plan->bSlot : 1;
  LogDetail(L"DownloadFW IN");
  ClearCmdFault();
  UINT32 offset = 0;
  UINT32 remaining = size;
  UINT32 lastPercentage = 0;
  while (remaining != 0) {
    UINT32 percentage = DownloadPercentage(offset, size);
    if (percentage != lastPercentage) {
      LogDetail(L"DownloadFW %3d%%", percentage);
      lastPercentage = percentage;
      if (HWND hDlg = GetAppState()->hDlg) PostMessageW(hDlg, WM_UPDATE_PROGRESS, 0, percentage);
    }
    // Stopping between pieces leaves nothing committed: the old firmware runs.
    if (g_downloadDeadline != 0 && plat::GetTickCount64() >= g_downloadDeadline) {
      LogLine(L"DownloadFW: the time allowed ran out at offset %u of %u; nothing was committed", offset, size);
      return RES_DEADLINE;
    }
    DWORD length = remaining < pieceSize ? remaining : pieceSize;
    NoteCmdStep(L"the download", offset);
    INT32 result = SendPiece(ctx, hDrive, offset, image + offset, length, slot);
    if (result == RES_NO_TRANSPORT) return RES_NO_TRANSPORT;
    if (result != RES_SUCCESS) return RES_REQUEST_FAILED;
    offset += length;
    remaining -= length;
  }
  LogDetail(L"DownloadFW Success OUT");
  return RES_SUCCESS;
}

INT32 FWCommit(const CmdContext* ctx, HANDLE hDrive, DWORD slot, DWORD action) {
  LogDetail(L"FW Commit IN");
  ClearCmdFault();
  NoteCmdStep(L"the commit", -1);
  INT32 result;
  switch (ctx->iCmdType) {
    case CMD_NVME:
      // The system builds the commit itself from slot and action.
      result = IO_NVMe_ActivateFW(hDrive, slot, action);
      break;
    case CMD_RST:
      // The driver's activation names the slot and takes no action code.
      result = IO_RST_ActivateFW(ctx->hScsiPort, ctx->iPathId, static_cast<BYTE>(slot));
      break;
    case CMD_ASM_USB: {
      NvmeCommand cmd = BuildCommitCommand(slot, action);
      result = IO_USB_ASM_NVMeCmd(hDrive, DIR_NONE, &cmd, nullptr, 0);
      break;
    }
    case CMD_JMI_USB: {
      NvmeCommand cmd = BuildCommitCommand(slot, action);
      result = IO_USB_JMI_NVMeCmd(hDrive, DIR_NONE, &cmd, nullptr, 0, nullptr);
      break;
    }
    default:
      return RES_NO_TRANSPORT;
  }
  if (result != RES_SUCCESS) return result;
  LogDetail(L"FW Commit Success OUT ");
  INT32 need = LastCmdFault()->iReset;
  if (need != RESET_NEXT) LogLine(L"FWCommit: the drive took the image; it runs after %s", ResetNeedName(need));
  return result;
}

namespace {

DWORD Gcd(DWORD a, DWORD b) {
  while (b != 0) {
    DWORD r = a % b;
    a = b;
    b = r;
  }
  return a;
}

// The smallest multiple of both, or 0 past the largest piece.
DWORD Lcm(DWORD a, DWORD b) {
  ULONGLONG m = static_cast<ULONGLONG>(a) / Gcd(a, b) * b;
  return m > FW_PIECE_MAX ? 0 : static_cast<DWORD>(m);
}

}  // namespace

INT32 PlanFirmwareUpdate(const CmdContext* ctx, HANDLE hDrive, const FirmwareFacts& facts, DWORD imageSize,
                         FirmwarePlan* plan, WCHAR* why, size_t capacity) {
  why[0] = L'\0';
  DWORD granularity = facts.fwug == FWUG_NONE_0 || facts.fwug == FWUG_NONE_FF ? 4 : facts.fwug * 4096u;
  DWORD slots = (facts.frmw >> 1) & 7;
  if (slots == 0) slots = 1;
  bool readOnly[8] = {};
  readOnly[1] = (facts.frmw & FRMW_SLOT1_READ_ONLY) != 0;
  DWORD alignment = 4, maxPiece = ctx->iCmdType == CMD_ASM_USB || ctx->iCmdType == CMD_JMI_USB ? BRIDGE_MAX_TRANSFER
                                                                                               : FW_PIECE_MAX;
  BYTE active = 0;
  const WCHAR* limiter = ctx->iCmdType == CMD_ASM_USB || ctx->iCmdType == CMD_JMI_USB ? L"the USB bridge" : L"Kestrel";
  if (ctx->iCmdType == CMD_NVME || ctx->iCmdType == CMD_RST) {
    // The system's driver, or the RST miniport, knows the slots and holds
    // each piece to its own alignment and size.
    const WCHAR* driver = ctx->iCmdType == CMD_NVME ? L"the Windows NVMe driver" : L"the Intel RST driver";
    DriverFirmwareInfo info;
    INT32 result = ctx->iCmdType == CMD_NVME ? IO_NVMe_GetFirmwareInfo(hDrive, &info)
                                             : IO_RST_GetFirmwareInfo(ctx->hScsiPort, ctx->iPathId, &info);
    if (result != RES_SUCCESS) {
      FormatText(why, capacity, L"%s did not tell the drive's firmware slots", driver);
      return result;
    }
    if (!info.bSupportUpgrade) {
      FormatText(why, capacity, L"%s says the drive's firmware cannot be updated", driver);
      return RES_CANNOT_CUT;
    }
    if (info.bPendingSlot != STORAGE_HW_FIRMWARE_INVALID_SLOT && info.bPendingSlot != 0) {
      FormatText(why, capacity, L"an image already waits in slot %u to be activated", info.bPendingSlot);
      return RES_UPDATE_WAITS;
    }
    if (info.bSlotCount != 0) slots = info.bSlotCount;
    for (DWORD s = 1; s < 8; ++s) readOnly[s] = readOnly[s] || info.bReadOnly[s] != 0;
    if (info.dwAlignment != 0) alignment = info.dwAlignment;
    if (info.dwMaxPayload != 0 && info.dwMaxPayload < maxPiece) {
      maxPiece = info.dwMaxPayload;
      limiter = driver;
    }
    active = info.bActiveSlot;
  }
  DWORD piece = Lcm(Lcm(FW_PIECE_SIZE, granularity), alignment);
  if (piece == 0 || piece > maxPiece) {
    FormatText(why, capacity, L"the drive needs pieces in multiples of %lu bytes (aligned to %lu), %s takes %lu at most",
                 granularity, alignment, limiter, maxPiece);
    return RES_CANNOT_CUT;
  }
  DWORD unit = Lcm(Lcm(granularity, alignment), 4);
  if (unit == 0 || imageSize % unit != 0) {
    FormatText(why, capacity, L"the image (%lu bytes) is no whole number of the %lu-byte units the drive and driver take",
               imageSize, unit);
    return RES_CANNOT_CUT;
  }
  BYTE slot = 0;
  for (DWORD s = 1; s <= slots && s < 8 && slot == 0; ++s)
    if (!readOnly[s] && (s == 1 || s != active)) slot = static_cast<BYTE>(s);
  if (slot == 0) {
    FormatText(why, capacity, L"the drive has no writable firmware slot (%lu slots, slot 1 read-only)", slots);
    return RES_CANNOT_CUT;
  }
  plan->dwPieceSize = piece;
  plan->bSlot = slot;
  LogLine(L"PlanFirmwareUpdate: pieces of %lu bytes to slot %u (FWUG %u, FRMW 0x%02X, alignment %lu, at most %lu)",
          piece, slot, facts.fwug, facts.frmw, alignment, maxPiece);
  return RES_SUCCESS;
}
