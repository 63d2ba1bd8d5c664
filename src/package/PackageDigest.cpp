// SHA-256 of every item written at extraction, kept in memory: the run folder
// lies under the user's temporary folder, where any process of the same user
// may write, so an image is used only while its bytes are the ones unpacked.
#include "package/Package.h"

#include <bcrypt.h>

#include <cstring>

#include "app/AppState.h"
#include "app/Text.h"
#include "platform/Platform.h"

namespace {

struct PackageItem {
  WCHAR szPath[MAX_PATH];
  BYTE digest[SHA256_SIZE];
};

// Filled during dialog initialisation, before any worker exists; only read
// afterwards, by the dialog and the worker, so it needs no lock.
PackageItem g_items[PACKAGE_ITEM_LIMIT];
int g_nItemCount = 0;

const PackageItem* FindItem(const WCHAR* path) {
  for (int i = 0; i < g_nItemCount; ++i)
    if (_wcsicmp(g_items[i].szPath, path) == 0) return &g_items[i];
  return nullptr;
}

}  // namespace

int Sha256Open(Sha256State* state) {
  state->hAlg = nullptr;
  state->hHash = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&state->hAlg, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    state->hAlg = nullptr;
    return 0;
  }
  // No object buffer: the provider keeps the hash state itself.
  if (!BCRYPT_SUCCESS(BCryptCreateHash(state->hAlg, &state->hHash, nullptr, 0, nullptr, 0, 0))) {
    state->hHash = nullptr;
    Sha256Close(state, nullptr);
    return 0;
  }
  return 1;
}

int Sha256Add(Sha256State* state, const BYTE* data, DWORD size) {
  if (state->hHash == nullptr) return 0;
  return BCRYPT_SUCCESS(BCryptHashData(state->hHash, const_cast<PUCHAR>(data), size, 0)) ? 1 : 0;
}

int Sha256Close(Sha256State* state, BYTE* digest) {
  int ok = 0;
  if (state->hHash != nullptr) {
    if (digest != nullptr) ok = BCRYPT_SUCCESS(BCryptFinishHash(state->hHash, digest, SHA256_SIZE, 0)) ? 1 : 0;
    BCryptDestroyHash(state->hHash);
  }
  if (state->hAlg != nullptr) BCryptCloseAlgorithmProvider(state->hAlg, 0);
  state->hAlg = nullptr;
  state->hHash = nullptr;
  return ok;
}

int Sha256(const BYTE* data, DWORD size, BYTE* digest) {
  Sha256State state;
  if (!Sha256Open(&state)) return 0;
  if (!Sha256Add(&state, data, size)) {
    Sha256Close(&state, nullptr);
    return 0;
  }
  return Sha256Close(&state, digest);
}

void ForgetPackageItems() { g_nItemCount = 0; }

int RecordPackageItem(const WCHAR* path, const BYTE* digest) {
  PackageItem* item = const_cast<PackageItem*>(FindItem(path));
  if (item == nullptr) {
    if (g_nItemCount >= PACKAGE_ITEM_LIMIT || wcslen(path) >= MAX_PATH) return 0;
    item = &g_items[g_nItemCount++];
    StringCchCopyW(item->szPath, MAX_PATH, path);
  }
  memcpy(item->digest, digest, SHA256_SIZE);
  return 1;
}

int IsPackageItemRecorded(const WCHAR* path) { return FindItem(path) != nullptr ? 1 : 0; }

int IsPackageItemIntact(const WCHAR* path, const BYTE* data, DWORD size) {
  const PackageItem* item = FindItem(path);
  if (item == nullptr) {
    LogLine(L"Image %s was not unpacked from the package; refused", path);
    return 0;
  }
  BYTE digest[SHA256_SIZE];
  if (!Sha256(data, size, digest)) {
    LogLine(L"Image %s cannot be hashed; refused", path);
    return 0;
  }
  if (memcmp(digest, item->digest, SHA256_SIZE) != 0) {
    LogLine(L"Image %s has changed since it was unpacked; refused", path);
    return 0;
  }
  return 1;
}

int CheckPackageImage(const WCHAR* path) {
  DWORD size = ReadFileData(path, 0, nullptr);
  if (size == 0) {
    LogLine(L"Image %s cannot be read; refused", path);
    return 0;
  }
  BYTE* data = static_cast<BYTE*>(plat::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (data == nullptr) {
    LogLine(L"Image %s: no memory for %d bytes; refused", path, static_cast<int>(size));
    return 0;
  }
  DWORD read = ReadFileData(path, size, data);
  int intact = read == size ? IsPackageItemIntact(path, data, size) : 0;
  if (read != size) LogLine(L"Image %s: read %d of %d bytes; refused", path, static_cast<int>(read), static_cast<int>(size));
  plat::VirtualFree(data, 0, MEM_RELEASE);
  return intact;
}
