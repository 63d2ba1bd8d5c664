// The package author's checks: one line per problem the updater would
// misread or refuse, for descriptions, configuration files and archives.
#include <minizip/unzip.h>

#include "PackageFixture.h"
#include "imagegen/FirmwareImage.h"
#include "package/PackageCheck.h"

namespace {

using pkgbuild::Problems;

Problems Lint(const std::string& text) {
  pkgbuild::PackageDescription d;
  Problems p;
  pkgbuild::LintDescription(text, "", &d, &p);
  return p;
}

Problems Settings(const pkgbuild::Settings& settings) {
  Problems p;
  pkgbuild::LintSettings(settings, &p);
  return p;
}

Problems OfImage(const std::string& name, const lab::Bytes& data) {
  Problems p;
  pkgbuild::LintImage(name, data, &p);
  return p;
}

lab::Bytes GoodImage() {
  imagegen::ImageSpec spec;
  spec.pages = 8;
  return imagegen::BuildFirmwareImage(spec);
}

const char kImages[] = "[IMAGES]\nMicron-B47R_0=version 1.4.B.22 pages 8\n";

}  // namespace

TEST(PackageLint, AGoodDescriptionHasNoProblem) {
  EXPECT_EQ(Problems{}, Lint(std::string("[UPDATEINFO]\nTITLE=T\nsocid=VORTALEX\nModelName=A;B\nPowerCtrl=2\n"
                                         "iInternalFWVersionCheckPart=3\nKERNEL=KestrelPackageTool 0.1.0\n") +
                             kImages));
}

TEST(PackageLint, EverySettingTheUpdaterWouldMisread) {
  EXPECT_EQ(Problems{"unknown key ModleName (the updater reads no such setting)"},
            Settings({{"SOCID", "*"}, {"ModleName", "X"}}));
  EXPECT_EQ(Problems{"key SOCID is missing (no drive would be listed)"}, Settings({{"TITLE", "T"}}));
  EXPECT_EQ(Problems{"key SOCID is empty (no drive would be listed)"}, Settings({{"SOCID", ""}}));
  EXPECT_EQ(Problems{"key SOCID: \"vortalex\" is neither *, VORTALEX nor four upper-case hexadecimal digits"},
            Settings({{"SOCID", "vortalex"}}));
  EXPECT_EQ(Problems{}, Settings({{"SOCID", "2263"}}));
  EXPECT_EQ(Problems{"key iInternalFWVersionCheckPart: \"three\" is not a whole number"},
            Settings({{"SOCID", "*"}, {"iInternalFWVersionCheckPart", "three"}}));
  EXPECT_EQ(Problems{"key PowerCtrl: \"\" is not a whole number"}, Settings({{"SOCID", "*"}, {"PowerCtrl", ""}}));
  EXPECT_EQ(Problems{"key socid appears twice (only the first counts)"}, Settings({{"SOCID", "*"}, {"socid", "0000"}}));
  // A list of 258 characters no longer fits ";%s;" in 260 units; a message of
  // 1000 no longer fits the line-break replacement.
  EXPECT_EQ(Problems{}, Settings({{"SOCID", "*"}, {"ModelName", std::string(257, 'M')},
                                  {"BeforeMessage", std::string(999, 'b')}}));
  EXPECT_EQ((Problems{"key FWVersion: 258 characters, at most 257 are kept",
                      "key AfterMessage: 1000 characters, at most 999 are kept"}),
            Settings({{"SOCID", "*"}, {"FWVersion", std::string(258, 'F')}, {"AfterMessage", std::string(1000, 'a')}}));
}

TEST(PackageLint, EveryImageTheUpdaterWouldNeverChooseOrSend) {
  lab::Bytes good = GoodImage();
  EXPECT_EQ(Problems{}, OfImage("Micron-B47R_0", good));
  EXPECT_EQ(Problems{}, OfImage("Unknow_12", good));
  for (const char* name : {"Micron-B99Z_0", "Micron-B47R_01", "Micron-B47R", "Unknow_x", "Unknown_0", "Micron-B47R_-1"})
    EXPECT_EQ(Problems{"image " + std::string(name) +
                       ".fw: the name is not a NAND name of the table or Unknow, \"_\" and a number"},
              OfImage(name, good))
        << name;

  lab::Bytes noMagic = good;
  noMagic[0] = 'X';
  EXPECT_EQ(Problems{"image TSB-BiCS4_0.fw: does not begin with CMFG"}, OfImage("TSB-BiCS4_0", noMagic));
  lab::Bytes crc = good;
  crc[3 * 4096 + 7] ^= 0x10;
  EXPECT_EQ(Problems{"image TSB-BiCS4_0.fw: the trailer CRC does not match the content"}, OfImage("TSB-BiCS4_0", crc));
  lab::Bytes ranges = good;
  ranges[20] = 0x40;  // range 0 ends past the image
  EXPECT_EQ(Problems{"image TSB-BiCS4_0.fw: the page ranges of its header do not fit the image"},
            OfImage("TSB-BiCS4_0", ranges));
  lab::Bytes ragged = good;
  ragged.resize(good.size() + 100);
  EXPECT_EQ(Problems{"image TSB-BiCS4_0.fw: 32868 bytes are not whole 4096-byte pages"},
            OfImage("TSB-BiCS4_0", ragged));
  lab::Bytes noVersion = good;
  for (uint8_t& b : noVersion)
    if (b == '.') b = '_';
  imagegen::SealImage(noVersion);
  EXPECT_EQ(Problems{"image TSB-BiCS4_0.fw: holds no version text"}, OfImage("TSB-BiCS4_0", noVersion));
  EXPECT_EQ((Problems{"image Unknow_0.fw: does not begin with CMFG", "image Unknow_0.fw: holds no version text"}),
            OfImage("Unknow_0", {}));
}

TEST(PackageLint, DescriptionsAreCheckedWholeAndBrokenOnesSaySo) {
  EXPECT_EQ((Problems{"unknown key ModleName (the updater reads no such setting)",
                      "key SOCID is missing (no drive would be listed)",
                      "image Micron-B99Z_0.fw: the name is not a NAND name of the table or Unknow, \"_\" and a number"}),
            Lint("[UPDATEINFO]\nModleName=X\n[IMAGES]\nMicron-B99Z_0=version 1.4.B.22 pages 8\n"));
  EXPECT_EQ((Problems{"no image"}), Lint("[UPDATEINFO]\nSOCID=*\n"));
  EXPECT_EQ((Problems{"line 1: no '='"}), Lint("stray line\n"));
  // Typing errors give a line, never an image of gigabytes or a text written past the image.
  EXPECT_EQ((Problems{"image Unknow_0: pages \"99999999999\" is out of range (pages 7 to 4096, version up to 64 "
                      "characters)"}),
            Lint("[UPDATEINFO]\nSOCID=*\n[IMAGES]\nUnknow_0=pages 99999999999\n"));
  EXPECT_EQ(1u, Lint("[UPDATEINFO]\nSOCID=*\n[IMAGES]\nUnknow_0=pages 4097\n").size());
  EXPECT_EQ(1u, Lint("[UPDATEINFO]\nSOCID=*\n[IMAGES]\nUnknow_0=pages eight\n").size());
  EXPECT_EQ(1u, Lint("[UPDATEINFO]\nSOCID=*\n[IMAGES]\nUnknow_0=version " + std::string(70000, '1') + "\n").size());
  EXPECT_EQ(1u, Lint("[UPDATEINFO]\nSOCID=*\n[IMAGES]\nUnknow_0=file no-such-image.bin\n").size());
}

TEST(PackageLint, TheConfigurationFileIsUtf16WithBomAndCrLf) {
  Problems p;
  pkgbuild::CheckConfigFile(Utf16Ini(L"[UPDATEINFO]\nSOCID=*\n"), &p);
  EXPECT_EQ(Problems{}, p);
  const char ansi[] = "[UPDATEINFO]\r\nSOCID=*\r\n";
  p.clear();
  pkgbuild::CheckConfigFile(lab::Bytes(ansi, ansi + sizeof ansi - 1), &p);
  EXPECT_EQ(Problems{"KestrelInfo.ini: not UTF-16LE with the byte-order mark FF FE"}, p);
  lab::Bytes lf = {0xFF, 0xFE};
  for (char c : std::string("[UPDATEINFO]\nSOCID=*\nModleName=X\n")) lf.insert(lf.end(), {uint8_t(c), 0});
  p.clear();
  pkgbuild::CheckConfigFile(lf, &p);
  EXPECT_EQ((Problems{"KestrelInfo.ini: lines are not all ended by CR LF",
                      "unknown key ModleName (the updater reads no such setting)"}),
            p);
}

class PackageVerify : public PackageTest {};

TEST_F(PackageVerify, TheDemoPackageIsGoodAndCarriesValidDates) {
  std::wstring zip = root + L"\\demo.zip";
  ASSERT_TRUE(WriteAll(zip, ResourceBytes(L"FWPACKAGEZIP", 1000)));
  Problems p;
  pkgbuild::VerifyPackage(std::string(zip.begin(), zip.end()), &p);
  EXPECT_EQ(Problems{}, p);
  unzFile z = unzOpen64(std::string(zip.begin(), zip.end()).c_str());
  ASSERT_NE(nullptr, z);
  for (int s = unzGoToFirstFile(z); s == UNZ_OK; s = unzGoToNextFile(z)) {
    unz_file_info64 info;
    ASSERT_EQ(UNZ_OK, unzGetCurrentFileInfo64(z, &info, nullptr, 0, nullptr, 0, nullptr, 0));
    EXPECT_EQ(0x00210000u, info.dosDate) << "1980-01-01 00:00";
  }
  unzClose(z);
}

TEST_F(PackageVerify, ArchivesTheUpdaterWouldMisreadHaveOneLinePerProblem) {
  std::wstring zip = Archive(TESTZIP_ODD);
  Problems p;
  pkgbuild::VerifyPackage(std::string(zip.begin(), zip.end()), &p);
  for (const char* line : {"item bzip.fw: compression method 12 is neither stored nor deflated",
                           "item short.fw is damaged (its size or CRC does not match)",
                           "item x.fw. is neither KestrelInfo.ini nor a firmware image (.fw)",
                           "item TWICE.fw appears twice", "no KestrelInfo.ini"})
    EXPECT_EQ(1, std::count(p.begin(), p.end(), std::string(line))) << line;
  EXPECT_EQ(1, std::count(p.begin(), p.end(), std::string("item nodate.fw: its DOS date names no real day")));
  EXPECT_EQ(0, std::count(p.begin(), p.end(), std::string("item good.fw: its DOS date names no real day")));

  p.clear();
  pkgbuild::VerifyPackage("missing.zip", &p);
  EXPECT_EQ(Problems{"missing.zip: not a ZIP archive that can be opened"}, p);
  zip = Archive(TESTZIP_TRUNCATED, L"half.zip");
  p.clear();
  pkgbuild::VerifyPackage(std::string(zip.begin(), zip.end()), &p);
  EXPECT_FALSE(p.empty());
}
