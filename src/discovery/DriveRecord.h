// What Kestrel knows about one NVMe drive: a plain value, copied whole.
#pragma once

#include <windows.h>

// Texts taken from drives and built from them hold at most 63 characters.
constexpr int DRIVE_TEXT_CAPACITY = 64;

struct DriveRecord {
  WCHAR szDevicePath[DRIVE_TEXT_CAPACITY];  // "\\.\PhysicalDrive%d"
  INT32 iCmdType;                           // a CmdType value
  INT64 iPort;                              // port id; survives re-enumeration
  UINT32 iCapacityGB;                       // decimal gigabytes, rounded down
  UINT32 iSectorSize;
  UINT64 iNamespaceSize;                    // NSZE of namespace 1, in blocks
  WCHAR szModel[DRIVE_TEXT_CAPACITY];
  WCHAR szFwRevision[DRIVE_TEXT_CAPACITY];
  WCHAR szSerial[DRIVE_TEXT_CAPACITY];      // as read: trailing blanks kept
  WCHAR szDriveLetters[DRIVE_TEXT_CAPACITY];  // "C: D: "
  UINT32 iDeviceNumber;
  BYTE bRaw;                                // no lettered volume on the drive
  BYTE bSystemDrive;                        // volume C: lies on the drive
  BYTE bSupportedController;
  UINT32 iPciVendorId;
  UINT32 iPciSubVendorId;
  UINT32 iSocId;                            // controller chip id, 0 when unknown
  UINT32 iLinkSpeed;                        // PCIe link, native NVMe drives only
  UINT32 iLinkWidth;
  UINT32 iMaxLinkSpeed;
  UINT32 iMaxLinkWidth;
  BYTE bVendorInfo;                         // the vendor identity reply was valid
  BYTE NandId[6];
  UINT32 iNandType;
  UINT32 iLunCount;
  WCHAR DrvInfoVersion[DRIVE_TEXT_CAPACITY];
  INT32 iPending;                           // a PendingState: an update committed, not yet running
  BYTE bRefusedVendorOp;                    // the vendor command the system's NVMe driver does not pass (0: none)
};
