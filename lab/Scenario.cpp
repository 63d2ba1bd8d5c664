#include "Scenario.h"

#include <cstdlib>
#include <map>
#include <sstream>

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

}  // namespace

bool BuildScenario(Machine& machine, const std::string& text, std::string* error) {
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    line = line.substr(start);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    std::string kind;
    Keys k;
    if (!ParseLine(line, &kind, &k)) {
      *error = "line " + std::to_string(number) + ": unclosed quote";
      return false;
    }
    int disk = Int(k, "disk", -1);
    if (kind == "others") {
      machine.AddOtherDevices(Int(k, "count", 0));
      continue;
    }
    if (kind != "volume" && disk < 0) {
      *error = "line " + std::to_string(number) + ": no disk=";
      return false;
    }
    if (kind == "nvme") {
      NativeDiskSpec where;
      where.deviceNumber = disk;
      where.scsiPort = Int(k, "port", disk + 1);
      where.bus = Int(k, "bus", -1);
      where.bridgeBus = Int(k, "bridge", 0);
      Link(k, "link", &where.linkSpeed, &where.linkWidth);
      Link(k, "max", &where.maxLinkSpeed, &where.maxLinkWidth);
      Personality(k, machine.AddNativeDrive(where, Drive(k, disk)));
    } else if (kind == "rst") {
      RstDiskSpec where;
      where.deviceNumber = disk;
      where.scsiPort = Int(k, "port", 0);
      where.pathId = Int(k, "path", 0);
      where.bus = Int(k, "bus", 5);
      where.bridgeBus = Int(k, "bridge", 0);
      std::string service = Text(k, "service", "iaStorAC");
      where.service.assign(service.begin(), service.end());
      Personality(k, machine.AddRstDrive(where, Drive(k, disk)));
    } else if (kind == "usb") {
      UsbDiskSpec where;
      where.deviceNumber = disk;
      std::string chip = Text(k, "chip", "asmedia");
      where.kind = chip == "asmedia" ? BridgeKind::ASMedia : chip == "jmicron" ? BridgeKind::JMicron : BridgeKind::Other;
      where.hostController = Int(k, "controller", 1);
      where.ports = Ports(Text(k, "ports", "3"));
      where.reappearMs = DWORD(Int(k, "reappear", 3000));
      where.flashSeconds = uint32_t(Int(k, "flash", 0));
      where.reappearNumber = Int(k, "returnas", -1);
      Personality(k, machine.AddUsbDrive(where, Drive(k, disk)).drive());
    } else if (kind == "sata") {
      machine.AddSataDisk(disk);
    } else if (kind == "volume") {
      std::string letter = Text(k, "letter", "");
      if (letter.size() != 1 || disk < 0) {
        *error = "line " + std::to_string(number) + ": a volume needs letter= and disk=";
        return false;
      }
      machine.AddVolume(wchar_t(letter[0]), disk);
    } else {
      *error = "line " + std::to_string(number) + ": unknown device \"" + kind + "\"";
      return false;
    }
  }
  return true;
}

}  // namespace lab
