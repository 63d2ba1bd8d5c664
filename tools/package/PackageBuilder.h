// Package builder: a settings description and a set of images in, a package
// ZIP out, holding "KestrelInfo.ini" (UTF-16LE with BOM, CRLF) and the images.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pkgbuild {

using Bytes = std::vector<uint8_t>;

struct PackageImage {
  std::string name;    // e.g. "Micron-B47R_0"; stored as name + ".fw"
  Bytes data;
  std::string source;  // the author's file, for messages only: never written into the package
};

struct PackageDescription {
  std::vector<std::pair<std::string, std::string>> settings;  // [UPDATEINFO], in order, UTF-8
  std::vector<PackageImage> images;
};

// The description text:
//   [UPDATEINFO]            key=value lines, copied in order
//   [IMAGES]                Name=version V pages N [seed S]   (a generated image)
//                           Name=file PATH                    (an image file)
// Lines starting with '#' or ';' are comments.
bool ParseDescription(const std::string& text, const std::string& baseDir, PackageDescription* out,
                      std::string* error);

// The configuration file's bytes: [UPDATEINFO] only, so nothing of the
// author's machine ships.
Bytes MakeConfigFile(const PackageDescription& description);

// Writes the package ZIP (deflate); path is UTF-8.
bool WritePackage(const std::string& zipPath, const PackageDescription& description, std::string* error);

}  // namespace pkgbuild
