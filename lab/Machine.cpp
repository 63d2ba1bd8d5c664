#include <cstring>
#include <cwctype>
#include <cstdio>
#include <deque>
#include <map>
#include <set>

#include "Devices.h"
#include "Lab.h"
#include "UsbBridge.h"

namespace lab {

namespace {

constexpr uintptr_t HANDLE_BASE = 0x4B530000;  // far from anything Windows hands out
constexpr ULONGLONG CLOCK_START = 1000000;     // the machine has been up a while

enum class HandleKind { Device, Token, DeviceSet };

struct HandleEntry {
  HandleKind kind;
  std::wstring path;
  DWORD access;
  std::shared_ptr<Device> device;
  int generation = 0;  // the device's generation when the handle was opened
};

// A disk that comes back onto the bus at a virtual time.
struct Arrival {
  ULONGLONG at;
  std::shared_ptr<DiskDevice> disk;
  int deviceNumber;
};

enum class FirmwareStep { None, Piece, Activation };

// Which requests carry a firmware piece or an activation, on every transport,
// so that faults can be planned by step rather than by control code.
FirmwareStep ClassifyFirmware(DWORD code, const uint8_t* in, DWORD inSize) {
  if (code == ioctl::STORAGE_FIRMWARE_DOWNLOAD) return FirmwareStep::Piece;
  if (code == ioctl::STORAGE_FIRMWARE_ACTIVATE) return FirmwareStep::Activation;
  if (code == ioctl::SCSI_MINIPORT && inSize >= 0x2C && memcmp(in + 4, "IntelFw ", 8) == 0) {
    uint32_t function = Rd32(in, 0x28);
    if (function == 2) return FirmwareStep::Piece;
    if (function == 3) return FirmwareStep::Activation;
  }
  return FirmwareStep::None;
}

struct IoctlFault {
  DWORD code;
  DWORD error;
  int times;  // -1: always
};

std::wstring Upper(std::wstring s) {
  for (auto& c : s) c = wchar_t(std::towupper(c));
  return s;
}

std::wstring NativePath(int n) { return L"\\\\.\\PHYSICALDRIVE" + std::to_wstring(n); }

bool Readable(DWORD access) {
  return access & (GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED | FILE_READ_DATA);
}
bool Writable(DWORD access) {
  return access & (GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED | FILE_WRITE_DATA);
}

std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s.push_back(c < 0x80 ? char(c) : '?');
  return s;
}

}  // namespace

struct Machine::Impl {
  std::map<std::wstring, std::shared_ptr<Device>> devices;
  std::map<int, std::shared_ptr<DiskDevice>> disks;  // by PhysicalDrive number
  std::map<int, std::shared_ptr<RstPort>> rstPorts;   // by SCSI port number
  std::vector<Arrival> arrivals;
  std::map<uintptr_t, HandleEntry> handles;
  uintptr_t nextHandle = HANDLE_BASE;
  std::set<void*> allocations;
  int badReleases = 0;

  int pieceFailAt = 0;
  DWORD pieceFailError = 0;
  int pieceCount = 0;
  bool activationFails = false;
  DWORD activationError = 0;
  std::vector<IoctlFault> ioctlFaults;
  int allocFailAt = 0;
  int allocCount = 0;
  std::map<std::wstring, DWORD> openFaults;

  std::vector<RequestRecord> records;
  std::vector<std::wstring> debugLines;
  ULONGLONG clock = CLOCK_START;
  std::deque<int> answers;
  std::vector<MessageBoxRecord> boxes;
  std::vector<UINT> shutdowns;
  FILE* trace = nullptr;

  // Takes a disk off the bus; its number is free until it returns.
  void Detach(DiskDevice& disk) {
    disk.attached = false;
    ++disk.generation;
    devices.erase(NativePath(disk.deviceNumber()));
    disks.erase(disk.deviceNumber());
  }

  int NextFreeNumber(int after) const {
    int n = after + 1;
    for (const auto& [number, disk] : disks)
      if (number >= n) n = number + 1;
    for (const auto& a : arrivals)
      if (a.deviceNumber >= n) n = a.deviceNumber + 1;
    return n;
  }

  // Brings back every disk whose time has come.
  void Pump() {
    for (size_t i = 0; i < arrivals.size();) {
      if (arrivals[i].at > clock) {
        ++i;
        continue;
      }
      Arrival a = arrivals[i];
      arrivals.erase(arrivals.begin() + long(i));
      a.disk->Renumber(a.deviceNumber);
      a.disk->attached = true;
      devices[NativePath(a.deviceNumber)] = a.disk;
      disks[a.deviceNumber] = a.disk;
    }
  }

  HANDLE NewHandle(HandleEntry entry) {
    nextHandle += 4;
    handles[nextHandle] = std::move(entry);
    return reinterpret_cast<HANDLE>(nextHandle);
  }

  // A fault planned for this request, if any.
  bool TakeFault(DWORD code, const uint8_t* in, DWORD inSize, DWORD* error) {
    FirmwareStep step = ClassifyFirmware(code, in, inSize);
    if (step == FirmwareStep::Piece && ++pieceCount == pieceFailAt) {
      *error = pieceFailError;
      return true;
    }
    if (step == FirmwareStep::Activation && activationFails) {
      *error = activationError;
      return true;
    }
    for (auto& f : ioctlFaults) {
      if (f.code == code && f.times != 0) {
        if (f.times > 0) --f.times;
        *error = f.error;
        return true;
      }
    }
    return false;
  }

  void Trace(const RequestRecord& r) {
    if (!trace) return;
    fprintf(trace, "%s ioctl 0x%08lX in %zu out %lu -> %s (error %lu)\n", Narrow(r.path).c_str(),
            static_cast<unsigned long>(r.code), r.input.size(), static_cast<unsigned long>(r.outputSize),
            r.ok ? "ok" : "failed", static_cast<unsigned long>(r.error));
    fprintf(trace, "%s\n", HexDump(r.input.data(), r.input.size(), 512).c_str());
    if (!r.output.empty()) fprintf(trace, "reply:\n%s\n", HexDump(r.output.data(), r.output.size(), 512).c_str());
    fflush(trace);
  }
};

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

NvmeDrive& Machine::AddNativeDrive(const NativeDiskSpec& where, const DriveSpec& spec) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto disk = std::make_shared<NativeNvmeDisk>(where.deviceNumber, where.scsiPort, where.pathId,
                                               std::make_shared<NvmeDrive>(spec));
  impl_->devices[NativePath(where.deviceNumber)] = disk;
  impl_->disks[where.deviceNumber] = disk;
  return disk->drive();
}

NvmeDrive& Machine::AddRstDrive(const RstDiskSpec& where, const DriveSpec& spec) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto& port = impl_->rstPorts[where.scsiPort];
  if (!port) {
    port = std::make_shared<RstPort>();
    impl_->devices[L"\\\\.\\SCSI" + std::to_wstring(where.scsiPort) + L":"] = port;
  }
  auto drive = std::make_shared<NvmeDrive>(spec);
  port->Attach(where.pathId, drive);
  auto disk = std::make_shared<DiskDevice>(where.deviceNumber, where.scsiPort, where.pathId, BusType::Raid, drive);
  impl_->devices[NativePath(where.deviceNumber)] = disk;
  impl_->disks[where.deviceNumber] = disk;
  return disk->drive();
}

UsbBridgeDisk& Machine::AddUsbDrive(const UsbDiskSpec& where, const DriveSpec& spec) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto disk = std::make_shared<UsbBridgeDisk>(where, std::make_shared<NvmeDrive>(spec));
  Impl* impl = impl_.get();
  disk->onPowerCycle = [impl](UsbBridgeDisk& bridge) {
    // The enclosure drops off the bus, the drive resets (running a pending
    // image, or refusing it), and the disk returns under a new number.
    std::shared_ptr<DiskDevice> self = impl->disks.at(bridge.deviceNumber());
    int old = bridge.deviceNumber();
    impl->Detach(bridge);
    bridge.drive().Reset();
    int number = bridge.spec().reappearNumber >= 0 ? bridge.spec().reappearNumber : impl->NextFreeNumber(old);
    impl->arrivals.push_back({impl->clock + bridge.spec().reappearMs, self, number});
  };
  impl_->devices[NativePath(where.deviceNumber)] = disk;
  impl_->disks[where.deviceNumber] = disk;
  return *disk;
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

void Machine::FailAllocation(int nth) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->allocFailAt = nth;
  impl_->allocCount = 0;
}

void Machine::FailOpen(const std::wstring& path, DWORD error) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->openFaults[Upper(path)] = error;
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
  auto fault = impl_->openFaults.find(key);
  if (fault != impl_->openFaults.end()) {
    SetLastError(fault->second);
    return INVALID_HANDLE_VALUE;
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

BOOL Machine::Ioctl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                    LPOVERLAPPED ov) {
  BOOL result = IoctlLocked(h, code, in, inSize, out, outSize, returned, ov);
  // Between the steps of a bridge command another thread gets its chance, as
  // on a real machine, so commands that are not kept whole do interleave.
  if (code == ioctl::SCSI_PASS_THROUGH_DIRECT) {
    DWORD error = GetLastError();
    ::Sleep(0);
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
    return finish(IoResult::Fail(error));

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

HANDLE Machine::OpenToken() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->NewHandle({HandleKind::Token, L"token", 0, nullptr});
}

HANDLE Machine::OpenDeviceSet() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->NewHandle({HandleKind::DeviceSet, L"device set", 0, nullptr});
}

bool Machine::IsDeviceSet(HANDLE h) const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto it = impl_->handles.find(reinterpret_cast<uintptr_t>(h));
  return it != impl_->handles.end() && it->second.kind == HandleKind::DeviceSet;
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
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    impl_->clock += ms;
    impl_->Pump();
  }
  ::Sleep(0);  // still let other threads run
}

int Machine::MessageBox(LPCWSTR text, LPCWSTR caption, UINT type) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->boxes.push_back({text ? text : L"", caption ? caption : L"", type});
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
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->debugLines.emplace_back(text ? text : L"");
}

void Machine::RecordShutdown(UINT flags) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->shutdowns.push_back(flags);
}

}  // namespace lab
