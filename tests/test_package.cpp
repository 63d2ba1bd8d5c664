// Unpacking the package and reading its configuration, with real files.
#include "PackageFixture.h"
#include "imagegen/FirmwareImage.h"
#include "package/PackageBuilder.h"

namespace {

const std::vector<std::wstring> kDemoItems = {
    L"KestrelInfo.ini",   L"Micron-B47R_0.fw", L"Micron-B47R_2.fw",   L"Micron-B47R_4.fw",
    L"TSB-BiCS4_0.fw",    L"TSB-BiCS4_2.fw",   L"Unknow_0.fw",        L"YMTC-X2-9060_0.fw"};

std::wstring ArchiveLeftover() { return TempRoot() + PACKAGE_ARCHIVE_NAME; }

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

  UnzipToFolder(zip.c_str(), work.c_str(), 1);
  EXPECT_EQ((std::vector<std::wstring>{L"KestrelInfo.ini", L"Micron-B47R_0.fw", L"Micron-B47R_2.fw"}),
            ListTree(work));
  EXPECT_EQ(d.images[0].data, ReadAll(work + L"\\Micron-B47R_0.fw"));
  EXPECT_EQ(d.images[1].data, ReadAll(work + L"\\Micron-B47R_2.fw"));
  EXPECT_EQ(pkgbuild::MakeConfigFile(d), ReadAll(work + L"\\KestrelInfo.ini"));
  EXPECT_EQ(0, IsPathExist(zip.c_str())) << "the archive is deleted when asked";
}

TEST_F(PackageTest, PythonPackageUnpacksAndItsConfigurationLoads) {
  std::wstring zip = Archive(TESTZIP_PY_PACKAGE);
  UnzipToFolder(zip.c_str(), work.c_str(), 0);
  EXPECT_EQ((std::vector<std::wstring>{L"KestrelInfo.ini", L"Micron-B47R_0.fw", L"TSB-BiCS4_2.fw"}), ListTree(work));
  EXPECT_EQ(1, IsPathExist(zip.c_str())) << "kept without the delete flag";
  lab::Bytes image = ReadAll(work + L"\\TSB-BiCS4_2.fw");
  ASSERT_EQ(9u * 4096, image.size());
  char version[9];
  ASSERT_EQ(1, FindVersionText(image.data(), DWORD(image.size()), version));
  EXPECT_STREQ("1.5.C.01", version);

  // Keys written in lower case are found; keep in lower case stays as written.
  LoadPackageConfig((work + L"\\KestrelInfo.ini").c_str());
  AppState* app = GetAppState();
  EXPECT_STREQ(L"Python Package", app->szTitle);
  EXPECT_STREQ(L"*", app->szSocId);
  EXPECT_STREQ(L";PY MODEL;", app->szModelList);
  EXPECT_STREQ(L"keep", app->szNewVersion);
  EXPECT_EQ(1, app->PowerCtrl);
}

TEST_F(PackageTest, ExtractsThroughATempFolderOutsideTheAnsiCodePage) {
  std::wstring unicodeTemp = root + L"\\Pr\x00FC" L"fung_\x65E5\x672C";
  ASSERT_TRUE(CreateDirectoryW(unicodeTemp.c_str(), nullptr));
  WCHAR savedTmp[MAX_PATH] = L"", savedTemp[MAX_PATH] = L"";
  GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH);
  GetEnvironmentVariableW(L"TEMP", savedTemp, MAX_PATH);
  SetEnvironmentVariableW(L"TMP", unicodeTemp.c_str());
  SetEnvironmentVariableW(L"TEMP", unicodeTemp.c_str());
  WCHAR temp[MAX_PATH];
  GetTempDir(temp, MAX_PATH);
  std::wstring runFolder = std::wstring(temp) + L"\\run";
  ExtractPackage(PACKAGE_RESOURCE_TYPE, PACKAGE_RESOURCE_ID, runFolder.c_str());
  SetEnvironmentVariableW(L"TMP", savedTmp[0] ? savedTmp : nullptr);
  SetEnvironmentVariableW(L"TEMP", savedTemp[0] ? savedTemp : nullptr);

  EXPECT_EQ(unicodeTemp, std::wstring(temp)) << "GetTempDir drops the trailing backslash";
  EXPECT_EQ(kDemoItems, ListTree(runFolder));
  EXPECT_EQ(0, IsPathExist((unicodeTemp + PACKAGE_ARCHIVE_NAME).c_str()));
}

TEST_F(PackageTest, NamesThatWouldLeaveTheFolderAreSkipped) {
  std::wstring zip = Archive(TESTZIP_ESCAPE);
  CreateDirectoryW(work.c_str(), nullptr);
  std::wstring deeper = work + L"\\deeper";
  UnzipToFolder(zip.c_str(), deeper.c_str(), 1);
  EXPECT_EQ((std::vector<std::wstring>{L"good.fw"}), ListTree(deeper)) << "items are flat file names only";
  EXPECT_EQ((std::vector<std::wstring>{L"deeper\\", L"deeper\\good.fw"}), ListTree(work));
  for (const wchar_t* outside : {L"C:\\escape3.fw", L"C:\\escape4.fw"})
    EXPECT_EQ(0, IsPathExist(outside)) << outside;
  EXPECT_EQ(0, IsPathExist((root + L"\\escape1.fw").c_str()));
  EXPECT_EQ(0, IsPathExist((root + L"\\escape5.fw").c_str()));
  EXPECT_EQ(0, IsPathExist((work + L"\\escape2.fw").c_str()));
  EXPECT_EQ(6u, LinesContaining(L"has a folder part; skipped").size());
  EXPECT_EQ(1u, LinesContaining(L"\"stream.fw:hidden\" holds a character not allowed in a file name; skipped").size());
  EXPECT_EQ(1u, LinesContaining(L"an item name of 303 bytes is too long; skipped").size());
}

TEST_F(PackageTest, OnlyWholeStoredOrDeflatedItemsWithPlainNamesAreWritten) {
  std::wstring zip = Archive(TESTZIP_ODD);
  UnzipToFolder(zip.c_str(), work.c_str(), 1);
  EXPECT_EQ((std::vector<std::wstring>{L"good.fw", L"last.fw", L"nodate.fw", L"twice.fw"}), ListTree(work));
  EXPECT_EQ(lab::Bytes({'f', 'i', 'r', 's', 't'}), ReadAll(work + L"\\twice.fw")) << "the later does not replace it";
  EXPECT_EQ(lab::Bytes(3000, 'G'), ReadAll(work + L"\\good.fw"));
  EXPECT_EQ(lab::Bytes(3000, 'L'), ReadAll(work + L"\\last.fw"));
  EXPECT_EQ(0, IsPathExist((work + L"\\x.fw").c_str())) << "neither \"x.fw.\" nor \"x.fw \" lands on x.fw";
  const wchar_t* reasons[] = {
      L"item bzip.fw is neither stored nor deflated (method 12); skipped",
      L"item short.fw is not its declared size; not extracted",
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
  };
  for (const wchar_t* reason : reasons) EXPECT_EQ(1u, LinesContaining(reason).size()) << reason;
  EXPECT_EQ(0, IsPathExist((work + L"\\short.fw.part").c_str())) << "no side file stays behind";
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
    // In pieces, as extraction feeds it.
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

TEST_F(PackageTest, EveryWrittenItemIsKnownByItsDigest) {
  std::wstring zip = Archive(TESTZIP_PY_PACKAGE);
  UnzipToFolder(zip.c_str(), work.c_str(), 1);
  for (const std::wstring& name : ListTree(work)) {
    std::wstring path = work + L"\\" + name;
    lab::Bytes bytes = ReadAll(path);
    EXPECT_EQ(1, IsPackageItemIntact(path.c_str(), bytes.data(), DWORD(bytes.size()))) << name.c_str();
    EXPECT_EQ(1, CheckPackageImage(path.c_str())) << name.c_str();
    bytes.back() ^= 0x80;
    EXPECT_EQ(0, IsPackageItemIntact(path.c_str(), bytes.data(), DWORD(bytes.size()))) << name.c_str();
  }
  std::wstring image = work + L"\\Micron-B47R_0.fw";
  lab::Bytes bytes = ReadAll(image);
  bytes[100] ^= 0x01;
  ASSERT_TRUE(WriteAll(image, bytes));
  EXPECT_EQ(0, CheckPackageImage(image.c_str()));
  EXPECT_EQ(0, CheckPackageImage((work + L"\\Missing_0.fw").c_str()));

  // Another extraction starts a new table: the first folder's items are no longer known.
  std::wstring second = root + L"\\second";
  UnzipToFolder(Archive(TESTZIP_PY_PACKAGE, L"again.zip").c_str(), second.c_str(), 1);
  EXPECT_EQ(0, CheckPackageImage((work + L"\\TSB-BiCS4_2.fw").c_str()));
  EXPECT_EQ(1, CheckPackageImage((second + L"\\TSB-BiCS4_2.fw").c_str()));
}

TEST_F(PackageTest, DamagedItemsLeaveNoFile) {
  std::wstring zip = Archive(TESTZIP_DAMAGED);
  UnzipToFolder(zip.c_str(), work.c_str(), 1);
  EXPECT_EQ((std::vector<std::wstring>{L"first.fw", L"last.fw"}), ListTree(work));
  EXPECT_EQ(lab::Bytes(5000, 'A'), ReadAll(work + L"\\first.fw"));
  EXPECT_EQ(lab::Bytes(5000, 'C'), ReadAll(work + L"\\last.fw"));

  // A damaged item does not replace an existing file of its name.
  WriteAll(work + L"\\badcrc.fw", lab::Bytes(10, 'x'));
  std::wstring again = Archive(TESTZIP_DAMAGED, L"again.zip");
  UnzipToFolder(again.c_str(), work.c_str(), 1);
  EXPECT_EQ(lab::Bytes(10, 'x'), ReadAll(work + L"\\badcrc.fw"));
}

TEST_F(PackageTest, TruncatedOrMissingArchivesExtractNothing) {
  std::wstring zip = Archive(TESTZIP_TRUNCATED);
  UnzipToFolder(zip.c_str(), work.c_str(), 1);
  EXPECT_TRUE(ListTree(work).empty());
  EXPECT_EQ(0, IsPathExist(zip.c_str()));
  UnzipToFolder((root + L"\\none.zip").c_str(), work.c_str(), 1);
  EXPECT_TRUE(ListTree(work).empty());
}

TEST_F(PackageTest, NoResourceMeansDefaultsAndAnEmptyFolder) {
  ExtractPackage(PACKAGE_RESOURCE_TYPE, 1001, work.c_str());
  EXPECT_EQ(1, IsPathExist(work.c_str()));
  EXPECT_TRUE(ListTree(work).empty());
  EXPECT_EQ(0, IsPathExist(ArchiveLeftover().c_str()));

  AppState* app = GetAppState();
  wcscpy(app->szModelList, L"stale");
  LoadPackageConfig((work + L"\\KestrelInfo.ini").c_str());
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

TEST_F(PackageTest, AStaleArchiveIsNeverUnpackedWithoutAResource) {
  std::wstring earlier = root + L"\\earlier";
  ExtractPackage(PACKAGE_RESOURCE_TYPE, PACKAGE_RESOURCE_ID, earlier.c_str());
  ASSERT_EQ(1, CheckPackageImage((earlier + L"\\Unknow_0.fw").c_str()));
  // Someone else's package waits under the archive's name.
  ASSERT_TRUE(WriteAll(ArchiveLeftover(), ResourceBytes(RT_RCDATA, TESTZIP_PY_PACKAGE)));
  ExtractPackage(PACKAGE_RESOURCE_TYPE, 1001, work.c_str());
  EXPECT_TRUE(ListTree(work).empty());
  EXPECT_EQ(0, CheckPackageImage((earlier + L"\\Unknow_0.fw").c_str())) << "an extraction that failed unpacked nothing";
  EXPECT_EQ(0, IsPathExist(ArchiveLeftover().c_str())) << "the stale archive is removed";
  EXPECT_EQ(1u, LinesContaining(L"no package resource 1001; nothing extracted").size());

  LoadPackageConfig((work + L"\\KestrelInfo.ini").c_str());
  EXPECT_STREQ(L"Package Error", GetAppState()->szTitle);
  DriveRecord drive = {};
  wcscpy(drive.szModel, L"PY MODEL");
  EXPECT_EQ(0, IsDriveAccepted(&drive, GetAppState()->szModelList, GetAppState()->szSocId)) << "no drive is listed";
}

TEST_F(PackageTest, AStaleArchiveHeldOpenIsNeverUnpacked) {
  lab::Bytes stale = ResourceBytes(RT_RCDATA, TESTZIP_PY_PACKAGE);
  ASSERT_TRUE(WriteAll(ArchiveLeftover(), stale));
  // Another process reads it and lets others read: it can be neither removed nor replaced.
  HANDLE held = CreateFileW(ArchiveLeftover().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  ExtractPackage(PACKAGE_RESOURCE_TYPE, PACKAGE_RESOURCE_ID, work.c_str());
  CloseHandle(held);
  EXPECT_TRUE(ListTree(work).empty()) << "neither the stale package nor the own one";
  EXPECT_EQ(1u, LinesContaining(L"cannot be removed").size());
  EXPECT_EQ(stale, ReadAll(ArchiveLeftover())) << "the other process's file is left as it was";

  LoadPackageConfig((work + L"\\KestrelInfo.ini").c_str());
  EXPECT_STREQ(L"Package Error", GetAppState()->szTitle);
  EXPECT_STREQ(L"", GetAppState()->szSocId);
}

TEST_F(PackageTest, TheArchiveCannotBeSwappedWhileItsItemsAreUnpacked) {
  // The odd archive logs while it is unpacked: at each line another process
  // tries to overwrite, remove or rename the archive.
  int tries = 0, succeeded = 0;
  std::wstring archive = ArchiveLeftover();
  machine.WhileDebugLine([&](const std::wstring& line) {
    if (line.find(L"UnzipToFolder") == std::wstring::npos) return;
    ++tries;
    HANDLE writer = CreateFileW(archive.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (writer != INVALID_HANDLE_VALUE) {
      ++succeeded;
      CloseHandle(writer);
    }
    if (DeleteFileW(archive.c_str())) ++succeeded;
    if (MoveFileW(archive.c_str(), (root + L"\\moved.a").c_str())) ++succeeded;
  });
  ExtractPackage(RT_RCDATA, TESTZIP_ODD, work.c_str());
  machine.WhileDebugLine(nullptr);
  EXPECT_GT(tries, 5);
  EXPECT_EQ(0, succeeded);
  EXPECT_EQ((std::vector<std::wstring>{L"good.fw", L"last.fw", L"nodate.fw", L"twice.fw"}), ListTree(work));
  EXPECT_EQ(0, IsPathExist(archive.c_str())) << "removed once the items are out";
}

TEST_F(PackageTest, TwoStartsShareTheArchiveNameAndLeaveItBehindNeither) {
  std::wstring second = root + L"\\run2";
  ExtractPackage(PACKAGE_RESOURCE_TYPE, PACKAGE_RESOURCE_ID, work.c_str());
  EXPECT_EQ(0, IsPathExist(ArchiveLeftover().c_str()));
  ExtractPackage(PACKAGE_RESOURCE_TYPE, PACKAGE_RESOURCE_ID, second.c_str());
  EXPECT_EQ(0, IsPathExist(ArchiveLeftover().c_str()));
  EXPECT_EQ(kDemoItems, ListTree(work));
  EXPECT_EQ(kDemoItems, ListTree(second));
}

TEST_F(PackageTest, ConfigurationKeysDefaultsAndMessages) {
  HWND dialog = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  GetAppState()->hDlg = dialog;
  std::wstring path = Config(
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
  LoadPackageConfig(path.c_str());
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
  LoadPackageConfig(Config(L"[UPDATEINFO]\nModelName=" + model + L"\nBeforeMessage=" + message +
                           L"\nAfterMessage=" + message + L"\nPowerCtrl=1\n")
                        .c_str());
  AppState* app = GetAppState();
  EXPECT_EQ(259u, wcslen(app->szModelList));
  EXPECT_EQ(L';', app->szModelList[0]);
  // The profile read keeps 1023 characters; the replacement area 999 of them.
  for (const WCHAR* text : {app->szBeforeMessage, app->szAfterMessage}) {
    size_t length = wcsnlen(text, 1024);
    EXPECT_LT(length, 1000u);
    EXPECT_EQ(std::wstring(L"ab\r\nab\r\n"), std::wstring(text, 8));
  }
  EXPECT_EQ(1, app->PowerCtrl) << "the fields after the messages are intact";
}

TEST_F(PackageTest, AnsiAndUtf8ConfigurationsReadAsTheProfileFunctionsDo) {
  std::wstring path = root + L"\\KestrelInfo.ini";
  const char ansi[] = "[UPDATEINFO]\r\nTITLE=Plain Title\r\nSOCID=0000\r\nPowerCtrl=1\r\n";
  WriteAll(path, lab::Bytes(ansi, ansi + sizeof ansi - 1));
  LoadPackageConfig(path.c_str());
  EXPECT_STREQ(L"Plain Title", GetAppState()->szTitle);
  EXPECT_STREQ(L"0000", GetAppState()->szSocId);
  EXPECT_EQ(1, GetAppState()->PowerCtrl);

  const char utf8[] = "[UPDATEINFO]\r\nTITLE=Utf8 Title\r\nSOCID=*\r\n";
  WriteAll(path, lab::Bytes(utf8, utf8 + sizeof utf8 - 1));
  LoadPackageConfig(path.c_str());
  EXPECT_STREQ(L"Utf8 Title", GetAppState()->szTitle);
  EXPECT_STREQ(L"*", GetAppState()->szSocId);
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

TEST_F(PackageTest, FileHelpers) {
  std::wstring file = root + L"\\data.bin";
  lab::Bytes data = {1, 2, 3, 4, 5};
  EXPECT_EQ(1, WriteFileData(file.c_str(), GENERIC_WRITE, data.data(), 5));
  EXPECT_EQ(5u, ReadFileData(file.c_str(), 0, nullptr));
  BYTE buf[8] = {};
  EXPECT_EQ(3u, ReadFileData(file.c_str(), 3, buf));
  EXPECT_EQ(3, buf[2]);
  EXPECT_EQ(1, WriteFileData(file.c_str(), FILE_APPEND_DATA, data.data(), 2));
  EXPECT_EQ(0, WriteFileData(file.c_str(), GENERIC_READ, data.data(), 5)) << "other access is refused";
  EXPECT_EQ(0u, ReadFileData((root + L"\\missing").c_str(), 0, nullptr));
  EXPECT_EQ(1, IsPathExist(file.c_str()));
  EXPECT_EQ(1, IsPathExist(root.c_str()));
  EXPECT_EQ(0, IsPathExist(L""));
  EXPECT_EQ(0, IsPathExist((root + L"\\missing").c_str()));
}
