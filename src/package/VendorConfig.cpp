// The drive's vendor configuration carried into the image, the firmware name,
// and the image CRC.
#include <cstring>
#include <cwchar>

#include "app/Log.h"
#include "app/Text.h"
#include "package/Package.h"
#include "transport/WireFormats.h"

namespace {

constexpr UINT32 CMFG_MAGIC = 0x47464D43;
constexpr DWORD HEADER_BYTES = 80;
constexpr DWORD RANGE_DESCRIPTORS = 16;
constexpr DWORD TRAILER_ZERO = 8, TRAILER_CRC = 12;
constexpr DWORD DEVINFO_NAME = 88, DEVINFO_NAME_SIZE = 8;
constexpr size_t VALUE_AREA = 128;

enum class FieldKind { Text, Decimal, Hex };

struct CfgField {
  const WCHAR* key;
  DWORD offset;
  DWORD size;
  FieldKind kind;
};

// Matched in this order.
const CfgField kCfgFields[] = {
    {L"Vendor_Model_Name", 1072, 40, FieldKind::Text}, {L"Vendor_Fw_Name", 1064, 8, FieldKind::Text},
    {L"Drv_Serial_Number", 1040, 20, FieldKind::Text}, {L"Vendor_Capacity", 1592, 2, FieldKind::Decimal},
    {L"Workorder", 528, 20, FieldKind::Text},          {L"VID", 1032, 2, FieldKind::Hex},
    {L"DID", 1034, 2, FieldKind::Hex},                 {L"SSVID", 1036, 2, FieldKind::Hex},
    {L"SSDID", 1038, 2, FieldKind::Hex},
};

struct CrcTable {
  UINT32 entry[256];
  constexpr CrcTable() : entry() {
    for (UINT32 i = 0; i < 256; ++i) {
      UINT32 c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entry[i] = c;
    }
  }
};
constexpr CrcTable kCrc;

// Digits of the base after leading white space; 0 when there are none.
UINT32 ParseNumber(const WCHAR* text, int base) {
  while (iswspace(*text)) ++text;
  if (base == 16 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) text += 2;
  UINT32 value = 0;
  for (;; ++text) {
    int digit;
    if (*text >= L'0' && *text <= L'9') digit = *text - L'0';
    else if (base == 16 && *text >= L'a' && *text <= L'f') digit = *text - L'a' + 10;
    else if (base == 16 && *text >= L'A' && *text <= L'F') digit = *text - L'A' + 10;
    else break;
    value = value * static_cast<UINT32>(base) + static_cast<UINT32>(digit);
  }
  return value;
}

struct ImageLayout {
  UINT32 first[3];
  UINT32 last[3];
  UINT64 trailer;  // byte offset of the trailer page
};

// Reads the descriptors and checks that the ranges and the trailer page lie
// inside the image; why names the first fault.
bool ReadLayout(const BYTE* image, DWORD size, ImageLayout* layout, const WCHAR** why) {
  if (size < HEADER_BYTES) {
    *why = L"header cut short";
    return false;
  }
  for (int r = 0; r < 3; ++r) {
    layout->first[r] = GetLe32(image + RANGE_DESCRIPTORS + 8 * r);
    layout->last[r] = GetLe32(image + RANGE_DESCRIPTORS + 8 * r + 4);
    if (layout->first[r] > layout->last[r]) {
      *why = L"a range ends before it starts";
      return false;
    }
    if ((static_cast<UINT64>(layout->last[r]) + 1) * FW_PAGE > size) {
      *why = L"a range lies past the end of the image";
      return false;
    }
    // Page 0 is the header: a range over it would hash it twice, and the
    // configuration page placed there would overwrite it.
    if (layout->first[r] == 0) {
      *why = L"a range covers the header page";
      return false;
    }
  }
  for (int a = 0; a < 3; ++a) {
    for (int b = a + 1; b < 3; ++b) {
      if (layout->first[a] <= layout->last[b] && layout->first[b] <= layout->last[a]) {
        *why = L"two ranges overlap";
        return false;
      }
    }
  }
  UINT64 trailerPage = static_cast<UINT64>(layout->last[2]) + 1;
  layout->trailer = trailerPage * FW_PAGE;
  if (layout->trailer + FW_PAGE > size) {
    *why = L"the trailer page lies past the end of the image";
    return false;
  }
  for (int r = 0; r < 2; ++r) {
    if (layout->first[r] <= trailerPage && trailerPage <= layout->last[r]) {
      *why = L"the trailer page lies inside a range";
      return false;
    }
  }
  return true;
}

UINT32 CrcOfRange(const BYTE* image, const ImageLayout& layout, int r, UINT32 running) {
  UINT64 at = static_cast<UINT64>(layout.first[r]) * FW_PAGE;
  UINT64 length = (static_cast<UINT64>(layout.last[r]) - layout.first[r] + 1) * FW_PAGE;
  return Crc32Update(image + at, static_cast<DWORD>(length), running);
}

UINT32 CrcOfHeader(const BYTE* image) {
  static const BYTE zeros[FW_PAGE - HEADER_BYTES] = {};
  UINT32 running = Crc32Update(image, HEADER_BYTES, 0);
  return Crc32Update(zeros, sizeof zeros, running);
}

bool HasMagic(const BYTE* image, DWORD size) { return size >= 4 && GetLe32(image) == CMFG_MAGIC; }

}  // namespace

UINT32 Crc32Update(const BYTE* data, DWORD length, UINT32 running) {
  UINT32 value = ~running;
  for (DWORD i = 0; i < length; ++i) value = (value >> 8) ^ kCrc.entry[(value ^ data[i]) & 0xFF];
  return ~value;
}

int IsKeepName(const WCHAR* value) { return _wcsicmp(value, L"KEEP") == 0 ? 1 : 0; }

void SetVendorConfigItem(BYTE* block, const WCHAR* key, const WCHAR* value) {
  if (IsKeepName(value)) return;
  char area[VALUE_AREA] = {};
  WideCharToMultiByte(CP_ACP, 0, value, -1, area, VALUE_AREA - 1, nullptr, nullptr);
  for (const CfgField& field : kCfgFields) {
    if (_wcsicmp(key, field.key) != 0) continue;
    BYTE* at = block + field.offset;
    if (field.kind == FieldKind::Text) {
      memcpy(at, area, field.size);
    } else {
      UINT32 number = ParseNumber(value, field.kind == FieldKind::Hex ? 16 : 10);
      at[0] = static_cast<BYTE>(number);
      at[1] = static_cast<BYTE>(number >> 8);
    }
    return;
  }
}

void MergeVendorConfig(BYTE* image, DWORD imageSize, const BYTE* block, const WCHAR* key, const WCHAR* value) {
  if (!HasMagic(image, imageSize)) {
    LogDetail(L"Not Config FW");
    return;
  }
  // The descriptors are checked against the loaded data: nothing outside it
  // is read or written, and such an image stays as it is.
  ImageLayout layout;
  const WCHAR* why = L"";
  if (!ReadLayout(image, imageSize, &layout, &why)) {
    LogLine(L"MergeVendorConfig: image left unchanged, %s", why);
    return;
  }
  UINT32 running = CrcOfHeader(image);
  running = CrcOfRange(image, layout, 0, running);
  running = CrcOfRange(image, layout, 1, running);
  BYTE* config = image + static_cast<UINT64>(layout.first[2]) * FW_PAGE;
  if (block != nullptr) memcpy(config, block, CFG_BLOCK_SIZE);
  if (!IsKeepName(value)) SetVendorConfigItem(config, key, value);
  running = CrcOfRange(image, layout, 2, running);
  PutLe32(image + layout.trailer + TRAILER_ZERO, 0);
  PutLe32(image + layout.trailer + TRAILER_CRC, running);
}

int IsBlankBlock(const BYTE* block, DWORD size) {
  if (size == 0) return 1;
  BYTE first = block[0];
  if (first != 0x00 && first != 0xFF) return 0;
  for (DWORD i = 1; i < size; ++i)
    if (block[i] != first) return 0;
  return 1;
}

int CheckFirmwareImage(const BYTE* image, DWORD size) {
  // NVMe moves firmware in dwords: a trailing part of one would be cut off
  // or padded by whoever carries it.
  if (size == 0 || size % 4 != 0) {
    LogLine(L"Firmware image refused: %d bytes is no whole number of dwords", size);
    return 0;
  }
  if (!HasMagic(image, size)) return 1;
  ImageLayout layout;
  const WCHAR* why = L"";
  if (!ReadLayout(image, size, &layout, &why)) {
    LogLine(L"Firmware image refused: %s", why);
    return 0;
  }
  UINT32 running = CrcOfHeader(image);
  for (int r = 0; r < 3; ++r) running = CrcOfRange(image, layout, r, running);
  UINT32 stored = GetLe32(image + static_cast<size_t>(layout.trailer) + TRAILER_CRC);
  if (running != stored) {
    LogLine(L"Firmware image refused: stored CRC %08X, content CRC %08X", stored, running);
    return 0;
  }
  return 1;
}

INT32 ReadDeviceInfo(const CmdContext* ctx, HANDLE hDrive, BYTE* reply, const WCHAR* caller) {
  memset(reply, 0, VENDOR_PAGE);
  INT32 result = VendorCmd(ctx, hDrive, DIR_READ, VENDOR_OP_DEVINFO_READ, 0, 0, MAKER_SIGNATURE_CDW14,
                           MAKER_SIGNATURE_CDW15, reply, VENDOR_PAGE);
  if (result != RES_SUCCESS) return result;
  // A cleared or erased answer is no device information: writing it back
  // would wipe the drive's own settings.
  if (IsBlankBlock(reply, DEVINFO_BLOCK_SIZE)) {
    LogLine(L"%s: the device information read back is blank; nothing written", caller);
    return RES_BLANK_BLOCK;
  }
  return RES_SUCCESS;
}

INT32 WriteVendorFwName(const CmdContext* ctx, HANDLE hDrive, const WCHAR* value) {
  BYTE reply[VENDOR_PAGE];
  INT32 result = ReadDeviceInfo(ctx, hDrive, reply, L"WriteVendorFwName");
  if (result != RES_SUCCESS) return result;
  BYTE block[VENDOR_PAGE] = {};
  memcpy(block, reply, DEVINFO_BLOCK_SIZE);
  char name[VALUE_AREA] = {};
  WideCharToMultiByte(CP_ACP, 0, value, -1, name, VALUE_AREA - 1, nullptr, nullptr);
  memcpy(block + DEVINFO_NAME, name, DEVINFO_NAME_SIZE);
  return VendorCmd(ctx, hDrive, DIR_WRITE, VENDOR_OP_DEVINFO_WRITE, 0, 0, MAKER_SIGNATURE_CDW14,
                   MAKER_SIGNATURE_CDW15, block, VENDOR_PAGE);
}
