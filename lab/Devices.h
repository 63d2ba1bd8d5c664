// Devices of the emulated storage stack. Each decodes the request buffers of
// the control codes it serves, byte by byte at the documented offsets, and
// fails malformed requests as the Windows driver would: an error code and no
// data.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>

#include <map>
#include <memory>
#include <string>

#include "NvmeDrive.h"

namespace lab {

// Control codes and constants, written out from the Windows documentation.
namespace ioctl {
constexpr DWORD STORAGE_QUERY_PROPERTY = 0x002D1400;
constexpr DWORD STORAGE_GET_DEVICE_NUMBER = 0x002D1080;
constexpr DWORD STORAGE_PROTOCOL_COMMAND = 0x002DD3C0;
constexpr DWORD STORAGE_FIRMWARE_GET_INFO = 0x002D1C00;
constexpr DWORD STORAGE_FIRMWARE_DOWNLOAD = 0x002DDC04;
constexpr DWORD STORAGE_FIRMWARE_ACTIVATE = 0x002DDC08;
constexpr DWORD SCSI_GET_ADDRESS = 0x00041018;
constexpr DWORD SCSI_PASS_THROUGH_DIRECT = 0x0004D014;
constexpr DWORD SCSI_MINIPORT = 0x0004D008;
}  // namespace ioctl

constexpr DWORD STG_S_POWER_CYCLE_REQUIRED_CODE = 0x00030207;

enum class BusType : uint32_t { Scsi = 1, Usb = 7, Raid = 8, Sata = 11, Nvme = 17 };

// Outcome of one request: on success, how many bytes go back to the caller.
struct IoResult {
  bool ok = false;
  DWORD error = 0;
  DWORD returned = 0;
  static IoResult Fail(DWORD e) { return {false, e, 0}; }
  static IoResult Done(DWORD n) { return {true, 0, n}; }
};

class Device {
 public:
  virtual ~Device() = default;
  // A device that left the machine: handles opened before stay dead even
  // after it comes back (generation counts its departures).
  bool attached = true;
  int generation = 0;
  DEVINST node = 0;  // its place in the device tree, for disks
  // buffer holds the input (inSize bytes) and has room for the output
  // (outSize bytes), as the system buffer of a buffered request does.
  virtual IoResult Ioctl(DWORD code, uint8_t* buffer, DWORD inSize, DWORD outSize) = 0;
};

// A disk as the class driver presents it, whatever carries its commands: its
// device number, SCSI address and device descriptor.
class DiskDevice : public Device {
 public:
  DiskDevice(int deviceNumber, int scsiPort, int pathId, BusType bus, std::shared_ptr<NvmeDrive> drive)
      : deviceNumber_(deviceNumber), scsiPort_(scsiPort), pathId_(pathId), bus_(bus), drive_(std::move(drive)) {}
  IoResult Ioctl(DWORD code, uint8_t* buffer, DWORD inSize, DWORD outSize) override;
  NvmeDrive& drive() { return *drive_; }
  int deviceNumber() const { return deviceNumber_; }
  void Renumber(int deviceNumber) { deviceNumber_ = deviceNumber; }

 protected:
  // Requests beyond those every disk answers; property queries other than
  // the device descriptor arrive here too.
  virtual IoResult DiskIoctl(DWORD, uint8_t*, DWORD, DWORD) { return IoResult::Fail(ERROR_INVALID_FUNCTION); }
  virtual IoResult OtherProperty(uint8_t*, DWORD, DWORD) { return IoResult::Fail(ERROR_NOT_SUPPORTED); }

 private:
  IoResult QueryProperty(uint8_t* b, DWORD inSize, DWORD outSize);
  IoResult DeviceDescriptor(uint8_t* b, DWORD outSize);

  int deviceNumber_;
  int scsiPort_;
  int pathId_;
  BusType bus_;
  std::shared_ptr<NvmeDrive> drive_;
};

// A disk of the system's own NVMe driver: "\\.\PhysicalDriveN".
class NativeNvmeDisk : public DiskDevice {
 public:
  NativeNvmeDisk(int deviceNumber, int scsiPort, int pathId, std::shared_ptr<NvmeDrive> drive,
                 DWORD payloadAlignment = 4096, DWORD payloadMaxSize = 128 * 1024)
      : DiskDevice(deviceNumber, scsiPort, pathId, BusType::Nvme, std::move(drive)),
        alignment_(payloadAlignment), maxPayload_(payloadMaxSize) {}
  // The next `count` protocol commands reach the drive, which carries them
  // out, but their requests complete before its answer: ReturnStatus left
  // pending and no data handed back.
  void LeavePending(int count) { pending_ = count; }

 protected:
  IoResult DiskIoctl(DWORD code, uint8_t* buffer, DWORD inSize, DWORD outSize) override;
  IoResult OtherProperty(uint8_t* buffer, DWORD inSize, DWORD outSize) override;

 private:
  IoResult ProtocolCommand(uint8_t* b, DWORD inSize, DWORD outSize);
  IoResult FirmwareInfo(uint8_t* b, DWORD inSize, DWORD outSize);
  IoResult FirmwareDownload(const uint8_t* b, DWORD inSize);
  IoResult FirmwareActivate(const uint8_t* b, DWORD inSize);
  DWORD alignment_, maxPayload_;
  int pending_ = 0;
};

// A volume "\\.\C:": answers only which disk it lies on.
class VolumeDevice : public Device {
 public:
  explicit VolumeDevice(int deviceNumber) : deviceNumber_(deviceNumber) {}
  IoResult Ioctl(DWORD code, uint8_t* buffer, DWORD inSize, DWORD outSize) override;

 private:
  int deviceNumber_;
};

// The SCSI port device "\\.\ScsiN:" of an Intel RST adapter: its miniport
// takes NVMe pass-through and firmware requests for the drives behind it,
// each named by its path id.
class RstPort : public Device {
 public:
  explicit RstPort(bool refusalInCompletionOnly = false) : refusalInCompletionOnly_(refusalInCompletionOnly) {}
  // The drive at a path id is served while its disk is on the bus: unplugged,
  // requests to its path id fail as they do for no drive at all.
  void Attach(int pathId, std::shared_ptr<DiskDevice> disk) { drives_[pathId] = std::move(disk); }
  IoResult Ioctl(DWORD code, uint8_t* buffer, DWORD inSize, DWORD outSize) override;

 private:
  IoResult PassThrough(NvmeDrive& drive, uint8_t* b, DWORD inSize, DWORD outSize);
  IoResult Firmware(NvmeDrive& drive, uint8_t* b, DWORD inSize, DWORD outSize);
  static IoResult FirmwareAnswer(uint8_t* b, DWORD total, DWORD outSize, DWORD returnCode);
  static DWORD FirmwareStatus(NvmeStatus status);

  std::map<int, std::shared_ptr<DiskDevice>> drives_;
  bool refusalInCompletionOnly_;
};

}  // namespace lab
