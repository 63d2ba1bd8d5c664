// How long one full scan takes in the lab and would take on a real PC, and
// how many device-tree calls and device requests it makes, for machines of 1, 5, 10 and 20 drives spread
// over the four transports; and how long a whole update takes on each
// transport against the waiting the design prescribes. Not a test: tables
// to read.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include <commctrl.h>

#include "Lab.h"
#include "Scenario.h"
#include "app/AppState.h"
#include "app/Dialog.h"
#include "discovery/Discovery.h"
#include "platform/SystemDlls.h"
#include "resources/resource.h"

namespace {

// Native, RST, ASMedia and JMicron drives in turn, each of the maker.
std::string Machine(int drives) {
  std::string text;
  for (int n = 0; n < drives; ++n) {
    std::string disk = " disk=" + std::to_string(n) + " maker serial=BENCH" + std::to_string(n);
    switch (n % 4) {
      case 0: text += "nvme" + disk + " bus=" + std::to_string(2 + n) + "\n"; break;
      case 1: text += "rst" + disk + " port=30 path=" + std::to_string(n) + "\n"; break;
      case 2: text += "usb" + disk + " chip=asmedia ports=" + std::to_string(1 + n % 10) + "\n"; break;
      default: text += "usb" + disk + " chip=jmicron controller=2 ports=4." + std::to_string(1 + n % 10) + "\n"; break;
    }
  }
  return text + "volume letter=C disk=0\n";
}

double Seconds() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return double(now.QuadPart) / double(frequency.QuadPart);
}

// One whole update through the dialog with pauses in real time, against the
// waiting the design prescribes: two 3-second pauses, a third after a bridge's
// power cycle; the drive is back before re-identification looks for it.
void UpdateTable() {
  struct Case {
    const char* name;
    const char* line;
    double prescribed;
  } cases[] = {
      {"native", "nvme disk=0 bus=2", 6.0},
      {"RST", "rst disk=0 port=3 path=0 bus=5", 6.0},
      {"ASMedia", "usb disk=0 chip=asmedia ports=3 reappear=2000", 9.0},
      {"JMicron", "usb disk=0 chip=jmicron ports=3 reappear=2000", 9.0},
  };
  lab::Machine& machine = lab::Machine::Get();
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  sysdll::InitCommonControlsEx(&controls);
  printf("\ntransport  wall s  prescribed s  ratio  result\n");
  for (const Case& c : cases) {
    machine.Reset();
    std::string error;
    lab::BuildScenario(machine, std::string(c.line) + " model=\"KESTREL LAB NVME 512GB\" maker\n", &error);
    machine.SetRealTime(true);
    machine.QueueMessageBoxAnswer(IDYES);
    machine.QueueMessageBoxAnswer(IDCANCEL);
    ZeroMemory(GetAppState(), sizeof(AppState));
    HWND dlg = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_KESTREL), nullptr, DialogProc, 0);
    double start = Seconds();
    SendMessageW(dlg, WM_COMMAND, IDOK, 0);
    while (IsBusy() || !IsWindowEnabled(GetDlgItem(dlg, IDOK))) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      MsgWaitForMultipleObjectsEx(0, nullptr, 50, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    double wall = Seconds() - start;
    bool updated = machine.MessageBoxes().size() == 2 &&
                   machine.MessageBoxes().back().text.find(L"updated") != std::wstring::npos;
    printf("%-9s  %6.2f  %12.1f  %5.3f  %s\n", c.name, wall, c.prescribed, wall / c.prescribed,
           updated ? "updated" : "FAILED");
    SendMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
    DestroyWindow(dlg);
  }
}

}  // namespace

// A PC of about this many device nodes before its drives are counted in.
constexpr int kMachineNodes = 150;

int main() {
  lab::Machine& machine = lab::Machine::Get();
  printf("Machines of %d device nodes. Wall: this scan in the lab, with the lab's pauses that give other\n"
         "threads their turn; modelled: what its calls would take on a real PC.\n",
         kMachineNodes);
  printf("drives  found  wall ms  of it pauses  modelled ms  of it tree  tree calls  per drive  device requests  per drive"
         "  re-identify: tree calls  modelled ms\n");
  for (int drives : {1, 5, 10, 20}) {
    // The drives sit in the middle of the tree: the chipset before them,
    // input, audio and network after.
    machine.Reset();
    std::string error;
    if (!lab::BuildScenario(machine, Machine(drives), &error)) {
      printf("scenario: %s\n", error.c_str());
      return 1;
    }
    int others = kMachineNodes > machine.NodeCount() ? kMachineNodes - machine.NodeCount() : 0;
    machine.Reset();
    machine.AddOtherDevices(others / 2);
    lab::BuildScenario(machine, Machine(drives), &error);
    machine.AddOtherDevices(others - others / 2);
    static DriveRecord slots[DRIVE_TABLE_SIZE];
    int treeBefore = machine.TreeCallCount();
    uint64_t modelledBefore = machine.ModelledMicros();
    uint64_t treeMicrosBefore = machine.ModelledTreeMicros();
    uint64_t pausedBefore = machine.PausedMicros();
    double start = Seconds();
    UINT32 found = ScanDisks(slots, DRIVE_TABLE_SIZE);
    double elapsed = Seconds() - start;
    double paused = double(machine.PausedMicros() - pausedBefore) / 1000.0;
    int tree = machine.TreeCallCount() - treeBefore;
    double modelled = double(machine.ModelledMicros() - modelledBefore) / 1000.0;
    double modelledTree = double(machine.ModelledTreeMicros() - treeMicrosBefore) / 1000.0;
    size_t requests = machine.Requests().size();
    // Finding the last drive again, as after its update.
    int treeAgain = machine.TreeCallCount();
    uint64_t modelledAgain = machine.ModelledMicros();
    DriveRecord last = slots[found > 0 ? found - 1 : 0];
    GetDiskInfoByPortID(&last, 1);
    printf("%6d  %5u  %7.1f  %12.1f  %11.1f  %10.1f  %10d  %9.1f  %15zu  %9.1f  %23d  %11.1f\n", drives, found,
           elapsed * 1000.0, paused, modelled, modelledTree, tree, double(tree) / drives, requests, double(requests) / drives,
           machine.TreeCallCount() - treeAgain, double(machine.ModelledMicros() - modelledAgain) / 1000.0);
  }
  UpdateTable();
  return 0;
}
