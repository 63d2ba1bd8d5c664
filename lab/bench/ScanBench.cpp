// How long one full scan takes in the lab, and how many device-tree calls and
// device requests it makes, for machines of 1, 5, 10 and 20 drives spread
// over the four transports. Not a test: a table to read.
#include <windows.h>

#include <cstdio>
#include <string>

#include "Lab.h"
#include "Scenario.h"
#include "app/AppState.h"
#include "discovery/Discovery.h"

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

}  // namespace

int main() {
  lab::Machine& machine = lab::Machine::Get();
  printf("drives  found  wall ms  tree calls  device requests\n");
  for (int drives : {1, 5, 10, 20}) {
    machine.Reset();
    std::string error;
    if (!lab::BuildScenario(machine, Machine(drives), &error)) {
      printf("scenario: %s\n", error.c_str());
      return 1;
    }
    static DriveRecord slots[DRIVE_TABLE_SIZE];
    int treeBefore = machine.TreeCallCount();
    double start = Seconds();
    UINT32 found = ScanDisks(slots, DRIVE_TABLE_SIZE);
    double elapsed = Seconds() - start;
    printf("%6d  %5u  %7.1f  %10d  %15zu\n", drives, found, elapsed * 1000.0, machine.TreeCallCount() - treeBefore,
           machine.Requests().size());
  }
  return 0;
}
