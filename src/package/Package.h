// The firmware package: the embedded archive unpacked in memory, its
// configuration, and the rules that decide which drives it serves.
#pragma once

#include <windows.h>

#include "discovery/DriveRecord.h"
#include "transport/CmdModel.h"

constexpr WCHAR PACKAGE_RESOURCE_TYPE[] = L"FWPACKAGEZIP";
constexpr int PACKAGE_RESOURCE_ID = 1000;
constexpr WCHAR PACKAGE_CONFIG_NAME[] = L"KestrelInfo.ini";
constexpr WCHAR PACKAGE_SECTION[] = L"UPDATEINFO";

// The package lives in this process only: its items are unpacked from the
// program's resource into memory and checked there, and nothing is written
// to or read back from a folder another process could change.
constexpr DWORD SHA256_SIZE = 32;
constexpr int PACKAGE_ITEM_LIMIT = 64;
constexpr DWORD PACKAGE_ITEM_MAX_SIZE = 16u << 20;   // an image is well under 1 MiB
constexpr DWORD PACKAGE_TOTAL_MAX_SIZE = 64u << 20;
struct PackageItem {
  WCHAR szName[MAX_PATH];  // a plain file name, compared without regard to case
  BYTE* pData;
  DWORD dwSize;
  BYTE digest[SHA256_SIZE];
};

// Unpacks the program's resource; returns the number of items kept.
int ExtractPackage(const WCHAR* resourceType, int resourceId);
// Unpacks an archive held in memory, replacing every item known before;
// source names it in the log.
int UnzipPackage(const BYTE* archive, DWORD size, const WCHAR* source);
// nullptr when the package holds no item of that name.
const PackageItem* FindPackageItem(const WCHAR* name);
int PackageItemCount();
void ForgetPackageItems();
// 1 when data are the bytes of the named item; otherwise logs the refusal.
int IsPackageItemIntact(const WCHAR* name, const BYTE* data, DWORD size);

// The configuration, from the bytes of its file (nullptr: no file, defaults).
void LoadPackageConfig(const BYTE* file, DWORD size);
// Replaces every occurrence in place; text must hold 1000 units.
void ReplaceAll(WCHAR* text, const WCHAR* pattern, const WCHAR* replacement);

// An INI file's bytes read as the system's profile functions read the file:
// the encoding from its byte-order mark (none: the ANSI code page), section
// and key names without regard to case, the first section and key of a name
// win, blanks around names and values dropped, one pair of quotes around a
// value dropped. A key without "=" has no value.
struct ProfileText {
  WCHAR* pText;
  size_t nLength;
};
int OpenProfileText(const BYTE* file, DWORD size, ProfileText* profile);  // 0: no memory
void CloseProfileText(ProfileText* profile);
// As GetPrivateProfileStringW: the value, or the fallback, cut to capacity - 1.
void GetProfileText(const ProfileText* profile, const WCHAR* section, const WCHAR* key, const WCHAR* fallback,
                    WCHAR* out, DWORD capacity);
// As GetPrivateProfileIntW: the fallback for a missing or empty value, else
// the number its text begins with (decimal, or 0x, 0o, 0b), wrapped to 32 bits.
UINT GetProfileNumber(const ProfileText* profile, const WCHAR* section, const WCHAR* key, INT fallback);

// SHA-256 through Windows CNG.
struct Sha256State {
  void* hAlg;
  void* hHash;
};
int Sha256Open(Sha256State* state);
int Sha256Add(Sha256State* state, const BYTE* data, DWORD size);
// Writes the digest (32 bytes) and releases the state; a null digest only releases.
int Sha256Close(Sha256State* state, BYTE* digest);
int Sha256(const BYTE* data, DWORD size, BYTE* digest);

// Gating.
int IsDriveAccepted(const DriveRecord* drive, const WCHAR* modelList, const WCHAR* socId);
// The revision rule: an empty list accepts every revision.
int IsFwRevisionAccepted(const WCHAR* fwRevision, const WCHAR* fwVersionList);
// ";" + item + ";", the form list items are searched in (capacity 64).
void WrapListItem(const WCHAR* item, WCHAR* out, size_t capacity);
// The image is named as the image choice names it: an item of the package.
int CheckInternalVersion(const WCHAR* driveVersion, int checkPart, const WCHAR* imageName);
int ReadImageVersion(const WCHAR* imageName, WCHAR* out /* 32 units */);
int FindVersionText(const BYTE* data, DWORD size, char* out /* 9 bytes */);
const WCHAR* FindNoCase(const WCHAR* text, const WCHAR* pattern);
void TrimBlanks(WCHAR* text);
// A text read from a drive, made fit to show and log: each control character
// (C0, DEL, C1) and each invisible format character that could reorder or
// hide what is shown is replaced (or dropped, with a replacement of 0).
void CleanDriveText(WCHAR* text, WCHAR replacement);

// Flash identification and image choice.
constexpr UINT32 NAND_TYPE_UNLISTED = 0xFFFF;
constexpr BYTE VENDOR_OP_READ = 0xE6;          // CDW12 3: identity; CDW12 1: the configuration block
constexpr BYTE VENDOR_OP_DEVINFO_READ = 0xF2;
constexpr DWORD VENDOR_SUB_CONFIG = 1;
constexpr DWORD VENDOR_SUB_IDENTITY = 3;
constexpr DWORD VENDOR_PAGE = 4096;

INT32 QueryFlashInfo(const CmdContext* ctx, HANDLE hDrive, DriveRecord* drive);
UINT32 GetNandType(const BYTE* nandId);
int GetNandName(UINT32 code, WCHAR* name /* 260 units */);
// The name of the package's image for the drive's flash: "%s_%d.fw" with
// its LUN count, else "%s_0.fw"; 1 when the package holds one, else 0.
int GetImagePath(const DriveRecord* drive, WCHAR* name /* 260 units */);
// 1 when the image choice can ever pick this file: a NAND name of the table
// or "Unknow", "_", a decimal number without leading zeros, ".fw".
int IsPackageImageName(const WCHAR* fileName);

// Vendor configuration carry-over.
constexpr DWORD CFG_BLOCK_SIZE = 4096;
constexpr DWORD FW_PAGE = 4096;
constexpr DWORD DEVINFO_BLOCK_SIZE = 144;
void MergeVendorConfig(BYTE* image, DWORD imageSize, const BYTE* block, const WCHAR* key, const WCHAR* value);
void SetVendorConfigItem(BYTE* block, const WCHAR* key, const WCHAR* value);
INT32 WriteVendorFwName(const CmdContext* ctx, HANDLE hDrive, const WCHAR* value);
// The device-information read into a 4096-byte reply, judged: 1, the read's
// failure, or RES_BLANK_BLOCK (logged with the caller's name) for a reply
// whose block is all 0x00 or all 0xFF.
INT32 ReadDeviceInfo(const CmdContext* ctx, HANDLE hDrive, BYTE* reply, const WCHAR* caller);
UINT32 Crc32Update(const BYTE* data, DWORD length, UINT32 running);
// 1 when "KEEP" (any case): no firmware name is set anywhere.
int IsKeepName(const WCHAR* value);
// Whether an image may be sent: every image is a non-empty whole number of
// dwords; one with the "CMFG" magic must also hold its three ranges (after
// the header page, not overlapping) and its trailer page (inside no range),
// and its stored CRC must match its content. Logs why an image is refused.
int CheckFirmwareImage(const BYTE* image, DWORD size);
// 1 when every byte is 0x00, or every byte 0xFF: what a refused read leaves
// behind or an erased block holds, never a drive's settings.
int IsBlankBlock(const BYTE* block, DWORD size);
// A block read from the drive was blank: nothing was merged or written.
constexpr INT32 RES_BLANK_BLOCK = -7;
