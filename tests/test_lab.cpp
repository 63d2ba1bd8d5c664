// The machine room itself: it must refuse what Windows and a real controller
// refuse, or the transport tests would prove nothing.
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "DeviceTree.h"
#include "Devices.h"
#include "LabFixture.h"
#include "MakerPersonality.h"
#include "PackageFixture.h"
#include "ProgramFixture.h"
#include "Scenario.h"
#include "UsbBridge.h"
#include "resources/resource.h"

#include <commctrl.h>

namespace {

constexpr DWORD PROTOCOL_COMMAND = 0x002DD3C0;
constexpr DWORD FIRMWARE_DOWNLOAD = 0x002DDC04;

// A well-formed 0x1090-byte vendor read, built here from the documented offsets.
lab::Bytes VendorRead(uint8_t opcode) {
  lab::Bytes b(0x1090);
  lab::Wr32(b.data(), 0x00, 1);
  lab::Wr32(b.data(), 0x04, 0x54);
  lab::Wr32(b.data(), 0x08, 3);
  lab::Wr32(b.data(), 0x0C, 0x80000000);
  lab::Wr32(b.data(), 0x18, 0x40);
  lab::Wr32(b.data(), 0x24, 4096);
  lab::Wr32(b.data(), 0x28, 10);
  lab::Wr32(b.data(), 0x30, 0x90);
  lab::Wr32(b.data(), 0x34, 0x90);
  lab::Wr32(b.data(), 0x38, 1);
  b[0x50] = opcode;
  lab::Wr32(b.data(), 0x78, 0x400);
  return b;
}

lab::Bytes Piece(uint64_t offset, uint32_t length) {
  lab::Bytes b(0x28 + length, 0xA5);
  lab::Wr32(b.data(), 0x00, 0x28);
  lab::Wr32(b.data(), 0x04, 0x28 + length);
  lab::Wr32(b.data(), 0x08, 1);
  b[0x0C] = 1;
  b[0x0D] = b[0x0E] = b[0x0F] = 0;
  lab::Wr64(b.data(), 0x10, offset);
  lab::Wr64(b.data(), 0x18, length);
  return b;
}

}  // namespace

class LabStackTest : public NativeDriveTest {
 protected:
  void SetUp() override {
    NativeDriveTest::SetUp();
    drive->SetVendorHandler(0xE6, [](const uint8_t*, lab::Bytes& d, bool) {
      std::fill(d.begin(), d.end(), 0x42);
      return lab::nvme::Success;
    });
  }
  // Sends raw bytes; returns the error code (0 on success).
  DWORD Send(DWORD code, lab::Bytes& in, DWORD outSize, HANDLE target = nullptr) {
    DWORD returned = 0;
    lab::Bytes out(outSize, 0xCC);
    BOOL ok = plat::DeviceIoControl(target ? target : h, code, in.data(), DWORD(in.size()),
                                    outSize ? out.data() : nullptr, outSize, &returned, nullptr);
    DWORD error = ok ? 0 : GetLastError();
    if (!ok) {
      EXPECT_EQ(lab::Bytes(outSize, 0xCC), out) << "a failed request returns no data";
    }
    return error;
  }
};

TEST_F(LabStackTest, WellFormedVendorReadIsServed) {
  lab::Bytes in = VendorRead(0xE6);
  EXPECT_EQ(0u, Send(PROTOCOL_COMMAND, in, 0x1090));
}

TEST_F(LabStackTest, MalformedProtocolCommandsFailAsWindowsWould) {
  struct Case {
    const char* what;
    void (*spoil)(lab::Bytes&);
    DWORD error;
  } cases[] = {
      {"Length of the header without padding", [](lab::Bytes& b) { lab::Wr32(b.data(), 0x04, 0x50); },
       ERROR_INVALID_PARAMETER},
      {"version 2", [](lab::Bytes& b) { lab::Wr32(b.data(), 0x00, 2); }, ERROR_INVALID_PARAMETER},
      {"SCSI protocol", [](lab::Bytes& b) { lab::Wr32(b.data(), 0x08, 1); }, ERROR_INVALID_PARAMETER},
      {"no adapter flag", [](lab::Bytes& b) { lab::Wr32(b.data(), 0x0C, 0); }, ERROR_INVALID_PARAMETER},
      {"command length 32", [](lab::Bytes& b) { lab::Wr32(b.data(), 0x18, 32); }, ERROR_INVALID_PARAMETER},
      {"data offset inside the command", [](lab::Bytes& b) { lab::Wr32(b.data(), 0x34, 0x60); },
       ERROR_INVALID_PARAMETER},
      {"data offset unaligned", [](lab::Bytes& b) { lab::Wr32(b.data(), 0x34, 0x94); }, ERROR_INVALID_PARAMETER},
      {"data past the buffer", [](lab::Bytes& b) { lab::Wr32(b.data(), 0x24, 4097); }, ERROR_INVALID_PARAMETER},
      {"both directions", [](lab::Bytes& b) { lab::Wr32(b.data(), 0x20, 16); }, ERROR_INVALID_PARAMETER},
      {"NVM command set", [](lab::Bytes& b) { lab::Wr32(b.data(), 0x38, 2); }, ERROR_INVALID_PARAMETER},
      {"Identify through the pass-through", [](lab::Bytes& b) { b[0x50] = 0x06; }, ERROR_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    lab::Bytes in = VendorRead(0xE6);
    c.spoil(in);
    EXPECT_EQ(c.error, Send(PROTOCOL_COMMAND, in, 0x1090)) << c.what;
  }
  lab::Bytes shortRequest = VendorRead(0xE6);
  shortRequest.resize(0x8C);
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), Send(PROTOCOL_COMMAND, shortRequest, 0x8C));
  EXPECT_TRUE(drive->adminCommands().empty()) << "no malformed request reached the drive";
}

TEST_F(LabStackTest, DriveTakesFirmwarePiecesInOrderOnly) {
  lab::Bytes first = Piece(0, 4096), again = Piece(0, 4096), second = Piece(4096, 4096);
  lab::Bytes gap = Piece(12288, 4096), overlap = Piece(4096, 4096), unaligned = Piece(8194, 4096);
  EXPECT_EQ(0u, Send(FIRMWARE_DOWNLOAD, first, 0));
  EXPECT_EQ(0u, Send(FIRMWARE_DOWNLOAD, again, 0)) << "offset 0 starts the image anew";
  EXPECT_EQ(0u, Send(FIRMWARE_DOWNLOAD, second, 0));
  EXPECT_EQ(DWORD(ERROR_IO_DEVICE), Send(FIRMWARE_DOWNLOAD, gap, 0));
  EXPECT_EQ(DWORD(ERROR_IO_DEVICE), Send(FIRMWARE_DOWNLOAD, overlap, 0));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), Send(FIRMWARE_DOWNLOAD, unaligned, 0));
  EXPECT_EQ(lab::nvme::OverlappingRange, drive->pieces().back().status);
  EXPECT_EQ(8192u, drive->downloadBuffer().size());

  lab::Bytes badVersion = Piece(8192, 16);
  lab::Wr32(badVersion.data(), 0, 0x38);
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), Send(FIRMWARE_DOWNLOAD, badVersion, 0));
  lab::Bytes oversize = Piece(8192, 16);
  lab::Wr32(oversize.data(), 0x04, 0x28 + 64);  // Size beyond the buffer
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), Send(FIRMWARE_DOWNLOAD, oversize, 0));
}

TEST_F(LabStackTest, HandleRightsAndValidity) {
  HANDLE readOnly = Open(L"\\\\.\\PHYSICALDRIVE0", GENERIC_READ);
  ASSERT_NE(INVALID_HANDLE_VALUE, readOnly);
  lab::Bytes in = VendorRead(0xE6);
  EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), Send(PROTOCOL_COMMAND, in, 0x1090, readOnly));
  plat::CloseHandle(readOnly);
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), Send(PROTOCOL_COMMAND, in, 0x1090, readOnly)) << "closed handle";

  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(L"\\\\.\\PhysicalDrive1"));
  EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
  machine.FailOpen(L"\\\\.\\PhysicalDrive0", ERROR_SHARING_VIOLATION);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(L"\\\\.\\PhysicalDrive0"));
  EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());

  EXPECT_FALSE(plat::CloseHandle(reinterpret_cast<HANDLE>(0x999)));
  EXPECT_EQ(1, machine.BadReleases());
  machine.Reset();  // the bad release above was this test's own doing
  h = INVALID_HANDLE_VALUE;
}

TEST_F(LabStackTest, AddressNumberAndDescriptor) {
  BYTE address[8] = {8};
  DWORD returned = 0;
  ASSERT_TRUE(plat::DeviceIoControl(h, 0x00041018, address, 8, address, 8, &returned, nullptr));
  EXPECT_EQ(Hex("08000000 01000000"), lab::Bytes(address, address + 8));
  BYTE number[12];
  ASSERT_TRUE(plat::DeviceIoControl(h, 0x002D1080, nullptr, 0, number, 12, &returned, nullptr));
  EXPECT_EQ(Hex("07000000 00000000 00000000"), lab::Bytes(number, number + 12));

  BYTE query[12] = {};  // StorageDeviceProperty, standard query
  BYTE descriptor[40];
  ASSERT_TRUE(plat::DeviceIoControl(h, 0x002D1400, query, 12, descriptor, 40, &returned, nullptr));
  EXPECT_EQ(40u, returned);
  EXPECT_EQ(17u, lab::Rd32(descriptor, 28)) << "bus type NVMe";
}

TEST_F(LabStackTest, ClockTraceAndPageAccounting) {
  ULONGLONG start = plat::GetTickCount64();
  DWORD before = GetTickCount();
  plat::Sleep(3000);
  plat::Sleep(1000);
  EXPECT_EQ(start + 4000, plat::GetTickCount64());
  EXPECT_LT(GetTickCount() - before, 1000u) << "virtual sleeps cost no real time";

  void* page = plat::VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  ASSERT_NE(nullptr, page);
  EXPECT_EQ(1, machine.OutstandingAllocations());
  EXPECT_TRUE(plat::VirtualFree(page, 0, MEM_RELEASE));
  EXPECT_EQ(0, machine.OutstandingAllocations());

  wchar_t path[MAX_PATH];
  GetTempPathW(MAX_PATH, path);
  std::wstring file = std::wstring(path) + L"kestrel-lab-trace.txt";
  machine.SetTraceFile(file);
  lab::Bytes in = VendorRead(0xE6);
  Send(PROTOCOL_COMMAND, in, 0x1090);
  machine.SetTraceFile(L"");
  FILE* f = _wfopen(file.c_str(), L"r");
  ASSERT_NE(nullptr, f);
  char line[256] = {};
  fgets(line, sizeof line, f);
  fclose(f);
  DeleteFileW(file.c_str());
  EXPECT_NE(nullptr, strstr(line, "ioctl 0x002DD3C0 in 4240 out 4240 -> ok"));
}

TEST_F(LabStackTest, MessageBoxesAreRecorded) {
  machine.QueueMessageBoxAnswer(IDNO);
  EXPECT_EQ(IDNO, plat::MessageBoxW(nullptr, L"Update?", L"Kestrel", MB_YESNO));
  EXPECT_EQ(IDYES, plat::MessageBoxW(nullptr, L"Again?", L"Kestrel", MB_YESNO));
  ASSERT_EQ(2u, machine.MessageBoxes().size());
  EXPECT_EQ(L"Update?", machine.MessageBoxes()[0].text);
}

// The process token as Windows guards it, and the shutdown it guards.
class LabTokenTest : public LabTest {
 protected:
  HANDLE Token(DWORD access) {
    HANDLE token = nullptr;
    EXPECT_TRUE(plat::OpenProcessToken(GetCurrentProcess(), access, &token));
    return token;
  }
  static TOKEN_PRIVILEGES Shutdown(DWORD attributes) {
    TOKEN_PRIVILEGES state = {};
    state.PrivilegeCount = 1;
    EXPECT_TRUE(plat::LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &state.Privileges[0].Luid));
    state.Privileges[0].Attributes = attributes;
    return state;
  }
};

TEST_F(LabTokenTest, ExitWindowsExNeedsTheShutdownPrivilegeEnabled) {
  EXPECT_FALSE(plat::ExitWindowsEx(EWX_REBOOT, 0));
  EXPECT_EQ(DWORD(ERROR_PRIVILEGE_NOT_HELD), GetLastError()) << "an administrator holds it, disabled";

  HANDLE token = Token(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
  TOKEN_PRIVILEGES enable = Shutdown(SE_PRIVILEGE_ENABLED), previous = {};
  DWORD length = 0;
  ASSERT_TRUE(plat::AdjustTokenPrivileges(token, FALSE, &enable, sizeof previous, &previous, &length));
  EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError());
  EXPECT_EQ(DWORD(sizeof previous), length);
  ASSERT_EQ(1u, previous.PrivilegeCount);
  EXPECT_EQ(0u, previous.Privileges[0].Attributes) << "it was disabled";
  EXPECT_TRUE(plat::CloseHandle(token));
  EXPECT_TRUE(plat::ExitWindowsEx(EWX_REBOOT, 0)) << "the privilege stays enabled in the token, not the handle";
  EXPECT_EQ((std::vector<UINT>{EWX_REBOOT}), machine.ShutdownRequests());

  token = Token(TOKEN_ADJUST_PRIVILEGES);
  TOKEN_PRIVILEGES disable = Shutdown(0);
  ASSERT_TRUE(plat::AdjustTokenPrivileges(token, FALSE, &disable, 0, nullptr, nullptr));
  EXPECT_FALSE(plat::ExitWindowsEx(EWX_POWEROFF, 0));
  EXPECT_EQ(DWORD(ERROR_PRIVILEGE_NOT_HELD), GetLastError());
  EXPECT_EQ(1u, machine.ShutdownRequests().size()) << "a refused request is no shutdown";
  EXPECT_TRUE(plat::CloseHandle(token));
}

TEST_F(LabTokenTest, TheTokenCallsRefuseWhatWindowsRefuses) {
  LUID luid = {};
  EXPECT_FALSE(plat::LookupPrivilegeValueW(nullptr, L"SeNoSuchPrivilege", &luid));
  EXPECT_EQ(DWORD(ERROR_NO_SUCH_PRIVILEGE), GetLastError());
  ASSERT_TRUE(plat::LookupPrivilegeValueW(L"", L"seshutdownprivilege", &luid)) << "names ignore case";
  EXPECT_EQ(19u, luid.LowPart);
  HANDLE other = nullptr;
  EXPECT_FALSE(plat::OpenProcessToken(reinterpret_cast<HANDLE>(0x1234), TOKEN_ADJUST_PRIVILEGES, &other));
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());

  TOKEN_PRIVILEGES enable = Shutdown(SE_PRIVILEGE_ENABLED), previous = {};
  DWORD length = 0;
  HANDLE queryOnly = Token(TOKEN_QUERY);
  EXPECT_FALSE(plat::AdjustTokenPrivileges(queryOnly, FALSE, &enable, 0, nullptr, nullptr));
  EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
  HANDLE adjustOnly = Token(TOKEN_ADJUST_PRIVILEGES);
  EXPECT_FALSE(plat::AdjustTokenPrivileges(adjustOnly, FALSE, &enable, sizeof previous, &previous, &length));
  EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError()) << "the previous state needs TOKEN_QUERY too";
  HANDLE both = Token(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
  EXPECT_FALSE(plat::AdjustTokenPrivileges(both, FALSE, &enable, 4, &previous, &length));
  EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(DWORD(sizeof previous), length);
  EXPECT_FALSE(plat::AdjustTokenPrivileges(reinterpret_cast<HANDLE>(0x999), FALSE, &enable, 0, nullptr, nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError()) << "a handle the lab never gave out";
  machine.AddNativeDrive({0, 1, 0});
  HANDLE disk = Open(L"\\\\.\\PhysicalDrive0");
  EXPECT_FALSE(plat::AdjustTokenPrivileges(disk, FALSE, &enable, 0, nullptr, nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError()) << "a disk is no token";
  EXPECT_FALSE(plat::ExitWindowsEx(EWX_REBOOT, 0)) << "none of these enabled the privilege";

  machine.WithholdPrivilege(SE_SHUTDOWN_NAME);
  EXPECT_TRUE(plat::AdjustTokenPrivileges(both, FALSE, &enable, 0, nullptr, nullptr));
  EXPECT_EQ(DWORD(ERROR_NOT_ALL_ASSIGNED), GetLastError()) << "TRUE, yet nothing was enabled";
  EXPECT_FALSE(plat::ExitWindowsEx(EWX_REBOOT, 0));
  EXPECT_EQ(DWORD(ERROR_PRIVILEGE_NOT_HELD), GetLastError());
  EXPECT_TRUE(machine.ShutdownRequests().empty());
  for (HANDLE h : {queryOnly, adjustOnly, both, disk}) EXPECT_TRUE(plat::CloseHandle(h));
}

// A namespace formatted with 4096-byte blocks counts its size in them, as a
// drive does; LBA format 0 keeps its 512-byte blocks.
TEST_F(LabTest, A4KnNamespaceCountsItsOwnBlocks) {
  std::string error;
  ASSERT_TRUE(lab::BuildScenario(machine, "nvme disk=0 size=512 format=1\n", &error)) << error;
  uint8_t sqe[64] = {};
  sqe[0] = 0x06;             // Identify, CNS 0
  lab::Wr32(sqe, 4, 1);      // namespace 1
  lab::Bytes ns(4096);
  ASSERT_TRUE(machine.DriveAt(0)->Admin(sqe, ns, false).ok());
  EXPECT_EQ(125000000u, lab::Rd64(ns.data(), 0)) << "NSZE";
  EXPECT_EQ(1, ns[26]) << "FLBAS";
  EXPECT_EQ(9, ns[130]) << "LBA format 0: 512 bytes";
  EXPECT_EQ(12, ns[134]) << "LBA format 1: 4096 bytes";

  auto maker = lab::GiveMakerPersonality(*machine.DriveAt(0));
  EXPECT_EQ(512, lab::Rd16(maker->configBlock().data(), lab::maker::CFG_CAPACITY)) << "the maker's block, in GB";
}

// Windows takes a shutdown block reason only from the thread that made the
// window, and holds a thread's continuous execution state until that thread
// replaces it or ends.
class LabSystemPowerTest : public LabTest {
 protected:
  HWND window = nullptr;
  void SetUp() override {
    LabTest::SetUp();
    window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
  }
  void TearDown() override {
    if (window != nullptr) DestroyWindow(window);
    LabTest::TearDown();
  }
  // Runs f on a thread of its own and returns its result and last error.
  template <typename F>
  std::pair<BOOL, DWORD> OnOtherThread(F f) {
    std::pair<BOOL, DWORD> out;
    std::thread([&] {
      out.first = f();
      out.second = GetLastError();
    }).join();
    return out;
  }
};

TEST_F(LabSystemPowerTest, ABlockReasonOnlyFromTheWindowsOwnThread) {
  auto other = OnOtherThread([&] { return plat::ShutdownBlockReasonCreate(window, L"elsewhere"); });
  EXPECT_EQ((std::pair<BOOL, DWORD>{FALSE, ERROR_ACCESS_DENIED}), other);
  EXPECT_EQ(L"", machine.ShutdownBlockReason(window));
  SetLastError(0);
  EXPECT_FALSE(plat::ShutdownBlockReasonCreate(window, nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_FALSE(plat::ShutdownBlockReasonCreate(reinterpret_cast<HWND>(0x1234), L"no window"));
  EXPECT_EQ(DWORD(ERROR_INVALID_WINDOW_HANDLE), GetLastError());

  ASSERT_TRUE(plat::ShutdownBlockReasonCreate(window, L"Busy."));
  EXPECT_EQ(L"Busy.", machine.ShutdownBlockReason(window));
  other = OnOtherThread([&] { return plat::ShutdownBlockReasonDestroy(window); });
  EXPECT_EQ((std::pair<BOOL, DWORD>{FALSE, ERROR_ACCESS_DENIED}), other);
  EXPECT_EQ(L"Busy.", machine.ShutdownBlockReason(window)) << "another thread cannot lift it";
  EXPECT_TRUE(plat::ShutdownBlockReasonDestroy(window));
  EXPECT_EQ(L"", machine.ShutdownBlockReason(window));
  EXPECT_TRUE(plat::ShutdownBlockReasonDestroy(window)) << "nothing held: no error";

  ASSERT_TRUE(plat::ShutdownBlockReasonCreate(window, L"Busy."));
  DestroyWindow(window);
  EXPECT_EQ(L"", machine.ShutdownBlockReason(window)) << "the reason goes with its window";
  window = nullptr;
}

TEST_F(LabSystemPowerTest, AThreadKeepsTheMachineAwakeUntilItLetsGoOrEnds) {
  EXPECT_FALSE(machine.SystemKeptAwake());
  EXPECT_EQ(0u, plat::SetThreadExecutionState(0x1000)) << "an unknown flag fails";
  EXPECT_EQ(ES_CONTINUOUS, plat::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
  EXPECT_TRUE(machine.SystemKeptAwake());
  EXPECT_EQ(ES_CONTINUOUS | ES_SYSTEM_REQUIRED, plat::SetThreadExecutionState(ES_SYSTEM_REQUIRED))
      << "without ES_CONTINUOUS the standing request is unchanged";
  EXPECT_TRUE(machine.SystemKeptAwake());
  EXPECT_EQ(ES_CONTINUOUS | ES_SYSTEM_REQUIRED, plat::SetThreadExecutionState(ES_CONTINUOUS));
  EXPECT_FALSE(machine.SystemKeptAwake());

  std::thread([] { plat::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); }).join();
  EXPECT_FALSE(machine.SystemKeptAwake()) << "an ended thread's request is gone";
  EXPECT_EQ(4u, machine.ExecutionStateCalls().size()) << "the failed call is no request";
}

TEST_F(LabSystemPowerTest, ThePowerSourceAsWindowsReportsIt) {
  SYSTEM_POWER_STATUS power = {};
  ASSERT_TRUE(plat::GetSystemPowerStatus(&power));
  EXPECT_EQ(AC_LINE_ONLINE, power.ACLineStatus) << "mains without a battery by default";
  EXPECT_EQ(BATTERY_FLAG_NO_BATTERY, power.BatteryFlag);
  EXPECT_EQ(BATTERY_PERCENTAGE_UNKNOWN, power.BatteryLifePercent);
  machine.RunOnBattery(12);
  ASSERT_TRUE(plat::GetSystemPowerStatus(&power));
  EXPECT_EQ(AC_LINE_OFFLINE, power.ACLineStatus);
  EXPECT_EQ(BATTERY_FLAG_LOW, power.BatteryFlag);
  EXPECT_EQ(12, power.BatteryLifePercent);
  machine.PowerSourceUnknown();
  ASSERT_TRUE(plat::GetSystemPowerStatus(&power));
  EXPECT_EQ(AC_LINE_UNKNOWN, power.ACLineStatus);
  EXPECT_EQ(BATTERY_PERCENTAGE_UNKNOWN, power.BatteryLifePercent);
  machine.FailPowerStatus(ERROR_GEN_FAILURE);
  EXPECT_FALSE(plat::GetSystemPowerStatus(&power));
  EXPECT_EQ(DWORD(ERROR_GEN_FAILURE), GetLastError());
  machine.FailPowerStatus(0);

  // As a scenario's power line sets it.
  std::string error;
  ASSERT_TRUE(lab::BuildScenario(machine, "power ac=0 battery=20\n", &error)) << error;
  ASSERT_TRUE(plat::GetSystemPowerStatus(&power));
  EXPECT_EQ(AC_LINE_OFFLINE, power.ACLineStatus);
  EXPECT_EQ(20, power.BatteryLifePercent);
  ASSERT_TRUE(lab::BuildScenario(machine, "power ac=1\n", &error)) << error;
  ASSERT_TRUE(plat::GetSystemPowerStatus(&power));
  EXPECT_EQ(AC_LINE_ONLINE, power.ACLineStatus);
}

namespace {

bool Present(lab::Machine& machine, int deviceNumber) {
  for (const auto& disk : machine.Disks())
    if (disk.deviceNumber == deviceNumber) return disk.present;
  return false;
}

}  // namespace

// Each fault the lab can inject, planned on a scenario's line and struck by
// the transports' own requests.
TEST_F(LabTest, ScenarioFaultKeysStrikeWhereTheyArePlanned) {
  std::string error;
  ASSERT_TRUE(lab::BuildScenario(machine,
                                 "nvme disk=0 bus=2 refuse=0x11:0x0002:2,0x10:0x0107\n"
                                 "nvme disk=1 bus=3 commit=0x010B\n"
                                 "rst disk=2 port=3 path=0 bus=5 unplug=2\n"
                                 "usb disk=3 chip=asmedia ports=3 timeout=1\n"
                                 "nvme disk=4 bus=7 unplug=commit\n",
                                 &error))
      << error;
  lab::Bytes image = lab::MakeLabImage(16384, "2.0.0.00");
  CmdContext native = {CMD_NVME, INVALID_HANDLE_VALUE, 0};

  HANDLE h = Open(L"\\\\.\\PhysicalDrive0");
  EXPECT_EQ(RES_REQUEST_FAILED, DownloadFW(&native, h, image.data(), 16384));
  lab::NvmeDrive* refusing = machine.DriveAt(0);
  ASSERT_EQ(3u, refusing->pieces().size()) << "two pieces taken, the third refused";
  EXPECT_TRUE(refusing->pieces()[1].status.ok());
  EXPECT_EQ(lab::nvme::InvalidField, refusing->pieces()[2].status);
  EXPECT_EQ(RES_REQUEST_FAILED, FWCommit(&native, h, 1, 1));
  ASSERT_EQ(1u, refusing->commits().size());
  EXPECT_EQ(lab::nvme::InvalidFirmwareImage, refusing->commits()[0].status);
  plat::CloseHandle(h);

  h = Open(L"\\\\.\\PhysicalDrive1");
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&native, h, image.data(), 16384));
  FWCommit(&native, h, 1, 1);
  ASSERT_EQ(1u, machine.DriveAt(1)->commits().size());
  EXPECT_EQ(0x010B, machine.DriveAt(1)->commits()[0].status.field()) << "carried out, answered as planned";
  EXPECT_EQ(1, machine.DriveAt(1)->pendingSlot());
  plat::CloseHandle(h);

  // The RST drive leaves after its second piece: its port answers the third
  // as for no drive. Plugged back, it takes a whole image: a fault strikes once.
  lab::NvmeDrive* pulled = machine.DriveAt(2);
  HANDLE port = Open(L"\\\\.\\Scsi3:");
  CmdContext rst = {CMD_RST, port, 0};
  EXPECT_EQ(RES_REQUEST_FAILED, DownloadFW(&rst, nullptr, image.data(), 16384));
  EXPECT_EQ(2u, pulled->pieces().size());
  EXPECT_FALSE(Present(machine, 2));
  EXPECT_EQ(DWORD(ERROR_DEV_NOT_EXIST), machine.RequestsWithCode(lab::ioctl::SCSI_MINIPORT).back().error);
  ASSERT_TRUE(machine.PlugBack(2));
  EXPECT_EQ(RES_SUCCESS, DownloadFW(&rst, nullptr, image.data(), 16384));
  EXPECT_TRUE(Present(machine, 2));
  plat::CloseHandle(port);

  // The bridge's step after the first piece times out, once.
  auto* bridge = dynamic_cast<lab::UsbBridgeDisk*>(machine.DiskAt(3));
  ASSERT_NE(nullptr, bridge);
  h = Open(L"\\\\.\\PhysicalDrive3");
  CmdContext usb = {CMD_ASM_USB, INVALID_HANDLE_VALUE, 0};
  EXPECT_EQ(RES_REQUEST_FAILED, DownloadFW(&usb, h, image.data(), 16384));
  EXPECT_EQ(1u, bridge->drive().pieces().size());
  size_t timedOut = 0;
  for (const auto& r : machine.RequestsWithCode(lab::ioctl::SCSI_PASS_THROUGH_DIRECT))
    timedOut += r.error == ERROR_SEM_TIMEOUT ? 1 : 0;
  EXPECT_EQ(1u, timedOut);
  EXPECT_EQ(RES_SUCCESS, DownloadFW(&usb, h, image.data(), 16384));
  plat::CloseHandle(h);

  h = Open(L"\\\\.\\PhysicalDrive4");
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&native, h, image.data(), 16384));
  EXPECT_TRUE(Present(machine, 4)) << "no commit yet";
  FWCommit(&native, h, 1, 1);
  EXPECT_EQ(1u, machine.DriveAt(4) == nullptr ? 1u : 0u) << "gone once the drive answered its commit";
  EXPECT_FALSE(Present(machine, 4));
  plat::CloseHandle(h);
}

// A scenario the lab cannot read whole builds nothing, and says which line.
TEST_F(LabTest, AScenarioIsReadWholeOrNotAtAll) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"nvme disk=0 bus=2\n# the second drive\nrst disk=1 port=3 speed=9\n", "line 3: unknown key \"speed\" for rst"},
      {"nvme disk=0 timeout=2\n", "line 1: unknown key \"timeout\" for nvme"},
      {"sata disk=0 maker\n", "line 1: unknown key \"maker\" for sata"},
      {"usb disk=0\nnvme disk=1 refuse=0x11\n",
       "line 2: refuse= takes OPCODE:STATUS[:AFTER], separated by commas, with a status other than 0"},
      {"nvme disk=0 refuse=0x11:0x0002,0x10:0\n",
       "line 1: refuse= takes OPCODE:STATUS[:AFTER], separated by commas, with a status other than 0"},
      {"nvme disk=0 refuse=0x11:0x0002:two\n",
       "line 1: refuse= takes OPCODE:STATUS[:AFTER], separated by commas, with a status other than 0"},
      {"nvme disk=0 commit=ok\n", "line 1: commit= takes the status field the commit answers, other than 0"},
      {"rst disk=0 unplug=0\n", "line 1: unplug= takes a number of pieces from 1, or commit"},
      {"usb disk=0 timeout=soon\n", "line 1: timeout= takes a number of pieces from 1, or commit"},
      {"usb disk=0 short=commit\n", "line 1: short= takes a number of pieces from 1"},
      {"nvme disk=0\nvolume letter=C\n", "line 2: a volume needs letter= and disk="},
      {"nvme disk=0\npower ac=0\n",
       "line 2: power takes ac=1 (with a laptop's battery=0 to 100), or ac=0 with battery=0 to 100"},
      {"power ac=1 battery=150\n",
       "line 1: power takes ac=1 (with a laptop's battery=0 to 100), or ac=0 with battery=0 to 100"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    EXPECT_FALSE(lab::BuildScenario(machine, c.text, &error));
    EXPECT_EQ(c.error, error);
    EXPECT_TRUE(machine.Disks().empty()) << "no drive of the lines before";
  }
}

namespace {

template <typename F>
bool WaitUntil(F done, DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += 50) {
    if (done()) return true;
    Sleep(50);
  }
  return done();
}

// What a message box says: the text of its static controls.
std::wstring BoxText(HWND box) {
  std::wstring text;
  EnumChildWindows(
      box,
      [](HWND child, LPARAM p) -> BOOL {
        WCHAR cls[16] = L"", line[512] = L"";
        GetClassNameW(child, cls, 16);
        if (_wcsicmp(cls, L"Static") == 0 && GetWindowTextW(child, line, 512) > 0)
          *reinterpret_cast<std::wstring*>(p) += line;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&text));
  return text;
}

// The person's answer, as a button of the box gives it.
void Answer(HWND box, int button) { PostMessageW(box, WM_COMMAND, button, 0); }

}  // namespace

// KestrelLab.exe as a person starts it: a copy with its own scenario file.
class LabProgram : public PackageTest {
 protected:
  std::wstring program;
  void Place(const char* scenario) {
    program = root + L"\\KestrelLab.exe";
    ASSERT_TRUE(CopyFileW(ProgramPath(L"KestrelLab.exe").c_str(), program.c_str(), FALSE));
    ASSERT_TRUE(WriteAll(root + L"\\KestrelLab.scenario", lab::Bytes(scenario, scenario + strlen(scenario))));
  }
  // RUN, once the first list has chosen the drive.
  static void PressRun(HWND dlg) {
    ASSERT_TRUE(WaitUntil([dlg] { return IsWindowEnabled(GetDlgItem(dlg, IDOK)) != FALSE; }, 20000));
    PostMessageW(dlg, WM_COMMAND, IDOK, 0);
  }
};

// By hand the question waits for an answer and the run's pauses last their
// real time; with --auto the lab answers and the run takes virtual time.
TEST_F(LabProgram, ByHandItWaitsForThePersonAndWithAutoItRunsAlone) {
  OneUpdaterAtATime turn;
  ASSERT_NO_FATAL_FAILURE(Place("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=BYHAND-1 maker\n"));
  PROCESS_INFORMATION process = {};
  HWND dlg = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartUpdater(program, &process, &dlg));
  ASSERT_NO_FATAL_FAILURE(PressRun(dlg));
  HWND question = nullptr;
  EXPECT_TRUE(WaitUntil([&] { return (question = DialogOf(process.dwProcessId, dlg, true)) != nullptr; }, 20000))
      << "no question on the screen";
  if (question != nullptr) {
    Sleep(1000);
    EXPECT_TRUE(IsWindowVisible(question)) << "the question waits for the person";
    ULONGLONG answered = GetTickCount64();
    Answer(question, IDYES);
    HWND closing = nullptr;
    ASSERT_TRUE(WaitUntil(
        [&] { return (closing = DialogOf(process.dwProcessId, dlg, true)) != nullptr && closing != question; }, 60000));
    EXPECT_GE(GetTickCount64() - answered, 5500u) << "two 3-second pauses, in real time";
    EXPECT_NE(std::wstring::npos, BoxText(closing).find(L"The firmware was updated")) << BoxText(closing).c_str();
    Answer(closing, IDOK);
  }
  EXPECT_EQ(0u, CloseUpdater(&process, dlg));

  ASSERT_NO_FATAL_FAILURE(StartUpdater(program, &process, &dlg, L"--auto"));
  ASSERT_NO_FATAL_FAILURE(PressRun(dlg));
  ULONGLONG pressed = GetTickCount64();
  bool boxSeen = false;
  EXPECT_TRUE(WaitUntil(
      [&] {
        boxSeen = boxSeen || DialogOf(process.dwProcessId, dlg, true) != nullptr;
        return SendDlgItemMessageW(dlg, IDC_PROGRESS, PBM_GETPOS, 0, 0) == 100 &&
               IsWindowEnabled(GetDlgItem(dlg, IDOK));
      },
      30000));
  EXPECT_LT(GetTickCount64() - pressed, 5500u) << "virtual time";
  EXPECT_FALSE(boxSeen) << "every box answered by the lab";
  EXPECT_EQ(0u, CloseUpdater(&process, dlg));
}

// A key the lab does not know stops it before any window but the box that
// names the file and the line; with --auto nobody is asked, and it ends.
TEST_F(LabProgram, AnUnknownScenarioKeyIsShownWithItsLineAndNothingStarts) {
  OneUpdaterAtATime turn;
  ASSERT_NO_FATAL_FAILURE(Place("nvme disk=0 bus=2 maker\n# a bridge\nusb disk=1 chip=asmedia speed=5000\n"));
  PROCESS_INFORMATION process = {};
  HWND box = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartUpdater(program, &process, &box));
  EXPECT_TRUE(WaitUntil([box] { return IsWindowVisible(box) != FALSE; }, 10000));
  EXPECT_EQ(nullptr, GetDlgItem(box, IDC_DRIVE_LIST)) << "the updater's dialog did not start";
  EXPECT_NE(std::wstring::npos, BoxText(box).find(L"KestrelLab.scenario, line 3: unknown key \"speed\" for usb"))
      << BoxText(box).c_str();
  Answer(box, IDOK);
  EXPECT_EQ(1u, WaitForEnd(&process, 10000));

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  std::wstring command = L"\"" + program + L"\" --auto";
  ASSERT_TRUE(CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &process));
  EXPECT_EQ(1u, WaitForEnd(&process, 10000)) << "with --auto no box waits for anyone";
}

// The setup and configuration-manager calls answer as Windows documents
// them: sizes asked first, sets of devices or of interfaces, flags checked.
class LabDeviceTreeTest : public LabTest {
 protected:
  static SP_DEVINFO_DATA Element(HDEVINFO set, DWORD index) {
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    EXPECT_TRUE(plat::SetupDiEnumDeviceInfo(set, index, &data)) << "element " << index;
    return data;
  }
  static DWORD Elements(HDEVINFO set) {
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    DWORD n = 0;
    while (plat::SetupDiEnumDeviceInfo(set, n, &data)) ++n;
    EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), GetLastError());
    return n;
  }
  // Interfaces of the class in the set (of one device when given).
  static DWORD Interfaces(HDEVINFO set, const GUID& cls, SP_DEVINFO_DATA* device = nullptr) {
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof iface;
    DWORD n = 0;
    while (plat::SetupDiEnumDeviceInterfaces(set, device, &cls, n, &iface)) ++n;
    EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), GetLastError());
    return n;
  }
  // The PhysicalDrive number behind an interface of the disk class.
  UINT32 DiskBehind(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* iface) {
    BYTE buffer[512] = {};
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!plat::SetupDiGetDeviceInterfaceDetailW(set, iface, detail, sizeof buffer, nullptr, nullptr)) return 99;
    HANDLE h = Open(detail->DevicePath);
    UINT32 number = h == INVALID_HANDLE_VALUE ? 99 : NumberOf(h);
    if (h != INVALID_HANDLE_VALUE) plat::CloseHandle(h);
    return number;
  }
};

TEST_F(LabDeviceTreeTest, SetupCallsKeepTheSizeProtocol) {
  machine.AddNativeDrive(Native(0, 2, 0));
  static const GUID disk = lab::iface::DISK;
  HDEVINFO set = plat::SetupDiGetClassDevsW(&disk, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(INVALID_HANDLE_VALUE, set);
  SP_DEVICE_INTERFACE_DATA iface = {};
  iface.cbSize = sizeof iface;
  ASSERT_TRUE(plat::SetupDiEnumDeviceInterfaces(set, nullptr, &disk, 0, &iface));
  EXPECT_FALSE(plat::SetupDiEnumDeviceInterfaces(set, nullptr, &disk, 1, &iface));
  EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), GetLastError());
  DWORD needed = 0;
  EXPECT_FALSE(plat::SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &needed, nullptr));
  EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  std::vector<BYTE> buffer(needed);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = needed;  // the size field holds the fixed part's size, not the buffer's
  EXPECT_FALSE(plat::SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, needed, nullptr, nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_USER_BUFFER), GetLastError());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  EXPECT_FALSE(plat::SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, needed - 2, nullptr, nullptr));
  ASSERT_TRUE(plat::SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, needed, nullptr, nullptr));
  HANDLE h = Open(detail->DevicePath);
  ASSERT_NE(INVALID_HANDLE_VALUE, h) << "the interface path opens the same disk";
  EXPECT_EQ(0u, NumberOf(h));
  plat::CloseHandle(h);
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(set));

}

TEST_F(LabDeviceTreeTest, WithoutTheInterfaceFlagTheGuidNamesASetupClass) {
  machine.AddNativeDrive(Native(0, 2, 0));
  machine.AddUsbDrive(Usb(1, {3}));
  static const GUID disk = lab::iface::DISK;
  static const GUID diskDrives = lab::setupclass::DISK_DRIVE;
  static const GUID usbDevice = lab::iface::USB_DEVICE;

  HDEVINFO set = plat::SetupDiGetClassDevsW(&disk, nullptr, nullptr, DIGCF_PRESENT | DIGCF_PROFILE);
  ASSERT_NE(INVALID_HANDLE_VALUE, set);
  EXPECT_EQ(0u, Elements(set)) << "no device's setup class is the disk interface class";
  EXPECT_EQ(0u, Interfaces(set, disk));
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(set));

  set = plat::SetupDiGetClassDevsW(&diskDrives, nullptr, nullptr, DIGCF_PRESENT);
  ASSERT_NE(INVALID_HANDLE_VALUE, set);
  ASSERT_EQ(2u, Elements(set)) << "both disks are disk drives";
  EXPECT_TRUE(IsEqualGUID(diskDrives, Element(set, 1).ClassGuid));
  EXPECT_EQ(0u, Interfaces(set, disk)) << "a set of devices carries no interfaces";
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(set));

  set = plat::SetupDiGetClassDevsW(&disk, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_EQ(2u, Interfaces(set, disk));
  EXPECT_EQ(0u, Interfaces(set, usbDevice)) << "only the interfaces of the set's own class";
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(set));

  set = plat::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE);
  EXPECT_EQ(2u, Interfaces(set, disk));
  EXPECT_EQ(1u, Interfaces(set, usbDevice));
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(set));

  EXPECT_EQ(INVALID_HANDLE_VALUE, plat::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError()) << "no class and not all classes";
}

TEST_F(LabDeviceTreeTest, GivenADeviceOnlyItsInterfacesAreEnumerated) {
  machine.AddNativeDrive(Native(0, 2, 0));
  machine.AddNativeDrive(Native(1, 4, 3));
  static const GUID disk = lab::iface::DISK;
  HDEVINFO set = plat::SetupDiGetClassDevsW(&disk, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(INVALID_HANDLE_VALUE, set);
  SP_DEVINFO_DATA second = Element(set, 1);
  SP_DEVICE_INTERFACE_DATA iface = {};
  iface.cbSize = sizeof iface;
  ASSERT_TRUE(plat::SetupDiEnumDeviceInterfaces(set, &second, &disk, 0, &iface));
  EXPECT_EQ(1u, DiskBehind(set, &iface)) << "index 0 of the second disk is the second disk's";
  EXPECT_EQ(1u, Interfaces(set, disk, &second));
  EXPECT_EQ(2u, Interfaces(set, disk));

  SP_DEVINFO_DATA stranger = second;
  stranger.DevInst = NodeWithPrefix(L"PCI\\VEN_1D4C")->id;  // a controller: not in this set
  EXPECT_FALSE(plat::SetupDiEnumDeviceInterfaces(set, &stranger, &disk, 0, &iface));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
  stranger = second;
  stranger.cbSize = 0;
  EXPECT_FALSE(plat::SetupDiEnumDeviceInterfaces(set, &stranger, &disk, 0, &iface));
  EXPECT_EQ(DWORD(ERROR_INVALID_USER_BUFFER), GetLastError());
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(set));
}

TEST_F(LabDeviceTreeTest, ReservedFlagsAreRefused) {
  machine.AddNativeDrive(Native(0, 2, 0));
  DEVINST controller = NodeWithPrefix(L"PCI\\VEN_1D4C")->id;
  DEVINST parent = 0;
  EXPECT_EQ(CONFIGRET(CR_INVALID_FLAG), plat::CM_Get_Parent(&parent, controller, 1));
  EXPECT_EQ(0u, parent);
  EXPECT_EQ(CONFIGRET(CR_SUCCESS), plat::CM_Get_Parent(&parent, controller, 0));
  WCHAR id[260] = L"";
  EXPECT_EQ(CONFIGRET(CR_INVALID_FLAG), plat::CM_Get_Device_IDW(controller, id, 260, 1));
  EXPECT_STREQ(L"", id);
  EXPECT_EQ(CONFIGRET(CR_SUCCESS), plat::CM_Get_Device_IDW(controller, id, 260, 0));

  HDEVINFO all = plat::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  SP_DEVINFO_DATA data = {};
  data.cbSize = sizeof data;
  for (DWORD i = 0; plat::SetupDiEnumDeviceInfo(all, i, &data) && data.DevInst != controller; ++i) {
  }
  ASSERT_EQ(controller, data.DevInst);
  const DEVPROPKEY width = {lab::PCI_LINK_KEY, 10};
  DEVPROPTYPE type = 0;
  DWORD value = 0;
  EXPECT_FALSE(plat::SetupDiGetDevicePropertyW(all, &data, &width, &type, reinterpret_cast<BYTE*>(&value), 4,
                                               nullptr, 1));
  EXPECT_EQ(DWORD(ERROR_INVALID_FLAGS), GetLastError());
  EXPECT_TRUE(plat::SetupDiGetDevicePropertyW(all, &data, &width, &type, reinterpret_cast<BYTE*>(&value), 4,
                                              nullptr, 0));
  EXPECT_EQ(4u, value);
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(all));
}

TEST_F(LabDeviceTreeTest, AnInjectedSetFailureAnswersTheInvalidHandle) {
  machine.AddNativeDrive(Native(0, 2, 0));
  static const GUID disk = lab::iface::DISK;
  auto open = [] { return plat::SetupDiGetClassDevsW(&disk, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE); };
  machine.FailDeviceSets(ERROR_NOT_ENOUGH_MEMORY, 1);
  HDEVINFO first = open();
  ASSERT_NE(INVALID_HANDLE_VALUE, first);
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, open());
  EXPECT_EQ(DWORD(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  EXPECT_EQ(1, machine.OpenDeviceSetCount()) << "a failed call holds no set";
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(first));
  machine.FailDeviceSets(0);
  HDEVINFO again = open();
  EXPECT_NE(INVALID_HANDLE_VALUE, again);
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(again));
  EXPECT_EQ(3, machine.DeviceSetRequests());
}

// The lab's modelled time charges a walk of all devices by the tree's size.
TEST_F(LabDeviceTreeTest, OtherDevicesMakeAWalkOfAllDevicesCostMore) {
  std::string error;
  ASSERT_TRUE(lab::BuildScenario(machine, "nvme disk=0\nothers count=10\n", &error)) << error;
  const int nodes = machine.NodeCount();
  EXPECT_EQ(1 + 3 + 10, nodes) << "the root, a PCIe port, the controller, the disk and ten others";
  auto walk = [&] {
    uint64_t before = machine.ModelledMicros();
    HDEVINFO all = plat::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    EXPECT_NE(INVALID_HANDLE_VALUE, all);
    EXPECT_EQ(DWORD(machine.NodeCount()), Elements(all));
    plat::SetupDiDestroyDeviceInfoList(all);
    return machine.ModelledMicros() - before;
  };
  uint64_t small = walk();
  machine.AddOtherDevices(nodes * 3);
  uint64_t large = walk();
  EXPECT_GT(large, small * 3) << "four times the nodes";
  EXPECT_LT(large, small * 5);
}
