#include "imagegen/FirmwareImage.h"

#include <zlib.h>

#include <cstring>

namespace imagegen {

namespace {

void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
uint32_t Get32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
void PutText(Bytes& b, size_t at, size_t width, const std::string& text) {
  for (size_t i = 0; i < width; ++i) b[at + i] = i < text.size() ? uint8_t(text[i]) : 0;
}

// Filler without dots, so the only version text is the one placed on purpose.
void Fill(Bytes& b, size_t from, size_t to, uint32_t& state) {
  for (size_t i = from; i < to; ++i) {
    state = state * 1103515245u + 12345u;
    uint8_t v = uint8_t(state >> 16);
    b[i] = v == '.' ? 0x2F : v;
  }
}

uLong CrcOfPages(uLong crc, const Bytes& image, uint32_t first, uint32_t last) {
  size_t at = size_t(first) * PAGE, n = (size_t(last) - first + 1) * PAGE;
  return crc32(crc, image.data() + at, uInt(n));
}

}  // namespace

Bytes BuildFirmwareImage(const ImageSpec& spec) {
  size_t pages = spec.pages < MIN_PAGES ? MIN_PAGES : spec.pages;
  Bytes image(pages * PAGE);
  uint32_t state = 0x2545F491u ^ spec.seed;
  Fill(image, 0, image.size(), state);

  // Page 0: magic, header words, the descriptors; descriptors 3-7 and the rest
  // of the page keep their filler, which the CRC rule must not count.
  memcpy(image.data(), "CMFG", 4);
  Put32(image, 4, 0x00010002);
  Put32(image, 8, uint32_t(pages));
  Put32(image, 12, spec.seed);
  const uint32_t ranges[3][2] = {{1, 3}, {4, uint32_t(pages - 3)}, {uint32_t(pages - 2), uint32_t(pages - 2)}};
  for (int r = 0; r < 3; ++r) {
    Put32(image, 16 + 8 * r, ranges[r][0]);
    Put32(image, 20 + 8 * r, ranges[r][1]);
  }

  // The version text inside the first firmware page, between blanks of zero.
  size_t at = PAGE + spec.versionOffset;
  image[at - 1] = 0;
  PutText(image, at, spec.version.size(), spec.version);
  image[at + spec.version.size()] = 0;

  // The configuration page: a factory block with every keyed field set.
  size_t cfg = (pages - 2) * PAGE;
  memset(image.data() + cfg, 0, PAGE);
  PutText(image, cfg + CFG_WORKORDER, 20, "WO-FACTORY-0001");
  Put16(image, cfg + CFG_VID, 0x1D4C);
  Put16(image, cfg + CFG_DID, 0x5216);
  Put16(image, cfg + CFG_SSVID, 0x1D4C);
  Put16(image, cfg + CFG_SSDID, 0x0001);
  PutText(image, cfg + CFG_SERIAL, 20, "FACTORY0000000000000");
  PutText(image, cfg + CFG_FW_NAME, 8, spec.fwName);
  PutText(image, cfg + CFG_MODEL, 40, "KESTREL FACTORY MODEL");
  Put16(image, cfg + CFG_CAPACITY, 512);

  size_t trailer = (pages - 1) * PAGE;
  memcpy(image.data() + trailer, "TRLR", 4);
  Put32(image, trailer + 4, uint32_t(pages));
  SealImage(image);
  return image;
}

Ranges ReadRanges(const Bytes& image) {
  Ranges r{};
  for (int i = 0; i < 3; ++i) {
    r.first[i] = Get32(image, 16 + 8 * i);
    r.last[i] = Get32(image, 20 + 8 * i);
  }
  return r;
}

uint32_t ComputeImageCrc(const Bytes& image) {
  Ranges r = ReadRanges(image);
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, image.data(), 80);
  static const Bytes zeros(PAGE - 80, 0);
  crc = crc32(crc, zeros.data(), uInt(zeros.size()));
  for (int i = 0; i < 3; ++i) crc = CrcOfPages(crc, image, r.first[i], r.last[i]);
  return uint32_t(crc);
}

uint32_t StoredImageCrc(const Bytes& image) {
  Ranges r = ReadRanges(image);
  return Get32(image, (size_t(r.last[2]) + 1) * PAGE + 12);
}

void SealImage(Bytes& image) {
  Ranges r = ReadRanges(image);
  size_t trailer = (size_t(r.last[2]) + 1) * PAGE;
  Put32(image, trailer + 8, 0);
  Put32(image, trailer + 12, ComputeImageCrc(image));
}

}  // namespace imagegen
