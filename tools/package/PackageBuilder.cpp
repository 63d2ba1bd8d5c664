#include "package/PackageBuilder.h"

#include <minizip/zip.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "imagegen/FirmwareImage.h"

namespace pkgbuild {

namespace {

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

// UTF-8 to UTF-16LE code units (the descriptions are ASCII in practice).
void AppendUtf16(Bytes& out, const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    uint32_t c = uint8_t(s[i]);
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    c &= extra ? (0x3F >> extra) : 0x7F;
    for (int k = 1; k <= extra && i + k < s.size(); ++k) c = c << 6 | (uint8_t(s[i + k]) & 0x3F);
    i += 1 + extra;
    if (c >= 0x10000) {
      c -= 0x10000;
      uint16_t hi = uint16_t(0xD800 | c >> 10), lo = uint16_t(0xDC00 | (c & 0x3FF));
      out.insert(out.end(), {uint8_t(hi), uint8_t(hi >> 8), uint8_t(lo), uint8_t(lo >> 8)});
    } else {
      out.insert(out.end(), {uint8_t(c), uint8_t(c >> 8)});
    }
  }
}

constexpr size_t MAX_PAGES = 4096;  // 16 MiB, far above any real image
constexpr size_t MAX_VERSION_TEXT = 64;

bool IsNumber(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

bool ReadWholeFile(const std::string& path, Bytes* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  Bytes data;
  uint8_t chunk[4096];
  size_t n;
  bool fits = true;
  while (fits && (n = fread(chunk, 1, sizeof chunk, f)) > 0) {
    data.insert(data.end(), chunk, chunk + n);
    fits = data.size() <= MAX_PAGES * imagegen::PAGE;
  }
  fclose(f);
  *out = std::move(data);
  return fits;
}

bool ParseImage(const std::string& how, const std::string& baseDir, PackageImage* image, std::string* error) {
  std::istringstream words(how);
  std::string word;
  words >> word;
  const std::string& name = image->name;
  if (word == "file") {
    std::string path;
    std::getline(words, path);
    path = Trim(path);
    if (!path.empty() && path[0] != '/' && path.find(':') == std::string::npos) path = baseDir + path;
    image->source = path;
    if (!ReadWholeFile(path, &image->data)) {
      *error = "image " + name + ": cannot read the file " + path + " (missing, or larger than 16 MiB)";
      return false;
    }
    return true;
  }
  imagegen::ImageSpec spec;
  spec.seed = 0;
  for (char c : name) spec.seed = spec.seed * 31 + uint8_t(c);
  while (!word.empty()) {
    std::string value;
    words >> value;
    // Bounded, so a typing error gives a message, not an image of gigabytes
    // or a version text written past the image.
    bool numeric = IsNumber(value) && value.size() <= 9;
    unsigned long number = numeric ? strtoul(value.c_str(), nullptr, 10) : 0;
    if (word == "version" && value.size() <= MAX_VERSION_TEXT) spec.version = value;
    else if (word == "pages" && numeric && number >= imagegen::MIN_PAGES && number <= MAX_PAGES) spec.pages = number;
    else if (word == "seed" && numeric) spec.seed = uint32_t(number);
    else if (word == "version" || word == "pages" || word == "seed") {
      *error = "image " + name + ": " + word + " \"" + value + "\" is out of range (pages " +
               std::to_string(imagegen::MIN_PAGES) + " to " + std::to_string(MAX_PAGES) + ", version up to " +
               std::to_string(MAX_VERSION_TEXT) + " characters)";
      return false;
    }
    else if (word == "fwname") spec.fwName = value;
    else {
      *error = "image " + name + ": unknown word " + word + " (version, pages, seed, fwname or file)";
      return false;
    }
    word.clear();
    words >> word;
  }
  image->data = imagegen::BuildFirmwareImage(spec);
  return true;
}

}  // namespace

bool ParseDescription(const std::string& text, const std::string& baseDir, PackageDescription* out,
                      Problems* problems) {
  std::istringstream lines(text);
  std::string line;
  enum { NONE, SETTINGS, IMAGES, OTHER } section = NONE;
  int number = 0;
  size_t before = problems->size();
  auto problem = [&](const std::string& what) { problems->push_back("line " + std::to_string(number) + ": " + what); };
  while (std::getline(lines, line)) {
    ++number;
    line = Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      std::string name = line;
      for (char& c : name) c = char(toupper(uint8_t(c)));
      section = name == "[UPDATEINFO]" ? SETTINGS : name == "[IMAGES]" ? IMAGES : OTHER;
      // Said once here, not again for each of its lines.
      if (section == OTHER) problem("unknown section " + line + " (only [UPDATEINFO] and [IMAGES])");
      continue;
    }
    if (section == OTHER) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
      problem("no '='");
      continue;
    }
    std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
    if (section == SETTINGS) {
      out->settings.push_back({key, value, number});
    } else if (section == IMAGES) {
      PackageImage image;
      image.name = key;
      image.line = number;
      std::string error;
      image.made = ParseImage(value, baseDir, &image, &error);
      if (!image.made) problem(error);
      out->images.push_back(std::move(image));
    } else {
      problem("outside [UPDATEINFO] and [IMAGES]");
    }
  }
  return problems->size() == before;
}

Bytes MakeConfigFile(const PackageDescription& d) {
  std::string text = "[UPDATEINFO]\r\n";
  for (const Setting& s : d.settings) text += s.key + "=" + s.value + "\r\n";
  Bytes out = {0xFF, 0xFE};
  AppendUtf16(out, text);
  return out;
}

bool WritePackage(const std::string& zipPath, const PackageDescription& d, std::string* error) {
  zipFile zip = zipOpen64(zipPath.c_str(), APPEND_STATUS_CREATE);
  if (!zip) {
    *error = "cannot create " + zipPath;
    return false;
  }
  std::vector<std::pair<std::string, const Bytes*>> items;
  Bytes config = MakeConfigFile(d);
  items.emplace_back("KestrelInfo.ini", &config);
  for (const auto& image : d.images) items.emplace_back(image.name + ".fw", &image.data);
  bool ok = true;
  for (const auto& [name, data] : items) {
    // A fixed, valid DOS date (1980-01-01): the same description gives the same bytes.
    zip_fileinfo info = {};
    info.tmz_date.tm_mday = 1;
    info.tmz_date.tm_mon = 0;
    info.tmz_date.tm_year = 1980;
    ok = zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 9, 0) == ZIP_OK &&
         zipWriteInFileInZip(zip, data->data(), unsigned(data->size())) == ZIP_OK &&
         zipCloseFileInZip(zip) == ZIP_OK;
    if (!ok) {
      *error = "cannot write item " + name;
      break;
    }
  }
  if (zipClose(zip, nullptr) != ZIP_OK && ok) {
    *error = "cannot finish " + zipPath;
    ok = false;
  }
  return ok;
}

}  // namespace pkgbuild
