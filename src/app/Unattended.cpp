// The unattended run: the same checks and the same update as RUN, with the
// package's question answered Yes, its closing message logged, no window,
// and an exit code that says what happened.
#include "app/Unattended.h"

#include "app/Dialog.h"
#include "app/Pending.h"
#include "app/Text.h"
#include "discovery/Discovery.h"
#include "package/Package.h"
#include "platform/Platform.h"
#include "transport/Transports.h"

namespace {

constexpr int REIDENTIFY_TRIES = 30;
constexpr DWORD REIDENTIFY_PAUSE_SECONDS = 1;
constexpr DWORD WORKER_FIND_TRIES = 10;
constexpr DWORD STEP_COMMANDS = 5;   // identity check, configuration or information reads and writes
constexpr DWORD FIND_COMMANDS = 4;   // the Identify and vendor reads of one probe
constexpr DWORD PLANNED_UPDATE_REASON = SHTDN_REASON_MAJOR_SOFTWARE | SHTDN_REASON_MINOR_INSTALLATION |
                                       SHTDN_REASON_FLAG_PLANNED;

// The parent's console, when there is one: a deployment tool has none, and
// everything said goes to the log as well.
HANDLE g_out = INVALID_HANDLE_VALUE;
bool g_outIsConsole = false;

void OpenConsoleOutput() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if ((out == nullptr || out == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS))
    out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
  g_out = out == nullptr ? INVALID_HANDLE_VALUE : out;
  DWORD mode = 0;
  g_outIsConsole = g_out != INVALID_HANDLE_VALUE && GetConsoleMode(g_out, &mode);
}

void ToConsole(const WCHAR* text) {
  if (g_out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  if (g_outIsConsole) {
    WriteConsoleW(g_out, text, static_cast<DWORD>(wcslen(text)), &written, nullptr);
    return;
  }
  char utf8[4096];
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
  if (bytes > 1) WriteFile(g_out, utf8, static_cast<DWORD>(bytes - 1), &written, nullptr);
}

// One line for the person at the console and the log.
void Say(const WCHAR* format, ...) {
  WCHAR text[1024];
  va_list args;
  va_start(args, format);
  FormatTextV(text, ARRAYSIZE(text), format, args);
  va_end(args);
  LogLine(L"%s", text);
  StringCchCatW(text, ARRAYSIZE(text), L"\r\n");
  ToConsole(text);
}

// A message of several lines, one log line each.
void SayLines(const WCHAR* prefix, const WCHAR* text) {
  WCHAR copy[1200];
  StringCchCopyW(copy, ARRAYSIZE(copy), text);
  WCHAR* context = nullptr;
  for (WCHAR* part = wcstok_s(copy, L"\r\n", &context); part != nullptr; part = wcstok_s(nullptr, L"\r\n", &context))
    Say(L"%s%s", prefix, part);
}

enum DriveState {
  STATE_AVAILABLE,   // the package can update it now
  STATE_CURRENT,     // it runs what the package installs
  STATE_WAITING,     // an update waits for a restart (or a full power-off)
  STATE_NOT_ACTIVE,  // the machine restarted, the old firmware still runs
  STATE_NO_IMAGE,    // the package has no image for its flash
  STATE_DAMAGED,     // the package's image for it is damaged
  STATE_REFUSED,     // a rule of the package refuses it (why says which)
  STATE_NOT_LISTED,  // not a drive of this package's models or controller
};

struct DriveView {
  DriveState state;
  WCHAR why[260];
  WCHAR next[64];  // what it would run after an update
};

const WCHAR* TransportName(INT32 cmdType) {
  const Transport* transport = FindTransport(cmdType);
  return transport != nullptr ? transport->szName : L"none";
}

// What the package would do for the drive, judged as RUN judges it.
void JudgeDrive(DriveRecord* drive, DriveView* view) {
  AppState* app = GetAppState();
  view->why[0] = L'\0';
  StringCchCopyW(view->next, ARRAYSIZE(view->next), L"-");
  // A model of the package whose controller could not be asked: the reason
  // is the driver's rule, not the controller.
  if (drive->bRefusedVendorOp != 0 && IsDriveAccepted(drive, app->szModelList, L"*")) {
    view->state = STATE_REFUSED;
    FormatText(view->why, ARRAYSIZE(view->why),
               L"The drive does not allow vendor command 0x%02X through the Windows NVMe driver, so its controller "
               L"and flash cannot be told", drive->bRefusedVendorOp);
    return;
  }
  if (!IsDriveAccepted(drive, app->szModelList, app->szSocId)) {
    view->state = STATE_NOT_LISTED;
    StringCchCopyW(view->why, ARRAYSIZE(view->why), L"this package is not for this drive's model or controller");
    return;
  }
  JudgePendingUpdate(drive);
  if (drive->iPending == PENDING_RESTART || drive->iPending == PENDING_POWER_OFF) {
    view->state = STATE_WAITING;
    return;
  }
  if (drive->iPending == PENDING_NOT_ACTIVE) {
    view->state = STATE_NOT_ACTIVE;
    return;
  }
  WCHAR image[MAX_PATH] = L"", version[32] = L"";
  const WCHAR* refusal = JudgeGates(*drive, image, version, view->why, ARRAYSIZE(view->why));
  NextFirmwareName(version, view->next, ARRAYSIZE(view->next));
  if (refusal == nullptr) view->state = STATE_AVAILABLE;
  else if (refusal == REFUSE_CURRENT) view->state = STATE_CURRENT;
  else if (refusal == REFUSE_DAMAGED) view->state = STATE_DAMAGED;
  else if (IsFwRevisionAccepted(drive->szFwRevision, app->szFwVersionList) && !GetImagePath(drive, image))
    view->state = STATE_NO_IMAGE;
  else view->state = STATE_REFUSED;
  if (refusal != nullptr && view->why != refusal) StringCchCopyW(view->why, ARRAYSIZE(view->why), refusal);
}

void DescribeState(const DriveRecord& drive, const DriveView& view, WCHAR* text, size_t capacity) {
  switch (view.state) {
    case STATE_AVAILABLE:
      StringCchCopyW(text, capacity, L"update available");
      break;
    case STATE_CURRENT:
      StringCchCopyW(text, capacity, L"current");
      break;
    case STATE_WAITING:
      StringCchCopyW(text, capacity, drive.iPending == PENDING_POWER_OFF ? L"waiting for a full shutdown"
                                                                         : L"waiting for restart");
      break;
    case STATE_NOT_ACTIVE:
      StringCchCopyW(text, capacity, L"not active: shut the computer down fully and start it again");
      break;
    case STATE_NO_IMAGE:
      FormatText(text, capacity, L"no image for its flash: %s", view.why);
      break;
    default:
      FormatText(text, capacity, L"refused: %s", view.why);
      break;
  }
}

// "index, model, serial, transport, firmware, target, state", tab-separated.
void SayDrive(UINT32 index, const DriveRecord& drive, const DriveView& view) {
  WCHAR serial[DRIVE_TEXT_CAPACITY], firmware[DRIVE_TEXT_CAPACITY * 2 + 4], state[400];
  TrimmedSerial(drive, serial, ARRAYSIZE(serial));
  if (drive.DrvInfoVersion[0] != L'\0') FormatText(firmware, L"%s (%s)", drive.szFwRevision, drive.DrvInfoVersion);
  else StringCchCopyW(firmware, ARRAYSIZE(firmware), drive.szFwRevision);
  DescribeState(drive, view, state, ARRAYSIZE(state));
  Say(L"%u\t%s\t%s\t%s\t%s\t%s\t%s", index + 1, drive.szModel, serial, TransportName(drive.iCmdType), firmware,
      view.next, state);
}

void SayHeader() { Say(L"#\tModel\tSerial\tTransport\tFirmware\tTarget\tState"); }

// Marks every drive the scan found with each serial number given (blanks
// and case aside): serial numbers are not always unique, and one names every
// drive that reports it. False when one names none, which is said.
bool ChooseSerials(const CommandLine& line, bool* chosen, const WCHAR* notFound) {
  AppState* app = GetAppState();
  bool all = true;
  for (UINT32 s = 0; s < line.nSerials; ++s) {
    bool any = false;
    for (UINT32 i = 0; i < app->nDriveCount; ++i) {
      WCHAR own[DRIVE_TEXT_CAPACITY];
      TrimmedSerial(app->DriveTable[i], own, ARRAYSIZE(own));
      if (_wcsicmp(own, line.szSerials[s]) == 0) chosen[i] = any = true;
    }
    if (!any) Say(L"serial %s: %sno drive with this serial number was found", line.szSerials[s], notFound);
    all = all && any;
  }
  return all;
}

void SayDenied(UINT32 denied) {
  if (denied != 0) Say(L"%u disks could not be opened (access denied): run the updater as administrator", denied);
}

int ListDrives() {
  AppState* app = GetAppState();
  SayHeader();
  for (UINT32 i = 0; i < app->nDriveCount; ++i) {
    DriveView view;
    JudgeDrive(&app->DriveTable[i], &view);
    SayDrive(i, app->DriveTable[i], view);
  }
  if (app->nDriveCount == 0) Say(L"No NVMe drive was found.");
  return EXIT_DONE;
}

int ShowStatus(const CommandLine& line, UINT32 denied) {
  AppState* app = GetAppState();
  bool chosen[DRIVE_TABLE_SIZE] = {};
  SayHeader();
  bool notCurrent = denied != 0 || !ChooseSerials(line, chosen, L""), waiting = false;
  for (UINT32 i = 0; i < app->nDriveCount; ++i) {
    if (line.nSerials == 0) chosen[i] = IsDriveAccepted(&app->DriveTable[i], app->szModelList, app->szSocId);
    if (!chosen[i]) continue;
    DriveView view;
    JudgeDrive(&app->DriveTable[i], &view);
    SayDrive(i, app->DriveTable[i], view);
    // Without serials, a drive /update /all leaves alone is told but not
    // counted: a detection must agree with what the install did.
    bool leftAlone = view.state == STATE_NO_IMAGE || view.state == STATE_REFUSED;
    if (view.state == STATE_WAITING) waiting = true;
    else if (view.state != STATE_CURRENT && !(line.nSerials == 0 && leftAlone)) notCurrent = true;
  }
  return notCurrent ? EXIT_NOT_CURRENT : waiting ? EXIT_RESTART_NEEDED : EXIT_DONE;
}

// Logs the most one drive's update can take: each step's own timeout, the
// download capped by the limit this run enforces. The download's deadline
// comes back.
ULONGLONG LogTimeBound(const DriveRecord& drive) {
  WCHAR image[MAX_PATH] = L"", serial[DRIVE_TEXT_CAPACITY];
  TrimmedSerial(drive, serial, ARRAYSIZE(serial));
  GetImagePath(&drive, image);
  const PackageItem* item = FindPackageItem(image);
  DWORD pieces = item != nullptr ? (item->dwSize + FW_PIECE_SIZE - 1) / FW_PIECE_SIZE : 0;
  DWORD firmware = RequestTimeoutSeconds(drive.iCmdType, true), command = RequestTimeoutSeconds(drive.iCmdType, false);
  // Past the cap, the piece under way when the deadline comes still has its time.
  DWORD capped = pieces * firmware < UNATTENDED_DOWNLOAD_LIMIT_SECONDS ? pieces * firmware
                                                                      : UNATTENDED_DOWNLOAD_LIMIT_SECONDS;
  DWORD download = capped + (capped < pieces * firmware ? firmware : 0);
  DWORD pauses = 3 * (SETTLE_MS / 1000);
  DWORD finding = WORKER_FIND_TRIES * REIDENTIFY_PAUSE_SECONDS + FIND_COMMANDS * command;
  DWORD bound = STEP_COMMANDS * command + download + firmware + pauses + finding;
  LogLine(L"The update of %s (%s) ends within %lu s (%lu min): %lu pieces at up to %lu s each, download capped at %lu s; "
          L"the commit %lu s; %lu commands at %lu s; %lu s of pauses; finding it again %lu s",
          drive.szModel, serial, bound, (bound + 59) / 60, pieces, firmware, UNATTENDED_DOWNLOAD_LIMIT_SECONDS,
          firmware, STEP_COMMANDS, command, pauses, finding);
  return plat::GetTickCount64() + 1000ull * (STEP_COMMANDS * command + capped);
}

struct UpdateOutcome {
  int code;
  bool restart;    // its new firmware waits for a restart
  bool powerOff;   // its new firmware waits for a full power-off
};

// One drive, checked again as RUN checks it, then updated.
UpdateOutcome UpdateDrive(DriveRecord entry) {
  AppState* app = GetAppState();
  UpdateOutcome outcome = {EXIT_FAILED, false, false};
  WCHAR serial[DRIVE_TEXT_CAPACITY];
  TrimmedSerial(entry, serial, ARRAYSIZE(serial));
  if (IsBatteryTooLow()) {
    Say(L"serial %s: not updated: the computer runs on a battery with less than 25 %% charge left; "
        L"run the update again on mains power", serial);
    outcome.code = EXIT_ON_BATTERY;
    return outcome;
  }
  if (!GetDiskInfoByPortID(&entry, REIDENTIFY_TRIES)) {
    Say(L"serial %s: not updated: the drive was not found again at its port; nothing was sent to it", serial);
    return outcome;
  }
  DriveView view;
  JudgeDrive(&entry, &view);
  if (view.state != STATE_AVAILABLE) {
    WCHAR state[400];
    DescribeState(entry, view, state, ARRAYSIZE(state));
    Say(L"serial %s: not updated: %s", serial, state);
    outcome.code = view.state == STATE_CURRENT ? EXIT_DONE
                   : view.state == STATE_WAITING ? EXIT_RESTART_NEEDED
                   : view.state == STATE_DAMAGED ? EXIT_PACKAGE_DAMAGED
                                                 : EXIT_FAILED;
    outcome.restart = view.state == STATE_WAITING && entry.iPending == PENDING_RESTART;
    return outcome;
  }
  ULONGLONG deadline = LogTimeBound(entry);
  if (app->szBeforeMessage[0] != L'\0') SayLines(L"The package asks (answered Yes): ", app->szBeforeMessage);
  Say(L"serial %s: updating %s (%s) from %s to %s", serial, entry.szModel, TransportName(entry.iCmdType),
      entry.szFwRevision, view.next);
  SetDownloadDeadline(deadline);
  INT32 result = RunCheckedDrive(entry, view.next);
  SetDownloadDeadline(0);
  if (result == RES_SUCCESS) {
    DriveRecord after;
    GetSelectedDrive(&after);
    JudgePendingUpdate(&after);
    outcome.restart = after.iPending == PENDING_RESTART;
    outcome.powerOff = after.iPending == PENDING_POWER_OFF;
    if (outcome.restart || outcome.powerOff) {
      outcome.code = EXIT_RESTART_NEEDED;
      Say(L"serial %s: updated; the new firmware runs after the computer %s", serial,
          outcome.powerOff ? L"is shut down fully and started again" : L"restarts");
    } else {
      outcome.code = EXIT_DONE;
      Say(L"serial %s: updated; it runs firmware %s", serial, after.szFwRevision);
    }
    if (app->szAfterMessage[0] != L'\0') SayLines(L"The package's closing message: ", app->szAfterMessage);
    return outcome;
  }
  if (result == RES_NOT_FOUND_AGAIN) {
    SayLines(L"", NOT_FOUND_AGAIN_MESSAGE);
  } else {
    WCHAR text[1024];
    FormatFailureMessage(app, text, ARRAYSIZE(text));
    Say(L"serial %s: the update failed", serial);
    SayLines(L"  ", text);
  }
  // A committed image waits for its reset even though a later step failed.
  outcome.restart = app->bRunCommitted && app->iRunReset != RESET_SUBSYSTEM && app->iRunReset != RESET_POWER_CYCLE;
  return outcome;
}

int UpdateDrives(const CommandLine& line, UINT32 denied) {
  AppState* app = GetAppState();
  bool chosen[DRIVE_TABLE_SIZE] = {};
  // A disk that could not be opened may be one the package is for: the run
  // cannot say that it did all it was asked.
  int code = denied != 0 ? EXIT_FAILED : EXIT_DONE;
  if (!ChooseSerials(line, chosen, L"not updated: ")) code = WorseExit(code, EXIT_FAILED);
  // /all takes every drive of the package whose update is to do or under
  // way; one it needs nothing for, or cannot update, is only told.
  for (UINT32 i = 0; line.bAll && i < app->nDriveCount; ++i) {
    DriveView view;
    JudgeDrive(&app->DriveTable[i], &view);
    chosen[i] = view.state == STATE_AVAILABLE || view.state == STATE_WAITING || view.state == STATE_NOT_ACTIVE ||
                view.state == STATE_DAMAGED;
    if (chosen[i]) continue;
    WCHAR serial[DRIVE_TEXT_CAPACITY], state[400];
    TrimmedSerial(app->DriveTable[i], serial, ARRAYSIZE(serial));
    DescribeState(app->DriveTable[i], view, state, ARRAYSIZE(state));
    Say(L"serial %s: left alone: %s", serial, state);
  }
  bool restart = false, powerOff = false, any = false;
  // One drive after another, never two at once.
  for (UINT32 i = 0; i < app->nDriveCount; ++i) {
    if (!chosen[i]) continue;
    any = true;
    UpdateOutcome outcome = UpdateDrive(app->DriveTable[i]);
    code = WorseExit(code, outcome.code);
    restart = restart || outcome.restart;
    powerOff = powerOff || outcome.powerOff;
  }
  if (!any && line.bAll) Say(L"Nothing to update.");
  if (powerOff) Say(L"A drive's new firmware runs only after a full shutdown: a restart does not start it.");
  if (restart && line.bForceRestart) {
    Say(L"Restarting the computer to start the new firmware.");
    if (RequestShutdown(EWX_REBOOT, PLANNED_UPDATE_REASON)) return WorseExit(code, EXIT_RESTART_STARTED);
    Say(L"The restart could not be started: restart the computer to start the new firmware.");
  } else if (restart) {
    Say(L"Restart the computer to start the new firmware.");
  }
  return code;
}

const WCHAR* ModeName(INT32 mode) {
  return mode == MODE_LIST ? L"/list" : mode == MODE_UPDATE ? L"/update" : L"/status";
}

}  // namespace

int RunCommandLine(const CommandLine& line) {
  OpenConsoleOutput();
  if (line.iMode == MODE_HELP) {
    if (g_out != INVALID_HANDLE_VALUE) ToConsole(USAGE_TEXT);
    else plat::MessageBoxW(nullptr, USAGE_TEXT, L"Kestrel", MB_OK | MB_ICONINFORMATION);
    return EXIT_DONE;
  }
  AppState* app = GetAppState();
  ZeroMemory(app, sizeof(AppState));
  if (line.szLogFile[0] != L'\0') {
    WCHAR why[LOG_PATH_CAPACITY + 200];
    if (!OpenLogFile(line.szLogFile, why, ARRAYSIZE(why))) {
      Say(L"Kestrel: %s. Nothing was done.", why);
      return EXIT_BAD_COMMAND_LINE;
    }
    app->iDebugLog = 1;  // the file gets the detail lines too
  }
  LogLine(L"Kestrel %s started, with no window", ModeName(line.iMode));
  int code = EXIT_DONE;
  HANDLE guard = nullptr;
  switch (TakeOneCopyGuard(&guard)) {
    case GUARD_OTHER_COPY:
      Say(L"Another copy of the updater is running; nothing was done. Run it again when that one has ended.");
      code = EXIT_ANOTHER_COPY;
      break;
    case GUARD_UNAVAILABLE:
      Say(L"%s", GUARD_UNAVAILABLE_MESSAGE);
      code = EXIT_FAILED;
      break;
    default:
      break;
  }
  if (code == EXIT_DONE) {
    const PackageItem* config = nullptr;
    if (ExtractPackage(PACKAGE_RESOURCE_TYPE, PACKAGE_RESOURCE_ID) == 0 ||
        (config = FindPackageItem(PACKAGE_CONFIG_NAME)) == nullptr) {
      Say(L"The firmware package inside the updater is damaged; nothing was sent to any drive. "
          L"Get a new copy of the updater.");
      code = EXIT_PACKAGE_DAMAGED;
    } else {
      LoadPackageConfig(config->pData, config->dwSize);
      UINT32 denied = 0;
      app->nDriveCount = ScanDisks(app->DriveTable, DRIVE_TABLE_SIZE, nullptr, &denied);
      SayDenied(denied);
      code = line.iMode == MODE_LIST     ? ListDrives()
             : line.iMode == MODE_STATUS ? ShowStatus(line, denied)
                                         : UpdateDrives(line, denied);
    }
    ForgetPackageItems();
  }
  if (guard != nullptr) CloseHandle(guard);
  LogLine(L"Kestrel %s ended with exit code %d", ModeName(line.iMode), code);
  CloseLogFile();
  return code;
}

int RunFromCommandLine(const WCHAR* text) {
  CommandLine line;
  WCHAR why[300];
  if (!ParseCommandLine(text, &line, why, ARRAYSIZE(why))) {
    OpenConsoleOutput();
    Say(L"Kestrel: %s.", why);
    ToConsole(USAGE_TEXT);
    return EXIT_BAD_COMMAND_LINE;
  }
  if (line.iMode == MODE_DIALOG) return -1;
  return RunCommandLine(line);
}
