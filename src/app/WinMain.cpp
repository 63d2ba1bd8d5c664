// Kestrel.exe: the updater on the real machine.
#include <windows.h>

#include "app/Dialog.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  if (!RestrictDllSearch()) return 1;
  return RunKestrel(instance, commandLine);
}
