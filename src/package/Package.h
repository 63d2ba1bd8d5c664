// The firmware package: the embedded archive, its configuration file, the
// file helpers, and the rules that decide which drives it serves.
#pragma once

#include <windows.h>

#include "discovery/DriveRecord.h"

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
