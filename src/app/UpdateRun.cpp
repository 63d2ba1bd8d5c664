// RUN: the checks on the dialog thread, then the update on a worker thread,
// reporting through the progress and completion messages.
#include <cstdarg>
#include <cstring>

#include "app/Dialog.h"
#include "app/Pending.h"
#include "app/Text.h"
#include "discovery/Discovery.h"
#include "package/Package.h"
#include "platform/Platform.h"
#include "resources/resource.h"
#include "transport/Transports.h"

namespace {

constexpr DWORD WORKER_REIDENTIFY_TRIES = 10;
constexpr int RUN_REIDENTIFY_TRIES = 30;
constexpr DWORD COMMIT_ACTION = 1;  // replace the slot's image, run it at the next reset

// The record that passed RUN's checks, for the worker. A list rebuild while
// the question is open may refresh SelectedDrive from a probe that went
// wrong (no vendor information, say): the worker must not take its path,
// its image or its identity from that.
DriveRecord g_checkedDrive;

constexpr BYTE MIN_BATTERY_PERCENT = 25;
constexpr BYTE AC_OFFLINE = 0;
constexpr BYTE PERCENT_UNKNOWN = 255;

}  // namespace

// A battery that runs out mid-download or mid-commit can leave the drive
// without working firmware. A status the system cannot tell refuses nothing.
int IsBatteryTooLow() {
  SYSTEM_POWER_STATUS power = {};
  if (!plat::GetSystemPowerStatus(&power)) return 0;
  if (power.ACLineStatus != AC_OFFLINE || power.BatteryLifePercent == PERCENT_UNKNOWN) return 0;
  return power.BatteryLifePercent < MIN_BATTERY_PERCENT ? 1 : 0;
}

const WCHAR REFUSE_CURRENT[] = L"Do not need to update.";
const WCHAR REFUSE_DAMAGED[] =
    L"The firmware file in this package is damaged. Get a new copy of the updater.";

void TrimmedSerial(const DriveRecord& drive, WCHAR* out, size_t capacity) {
  StringCchCopyW(out, capacity, drive.szSerial);
  for (size_t n = wcslen(out); n > 0 && out[n - 1] == L' '; --n) out[n - 1] = L'\0';
}

namespace {

// Part by part: numbers as numbers (1.10 comes after 1.9), other parts as text.
int CompareVersions(const WCHAR* a, const WCHAR* b) {
  while (*a != L'\0' || *b != L'\0') {
    size_t la = wcscspn(a, L"."), lb = wcscspn(b, L".");
    bool numbers = la > 0 && lb > 0 && wcsspn(a, L"0123456789") == la && wcsspn(b, L"0123456789") == lb;
    int order = 0;
    if (numbers) {
      unsigned long x = wcstoul(a, nullptr, 10), y = wcstoul(b, nullptr, 10);
      order = x < y ? -1 : x > y ? 1 : 0;
    } else {
      order = wcsncmp(a, b, la < lb ? la : lb);
      if (order == 0 && la != lb) order = la < lb ? -1 : 1;
    }
    if (order != 0) return order;
    a += la + (a[la] == L'.' ? 1 : 0);
    b += lb + (b[lb] == L'.' ? 1 : 0);
  }
  return 0;
}

}  // namespace

// The three gates, and the image they chose, judged whole before anything
// is asked: nullptr when the drive may be updated, else the refusal the
// person reads (logged as well, after the line that names the gate). The
// image's version text (32 units) comes back with it, empty when it has none.
const WCHAR* JudgeGates(const DriveRecord& drive, WCHAR* image, WCHAR* version, WCHAR* text, size_t capacity) {
  AppState* app = GetAppState();
  const WCHAR* refusal = nullptr;
  if (!IsFwRevisionAccepted(drive.szFwRevision, app->szFwVersionList)) {
    WCHAR wrapped[DRIVE_TEXT_CAPACITY + 2];
    WrapListItem(drive.szFwRevision, wrapped, ARRAYSIZE(wrapped));
    LogLine(L"Limit FW Versoin : %s (disk Version : %s)", app->szFwVersionList, wrapped);
    // Only a drive that already runs what this package installs needs nothing.
    if (_wcsicmp(drive.szFwRevision, app->szNewVersion) == 0) refusal = REFUSE_CURRENT;
    else FormatText(text, capacity, L"This package does not update drives with firmware %s.", drive.szFwRevision);
  } else if (drive.bRefusedVendorOp != 0) {
    // Its flash cannot be asked for: no image can be chosen.
    LogLine(L"RUN: the drive does not allow vendor command 0x%02X through the Windows NVMe driver",
            drive.bRefusedVendorOp);
    FormatText(text, capacity,
               L"The drive does not allow vendor command 0x%02X through the Windows NVMe driver, so this package "
               L"cannot tell its flash. Contact support and quote: vendor command 0x%02X refused.",
               drive.bRefusedVendorOp, drive.bRefusedVendorOp);
  } else if (!GetImagePath(&drive, image)) {
    LogLine(L"No this fw, 0x%04X, %d", drive.iNandType, drive.iLunCount);
    WCHAR nand[MAX_PATH] = L"";
    if (!GetNandName(drive.iNandType, nand) || nand[0] == L'\0') FormatText(nand, L"flash 0x%04X", drive.iNandType);
    FormatText(text, capacity, L"This package has no firmware for the flash of this drive (%s, %d LUN).", nand,
               drive.iLunCount);
  } else {
    const PackageItem* item = FindPackageItem(image);
    // The internal version rule reads the image's version text: an image
    // without one cannot be judged against the drive.
    bool hasVersion = ReadImageVersion(image, version) != 0;
    if (item == nullptr || !IsPackageItemIntact(image, item->pData, item->dwSize) ||
        !CheckFirmwareImage(item->pData, item->dwSize) || (drive.DrvInfoVersion[0] != L'\0' && !hasVersion)) {
      LogLine(L"RUN: the image %s is damaged", image);
      refusal = REFUSE_DAMAGED;
    } else if (drive.DrvInfoVersion[0] != L'\0' &&
               !CheckInternalVersion(drive.DrvInfoVersion, app->iInternalFWVersionCheckPart, image)) {
      LogLine(L"Limit Drv FW Version : %s", drive.DrvInfoVersion);
      // A drive past the image's own version needs nothing; any other
      // internal version belongs to firmware this package is not for.
      if (CompareVersions(drive.DrvInfoVersion, version) >= 0) refusal = REFUSE_CURRENT;
      else
        FormatText(text, capacity, L"This package does not update drives with firmware %s (%s).", drive.szFwRevision,
                   drive.DrvInfoVersion);
    } else {
      return nullptr;
    }
  }
  if (refusal == nullptr) refusal = text;
  LogLine(L"RUN: refused: %s", refusal);
  return refusal;
}

namespace {

INT32 VendorBlock(const CmdContext* ctx, HANDLE hDrive, DWORD direction, BYTE opcode, BYTE* block) {
  if (direction == DIR_READ) memset(block, 0, CFG_BLOCK_SIZE);
  return VendorCmd(ctx, hDrive, direction, opcode, VENDOR_SUB_CONFIG, 0, MAKER_SIGNATURE_CDW14, MAKER_SIGNATURE_CDW15,
                   block, CFG_BLOCK_SIZE);
}

// Why the run failed, for the closing message: what happened, and what the
// person does next. The first reason kept is the one told.
void KeepRunFailure(INT32 advice, const WCHAR* quote, const WCHAR* format, ...) {
  AppState* app = GetAppState();
  if (app->szRunFailure[0] != L'\0') return;
  va_list args;
  va_start(args, format);
  FormatTextV(app->szRunFailure, ARRAYSIZE(app->szRunFailure), format, args);
  va_end(args);
  app->iRunAdvice = advice;
  StringCchCopyW(app->szRunQuote, ARRAYSIZE(app->szRunQuote), quote != nullptr ? quote : L"");
}

// A step of the worker that failed: the log says which and why, with what
// the transport learnt (the piece's offset, the drive's status, the Windows
// error, the bridge step), and the run keeps it for its closing message: a
// drive or driver that refused is a case for support, a bridge that ran out
// of time one for a direct connection, anything else one for the cable.
INT32 Failed(const WCHAR* step, INT32 result) {
  if (result == RES_SUCCESS) return result;
  const CmdFault* fault = LastCmdFault();
  WCHAR why[200], status[80], quote[160] = L"";
  DescribeCmdFault(fault, why, ARRAYSIZE(why));
  INT32 advice = ADVICE_CABLE;  // also for a device gone, whatever else was noted
  if (IsDeviceGone(fault)) {
  } else if (DescribeCmdStatus(fault, status, ARRAYSIZE(status))) {
    advice = ADVICE_SUPPORT;
    FormatText(quote, L"%s, %s", step, status);
  } else if (fault->bridgeStep[0] != 0) {
    advice = ADVICE_DIRECT;  // a bridge that ran out of time or broke off the step
  } else if (fault->dwSystemError != 0) {
    advice = ADVICE_SUPPORT;  // the driver refused, in its own words
    FormatText(quote, L"%s, Windows error %lu", step, fault->dwSystemError);
  } else if (why[0] == L'\0' && result == RES_BLANK_BLOCK) {
    advice = ADVICE_SUPPORT;
    FormatText(quote, L"%s, blank answer", step);
    StringCchCopyW(why, ARRAYSIZE(why), L"the drive's answer was blank");
  }
  if (why[0] == L'\0')
    KeepRunFailure(advice, quote, L"%s failed (result %d)", step, result);
  else
    KeepRunFailure(advice, quote, L"%s failed%s%s", step, wcsncmp(why, L"at ", 3) == 0 ? L" " : L": ", why);
  LogLine(L"UpdateWorker: %s", GetAppState()->szRunFailure);
  return result;
}

// The drive's configuration block, read and judged: a cleared or erased
// block is no drive's settings and must never be carried into an image or
// written back.
INT32 ReadConfigBlock(const CmdContext* ctx, HANDLE hDrive, BYTE* block) {
  INT32 result = VendorBlock(ctx, hDrive, DIR_READ, VENDOR_OP_READ, block);
  if (result != RES_SUCCESS) return Failed(L"the configuration block read", result);
  if (IsBlankBlock(block, CFG_BLOCK_SIZE)) {
    LogLine(L"UpdateWorker: the configuration block read back is blank; nothing merged or written");
    KeepRunFailure(ADVICE_SUPPORT, L"the configuration block read, blank block",
                   L"the drive's settings read back blank");
    return RES_BLANK_BLOCK;
  }
  return RES_SUCCESS;
}

// The device information the name will be written into, judged before
// anything is sent: a drive whose answer is blank gets no firmware either.
INT32 CheckDeviceInfo(const CmdContext* ctx, HANDLE hDrive) {
  BYTE reply[VENDOR_PAGE];
  return Failed(L"the device information read", ReadDeviceInfo(ctx, hDrive, reply, L"UpdateWorker"));
}

// A copy of the package's image in one page allocation, or nothing: the copy
// is merged with the drive's settings, and it is judged as the bytes that
// will be sent. One that is not the package's own, or that the image check
// refuses, is never sent.
BYTE* LoadImage(const WCHAR* name, DWORD* size) {
  const PackageItem* item = name[0] != L'\0' ? FindPackageItem(name) : nullptr;
  *size = item != nullptr ? item->dwSize : 0;
  if (*size == 0) {
    LogLine(L"UpdateWorker: the package holds no image %s", name);
    return nullptr;
  }
  BYTE* image = static_cast<BYTE*>(plat::VirtualAlloc(nullptr, *size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (image == nullptr) {
    LogLine(L"UpdateWorker: no memory for an image of %d bytes", *size);
    return nullptr;
  }
  memcpy(image, item->pData, *size);
  if (!IsPackageItemIntact(name, image, *size) || !CheckFirmwareImage(image, *size)) {
    plat::VirtualFree(image, 0, MEM_RELEASE);
    return nullptr;
  }
  return image;
}

// What the run updates: the drive that passed the checks, and the version
// text of the image it is sent.
struct RunTarget {
  const DriveRecord* drive;
  WCHAR imageVersion[32];
  FirmwarePlan plan;
};

// Download, settle, commit, settle: both paths share it. The image is
// checked once more as it is about to leave, whatever changed it in memory.
// A committed image is remembered until the drive runs it.
INT32 DownloadAndCommit(const RunTarget& target, const CmdContext* ctx, HANDLE hDrive, const BYTE* image, DWORD size) {
  if (!CheckFirmwareImage(image, size)) {
    KeepRunFailure(ADVICE_NEW_COPY, nullptr, L"the firmware image was refused as it was about to be sent");
    return RES_BAD_IMAGE;
  }
  SetProgressRange(0, 30, 0);
  INT32 result = DownloadFW(ctx, hDrive, image, size, &target.plan);
  if (result == RES_DEADLINE)
    KeepRunFailure(ADVICE_DIRECT, nullptr, L"the download took longer than an unattended update allows");
  if (result != RES_SUCCESS) return Failed(L"the download", result);
  SetProgressRange(30, 40, 0);
  WaitWithProgress(SETTLE_MS);
  SetProgressRange(40, 60, 0);
  result = FWCommit(ctx, hDrive, target.plan.bSlot, COMMIT_ACTION);
  if (result != RES_SUCCESS) return Failed(L"the commit", result);
  AppState* app = GetAppState();
  app->bRunCommitted = 1;
  app->iRunReset = LastCmdFault()->iReset;
  RecordPendingUpdate(target.drive, app->iRunReset, app->szNewVersion, target.imageVersion);
  WaitWithProgress(SETTLE_MS);
  return RES_SUCCESS;
}

// The configuration path: the drive's block carried into the image, the
// name set in the block after the commit.
INT32 UpdateWithConfig(const RunTarget& target, const CmdContext* ctx, HANDLE hDrive, BYTE* image, DWORD size,
                       bool keep) {
  AppState* app = GetAppState();
  BYTE block[CFG_BLOCK_SIZE];
  INT32 result = ReadConfigBlock(ctx, hDrive, block);
  if (result != RES_SUCCESS) return result;
  MergeVendorConfig(image, size, block, L"Vendor_Fw_Name", app->szNewVersion);
  result = DownloadAndCommit(target, ctx, hDrive, image, size);
  if (result != RES_SUCCESS || keep) return result;
  result = ReadConfigBlock(ctx, hDrive, block);
  if (result != RES_SUCCESS) return result;
  SetVendorConfigItem(block, L"Vendor_Fw_Name", app->szNewVersion);
  return Failed(L"the configuration block write", VendorBlock(ctx, hDrive, DIR_WRITE, VENDOR_OP_CONFIG_WRITE, block));
}

// The plain path: the image as it is, the name through the device information.
INT32 UpdatePlain(const RunTarget& target, const CmdContext* ctx, HANDLE hDrive, const BYTE* image, DWORD size,
                  bool keep) {
  INT32 result = keep ? RES_SUCCESS : CheckDeviceInfo(ctx, hDrive);
  if (result != RES_SUCCESS) return result;
  result = DownloadAndCommit(target, ctx, hDrive, image, size);
  if (result != RES_SUCCESS || keep) return result;
  return Failed(L"the firmware name write", WriteVendorFwName(ctx, hDrive, GetAppState()->szNewVersion));
}

INT32 RunUpdate(const DriveRecord& drive, CmdContext* ctx, HANDLE hDrive) {
  // Whatever sits behind the path now must be the drive that passed the
  // checks: a drive swapped in meanwhile never receives this image.
  FirmwareFacts facts = {};
  INT32 result = ConfirmDiskIdentity(ctx, hDrive, &drive, &facts);
  if (result != RES_SUCCESS) {
    KeepRunFailure(ADVICE_CABLE, nullptr, L"the drive did not answer as the drive that was checked");
    return result;
  }
  WCHAR name[MAX_PATH] = L"";
  GetImagePath(&drive, name);
  DWORD size = 0;
  BYTE* image = LoadImage(name, &size);
  if (image == nullptr) {
    KeepRunFailure(ADVICE_NEW_COPY, nullptr, L"the firmware file %s could not be used", name);
    return RES_BAD_IMAGE;
  }
  bool keep = IsKeepName(GetAppState()->szNewVersion) != 0;
  RunTarget target = {&drive, L"", {FW_PIECE_SIZE, 1}};
  // Asked before anything is sent: how the drive and its driver take an
  // image. One they cannot take is refused whole.
  WCHAR why[200];
  result = PlanFirmwareUpdate(ctx, hDrive, facts, size, &target.plan, why, ARRAYSIZE(why));
  if (result != RES_SUCCESS) {
    LogLine(L"UpdateWorker: nothing sent: %s", why);
    if (result == RES_UPDATE_WAITS)
      KeepRunFailure(ADVICE_CABLE, nullptr,
                     L"an update of this drive already waits to be activated: restart the computer to finish it");
    else
      KeepRunFailure(ADVICE_SUPPORT, L"before the download, the firmware could not be planned", L"%s", why);
    plat::VirtualFree(image, 0, MEM_RELEASE);
    return result;
  }
  ReadImageVersion(name, target.imageVersion);
  result = drive.bVendorInfo ? UpdateWithConfig(target, ctx, hDrive, image, size, keep)
                             : UpdatePlain(target, ctx, hDrive, image, size, keep);
  plat::VirtualFree(image, 0, MEM_RELEASE);
  return result;
}

}  // namespace

const WCHAR BATTERY_LOW_MESSAGE[] =
    L"The computer runs on a battery with less than 25 % charge left.\n"
    L"Connect the power adapter, then press RUN again.";

void OnRun(HWND hDlg) {
  AppState* app = GetAppState();
  LRESULT item = SendDlgItemMessageW(hDlg, IDC_DRIVE_LIST, CB_GETCURSEL, 0, 0);
  if (item == CB_ERR) return;
  LRESULT index = SendDlgItemMessageW(hDlg, IDC_DRIVE_LIST, CB_GETITEMDATA, item, 0);
  // The disconnect entry names no listed drive: RUN starts nothing for it.
  if (index < 0 || static_cast<UINT32>(index) >= app->nDriveCount) return;
  if (IsBatteryTooLow()) {
    LogLine(L"RUN: on battery below %d %%", MIN_BATTERY_PERCENT);
    plat::MessageBoxW(hDlg, BATTERY_LOW_MESSAGE, app->szTitle, MB_OK | MB_ICONWARNING);
    return;
  }
  DriveRecord& entry = app->DriveTable[index];
  if (!GetDiskInfoByPortID(&entry, RUN_REIDENTIFY_TRIES)) {
    // Nothing answers as this drive at its port: no check can vouch for
    // whatever sits there now.
    LogLine(L"RUN: %s (%s) was not found again at port %I64d", entry.szModel, entry.szSerial, entry.iPort);
    plat::MessageBoxW(hDlg, L"The drive was not found. Check that it is connected, then press RUN again.",
                      app->szTitle, MB_OK | MB_ICONERROR);
    return;
  }
  JudgePendingUpdate(&entry);
  SetSelectedDrive(&entry);
  DriveRecord drive = entry;
  // An image already committed waits for a reset: sending it again would
  // change nothing but the wear of the drive's flash.
  if (const WCHAR* waiting = PendingRefusal(drive.iPending)) {
    LogLine(L"RUN: the update of %s (%s) waits (%d)", drive.szModel, drive.szSerial, drive.iPending);
    ShowDriveInfo(hDlg, &drive);
    plat::MessageBoxW(hDlg, waiting, app->szTitle, MB_OK | MB_ICONINFORMATION);
    return;
  }
  WCHAR image[MAX_PATH] = L"", version[32] = L"", why[200];
  if (const WCHAR* refusal = JudgeGates(drive, image, version, why, ARRAYSIZE(why))) {
    plat::MessageBoxW(hDlg, refusal, app->szTitle, MB_OK);
    return;
  }
  if (IsBusy()) {  // a running worker holds its own copy
    LogDetail(L"Thread is Running");
    return;
  }
  // What the drive runs now and what it will run: the panel and the
  // question name both.
  WCHAR current[64], next[64] = L"", serial[DRIVE_TEXT_CAPACITY];
  FormatFirmwareLine(&drive, current, ARRAYSIZE(current));
  NextFirmwareName(version, next, ARRAYSIZE(next));
  g_checkedDrive = drive;
  StringCchCopyW(app->szRunNewVersion, ARRAYSIZE(app->szRunNewVersion), next);
  ShowDriveInfo(hDlg, &drive);
  if (app->szBeforeMessage[0] != L'\0') {
    TrimmedSerial(drive, serial, ARRAYSIZE(serial));
    WCHAR question[ARRAYSIZE(app->szBeforeMessage) + 300];
    FormatText(question, L"Update %s (%s) from %s to %s?\n\n%s", drive.szModel, serial, current, next,
               app->szBeforeMessage);
    if (plat::MessageBoxW(hDlg, question, app->szTitle, MB_ICONWARNING | MB_YESNO) != IDYES) {
      app->szRunNewVersion[0] = L'\0';
      ShowChosenDrive(hDlg);  // a rebuild meanwhile may have chosen another entry
      return;
    }
  }
  app->szRunFailure[0] = L'\0';
  app->szRunQuote[0] = L'\0';
  app->iRunAdvice = ADVICE_CABLE;
  app->bRunCommitted = 0;
  app->iRunReset = RESET_NEXT;
  SetDlgItemTextW(hDlg, IDC_STATUS, L"");
  EnableWindow(GetDlgItem(hDlg, IDOK), FALSE);
  EnableWindow(GetDlgItem(hDlg, IDC_DRIVE_LIST), FALSE);
  HoldShutdown(hDlg);
  if (!StartWorker(hDlg, &app->hWorker, UpdateWorker) && app->hWorker == nullptr) {
    // No thread: nothing runs, so the dialog must not stay waiting for one.
    DWORD error = GetLastError();
    WCHAR quote[64];
    FormatText(quote, L"starting the update, Windows error %lu", error);
    KeepRunFailure(ADVICE_SUPPORT, quote, L"the update could not be started (Windows error %lu)", error);
    LogLine(L"RUN: %s", app->szRunFailure);
    ReleaseShutdown(hDlg);
    app->szRunNewVersion[0] = L'\0';
    ShowDriveInfo(hDlg, &drive);
    EnableWindow(GetDlgItem(hDlg, IDOK), TRUE);
    EnableWindow(GetDlgItem(hDlg, IDC_DRIVE_LIST), TRUE);
    SetDlgItemTextW(hDlg, IDC_STATUS, L"Update failed");
    WCHAR text[1024];
    FormatFailureMessage(app, text, ARRAYSIZE(text));
    plat::MessageBoxW(hDlg, text, app->szTitle, MB_OK | MB_ICONERROR);
  }
}

int IsRunDrive(const DriveRecord* drive) {
  return GetAppState()->szRunNewVersion[0] != L'\0' && drive->iPort == g_checkedDrive.iPort &&
                 wcscmp(drive->szSerial, g_checkedDrive.szSerial) == 0
             ? 1
             : 0;
}

int StartWorker(HWND, HANDLE* hWorker, LPTHREAD_START_ROUTINE proc) {
  if (*hWorker != nullptr) {
    LogDetail(L"Thread is Running");
    return 0;
  }
  // Created suspended, so the handle is stored before the worker can finish.
  HANDLE thread = CreateThread(nullptr, 0, proc, hWorker, CREATE_SUSPENDED, nullptr);
  if (thread == nullptr) return 0;
  *hWorker = thread;
  ResumeThread(thread);
  return 1;
}

DWORD WINAPI UpdateWorker(LPVOID hWorkerAddress) {
  auto* hWorker = static_cast<HANDLE*>(hWorkerAddress);
  AppState* app = GetAppState();
  // Held by this thread, which lives exactly as long as the run: should a
  // path miss the release in FinishRun, the system drops the request when the
  // thread ends. The dialog thread would keep the machine awake for good.
  plat::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  // The worker's own copy of the checked drive: no rebuild changes it.
  DriveRecord drive = g_checkedDrive;
  CmdContext ctx = {CMD_NONE, INVALID_HANDLE_VALUE, 0};
  HANDLE hDrive = OpenDisk(drive.szDevicePath, &ctx);
  if (hDrive == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    WCHAR quote[64];
    FormatText(quote, L"opening the drive, Windows error %lu", error);
    KeepRunFailure(IsDeviceGoneError(error) ? ADVICE_CABLE : ADVICE_SUPPORT, quote,
                   L"the drive could not be opened (Windows error %lu)", error);
    return static_cast<DWORD>(FinishRun(hWorker, &ctx, hDrive, RES_OPEN_FAILED));
  }
  INT32 result = RunUpdate(drive, &ctx, hDrive);
  if (result != RES_SUCCESS) {
    // A disk gone from the bus was pulled or lost its link, whatever its
    // driver answered: the cable comes first.
    if (!DiskPresent(drive.szDevicePath)) app->iRunAdvice = ADVICE_CABLE;
    return static_cast<DWORD>(FinishRun(hWorker, &ctx, hDrive, result));
  }

  // Only a bridge restarts the drive here; the others wait for the reset.
  const Transport* transport = FindTransport(ctx.iCmdType);
  if (transport != nullptr && transport->PowerCycle != nullptr) {
    SetProgressRange(60, 80, 0);
    transport->PowerCycle(hDrive, transport->dwPowerCycleMode);
    WaitWithProgress(SETTLE_MS);
  }
  SetProgressRange(80, 100, 0);
  DriveRecord after = drive;
  bool back = GetDiskInfoByPortID(&after, WORKER_REIDENTIFY_TRIES) != 0;
  // A drive that is not there cannot be said to run anything: the list
  // shows it disconnected, and the closing message says so.
  if (back) SetSelectedDrive(&after);
  else LogLine(L"UpdateWorker: %s (%s) was not found again at port %I64d", drive.szModel, drive.szSerial, drive.iPort);
  SetProgressRange(100, 100, 0);
  if (app->hDlg != nullptr) RefreshDriveList(app->hDlg, 0);
  return static_cast<DWORD>(FinishRun(hWorker, &ctx, hDrive, back ? RES_SUCCESS : RES_NOT_FOUND_AGAIN));
}

INT32 FinishRun(HANDLE* hWorker, CmdContext* ctx, HANDLE hDrive, INT32 result) {
  CloseDisk(hDrive, ctx);
  plat::SetThreadExecutionState(ES_CONTINUOUS);  // the machine may sleep again
  if (HWND hDlg = GetAppState()->hDlg) PostMessageW(hDlg, WM_UPDATE_DONE, 0, result);
  HANDLE thread = *hWorker;
  *hWorker = nullptr;
  if (thread != nullptr) CloseHandle(thread);  // the run has ended: its handle goes too
  return result;
}

void SetProgressRange(INT16 start, INT16 end, LPARAM percentage) {
  AppState* app = GetAppState();
  app->sProgressStart = start;
  app->sProgressEnd = end;
  if (app->hDlg != nullptr) SendMessageW(app->hDlg, WM_UPDATE_PROGRESS, 0, percentage);
}

int MapProgress(LPARAM percentage) {
  AppState* app = GetAppState();
  int v = static_cast<int>(percentage);
  if (v == 0) return app->sProgressStart;
  if (app->sProgressEnd == 0) app->sProgressEnd = 100;
  return app->sProgressStart + (app->sProgressEnd - app->sProgressStart) * v / 100;
}

void WaitWithProgress(DWORD milliseconds) {
  HWND hDlg = GetAppState()->hDlg;
  DWORD remaining = milliseconds;
  while (remaining > 1000) {
    plat::Sleep(1000);
    remaining -= 1000;
    if (hDlg != nullptr) PostMessageW(hDlg, WM_UPDATE_PROGRESS, 0, static_cast<LPARAM>((milliseconds - remaining) * 100 / milliseconds));
  }
  if (remaining != 0) {
    plat::Sleep(remaining);
    if (hDlg != nullptr) SendMessageW(hDlg, WM_UPDATE_PROGRESS, 0, 100);
  }
}

void NextFirmwareName(const WCHAR* imageVersion, WCHAR* out, size_t capacity) {
  const WCHAR* newVersion = GetAppState()->szNewVersion;
  StringCchCopyW(out, capacity, !IsKeepName(newVersion)   ? newVersion
                                : imageVersion[0] != L'\0' ? imageVersion
                                                           : L"the package's firmware");
}

INT32 RunCheckedDrive(const DriveRecord& drive, const WCHAR* nextVersion) {
  AppState* app = GetAppState();
  app->szRunFailure[0] = L'\0';
  app->szRunQuote[0] = L'\0';
  app->iRunAdvice = ADVICE_CABLE;
  app->bRunCommitted = 0;
  app->iRunReset = RESET_NEXT;
  StringCchCopyW(app->szRunNewVersion, ARRAYSIZE(app->szRunNewVersion), nextVersion);
  g_checkedDrive = drive;
  // No thread of its own: its handle slot stays empty, so nothing is closed.
  HANDLE noThread = nullptr;
  INT32 result = static_cast<INT32>(UpdateWorker(&noThread));
  app->szRunNewVersion[0] = L'\0';
  return result;
}
