// Package builder: a settings description and a set of images in, a package
// ZIP out, holding "KestrelInfo.ini" (UTF-16LE with BOM, CRLF) and the images.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pkgbuild {

using Bytes = std::vector<uint8_t>;
using Problems = std::vector<std::string>;

// line: where the author wrote it (0: not from a description), for messages.
struct Setting {
  std::string key;
  std::string value;  // UTF-8, as written
  int line = 0;
};

struct PackageImage {
  std::string name;    // e.g. "Micron-B47R_0"; stored as name + ".fw"
  Bytes data;
  std::string source;  // the author's file, for messages only: never written into the package
  int line = 0;
  bool made = true;    // false: its file could not be read or its line was wrong
};

struct PackageDescription {
  std::vector<Setting> settings;  // [UPDATEINFO], in order
  std::vector<PackageImage> images;
};

// The description text:
//   [UPDATEINFO]            key=value lines, copied in order
//   [IMAGES]                Name=version V pages N [seed S]   (a generated image)
//                           Name=file PATH                    (an image file)
// Lines starting with '#' or ';' are comments; section names ignore case.
// Every line is read: each wrong one adds "line N: ..." to *problems and the
// rest still counts. true when there was none.
bool ParseDescription(const std::string& text, const std::string& baseDir, PackageDescription* out,
                      Problems* problems);

// The configuration file's bytes: [UPDATEINFO] only, so nothing of the
// author's machine ships.
Bytes MakeConfigFile(const PackageDescription& description);

// Writes the package ZIP (deflate); path is UTF-8.
bool WritePackage(const std::string& zipPath, const PackageDescription& description, std::string* error);

}  // namespace pkgbuild
