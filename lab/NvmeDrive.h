// A virtual NVMe controller with one namespace, firmware slots, a download
// buffer and vendor commands. It judges what it receives as hardware does:
// misplaced pieces and bad images are refused with NVMe status codes, and a
// committed image runs only after the next controller reset.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Wire.h"

namespace lab {

// NVMe completion status: status code type and status code; 0/0 is success.
// The status field also carries the retry delay, More and Do-Not-Retry bits
// (14:11), which change nothing of what the drive did.
struct NvmeStatus {
  uint8_t sct = 0;
  uint8_t sc = 0;
  uint16_t flags = 0;  // bits 14:11 of the status field
  bool ok() const { return sct == 0 && sc == 0; }
  uint16_t field() const { return uint16_t((flags & 0x7800) | (sct & 7) << 8 | sc); }
  bool operator==(const NvmeStatus& o) const { return sct == o.sct && sc == o.sc; }
  static NvmeStatus FromField(uint16_t field) {
    return NvmeStatus{uint8_t(field >> 8 & 7), uint8_t(field), uint16_t(field & 0x7800)};
  }
};

namespace nvme {
constexpr NvmeStatus Success{0, 0x00};
constexpr NvmeStatus InvalidOpcode{0, 0x01};
constexpr NvmeStatus InvalidField{0, 0x02};
constexpr NvmeStatus DataTransferError{0, 0x04};
constexpr NvmeStatus InvalidNamespace{0, 0x0B};
constexpr NvmeStatus InvalidFirmwareSlot{1, 0x06};
constexpr NvmeStatus InvalidFirmwareImage{1, 0x07};
constexpr NvmeStatus OverlappingRange{1, 0x14};
// Firmware Commit took the image, which runs after the reset named.
constexpr NvmeStatus NeedsConventionalReset{1, 0x0B};
constexpr NvmeStatus NeedsSubsystemReset{1, 0x10};
constexpr NvmeStatus NeedsControllerReset{1, 0x11};
// Whether a commit's status says the image was taken.
inline bool CommitTookImage(NvmeStatus s) {
  return s.ok() || s == NeedsConventionalReset || s == NeedsSubsystemReset || s == NeedsControllerReset;
}
}  // namespace nvme

// Decides whether a committed image is one this controller would run.
using ImageCheck = std::function<bool(const Bytes& image, std::string* why)>;
// The firmware revision an image reports once it runs.
using ImageRevision = std::function<std::string(const Bytes& image)>;

// A lab test image carries its 8-character revision at this offset.
constexpr size_t LAB_IMAGE_REVISION_OFFSET = 0x10;
Bytes MakeLabImage(size_t size, const std::string& revision, uint8_t seed = 0x5A);

struct DriveSpec {
  std::string model = "KESTREL LAB NVME 512GB";
  std::string serial = "LAB0000000000000001";
  std::string firmware = "1.0.0.00";
  uint16_t vid = 0x1D4C;
  uint16_t ssvid = 0x1D4C;
  // Two LBA formats: 0 with 2^lbaDataSize-byte blocks, 1 with 4096-byte
  // blocks. NSZE counts blocks of the format the namespace is formatted with.
  uint64_t nsze = 1000215216;       // 512 GB in 512-byte blocks
  uint8_t lbaDataSize = 9;          // LBA format 0: 2^9 bytes
  uint8_t formattedLbaFormat = 0;   // FLBAS; index 1: formatted with LBA format 1
  static constexpr uint8_t LBAF1_DATA_SIZE = 12;
  uint8_t FormattedLbaDataSize() const { return (formattedLbaFormat & 0x0F) == 1 ? LBAF1_DATA_SIZE : lbaDataSize; }
  uint8_t firmwareSlots = 2;
  bool slot1ReadOnly = false;
  uint32_t maxPiece = 128 * 1024;   // largest download transfer
  // FWUG: pieces start and end on multiples of this many 4 KiB units; 0 and
  // 0xFF put no restriction but the dword.
  uint8_t fwug = 1;
  uint32_t Granularity() const { return fwug == 0 || fwug == 0xFF ? 4u : fwug * 4096u; }
  bool powerCycleRequired = false;  // activation needs a power cycle
  ImageCheck imageCheck;            // empty: accept any non-empty image
  ImageRevision imageRevision;      // empty: the lab image convention
};

struct DownloadPiece {
  uint64_t offset;
  uint32_t length;
  NvmeStatus status;
};

struct CommitRecord {
  uint8_t slot;
  uint8_t action;
  NvmeStatus status;
  std::string why;  // why an image was refused
};

// What a controller's own firmware decides at a reset: whether the pending
// image may run (why says why not) and the revision it reports from then on
// (empty: the slot's revision). image is null when nothing is pending.
struct ActivationResult {
  bool accepted = true;
  std::string revision;
  std::string why;
};
using ActivationHook = std::function<ActivationResult(const Bytes* image)>;

struct ActivationRecord {
  int slot;
  bool accepted;
  std::string why;
};

// A vendor command as the controller sees it: the 64-byte command and the
// data buffer (filled by the handler for reads).
using VendorHandler = std::function<NvmeStatus(const uint8_t* sqe, Bytes& data, bool hostToDrive)>;

class NvmeDrive {
 public:
  explicit NvmeDrive(DriveSpec spec);

  // An admin command: sqe is the 64-byte submission entry; data holds what the
  // host sends (hostToDrive) or receives what the controller returns.
  NvmeStatus Admin(const uint8_t* sqe, Bytes& data, bool hostToDrive);
  // The firmware requests the system's driver turns into NVMe commands.
  NvmeStatus Download(uint64_t offset, const uint8_t* piece, size_t length);
  NvmeStatus Commit(uint8_t slot, uint8_t action);
  // Power cycle: a pending image starts running.
  void Reset();
  // The reset a restart of the machine gives: a pending image starts
  // running, but for one whose commit asked for an NVM subsystem reset.
  void Restart();

  void SetVendorHandler(uint8_t opcode, VendorHandler handler) { vendor_[opcode] = std::move(handler); }
  // The Commands Supported and Effects log (page 05h): the admin commands
  // the controller lists, each entry's bit 0 (CSUPP). A vendor command is
  // listed when the drive serves it, unless it is left out here.
  Bytes CommandEffectsLog() const;
  void LeaveOutOfEffectsLog(uint8_t opcode) { unlisted_.push_back(opcode); }
  void SetActivationHook(ActivationHook hook) { activation_ = std::move(hook); }
  // Lets a personality put its own texts into Identify Controller data.
  void SetIdentifyHook(std::function<void(Bytes&)> hook) { identify_ = std::move(hook); }
  // The same for Identify Namespace data: a drive whose reply says anything.
  void SetIdentifyNamespaceHook(std::function<void(Bytes&)> hook) { identifyNamespace_ = std::move(hook); }
  // The commit is carried out as always, and completes with this status
  // field (type << 8 | code, with any of bits 14:11), as a drive that names
  // the reset its image needs; 0 takes the answer back.
  void AnswerCommitWith(uint16_t statusField) { commitAnswer_ = statusField; }
  // Answers commands with this opcode with status (fault injection), after
  // the first `after` of them were carried out. Firmware requests the
  // system's driver builds itself count as their opcodes 0x11 and 0x10.
  // Success as the status takes the fault away.
  void FailOpcode(uint8_t opcode, NvmeStatus status, int after = 0) {
    if (status.ok()) failOpcodes_.erase(opcode);
    else failOpcodes_[opcode] = {status, after};
  }

  const DriveSpec& spec() const { return spec_; }
  // What Identify reports: the image running since the last reset, even when
  // its slot has been rewritten since.
  std::string revision() const { return running_; }
  int activeSlot() const { return active_; }
  int pendingSlot() const { return pending_; }  // 0 when none
  const Bytes& slotImage(int slot) const { return slots_.at(slot - 1).image; }
  const Bytes& downloadBuffer() const { return download_; }
  const std::vector<DownloadPiece>& pieces() const { return pieces_; }
  const std::vector<CommitRecord>& commits() const { return commits_; }
  const std::vector<Bytes>& adminCommands() const { return admin_; }
  int resets() const { return resets_; }
  const std::vector<ActivationRecord>& activations() const { return activations_; }

  Bytes IdentifyController() const;
  Bytes IdentifyNamespace() const;

  // What the drive keeps across a power-off: its slots, which one runs and
  // which waits, and its personality's own state.
  struct KeptState {
    std::vector<Bytes> images;
    std::vector<std::string> revisions;
    int active = 1, pending = 0;
    bool pendingNeedsPowerOff = false;
    std::string running;
    Bytes personality;
  };
  KeptState Kept() const;
  // False (nothing changed) when the state does not fit this drive.
  bool Restore(const KeptState& state);
  void SetPersonalityState(std::function<Bytes()> save, std::function<bool(const Bytes&)> load) {
    savePersonality_ = std::move(save);
    loadPersonality_ = std::move(load);
  }

 private:
  struct Slot {
    Bytes image;
    std::string revision;
  };
  std::string RevisionOf(const Bytes& image) const;

  DriveSpec spec_;
  std::vector<Slot> slots_;
  int active_ = 1;
  std::string running_;
  int pending_ = 0;
  Bytes download_;
  std::vector<DownloadPiece> pieces_;
  std::vector<CommitRecord> commits_;
  std::vector<Bytes> admin_;
  std::map<uint8_t, VendorHandler> vendor_;
  struct OpcodeFault {
    NvmeStatus status;
    int after;
  };
  // Whether an injected fault refuses this command now.
  bool Refused(uint8_t opcode, NvmeStatus* status);
  std::map<uint8_t, OpcodeFault> failOpcodes_;
  int resets_ = 0;
  ActivationHook activation_;
  std::function<void(Bytes&)> identify_;
  std::function<void(Bytes&)> identifyNamespace_;
  uint16_t commitAnswer_ = 0;
  bool pendingNeedsPowerOff_ = false;
  std::vector<ActivationRecord> activations_;
  std::vector<uint8_t> unlisted_;
  std::function<Bytes()> savePersonality_;
  std::function<bool(const Bytes&)> loadPersonality_;
};

}  // namespace lab
