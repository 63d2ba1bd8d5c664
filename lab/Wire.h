// Little-endian reads and writes at byte offsets: the lab decodes every request
// this way, at the offsets Windows documents, never through the product's
// structure definitions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lab {

using Bytes = std::vector<uint8_t>;

inline uint16_t Rd16(const uint8_t* p, size_t at) { return uint16_t(p[at] | p[at + 1] << 8); }
inline uint32_t Rd32(const uint8_t* p, size_t at) {
  return uint32_t(p[at]) | uint32_t(p[at + 1]) << 8 | uint32_t(p[at + 2]) << 16 | uint32_t(p[at + 3]) << 24;
}
inline uint64_t Rd64(const uint8_t* p, size_t at) { return uint64_t(Rd32(p, at)) | uint64_t(Rd32(p, at + 4)) << 32; }

inline void Wr16(uint8_t* p, size_t at, uint16_t v) {
  p[at] = uint8_t(v);
  p[at + 1] = uint8_t(v >> 8);
}
inline void Wr32(uint8_t* p, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[at + i] = uint8_t(v >> (8 * i));
}
inline void Wr64(uint8_t* p, size_t at, uint64_t v) {
  Wr32(p, at, uint32_t(v));
  Wr32(p, at + 4, uint32_t(v >> 32));
}
// An ASCII field padded with blanks, as NVMe Identify data carries text.
inline void WrText(uint8_t* p, size_t at, size_t width, const std::string& text) {
  for (size_t i = 0; i < width; ++i) p[at + i] = i < text.size() ? uint8_t(text[i]) : uint8_t(' ');
}

std::string HexDump(const uint8_t* p, size_t n, size_t maxBytes = 256);

}  // namespace lab
