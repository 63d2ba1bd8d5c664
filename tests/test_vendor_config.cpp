// The configuration block carried into the image, the firmware name, the
// image CRC and the image check, and both update paths against the maker's drive.
#include <zlib.h>

#include <cstring>

#include "MakerPersonality.h"
#include "PackageFixture.h"
#include "imagegen/FirmwareImage.h"

namespace {

imagegen::Bytes ShippedImage(size_t pages = 10, const char* version = "1.4.B.22") {
  imagegen::ImageSpec spec;
  spec.pages = pages;
  spec.version = version;
  return imagegen::BuildFirmwareImage(spec);
}

std::string Field(const lab::Bytes& b, size_t at, size_t n) { return std::string(b.begin() + at, b.begin() + at + n); }

// zlib's CRC of the stream the trailer covers.
uint32_t ZlibImageCrc(const lab::Bytes& image) {
  uLong crc = crc32(0, Z_NULL, 0);
  crc = crc32(crc, image.data(), 80);
  lab::Bytes zeros(4016, 0);
  crc = crc32(crc, zeros.data(), uInt(zeros.size()));
  for (int r = 0; r < 3; ++r) {
    uint32_t first = lab::Rd32(image.data(), 16 + 8 * r), last = lab::Rd32(image.data(), 20 + 8 * r);
    crc = crc32(crc, image.data() + size_t(first) * 4096, uInt((last - first + 1) * 4096));
  }
  return uint32_t(crc);
}

}  // namespace

TEST(Crc32, MatchesZlibPieceByPiece) {
  lab::Bytes data = lab::MakeLabImage(10000, "x");
  EXPECT_EQ(uint32_t(crc32(0, data.data(), uInt(data.size()))), Crc32Update(data.data(), DWORD(data.size()), 0));
  UINT32 running = Crc32Update(data.data(), 1234, 0);
  running = Crc32Update(data.data() + 1234, 0, running);
  running = Crc32Update(data.data() + 1234, DWORD(data.size() - 1234), running);
  EXPECT_EQ(uint32_t(crc32(0, data.data(), uInt(data.size()))), running);
  EXPECT_EQ(0xCBF43926u, Crc32Update(reinterpret_cast<const BYTE*>("123456789"), 9, 0));
}

TEST(ConfigItem, SetterCases) {
  lab::Bytes block(4096, 0xEE);
  SetVendorConfigItem(block.data(), L"Vendor_Capacity", L"512");
  EXPECT_EQ(Hex("0002"), Slice(block, 1592, 2));
  SetVendorConfigItem(block.data(), L"Vendor_Capacity", L"70000");
  EXPECT_EQ(Hex("7011"), Slice(block, 1592, 2));
  SetVendorConfigItem(block.data(), L"VID", L"12AB");
  EXPECT_EQ(Hex("AB12"), Slice(block, 1032, 2));
  SetVendorConfigItem(block.data(), L"SSVID", L"  0x12ab");
  EXPECT_EQ(Hex("AB12"), Slice(block, 1036, 2));
  SetVendorConfigItem(block.data(), L"DID", L"xyz");
  EXPECT_EQ(Hex("0000"), Slice(block, 1034, 2));
  SetVendorConfigItem(block.data(), L"vendor_fw_name", L"2.0.0.00-beta");
  EXPECT_EQ("2.0.0.00", Field(block, 1064, 8)) << "an 11-character name keeps 8";
  EXPECT_EQ(0xEE, block[1072]) << "the next field is untouched";
  SetVendorConfigItem(block.data(), L"Vendor_Fw_Name", L"kEeP");
  EXPECT_EQ("2.0.0.00", Field(block, 1064, 8));
  SetVendorConfigItem(block.data(), L"Vendor_Fw_Name", L"");
  EXPECT_EQ(std::string(8, '\0'), Field(block, 1064, 8)) << "an empty name clears the field";
  SetVendorConfigItem(block.data(), L"Workorder", L"WO-1");
  EXPECT_EQ(std::string("WO-1") + std::string(16, '\0'), Field(block, 528, 20));
  lab::Bytes before = block;
  SetVendorConfigItem(block.data(), L"Colour", L"red");
  EXPECT_EQ(before, block) << "an unknown key changes nothing";
}

class MergeTest : public LabTest {};

TEST_F(MergeTest, KeepWithoutBlockLeavesAShippedImageAsItIs) {
  lab::Bytes image = ShippedImage();
  lab::Bytes before = image;
  MergeVendorConfig(image.data(), DWORD(image.size()), nullptr, L"Vendor_Fw_Name", L"KEEP");
  EXPECT_EQ(before, image);
}

TEST_F(MergeTest, BlockAndNameGoIntoTheConfigPageAndTheCrcIsRenewed) {
  lab::Bytes image = ShippedImage();
  lab::Bytes block(4096);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 13 + 7);
  MergeVendorConfig(image.data(), DWORD(image.size()), block.data(), L"Vendor_Fw_Name", L"2.0.0.00");
  lab::Bytes page = Slice(image, 8 * 4096, 4096);
  EXPECT_EQ("2.0.0.00", Field(page, 1064, 8));
  std::copy(block.begin() + 1064, block.begin() + 1072, page.begin() + 1064);
  EXPECT_EQ(block, page);
  EXPECT_EQ(ZlibImageCrc(image), lab::Rd32(image.data(), 9 * 4096 + 12));
  EXPECT_EQ(0u, lab::Rd32(image.data(), 9 * 4096 + 8));
  EXPECT_EQ(1, CheckFirmwareImage(image.data(), DWORD(image.size())));
}

TEST_F(MergeTest, ImagesWithoutTheMagicGoOnUnchanged) {
  lab::Bytes image(8192, 0x11);
  lab::Bytes before = image;
  GetAppState()->iDebugLog = 1;
  MergeVendorConfig(image.data(), DWORD(image.size()), nullptr, L"Vendor_Fw_Name", L"2.0");
  EXPECT_EQ(before, image);
  EXPECT_EQ(std::wstring(L"[VX]          [middle] Not Config FW"), machine.DebugLines().back());
  EXPECT_EQ(1, CheckFirmwareImage(image.data(), DWORD(image.size())));
  BYTE tiny[2] = {'C', 'M'};
  MergeVendorConfig(tiny, 2, nullptr, L"Vendor_Fw_Name", L"2.0");
  EXPECT_EQ('M', tiny[1]);
}

// NVMe carries firmware in dwords: an image that is not a whole number of
// them, or is empty, is refused whether or not it carries the magic.
TEST_F(MergeTest, EveryImageIsAWholeNumberOfDwords) {
  lab::Bytes plain(4097, 0x11), shipped = ShippedImage();
  shipped.resize(shipped.size() + 2, 0);
  BYTE tiny[2] = {'C', 'M'};
  EXPECT_EQ(0, CheckFirmwareImage(plain.data(), DWORD(plain.size())));
  EXPECT_EQ(0, CheckFirmwareImage(shipped.data(), DWORD(shipped.size())));
  EXPECT_EQ(0, CheckFirmwareImage(tiny, 2));
  EXPECT_EQ(0, CheckFirmwareImage(plain.data(), 0));
  EXPECT_EQ(1, CheckFirmwareImage(plain.data(), 4096));
  EXPECT_EQ(4u, LinesContaining(L"is no whole number of dwords").size());
}

// Layouts whose CRC is right but whose ranges cannot be what the drive
// expects: refused before a byte is sent, and never merged into.
TEST_F(MergeTest, ImpossibleLayoutsAreRefusedEvenWithTheRightCrc) {
  struct Case {
    const char* what;
    uint32_t ranges[6];  // first and last page of ranges 0, 1, 2
    const wchar_t* why;
  } cases[] = {
      {"range 0 over the header page", {0, 3, 4, 7, 8, 8}, L"a range covers the header page"},
      {"range 1 over the header page", {1, 3, 0, 0, 8, 8}, L"a range covers the header page"},
      {"ranges 0 and 1 overlap", {1, 4, 4, 7, 8, 8}, L"two ranges overlap"},
      {"range 2 inside range 1", {1, 3, 4, 7, 5, 5}, L"two ranges overlap"},
      {"the trailer inside range 1", {1, 2, 4, 7, 3, 3}, L"the trailer page lies inside a range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    machine.ClearRecords();
    lab::Bytes image = ShippedImage();
    for (int i = 0; i < 6; ++i) lab::Wr32(image.data(), 16 + 4 * i, c.ranges[i]);
    imagegen::SealImage(image);
    lab::Bytes before = image;
    EXPECT_EQ(0, CheckFirmwareImage(image.data(), DWORD(image.size())));
    EXPECT_EQ(1u, LinesContaining(c.why).size());
    lab::Bytes block(4096, 0x77);
    MergeVendorConfig(image.data(), DWORD(image.size()), block.data(), L"Vendor_Fw_Name", L"2.0.0.00");
    EXPECT_EQ(before, image);
  }
  lab::Bytes good = ShippedImage();
  EXPECT_EQ(1, CheckFirmwareImage(good.data(), DWORD(good.size())));
}

TEST(BlankBlock, OnlyAllZeroOrAllErasedBytesAreBlank) {
  lab::Bytes zeros(4096, 0), erased(4096, 0xFF), settings(4096, 0);
  settings[4095] = 1;
  lab::Bytes mixed(4096, 0xFF);
  mixed[0] = 0;
  EXPECT_EQ(1, IsBlankBlock(zeros.data(), 4096));
  EXPECT_EQ(1, IsBlankBlock(erased.data(), 144));
  EXPECT_EQ(0, IsBlankBlock(settings.data(), 4096));
  EXPECT_EQ(1, IsBlankBlock(settings.data(), 4095)) << "only the length given counts";
  EXPECT_EQ(0, IsBlankBlock(mixed.data(), 4096));
}

TEST_F(MergeTest, ImagesReachingPastTheirEndAreRefusedAndLeftAlone) {
  struct Case {
    const char* what;
    size_t at;
    uint32_t value;
  } cases[] = {
      {"range 1 past the end", 28, 40},
      {"range 2 past the end", 32, 200},
      {"trailer past the end", 36, 9},  // range 2 ends on the last page
      {"range ends before it starts", 24, 9},
      {"huge page number", 36, 0xFFFFFFFF},
  };
  for (const Case& c : cases) {
    lab::Bytes image = ShippedImage();
    lab::Wr32(image.data(), c.at, c.value);
    if (c.at == 36 && c.value == 9) lab::Wr32(image.data(), 32, 9);
    lab::Bytes before = image;
    EXPECT_EQ(0, CheckFirmwareImage(image.data(), DWORD(image.size()))) << c.what;
    lab::Bytes block(4096, 0x77);
    MergeVendorConfig(image.data(), DWORD(image.size()), block.data(), L"Vendor_Fw_Name", L"2.0.0.00");
    EXPECT_EQ(before, image) << c.what;
  }
  EXPECT_FALSE(LinesContaining(L"Firmware image refused: ").empty());
}

// The image check at its edges, for a 10-page image (pages 0 to 9): a range
// may end on the last page, range 2 on the page before it (its trailer page
// follows it), and one page further is refused. The image lies at the start
// of a larger buffer whose bytes past its end are sealed in too, so a check
// one page too lenient reads them, finds its CRC right and lets the image by.
TEST_F(MergeTest, RangesEndOnTheLastPageAndNotOnePast) {
  constexpr DWORD TEN_PAGES = 10 * 4096;
  const wchar_t* const rangePast = L"a range lies past the end of the image";
  const wchar_t* const trailerPast = L"the trailer page lies past the end of the image";
  struct Case {
    const char* what;
    uint32_t ranges[6];  // first and last page of ranges 0, 1, 2
    DWORD size;
    const wchar_t* why;  // nullptr: accepted
  } cases[] = {
      {"range 0 ends on the last page", {6, 9, 3, 5, 1, 1}, TEN_PAGES, nullptr},
      {"range 0 ends a page past it", {6, 10, 3, 5, 1, 1}, TEN_PAGES, rangePast},
      {"range 1 ends on the last page", {3, 5, 6, 9, 1, 1}, TEN_PAGES, nullptr},
      {"range 1 ends a page past it", {3, 5, 6, 10, 1, 1}, TEN_PAGES, rangePast},
      {"range 2's trailer on the last page", {1, 3, 4, 7, 8, 8}, TEN_PAGES, nullptr},
      {"range 2's trailer a page past it", {1, 3, 4, 7, 8, 9}, TEN_PAGES, trailerPast},
      {"range 2 ends a page past it", {1, 3, 4, 7, 8, 10}, TEN_PAGES, rangePast},
      {"range 1 ends on a last page a dword short", {3, 5, 6, 9, 1, 1}, TEN_PAGES - 4, rangePast},
      {"the trailer on a last page a dword short", {1, 3, 4, 7, 8, 8}, TEN_PAGES - 4, trailerPast},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    machine.ClearRecords();
    lab::Bytes buffer = ShippedImage(12);
    for (int i = 0; i < 6; ++i) lab::Wr32(buffer.data(), 16 + 4 * i, c.ranges[i]);
    imagegen::SealImage(buffer);
    EXPECT_EQ(c.why == nullptr ? 1 : 0, CheckFirmwareImage(buffer.data(), c.size));
    if (c.why != nullptr) EXPECT_EQ(1u, LinesContaining(c.why).size());
    else EXPECT_TRUE(LinesContaining(L"Firmware image refused").empty());
  }
}

TEST_F(MergeTest, WrongStoredCrcIsRefused) {
  lab::Bytes image = ShippedImage();
  image[5 * 4096 + 100] ^= 0x01;  // a flipped bit in a firmware page
  lab::Bytes before = image;
  EXPECT_EQ(0, CheckFirmwareImage(image.data(), DWORD(image.size())));
  EXPECT_EQ(before, image);
  EXPECT_EQ(1u, LinesContaining(L"[VX] Firmware image refused: stored CRC").size());
  lab::Bytes outsideRule = ShippedImage();
  outsideRule[3000] ^= 0xFF;  // page 0 past byte 80 is not covered
  EXPECT_EQ(1, CheckFirmwareImage(outsideRule.data(), DWORD(outsideRule.size())));
}

// The maker's drive at PhysicalDrive0, updated by hand on both paths.
class CarryOverTest : public NativeDriveTest {
 protected:
  std::shared_ptr<lab::MakerDrive> maker;

  lab::DriveSpec Spec() override {
    lab::DriveSpec spec;
    spec.serial = "DRIVE-OWN-SERIAL-01";
    spec.model = "KESTREL LAB NVME 512GB";
    return spec;
  }

  INT32 ReadBlock(BYTE* block) {
    memset(block, 0, 4096);
    return VendorCmd(&ctx, h, DIR_READ, VENDOR_OP_READ, VENDOR_SUB_CONFIG, 0, MAKER_SIGNATURE_CDW14,
                     MAKER_SIGNATURE_CDW15, block, 4096);
  }
  INT32 WriteBlock(BYTE* block) {
    return VendorCmd(&ctx, h, DIR_WRITE, VENDOR_OP_CONFIG_WRITE, VENDOR_SUB_CONFIG, 0, MAKER_SIGNATURE_CDW14,
                     MAKER_SIGNATURE_CDW15, block, 4096);
  }
  std::string IdentifyText(size_t at, size_t n) {
    std::vector<BYTE> id(4096);
    EXPECT_EQ(RES_SUCCESS, IO_NVMe_Identify(h, 1, 0, id.data(), 4096));
    std::string s(id.begin() + at, id.begin() + at + n);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  }
  void DownloadAndCommit(lab::Bytes& image) {
    ASSERT_EQ(1, CheckFirmwareImage(image.data(), DWORD(image.size())));
    ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, h, image.data(), UINT32(image.size())));
    ASSERT_EQ(RES_SUCCESS, FWCommit(&ctx, h, 1, 1));
  }
};

TEST_F(CarryOverTest, PathAKeepsTheDrivesIdentityAndSetsTheName) {
  maker = lab::GiveMakerPersonality(*drive);
  lab::Bytes image = ShippedImage(12, "1.4.C.30");
  BYTE block[4096];
  ASSERT_EQ(RES_SUCCESS, ReadBlock(block));
  MergeVendorConfig(image.data(), DWORD(image.size()), block, L"Vendor_Fw_Name", L"2.0.0.00");
  DownloadAndCommit(image);
  ASSERT_EQ(RES_SUCCESS, ReadBlock(block));
  SetVendorConfigItem(block, L"Vendor_Fw_Name", L"2.0.0.00");
  ASSERT_EQ(RES_SUCCESS, WriteBlock(block));
  EXPECT_EQ("1.0.0.00", IdentifyText(64, 8)) << "the old firmware runs until the reset";
  machine.PowerCycle();

  EXPECT_EQ("2.0.0.00", IdentifyText(64, 8));
  EXPECT_EQ("1.4.C.30", maker->internalVersion());
  EXPECT_EQ("DRIVE-OWN-SERIAL-01", IdentifyText(4, 20));
  EXPECT_EQ("KESTREL LAB NVME 512GB", IdentifyText(24, 40));
  EXPECT_EQ("WO-DRIVE-0042", maker->ConfigText(lab::maker::CFG_WORKORDER, 20));
}

TEST_F(CarryOverTest, WithoutTheCarryOverTheDriveLosesItsIdentity) {
  maker = lab::GiveMakerPersonality(*drive);
  lab::Bytes image = ShippedImage(12, "1.4.C.30");
  DownloadAndCommit(image);
  machine.PowerCycle();
  EXPECT_EQ("FACTORY0000000000000", IdentifyText(4, 20));
  EXPECT_EQ("KESTREL FACTORY MODEL", IdentifyText(24, 40));
}

TEST_F(CarryOverTest, PathBWritesTheNameThroughTheDeviceInformation) {
  lab::MakerSpec spec;
  spec.vendorInfo = false;
  maker = lab::GiveMakerPersonality(*drive, spec);
  lab::Bytes devinfoBefore = maker->deviceInfoBlock();
  lab::Bytes image = ShippedImage(12, "1.4.C.31");
  DownloadAndCommit(image);
  ASSERT_EQ(RES_SUCCESS, WriteVendorFwName(&ctx, h, L"2.0.0.01-long"));
  machine.PowerCycle();
  EXPECT_EQ("2.0.0.01", IdentifyText(64, 8));
  EXPECT_EQ("1.4.C.31", maker->internalVersion());
  EXPECT_EQ("DRIVE-OWN-SERIAL-01", IdentifyText(4, 20)) << "a drive without vendor information keeps its identity";
  lab::Bytes devinfo = maker->deviceInfoBlock();
  EXPECT_EQ(Slice(devinfoBefore, 0, 88), Slice(devinfo, 0, 88));
  EXPECT_EQ(Slice(devinfoBefore, 96, 48), Slice(devinfo, 96, 48));
  EXPECT_EQ("2.0.0.01", Field(devinfo, 88, 8));

  ASSERT_EQ(RES_SUCCESS, WriteVendorFwName(&ctx, h, L""));
  EXPECT_EQ(std::string(8, '\0'), Field(maker->deviceInfoBlock(), 88, 8));
}

TEST_F(CarryOverTest, CorruptedImageIsRefusedAtActivation) {
  maker = lab::GiveMakerPersonality(*drive);
  lab::Bytes image = ShippedImage(12, "1.9.Z.99");
  image[6 * 4096] ^= 0x20;  // damaged after it was sealed
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, h, image.data(), UINT32(image.size())));
  ASSERT_EQ(RES_SUCCESS, FWCommit(&ctx, h, 1, 1));
  machine.PowerCycle();
  ASSERT_EQ(1u, drive->activations().size());
  EXPECT_FALSE(drive->activations()[0].accepted);
  EXPECT_EQ("trailer CRC does not match the image", drive->activations()[0].why);
  EXPECT_EQ("1.0.0.00", IdentifyText(64, 8));
  EXPECT_EQ("1.4.B.07", maker->internalVersion());
  EXPECT_EQ("DRIVE-OWN-SERIAL-01", IdentifyText(4, 20));
}
