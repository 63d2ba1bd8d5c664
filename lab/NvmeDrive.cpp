#include "NvmeDrive.h"

#include <cstdio>

namespace lab {

namespace {
constexpr size_t IDENTIFY_SIZE = 4096;
}  // namespace

Bytes MakeLabImage(size_t size, const std::string& revision, uint8_t seed) {
  Bytes image(size);
  uint32_t x = 0x9E3779B9u ^ seed;
  for (auto& b : image) {
    x = x * 1664525u + 1013904223u;
    b = uint8_t(x >> 24);
  }
  if (size >= LAB_IMAGE_REVISION_OFFSET + 8) WrText(image.data(), LAB_IMAGE_REVISION_OFFSET, 8, revision);
  return image;
}

NvmeDrive::NvmeDrive(DriveSpec spec) : spec_(std::move(spec)), slots_(spec_.firmwareSlots ? spec_.firmwareSlots : 1) {
  slots_[0].revision = spec_.firmware;
  running_ = spec_.firmware;
}

std::string NvmeDrive::RevisionOf(const Bytes& image) const {
  if (spec_.imageRevision) return spec_.imageRevision(image);
  if (image.size() < LAB_IMAGE_REVISION_OFFSET + 8) return "????????";
  std::string text(image.begin() + LAB_IMAGE_REVISION_OFFSET, image.begin() + LAB_IMAGE_REVISION_OFFSET + 8);
  for (char& c : text)
    if (c < 0x20 || c > 0x7E) c = '?';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

Bytes NvmeDrive::IdentifyController() const {
  Bytes d(IDENTIFY_SIZE);
  Wr16(d.data(), 0, spec_.vid);
  Wr16(d.data(), 2, spec_.ssvid);
  WrText(d.data(), 4, 20, spec_.serial);
  WrText(d.data(), 24, 40, spec_.model);
  WrText(d.data(), 64, 8, revision());
  Wr16(d.data(), 256, 0x0004);  // OACS: firmware download and commit supported
  d[260] = uint8_t((spec_.slot1ReadOnly ? 1 : 0) | (spec_.firmwareSlots & 7) << 1);  // FRMW
  d[319] = spec_.fwug;                                                                   // FWUG
  Wr32(d.data(), 516, 1);                                                                // NN
  if (identify_) identify_(d);
  return d;
}

Bytes NvmeDrive::IdentifyNamespace() const {
  Bytes d(IDENTIFY_SIZE);
  Wr64(d.data(), 0, spec_.nsze);   // NSZE
  Wr64(d.data(), 8, spec_.nsze);   // NCAP
  Wr64(d.data(), 16, spec_.nsze);  // NUSE
  d[25] = 1;                       // NLBAF: two formats (counted from 0)
  d[26] = spec_.formattedLbaFormat;  // FLBAS: the format in use
  d[130] = spec_.lbaDataSize;      // LBAF0.LBADS
  d[134] = DriveSpec::LBAF1_DATA_SIZE;  // LBAF1.LBADS
  if (identifyNamespace_) identifyNamespace_(d);
  return d;
}

NvmeStatus NvmeDrive::Admin(const uint8_t* sqe, Bytes& data, bool hostToDrive) {
  admin_.emplace_back(sqe, sqe + 64);
  uint8_t opcode = sqe[0];
  NvmeStatus refused;
  // Firmware download and commit count their faults where they are carried out.
  if (opcode != 0x10 && opcode != 0x11 && Refused(opcode, &refused)) return refused;
  uint32_t nsid = Rd32(sqe, 4);
  uint32_t cdw10 = Rd32(sqe, 40);
  uint32_t cdw11 = Rd32(sqe, 44);
  switch (opcode) {
    case 0x06: {  // Identify
      if (hostToDrive) return nvme::InvalidField;
      Bytes reply;
      switch (cdw10 & 0xFF) {
        case 0:
          if (nsid != 1) return nvme::InvalidNamespace;
          reply = IdentifyNamespace();
          break;
        case 1:
          reply = IdentifyController();
          break;
        default:
          return nvme::InvalidField;
      }
      data.assign(data.size(), 0);
      for (size_t i = 0; i < data.size() && i < reply.size(); ++i) data[i] = reply[i];
      return nvme::Success;
    }
    case 0x10:  // Firmware Commit
      return Commit(uint8_t(cdw10 & 7), uint8_t(cdw10 >> 3 & 7));
    case 0x11: {  // Firmware Image Download
      if (!hostToDrive) return nvme::InvalidField;
      size_t length = (size_t(cdw10) + 1) * 4;
      if (data.size() < length) return nvme::DataTransferError;
      return Download(uint64_t(cdw11) * 4, data.data(), length);
    }
    default:
      break;
  }
  if (opcode >= 0xC0) {
    auto handler = vendor_.find(opcode);
    if (handler != vendor_.end()) {
      // The two low opcode bits name the data direction.
      uint8_t xfer = opcode & 3;
      if (!data.empty()) {
        if (xfer == 0 || (xfer == 1 && !hostToDrive) || (xfer == 2 && hostToDrive)) return nvme::InvalidField;
      }
      return handler->second(sqe, data, hostToDrive);
    }
  }
  return nvme::InvalidOpcode;
}

bool NvmeDrive::Refused(uint8_t opcode, NvmeStatus* status) {
  auto fault = failOpcodes_.find(opcode);
  if (fault == failOpcodes_.end()) return false;
  if (fault->second.after > 0) {
    --fault->second.after;
    return false;
  }
  *status = fault->second.status;
  return true;
}

NvmeStatus NvmeDrive::Download(uint64_t offset, const uint8_t* piece, size_t length) {
  NvmeStatus status = nvme::Success;
  if (Refused(0x11, &status)) {
    // refused as it arrives: nothing of it is kept
  } else if (length == 0 || length > spec_.maxPiece || offset % spec_.Granularity() != 0 ||
             (spec_.Granularity() > 4 && length % spec_.Granularity() != 0)) {
    status = nvme::InvalidField;
  } else if (offset == 0) {
    download_.clear();  // a new image starts
  } else if (offset < download_.size()) {
    status = nvme::OverlappingRange;
  } else if (offset > download_.size() || download_.size() % spec_.Granularity() != 0) {
    // A gap, or a piece after a short one: this controller takes pieces in order.
    status = nvme::InvalidField;
  }
  if (status.ok()) download_.insert(download_.end(), piece, piece + length);
  pieces_.push_back({offset, uint32_t(length), status});
  return status;
}

NvmeStatus NvmeDrive::Commit(uint8_t slot, uint8_t action) {
  CommitRecord record{slot, action, nvme::Success, {}};
  auto finish = [&](NvmeStatus s, std::string why = {}) {
    record.status = s;
    record.why = std::move(why);
    commits_.push_back(record);
    return s;
  };
  NvmeStatus refused;
  if (Refused(0x10, &refused)) return finish(refused, "commit refused");
  int n = int(slots_.size());
  if (slot > n) return finish(nvme::InvalidFirmwareSlot, "no such slot");
  if (action == 2) {
    int target = slot == 0 ? active_ : slot;
    if (slots_[target - 1].revision.empty()) return finish(nvme::InvalidFirmwareImage, "empty slot");
    pending_ = target;
    return finish(nvme::Success);
  }
  if (action > 3) return finish(nvme::InvalidField, "unknown commit action");
  int target = slot;
  if (target == 0) target = (spec_.slot1ReadOnly && n > 1) ? 2 : 1;
  if (target == 1 && spec_.slot1ReadOnly) return finish(nvme::InvalidFirmwareSlot, "slot 1 is read-only");
  Bytes image = std::move(download_);
  download_.clear();
  if (image.empty()) return finish(nvme::InvalidFirmwareImage, "nothing downloaded");
  std::string why;
  bool good = spec_.imageCheck ? spec_.imageCheck(image, &why) : true;
  if (!good) return finish(nvme::InvalidFirmwareImage, why.empty() ? "image refused" : why);
  slots_[target - 1].revision = RevisionOf(image);
  slots_[target - 1].image = std::move(image);
  if (action != 0) pending_ = target;
  NvmeStatus answer = NvmeStatus::FromField(commitAnswer_);
  pendingNeedsPowerOff_ = answer == nvme::NeedsSubsystemReset;
  return finish(answer);
}

void NvmeDrive::Restart() {
  if (pending_ != 0 && pendingNeedsPowerOff_) {
    ++resets_;
    download_.clear();
    return;  // the controller restarts on the image it ran
  }
  Reset();
}

void NvmeDrive::Reset() {
  pendingNeedsPowerOff_ = false;
  ++resets_;
  ActivationResult result;
  if (activation_) result = activation_(pending_ != 0 ? &slots_[pending_ - 1].image : nullptr);
  if (pending_ != 0) {
    activations_.push_back({pending_, result.accepted, result.why});
    // A refused image never runs: the firmware that ran before goes on.
    if (result.accepted) active_ = pending_;
  }
  pending_ = 0;
  running_ = result.revision.empty() ? slots_[active_ - 1].revision : result.revision;
  download_.clear();
}

std::string HexDump(const uint8_t* p, size_t n, size_t maxBytes) {
  std::string out;
  char cell[8];
  size_t shown = n < maxBytes ? n : maxBytes;
  for (size_t i = 0; i < shown; ++i) {
    if (i % 16 == 0) {
      snprintf(cell, sizeof cell, "%s%04zX:", i ? "\n" : "", i);
      out += cell;
    }
    snprintf(cell, sizeof cell, " %02X", p[i]);
    out += cell;
  }
  if (shown < n) out += "\n...";
  return out;
}

NvmeDrive::KeptState NvmeDrive::Kept() const {
  KeptState state;
  for (const Slot& slot : slots_) {
    state.images.push_back(slot.image);
    state.revisions.push_back(slot.revision);
  }
  state.active = active_;
  state.pending = pending_;
  state.pendingNeedsPowerOff = pendingNeedsPowerOff_;
  state.running = running_;
  if (savePersonality_) state.personality = savePersonality_();
  return state;
}

bool NvmeDrive::Restore(const KeptState& state) {
  int count = int(slots_.size());
  if (int(state.images.size()) != count || state.revisions.size() != state.images.size() || state.active < 1 ||
      state.active > count || state.pending < 0 || state.pending > count ||
      (!state.personality.empty() && !loadPersonality_))
    return false;
  if (loadPersonality_ && !state.personality.empty() && !loadPersonality_(state.personality)) return false;
  for (int i = 0; i < count; ++i) slots_[i] = {state.images[i], state.revisions[i]};
  active_ = state.active;
  pending_ = state.pending;
  pendingNeedsPowerOff_ = state.pendingNeedsPowerOff;
  running_ = state.running;
  return true;
}

Bytes NvmeDrive::CommandEffectsLog() const {
  Bytes log(4096, 0);
  auto list = [&log](uint8_t opcode) { log[size_t(opcode) * 4] |= 1; };  // CSUPP
  for (uint8_t opcode : {0x01, 0x02, 0x06, 0x10, 0x11}) list(opcode);  // the admin commands it serves itself
  for (const auto& [opcode, handler] : vendor_) list(opcode);
  for (uint8_t opcode : unlisted_) log[size_t(opcode) * 4] = 0;
  return log;
}

}  // namespace lab
