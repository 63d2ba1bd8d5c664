// What the program asks of the system's shutdown and sleep, and the power
// source it reads. As on Windows: a shutdown block reason is taken only from
// the thread that made the window, and a thread's continuous execution state
// lasts until that thread replaces it or ends.
#include "MachineImpl.h"

namespace lab {

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

constexpr EXECUTION_STATE KNOWN_STATES =
    ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED | ES_USER_PRESENT | ES_AWAYMODE_REQUIRED | ES_CONTINUOUS;

bool ThreadAlive(DWORD id) {
  HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, id);
  if (thread == nullptr) return false;
  bool alive = WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
  ::CloseHandle(thread);
  return alive;
}

// The window must exist and belong to the calling thread.
BOOL CheckOwnWindow(HWND hwnd) {
  if (!IsWindow(hwnd)) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  if (GetWindowThreadProcessId(hwnd, nullptr) != GetCurrentThreadId()) return Fail(ERROR_ACCESS_DENIED);
  return TRUE;
}

}  // namespace

BOOL Machine::BlockShutdown(HWND hwnd, LPCWSTR reason) {
  if (!CheckOwnWindow(hwnd)) return FALSE;
  // Windows documents no error for a missing text; the lab refuses it as a bad parameter.
  if (reason == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->blockReasons[hwnd] = reason;
  return TRUE;
}

BOOL Machine::UnblockShutdown(HWND hwnd) {
  if (!CheckOwnWindow(hwnd)) return FALSE;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->blockReasons.erase(hwnd);  // no reason held: nothing to do, and no error
  return TRUE;
}

std::wstring Machine::ShutdownBlockReason(HWND hwnd) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto it = impl_->blockReasons.find(hwnd);
  // A window that is gone takes its reason with it.
  if (it == impl_->blockReasons.end() || !IsWindow(hwnd)) return L"";
  return it->second;
}

EXECUTION_STATE Machine::SetExecutionState(EXECUTION_STATE flags) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (flags & ~KNOWN_STATES) return 0;
  DWORD thread = GetCurrentThreadId();
  impl_->executionCalls.push_back({thread, flags});
  auto it = impl_->threadStates.find(thread);
  EXECUTION_STATE previous = it == impl_->threadStates.end() ? ES_CONTINUOUS : it->second;
  // Without ES_CONTINUOUS the call only resets the idle timers once.
  if (flags & ES_CONTINUOUS) impl_->threadStates[thread] = flags;
  return previous;
}

std::vector<Machine::ExecutionStateCall> Machine::ExecutionStateCalls() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->executionCalls;
}

bool Machine::SystemKeptAwake() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  for (const auto& [thread, state] : impl_->threadStates)
    if ((state & ES_SYSTEM_REQUIRED) && ThreadAlive(thread)) return true;
  return false;
}

BOOL Machine::PowerStatus(LPSYSTEM_POWER_STATUS status) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (impl_->powerError != 0) return Fail(impl_->powerError);
  if (status == nullptr) return Fail(ERROR_NOACCESS);
  *status = impl_->power;
  return TRUE;
}

void Machine::RunOnMains(BYTE batteryPercent) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (batteryPercent == BATTERY_PERCENTAGE_UNKNOWN) {
    impl_->power = {AC_LINE_ONLINE, BATTERY_FLAG_NO_BATTERY, BATTERY_PERCENTAGE_UNKNOWN, 0, BATTERY_LIFE_UNKNOWN,
                    BATTERY_LIFE_UNKNOWN};
    return;
  }
  // A laptop charging on its adapter: the charge tells nothing of the risk.
  impl_->power = {AC_LINE_ONLINE, BYTE(BATTERY_FLAG_CHARGING | (batteryPercent < 33 ? BATTERY_FLAG_LOW : 0)),
                  batteryPercent, 0, BATTERY_LIFE_UNKNOWN, BATTERY_LIFE_UNKNOWN};
}

void Machine::RunOnBattery(BYTE percent) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  // The flag bands Windows reports: high above 66 %, low below 33 %, critical below 5 %.
  BYTE flag = percent > 66 ? BATTERY_FLAG_HIGH : percent < 5 ? BATTERY_FLAG_LOW | BATTERY_FLAG_CRITICAL
              : percent < 33 ? BATTERY_FLAG_LOW : 0;
  // An hour of a full charge, the rest in proportion.
  impl_->power = {AC_LINE_OFFLINE, flag, percent, 0, DWORD(36 * percent), 3600};
}

void Machine::PowerSourceUnknown() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->power = {AC_LINE_UNKNOWN, BATTERY_FLAG_UNKNOWN, BATTERY_PERCENTAGE_UNKNOWN, 0, BATTERY_LIFE_UNKNOWN,
                  BATTERY_LIFE_UNKNOWN};
}

void Machine::FailPowerStatus(DWORD error) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->powerError = error;
}

BOOL Machine::RestrictDllSearch() {
  // The lab program is a real process: its search is restricted for real.
  return ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE Machine::LoadSystemLibrary(LPCWSTR name) { return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32); }

}  // namespace lab
