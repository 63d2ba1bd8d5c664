// What the two USB bridge transports share: the pass-through block, one step
// of a bridge command, and the lock that keeps each bridge operation whole.
#pragma once

#include <windows.h>

#include <cstddef>
#include <ntddscsi.h>

#include "transport/CmdModel.h"

// SCSI_PASS_THROUGH_DIRECT as this build's architecture lays it out (0x38
// bytes with DataBuffer at 0x18 on x64), the sense area right after it.
struct SptdBlock {
  SCSI_PASS_THROUGH_DIRECT Sptd;
  BYTE Sense[64];
};
static_assert(offsetof(SptdBlock, Sense) == sizeof(SCSI_PASS_THROUGH_DIRECT), "sense follows the request");

constexpr int BRIDGE_CDB_LENGTH = 16;

constexpr ULONG BRIDGE_TIMEOUT_SECONDS = 10;
// A firmware piece or commit makes the drive write flash: when the
// pass-through times out first, the USB stack resets the bridge mid-write.
constexpr ULONG BRIDGE_FLASH_TIMEOUT_SECONDS = 60;
// Pass-through data buffers start on a page: that meets any adapter's
// AlignmentMask (the mask is at most a page less one).
constexpr uintptr_t BRIDGE_BUFFER_ALIGNMENT = 4096;

// One bridge step: sends cdb with the data; status receives the SCSI status.
// Returns whether the call succeeded; on failure the system error is stored.
// transferred, when given, receives the bytes the step moved.
bool SendBridgeStep(HANDLE hDrive, const BYTE* cdb, BYTE dataIn, void* buffer, DWORD length, BYTE* status,
                    ULONG timeoutSeconds = BRIDGE_TIMEOUT_SECONDS, DWORD* transferred = nullptr);
// A step of a tunnelled command: 1, or -4 when the call failed, the bridge
// answered CHECK CONDITION, or the step moved other than the bytes asked.
INT32 TunnelStep(HANDLE hDrive, const BYTE* cdb, BYTE dataIn, void* buffer, DWORD length, ULONG timeoutSeconds);
// The pass-through timeout for the steps of a tunnelled command.
ULONG BridgeTimeout(const NvmeCommand* command);

// Held across all the steps of one bridge operation: a list rebuild on the
// dialog thread may probe a bridge while the worker sends firmware through
// it, and steps of two operations must never interleave on one bridge. A
// critical section: the thread that holds it may enter it again.
void EnterBridgeLock();
void LeaveBridgeLock();

// The direction of a command's data as the pass-through names it.
BYTE BridgeDataIn(DWORD direction);
