// The package author's tool:
//   KestrelPackageTool lint DESCRIPTION.txt
//   KestrelPackageTool verify PACKAGE.zip
//   KestrelPackageTool build OUT.zip DESCRIPTION.txt
//   KestrelPackageTool stamp Kestrel.exe PACKAGE.zip OUT.exe
//   KestrelPackageTool names
// Every problem is one line on standard output; the exit code is 0 when
// there is none, 1 when there are, 2 for a wrong command line.
#include <cstdio>
#include <cstring>
#include <string>

#include "package/PackageCheck.h"

namespace {

int Usage() {
  fprintf(stderr,
          "usage: KestrelPackageTool lint DESCRIPTION.txt\n"
          "       KestrelPackageTool verify PACKAGE.zip\n"
          "       KestrelPackageTool build OUT.zip DESCRIPTION.txt\n"
          "       KestrelPackageTool stamp Kestrel.exe PACKAGE.zip OUT.exe\n"
          "       KestrelPackageTool names      (the NAND names an image name begins with)\n");
  return 2;
}

int Report(const char* subject, const pkgbuild::Problems& problems) {
  for (const std::string& p : problems) printf("%s: %s\n", subject, p.c_str());
  return pkgbuild::HasProblem(problems) ? 1 : 0;
}

// Lints the description; *description is what build writes when it has no problem.
int Lint(const char* path, pkgbuild::PackageDescription* description) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    printf("%s: cannot be read\n", path);
    return 1;
  }
  std::string text;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  fclose(f);
  std::string base = path;
  size_t slash = base.find_last_of("/\\");
  base = slash == std::string::npos ? "" : base.substr(0, slash + 1);
  pkgbuild::Problems problems;
  pkgbuild::LintDescription(text, base, description, &problems);
  return Report(path, problems);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  pkgbuild::PackageDescription description;
  if (command == "names" && argc == 2) {
    for (const std::string& name : pkgbuild::NandNames()) printf("%s\n", name.c_str());
    return 0;
  }
  if (command == "lint" && argc == 3) return Lint(argv[2], &description);
  if (command == "verify" && argc == 3) {
    pkgbuild::Problems problems;
    pkgbuild::VerifyPackage(argv[2], &problems);
    if (!pkgbuild::HasProblem(problems)) printf("%s: a good package\n", argv[2]);
    return Report(argv[2], problems);
  }
  if (command == "build" && argc == 4) {
    int result = Lint(argv[3], &description);
    if (result != 0) return result;
    std::string error;
    if (!pkgbuild::WritePackage(argv[2], description, &error)) {
      printf("%s: %s\n", argv[2], error.c_str());
      return 1;
    }
    printf("%s: KestrelInfo.ini and %zu images\n", argv[2], description.images.size());
    return 0;
  }
  if (command == "stamp" && argc == 5) {
    pkgbuild::Problems problems;
    if (pkgbuild::StampUpdater(argv[2], argv[3], argv[4], &problems)) {
      printf("%s: carries %s\n", argv[4], argv[3]);
      return 0;
    }
    return Report(argv[3], problems);
  }
  return Usage();
}
