// The debug log, the formatter it stands on, and the application state.
#include "LabFixture.h"
#include "app/Text.h"

class AppLogTest : public LabTest {};

TEST_F(AppLogTest, DetailLinesOnlyWhileTheSwitchIsOn) {
  LogDetail(L"hidden %d", 1);
  EXPECT_TRUE(machine.DebugLines().empty());
  LogLine(L"shown %d", 2);
  GetAppState()->iDebugLog = 1;
  LogDetail(L"detail %s", L"on");
  GetAppState()->iDebugLog = 2;  // only exactly 1 switches it on
  LogDetail(L"hidden again");
  EXPECT_EQ((std::vector<std::wstring>{L"[VX] shown 2", L"[VX]          [middle] detail on"}), machine.DebugLines());
}

TEST_F(AppLogTest, LongLinesAreCutAndTerminated) {
  std::wstring longText(5000, L'x');
  LogLine(L"%s", longText.c_str());
  GetAppState()->iDebugLog = 1;
  LogDetail(L"%s", longText.c_str());
  auto lines = machine.DebugLines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(1023u, lines[0].size());
  EXPECT_EQ(L"[VX] xxxx", lines[0].substr(0, 9));
  EXPECT_EQ(1023u, lines[1].size());
  EXPECT_EQ(23u, lines[1].find(L'x')) << "the detail prefix is 23 characters";
}

TEST(TextFormat, MicrosoftConversions) {
  WCHAR out[128];
  FormatText(out, L"%s|%I64d|%04X|%3d%%|%S", L"wide \x00FC", -1234567890123LL, 0x1D4C, 7, "narrow");
  EXPECT_STREQ(L"wide \x00FC|-1234567890123|1D4C|  7%|narrow", out);
  FormatText(out, L"\\\\.\\PhysicalDrive%d", 12);
  EXPECT_STREQ(L"\\\\.\\PhysicalDrive12", out);
}

TEST(TextFormat, TruncatesIntoSmallArrays) {
  WCHAR small[8];
  wmemset(small, L'#', 8);
  EXPECT_EQ(7u, FormatText(small, L"%s", L"0123456789"));
  EXPECT_STREQ(L"0123456", small);
  WCHAR guard[4] = {L'a', L'b', L'c', L'd'};
  EXPECT_EQ(0u, FormatText(guard, 0, L"%s", L"zz"));
  EXPECT_EQ(L'a', guard[0]) << "a zero capacity writes nothing";
}

TEST(AppStateTest, BusyExactlyWhileAWorkerHandleIsSet) {
  AppState* app = GetAppState();
  EXPECT_EQ(app, GetAppState());
  ZeroMemory(app, sizeof(AppState));
  EXPECT_EQ(0, IsBusy());
  app->hWorker = reinterpret_cast<HANDLE>(0x44);
  EXPECT_EQ(1, IsBusy());
  app->hWorker = nullptr;
  EXPECT_EQ(0, IsBusy());
}
