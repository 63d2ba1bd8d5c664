// A USB enclosure: the disk Windows sees on the USB bus, taking SCSI
// pass-through requests, and the bridge chip inside that tunnels NVMe admin
// commands to the drive. The bridge keeps its multi-step state per device,
// whatever handle a step comes through, and fails a step that arrives out of
// order, as a confused bridge would.
#pragma once

#include <functional>
#include <map>
#include <vector>

#include "Devices.h"

namespace lab {

enum class BridgeKind { ASMedia, JMicron, Other };

struct UsbDiskSpec {
  BridgeKind kind = BridgeKind::ASMedia;
  int deviceNumber = 1;
  int scsiPort = 4;
  DWORD reappearMs = 3000;  // virtual time the drive stays away after a power cycle
  int reappearNumber = -1;  // the PhysicalDrive number it returns under; -1: the next free one
  int hostController = 1;   // position among the host controllers, from 1
  std::vector<int> ports = {3};  // root-hub port first, then each hub's; the last is the bridge's own
  // How long the drive takes to write flash for a firmware piece or commit;
  // a pass-through step with a shorter timeout is cut off by the USB stack.
  uint32_t flashSeconds = 0;  // a firmware piece, the commit or a flash write of the maker's
  // The adapter's AlignmentMask: a data buffer at an address it does not
  // meet is refused, as the port driver refuses it.
  uint32_t alignmentMask = 0;
};

// One pass-through step as the bridge received it.
struct BridgeStep {
  Bytes cdb;      // 16 bytes
  uint8_t dataIn;
  uint32_t length;
  Bytes dataOut;  // what the host sent with it
  bool failed;
  uint8_t scsiStatus;
  uint32_t timeout;  // seconds, as the pass-through asked
};

class UsbBridgeDisk : public DiskDevice {
 public:
  UsbBridgeDisk(const UsbDiskSpec& spec, std::shared_ptr<NvmeDrive> drive)
      : DiskDevice(spec.deviceNumber, spec.scsiPort, 0, BusType::Usb, std::move(drive)), spec_(spec) {}

  const UsbDiskSpec& spec() const { return spec_; }
  const std::vector<BridgeStep>& steps() const { return steps_; }
  void ClearSteps() { steps_.clear(); }
  // Faults, counted over the steps still to come (1 is the next one).
  void FailStep(int nth, DWORD error) { fails_[stepCount_ + nth] = error; }
  void CheckConditionAt(int nth) { checks_[stepCount_ + nth] = true; }
  // The step's transfer stops `missing` bytes short, and the stack reports
  // the bytes moved: a read fills only those, a write hands the bridge only
  // those (the rest of its buffer holds zeros) and the drive still carries
  // the command out with them.
  void ShortTransferAt(int nth, uint32_t missing) { shorts_[stepCount_ + nth] = missing; }
  void FailInfoRead(bool fail) { failInfo_ = fail; }
  // A JMicron response block without the bridge's "NVME" signature.
  void AnswerWithoutSignature(bool on) { noSignature_ = on; }
  int powerCycles() const { return powerCycles_; }

  // Set by the machine: takes the drive off the bus, resets it, brings it back.
  std::function<void(UsbBridgeDisk&)> onPowerCycle;

 protected:
  IoResult DiskIoctl(DWORD code, uint8_t* buffer, DWORD inSize, DWORD outSize) override;

 private:
  struct Outcome {
    bool ok = true;
    DWORD error = 0;
    uint8_t status = 0;     // SCSI status
    uint32_t transferred = 0;
    uint8_t senseKey = 0, asc = 0;
  };
  static Outcome Stall();                  // the call fails: the bridge stalled
  static Outcome Invalid(uint8_t asc);     // CHECK CONDITION, illegal request
  Outcome Step(const uint8_t* cdb, uint8_t dataIn, uint8_t* data, uint32_t length);
  Outcome ShortStep(const uint8_t* cdb, uint8_t dataIn, uint8_t* data, uint32_t length, uint32_t missing);
  Outcome Inquiry(const uint8_t* cdb, uint8_t dataIn, uint8_t* data, uint32_t length);
  Outcome AsMedia(const uint8_t* cdb, uint8_t dataIn, uint8_t* data, uint32_t length);
  Outcome JMicron(const uint8_t* cdb, uint8_t dataIn, uint8_t* data, uint32_t length);
  Outcome Execute(const uint8_t* sqe, bool toDrive, uint8_t* data, uint32_t length);
  void PowerCycle();

  enum class Phase { Idle, CommandReceived, Executed };

  UsbDiskSpec spec_;
  Phase phase_ = Phase::Idle;
  uint8_t sqe_[64] = {};
  uint8_t code_ = 0;         // the ASMedia direction code of the open sequence
  uint8_t mode_ = 0;         // the JMicron power-control mode of the open sequence
  uint8_t completion_[16] = {};
  uint32_t stepTimeout_ = 0;  // of the step being served
  std::vector<BridgeStep> steps_;
  int stepCount_ = 0;
  std::map<int, DWORD> fails_;
  std::map<int, bool> checks_;
  std::map<int, uint32_t> shorts_;
  bool failInfo_ = false;
  bool noSignature_ = false;
  int powerCycles_ = 0;
};

}  // namespace lab
