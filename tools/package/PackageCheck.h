// Checks for package authors: every setting and image the updater would
// misread or refuse, one line per problem, before a package ships; and the
// stamping of a package into a built updater.
#pragma once

#include <string>
#include <vector>

#include "package/PackageBuilder.h"

namespace pkgbuild {

using Problems = std::vector<std::string>;
using Settings = std::vector<std::pair<std::string, std::string>>;

// The [UPDATEINFO] settings: unknown or repeated keys, a missing or empty
// SOCID, integers that are no numbers, values longer than the updater keeps.
void LintSettings(const Settings& settings, Problems* out);
// One image; name without ".fw".
void LintImage(const std::string& name, const Bytes& data, Problems* out);
// A description file's text: its syntax, its settings and every image it makes.
// Fills *description when the syntax holds.
void LintDescription(const std::string& text, const std::string& baseDir, PackageDescription* description,
                     Problems* out);
// The configuration file's bytes: UTF-16LE with byte-order mark and CR LF, then its settings.
void CheckConfigFile(const Bytes& ini, Problems* out);
// A package ZIP as the updater unpacks it.
void VerifyPackage(const std::string& zipPath, Problems* out);
// Verifies the package, then writes a copy of the updater whose resource
// FWPACKAGEZIP 1000 holds it. Paths are UTF-8.
bool StampUpdater(const std::string& updater, const std::string& zipPath, const std::string& outPath,
                  Problems* out);

}  // namespace pkgbuild
