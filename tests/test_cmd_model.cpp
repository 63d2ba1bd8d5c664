// The command images and the firmware transfer, on any transport.
#include "LabFixture.h"

namespace {

lab::Bytes BytesOf(const NvmeCommand& cmd) {
  const auto* p = reinterpret_cast<const uint8_t*>(&cmd);
  return lab::Bytes(p, p + sizeof cmd);
}

}  // namespace

TEST(CommandImage, VendorCommandCarriesLengthInDwordsAndTheMakerWord) {
  lab::Bytes cmd = BytesOf(BuildVendorCommand(0xE6, 4096, 3, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15));
  EXPECT_EQ(Hex("E6000000 FFFFFFFF 00000000 00000000 00000000 00000000 00000000 00000000"
                "00000000 00000000 00040000 00000000 03000000 00000000 414C4558 564F5254"),
            cmd);
  // Bytes 56-59 hold letters five to eight, 60-63 letters one to four.
  EXPECT_EQ("ALEXVORT", std::string(cmd.begin() + 56, cmd.end()));
}

TEST(CommandImage, CommitDownloadAndIdentify) {
  EXPECT_EQ(Hex("10000000 00000000" "0000000000000000" "0000000000000000" "0000000000000000"
                "0000000000000000 09000000 00000000" "0000000000000000" "0000000000000000"),
            BytesOf(BuildCommitCommand(1, 1)));
  NvmeCommand piece = BuildDownloadCommand(8192, 4096);
  EXPECT_EQ(0x11u, piece.CDW[0]);
  EXPECT_EQ(0x3FFu, piece.CDW[10]);  // NUMD counts from 0
  EXPECT_EQ(0x800u, piece.CDW[11]);  // OFST in dwords
  NvmeCommand identify = BuildIdentifyCommand(0, 1);
  EXPECT_EQ(0x06u, identify.CDW[0]);
  EXPECT_EQ(1u, identify.CDW[1]);
  EXPECT_EQ(0u, identify.CDW[10]);
}

TEST(DownloadPercentage, StepsOfTenWithoutOverflowOnLargeImages) {
  EXPECT_EQ(0u, DownloadPercentage(0, 40960));
  EXPECT_EQ(90u, DownloadPercentage(4096, 4097));
  EXPECT_EQ(50u, DownloadPercentage(4096, 8192));
  EXPECT_EQ(90u, DownloadPercentage(36864, 40960));
  // offset * 10 passes 2^32 from 429,496,730 bytes on; the share must not wrap.
  EXPECT_EQ(90u, DownloadPercentage(3900000000u, 4000000000u));
  EXPECT_EQ(50u, DownloadPercentage(429496730u, 858993460u));
}

class NoTransportTest : public LabTest {};

TEST_F(NoTransportTest, EveryOperationRefusesWithoutSendingAnything) {
  machine.AddNativeDrive({0, 1, 0});
  HANDLE h = Open(L"\\\\.\\PhysicalDrive0");
  CmdContext none = {CMD_NONE, INVALID_HANDLE_VALUE, 0};
  BYTE buf[4096] = {};
  BYTE image[8192] = {};
  EXPECT_EQ(RES_NO_TRANSPORT, VendorCmd(&none, h, DIR_READ, 0xE6, 3, 0, 0, 0, buf, sizeof buf));
  EXPECT_EQ(RES_NO_TRANSPORT, DownloadFW(&none, h, image, sizeof image));
  EXPECT_EQ(RES_NO_TRANSPORT, FWCommit(&none, h, 1, 1));
  CmdContext odd = {7, INVALID_HANDLE_VALUE, 0};
  EXPECT_EQ(RES_NO_TRANSPORT, FWCommit(&odd, h, 1, 1));
  EXPECT_TRUE(machine.Requests().empty());
  EXPECT_EQ(0u, GetAppState()->dwLastError);
  plat::CloseHandle(h);
}
