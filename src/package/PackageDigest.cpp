// SHA-256 through Windows CNG, and the check that a copy of an item is the
// package's own: what is sent to a drive is compared with what was unpacked.
#include "package/Package.h"

#include <bcrypt.h>

#include <cstring>

#include "app/Log.h"
#include "app/Text.h"
#include "platform/Platform.h"
#include "platform/SystemDlls.h"

int Sha256Open(Sha256State* state) {
  state->hAlg = nullptr;
  state->hHash = nullptr;
  if (!BCRYPT_SUCCESS(sysdll::BCryptOpenAlgorithmProvider(&state->hAlg, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    state->hAlg = nullptr;
    return 0;
  }
  // No object buffer: the provider keeps the hash state itself.
  if (!BCRYPT_SUCCESS(sysdll::BCryptCreateHash(state->hAlg, &state->hHash, nullptr, 0, nullptr, 0, 0))) {
    state->hHash = nullptr;
    Sha256Close(state, nullptr);
    return 0;
  }
  return 1;
}

int Sha256Add(Sha256State* state, const BYTE* data, DWORD size) {
  if (state->hHash == nullptr) return 0;
  return BCRYPT_SUCCESS(sysdll::BCryptHashData(state->hHash, const_cast<BYTE*>(data), size, 0)) ? 1 : 0;
}

int Sha256Close(Sha256State* state, BYTE* digest) {
  int ok = 0;
  if (state->hHash != nullptr) {
    if (digest != nullptr) ok = BCRYPT_SUCCESS(sysdll::BCryptFinishHash(state->hHash, digest, SHA256_SIZE, 0)) ? 1 : 0;
    sysdll::BCryptDestroyHash(state->hHash);
  }
  if (state->hAlg != nullptr) sysdll::BCryptCloseAlgorithmProvider(state->hAlg, 0);
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

int IsPackageItemIntact(const WCHAR* name, const BYTE* data, DWORD size) {
  const PackageItem* item = FindPackageItem(name);
  if (item == nullptr) {
    LogLine(L"Image %s is not in the package; refused", name);
    return 0;
  }
  BYTE digest[SHA256_SIZE];
  if (!Sha256(data, size, digest)) {
    LogLine(L"Image %s cannot be hashed; refused", name);
    return 0;
  }
  if (size != item->dwSize || memcmp(digest, item->digest, SHA256_SIZE) != 0) {
    LogLine(L"Image %s is not the package's own; refused", name);
    return 0;
  }
  return 1;
}
