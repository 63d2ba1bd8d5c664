// The embedded package, its unpacking, and the small file helpers.
#include <minizip/unzip.h>

#include <cstring>

#include "app/AppState.h"
#include "app/Text.h"
#include "package/Package.h"
#include "platform/Platform.h"

namespace {

constexpr size_t NAME_CAPACITY = 260;
constexpr DWORD COPY_CHUNK = 16 * 1024;

// minizip reads the archive through these, so a path of any characters
// opens (its ANSI entry point fails for folders outside the code page).
struct ZipStream {
  HANDLE file;
  int error;
};

voidpf ZCALLBACK ZipOpen(voidpf, const void* name, int mode) {
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
  // Shares writing only so that the package's own archive, which
  // ExtractPackage keeps open for writing against swaps, can be read.
  HANDLE file = CreateFileW(static_cast<const WCHAR*>(name), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return new ZipStream{file, 0};
}

uLong ZCALLBACK ZipRead(voidpf, voidpf stream, void* buf, uLong size) {
  auto* s = static_cast<ZipStream*>(stream);
  DWORD read = 0;
  if (!ReadFile(s->file, buf, size, &read, nullptr)) s->error = static_cast<int>(GetLastError());
  return read;
}

uLong ZCALLBACK ZipWrite(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK ZipTell(voidpf, voidpf stream) {
  auto* s = static_cast<ZipStream*>(stream);
  LARGE_INTEGER zero = {}, at = {};
  if (!SetFilePointerEx(s->file, zero, &at, FILE_CURRENT)) return static_cast<ZPOS64_T>(-1);
  return static_cast<ZPOS64_T>(at.QuadPart);
}

long ZCALLBACK ZipSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* s = static_cast<ZipStream*>(stream);
  DWORD method;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_CUR: method = FILE_CURRENT; break;
    case ZLIB_FILEFUNC_SEEK_END: method = FILE_END; break;
    case ZLIB_FILEFUNC_SEEK_SET: method = FILE_BEGIN; break;
    default: return -1;
  }
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(s->file, distance, nullptr, method) ? 0 : -1;
}

int ZCALLBACK ZipClose(voidpf, voidpf stream) {
  auto* s = static_cast<ZipStream*>(stream);
  CloseHandle(s->file);
  delete s;
  return 0;
}

int ZCALLBACK ZipError(voidpf, voidpf stream) { return static_cast<ZipStream*>(stream)->error; }

unzFile OpenArchive(const WCHAR* path) {
  zlib_filefunc64_def io = {};
  io.zopen64_file = ZipOpen;
  io.zread_file = ZipRead;
  io.zwrite_file = ZipWrite;
  io.ztell64_file = ZipTell;
  io.zseek64_file = ZipSeek;
  io.zclose_file = ZipClose;
  io.zerror_file = ZipError;
  return unzOpen2_64(path, &io);
}

// Names Windows maps to devices, with or without an extension.
const WCHAR* const kDeviceNames[] = {L"CON",  L"PRN",  L"AUX",  L"NUL",  L"COM1", L"COM2", L"COM3", L"COM4",
                                     L"COM5", L"COM6", L"COM7", L"COM8", L"COM9", L"LPT1", L"LPT2", L"LPT3",
                                     L"LPT4", L"LPT5", L"LPT6", L"LPT7", L"LPT8", L"LPT9", L"CONIN$", L"CONOUT$"};

bool IsDeviceName(const WCHAR* name) {
  // Windows ignores what follows the first dot, and blanks before it.
  size_t length = wcscspn(name, L".");
  while (length > 0 && name[length - 1] == L' ') --length;
  for (const WCHAR* device : kDeviceNames)
    if (wcslen(device) == length && _wcsnicmp(name, device, length) == 0) return true;
  return false;
}

// Why a name is not a plain file name of the run folder, or nullptr when it
// is one. Windows drops trailing dots and blanks, so "x.fw." and "x.fw "
// would both land on "x.fw" and the later would replace the earlier.
const WCHAR* NameFault(const WCHAR* name) {
  if (name[0] == L'\0') return L"has no name";
  if (wcspbrk(name, L"\\/") != nullptr) return L"has a folder part";
  for (const WCHAR* p = name; *p; ++p)
    if (*p < 0x20 || wcschr(L"<>:\"|?*", *p) != nullptr) return L"holds a character not allowed in a file name";
  if (wcsspn(name, L".") == wcslen(name)) return L"is dots only";
  WCHAR last = name[wcslen(name) - 1];
  if (last == L'.' || last == L' ') return L"ends with a dot or a blank";
  if (IsDeviceName(name)) return L"is a reserved device name";
  return nullptr;
}

// The stored name in UTF-16: names flagged UTF-8, or valid as UTF-8 (Info-ZIP
// writes them unflagged), are UTF-8; the rest follow the ZIP format's old
// OEM rule.
bool DecodeItemName(const char* stored, bool utf8, WCHAR* out, size_t capacity) {
  UINT codePage = CP_OEMCP;
  if (utf8 || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, stored, -1, nullptr, 0) > 0) codePage = CP_UTF8;
  return MultiByteToWideChar(codePage, 0, stored, -1, out, static_cast<int>(capacity)) != 0;
}

// Writes the current item to target only when it comes out whole: exactly
// its declared size, with its declared CRC. minizip checks the CRC only when
// the declared size was reached, so both are checked here. The bytes go to a
// side file that replaces the target only then. Returns why it failed, or
// nullptr.
const WCHAR* ExtractCurrentItem(unzFile zip, const unz_file_info64& info, const WCHAR* target) {
  if (info.flag & 1u) return L"is encrypted";
  WCHAR part[MAX_PATH * 2];
  FormatText(part, MAX_PATH * 2, L"%s.part", target);
  if (unzOpenCurrentFile(zip) != UNZ_OK) return L"cannot be opened";
  const WCHAR* fault = nullptr;
  HANDLE out = CreateFileW(part, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) fault = L"cannot be written";
  ZPOS64_T total = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  Sha256State sha = {nullptr, nullptr};
  if (fault == nullptr && !Sha256Open(&sha)) fault = L"cannot be hashed";
  BYTE chunk[COPY_CHUNK];
  while (fault == nullptr) {
    int n = unzReadCurrentFile(zip, chunk, COPY_CHUNK);
    if (n < 0) fault = L"has a damaged stream";
    if (n <= 0) break;
    DWORD written = 0;
    if (!WriteFile(out, chunk, static_cast<DWORD>(n), &written, nullptr) || written != static_cast<DWORD>(n))
      fault = L"cannot be written";
    total += static_cast<ZPOS64_T>(n);
    crc = crc32(crc, chunk, static_cast<uInt>(n));
    if (!Sha256Add(&sha, chunk, static_cast<DWORD>(n))) fault = L"cannot be hashed";
  }
  BYTE digest[SHA256_SIZE];
  if (!Sha256Close(&sha, fault == nullptr ? digest : nullptr) && fault == nullptr) fault = L"cannot be hashed";
  if (unzCloseCurrentFile(zip) != UNZ_OK && fault == nullptr) fault = L"fails its CRC";
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (fault == nullptr && total != info.uncompressed_size) fault = L"is not its declared size";
  if (fault == nullptr && crc != info.crc) fault = L"fails its CRC";
  if (fault == nullptr && !RecordPackageItem(target, digest)) fault = L"is one item too many";
  if (fault == nullptr && !MoveFileExW(part, target, MOVEFILE_REPLACE_EXISTING)) fault = L"cannot be written";
  if (fault != nullptr) DeleteFileW(part);
  return fault;
}

}  // namespace

void GetTempDir(WCHAR* buffer, DWORD capacity) {
  if (capacity == 0) return;
  buffer[0] = L'\0';
  DWORD n = GetTempPathW(capacity, buffer);
  if (n == 0 || n >= capacity) {
    buffer[0] = L'\0';
    return;
  }
  if (buffer[n - 1] == L'\\') buffer[n - 1] = L'\0';
}

DWORD ReadFileData(const WCHAR* path, DWORD count, void* buffer) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD result = 0;
  if (buffer == nullptr) {
    result = GetFileSize(file, nullptr);
    if (result == INVALID_FILE_SIZE) result = 0;
  } else if (!ReadFile(file, buffer, count, &result, nullptr)) {
    result = 0;
  }
  CloseHandle(file);
  return result;
}

int WriteFileData(const WCHAR* path, DWORD access, const void* data, DWORD size) {
  DWORD disposition;
  if (access == GENERIC_WRITE) disposition = CREATE_ALWAYS;
  else if (access == FILE_APPEND_DATA) disposition = OPEN_ALWAYS;
  else return 0;
  HANDLE file = CreateFileW(path, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD written = 0;
  BOOL ok = WriteFile(file, data, size, &written, nullptr) && written == size;
  CloseHandle(file);
  return ok ? 1 : 0;
}

int IsPathExist(const WCHAR* path) {
  if (path == nullptr || path[0] == L'\0') return 0;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(path, &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  FindClose(search);
  return 1;
}

namespace {

// The archive on disk must hold exactly the package's bytes: an old archive
// left by anyone else, or one that another process keeps open, is never
// unpacked in its place. The file is created new and stays open until the
// items are out; its share mode lets the reader in but no other writer and
// no delete or rename, so it cannot be swapped meanwhile.
HANDLE WriteOwnArchive(const WCHAR* archive, const BYTE* bytes, DWORD size) {
  if (!DeleteFileW(archive) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    LogLine(L"ExtractPackage: the old archive %s cannot be removed (error %d); nothing extracted", archive,
            static_cast<int>(GetLastError()));
    return INVALID_HANDLE_VALUE;
  }
  HANDLE file = CreateFileW(archive, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  if (file == INVALID_HANDLE_VALUE || !WriteFile(file, bytes, size, &written, nullptr) || written != size) {
    LogLine(L"ExtractPackage: the archive %s cannot be written (error %d); nothing extracted", archive,
            static_cast<int>(GetLastError()));
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    DeleteFileW(archive);
    return INVALID_HANDLE_VALUE;
  }
  // Read back whole: a short or altered file is not this package.
  LARGE_INTEGER length = {}, start = {};
  bool same = GetFileSizeEx(file, &length) && length.QuadPart == static_cast<LONGLONG>(size) &&
              SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
  BYTE* check = same ? static_cast<BYTE*>(plat::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))
                     : nullptr;
  if (check != nullptr) {
    DWORD read = 0;
    same = ReadFile(file, check, size, &read, nullptr) && read == size && memcmp(check, bytes, size) == 0;
    plat::VirtualFree(check, 0, MEM_RELEASE);
  } else {
    same = false;
  }
  if (!same) {
    LogLine(L"ExtractPackage: the archive %s does not hold the %d bytes written; nothing extracted", archive,
            static_cast<int>(size));
    CloseHandle(file);
    DeleteFileW(archive);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

}  // namespace

void ExtractPackage(const WCHAR* resourceType, int resourceId, const WCHAR* workDir) {
  ForgetPackageItems();  // nothing counts as unpacked until this package is
  HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(resourceId), resourceType);
  HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
  const BYTE* bytes = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  DWORD size = resource ? SizeofResource(nullptr, resource) : 0;
  WCHAR archive[MAX_PATH + 32];
  GetTempDir(archive, MAX_PATH);
  StringCchCatW(archive, MAX_PATH + 32, PACKAGE_ARCHIVE_NAME);
  CreateDirectoryW(workDir, nullptr);
  if (bytes == nullptr || size == 0) {
    // An archive of that name is someone else's: it is removed, never used.
    LogLine(L"ExtractPackage: no package resource %d; nothing extracted", resourceId);
    DeleteFileW(archive);
    return;
  }
  HANDLE held = WriteOwnArchive(archive, bytes, size);
  if (held == INVALID_HANDLE_VALUE) return;
  UnzipToFolder(archive, workDir, 0);
  CloseHandle(held);
  DeleteFileW(archive);
}

void UnzipToFolder(const WCHAR* archivePath, const WCHAR* folder, int deleteArchive) {
  CreateDirectoryW(folder, nullptr);
  ForgetPackageItems();
  unzFile zip = OpenArchive(archivePath);
  if (zip == nullptr) {
    LogLine(L"UnzipToFolder: cannot open %s", archivePath);
  } else {
    int status = unzGoToFirstFile(zip);
    while (status == UNZ_OK) {
      char stored[NAME_CAPACITY];
      unz_file_info64 info;
      WCHAR name[NAME_CAPACITY];
      WCHAR target[MAX_PATH * 2];
      if (unzGetCurrentFileInfo64(zip, &info, stored, sizeof stored, nullptr, 0, nullptr, 0) != UNZ_OK) break;
      bool utf8 = (info.flag & (1u << 11)) != 0;
      const WCHAR* fault = nullptr;
      if (info.size_filename >= NAME_CAPACITY) {
        // minizip would hand over the name cut short: a different file.
        LogLine(L"UnzipToFolder: an item name of %d bytes is too long; skipped", static_cast<int>(info.size_filename));
      } else if (!DecodeItemName(stored, utf8, name, NAME_CAPACITY)) {
        LogLine(L"UnzipToFolder: item \"%S\" has a name that cannot be read; skipped", stored);
      } else if ((fault = NameFault(name)) != nullptr) {
        LogLine(L"UnzipToFolder: item \"%s\" %s; skipped", name, fault);
      } else if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
        // Only what zlib itself unpacks is checked and written.
        LogLine(L"UnzipToFolder: item %s is neither stored nor deflated (method %d); skipped", name,
                static_cast<int>(info.compression_method));
      } else {
        FormatText(target, MAX_PATH * 2, L"%s\\%s", folder, name);
        if (IsPackageItemRecorded(target))
          LogLine(L"UnzipToFolder: item %s appears twice; the first is kept", name);
        else if ((fault = ExtractCurrentItem(zip, info, target)) != nullptr)
          LogLine(L"UnzipToFolder: item %s %s; not extracted", name, fault);
      }
      status = unzGoToNextFile(zip);
    }
    if (status != UNZ_OK && status != UNZ_END_OF_LIST_OF_FILE)
      LogLine(L"UnzipToFolder: archive %s is damaged (%d)", archivePath, status);
    unzClose(zip);
  }
  if (deleteArchive) DeleteFileW(archivePath);
}
