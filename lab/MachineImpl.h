// The machine room's inside, shared by the files that implement Machine.
#pragma once

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <deque>
#include <functional>
#include <map>
#include <set>

#include "DeviceTree.h"
#include "Devices.h"
#include "Lab.h"
#include "UsbBridge.h"

#include <dbt.h>

namespace lab {

namespace detail {

inline constexpr uintptr_t HANDLE_BASE = 0x4B530000;  // far from anything Windows hands out
inline constexpr ULONGLONG CLOCK_START = 1000000;     // the machine has been up a while
inline constexpr uintptr_t REGISTRY_HANDLE_BASE = 0x4B540000;  // registry keys the lab hands out

enum class HandleKind { Device, Token, DeviceSet };

// What a call costs on a real PC, for the modelled time. A set of all
// devices is built by walking the whole tree, a few milliseconds on a PC of
// 150 nodes; an interface set reads only its class's entries. A request
// travels the storage stack and, for NVMe, runs an admin command. A bridge
// step is one USB round trip of command, data and status: a single 4 KiB
// read through a USB 3 NVMe enclosure takes about 0.1 to 0.3 ms.
inline constexpr uint64_t COST_ALL_DEVICES_PER_NODE_US = 30;
inline constexpr uint64_t COST_CLASS_SET_US = 300;
inline constexpr uint64_t COST_CLASS_SET_PER_MEMBER_US = 20;
inline constexpr uint64_t COST_TREE_CALL_US = 5;
inline constexpr uint64_t COST_OPEN_US = 50;
inline constexpr uint64_t COST_REQUEST_US = 100;
inline constexpr uint64_t COST_BRIDGE_STEP_US = 300;

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
inline FirmwareStep ClassifyFirmware(DWORD code, const uint8_t* in, DWORD inSize) {
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
  DWORD error;  // 0: success with nothing handed back
  int times;    // -1: always
};

inline std::wstring Upper(std::wstring s) {
  for (auto& c : s) c = wchar_t(std::towupper(c));
  return s;
}

inline std::wstring NativePath(int n) { return L"\\\\.\\PHYSICALDRIVE" + std::to_wstring(n); }

inline bool Readable(DWORD access) {
  return access & (GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED | FILE_READ_DATA);
}
inline bool Writable(DWORD access) {
  return access & (GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED | FILE_WRITE_DATA);
}

inline std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s.push_back(c < 0x80 ? char(c) : '?');
  return s;
}

// The process token of an elevated administrator: privilege LUID -> attributes.
std::map<DWORD, DWORD> AdministratorPrivileges();

}  // namespace detail

using namespace detail;

// A device information set: its elements and, for an interface set, the
// interfaces it carries (of its class, or of every class).
struct DeviceSet {
  std::vector<DEVINST> nodes;
  bool interfaces = false;
  bool allInterfaceClasses = false;
  GUID interfaceClass = {};
};

struct Machine::Impl {
  std::map<std::wstring, std::shared_ptr<Device>> devices;  // by upper-case path
  DeviceTree tree;
  std::map<uintptr_t, DeviceSet> sets;
  std::map<int, DEVINST> hostControllers;     // by position, from 1
  std::map<std::wstring, DEVINST> usbHubs;     // by "controller/port/port..."
  std::map<int, DEVINST> raidAdapters;         // by SCSI port
  unsigned serial = 0x3F1A;                    // keeps instance ids unique
  int treeCalls = 0;
  uint64_t modelledMicros = 0;  // what the calls so far would have cost
  uint64_t modelledTreeMicros = 0;  // the part of it spent on the device tree
  uint64_t pausedMicros = 0;        // real time spent in the pauses between requests
  unsigned others = 0;          // devices that are no part of any drive
  std::map<int, std::shared_ptr<DiskDevice>> disks;  // by PhysicalDrive number
  std::map<int, std::shared_ptr<RstPort>> rstPorts;   // by SCSI port number
  std::vector<Arrival> arrivals;
  std::map<int, std::shared_ptr<DiskDevice>> unplugged;  // by the number they left under
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
  std::map<std::wstring, std::pair<DWORD, int>> openFaults;  // error, opens still let through
  DWORD setFailError = 0;
  int setFailAfter = 0;
  int setRequests = 0;
  bool realTime = false;
  bool realBoxes = false;

  std::vector<RequestRecord> records;
  std::map<std::wstring, int> openAttempts;
  std::vector<std::wstring> debugLines;
  ULONGLONG clock = CLOCK_START;
  ULONGLONG bootAt = 0;  // the clock's reading when the machine last started
  std::map<std::wstring, std::map<std::wstring, Machine::RegistryValue>> registry;  // by upper-case path
  std::map<uintptr_t, std::wstring> registryHandles;
  uintptr_t nextRegistryHandle = REGISTRY_HANDLE_BASE;
  std::deque<int> answers;
  std::vector<MessageBoxRecord> boxes;
  std::function<void(const MessageBoxRecord&)> boxHook;
  std::function<void(const std::wstring&)> debugHook;
  std::function<void(const RequestRecord&)> requestHook;
  std::vector<UINT> shutdowns;
  std::map<DWORD, DWORD> privileges = AdministratorPrivileges();
  std::map<HWND, std::wstring> blockReasons;
  std::vector<ExecutionStateCall> executionCalls;
  std::map<DWORD, EXECUTION_STATE> threadStates;  // the continuous request of each thread
  SYSTEM_POWER_STATUS power = {AC_LINE_ONLINE, BATTERY_FLAG_NO_BATTERY, BATTERY_PERCENTAGE_UNKNOWN, 0,
                               BATTERY_LIFE_UNKNOWN, BATTERY_LIFE_UNKNOWN};
  DWORD powerError = 0;
  FILE* trace = nullptr;

  // One setup or configuration-manager call other than building a set.
  void TreeCall() {
    ++treeCalls;
    ChargeTree(COST_TREE_CALL_US);
  }
  void ChargeTree(uint64_t micros) {
    modelledMicros += micros;
    modelledTreeMicros += micros;
  }

  // Takes a disk off the bus; its number is free until it returns. Its node
  // keeps its place in the tree.
  void Detach(DiskDevice& disk) {
    disk.attached = false;
    ++disk.generation;
    devices.erase(NativePath(disk.deviceNumber()));
    disks.erase(disk.deviceNumber());
    if (DevNode* node = tree.Find(disk.node)) {
      node->present = false;
      devices.erase(Upper(node->interfacePath));
    }
    Broadcast(DBT_DEVICEREMOVECOMPLETE);
  }

  void Attach(const std::shared_ptr<DiskDevice>& disk, int deviceNumber) {
    disk->Renumber(deviceNumber);
    disk->attached = true;
    devices[NativePath(deviceNumber)] = disk;
    disks[deviceNumber] = disk;
    if (DevNode* node = tree.Find(disk->node)) {
      node->present = true;
      devices[Upper(node->interfacePath)] = disk;
    }
    Broadcast(DBT_DEVICEARRIVAL);
  }

  // Device notices waiting to be told once the machine's lock is released.
  std::vector<WPARAM> notices;
  void Broadcast(WPARAM event) { notices.push_back(event); }

  // As Windows tells every top-level window of the process: synchronously,
  // since these notices carry a pointer and cannot be posted.
  static void Tell(WPARAM event) {
    static DEV_BROADCAST_HDR header = {sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_DEVICEINTERFACE, 0};
    std::vector<HWND> windows;
    EnumWindows(
        [](HWND hwnd, LPARAM list) -> BOOL {
          DWORD pid = 0;
          GetWindowThreadProcessId(hwnd, &pid);
          if (pid == GetCurrentProcessId()) reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    for (HWND hwnd : windows)
      SendMessageTimeoutW(hwnd, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&header), SMTO_ABORTIFHUNG, 2000,
                          nullptr);
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
      Attach(a.disk, a.deviceNumber);
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

}  // namespace lab
