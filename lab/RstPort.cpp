// The Intel RST adapter's SCSI port: IOCTL_SCSI_MINIPORT requests headed by an
// SRB_IO_CONTROL, then four bytes naming the drive (version, path id, target
// id, LUN). "IntelNvm" carries an NVMe admin command with its data area;
// "IntelFw " carries a FIRMWARE_REQUEST_BLOCK and its firmware record.
#include <cstring>

#include "Devices.h"
#include "Wire.h"

namespace lab {

namespace {

// SRB_IO_CONTROL
constexpr DWORD SRB_HEADER_LENGTH = 0x00, SRB_SIGNATURE = 0x04, SRB_CONTROL_CODE = 0x10, SRB_RETURN_CODE = 0x14,
                SRB_LENGTH = 0x18, SRB_SIZE = 0x1C;
// The drive's address after the header.
constexpr DWORD ADDR_VERSION = 0x1C, ADDR_PATH_ID = 0x1D, ADDR_TARGET = 0x1E, ADDR_LUN = 0x1F;
constexpr DWORD CC_NVME_PASS_THROUGH = 0xF0002808, CC_FIRMWARE = 0xF0000040;
// NVMe pass-through: command, completion area, data area.
constexpr DWORD NVM_COMMAND = 0x20, NVM_COMPLETION = 0x60, NVM_DATA_OFFSET = 0x74, NVM_DATA_LENGTH = 0x78,
                NVM_DATA = 0xA4;
// FIRMWARE_REQUEST_BLOCK at 0x20.
constexpr DWORD FRB = 0x20, FRB_VERSION = 0x00, FRB_SIZE = 0x04, FRB_FUNCTION = 0x08, FRB_DATA_OFFSET = 0x10,
                FRB_DATA_LENGTH = 0x14, FRB_STRUCT_SIZE = 0x18;
constexpr DWORD FUNCTION_GET_INFO = 1, FUNCTION_DOWNLOAD = 2, FUNCTION_ACTIVATE = 3;
// STORAGE_FIRMWARE_INFO_V2 and its STORAGE_FIRMWARE_SLOT_INFO_V2 entries.
constexpr DWORD GI_VERSION = 0x00, GI_SIZE = 0x04, GI_UPGRADE = 0x08, GI_SLOT_COUNT = 0x09, GI_ACTIVE = 0x0A,
                GI_PENDING = 0x0B, GI_ALIGNMENT = 0x10, GI_MAX_SIZE = 0x14, GI_SLOTS = 0x18, GI_SLOT_SIZE = 0x18;
constexpr DWORD GI_SLOT_NUMBER = 0x00, GI_SLOT_READ_ONLY = 0x01, GI_SLOT_REVISION = 0x08;
// What the miniport holds firmware pieces to.
constexpr DWORD RST_PAYLOAD_ALIGNMENT = 4096, RST_PAYLOAD_MAX = 128 * 1024;
// STORAGE_FIRMWARE_DOWNLOAD_V2 and STORAGE_FIRMWARE_ACTIVATE.
constexpr DWORD DL_VERSION = 0x00, DL_SIZE = 0x04, DL_OFFSET = 0x08, DL_BUFFER_SIZE = 0x10, DL_IMAGE = 0x20;
constexpr DWORD AC_VERSION = 0x00, AC_SIZE = 0x04, AC_SLOT = 0x08, AC_STRUCT_SIZE = 0x0C;
// SRB_IO_CONTROL.ReturnCode of a firmware request.
constexpr DWORD FIRMWARE_STATUS_SUCCESS_ = 0x0, FIRMWARE_STATUS_INVALID_PARAMETER_ = 0x3,
                FIRMWARE_STATUS_INVALID_SLOT_ = 0x6, FIRMWARE_STATUS_INVALID_IMAGE_ = 0x7,
                FIRMWARE_STATUS_POWER_CYCLE_REQUIRED_ = 0x20, FIRMWARE_STATUS_DEVICE_ERROR_ = 0x40;

}  // namespace

IoResult RstPort::Ioctl(DWORD code, uint8_t* b, DWORD inSize, DWORD outSize) {
  if (code != ioctl::SCSI_MINIPORT) return IoResult::Fail(ERROR_INVALID_FUNCTION);
  if (inSize < ADDR_LUN + 1 || Rd32(b, SRB_HEADER_LENGTH) != SRB_SIZE) return IoResult::Fail(ERROR_INVALID_PARAMETER);
  uint64_t total = uint64_t(SRB_SIZE) + Rd32(b, SRB_LENGTH);
  // The port copies HeaderLength + Length bytes each way: both buffers must hold them.
  if (total > inSize || (outSize != 0 && total > outSize)) return IoResult::Fail(ERROR_INVALID_PARAMETER);

  bool nvm = memcmp(b + SRB_SIGNATURE, "IntelNvm", 8) == 0;
  bool fw = memcmp(b + SRB_SIGNATURE, "IntelFw ", 8) == 0;
  DWORD control = Rd32(b, SRB_CONTROL_CODE);
  if (!(nvm && control == CC_NVME_PASS_THROUGH) && !(fw && control == CC_FIRMWARE))
    return IoResult::Fail(ERROR_INVALID_PARAMETER);
  if (b[ADDR_VERSION] != 1 || b[ADDR_TARGET] != 0 || b[ADDR_LUN] != 0) return IoResult::Fail(ERROR_INVALID_PARAMETER);
  auto disk = drives_.find(b[ADDR_PATH_ID]);
  if (disk == drives_.end() || !disk->second->attached) return IoResult::Fail(ERROR_DEV_NOT_EXIST);

  if (nvm) {
    if (outSize == 0) return IoResult::Fail(ERROR_INVALID_PARAMETER);  // the reply has nowhere to go
    return PassThrough(disk->second->drive(), b, DWORD(total), outSize);
  }
  return Firmware(disk->second->drive(), b, DWORD(total), outSize);
}

IoResult RstPort::PassThrough(NvmeDrive& drive, uint8_t* b, DWORD total, DWORD outSize) {
  DWORD length = Rd32(b, NVM_DATA_LENGTH);
  if (total < NVM_DATA || Rd32(b, NVM_DATA_OFFSET) != NVM_DATA || uint64_t(NVM_DATA) + length > total)
    return IoResult::Fail(ERROR_INVALID_PARAMETER);
  uint8_t sqe[64];
  memcpy(sqe, b + NVM_COMMAND, 64);
  // The driver takes the direction from the opcode's two low bits.
  bool toDrive = (sqe[0] & 3) == 1;
  Bytes data = toDrive ? Bytes(b + NVM_DATA, b + NVM_DATA + length) : Bytes(length, 0);
  NvmeStatus status = drive.Admin(sqe, data, toDrive);
  // A completion queue entry: DW0, then the status field in the top half of DW3.
  memset(b + NVM_COMPLETION, 0, 16);
  Wr16(b, NVM_COMPLETION + 14, uint16_t(status.field() << 1));
  Wr32(b, SRB_RETURN_CODE, status.ok() || refusalInCompletionOnly_ ? 0 : 1);
  if (status.ok() && !toDrive && length) memcpy(b + NVM_DATA, data.data(), length);
  return IoResult::Done(total < outSize ? total : outSize);
}

// The miniport's verdict on a firmware request: the request itself
// completes, its SRB_IO_CONTROL.ReturnCode tells how, and the caller sees
// that only when the request is its output buffer too.
IoResult RstPort::FirmwareAnswer(uint8_t* b, DWORD total, DWORD outSize, DWORD returnCode) {
  Wr32(b, SRB_RETURN_CODE, returnCode);
  return IoResult::Done(outSize != 0 ? total : 0);
}

DWORD RstPort::FirmwareStatus(NvmeStatus status) {
  if (status.ok()) return FIRMWARE_STATUS_SUCCESS_;
  if (status == nvme::InvalidFirmwareImage) return FIRMWARE_STATUS_INVALID_IMAGE_;
  if (status == nvme::InvalidFirmwareSlot) return FIRMWARE_STATUS_INVALID_SLOT_;
  if (status == nvme::InvalidField) return FIRMWARE_STATUS_INVALID_PARAMETER_;
  return FIRMWARE_STATUS_DEVICE_ERROR_;
}

IoResult RstPort::Firmware(NvmeDrive& drive, uint8_t* b, DWORD total, DWORD outSize) {
  const uint8_t* frb = b + FRB;
  if (total < FRB + FRB_STRUCT_SIZE || Rd32(frb, FRB_VERSION) != 1 || Rd32(frb, FRB_SIZE) != FRB_STRUCT_SIZE)
    return IoResult::Fail(ERROR_INVALID_PARAMETER);
  DWORD at = Rd32(frb, FRB_DATA_OFFSET), length = Rd32(frb, FRB_DATA_LENGTH);
  if (at < FRB + FRB_STRUCT_SIZE || uint64_t(at) + length > total) return IoResult::Fail(ERROR_INVALID_PARAMETER);
  const uint8_t* record = b + at;

  switch (Rd32(frb, FRB_FUNCTION)) {
    case FUNCTION_GET_INFO: {
      if (length < GI_SLOTS || Rd32(record, GI_VERSION) != 2 || Rd32(record, GI_SIZE) != GI_SLOTS)
        return IoResult::Fail(ERROR_INVALID_PARAMETER);
      uint8_t* info = b + at;
      int slots = drive.spec().firmwareSlots ? drive.spec().firmwareSlots : 1;
      info[GI_UPGRADE] = 1;
      info[GI_SLOT_COUNT] = uint8_t(slots);
      info[GI_ACTIVE] = uint8_t(drive.activeSlot());
      info[GI_PENDING] = drive.pendingSlot() != 0 ? uint8_t(drive.pendingSlot()) : 0xFF;
      Wr32(info, GI_ALIGNMENT, RST_PAYLOAD_ALIGNMENT);
      Wr32(info, GI_MAX_SIZE, RST_PAYLOAD_MAX);
      // As many slot entries as the record has room for.
      for (int i = 0; i < slots && GI_SLOTS + GI_SLOT_SIZE * DWORD(i + 1) <= length; ++i) {
        uint8_t* slot = info + GI_SLOTS + GI_SLOT_SIZE * DWORD(i);
        memset(slot, 0, GI_SLOT_SIZE);
        slot[GI_SLOT_NUMBER] = uint8_t(i + 1);
        slot[GI_SLOT_READ_ONLY] = i == 0 && drive.spec().slot1ReadOnly ? 1 : 0;
        std::string revision = drive.Kept().revisions[size_t(i)];
        memcpy(slot + GI_SLOT_REVISION, revision.data(), revision.size() < 16 ? revision.size() : 16);
      }
      return FirmwareAnswer(b, total, outSize, FIRMWARE_STATUS_SUCCESS_);
    }
    case FUNCTION_DOWNLOAD: {
      if (length < DL_IMAGE || Rd32(record, DL_VERSION) != 2 || Rd32(record, DL_SIZE) != DL_IMAGE)
        return IoResult::Fail(ERROR_INVALID_PARAMETER);
      uint64_t pieceLength = Rd64(record, DL_BUFFER_SIZE);
      if (pieceLength == 0 || DL_IMAGE + pieceLength > length) return IoResult::Fail(ERROR_INVALID_PARAMETER);
      if (Rd64(record, DL_OFFSET) % RST_PAYLOAD_ALIGNMENT || pieceLength > RST_PAYLOAD_MAX)
        return FirmwareAnswer(b, total, outSize, FIRMWARE_STATUS_INVALID_PARAMETER_);
      NvmeStatus status = drive.Download(Rd64(record, DL_OFFSET), record + DL_IMAGE, size_t(pieceLength));
      return FirmwareAnswer(b, total, outSize, FirmwareStatus(status));
    }
    case FUNCTION_ACTIVATE: {
      if (length < AC_STRUCT_SIZE || Rd32(record, AC_VERSION) != 1 || Rd32(record, AC_SIZE) != AC_STRUCT_SIZE)
        return IoResult::Fail(ERROR_INVALID_PARAMETER);
      // The miniport replaces the slot's image and activates it at the next reset.
      NvmeStatus status = drive.Commit(record[AC_SLOT], 1);
      // Translated as the system's NVMe driver translates it.
      if (nvme::CommitTookImage(status) && (drive.spec().powerCycleRequired || status == nvme::NeedsConventionalReset))
        return FirmwareAnswer(b, total, outSize, FIRMWARE_STATUS_POWER_CYCLE_REQUIRED_);
      return FirmwareAnswer(b, total, outSize, FirmwareStatus(nvme::CommitTookImage(status) ? nvme::Success : status));
    }
    default:
      return IoResult::Fail(ERROR_INVALID_PARAMETER);
  }
}

}  // namespace lab
