#include "package/PackageCheck.h"

#include <windows.h>

#include <minizip/unzip.h>

#include <cstring>

#include "imagegen/FirmwareImage.h"
#include "package/Package.h"

namespace pkgbuild {

namespace {

constexpr size_t PAGE = 4096;
constexpr uLong ITEM_SIZE_LIMIT = 64u << 20;  // far above any image; bounds the memory a bad archive asks for

// The keys the updater reads, plus KERNEL which it ignores; the longest value
// it keeps whole (0: an integer).
struct KeyRule {
  const char* key;
  size_t longest;
};
const KeyRule kKeys[] = {
    {"TITLE", 259},         {"SOCID", 63},        {"ModelName", 257},
    {"FWVersion", 257},     {"NEWVERSION", 63},   {"iInternalFWVersionCheckPart", 0},
    {"BeforeMessage", 999}, {"AfterMessage", 999}, {"PowerCtrl", 0},
    {"KERNEL", 1023},
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

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// A DOS date that names a real day: what zip readers show and restore.
bool IsValidDosDate(const tm_unz& t) {
  return t.tm_year >= 1980 && t.tm_mon <= 11 && t.tm_mday >= 1 && t.tm_mday <= 31 && t.tm_hour <= 23 &&
         t.tm_min <= 59 && t.tm_sec <= 59;
}

}  // namespace

void LintSettings(const Settings& settings, Problems* out) {
  std::vector<std::string> seen;
  bool socId = false;
  for (const auto& [key, value] : settings) {
    const KeyRule* rule = nullptr;
    for (const KeyRule& k : kKeys)
      if (_stricmp(k.key, key.c_str()) == 0) rule = &k;
    if (rule == nullptr) {
      out->push_back("unknown key " + key + " (the updater reads no such setting)");
      continue;
    }
    bool repeated = false;
    for (const std::string& s : seen) repeated = repeated || _stricmp(s.c_str(), rule->key) == 0;
    if (repeated) {
      out->push_back("key " + key + " appears twice (only the first counts)");
      continue;
    }
    seen.push_back(rule->key);
    if (rule->longest == 0) {
      if (!IsInteger(value)) out->push_back("key " + key + ": \"" + value + "\" is not a whole number");
    } else if (Units(value) > rule->longest) {
      out->push_back("key " + key + ": " + std::to_string(Units(value)) + " characters, at most " +
                     std::to_string(rule->longest) + " are kept");
    }
    if (strcmp(rule->key, "SOCID") == 0) {
      socId = true;
      if (value.empty()) out->push_back("key SOCID is empty (no drive would be listed)");
      else if (!IsSocId(value))
        out->push_back("key SOCID: \"" + value + "\" is neither *, VORTALEX nor four upper-case hexadecimal digits");
    }
  }
  if (!socId) out->push_back("key SOCID is missing (no drive would be listed)");
}

void LintImage(const std::string& name, const Bytes& data, Problems* out) {
  std::string file = name + ".fw";
  if (!IsPackageImageName(Wide(file).c_str()))
    out->push_back("image " + file + ": the name is not a NAND name of the table or Unknow, \"_\" and a number");
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
  std::string error;
  *description = PackageDescription();
  if (!ParseDescription(text, baseDir, description, &error)) {
    out->push_back(error);
    return;
  }
  LintSettings(description->settings, out);
  if (description->images.empty()) out->push_back("no image");
  for (const PackageImage& image : description->images) LintImage(image.name, image.data, out);
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
  Settings settings;
  bool inSection = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::string line = Trim(Utf8(text.substr(start, end - start)));
    if (!line.empty() && line.back() == '\r') line = Trim(line.substr(0, line.size() - 1));
    start = end + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      inSection = _stricmp(line.c_str(), "[UPDATEINFO]") == 0;
      continue;
    }
    size_t eq = line.find('=');
    if (inSection && eq != std::string::npos) settings.emplace_back(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
  }
  LintSettings(settings, out);
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
  if (out->size() != before) return false;
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
