#include "MakerPersonality.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace lab {

using namespace maker;

namespace {

std::string TextAt(const Bytes& b, size_t at, size_t size) {
  std::string s;
  for (size_t i = 0; i < size && b[at + i] != 0; ++i) s.push_back(char(b[at + i]));
  return s;
}

void PutText(Bytes& b, size_t at, size_t size, const std::string& text) {
  for (size_t i = 0; i < size; ++i) b[at + i] = i < text.size() ? uint8_t(text[i]) : 0;
}

bool IsAlnum(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool SignedByMaker(const uint8_t* sqe) { return memcmp(sqe + 56, "ALEX", 4) == 0 && memcmp(sqe + 60, "VORT", 4) == 0; }

}  // namespace

MakerDrive::MakerDrive(NvmeDrive& drive, MakerSpec spec) : spec_(std::move(spec)), config_(PAGE), devinfo_(DI_BLOCK) {
  const DriveSpec& id = drive.spec();
  PutText(config_, CFG_WORKORDER, 20, spec_.workorder);
  Wr16(config_.data(), CFG_VID, id.vid);
  Wr16(config_.data(), CFG_DID, 0x5216);
  Wr16(config_.data(), CFG_SSVID, id.ssvid);
  Wr16(config_.data(), CFG_SSDID, 0x0001);
  PutText(config_, CFG_SERIAL, 20, spec_.serial.empty() ? id.serial : spec_.serial);
  PutText(config_, CFG_FW_NAME, 8, id.firmware);
  PutText(config_, CFG_MODEL, 40, spec_.model.empty() ? id.model : spec_.model);
  Wr16(config_.data(), CFG_CAPACITY, uint16_t(id.nsze * (1ull << id.FormattedLbaDataSize()) / 1000000000ull));
  for (size_t i = 0; i < DI_BLOCK; ++i) devinfo_[i] = uint8_t(0x40 + i % 32);  // the drive's own settings
  PutText(devinfo_, DI_FW_NAME, 8, id.firmware);
  version_ = spec_.internalVersion;
}

std::string MakerDrive::ConfigText(size_t offset, size_t size) const { return TextAt(config_, offset, size); }

Bytes MakerDrive::IdentityReply() const {
  Bytes r(PAGE);
  if (!spec_.vendorInfo) return r;  // answered, but without the validity marker
  r[ID_MARKER] = 0x5A;
  Wr16(r.data(), ID_SOC, spec_.socId);
  memcpy(&r[ID_NAND], spec_.nandId.data(), 6);
  PutText(r, ID_VERSION, 8, version_);
  return r;
}

Bytes MakerDrive::DeviceInfoReply() const {
  Bytes r(PAGE);
  memcpy(r.data(), devinfo_.data(), DI_BLOCK);
  Wr16(r.data(), DI_LAYOUT, spec_.layout);
  Wr16(r.data(), DI_PAGE, spec_.pageSize);
  r[DI_CHANNELS] = spec_.channels;
  r[DI_CES] = spec_.ces;
  r[DI_LUNS] = spec_.luns;
  r[DI_PLANES] = spec_.planes;
  size_t entries = size_t(spec_.channels) * spec_.ces;
  for (size_t e = 0; e < entries && DI_ID_TABLE + 6 * (e + 1) <= PAGE; ++e) {
    const NandId& id = e < spec_.idTable.size() ? spec_.idTable[e] : spec_.nandId;
    memcpy(&r[DI_ID_TABLE + 6 * e], id.data(), 6);
  }
  Wr16(r.data(), DI_SOC, spec_.socIdAt1582);  // written last: a long ID table runs into it
  return r;
}

NvmeStatus MakerDrive::Vendor(const uint8_t* sqe, Bytes& data, bool toDrive) {
  if (!SignedByMaker(sqe)) return nvme::InvalidField;
  if (size_t(Rd32(sqe, 40)) * 4 != data.size() || data.size() != PAGE) return nvme::InvalidField;
  uint8_t opcode = sqe[0];
  uint32_t sub = Rd32(sqe, 48);
  if (opcode == 0xE6 && sub == 3) {
    data = IdentityReply();
  } else if (opcode == 0xE6 && sub == 1 && spec_.vendorInfo) {
    if (failConfigRead) return nvme::DataTransferError;
    data = blankConfigRead >= 0 ? Bytes(PAGE, uint8_t(blankConfigRead)) : config_;
  } else if (opcode == 0xE5 && sub == 1 && spec_.vendorInfo && toDrive) {
    config_ = data;
  } else if (opcode == 0xF2 && sub == 0) {
    data = DeviceInfoReply();
    if (blankDeviceInfo >= 0) std::fill(data.begin(), data.begin() + DI_BLOCK, uint8_t(blankDeviceInfo));
  } else if (opcode == 0xF1 && sub == 0 && toDrive) {
    devinfo_.assign(data.begin(), data.begin() + DI_BLOCK);
  } else {
    return nvme::InvalidField;
  }
  return nvme::Success;
}

bool MakerDrive::RestoreState(const Bytes& state) {
  if (state.size() < config_.size() + devinfo_.size()) return false;
  config_.assign(state.begin(), state.begin() + config_.size());
  devinfo_.assign(state.begin() + config_.size(), state.begin() + config_.size() + devinfo_.size());
  version_.assign(state.begin() + config_.size() + devinfo_.size(), state.end());
  return true;
}

std::string MakerDrive::ReportedName() const {
  return spec_.vendorInfo ? TextAt(config_, CFG_FW_NAME, 8) : TextAt(devinfo_, DI_FW_NAME, 8);
}

ActivationResult MakerDrive::Activate(const Bytes* image) {
  ActivationResult result;
  if (image != nullptr) {
    if (!CheckImage(*image, &result.why)) {
      result.accepted = false;
    } else {
      if (spec_.vendorInfo) {
        size_t page = ConfigPageOffset(*image);
        config_.assign(image->begin() + page, image->begin() + page + PAGE);
      }
      std::string version = VersionTextOf(*image);
      if (!version.empty()) version_ = version;
    }
  }
  result.revision = ReportedName();
  return result;
}

bool MakerDrive::CheckImage(const Bytes& image, std::string* why) {
  if (image.size() < 80 || memcmp(image.data(), "CMFG", 4) != 0) {
    *why = "no CMFG header";
    return false;
  }
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, image.data(), 80);
  static const Bytes zeros(PAGE - 80, 0);
  crc = crc32(crc, zeros.data(), uInt(zeros.size()));
  uint64_t lastEnd = 0;
  for (int r = 0; r < 3; ++r) {
    uint64_t first = Rd32(image.data(), IMG_RANGES + 8 * r), last = Rd32(image.data(), IMG_RANGES + 8 * r + 4);
    if (first > last || (last + 1) * PAGE > image.size()) {
      *why = "range " + std::to_string(r) + " outside the image";
      return false;
    }
    crc = crc32(crc, image.data() + first * PAGE, uInt((last - first + 1) * PAGE));
    lastEnd = (last + 1) * PAGE;
  }
  if (lastEnd + PAGE > image.size()) {
    *why = "no trailer page";
    return false;
  }
  if (Rd32(image.data(), size_t(lastEnd) + IMG_TRAILER_CRC) != uint32_t(crc)) {
    *why = "trailer CRC does not match the image";
    return false;
  }
  return true;
}

size_t MakerDrive::ConfigPageOffset(const Bytes& image) { return size_t(Rd32(image.data(), IMG_RANGES + 16)) * PAGE; }

std::string MakerDrive::VersionTextOf(const Bytes& image) {
  // x.x.x.xx: the form the maker's version texts take.
  for (size_t i = 0; i + 8 <= image.size(); ++i) {
    const uint8_t* p = &image[i];
    if (IsAlnum(p[0]) && p[1] == '.' && IsAlnum(p[2]) && p[3] == '.' && IsAlnum(p[4]) && p[5] == '.' &&
        IsAlnum(p[6]) && IsAlnum(p[7]))
      return std::string(p, p + 8);
  }
  return "";
}

std::shared_ptr<MakerDrive> GiveMakerPersonality(NvmeDrive& drive, const MakerSpec& spec) {
  auto maker = std::make_shared<MakerDrive>(drive, spec);
  for (uint8_t opcode : {0xE5, 0xE6, 0xF1, 0xF2})
    drive.SetVendorHandler(opcode, [maker](const uint8_t* sqe, Bytes& data, bool toDrive) {
      return maker->Vendor(sqe, data, toDrive);
    });
  drive.SetActivationHook([maker](const Bytes* image) { return maker->Activate(image); });
  // Its blocks and its version survive a power-off: configuration, device
  // information, then the version text.
  drive.SetPersonalityState(
      [maker]() {
        Bytes state = maker->configBlock();
        state.insert(state.end(), maker->deviceInfoBlock().begin(), maker->deviceInfoBlock().end());
        state.insert(state.end(), maker->internalVersion().begin(), maker->internalVersion().end());
        return state;
      },
      [maker](const Bytes& state) { return maker->RestoreState(state); });
  // Identify reports the serial number and model the configuration holds.
  if (spec.vendorInfo) {
    drive.SetIdentifyHook([maker](Bytes& id) {
      WrText(id.data(), 4, 20, maker->ConfigText(CFG_SERIAL, 20));
      WrText(id.data(), 24, 40, maker->ConfigText(CFG_MODEL, 40));
    });
  }
  return maker;
}

}  // namespace lab
