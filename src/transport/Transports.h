// One record per transport: how each operation of the update flow goes
// through it, and the facts the rest of the program asks of it. Filled once;
// adding a bridge adds a record and touches nothing else.
#pragma once

#include <windows.h>

#include "transport/CmdModel.h"

struct Transport {
  const WCHAR* szName;    // in /list and the log: "NVMe", "ASMedia USB"
  // The panel's interface text: a format taking the drive's USB port
  // number, or nullptr for the PCIe link's generation and width.
  const WCHAR* szLabel;
  const WCHAR* szCarrier; // what holds pieces to a size, in a refusal
  BOOL bUsb;              // behind a USB hub: port ids count from it
  // The driver lets vendor commands through only when the drive's Commands
  // Supported and Effects log lists them.
  BOOL bVendorNeedsEffectsLog;
  DWORD dwMaxPiece;       // the most one request carries
  DWORD dwCommandSeconds, dwFirmwareSeconds;
  // An admin command the caller built. checkCondition, when given, becomes
  // 2 when a bridge answered a step with CHECK CONDITION instead of failing.
  INT32 (*Admin)(const CmdContext* ctx, HANDLE hDrive, DWORD direction, const NvmeCommand* command, void* buffer,
                 DWORD length, BYTE* checkCondition);
  INT32 (*Identify)(const CmdContext* ctx, HANDLE hDrive, const NvmeCommand* command, void* buffer, DWORD length,
                    BYTE* checkCondition);
  INT32 (*Piece)(const CmdContext* ctx, HANDLE hDrive, DWORD offset, const BYTE* piece, DWORD length, BYTE slot);
  INT32 (*Commit)(const CmdContext* ctx, HANDLE hDrive, DWORD slot, DWORD action);
  // The driver's firmware information (slots, alignment, largest piece);
  // nullptr where no driver answers it.
  INT32 (*FirmwareInfo)(const CmdContext* ctx, HANDLE hDrive, DriverFirmwareInfo* info);
  // A bridge restarts the drive itself after a commit; nullptr: the drive
  // waits for the computer's reset.
  INT32 (*PowerCycle)(HANDLE hDrive, DWORD mode);
  DWORD dwPowerCycleMode;
};

// The record of a drive's transport; nullptr for CMD_NONE or any value
// that names none.
const Transport* FindTransport(INT32 cmdType);
