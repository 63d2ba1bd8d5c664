// KestrelLab.exe: the updater's own dialog over the virtual machine room,
// with a small lab control window to unplug and plug drives by hand.
#include <windows.h>

#include <cstdio>
#include <string>

#include "Lab.h"
#include "Scenario.h"
#include "app/Dialog.h"
#include "app/Text.h"

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

std::string ReadScenario() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring file = path;
  file = file.substr(0, file.find_last_of(L'\\') + 1) + L"KestrelLab.scenario";
  FILE* f = _wfopen(file.c_str(), L"rb");
  if (f == nullptr) return kDefaultScenario;
  std::string text;
  char chunk[1024];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  fclose(f);
  return text;
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

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  std::string error;
  if (!lab::BuildScenario(lab::Machine::Get(), ReadScenario(), &error)) {
    std::wstring text(error.begin(), error.end());
    MessageBoxW(nullptr, text.c_str(), L"Kestrel Lab scenario", MB_OK | MB_ICONERROR);
    return 1;
  }
  OpenControlWindow(instance);
  return RunKestrel(instance);
}
