// Whole updates through the real dialog over the lab: RUN, the question, the
// worker on each transport and path, the bar, the closing message.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <thread>

#include "DialogFixture.h"
#include "app/Pending.h"
#include "Links.h"
#include "MakerPersonality.h"
#include "UsbBridge.h"
#include "discovery/Discovery.h"

namespace {

// The bar's positions as the control takes them, read back from it.
std::vector<int> g_positions;
WNDPROC g_barProc = nullptr;
std::function<void(int)> g_onPosition;

LRESULT CALLBACK RecordingBar(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = CallWindowProcW(g_barProc, hwnd, message, wParam, lParam);
  if (message == PBM_SETPOS) {
    int position = int(CallWindowProcW(g_barProc, hwnd, PBM_GETPOS, 0, 0));
    if (g_positions.empty() || g_positions.back() != position) g_positions.push_back(position);
    if (g_onPosition) g_onPosition(position);
  }
  return result;
}

// The message box the dialog owns, if one is up. Only the dialog thread's
// windows: other test programs in the same Wine session show dialogs with the
// same title and an OK button, and a click there starts their RUN.
HWND BoxOwnedBy(DWORD thread, HWND owner) {
  struct Search {
    HWND owner, found;
  } search = {owner, nullptr};
  EnumThreadWindows(
      thread,
      [](HWND hwnd, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        WCHAR cls[16] = L"";
        GetClassNameW(hwnd, cls, 16);
        if (wcscmp(cls, L"#32770") != 0 || GetWindow(hwnd, GW_OWNER) != s->owner || !IsWindowVisible(hwnd))
          return TRUE;
        s->found = hwnd;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::vector<int> Download() { return {0, 3, 6, 9, 12, 15, 18, 21, 24, 27, 30}; }

std::vector<int> Expected(bool bridge, std::vector<int> reidentification = {}) {
  std::vector<int> p = Download();
  for (int v : {33, 36, 40, 46, 53, 60}) p.push_back(v);
  if (bridge)
    for (int v : {66, 73, 80}) p.push_back(v);
  else
    p.push_back(80);
  for (int v : reidentification) p.push_back(v);
  p.push_back(100);
  return p;
}

}  // namespace

class UpdateRunTest : public DialogTest {
 protected:
  std::shared_ptr<lab::MakerDrive> configFault;
  void SetUp() override {
    DialogTest::SetUp();
    g_positions.clear();
    g_onPosition = nullptr;
    machine.KeepDialogInStep();
  }
  void TearDown() override {
    g_onPosition = nullptr;
    machine.StopKeepingDialogInStep();
    DialogTest::TearDown();
  }
  void StartRecording() {
    HWND bar = GetDlgItem(dlg, IDC_PROGRESS);
    // Once per bar: subclassed again, the saved procedure would be the
    // recorder itself, which then calls itself until the stack runs out.
    if (GetWindowLongPtrW(bar, GWLP_WNDPROC) != reinterpret_cast<LONG_PTR>(RecordingBar))
      g_barProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingBar)));
    g_positions.clear();
  }
  // Presses RUN and keeps the dialog's messages flowing until the run ends.
  void Run(bool starts = true) {
    StartRecording();
    SendMessageW(dlg, WM_COMMAND, IDOK, 0);
    if (!starts) {
      EXPECT_EQ(0, IsBusy());
      return;
    }
    ASSERT_FALSE(IsWindowEnabled(GetDlgItem(dlg, IDOK))) << "RUN started nothing";
    // The closing handler enables the list again, and RUN when a drive is listed.
    for (int i = 0; i < 3000 && (IsBusy() || !IsWindowEnabled(GetDlgItem(dlg, IDC_DRIVE_LIST))); ++i) Pump(10);
    Pump(50);
    ASSERT_EQ(0, IsBusy());
  }
  std::wstring LastBox() { return machine.MessageBoxes().empty() ? L"" : machine.MessageBoxes().back().text; }
  std::vector<std::wstring> Boxes() {
    std::vector<std::wstring> out;
    for (const auto& b : machine.MessageBoxes()) out.push_back(b.text);
    return out;
  }
};

struct TransportCase {
  const char* name;
  const char* line;
  bool bridge;
};

const TransportCase kTransports[] = {
    {"native", "nvme disk=0 bus=2", false},
    {"RST", "rst disk=0 port=3 path=0 bus=5", false},
    {"ASMedia", "usb disk=0 chip=asmedia ports=3", true},
    {"JMicron", "usb disk=0 chip=jmicron ports=2.4", true},
};

TEST_F(UpdateRunTest, EveryTransportAndPathRunsToTheEnd) {
  for (const TransportCase& t : kTransports) {
    for (int vendorInfo : {1, 0}) {
      SCOPED_TRACE(std::string(t.name) + (vendorInfo ? ", configuration path" : ", plain path"));
      Close();
      machine.Reset();
      // A drive without vendor information names its controller in the
      // device information's other layout.
      std::string line = std::string(t.line) +
                         " model=\"KESTREL LAB NVME 512GB\" serial=OWN-SERIAL-7 maker vendorinfo=" +
                         std::to_string(vendorInfo) + (vendorInfo ? "" : " layout=06E8") + "\n";
      Build(line.c_str());
      Start();
      ASSERT_NE(nullptr, machine.DriveAt(0));
      machine.QueueMessageBoxAnswer(IDYES);     // the question
      machine.QueueMessageBoxAnswer(IDCANCEL);  // the closing message: no restart
      // The panel names both versions while the question is open and the
      // run goes on; the status row names each phase with the bar's share.
      std::wstring panelAtQuestion;
      machine.WhileMessageBoxOpen([&](const lab::MessageBoxRecord& box) {
        if (box.type & MB_YESNO) panelAtQuestion = Text(dlg, IDC_FIRMWARE);
      });
      std::vector<std::wstring> phases, texts;
      g_onPosition = [&](int) {
        std::wstring text = Text(dlg, IDC_STATUS);
        texts.push_back(text);
        std::wstring phase = text.substr(0, text.find(L" \u2026"));
        if (phases.empty() || phases.back() != phase) phases.push_back(phase);
      };
      Run();
      machine.WhileMessageBoxOpen(nullptr);
      g_onPosition = nullptr;
      EXPECT_EQ(Expected(t.bridge), g_positions);
      EXPECT_EQ(L"1.0.0.00 \u2192 2.0.0.00", panelAtQuestion);
      std::vector<std::wstring> named = {L"Sending the firmware", L"Activating the firmware", L"Finding the drive again"};
      if (t.bridge) named.insert(named.begin() + 2, L"Restarting the drive");
      EXPECT_EQ(named, phases);
      EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), L"Sending the firmware \u2026 15 %"));
      EXPECT_EQ(L"Update finished", Text(dlg, IDC_STATUS));
      EXPECT_EQ(std::wstring::npos, Text(dlg, IDC_FIRMWARE).find(L"\u2192")) << "the run is over";
      ASSERT_EQ(2u, machine.MessageBoxes().size());
      EXPECT_EQ(L"Update KESTREL LAB NVME 512GB (OWN-SERIAL-7) from 1.0.0.00 to 2.0.0.00?\n\n" +
                    std::wstring(GetAppState()->szBeforeMessage),
                machine.MessageBoxes()[0].text);
      EXPECT_EQ(UINT(MB_ICONWARNING | MB_YESNO), machine.MessageBoxes()[0].type);
      EXPECT_NE(std::wstring::npos, LastBox().find(L"Restart the computer"));
      EXPECT_TRUE(machine.ShutdownRequests().empty());
      EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg, IDOK)));
      EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg, IDC_DRIVE_LIST)));

      // A bridge's power cycle already ran the new image; the others run it
      // at the next reset.
      if (!t.bridge) machine.PowerCycle();
      lab::NvmeDrive* now = machine.DriveAt(t.bridge ? 1 : 0);
      ASSERT_NE(nullptr, now);
      EXPECT_EQ("2.0.0.00", now->revision()) << "the new name";
      ASSERT_EQ(1u, now->activations().size());
      EXPECT_TRUE(now->activations()[0].accepted) << now->activations()[0].why;
      Close();
    }
  }
}

TEST_F(UpdateRunTest, TheCarryOverKeepsTheDrivesOwnSerialAndModel) {
  // KEEP leaves the name alone, not the rest of the drive's configuration.
  for (const wchar_t* newVersion : {L"", L"KEEP"}) {
    SCOPED_TRACE(newVersion[0] ? "NEWVERSION KEEP" : "the package's NEWVERSION");
    Close();
    machine.Reset();
    Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=OWN-SERIAL-7 maker\n");
    Start();
    if (newVersion[0]) wcscpy(GetAppState()->szNewVersion, newVersion);
    Run();
    // KEEP names the image's own version as the one to come.
    EXPECT_EQ(newVersion[0] ? L"to 1.4.B.22?" : L"to 2.0.0.00?",
              machine.MessageBoxes()[0].text.substr(machine.MessageBoxes()[0].text.find(L"to "), 12));
    machine.PowerCycle();
    DriveRecord after;
    ASSERT_EQ(RES_SUCCESS, GetDiskInfo(L"\\\\.\\PhysicalDrive0", &after));
    if (!newVersion[0]) {
      EXPECT_STREQ(L"2.0.0.00", after.szFwRevision);
    }
    EXPECT_EQ(0u, wcsncmp(L"OWN-SERIAL-7", after.szSerial, 12));
    EXPECT_STREQ(L"KESTREL LAB NVME 512GB", after.szModel);
    EXPECT_STREQ(L"1.4.B.22", after.DrvInfoVersion) << "the image's internal version";
  }
}

TEST_F(UpdateRunTest, KeepLeavesTheNameAndSendsNothingAfterTheCommit) {
  Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" maker vendorinfo=0 layout=06E8\n");
  Start();
  wcscpy(GetAppState()->szNewVersion, L"kEeP");
  Run();
  lab::NvmeDrive* drive = machine.DriveAt(0);
  EXPECT_EQ(0xF2, drive->adminCommands().back()[0]) << "the last command is a probe, not a name write";
  for (const auto& sqe : drive->adminCommands()) EXPECT_NE(0xF1, sqe[0]);
  machine.PowerCycle();
  EXPECT_EQ("1.0.0.00", drive->revision());
}

// Each gate says which rule refused: only a drive that already runs what
// the package installs hears that it needs nothing. The table of texts is
// printed for the README.
TEST_F(UpdateRunTest, RefusalsSayWhichRuleRefused) {
  struct Case {
    const char* line;
    const wchar_t* log;
    const wchar_t* text;
  } cases[] = {
      {"nvme disk=0 bus=2 fw=9.9.9.99 maker", L"[VX] Limit FW Versoin : ;1.0.0.00;1.1.0.00; (disk Version : ;9.9.9.99;)",
       L"This package does not update drives with firmware 9.9.9.99."},
      {"nvme disk=0 bus=2 fw=2.0.0.00 maker", L"(disk Version : ;2.0.0.00;)", L"Do not need to update."},
      {"nvme disk=0 bus=2 maker nand=2CD48932A600", L"[VX] No this fw, 0x2C01, 2",
       L"This package has no firmware for the flash of this drive (Micron-B17A, 2 LUN)."},
      {"nvme disk=0 bus=2 maker version=1.5.C.01", L"[VX] Limit Drv FW Version : 1.5.C.01", L"Do not need to update."},
      {"nvme disk=0 bus=2 maker version=1.10.A.1", L"[VX] Limit Drv FW Version : 1.10.A.1", L"Do not need to update."},
      {"nvme disk=0 bus=2 maker version=1.3.A.07", L"[VX] Limit Drv FW Version : 1.3.A.07",
       L"This package does not update drives with firmware 1.0.0.00 (1.3.A.07)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Close();
    machine.Reset();
    Build((std::string(c.line) + " model=\"KESTREL LAB NVME 512GB\"\n").c_str());
    Start();
    SendMessageW(dlg, WM_COMMAND, IDOK, 0);
    EXPECT_EQ((std::vector<std::wstring>{c.text}), Boxes());
    EXPECT_EQ(1u, LinesContaining(c.log).size());
    EXPECT_EQ(1u, LinesContaining((std::wstring(L"RUN: refused: ") + c.text).c_str()).size());
    EXPECT_EQ(std::wstring::npos, Text(dlg, IDC_FIRMWARE).find(L"\u2192")) << "no new version is named";
    EXPECT_EQ(0, IsBusy());
    EXPECT_TRUE(machine.DriveAt(0)->pieces().empty());
    printf("| %s | %ls |\n", c.line, c.text);
  }
}

TEST_F(UpdateRunTest, TheQuestionDecides) {
  Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" maker\n");
  Start();
  machine.QueueMessageBoxAnswer(IDNO);
  SendMessageW(dlg, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(1u, machine.MessageBoxes().size());
  EXPECT_EQ(0, IsBusy());
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg, IDOK)));
  EXPECT_TRUE(machine.DriveAt(0)->pieces().empty()) << "No starts nothing";

  GetAppState()->szBeforeMessage[0] = L'\0';
  GetAppState()->szAfterMessage[0] = L'\0';
  Run();
  EXPECT_EQ(1u, machine.MessageBoxes().size()) << "no question, and no closing message without AfterMessage";
  EXPECT_FALSE(machine.DriveAt(0)->pieces().empty());
}

TEST_F(UpdateRunTest, ARealMessageBoxIsAnsweredByAClick) {
  Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" maker\n");
  Start();
  machine.SetRealMessageBoxes(true);
  const DWORD dialogThread = GetCurrentThreadId();
  std::atomic<bool> done{false};
  std::vector<int> answered;  // read once the clicker has ended
  std::thread clicker([&] {
    // Each box as it comes, however long the run takes: Yes where there is a
    // Yes, else OK; then wait for that box to go before looking again.
    while (!done) {
      HWND box = BoxOwnedBy(dialogThread, dlg);
      int button = box == nullptr ? 0 : GetDlgItem(box, IDYES) ? IDYES : GetDlgItem(box, IDOK) ? IDOK : 0;
      if (button == 0) {
        Sleep(10);
        continue;
      }
      answered.push_back(button);
      SendMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
      while (!done && IsWindow(box)) Sleep(10);
    }
  });
  Run();
  done = true;
  clicker.join();
  machine.SetRealMessageBoxes(false);
  EXPECT_EQ((std::vector<int>{IDYES, IDOK}), answered) << "Yes to the question, OK on the closing message";
  EXPECT_EQ((std::vector<UINT>{EWX_REBOOT}), machine.ShutdownRequests()) << "OK restarts: exactly EWX_REBOOT";
  EXPECT_EQ("2.0.0.00", machine.DriveAt(0)->revision()) << "the restart ran the new image";
}

TEST_F(UpdateRunTest, ABridgeLeavesAndReturnsDuringTheRun) {
  Build("usb disk=1 chip=asmedia ports=3 reappear=5000 model=\"KESTREL LAB NVME 512GB\" maker\n");
  Start();
  // The notices reach the dialog synchronously from the lab: rebuild at once,
  // instead of two seconds later, to see what a rebuild shows at that moment.
  static std::vector<std::wstring> seen;
  static WNDPROC dialogProc = nullptr;
  seen.clear();
  dialogProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(dlg, GWLP_WNDPROC));
  SetWindowLongPtrW(dlg, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(+[](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    LRESULT r = CallWindowProcW(dialogProc, h, m, w, l);
    if (m == WM_DEVICECHANGE) {
      RefreshDriveList(h, 0);
      WCHAR text[260] = L"";
      LRESULT item = SendDlgItemMessageW(h, IDC_DRIVE_LIST, CB_GETCURSEL, 0, 0);
      SendDlgItemMessageW(h, IDC_DRIVE_LIST, CB_GETLBTEXT, item, reinterpret_cast<LPARAM>(text));
      seen.push_back(text);
    }
    return r;
  }));
  Run();
  EXPECT_EQ((std::vector<std::wstring>{L"KESTREL LAB NVME 512GB (RAW) - Disconnect", L"KESTREL LAB NVME 512GB (RAW)"}),
            seen);
  EXPECT_EQ(Expected(true, {82, 84}), g_positions) << "two tries before it was back";
  EXPECT_STREQ(L"\\\\.\\PhysicalDrive2", GetAppState()->SelectedDrive.szDevicePath);
  EXPECT_STREQ(L"2.0.0.00", GetAppState()->SelectedDrive.szFwRevision);
  SetWindowLongPtrW(dlg, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(dialogProc));
}

TEST_F(UpdateRunTest, ARebuildInTheMiddleOfTheDownloadChangesNothing) {
  Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=MID-RUN maker\n"
        "nvme disk=1 bus=3 model=\"KESTREL LAB NVME 1TB\" serial=OTHER size=1000 maker\n");
  Start();
  int rebuilds = 0;
  g_onPosition = [&](int position) {
    if (position == 15 && rebuilds++ == 0) RefreshDriveList(dlg, 0);
  };
  Run();
  EXPECT_EQ(1, rebuilds);
  EXPECT_EQ(Expected(false), g_positions);
  lab::NvmeDrive* drive = machine.DriveAt(0);
  EXPECT_EQ(1u, drive->commits().size());
  EXPECT_TRUE(machine.DriveAt(1)->pieces().empty()) << "the other drive received nothing";
  machine.PowerCycle();
  EXPECT_EQ("2.0.0.00", drive->revision());
}

TEST_F(UpdateRunTest, RunOnTheSecondDriveBehindOneAdapterUpdatesTheSecond) {
  Build("rst disk=1 port=3 path=0 model=\"KESTREL LAB NVME 512GB\" serial=RST-FIRST maker\n"
        "rst disk=2 port=3 path=1 model=\"KESTREL LAB NVME 512GB\" serial=RST-SECOND maker\n");
  Start();
  ASSERT_EQ(2u, Entries(dlg).size());
  Select(1);
  Run();
  EXPECT_TRUE(machine.DriveAt(1)->pieces().empty()) << "the first drive was never written";
  EXPECT_FALSE(machine.DriveAt(2)->pieces().empty());
  EXPECT_EQ(0u, wcsncmp(L"RST-SECOND", GetAppState()->SelectedDrive.szSerial, 10));
}

// A failure ends the run at once and says what happened, whether the old
// firmware still runs and what to do next; the bar goes back to 0 and the
// status row says the update failed. The table of texts is printed.
TEST_F(UpdateRunTest, FailuresEndTheRunAtOnceAndSayWhy) {
  struct Case {
    const char* what;
    const char* line;
    std::function<void()> arrange;
    std::vector<int> positions;  // the bar's, the final reset to 0 included
    const wchar_t* message;      // below "Update FW Fail !"
  };
  const char* native = "nvme disk=0 bus=2";
  Case cases[] = {
      {"the drive cannot be opened", native, [&] { machine.FailOpen(L"\\\\.\\PhysicalDrive0", ERROR_ACCESS_DENIED, 1); },
       {0},
       L"The drive could not be opened (Windows error 5).\nThe drive still runs its old firmware.\n"
       L"Contact support and quote: opening the drive, Windows error 5."},
      // A 64 KiB image posts its first 10 percent before the third piece.
      {"the third piece fails", native, [&] { machine.FailFirmwarePiece(3); }, {0, 3, 0},
       L"The download failed at offset 0x2000: the request failed with Windows error 1117.\n"
       L"The drive still runs its old firmware.\nContact support and quote: the download, Windows error 1117."},
      // Windows answers a disk pulled mid-request with an I/O error: the
      // disk gone from the bus decides the advice.
      {"the drive leaves as a piece fails", native,
       [&] {
         machine.FailFirmwarePiece(3);
         machine.AfterRequest([&](const lab::RequestRecord& r) {
           if (!r.ok && r.error == ERROR_IO_DEVICE) machine.Unplug(0);
         });
       },
       {0, 3, 0},
       L"The download failed at offset 0x2000: the request failed with Windows error 1117.\n"
       L"The drive still runs its old firmware.\nCheck the cable and press RUN again."},
      {"the commit fails", native, [&] { machine.FailActivation(); },
       {0, 3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 33, 36, 40, 0},
       L"The commit failed: the request failed with Windows error 1117.\nThe drive still runs its old firmware.\n"
       L"Contact support and quote: the commit, Windows error 1117."},
      {"the configuration read fails", native, [&] { configFault->failConfigRead = true; }, {0},
       L"The configuration block read failed: the drive answered Data Transfer Error (0x0004).\n"
       L"The drive still runs its old firmware.\n"
       L"Contact support and quote: the configuration block read, Data Transfer Error (0x0004)."},
      {"an ASMedia bridge times out", "usb disk=0 chip=asmedia ports=3 flash=90", [] {}, {0},
       L"The download failed at offset 0x0: the bridge step EA 5A failed (Windows error 121).\n"
       L"The drive still runs its old firmware.\n"
       L"Connect the drive directly to the computer, not through a USB enclosure, and try again."},
      {"a JMicron bridge times out", "usb disk=0 chip=jmicron ports=2.4 flash=90", [] {}, {0},
       L"The download failed at offset 0x0: the bridge step A1 83 failed (Windows error 121).\n"
       L"The drive still runs its old firmware.\n"
       L"Connect the drive directly to the computer, not through a USB enclosure, and try again."},
      {"a piece arrives short through an ASMedia bridge", "usb disk=0 chip=asmedia ports=3 short=1", [] {}, {0},
       L"The download failed at offset 0x1000: the bridge step EA 5A moved 3584 of 4096 bytes.\n"
       L"The drive still runs its old firmware.\n"
       L"Connect the drive directly to the computer, not through a USB enclosure, and try again."},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    Close();
    machine.Reset();
    Build((std::string(c.line) + " model=\"KESTREL LAB NVME 512GB\"\n").c_str());
    configFault = lab::GiveMakerPersonality(*machine.DriveAt(0));
    Start();
    c.arrange();
    lab::NvmeDrive* drive = machine.DriveAt(0);
    machine.QueueMessageBoxAnswer(IDYES);
    Run();
    machine.AfterRequest(nullptr);
    EXPECT_EQ(std::wstring(L"Update FW Fail !\n") + c.message, LastBox());
    EXPECT_EQ(UINT(MB_OK | MB_ICONERROR), machine.MessageBoxes().back().type);
    EXPECT_EQ(c.positions, g_positions);
    EXPECT_EQ(0, SendDlgItemMessageW(dlg, IDC_PROGRESS, PBM_GETPOS, 0, 0));
    EXPECT_EQ(L"Update failed", Text(dlg, IDC_STATUS));
    for (const auto& commit : drive->commits()) EXPECT_FALSE(commit.status.ok());
    for (const auto& sqe : drive->adminCommands()) EXPECT_NE(0xE5, sqe[0]) << "no name write after a failure";
    if (machine.DriveAt(0) != nullptr) {
      EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg, IDOK)));
    }
    if (std::string(c.what) == "the configuration read fails") {
      EXPECT_TRUE(drive->pieces().empty()) << "nothing sent";
    }
    printf("| %s | %ls |\n", c.what, c.message);
  }
}

// After the commit the new firmware name is written: on the configuration
// path the block is read (0xE6) and written back (0xE5), on the plain path
// the device information is read (0xF2) and written (0xF1). Either step
// failing fails the run, and what could not be read is never written.
TEST_F(UpdateRunTest, AFailedNameStepFailsTheRun) {
  struct Case {
    const char* what;
    int vendorInfo;
    uint8_t failing;    // fails from the end of the commit's settling on
    uint8_t neverSent;  // 0: none
  } cases[] = {
      {"the configuration read", 1, 0xE6, 0xE5},
      {"the configuration write", 1, 0xE5, 0},
      {"the device information read", 0, 0xF2, 0xF1},
      {"the device information write", 0, 0xF1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Close();
    machine.Reset();
    std::string line = "nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" maker vendorinfo=" +
                       std::to_string(c.vendorInfo) + (c.vendorInfo ? "" : " layout=06E8") + "\n";
    Build(line.c_str());
    Start();
    lab::NvmeDrive* drive = machine.DriveAt(0);
    // Sent, not posted: the worker waits while the fault is set.
    g_onPosition = [&](int position) {
      if (position == 60) drive->FailOpcode(c.failing, lab::nvme::DataTransferError);
    };
    Run();
    g_onPosition = nullptr;
    EXPECT_EQ(L"Update FW Fail !", FirstLine(LastBox()));
    // The image was committed: the person must not think the old firmware still runs.
    EXPECT_NE(std::wstring::npos, LastBox().find(L"\nThe drive took the new firmware: it runs after the computer restarts.\n"));
    ASSERT_EQ(1u, drive->commits().size());
    EXPECT_TRUE(drive->commits()[0].status.ok()) << "the failure came after the commit";
    size_t sent = 0;
    for (const auto& sqe : drive->adminCommands()) sent += sqe[0] == c.neverSent ? 1 : 0;
    if (c.neverSent != 0) {
      EXPECT_EQ(0u, sent) << "nothing written after the failed read";
    }
  }
}

// RUN pressed again while the worker runs (the button is disabled, but a
// keyboard accelerator or a message still reaches the dialog) starts no
// second worker.
TEST_F(UpdateRunTest, RunWhileRunningStartsNoSecondWorker) {
  Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" maker\n");
  Start();
  int again = 0;
  g_onPosition = [&](int position) {
    if (position == 15 && again++ == 0) SendMessageW(dlg, WM_COMMAND, IDOK, 0);
  };
  Run();
  EXPECT_EQ(1, again);
  EXPECT_EQ(Expected(false), g_positions);
  lab::NvmeDrive* drive = machine.DriveAt(0);
  EXPECT_EQ(1u, drive->commits().size());
  EXPECT_NE(std::wstring::npos, LastBox().find(L"Restart the computer"));
  machine.PowerCycle();
  EXPECT_EQ("2.0.0.00", drive->revision());
}

TEST_F(UpdateRunTest, ARunHoldsOffTheEndOfTheSessionAndSleepUntilItEnds) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    const wchar_t* closing;  // the start of the closing message
  } cases[] = {
      {"a whole run", [] {}, L"The firmware was updated."},
      {"the third piece fails", [&] { machine.FailFirmwarePiece(3); }, L"Update FW Fail !"},
      {"the drive cannot be opened", [&] { machine.FailOpen(L"\\\\.\\PhysicalDrive0", ERROR_ACCESS_DENIED, 1); },
       L"Update FW Fail !"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Close();
    machine.Reset();
    Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" maker\n");
    Start();
    c.arrange();
    int seen = 0;
    g_onPosition = [&](int position) {
      if (position == 0 || seen++ != 0) return;
      EXPECT_EQ(0, SendMessageW(dlg, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF)) << "a logoff is refused";
      EXPECT_EQ(SHUTDOWN_BLOCK_REASON, machine.ShutdownBlockReason(dlg));
      EXPECT_TRUE(machine.SystemKeptAwake());
    };
    std::wstring reasonAtClosing = L"unread";
    bool awakeAtClosing = true;
    machine.WhileMessageBoxOpen([&](const lab::MessageBoxRecord& box) {
      if (box.type & MB_YESNO) return;  // the question comes before the run
      reasonAtClosing = machine.ShutdownBlockReason(dlg);
      awakeAtClosing = machine.SystemKeptAwake();
    });
    machine.QueueMessageBoxAnswer(IDYES);
    machine.QueueMessageBoxAnswer(IDCANCEL);
    Run();
    g_onPosition = nullptr;
    EXPECT_EQ(0u, LastBox().find(c.closing)) << LastBox();
    EXPECT_EQ(L"", reasonAtClosing) << "released before the closing message, whose restart it would hold up";
    EXPECT_FALSE(awakeAtClosing);
    EXPECT_NE(0, SendMessageW(dlg, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    // Both requests came from the worker, which lives exactly as long as the run.
    std::vector<lab::Machine::ExecutionStateCall> calls = machine.ExecutionStateCalls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(ES_CONTINUOUS | ES_SYSTEM_REQUIRED, calls[0].flags);
    EXPECT_EQ(ES_CONTINUOUS, calls[1].flags);
    EXPECT_EQ(calls[0].thread, calls[1].thread);
    EXPECT_NE(GetCurrentThreadId(), calls[0].thread) << "not the dialog thread";
  }
}

TEST_F(UpdateRunTest, RunRefusesOnABatteryBelowAQuarter) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    bool refused;
  } cases[] = {
      {"mains", [&] { machine.RunOnMains(); }, false},
      {"battery at 24 %", [&] { machine.RunOnBattery(24); }, true},
      {"battery at 3 %", [&] { machine.RunOnBattery(3); }, true},
      {"battery at 25 %", [&] { machine.RunOnBattery(25); }, false},
      {"battery of unknown charge", [&] { machine.RunOnBattery(255); }, false},
      {"power source unknown", [&] { machine.PowerSourceUnknown(); }, false},
      {"no power status", [&] { machine.FailPowerStatus(ERROR_GEN_FAILURE); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Close();
    machine.Reset();
    Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" maker\n");
    Start();
    c.arrange();
    machine.QueueMessageBoxAnswer(IDNO);  // the question, when it comes
    SendMessageW(dlg, WM_COMMAND, IDOK, 0);
    ASSERT_EQ(1u, machine.MessageBoxes().size());
    const lab::MessageBoxRecord box = machine.MessageBoxes()[0];
    if (c.refused) {
      EXPECT_EQ(BATTERY_LOW_MESSAGE, box.text);
      EXPECT_EQ(UINT(MB_OK | MB_ICONWARNING), box.type);
      EXPECT_EQ(1u, LinesContaining(L"[VX] RUN: on battery below 25 %").size());
    } else {
      EXPECT_EQ(UINT(MB_ICONWARNING | MB_YESNO), box.type) << "the package's question, as always";
    }
    EXPECT_EQ(0, IsBusy());
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg, IDOK)));
    EXPECT_TRUE(machine.DriveAt(0)->pieces().empty());
  }
  // On mains again the same dialog runs the update.
  machine.RunOnMains();
  machine.QueueMessageBoxAnswer(IDYES);
  Run();
  EXPECT_FALSE(machine.DriveAt(0)->pieces().empty());
}

// Sent and committed, but gone: nobody can say the drive runs the new
// firmware, and the closing message says what to do.
TEST_F(UpdateRunTest, ADriveThatNeverComesBackIsNoSuccess) {
  Build("usb disk=1 chip=jmicron ports=3 reappear=60000 model=\"KESTREL LAB NVME 512GB\" maker\n");
  Start();
  Run();
  std::vector<int> positions = Expected(true, {82, 84, 86, 88, 90, 92, 94, 96, 98});
  positions.push_back(0);  // no success: the bar does not stay full
  EXPECT_EQ(positions, g_positions);
  EXPECT_EQ(L"The drive was not found after the update", Text(dlg, IDC_STATUS));
  EXPECT_EQ(NOT_FOUND_AGAIN_MESSAGE, LastBox());
  EXPECT_EQ(UINT(MB_OK | MB_ICONWARNING), machine.MessageBoxes().back().type);
  EXPECT_TRUE(machine.ShutdownRequests().empty());
  EXPECT_EQ(1u, LinesContaining(L"was not found again at port").size());
  EXPECT_NE(std::wstring::npos, Entries(dlg).back().find(L" - Disconnect"));
}

TEST_F(UpdateRunTest, ADamagedImageIsNeverSent) {
  Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" maker\n");
  Start();
  // As if the package had carried it so: only the image check stands in the way.
  lab::Bytes bytes = ItemBytes(L"Micron-B47R_2.fw");
  ASSERT_FALSE(bytes.empty());
  bytes[5 * 4096] ^= 0x40;
  HoldPackage({{"Micron-B47R_2", bytes, ""}});
  Run(false);
  EXPECT_EQ(L"The firmware file in this package is damaged. Get a new copy of the updater.", LastBox())
      << "refused at RUN, before any question";
  EXPECT_EQ(1u, machine.MessageBoxes().size());
  EXPECT_TRUE(machine.DriveAt(0)->pieces().empty());
  EXPECT_EQ(1u, LinesContaining(L"Firmware image refused").size());
  HoldPackage({{"TSB-BiCS4_2", bytes, ""}});
  Run(false);
  EXPECT_EQ(L"This package has no firmware for the flash of this drive (Micron-B47R, 2 LUN).", LastBox());
}

// Another process of the user, unelevated, works on the user's temporary
// folder before and during the run, as malware in that position would: it
// plants a package and configurations that list every drive with its own
// question, name and power action, makes "Kestrel" there a link to a folder
// of its choice, and, all the time and while the question is open, rewrites
// every configuration it finds, deletes every "_2" image and replaces every
// other, and swaps any new folder for a link to files it wants deleted. None of it reaches the
// program, and nothing there is created or deleted.
TEST_F(UpdateRunTest, NothingAnotherProcessDoesInTheTemporaryFolderSteersTheUpdate) {
  const std::wstring temp = Variable(L"TEMP"), victim = root + L"\\victim", precious = root + L"\\precious";
  ASSERT_EQ(root + L"\\temp", temp) << "the test's own temporary folder";
  struct Unlink {
    std::wstring link;
    ~Unlink() { links::RemoveDirectoryLink(link); }
  } unlink{temp + L"\\Kestrel"};
  for (const std::wstring& folder : {victim, precious, victim + L"\\1", victim + L"\\run"})
    CreateDirectoryW(folder.c_str(), nullptr);
  ASSERT_TRUE(links::MakeDirectoryLink(temp + L"\\Kestrel", victim));
  ASSERT_TRUE(WriteAll(precious + L"\\keep.txt", lab::Bytes(100, 'k')));
  const lab::Bytes hostile = Utf16Ini(
      L"[UPDATEINFO]\nTITLE=HOSTILE\nSOCID=*\nNEWVERSION=EVIL\nBeforeMessage=HOSTILE QUESTION\n"
      L"AfterMessage=HOSTILE END\nPowerCtrl=1\n");
  for (const wchar_t* folder : {L"\\1", L"\\run"}) {
    ASSERT_TRUE(WriteAll(victim + folder + L"\\KestrelInfo.ini", hostile));
    ASSERT_TRUE(WriteAll(victim + folder + L"\\Micron-B47R_0.fw", lab::Bytes(8192, 0xEE)));
  }
  pkgbuild::PackageDescription planted;
  planted.settings = {{"TITLE", "HOSTILE"}, {"SOCID", "*"}, {"NEWVERSION", "EVIL"}};
  planted.images = {{"Micron-B47R_0", lab::Bytes(8192, 0xEE), ""}};
  std::string error;
  std::wstring archive = temp + L"\\~ReleasePackage.a";
  ASSERT_TRUE(pkgbuild::WritePackage(std::string(archive.begin(), archive.end()), planted, &error)) << error;

  std::vector<std::wstring> plants = ListTree(temp);
  ASSERT_NE(plants.end(), std::find(plants.begin(), plants.end(), L"Kestrel\\1\\KestrelInfo.ini")) << "the link is followed";
  auto strike = [&] {
    for (const std::wstring& name : ListTree(temp)) {
      std::wstring path = temp + L"\\" + name;
      if (name.size() >= 15 && name.compare(name.size() - 15, 15, L"KestrelInfo.ini") == 0) WriteAll(path, hostile);
      if (name.size() >= 5 && name.compare(name.size() - 5, 5, L"_2.fw") == 0) DeleteFileW(path.c_str());
      else if (name.size() >= 3 && name.compare(name.size() - 3, 3, L".fw") == 0) WriteAll(path, lab::Bytes(8192, 0xEE));
      bool newFolder = name.back() == L'\\' && std::find(plants.begin(), plants.end(), name) == plants.end();
      std::wstring folder = path.substr(0, path.size() - 1);
      if (newFolder && MoveFileW(folder.c_str(), (folder + L".moved").c_str()))
        links::MakeDirectoryLink(folder, precious);
    }
  };
  std::atomic<bool> stop{false};
  std::thread racer([&] {
    while (!stop) {
      strike();
      Sleep(1);
    }
  });
  machine.WhileMessageBoxOpen([&](const lab::MessageBoxRecord&) { strike(); });
  Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=OWN maker vendorinfo=0 layout=06E8\n"
        "nvme disk=1 bus=3 model=\"FOREIGN MODEL 2TB\" serial=FOREIGN fw=9.9.9.99 maker\n");
  Start();
  EXPECT_EQ((std::vector<std::wstring>{L"KESTREL LAB NVME 512GB (RAW)"}), Entries(dlg));
  machine.QueueMessageBoxAnswer(IDYES);
  machine.QueueMessageBoxAnswer(IDCANCEL);
  Run();
  lab::Bytes genuine = ItemBytes(L"Micron-B47R_2.fw");
  Close();
  stop = true;
  racer.join();
  machine.WhileMessageBoxOpen(nullptr);

  EXPECT_EQ(genuine, machine.DriveAt(0)->slotImage(1)) << "the package's own image for two LUNs, whole";
  EXPECT_TRUE(machine.DriveAt(1)->pieces().empty());
  EXPECT_TRUE(machine.DriveAt(1)->commits().empty());
  ASSERT_EQ(2u, Boxes().size());
  for (const std::wstring& box : Boxes()) EXPECT_EQ(std::wstring::npos, box.find(L"HOSTILE")) << box.c_str();
  EXPECT_STREQ(L"2.0.0.00", GetAppState()->szNewVersion);
  EXPECT_STREQ(L"Kestrel Demo Firmware Update", GetAppState()->szTitle);
  EXPECT_EQ(plants, ListTree(temp)) << "nothing created or deleted in the temporary folder";
  EXPECT_EQ(lab::Bytes(100, 'k'), ReadAll(precious + L"\\keep.txt"));
}

// An RST drive pulled mid-run: before the commit the run fails and the
// drive records none; after the last command the image is committed but the
// drive is not found again, and the closing message says so.
TEST_F(UpdateRunTest, AnRstDrivePulledMidRunIsNeverAnnouncedAsUpdated) {
  for (bool afterTheName : {false, true}) {
    SCOPED_TRACE(afterTheName ? "pulled after the name write" : "pulled between download and commit");
    Close();
    machine.Reset();
    Build("rst disk=0 port=3 path=0 bus=5 model=\"KESTREL LAB NVME 512GB\" maker\n");
    Start();
    lab::NvmeDrive* drive = machine.DriveAt(0);
    // The run's thread and the dialog's rescan both make requests.
    std::atomic<bool> pulled{false};
    machine.AfterRequest([&](const lab::RequestRecord&) {
      bool now = machine.Inspect([&] {
        return afterTheName ? !drive->adminCommands().empty() && drive->adminCommands().back()[0] == 0xE5
                            : drive->pieces().size() == 16;
      });
      if (now && machine.Unplug(0)) pulled = true;
    });
    machine.QueueMessageBoxAnswer(IDYES);
    Run();
    machine.AfterRequest(nullptr);
    ASSERT_TRUE(pulled);
    if (afterTheName) {
      EXPECT_EQ(1u, drive->commits().size());
      EXPECT_EQ(NOT_FOUND_AGAIN_MESSAGE, LastBox());
      EXPECT_NE(std::wstring::npos, Entries(dlg).back().find(L" - Disconnect"));
      EXPECT_EQ(L"1.0.0.00", Text(dlg, IDC_FIRMWARE)) << "the run is over: no new version is named";
    } else {
      EXPECT_TRUE(drive->commits().empty()) << "the drive records no commit";
      EXPECT_EQ(L"Update FW Fail !\nThe commit failed: the request failed with Windows error 55.\n"
                L"The drive still runs its old firmware.\nCheck the cable and press RUN again.",
                LastBox());
      EXPECT_EQ(1u, LinesContaining(L"UpdateWorker: the commit failed: the request failed with Windows error 55").size());
    }
  }
}

namespace {

std::wstring RegistryText(const lab::Machine::RegistryValue& value) {
  return std::wstring(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / 2 - 1);
}

const wchar_t kPendingRecord[] = L"SOFTWARE\\Kestrel\\Pending\\PENDING-1";

}  // namespace

// Cancel at the restart question: the update waits, and says so in the panel
// and at RUN, which sends nothing, on this start and the next. A restart
// that runs the new firmware ends the record, and the log says so.
TEST_F(UpdateRunTest, AnUpdateWaitingForTheRestartIsKnownUntilTheDriveRunsIt) {
  Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=PENDING-1 maker\n");
  Start();
  lab::NvmeDrive* drive = machine.DriveAt(0);
  machine.QueueMessageBoxAnswer(IDYES);
  machine.QueueMessageBoxAnswer(IDCANCEL);  // no restart now
  Run();
  std::map<std::wstring, lab::Machine::RegistryValue> record;
  ASSERT_TRUE(machine.RegistryKeyValues(kPendingRecord, &record));
  EXPECT_EQ(L"KESTREL LAB NVME 512GB", RegistryText(record[L"MODEL"]));
  EXPECT_EQ(L"1.0.0.00", RegistryText(record[L"REVISIONBEFORE"]));
  EXPECT_EQ(L"2.0.0.00", RegistryText(record[L"FIRMWARENAME"]));
  EXPECT_EQ(L"1.4.B.22", RegistryText(record[L"IMAGEVERSION"]));
  EXPECT_EQ(lab::Bytes(4, 0), record[L"RESET"].data);
  EXPECT_EQ(DWORD(REG_QWORD), record[L"TIME"].type);
  const std::wstring waiting = L"1.0.0.00 (new firmware waiting for restart)";
  EXPECT_EQ(waiting, Text(dlg, IDC_FIRMWARE));

  const size_t pieces = drive->pieces().size();
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start == 0 ? "the same start" : "the next start");
    if (start == 1) {
      Close();
      Start();
      EXPECT_EQ(waiting, Text(dlg, IDC_FIRMWARE));
    }
    Run(false);
    EXPECT_STREQ(PendingRefusal(PENDING_RESTART), LastBox().c_str());
    EXPECT_EQ(pieces, drive->pieces().size()) << "nothing is sent again";
  }
  Close();
  machine.Restart();
  Start();
  EXPECT_EQ(L"2.0.0.00", Text(dlg, IDC_FIRMWARE));
  EXPECT_FALSE(machine.RegistryKeyValues(kPendingRecord, &record)) << "the record is gone";
  EXPECT_EQ(1u, LinesContaining(L"[VX] PENDING-1: the new firmware is active (1.0.0.00 \x2192 2.0.0.00)").size());
}

// A drive whose image needs more than a restart: through a bridge, which
// cuts its power, the subsystem reset it asked for is told from the start;
// through the system's driver, which hides what the drive asked, the restart
// that changed nothing is told. A full power-off then runs the new firmware.
TEST_F(UpdateRunTest, AnImageThatNeedsAFullPowerOffIsToldSo) {
  for (const char* line : {"usb disk=0 chip=jmicron ports=3", "nvme disk=0 bus=2"}) {
    SCOPED_TRACE(line);
    const bool bridge = line[0] == 'u';
    Close();
    machine.Reset();
    Build((std::string(line) + " model=\"KESTREL LAB NVME 512GB\" serial=PENDING-1 maker\n").c_str());
    Start();
    lab::NvmeDrive* drive = machine.DriveAt(0);
    drive->AnswerCommitWith(0x110);
    // The bridge's own power cycle does not reach this drive's flash.
    if (bridge) drive->SetActivationHook([](const lab::Bytes*) { return lab::ActivationResult{false, "1.0.0.00", "held"}; });
    machine.QueueMessageBoxAnswer(IDYES);
    machine.QueueMessageBoxAnswer(IDCANCEL);
    Run();
    if (!bridge) machine.Restart();
    if (!bridge) {
      Close();
      Start();
    }
    INT32 state = bridge ? PENDING_POWER_OFF : PENDING_NOT_ACTIVE;
    EXPECT_EQ(bridge ? L"1.0.0.00 (new firmware waiting for a full shutdown)" : L"1.0.0.00 (new firmware not active)",
              Text(dlg, IDC_FIRMWARE));
    Run(false);
    EXPECT_STREQ(PendingRefusal(state), LastBox().c_str());
    EXPECT_NE(std::wstring::npos, LastBox().find(L"Shut the computer down fully, wait ten seconds"));
    if (bridge) continue;
    Close();
    machine.PowerCycle();
    Start();
    EXPECT_EQ(L"2.0.0.00", Text(dlg, IDC_FIRMWARE));
  }
}

// Every refusal of the drive, on every transport, through the real dialog:
// the run ends with the failure box, nothing after the refused step reaches
// the drive, and the drive's own settings are left byte for byte.
class RefusalMatrixTest : public UpdateRunTest, public ::testing::WithParamInterface<TransportCase> {};

struct Refusal {
  const char* what;
  bool configPath;
  // Set before RUN, or while the question is open (after RUN's own probe).
  std::function<void(lab::NvmeDrive&, lab::MakerDrive&)> before, atQuestion;
  size_t pieces;    // pieces that reached the drive; SIZE_MAX: the whole image
  bool committed;   // a commit was accepted
  size_t nameWrites;  // 0xE5 or 0xF1 commands that reached the drive
  const wchar_t* logged;  // the main log line's start, after "UpdateWorker: "
};

TEST_P(RefusalMatrixTest, ARefusedStepFailsTheRunAndNothingFollowsIt) {
  const TransportCase& t = GetParam();
  const size_t all = SIZE_MAX;
  auto none = [](lab::NvmeDrive&, lab::MakerDrive&) {};
  const Refusal refusals[] = {
      {"configuration read refused", true, [](lab::NvmeDrive&, lab::MakerDrive& m) { m.failConfigRead = true; },
       none, 0, false, 0, L"the configuration block read failed"},
      {"configuration block reads back erased", true,
       [](lab::NvmeDrive&, lab::MakerDrive& m) { m.blankConfigRead = 0xFF; }, none, 0, false, 0,
       L"the configuration block read back is blank"},
      {"device-information read refused", false, none,
       [](lab::NvmeDrive& d, lab::MakerDrive&) { d.FailOpcode(0xF2, lab::nvme::DataTransferError); }, 0, false, 0,
       L"the device information read failed"},
      {"device information reads back blank", false, [](lab::NvmeDrive&, lab::MakerDrive& m) { m.blankDeviceInfo = 0; },
       none, 0, false, 0, L"the device information read back is blank"},
      {"first piece refused with an odd status (Invalid Opcode, 0x01)", true,
       [](lab::NvmeDrive& d, lab::MakerDrive&) { d.FailOpcode(0x11, lab::nvme::InvalidOpcode); }, none, 1, false, 0,
       L"the download failed at offset 0x0: "},
      {"third firmware piece refused", true,
       [](lab::NvmeDrive& d, lab::MakerDrive&) { d.FailOpcode(0x11, lab::nvme::InvalidField, 2); }, none, 3, false,
       0, L"the download failed at offset 0x2000: "},
      {"commit refused", true,
       [](lab::NvmeDrive& d, lab::MakerDrive&) { d.FailOpcode(0x10, lab::nvme::InvalidFirmwareImage); }, none, all,
       false, 0, L"the commit failed"},
      {"configuration write refused", true,
       [](lab::NvmeDrive& d, lab::MakerDrive&) { d.FailOpcode(0xE5, lab::nvme::DataTransferError); }, none, all,
       true, 1, L"the configuration block write failed"},
      {"device-information write refused", false,
       [](lab::NvmeDrive& d, lab::MakerDrive&) { d.FailOpcode(0xF1, lab::nvme::DataTransferError); }, none, all,
       true, 1, L"the firmware name write failed"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(std::string(t.name) + ": " + r.what);
    Close();
    machine.Reset();
    Build((std::string(t.line) + " model=\"KESTREL LAB NVME 512GB\" serial=OWN-SERIAL-7\n").c_str());
    lab::NvmeDrive& drive = *machine.DriveAt(0);
    lab::MakerSpec spec;
    spec.vendorInfo = r.configPath;
    if (!r.configPath) spec.layout = 0x06E8;  // the controller named in the other layout
    auto maker = lab::GiveMakerPersonality(drive, spec);
    Start();
    ASSERT_EQ(1u, Entries(dlg).size());
    r.before(drive, *maker);
    const lab::Bytes config = maker->configBlock(), devinfo = maker->deviceInfoBlock();
    machine.WhileMessageBoxOpen([&](const lab::MessageBoxRecord& box) {
      if (box.type == UINT(MB_ICONWARNING | MB_YESNO)) r.atQuestion(drive, *maker);
    });
    Run();
    machine.WhileMessageBoxOpen(nullptr);

    EXPECT_EQ(L"Update FW Fail !", FirstLine(LastBox()));
    // The main log names the step and what answered: the drive's status,
    // the driver's or Windows' answer.
    std::vector<std::wstring> logged = LinesContaining((std::wstring(L"[VX] UpdateWorker: ") + r.logged).c_str());
    ASSERT_EQ(1u, logged.size());
    if (logged[0].find(L"blank") == std::wstring::npos) {
      bool why = false;
      for (const wchar_t* cause : {L"the drive answered ", L"Windows error ", L"firmware status "})
        why = why || logged[0].find(cause) != std::wstring::npos;
      EXPECT_TRUE(why) << std::string(logged[0].begin(), logged[0].end());
    }
    size_t imagePieces = 0, accepted = 0, nameWrites = 0;
    for (const auto& piece : drive.pieces()) accepted += piece.status.ok() ? 1 : 0;
    imagePieces = drive.pieces().size();
    bool committed = false;
    for (const auto& commit : drive.commits()) committed = committed || commit.status.ok();
    for (const auto& sqe : drive.adminCommands()) nameWrites += (sqe[0] == 0xE5 || sqe[0] == 0xF1) ? 1 : 0;
    if (r.pieces == all) {
      EXPECT_GT(accepted, 0u);
      EXPECT_EQ(accepted, imagePieces) << "every piece accepted";
    } else {
      EXPECT_EQ(r.pieces, imagePieces);
    }
    EXPECT_EQ(r.committed, committed);
    EXPECT_EQ(r.nameWrites, nameWrites);
    EXPECT_EQ(0, drive.resets()) << "no power cycle, no reset after a failure";
    if (r.configPath) {
      EXPECT_TRUE(config == maker->configBlock());
    } else {
      EXPECT_TRUE(devinfo == maker->deviceInfoBlock());
    }
    EXPECT_TRUE(drive.activations().empty()) << "nothing ran";
    // What the drive would run at the next reset keeps its settings too: its
    // block comes back from the image as it was, but for the new name.
    machine.PowerCycle();
    lab::Bytes now = maker->configBlock();
    if (r.committed) std::copy(config.begin() + 1064, config.begin() + 1072, now.begin() + 1064);
    EXPECT_TRUE(config == now) << "the drive's settings after a reset";
    printf("| %s | %s | %ls | %ls | %zu pieces%s%s | %s |\n", t.name, r.what, LastBox().c_str(), logged[0].c_str() + 5,
           imagePieces,
           committed ? ", commit" : "", nameWrites ? ", name write" : "",
           (r.configPath ? config == maker->configBlock() : devinfo == maker->deviceInfoBlock()) ? "intact"
                                                                                                  : "CHANGED");
  }
}

// A drive swapped into the same place while the question is open never
// receives the image chosen for the drive that passed the checks.
TEST_P(RefusalMatrixTest, ADriveSwappedInDuringTheQuestionReceivesNothing) {
  const TransportCase& t = GetParam();
  Build((std::string(t.line) + " model=\"KESTREL LAB NVME 512GB\" serial=CHECKED-1 maker\n").c_str());
  Start();
  ASSERT_EQ(1u, Entries(dlg).size());
  lab::NvmeDrive* swapped = nullptr;
  lab::DriveSpec other;
  other.model = "KESTREL LAB NVME 512GB";
  other.serial = "SWAPPED-IN-2";
  machine.WhileMessageBoxOpen([&](const lab::MessageBoxRecord& box) {
    if (box.type != UINT(MB_ICONWARNING | MB_YESNO) || swapped != nullptr) return;
    ASSERT_TRUE(machine.Unplug(0));
    std::string error;
    // The same place, the same number, another drive of the same model.
    ASSERT_TRUE(lab::BuildScenario(machine,
                                   std::string(t.line) + " model=\"KESTREL LAB NVME 512GB\" serial=SWAPPED-IN-2 maker\n",
                                   &error))
        << error;
    swapped = machine.DriveAt(0);
  });
  Run();
  machine.WhileMessageBoxOpen(nullptr);
  ASSERT_NE(nullptr, swapped);
  EXPECT_EQ(L"Update FW Fail !", FirstLine(LastBox()));
  EXPECT_TRUE(swapped->pieces().empty()) << "no byte of the image";
  EXPECT_TRUE(swapped->commits().empty());
  for (const auto& sqe : swapped->adminCommands()) {
    EXPECT_NE(0xE5, sqe[0]);
    EXPECT_NE(0xF1, sqe[0]);
  }
  EXPECT_EQ(1u, LinesContaining(L"is not the drive that passed the checks").size());
}

// A commit answered "image taken, to run after a reset" is a success on
// every transport: the name is written, a bridge is power-cycled, the drive
// is found again, and the log names the reset (through the system's driver,
// as the driver names it). Any other refusal of the commit stays a failure,
// and the log says what answered.
class CommitAnswerTest : public UpdateRunTest, public ::testing::WithParamInterface<TransportCase> {};

TEST_P(CommitAnswerTest, AResetNeededIsSuccessAndARefusalIsNot) {
  const TransportCase& t = GetParam();
  const std::string transport = t.name;
  const bool driver = transport == "native" || transport == "RST";  // the system's driver translates
  struct Case {
    uint16_t field;
    const wchar_t* reset;  // nullptr: no reset named
  } taken[] = {
      {0x10B, driver ? L"a power cycle" : L"a conventional reset"},
      {0x110, driver ? nullptr : L"an NVM subsystem reset"},
      {0x111, driver ? nullptr : L"a controller reset"},
      {0x4111, driver ? nullptr : L"a controller reset"},  // Do-Not-Retry changes nothing
  };
  auto fresh = [&]() -> lab::NvmeDrive* {
    Close();
    machine.Reset();
    Build((std::string(t.line) + " model=\"KESTREL LAB NVME 512GB\" maker\n").c_str());
    Start();
    machine.QueueMessageBoxAnswer(IDYES);
    machine.QueueMessageBoxAnswer(IDCANCEL);
    return machine.DriveAt(0);
  };
  for (const Case& c : taken) {
    SCOPED_TRACE(transport + ", commit answered 0x" + std::to_string(c.field));
    lab::NvmeDrive* drive = fresh();
    drive->AnswerCommitWith(c.field);
    Run();
    EXPECT_NE(std::wstring::npos, LastBox().find(L"The firmware was updated")) << LastBox().c_str();
    std::vector<std::wstring> named = LinesContaining(L"[VX] FWCommit: the drive took the image; it runs after ");
    printf("| 0x%04X | %s | success, %ls |\n", c.field, t.name, c.reset != nullptr ? c.reset : L"no reset named");
    if (c.reset != nullptr) {
      ASSERT_EQ(1u, named.size());
      EXPECT_NE(std::wstring::npos, named[0].find(c.reset));
    } else {
      EXPECT_TRUE(named.empty());
    }
    size_t nameWrites = 0;
    for (const auto& sqe : drive->adminCommands()) nameWrites += sqe[0] == 0xE5 ? 1 : 0;
    EXPECT_EQ(1u, nameWrites) << "the name is written";
    EXPECT_EQ(t.bridge ? 1 : 0, drive->resets()) << "a bridge power-cycles the drive";
    EXPECT_TRUE(LinesContaining(L"was not found again").empty());
  }
  struct Refused {
    lab::NvmeStatus status;
    const wchar_t* log;
  } refused[] = {
      {lab::nvme::InvalidFirmwareSlot,
       transport == "native" ? L"the commit failed: the request failed with Windows error 1117"
       : driver              ? L"the commit failed: the driver answered firmware status 0x06 (Invalid Slot)"
                             : L"the commit failed: the drive answered Invalid Firmware Slot (0x0106)"},
      {lab::nvme::InvalidFirmwareImage,
       transport == "native" ? L"the commit failed: the request failed with Windows error 1117"
       : driver              ? L"the commit failed: the driver answered firmware status 0x07 (Invalid Image)"
                             : L"the commit failed: the drive answered Invalid Firmware Image (0x0107)"},
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(transport + ", commit refused with 0x" + std::to_string(r.status.field()));
    lab::NvmeDrive* drive = fresh();
    drive->FailOpcode(0x10, r.status);
    Run();
    EXPECT_EQ(L"Update FW Fail !", FirstLine(LastBox()));
    EXPECT_EQ(1u, LinesContaining((std::wstring(L"[VX] UpdateWorker: ") + r.log).c_str()).size());
    printf("| 0x%04X | %s | failure: %ls |\n", r.status.field(), t.name, r.log);
    EXPECT_EQ(0, drive->resets());
  }
}

INSTANTIATE_TEST_SUITE_P(OnEveryTransport, CommitAnswerTest, ::testing::ValuesIn(kTransports),
                         [](const ::testing::TestParamInfo<TransportCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(OnEveryTransport, RefusalMatrixTest, ::testing::ValuesIn(kTransports),
                         [](const ::testing::TestParamInfo<TransportCase>& info) { return std::string(info.param.name); });

TEST_F(UpdateRunTest, RunRefusesADriveThatIsNotFoundAgain) {
  Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=GONE-1 maker\n");
  Start();
  ASSERT_TRUE(machine.Unplug(0));
  SendMessageW(dlg, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(0, IsBusy());
  EXPECT_EQ(L"The drive was not found. Check that it is connected, then press RUN again.", LastBox());
  EXPECT_EQ(1u, machine.MessageBoxes().size()) << "no question";
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg, IDOK)));

  // Another drive in its place is not the drive either.
  Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=OTHER-2 maker\n");
  SendMessageW(dlg, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(0, IsBusy());
  EXPECT_EQ(2u, machine.MessageBoxes().size());
  EXPECT_EQ(L"The drive was not found. Check that it is connected, then press RUN again.", LastBox());
  EXPECT_TRUE(machine.DriveAt(0)->pieces().empty());
}

// After a run whose drive never came back only the disconnect entry is
// listed: choosing it is choosing no drive, and RUN starts nothing.
TEST_F(UpdateRunTest, TheDisconnectEntryIsNoDrive) {
  Build("usb disk=1 chip=jmicron ports=3 reappear=60000 model=\"KESTREL LAB NVME 512GB\" maker\n"
        "volume letter=E disk=1\n");
  Start();
  ASSERT_EQ((std::vector<std::wstring>{L"KESTREL LAB NVME 512GB [E: ]"}), Entries(dlg));
  Run();
  // The text the user saw, though re-identification knows no letters.
  ASSERT_EQ((std::vector<std::wstring>{L"KESTREL LAB NVME 512GB [E: ] - Disconnect"}), Entries(dlg));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dlg, IDOK))) << "RUN with no drive listed";
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg, IDC_DRIVE_LIST)));
  size_t boxes = machine.MessageBoxes().size();
  Select(0);
  EXPECT_EQ(L"", std::wstring(GetAppState()->SelectedDrive.szDevicePath));
  SendMessageW(dlg, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(boxes, machine.MessageBoxes().size()) << "no question, no refusal: nothing was chosen";
  EXPECT_EQ(0, IsBusy());
}

// A list rebuild in the middle of the download probes the other drives as
// usual and sends the drive under update nothing; its entry stays.
TEST_F(UpdateRunTest, ARebuildDuringTheRunSendsNothingToTheDriveUnderUpdate) {
  for (const char* line : {"nvme disk=0 bus=2", "usb disk=0 chip=asmedia ports=3", "usb disk=0 chip=jmicron ports=4"}) {
    SCOPED_TRACE(line);
    Close();
    machine.Reset();
    Build((std::string(line) + " model=\"KESTREL LAB NVME 512GB\" serial=UNDER-UPDATE maker\n"
                               "nvme disk=1 bus=3 model=\"KESTREL LAB NVME 1TB\" serial=OTHER size=1000 maker\n"
                               "volume letter=E disk=0\n")
              .c_str());
    Start();
    lab::NvmeDrive* updated = machine.DriveAt(0);
    lab::NvmeDrive* other = machine.DriveAt(1);
    auto probes = [](lab::NvmeDrive* d) {
      size_t n = 0;
      for (const auto& sqe : d->adminCommands()) n += (sqe[0] == 0x06 || sqe[0] == 0xE6 || sqe[0] == 0xF2) ? 1 : 0;
      return n;
    };
    size_t updatedBefore = 0, otherBefore = 0, updatedAfter = 0, otherAfter = 0;
    std::vector<std::wstring> during;
    g_onPosition = [&](int position) {
      if (position != 15 || !during.empty()) return;
      updatedBefore = probes(updated);
      otherBefore = probes(other);
      RefreshDriveList(dlg, 0);
      updatedAfter = probes(updated);
      otherAfter = probes(other);
      during = Entries(dlg);
    };
    Run();
    g_onPosition = nullptr;
    EXPECT_EQ(updatedBefore, updatedAfter) << "no probe reached the drive under update";
    EXPECT_LT(otherBefore, otherAfter) << "the other drive was probed";
    EXPECT_EQ((std::vector<std::wstring>{L"KESTREL LAB NVME 512GB [E: ]", L"KESTREL LAB NVME 1TB (RAW)"}), during);
    EXPECT_NE(std::wstring::npos, LastBox().find(L"Restart the computer"));
  }
}

// A rebuild while the question is open re-reads the chosen drive; when a
// vendor read fails in that probe, the refreshed record says the drive has
// no configuration block. The worker still updates the drive that passed
// the checks, on its path: the drive keeps its own settings.
TEST_F(UpdateRunTest, ARebuildDuringTheQuestionChangesNothingTheWorkerUses) {
  Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" serial=OWN-SERIAL-7 maker layout=06E8\n");
  Start();
  lab::NvmeDrive* drive = machine.DriveAt(0);
  machine.WhileMessageBoxOpen([&](const lab::MessageBoxRecord& box) {
    if (box.type != UINT(MB_ICONWARNING | MB_YESNO)) return;
    drive->FailOpcode(0xE6, lab::nvme::DataTransferError);
    RefreshDriveList(dlg, 0);
    drive->FailOpcode(0xE6, lab::nvme::Success);
    EXPECT_EQ(0, GetAppState()->SelectedDrive.bVendorInfo) << "the rebuild's own record";
  });
  Run();
  machine.WhileMessageBoxOpen(nullptr);
  size_t configReads = 0;
  for (const auto& sqe : drive->adminCommands()) configReads += (sqe[0] == 0xE6 && lab::Rd32(sqe.data(), 48) == 1);
  EXPECT_LE(1u, configReads) << "the configuration path, as checked";
  machine.PowerCycle();
  DriveRecord after;
  ASSERT_EQ(RES_SUCCESS, GetDiskInfo(L"\\\\.\\PhysicalDrive0", &after));
  EXPECT_EQ(0u, wcsncmp(L"OWN-SERIAL-7", after.szSerial, 12)) << "the drive's block went with the image";
}

// The device information read after the commit comes back blank: nothing is
// written back with the new name, and the run fails.
TEST_F(UpdateRunTest, ABlankDeviceInformationAfterTheCommitIsNeverWrittenBack) {
  Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\"\n");
  lab::NvmeDrive* drive = machine.DriveAt(0);
  lab::MakerSpec spec;
  spec.vendorInfo = false;
  spec.layout = 0x06E8;
  auto maker = lab::GiveMakerPersonality(*drive, spec);
  Start();
  const lab::Bytes devinfo = maker->deviceInfoBlock();
  g_onPosition = [&](int position) {
    if (position == 60) maker->blankDeviceInfo = 0xFF;
  };
  Run();
  g_onPosition = nullptr;
  EXPECT_EQ(L"Update FW Fail !", FirstLine(LastBox()));
  ASSERT_EQ(1u, drive->commits().size());
  for (const auto& sqe : drive->adminCommands()) EXPECT_NE(0xF1, sqe[0]);
  EXPECT_TRUE(devinfo == maker->deviceInfoBlock());
  EXPECT_EQ(1u, LinesContaining(L"WriteVendorFwName: the device information read back is blank").size());
}

// What the drive and its driver ask for, asked before the first piece.
class FirmwarePlanTest : public UpdateRunTest, public ::testing::WithParamInterface<TransportCase> {
 protected:
  lab::NvmeDrive* Fresh(const std::string& keys) {
    Close();
    machine.Reset();
    Build((std::string(GetParam().line) + " model=\"KESTREL LAB NVME 512GB\" maker " + keys + "\n").c_str());
    Start();
    machine.QueueMessageBoxAnswer(IDYES);
    machine.QueueMessageBoxAnswer(IDCANCEL);
    return machine.DriveAt(0);
  }
};

TEST_P(FirmwarePlanTest, PiecesAndSlotFollowWhatTheDriveAsks) {
  const struct {
    const char* keys;
    uint32_t piece;
    uint8_t slot;
  } cases[] = {
      {"", 4096, 1},
      {"fwug=8", 32768, 1},                   // 32 KiB units
      {"slot1ro", 4096, 2},                   // slot 1 read-only: the next writable one
      {"fwug=0xFF slots=3 slot1ro", 4096, 2},  // no granularity: 4096 as ever
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(GetParam().name) + ", " + c.keys);
    lab::NvmeDrive* drive = Fresh(c.keys);
    Run();
    EXPECT_NE(std::wstring::npos, LastBox().find(L"The firmware was updated")) << LastBox().c_str();
    ASSERT_FALSE(drive->pieces().empty());
    for (const auto& p : drive->pieces()) EXPECT_EQ(c.piece, p.length) << p.offset;
    ASSERT_FALSE(drive->commits().empty());
    EXPECT_EQ(c.slot, drive->commits().back().slot);
  }
}

INSTANTIATE_TEST_SUITE_P(OnEveryTransport, FirmwarePlanTest, ::testing::ValuesIn(kTransports),
                         [](const ::testing::TestParamInfo<TransportCase>& info) { return std::string(info.param.name); });

TEST_F(UpdateRunTest, TheNativeDriversLimitsAndAWaitingImageAreHeldToBeforeAnythingIsSent) {
  const struct {
    const char* keys;
    uint32_t piece;     // 0: nothing may be sent
    const wchar_t* why;
  } cases[] = {
      {"fwug=4 maxpayload=16384", 16384, nullptr},
      {"maxpayload=16384 align=16384", 16384, nullptr},
      {"fwug=8 maxpayload=16384", 0, L"the Windows NVMe driver takes 16384 at most"},
      {"align=65536 maxpayload=32768", 0, L"the Windows NVMe driver takes 32768 at most"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    Close();
    machine.Reset();
    Build((std::string("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" maker ") + c.keys + "\n").c_str());
    Start();
    machine.QueueMessageBoxAnswer(IDYES);
    machine.QueueMessageBoxAnswer(IDCANCEL);
    lab::NvmeDrive* drive = machine.DriveAt(0);
    Run();
    if (c.piece == 0) {
      EXPECT_TRUE(drive->pieces().empty());
      EXPECT_TRUE(drive->commits().empty());
      EXPECT_NE(std::wstring::npos, LastBox().find(c.why)) << LastBox().c_str();
    } else {
      ASSERT_FALSE(drive->pieces().empty());
      for (const auto& p : drive->pieces()) EXPECT_GE(c.piece, p.length);
      EXPECT_EQ(c.piece, drive->pieces()[0].length);
    }
  }

  // An image committed before, still waiting for its reset: nothing more is sent.
  Close();
  machine.Reset();
  Build("nvme disk=0 bus=2 model=\"KESTREL LAB NVME 512GB\" maker\n");
  Start();
  machine.QueueMessageBoxAnswer(IDYES);
  machine.QueueMessageBoxAnswer(IDCANCEL);
  lab::NvmeDrive* drive = machine.DriveAt(0);
  lab::Bytes waiting = lab::MakeLabImage(4096, "1.5.0.00");
  ASSERT_TRUE(drive->Download(0, waiting.data(), waiting.size()).ok());
  ASSERT_TRUE(drive->Commit(2, 1).ok());
  Run();
  EXPECT_EQ(1u, drive->pieces().size()) << "only the earlier piece";
  EXPECT_EQ(1u, drive->commits().size());
  EXPECT_NE(std::wstring::npos, LastBox().find(L"already waits to be activated")) << LastBox().c_str();
}
