#include "package/PackageCheck.h"

#include <windows.h>

#include <minizip/unzip.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "imagegen/FirmwareImage.h"
#include "package/Package.h"

namespace pkgbuild {

namespace {

constexpr size_t PAGE = 4096;
constexpr uLong ITEM_SIZE_LIMIT = 64u << 20;  // far above any image; bounds the memory a bad archive asks for

// The keys the updater reads, plus KERNEL and AnyModel which it ignores; the
// longest value it keeps whole (0: an integer).
struct KeyRule {
  const char* key;
  size_t longest;
};
const KeyRule kKeys[] = {
    {"TITLE", 259},         {"SOCID", 63},         {"ModelName", 257},
    {"FWVersion", 257},     {"NEWVERSION", 63},    {"iInternalFWVersionCheckPart", 0},
    {"BeforeMessage", 999}, {"AfterMessage", 999}, {"PowerCtrl", 0},
    {"KERNEL", 1023},       {"AnyModel", 0},
};

std::wstring Wide(const std::string& text, UINT codePage = CP_UTF8) {
  int n = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return L"";
  std::wstring out(size_t(n), L'\0');
  MultiByteToWideChar(codePage, 0, text.c_str(), -1, &out[0], n);
  out.resize(size_t(n - 1));
  return out;
}

std::string Utf8(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return "";
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
  out.resize(size_t(n - 1));
  return out;
}

// Characters as the profile functions count them: UTF-16 code units.
size_t Units(const std::string& value) { return Wide(value).size(); }

bool IsInteger(const std::string& value) {
  size_t at = value[0] == '-' || value[0] == '+' ? 1 : 0;
  return value.size() > at && value.find_first_not_of("0123456789", at) == std::string::npos;
}

// A value as the profile functions give it: one pair of quotes around the
// whole value dropped.
std::string AsRead(const std::string& value) {
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
    return value.substr(1, value.size() - 2);
  return value;
}

std::string At(const std::string& file, int line) {
  if (line > 0) return (file.empty() ? "" : file + " ") + "line " + std::to_string(line) + ": ";
  return file.empty() ? "" : file + ": ";
}

// Problems from before on in the order of their lines ("FILE line N: ");
// what no line holds comes last.
void SortByLine(Problems* out, size_t before, const std::string& file) {
  std::string prefix = (file.empty() ? "" : file + " ") + "line ";
  auto lineOf = [&](const std::string& p) {
    return p.compare(0, prefix.size(), prefix) == 0 ? atoi(p.c_str() + prefix.size()) : INT_MAX;
  };
  std::stable_sort(out->begin() + long(before), out->end(),
                   [&](const std::string& a, const std::string& b) { return lineOf(a) < lineOf(b); });
}

bool IsBlankChar(char c) { return c == ' ' || c == '\t'; }

// A ";" list as the gating reads it: ";" + value + ";" searched for ";" +
// model + ";", so a comma or a blank at an item's end is part of the item.
void LintList(const std::string& key, const std::string& value, const std::string& at, Problems* out) {
  if (value.find(',') != std::string::npos) {
    out->push_back(at + "key " + key + ": \"" + value + "\" holds \",\": items are separated by \";\" alone, " +
                   "and a \",\" belongs to the item, so no drive matches it");
    return;
  }
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = std::min(value.find(';', start), value.size());
    std::string item = value.substr(start, end - start);
    if (!item.empty() && (IsBlankChar(item.front()) || IsBlankChar(item.back()))) {
      out->push_back(at + "key " + key + ": the item \"" + item + "\" has a blank at its start or end, " +
                     "which belongs to the item, so no drive matches it");
      return;
    }
    start = end + 1;
  }
}

// A message is one line: only "<BR>", in capitals, becomes a line break.
void LintMessage(const std::string& key, const std::string& value, const std::string& at, Problems* out) {
  for (const char* typed : {"\\n", "\\r"})
    if (value.find(typed) != std::string::npos)
      out->push_back(at + "key " + key + ": \"" + typed + "\" is shown as typed; the line break is <BR>");
  for (size_t i = 0; i + 4 <= value.size(); ++i) {
    std::string mark = value.substr(i, 4);
    if (_stricmp(mark.c_str(), "<BR>") == 0 && mark != "<BR>") {
      out->push_back(at + "key " + key + ": \"" + mark + "\" is shown as typed; the line break is <BR>, in capitals");
      break;
    }
  }
}

// A whole number the updater acts on: its range and what the value does.
void LintNumber(const KeyRule& rule, const std::string& value, const std::string& at, Problems* out) {
  long long number = value.size() > 12 ? LLONG_MAX : strtoll(value.c_str(), nullptr, 10);
  std::string key = rule.key;
  if (key == "PowerCtrl" && (number < 0 || number > 2)) {
    long long kept = number & 0xFF;  // what the updater keeps
    out->push_back(at + "key PowerCtrl: " + value + " is not 0 (OK only), 1 (OK powers the computer off) or 2 " +
                   "(OK restarts it); " +
                   (kept <= 2 ? "the updater keeps only its low 8 bits, " + std::to_string(kept)
                              : std::string("after a good update no closing message would appear")));
  }
  if (key == "iInternalFWVersionCheckPart" && (number < 0 || number > 4))
    out->push_back(at + "key iInternalFWVersionCheckPart: " + value + " is outside 0 to 4 (a version text such as " +
                   "1.4.B.22 has four parts; 3 compares 1.4.B, 0 none)");
  if (key == "AnyModel" && number != 0 && number != 1)
    out->push_back(at + "key AnyModel: " + value + " is not 0 or 1 (1: an empty ModelName is meant)");
}

bool IsSocId(const std::string& value) {
  if (value == "*" || value == "VORTALEX") return true;
  return value.size() == 4 && value.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// The image check refused it: if resealing alone makes it pass, only the
// trailer CRC was wrong.
bool OnlyTheCrcIsWrong(const Bytes& data) {
  size_t pages = data.size() / PAGE;
  imagegen::Ranges r = imagegen::ReadRanges(data);
  for (int i = 0; i < 3; ++i)
    if (r.first[i] >= pages || r.last[i] >= pages || r.first[i] > r.last[i]) return false;
  if (size_t(r.last[2]) + 1 >= pages) return false;
  Bytes sealed = data;
  imagegen::SealImage(sealed);
  return CheckFirmwareImage(sealed.data(), DWORD(sealed.size())) == 1;
}

// Blanks as the profile functions drop them: tab to CR, space, the DOS end-of-file mark.
std::wstring IniTrim(const std::wstring& s) {
  const wchar_t blanks[] = L"\t\n\v\f\r \x1A";
  size_t a = s.find_first_not_of(blanks);
  if (a == std::wstring::npos) return L"";
  return s.substr(a, s.find_last_not_of(blanks) - a + 1);
}

// A DOS date that names a real day: what zip readers show and restore.
bool IsValidDosDate(const tm_unz& t) {
  return t.tm_year >= 1980 && t.tm_mon <= 11 && t.tm_mday >= 1 && t.tm_mday <= 31 && t.tm_hour <= 23 &&
         t.tm_min <= 59 && t.tm_sec <= 59;
}

}  // namespace

void LintSettings(const Settings& settings, Problems* out, const std::string& file) {
  std::vector<std::pair<const KeyRule*, const Setting*>> seen;
  const Setting* socId = nullptr;
  const Setting* model = nullptr;
  bool anyModel = false;
  for (const Setting& s : settings) {
    const std::string& key = s.key;
    std::string at = At(file, s.line), value = AsRead(s.value);
    const KeyRule* rule = nullptr;
    for (const KeyRule& k : kKeys)
      if (_stricmp(k.key, key.c_str()) == 0) rule = &k;
    if (rule == nullptr) {
      out->push_back(at + "unknown key " + key + " (the updater reads no such setting)");
      continue;
    }
    const Setting* first = nullptr;
    for (const auto& [r, earlier] : seen)
      if (r == rule && first == nullptr) first = earlier;
    if (first != nullptr) {
      out->push_back(at + "key " + key + " appears twice (only the first" +
                     (first->line > 0 ? ", on line " + std::to_string(first->line) + "," : "") + " counts)");
      continue;
    }
    seen.emplace_back(rule, &s);
    std::string name = rule->key;
    if (rule->longest == 0) {
      if (!IsInteger(value)) out->push_back(at + "key " + key + ": \"" + value + "\" is not a whole number");
      else LintNumber(*rule, value, at, out);
    } else if (Units(value) > rule->longest) {
      out->push_back(at + "key " + key + ": " + std::to_string(Units(value)) + " characters, at most " +
                     std::to_string(rule->longest) + " are kept");
    }
    if (name == "SOCID") {
      socId = &s;
      if (value.empty()) out->push_back(at + "key SOCID is empty (no drive would be listed)");
      else if (!IsSocId(value))
        out->push_back(at + "key SOCID: \"" + value + "\" is none of * (any controller), VORTALEX (any controller " +
                       "that tells its identifier) or an identifier of four upper-case hexadecimal digits, such as 2263");
    } else if (name == "ModelName" || name == "FWVersion") {
      if (name == "ModelName") model = &s;
      LintList(key, value, at, out);
    } else if (name == "BeforeMessage" || name == "AfterMessage") {
      LintMessage(key, value, at, out);
    } else if (name == "AnyModel") {
      anyModel = IsInteger(value) && strtoll(value.c_str(), nullptr, 10) == 1;
    }
  }
  if (socId == nullptr) out->push_back(At(file, 0) + "key SOCID is missing (no drive would be listed)");
  if (!anyModel && (model == nullptr || AsRead(model->value).empty()))
    out->push_back(At(file, model != nullptr ? model->line : 0) + kWarning + "key ModelName is " +
                   (model != nullptr ? "empty" : "missing") + ": every drive the SOCID accepts would be offered, " +
                   "whatever its model (write AnyModel=1 if that is meant)");
}

std::vector<std::string> NandNames() {
  static std::vector<std::string> names;
  if (names.empty()) {
    // Asked of the updater's own table, so the list is always the one it chooses by.
    for (UINT32 code = 0; code < NAND_TYPE_UNLISTED; ++code) {
      WCHAR name[MAX_PATH] = L"";
      if (GetNandName(code, name) && name[0] != L'\0') names.push_back(Utf8(name));
    }
    WCHAR unlisted[MAX_PATH] = L"";
    GetNandName(NAND_TYPE_UNLISTED, unlisted);
    names.push_back(Utf8(unlisted));
  }
  return names;
}

namespace {

// The image choice forms "%s_%d.fw" from the NAND name and the LUN count.
void LintImageName(const std::string& name, Problems* out) {
  std::string file = name + ".fw";
  if (IsPackageImageName(Wide(file).c_str())) return;
  size_t underscore = name.rfind('_');
  std::string nand = name.substr(0, underscore);
  bool known = false;
  for (const std::string& n : NandNames()) known = known || _stricmp(n.c_str(), nand.c_str()) == 0;
  if (!known)
    out->push_back("image " + file + ": \"" + nand + "\" is no NAND name of the table (KestrelPackageTool names " +
                   "lists them; Unknow for flash the table does not know)");
  else if (underscore == std::string::npos)
    out->push_back("image " + file + ": the NAND name needs \"_\" and a LUN count after it, such as " + nand +
                   "_0.fw");
  else
    out->push_back("image " + file + ": \"" + name.substr(underscore + 1) + "\" is no LUN count as the updater " +
                   "writes it (decimal, no leading zero), such as " + nand + "_0.fw");
}

}  // namespace

void LintImage(const std::string& name, const Bytes& data, Problems* out) {
  std::string file = name + ".fw";
  LintImageName(name, out);
  if (data.size() < 4 || memcmp(data.data(), "CMFG", 4) != 0) {
    out->push_back("image " + file + ": does not begin with CMFG");
  } else if (data.empty() || data.size() % PAGE != 0) {
    out->push_back("image " + file + ": " + std::to_string(data.size()) + " bytes are not whole 4096-byte pages");
  } else if (!CheckFirmwareImage(data.data(), DWORD(data.size()))) {
    if (OnlyTheCrcIsWrong(data))
      out->push_back("image " + file + ": the trailer CRC does not match the content");
    else
      out->push_back("image " + file + ": the page ranges of its header do not fit the image");
  }
  char version[9];
  if (!FindVersionText(data.data(), DWORD(data.size()), version))
    out->push_back("image " + file + ": holds no version text");
}

void LintDescription(const std::string& text, const std::string& baseDir, PackageDescription* description,
                     Problems* out) {
  *description = PackageDescription();
  size_t before = out->size();
  ParseDescription(text, baseDir, description, out);
  LintSettings(description->settings, out);
  if (description->images.empty()) out->push_back("no image");
  const std::vector<PackageImage>& images = description->images;
  for (size_t i = 0; i < images.size(); ++i) {
    std::string at = At("", images[i].line);
    bool twice = false;
    for (size_t j = 0; j < i && !twice; ++j) {
      twice = _stricmp(images[j].name.c_str(), images[i].name.c_str()) == 0;
      if (twice)
        out->push_back(at + "image " + images[i].name + ".fw appears twice (first on line " +
                       std::to_string(images[j].line) + "); a package holds one item of a name");
    }
    if (twice) continue;
    Problems own;
    if (images[i].made) LintImage(images[i].name, images[i].data, &own);
    else LintImageName(images[i].name, &own);
    for (const std::string& p : own) out->push_back(at + p);
  }
  SortByLine(out, before, "");
}

void CheckConfigFile(const Bytes& ini, Problems* out) {
  if (ini.size() < 2 || ini[0] != 0xFF || ini[1] != 0xFE) {
    out->push_back("KestrelInfo.ini: not UTF-16LE with the byte-order mark FF FE");
    return;
  }
  if (ini.size() % 2 != 0) out->push_back("KestrelInfo.ini: an odd number of bytes is no UTF-16 text");
  std::wstring text;
  for (size_t i = 2; i + 1 < ini.size(); i += 2) text += wchar_t(ini[i] | ini[i + 1] << 8);
  for (size_t i = 0; i < text.size(); ++i) {
    bool lone = (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) ||
                (text[i] == L'\r' && (i + 1 == text.size() || text[i + 1] != L'\n'));
    if (lone) {
      out->push_back("KestrelInfo.ini: lines are not all ended by CR LF");
      break;
    }
  }
  // Read as the profile functions read it: lines end at CR or LF, blanks go,
  // section names ignore case, and only the first [UPDATEINFO] is searched,
  // up to the next section header.
  Settings settings;
  size_t before = out->size();
  enum { BEFORE, INSIDE, AFTER } state = BEFORE;
  int number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = std::min(text.find_first_of(L"\r\n", start), text.size());
    std::wstring line = IniTrim(text.substr(start, end - start));
    start = end + (text.compare(end, 2, L"\r\n") == 0 ? 2 : 1);
    ++number;
    std::string at = At("KestrelInfo.ini", number);
    size_t close = line.rfind(L']');
    if (!line.empty() && line[0] == L'[' && close != std::wstring::npos && close > 0) {
      std::wstring name = IniTrim(line.substr(1, close - 1));
      if (state == INSIDE) state = AFTER;
      if (!name.empty() && _wcsicmp(name.c_str(), L"UPDATEINFO") == 0) {
        if (state == BEFORE) state = INSIDE;
        else out->push_back(at + "a second [UPDATEINFO] section: the updater reads only the first");
      }
      continue;
    }
    if (state != INSIDE || line.empty() || line[0] == L';') continue;
    size_t eq = line.find(L'=');
    std::string key = Utf8(IniTrim(line.substr(0, eq)));
    if (eq == std::wstring::npos) {
      out->push_back(at + "\"" + key + "\" has no \"=\" (the updater takes such a key as missing)");
      continue;
    }
    settings.push_back({key, Utf8(IniTrim(line.substr(eq + 1))), number});
  }
  LintSettings(settings, out, "KestrelInfo.ini");
  SortByLine(out, before, "KestrelInfo.ini");
}

void VerifyPackage(const std::string& zipPath, Problems* out) {
  unzFile zip = unzOpen64(zipPath.c_str());
  if (zip == nullptr) {
    out->push_back(zipPath + ": not a ZIP archive that can be opened");
    return;
  }
  std::vector<std::wstring> names;
  int configs = 0, images = 0;
  int status = unzGoToFirstFile(zip);
  while (status == UNZ_OK) {
    char stored[512];
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip, &info, stored, sizeof stored, nullptr, 0, nullptr, 0) != UNZ_OK) break;
    std::string name = stored;
    std::wstring wide = Wide(name);
    bool twice = false;
    for (const std::wstring& n : names) twice = twice || _wcsicmp(n.c_str(), wide.c_str()) == 0;
    names.push_back(wide);
    bool isConfig = name == "KestrelInfo.ini";
    bool isImage = name.size() > 3 && _stricmp(name.c_str() + name.size() - 3, ".fw") == 0;
    if (info.size_filename >= sizeof stored) {
      out->push_back("an item name of " + std::to_string(info.size_filename) + " bytes is too long");
    } else if (twice) {
      out->push_back("item " + name + " appears twice");
    } else if (!isConfig && !isImage) {
      out->push_back("item " + name + " is neither KestrelInfo.ini nor a firmware image (.fw)");
    } else if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
      out->push_back("item " + name + ": compression method " + std::to_string(info.compression_method) +
                     " is neither stored nor deflated");
    } else if (info.flag & 1u) {
      out->push_back("item " + name + " is encrypted");
    } else if (info.uncompressed_size > ITEM_SIZE_LIMIT) {
      out->push_back("item " + name + ": " + std::to_string(info.uncompressed_size) + " bytes is too large");
    } else {
      if (!IsValidDosDate(info.tmu_date)) out->push_back("item " + name + ": its DOS date names no real day");
      Bytes data;
      bool whole = unzOpenCurrentFile(zip) == UNZ_OK;
      if (whole) {
        uint8_t chunk[16384];
        int n;
        while ((n = unzReadCurrentFile(zip, chunk, sizeof chunk)) > 0 && data.size() <= ITEM_SIZE_LIMIT)
          data.insert(data.end(), chunk, chunk + n);
        whole = n == 0 && unzCloseCurrentFile(zip) == UNZ_OK;
        if (n != 0) unzCloseCurrentFile(zip);
      }
      uLong crc = crc32(crc32(0L, Z_NULL, 0), data.data(), uInt(data.size()));
      if (!whole || data.size() != info.uncompressed_size || crc != info.crc) {
        out->push_back("item " + name + " is damaged (its size or CRC does not match)");
      } else if (isConfig) {
        ++configs;
        CheckConfigFile(data, out);
      } else {
        ++images;
        LintImage(name.substr(0, name.size() - 3), data, out);
      }
    }
    status = unzGoToNextFile(zip);
  }
  if (status != UNZ_OK && status != UNZ_END_OF_LIST_OF_FILE) out->push_back(zipPath + ": the archive is damaged");
  unzClose(zip);
  if (configs == 0) out->push_back("no KestrelInfo.ini");
  if (images == 0) out->push_back("no firmware image");
}

bool StampUpdater(const std::string& updater, const std::string& zipPath, const std::string& outPath,
                  Problems* out) {
  size_t before = out->size();
  VerifyPackage(zipPath, out);
  if (HasProblem(Problems(out->begin() + long(before), out->end()))) return false;
  FILE* f = fopen(zipPath.c_str(), "rb");
  Bytes package;
  if (f != nullptr) {
    uint8_t chunk[16384];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) package.insert(package.end(), chunk, chunk + n);
    fclose(f);
  }
  std::wstring source = Wide(updater, CP_ACP), target = Wide(outPath, CP_ACP);
  if (package.empty() || !CopyFileW(source.c_str(), target.c_str(), FALSE)) {
    out->push_back("cannot copy " + updater + " to " + outPath);
    return false;
  }
  // Every language of the old resource goes, so the lookup, which names no
  // language, can find only the new package.
  std::vector<WORD> languages;
  HMODULE image = LoadLibraryExW(target.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (image != nullptr) {
    EnumResourceLanguagesW(
        image, PACKAGE_RESOURCE_TYPE, MAKEINTRESOURCEW(PACKAGE_RESOURCE_ID),
        [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list) -> BOOL {
          reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
          return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&languages));
    FreeLibrary(image);
  }
  if (languages.empty()) {
    out->push_back(updater + " carries no resource FWPACKAGEZIP 1000: not an updater");
    DeleteFileW(target.c_str());
    return false;
  }
  HANDLE update = BeginUpdateResourceW(target.c_str(), FALSE);
  bool ok = update != nullptr;
  for (size_t i = 1; ok && i < languages.size(); ++i)
    ok = UpdateResourceW(update, PACKAGE_RESOURCE_TYPE, MAKEINTRESOURCEW(PACKAGE_RESOURCE_ID), languages[i], nullptr,
                         0) != 0;
  if (ok)
    ok = UpdateResourceW(update, PACKAGE_RESOURCE_TYPE, MAKEINTRESOURCEW(PACKAGE_RESOURCE_ID), languages[0],
                         package.data(), DWORD(package.size())) != 0;
  if (update != nullptr && !EndUpdateResourceW(update, ok ? FALSE : TRUE)) ok = false;
  // Read back: the stamped program must carry exactly this package.
  image = ok ? LoadLibraryExW(target.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE) : nullptr;
  if (image != nullptr) {
    HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(PACKAGE_RESOURCE_ID), PACKAGE_RESOURCE_TYPE);
    const void* bytes = found ? LockResource(LoadResource(image, found)) : nullptr;
    ok = bytes != nullptr && SizeofResource(image, found) == package.size() &&
         memcmp(bytes, package.data(), package.size()) == 0;
    FreeLibrary(image);
  } else {
    ok = false;
  }
  if (!ok) {
    out->push_back("cannot write the package into " + outPath + " (error " + std::to_string(GetLastError()) + ")");
    DeleteFileW(target.c_str());
  }
  return ok;
}

}  // namespace pkgbuild
