// Why a command failed, kept for the thread that sent it, and what an NVMe
// status field means.
#include "app/Text.h"
#include "transport/CmdModel.h"

namespace {

constexpr CmdFault kNoFault = {nullptr, -1, 0, 0, 0, 0, {0, 0}, 0, RESET_NEXT, 0, 0, 0, 0, 0};
thread_local CmdFault t_fault = kNoFault;

struct StatusName {
  UINT32 field;  // type << 8 | code
  const WCHAR* name;
};

// The NVMe base specification's names of the answers a firmware update meets.
const StatusName kStatusNames[] = {
    {0x000, L"Successful Completion"},
    {0x001, L"Invalid Command Opcode"},
    {0x002, L"Invalid Field in Command"},
    {0x003, L"Command ID Conflict"},
    {0x004, L"Data Transfer Error"},
    {0x005, L"Commands Aborted due to Power Loss Notification"},
    {0x006, L"Internal Error"},
    {0x007, L"Command Abort Requested"},
    {0x008, L"Command Aborted due to SQ Deletion"},
    {0x00B, L"Invalid Namespace or Format"},
    {0x00C, L"Command Sequence Error"},
    {0x106, L"Invalid Firmware Slot"},
    {0x107, L"Invalid Firmware Image"},
    {0x10B, L"Firmware Activation Requires Conventional Reset"},
    {0x110, L"Firmware Activation Requires NVM Subsystem Reset"},
    {0x111, L"Firmware Activation Requires Controller Level Reset"},
    {0x112, L"Firmware Activation Requires Maximum Time Violation"},
    {0x113, L"Firmware Activation Prohibited"},
    {0x114, L"Overlapping Range"},
    {0x280, L"Write Fault"},
    {0x281, L"Unrecovered Read Error"},
};

struct DriverCodeName {
  DWORD code;
  const WCHAR* name;
};

// The STORAGE_PROTOCOL_STATUS values of winioctl.h.
const DriverCodeName kProtocolStatusNames[] = {
    {0x00, L"Pending"},       {0x02, L"Error"},        {0x03, L"Invalid Request"},
    {0x04, L"No Device"},     {0x05, L"Busy"},         {0x06, L"Data Overrun"},
    {0x07, L"Insufficient Resources"}, {0x08, L"Throttled Request"}, {0xFF, L"Not Supported"},
};

// The miniport firmware statuses of ntddscsi.h.
const DriverCodeName kFirmwareStatusNames[] = {
    {0x01, L"Error"},         {0x02, L"Illegal Request"},  {0x03, L"Invalid Parameter"},
    {0x04, L"Input Buffer Too Big"}, {0x05, L"Output Buffer Too Small"}, {0x06, L"Invalid Slot"},
    {0x07, L"Invalid Image"}, {0x10, L"Controller Error"}, {0x20, L"Power Cycle Required"},
    {0x40, L"Device Error"},
};

}  // namespace

INT32 CommitResetNeed(UINT32 statusField) {
  switch (statusField & NVME_STATUS_TYPE_AND_CODE) {
    case NVME_COMMIT_NEEDS_CONVENTIONAL_RESET: return RESET_CONVENTIONAL;
    case NVME_COMMIT_NEEDS_SUBSYSTEM_RESET: return RESET_SUBSYSTEM;
    case NVME_COMMIT_NEEDS_CONTROLLER_RESET: return RESET_CONTROLLER;
    default: return -1;
  }
}

const WCHAR* ResetNeedName(INT32 need) {
  switch (need) {
    case RESET_CONVENTIONAL: return L"a conventional reset";
    case RESET_CONTROLLER: return L"a controller reset";
    case RESET_SUBSYSTEM: return L"an NVM subsystem reset";
    case RESET_POWER_CYCLE: return L"a power cycle";
    default: return L"the next reset";
  }
}

void ClearCmdFault() { t_fault = kNoFault; }

const CmdFault* LastCmdFault() { return &t_fault; }

void NoteCmdStep(const WCHAR* step, INT64 offset) {
  t_fault.szStep = step;
  t_fault.iOffset = offset;
}

void NoteNvmeStatus(UINT32 statusField) {
  t_fault.nvmeStatus = statusField;
  t_fault.bAnswered = 1;
}

void NoteSystemError(DWORD error) { t_fault.dwSystemError = error; }

void NoteDriverCode(DWORD code) {
  t_fault.dwDriverCode = code;
  t_fault.bProtocolStatus = 0;
}

void NoteProtocolStatus(DWORD status) {
  t_fault.dwDriverCode = status;
  t_fault.bProtocolStatus = 1;
}

void NoteBridgeStep(const BYTE* cdb, bool checkCondition) {
  t_fault.bridgeStep[0] = cdb[0];
  t_fault.bridgeStep[1] = cdb[1];
  t_fault.bBridgeCheck = checkCondition ? 1 : 0;
  t_fault.dwBridgeMoved = t_fault.dwBridgeAsked = 0;
}

void NoteShortBridgeStep(const BYTE* cdb, DWORD moved, DWORD asked) {
  NoteBridgeStep(cdb, false);
  t_fault.dwBridgeMoved = moved;
  t_fault.dwBridgeAsked = asked;
}

void NoteShortReply(DWORD returned, DWORD needed) {
  t_fault.dwReplyBytes = returned;
  t_fault.dwReplyNeeded = needed;
}

void NoteResetNeed(INT32 need) { t_fault.iReset = need; }

const WCHAR* NvmeStatusName(UINT32 statusField) {
  for (const StatusName& s : kStatusNames)
    if (s.field == (statusField & NVME_STATUS_TYPE_AND_CODE)) return s.name;
  return nullptr;
}

int DescribeCmdStatus(const CmdFault* fault, WCHAR* out, size_t capacity) {
  out[0] = L'\0';
  if (fault->bAnswered) {
    const WCHAR* name = NvmeStatusName(fault->nvmeStatus);
    UINT32 field = fault->nvmeStatus & NVME_STATUS_TYPE_AND_CODE;
    if (name != nullptr) FormatText(out, capacity, L"%s (0x%04X)", name, field);
    else FormatText(out, capacity, L"status 0x%04X", field);
    return 1;
  }
  if (fault->bProtocolStatus) {
    const WCHAR* name = L"unknown";
    for (const DriverCodeName& d : kProtocolStatusNames)
      if (d.code == fault->dwDriverCode) name = d.name;
    FormatText(out, capacity, L"protocol status 0x%02X (%s)", fault->dwDriverCode, name);
    return 1;
  }
  if (fault->dwDriverCode != 0) {
    const WCHAR* name = L"unknown";
    for (const DriverCodeName& d : kFirmwareStatusNames)
      if (d.code == fault->dwDriverCode) name = d.name;
    FormatText(out, capacity, L"firmware status 0x%02X (%s)", fault->dwDriverCode, name);
    return 1;
  }
  return 0;
}

void DescribeCmdFault(const CmdFault* fault, WCHAR* out, size_t capacity) {
  out[0] = L'\0';
  size_t used = 0;
  auto add = [&](const WCHAR* format, auto... args) {
    if (used < capacity) used += FormatText(out + used, capacity - used, format, args...);
  };
  if (fault->iOffset >= 0) add(L"at offset 0x%I64X", fault->iOffset);
  const WCHAR* lead = used != 0 ? L": " : L"";
  WCHAR status[80];
  if (DescribeCmdStatus(fault, status, ARRAYSIZE(status))) {
    add(L"%sthe %s answered %s", lead, fault->bAnswered ? L"drive" : L"driver", status);
  } else if (fault->bridgeStep[0] != 0) {
    add(L"%sthe bridge step %02X %02X ", lead, fault->bridgeStep[0], fault->bridgeStep[1]);
    if (fault->bBridgeCheck) add(L"ended with CHECK CONDITION");
    else if (fault->dwBridgeMoved != fault->dwBridgeAsked)
      add(L"moved %lu of %lu bytes", fault->dwBridgeMoved, fault->dwBridgeAsked);
    else add(L"failed");
    if (fault->dwSystemError != 0) add(L" (Windows error %lu)", fault->dwSystemError);
  } else if (fault->dwReplyNeeded != 0) {
    add(L"%sthe driver handed back %lu of %lu bytes", lead, fault->dwReplyBytes, fault->dwReplyNeeded);
  } else if (fault->dwSystemError != 0) {
    add(L"%sthe request failed with Windows error %lu", lead, fault->dwSystemError);
  }
}

bool IsDeviceGoneError(DWORD error) {
  constexpr DWORD NO_SUCH_DEVICE = 433;  // ERROR_NO_SUCH_DEVICE, missing from older SDK headers
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case NO_SUCH_DEVICE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

bool IsDeviceGone(const CmdFault* fault) {
  constexpr DWORD PROTOCOL_NO_DEVICE = 4;  // STORAGE_PROTOCOL_STATUS_NO_DEVICE
  return IsDeviceGoneError(fault->dwSystemError) || (fault->bProtocolStatus && fault->dwDriverCode == PROTOCOL_NO_DEVICE);
}
