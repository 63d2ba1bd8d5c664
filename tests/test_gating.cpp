// The listing, revision and internal version rules and their text helpers.
#include <cstring>

#include "PackageFixture.h"
#include "imagegen/FirmwareImage.h"

namespace {

DriveRecord Drive(const wchar_t* model, UINT32 socId) {
  DriveRecord d = {};
  wcscpy(d.szModel, model);
  d.iSocId = socId;
  return d;
}

std::string Version(const std::string& bytes) {
  char out[9] = "garbage";
  int found = FindVersionText(reinterpret_cast<const BYTE*>(bytes.data()), DWORD(bytes.size()), out);
  EXPECT_EQ(found, out[0] != '\0' ? 1 : 0);
  return out;
}

}  // namespace

class GatingTest : public PackageTest {
 protected:
  // The package holds one image, "Micron-B47R_0.fw", with this version.
  std::wstring Image(const std::string& version) {
    imagegen::ImageSpec spec;
    spec.pages = 8;
    spec.version = version;
    HoldPackage({{"Micron-B47R_0", imagegen::BuildFirmwareImage(spec), ""}});
    return L"Micron-B47R_0.fw";
  }
};

TEST_F(GatingTest, SocIdDecidesWhichControllersAreListed) {
  DriveRecord maker = Drive(L"M", 0x2263), other = Drive(L"M", 0);
  struct Case {
    const wchar_t* socId;
    int maker, other;
  } cases[] = {{L"*", 1, 1},    {L"VORTALEX", 1, 0}, {L"vortalex", 0, 0}, {L"2263", 1, 0},
               {L"0000", 0, 1}, {L"", 0, 0},         {L"2263 ", 0, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.maker, IsDriveAccepted(&maker, L"", c.socId)) << "SOCID \"" << c.socId << "\", maker drive";
    EXPECT_EQ(c.other, IsDriveAccepted(&other, L"", c.socId)) << "SOCID \"" << c.socId << "\", other drive";
  }
  DriveRecord small = Drive(L"M", 0x1A);
  EXPECT_EQ(1, IsDriveAccepted(&small, L"", L"001A")) << "at least four upper-case digits";
  EXPECT_EQ(1u, LinesContaining(L"[VX] M, ").size() > 0);
}

TEST_F(GatingTest, ModelListMatchesWholeItemsIgnoringCase) {
  struct Case {
    const wchar_t* list;
    const wchar_t* model;
    int accepted;
  } cases[] = {{L";A;B;", L"b", 1},   {L";A;B;", L"A B", 0}, {L";A;B;", L"BX", 0},
               {L";A ;B;", L"A", 0},  {L";A ;B;", L"A ", 1}, {L"", L"Anything", 1}};
  for (const Case& c : cases) {
    DriveRecord d = Drive(c.model, 0);
    EXPECT_EQ(c.accepted, IsDriveAccepted(&d, c.list, L"*")) << "list " << c.list << " model " << c.model;
  }
  DriveRecord d = Drive(L"A", 0);
  IsDriveAccepted(&d, L";A;B;", L"*");
  EXPECT_EQ(std::wstring(L"[VX] A, ;A;B;"), machine.DebugLines().back());
}

TEST_F(GatingTest, RevisionRule) {
  EXPECT_EQ(1, IsFwRevisionAccepted(L"1.0.0.00", L""));
  EXPECT_EQ(1, IsFwRevisionAccepted(L"1.0.0.00", L";0.9;1.0.0.00;"));
  EXPECT_EQ(1, IsFwRevisionAccepted(L"abc", L";ABC;"));
  EXPECT_EQ(0, IsFwRevisionAccepted(L"1.0.0", L";1.0.0.00;"));
}

TEST(VersionText, FoundByTheDotRule) {
  EXPECT_EQ("1.4.B.22", Version("--1.4.B.22xyzabc"));
  EXPECT_EQ("", Version("Q.1.4.B.22xyzabc")) << "the search resumes after the rejected window";
  EXPECT_EQ("1.2.3..z", Version("ab1.2.3..zq"));
  EXPECT_EQ("1.2.3.4 ", Version("1.2.3.4 tail"));
  EXPECT_EQ("1.2.3.4", Version(std::string("1.2.3.4\0tail", 12)));
  EXPECT_EQ("", Version("no dots at all"));
  EXPECT_EQ("", Version("1.2-3.4.5"));
  // After a rejected window the search goes on past it, even over a version.
  EXPECT_EQ("", Version("x.y 9.9.9.99"));
  EXPECT_EQ("9.9.9.99", Version("x.y 0000 9.9.9.99"));
}

TEST(VersionText, WindowsAtTheEdgesNeverReadOutside) {
  EXPECT_EQ("", Version(".1.2.3"));      // a dot in the first byte: nothing before it
  EXPECT_EQ("1.2.3.4", Version("1.2.3.4"));  // the eighth byte lies past the end
  EXPECT_EQ("1.2.3.", Version("1.2.3."));
  EXPECT_EQ("", Version("ab.c"));
  // The data stop right where an unchecked scan would go on.
  std::string bytes = "xx1.2.3";
  EXPECT_EQ("", Version(bytes));
}

TEST_F(GatingTest, InternalVersionAgreesOnTheLeadingParts) {
  std::wstring image = Image("1.4.B.22");
  struct Case {
    const wchar_t* drive;
    int part;
    int agrees;
  } cases[] = {{L"1.4.B.07", 3, 1}, {L"1.4.B.07", 4, 0}, {L"1.14.B.0", 1, 1}, {L"1.14.B.0", 2, 0},
               {L"9.9.9.99", 0, 1}, {L"1.4.B.22", 4, 1}, {L"1.4.B.22", 9, 1}, {L"1.4.B.23", 9, 0},
               {L"2.4.B.22", 3, 0}};
  for (const Case& c : cases)
    EXPECT_EQ(c.agrees, CheckInternalVersion(c.drive, c.part, image.c_str())) << c.drive << " part " << c.part;
  machine.ClearRecords();
  CheckInternalVersion(L"1.4.B.07", 4, image.c_str());
  EXPECT_EQ(std::wstring(L"[VX] DrvInfoVersion = 1.4.B.07, BinFWVersion = 1.4.B.07, iCheckPart = 4").size(),
            machine.DebugLines().back().size());
  EXPECT_EQ(std::wstring(L"[VX] DrvInfoVersion = 1.4.B.07, BinFWVersion = 1.4.B.22, iCheckPart = 4"),
            machine.DebugLines().back());
}

TEST_F(GatingTest, ImagesWithoutAVersionOrOutsideThePackageNeverAgree) {
  HoldPackage({{"Unknow_0", lab::Bytes(8192, 0x41), ""}});
  EXPECT_EQ(0, CheckInternalVersion(L"1.4.B.22", 0, L"Unknow_0.fw"));
  EXPECT_EQ(std::wstring(L"[VX] DrvInfoVersion = 1.4.B.22, BinFWVersion = , iCheckPart = 0"),
            machine.DebugLines().back());
  WCHAR out[32] = L"untouched";
  EXPECT_EQ(0, ReadImageVersion(L"Unknow_0.fw", out));
  EXPECT_STREQ(L"untouched", out);
  std::wstring image = Image("1.4.B.22");
  EXPECT_EQ(1, ReadImageVersion(image.c_str(), out));
  EXPECT_STREQ(L"1.4.B.22", out);
  // A file of that name anywhere on disk vouches for nothing: only the package's items count.
  ASSERT_TRUE(WriteAll(root + L"\\Unknow_0.fw", ItemBytes(image.c_str())));
  EXPECT_EQ(0, CheckInternalVersion(L"1.4.B.07", 3, L"Unknow_0.fw"));
  EXPECT_EQ(0, CheckInternalVersion(L"1.4.B.07", 3, (root + L"\\Unknow_0.fw").c_str()));
}

TEST(TextHelpers, TrimBlanksAndFindNoCase) {
  struct Case {
    const wchar_t* in;
    const wchar_t* out;
  } cases[] = {{L"  \tModel X \t ", L"Model X"}, {L" \t ", L""}, {L"a", L"a"}, {L"", L""}, {L"x  y", L"x  y"}};
  for (const Case& c : cases) {
    WCHAR text[64];
    wcscpy(text, c.in);
    TrimBlanks(text);
    EXPECT_STREQ(c.out, text);
  }
  const WCHAR* list = L";Alpha;BETA;";
  EXPECT_EQ(list + 6, FindNoCase(list, L";beta;"));
  EXPECT_EQ(nullptr, FindNoCase(list, L";gamma;"));
  EXPECT_EQ(list, FindNoCase(list, L""));
}
