// The native NVMe transport, checked byte by byte through the lab's decoding.
#include <cstring>

#include "Devices.h"
#include "LabFixture.h"

namespace {

constexpr DWORD PROTOCOL_COMMAND = 0x002DD3C0;
constexpr DWORD FIRMWARE_DOWNLOAD = 0x002DDC04;
constexpr DWORD FIRMWARE_ACTIVATE = 0x002DDC08;
constexpr DWORD QUERY_PROPERTY = 0x002D1400;

// The STORAGE_PROTOCOL_COMMAND header every native admin request starts
// with, up to the transfer lengths (0x00-0x1F), and from the timeout to the
// command (0x28-0x4F).
const char* kProtocolHead = "01000000 54000000 03000000 00000080 00000000 00000000 40000000 00000000";
const char* kProtocolTail = "0A000000 00000000 90000000 90000000 01000000 00000000 00000000 000000000000000000000000";

// A real window of this thread that collects what the updater posts.
class ProgressSink {
 public:
  ProgressSink() {
    hwnd_ = CreateWindowExW(0, L"STATIC", L"sink", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  }
  ~ProgressSink() { DestroyWindow(hwnd_); }
  HWND hwnd() const { return hwnd_; }
  std::vector<LPARAM> Posted() {
    std::vector<LPARAM> out;
    MSG msg;
    while (PeekMessageW(&msg, hwnd_, 0, 0, PM_REMOVE)) {
      EXPECT_EQ(WM_UPDATE_PROGRESS, msg.message);
      EXPECT_EQ(0u, msg.wParam);
      out.push_back(msg.lParam);
    }
    return out;
  }

 private:
  HWND hwnd_;
};

// The drive answers 0xE6 reads with a counting pattern and takes 0xE5 writes.
lab::NvmeStatus PatternPage(const uint8_t*, lab::Bytes& data, bool toDrive) {
  if (!toDrive)
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 1);
  return lab::nvme::Success;
}

}  // namespace

class NativeAdminTest : public NativeDriveTest {
 protected:
  void SetUp() override {
    NativeDriveTest::SetUp();
    drive->SetVendorHandler(0xE6, PatternPage);
    drive->SetVendorHandler(0xE5, PatternPage);
    drive->SetVendorHandler(0xC0, PatternPage);
  }
};

TEST_F(NativeAdminTest, CommandWithoutDataIsA0x90ByteRequest) {
  NvmeCommand command = BuildVendorCommand(0xC0, 0, 0x11, 0x22, 0x33, 0x44);
  EXPECT_EQ(RES_SUCCESS, IO_NVMe_ProtocolCmd(h, DIR_NONE, &command, nullptr, 0));
  auto requests = machine.RequestsWithCode(PROTOCOL_COMMAND);
  ASSERT_EQ(1u, requests.size());
  const lab::Bytes& in = requests[0].input;
  ASSERT_EQ(0x90u, in.size());
  EXPECT_EQ(0x90u, requests[0].outputSize);
  EXPECT_EQ(Hex(kProtocolHead), Slice(in, 0x00, 0x20));
  EXPECT_EQ(Hex("00000000 00000000"), Slice(in, 0x20, 8));  // no data either way
  EXPECT_EQ(Hex(kProtocolTail), Slice(in, 0x28, 0x28));
  EXPECT_EQ(Hex("C0000000 FFFFFFFF 0000000000000000 0000000000000000 0000000000000000"
                "0000000000000000 00000000 00000000 11000000 22000000 33000000 44000000"),
            Slice(in, 0x50, 0x40));
}

TEST_F(NativeAdminTest, Read4096BytesReturnsTheDrivesData) {
  std::vector<BYTE> buf(4096, 0xEE);
  EXPECT_EQ(RES_SUCCESS, VendorCmd(&ctx, h, DIR_READ, 0xE6, 3, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15,
                                   buf.data(), 4096));
  auto requests = machine.RequestsWithCode(PROTOCOL_COMMAND);
  ASSERT_EQ(1u, requests.size());
  const lab::Bytes& in = requests[0].input;
  ASSERT_EQ(0x1090u, in.size());
  EXPECT_EQ(0x1090u, requests[0].outputSize);
  EXPECT_EQ(Hex(kProtocolHead), Slice(in, 0x00, 0x20));
  EXPECT_EQ(Hex("00000000 00100000"), Slice(in, 0x20, 8));  // 4096 bytes from the drive
  EXPECT_EQ(Hex(kProtocolTail), Slice(in, 0x28, 0x28));
  EXPECT_EQ(Hex("E6000000 FFFFFFFF"), Slice(in, 0x50, 8));
  EXPECT_EQ(Hex("00040000 00000000 03000000 00000000 414C4558 564F5254"), Slice(in, 0x78, 0x18));
  for (size_t i = 0; i < buf.size(); ++i) ASSERT_EQ(uint8_t(i * 7 + 1), buf[i]) << "byte " << i;
}

TEST_F(NativeAdminTest, Write4096BytesCarriesTheDataAndLeavesTheBufferAlone) {
  std::vector<BYTE> buf(4096);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = uint8_t(255 - i % 251);
  const std::vector<BYTE> before = buf;
  EXPECT_EQ(RES_SUCCESS, VendorCmd(&ctx, h, DIR_WRITE, 0xE5, 1, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15,
                                   buf.data(), 4096));
  auto requests = machine.RequestsWithCode(PROTOCOL_COMMAND);
  ASSERT_EQ(1u, requests.size());
  const lab::Bytes& in = requests[0].input;
  ASSERT_EQ(0x1090u, in.size());
  EXPECT_EQ(Hex("00100000 00000000"), Slice(in, 0x20, 8));  // 4096 bytes to the drive
  EXPECT_EQ(lab::Bytes(before.begin(), before.end()), Slice(in, 0x90, 4096));
  EXPECT_EQ(before, buf);
}

TEST_F(NativeAdminTest, DriveRefusalIsAFailureEvenThoughTheRequestSucceeded) {
  // A vendor command the drive lists, refused by the drive: Invalid Opcode.
  drive->SetVendorHandler(0xE7, [](const uint8_t*, lab::Bytes&, bool) { return lab::nvme::InvalidOpcode; });
  std::vector<BYTE> buf(4096, 0xEE);
  EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, h, DIR_READ, 0xE7, 0, 0, 0, 0, buf.data(), 4096));
  auto requests = machine.RequestsWithCode(PROTOCOL_COMMAND);
  ASSERT_EQ(1u, requests.size());
  EXPECT_TRUE(requests[0].ok);
  ASSERT_GE(requests[0].output.size(), 0x18u);
  EXPECT_EQ(Hex("02000000 01000000"), Slice(requests[0].output, 0x10, 8));  // ReturnStatus ERROR, Invalid Opcode
  EXPECT_EQ(std::vector<BYTE>(4096, 0xEE), buf) << "a refused read must not hand back data";

  drive->FailOpcode(0xE6, lab::nvme::InvalidField);
  EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, h, DIR_READ, 0xE6, 3, 0, 0, 0, buf.data(), 4096));

  // One the drive's effects log does not list never reaches it: the driver
  // refuses it as an invalid function.
  machine.ClearRecords();
  EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, h, DIR_READ, 0xE8, 0, 0, 0, 0, buf.data(), 4096));
  requests = machine.RequestsWithCode(PROTOCOL_COMMAND);
  ASSERT_EQ(1u, requests.size());
  EXPECT_FALSE(requests[0].ok);
  EXPECT_EQ(DWORD(ERROR_INVALID_FUNCTION), requests[0].error);
}

// The driver completes the request with the command still pending: the
// drive's answer never came back, so the command is no success whichever
// way its data flows, a read hands back nothing, and the failure names the
// driver's status.
TEST_F(NativeAdminTest, ACommandLeftPendingIsNoSuccess) {
  auto* disk = static_cast<lab::NativeNvmeDisk*>(machine.DiskAt(0));
  struct Case {
    const char* what;
    DWORD direction;
    BYTE opcode;
    DWORD length;
  } cases[] = {{"read", DIR_READ, 0xE6, 4096}, {"write", DIR_WRITE, 0xE5, 4096}, {"no data", DIR_NONE, 0xC0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<BYTE> buf(4096, 0xEE);
    disk->LeavePending(1);
    machine.ClearRecords();
    EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, h, c.direction, c.opcode, 1, 0, MAKER_SIGNATURE_CDW14,
                                            MAKER_SIGNATURE_CDW15, c.length ? buf.data() : nullptr, c.length));
    auto requests = machine.RequestsWithCode(PROTOCOL_COMMAND);
    ASSERT_EQ(1u, requests.size());
    EXPECT_TRUE(requests[0].ok);
    EXPECT_EQ(Hex("00000000 00000000"), Slice(requests[0].output, 0x10, 8));  // ReturnStatus pending, no error code
    EXPECT_EQ(std::vector<BYTE>(4096, 0xEE), buf);
    WCHAR why[200];
    DescribeCmdFault(LastCmdFault(), why, 200);
    EXPECT_STREQ(L"the driver answered protocol status 0x00 (Pending)", why);
  }
  std::vector<BYTE> buf(4096, 0xEE);
  ASSERT_EQ(RES_SUCCESS, VendorCmd(&ctx, h, DIR_READ, 0xE6, 1, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15,
                                   buf.data(), 4096));
  EXPECT_EQ(uint8_t(4095 * 7 + 1), buf[4095]) << "the next command is answered";
}

TEST_F(NativeAdminTest, FailedRequestsStoreTheSystemError) {
  machine.FailIoctl(PROTOCOL_COMMAND, ERROR_IO_DEVICE, 1);
  BYTE buf[4096];
  EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, h, DIR_READ, 0xE6, 3, 0, 0, 0, buf, sizeof buf));
  EXPECT_EQ(DWORD(ERROR_IO_DEVICE), GetAppState()->dwLastError);

  machine.FailAllocation(1);
  EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, h, DIR_READ, 0xE6, 3, 0, 0, 0, buf, sizeof buf));
  EXPECT_EQ(DWORD(ERROR_NOT_ENOUGH_MEMORY), GetAppState()->dwLastError);
  EXPECT_EQ(1u, machine.RequestsWithCode(PROTOCOL_COMMAND).size()) << "nothing is sent without a buffer";

  CmdContext stale = ctx;
  EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&stale, reinterpret_cast<HANDLE>(0x1234), DIR_READ, 0xE6, 3, 0, 0, 0, buf,
                                          sizeof buf));
  EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetAppState()->dwLastError);
}

TEST_F(NativeDriveTest, IdentifyQueryReadsControllerAndNamespace) {
  std::vector<BYTE> id(4096);
  ASSERT_EQ(RES_SUCCESS, IO_NVMe_Identify(h, 1, 0, id.data(), 4096));
  auto requests = machine.RequestsWithCode(QUERY_PROPERTY);
  ASSERT_EQ(1u, requests.size());
  const lab::Bytes& in = requests[0].input;
  ASSERT_EQ(0x1030u, in.size());
  EXPECT_EQ(0x1030u, requests[0].outputSize);
  EXPECT_EQ(Hex("31000000 00000000 03000000 01000000 01000000 00000000 28000000 00100000"
                "00000000 00000000 00000000 00000000"),
            Slice(in, 0, 0x30));
  EXPECT_EQ("KESTREL LAB NVME 512GB", std::string(id.begin() + 24, id.begin() + 46));
  EXPECT_EQ("1.0.0.00", std::string(id.begin() + 64, id.begin() + 72));
  EXPECT_EQ(0x4Cu, id[0]);
  EXPECT_EQ(0x1Du, id[1]);

  std::vector<BYTE> ns(4096);
  ASSERT_EQ(RES_SUCCESS, IO_NVMe_Identify(h, 0, 1, ns.data(), 4096));
  EXPECT_EQ(Hex("00000000 01000000"), Slice(machine.RequestsWithCode(QUERY_PROPERTY)[1].input, 0x10, 8));
  EXPECT_EQ(9, ns[130]);

  // A namespace the drive does not have fails the request.
  EXPECT_EQ(RES_REQUEST_FAILED, IO_NVMe_Identify(h, 0, 2, ns.data(), 4096));
  EXPECT_EQ(DWORD(ERROR_IO_DEVICE), GetAppState()->dwLastError);
}

// Pieces of any length: a drive and a driver that restrict them to nothing
// but the byte, so that the requests' layout alone is seen.
class NativeDownloadTest : public NativeDriveTest {
 protected:
  ProgressSink sink;
  lab::DriveSpec Spec() override {
    lab::DriveSpec spec;
    spec.fwug = 0xFF;
    return spec;
  }
  lab::NativeDiskSpec Where() override {
    lab::NativeDiskSpec where{0, 1, 0};
    where.payloadAlignment = 1;
    return where;
  }
  void SetUp() override {
    NativeDriveTest::SetUp();
    ASSERT_NE(nullptr, sink.hwnd());
    GetAppState()->hDlg = sink.hwnd();
    GetAppState()->iDebugLog = 1;
  }
  // (offset, length) of every piece request, as decoded from its bytes.
  std::vector<std::pair<uint64_t, uint64_t>> Pieces() {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const auto& r : machine.RequestsWithCode(FIRMWARE_DOWNLOAD))
      out.emplace_back(lab::Rd64(r.input.data(), 0x10), lab::Rd64(r.input.data(), 0x18));
    return out;
  }
  using Pieces_t = std::vector<std::pair<uint64_t, uint64_t>>;
};

TEST_F(NativeDownloadTest, EmptyImageSendsNothingAndSucceeds) {
  BYTE none = 0;
  EXPECT_EQ(RES_SUCCESS, DownloadFW(&ctx, h, &none, 0));
  EXPECT_TRUE(machine.Requests().empty());
  EXPECT_TRUE(sink.Posted().empty());
  EXPECT_EQ(1u, LinesContaining(L"DownloadFW IN").size());
  EXPECT_EQ(1u, LinesContaining(L"DownloadFW Success OUT").size());
}

TEST_F(NativeDownloadTest, PiecesAndProgressFollowTheImageSize) {
  struct Case {
    UINT32 size;
    Pieces_t pieces;
    std::vector<LPARAM> progress;
  } cases[] = {
      {4097, {{0, 4096}, {4096, 1}}, {90}},
      {8192, {{0, 4096}, {4096, 4096}}, {50}},
      {40960,
       {{0, 4096}, {4096, 4096}, {8192, 4096}, {12288, 4096}, {16384, 4096}, {20480, 4096}, {24576, 4096},
        {28672, 4096}, {32768, 4096}, {36864, 4096}},
       {10, 20, 30, 40, 50, 60, 70, 80, 90}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    machine.ClearRecords();
    lab::Bytes image = lab::MakeLabImage(c.size, "2.0.0.00");
    EXPECT_EQ(RES_SUCCESS, DownloadFW(&ctx, h, image.data(), c.size));
    EXPECT_EQ(c.pieces, Pieces());
    EXPECT_EQ(c.progress, sink.Posted());
    EXPECT_EQ(image, drive->downloadBuffer()) << "the drive holds the image as sent";
    EXPECT_EQ(c.progress.size(), LinesContaining(L"[VX]          [middle] DownloadFW  ").size());
  }
}

TEST_F(NativeDownloadTest, OneBytePieceRequestLayout) {
  lab::Bytes image = lab::MakeLabImage(4097, "2.0.0.00");
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, h, image.data(), 4097));
  auto requests = machine.RequestsWithCode(FIRMWARE_DOWNLOAD);
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ(0x1028u, requests[0].input.size());
  EXPECT_EQ(0u, requests[0].outputSize);
  const lab::Bytes& in = requests[1].input;
  ASSERT_EQ(0x29u, in.size());
  EXPECT_EQ(Hex("28000000 29000000 01000000 01000000 0010000000000000 0100000000000000"), Slice(in, 0, 0x20));
  EXPECT_EQ(image[4096], in[0x20]);
}

TEST_F(NativeDownloadTest, FailedThirdPieceStopsTheDownload) {
  machine.FailFirmwarePiece(3);
  lab::Bytes image = lab::MakeLabImage(40960, "2.0.0.00");
  EXPECT_EQ(RES_REQUEST_FAILED, DownloadFW(&ctx, h, image.data(), 40960));
  EXPECT_EQ(3u, machine.RequestsWithCode(FIRMWARE_DOWNLOAD).size());
  EXPECT_EQ(2u, drive->pieces().size()) << "two pieces reached the drive";
  EXPECT_EQ((std::vector<LPARAM>{10, 20}), sink.Posted());
  EXPECT_TRUE(LinesContaining(L"DownloadFW Success OUT").empty());
}

TEST_F(NativeDownloadTest, CommitActivatesAtTheNextReset) {
  lab::Bytes image = lab::MakeLabImage(40960, "2.0.1.07");
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, h, image.data(), 40960));
  ASSERT_EQ(RES_SUCCESS, FWCommit(&ctx, h, 1, 1));
  auto requests = machine.RequestsWithCode(FIRMWARE_ACTIVATE);
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(Hex("10000000 10000000 01000000 01000000"), requests[0].input);
  ASSERT_EQ(1u, drive->commits().size());
  EXPECT_EQ(1, drive->commits()[0].slot);
  EXPECT_EQ(1, drive->commits()[0].action);
  EXPECT_EQ(1u, LinesContaining(L"[VX]          [middle] FW Commit Success OUT ").size());

  EXPECT_EQ("1.0.0.00", drive->revision()) << "the new image runs only after a reset";
  EXPECT_EQ(image, drive->slotImage(1));
  machine.PowerCycle();
  EXPECT_EQ("2.0.1.07", drive->revision());
}

TEST_F(NativeDownloadTest, OtherCommitActionsSwitchToTheExistingImage) {
  for (DWORD action : {0u, 2u, 3u}) {
    machine.ClearRecords();
    FWCommit(&ctx, h, 1, action);
    auto requests = machine.RequestsWithCode(FIRMWARE_ACTIVATE);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(Hex("10000000 10000000 01000080 01000000"), requests[0].input) << "action " << action;
  }
  FWCommit(&ctx, h, 0x102, 1);  // only the slot's low byte travels
  EXPECT_EQ(0x02, machine.RequestsWithCode(FIRMWARE_ACTIVATE).back().input[0x0C]);
}

TEST_F(NativeDownloadTest, CommitWithoutAnImageFails) {
  EXPECT_EQ(RES_REQUEST_FAILED, FWCommit(&ctx, h, 1, 1));
  EXPECT_EQ(DWORD(ERROR_IO_DEVICE), GetAppState()->dwLastError);
  EXPECT_TRUE(LinesContaining(L"FW Commit Success OUT").empty());
  EXPECT_EQ(lab::nvme::InvalidFirmwareImage, drive->commits().at(0).status);
}

class PowerCycleDriveTest : public NativeDownloadTest {
 protected:
  lab::DriveSpec Spec() override {
    lab::DriveSpec spec;
    spec.powerCycleRequired = true;
    return spec;
  }
};

TEST_F(PowerCycleDriveTest, PowerCycleRequiredCountsAsSuccess) {
  lab::Bytes image = lab::MakeLabImage(8192, "3.0.0.00");
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, h, image.data(), 8192));
  EXPECT_EQ(RES_SUCCESS, FWCommit(&ctx, h, 1, 1));
  EXPECT_EQ(0x30207u, GetAppState()->dwLastError);
  EXPECT_EQ(1u, LinesContaining(L"FW Commit Success OUT ").size());
  machine.PowerCycle();
  EXPECT_EQ("3.0.0.00", drive->revision());
}

TEST_F(NativeDownloadTest, FailedActivationIsReported) {
  machine.FailActivation(ERROR_IO_DEVICE);
  EXPECT_EQ(RES_REQUEST_FAILED, FWCommit(&ctx, h, 1, 1));
  EXPECT_EQ(DWORD(ERROR_IO_DEVICE), GetAppState()->dwLastError);
  EXPECT_TRUE(LinesContaining(L"FW Commit Success OUT").empty());
}

// The driver builds download and commit itself; a drive that refuses them
// fails the request, and the refusal ends the download at that piece.
TEST_F(NativeDownloadTest, TheDrivesRefusalOfAPieceOrTheCommitIsAFailure) {
  drive->FailOpcode(0x11, lab::nvme::InvalidField, 2);
  lab::Bytes image = lab::MakeLabImage(40960, "2.0.0.00");
  EXPECT_EQ(RES_REQUEST_FAILED, DownloadFW(&ctx, h, image.data(), 40960));
  ASSERT_EQ(3u, drive->pieces().size()) << "nothing after the refused piece";
  EXPECT_EQ(lab::nvme::InvalidField, drive->pieces()[2].status);
  EXPECT_TRUE(LinesContaining(L"DownloadFW Success OUT").empty());

  drive->FailOpcode(0x11, lab::nvme::Success);
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, h, image.data(), 40960));
  drive->FailOpcode(0x10, lab::nvme::InvalidFirmwareImage);
  EXPECT_EQ(RES_REQUEST_FAILED, FWCommit(&ctx, h, 1, 1));
  EXPECT_TRUE(LinesContaining(L"FW Commit Success OUT").empty());
  machine.PowerCycle();
  EXPECT_EQ("1.0.0.00", drive->revision()) << "a refused commit runs nothing";
}
