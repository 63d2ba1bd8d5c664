// SCSI_PASS_THROUGH_DIRECT as Windows lays it out for a 64-bit caller, and
// the two bridge chips' command blocks.
#include "UsbBridge.h"

#include <cstring>

#include "Wire.h"

namespace lab {

namespace {

// SCSI_PASS_THROUGH_DIRECT, x64.
constexpr DWORD SP_LENGTH = 0x00, SP_SCSI_STATUS = 0x02, SP_CDB_LENGTH = 0x06, SP_SENSE_LENGTH = 0x07,
                SP_DATA_IN = 0x08, SP_TRANSFER_LENGTH = 0x0C, SP_TIMEOUT = 0x10, SP_DATA_BUFFER = 0x18,
                SP_SENSE_OFFSET = 0x20, SP_CDB = 0x24, SP_SIZE = 0x38;
constexpr uint8_t DATA_OUT = 0, DATA_IN = 1, DATA_UNSPECIFIED = 2;
constexpr uint8_t CHECK_CONDITION = 2;
constexpr uint8_t SENSE_ILLEGAL_REQUEST = 5, ASC_INVALID_OPCODE = 0x20, ASC_INVALID_FIELD = 0x24;

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint32_t Be24(const uint8_t* p) { return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]; }

// A failed call: the bridge stalled the step.
constexpr DWORD ERROR_STALL = ERROR_IO_DEVICE;

}  // namespace

IoResult UsbBridgeDisk::DiskIoctl(DWORD code, uint8_t* b, DWORD inSize, DWORD outSize) {
  if (code != ioctl::SCSI_PASS_THROUGH_DIRECT) return IoResult::Fail(ERROR_INVALID_FUNCTION);
  if (inSize < SP_SIZE || outSize < SP_SIZE || Rd16(b, SP_LENGTH) != SP_SIZE)
    return IoResult::Fail(ERROR_INVALID_PARAMETER);
  uint8_t cdbLength = b[SP_CDB_LENGTH], senseLength = b[SP_SENSE_LENGTH], dataIn = b[SP_DATA_IN];
  uint32_t length = Rd32(b, SP_TRANSFER_LENGTH), senseOffset = Rd32(b, SP_SENSE_OFFSET);
  uint8_t* data = reinterpret_cast<uint8_t*>(uintptr_t(Rd64(b, SP_DATA_BUFFER)));
  if (cdbLength == 0 || cdbLength > 16 || dataIn > DATA_UNSPECIFIED || Rd32(b, SP_TIMEOUT) == 0)
    return IoResult::Fail(ERROR_INVALID_PARAMETER);
  if (senseLength && (senseOffset < SP_SIZE || uint64_t(senseOffset) + senseLength > outSize))
    return IoResult::Fail(ERROR_INVALID_PARAMETER);
  if (length && data == nullptr) return IoResult::Fail(ERROR_INVALID_PARAMETER);
  if (length && (uintptr_t(data) & spec_.alignmentMask) != 0) return IoResult::Fail(ERROR_INVALID_PARAMETER);

  ++stepCount_;
  stepTimeout_ = Rd32(b, SP_TIMEOUT);
  BridgeStep record{Bytes(b + SP_CDB, b + SP_CDB + 16), dataIn, length, {}, false, 0, stepTimeout_};
  if (dataIn == DATA_OUT && length) record.dataOut.assign(data, data + length);
  Outcome out;
  if (fails_.count(stepCount_)) {
    out.ok = false;
    out.error = fails_[stepCount_];
    phase_ = Phase::Idle;  // the bridge drops the sequence it was in
  } else if (checks_.count(stepCount_)) {
    out = Invalid(ASC_INVALID_FIELD);
    phase_ = Phase::Idle;
  } else if (shorts_.count(stepCount_)) {
    out = ShortStep(b + SP_CDB, dataIn, data, length, shorts_[stepCount_]);
  } else {
    out = Step(b + SP_CDB, dataIn, data, length);
  }
  record.failed = !out.ok;
  record.scsiStatus = out.status;
  steps_.push_back(record);
  if (!out.ok) return IoResult::Fail(out.error);

  b[SP_SCSI_STATUS] = out.status;
  Wr32(b, SP_TRANSFER_LENGTH, out.transferred);
  if (out.status == CHECK_CONDITION && senseLength >= 14) {
    uint8_t* sense = b + senseOffset;
    memset(sense, 0, senseLength);
    sense[0] = 0x70;  // fixed format, current error
    sense[2] = out.senseKey;
    sense[7] = 10;
    sense[12] = out.asc;
  }
  return IoResult::Done(outSize);
}

UsbBridgeDisk::Outcome UsbBridgeDisk::Stall() {
  Outcome out;
  out.ok = false;
  out.error = ERROR_STALL;
  return out;
}

UsbBridgeDisk::Outcome UsbBridgeDisk::Invalid(uint8_t asc) {
  Outcome out;
  out.status = CHECK_CONDITION;
  out.senseKey = SENSE_ILLEGAL_REQUEST;
  out.asc = asc;
  return out;
}

UsbBridgeDisk::Outcome UsbBridgeDisk::Step(const uint8_t* cdb, uint8_t dataIn, uint8_t* data, uint32_t length) {
  if (cdb[0] == 0x12) return Inquiry(cdb, dataIn, data, length);
  switch (spec_.kind) {
    case BridgeKind::ASMedia: return AsMedia(cdb, dataIn, data, length);
    case BridgeKind::JMicron: return JMicron(cdb, dataIn, data, length);
    default: break;
  }
  return Invalid(ASC_INVALID_OPCODE);
}

UsbBridgeDisk::Outcome UsbBridgeDisk::ShortStep(const uint8_t* cdb, uint8_t dataIn, uint8_t* data, uint32_t length,
                                                uint32_t missing) {
  uint32_t moved = missing < length ? length - missing : 0;
  // A read leaves what it does not reach as it was; a write the bridge
  // took in part has zeros after it.
  Bytes bridgeBuffer(length, 0);
  if (length) memcpy(bridgeBuffer.data(), data, dataIn == DATA_OUT ? moved : length);
  Outcome out = Step(cdb, dataIn, bridgeBuffer.data(), length);
  if (!out.ok) return out;
  if (out.transferred > moved) out.transferred = moved;
  if (dataIn == DATA_IN) memcpy(data, bridgeBuffer.data(), out.transferred);
  return out;
}

UsbBridgeDisk::Outcome UsbBridgeDisk::Inquiry(const uint8_t* cdb, uint8_t dataIn, uint8_t* data, uint32_t length) {
  Outcome out;
  if (dataIn != DATA_IN) return Invalid(ASC_INVALID_FIELD);
  Bytes inquiry(38, 0);
  inquiry[1] = 0x00;
  inquiry[2] = 0x06;
  inquiry[3] = 0x02;
  inquiry[4] = 33;  // additional length
  const char* vendor = spec_.kind == BridgeKind::ASMedia ? "ASMT    " : spec_.kind == BridgeKind::JMicron ? "JMicron " : "Generic ";
  memcpy(&inquiry[8], vendor, 8);
  memcpy(&inquiry[16], "USB3 NVMe Bridge", 16);
  memcpy(&inquiry[32], "0100", 4);
  switch (spec_.kind) {
    case BridgeKind::ASMedia: inquiry[36] = 0x60; inquiry[37] = 0x23; break;
    case BridgeKind::JMicron: inquiry[36] = 0x30; inquiry[37] = 0x35; break;
    default: inquiry[36] = 0x60; inquiry[37] = 0x24; break;
  }
  // A device answers with what was asked for: the allocation length, not the
  // size of the host's buffer.
  uint32_t n = cdb[4];
  if (n > inquiry.size()) n = uint32_t(inquiry.size());
  if (n > length) n = length;
  memcpy(data, inquiry.data(), n);
  out.transferred = n;
  return out;
}

UsbBridgeDisk::Outcome UsbBridgeDisk::Execute(const uint8_t* sqe, bool toDrive, uint8_t* data, uint32_t length) {
  // Firmware pieces, the commit and the maker's flash writes (the
  // configuration block, the device information) all write the drive's flash.
  bool flashWrite = sqe[0] == 0x10 || sqe[0] == 0x11 || (toDrive && (sqe[0] == 0xE5 || sqe[0] == 0xF1));
  if (flashWrite && stepTimeout_ < spec_.flashSeconds) {
    // The USB stack gives up first and resets the bridge mid-write.
    phase_ = Phase::Idle;
    Outcome out;
    out.ok = false;
    out.error = ERROR_SEM_TIMEOUT;
    return out;
  }
  Bytes buffer = toDrive ? Bytes(data, data + length) : Bytes(length, 0);
  NvmeStatus status = drive().Admin(sqe, buffer, toDrive);
  if (!toDrive && status.ok() && length) memcpy(data, buffer.data(), length);
  memset(completion_, 0, sizeof completion_);
  Wr16(completion_, 14, uint16_t(status.field() << 1 | 1));  // status field and phase tag
  Outcome out;
  out.transferred = length;
  return out;
}

UsbBridgeDisk::Outcome UsbBridgeDisk::AsMedia(const uint8_t* cdb, uint8_t dataIn, uint8_t* data, uint32_t length) {
  const Outcome stall = Stall(), invalid = Invalid(ASC_INVALID_FIELD);
  Outcome done;

  uint8_t op = cdb[0], sub = cdb[2], code = cdb[4];
  uint32_t declared = Be32(cdb + 10);
  if (cdb[1] != 0x5A && op != 0xE6) return Invalid(ASC_INVALID_OPCODE);
  if (op == 0xEB && sub == 0x02) {  // bridge information
    if (phase_ != Phase::Idle) return stall;
    if (failInfo_) return stall;
    if (dataIn != DATA_IN || length < 16) return invalid;
    const uint8_t info[16] = {0x23, 0x60, 0x01, 0x02, 'A', 'S', 'M', '2', '3', '6', '2', 0, 0, 0, 0, 0};
    memcpy(data, info, 16);
    done.transferred = 16;
    return done;
  }
  if (op == 0xEA && sub == 0x80) {  // send command
    if (phase_ != Phase::Idle) return stall;
    if (dataIn != DATA_OUT || length != 64 || declared != 64 || code > 2) return invalid;
    memcpy(sqe_, data, 64);
    code_ = code;
    phase_ = Phase::CommandReceived;
    done.transferred = 64;
    return done;
  }
  if ((op == 0xEA || op == 0xEB) && sub == 0x81) {  // data
    if (phase_ != Phase::CommandReceived || code != code_) return stall;
    uint8_t expected = code == 2 ? DATA_OUT : code == 1 ? DATA_IN : DATA_UNSPECIFIED;
    if ((op == 0xEA) != (code == 2) || dataIn != expected || declared != length || (code == 0 && length != 0)) {
      phase_ = Phase::Idle;
      return invalid;
    }
    phase_ = Phase::Executed;
    return Execute(sqe_, code == 2, data, length);
  }
  if (op == 0xEB && sub == 0x82) {  // read completion
    if (phase_ != Phase::Executed || code != code_) return stall;
    if (dataIn != DATA_IN || length < 16 || declared != 16) return invalid;
    memcpy(data, completion_, 16);
    phase_ = Phase::Idle;
    done.transferred = 16;
    return done;
  }
  if (op == 0xE6) {  // one-step Identify
    if (phase_ != Phase::Idle) return stall;
    uint8_t sqe[64] = {};
    sqe[0] = cdb[1];
    sqe[4] = cdb[7];
    sqe[40] = cdb[3];
    if (dataIn != DATA_IN) return invalid;
    Outcome out = Execute(sqe, false, data, length);
    uint16_t status = uint16_t(Rd16(completion_, 14) >> 1);
    if (status != 0) return invalid;
    return out;
  }
  if (op == 0xEA) {  // power control, the mode in byte 2
    if (phase_ != Phase::Idle) return stall;
    if (length != 0) return invalid;
    if (sub == 0x01) PowerCycle();
    return done;
  }
  return Invalid(ASC_INVALID_OPCODE);
}

UsbBridgeDisk::Outcome UsbBridgeDisk::JMicron(const uint8_t* cdb, uint8_t dataIn, uint8_t* data, uint32_t length) {
  const Outcome stall = Stall(), invalid = Invalid(ASC_INVALID_FIELD);
  Outcome done;

  if (cdb[0] != 0xA1) return Invalid(ASC_INVALID_OPCODE);
  uint8_t step = cdb[1];
  uint32_t declared = Be24(cdb + 3);
  if (step == 0x80) {  // the "NVME" block
    if (phase_ != Phase::Idle) return stall;
    if (dataIn != DATA_OUT || length != 512 || declared != 512 || memcmp(data, "NVME", 4) != 0) return invalid;
    memcpy(sqe_, data + 8, 64);
    mode_ = data[72];
    phase_ = Phase::CommandReceived;
    done.transferred = 512;
    return done;
  }
  if (step >= 0x81 && step <= 0x83) {  // data
    if (phase_ != Phase::CommandReceived) return stall;
    bool commandEmpty = true;
    for (uint8_t byte : sqe_) commandEmpty = commandEmpty && byte == 0;
    if (commandEmpty && mode_ != 0) {  // power control
      if (step != 0x81 || length != 0) return invalid;
      phase_ = Phase::Executed;
      PowerCycle();
      return done;
    }
    uint8_t expected = step == 0x83 ? DATA_OUT : step == 0x82 ? DATA_IN : DATA_UNSPECIFIED;
    if (dataIn != expected || declared != length || (step == 0x81 && length != 0)) {
      phase_ = Phase::Idle;
      return invalid;
    }
    phase_ = Phase::Executed;
    return Execute(sqe_, step == 0x83, data, length);
  }
  if (step == 0x8F) {  // the response
    if (phase_ != Phase::Executed) return stall;
    if (dataIn != DATA_IN || length != 512 || declared != 512) return invalid;
    memset(data, 0, 512);
    if (!noSignature_) memcpy(data, "NVME", 4);
    memcpy(data + 8, completion_, 16);
    phase_ = Phase::Idle;
    done.transferred = 512;
    return done;
  }
  return Invalid(ASC_INVALID_OPCODE);
}

void UsbBridgeDisk::PowerCycle() {
  ++powerCycles_;
  phase_ = Phase::Idle;
  if (onPowerCycle) onPowerCycle(*this);
}

}  // namespace lab
