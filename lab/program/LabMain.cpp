// KestrelLab.exe: the updater's own dialog over the virtual machine room,
// with a small lab control window to unplug and plug drives by hand.
#include <windows.h>

#include <cstdio>
#include <string>

#include <commctrl.h>

#include <thread>

#include "Lab.h"
#include "NvmeDrive.h"
#include "Scenario.h"
#include "app/Dialog.h"
#include "app/Text.h"
#include "app/Unattended.h"
#include "discovery/Discovery.h"
#include "resources/resource.h"

namespace {

// The maker's drives on all four transports (one behind a USB hub, two RAW),
// and a drive of another maker the package does not list.
const char kDefaultScenario[] =
    "nvme disk=0 bus=2 link=3x4 max=3x4 model=\"KESTREL LAB NVME 512GB\" serial=KS512N0000000001 maker\n"
    "rst disk=1 port=3 path=0 bus=5 model=\"KESTREL LAB NVME 1TB\" serial=KS1TR00000000002 size=1000 fw=1.1.0.00 "
    "maker nand=983E98B376E3\n"
    "usb disk=2 chip=asmedia ports=3 model=\"KESTREL LAB NVME 512GB\" serial=KS512A0000000003 maker\n"
    "usb disk=3 chip=jmicron ports=4.2 model=\"KESTREL LAB NVME 1TB\" serial=KS1TJ00000000004 size=1000 maker\n"
    "nvme disk=4 bus=7 model=\"OTHER MAKER SSD 1TB\" vid=144D ssvid=144D size=1000\n"
    "volume letter=C disk=0\n"
    "volume letter=D disk=0\n"
    "volume letter=E disk=1\n";

constexpr int ID_DISKS = 100, ID_UNPLUG = 101, ID_PLUG = 102;

constexpr wchar_t kScenarioFile[] = L"KestrelLab.scenario";

// The scenario file named, else the one beside the program, else the
// built-in machine; name says which.
std::string ReadScenario(std::wstring file, std::wstring* name) {
  if (file.empty()) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    file = path;
    file = file.substr(0, file.find_last_of(L'\\') + 1) + kScenarioFile;
  }
  FILE* f = _wfopen(file.c_str(), L"rb");
  *name = f != nullptr ? file : L"the built-in machine";
  if (f == nullptr) return kDefaultScenario;
  std::string text;
  char chunk[1024];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  fclose(f);
  return text;
}

// By hand the lab waits for the person: real message boxes, real time.
// "--auto" answers every box itself in virtual time; "--guided FOLDER" is
// the demo command's whole update, clicked by the lab itself in real time.
enum class Mode { ByHand, Auto, Guided };

// The lab's own switches, taken off the front of the command line; what
// follows is the updater's. "--scenario FILE" builds that machine, "--state
// FILE" keeps it from run to run (drives, registry, clock) as a real machine
// keeps them, "--restart" restarts it before the run.
struct LabSwitches {
  std::wstring scenario, state;
  bool restart = false;
};

std::wstring NextWord(std::wstring& args) {
  size_t start = args.find_first_not_of(L' ');
  if (start == std::wstring::npos) {
    args.clear();
    return L"";
  }
  size_t end;
  std::wstring word;
  if (args[start] == L'"') {
    end = args.find(L'"', start + 1);
    word = args.substr(start + 1, end == std::wstring::npos ? std::wstring::npos : end - start - 1);
    if (end != std::wstring::npos) ++end;
  } else {
    end = args.find(L' ', start);
    word = args.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
  }
  args = end == std::wstring::npos ? L"" : args.substr(end);
  return word;
}

bool TakeLabSwitches(std::wstring* args, LabSwitches* lab) {
  for (;;) {
    std::wstring rest = *args, word = NextWord(rest);
    if (word == L"--restart") {
      lab->restart = true;
    } else if (word == L"--scenario" || word == L"--state") {
      std::wstring value = NextWord(rest);
      if (value.empty()) return false;
      (word == L"--state" ? lab->state : lab->scenario) = value;
    } else {
      return true;
    }
    *args = rest;
  }
}

// Every window made on the updater's thread, counted: an unattended run
// must make none.
int g_windows = 0;
LRESULT CALLBACK CountWindows(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND) ++g_windows;
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

bool ReadMode(std::wstring args, Mode* mode, std::wstring* folder) {
  while (!args.empty() && args.back() == L' ') args.pop_back();
  if (args.rfind(L"--guided ", 0) == 0) {
    *mode = Mode::Guided;
    *folder = args.substr(9);
    return true;
  }
  *mode = args == L"--auto" ? Mode::Auto : Mode::ByHand;
  return args.empty() || args == L"--auto";
}

// What stops the lab goes to the console, and to a box when someone is
// there to read it.
int Refuse(const std::wstring& text, bool person) {
  char utf8[1024] = "";
  int n = WideCharToMultiByte(CP_UTF8, 0, (text + L"\n").c_str(), -1, utf8, sizeof utf8, nullptr, nullptr);
  DWORD written = 0;
  if (n > 1) WriteFile(GetStdHandle(STD_ERROR_HANDLE), utf8, DWORD(n - 1), &written, nullptr);
  if (person) MessageBoxW(nullptr, text.c_str(), L"Kestrel Lab", MB_OK | MB_ICONERROR);
  return 1;
}

void FillDiskList(HWND list) {
  SendMessageW(list, LB_RESETCONTENT, 0, 0);
  for (const auto& disk : lab::Machine::Get().Disks()) {
    wchar_t line[160];
    FormatText(line, L"PhysicalDrive%d  %S  %s", disk.deviceNumber, disk.model.c_str(),
               disk.present ? L"" : L"(unplugged)");
    LRESULT item = SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
    SendMessageW(list, LB_SETITEMDATA, item, disk.deviceNumber);
  }
}

LRESULT CALLBACK ControlProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      HWND list = CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", nullptr, WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOTIFY,
                                  10, 10, 380, 120, hwnd, reinterpret_cast<HMENU>(ID_DISKS), nullptr, nullptr);
      CreateWindowExW(0, L"BUTTON", L"Unplug", WS_CHILD | WS_VISIBLE, 10, 140, 120, 26, hwnd,
                      reinterpret_cast<HMENU>(ID_UNPLUG), nullptr, nullptr);
      CreateWindowExW(0, L"BUTTON", L"Plug back", WS_CHILD | WS_VISIBLE, 140, 140, 120, 26, hwnd,
                      reinterpret_cast<HMENU>(ID_PLUG), nullptr, nullptr);
      FillDiskList(list);
      return 0;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == ID_UNPLUG || LOWORD(wParam) == ID_PLUG) {
        HWND list = GetDlgItem(hwnd, ID_DISKS);
        LRESULT item = SendMessageW(list, LB_GETCURSEL, 0, 0);
        if (item != LB_ERR) {
          int number = int(SendMessageW(list, LB_GETITEMDATA, item, 0));
          if (LOWORD(wParam) == ID_UNPLUG) lab::Machine::Get().Unplug(number);
          else lab::Machine::Get().PlugBack(number);
          FillDiskList(list);
        }
      }
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

void OpenControlWindow(HINSTANCE instance) {
  WNDCLASSW cls = {};
  cls.lpfnWndProc = ControlProc;
  cls.hInstance = instance;
  cls.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  cls.lpszClassName = L"KestrelLabControl";
  RegisterClassW(&cls);
  HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, cls.lpszClassName, L"Kestrel Lab - machine room",
                                WS_OVERLAPPED | WS_CAPTION | WS_VISIBLE, 20, 20, 410, 210, nullptr, nullptr, instance,
                                nullptr);
  ShowWindow(window, SW_SHOWNOACTIVATE);
}

// The guided demo: one whole update driven from a second thread, as a person
// would do it, with marks for the screenshots the demo command takes.
class GuidedRun {
 public:
  explicit GuidedRun(std::wstring folder) : folder_(std::move(folder)) {}

  void operator()() {
    HWND dlg = WaitFor([] { return FindDialog(nullptr); }, 30000);
    if (dlg == nullptr) return;
    Sleep(1500);  // the first list and panel
    Mark(L"ready");
    DriveRecord before = Probe();
    PostMessageW(dlg, WM_COMMAND, IDOK, 0);
    // The question, with the panel naming what the drive runs and will run.
    if (WaitFor([dlg] { return FindDialog(dlg); }, 30000) == nullptr) return;
    Sleep(500);
    Mark(L"question");
    Click(dlg, IDYES);
    WaitFor([dlg]() -> HWND {
      return SendDlgItemMessageW(dlg, IDC_PROGRESS, PBM_GETPOS, 0, 0) >= 40 ? dlg : nullptr;
    }, 60000);
    Mark(L"progress");
    HWND box = WaitFor([dlg] { return FindDialog(dlg); }, 120000);
    if (box == nullptr) return;
    Sleep(500);
    Mark(L"done");
    Click(dlg, IDCANCEL);  // not now: the panel says the new firmware waits for the restart
    Sleep(500);
    Mark(L"waiting");
    // The ASMedia drive refuses its third piece: the failure says what and why.
    lab::Machine::Get().DriveAt(2)->FailOpcode(0x11, lab::NvmeStatus::FromField(0x0004), 2);
    SendDlgItemMessageW(dlg, IDC_DRIVE_LIST, CB_SETCURSEL, 2, 0);
    SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDC_DRIVE_LIST, CBN_SELENDOK),
                 reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDC_DRIVE_LIST)));
    PostMessageW(dlg, WM_COMMAND, IDOK, 0);
    Click(dlg, IDYES);
    box = WaitFor([dlg] { return FindDialog(dlg); }, 120000);
    if (box == nullptr) return;
    Sleep(500);
    Mark(L"failure");
    Click(dlg, IDOK);
    lab::Machine::Get().Restart();  // the restart the first update waits for
    Sleep(500);
    DriveRecord after = Probe();
    Report(before, after);
    PostMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
  }

 private:
  template <typename F>
  static HWND WaitFor(F find, DWORD ms) {
    for (DWORD waited = 0; waited < ms; waited += 50) {
      if (HWND h = find()) return h;
      Sleep(50);
    }
    return nullptr;
  }

  // The updater's dialog, or a message box beside it (not the dialog).
  static HWND FindDialog(HWND besides) {
    HWND found = nullptr;
    for (HWND h = FindWindowExW(nullptr, nullptr, L"#32770", nullptr); h; h = FindWindowExW(nullptr, h, L"#32770", nullptr)) {
      DWORD pid = 0;
      GetWindowThreadProcessId(h, &pid);
      if (pid != GetCurrentProcessId() || !IsWindowVisible(h)) continue;
      bool isDialog = GetDlgItem(h, IDC_DRIVE_LIST) != nullptr;
      if (besides == nullptr ? isDialog : (!isDialog && h != besides)) found = h;
    }
    return found;
  }

  static void Click(HWND dlg, int button) {
    HWND box = WaitFor([dlg] { return FindDialog(dlg); }, 30000);
    if (box == nullptr) return;
    Sleep(400);
    SendMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
    Sleep(300);
  }

  // A mark the demo command waits for; it answers when its screenshot is taken.
  void Mark(const wchar_t* name) {
    std::wstring ready = folder_ + L"\\" + name + L".ready", taken = folder_ + L"\\" + name + L".taken";
    FILE* f = _wfopen(ready.c_str(), L"w");
    if (f != nullptr) fclose(f);
    for (int i = 0; i < 100 && GetFileAttributesW(taken.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
  }

  static DriveRecord Probe() {
    DriveRecord record;
    GetDiskInfo(L"\\\\.\\PhysicalDrive0", &record);
    return record;
  }

  void Report(const DriveRecord& before, const DriveRecord& after) {
    WCHAR text[512];
    FormatText(text, 512,
               L"PhysicalDrive0 before: revision %s, internal version %s, serial %s\r\n"
               L"PhysicalDrive0 after:  revision %s, internal version %s, serial %s\r\n",
               before.szFwRevision, before.DrvInfoVersion, before.szSerial, after.szFwRevision, after.DrvInfoVersion,
               after.szSerial);
    char utf8[1024] = "";
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    FILE* f = _wfopen((folder_ + L"\\demo-report.txt").c_str(), L"wb");
    if (f != nullptr) {
      fputs(utf8, f);
      fclose(f);
    }
  }

  std::wstring folder_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  if (!RestrictDllSearch()) return 1;
  std::wstring args = commandLine != nullptr ? commandLine : L"";
  LabSwitches labSwitches;
  bool labOk = TakeLabSwitches(&args, &labSwitches);
  // A switch of the updater's ("/list", "-update") makes an unattended run:
  // virtual time, no lab window, no box that waits for anyone.
  std::wstring first = args.substr(args.find_first_not_of(L' ') == std::wstring::npos ? args.size()
                                                                                      : args.find_first_not_of(L' '));
  bool unattended = !first.empty() && (first[0] == L'/' || (first[0] == L'-' && first.rfind(L"--", 0) != 0));
  Mode mode = Mode::Auto;
  std::wstring folder;
  if (!labOk || (!unattended && !ReadMode(args, &mode, &folder)))
    return Refuse(L"Usage: KestrelLab.exe [--scenario FILE] [--state FILE] [--restart] "
                  L"[--auto | --guided FOLDER | the updater's switches]",
                  !unattended);
  std::wstring name;
  std::string text = ReadScenario(labSwitches.scenario, &name), error;
  lab::Machine& machine = lab::Machine::Get();
  bool person = mode == Mode::ByHand && !unattended;
  if (!lab::BuildScenario(machine, text, &error))
    return Refuse(name + L", " + std::wstring(error.begin(), error.end()) +
                      L"\r\n\r\nThe lab starts only with the whole machine the file describes.",
                  person);
  if (!labSwitches.state.empty() && GetFileAttributesW(labSwitches.state.c_str()) != INVALID_FILE_ATTRIBUTES &&
      !machine.LoadState(labSwitches.state, &error))
    return Refuse(labSwitches.state + L": " + std::wstring(error.begin(), error.end()), person);
  if (labSwitches.restart) machine.Restart();
  int result;
  if (unattended) {
    machine.SetRealTime(false);
    machine.SetRealMessageBoxes(false);
    HHOOK hook = SetWindowsHookExW(WH_CBT, CountWindows, nullptr, GetCurrentThreadId());
    result = RunKestrel(instance, args.c_str());
    if (hook != nullptr) UnhookWindowsHookEx(hook);
    // A restart the run asked for happens before the machine is kept.
    for (UINT flags : machine.ShutdownRequests())
      if (flags & EWX_REBOOT) {
        machine.Restart();
        break;
      }
    char counts[80];
    int n = snprintf(counts, sizeof counts, "lab: %d windows, %zu message boxes\n", g_windows,
                     machine.MessageBoxes().size());
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), counts, DWORD(n), &written, nullptr);
  } else {
    machine.SetRealTime(mode != Mode::Auto);
    machine.SetRealMessageBoxes(mode != Mode::Auto);
    OpenControlWindow(instance);
    std::thread guide;
    if (mode == Mode::Guided) guide = std::thread(GuidedRun(folder));
    result = RunKestrel(instance);
    if (guide.joinable()) guide.join();
  }
  if (!labSwitches.state.empty() && !machine.SaveState(labSwitches.state, &error))
    Refuse(labSwitches.state + L": " + std::wstring(error.begin(), error.end()), false);
  return result;
}
