// Synthetic firmware images in the maker's layout, for tests, the lab and the
// demo package: page 0 with the "CMFG" header and its range descriptors,
// firmware pages holding a version text, the configuration page and the
// trailer page with the image CRC.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imagegen {

using Bytes = std::vector<uint8_t>;

constexpr size_t PAGE = 4096;
constexpr size_t MIN_PAGES = 7;  // page 0, three of range 0, one of range 1, config, trailer

// Offsets of the configuration block's keyed fields.
constexpr size_t CFG_WORKORDER = 528, CFG_VID = 1032, CFG_DID = 1034, CFG_SSVID = 1036, CFG_SSDID = 1038,
                 CFG_SERIAL = 1040, CFG_FW_NAME = 1064, CFG_MODEL = 1072, CFG_CAPACITY = 1592;

struct ImageSpec {
  size_t pages = 16;
  std::string version = "1.4.B.22";  // written into the first firmware page
  size_t versionOffset = 0x100;      // where, inside that page
  uint32_t seed = 1;
  std::string fwName = "1.0.0.00";   // the configuration block's firmware name
};

struct Ranges {
  uint32_t first[3];
  uint32_t last[3];
};

Bytes BuildFirmwareImage(const ImageSpec& spec);
// The three ranges the image's descriptors name.
Ranges ReadRanges(const Bytes& image);
// The image CRC computed with zlib: header bytes, page 0 counted as zeros past
// byte 80, then the pages of ranges 0, 1 and 2.
uint32_t ComputeImageCrc(const Bytes& image);
// The CRC stored in the trailer page.
uint32_t StoredImageCrc(const Bytes& image);
// Writes the CRC of the image as it stands into its trailer.
void SealImage(Bytes& image);

}  // namespace imagegen
