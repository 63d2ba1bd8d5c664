// Checks for package authors: every setting and image the updater would
// misread or refuse, one line per problem, before a package ships; and the
// stamping of a package into a built updater.
#pragma once

#include <string>
#include <vector>

#include "package/PackageBuilder.h"

namespace pkgbuild {

using Settings = std::vector<Setting>;

// A line that tells the author something risky but meant to be possible (an
// empty ModelName): it is printed, and neither fails lint nor stops build.
constexpr const char kWarning[] = "warning: ";
inline bool IsWarning(const std::string& problem) { return problem.find(kWarning) != std::string::npos; }
// 1 when a problem other than a warning is among them.
inline bool HasProblem(const std::vector<std::string>& problems) {
  for (const std::string& p : problems)
    if (!IsWarning(p)) return true;
  return false;
}

// The [UPDATEINFO] settings, each value as the profile functions give it:
// unknown or repeated keys, a missing or empty SOCID, a missing or empty
// ModelName (unless AnyModel=1), integers that are no numbers or outside what
// the updater acts on, lists and messages it would misread, values longer
// than it keeps. A problem of a setting with a line names it: "line N: " in a
// description, "FILE line N: " when file names a configuration file.
void LintSettings(const Settings& settings, Problems* out, const std::string& file = "");
// One image; name without ".fw".
void LintImage(const std::string& name, const Bytes& data, Problems* out);
// A description file's text: its syntax, its settings and every image it
// makes, all in one pass; problems with a line come in the order of the lines.
void LintDescription(const std::string& text, const std::string& baseDir, PackageDescription* description,
                     Problems* out);
// The configuration file's bytes: UTF-16LE with byte-order mark and CR LF, then its settings.
void CheckConfigFile(const Bytes& ini, Problems* out);
// The NAND names of the updater's table, by type code, then "Unknow".
std::vector<std::string> NandNames();
// A package ZIP as the updater unpacks it.
void VerifyPackage(const std::string& zipPath, Problems* out);
// Verifies the package, then writes a copy of the updater whose resource
// FWPACKAGEZIP 1000 holds it. Paths are UTF-8.
bool StampUpdater(const std::string& updater, const std::string& zipPath, const std::string& outPath,
                  Problems* out);

}  // namespace pkgbuild
