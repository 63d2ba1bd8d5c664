// The command line as read, and the log file an administrator names.
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "LabFixture.h"
#include "ProgramFixture.h"
#include "Scenario.h"
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
      {L"/update /log /all", L"/log needs a value"},
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

  std::wstring made = folder + L"\\made", inside = made + L"\\update.log";
  DeleteFileW(inside.c_str());
  RemoveDirectoryW(made.c_str());
  ASSERT_TRUE(OpenLogFile(inside.c_str(), why, 400)) << why;
  LogLine(L"in a folder made for it");
  CloseLogFile();
  std::string log = ReadAll(inside);
  EXPECT_NE(std::string::npos, log.find("in a folder made for it")) << "the missing last folder is made";
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
  for (const wchar_t* made : {L"\\update.log", L"\\made\\update.log"}) DeleteFileW((elsewhere + made).c_str());
  RemoveDirectoryW((elsewhere + L"\\made").c_str());
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
      {dirLink + L"\\made\\update.log", L"its path leads elsewhere through a link"},
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
  // Refused only after the file or folder was made at the link's end would
  // let whoever made the link have the system make files where it likes.
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((elsewhere + L"\\update.log").c_str()));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((elsewhere + L"\\made").c_str()));
  links::RemoveDirectoryLink(fileLink);
  links::RemoveDirectoryLink(dirLink);
  DeleteFileW(hardLink.c_str());
}

TEST_F(LogFileTest, ADeviceAStreamOrAReservedNameIsRefusedUnopened) {
  std::string error;
  ASSERT_TRUE(lab::BuildScenario(machine, "nvme disk=0 bus=2\n", &error)) << error;
  std::wstring folder = TempFolder(L"kestrel-log-devices");
  DeleteFileW((folder + L"\\x.log:stream").c_str());
  const std::wstring paths[] = {L"\\\\.\\PhysicalDrive0",
                                L"\\\\?\\PhysicalDrive0",
                                L"\\\\?\\GLOBALROOT\\Device\\Harddisk0\\DR0",
                                L"\\\\.\\pipe\\kestrel-log",
                                L"CON",
                                L"nul",
                                folder + L"\\COM1",
                                folder + L"\\aux.log",
                                folder + L"\\x.log:stream"};
  for (const auto& path : paths) {
    WCHAR why[600] = L"", full[MAX_PATH] = L"";
    EXPECT_FALSE(OpenLogFile(path.c_str(), why, 600)) << path;
    EXPECT_NE(nullptr, wcsstr(why, L"names no file on a drive or a share")) << why;
    GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    EXPECT_EQ(0, machine.OpenAttempts(path) + machine.OpenAttempts(full)) << path << " was opened";
  }
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder + L"\\x.log:stream").c_str()));
  std::wstring plain = L"\\\\?\\" + folder + L"\\plain.log";
  WCHAR why[600] = L"";
  EXPECT_TRUE(OpenLogFile(plain.c_str(), why, 600)) << why;
}

// The lab program's command line under Wine, with no display: its exit code,
// what it printed, and the lab's count of the windows the run made.
namespace {

struct LabRun {
  DWORD code;
  std::string out, err;
};

class UnattendedProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = TempFolder((L"kestrel-unattended-" + std::to_wstring(GetCurrentProcessId())).c_str());
    DeleteFileW(StatePath().c_str());
    DeleteFileW(LogPath().c_str());
  }

  std::wstring StatePath() const { return folder_ + L"\\machine.state"; }
  std::wstring LogPath() const { return folder_ + L"\\update.log"; }

  void Scenario(const std::string& text) {
    std::ofstream(links::UnixPath(folder_ + L"\\machine.scenario"), std::ios::binary) << text;
    DeleteFileW(StatePath().c_str());
  }

  // One run of the lab program on the scenario's machine, kept from run to
  // run as a real machine keeps its drives and registry.
  LabRun Run(const std::wstring& args, const std::wstring& program = ProgramPath(L"KestrelLab.exe")) {
    std::wstring out = folder_ + L"\\out.txt", err = folder_ + L"\\err.txt";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE hOut = CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE hErr = CreateFileW(err.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = hOut;
    startup.hStdError = hErr;
    std::wstring command = L"\"" + program + L"\" --scenario \"" + folder_ + L"\\machine.scenario\" --state \"" +
                           StatePath() + L"\" " + args;
    PROCESS_INFORMATION process = {};
    LabRun run = {259, "", ""};
    BOOL started = CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &process);
    CloseHandle(hOut);
    CloseHandle(hErr);
    EXPECT_TRUE(started) << GetLastError();
    if (!started) return run;
    run.code = WaitForEnd(&process, 120000);
    run.out = ReadAll(out);
    run.err = ReadAll(err);
    EXPECT_NE(std::string::npos, run.err.find("lab: 0 windows, 0 message boxes")) << args.c_str() << "\n" << run.err;
    return run;
  }

  std::wstring folder_;
  OneUpdaterAtATime turn_;
};

bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

const char kNativeMachine[] =
    "nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=KS512N0000000001 maker\n"
    "nvme disk=1 bus=7 model=\"OTHER MAKER SSD 1TB\" serial=OTHER00000000002 vid=144D ssvid=144D size=1000\n";
// A second drive reporting the first one's serial number, as some do.
const char kTwinDrive[] = "nvme disk=2 bus=3 model=\"KESTREL LAB NVME 512GB\" serial=KS512N0000000001 fw=1.1.0.00 maker";

}  // namespace

TEST_F(UnattendedProgram, AnUpdateWaitsForTheRestartAndStatusFollowsIt) {
  Scenario(kNativeMachine);
  LabRun list = Run(L"/list");
  EXPECT_EQ(0u, list.code);
  EXPECT_TRUE(Has(list.out, "1\tKESTREL LAB NVME 512GB\tKS512N0000000001\tNVMe\t1.0.0.00 (1.4.B.07)\t2.0.0.00\t"
                            "update available\r\n")) << list.out;
  EXPECT_TRUE(Has(list.out, "OTHER MAKER SSD 1TB\tOTHER00000000002\tNVMe\t1.0.0.00\t-\trefused: this package is not "
                            "for this drive's model or controller")) << list.out;

  EXPECT_EQ(1u, Run(L"/status").code) << "a drive on the old firmware";
  LabRun update = Run(L"/update /all /log " + LogPath());
  EXPECT_EQ(3010u, update.code) << update.out;
  EXPECT_TRUE(Has(update.out, "serial KS512N0000000001: updated; the new firmware runs after the computer restarts"))
      << update.out;
  std::string log = ReadAll(LogPath());
  for (const char* line : {"Z [VX] Kestrel /update started, with no window", "ends within ",
                           "The package asks (answered Yes): ", "The package's closing message: ",
                           "Z [VX]          [middle] DownloadFW", "Kestrel /update ended with exit code 3010"})
    EXPECT_TRUE(Has(log, line)) << line << "\n" << log;

  EXPECT_EQ(3010u, Run(L"/status").code);
  EXPECT_TRUE(Has(Run(L"/list").out, "\twaiting for restart\r\n"));
  EXPECT_EQ(3010u, Run(L"/update /serial KS512N0000000001").code) << "a waiting update is not sent again";
  LabRun after = Run(L"--restart /status /serial KS512N0000000001");
  EXPECT_EQ(0u, after.code) << after.out;
  EXPECT_TRUE(Has(after.out, "\tKS512N0000000001\tNVMe\t2.0.0.00 (1.4.B.22)\t2.0.0.00\tcurrent\r\n")) << after.out;
  EXPECT_EQ(0u, Run(L"/update /all").code) << "nothing left to do";
}

TEST_F(UnattendedProgram, ForceRestartStartsTheRestartTheUpdateNeeds) {
  Scenario(kNativeMachine);
  LabRun update = Run(L"-UPDATE -Serial KS512N0000000001 -ForceRestart");
  EXPECT_EQ(1641u, update.code) << update.out;
  EXPECT_TRUE(Has(update.out, "Restarting the computer to start the new firmware.")) << update.out;
  EXPECT_EQ(0u, Run(L"/status").code) << "the lab restarted as asked";
}

TEST_F(UnattendedProgram, EachOutcomeHasItsExitCodeAndItsReason) {
  const struct {
    const char* machine;
    const wchar_t* args;
    DWORD code;
    const char* said;
  } cases[] = {
      {"usb disk=2 chip=asmedia ports=3 model=\"KESTREL LAB NVME 512GB\" serial=KS512A0000000003 maker\n",
       L"/update /all", 0, "serial KS512A0000000003: updated; it runs firmware 2.0.0.00"},
      {"nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=KS512N0000000001 maker commit=0x111\n",
       L"/update /all", 3010, "updated; the new firmware runs after the computer restarts"},
      {"nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=KS512N0000000001 maker refuse=0x11:0x0004:2\n",
       L"/update /all", 1603, "The drive still runs its old firmware."},
      {"rst disk=1 port=3 path=0 bus=5 model=\"KESTREL LAB NVME 1TB\" serial=KS1TR00000000002 size=1000 maker "
       "refuse=0x11:0x0002:1\n",
       L"/update /all", 1603, "The download failed at offset 0x1000: the driver answered firmware status 0x03"},
      {"nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=KS512N0000000001 maker\npower ac=0 battery=20\n",
       L"/update /all", 1602, "run the update again on mains power"},
      {"nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=KS512N0000000001 maker\npower ac=1 battery=20\n",
       L"/update /all", 3010, "updated; the new firmware runs after the computer restarts"},  // charging: no refusal
      {kNativeMachine, L"/update /serial NOSUCHDRIVE /serial KS512N0000000001", 1603,
       "serial NOSUCHDRIVE: not updated: no drive with this serial number was found"},
      {kNativeMachine, L"/update /serial OTHER00000000002", 1603,
       "serial OTHER00000000002: not updated: refused: this package is not for"},
      {"nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=KS512N0000000001 maker unlisted=0xE6\n",
       L"/update /serial KS512N0000000001", 1603,
       "The drive does not allow vendor command 0xE6 through the Windows NVMe driver"},
      {"nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=KS512N0000000001 maker commit=0x111\n"
       "nvme disk=1 bus=7 model=\"KESTREL LAB NVME 1TB\" serial=KS1TN00000000002 size=1000 maker denied\n",
       L"/update /all", 1603, "1 disks could not be opened (access denied)"},
      {kNativeMachine, L"/update /bogus", 87, "Kestrel: /bogus is not a switch of this program."},
      {kNativeMachine, L"/status /serial NOSUCHDRIVE", 1, "serial NOSUCHDRIVE: no drive with this serial number"},
      // A drive /update /all leaves alone does not undo its detection; named, it does.
      {"nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=KS512N0000000001 maker fw=0.9.0.00\n", L"/status", 0,
       "refused: This package does not update drives with firmware 0.9.0.00."},
      {"nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=KS512N0000000001 maker fw=0.9.0.00\n",
       L"/status /serial KS512N0000000001", 1, "refused: This package does not update drives with firmware 0.9.0.00."},
      {kNativeMachine, L"/?", 0, "Kestrel.exe /update /all"},
  };
  for (const auto& c : cases) {
    Scenario(c.machine);
    LabRun run = Run(c.args);
    EXPECT_EQ(c.code, run.code) << c.args << "\n" << run.out;
    EXPECT_TRUE(Has(run.out, c.said)) << c.said << "\n" << run.out;
  }
}

TEST_F(UnattendedProgram, ASerialNumberNamesEveryDriveThatReportsIt) {
  Scenario(std::string(kNativeMachine) + kTwinDrive + " refuse=0x11:0x0004\n");
  LabRun update = Run(L"/update /serial ks512n0000000001");
  EXPECT_EQ(1603u, update.code) << update.out;
  size_t first = update.out.find("serial KS512N0000000001: updating");
  EXPECT_NE(std::string::npos, update.out.find("serial KS512N0000000001: updating", first + 1)) << update.out;
  EXPECT_EQ(1u, Run(L"--restart /status /serial KS512N0000000001").code) << "the twin runs its old firmware";
}

TEST_F(UnattendedProgram, ASecondCopyLeavesTheDrivesAlone) {
  Scenario(kNativeMachine);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  std::wstring program = ProgramPath(L"KestrelLab.exe");
  std::wstring command = L"\"" + program + L"\" --auto";
  PROCESS_INFORMATION first = {};
  ASSERT_TRUE(CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &first));
  HWND dlg = nullptr;
  for (int i = 0; i < 300 && (dlg = DialogOf(first.dwProcessId)) == nullptr; ++i) Sleep(100);
  ASSERT_NE(nullptr, dlg);
  LabRun second = Run(L"/update /all");
  EXPECT_EQ(1618u, second.code);
  EXPECT_TRUE(Has(second.out, "Another copy of the updater is running; nothing was done.")) << second.out;
  CloseUpdater(&first, dlg);
  EXPECT_TRUE(Has(Run(L"/list").out, "\tupdate available\r\n")) << "the second copy sent nothing";
}

TEST_F(UnattendedProgram, ADamagedPackageIsRefusedBeforeAnyDrive) {
  Scenario(kNativeMachine);
  std::wstring copy = folder_ + L"\\KestrelLab.exe";
  ASSERT_TRUE(CopyFileW(ProgramPath(L"KestrelLab.exe").c_str(), copy.c_str(), FALSE));
  std::fstream exe(links::UnixPath(copy), std::ios::in | std::ios::out | std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(exe)), std::istreambuf_iterator<char>());
  // The configuration item's bytes inside the embedded archive.
  size_t header = bytes.find("PK\x03\x04");
  while (header != std::string::npos && bytes.compare(header + 30, 15, "KestrelInfo.ini") != 0)
    header = bytes.find("PK\x03\x04", header + 4);
  ASSERT_NE(std::string::npos, header);
  size_t extra = uint8_t(bytes[header + 28]) | uint8_t(bytes[header + 29]) << 8;
  exe.seekp(static_cast<std::streamoff>(header + 30 + 15 + extra + 4));
  exe.put('\x55').put('\xAA');
  exe.close();
  LabRun run = Run(L"/update /all", copy);
  EXPECT_EQ(1620u, run.code) << run.out;
  EXPECT_TRUE(Has(run.out, "The firmware package inside the updater is damaged; nothing was sent to any drive."));
  EXPECT_TRUE(Has(Run(L"/list").out, "\tupdate available\r\n"));
}

TEST_F(LabTest, AnUnattendedDownloadPastItsDeadlineSendsNoFurtherPiece) {
  std::string error;
  ASSERT_TRUE(lab::BuildScenario(machine, "nvme disk=0 bus=2\n", &error)) << error;
  lab::Bytes image = lab::MakeLabImage(16384, "2.0.0.00");
  CmdContext native = {CMD_NVME, INVALID_HANDLE_VALUE, 0};
  HANDLE h = Open(L"\\\\.\\PhysicalDrive0");
  SetDownloadDeadline(plat::GetTickCount64() + 1);
  EXPECT_EQ(RES_SUCCESS, DownloadFW(&native, h, image.data(), 4096)) << "one piece, before the deadline";
  plat::Sleep(1);
  EXPECT_EQ(RES_DEADLINE, DownloadFW(&native, h, image.data(), 16384));
  SetDownloadDeadline(0);
  EXPECT_EQ(1u, machine.DriveAt(0)->pieces().size());
  EXPECT_EQ(RES_SUCCESS, DownloadFW(&native, h, image.data(), 16384)) << "no deadline: every piece";
  plat::CloseHandle(h);
}

// The lab keeps its machine in a file anyone may have changed: one that is
// not whole and as the lab writes it changes nothing. Two drives may report
// one serial number.
TEST_F(LabTest, TheMachineStateIsReadBackWholeOrRefused) {
  std::string error;
  ASSERT_TRUE(lab::BuildScenario(machine, std::string(kNativeMachine) + kTwinDrive, &error)) << error;
  std::wstring file = TempFolder(L"kestrel-lab-state") + L"\\machine.state";
  ASSERT_TRUE(machine.SaveState(file, &error)) << error;
  ASSERT_TRUE(machine.LoadState(file, &error)) << error;
  EXPECT_EQ("1.1.0.00", machine.DriveAt(2)->revision()) << "each twin keeps its own state";
  std::string kept = ReadAll(file);
  size_t drive = kept.find("\ndrive ");
  ASSERT_NE(std::string::npos, drive);
  std::string head = "kestrel-lab-state 1\n", trailing = kept;
  trailing.insert(kept.find('\n', drive + 1), " 7");
  const std::string damaged[] = {
      "",
      "kestrel-lab-state 2\n",
      std::string("\x00\xff\r\n", 4),
      head + "clock -1 -1\n",
      head + "clock 18446744073709551000 0\n",
      head + "clock 5 3 4\n",
      head + "clock 0x10 0\n",
      trailing,
      head + "value 41 41 1 41\n",
  };
  ULONGLONG uptime = machine.Uptime();
  for (const auto& text : damaged) {
    std::ofstream(links::UnixPath(file), std::ios::binary | std::ios::trunc) << text;
    EXPECT_FALSE(machine.LoadState(file, &error)) << text;
    EXPECT_EQ(uptime, machine.Uptime()) << text;
    EXPECT_EQ("1.0.0.00", machine.DriveAt(0)->revision()) << text;
  }
}

