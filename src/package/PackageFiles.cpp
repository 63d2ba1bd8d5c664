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
  HANDLE file = CreateFileW(static_cast<const WCHAR*>(name), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
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

// A stored name turned into a relative Windows path, or false when the
// name would land outside the folder (absolute, drive letter, "..", stream).
bool SafeItemName(const char* stored, bool utf8, WCHAR* out, size_t capacity) {
  // Names flagged UTF-8, or valid as UTF-8 (Info-ZIP writes them unflagged),
  // are UTF-8; the rest follow the old OEM rule of the ZIP format.
  UINT codePage = CP_OEMCP;
  if (utf8 || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, stored, -1, nullptr, 0) > 0) codePage = CP_UTF8;
  if (MultiByteToWideChar(codePage, 0, stored, -1, out, static_cast<int>(capacity)) == 0) return false;
  if (out[0] == L'\0') return false;
  for (WCHAR* p = out; *p; ++p)
    if (*p == L'/') *p = L'\\';
  if (out[0] == L'\\' || wcschr(out, L':') != nullptr) return false;
  // Every part must be a plain name.
  const WCHAR* part = out;
  while (true) {
    const WCHAR* end = wcschr(part, L'\\');
    size_t length = end ? static_cast<size_t>(end - part) : wcslen(part);
    if ((length == 1 && part[0] == L'.') || (length == 2 && part[0] == L'.' && part[1] == L'.')) return false;
    if (end == nullptr) break;
    part = end + 1;
  }
  return true;
}

// Creates every folder of path below base (path itself excluded).
void CreateParentFolders(const WCHAR* base, const WCHAR* relative) {
  WCHAR folder[MAX_PATH * 2];
  size_t baseLength = wcslen(base);
  for (const WCHAR* p = wcschr(relative, L'\\'); p != nullptr; p = wcschr(p + 1, L'\\')) {
    FormatText(folder, MAX_PATH * 2, L"%s\\%.*s", base, static_cast<int>(p - relative), relative);
    if (wcslen(folder) > baseLength) CreateDirectoryW(folder, nullptr);
  }
}

// Writes the current item to target only when it inflates whole with a good
// CRC: minizip reports a bad CRC at close, after the bytes are out, so the
// bytes go to a side file that replaces the target only then.
bool ExtractCurrentItem(unzFile zip, const WCHAR* target) {
  WCHAR part[MAX_PATH * 2];
  FormatText(part, MAX_PATH * 2, L"%s.part", target);
  if (unzOpenCurrentFile(zip) != UNZ_OK) return false;
  HANDLE out = CreateFileW(part, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = out != INVALID_HANDLE_VALUE;
  BYTE chunk[COPY_CHUNK];
  while (ok) {
    int n = unzReadCurrentFile(zip, chunk, COPY_CHUNK);
    if (n < 0) ok = false;
    if (n <= 0) break;
    DWORD written = 0;
    if (!WriteFile(out, chunk, static_cast<DWORD>(n), &written, nullptr) || written != static_cast<DWORD>(n)) ok = false;
  }
  if (unzCloseCurrentFile(zip) != UNZ_OK) ok = false;  // UNZ_CRCERROR lands here
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (ok) ok = MoveFileExW(part, target, MOVEFILE_REPLACE_EXISTING) != 0;
  if (!ok) DeleteFileW(part);
  return ok;
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
// unpacked in its place.
bool WriteOwnArchive(const WCHAR* archive, const BYTE* bytes, DWORD size) {
  if (!DeleteFileW(archive) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    LogLine(L"ExtractPackage: the old archive %s cannot be removed (error %d); nothing extracted", archive,
            static_cast<int>(GetLastError()));
    return false;
  }
  if (!WriteFileData(archive, GENERIC_WRITE, bytes, size)) {
    LogLine(L"ExtractPackage: the archive %s cannot be written (error %d); nothing extracted", archive,
            static_cast<int>(GetLastError()));
    return false;
  }
  // Read back whole: a short or altered file is not this package.
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  bool same = GetFileAttributesExW(archive, GetFileExInfoStandard, &attributes) && attributes.nFileSizeHigh == 0 &&
              attributes.nFileSizeLow == size;
  BYTE* check = same ? static_cast<BYTE*>(plat::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))
                     : nullptr;
  if (check != nullptr) {
    same = ReadFileData(archive, size, check) == size && memcmp(check, bytes, size) == 0;
    plat::VirtualFree(check, 0, MEM_RELEASE);
  } else {
    same = false;
  }
  if (!same) {
    LogLine(L"ExtractPackage: the archive %s does not hold the %d bytes written; nothing extracted", archive,
            static_cast<int>(size));
    DeleteFileW(archive);
  }
  return same;
}

}  // namespace

void ExtractPackage(const WCHAR* resourceType, int resourceId, const WCHAR* workDir) {
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
  if (WriteOwnArchive(archive, bytes, size)) UnzipToFolder(archive, workDir, 1);
}

void UnzipToFolder(const WCHAR* archivePath, const WCHAR* folder, int deleteArchive) {
  CreateDirectoryW(folder, nullptr);
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
      if (info.size_filename >= NAME_CAPACITY) {
        // minizip would hand over the name cut short: a different file.
        LogLine(L"UnzipToFolder: an item name of %d bytes is too long; skipped", static_cast<int>(info.size_filename));
      } else if (!SafeItemName(stored, utf8, name, NAME_CAPACITY)) {
        LogLine(L"UnzipToFolder: item \"%S\" would land outside the folder; skipped", stored);
      } else {
        FormatText(target, MAX_PATH * 2, L"%s\\%s", folder, name);
        CreateParentFolders(folder, name);
        size_t length = wcslen(name);
        if (name[length - 1] == L'\\') {
          CreateDirectoryW(target, nullptr);
        } else if (!ExtractCurrentItem(zip, target)) {
          LogLine(L"UnzipToFolder: item %s is damaged; not extracted", name);
        }
      }
      status = unzGoToNextFile(zip);
    }
    if (status != UNZ_OK && status != UNZ_END_OF_LIST_OF_FILE)
      LogLine(L"UnzipToFolder: archive %s is damaged (%d)", archivePath, status);
    unzClose(zip);
  }
  if (deleteArchive) DeleteFileW(archivePath);
}
