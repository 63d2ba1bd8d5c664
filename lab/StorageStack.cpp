// The native NVMe disk's requests, decoded as the Windows storage stack
// receives them. Offsets are those of the documented structures:
// STORAGE_PROTOCOL_COMMAND, STORAGE_HW_FIRMWARE_DOWNLOAD/ACTIVATE,
// STORAGE_PROPERTY_QUERY with STORAGE_PROTOCOL_SPECIFIC_DATA, and
// STORAGE_DEVICE_DESCRIPTOR, STORAGE_DEVICE_NUMBER, SCSI_ADDRESS.
#include <cstring>

#include "Devices.h"
#include "Wire.h"

namespace lab {

namespace {

// STORAGE_PROTOCOL_COMMAND
constexpr DWORD PC_VERSION = 0x00, PC_LENGTH = 0x04, PC_PROTOCOL = 0x08, PC_FLAGS = 0x0C, PC_RETURN_STATUS = 0x10,
                PC_ERROR_CODE = 0x14, PC_COMMAND_LENGTH = 0x18, PC_ERROR_INFO_LENGTH = 0x1C, PC_TO_DEVICE_LENGTH = 0x20,
                PC_FROM_DEVICE_LENGTH = 0x24, PC_ERROR_INFO_OFFSET = 0x2C, PC_TO_DEVICE_OFFSET = 0x30,
                PC_FROM_DEVICE_OFFSET = 0x34, PC_COMMAND_SPECIFIC = 0x38, PC_FIXED_RETURN = 0x40, PC_COMMAND = 0x50;
constexpr DWORD PC_STRUCT_SIZE = 0x54;  // sizeof, with the one-byte command array padded
constexpr DWORD PROTOCOL_NVME = 3;
constexpr DWORD FLAG_ADAPTER_REQUEST = 0x80000000;
constexpr DWORD NVME_ADMIN_COMMAND = 1;
constexpr DWORD STATUS_PENDING_ = 0, STATUS_SUCCESS_ = 1, STATUS_ERROR_ = 2;

// STORAGE_HW_FIRMWARE_DOWNLOAD and _ACTIVATE
constexpr DWORD FD_VERSION = 0x00, FD_SIZE = 0x04, FD_FLAGS = 0x08, FD_OFFSET = 0x10, FD_BUFFER_SIZE = 0x18,
                FD_SLOT = 0x0C, FD_IMAGE = 0x20, FD_STRUCT_SIZE = 0x28;
constexpr DWORD FA_VERSION = 0x00, FA_SIZE = 0x04, FA_FLAGS = 0x08, FA_SLOT = 0x0C, FA_STRUCT_SIZE = 0x10;
constexpr DWORD FW_FLAG_SWITCH_TO_EXISTING = 0x80000000;
// STORAGE_HW_FIRMWARE_INFO_QUERY, then STORAGE_HW_FIRMWARE_INFO and its
// STORAGE_HW_FIRMWARE_SLOT_INFO entries.
constexpr DWORD FQ_VERSION = 0x00, FQ_SIZE = 0x04, FQ_STRUCT_SIZE = 0x10;
constexpr DWORD FI_VERSION = 0x00, FI_SIZE = 0x04, FI_SUPPORT_UPGRADE = 0x08, FI_SLOT_COUNT = 0x09,
                FI_ACTIVE_SLOT = 0x0A, FI_PENDING_SLOT = 0x0B, FI_ALIGNMENT = 0x10, FI_MAX_SIZE = 0x14, FI_SLOTS = 0x18;
constexpr DWORD FS_VERSION = 0x00, FS_SIZE = 0x04, FS_NUMBER = 0x08, FS_READ_ONLY = 0x09, FS_REVISION = 0x10,
                FS_STRUCT_SIZE = 0x20;
constexpr uint8_t FW_INVALID_SLOT = 0xFF;

// STORAGE_PROPERTY_QUERY and STORAGE_PROTOCOL_SPECIFIC_DATA
constexpr DWORD PQ_PROPERTY_ID = 0x00, PQ_QUERY_TYPE = 0x04, PQ_PARAMETERS = 0x08;
constexpr DWORD PSD_PROTOCOL = 0x00, PSD_DATA_TYPE = 0x04, PSD_VALUE = 0x08, PSD_SUBVALUE = 0x0C, PSD_OFFSET = 0x10,
                PSD_LENGTH = 0x14, PSD_SIZE = 0x28;
constexpr DWORD PROPERTY_DEVICE = 0, PROPERTY_ADAPTER_PROTOCOL = 49, PROPERTY_DEVICE_PROTOCOL = 50;
constexpr DWORD QUERY_STANDARD = 0, QUERY_EXISTS = 1;
constexpr DWORD NVME_DATA_IDENTIFY = 1;
constexpr DWORD DATA_DESCRIPTOR_SIZE = 0x30;  // STORAGE_PROTOCOL_DATA_DESCRIPTOR

constexpr DWORD DEVICE_DESCRIPTOR_SIZE = 0x28;
constexpr DWORD FILE_DEVICE_DISK_ = 7;

}  // namespace

IoResult VolumeDevice::Ioctl(DWORD code, uint8_t* b, DWORD, DWORD outSize) {
  if (code != ioctl::STORAGE_GET_DEVICE_NUMBER) return IoResult::Fail(ERROR_INVALID_FUNCTION);
  if (outSize < 12) return IoResult::Fail(ERROR_INSUFFICIENT_BUFFER);
  Wr32(b, 0, FILE_DEVICE_DISK_);
  Wr32(b, 4, uint32_t(deviceNumber_));
  Wr32(b, 8, 1);
  return IoResult::Done(12);
}

IoResult DiskDevice::Ioctl(DWORD code, uint8_t* b, DWORD inSize, DWORD outSize) {
  switch (code) {
    case ioctl::STORAGE_QUERY_PROPERTY:
      return QueryProperty(b, inSize, outSize);
    case ioctl::STORAGE_GET_DEVICE_NUMBER:
      if (outSize < 12) return IoResult::Fail(ERROR_INSUFFICIENT_BUFFER);
      Wr32(b, 0, FILE_DEVICE_DISK_);
      Wr32(b, 4, uint32_t(deviceNumber_));
      Wr32(b, 8, 0);
      return IoResult::Done(12);
    case ioctl::SCSI_GET_ADDRESS:
      if (outSize < 8) return IoResult::Fail(ERROR_INSUFFICIENT_BUFFER);
      Wr32(b, 0, 8);
      b[4] = uint8_t(scsiPort_);
      b[5] = uint8_t(pathId_);
      b[6] = 0;
      b[7] = 0;
      return IoResult::Done(8);
    default:
      return DiskIoctl(code, b, inSize, outSize);
  }
}

IoResult NativeNvmeDisk::DiskIoctl(DWORD code, uint8_t* b, DWORD inSize, DWORD outSize) {
  switch (code) {
    case ioctl::STORAGE_PROTOCOL_COMMAND:
      return ProtocolCommand(b, inSize, outSize);
    case ioctl::STORAGE_FIRMWARE_GET_INFO:
      return FirmwareInfo(b, inSize, outSize);
    case ioctl::STORAGE_FIRMWARE_DOWNLOAD:
      return FirmwareDownload(b, inSize);
    case ioctl::STORAGE_FIRMWARE_ACTIVATE:
      return FirmwareActivate(b, inSize);
    default:
      return IoResult::Fail(ERROR_INVALID_FUNCTION);
  }
}

IoResult NativeNvmeDisk::ProtocolCommand(uint8_t* b, DWORD inSize, DWORD outSize) {
  const DWORD minimum = PC_COMMAND + 64;
  if (inSize < minimum || outSize < minimum) return IoResult::Fail(ERROR_INVALID_PARAMETER);
  if (Rd32(b, PC_VERSION) != 1 || Rd32(b, PC_LENGTH) != PC_STRUCT_SIZE) return IoResult::Fail(ERROR_INVALID_PARAMETER);
  if (Rd32(b, PC_PROTOCOL) != PROTOCOL_NVME || Rd32(b, PC_COMMAND_LENGTH) != 64)
    return IoResult::Fail(ERROR_INVALID_PARAMETER);
  // Admin commands go to the adapter; a request without the flag targets a LUN.
  if (!(Rd32(b, PC_FLAGS) & FLAG_ADAPTER_REQUEST) || Rd32(b, PC_COMMAND_SPECIFIC) != NVME_ADMIN_COMMAND)
    return IoResult::Fail(ERROR_INVALID_PARAMETER);

  DWORD toLength = Rd32(b, PC_TO_DEVICE_LENGTH), fromLength = Rd32(b, PC_FROM_DEVICE_LENGTH);
  DWORD toOffset = Rd32(b, PC_TO_DEVICE_OFFSET), fromOffset = Rd32(b, PC_FROM_DEVICE_OFFSET);
  if (toLength && fromLength) return IoResult::Fail(ERROR_INVALID_PARAMETER);  // admin data flows one way
  // Buffer offsets must be pointer aligned, past the command, inside the buffer.
  if (toLength && (toOffset % 8 || toOffset < minimum || uint64_t(toOffset) + toLength > inSize))
    return IoResult::Fail(ERROR_INVALID_PARAMETER);
  if (fromLength && (fromOffset % 8 || fromOffset < minimum || uint64_t(fromOffset) + fromLength > outSize))
    return IoResult::Fail(ERROR_INVALID_PARAMETER);
  DWORD errorInfoLength = Rd32(b, PC_ERROR_INFO_LENGTH);
  if (errorInfoLength && uint64_t(Rd32(b, PC_ERROR_INFO_OFFSET)) + errorInfoLength > outSize)
    return IoResult::Fail(ERROR_INVALID_PARAMETER);

  uint8_t sqe[64];
  memcpy(sqe, b + PC_COMMAND, 64);
  // The pass-through serves vendor-specific admin commands only; Identify and
  // firmware have requests of their own.
  if (sqe[0] < 0xC0) return IoResult::Fail(ERROR_NOT_SUPPORTED);
  // The system's driver passes a vendor command only when the controller's
  // Commands Supported and Effects log lists it.
  if (!(drive().CommandEffectsLog()[size_t(sqe[0]) * 4] & 1)) return IoResult::Fail(ERROR_INVALID_FUNCTION);

  bool toDrive = toLength != 0;
  Bytes data;
  if (toDrive) data.assign(b + toOffset, b + toOffset + toLength);
  else data.assign(fromLength, 0);
  NvmeStatus status = drive().Admin(sqe, data, toDrive);
  if (pending_ > 0) {
    --pending_;
    Wr32(b, PC_RETURN_STATUS, STATUS_PENDING_);
    Wr32(b, PC_ERROR_CODE, 0);
    return IoResult::Done(outSize);
  }

  Wr32(b, PC_RETURN_STATUS, status.ok() ? STATUS_SUCCESS_ : STATUS_ERROR_);
  Wr32(b, PC_ERROR_CODE, status.field());
  Wr32(b, PC_FIXED_RETURN, 0);
  if (status.ok() && fromLength) memcpy(b + fromOffset, data.data(), fromLength);
  // The request completes either way: the drive's answer is in ReturnStatus.
  return IoResult::Done(outSize);
}

// The driver's view of the controller: its slots as Identify and the slot
// log tell them, and what it holds download pieces to.
IoResult NativeNvmeDisk::FirmwareInfo(uint8_t* b, DWORD inSize, DWORD outSize) {
  if (inSize < FQ_STRUCT_SIZE || Rd32(b, FQ_VERSION) != FQ_STRUCT_SIZE || Rd32(b, FQ_SIZE) != FQ_STRUCT_SIZE)
    return IoResult::Fail(ERROR_INVALID_PARAMETER);
  NvmeDrive& d = drive();
  int slots = d.spec().firmwareSlots ? d.spec().firmwareSlots : 1;
  DWORD total = FI_SLOTS + FS_STRUCT_SIZE * DWORD(slots);
  if (outSize < total) return IoResult::Fail(ERROR_INSUFFICIENT_BUFFER);
  memset(b, 0, total);
  Wr32(b, FI_VERSION, FI_SLOTS + FS_STRUCT_SIZE);  // sizeof, with its one slot entry
  Wr32(b, FI_SIZE, total);
  b[FI_SUPPORT_UPGRADE] = 1;
  b[FI_SLOT_COUNT] = uint8_t(slots);
  b[FI_ACTIVE_SLOT] = uint8_t(d.activeSlot());
  b[FI_PENDING_SLOT] = d.pendingSlot() != 0 ? uint8_t(d.pendingSlot()) : FW_INVALID_SLOT;
  Wr32(b, FI_ALIGNMENT, alignment_);
  Wr32(b, FI_MAX_SIZE, maxPayload_);
  for (int i = 0; i < slots; ++i) {
    uint8_t* slot = b + FI_SLOTS + FS_STRUCT_SIZE * DWORD(i);
    Wr32(slot, FS_VERSION, FS_STRUCT_SIZE);
    Wr32(slot, FS_SIZE, FS_STRUCT_SIZE);
    slot[FS_NUMBER] = uint8_t(i + 1);
    slot[FS_READ_ONLY] = i == 0 && d.spec().slot1ReadOnly ? 1 : 0;
    std::string revision = d.Kept().revisions[size_t(i)];
    memcpy(slot + FS_REVISION, revision.data(), revision.size() < 16 ? revision.size() : 16);
  }
  return IoResult::Done(total);
}

IoResult NativeNvmeDisk::FirmwareDownload(const uint8_t* b, DWORD inSize) {
  if (inSize < FD_STRUCT_SIZE || Rd32(b, FD_VERSION) != FD_STRUCT_SIZE) return IoResult::Fail(ERROR_INVALID_PARAMETER);
  DWORD size = Rd32(b, FD_SIZE);
  uint64_t length = Rd64(b, FD_BUFFER_SIZE);
  uint64_t offset = Rd64(b, FD_OFFSET);
  if (size > inSize || length == 0 || FD_IMAGE + length > size) return IoResult::Fail(ERROR_INVALID_PARAMETER);
  // The class driver holds a piece to the alignment and size it reports,
  // and to a slot the controller can write.
  if (offset % alignment_ || length % alignment_ || length > maxPayload_) return IoResult::Fail(ERROR_INVALID_PARAMETER);
  uint8_t slot = b[FD_SLOT];
  int slots = drive().spec().firmwareSlots ? drive().spec().firmwareSlots : 1;
  if (slot == 0 || slot > slots || (slot == 1 && drive().spec().slot1ReadOnly))
    return IoResult::Fail(ERROR_INVALID_PARAMETER);
  NvmeStatus status = drive().Download(offset, b + FD_IMAGE, size_t(length));
  return status.ok() ? IoResult::Done(0) : IoResult::Fail(ERROR_IO_DEVICE);
}

IoResult NativeNvmeDisk::FirmwareActivate(const uint8_t* b, DWORD inSize) {
  if (inSize < FA_STRUCT_SIZE || Rd32(b, FA_VERSION) != FA_STRUCT_SIZE || Rd32(b, FA_SIZE) < FA_STRUCT_SIZE ||
      Rd32(b, FA_SIZE) > inSize)
    return IoResult::Fail(ERROR_INVALID_PARAMETER);
  uint8_t slot = b[FA_SLOT];
  // Without the switch flag the downloaded image replaces the slot's and runs
  // at the next reset; with it the slot's existing image is chosen.
  uint8_t action = (Rd32(b, FA_FLAGS) & FW_FLAG_SWITCH_TO_EXISTING) ? 2 : 1;
  NvmeStatus status = drive().Commit(slot, action);
  if (!nvme::CommitTookImage(status)) return IoResult::Fail(ERROR_IO_DEVICE);
  // As the class driver does: an image that needs a conventional reset
  // (or a drive known to need a power cycle) asks for a power cycle; one
  // that needs a subsystem or controller reset is a plain success.
  if (drive().spec().powerCycleRequired || status == nvme::NeedsConventionalReset)
    return IoResult::Fail(STG_S_POWER_CYCLE_REQUIRED_CODE);
  return IoResult::Done(0);
}

IoResult DiskDevice::QueryProperty(uint8_t* b, DWORD inSize, DWORD outSize) {
  if (inSize < 8) return IoResult::Fail(ERROR_INVALID_PARAMETER);
  DWORD property = Rd32(b, PQ_PROPERTY_ID);
  DWORD query = Rd32(b, PQ_QUERY_TYPE);
  bool known = property == PROPERTY_DEVICE || property == PROPERTY_ADAPTER_PROTOCOL ||
               property == PROPERTY_DEVICE_PROTOCOL;
  if (query == QUERY_EXISTS) return known ? IoResult::Done(0) : IoResult::Fail(ERROR_NOT_SUPPORTED);
  if (query != QUERY_STANDARD || !known) return IoResult::Fail(ERROR_NOT_SUPPORTED);
  if (property == PROPERTY_DEVICE) return DeviceDescriptor(b, outSize);
  return OtherProperty(b, inSize, outSize);
}

IoResult DiskDevice::DeviceDescriptor(uint8_t* b, DWORD outSize) {
  if (outSize < 8) return IoResult::Fail(ERROR_INSUFFICIENT_BUFFER);
  const DriveSpec& spec = drive_->spec();
  // The descriptor, then its NUL-terminated strings.
  Bytes d(DEVICE_DESCRIPTOR_SIZE);
  auto addText = [&d](const std::string& s) {
    DWORD at = DWORD(d.size());
    d.insert(d.end(), s.begin(), s.end());
    d.push_back(0);
    return at;
  };
  d[8] = 0;     // DeviceType: direct access
  d[10] = 0;    // not removable
  d[11] = 1;    // command queueing
  Wr32(d.data(), 12, 0);  // no vendor id text for NVMe
  DWORD product = addText(spec.model);
  DWORD revision = addText(drive_->revision());
  DWORD serial = addText(spec.serial);
  Wr32(d.data(), 16, product);
  Wr32(d.data(), 20, revision);
  Wr32(d.data(), 24, serial);
  Wr32(d.data(), 28, uint32_t(bus_));
  Wr32(d.data(), 0, DEVICE_DESCRIPTOR_SIZE);
  Wr32(d.data(), 4, DWORD(d.size()));
  DWORD n = outSize < d.size() ? outSize : DWORD(d.size());
  memcpy(b, d.data(), n);
  return IoResult::Done(n);
}

IoResult NativeNvmeDisk::OtherProperty(uint8_t* b, DWORD inSize, DWORD outSize) {
  if (inSize < PQ_PARAMETERS + PSD_SIZE) return IoResult::Fail(ERROR_INVALID_PARAMETER);
  const uint8_t* psd = b + PQ_PARAMETERS;
  DWORD offset = Rd32(psd, PSD_OFFSET), length = Rd32(psd, PSD_LENGTH);
  if (Rd32(psd, PSD_PROTOCOL) != PROTOCOL_NVME) return IoResult::Fail(ERROR_INVALID_PARAMETER);
  if (offset < PSD_SIZE || length == 0) return IoResult::Fail(ERROR_INVALID_PARAMETER);
  if (uint64_t(PQ_PARAMETERS) + offset + length > outSize) return IoResult::Fail(ERROR_INSUFFICIENT_BUFFER);
  // Log pages and features are not modelled by this drive.
  if (Rd32(psd, PSD_DATA_TYPE) != NVME_DATA_IDENTIFY) return IoResult::Fail(ERROR_NOT_SUPPORTED);

  uint8_t sqe[64] = {};
  sqe[0] = 0x06;
  Wr32(sqe, 4, Rd32(psd, PSD_SUBVALUE));  // namespace id
  Wr32(sqe, 40, Rd32(psd, PSD_VALUE));    // CNS
  Bytes data(length, 0);
  NvmeStatus status = drive().Admin(sqe, data, false);
  if (!status.ok()) return IoResult::Fail(ERROR_IO_DEVICE);

  // The reply is a STORAGE_PROTOCOL_DATA_DESCRIPTOR: version, size, the
  // protocol-specific data echoed, the data at its offset.
  Bytes echo(psd, psd + PSD_SIZE);
  memset(b, 0, PQ_PARAMETERS + offset);
  Wr32(b, 0, DATA_DESCRIPTOR_SIZE);
  Wr32(b, 4, DATA_DESCRIPTOR_SIZE);
  memcpy(b + 8, echo.data(), PSD_SIZE);
  memcpy(b + PQ_PARAMETERS + offset, data.data(), length);
  return IoResult::Done(PQ_PARAMETERS + offset + length);
}

}  // namespace lab
