// The package author's checks: one line per problem the updater would
// misread or refuse, for descriptions, configuration files and archives, and
// the tool itself run as an author runs it.
#include <minizip/unzip.h>

#include "PackageFixture.h"
#include "ProgramFixture.h"
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

// Settings that say nothing of the model are meant for any.
Problems Settings(pkgbuild::Settings settings) {
  bool model = false;
  for (const auto& s : settings) model = model || s.key == "ModelName" || s.key == "AnyModel";
  if (!model) settings.push_back({"AnyModel", "1"});
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

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

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
  for (const char* name : {"Micron-B99Z_0", "Unknown_0"})
    EXPECT_EQ(Problems{"image " + std::string(name) + ".fw: \"" + std::string(name).substr(0, strlen(name) - 2) +
                       "\" is no NAND name of the table (KestrelPackageTool names lists them; Unknow for flash the "
                       "table does not know)"},
              OfImage(name, good));
  EXPECT_EQ(Problems{"image Micron-B47R.fw: the NAND name needs \"_\" and a LUN count after it, such as "
                     "Micron-B47R_0.fw"},
            OfImage("Micron-B47R", good));
  for (const char* name : {"Micron-B47R_01", "Micron-B47R_-1", "Unknow_x"}) {
    std::string n = name;
    size_t underscore = n.rfind('_');
    EXPECT_EQ(Problems{"image " + n + ".fw: \"" + n.substr(underscore + 1) + "\" is no LUN count as the updater " +
                       "writes it (decimal, no leading zero), such as " + n.substr(0, underscore) + "_0.fw"},
              OfImage(name, good));
  }

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
  EXPECT_EQ((Problems{"line 2: unknown key ModleName (the updater reads no such setting)",
                      "line 4: image Micron-B99Z_0.fw: \"Micron-B99Z\" is no NAND name of the table (KestrelPackageTool "
                      "names lists them; Unknow for flash the table does not know)",
                      "key SOCID is missing (no drive would be listed)",
                      "warning: key ModelName is missing: every drive the SOCID accepts would be offered, whatever its model "
                      "(write AnyModel=1 if that is meant)"}),
            Lint("[UPDATEINFO]\nModleName=X\n[IMAGES]\nMicron-B99Z_0=version 1.4.B.22 pages 8\n"));
  EXPECT_EQ((Problems{"no image"}), Lint("[UPDATEINFO]\nSOCID=*\nAnyModel=1\n"));
  EXPECT_EQ((Problems{"line 1: no '='", "line 2: outside [UPDATEINFO] and [IMAGES]"}),
            Lint("stray line\nKEY=value\n[UPDATEINFO]\nSOCID=*\nAnyModel=1\n" + std::string(kImages)));
  // Typing errors give a line, never an image of gigabytes or a text written past the image.
  const std::string settings = "[UPDATEINFO]\nSOCID=*\nAnyModel=1\n[IMAGES]\n";
  EXPECT_EQ((Problems{"line 5: image Unknow_0: pages \"99999999999\" is out of range (pages 7 to 4096, version up to "
                      "64 characters)"}),
            Lint(settings + "Unknow_0=pages 99999999999\n"));
  EXPECT_EQ(1u, Lint(settings + "Unknow_0=pages 4097\n").size());
  EXPECT_EQ(1u, Lint(settings + "Unknow_0=pages eight\n").size());
  EXPECT_EQ(1u, Lint(settings + "Unknow_0=version " + std::string(70000, '1') + "\n").size());
}

TEST(PackageLint, TheConfigurationFileIsUtf16WithBomAndCrLf) {
  Problems p;
  pkgbuild::CheckConfigFile(Utf16Ini(L"[UPDATEINFO]\nSOCID=*\nModelName=A\n"), &p);
  EXPECT_EQ(Problems{}, p);
  const char ansi[] = "[UPDATEINFO]\r\nSOCID=*\r\n";
  p.clear();
  pkgbuild::CheckConfigFile(lab::Bytes(ansi, ansi + sizeof ansi - 1), &p);
  EXPECT_EQ(Problems{"KestrelInfo.ini: not UTF-16LE with the byte-order mark FF FE"}, p);
  lab::Bytes lf = {0xFF, 0xFE};
  for (char c : std::string("[UPDATEINFO]\nSOCID=*\nModleName=X\nAnyModel=1\n")) lf.insert(lf.end(), {uint8_t(c), 0});
  p.clear();
  pkgbuild::CheckConfigFile(lf, &p);
  EXPECT_EQ((Problems{"KestrelInfo.ini: lines are not all ended by CR LF",
                      "KestrelInfo.ini line 3: unknown key ModleName (the updater reads no such setting)"}),
            p);
}

class PackageVerify : public PackageTest {};

// The configuration is judged as the updater reads it: the section's name
// without blanks or case, only its first section, values without quotes.
TEST_F(PackageVerify, TheConfigurationIsReadAsTheUpdaterReadsIt) {
  lab::Bytes ini = Utf16Ini(
      L"[ updateinfo ] ; the updater's section\n"
      L"SOCID=\"*\"\n"
      L"ModelName=A\n"
      L"FWVersion\n"
      L"PowerCtrl='7'\n"
      L"[Other]\n"
      L"Colour=red\n"
      L"[UPDATEINFO]\n"
      L"TITLE=Late\n");
  Problems p;
  pkgbuild::CheckConfigFile(ini, &p);
  EXPECT_EQ((Problems{"KestrelInfo.ini line 4: \"FWVersion\" has no \"=\" (the updater takes such a key as missing)",
                      "KestrelInfo.ini line 5: key PowerCtrl: 7 is not 0 (OK only), 1 (OK powers the computer off) or "
                      "2 (OK restarts it); after a good update no closing message would appear",
                      "KestrelInfo.ini line 8: a second [UPDATEINFO] section: the updater reads only the first"}),
            p);
  // What the updater made of it.
  LoadPackageConfig(ini.data(), DWORD(ini.size()));
  EXPECT_STREQ(L"*", GetAppState()->szSocId);
  EXPECT_EQ(7, GetAppState()->PowerCtrl);
  EXPECT_STREQ(L"Package Error", GetAppState()->szTitle) << "the second section is not read";
}

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

// KestrelPackageTool.exe itself, run in the test's folder.
class PackageTool : public PackageTest {
 protected:
  // Its exit code; *output gets the lines it wrote.
  DWORD Run(const std::wstring& arguments, std::vector<std::string>* output) {
    std::wstring captured = root + L"\\tool-output.txt";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileW(captured.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = file;
    startup.hStdError = file;
    std::wstring program = ProgramPath(L"KestrelPackageTool.exe");
    std::wstring command = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process = {};
    DWORD code = 259;
    if (CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, root.c_str(), &startup,
                       &process)) {
      EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 30000));
      GetExitCodeProcess(process.hProcess, &code);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    } else {
      ADD_FAILURE() << "KestrelPackageTool.exe does not start";
    }
    CloseHandle(file);
    lab::Bytes bytes = ReadAll(captured);
    *output = Lines(std::string(bytes.begin(), bytes.end()));
    return code;
  }

  void Write(const wchar_t* name, const std::string& text) {
    ASSERT_TRUE(WriteAll(root + L"\\" + name, lab::Bytes(text.begin(), text.end())));
  }
};

using Output = std::vector<std::string>;

TEST_F(PackageTool, LintSaysEveryMistakeAtOnceWithItsLineAndItsFix) {
  Write(L"issue.txt",
        "[UPDATEINFO]\n"
        "TITLE=T\n"
        "SOCID=vortalex\n"
        "ModelName=\n"
        "FWVersion=1.0.0.00, 1.1.0.00\n"
        "iInternalFWVersionCheckPart=9\n"
        "BeforeMessage=Back up first.\\nUpdate now?\n"
        "PowerCtrl=7\n"
        "\n"
        "[IMAGES]\n"
        "Micron-B47R_0=file missing-one.bin\n"
        "Micron-B99Z_0=version 1.4.B.22 pages 8\n"
        "Unknow_0=file missing-two.bin\n");
  Output out;
  EXPECT_EQ(1u, Run(L"lint issue.txt", &out));
  EXPECT_EQ((Output{
                "issue.txt: line 3: key SOCID: \"vortalex\" is none of * (any controller), VORTALEX (any controller "
                "that tells its identifier) or an identifier of four upper-case hexadecimal digits, such as 2263",
                "issue.txt: line 4: warning: key ModelName is empty: every drive the SOCID accepts would be offered, whatever "
                "its model (write AnyModel=1 if that is meant)",
                "issue.txt: line 5: key FWVersion: \"1.0.0.00, 1.1.0.00\" holds \",\": items are separated by \";\" "
                "alone, and a \",\" belongs to the item, so no drive matches it",
                "issue.txt: line 6: key iInternalFWVersionCheckPart: 9 is outside 0 to 4 (a version text such as "
                "1.4.B.22 has four parts; 3 compares 1.4.B, 0 none)",
                "issue.txt: line 7: key BeforeMessage: \"\\n\" is shown as typed; the line break is <BR>",
                "issue.txt: line 8: key PowerCtrl: 7 is not 0 (OK only), 1 (OK powers the computer off) or 2 (OK "
                "restarts it); after a good update no closing message would appear",
                "issue.txt: line 11: image Micron-B47R_0: cannot read the file missing-one.bin (missing, or larger "
                "than 16 MiB)",
                "issue.txt: line 12: image Micron-B99Z_0.fw: \"Micron-B99Z\" is no NAND name of the table "
                "(KestrelPackageTool names lists them; Unknow for flash the table does not know)",
                "issue.txt: line 13: image Unknow_0: cannot read the file missing-two.bin (missing, or larger than 16 "
                "MiB)"}),
            out);

  // Values as the updater reads them: quotes dropped, a blank kept in its item.
  Write(L"more.txt",
        "[UPDATEINFO]\n"
        "SOCID=\"*\"\n"
        "ModelName=\"MODEL A ;MODEL B\"\n"
        "AfterMessage=Done.<br>Restart now.\n"
        "PowerCtrl=258\n"
        "[Images]\n"
        "Micron-B47R_0=version 1.4.B.22 pages 8\n"
        "micron-b47r_0=version 1.4.B.22 pages 8\n"
        "Micron-B47R_01=version 1.4.B.22 pages 8\n"
        "[IMAGE]\n"
        "TSB-BiCS4_0=version 1.4.B.22 pages 8\n");
  EXPECT_EQ(1u, Run(L"lint more.txt", &out));
  EXPECT_EQ((Output{"more.txt: line 3: key ModelName: the item \"MODEL A \" has a blank at its start or end, which "
                    "belongs to the item, so no drive matches it",
                    "more.txt: line 4: key AfterMessage: \"<br>\" is shown as typed; the line break is <BR>, in "
                    "capitals",
                    "more.txt: line 5: key PowerCtrl: 258 is not 0 (OK only), 1 (OK powers the computer off) or 2 (OK "
                    "restarts it); the updater keeps only its low 8 bits, 2",
                    "more.txt: line 8: image micron-b47r_0.fw appears twice (first on line 7); a package holds one item "
                    "of a name",
                    "more.txt: line 9: image Micron-B47R_01.fw: \"01\" is no LUN count as the updater writes it "
                    "(decimal, no leading zero), such as Micron-B47R_0.fw",
                    "more.txt: line 10: unknown section [IMAGE] (only [UPDATEINFO] and [IMAGES])"}),
            out);

  // Any model, said on purpose; quoted numbers are numbers.
  Write(L"any.txt", "[UPDATEINFO]\nSOCID='*'\nModelName=\nAnyModel=1\nPowerCtrl=\"2\"\n" + std::string(kImages));
  EXPECT_EQ(0u, Run(L"lint any.txt", &out));
  EXPECT_EQ(Output{}, out);
}

// The names an image's name must begin with are those the image choice uses.
TEST_F(PackageTool, NamesListsTheNandNamesOfTheTable) {
  Output out;
  EXPECT_EQ(0u, Run(L"names", &out));
  ASSERT_EQ(19u, out.size());
  for (const char* name : {"Intel-B17A", "Micron-B27C", "Micron-B47R", "Sandisk-BiCS4.5", "TSB-BiCS5", "Hynix-3DV7",
                           "YMTC-X2-9060", "Samsung-V6"})
    EXPECT_EQ(1, std::count(out.begin(), out.end(), std::string(name))) << name;
  EXPECT_EQ("Unknow", out.back());
  for (const std::string& name : out) {
    std::wstring file(name.begin(), name.end());
    EXPECT_TRUE(IsPackageImageName((file + L"_0.fw").c_str())) << name;
    EXPECT_FALSE(IsPackageImageName((file + L"X_0.fw").c_str())) << name;
  }
}

// Nothing of the author's machine ships: the configuration holds the settings alone.
TEST_F(PackageTool, BuildShipsNoSourcePath) {
  imagegen::ImageSpec spec;
  spec.pages = 8;
  lab::Bytes image = imagegen::BuildFirmwareImage(spec);
  std::wstring source = root + L"\\author-tree\\out";
  CreateDirectoryW((root + L"\\author-tree").c_str(), nullptr);
  CreateDirectoryW(source.c_str(), nullptr);
  ASSERT_TRUE(WriteAll(source + L"\\b47r.bin", image));
  std::string absolute(source.begin(), source.end());
  Write(L"ship.txt", "[UPDATEINFO]\nSOCID=*\nModelName=A\n[IMAGES]\nMicron-B47R_2=file " + absolute +
                         "\\b47r.bin\nTSB-BiCS4_0=version 1.4.B.22 pages 8\n");
  Output out;
  EXPECT_EQ(0u, Run(L"build ship.zip ship.txt", &out));
  EXPECT_EQ(Output{"ship.zip: KestrelInfo.ini and 2 images"}, out);
  lab::Bytes package = ReadAll(root + L"\\ship.zip");
  ASSERT_EQ(3, UnzipPackage(package.data(), DWORD(package.size()), L"the tool"));
  EXPECT_EQ(Utf16Ini(L"[UPDATEINFO]\nSOCID=*\nModelName=A\n"), ItemBytes(L"KestrelInfo.ini"));
  EXPECT_EQ(image, ItemBytes(L"Micron-B47R_2.fw"));

  // An empty ModelName is said, and does not stop the build; AnyModel=1
  // says it is meant.
  Write(L"any.txt", "[UPDATEINFO]\nSOCID=*\nModelName=\n[IMAGES]\nTSB-BiCS4_0=version 1.4.B.22 pages 8\n");
  out.clear();
  EXPECT_EQ(0u, Run(L"build any.zip any.txt", &out));
  EXPECT_EQ((Output{"any.txt: line 3: warning: key ModelName is empty: every drive the SOCID accepts would be "
                    "offered, whatever its model (write AnyModel=1 if that is meant)",
                    "any.zip: KestrelInfo.ini and 1 images"}),
            out);
  Write(L"any.txt", "[UPDATEINFO]\nSOCID=*\nModelName=\nAnyModel=1\n[IMAGES]\nTSB-BiCS4_0=version 1.4.B.22 pages 8\n");
  out.clear();
  EXPECT_EQ(0u, Run(L"lint any.txt", &out));
  EXPECT_TRUE(out.empty());
}
