// The lab demo: one virtual native NVMe drive receives Identify, a vendor read
// and a 40 KiB firmware image with its commit, and the transcript shows what
// the drive received.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Devices.h"
#include "Lab.h"
#include "app/AppState.h"
#include "platform/Platform.h"
#include "transport/CmdModel.h"

namespace {

std::string Text(const BYTE* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

std::string Narrow(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string s(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &s[0], n, nullptr, nullptr);
  return s;
}

// A window that only collects the progress the updater posts.
HWND MakeProgressSink() {
  return CreateWindowExW(0, L"STATIC", L"progress", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

std::vector<LPARAM> DrainProgress(HWND hwnd) {
  std::vector<LPARAM> posted;
  MSG msg;
  while (PeekMessageW(&msg, hwnd, WM_UPDATE_PROGRESS, WM_UPDATE_PROGRESS, PM_REMOVE)) posted.push_back(msg.lParam);
  return posted;
}

void PrintIdentify(const char* when, HANDLE drive) {
  std::vector<BYTE> id(4096);
  INT32 r = IO_NVMe_Identify(drive, 1, 0, id.data(), DWORD(id.size()));
  printf("%s: Identify Controller -> %d: model \"%s\", serial \"%s\", firmware \"%s\", VID %04X\n", when, r,
         Text(&id[24], 40).c_str(), Text(&id[4], 20).c_str(), Text(&id[64], 8).c_str(), id[0] | id[1] << 8);
}

}  // namespace

int main() {
  lab::Machine& machine = lab::Machine::Get();
  machine.Reset();
  lab::NvmeDrive& drive = machine.AddNativeDrive({0, 1, 0});
  // A stand-in vendor page: the drive answers 0xE6 reads with a marked page.
  drive.SetVendorHandler(0xE6, [](const uint8_t*, lab::Bytes& data, bool) {
    const char mark[] = "LAB VENDOR PAGE";
    for (size_t i = 0; i < sizeof mark - 1 && i < data.size(); ++i) data[i] = uint8_t(mark[i]);
    return lab::nvme::Success;
  });

  AppState* app = GetAppState();
  app->hDlg = MakeProgressSink();
  app->iDebugLog = 1;  // the demo shows the updater's detail log too

  printf("== Kestrel lab demo: one native NVMe drive at \\\\.\\PhysicalDrive0\n");
  HANDLE h = plat::CreateFileW(L"\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    printf("cannot open the virtual drive (error %lu)\n", GetLastError());
    return 1;
  }
  CmdContext ctx = {CMD_NVME, INVALID_HANDLE_VALUE, 0};
  PrintIdentify("before", h);

  std::vector<BYTE> page(4096);
  INT32 r = VendorCmd(&ctx, h, DIR_READ, 0xE6, 3, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15, page.data(),
                      DWORD(page.size()));
  const lab::Bytes& sqe = drive.adminCommands().back();
  printf("vendor read -> %d: drive received opcode %02X, NSID %08X, CDW10 %08X, CDW12 %u, CDW14 \"%.4s\", "
         "CDW15 \"%.4s\"; reply starts \"%s\"\n",
         r, sqe[0], lab::Rd32(sqe.data(), 4), lab::Rd32(sqe.data(), 40), lab::Rd32(sqe.data(), 48), &sqe[56],
         &sqe[60], Text(page.data(), 15).c_str());

  lab::Bytes image = lab::MakeLabImage(40 * 1024, "2.0.0.00");
  r = DownloadFW(&ctx, h, image.data(), UINT32(image.size()));
  printf("DownloadFW of %zu bytes -> %d\n", image.size(), r);
  for (const auto& piece : drive.pieces())
    printf("  piece at offset %6llu, %4u bytes, drive status %s\n", static_cast<unsigned long long>(piece.offset),
           piece.length, piece.status.ok() ? "ok" : "refused");
  printf("  progress posted:");
  for (LPARAM p : DrainProgress(app->hDlg)) printf(" %d%%", int(p));
  printf("\n");

  r = FWCommit(&ctx, h, 1, 1);
  printf("FWCommit(slot 1, action 1) -> %d\n", r);
  for (const auto& c : drive.commits())
    printf("  drive committed slot %u with action %u: %s\n", c.slot, c.action, c.status.ok() ? "accepted" : c.why.c_str());
  printf("  running revision \"%s\" in slot %d; pending slot %d holds revision \"%s\" (%zu bytes, %s the image sent)\n",
         drive.revision().c_str(), drive.activeSlot(), drive.pendingSlot(),
         drive.pendingSlot() ? Text(&drive.slotImage(drive.pendingSlot())[lab::LAB_IMAGE_REVISION_OFFSET], 8).c_str()
                             : "",
         drive.pendingSlot() ? drive.slotImage(drive.pendingSlot()).size() : 0,
         drive.pendingSlot() && drive.slotImage(drive.pendingSlot()) == image ? "equal to" : "NOT equal to");

  machine.PowerCycle();
  PrintIdentify("after a power cycle", h);
  plat::CloseHandle(h);

  printf("== updater's debug log\n");
  for (const auto& line : machine.DebugLines()) printf("  %s\n", Narrow(line).c_str());
  printf("== %zu requests, %d open device handles, %d outstanding page allocations\n", machine.Requests().size(),
         machine.OpenHandleCount(), machine.OutstandingAllocations());
  DestroyWindow(app->hDlg);
  return 0;
}
