#include "Scenario.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

#include "Devices.h"
#include "Lab.h"
#include "MakerPersonality.h"
#include "UsbBridge.h"

namespace lab {

namespace {

using Keys = std::map<std::string, std::string>;

// Splits "word key=value key=\"two words\" flag" into its keys.
bool ParseLine(const std::string& line, std::string* kind, Keys* keys) {
  std::istringstream in(line);
  in >> *kind;
  std::string rest;
  std::getline(in, rest);
  size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && rest[i] == ' ') ++i;
    if (i >= rest.size()) break;
    size_t eq = rest.find_first_of("= ", i);
    std::string key = rest.substr(i, eq == std::string::npos ? std::string::npos : eq - i);
    if (eq == std::string::npos || rest[eq] == ' ') {
      (*keys)[key] = "1";
      i = eq == std::string::npos ? rest.size() : eq;
      continue;
    }
    i = eq + 1;
    std::string value;
    if (i < rest.size() && rest[i] == '"') {
      size_t close = rest.find('"', i + 1);
      if (close == std::string::npos) return false;
      value = rest.substr(i + 1, close - i - 1);
      i = close + 1;
    } else {
      size_t end = rest.find(' ', i);
      value = rest.substr(i, end == std::string::npos ? std::string::npos : end - i);
      i = end == std::string::npos ? rest.size() : end;
    }
    (*keys)[key] = value;
  }
  return true;
}

int Int(const Keys& k, const char* key, int fallback) {
  auto it = k.find(key);
  return it == k.end() ? fallback : int(strtol(it->second.c_str(), nullptr, 0));
}

std::string Text(const Keys& k, const char* key, const std::string& fallback) {
  auto it = k.find(key);
  return it == k.end() ? fallback : it->second;
}

// "3x4": speed and width.
void Link(const Keys& k, const char* key, DWORD* speed, DWORD* width) {
  auto it = k.find(key);
  if (it == k.end()) return;
  *speed = DWORD(strtoul(it->second.c_str(), nullptr, 10));
  size_t x = it->second.find('x');
  if (x != std::string::npos) *width = DWORD(strtoul(it->second.c_str() + x + 1, nullptr, 10));
}

DriveSpec Drive(const Keys& k, int number) {
  DriveSpec spec;
  spec.model = Text(k, "model", spec.model);
  spec.serial = Text(k, "serial", "LAB" + std::string(15, '0') + std::to_string(number));
  spec.firmware = Text(k, "fw", spec.firmware);
  spec.vid = uint16_t(strtoul(Text(k, "vid", "1D4C").c_str(), nullptr, 16));
  spec.ssvid = uint16_t(strtoul(Text(k, "ssvid", "1D4C").c_str(), nullptr, 16));
  spec.lbaDataSize = uint8_t(Int(k, "lbads", 9));
  spec.formattedLbaFormat = uint8_t(Int(k, "format", 0));
  uint64_t gb = uint64_t(Int(k, "size", 512));
  spec.nsze = gb * 1000000000ull / (1ull << spec.FormattedLbaDataSize());
  spec.powerCycleRequired = Int(k, "powercycle", 0) != 0;
  spec.fwug = uint8_t(Int(k, "fwug", 1));
  spec.firmwareSlots = uint8_t(Int(k, "slots", 2));
  spec.slot1ReadOnly = Int(k, "slot1ro", 0) != 0;
  return spec;
}

NandId ParseNand(const std::string& hex, const NandId& fallback) {
  if (hex.size() != 12) return fallback;
  NandId id{};
  for (size_t i = 0; i < 6; ++i) id[i] = uint8_t(strtoul(hex.substr(2 * i, 2).c_str(), nullptr, 16));
  return id;
}

void Personality(const Keys& k, NvmeDrive& drive) {
  if (!k.count("maker")) return;
  MakerSpec spec;
  spec.vendorInfo = Int(k, "vendorinfo", 1) != 0;
  spec.socId = uint16_t(strtoul(Text(k, "socid", "7C31").c_str(), nullptr, 16));
  spec.nandId = ParseNand(Text(k, "nand", ""), spec.nandId);
  spec.internalVersion = Text(k, "version", spec.internalVersion);
  spec.luns = uint8_t(Int(k, "luns", spec.luns));
  spec.layout = uint16_t(strtoul(Text(k, "layout", "1000").c_str(), nullptr, 16));
  spec.socIdAt1582 = spec.socId;
  GiveMakerPersonality(drive, spec);
}

std::vector<int> Ports(const std::string& text) {
  std::vector<int> ports;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, '.')) ports.push_back(atoi(part.c_str()));
  return ports;
}


// The keys each kind of line takes: a key the lab does not know is refused
// rather than left out of a machine someone thought they described.
const std::set<std::string>& KeysOf(const std::string& kind) {
  static const std::set<std::string> none;
  static const std::map<std::string, std::set<std::string>> keys = [] {
    const std::set<std::string> drive = {"disk",  "model", "serial", "fw",      "size",  "lbads",  "format",
                                         "vid",   "ssvid", "powercycle", "maker", "socid", "nand", "version",
                                         "luns",  "layout", "vendorinfo", "refuse", "commit", "unplug",
                                         "fwug",  "slots", "slot1ro", "unlisted", "denied"};
    std::map<std::string, std::set<std::string>> all;
    all["nvme"] = drive;
    all["nvme"].insert({"port", "bus", "bridge", "link", "max", "align", "maxpayload"});
    all["rst"] = drive;
    all["rst"].insert({"port", "path", "bus", "bridge", "service"});
    all["usb"] = drive;
    all["usb"].insert({"chip", "controller", "ports", "reappear", "flash", "returnas", "timeout", "short"});
    all["sata"] = {"disk"};
    all["volume"] = {"letter", "disk"};
    all["others"] = {"count"};
    all["power"] = {"ac", "battery"};
    return all;
  }();
  auto it = keys.find(kind);
  return it == keys.end() ? none : it->second;
}

// A whole number in C notation (42, 0x2A) no larger than max.
bool Number(const std::string& text, unsigned long max, unsigned long* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  *value = strtoul(text.c_str(), &end, 0);
  return *end == '\0' && *value <= max;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.push_back("");
  return parts;
}

struct Refusal {
  uint8_t opcode;
  uint16_t status;  // the status field: type << 8 | code
  int after;
};

// When a planned fault strikes: once the drive has received this many
// firmware pieces, or once it has answered a commit.
struct Trigger {
  bool set = false;
  bool onCommit = false;
  size_t pieces = 0;
};

struct Faults {
  std::vector<Refusal> refusals;
  uint16_t commitAnswer = 0;
  Trigger unplug;
  Trigger timeout;
  Trigger shortPiece;
};

// "OPCODE:STATUS[:AFTER]", several separated by commas.
bool ParseRefusals(const std::string& text, std::vector<Refusal>* out) {
  for (const std::string& one : Split(text, ',')) {
    std::vector<std::string> parts = Split(one, ':');
    unsigned long opcode = 0, status = 0, after = 0;
    if (parts.size() < 2 || parts.size() > 3 || !Number(parts[0], 0xFF, &opcode) ||
        !Number(parts[1], 0x7FFF, &status) || status == 0 || (parts.size() == 3 && !Number(parts[2], 1000000, &after)))
      return false;
    out->push_back({uint8_t(opcode), uint16_t(status), int(after)});
  }
  return true;
}

// "N" (pieces, from 1) or "commit".
bool ParseTrigger(const std::string& text, Trigger* out) {
  unsigned long pieces = 0;
  out->set = true;
  if (text == "commit") {
    out->onCommit = true;
    return true;
  }
  if (!Number(text, 1000000, &pieces) || pieces == 0) return false;
  out->pieces = pieces;
  return true;
}

bool ParseFaults(const Keys& k, Faults* faults, std::string* why) {
  unsigned long field = 0;
  if (k.count("refuse") && !ParseRefusals(k.at("refuse"), &faults->refusals)) {
    *why = "refuse= takes OPCODE:STATUS[:AFTER], separated by commas, with a status other than 0";
    return false;
  }
  if (k.count("commit")) {
    if (!Number(k.at("commit"), 0x7FFF, &field) || field == 0) {
      *why = "commit= takes the status field the commit answers, other than 0";
      return false;
    }
    faults->commitAnswer = uint16_t(field);
  }
  if (k.count("unplug") && !ParseTrigger(k.at("unplug"), &faults->unplug)) {
    *why = "unplug= takes a number of pieces from 1, or commit";
    return false;
  }
  if (k.count("timeout") && !ParseTrigger(k.at("timeout"), &faults->timeout)) {
    *why = "timeout= takes a number of pieces from 1, or commit";
    return false;
  }
  // The commit moves no data: it cannot arrive short.
  if (k.count("short") && (!ParseTrigger(k.at("short"), &faults->shortPiece) || faults->shortPiece.onCommit)) {
    *why = "short= takes a number of pieces from 1";
    return false;
  }
  return true;
}

struct Line {
  int number;
  std::string kind;
  Keys keys;
  Faults faults;
};

std::string At(int number, const std::string& what) { return "line " + std::to_string(number) + ": " + what; }

// Reads and checks every line before anything is built: a machine is made
// whole or not at all.
bool ReadLines(const std::string& text, std::vector<Line>* out, std::string* error) {
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    line = line.substr(start);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    Line l{number, "", {}, {}};
    if (!ParseLine(line, &l.kind, &l.keys)) {
      *error = At(number, "unclosed quote");
      return false;
    }
    const std::set<std::string>& allowed = KeysOf(l.kind);
    if (allowed.empty()) {
      *error = At(number, "unknown device \"" + l.kind + "\"");
      return false;
    }
    for (const auto& key : l.keys) {
      if (!allowed.count(key.first)) {
        *error = At(number, "unknown key \"" + key.first + "\" for " + l.kind);
        return false;
      }
    }
    if (l.kind == "volume" && (Text(l.keys, "letter", "").size() != 1 || Int(l.keys, "disk", -1) < 0)) {
      *error = At(number, "a volume needs letter= and disk=");
      return false;
    }
    if (l.kind == "power") {
      unsigned long ac = 1, battery = 0;
      bool ok = !l.keys.count("ac") || Number(l.keys.at("ac"), 1, &ac);
      if (ac == 1) ok = ok && (!l.keys.count("battery") || Number(l.keys.at("battery"), 100, &battery));
      else ok = ok && l.keys.count("battery") && Number(l.keys.at("battery"), 100, &battery);
      if (!ok) {
        *error = At(number, "power takes ac=1 (with a laptop's battery=0 to 100), or ac=0 with battery=0 to 100");
        return false;
      }
    } else if (l.kind != "others" && Int(l.keys, "disk", -1) < 0) {
      *error = At(number, "no disk=");
      return false;
    }
    std::string why;
    if (!ParseFaults(l.keys, &l.faults, &why)) {
      *error = At(number, why);
      return false;
    }
    out->push_back(std::move(l));
  }
  return true;
}

// A fault that waits for its moment: checked after each request the
// program makes, and struck once.
enum class Strike { Unplug, Timeout, ShortPiece };
struct Planned {
  DiskDevice* disk;
  UsbBridgeDisk* bridge;  // for a timeout or a short piece
  Strike what;
  Trigger when;
  bool struck = false;
};

// What a piece's data step falls short by.
constexpr uint32_t SHORT_PIECE_BYTES = 512;

void PlanFaults(NvmeDrive& drive, const Faults& faults) {
  for (const Refusal& r : faults.refusals) drive.FailOpcode(r.opcode, NvmeStatus::FromField(r.status), r.after);
  if (faults.commitAnswer != 0) drive.AnswerCommitWith(faults.commitAnswer);
}

// The request hook runs on the requesting thread outside the machine's
// lock: the drive's records are read under it, and a disk is pulled outside
// it, since its notices reach the windows synchronously.
void StrikeWhenDue(Machine& machine, std::vector<Planned> planned) {
  auto plans = std::make_shared<std::vector<Planned>>(std::move(planned));
  machine.AfterRequest([&machine, plans](const RequestRecord&) {
    std::vector<int> pulled;
    machine.Inspect([&] {
      for (Planned& p : *plans) {
        NvmeDrive& drive = p.disk->drive();
        bool due = p.when.onCommit ? !drive.commits().empty() : drive.pieces().size() >= p.when.pieces;
        if (p.struck || !due || !p.disk->attached) continue;
        p.struck = true;
        // The drive took the piece at its data step: the piece's completion
        // read comes next, then the next piece's command and data.
        if (p.what == Strike::Timeout) p.bridge->FailStep(1, ERROR_SEM_TIMEOUT);  // the USB stack gives up on it
        else if (p.what == Strike::ShortPiece) p.bridge->ShortTransferAt(3, SHORT_PIECE_BYTES);
        else pulled.push_back(p.disk->deviceNumber());
      }
    });
    for (int number : pulled) machine.Unplug(number);
  });
}

}  // namespace

bool BuildScenario(Machine& machine, const std::string& text, std::string* error) {
  std::vector<Line> lines;
  if (!ReadLines(text, &lines, error)) return false;
  std::vector<Planned> planned;
  for (const Line& l : lines) {
    const Keys& k = l.keys;
    int disk = Int(k, "disk", -1);
    NvmeDrive* drive = nullptr;
    UsbBridgeDisk* bridge = nullptr;
    if (l.kind == "others") {
      machine.AddOtherDevices(Int(k, "count", 0));
    } else if (l.kind == "nvme") {
      NativeDiskSpec where;
      where.deviceNumber = disk;
      where.scsiPort = Int(k, "port", disk + 1);
      where.bus = Int(k, "bus", -1);
      where.bridgeBus = Int(k, "bridge", 0);
      Link(k, "link", &where.linkSpeed, &where.linkWidth);
      Link(k, "max", &where.maxLinkSpeed, &where.maxLinkWidth);
      where.payloadAlignment = DWORD(Int(k, "align", int(where.payloadAlignment)));
      where.payloadMaxSize = DWORD(Int(k, "maxpayload", int(where.payloadMaxSize)));
      drive = &machine.AddNativeDrive(where, Drive(k, disk));
    } else if (l.kind == "rst") {
      RstDiskSpec where;
      where.deviceNumber = disk;
      where.scsiPort = Int(k, "port", 0);
      where.pathId = Int(k, "path", 0);
      where.bus = Int(k, "bus", 5);
      where.bridgeBus = Int(k, "bridge", 0);
      std::string service = Text(k, "service", "iaStorAC");
      where.service.assign(service.begin(), service.end());
      drive = &machine.AddRstDrive(where, Drive(k, disk));
    } else if (l.kind == "usb") {
      UsbDiskSpec where;
      where.deviceNumber = disk;
      std::string chip = Text(k, "chip", "asmedia");
      where.kind = chip == "asmedia" ? BridgeKind::ASMedia : chip == "jmicron" ? BridgeKind::JMicron : BridgeKind::Other;
      where.hostController = Int(k, "controller", 1);
      where.ports = Ports(Text(k, "ports", "3"));
      where.reappearMs = DWORD(Int(k, "reappear", 3000));
      where.flashSeconds = uint32_t(Int(k, "flash", 0));
      where.reappearNumber = Int(k, "returnas", -1);
      bridge = &machine.AddUsbDrive(where, Drive(k, disk));
      drive = &bridge->drive();
    } else if (l.kind == "sata") {
      machine.AddSataDisk(disk);
    } else if (l.kind == "volume") {
      machine.AddVolume(wchar_t(Text(k, "letter", "")[0]), disk);
    } else if (l.kind == "power") {
      if (Int(k, "ac", 1) == 1) machine.RunOnMains(k.count("battery") ? BYTE(Int(k, "battery", 0)) : 255);
      else machine.RunOnBattery(BYTE(Int(k, "battery", 0)));
    }
    if (drive == nullptr) continue;
    Personality(k, *drive);
    PlanFaults(*drive, l.faults);
    // Vendor commands the controller's effects log leaves out: "E6,F2".
    if (k.count("unlisted")) {
      std::istringstream list(k.at("unlisted"));
      for (std::string opcode; std::getline(list, opcode, ',');)
        drive->LeaveOutOfEffectsLog(uint8_t(strtoul(opcode.c_str(), nullptr, 0)));
    }
    DiskDevice* device = bridge != nullptr ? static_cast<DiskDevice*>(bridge) : machine.DiskAt(disk);
    if (k.count("denied")) machine.FailOpen(L"\\\\.\\PhysicalDrive" + std::to_wstring(disk), ERROR_ACCESS_DENIED);
    if (l.faults.unplug.set) planned.push_back({device, nullptr, Strike::Unplug, l.faults.unplug});
    if (l.faults.timeout.set) planned.push_back({device, bridge, Strike::Timeout, l.faults.timeout});
    if (l.faults.shortPiece.set) planned.push_back({device, bridge, Strike::ShortPiece, l.faults.shortPiece});
  }
  if (!planned.empty()) StrikeWhenDue(machine, std::move(planned));
  return true;
}

}  // namespace lab
