// The machine kept from one run of the lab program to the next, as a PC
// keeps its drives' firmware, its registry and its clock. One line per item,
// words separated by blanks, every byte string in hex ("-" when empty).
#include <cstdio>
#include <deque>
#include <fstream>
#include <sstream>

#include "Devices.h"
#include "MachineImpl.h"

namespace lab {

namespace {

constexpr char kHeader[] = "kestrel-lab-state 1";
// A century of the lab's clock, in milliseconds: beyond it its wall time
// would run past what Windows can show.
constexpr ULONGLONG kMaxClockMs = 100ull * 366 * 24 * 3600 * 1000;

// A number as SaveState writes it: decimal digits, no sign, at most max.
// ">>" would take "-1" as the largest number and leave "0x10" half read.
template <typename T>
bool ReadNumber(std::istringstream& words, ULONGLONG max, T* value) {
  std::string word;
  if (!(words >> word) || word.size() > 19 || word.find_first_not_of("0123456789") != std::string::npos) return false;
  ULONGLONG number = std::stoull(word);
  if (number > max) return false;
  *value = T(number);
  return true;
}

// Nothing follows the words a line takes.
bool Ended(std::istringstream& words) {
  std::string more;
  return !(words >> more);
}

std::string ToHex(const uint8_t* p, size_t n) {
  if (n == 0) return "-";
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}
std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }
std::string ToHex(const std::string& s) { return ToHex(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
std::string ToHex(const std::wstring& s) {
  return ToHex(reinterpret_cast<const uint8_t*>(s.data()), s.size() * sizeof(wchar_t));
}

bool FromHex(const std::string& text, Bytes* out) {
  out->clear();
  if (text == "-") return true;
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = isxdigit(uint8_t(text[i])) ? std::stoi(text.substr(i, 1), nullptr, 16) : -1;
    int lo = isxdigit(uint8_t(text[i + 1])) ? std::stoi(text.substr(i + 1, 1), nullptr, 16) : -1;
    if (hi < 0 || lo < 0) return false;
    out->push_back(uint8_t(hi << 4 | lo));
  }
  return true;
}
bool FromHex(const std::string& text, std::string* out) {
  Bytes b;
  if (!FromHex(text, &b)) return false;
  out->assign(b.begin(), b.end());
  return true;
}
bool FromHex(const std::string& text, std::wstring* out) {
  Bytes b;
  if (!FromHex(text, &b) || b.size() % sizeof(wchar_t) != 0) return false;
  out->assign(reinterpret_cast<const wchar_t*>(b.data()), b.size() / sizeof(wchar_t));
  return true;
}

}  // namespace

bool Machine::SaveState(const std::wstring& file, std::string* error) const {
  std::ostringstream out;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    out << kHeader << "\nclock " << impl_->clock << " " << impl_->bootAt << "\n";
    for (const auto& [path, values] : impl_->registry) {
      out << "key " << ToHex(path) << "\n";
      for (const auto& [name, value] : values)
        out << "value " << ToHex(path) << " " << ToHex(name) << " " << value.type << " " << ToHex(value.data) << "\n";
    }
    for (const auto& [number, disk] : impl_->disks) {
      NvmeDrive::KeptState kept = disk->drive().Kept();
      const std::string& serial = disk->drive().spec().serial;
      out << "drive " << ToHex(serial) << " " << kept.active << " " << kept.pending << " "
          << kept.pendingNeedsPowerOff << " " << ToHex(kept.running) << " " << ToHex(kept.personality) << "\n";
      for (size_t i = 0; i < kept.images.size(); ++i)
        out << "slot " << ToHex(serial) << " " << ToHex(kept.revisions[i]) << " " << ToHex(kept.images[i]) << "\n";
    }
  }
  // Written whole beside the file, then put in its place: a run that is
  // killed never leaves half a machine.
  std::wstring temporary = file + L".new";
  FILE* f = _wfopen(temporary.c_str(), L"wb");
  std::string text = out.str();
  bool written = f != nullptr && fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f != nullptr) written = fclose(f) == 0 && written;
  if (!written || !MoveFileExW(temporary.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = "the machine's state could not be written (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  return true;
}

bool Machine::LoadState(const std::wstring& file, std::string* error) {
  FILE* f = _wfopen(file.c_str(), L"rb");
  if (f == nullptr) {
    *error = "the machine's state cannot be read";
    return false;
  }
  std::string text;
  char chunk[65536];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
  fclose(f);

  // Everything is read and judged first; only a whole state is applied.
  std::istringstream in(text);
  std::string line;
  ULONGLONG clock = 0, bootAt = 0;
  decltype(impl_->registry) registry;
  // In the order written: drives that report one serial number are kept in
  // the order of their disks, each followed by its slots.
  std::vector<std::pair<std::string, NvmeDrive::KeptState>> drives;
  int number = 0;
  bool headed = false;
  while (std::getline(in, line)) {
    ++number;
    std::istringstream words(line);
    std::string kind;
    words >> kind;
    bool ok = true;
    if (number == 1) {
      ok = headed = line == kHeader;
    } else if (kind == "clock") {
      ok = ReadNumber(words, kMaxClockMs, &clock) && ReadNumber(words, clock, &bootAt);
    } else if (kind == "key") {
      std::string path;
      std::wstring wide;
      ok = bool(words >> path) && FromHex(path, &wide);
      if (ok) registry[wide];
    } else if (kind == "value") {
      std::string path, name, data;
      DWORD type = 0;
      std::wstring widePath, wideName;
      RegistryValue value;
      ok = bool(words >> path >> name) && ReadNumber(words, MAXDWORD, &type) && bool(words >> data) &&
           FromHex(path, &widePath) && FromHex(name, &wideName) && FromHex(data, &value.data) &&
           registry.count(widePath) != 0;
      value.type = type;
      if (ok) registry[widePath][wideName] = value;
    } else if (kind == "drive") {
      std::string serial, running, personality;
      NvmeDrive::KeptState kept;
      ok = bool(words >> serial) && ReadNumber(words, 255, &kept.active) && ReadNumber(words, 255, &kept.pending) &&
           ReadNumber(words, 1, &kept.pendingNeedsPowerOff) && bool(words >> running >> personality) &&
           FromHex(running, &kept.running) && FromHex(personality, &kept.personality);
      if (ok) drives.emplace_back(serial, kept);
    } else if (kind == "slot") {
      std::string serial, revision, image;
      Bytes bytes;
      std::string rev;
      ok = bool(words >> serial >> revision >> image) && !drives.empty() && drives.back().first == serial &&
           FromHex(revision, &rev) && FromHex(image, &bytes);
      if (ok) {
        drives.back().second.revisions.push_back(rev);
        drives.back().second.images.push_back(bytes);
      }
    } else {
      ok = kind.empty();
    }
    ok = ok && (number == 1 || Ended(words));
    if (!ok) {
      *error = "line " + std::to_string(number) + " of the machine's state is not understood";
      return false;
    }
  }
  if (!headed) {
    *error = "this is no machine state of the lab";
    return false;
  }

  std::lock_guard<std::recursive_mutex> lock(mu_);
  // The scenario's drives of each serial number, in the order of their disks.
  std::map<std::string, std::deque<NvmeDrive*>> present;
  for (auto& [n, disk] : impl_->disks) present[ToHex(disk->drive().spec().serial)].push_back(&disk->drive());
  std::vector<NvmeDrive*> targets;
  for (const auto& [serial, kept] : drives) {
    if (present[serial].empty()) {
      std::string name;
      FromHex(serial, &name);
      *error = "the machine's state has a drive " + name + " the scenario does not";
      return false;
    }
    targets.push_back(present[serial].front());
    present[serial].pop_front();
  }
  std::map<NvmeDrive*, NvmeDrive::KeptState> before;
  for (size_t i = 0; i < drives.size(); ++i) {
    const auto& [serial, kept] = drives[i];
    NvmeDrive* drive = targets[i];
    before[drive] = drive->Kept();
    if (!drive->Restore(kept)) {
      for (auto& [d, old] : before) d->Restore(old);
      std::string name;
      FromHex(serial, &name);
      *error = "the kept state of drive " + name + " does not fit the scenario's drive";
      return false;
    }
  }
  if (clock > impl_->clock) {
    impl_->clock = clock;
    impl_->bootAt = bootAt;
  }
  impl_->registry = registry;
  return true;
}

}  // namespace lab
