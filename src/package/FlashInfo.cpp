// Which controller and flash a drive carries, and the image built for it.
#include <cstring>

#include "app/Log.h"
#include "app/Text.h"
#include "package/Package.h"
#include "transport/Transports.h"
#include "transport/WireFormats.h"

namespace {

// Identity reply.
constexpr size_t ID_MARKER = 0, ID_SOC = 2, ID_NAND = 16, ID_VERSION = 32;
constexpr BYTE ID_VALID = 0x5A;
// Device-information reply.
constexpr size_t DI_LAYOUT = 280, DI_PAGE = 288, DI_CHANNELS = 295, DI_CES = 296, DI_LUNS = 297, DI_PLANES = 298,
                 DI_ID_TABLE = 1352, DI_SOC = 1582;
constexpr UINT16 LAYOUT_4096 = 0x1000, LAYOUT_1768 = 0x06E8;
constexpr DWORD ID_TABLE_LIMIT = 192;  // 32 six-byte entries

struct NandRow {
  const WCHAR* patterns[7];
  UINT32 code;
  const WCHAR* name;
};

// Tried in this order: a row 5 pattern is the start of a row 4 pattern.
const NandRow kNandTable[] = {
    {{L"89C40832A6", L"89D48932A6", L"89C48932A133", L"89C48932A100", L"89C41832A200", L"89A40832A133",
      L"89D49932A200"},
     0x8901, L"Intel-B17A"},
    {{L"2CD48932A6"}, 0x2C01, L"Micron-B17A"},
    {{L"2CC41832A2"}, 0x2C02, L"Micron-B27A"},
    {{L"2CC30832E604", L"2CD38932E604", L"2CE38A32E604"}, 0x2C05, L"Micron-B27C"},
    {{L"2CC30832E6", L"2CD38932E6"}, 0x2C03, L"Micron-B27B"},
    {{L"2CC30832EA", L"2CD38932EA", L"2CE38A32EA"}, 0x2C04, L"Micron-B47R"},
    {{L"2CA40832A104"}, 0x2C06, L"Micron-B16C"},
    {{L"983C98B376F2", L"983E99B37AF2"}, 0x9801, L"TSB-BiCS3"},
    {{L"983E98B376E3", L"98499AB37EE3"}, 0x9802, L"TSB-BiCS4"},
    {{L"984899037AE4"}, 0x9803, L"TSB-BiCS5"},
    {{L"453E98B37663"}, 0x4501, L"Sandisk-BiCS4"},
    {{L"453C98B3F663"}, 0x4502, L"Sandisk-BiCS4.5"},
    {{L"453E98B37672"}, 0x4503, L"Sandisk-BiCS3"},
    {{L"AD89285300B0"}, 0xAD01, L"Hynix-3DV6"},
    {{L"AD7E280B00C0", L"AD7E290B00C0", L"AD7E2A0B00C0"}, 0xAD02, L"Hynix-3DV7"},
    {{L"9BC4284920", L"9BC5294920"}, 0x9B02, L"YMTC-X2-9060"},
    {{L"9BC3482510", L"9BC4492510"}, 0x9B01, L"YMTC-X1-9050"},
    {{L"EC5E98AF84CD"}, 0xEC01, L"Samsung-V6"},
};
constexpr WCHAR kUnlistedName[] = L"Unknow";

INT32 VendorRead(const CmdContext* ctx, HANDLE hDrive, BYTE opcode, DWORD sub, BYTE* page) {
  memset(page, 0, VENDOR_PAGE);
  return VendorCmd(ctx, hDrive, DIR_READ, opcode, sub, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15, page,
                   VENDOR_PAGE);
}

// The system's NVMe driver passes only the vendor commands the drive's
// Commands Supported and Effects log lists; any other it refuses as an
// invalid function. Such a drive's flash cannot be asked for at all.
void NoteRefusedVendorOp(const CmdContext* ctx, BYTE opcode, DriveRecord* drive) {
  const Transport* transport = FindTransport(ctx->iCmdType);
  if (transport == nullptr || !transport->bVendorNeedsEffectsLog) return;
  if (LastCmdFault()->dwSystemError != ERROR_INVALID_FUNCTION) return;
  if (drive->bRefusedVendorOp == 0) drive->bRefusedVendorOp = opcode;
  LogLine(L"%s: the drive does not allow vendor command 0x%02X through %s", drive->szDevicePath, opcode,
          transport->szCarrier);
}

}  // namespace

INT32 QueryFlashInfo(const CmdContext* ctx, HANDLE hDrive, DriveRecord* drive) {
  BYTE page[VENDOR_PAGE];
  INT32 identity = VendorRead(ctx, hDrive, VENDOR_OP_READ, VENDOR_SUB_IDENTITY, page);
  if (identity != RES_SUCCESS) NoteRefusedVendorOp(ctx, VENDOR_OP_READ, drive);
  if (identity == RES_SUCCESS && page[ID_MARKER] == ID_VALID) {
    drive->iSocId = GetLe16(page + ID_SOC);
    memcpy(drive->NandId, page + ID_NAND, sizeof drive->NandId);
    drive->bVendorInfo = 1;
    char version[9] = {};
    memcpy(version, page + ID_VERSION, 8);
    MultiByteToWideChar(CP_ACP, 0, version, -1, drive->DrvInfoVersion, DRIVE_TEXT_CAPACITY);
    // Marked, not dropped: a version that held a control character never
    // compares equal to an image's version.
    CleanDriveText(drive->DrvInfoVersion, L'?');
  }

  INT32 result = VendorRead(ctx, hDrive, VENDOR_OP_DEVINFO_READ, 0, page);
  if (result != RES_SUCCESS) {
    NoteRefusedVendorOp(ctx, VENDOR_OP_DEVINFO_READ, drive);
    return result;
  }

  UINT16 layout = GetLe16(page + DI_LAYOUT);
  bool valid;
  if ((drive->iSocId == 0x7C31 || drive->iSocId == 0x7C22) && layout == LAYOUT_4096) {
    valid = true;
  } else if (drive->iSocId == 0x7C14) {
    valid = layout == LAYOUT_1768;
  } else if (layout == LAYOUT_1768) {
    drive->iSocId = GetLe16(page + DI_SOC);
    valid = true;
  } else {
    valid = false;
  }
  if (valid) {
    LogDetail(L"%s = ch:%d, ce:%d, lun:%d, pln:%d, pg:%d", drive->szDevicePath, page[DI_CHANNELS], page[DI_CES],
              page[DI_LUNS], page[DI_PLANES], GetLe16(page + DI_PAGE));
    drive->iLunCount = page[DI_LUNS];
  }

  if (drive->NandId[0] == 0) {
    DWORD n = static_cast<DWORD>(page[DI_CHANNELS]) * page[DI_CES] * 6;
    if (n != 0 && n <= ID_TABLE_LIMIT) {
      for (DWORD at = 0; at < n; at += 6) {
        if (page[DI_ID_TABLE + at] != 0) {
          memcpy(drive->NandId, page + DI_ID_TABLE + at, 6);
          break;
        }
      }
    }
  }
  drive->iNandType = GetNandType(drive->NandId);
  return result;
}

UINT32 GetNandType(const BYTE* nandId) {
  WCHAR text[16];
  FormatText(text, L"%02X%02X%02X%02X%02X%02X", nandId[0], nandId[1], nandId[2], nandId[3], nandId[4], nandId[5]);
  for (const NandRow& row : kNandTable) {
    for (const WCHAR* pattern : row.patterns) {
      if (pattern == nullptr) break;
      if (FindNoCase(text, pattern) != nullptr) return row.code;
    }
  }
  LogLine(L"NandDevidsString=%s", text);
  return NAND_TYPE_UNLISTED;
}

int GetNandName(UINT32 code, WCHAR* name) {
  if (code == NAND_TYPE_UNLISTED) {
    StringCchCopyW(name, MAX_PATH, kUnlistedName);
    return 0;
  }
  for (const NandRow& row : kNandTable) {
    if (row.code == code) {
      StringCchCopyW(name, MAX_PATH, row.name);
      return 1;
    }
  }
  return 1;  // a code outside the table writes no name
}

int GetImagePath(const DriveRecord* drive, WCHAR* path) {
  WCHAR name[MAX_PATH] = L"";
  GetNandName(drive->iNandType, name);
  if (name[0] == L'\0') return 0;
  // Only the package's own items: no file anyone could add or delete decides.
  WCHAR candidate[MAX_PATH];
  FormatText(candidate, L"%s_%d.fw", name, drive->iLunCount);
  if (FindPackageItem(candidate) == nullptr) {
    FormatText(candidate, L"%s_0.fw", name);
    if (FindPackageItem(candidate) == nullptr) return 0;
  }
  StringCchCopyW(path, MAX_PATH, candidate);
  return 1;
}

int IsPackageImageName(const WCHAR* fileName) {
  const WCHAR* underscore = wcsrchr(fileName, L'_');
  if (underscore == nullptr) return 0;
  size_t nameLength = static_cast<size_t>(underscore - fileName);
  // Files are found without regard to case.
  bool known = nameLength == wcslen(kUnlistedName) && _wcsnicmp(fileName, kUnlistedName, nameLength) == 0;
  for (const NandRow& row : kNandTable)
    if (wcslen(row.name) == nameLength && _wcsnicmp(fileName, row.name, nameLength) == 0) known = true;
  if (!known) return 0;
  // The number the image choice forms with "%d": decimal, no leading zero.
  const WCHAR* digits = underscore + 1;
  size_t count = wcsspn(digits, L"0123456789");
  if (count == 0 || count > 9 || (count > 1 && digits[0] == L'0')) return 0;
  return _wcsicmp(digits + count, L".fw") == 0 ? 1 : 0;
}
