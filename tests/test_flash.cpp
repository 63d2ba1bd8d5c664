// Flash identification through the maker's vendor commands, and the image choice.
#include <cstring>

#include "MakerPersonality.h"
#include "PackageFixture.h"
#include "imagegen/FirmwareImage.h"

namespace {

UINT32 TypeOf(std::initializer_list<uint8_t> id) {
  std::vector<uint8_t> bytes(id);
  return GetNandType(bytes.data());
}

std::wstring NameOf(UINT32 code) {
  WCHAR name[MAX_PATH] = L"";
  GetNandName(code, name);
  return name;
}

}  // namespace

class NandTableTest : public LabTest {};

TEST_F(NandTableTest, RowsAreTriedInOrderAndPatternsMayStartMidByte) {
  EXPECT_EQ(0x2C05u, TypeOf({0x2C, 0xD3, 0x89, 0x32, 0xE6, 0x04})) << "row 4 before its prefix in row 5";
  EXPECT_EQ(L"Micron-B27C", NameOf(0x2C05));
  EXPECT_EQ(0x2C03u, TypeOf({0x2C, 0xD3, 0x89, 0x32, 0xE6, 0x00}));
  EXPECT_EQ(0x8901u, TypeOf({0x08, 0x9C, 0x40, 0x83, 0x2A, 0x60})) << "089C40832A60 holds 89C40832A6";
  EXPECT_EQ(0x2C04u, TypeOf({0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x10}));
  EXPECT_EQ(0x9B02u, TypeOf({0x9B, 0xC4, 0x28, 0x49, 0x20, 0x00}));
  EXPECT_EQ(0xEC01u, TypeOf({0xEC, 0x5E, 0x98, 0xAF, 0x84, 0xCD}));
  EXPECT_TRUE(machine.DebugLines().empty());

  EXPECT_EQ(NAND_TYPE_UNLISTED, TypeOf({0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(std::wstring(L"[VX] NandDevidsString=000000000000"), machine.DebugLines().back());
  WCHAR name[MAX_PATH] = L"";
  EXPECT_EQ(0, GetNandName(NAND_TYPE_UNLISTED, name));
  EXPECT_STREQ(L"Unknow", name);
  EXPECT_EQ(1, GetNandName(0x2C04, name));
  EXPECT_STREQ(L"Micron-B47R", name);
  WCHAR untouched[MAX_PATH] = L"";
  EXPECT_EQ(1, GetNandName(0x1234, untouched)) << "a code outside the table";
  EXPECT_STREQ(L"", untouched);
}

// A native drive of the maker at PhysicalDrive0.
class FlashQueryTest : public NativeDriveTest {
 protected:
  DriveRecord record = {};
  std::shared_ptr<lab::MakerDrive> maker;

  void Give(const lab::MakerSpec& spec) {
    maker = lab::GiveMakerPersonality(*drive, spec);
    record = {};
    wcscpy(record.szDevicePath, L"\\\\.\\PhysicalDrive0");
    GetAppState()->iDebugLog = 1;
  }
};

TEST_F(FlashQueryTest, RepliesCarryTheMakersLayout) {
  lab::MakerSpec spec;
  spec.socId = 0x7C31;
  spec.internalVersion = "1.4.B.07";
  spec.channels = 2;
  spec.ces = 1;
  spec.idTable = {{0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x10}, {0x2C, 0xC3, 0x08, 0x32, 0xEA, 0x11}};
  spec.socIdAt1582 = 0x1234;
  Give(spec);
  BYTE page[4096];
  ASSERT_EQ(RES_SUCCESS, VendorCmd(&ctx, h, DIR_READ, 0xE6, 3, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15, page,
                                   4096));
  EXPECT_EQ(Hex("5A00317C 00000000 00000000 00000000 2CC30832EA10 0000 0000000000000000"
                "312E342E422E3037 00"),
            lab::Bytes(page, page + 41));
  ASSERT_EQ(RES_SUCCESS, VendorCmd(&ctx, h, DIR_READ, 0xF2, 0, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15, page,
                                   4096));
  EXPECT_EQ(Hex("0010"), lab::Bytes(page + 280, page + 282));
  EXPECT_EQ(Hex("0040"), lab::Bytes(page + 288, page + 290));
  EXPECT_EQ(Hex("02 01 02 04"), lab::Bytes(page + 295, page + 299));
  EXPECT_EQ(Hex("2CC30832EA10 2CC30832EA11 000000000000"), lab::Bytes(page + 1352, page + 1370));
  EXPECT_EQ(Hex("3412"), lab::Bytes(page + 1582, page + 1584));
  EXPECT_EQ(Hex("312E302E302E3030"), lab::Bytes(page + 88, page + 96)) << "the firmware name in the block";

  // Without the maker's signature every one of them is refused.
  EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, h, DIR_READ, 0xE6, 3, 0, 0, 0, page, 4096));
  EXPECT_EQ(RES_REQUEST_FAILED, VendorCmd(&ctx, h, DIR_READ, 0xF2, 0, 0, MAKER_SIGNATURE_CDW15,
                                          MAKER_SIGNATURE_CDW14, page, 4096));
}

TEST_F(FlashQueryTest, ValidIdentityFillsTheRecord) {
  Give(lab::MakerSpec());
  EXPECT_EQ(RES_SUCCESS, QueryFlashInfo(&ctx, h, &record));
  EXPECT_EQ(0x7C31u, record.iSocId);
  EXPECT_EQ(1, record.bVendorInfo);
  EXPECT_EQ(Hex("2CC30832EA10"), lab::Bytes(record.NandId, record.NandId + 6));
  EXPECT_EQ(0x2C04u, record.iNandType);
  EXPECT_EQ(2u, record.iLunCount);
  EXPECT_STREQ(L"1.4.B.07", record.DrvInfoVersion);
  EXPECT_EQ(1u, LinesContaining(L"[VX]          [middle] \\\\.\\PhysicalDrive0 = ch:4, ce:2, lun:2, pln:4, pg:16384")
                    .size());
}

// A control character in the internal version is shown as "?", never
// dropped: dropped, "1.4.\x07B.0" would read 1.4.B.0 and pass for a 1.4.B
// drive at check part 3.
TEST_F(FlashQueryTest, AControlCharacterInTheVersionIsMarkedAndNeverAgrees) {
  lab::MakerSpec spec;
  spec.internalVersion = "1.4.\x07" "B.0";
  Give(spec);
  EXPECT_EQ(RES_SUCCESS, QueryFlashInfo(&ctx, h, &record));
  EXPECT_STREQ(L"1.4.?B.0", record.DrvInfoVersion);
  imagegen::ImageSpec image;
  image.version = "1.4.B.22";
  ASSERT_NO_FATAL_FAILURE(HoldPackage({{"Micron-B47R_2", imagegen::BuildFirmwareImage(image), ""}}));
  struct Forget {
    ~Forget() { ForgetPackageItems(); }
  } forget;
  EXPECT_EQ(0, CheckInternalVersion(record.DrvInfoVersion, 3, L"Micron-B47R_2.fw"));
}

TEST_F(FlashQueryTest, GeometryDependsOnControllerAndMarker) {
  struct Case {
    uint16_t soc;
    uint16_t layout;
    bool valid;
    UINT32 socAfter;
  } cases[] = {
      {0x7C31, 0x1000, true, 0x7C31}, {0x7C22, 0x1000, true, 0x7C22}, {0x7C31, 0x06E8, true, 0xBEEF},
      {0x7C22, 0x06E8, true, 0xBEEF}, {0x7C14, 0x06E8, true, 0x7C14}, {0x7C14, 0x1000, false, 0x7C14},
      {0x5555, 0x1000, false, 0x5555}, {0x5555, 0x06E8, true, 0xBEEF}, {0x7C31, 0x0800, false, 0x7C31},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.soc << " marker " << c.layout);
    machine.Reset();
    drive = &machine.AddNativeDrive({0, 1, 0});
    h = Open(L"\\\\.\\PhysicalDrive0");
    lab::MakerSpec spec;
    spec.socId = c.soc;
    spec.layout = c.layout;
    spec.luns = 3;
    spec.socIdAt1582 = 0xBEEF;
    Give(spec);
    EXPECT_EQ(RES_SUCCESS, QueryFlashInfo(&ctx, h, &record));
    EXPECT_EQ(c.socAfter, record.iSocId);
    EXPECT_EQ(c.valid ? 3u : 0u, record.iLunCount);
    EXPECT_EQ(c.valid ? 1u : 0u, LinesContaining(L"ch:4, ce:2, lun:3").size());
    plat::CloseHandle(h);
  }
  h = INVALID_HANDLE_VALUE;
}

TEST_F(FlashQueryTest, WithoutIdentityTheIdTableGivesTheNand) {
  lab::MakerSpec spec;
  spec.vendorInfo = false;
  spec.layout = 0x06E8;
  spec.socIdAt1582 = 0x7C31;
  spec.channels = 8;
  spec.ces = 4;  // 32 entries, 192 bytes: searched
  spec.idTable.assign(32, {0, 0, 0, 0, 0, 0});
  spec.idTable[5] = {0x98, 0x3E, 0x98, 0xB3, 0x76, 0xE3};
  Give(spec);
  EXPECT_EQ(RES_SUCCESS, QueryFlashInfo(&ctx, h, &record));
  EXPECT_EQ(0, record.bVendorInfo) << "a reply without 0x5A is not valid";
  EXPECT_STREQ(L"", record.DrvInfoVersion);
  EXPECT_EQ(0x7C31u, record.iSocId);
  EXPECT_EQ(Hex("983E98B376E3"), lab::Bytes(record.NandId, record.NandId + 6));
  EXPECT_EQ(0x9802u, record.iNandType);

  spec.ces = 5;  // 40 entries, 240 bytes: not searched
  spec.idTable.assign(40, {0x98, 0x3E, 0x98, 0xB3, 0x76, 0xE3});
  Give(spec);
  EXPECT_EQ(RES_SUCCESS, QueryFlashInfo(&ctx, h, &record));
  EXPECT_EQ(lab::Bytes(6, 0), lab::Bytes(record.NandId, record.NandId + 6));
  EXPECT_EQ(NAND_TYPE_UNLISTED, record.iNandType);
}

TEST_F(NativeDriveTest, DriveOfAnotherMakerAnswersNone) {
  DriveRecord record = {};
  EXPECT_EQ(RES_REQUEST_FAILED, QueryFlashInfo(&ctx, h, &record));
  EXPECT_EQ(0u, record.iSocId);
  EXPECT_EQ(0, record.bVendorInfo);
  EXPECT_EQ(lab::Bytes(6, 0), lab::Bytes(record.NandId, record.NandId + 6));
  EXPECT_EQ(0u, record.iNandType) << "no NAND type at all, so no image";
  EXPECT_STREQ(L"", record.DrvInfoVersion);
}

class ImageChoiceTest : public PackageTest {
 protected:
  std::vector<pkgbuild::PackageImage> images;
  // The package now carries this image too.
  void Put(std::string name) {
    images.push_back({name.substr(0, name.size() - 3), lab::Bytes(16, 1), ""});
    HoldPackage(images);
  }
  std::wstring Choose(UINT32 type, UINT32 luns) {
    DriveRecord d = {};
    d.iNandType = type;
    d.iLunCount = luns;
    WCHAR name[MAX_PATH] = L"";
    if (!GetImagePath(&d, name)) return L"none";
    return name;
  }
};

TEST_F(ImageChoiceTest, LunVariantThenFallbackFromThePackageOnly) {
  // Files of every name beside the program or in the temporary folder choose nothing.
  for (const std::wstring& folder : {root, TempRoot()})
    for (const wchar_t* name : {L"Micron-B47R_1.fw", L"Micron-B47R_0.fw", L"Unknow_0.fw"})
      WriteAll(folder + L"\\" + name, lab::Bytes(16, 2));
  EXPECT_EQ(L"none", Choose(0x2C04, 1)) << "an empty package";
  Put("Micron-B47R_0.fw");
  EXPECT_EQ(L"Micron-B47R_0.fw", Choose(0x2C04, 1));
  Put("Micron-B47R_1.fw");
  EXPECT_EQ(L"Micron-B47R_1.fw", Choose(0x2C04, 1));
  EXPECT_EQ(L"Micron-B47R_0.fw", Choose(0x2C04, 0));
  EXPECT_EQ(L"none", Choose(0x9802, 2)) << "no image of that flash";
  EXPECT_EQ(L"none", Choose(0, 0)) << "a drive with no NAND type";
  EXPECT_EQ(L"none", Choose(NAND_TYPE_UNLISTED, 2));
  Put("Unknow_0.fw");
  EXPECT_EQ(L"Unknow_0.fw", Choose(NAND_TYPE_UNLISTED, 2));
  Put("Unknow_2.fw");
  EXPECT_EQ(L"Unknow_2.fw", Choose(NAND_TYPE_UNLISTED, 2));
}
