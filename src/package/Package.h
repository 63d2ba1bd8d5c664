// The firmware package: the embedded archive, its configuration file, the
// file helpers, and the rules that decide which drives it serves.
#pragma once

#include <windows.h>

#include "discovery/DriveRecord.h"
#include "transport/CmdModel.h"

constexpr WCHAR PACKAGE_RESOURCE_TYPE[] = L"FWPACKAGEZIP";
constexpr int PACKAGE_RESOURCE_ID = 1000;
constexpr WCHAR PACKAGE_ARCHIVE_NAME[] = L"\\~ReleasePackage.a";
constexpr WCHAR PACKAGE_CONFIG_NAME[] = L"KestrelInfo.ini";
constexpr WCHAR PACKAGE_SECTION[] = L"UPDATEINFO";

// Package and configuration.
void ExtractPackage(const WCHAR* resourceType, int resourceId, const WCHAR* workDir);
void UnzipToFolder(const WCHAR* archivePath, const WCHAR* folder, int deleteArchive);
void LoadPackageConfig(const WCHAR* configPath);
// Replaces every occurrence in place; text must hold 1000 units.
void ReplaceAll(WCHAR* text, const WCHAR* pattern, const WCHAR* replacement);

// What was unpacked: a SHA-256 (Windows CNG) of every item written, so an
// image changed in the run folder afterwards is never used.
constexpr DWORD SHA256_SIZE = 32;
constexpr int PACKAGE_ITEM_LIMIT = 64;
struct Sha256State {
  void* hAlg;
  void* hHash;
};
int Sha256Open(Sha256State* state);
int Sha256Add(Sha256State* state, const BYTE* data, DWORD size);
// Writes the digest (32 bytes) and releases the state; a null digest only releases.
int Sha256Close(Sha256State* state, BYTE* digest);
int Sha256(const BYTE* data, DWORD size, BYTE* digest);
void ForgetPackageItems();
// 0 when the table is full.
int RecordPackageItem(const WCHAR* path, const BYTE* digest);
int IsPackageItemRecorded(const WCHAR* path);
// 1 when data are the bytes unpacked to path; otherwise logs the refusal.
int IsPackageItemIntact(const WCHAR* path, const BYTE* data, DWORD size);
// Reads the file whole and judges it as above.
int CheckPackageImage(const WCHAR* path);

// Files.
void GetTempDir(WCHAR* buffer, DWORD capacity);
// With a buffer: reads up to count bytes and returns how many; without: the
// file's size. 0 when the file cannot be opened.
DWORD ReadFileData(const WCHAR* path, DWORD count, void* buffer);
int WriteFileData(const WCHAR* path, DWORD access, const void* data, DWORD size);
int IsPathExist(const WCHAR* path);

// Gating.
int IsDriveAccepted(const DriveRecord* drive, const WCHAR* modelList, const WCHAR* socId);
// The revision rule: an empty list accepts every revision.
int IsFwRevisionAccepted(const WCHAR* fwRevision, const WCHAR* fwVersionList);
// ";" + item + ";", the form list items are searched in (capacity 64).
void WrapListItem(const WCHAR* item, WCHAR* out, size_t capacity);
int CheckInternalVersion(const WCHAR* driveVersion, int checkPart, const WCHAR* imagePath);
int ReadImageVersion(const WCHAR* imagePath, WCHAR* out /* 32 units */);
int FindVersionText(const BYTE* data, DWORD size, char* out /* 9 bytes */);
const WCHAR* FindNoCase(const WCHAR* text, const WCHAR* pattern);
void TrimBlanks(WCHAR* text);

// Flash identification and image choice.
constexpr UINT32 NAND_TYPE_UNLISTED = 0xFFFF;
constexpr BYTE VENDOR_OP_CONFIG_WRITE = 0xE5;  // CDW12 1: the configuration block
constexpr BYTE VENDOR_OP_READ = 0xE6;          // CDW12 3: identity; CDW12 1: the configuration block
constexpr BYTE VENDOR_OP_DEVINFO_WRITE = 0xF1;
constexpr BYTE VENDOR_OP_DEVINFO_READ = 0xF2;
constexpr DWORD VENDOR_SUB_CONFIG = 1;
constexpr DWORD VENDOR_SUB_IDENTITY = 3;
constexpr DWORD VENDOR_PAGE = 4096;

INT32 QueryFlashInfo(const CmdContext* ctx, HANDLE hDrive, DriveRecord* drive);
UINT32 GetNandType(const BYTE* nandId);
int GetNandName(UINT32 code, WCHAR* name /* 260 units */);
int GetImagePath(const DriveRecord* drive, WCHAR* path /* 260 units */);
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
