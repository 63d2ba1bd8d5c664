// The virtual machine room: the other implementation of the platform seam.
// Tests and the lab programs build a machine of virtual drives here, inject
// faults, and read back every request the program made.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <devpropdef.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "NvmeDrive.h"
#include "Wire.h"

namespace lab {

class Device;
class DeviceTree;
class DiskDevice;
class UsbBridgeDisk;
struct UsbDiskSpec;
struct DevNode;

// One DeviceIoControl as the lab received it.
struct RequestRecord {
  std::wstring path;   // the device the handle was opened on
  DWORD code = 0;
  Bytes input;         // the input buffer as sent
  DWORD outputSize = 0;
  Bytes output;        // what was returned to the caller
  bool ok = false;
  DWORD error = 0;     // the error code on failure
};

struct MessageBoxRecord {
  std::wstring text;
  std::wstring caption;
  UINT type;
};

// Where a native NVMe disk sits: its PhysicalDrive number and SCSI address,
// and its controller's place on PCIe and its link.
struct NativeDiskSpec {
  int deviceNumber = 0;
  int scsiPort = 1;
  int pathId = 0;
  int bus = -1;        // the controller's bus; -1: 2 + deviceNumber
  int bridgeBus = 0;   // the bus of the PCIe port above it
  DWORD linkSpeed = 3, linkWidth = 4, maxLinkSpeed = 3, maxLinkWidth = 4;
  // What the system's NVMe driver reports in its firmware information, and
  // holds every download piece to.
  DWORD payloadAlignment = 4096, payloadMaxSize = 128 * 1024;
};

// An NVMe drive behind an Intel RST adapter: its disk and the adapter's port.
struct RstDiskSpec {
  int deviceNumber = 0;
  int scsiPort = 0;
  int pathId = 0;
  // The adapter, taken from its first disk: its bus, the bus above it, its driver.
  int bus = 5;
  int bridgeBus = 0;
  std::wstring service = L"iaStorAC";
  // Its miniport completes a pass-through the drive refused with ReturnCode
  // 0: the refusal is in the completion entry alone.
  bool refusalInCompletionOnly = false;
};

class Machine {
 public:
  static Machine& Get();

  // Back to an empty machine: no devices, no faults, no records, clock at start.
  void Reset();

  // Devices.
  NvmeDrive& AddNativeDrive(const NativeDiskSpec& where, const DriveSpec& spec = DriveSpec());
  // Drives behind one RST adapter share its port device "\\.\ScsiN:".
  NvmeDrive& AddRstDrive(const RstDiskSpec& where, const DriveSpec& spec = DriveSpec());
  // A drive in a USB enclosure; a power cycle through its bridge takes it off
  // the bus and brings it back later under another PhysicalDrive number.
  UsbBridgeDisk& AddUsbDrive(const UsbDiskSpec& where, const DriveSpec& spec = DriveSpec());
  NvmeDrive* DriveAt(int deviceNumber);
  // Hot-plug by hand: the disk leaves the bus, or comes back under its number.
  bool Unplug(int deviceNumber);
  bool PlugBack(int deviceNumber);
  struct DiskInfo {
    int deviceNumber;
    std::string model;
    bool present;
  };
  std::vector<DiskInfo> Disks() const;
  // A volume "\\.\C:" lying on the disk with that number.
  void AddVolume(wchar_t letter, int deviceNumber);
  // The device tree, for scenarios that need an odd node.
  DeviceTree& Tree();
  DiskDevice* DiskAt(int deviceNumber);
  int OpenDeviceSetCount() const;
  int TreeCallCount() const;  // setup and configuration-manager calls so far
  // Devices that are no part of any drive, as a real PC has by the hundred.
  void AddOtherDevices(int count);
  int NodeCount() const;  // device nodes in the tree, the root included
  // What the calls so far would have taken on a real PC, in microseconds:
  // each set built, tree call, open, device request and bridge step is
  // charged its cost. The virtual clock is not moved by it.
  uint64_t ModelledMicros() const;
  uint64_t ModelledTreeMicros() const;  // the part spent on the device tree
  // Real time spent in the pauses the lab makes after bridge steps, RST
  // requests and firmware pieces, so that other threads get their turn.
  uint64_t PausedMicros() const;
  int DeviceSetRequests() const;  // SetupDiGetClassDevsW calls so far, failed ones included
  // A SATA disk: a disk no NVMe transport serves.
  DiskDevice& AddSataDisk(int deviceNumber);
  // Resets every drive's controller, as a restart of the machine would.
  void PowerCycle();

  // Faults. Counts start at 1 and cover every drive of the machine.
  void FailFirmwarePiece(int nth, DWORD error = ERROR_IO_DEVICE);
  void FailActivation(DWORD error = ERROR_IO_DEVICE);
  void FailIoctl(DWORD code, DWORD error, int times = -1);  // -1: always
  // The request completes with success and hands back no byte; its device
  // never sees it, as with a driver that does not know the request.
  void AnswerWithNothing(DWORD code, int times = -1);
  void FailAllocation(int nth);
  // Fails the opens of path after the first `after` succeeded.
  void FailOpen(const std::wstring& path, DWORD error, int after = 0);
  // SetupDiGetClassDevsW answers INVALID_HANDLE_VALUE with error once
  // `after` more sets were opened; error 0 lifts the fault.
  void FailDeviceSets(DWORD error, int after = 0);

  // Observations.
  std::vector<RequestRecord> Requests() const;
  std::vector<RequestRecord> RequestsWithCode(DWORD code) const;
  int OpenHandleCount() const;
  int OpenAttempts(const std::wstring& path) const;  // CreateFileW calls on a device path
  int OutstandingAllocations() const;
  int BadReleases() const;  // closes or frees of things the lab never gave out
  std::vector<std::wstring> DebugLines() const;
  // Runs for each debug line as it is written: what another process may do
  // at that moment of the program's work.
  void WhileDebugLine(std::function<void(const std::wstring&)> action);
  // Runs after each device request, outside the machine's lock: a disk that
  // comes or goes between two requests of the program.
  void AfterRequest(std::function<void(const RequestRecord&)> action);
  // Reads a drive's records between requests: the program may have two
  // threads asking at once (a run and a rescan), and the hook runs unlocked.
  template <class F>
  auto Inspect(F&& read) const {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return read();
  }
  void ClearRecords();

  // The virtual clock: Sleep advances it. GetTickCount64 reads the time
  // since the machine last started; the wall clock runs on from a fixed day.
  ULONGLONG Now() const;
  ULONGLONG Uptime() const;
  void WallTime(FILETIME* time) const;
  // A restart of the machine: a minute passes, every drive's controller is
  // reset as a restart resets it (an image that needs an NVM subsystem reset
  // waits for a full power-off), and the machine starts again. Devices and
  // the registry stay.
  void Restart();
  // The machine as it is kept across program runs: the clock, the registry
  // and each present drive's firmware state, by serial number (a USB drive
  // changes its disk number). Load applies a file written for the same
  // scenario, whole or not at all; false with why.
  bool SaveState(const std::wstring& file, std::string* error) const;
  bool LoadState(const std::wstring& file, std::string* error);

  // The registry, the lab's own: keys under HKEY_LOCAL_MACHINE, kept across
  // a restart, emptied by Reset.
  struct RegistryValue {
    DWORD type;
    Bytes data;
  };
  // The values of a key (path below HKEY_LOCAL_MACHINE, any case); false when
  // there is no such key.
  bool RegistryKeyValues(const std::wstring& path, std::map<std::wstring, RegistryValue>* values) const;
  void RegistryPut(const std::wstring& path, const std::wstring& name, DWORD type, const Bytes& data);
  int OpenRegistryKeyCount() const;

  // Sleeps last their full time when on (demos, benchmarks); off, they cost a
  // few real milliseconds, enough for the dialog to keep up with the worker.
  void SetRealTime(bool on);
  // Message boxes: answers are taken in order, then the default button; or,
  // when real, Windows shows them and someone must click.
  void SetRealMessageBoxes(bool on);
  // Makes a window on the calling (dialog) thread through which the lab,
  // before it serves another thread, waits until the dialog has handled what
  // was posted to it: as on a real machine, where a device request takes long
  // enough for the dialog to keep up. Tests that read the bar use it.
  void KeepDialogInStep();
  void StopKeepingDialogInStep();
  void QueueMessageBoxAnswer(int answer);
  // Runs while a message box is open, before it is answered: what a person
  // may do meanwhile (unplug a drive, swap one in).
  void WhileMessageBoxOpen(std::function<void(const MessageBoxRecord&)> action);
  std::vector<MessageBoxRecord> MessageBoxes() const;

  // The flags of every ExitWindowsEx call it accepted; a refused one is no request.
  std::vector<UINT> ShutdownRequests() const;
  // The process token no longer holds the privilege, as when a policy denies
  // it to the user.
  void WithholdPrivilege(const wchar_t* name);

  // Shutdown, sleep and the power source, as the program asked for them.
  struct ExecutionStateCall {
    DWORD thread;
    EXECUTION_STATE flags;
  };
  std::vector<ExecutionStateCall> ExecutionStateCalls() const;
  // As Windows: a continuous request holds while its thread lives and has
  // not replaced it.
  bool SystemKeptAwake() const;
  // The reason held for a window that still exists; empty when none.
  std::wstring ShutdownBlockReason(HWND hwnd) const;
  // The power source GetSystemPowerStatus reports: mains (no battery, the
  // default), battery at a level, or a status the system cannot tell.
  void RunOnMains(BYTE batteryPercent = BATTERY_PERCENTAGE_UNKNOWN);  // the percent of a laptop's battery
  void RunOnBattery(BYTE percent);
  void PowerSourceUnknown();
  // GetSystemPowerStatus fails with error; 0 lifts the fault.
  void FailPowerStatus(DWORD error);

  // Writes every request and its bytes to a file (empty path: off).
  void SetTraceFile(const std::wstring& path);

  // The seam's entry points.
  HANDLE Open(LPCWSTR path, DWORD access, DWORD disposition);
  BOOL Ioctl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
             LPOVERLAPPED ov);
  BOOL Close(HANDLE h);
  BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
  BOOL LookupPrivilege(LPCWSTR system, LPCWSTR name, PLUID luid);
  BOOL AdjustPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD length,
                        PTOKEN_PRIVILEGES previous, PDWORD returned);
  BOOL Shutdown(UINT flags, DWORD reason);
  BOOL BlockShutdown(HWND hwnd, LPCWSTR reason);
  BOOL UnblockShutdown(HWND hwnd);
  EXECUTION_STATE SetExecutionState(EXECUTION_STATE flags);
  BOOL PowerStatus(LPSYSTEM_POWER_STATUS status);
  // DLLs come from the system folder as on Windows: the lab cannot stand in
  // for the common controls or CNG.
  LSTATUS RegistryCreate(HKEY root, LPCWSTR subKey, LPSECURITY_ATTRIBUTES sa, PHKEY result, LPDWORD disposition);
  LSTATUS RegistryOpen(HKEY root, LPCWSTR subKey, PHKEY result);
  LSTATUS RegistrySet(HKEY key, LPCWSTR name, DWORD type, const BYTE* data, DWORD size);
  LSTATUS RegistryQuery(HKEY key, LPCWSTR name, LPDWORD type, LPBYTE data, LPDWORD size);
  LSTATUS RegistryDelete(HKEY root, LPCWSTR subKey);
  LSTATUS RegistryClose(HKEY key);
  BOOL RestrictDllSearch();
  HMODULE LoadSystemLibrary(LPCWSTR name);
  HDEVINFO GetClassDevs(const GUID* cls, DWORD flags);
  BOOL EnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
  BOOL EnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* cls, DWORD index,
                            PSP_DEVICE_INTERFACE_DATA data);
  BOOL GetInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA iface, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                          DWORD size, PDWORD required, PSP_DEVINFO_DATA data);
  BOOL GetRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer,
                           DWORD size, PDWORD required);
  BOOL GetDeviceProperty(HDEVINFO set, PSP_DEVINFO_DATA data, const DEVPROPKEY* key, DEVPROPTYPE* type,
                         PBYTE buffer, DWORD size, PDWORD required, DWORD flags);
  BOOL GetInstanceId(HDEVINFO set, PSP_DEVINFO_DATA data, PWSTR id, DWORD size, PDWORD required);
  BOOL DestroyDeviceSet(HDEVINFO set);
  CONFIGRET GetParent(PDEVINST parent, DEVINST node, ULONG flags);
  CONFIGRET GetDeviceId(DEVINST node, PWSTR buffer, ULONG length, ULONG flags);
  LPVOID Alloc(SIZE_T size, DWORD type, DWORD protect);
  BOOL Free(LPVOID p, SIZE_T size, DWORD type);
  void Sleep(DWORD ms);
  int MessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
  void DebugString(LPCWSTR text);

 private:
  Machine();
  // Tells the windows about devices that came or went, outside the lock.
  void TellNotices();
  // Waits until the dialog thread has handled what was posted before now.
  void LetDialogCatchUp();
  HWND stepWindow_ = nullptr;
  DWORD stepThread_ = 0;
  void AttachDisk(const std::shared_ptr<DiskDevice>& disk, DevNode& node);
  BOOL IoctlLocked(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                   LPOVERLAPPED ov);
  struct Impl;
  mutable std::recursive_mutex mu_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace lab
