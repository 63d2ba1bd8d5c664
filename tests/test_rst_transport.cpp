// The Intel RST transport: requests to the adapter's SCSI port, checked byte
// by byte through the lab's miniport.
#include <cstring>

#include "LabFixture.h"

namespace {

constexpr DWORD SCSI_MINIPORT = 0x0004D008;

// SRB_IO_CONTROL with its signature, timeout, control code and return code;
// Length and the drive's address follow.
const char* kNvmHeader = "1C000000 496E74656C4E766D 28000000 082800F0 00000000";
const char* kFwHeader = "1C000000 496E74656C467720 C8000000 400000F0 00000000";

lab::DriveSpec DriveWithSerial(const char* serial, const char* firmware) {
  lab::DriveSpec spec;
  spec.serial = serial;
  spec.firmware = firmware;
  return spec;
}

lab::NvmeStatus CountingPage(const uint8_t*, lab::Bytes& data, bool toDrive) {
  if (!toDrive)
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 3 + 5);
  return lab::nvme::Success;
}

}  // namespace

// Two drives behind one RST adapter on SCSI port 2, path ids 0 and 1.
class RstTest : public LabTest {
 protected:
  lab::NvmeDrive* first = nullptr;
  lab::NvmeDrive* second = nullptr;
  HANDLE port = INVALID_HANDLE_VALUE;
  CmdContext ctx = {CMD_RST, INVALID_HANDLE_VALUE, 0};

  void SetUp() override {
    LabTest::SetUp();
    first = &machine.AddRstDrive({1, 2, 0}, DriveWithSerial("RST-FIRST", "1.0.0.00"));
    second = &machine.AddRstDrive({2, 2, 1}, DriveWithSerial("RST-SECOND", "1.1.0.00"));
    first->SetVendorHandler(0xE6, CountingPage);
    first->SetVendorHandler(0xE5, CountingPage);
    port = Open(L"\\\\.\\Scsi2:");
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    ctx.hScsiPort = port;
  }
  void TearDown() override {
    if (port != INVALID_HANDLE_VALUE) plat::CloseHandle(port);
    LabTest::TearDown();
  }
  std::vector<lab::RequestRecord> Miniport() { return machine.RequestsWithCode(SCSI_MINIPORT); }
};

TEST_F(RstTest, VendorReadTravelsThroughTheDataArea) {
  std::vector<BYTE> buf(4096, 0);
  ASSERT_EQ(RES_SUCCESS, VendorCmd(&ctx, nullptr, DIR_READ, 0xE6, 3, 0, MAKER_SIGNATURE_CDW14,
                                   MAKER_SIGNATURE_CDW15, buf.data(), 4096));
  auto requests = Miniport();
  ASSERT_EQ(1u, requests.size());
  const lab::Bytes& in = requests[0].input;
  ASSERT_EQ(0x10A7u, in.size());
  EXPECT_EQ(0x10A7u, requests[0].outputSize);
  EXPECT_EQ(Hex(kNvmHeader), Slice(in, 0, 0x18));
  EXPECT_EQ(Hex("8B100000 01000000"), Slice(in, 0x18, 8));  // Length, version 1, path id 0
  EXPECT_EQ(Hex("E6000000 FFFFFFFF"), Slice(in, 0x20, 8));
  EXPECT_EQ(Hex("00040000 00000000 03000000 00000000 414C4558 564F5254"), Slice(in, 0x48, 0x18));
  EXPECT_EQ(lab::Bytes(20, 0), Slice(in, 0x60, 20));
  EXPECT_EQ(Hex("A4000000 00100000"), Slice(in, 0x74, 8));
  EXPECT_EQ(lab::Bytes(40, 0), Slice(in, 0x7C, 40));
  EXPECT_EQ(lab::Bytes(4096 + 3, 0), Slice(in, 0xA4, 4096 + 3));
  for (size_t i = 0; i < buf.size(); ++i) ASSERT_EQ(uint8_t(i * 3 + 5), buf[i]) << "byte " << i;
}

TEST_F(RstTest, VendorWriteHandsBackTheReplyArea) {
  std::vector<BYTE> buf(4096);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = uint8_t(i ^ 0x5A);
  const std::vector<BYTE> sent = buf;
  ASSERT_EQ(RES_SUCCESS, VendorCmd(&ctx, nullptr, DIR_WRITE, 0xE5, 1, 0, MAKER_SIGNATURE_CDW14,
                                   MAKER_SIGNATURE_CDW15, buf.data(), 4096));
  auto requests = Miniport();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(0x10A7u, requests[0].input.size());
  EXPECT_EQ(lab::Bytes(sent.begin(), sent.end()), Slice(requests[0].input, 0xA4, 4096));
  EXPECT_EQ(Slice(requests[0].output, 0xA4, 4096), lab::Bytes(buf.begin(), buf.end()));
}

TEST_F(RstTest, IdentifyAddressesTheDriveByPathId) {
  NvmeCommand identify = BuildIdentifyCommand(1, 0);
  std::vector<BYTE> a(4096), b(4096);
  ASSERT_EQ(RES_SUCCESS, IO_RST_NVMeCmd(port, 0, &identify, a.data(), 4096));
  ASSERT_EQ(RES_SUCCESS, IO_RST_NVMeCmd(port, 1, &identify, b.data(), 4096));
  auto requests = Miniport();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ(Hex("06000000 00000000"), Slice(requests[0].input, 0x20, 8));
  EXPECT_EQ(Hex("01000000"), Slice(requests[0].input, 0x48, 4));
  EXPECT_EQ(0x01, requests[1].input[0x1D]);
  EXPECT_EQ("RST-FIRST ", std::string(a.begin() + 4, a.begin() + 14));
  EXPECT_EQ("RST-SECOND", std::string(b.begin() + 4, b.begin() + 14));
  EXPECT_EQ("1.1.0.00", std::string(b.begin() + 64, b.begin() + 72));
}

TEST_F(RstTest, FirmwarePieceRequestLayout) {
  lab::Bytes image = lab::MakeLabImage(8192, "2.0.0.00");
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, nullptr, image.data(), 8192));
  auto requests = Miniport();
  ASSERT_EQ(2u, requests.size());
  const lab::Bytes& in = requests[1].input;
  ASSERT_EQ(0x1058u, in.size());
  EXPECT_EQ(0x1058u, requests[1].outputSize) << "the request comes back with the miniport's ReturnCode";
  EXPECT_EQ(Hex(kFwHeader), Slice(in, 0, 0x18));
  EXPECT_EQ(Hex("3C100000 01000000"
                "01000000 18000000 02000000 01000000 38000000 20100000"
                "02000000 20000000 0010000000000000 0010000000000000 FF000000 00000000"),
            Slice(in, 0x18, 0x40));
  EXPECT_EQ(Slice(image, 4096, 4096), Slice(in, 0x58, 4096));
  EXPECT_EQ(image, first->downloadBuffer());
  EXPECT_TRUE(second->pieces().empty());
}

TEST_F(RstTest, EveryCommitNamesItsSlotInOneActivation) {
  for (auto [slot, action] : {std::pair<DWORD, DWORD>{1, 1}, {2, 0}, {7, 3}}) {
    machine.ClearRecords();
    FWCommit(&ctx, nullptr, slot, action);
    auto requests = Miniport();
    ASSERT_EQ(1u, requests.size());
    const lab::Bytes& in = requests[0].input;
    ASSERT_EQ(0x1058u, in.size());
    EXPECT_EQ(Hex(kFwHeader), Slice(in, 0, 0x18));
    std::string record = "01000000 0C000000 0" + std::to_string(slot) + "000000 05000000 07000000";
    EXPECT_EQ(Hex(("3C100000 01000000"
                   "01000000 18000000 03000000 01000000 38000000 0C000000" + record).c_str()),
              Slice(in, 0x18, 0x34))
        << "slot " << slot << " action " << action;
    EXPECT_EQ(lab::Bytes(0x100C, 0), Slice(in, 0x4C, 0x100C));
  }
}

TEST_F(RstTest, InvalidPortFailsEveryRequest) {
  CmdContext noPort = {CMD_RST, INVALID_HANDLE_VALUE, 0};
  BYTE buf[4096] = {};
  EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&noPort, nullptr, DIR_READ, 0xE6, 3, 0, 0, 0, buf, sizeof buf));
  EXPECT_EQ(RES_REQUEST_FAILED, DownloadFW(&noPort, nullptr, buf, sizeof buf));
  EXPECT_EQ(RES_REQUEST_FAILED, FWCommit(&noPort, nullptr, 1, 1));
  NvmeCommand identify = BuildIdentifyCommand(1, 0);
  EXPECT_EQ(RES_REQUEST_FAILED, IO_RST_NVMeCmd(INVALID_HANDLE_VALUE, 0, &identify, buf, sizeof buf));
  EXPECT_EQ(0u, GetAppState()->dwLastError) << "this transport stores no error code";
  EXPECT_TRUE(first->adminCommands().empty());
}

TEST_F(RstTest, UpdateEndToEnd) {
  lab::Bytes image = lab::MakeLabImage(40960, "2.1.0.03");
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, nullptr, image.data(), UINT32(image.size())));
  ASSERT_EQ(RES_SUCCESS, FWCommit(&ctx, nullptr, 1, 1));
  ASSERT_EQ(1u, first->commits().size());
  EXPECT_EQ(1, first->commits()[0].slot);
  EXPECT_EQ("1.0.0.00", first->revision());
  machine.PowerCycle();
  EXPECT_EQ("2.1.0.03", first->revision());
  EXPECT_EQ("1.1.0.00", second->revision()) << "the other drive behind the port is untouched";
  EXPECT_EQ(image, first->slotImage(1));

  // A failed piece ends the download there.
  machine.FailFirmwarePiece(2);
  EXPECT_EQ(RES_REQUEST_FAILED, DownloadFW(&ctx, nullptr, image.data(), UINT32(image.size())));
  EXPECT_EQ(4096u, first->downloadBuffer().size());
}

TEST_F(RstTest, PortRefusesMalformedRequests) {
  NvmeCommand identify = BuildIdentifyCommand(1, 0);
  BYTE buf[4096] = {};
  ASSERT_EQ(RES_SUCCESS, IO_RST_NVMeCmd(port, 0, &identify, buf, sizeof buf));
  const lab::Bytes good = Miniport()[0].input;
  struct Case {
    const char* what;
    size_t at;
    lab::Bytes bytes;
    DWORD error;
  } cases[] = {
      {"header length", 0x00, Hex("18000000"), ERROR_INVALID_PARAMETER},
      {"signature", 0x04, Hex("496E74656C4E564D"), ERROR_INVALID_PARAMETER},
      {"control code of the firmware interface", 0x10, Hex("400000F0"), ERROR_INVALID_PARAMETER},
      {"Length beyond the buffer", 0x18, Hex("8C100000"), ERROR_INVALID_PARAMETER},
      {"no drive at path id 5", 0x1D, Hex("05"), ERROR_DEV_NOT_EXIST},
      {"data offset", 0x74, Hex("A8000000"), ERROR_INVALID_PARAMETER},
  };
  size_t before = first->adminCommands().size();
  for (const Case& c : cases) {
    lab::Bytes in = good;
    std::copy(c.bytes.begin(), c.bytes.end(), in.begin() + c.at);
    lab::Bytes out(in.size());
    DWORD returned = 0;
    EXPECT_FALSE(plat::DeviceIoControl(port, SCSI_MINIPORT, in.data(), DWORD(in.size()), out.data(),
                                       DWORD(out.size()), &returned, nullptr))
        << c.what;
    EXPECT_EQ(c.error, GetLastError()) << c.what;
  }
  EXPECT_EQ(before, first->adminCommands().size()) << "no malformed request reached a drive";
}

TEST_F(RstTest, DisksReportRaidAndTheirAddress) {
  HANDLE disk = Open(L"\\\\.\\PhysicalDrive2");
  ASSERT_NE(INVALID_HANDLE_VALUE, disk);
  BYTE address[8] = {8};
  DWORD returned = 0;
  ASSERT_TRUE(plat::DeviceIoControl(disk, 0x00041018, address, 8, address, 8, &returned, nullptr));
  EXPECT_EQ(Hex("08000000 02010000"), lab::Bytes(address, address + 8));
  BYTE query[12] = {};
  BYTE descriptor[40] = {};
  ASSERT_TRUE(plat::DeviceIoControl(disk, 0x002D1400, query, 12, descriptor, 40, &returned, nullptr));
  EXPECT_EQ(8u, lab::Rd32(descriptor, 28)) << "bus type RAID";
  // The RST driver offers no native NVMe requests on its disks.
  BYTE id[4096];
  EXPECT_EQ(RES_REQUEST_FAILED, IO_NVMe_Identify(disk, 1, 0, id, sizeof id));
  plat::CloseHandle(disk);
}

// The miniport completes the request either way: the drive's refusal is in
// ReturnCode and in the completion entry, and both are failures.
TEST_F(RstTest, RefusalsInTheReplyAreFailures) {
  std::vector<BYTE> buf(4096, 0xEE);
  first->FailOpcode(0xE6, lab::nvme::DataTransferError);
  EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, nullptr, DIR_READ, 0xE6, 1, 0, MAKER_SIGNATURE_CDW14,
                                          MAKER_SIGNATURE_CDW15, buf.data(), 4096));
  EXPECT_EQ(std::vector<BYTE>(4096, 0xEE), buf) << "a refused read leaves the buffer as it was";
  EXPECT_TRUE(Miniport().back().ok) << "the request itself succeeded";

  lab::Bytes image = lab::MakeLabImage(16384, "2.0.0.00");
  first->FailOpcode(0x11, lab::nvme::InvalidField, 1);
  EXPECT_EQ(RES_REQUEST_FAILED, DownloadFW(&ctx, nullptr, image.data(), 16384));
  ASSERT_EQ(2u, first->pieces().size()) << "nothing after the refused piece";
  ASSERT_LE(0x18u, Miniport().back().output.size()) << "the request came back";
  EXPECT_NE(0u, lab::Rd32(Miniport().back().output.data(), 0x14)) << "ReturnCode";

  first->FailOpcode(0x11, lab::nvme::Success);
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, nullptr, image.data(), 16384));
  first->FailOpcode(0x10, lab::nvme::InvalidFirmwareImage);
  EXPECT_EQ(RES_REQUEST_FAILED, FWCommit(&ctx, nullptr, 1, 1));
  ASSERT_LE(0x18u, Miniport().back().output.size());
  EXPECT_EQ(7u, lab::Rd32(Miniport().back().output.data(), 0x14)) << "FIRMWARE_STATUS_INVALID_IMAGE";
  EXPECT_EQ(0, first->pendingSlot());
}

TEST_F(RstTest, AnActivationThatNeedsAPowerCycleSucceeds) {
  lab::DriveSpec spec = DriveWithSerial("RST-THIRD", "1.0.0.00");
  spec.powerCycleRequired = true;
  lab::NvmeDrive& third = machine.AddRstDrive({3, 2, 2}, spec);
  ctx.iPathId = 2;
  lab::Bytes image = lab::MakeLabImage(8192, "3.0.0.00");
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, nullptr, image.data(), 8192));
  EXPECT_EQ(RES_SUCCESS, FWCommit(&ctx, nullptr, 1, 1));
  ASSERT_LE(0x18u, Miniport().back().output.size());
  EXPECT_EQ(0x20u, lab::Rd32(Miniport().back().output.data(), 0x14));
  machine.PowerCycle();
  EXPECT_EQ("3.0.0.00", third.revision());
}

// A commit through the pass-through completes with the drive's own status,
// judged as behind the bridges: "taken, needs a reset" is a success with the
// reset named, whatever the Do-Not-Retry bit says; any other status fails.
TEST_F(RstTest, APassThroughCommitIsJudgedByItsCompletion) {
  lab::Bytes image = lab::MakeLabImage(8192, "3.0.0.00");
  NvmeCommand commit = BuildCommitCommand(1, 1);
  struct Case {
    uint16_t field;
    INT32 result, reset;
  } cases[] = {{0x0110, RES_SUCCESS, RESET_SUBSYSTEM}, {0x4111, RES_SUCCESS, RESET_CONTROLLER},
               {0x010B, RES_SUCCESS, RESET_CONVENTIONAL}, {0x0000, RES_SUCCESS, RESET_NEXT}};
  for (const Case& c : cases) {
    ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, nullptr, image.data(), 8192));
    first->AnswerCommitWith(c.field);
    ClearCmdFault();
    EXPECT_EQ(c.result, IO_RST_NVMeCmd(port, 0, &commit, nullptr, 0)) << c.field;
    EXPECT_EQ(c.reset, LastCmdFault()->iReset) << c.field;
    EXPECT_EQ(1, first->pendingSlot());
  }
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, nullptr, image.data(), 8192));
  first->FailOpcode(0x10, lab::nvme::InvalidFirmwareSlot);
  ClearCmdFault();
  EXPECT_EQ(RES_REQUEST_FAILED, IO_RST_NVMeCmd(port, 0, &commit, nullptr, 0));
  WCHAR why[200];
  DescribeCmdFault(LastCmdFault(), why, 200);
  EXPECT_STREQ(L"the drive answered Invalid Firmware Slot (0x0106)", why);
}

// A miniport that completes a refused command with ReturnCode 0: the
// completion entry alone carries the drive's status, and it decides. A
// refusal is a failure with that status, a refused read hands back nothing,
// and a commit that took its image names its reset.
TEST_F(RstTest, TheCompletionDecidesWhenTheMiniportSaysNothing) {
  lab::RstDiskSpec where{3, 3, 0};
  where.refusalInCompletionOnly = true;
  lab::NvmeDrive& quiet = machine.AddRstDrive(where, DriveWithSerial("RST-QUIET", "1.0.0.00"));
  quiet.SetVendorHandler(0xE6, CountingPage);
  quiet.SetVendorHandler(0xE5, CountingPage);
  HANDLE port3 = Open(L"\\\\.\\Scsi3:");
  ASSERT_NE(INVALID_HANDLE_VALUE, port3);
  CmdContext quietCtx = {CMD_RST, port3, 0};
  lab::Bytes image = lab::MakeLabImage(8192, "3.0.0.00");
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&quietCtx, nullptr, image.data(), 8192));
  struct Case {
    const char* what;
    NvmeCommand command;
    DWORD length;
    lab::NvmeStatus answer;
    INT32 result;
    const wchar_t* why;  // for a failure
    INT32 reset;         // for a success
  } cases[] = {
      {"vendor read", BuildVendorCommand(0xE6, 4096, 1, 0, 0, 0), 4096, lab::nvme::DataTransferError,
       RES_REQUEST_FAILED, L"the drive answered Data Transfer Error (0x0004)", 0},
      {"vendor write", BuildVendorCommand(0xE5, 4096, 1, 0, 0, 0), 4096, lab::nvme::InvalidField,
       RES_REQUEST_FAILED, L"the drive answered Invalid Field in Command (0x0002)", 0},
      {"Identify", BuildIdentifyCommand(1, 0), 4096, lab::nvme::InvalidOpcode, RES_REQUEST_FAILED,
       L"the drive answered Invalid Command Opcode (0x0001)", 0},
      {"commit refused", BuildCommitCommand(1, 1), 0, lab::nvme::InvalidFirmwareSlot, RES_REQUEST_FAILED,
       L"the drive answered Invalid Firmware Slot (0x0106)", 0},
      {"commit taken, a reset needed", BuildCommitCommand(1, 1), 0, lab::nvme::NeedsConventionalReset, RES_SUCCESS,
       L"", RESET_CONVENTIONAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const BYTE opcode = static_cast<BYTE>(c.command.CDW[0]);
    const bool taken = opcode == 0x10 && lab::nvme::CommitTookImage(c.answer);
    quiet.FailOpcode(opcode, taken ? lab::nvme::Success : c.answer);
    if (taken) quiet.AnswerCommitWith(c.answer.field());
    std::vector<BYTE> buf(4096, 0xEE);
    machine.ClearRecords();
    ClearCmdFault();
    EXPECT_EQ(c.result, IO_RST_NVMeCmd(port3, 0, &c.command, c.length ? buf.data() : nullptr, c.length));
    auto requests = Miniport();
    ASSERT_EQ(1u, requests.size());
    ASSERT_TRUE(requests[0].ok);
    EXPECT_EQ(0u, lab::Rd32(requests[0].output.data(), 0x14)) << "ReturnCode";
    EXPECT_EQ(uint16_t(c.answer.field() << 1), lab::Rd16(requests[0].output.data(), 0x60 + 14)) << "DW3";
    WCHAR why[200];
    DescribeCmdFault(LastCmdFault(), why, 200);
    EXPECT_STREQ(c.why, why);
    EXPECT_EQ(c.reset, LastCmdFault()->iReset);
    if (c.result != RES_SUCCESS) {
      EXPECT_EQ(std::vector<BYTE>(4096, 0xEE), buf) << "nothing handed back";
    }
  }
  EXPECT_TRUE(first->adminCommands().empty()) << "another port's drive";
  plat::CloseHandle(port3);
}

// A port that completes a request with success and hands back nothing: the
// miniport never answered, and what the untouched buffers hold is not its
// word. A pass-through is no success and hands back no data; a piece or an
// activation is no success either, or an update would be said to wait for a
// restart that changes nothing. The failure says what came back.
TEST_F(RstTest, ARequestAnsweredWithNothingIsNoSuccess) {
  std::vector<BYTE> buf(4096, 0xEE);
  machine.AnswerWithNothing(SCSI_MINIPORT, 1);
  EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, nullptr, DIR_READ, 0xE6, 3, 0, MAKER_SIGNATURE_CDW14,
                                          MAKER_SIGNATURE_CDW15, buf.data(), 4096));
  EXPECT_EQ(std::vector<BYTE>(4096, 0xEE), buf) << "nothing handed back";
  WCHAR why[200];
  DescribeCmdFault(LastCmdFault(), why, 200);
  EXPECT_STREQ(L"the driver handed back 0 of 4260 bytes", why);
  NvmeCommand identify = BuildIdentifyCommand(1, 0);
  machine.AnswerWithNothing(SCSI_MINIPORT, 1);
  EXPECT_EQ(RES_REQUEST_FAILED, IO_RST_NVMeCmd(port, 0, &identify, buf.data(), 4096));
  EXPECT_EQ(std::vector<BYTE>(4096, 0xEE), buf);

  lab::Bytes image = lab::MakeLabImage(8192, "2.1.0.03");
  machine.AnswerWithNothing(SCSI_MINIPORT, 1);
  EXPECT_EQ(RES_REQUEST_FAILED, DownloadFW(&ctx, nullptr, image.data(), 8192));
  DescribeCmdFault(LastCmdFault(), why, 200);
  EXPECT_STREQ(L"at offset 0x0: the driver handed back 0 of 28 bytes", why);
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, nullptr, image.data(), 8192));
  machine.AnswerWithNothing(SCSI_MINIPORT, 1);
  EXPECT_EQ(RES_REQUEST_FAILED, FWCommit(&ctx, nullptr, 1, 1));
  EXPECT_TRUE(first->commits().empty());
  ASSERT_EQ(RES_SUCCESS, FWCommit(&ctx, nullptr, 1, 1)) << "the next activation is answered";
  EXPECT_EQ(1u, first->commits().size());
}
