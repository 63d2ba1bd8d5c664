#include "transport/CmdModel.h"

#include "app/Log.h"
#include "app/Text.h"
#include "platform/Platform.h"
#include "transport/Transports.h"
#include "transport/WireFormats.h"

NvmeCommand BuildVendorCommand(BYTE opcode, DWORD length, DWORD cdw12, DWORD cdw13, DWORD cdw14, DWORD cdw15) {
  NvmeCommand cmd = {};
  cmd.CDW[0] = opcode;
  cmd.CDW[1] = NSID_ALL;
  cmd.CDW[10] = length >> 2;  // the data in dwords
  cmd.CDW[12] = cdw12;
  cmd.CDW[13] = cdw13;
  cmd.CDW[14] = cdw14;
  cmd.CDW[15] = cdw15;
  return cmd;
}

NvmeCommand BuildCommitCommand(DWORD slot, DWORD action) {
  NvmeCommand cmd = {};
  cmd.CDW[0] = NVME_OP_FW_COMMIT;
  cmd.CDW[10] = CommitCdw10(slot, action);
  return cmd;
}

NvmeCommand BuildDownloadCommand(DWORD offset, DWORD pieceLength) {
  NvmeCommand cmd = {};
  cmd.CDW[0] = NVME_OP_FW_DOWNLOAD;
  cmd.CDW[10] = DownloadNumd(pieceLength);
  cmd.CDW[11] = DownloadOfst(offset);
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
  return GetLe32(entry + COMPLETION_DW3) >> COMPLETION_STATUS_SHIFT;
}

INT32 VendorCmd(const CmdContext* ctx, HANDLE hDrive, DWORD direction, BYTE opcode, DWORD cdw12, DWORD cdw13,
                DWORD cdw14, DWORD cdw15, void* buffer, DWORD length) {
  ClearCmdFault();
  NoteCmdStep(direction == DIR_WRITE ? L"the vendor write" : L"the vendor read", -1);
  const Transport* transport = FindTransport(ctx->iCmdType);
  if (transport == nullptr) return RES_NO_TRANSPORT;
  NvmeCommand cmd = BuildVendorCommand(opcode, length, cdw12, cdw13, cdw14, cdw15);
  return transport->Admin(ctx, hDrive, direction, &cmd, buffer, length, nullptr);
}

// Computed in 64 bits: offset * 10 overflows 32 bits on images past 400 MiB.
UINT32 DownloadPercentage(UINT32 offset, UINT32 size) {
  return static_cast<UINT32>((static_cast<UINT64>(offset) * 10 / size) * 10);
}

namespace {
ULONGLONG g_downloadDeadline = 0;
}  // namespace

void SetDownloadDeadline(ULONGLONG tick) { g_downloadDeadline = tick; }

DWORD RequestTimeoutSeconds(INT32 cmdType, bool firmware) {
  const Transport* transport = FindTransport(cmdType);
  if (transport == nullptr) return 0;
  return firmware ? transport->dwFirmwareSeconds : transport->dwCommandSeconds;
}

INT32 DownloadFW(const CmdContext* ctx, HANDLE hDrive, const BYTE* image, UINT32 size, const FirmwarePlan* plan) {
  const DWORD pieceSize = plan != nullptr ? plan->dwPieceSize : FW_PIECE_SIZE;
  const BYTE slot = plan != nullptr ? plan->bSlot : 1;
  LogDetail(L"DownloadFW IN");
  ClearCmdFault();
  const Transport* transport = FindTransport(ctx->iCmdType);
  if (transport == nullptr) return RES_NO_TRANSPORT;
  UINT32 offset = 0;
  UINT32 remaining = size;
  UINT32 lastPercentage = 0;
  while (remaining != 0) {
    UINT32 percentage = DownloadPercentage(offset, size);
    if (percentage != lastPercentage) {
      LogDetail(L"DownloadFW %3d%%", percentage);
      lastPercentage = percentage;
      ReportProgress(percentage);
    }
    // Stopping between pieces leaves nothing committed: the old firmware runs.
    if (g_downloadDeadline != 0 && plat::GetTickCount64() >= g_downloadDeadline) {
      LogLine(L"DownloadFW: the time allowed ran out at offset %u of %u; nothing was committed", offset, size);
      return RES_DEADLINE;
    }
    DWORD length = remaining < pieceSize ? remaining : pieceSize;
    NoteCmdStep(L"the download", offset);
    INT32 result = transport->Piece(ctx, hDrive, offset, image + offset, length, slot);
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
  const Transport* transport = FindTransport(ctx->iCmdType);
  if (transport == nullptr) return RES_NO_TRANSPORT;
  INT32 result = transport->Commit(ctx, hDrive, slot, action);
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
  DWORD granularity = facts.fwug == FWUG_NONE_0 || facts.fwug == FWUG_NONE_FF ? 4 : facts.fwug * FWUG_UNIT;
  DWORD slots = (facts.frmw >> FRMW_SLOTS_SHIFT) & FRMW_SLOTS_MASK;
  if (slots == 0) slots = 1;
  bool readOnly[8] = {};
  readOnly[1] = (facts.frmw & FRMW_SLOT1_READ_ONLY) != 0;
  const Transport* transport = FindTransport(ctx->iCmdType);
  if (transport == nullptr) return RES_NO_TRANSPORT;
  DWORD alignment = 4, maxPiece = transport->dwMaxPiece;
  BYTE active = 0;
  const WCHAR* limiter = maxPiece < FW_PIECE_MAX ? transport->szCarrier : L"Kestrel";
  if (transport->FirmwareInfo != nullptr) {
    // The system's driver, or the RST miniport, knows the slots and holds
    // each piece to its own alignment and size.
    const WCHAR* driver = transport->szCarrier;
    DriverFirmwareInfo info;
    INT32 result = transport->FirmwareInfo(ctx, hDrive, &info);
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
