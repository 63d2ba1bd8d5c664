// The process token and the request to shut down or restart. As on Windows,
// ExitWindowsEx refuses to power off or restart unless the token's shutdown
// privilege was enabled first, and the token calls refuse what their handle's
// access does not allow.
#include "MachineImpl.h"

namespace lab {

namespace {

// Privileges the lab knows by name, with their well-known LUIDs. An elevated
// administrator holds all but SeTcbPrivilege, only SeChangeNotifyPrivilege
// enabled.
struct Privilege {
  const wchar_t* name;
  DWORD luid;
  bool held;
  DWORD attributes;
};
const Privilege kPrivileges[] = {
    {SE_TCB_NAME, 7, false, 0},
    {SE_BACKUP_NAME, 17, true, 0},
    {SE_RESTORE_NAME, 18, true, 0},
    {SE_SHUTDOWN_NAME, 19, true, 0},
    {SE_DEBUG_NAME, 20, true, 0},
    {SE_CHANGE_NOTIFY_NAME, 23, true, SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT},
    {SE_REMOTE_SHUTDOWN_NAME, 24, true, 0},
    {SE_UNDOCK_NAME, 25, true, 0},
    {SE_MANAGE_VOLUME_NAME, 28, true, 0},
};
constexpr DWORD SHUTDOWN_LUID = 19;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Generic rights mapped to a token's own, as Windows maps them.
DWORD TokenAccess(DWORD desired) {
  DWORD granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & GENERIC_READ) granted |= TOKEN_READ;
  if (desired & GENERIC_WRITE) granted |= TOKEN_WRITE;
  if (desired & GENERIC_EXECUTE) granted |= TOKEN_EXECUTE;
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= TOKEN_ALL_ACCESS;
  return granted;
}

DWORD PrivilegesSize(DWORD count) {
  return DWORD(offsetof(TOKEN_PRIVILEGES, Privileges) + count * sizeof(LUID_AND_ATTRIBUTES));
}

}  // namespace

namespace detail {
std::map<DWORD, DWORD> AdministratorPrivileges() {
  std::map<DWORD, DWORD> held;
  for (const Privilege& p : kPrivileges)
    if (p.held) held[p.luid] = p.attributes;
  return held;
}
}  // namespace detail

BOOL Machine::OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (token == nullptr) return Fail(ERROR_NOACCESS);
  if (process != GetCurrentProcess()) return Fail(ERROR_INVALID_HANDLE);  // only this process is modelled
  *token = impl_->NewHandle({HandleKind::Token, L"token", TokenAccess(access), nullptr});
  return TRUE;
}

BOOL Machine::LookupPrivilege(LPCWSTR system, LPCWSTR name, PLUID luid) {
  if (name == nullptr || luid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (system != nullptr && system[0] != L'\0') return Fail(RPC_S_SERVER_UNAVAILABLE);  // no other machine
  for (const Privilege& p : kPrivileges) {
    if (_wcsicmp(p.name, name) != 0) continue;
    luid->LowPart = p.luid;
    luid->HighPart = 0;
    return TRUE;
  }
  return Fail(ERROR_NO_SUCH_PRIVILEGE);
}

BOOL Machine::AdjustPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD length,
                               PTOKEN_PRIVILEGES previous, PDWORD returned) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto it = impl_->handles.find(reinterpret_cast<uintptr_t>(token));
  if (it == impl_->handles.end() || it->second.kind != HandleKind::Token) return Fail(ERROR_INVALID_HANDLE);
  const DWORD access = it->second.access;
  if (!(access & TOKEN_ADJUST_PRIVILEGES)) return Fail(ERROR_ACCESS_DENIED);
  if (previous != nullptr && !(access & TOKEN_QUERY)) return Fail(ERROR_ACCESS_DENIED);
  if (!disableAll && state == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (previous != nullptr && returned == nullptr) return Fail(ERROR_NOACCESS);

  // What would change, and whether every privilege asked for is held.
  std::map<DWORD, DWORD>& held = impl_->privileges;
  std::map<DWORD, DWORD> after = held;
  std::vector<LUID_AND_ATTRIBUTES> changed;
  bool allAssigned = true;
  auto change = [&](DWORD luid, DWORD attributes, bool remove) {
    DWORD before = after[luid];
    if (remove) after.erase(luid);
    else after[luid] = attributes;
    if (!remove && (before & SE_PRIVILEGE_ENABLED) != (attributes & SE_PRIVILEGE_ENABLED))
      changed.push_back({{luid, 0}, before});
  };
  if (disableAll) {
    for (const auto& [luid, attributes] : held) change(luid, attributes & ~SE_PRIVILEGE_ENABLED, false);
  } else {
    for (DWORD i = 0; i < state->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& asked = state->Privileges[i];
      if (asked.Luid.HighPart != 0 || !after.count(asked.Luid.LowPart)) {
        allAssigned = false;
        continue;
      }
      DWORD kept = after[asked.Luid.LowPart] & ~SE_PRIVILEGE_ENABLED;
      change(asked.Luid.LowPart, kept | (asked.Attributes & SE_PRIVILEGE_ENABLED),
             (asked.Attributes & SE_PRIVILEGE_REMOVED) != 0);
    }
  }
  // A previous-state buffer too small for the changes: nothing is adjusted.
  if (previous != nullptr) {
    DWORD needed = PrivilegesSize(DWORD(changed.size()));
    *returned = needed;
    if (length < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    previous->PrivilegeCount = DWORD(changed.size());
    for (size_t i = 0; i < changed.size(); ++i) previous->Privileges[i] = changed[i];
  }
  held = after;
  // Success either way; only the last error tells that a privilege was not held.
  SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}

// The machine "restarts": every drive resets, so images waiting for a reset run.
BOOL Machine::Shutdown(UINT flags, DWORD) {
  const bool powerAction = (flags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) != 0;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    auto shutdown = impl_->privileges.find(SHUTDOWN_LUID);
    if (powerAction && (shutdown == impl_->privileges.end() || !(shutdown->second & SE_PRIVILEGE_ENABLED)))
      return Fail(ERROR_PRIVILEGE_NOT_HELD);
    impl_->shutdowns.push_back(flags);
  }
  if (powerAction) PowerCycle();
  return TRUE;
}

void Machine::WithholdPrivilege(const wchar_t* name) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  LUID luid = {};
  if (LookupPrivilege(nullptr, name, &luid)) impl_->privileges.erase(luid.LowPart);
}

}  // namespace lab
