#include "MachineImpl.h"

#include <atomic>
#include <memory>

namespace lab {

namespace {
std::atomic<LONG> g_stepsPosted{0}, g_stepsSeen{0};
constexpr UINT WM_LAB_STEP = WM_APP + 0x4C;

LRESULT CALLBACK StepWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_LAB_STEP) {
    g_stepsSeen = LONG(wParam);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}
}  // namespace

void Machine::KeepDialogInStep() {
  WNDCLASSW cls = {};
  cls.lpfnWndProc = StepWindowProc;
  cls.lpszClassName = L"KestrelLabStep";
  RegisterClassW(&cls);
  stepWindow_ = CreateWindowExW(0, cls.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  stepThread_ = GetCurrentThreadId();
}

void Machine::StopKeepingDialogInStep() {
  if (stepWindow_ != nullptr) DestroyWindow(stepWindow_);
  stepWindow_ = nullptr;
  stepThread_ = 0;
}

void Machine::LetDialogCatchUp() {
  HWND window = stepWindow_;
  if (window == nullptr || GetCurrentThreadId() == stepThread_) return;
  DWORD error = GetLastError();
  // Posted messages of one thread are handled in order: once this one is,
  // so is everything posted to the dialog before it.
  LONG step = ++g_stepsPosted;
  if (PostMessageW(window, WM_LAB_STEP, WPARAM(step), 0)) {
    DWORD start = ::GetTickCount();
    while (g_stepsSeen < step && ::GetTickCount() - start < 2000) ::Sleep(1);
  }
  SetLastError(error);
}

void Machine::TellNotices() {
  std::vector<WPARAM> notices;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    notices.swap(impl_->notices);
  }
  DWORD error = GetLastError();
  for (WPARAM event : notices) Impl::Tell(event);
  SetLastError(error);
}

Machine& Machine::Get() {
  static Machine machine;
  return machine;
}

Machine::Machine() : impl_(new Impl) {}

void Machine::Reset() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  FILE* trace = impl_->trace;
  // Allocations the program still holds stay counted: a leak must show.
  std::set<void*> allocations = std::move(impl_->allocations);
  impl_.reset(new Impl);
  impl_->allocations = std::move(allocations);
  impl_->trace = trace;
}

NvmeDrive* Machine::DriveAt(int deviceNumber) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto it = impl_->disks.find(deviceNumber);
  return it == impl_->disks.end() ? nullptr : &it->second->drive();
}

void Machine::PowerCycle() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  for (auto& [n, disk] : impl_->disks) disk->drive().Reset();
  impl_->Pump();
}

void Machine::FailFirmwarePiece(int nth, DWORD error) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->pieceFailAt = nth;
  impl_->pieceFailError = error;
  impl_->pieceCount = 0;
}

void Machine::FailActivation(DWORD error) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->activationFails = true;
  impl_->activationError = error;
}

void Machine::FailIoctl(DWORD code, DWORD error, int times) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->ioctlFaults.push_back({code, error, times});
}

void Machine::AnswerWithNothing(DWORD code, int times) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->ioctlFaults.push_back({code, 0, times});
}

void Machine::FailAllocation(int nth) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->allocFailAt = nth;
  impl_->allocCount = 0;
}

void Machine::FailOpen(const std::wstring& path, DWORD error, int after) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->openFaults[Upper(path)] = {error, after};
}

void Machine::FailDeviceSets(DWORD error, int after) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->setFailError = error;
  impl_->setFailAfter = after;
}

void Machine::SetRealTime(bool on) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->realTime = on;
}

void Machine::SetRealMessageBoxes(bool on) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->realBoxes = on;
}

std::vector<RequestRecord> Machine::Requests() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->records;
}

std::vector<RequestRecord> Machine::RequestsWithCode(DWORD code) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::vector<RequestRecord> out;
  for (const auto& r : impl_->records)
    if (r.code == code) out.push_back(r);
  return out;
}

int Machine::OpenHandleCount() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return int(impl_->handles.size());
}

int Machine::OpenAttempts(const std::wstring& path) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto it = impl_->openAttempts.find(Upper(path));
  return it == impl_->openAttempts.end() ? 0 : it->second;
}

int Machine::OutstandingAllocations() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return int(impl_->allocations.size());
}

int Machine::BadReleases() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->badReleases;
}

std::vector<std::wstring> Machine::DebugLines() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->debugLines;
}

void Machine::ClearRecords() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->records.clear();
  impl_->debugLines.clear();
  impl_->boxes.clear();
}

ULONGLONG Machine::Now() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->clock;
}

void Machine::QueueMessageBoxAnswer(int answer) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->answers.push_back(answer);
}

std::vector<MessageBoxRecord> Machine::MessageBoxes() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->boxes;
}

std::vector<UINT> Machine::ShutdownRequests() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->shutdowns;
}

void Machine::SetTraceFile(const std::wstring& path) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (impl_->trace) fclose(impl_->trace);
  impl_->trace = path.empty() ? nullptr : _wfopen(path.c_str(), L"w");
}

HANDLE Machine::Open(LPCWSTR path, DWORD access, DWORD disposition) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->Pump();
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring key = Upper(path);
  ++impl_->openAttempts[key];
  impl_->modelledMicros += COST_OPEN_US;
  auto fault = impl_->openFaults.find(key);
  if (fault != impl_->openFaults.end()) {
    if (fault->second.second > 0) {
      --fault->second.second;
    } else {
      SetLastError(fault->second.first);
      return INVALID_HANDLE_VALUE;
    }
  }
  auto it = impl_->devices.find(key);
  if (it == impl_->devices.end()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition != OPEN_EXISTING) {  // devices cannot be created or truncated
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return impl_->NewHandle({HandleKind::Device, path, access, it->second, it->second->generation});
}

namespace {
// The request this thread just made, for the hook that runs after it. A
// plain pointer: mingw frees a thread's storage before it runs the
// destructors of its thread_local objects, so one with a destructor frees
// freed memory when a worker thread ends.
thread_local RequestRecord* t_lastRecord = nullptr;
}  // namespace

BOOL Machine::Ioctl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                    LPOVERLAPPED ov) {
  LetDialogCatchUp();
  BOOL result = IoctlLocked(h, code, in, inSize, out, outSize, returned, ov);
  TellNotices();
  std::function<void(const RequestRecord&)> hook;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    hook = impl_->requestHook;
  }
  // The request's own error survives the hook, and the first touch of a
  // thread's thread_local storage, which resets it.
  DWORD error = GetLastError();
  std::unique_ptr<RequestRecord> last(t_lastRecord);
  t_lastRecord = nullptr;
  if (hook && last) hook(*last);
  SetLastError(error);
  // Between the steps of a bridge command another thread gets its chance, as
  // on a real machine, so commands that are not kept whole do interleave; a
  // firmware piece takes a moment to travel, as it does on a real bus.
  if (code == ioctl::SCSI_PASS_THROUGH_DIRECT || code == ioctl::STORAGE_FIRMWARE_DOWNLOAD ||
      code == ioctl::SCSI_MINIPORT) {
    LARGE_INTEGER before, after, frequency;
    QueryPerformanceCounter(&before);
    ::Sleep(code == ioctl::SCSI_PASS_THROUGH_DIRECT ? 1 : 2);
    QueryPerformanceCounter(&after);
    QueryPerformanceFrequency(&frequency);
    {
      std::lock_guard<std::recursive_mutex> lock(mu_);
      impl_->pausedMicros += uint64_t((after.QuadPart - before.QuadPart) * 1000000 / frequency.QuadPart);
    }
    SetLastError(error);
  }
  return result;
}

BOOL Machine::IoctlLocked(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                          LPDWORD returned, LPOVERLAPPED ov) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->Pump();
  auto it = impl_->handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == impl_->handles.end() || it->second.kind != HandleKind::Device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const HandleEntry entry = it->second;
  const bool bridgeStep =
      code == ioctl::SCSI_PASS_THROUGH_DIRECT && dynamic_cast<UsbBridgeDisk*>(entry.device.get()) != nullptr;
  impl_->modelledMicros += bridgeStep ? COST_BRIDGE_STEP_US : COST_REQUEST_US;
  RequestRecord record;
  record.path = entry.path;
  record.code = code;
  record.outputSize = outSize;
  if (in && inSize) record.input.assign(static_cast<uint8_t*>(in), static_cast<uint8_t*>(in) + inSize);

  auto finish = [&](const IoResult& r) {
    record.ok = r.ok;
    record.error = r.ok ? 0 : r.error;
    impl_->Trace(record);
    impl_->records.push_back(record);
    if (impl_->requestHook) {
      delete t_lastRecord;
      t_lastRecord = new RequestRecord(record);
    }
    SetLastError(record.error);
    return r.ok ? TRUE : FALSE;
  };

  if (ov != nullptr || returned == nullptr) return finish(IoResult::Fail(ERROR_INVALID_PARAMETER));
  *returned = 0;
  if ((in == nullptr && inSize) || (out == nullptr && outSize)) return finish(IoResult::Fail(ERROR_NOACCESS));
  // The access bits of the control code against the handle's rights.
  DWORD required = (code >> 14) & 3;
  if (((required & 1) && !Readable(entry.access)) || ((required & 2) && !Writable(entry.access)))
    return finish(IoResult::Fail(ERROR_ACCESS_DENIED));
  // A device that left the bus answers nothing on the handles it had.
  if (!entry.device->attached || entry.device->generation != entry.generation)
    return finish(IoResult::Fail(ERROR_DEVICE_NOT_CONNECTED));
  DWORD error = 0;
  if (impl_->TakeFault(code, static_cast<const uint8_t*>(in), in ? inSize : 0, &error))
    return finish(error != 0 ? IoResult::Fail(error) : IoResult::Done(0));

  // A buffered request: the driver sees one system buffer holding the input,
  // large enough for the output; only what it returns is copied back.
  Bytes system(inSize > outSize ? inSize : outSize, 0);
  if (inSize) memcpy(system.data(), in, inSize);
  IoResult r = entry.device->Ioctl(code, system.data(), inSize, outSize);
  if (r.ok) {
    DWORD n = r.returned < outSize ? r.returned : outSize;
    if (n) memcpy(out, system.data(), n);
    *returned = n;
    record.output.assign(system.begin(), system.begin() + n);
  }
  return finish(r);
}

BOOL Machine::Close(HANDLE h) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto it = impl_->handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == impl_->handles.end() || it->second.kind == HandleKind::DeviceSet) {
    ++impl_->badReleases;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  impl_->handles.erase(it);
  return TRUE;
}

LPVOID Machine::Alloc(SIZE_T size, DWORD type, DWORD protect) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (impl_->allocFailAt && ++impl_->allocCount == impl_->allocFailAt) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  LPVOID p = ::VirtualAlloc(nullptr, size, type, protect);
  if (p) impl_->allocations.insert(p);
  return p;
}

BOOL Machine::Free(LPVOID p, SIZE_T size, DWORD type) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto it = impl_->allocations.find(p);
  if (it == impl_->allocations.end() || type != MEM_RELEASE || size != 0) {
    ++impl_->badReleases;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  impl_->allocations.erase(it);
  return ::VirtualFree(p, 0, MEM_RELEASE);
}

void Machine::Sleep(DWORD ms) {
  LetDialogCatchUp();
  bool real;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    impl_->clock += ms;
    impl_->Pump();
    real = impl_->realTime;
  }
  TellNotices();
  // A pause lets other threads run, as a real one would: the dialog handles
  // what the worker posted before the worker goes on.
  ::Sleep(real ? ms : (ms >= 100 ? 20 : 0));
}

void Machine::WhileMessageBoxOpen(std::function<void(const MessageBoxRecord&)> action) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->boxHook = std::move(action);
}

int Machine::MessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  bool real;
  MessageBoxRecord box{text ? text : L"", caption ? caption : L"", type};
  std::function<void(const MessageBoxRecord&)> hook;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    impl_->boxes.push_back(box);
    real = impl_->realBoxes;
    hook = impl_->boxHook;
  }
  if (hook) hook(box);
  if (real) return ::MessageBoxW(owner, text, caption, type);
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (!impl_->answers.empty()) {
    int answer = impl_->answers.front();
    impl_->answers.pop_front();
    return answer;
  }
  switch (type & MB_TYPEMASK) {
    case MB_YESNO:
    case MB_YESNOCANCEL:
      return IDYES;
    default:
      return IDOK;
  }
}

void Machine::DebugString(LPCWSTR text) {
  std::function<void(const std::wstring&)> hook;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    impl_->debugLines.emplace_back(text ? text : L"");
    hook = impl_->debugHook;
  }
  if (hook) hook(text ? text : L"");
}

uint64_t Machine::PausedMicros() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->pausedMicros;
}

void Machine::AfterRequest(std::function<void(const RequestRecord&)> action) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->requestHook = std::move(action);
}

void Machine::WhileDebugLine(std::function<void(const std::wstring&)> action) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->debugHook = std::move(action);
}

}  // namespace lab
