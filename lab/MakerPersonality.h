// The controller maker's side of a virtual drive: its vendor commands (the
// identity, the device information, the configuration block), each answered
// only when the command carries the maker's signature, and what its firmware
// does at activation: check the image, take its configuration page and its
// version, and report the configured firmware name.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "NvmeDrive.h"

namespace lab {

// The lab's own table of where the maker's replies hold what.
namespace maker {
// Vendor identity reply (0xE6, CDW12 3).
constexpr size_t ID_MARKER = 0, ID_SOC = 2, ID_NAND = 16, ID_VERSION = 32;
// Device information (0xF2 reply, 0xF1 data): the block, then the geometry.
constexpr size_t DI_BLOCK = 144, DI_FW_NAME = 88, DI_LAYOUT = 280, DI_PAGE = 288, DI_CHANNELS = 295, DI_CES = 296,
                 DI_LUNS = 297, DI_PLANES = 298, DI_ID_TABLE = 1352, DI_SOC = 1582;
// Configuration block fields.
constexpr size_t CFG_WORKORDER = 528, CFG_VID = 1032, CFG_DID = 1034, CFG_SSVID = 1036, CFG_SSDID = 1038,
                 CFG_SERIAL = 1040, CFG_FW_NAME = 1064, CFG_MODEL = 1072, CFG_CAPACITY = 1592;
// Firmware image.
constexpr size_t IMG_RANGES = 16, IMG_TRAILER_CRC = 12, PAGE = 4096;
}  // namespace maker

using NandId = std::array<uint8_t, 6>;

struct MakerSpec {
  bool vendorInfo = true;  // answers the identity and the configuration block
  uint16_t socId = 0x7C31;
  NandId nandId = {0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x10};  // Micron B47R
  std::string internalVersion = "1.4.B.07";
  uint16_t layout = 0x1000;
  uint16_t pageSize = 16384;
  uint8_t channels = 4, ces = 2, luns = 2, planes = 4;
  std::vector<NandId> idTable;  // channels x ces entries; empty: all carry nandId
  uint16_t socIdAt1582 = 0x7C31;
  std::string workorder = "WO-DRIVE-0042";
  std::string model;   // empty: the drive's Identify model
  std::string serial;  // empty: the drive's Identify serial
};

class MakerDrive {
 public:
  MakerDrive(NvmeDrive& drive, MakerSpec spec);

  const MakerSpec& spec() const { return spec_; }
  Bytes& configBlock() { return config_; }
  Bytes& deviceInfoBlock() { return devinfo_; }  // the first 144 bytes of the 0xF2 reply
  const std::string& internalVersion() const { return version_; }
  // The blocks and version as the drive's state keeps them; false when the
  // state is too short to hold both blocks.
  bool RestoreState(const Bytes& state);
  bool failConfigRead = false;  // the configuration block read answers an error
  // A drive whose answers come back blank, every byte this value (0x00 or
  // 0xFF; -1: its real answers): the configuration block read, and the first
  // 144 bytes of the device information.
  int blankConfigRead = -1;
  int blankDeviceInfo = -1;
  // The drive's identity texts as its configuration holds them.
  std::string ConfigText(size_t offset, size_t size) const;

  // The replies, as the drive sends them.
  Bytes IdentityReply() const;
  Bytes DeviceInfoReply() const;

  // The maker's image rule, computed with zlib: "CMFG", ranges and trailer
  // inside the image, the trailer CRC equal to the content's.
  static bool CheckImage(const Bytes& image, std::string* why);
  static size_t ConfigPageOffset(const Bytes& image);
  static std::string VersionTextOf(const Bytes& image);

  // What the drive's vendor handlers and firmware call.
  NvmeStatus Vendor(const uint8_t* sqe, Bytes& data, bool toDrive);
  ActivationResult Activate(const Bytes* image);
  std::string ReportedName() const;

 private:

  MakerSpec spec_;
  Bytes config_;
  Bytes devinfo_;
  std::string version_;
};

// Gives a drive the maker's personality; the returned object shows its state.
std::shared_ptr<MakerDrive> GiveMakerPersonality(NvmeDrive& drive, const MakerSpec& spec = MakerSpec());

}  // namespace lab
