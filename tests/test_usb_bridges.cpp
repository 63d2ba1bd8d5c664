// The ASMedia and JMicron transports and bridge recognition, checked step by
// step through the lab's bridges.
#include <atomic>
#include <cstring>
#include <thread>

#include "LabFixture.h"

#include <ntddscsi.h>
#include "MakerPersonality.h"
#include "UsbBridge.h"

namespace {

constexpr DWORD PASS_THROUGH_DIRECT = 0x0004D014;
constexpr uint8_t XFER_OUT = 0, XFER_IN = 1, XFER_NONE = 2;  // DataIn

lab::Bytes Cdb(const char* hex) {
  lab::Bytes b = Hex(hex);
  b.resize(16, 0);
  return b;
}

}  // namespace

class UsbTest : public LabTest {
 protected:
  lab::UsbBridgeDisk* bridge = nullptr;
  HANDLE h = INVALID_HANDLE_VALUE;
  CmdContext ctx = {CMD_NONE, INVALID_HANDLE_VALUE, 0};

  void Plug(lab::BridgeKind kind, const lab::DriveSpec& spec = lab::DriveSpec(), uint32_t flashSeconds = 0,
            uint32_t alignmentMask = 0) {
    lab::UsbDiskSpec where;
    where.kind = kind;
    where.flashSeconds = flashSeconds;
    where.alignmentMask = alignmentMask;
    where.deviceNumber = 1;
    bridge = &machine.AddUsbDrive(where, spec);
    h = Open(L"\\\\.\\PhysicalDrive1");
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ctx.iCmdType = kind == lab::BridgeKind::JMicron ? CMD_JMI_USB : CMD_ASM_USB;
  }
  void TearDown() override {
    if (h != INVALID_HANDLE_VALUE) plat::CloseHandle(h);
    LabTest::TearDown();
  }
  const lab::BridgeStep& StepAt(size_t i) { return bridge->steps().at(i); }
  lab::NvmeDrive* DriveOf() { return &bridge->drive(); }
  lab::NvmeStatus drive_commit_status() { return bridge->drive().commits().at(0).status; }
  void ExpectStep(size_t i, const char* cdb, uint8_t dataIn, uint32_t length) {
    SCOPED_TRACE(i);
    ASSERT_LT(i, bridge->steps().size());
    EXPECT_EQ(Cdb(cdb), StepAt(i).cdb);
    EXPECT_EQ(dataIn, StepAt(i).dataIn);
    EXPECT_EQ(length, StepAt(i).length);
  }
};

TEST_F(UsbTest, PassThroughBlockHasTheX64Layout) {
  Plug(lab::BridgeKind::ASMedia);
  ASSERT_EQ(CMD_ASM_USB, IO_USB_GetBridgeType(h));
  auto requests = machine.RequestsWithCode(PASS_THROUGH_DIRECT);
  ASSERT_EQ(2u, requests.size());
  const lab::Bytes& in = requests[0].input;
  ASSERT_EQ(0x78u, in.size());
  EXPECT_EQ(0x78u, requests[0].outputSize);
  EXPECT_EQ(Hex("3800 00 000000 10 18 01 000000 00100000 0A000000 00000000"), Slice(in, 0, 0x18));
  EXPECT_EQ(Hex("38000000"), Slice(in, 0x20, 4));  // sense right after the structure
  EXPECT_EQ(Cdb("12 00 00 00 26"), Slice(in, 0x24, 16));
  EXPECT_EQ(38u, lab::Rd32(requests[0].output.data(), 0x0C)) << "the device answers the 38 bytes asked for";
  ExpectStep(1, "EB 5A 02 00 00 00 00 00 00 00 00 00 00 10", XFER_IN, 16);
}

TEST_F(UsbTest, RecognitionByTheInquiryMarker) {
  Plug(lab::BridgeKind::ASMedia);
  bridge->FailInfoRead(true);
  EXPECT_EQ(CMD_ASM_USB, IO_USB_GetBridgeType(h)) << "even when the information read fails";
  plat::CloseHandle(h);
  machine.Reset();
  Plug(lab::BridgeKind::JMicron);
  EXPECT_EQ(CMD_JMI_USB, IO_USB_GetBridgeType(h));
  EXPECT_EQ(1u, bridge->steps().size());
  plat::CloseHandle(h);
  machine.Reset();
  Plug(lab::BridgeKind::Other);  // 0x60 followed by 0x24
  EXPECT_EQ(CMD_NONE, IO_USB_GetBridgeType(h));
  plat::CloseHandle(h);
  machine.Reset();
  Plug(lab::BridgeKind::ASMedia);
  GetAppState()->dwLastError = 0;
  bridge->CheckConditionAt(1);
  EXPECT_EQ(CMD_NONE, IO_USB_GetBridgeType(h));
  bridge->FailStep(1, ERROR_IO_DEVICE);
  EXPECT_EQ(CMD_NONE, IO_USB_GetBridgeType(h));
  EXPECT_EQ(0u, GetAppState()->dwLastError) << "recognition stores no error code";
}

TEST_F(UsbTest, AsmCommitIsThreeSteps) {
  Plug(lab::BridgeKind::ASMedia);
  // Nothing was downloaded: the drive refuses the commit, and its completion
  // entry says so.
  ASSERT_EQ(RES_REQUEST_FAILED, FWCommit(&ctx, h, 1, 1));
  ASSERT_EQ(3u, bridge->steps().size());
  ExpectStep(0, "EA 5A 80 00 00 00 00 00 00 00 00 00 00 40", XFER_OUT, 64);
  EXPECT_EQ(Hex("10000000 00000000"), Slice(StepAt(0).dataOut, 0, 8));
  EXPECT_EQ(Hex("09000000"), Slice(StepAt(0).dataOut, 40, 4));
  ExpectStep(1, "EB 5A 81 00 00", XFER_NONE, 0);
  ExpectStep(2, "EB 5A 82 00 00 00 00 00 00 00 00 00 00 10", XFER_IN, 16);
  EXPECT_EQ(lab::nvme::InvalidFirmwareImage, drive_commit_status());
}

TEST_F(UsbTest, AsmConfigurationBlockReadAndWrite) {
  Plug(lab::BridgeKind::ASMedia);
  auto maker = lab::GiveMakerPersonality(*DriveOf());
  std::vector<BYTE> block(4096, 0xEE);
  ASSERT_EQ(RES_SUCCESS, VendorCmd(&ctx, h, DIR_READ, 0xE6, 1, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15,
                                   block.data(), 4096));
  ExpectStep(0, "EA 5A 80 00 01 00 00 00 00 00 00 00 00 40", XFER_OUT, 64);
  ExpectStep(1, "EB 5A 81 00 01 00 00 00 00 00 00 00 10 00 00 00", XFER_IN, 4096);
  EXPECT_EQ(maker->configBlock(), lab::Bytes(block.begin(), block.end()));
  bridge->ClearSteps();
  block[1064] = '9';
  ASSERT_EQ(RES_SUCCESS, VendorCmd(&ctx, h, DIR_WRITE, 0xE5, 1, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15,
                                   block.data(), 4096));
  ExpectStep(1, "EA 5A 81 00 02 00 00 00 00 00 00 00 10 00 00 00", XFER_OUT, 4096);
  EXPECT_EQ(lab::Bytes(block.begin(), block.end()), StepAt(1).dataOut);
  EXPECT_EQ('9', maker->configBlock()[1064]);
}

TEST_F(UsbTest, AsmPieceAndIdentifyBlocks) {
  Plug(lab::BridgeKind::ASMedia);
  lab::Bytes image = lab::MakeLabImage(12288, "2.0.0.00");
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, h, image.data(), 12288));
  ASSERT_EQ(9u, bridge->steps().size());
  ExpectStep(6, "EA 5A 80 00 02 00 00 00 00 00 00 00 00 40", XFER_OUT, 64);
  EXPECT_EQ(Hex("11000000 00000000"), Slice(StepAt(6).dataOut, 0, 8));
  EXPECT_EQ(Hex("FF030000 00080000"), Slice(StepAt(6).dataOut, 40, 8));
  ExpectStep(7, "EA 5A 81 00 02 00 00 00 00 00 00 00 10 00 00 00", XFER_OUT, 4096);
  EXPECT_EQ(Slice(image, 8192, 4096), StepAt(7).dataOut);
  EXPECT_EQ(image, DriveOf()->downloadBuffer());

  bridge->ClearSteps();
  std::vector<BYTE> id(4096);
  NvmeCommand controller = BuildIdentifyCommand(1, 0), ns = BuildIdentifyCommand(0, 1);
  BYTE cc = 0;
  ASSERT_EQ(RES_SUCCESS, IO_USB_ASM_Identify(h, DIR_READ, &controller, id.data(), 4096, &cc));
  ExpectStep(0, "E6 06 00 01 00 00 00 00", XFER_IN, 4096);
  EXPECT_EQ("KESTREL LAB NVME", std::string(id.begin() + 24, id.begin() + 40));
  ASSERT_EQ(RES_SUCCESS, IO_USB_ASM_Identify(h, DIR_READ, &ns, id.data(), 4096, &cc));
  ExpectStep(1, "E6 06 00 00 00 00 00 01", XFER_IN, 4096);
  EXPECT_EQ(0, cc);
  bridge->CheckConditionAt(1);
  EXPECT_EQ(RES_SUCCESS, IO_USB_ASM_Identify(h, DIR_READ, &ns, id.data(), 4096, &cc));
  EXPECT_EQ(2, cc);
}

TEST_F(UsbTest, JmiBlocks) {
  lab::DriveSpec anyLength;
  anyLength.fwug = 0;
  Plug(lab::BridgeKind::JMicron, anyLength);
  std::vector<BYTE> buf(4096, 0xEE);
  NvmeCommand identify = BuildIdentifyCommand(1, 0);
  BYTE cc = 0;
  ASSERT_EQ(RES_SUCCESS, IO_USB_JMI_NVMeCmd(h, DIR_READ, &identify, buf.data(), 4096, &cc));
  ExpectStep(0, "A1 80 00 00 02 00", XFER_OUT, 512);
  EXPECT_EQ(Hex("4E564D45 00000000 06000000 00000000"), Slice(StepAt(0).dataOut, 0, 16));
  EXPECT_EQ(Hex("01000000"), Slice(StepAt(0).dataOut, 48, 4));
  EXPECT_EQ(lab::Bytes(512 - 72, 0), Slice(StepAt(0).dataOut, 72, 512 - 72));
  ExpectStep(1, "A1 82 00 00 10 00", XFER_IN, 4096);
  ExpectStep(2, "A1 8F 00 00 02 00", XFER_IN, 512);
  EXPECT_EQ("KESTREL LAB NVME", std::string(buf.begin() + 24, buf.begin() + 40));

  // The read buffer is zeroed first, and a refused command is a failure:
  // its zeros never pass for data.
  std::fill(buf.begin(), buf.end(), 0xEE);
  NvmeCommand unknown = BuildIdentifyCommand(9, 0);
  ASSERT_EQ(RES_REQUEST_FAILED, IO_USB_JMI_NVMeCmd(h, DIR_READ, &unknown, buf.data(), 4096, &cc));
  EXPECT_EQ(std::vector<BYTE>(4096, 0), buf);

  bridge->ClearSteps();
  machine.ClearRecords();
  ASSERT_EQ(RES_REQUEST_FAILED, FWCommit(&ctx, h, 1, 1)) << "nothing downloaded: the drive refuses";
  ExpectStep(1, "A1 81 00 00 00 00", XFER_NONE, 0);
  EXPECT_EQ(lab::Bytes(8, 0), Slice(machine.RequestsWithCode(PASS_THROUGH_DIRECT)[1].input, 0x18, 8)) << "no buffer";

  bridge->ClearSteps();
  lab::Bytes piece = lab::MakeLabImage(100, "x");
  ASSERT_EQ(RES_SUCCESS, IO_USB_JMI_DownloadFW(h, 0, piece.data(), 100));
  ExpectStep(1, "A1 83 00 00 00 64", XFER_OUT, 100);
  EXPECT_EQ(Hex("18000000 00000000"), Slice(StepAt(0).dataOut, 8 + 40, 8));  // CDW10 24
  EXPECT_EQ(piece, StepAt(1).dataOut);
}

TEST_F(UsbTest, JmiCheckConditionStopsAtTheFirstStep) {
  Plug(lab::BridgeKind::JMicron);
  bridge->CheckConditionAt(1);
  std::vector<BYTE> buf(4096);
  NvmeCommand identify = BuildIdentifyCommand(1, 0);
  BYTE cc = 0;
  EXPECT_EQ(RES_SUCCESS, IO_USB_JMI_NVMeCmd(h, DIR_READ, &identify, buf.data(), 4096, &cc));
  EXPECT_EQ(2, cc);
  EXPECT_EQ(1u, bridge->steps().size());
  // Without the byte the bridge's refusal fails the command at once.
  bridge->CheckConditionAt(1);
  EXPECT_EQ(RES_REQUEST_FAILED, IO_USB_JMI_NVMeCmd(h, DIR_READ, &identify, buf.data(), 4096, nullptr));
  EXPECT_EQ(2u, bridge->steps().size());
  bridge->CheckConditionAt(2);
  EXPECT_EQ(RES_REQUEST_FAILED, IO_USB_JMI_NVMeCmd(h, DIR_READ, &identify, buf.data(), 4096, nullptr));
}

// A completion the bridge does not deliver (CHECK CONDITION, nothing read)
// says nothing about the command: it must never read as the command's own
// zero bytes, which look like success.
TEST_F(UsbTest, AsmCompletionThatNeverArrivesIsAFailure) {
  Plug(lab::BridgeKind::ASMedia);
  auto maker = lab::GiveMakerPersonality(*DriveOf());
  std::vector<BYTE> block(4096);
  maker->failConfigRead = true;
  bridge->CheckConditionAt(3);
  EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, h, DIR_READ, 0xE6, 1, 0, MAKER_SIGNATURE_CDW14,
                                          MAKER_SIGNATURE_CDW15, block.data(), 4096));
  lab::Bytes image = lab::MakeLabImage(4096, "2.0.0.00");
  DriveOf()->FailOpcode(0x11, lab::nvme::InvalidField);
  bridge->CheckConditionAt(3);
  EXPECT_EQ(RES_REQUEST_FAILED, DownloadFW(&ctx, h, image.data(), 4096));
  DriveOf()->FailOpcode(0x10, lab::nvme::InvalidFirmwareImage);
  bridge->CheckConditionAt(3);
  EXPECT_EQ(RES_REQUEST_FAILED, FWCommit(&ctx, h, 1, 1));
  // And the bridge refusing the command block or the data is a failure too.
  maker->failConfigRead = false;
  for (int step : {1, 2}) {
    bridge->CheckConditionAt(step);
    EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, h, DIR_READ, 0xE6, 1, 0, MAKER_SIGNATURE_CDW14,
                                            MAKER_SIGNATURE_CDW15, block.data(), 4096))
        << step;
  }
  EXPECT_EQ(RES_SUCCESS, VendorCmd(&ctx, h, DIR_READ, 0xE6, 1, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15,
                                   block.data(), 4096));
}

TEST_F(UsbTest, FailedStepsFailTheCommand) {
  Plug(lab::BridgeKind::ASMedia);
  BYTE buf[4096];
  bridge->FailStep(3, ERROR_IO_DEVICE);  // the read completion: the outcome is unknown
  EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, h, DIR_READ, 0xE6, 3, 0, 0, 0, buf, sizeof buf));
  bridge->FailStep(2, ERROR_GEN_FAILURE);  // the data step
  EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, h, DIR_READ, 0xE6, 3, 0, 0, 0, buf, sizeof buf));
  EXPECT_EQ(DWORD(ERROR_GEN_FAILURE), GetAppState()->dwLastError);
  bridge->FailStep(1, ERROR_SEM_TIMEOUT);
  EXPECT_EQ(RES_REQUEST_FAILED, IO_USB_ASM_PowerCtrl(h, 1));
  EXPECT_EQ(DWORD(ERROR_SEM_TIMEOUT), GetAppState()->dwLastError);
}

// A drive's refusal travels back in the completion entry through either
// bridge; every kind of command that carries it is a failure.
TEST_F(UsbTest, TheDrivesRefusalIsAFailureThroughBothBridges) {
  for (lab::BridgeKind kind : {lab::BridgeKind::ASMedia, lab::BridgeKind::JMicron}) {
    SCOPED_TRACE(kind == lab::BridgeKind::ASMedia ? "ASMedia" : "JMicron");
    if (h != INVALID_HANDLE_VALUE) plat::CloseHandle(h);
    machine.Reset();
    Plug(kind);
    auto maker = lab::GiveMakerPersonality(*DriveOf());
    std::vector<BYTE> block(4096, 0);
    maker->failConfigRead = true;
    EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, h, DIR_READ, 0xE6, 1, 0, MAKER_SIGNATURE_CDW14,
                                            MAKER_SIGNATURE_CDW15, block.data(), 4096));
    maker->failConfigRead = false;
    ASSERT_EQ(RES_SUCCESS, VendorCmd(&ctx, h, DIR_READ, 0xE6, 1, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15,
                                     block.data(), 4096));
    DriveOf()->FailOpcode(0xE5, lab::nvme::InvalidField);
    EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, h, DIR_WRITE, 0xE5, 1, 0, MAKER_SIGNATURE_CDW14,
                                            MAKER_SIGNATURE_CDW15, block.data(), 4096));

    lab::Bytes image = lab::MakeLabImage(16384, "2.0.0.00");
    DriveOf()->FailOpcode(0x11, lab::nvme::InvalidField, 2);
    EXPECT_EQ(RES_REQUEST_FAILED, DownloadFW(&ctx, h, image.data(), 16384));
    EXPECT_EQ(3u, DriveOf()->pieces().size()) << "nothing after the refused piece";
    DriveOf()->FailOpcode(0x11, lab::nvme::Success);
    ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, h, image.data(), 16384));
    DriveOf()->FailOpcode(0x10, lab::nvme::InvalidFirmwareImage);
    EXPECT_EQ(RES_REQUEST_FAILED, FWCommit(&ctx, h, 1, 1));
    EXPECT_EQ(0, DriveOf()->pendingSlot());
  }
}

// Writing flash takes the drive longer than other commands: the steps of a
// firmware piece, the commit and the maker's configuration and device
// information writes allow a minute, all others ten seconds.
TEST_F(UsbTest, FlashWritingStepsAllowAMinute) {
  for (lab::BridgeKind kind : {lab::BridgeKind::ASMedia, lab::BridgeKind::JMicron}) {
    SCOPED_TRACE(kind == lab::BridgeKind::ASMedia ? "ASMedia" : "JMicron");
    if (h != INVALID_HANDLE_VALUE) plat::CloseHandle(h);
    machine.Reset();
    Plug(kind, lab::DriveSpec(), 30);
    auto maker = lab::GiveMakerPersonality(*DriveOf());
    std::vector<BYTE> block(4096);
    ASSERT_EQ(RES_SUCCESS, VendorCmd(&ctx, h, DIR_READ, 0xE6, 1, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15,
                                     block.data(), 4096));
    for (const auto& step : bridge->steps()) EXPECT_EQ(10u, step.timeout);
    bridge->ClearSteps();
    lab::Bytes image = lab::MakeLabImage(8192, "2.0.0.00");
    ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, h, image.data(), 8192));
    ASSERT_EQ(RES_SUCCESS, FWCommit(&ctx, h, 1, 1));
    ASSERT_EQ(9u, bridge->steps().size());
    for (const auto& step : bridge->steps()) EXPECT_EQ(60u, step.timeout);
    EXPECT_EQ(1, DriveOf()->pendingSlot());
    bridge->ClearSteps();
    for (BYTE opcode : {BYTE(0xE5), BYTE(0xF1)})
      EXPECT_EQ(RES_SUCCESS, VendorCmd(&ctx, h, DIR_WRITE, opcode, opcode == 0xE5 ? 1 : 0, 0, MAKER_SIGNATURE_CDW14,
                                       MAKER_SIGNATURE_CDW15, block.data(), 4096))
          << "a flash write of 30 s through the bridge, opcode " << int(opcode);
    ASSERT_FALSE(bridge->steps().empty());
    for (const auto& step : bridge->steps()) EXPECT_EQ(60u, step.timeout);
  }
  // A drive slower than the minute: the stack cuts the step off, and the
  // command fails instead of counting as done.
  if (h != INVALID_HANDLE_VALUE) plat::CloseHandle(h);
  machine.Reset();
  Plug(lab::BridgeKind::ASMedia, lab::DriveSpec(), 90);
  lab::Bytes image = lab::MakeLabImage(4096, "2.0.0.00");
  EXPECT_EQ(RES_REQUEST_FAILED, DownloadFW(&ctx, h, image.data(), 4096));
  EXPECT_EQ(DWORD(ERROR_SEM_TIMEOUT), GetAppState()->dwLastError);
}

// A JMicron response that cannot be read, or that is not the bridge's, says
// nothing about the command: a failure, never a success.
TEST_F(UsbTest, JmiResponsesThatSayNothingFailTheCommand) {
  Plug(lab::BridgeKind::JMicron);
  std::vector<BYTE> buf(4096);
  NvmeCommand identify = BuildIdentifyCommand(1, 0);
  bridge->FailStep(3, ERROR_IO_DEVICE);
  EXPECT_EQ(RES_REQUEST_FAILED, IO_USB_JMI_NVMeCmd(h, DIR_READ, &identify, buf.data(), 4096, nullptr));
  bridge->AnswerWithoutSignature(true);
  EXPECT_EQ(RES_REQUEST_FAILED, IO_USB_JMI_NVMeCmd(h, DIR_READ, &identify, buf.data(), 4096, nullptr));
  bridge->AnswerWithoutSignature(false);
  EXPECT_EQ(RES_SUCCESS, IO_USB_JMI_NVMeCmd(h, DIR_READ, &identify, buf.data(), 4096, nullptr));
  // The power control's response is not the drive's: a failed one is ignored.
  bridge->FailStep(3, ERROR_IO_DEVICE);
  EXPECT_EQ(RES_SUCCESS, IO_USB_JMI_PowerCtrl(h, 5));
}

// The USB stack reports a step that moved fewer bytes than asked, with its
// residue: the command failed, whatever the drive's completion says, and
// nothing more is sent for it. A piece cut short reached the drive damaged;
// a read, an Identify or a JMicron response cut short leaves bytes that were
// never written, which read as data or, in a response, as success.
TEST_F(UsbTest, AShortTransferFailsTheCommand) {
  enum Command { Piece, Read, Identify };
  const lab::BridgeKind asm_ = lab::BridgeKind::ASMedia, jmi = lab::BridgeKind::JMicron;
  struct Case {
    const char* what;
    lab::BridgeKind kind;
    Command command;
    int step;          // the step cut short, from 1
    uint32_t missing;  // the residue
    bool refused;      // the drive refuses the read
    const wchar_t* why;
  } cases[] = {
      {"ASMedia piece", asm_, Piece, 2, 512, false, L"the bridge step EA 5A moved 3584 of 4096 bytes"},
      {"JMicron piece", jmi, Piece, 2, 1, false, L"the bridge step A1 83 moved 4095 of 4096 bytes"},
      {"ASMedia read", asm_, Read, 2, 4095, false, L"the bridge step EB 5A moved 1 of 4096 bytes"},
      {"JMicron read", jmi, Read, 2, 2048, false, L"the bridge step A1 82 moved 2048 of 4096 bytes"},
      {"ASMedia Identify", asm_, Identify, 1, 2048, false, L"the bridge step E6 06 moved 2048 of 4096 bytes"},
      {"ASMedia completion", asm_, Read, 3, 8, false, L"the bridge step EB 5A moved 8 of 16 bytes"},
      {"JMicron response without the completion of a refused read", jmi, Read, 3, 504, true,
       L"the bridge step A1 8F moved 8 of 512 bytes"},
      {"JMicron response a byte short", jmi, Piece, 3, 1, false, L"the bridge step A1 8F moved 511 of 512 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (h != INVALID_HANDLE_VALUE) plat::CloseHandle(h);
    machine.Reset();
    Plug(c.kind);
    lab::GiveMakerPersonality(*DriveOf());
    if (c.refused) DriveOf()->FailOpcode(0xE6, lab::nvme::InvalidField);
    bridge->ShortTransferAt(c.step, c.missing);
    lab::Bytes image = lab::MakeLabImage(8192, "2.0.0.00");
    std::vector<BYTE> block(4096);
    NvmeCommand identify = BuildIdentifyCommand(1, 0);
    BYTE cc = 0;
    ClearCmdFault();
    INT32 result = c.command == Piece ? DownloadFW(&ctx, h, image.data(), 8192)
                   : c.command == Read ? VendorCmd(&ctx, h, DIR_READ, 0xE6, 1, 0, MAKER_SIGNATURE_CDW14,
                                                   MAKER_SIGNATURE_CDW15, block.data(), 4096)
                                       : IO_USB_ASM_Identify(h, DIR_READ, &identify, block.data(), 4096, &cc);
    EXPECT_EQ(RES_REQUEST_FAILED, result);
    EXPECT_EQ(size_t(c.step), bridge->steps().size()) << "nothing sent after the short step";
    EXPECT_LE(DriveOf()->pieces().size(), 1u);
    WCHAR why[200];
    DescribeCmdFault(LastCmdFault(), why, 200);
    EXPECT_NE(std::wstring::npos, std::wstring(why).find(c.why)) << why;
  }
}

TEST_F(UsbTest, BridgeRefusesMalformedAndOutOfOrderSteps) {
  Plug(lab::BridgeKind::ASMedia);
  auto send = [&](lab::Bytes block) {
    DWORD returned = 0;
    BOOL ok = plat::DeviceIoControl(h, PASS_THROUGH_DIRECT, block.data(), DWORD(block.size()), block.data(),
                                    DWORD(block.size()), &returned, nullptr);
    return ok ? 0u : GetLastError();
  };
  lab::Bytes good(0x78, 0);
  lab::Wr16(good.data(), 0, 0x38);
  good[6] = 16;
  good[7] = 0x18;
  good[8] = XFER_NONE;
  lab::Wr32(good.data(), 0x10, 10);
  lab::Wr32(good.data(), 0x20, 0x38);
  lab::Bytes data = Cdb("EB 5A 81 00 00");
  std::copy(data.begin(), data.end(), good.begin() + 0x24);
  lab::Bytes wrongLength = good;
  lab::Wr16(wrongLength.data(), 0, 0x2C);  // the 32-bit structure's size
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), send(wrongLength));
  lab::Bytes senseInside = good;
  lab::Wr32(senseInside.data(), 0x20, 0x30);
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), send(senseInside));
  lab::Bytes noBuffer = good;
  lab::Wr32(noBuffer.data(), 0x0C, 16);
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), send(noBuffer));
  EXPECT_EQ(DWORD(ERROR_IO_DEVICE), send(good)) << "a data step with no command before it";
}

TEST_F(UsbTest, PowerCycleBringsTheDriveBackUnderANewNumber) {
  for (auto kind : {lab::BridgeKind::ASMedia, lab::BridgeKind::JMicron}) {
    SCOPED_TRACE(kind == lab::BridgeKind::ASMedia ? "ASMedia" : "JMicron");
    machine.Reset();
    Plug(kind);
    GetAppState()->iDebugLog = 1;
    lab::Bytes image = lab::MakeLabImage(40960, "3.1.0.00");
    ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, h, image.data(), 40960));
    ASSERT_EQ(RES_SUCCESS, FWCommit(&ctx, h, 1, 1));
    bridge->ClearSteps();
    if (kind == lab::BridgeKind::ASMedia) {
      ASSERT_EQ(RES_SUCCESS, IO_USB_ASM_PowerCtrl(h, 1));
      ExpectStep(0, "EA 5A 01", XFER_OUT, 0);
      EXPECT_EQ(1u, LinesContaining(L"[VX]          [middle] IO_USB_ASM_PowerCtrl IN 1").size());
      EXPECT_EQ(1u, LinesContaining(L"IO_USB_ASM_PowerCtrl Success OUT ").size());
    } else {
      ASSERT_EQ(RES_SUCCESS, IO_USB_JMI_PowerCtrl(h, 5));
      EXPECT_EQ(Hex("4E564D45"), Slice(StepAt(0).dataOut, 0, 4));
      EXPECT_EQ(lab::Bytes(68, 0), Slice(StepAt(0).dataOut, 4, 68));
      EXPECT_EQ(5, StepAt(0).dataOut[72]);
      ExpectStep(1, "A1 81", XFER_IN, 0);
      EXPECT_EQ(1u, LinesContaining(L"[VX]          [middle] IO_USB_JMI_PowerCtrl Success OUT").size());
    }
    EXPECT_EQ(1, bridge->powerCycles());
    BYTE id[4096];
    BYTE cc = 0;
    NvmeCommand identify = BuildIdentifyCommand(1, 0);
    EXPECT_EQ(RES_REQUEST_FAILED, IO_USB_ASM_Identify(h, DIR_READ, &identify, id, 4096, &cc));
    EXPECT_EQ(DWORD(ERROR_DEVICE_NOT_CONNECTED), GetAppState()->dwLastError);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(L"\\\\.\\PhysicalDrive1")) << "gone from the bus";
    plat::Sleep(2999);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(L"\\\\.\\PhysicalDrive2"));
    plat::Sleep(1);
    HANDLE back = Open(L"\\\\.\\PhysicalDrive2");
    ASSERT_NE(INVALID_HANDLE_VALUE, back);
    EXPECT_EQ(RES_SUCCESS, kind == lab::BridgeKind::ASMedia
                               ? IO_USB_ASM_Identify(back, DIR_READ, &identify, id, 4096, &cc)
                               : IO_USB_JMI_NVMeCmd(back, DIR_READ, &identify, id, 4096, &cc));
    EXPECT_EQ("3.1.0.00", std::string(id + 64, id + 72)) << "the new image runs";
    plat::CloseHandle(back);
    plat::CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
}

TEST_F(UsbTest, ProbesFromAnotherThreadNeverSplitAnOperation) {
  for (auto kind : {lab::BridgeKind::ASMedia, lab::BridgeKind::JMicron}) {
    machine.Reset();
    Plug(kind);
    lab::GiveMakerPersonality(*DriveOf());
    lab::Bytes image = lab::MakeLabImage(40 * 4096, "4.0.0.00");
    std::atomic<bool> done{false};
    std::atomic<int> probeFailures{0}, probes{0};
    std::thread prober([&] {
      HANDLE other = Open(L"\\\\.\\PhysicalDrive1");
      CmdContext probe = ctx;
      BYTE page[4096], cc = 0;
      NvmeCommand identify = BuildIdentifyCommand(1, 0);
      while (!done) {
        INT32 a = kind == lab::BridgeKind::ASMedia ? IO_USB_ASM_Identify(other, DIR_READ, &identify, page, 4096, &cc)
                                                   : IO_USB_JMI_NVMeCmd(other, DIR_READ, &identify, page, 4096, &cc);
        INT32 b = VendorCmd(&probe, other, DIR_READ, 0xE6, 3, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15, page,
                            4096);
        if (a != RES_SUCCESS || b != RES_SUCCESS || page[0] != 0x5A) ++probeFailures;
        ++probes;
      }
      plat::CloseHandle(other);
    });
    INT32 result = DownloadFW(&ctx, h, image.data(), UINT32(image.size()));
    while (probes < 3) std::this_thread::yield();
    done = true;
    prober.join();
    EXPECT_EQ(RES_SUCCESS, result);
    EXPECT_EQ(0, probeFailures.load());
    EXPECT_EQ(image, DriveOf()->downloadBuffer()) << "every piece intact and in order";
    for (const auto& step : bridge->steps()) EXPECT_FALSE(step.failed);
    plat::CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
}

// An adapter that takes data buffers on 512-byte boundaries only: every step
// still gets through, whatever buffer its caller holds; the adapter itself
// refuses a buffer off its mask.
TEST_F(UsbTest, DataBuffersMeetTheAdaptersAlignmentMask) {
  for (lab::BridgeKind kind : {lab::BridgeKind::ASMedia, lab::BridgeKind::JMicron}) {
    SCOPED_TRACE(kind == lab::BridgeKind::ASMedia ? "ASMedia" : "JMicron");
    if (h != INVALID_HANDLE_VALUE) plat::CloseHandle(h);
    machine.Reset();
    Plug(kind, lab::DriveSpec(), 0, 0x1FF);
    auto maker = lab::GiveMakerPersonality(*DriveOf());
    struct {
      BYTE pad[3];
      BYTE block[4096];
    } unaligned;  // a caller's buffer off any boundary
    ASSERT_EQ(RES_SUCCESS, VendorCmd(&ctx, h, DIR_READ, 0xE6, 1, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15,
                                     unaligned.block, 4096));
    EXPECT_EQ(maker->configBlock(), lab::Bytes(unaligned.block, unaligned.block + 4096)) << "read back whole";
    EXPECT_EQ(RES_SUCCESS, VendorCmd(&ctx, h, DIR_WRITE, 0xE5, 1, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15,
                                     unaligned.block, 4096));
    EXPECT_EQ(0, machine.OutstandingAllocations());
  }
  SCSI_PASS_THROUGH_DIRECT sptd = {};
  BYTE data[520];
  sptd.Length = sizeof sptd;
  sptd.CdbLength = 16;
  sptd.DataIn = SCSI_IOCTL_DATA_IN;
  sptd.DataTransferLength = 512;
  sptd.TimeOutValue = 10;
  sptd.DataBuffer = reinterpret_cast<BYTE*>((reinterpret_cast<uintptr_t>(data) | 0x1FF) + 1) - 1;
  DWORD returned = 0;
  EXPECT_FALSE(plat::DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd, sizeof sptd, &sptd, sizeof sptd,
                                     &returned, nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
}
