// The registry and the clocks as a program sees them: keys under
// HKEY_LOCAL_MACHINE with their values, answered with the documented
// results, and a machine that can restart.
#include <cwctype>

#include "MachineImpl.h"

namespace lab {

namespace {

constexpr ULONGLONG RESTART_MS = 60000;     // a restart takes a minute
constexpr ULONGLONG UP_AFTER_RESTART_MS = 20000;
// The wall clock's day when the lab's clock reads 0: 2026-12-01 00:00 UTC.
constexpr ULONGLONG WALL_EPOCH_FILETIME = 134405568000000000ull;

std::wstring UpperPath(const std::wstring& path) {
  std::wstring out;
  for (wchar_t c : path) out += wchar_t(towupper(c));
  while (!out.empty() && out.back() == L'\\') out.pop_back();
  return out;
}

}  // namespace

ULONGLONG Machine::Uptime() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->clock - impl_->bootAt;
}

void Machine::WallTime(FILETIME* time) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  ULONGLONG ticks = WALL_EPOCH_FILETIME + impl_->clock * 10000;
  time->dwLowDateTime = DWORD(ticks);
  time->dwHighDateTime = DWORD(ticks >> 32);
}

void Machine::Restart() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->clock += RESTART_MS;
  impl_->bootAt = impl_->clock - UP_AFTER_RESTART_MS;
  for (auto& [n, disk] : impl_->disks) disk->drive().Restart();
  impl_->Pump();
}

LSTATUS Machine::RegistryCreate(HKEY root, LPCWSTR subKey, LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  if (subKey == nullptr || result == nullptr) return ERROR_INVALID_PARAMETER;
  std::wstring path = UpperPath(subKey);
  bool created = impl_->registry.count(path) == 0;
  // The keys on the way are made too.
  for (size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1))
    impl_->registry[path.substr(0, at)];
  impl_->registry[path];
  uintptr_t handle = impl_->nextRegistryHandle++;
  impl_->registryHandles[handle] = path;
  *result = reinterpret_cast<HKEY>(handle);
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS Machine::RegistryOpen(HKEY root, LPCWSTR subKey, PHKEY result) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  if (subKey == nullptr || result == nullptr) return ERROR_INVALID_PARAMETER;
  std::wstring path = UpperPath(subKey);
  if (impl_->registry.count(path) == 0) return ERROR_FILE_NOT_FOUND;
  uintptr_t handle = impl_->nextRegistryHandle++;
  impl_->registryHandles[handle] = path;
  *result = reinterpret_cast<HKEY>(handle);
  return ERROR_SUCCESS;
}

LSTATUS Machine::RegistrySet(HKEY key, LPCWSTR name, DWORD type, const BYTE* data, DWORD size) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto handle = impl_->registryHandles.find(reinterpret_cast<uintptr_t>(key));
  if (handle == impl_->registryHandles.end()) return ERROR_INVALID_HANDLE;
  auto values = impl_->registry.find(handle->second);
  if (values == impl_->registry.end()) return ERROR_KEY_DELETED;
  if (size != 0 && data == nullptr) return ERROR_NOACCESS;
  values->second[UpperPath(name != nullptr ? name : L"")] = {type, Bytes(data, data + size)};
  return ERROR_SUCCESS;
}

LSTATUS Machine::RegistryQuery(HKEY key, LPCWSTR name, LPDWORD type, LPBYTE data, LPDWORD size) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto handle = impl_->registryHandles.find(reinterpret_cast<uintptr_t>(key));
  if (handle == impl_->registryHandles.end()) return ERROR_INVALID_HANDLE;
  auto values = impl_->registry.find(handle->second);
  if (values == impl_->registry.end()) return ERROR_KEY_DELETED;
  auto value = values->second.find(UpperPath(name != nullptr ? name : L""));
  if (value == values->second.end()) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = value->second.type;
  DWORD length = DWORD(value->second.data.size());
  if (data != nullptr) {
    if (size == nullptr) return ERROR_INVALID_PARAMETER;
    if (*size < length) {
      *size = length;
      return ERROR_MORE_DATA;
    }
    std::copy(value->second.data.begin(), value->second.data.end(), data);
  }
  if (size != nullptr) *size = length;
  return ERROR_SUCCESS;
}

LSTATUS Machine::RegistryDelete(HKEY root, LPCWSTR subKey) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  std::wstring path = UpperPath(subKey != nullptr ? subKey : L"");
  if (impl_->registry.count(path) == 0) return ERROR_FILE_NOT_FOUND;
  // As Windows: a key that still has subkeys is not deleted by this call.
  auto next = impl_->registry.upper_bound(path);
  if (next != impl_->registry.end() && next->first.compare(0, path.size() + 1, path + L"\\") == 0)
    return ERROR_ACCESS_DENIED;
  impl_->registry.erase(path);
  return ERROR_SUCCESS;
}

LSTATUS Machine::RegistryClose(HKEY key) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (impl_->registryHandles.erase(reinterpret_cast<uintptr_t>(key)) == 0) {
    ++impl_->badReleases;
    return ERROR_INVALID_HANDLE;
  }
  return ERROR_SUCCESS;
}

bool Machine::RegistryKeyValues(const std::wstring& path, std::map<std::wstring, RegistryValue>* values) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto key = impl_->registry.find(UpperPath(path));
  if (key == impl_->registry.end()) return false;
  *values = key->second;
  return true;
}

void Machine::RegistryPut(const std::wstring& path, const std::wstring& name, DWORD type, const Bytes& data) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::wstring upper = UpperPath(path);
  for (size_t at = upper.find(L'\\'); at != std::wstring::npos; at = upper.find(L'\\', at + 1))
    impl_->registry[upper.substr(0, at)];
  impl_->registry[upper][UpperPath(name)] = {type, data};
}

int Machine::OpenRegistryKeyCount() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return int(impl_->registryHandles.size());
}

}  // namespace lab
