// The program entry, shared by the real updater and the lab program.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>

namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>

#include "app/Dialog.h"
#include "resources/resource.h"

int RunKestrel(HINSTANCE instance) {
  // GDI+ is started and shut down around the dialog, nothing more.
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
  InitCommonControls();
  ZeroMemory(GetAppState(), sizeof(AppState));
  DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_KESTREL), nullptr, DialogProc, 0);
  Gdiplus::GdiplusShutdown(token);
  return 0;
}
