// Builds a package: KestrelPackageTool OUT.zip DESCRIPTION.txt
#include <cstdio>
#include <string>

#include "package/PackageBuilder.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: KestrelPackageTool OUT.zip DESCRIPTION.txt\n");
    return 2;
  }
  FILE* f = fopen(argv[2], "rb");
  if (!f) {
    fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  std::string text;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  fclose(f);
  std::string base = argv[2];
  size_t slash = base.find_last_of("/\\");
  base = slash == std::string::npos ? "" : base.substr(0, slash + 1);

  pkgbuild::PackageDescription description;
  std::string error;
  if (!pkgbuild::ParseDescription(text, base, &description, &error) ||
      !pkgbuild::WritePackage(argv[1], description, &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  printf("%s: KestrelInfo.ini and %zu images\n", argv[1], description.images.size());
  return 0;
}
