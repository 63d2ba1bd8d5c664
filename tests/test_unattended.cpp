// The command line as read, and the log file an administrator names.
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "LabFixture.h"
#include "Links.h"
#include "app/Unattended.h"

namespace {

struct Parsed {
  int ok;
  CommandLine line;
  std::wstring why;
};

Parsed Parse(const wchar_t* text) {
  Parsed p;
  WCHAR why[300];
  p.ok = ParseCommandLine(text, &p.line, why, 300);
  p.why = why;
  return p;
}

std::wstring TempFolder(const wchar_t* name) {
  WCHAR temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder = std::wstring(temp) + name;
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

std::string ReadAll(const std::wstring& path) {
  std::ifstream in(links::UnixPath(path), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

TEST(CommandLineTest, SwitchesAreReadAsWindowsSplitsWords) {
  EXPECT_EQ(MODE_DIALOG, Parse(L"").line.iMode);
  EXPECT_EQ(MODE_DIALOG, Parse(L"  \t ").line.iMode);
  EXPECT_EQ(MODE_LIST, Parse(L"-LIST /Quiet").line.iMode);
  EXPECT_EQ(MODE_HELP, Parse(L"/update /?").line.iMode);

  Parsed all = Parse(L"/UPDATE -all /forcerestart");
  ASSERT_TRUE(all.ok) << all.why;
  EXPECT_TRUE(all.line.bAll);
  EXPECT_TRUE(all.line.bForceRestart);
  EXPECT_FALSE(Parse(L"/update /all /norestart").line.bForceRestart);

  Parsed named = Parse(L"/update /serial KS512N01 -Serial \"KS 1TB\\\"X\" /log \"C:\\Program Data\\k.log\"");
  ASSERT_TRUE(named.ok) << named.why;
  ASSERT_EQ(2u, named.line.nSerials);
  EXPECT_STREQ(L"KS512N01", named.line.szSerials[0]);
  EXPECT_STREQ(L"KS 1TB\"X", named.line.szSerials[1]);
  EXPECT_STREQ(L"C:\\Program Data\\k.log", named.line.szLogFile);
  EXPECT_FALSE(named.line.bAll);
  EXPECT_EQ(MODE_STATUS, Parse(L"/status /serial A").line.iMode);
}

TEST(CommandLineTest, WhatCannotBeRunIsRefusedWithItsReason) {
  const struct {
    const wchar_t* text;
    const wchar_t* why;
  } cases[] = {
      {L"/update", L"/update needs /all or the drives' /serial numbers, not both"},
      {L"/update /all /serial A", L"/update needs /all or the drives' /serial numbers, not both"},
      {L"/update /serial", L"/serial needs a value"},
      {L"/update /serial /all", L"/serial needs a value"},
      {L"/update /serial \" \"", L"/serial needs a value"},
      {L"/list /update", L"/update: give only one of /list, /update and /status"},
      {L"/bogus", L"/bogus is not a switch of this program"},
      {L"list", L"\"list\" is not a switch"},
      {L"/log a.log", L"say what to do: /list, /update or /status"},
      {L"/quiet", L"say what to do: /list, /update or /status"},
      {L"/list /log a /log b", L"/log: give one log file"},
      {L"/list /log", L"/log needs a value"},
      {L"/update /all /norestart /forcerestart", L"give /norestart or /forcerestart, not both"},
      {L"/status /all", L"/all, /norestart and /forcerestart go with /update"},
      {L"/list /serial A", L"/serial goes with /update or /status"},
  };
  for (const auto& c : cases) {
    Parsed p = Parse(c.text);
    EXPECT_FALSE(p.ok) << c.text;
    EXPECT_EQ(c.why, p.why) << c.text;
  }
  std::wstring many = L"/update";
  for (UINT32 i = 0; i <= MAX_SERIALS; ++i) many += L" /serial S" + std::to_wstring(i);
  EXPECT_EQ(L"/serial: too many serial numbers", Parse(many.c_str()).why);
}

TEST(CommandLineTest, TheWorstExitCodeWins) {
  const int order[] = {EXIT_DONE, EXIT_RESTART_NEEDED, EXIT_RESTART_STARTED, EXIT_ON_BATTERY, EXIT_FAILED,
                       EXIT_PACKAGE_DAMAGED};
  for (size_t i = 0; i < 6; ++i)
    for (size_t j = 0; j < 6; ++j) EXPECT_EQ(order[i > j ? i : j], WorseExit(order[i], order[j])) << i << " " << j;
}

class LogFileTest : public LabTest {
 protected:
  void TearDown() override {
    CloseLogFile();
    LabTest::TearDown();
  }
};

TEST_F(LogFileTest, EveryLineIsAppendedWithItsTime) {
  std::wstring folder = TempFolder(L"kestrel-log-lines");
  std::wstring path = folder + L"\\update.log";
  DeleteFileW(path.c_str());
  { std::ofstream(links::UnixPath(path), std::ios::binary) << "kept\n"; }
  WCHAR why[400] = L"";
  ASSERT_TRUE(OpenLogFile(path.c_str(), why, 400)) << why;
  LogLine(L"main line %d: Pr\u00fcfung", 1);
  LogDetail(L"hidden while the detail log is off");
  GetAppState()->iDebugLog = 1;
  LogDetail(L"detail line");
  CloseLogFile();
  LogLine(L"after the close");
  std::string text = ReadAll(path);
  std::regex stamp("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z ");
  std::istringstream lines(text);
  std::vector<std::string> got;
  for (std::string line; std::getline(lines, line);) got.push_back(line);
  ASSERT_EQ(3u, got.size()) << text;
  EXPECT_EQ("kept", got[0]);
  EXPECT_TRUE(std::regex_search(got[1], stamp)) << got[1];
  EXPECT_EQ("[VX] main line 1: Pr\xC3\xBC" "fung\r", got[1].substr(25)) << "UTF-8, CR LF";
  EXPECT_EQ("[VX]          [middle] detail line\r", got[2].substr(25));
}

TEST_F(LogFileTest, AFolderALinkOrAnotherNameIsRefusedAndLeftAsItWas) {
  std::wstring folder = TempFolder(L"kestrel-log-refused");
  std::wstring victim = folder + L"\\victim.txt", other = folder + L"\\other.txt";
  std::wstring elsewhere = TempFolder(L"kestrel-log-elsewhere");
  for (const auto& file : {victim, other}) std::ofstream(links::UnixPath(file), std::ios::binary) << "precious";
  std::wstring fileLink = folder + L"\\link.log", hardLink = folder + L"\\hard.log", dirLink = folder + L"\\dir";
  links::RemoveDirectoryLink(fileLink);
  links::RemoveDirectoryLink(dirLink);
  DeleteFileW(hardLink.c_str());
  ASSERT_TRUE(links::MakeDirectoryLink(fileLink, victim));
  ASSERT_TRUE(links::MakeDirectoryLink(dirLink, elsewhere));
  ASSERT_TRUE(CreateHardLinkW(hardLink.c_str(), other.c_str(), nullptr));
  const struct {
    std::wstring path;
    const wchar_t* why;
  } cases[] = {
      {folder, L"it is a folder"},
      {fileLink, L"its path leads elsewhere through a link"},
      {dirLink + L"\\update.log", L"its path leads elsewhere through a link"},
      {hardLink, L"the file has other names (hard links)"},
  };
  for (const auto& c : cases) {
    WCHAR why[600] = L"";
    EXPECT_FALSE(OpenLogFile(c.path.c_str(), why, 600)) << c.path;
    EXPECT_NE(nullptr, wcsstr(why, c.why)) << why;
    LogLine(L"must not reach any file");
  }
  EXPECT_EQ("precious", ReadAll(victim));
  EXPECT_EQ("precious", ReadAll(other));
  links::RemoveDirectoryLink(fileLink);
  links::RemoveDirectoryLink(dirLink);
  DeleteFileW(hardLink.c_str());
}
