// Writes one synthetic firmware image: KestrelImageTool OUT.fw [version] [pages] [seed]
#include <cstdio>
#include <cstdlib>

#include "imagegen/FirmwareImage.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: KestrelImageTool OUT.fw [version] [pages] [seed]\n");
    return 2;
  }
  imagegen::ImageSpec spec;
  if (argc > 2) spec.version = argv[2];
  if (argc > 3) spec.pages = strtoul(argv[3], nullptr, 10);
  if (argc > 4) spec.seed = uint32_t(strtoul(argv[4], nullptr, 10));
  imagegen::Bytes image = imagegen::BuildFirmwareImage(spec);
  FILE* f = fopen(argv[1], "wb");
  if (!f || fwrite(image.data(), 1, image.size(), f) != image.size()) {
    fprintf(stderr, "cannot write %s\n", argv[1]);
    if (f) fclose(f);
    return 1;
  }
  fclose(f);
  printf("%s: %zu pages, version %s, CRC %08X\n", argv[1], image.size() / imagegen::PAGE, spec.version.c_str(),
         imagegen::StoredImageCrc(image));
  return 0;
}
