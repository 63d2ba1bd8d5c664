// The embedded package, unpacked from the program's own resource into
// memory. Nothing of it is written to a folder: the user's temporary folder
// belongs to every process of the user, and this program runs elevated.
#include <minizip/unzip.h>

#include <cstring>
#include <new>

#include "app/Log.h"
#include "app/Text.h"
#include "package/Package.h"

namespace {

constexpr size_t NAME_CAPACITY = 260;
constexpr DWORD COPY_CHUNK = 16 * 1024;

// Filled during dialog initialisation, before any worker exists; only read
// afterwards, by the dialog and the worker, so it needs no lock.
PackageItem g_items[PACKAGE_ITEM_LIMIT];
int g_nItemCount = 0;

// minizip reads the archive through these callbacks, straight from the
// bytes of the resource.
struct MemoryArchive {
  const BYTE* data;
  ZPOS64_T size;
  ZPOS64_T at;
};

voidpf ZCALLBACK ArchiveOpen(voidpf, const void* archive, int mode) {
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
  return const_cast<void*>(archive);
}

uLong ZCALLBACK ArchiveRead(voidpf, voidpf stream, void* buf, uLong size) {
  auto* a = static_cast<MemoryArchive*>(stream);
  ZPOS64_T left = a->at < a->size ? a->size - a->at : 0;
  uLong n = left < size ? static_cast<uLong>(left) : size;
  memcpy(buf, a->data + a->at, n);
  a->at += n;
  return n;
}

uLong ZCALLBACK ArchiveWrite(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK ArchiveTell(voidpf, voidpf stream) { return static_cast<MemoryArchive*>(stream)->at; }

long ZCALLBACK ArchiveSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* a = static_cast<MemoryArchive*>(stream);
  ZPOS64_T base;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_CUR: base = a->at; break;
    case ZLIB_FILEFUNC_SEEK_END: base = a->size; break;
    case ZLIB_FILEFUNC_SEEK_SET: base = 0; break;
    default: return -1;
  }
  // minizip passes a backward move from the end as a huge unsigned offset.
  ZPOS64_T target = base + offset;
  if (target > a->size) return -1;
  a->at = target;
  return 0;
}

int ZCALLBACK ArchiveClose(voidpf, voidpf) { return 0; }
int ZCALLBACK ArchiveError(voidpf, voidpf) { return 0; }

unzFile OpenArchive(MemoryArchive* archive) {
  zlib_filefunc64_def io = {};
  io.zopen64_file = ArchiveOpen;
  io.zread_file = ArchiveRead;
  io.zwrite_file = ArchiveWrite;
  io.ztell64_file = ArchiveTell;
  io.zseek64_file = ArchiveSeek;
  io.zclose_file = ArchiveClose;
  io.zerror_file = ArchiveError;
  return unzOpen2_64(archive, &io);
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

// Why a name is not a plain file name, or nullptr when it is one. Items are
// found by the names the package tool and Windows would give their files:
// "x.fw." and "x.fw " are one file for Windows, and so are they here.
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

// Unpacks the current item into memory, whole or not at all: exactly its
// declared size, with its declared CRC. minizip checks the CRC only when the
// declared size was reached, so both are checked here. Returns why it
// failed, or nullptr with *item filled.
const WCHAR* UnpackCurrentItem(unzFile zip, const unz_file_info64& info, DWORD* budget, PackageItem* item) {
  if (info.flag & 1u) return L"is encrypted";
  // The declared size decides the allocation: no more is ever written.
  if (info.uncompressed_size > PACKAGE_ITEM_MAX_SIZE || info.uncompressed_size > *budget)
    return L"is larger than a package item may be";
  DWORD size = static_cast<DWORD>(info.uncompressed_size);
  BYTE* data = new (std::nothrow) BYTE[size != 0 ? size : 1];
  if (data == nullptr) return L"does not fit in memory";
  if (unzOpenCurrentFile(zip) != UNZ_OK) {
    delete[] data;
    return L"cannot be opened";
  }
  const WCHAR* fault = nullptr;
  DWORD total = 0;
  BYTE chunk[COPY_CHUNK];
  for (;;) {
    int n = unzReadCurrentFile(zip, chunk, COPY_CHUNK);
    if (n < 0) fault = L"has a damaged stream";
    if (n <= 0) break;
    if (static_cast<DWORD>(n) > size - total) {
      fault = L"is not its declared size";
      break;
    }
    memcpy(data + total, chunk, static_cast<size_t>(n));
    total += static_cast<DWORD>(n);
  }
  if (unzCloseCurrentFile(zip) != UNZ_OK && fault == nullptr) fault = L"fails its CRC";
  if (fault == nullptr && total != size) fault = L"is not its declared size";
  if (fault == nullptr && crc32(crc32(0L, Z_NULL, 0), data, size) != info.crc) fault = L"fails its CRC";
  if (fault == nullptr && !Sha256(data, size, item->digest)) fault = L"cannot be hashed";
  if (fault != nullptr) {
    delete[] data;
    return fault;
  }
  item->pData = data;
  item->dwSize = size;
  *budget -= size;
  return nullptr;
}

// One item of the archive judged and, when sound, added to the table.
// false (logged) when it cannot be taken whole under a plain name of its own.
bool TakeCurrentItem(unzFile zip, DWORD* budget) {
  char stored[NAME_CAPACITY];
  unz_file_info64 info;
  if (unzGetCurrentFileInfo64(zip, &info, stored, sizeof stored, nullptr, 0, nullptr, 0) != UNZ_OK) {
    LogLine(L"UnzipPackage: an item's header cannot be read");
    return false;
  }
  PackageItem item = {};
  const WCHAR* fault = nullptr;
  if (info.size_filename >= NAME_CAPACITY) {
    // minizip would hand over the name cut short: a different item.
    LogLine(L"UnzipPackage: an item name of %d bytes is too long; skipped", static_cast<int>(info.size_filename));
  } else if (!DecodeItemName(stored, (info.flag & (1u << 11)) != 0, item.szName, MAX_PATH)) {
    LogLine(L"UnzipPackage: item \"%S\" has a name that cannot be read; skipped", stored);
  } else if ((fault = NameFault(item.szName)) != nullptr) {
    LogLine(L"UnzipPackage: item \"%s\" %s; skipped", item.szName, fault);
  } else if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
    // Only what zlib itself unpacks is checked and kept.
    LogLine(L"UnzipPackage: item %s is neither stored nor deflated (method %d); skipped", item.szName,
            static_cast<int>(info.compression_method));
  } else if (FindPackageItem(item.szName) != nullptr) {
    LogLine(L"UnzipPackage: item %s appears twice; the first is kept", item.szName);
  } else if (PackageItemCount() >= PACKAGE_ITEM_LIMIT) {
    LogLine(L"UnzipPackage: item %s is one item too many; skipped", item.szName);
  } else if ((fault = UnpackCurrentItem(zip, info, budget, &item)) != nullptr) {
    LogLine(L"UnzipPackage: item %s %s; not unpacked", item.szName, fault);
  } else {
    g_items[g_nItemCount++] = item;
    return true;
  }
  return false;
}

}  // namespace

const PackageItem* FindPackageItem(const WCHAR* name) {
  for (int i = 0; i < g_nItemCount; ++i)
    if (_wcsicmp(g_items[i].szName, name) == 0) return &g_items[i];
  return nullptr;
}

int PackageItemCount() { return g_nItemCount; }

void ForgetPackageItems() {
  for (int i = 0; i < g_nItemCount; ++i) delete[] g_items[i].pData;
  ZeroMemory(g_items, sizeof g_items);
  g_nItemCount = 0;
}

int UnzipPackage(const BYTE* archive, DWORD size, const WCHAR* source) {
  ForgetPackageItems();  // nothing counts as the package until this one is read
  MemoryArchive stream = {archive, size, 0};
  unzFile zip = archive != nullptr ? OpenArchive(&stream) : nullptr;
  if (zip == nullptr) {
    LogLine(L"UnzipPackage: the package from %s is no readable archive; nothing unpacked", source);
    return 0;
  }
  // Every item is judged, so the log names every fault; one is enough to
  // refuse the whole package. Without, say, its "_2" image the choice would
  // fall back to the "_0" one, which is made for another drive.
  DWORD budget = PACKAGE_TOTAL_MAX_SIZE;
  bool whole = true;
  int status = unzGoToFirstFile(zip);
  while (status == UNZ_OK) {
    if (!TakeCurrentItem(zip, &budget)) whole = false;
    status = unzGoToNextFile(zip);
  }
  if (status != UNZ_END_OF_LIST_OF_FILE) {
    LogLine(L"UnzipPackage: the archive from %s is damaged (%d)", source, status);
    whole = false;
  }
  unzClose(zip);
  if (!whole) {
    ForgetPackageItems();
    LogLine(L"package: the package from %s is damaged; nothing of it is used", source);
    return 0;
  }
  LogLine(L"package: %d items from %s", PackageItemCount(), source);
  return PackageItemCount();
}

int ExtractPackage(const WCHAR* resourceType, int resourceId) {
  HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(resourceId), resourceType);
  HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
  const BYTE* bytes = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  DWORD size = resource ? SizeofResource(nullptr, resource) : 0;
  if (bytes == nullptr || size == 0) {
    ForgetPackageItems();
    LogLine(L"ExtractPackage: no package resource %d; nothing extracted", resourceId);
    return 0;
  }
  return UnzipPackage(bytes, size, L"the program's resource");
}
