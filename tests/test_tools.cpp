// The image and package builders, and the demo package they embed.
#include <cstring>

#include "PackageFixture.h"
#include "imagegen/FirmwareImage.h"
#include "package/PackageBuilder.h"

namespace {

// A bit-at-a-time CRC-32 (ISO-HDLC), independent of zlib's tables.
uint32_t BitCrc(uint32_t crc, const uint8_t* p, size_t n) {
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

uint32_t Le32(const lab::Bytes& b, size_t at) { return lab::Rd32(b.data(), at); }

}  // namespace

TEST(ImageBuilder, LayoutAndTrailerCrc) {
  imagegen::ImageSpec spec;
  spec.pages = 12;
  spec.version = "1.4.B.22";
  lab::Bytes image = imagegen::BuildFirmwareImage(spec);
  ASSERT_EQ(12u * 4096, image.size());
  EXPECT_EQ(0, memcmp(image.data(), "CMFG", 4));
  EXPECT_EQ(Hex("01000000 03000000 04000000 09000000 0A000000 0A000000"), Slice(image, 16, 24));
  // Unused descriptors and the rest of page 0 hold bytes the CRC must skip.
  EXPECT_NE(lab::Bytes(40, 0), Slice(image, 40, 40));
  EXPECT_NE(lab::Bytes(4016, 0), Slice(image, 80, 4016));

  // The independent computation: header bytes, zeros for the rest of page 0,
  // then pages 1 to 10.
  uint32_t crc = BitCrc(0, image.data(), 80);
  lab::Bytes zeros(4016, 0);
  crc = BitCrc(crc, zeros.data(), zeros.size());
  crc = BitCrc(crc, image.data() + 4096, 10 * 4096);
  size_t trailer = 11 * 4096;
  EXPECT_EQ(crc, Le32(image, trailer + 12));
  EXPECT_EQ(0u, Le32(image, trailer + 8));
  EXPECT_EQ(crc, imagegen::ComputeImageCrc(image));

  // Page 0 past byte 80 is left out; the unused descriptors and firmware pages count.
  lab::Bytes changed = image;
  changed[2000] ^= 0xFF;
  EXPECT_EQ(crc, imagegen::ComputeImageCrc(changed));
  changed[40] ^= 0xFF;
  EXPECT_NE(crc, imagegen::ComputeImageCrc(changed));
  changed = image;
  changed[5 * 4096] ^= 0xFF;
  EXPECT_NE(crc, imagegen::ComputeImageCrc(changed));

  char version[9];
  ASSERT_EQ(1, FindVersionText(image.data(), DWORD(image.size()), version));
  EXPECT_STREQ("1.4.B.22", version);
  size_t config = 10 * 4096;
  EXPECT_EQ(0x1D4Cu, lab::Rd16(image.data(), config + imagegen::CFG_VID));
  EXPECT_EQ("1.0.0.00", std::string(image.begin() + config + imagegen::CFG_FW_NAME,
                                    image.begin() + config + imagegen::CFG_FW_NAME + 8));
}

TEST(PackageBuilder, ConfigurationFileIsUtf16WithBomAndCrLf) {
  pkgbuild::PackageDescription d;
  pkgbuild::Problems problems;
  ASSERT_TRUE(pkgbuild::ParseDescription("# comment\n[UPDATEINFO]\nTITLE=T\nKERNEL=Tool 1\n[IMAGES]\n"
                                         "Micron-B47R_0=version 1.4.B.22 pages 8\n",
                                         "", &d, &problems));
  ASSERT_EQ(1u, d.images.size());
  EXPECT_EQ(8u * 4096, d.images[0].data.size());
  lab::Bytes ini = pkgbuild::MakeConfigFile(d);
  std::wstring text(reinterpret_cast<const wchar_t*>(ini.data() + 2), (ini.size() - 2) / 2);
  EXPECT_EQ(Hex("FFFE 5B00"), Slice(ini, 0, 4));
  EXPECT_EQ(L"[UPDATEINFO]\r\nTITLE=T\r\nKERNEL=Tool 1\r\n", text);
  // A wrong line is said and the reading goes on.
  d = {};
  EXPECT_FALSE(pkgbuild::ParseDescription("[IMAGES]\nX=version 1 colour red\nstray line\nUnknow_0=pages 8\n", "", &d,
                                          &problems));
  EXPECT_EQ((pkgbuild::Problems{"line 2: image X: unknown word colour (version, pages, seed, fwname or file)",
                                "line 3: no '='"}),
            problems);
  ASSERT_EQ(2u, d.images.size());
  EXPECT_FALSE(d.images[0].made);
  EXPECT_EQ(8u * 4096, d.images[1].data.size());
}

class DemoPackageTest : public PackageTest {};

TEST_F(DemoPackageTest, EmbeddedPackageCarriesTheDemoSettingsAndSoundImages) {
  lab::Bytes package = ResourceBytes(L"FWPACKAGEZIP", 1000);
  EXPECT_EQ(Hex("504B0304"), Slice(package, 0, 4));
  ASSERT_EQ(8, ExtractPackage(PACKAGE_RESOURCE_TYPE, PACKAGE_RESOURCE_ID));
  lab::Bytes config = ItemBytes(PACKAGE_CONFIG_NAME);
  LoadPackageConfig(config.data(), DWORD(config.size()));
  AppState* app = GetAppState();
  EXPECT_STREQ(L"Kestrel Demo Firmware Update", app->szTitle);
  EXPECT_STREQ(L"VORTALEX", app->szSocId);
  EXPECT_STREQ(L";KESTREL LAB NVME 512GB;KESTREL LAB NVME 1TB;", app->szModelList);
  EXPECT_STREQ(L";1.0.0.00;1.1.0.00;", app->szFwVersionList);
  EXPECT_STREQ(L"2.0.0.00", app->szNewVersion);
  EXPECT_EQ(3, app->iInternalFWVersionCheckPart);
  EXPECT_NE(nullptr, wcsstr(app->szBeforeMessage, L"updating.\r\nDo not"));
  EXPECT_EQ(2, app->PowerCtrl);
  ProfileText profile;
  ASSERT_EQ(1, OpenProfileText(config.data(), DWORD(config.size()), &profile));
  WCHAR kernel[64];
  GetProfileText(&profile, L"UPDATEINFO", L"KERNEL", L"", kernel, 64);
  CloseProfileText(&profile);
  EXPECT_STREQ(L"KestrelPackageTool 0.1.0", kernel);
  // Every image carries a trailer CRC that matches its content.
  lab::Bytes image = ItemBytes(L"YMTC-X2-9060_0.fw");
  EXPECT_EQ(imagegen::StoredImageCrc(image), imagegen::ComputeImageCrc(image));
}
