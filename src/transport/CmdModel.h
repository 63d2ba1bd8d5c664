// One command model over four transports: the NVMe admin command image, the
// transport of a drive, and the operations the update flow calls.
#pragma once

#include <windows.h>

// Transport of a drive (iCmdType).
enum CmdType : INT32 {
  CMD_ASM_USB = 0,  // ASMedia USB-to-NVMe bridge
  CMD_JMI_USB = 1,  // JMicron USB-to-NVMe bridge
  CMD_NVME = 2,     // the system's own NVMe driver
  CMD_RST = 3,      // Intel RST, through the adapter's SCSI miniport
  CMD_NONE = 255,   // no transport serves the drive
};

// Per-open context handed to every command together with the drive handle.
struct CmdContext {
  INT32 iCmdType;
  HANDLE hScsiPort;  // "\\.\scsi%d:", INVALID_HANDLE_VALUE when there is none
  INT32 iPathId;
};

// Results of every device and discovery operation.
constexpr INT32 RES_SUCCESS = 1;
constexpr INT32 RES_OPEN_FAILED = -1;
constexpr INT32 RES_REQUEST_FAILED = -4;
constexpr INT32 RES_NO_TRANSPORT = -5;

// Direction of a command's data.
constexpr DWORD DIR_NONE = 0;
constexpr DWORD DIR_WRITE = 1;  // host to drive
constexpr DWORD DIR_READ = 2;   // drive to host

// NVMe admin opcodes the program sends.
constexpr BYTE NVME_OP_FW_COMMIT = 0x10;
constexpr BYTE NVME_OP_FW_DOWNLOAD = 0x11;
// The maker's vendor commands that write the drive's flash.
constexpr BYTE VENDOR_OP_CONFIG_WRITE = 0xE5;  // CDW12 1: the configuration block
constexpr BYTE VENDOR_OP_DEVINFO_WRITE = 0xF1;
constexpr BYTE NVME_OP_IDENTIFY = 0x06;

// The maker word "VORTALEX" rides in CDW15 (letters 1-4) and CDW14 (5-8),
// earlier letters in the less significant bytes.
constexpr DWORD MakerWord(char a, char b, char c, char d) {
  return DWORD(BYTE(a)) | DWORD(BYTE(b)) << 8 | DWORD(BYTE(c)) << 16 | DWORD(BYTE(d)) << 24;
}
constexpr DWORD MAKER_SIGNATURE_CDW15 = MakerWord('V', 'O', 'R', 'T');
constexpr DWORD MAKER_SIGNATURE_CDW14 = MakerWord('A', 'L', 'E', 'X');

constexpr DWORD FW_PIECE_SIZE = 4096;

// How long a transport lets one request take, in seconds: what an update's
// time bound is summed from. The system's own firmware requests carry no
// timeout of their own; a minute is counted for each.
constexpr DWORD NVME_PROTOCOL_TIMEOUT_SECONDS = 10;
constexpr DWORD NVME_FIRMWARE_REQUEST_SECONDS = 60;
constexpr DWORD RST_NVME_TIMEOUT_SECONDS = 40;
constexpr DWORD RST_FIRMWARE_TIMEOUT_SECONDS = 200;
// A command (firmware: a piece or the commit) through this transport.
DWORD RequestTimeoutSeconds(INT32 cmdType, bool firmware);

// An NVMe submission queue entry, CDW0 to CDW15, little-endian.
struct NvmeCommand {
  DWORD CDW[16];
};
static_assert(sizeof(NvmeCommand) == 64, "an NVMe command is 64 bytes");

// Command builders: every byte not named is zero.
NvmeCommand BuildVendorCommand(BYTE opcode, DWORD length, DWORD cdw12, DWORD cdw13, DWORD cdw14, DWORD cdw15);
NvmeCommand BuildCommitCommand(DWORD slot, DWORD action);
NvmeCommand BuildDownloadCommand(DWORD offset, DWORD pieceLength);
NvmeCommand BuildIdentifyCommand(DWORD cns, DWORD nsid);

// The status field of a 16-byte NVMe completion entry: bits 31:17 of its
// fourth dword. 0 when the drive carried the command out.
UINT32 NvmeCompletionStatus(const BYTE* entry);

// The field's status code (bits 7:0) and type (10:8). Above them sit the
// retry delay, More and Do-Not-Retry bits, which say nothing of what the
// drive did with the command.
constexpr UINT32 NVME_STATUS_TYPE_AND_CODE = 0x7FF;
// Firmware Commit's command-specific answers for an image it took, to run
// after the reset named.
constexpr UINT32 NVME_COMMIT_NEEDS_CONVENTIONAL_RESET = 0x10B;
constexpr UINT32 NVME_COMMIT_NEEDS_SUBSYSTEM_RESET = 0x110;
constexpr UINT32 NVME_COMMIT_NEEDS_CONTROLLER_RESET = 0x111;

// What a committed image needs before it runs.
enum ResetNeed : INT32 {
  RESET_NEXT = 0,          // the next reset of any kind: a restart
  RESET_CONVENTIONAL = 1,  // a conventional reset: a restart
  RESET_CONTROLLER = 2,    // a controller reset: a restart
  RESET_SUBSYSTEM = 3,     // an NVM subsystem reset: a full power-off, not a restart
  RESET_POWER_CYCLE = 4,   // the driver asks for a power cycle: a full power-off
};
// The reset a commit's status field names, or -1 when it names none.
INT32 CommitResetNeed(UINT32 statusField);
const WCHAR* ResetNeedName(INT32 need);

// Why the last command of this thread failed, and what a commit that
// succeeded needs: kept per thread, because the dialog and the worker both
// send commands. Transports note what they learn; the operations of the
// update flow name the step; the worker's log line says it all.
struct CmdFault {
  const WCHAR* szStep;  // e.g. L"the download"; nullptr before any step named itself
  INT64 iOffset;        // of the piece the download was at, -1 when none
  UINT32 nvmeStatus;    // the drive's status field, when bAnswered
  BYTE bAnswered;
  DWORD dwSystemError;  // the Windows error of a request that failed, 0 when none
  DWORD dwDriverCode;   // a driver's own answer (the RST firmware status), 0 when none
  BYTE bridgeStep[2];   // the first two bytes of a bridge step that failed
  BYTE bBridgeCheck;    // that step ended with CHECK CONDITION
  INT32 iReset;         // what the last commit that succeeded needs (ResetNeed)
  BYTE bProtocolStatus; // dwDriverCode is the system NVMe driver's protocol status, not RST's firmware status
  DWORD dwBridgeMoved;  // of a bridge step that moved other than it asked: the bytes moved
  DWORD dwBridgeAsked;  // and the bytes asked; both 0 otherwise
  DWORD dwReplyBytes;   // of a request a driver completed with less than its answer: the bytes it handed back
  DWORD dwReplyNeeded;  // and the bytes the answer takes; both 0 otherwise
};
void ClearCmdFault();
const CmdFault* LastCmdFault();
void NoteCmdStep(const WCHAR* step, INT64 offset);
void NoteNvmeStatus(UINT32 statusField);
void NoteSystemError(DWORD error);
void NoteDriverCode(DWORD code);
// The system NVMe driver's STORAGE_PROTOCOL_STATUS of a command it did not carry out.
void NoteProtocolStatus(DWORD status);
void NoteBridgeStep(const BYTE* cdb, bool checkCondition);
// A bridge step the stack reports short: it moved `moved` of `asked` bytes.
void NoteShortBridgeStep(const BYTE* cdb, DWORD moved, DWORD asked);
// A request the driver completed with fewer bytes than its answer takes.
void NoteShortReply(DWORD returned, DWORD needed);
void NoteResetNeed(INT32 need);
// A completion's status field judged: 1 for success, and for a commit that
// took its image and names the reset it needs (noted); else -4 with the
// status noted.
INT32 JudgeCompletion(BYTE opcode, UINT32 statusField);
// The NVMe name of a status field's type and code, or nullptr.
const WCHAR* NvmeStatusName(UINT32 statusField);
// "at offset 0x3000: the drive answered Invalid Field in Command (0x0002)",
// from the last fault; empty when nothing was learnt.
void DescribeCmdFault(const CmdFault* fault, WCHAR* out, size_t capacity);
// Only the answer that refused: "Invalid Firmware Image (0x0107)" or
// "firmware status 0x07 (Invalid Image)"; 0 when neither drive nor driver
// answered (the request itself failed).
int DescribeCmdStatus(const CmdFault* fault, WCHAR* out, size_t capacity);
// A request that failed because the device is no longer there: a cable, a
// port or a hub, not the drive's answer.
bool IsDeviceGoneError(DWORD error);
// The same judged on a fault: a Windows error of that kind, or the NVMe
// driver's "no device".
bool IsDeviceGone(const CmdFault* fault);

// The share of an image sent before the piece at offset: 0, 10, ... 90.
UINT32 DownloadPercentage(UINT32 offset, UINT32 size);

// The operations of the update flow.
INT32 VendorCmd(const CmdContext* ctx, HANDLE hDrive, DWORD direction, BYTE opcode, DWORD cdw12, DWORD cdw13,
                DWORD cdw14, DWORD cdw15, void* buffer, DWORD length);
// What the drive says of its firmware: Identify Controller's FRMW and FWUG.
struct FirmwareFacts {
  BYTE frmw;
  BYTE fwug;
};
// How the image goes to the drive: its pieces, and the slot it is committed to.
struct FirmwarePlan {
  DWORD dwPieceSize;
  BYTE bSlot;
};
// The largest piece any transport is asked to carry.
constexpr DWORD FW_PIECE_MAX = 1u << 20;
// A USB bridge moves at most this much in one pass-through.
constexpr DWORD BRIDGE_MAX_TRANSFER = 64 * 1024;
constexpr INT32 RES_UPDATE_WAITS = -11;   // the driver already has an image waiting to be activated
constexpr INT32 RES_CANNOT_CUT = -12;     // the image cannot be sent as drive and driver demand
// Asked before the first piece: the drive's facts and, through the system's
// NVMe driver, the driver's firmware information decide the piece size
// (4096 unless they demand otherwise) and a writable slot. Anything else
// comes back with why, and nothing has been sent.
INT32 PlanFirmwareUpdate(const CmdContext* ctx, HANDLE hDrive, const FirmwareFacts& facts, DWORD imageSize,
                         FirmwarePlan* plan, WCHAR* why, size_t capacity);
// Without a plan: 4096-byte pieces for slot 1.
INT32 DownloadFW(const CmdContext* ctx, HANDLE hDrive, const BYTE* image, UINT32 size,
                 const FirmwarePlan* plan = nullptr);
// A download still going at this GetTickCount64 value sends no further
// piece: an unattended run must end within the time it states. 0: none.
void SetDownloadDeadline(ULONGLONG tick);
constexpr INT32 RES_DEADLINE = -10;
INT32 FWCommit(const CmdContext* ctx, HANDLE hDrive, DWORD slot, DWORD action);

// Native NVMe: the system's storage protocol and firmware requests.
INT32 IO_NVMe_ProtocolCmd(HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer, DWORD length);
INT32 IO_NVMe_DownloadFW(HANDLE hDrive, DWORD offset, const BYTE* piece, DWORD pieceLength, BYTE slot = 1);
// The driver's firmware information of the controller.
struct DriverFirmwareInfo {
  BOOL bSupportUpgrade;
  BYTE bSlotCount, bActiveSlot, bPendingSlot;  // bPendingSlot 0xFF: none
  DWORD dwAlignment, dwMaxPayload;
  BYTE bReadOnly[8];                           // by slot number
};
INT32 IO_NVMe_GetFirmwareInfo(HANDLE hDrive, DriverFirmwareInfo* info);
// The system's record and the miniport's have one layout but for two names
// and the slot entries' size: read the slots the reply holds (entries).
template <class Record>
void ReadFirmwareInfo(const Record& from, BOOLEAN upgrade, DWORD entries, DriverFirmwareInfo* info) {
  info->bSupportUpgrade = upgrade ? TRUE : FALSE;
  info->bSlotCount = from.SlotCount;
  info->bActiveSlot = from.ActiveSlot;
  info->bPendingSlot = from.PendingActivateSlot;
  info->dwAlignment = from.ImagePayloadAlignment;
  info->dwMaxPayload = from.ImagePayloadMaxSize;
  for (DWORD i = 0; i < entries && i < from.SlotCount; ++i) {
    BYTE number = from.Slot[i].SlotNumber;
    if (number < ARRAYSIZE(info->bReadOnly)) info->bReadOnly[number] = from.Slot[i].ReadOnly ? 1 : 0;
  }
}
INT32 IO_NVMe_ActivateFW(HANDLE hDrive, DWORD slot, DWORD action);
INT32 IO_NVMe_Identify(HANDLE hDrive, DWORD cns, DWORD nsid, void* buffer, DWORD length);

// USB bridges. bCheckCondition, when given, becomes the SCSI status CHECK
// CONDITION if the bridge answered a step with it.
constexpr BYTE SCSI_STATUS_CHECK_CONDITION = 2;
INT32 IO_USB_GetBridgeType(HANDLE hDrive);
INT32 IO_USB_ASM_ReadInfo(HANDLE hDrive);
INT32 IO_USB_ASM_NVMeCmd(HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer, DWORD length);
INT32 IO_USB_ASM_DownloadFW(HANDLE hDrive, DWORD offset, const BYTE* piece, DWORD pieceLength);
INT32 IO_USB_ASM_Identify(HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer, DWORD length,
                          BYTE* bCheckCondition);
INT32 IO_USB_ASM_PowerCtrl(HANDLE hDrive, DWORD mode);
INT32 IO_USB_JMI_NVMeCmd(HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer, DWORD length,
                         BYTE* bCheckCondition);
INT32 IO_USB_JMI_DownloadFW(HANDLE hDrive, DWORD offset, const BYTE* piece, DWORD pieceLength);
INT32 IO_USB_JMI_PowerCtrl(HANDLE hDrive, DWORD mode);

// Intel RST: requests go to the adapter's SCSI port, the drive named by path id.
INT32 IO_RST_NVMeCmd(HANDLE hScsiPort, INT32 iPathId, const NvmeCommand* command, void* buffer, DWORD length);
INT32 IO_RST_DownloadFW(HANDLE hScsiPort, INT32 iPathId, DWORD offset, const BYTE* piece, DWORD pieceLength);
INT32 IO_RST_ActivateFW(HANDLE hScsiPort, INT32 iPathId, BYTE slot = 1);
INT32 IO_RST_GetFirmwareInfo(HANDLE hScsiPort, INT32 iPathId, DriverFirmwareInfo* info);
