// The package unpacked in memory and its configuration read from its bytes.
#include "PackageFixture.h"
#include "imagegen/FirmwareImage.h"

namespace {

// Unpacks one of the test archives embedded in this program.
int Unzip(int id) {
  lab::Bytes zip = ResourceBytes(RT_RCDATA, id);
  return UnzipPackage(zip.data(), DWORD(zip.size()), L"a test archive");
}

void LoadConfig(const std::wstring& text) {
  lab::Bytes bytes = Utf16Ini(text);
  LoadPackageConfig(bytes.data(), DWORD(bytes.size()));
}

}  // namespace

TEST_F(PackageTest, BuilderPackageUnpacksWholeAndByteForByte) {
  pkgbuild::PackageDescription d;
  d.settings = {{"TITLE", "Built"}, {"SOCID", "*"}, {"KERNEL", "KestrelPackageTool 0.1.0"}};
  imagegen::ImageSpec spec;
  d.images.push_back({"Micron-B47R_0", imagegen::BuildFirmwareImage(spec), "out\\a.bin"});
  spec.pages = 9;
  spec.version = "1.4.C.01";
  d.images.push_back({"Micron-B47R_2", imagegen::BuildFirmwareImage(spec), "out\\b.bin"});
  std::string error;
  std::wstring zip = root + L"\\built.zip";
  ASSERT_TRUE(pkgbuild::WritePackage(std::string(zip.begin(), zip.end()), d, &error)) << error;
  lab::Bytes bytes = ReadAll(zip);

  EXPECT_EQ(3, UnzipPackage(bytes.data(), DWORD(bytes.size()), L"the builder"));
  EXPECT_TRUE(HoldsExactly({L"KestrelInfo.ini", L"Micron-B47R_0.fw", L"Micron-B47R_2.fw"}));
  EXPECT_EQ(d.images[0].data, ItemBytes(L"micron-b47r_0.FW")) << "found without regard to case";
  EXPECT_EQ(d.images[1].data, ItemBytes(L"Micron-B47R_2.fw"));
  EXPECT_EQ(pkgbuild::MakeConfigFile(d), ItemBytes(L"KestrelInfo.ini"));
  EXPECT_EQ(1u, LinesContaining(L"[VX] package: 3 items from the builder").size());
}

TEST_F(PackageTest, PythonPackageUnpacksAndItsConfigurationLoads) {
  ASSERT_EQ(3, Unzip(TESTZIP_PY_PACKAGE));
  EXPECT_TRUE(HoldsExactly({L"KestrelInfo.ini", L"Micron-B47R_0.fw", L"TSB-BiCS4_2.fw"}));
  lab::Bytes image = ItemBytes(L"TSB-BiCS4_2.fw");
  ASSERT_EQ(9u * 4096, image.size());
  char version[9];
  ASSERT_EQ(1, FindVersionText(image.data(), DWORD(image.size()), version));
  EXPECT_STREQ("1.5.C.01", version);

  // Keys written in lower case are found; keep in lower case stays as written.
  lab::Bytes config = ItemBytes(PACKAGE_CONFIG_NAME);
  LoadPackageConfig(config.data(), DWORD(config.size()));
  AppState* app = GetAppState();
  EXPECT_STREQ(L"Python Package", app->szTitle);
  EXPECT_STREQ(L"*", app->szSocId);
  EXPECT_STREQ(L";PY MODEL;", app->szModelList);
  EXPECT_STREQ(L"keep", app->szNewVersion);
  EXPECT_EQ(1, app->PowerCtrl);
}

// One item that cannot be taken whole under a plain name of its own and the
// package is refused: without its "_2" image, say, the image choice would
// fall back to the "_0" one. Every fault is logged first.
TEST_F(PackageTest, AnItemThatCannotBeTakenWholeRefusesThePackage) {
  const wchar_t* refused = L"package: the package from a test archive is damaged; nothing of it is used";
  EXPECT_EQ(0, Unzip(TESTZIP_ESCAPE));
  EXPECT_EQ(0, PackageItemCount());
  EXPECT_EQ(6u, LinesContaining(L"has a folder part; skipped").size());
  EXPECT_EQ(1u, LinesContaining(L"\"stream.fw:hidden\" holds a character not allowed in a file name; skipped").size());
  EXPECT_EQ(1u, LinesContaining(L"an item name of 303 bytes is too long; skipped").size());
  EXPECT_EQ(1u, LinesContaining(refused).size());

  machine.ClearRecords();
  EXPECT_EQ(0, Unzip(TESTZIP_ODD));
  EXPECT_EQ(0, PackageItemCount());
  const wchar_t* reasons[] = {
      L"item bzip.fw is neither stored nor deflated (method 12); skipped",
      L"item short.fw is not its declared size; not unpacked",
      L"item \"x.fw.\" ends with a dot or a blank; skipped",
      L"item \"x.fw \" ends with a dot or a blank; skipped",
      L"item \"NUL\" is a reserved device name; skipped",
      L"item \"aux.fw\" is a reserved device name; skipped",
      L"item \"Com7.bin\" is a reserved device name; skipped",
      L"item \"..\" is dots only; skipped",
      L"item \"...\" is dots only; skipped",
      L"item \"sub/inner.fw\" has a folder part; skipped",
      L"item \"bad|name.fw\" holds a character not allowed in a file name; skipped",
      L"item TWICE.fw appears twice; the first is kept",
      refused,
  };
  for (const wchar_t* reason : reasons) EXPECT_EQ(1u, LinesContaining(reason).size()) << reason;

  machine.ClearRecords();
  EXPECT_EQ(0, Unzip(TESTZIP_DAMAGED)) << "a bad CRC or a broken stream";
  EXPECT_EQ(1u, LinesContaining(L"item badcrc.fw fails its CRC; not unpacked").size());
  EXPECT_EQ(1u, LinesContaining(L"item badstream.fw has a damaged stream; not unpacked").size());
  EXPECT_EQ(1u, LinesContaining(refused).size());

  machine.ClearRecords();
  EXPECT_EQ(0, Unzip(TESTZIP_LIMITS)) << "an item that inflates past 16 MiB, then more than 64 items";
  EXPECT_EQ(1u, LinesContaining(L"item huge.fw is larger than a package item may be; not unpacked").size());
  EXPECT_EQ(6u, LinesContaining(L"is one item too many; skipped").size());
  EXPECT_EQ(1u, LinesContaining(L"item item64.fw is one item too many; skipped").size());
}

TEST_F(PackageTest, TruncatedMissingOrAbsentArchivesLeaveNoItemAndTheDefaults) {
  Unzip(TESTZIP_PY_PACKAGE);
  EXPECT_EQ(0, Unzip(TESTZIP_TRUNCATED));
  EXPECT_EQ(0, PackageItemCount()) << "a failed read forgets the package read before";
  EXPECT_EQ(0, UnzipPackage(nullptr, 0, L"nothing"));
  Unzip(TESTZIP_PY_PACKAGE);
  EXPECT_EQ(0, ExtractPackage(PACKAGE_RESOURCE_TYPE, 1001));
  EXPECT_EQ(0, PackageItemCount());
  EXPECT_EQ(1u, LinesContaining(L"no package resource 1001; nothing extracted").size());

  AppState* app = GetAppState();
  wcscpy(app->szModelList, L"stale");
  LoadPackageConfig(nullptr, 0);
  EXPECT_STREQ(L"Package Error", app->szTitle);
  EXPECT_STREQ(L"", app->szSocId);
  EXPECT_STREQ(L"", app->szModelList);
  EXPECT_STREQ(L"", app->szFwVersionList);
  EXPECT_STREQ(L"", app->szNewVersion);
  EXPECT_EQ(3, app->iInternalFWVersionCheckPart);
  EXPECT_STREQ(L"", app->szBeforeMessage);
  EXPECT_STREQ(L"", app->szAfterMessage);
  EXPECT_EQ(0, app->PowerCtrl);
}

TEST_F(PackageTest, TheProgramsOwnPackageIsReadFromItsResourceAndNothingIsWritten) {
  std::vector<std::wstring> before = ListTree(root);
  EXPECT_EQ(8, ExtractPackage(PACKAGE_RESOURCE_TYPE, PACKAGE_RESOURCE_ID));
  EXPECT_TRUE(HoldsExactly({L"KestrelInfo.ini", L"Micron-B47R_0.fw", L"Micron-B47R_2.fw", L"Micron-B47R_4.fw",
                            L"TSB-BiCS4_0.fw", L"TSB-BiCS4_2.fw", L"Unknow_0.fw", L"YMTC-X2-9060_0.fw"}));
  EXPECT_EQ(1u, LinesContaining(L"[VX] package: 8 items from the program's resource").size());
  EXPECT_EQ(before, ListTree(root)) << "the temporary folder is never touched";
}

TEST(Sha256Test, WindowsCngGivesTheKnownDigests) {
  struct Case {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  auto hex = [](const BYTE* d) {
    std::string out;
    for (DWORD i = 0; i < SHA256_SIZE; ++i) {
      char two[3];
      snprintf(two, sizeof two, "%02x", d[i]);
      out += two;
    }
    return out;
  };
  for (const Case& c : cases) {
    BYTE digest[SHA256_SIZE] = {};
    ASSERT_EQ(1, Sha256(reinterpret_cast<const BYTE*>(c.input.data()), DWORD(c.input.size()), digest)) << c.input;
    EXPECT_EQ(c.digest, hex(digest)) << c.input;
    // In pieces.
    Sha256State state;
    ASSERT_EQ(1, Sha256Open(&state));
    for (size_t at = 0; at < c.input.size(); at += 5)
      ASSERT_EQ(1, Sha256Add(&state, reinterpret_cast<const BYTE*>(c.input.data()) + at,
                             DWORD(std::min<size_t>(5, c.input.size() - at))));
    BYTE pieces[SHA256_SIZE] = {};
    ASSERT_EQ(1, Sha256Close(&state, pieces));
    EXPECT_EQ(c.digest, hex(pieces)) << c.input;
  }
}

TEST_F(PackageTest, OnlyAnExactCopyOfAnItemCountsAsTheItem) {
  Unzip(TESTZIP_PY_PACKAGE);
  for (const wchar_t* name : {L"KestrelInfo.ini", L"Micron-B47R_0.fw", L"TSB-BiCS4_2.fw"}) {
    lab::Bytes bytes = ItemBytes(name);
    EXPECT_EQ(1, IsPackageItemIntact(name, bytes.data(), DWORD(bytes.size()))) << name;
    bytes.back() ^= 0x80;
    EXPECT_EQ(0, IsPackageItemIntact(name, bytes.data(), DWORD(bytes.size()))) << name;
    bytes.back() ^= 0x80;
    EXPECT_EQ(0, IsPackageItemIntact(name, bytes.data(), DWORD(bytes.size() - 1))) << name;
  }
  lab::Bytes image = ItemBytes(L"TSB-BiCS4_2.fw");
  machine.ClearRecords();
  EXPECT_EQ(0, IsPackageItemIntact(L"Missing_0.fw", image.data(), DWORD(image.size())));
  EXPECT_EQ(1u, LinesContaining(L"Image Missing_0.fw is not in the package; refused").size());
  EXPECT_EQ(0, IsPackageItemIntact(L"Micron-B47R_0.fw", image.data(), DWORD(image.size())));
  EXPECT_EQ(1u, LinesContaining(L"Image Micron-B47R_0.fw is not the package's own; refused").size());
}

TEST_F(PackageTest, ConfigurationKeysDefaultsAndMessages) {
  HWND dialog = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  GetAppState()->hDlg = dialog;
  LoadConfig(
      L"[UPDATEINFO]\n"
      L"title=Drive Update\n"
      L"socid=VORTALEX\n"
      L"ModelName=A;B\n"
      L"FWVersion=\n"
      L"NEWVERSION=2.0.0.00\n"
      L"BeforeMessage=First<BR>Second<BR>Third <br> stays\n"
      L"AfterMessage=Done\n"
      L"PowerCtrl=258\n"
      L"KERNEL=KestrelPackageTool 0.1.0\n"
      L"\n[FwSelectRecord]\nMicron-B47R_0=out\\fw.bin\n");
  AppState* app = GetAppState();
  EXPECT_STREQ(L"Drive Update", app->szTitle);
  WCHAR shown[64];
  GetWindowTextW(dialog, shown, 64);
  EXPECT_STREQ(L"Drive Update", shown);
  EXPECT_STREQ(L"VORTALEX", app->szSocId);
  EXPECT_STREQ(L";A;B;", app->szModelList);
  EXPECT_STREQ(L"", app->szFwVersionList) << "an empty list is not \";;\"";
  EXPECT_STREQ(L"2.0.0.00", app->szNewVersion);
  EXPECT_EQ(3, app->iInternalFWVersionCheckPart);
  EXPECT_STREQ(L"First\r\nSecond\r\nThird <br> stays", app->szBeforeMessage);
  EXPECT_STREQ(L"Done", app->szAfterMessage);
  EXPECT_EQ(2, app->PowerCtrl);
  DestroyWindow(dialog);
}

TEST_F(PackageTest, OverLongValuesAreCutAndTerminated) {
  std::wstring model(300, L'M');
  std::wstring message;
  for (int i = 0; i < 400; ++i) message += L"ab<BR>";  // 2400 characters
  LoadConfig(L"[UPDATEINFO]\nModelName=" + model + L"\nBeforeMessage=" + message + L"\nAfterMessage=" + message +
             L"\nPowerCtrl=1\n");
  AppState* app = GetAppState();
  EXPECT_EQ(259u, wcslen(app->szModelList));
  EXPECT_EQ(L';', app->szModelList[0]);
  // The value is kept to 1023 characters; the replacement area to 999 of them.
  for (const WCHAR* text : {app->szBeforeMessage, app->szAfterMessage}) {
    size_t length = wcsnlen(text, 1024);
    EXPECT_LT(length, 1000u);
    EXPECT_EQ(std::wstring(L"ab\r\nab\r\n"), std::wstring(text, 8));
  }
  EXPECT_EQ(1, app->PowerCtrl) << "the fields after the messages are intact";
}

// The reader of the configuration in memory against the system's own profile
// functions reading the same bytes from a file: every key the program reads,
// at the capacity it reads it, must come out the same.
TEST_F(PackageTest, TheConfigurationReadsAsTheProfileFunctionsReadItsFile) {
  const std::wstring longValue(300, L'v');
  const std::vector<std::wstring> texts = {
      L"[UPDATEINFO]\nTITLE=Plain\nSOCID=VORTALEX\nModelName=A;B\nFWVersion=1.0\nNEWVERSION=KEEP\n"
      L"iInternalFWVersionCheckPart=2\nBeforeMessage=x<BR>y\nAfterMessage=done\nPowerCtrl=2\n",
      L"[updateinfo]\ntitle=lower\nSocId=*\n",
      L"  [UPDATEINFO]  \n   TITLE   =   spaced  value   \n\tSOCID\t=\t7C31\t\n",
      L"[UPDATEINFO]\nTITLE=first\nTITLE=second\n[UPDATEINFO]\nSOCID=in the second section\n",
      L"[OTHER]\nTITLE=other\n[UPDATEINFO]\nSOCID\nTITLE=after a key without value\n",
      L"TITLE=before any section\n[UPDATEINFO]\n",
      L"[UPDATEINFO]\nTITLE=\"quoted\"\nSOCID='*'\nNEWVERSION=\"unbalanced\nModelName=\"\"\nFWVersion=\"a\"b\"\n",
      L"[UPDATEINFO]\nTITLE=a=b=c\nSOCID==\nNEWVERSION= \"  inner  \" \n",
      L"[UPDATEINFO]\n;TITLE=comment\n#SOCID=hash\nTITLE=after comments\n",
      L"[UPDATEINFO] trailing\nTITLE=header with text after it\n[UPDATEINFO\nSOCID=no bracket\n",
      L"[ UPDATEINFO ]\nTITLE=spaced header\n",
      L"[\tUPDATE INFO\t]\nTITLE=inner blank\n[UPDATEINFO]]\nTITLE=two brackets\n[]\nSOCID=empty header\n",
      L"\n\n[UPDATEINFO]\r\n\r\n  \r\nTITLE = a \t\v\f\r\n=no name\nSOCID\t=b\n",
      L"[UPDATEINFO]\nTITLE=carriage\rSOCID=return only\n",
      L"[UPDATEINFO]\nTITLE=\x00A0nbsp\x00A0\nSOCID=\x1A" L"eof mark\x1A\n",
      L"[UPDATEINFO]\nTITLE=ab" + std::wstring(1, L'\0') + L"cd\nSO" + std::wstring(1, L'\0') + L"CID=zero in key\n",
      L"[UPDATEINFO]\nModelName=" + longValue + L"\nBeforeMessage=" + std::wstring(2000, L'm') + L"\nNEWVERSION=" +
          longValue + L"\nSOCID=" + longValue + L"\n",
      L"[UPDATEINFO]\nPowerCtrl=  7\niInternalFWVersionCheckPart=-1\n",
      L"[UPDATEINFO]\nPowerCtrl=0x1F\niInternalFWVersionCheckPart=+4\n",
      L"[UPDATEINFO]\nPowerCtrl=2abc\niInternalFWVersionCheckPart=abc\n",
      L"[UPDATEINFO]\nPowerCtrl=\niInternalFWVersionCheckPart=4294967299\n",
      L"[UPDATEINFO]\nPowerCtrl=\"1\"\niInternalFWVersionCheckPart=0b101\n",
      L"[UPDATEINFO]\nPowerCtrl=0o17\niInternalFWVersionCheckPart=010\n",
      L"[UPDATEINFO]\nPowerCtrl=0X10\niInternalFWVersionCheckPart=" + std::wstring(40, L'9') + L"\n",
      L"",
  };
  struct Key {
    const wchar_t* name;
    DWORD capacity;  // 0: read as a number
  } keys[] = {{L"TITLE", 260},     {L"SOCID", 64},         {L"ModelName", 260},    {L"FWVersion", 260},
              {L"NEWVERSION", 64}, {L"BeforeMessage", 1024}, {L"AfterMessage", 1024},
              {L"iInternalFWVersionCheckPart", 0}, {L"PowerCtrl", 0}};
  auto check = [&](const lab::Bytes& bytes, const std::string& what) {
    static int serial = 0;
    // A new name each time: the system may keep a file it read before.
    std::wstring path = root + L"\\profile" + std::to_wstring(++serial) + L".ini";
    ASSERT_TRUE(WriteAll(path, bytes));
    ProfileText profile;
    ASSERT_EQ(1, OpenProfileText(bytes.data(), DWORD(bytes.size()), &profile));
    for (const Key& key : keys) {
      SCOPED_TRACE(what + ", key " + std::string(key.name, key.name + wcslen(key.name)));
      if (key.capacity == 0) {
        EXPECT_EQ(GetPrivateProfileIntW(L"UPDATEINFO", key.name, 3, path.c_str()),
                  GetProfileNumber(&profile, L"UPDATEINFO", key.name, 3));
        continue;
      }
      std::vector<WCHAR> system(key.capacity, L'#'), mine(key.capacity, L'#');
      GetPrivateProfileStringW(L"UPDATEINFO", key.name, L"fallback", system.data(), key.capacity, path.c_str());
      GetProfileText(&profile, L"UPDATEINFO", key.name, L"fallback", mine.data(), key.capacity);
      EXPECT_EQ(std::wstring(system.data()), std::wstring(mine.data()));
    }
    CloseProfileText(&profile);
  };
  for (size_t i = 0; i < texts.size(); ++i) {
    std::string n = std::to_string(i);
    check(Utf16Ini(texts[i]), "text " + n + " in UTF-16LE");
    // The same text as UTF-8 with its mark, in the ANSI code page, and as UTF-16BE.
    std::string utf8;
    for (wchar_t c : texts[i]) {
      if (c == L'\n') utf8 += "\r\n";
      else if (c < 0x80) utf8 += char(c);
      else utf8 += {char(0xC0 | (c >> 6)), char(0x80 | (c & 0x3F))};
    }
    lab::Bytes marked = {0xEF, 0xBB, 0xBF};
    marked.insert(marked.end(), utf8.begin(), utf8.end());
    check(marked, "text " + n + " in UTF-8");
    bool ascii = std::all_of(texts[i].begin(), texts[i].end(), [](wchar_t c) { return c < 0x80; });
    if (ascii) check(lab::Bytes(utf8.begin(), utf8.end()), "text " + n + " in ANSI");
    lab::Bytes big = Utf16Ini(texts[i]);
    for (size_t at = 0; at + 1 < big.size(); at += 2) std::swap(big[at], big[at + 1]);
    check(big, "text " + n + " in UTF-16BE");
  }
  check({0xFF, 0xFE, 'T', 0}, "an odd last byte");
}

TEST(ReplaceAllTest, ReplacesEveryOccurrenceCaseSensitively) {
  WCHAR text[1024] = L"<BR>a<BR><BR>b<br>";
  ReplaceAll(text, L"<BR>", L"\r\n");
  EXPECT_STREQ(L"\r\na\r\n\r\nb<br>", text);
  WCHAR same[1024] = L"nothing here";
  ReplaceAll(same, L"<BR>", L"\r\n");
  EXPECT_STREQ(L"nothing here", same);
  WCHAR grows[1024] = L"xx";
  ReplaceAll(grows, L"x", L"xx");  // a replacement holding the pattern still ends
  EXPECT_STREQ(L"xxxx", grows);
}
