// Finding the drives: the device topology behind them (controller service,
// PCIe link, port id) and, later, enumeration and re-identification.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>

#include "discovery/DriveRecord.h"
#include "transport/CmdModel.h"

// The port id of a drive that no present disk carries: neither a real port id
// (0 and up) nor the -1 that disks on another bus count as.
constexpr INT64 PORT_ID_UNKNOWN = -2;

constexpr size_t SERVICE_CAPACITY = 128;
constexpr size_t INSTANCE_ID_CAPACITY = 260;

HANDLE OpenDeviceInterface(const GUID* interfaceClass, DWORD index);
DEVINST FindDiskDevInst(const WCHAR* drivePath, int level);
void GetControllerService(const WCHAR* drivePath, WCHAR* service /* 128 units */);
void GetPcieLinkInfo(const WCHAR* drivePath, UINT32* linkSpeed, UINT32* linkWidth, UINT32* maxLinkSpeed,
                     UINT32* maxLinkWidth);
INT32 GetBusNumber(DEVINST node);
INT64 GetHostControllerIndex(const WCHAR* hostControllerId);
INT64 WalkUsbHubs(const WCHAR* hubId, INT64 number);
INT64 GetUsbPortChain(const WCHAR* usbDeviceId);
// The chain's base-100 digits reversed: the host controller comes first.
INT64 ReverseChain(UINT64 chain);
INT64 GetDiskPortID(const CmdContext* ctx, UINT32 deviceNumber);
HANDLE OpenDiskByPortID(INT32 iCmdType, INT64 portId);
// The disk after the first skip ones at that port id: drives behind one RST
// adapter share its port id.
HANDLE OpenDiskByPortIDSkipping(INT32 iCmdType, INT64 portId, int skip);

// The storage device number of an open disk or volume.
bool QueryDeviceNumber(HANDLE h, STORAGE_DEVICE_NUMBER* number);

// Enumeration.
constexpr int MAX_PHYSICAL_DRIVES = 20;
constexpr UINT32 MIN_CAPACITY_GB = 16;
constexpr DWORD IDENTIFY_SIZE = 4096;

// Probes PhysicalDrive0 to 19. busy, when given, is the drive under update:
// its disk is sent nothing and keeps that record while it is there.
UINT32 ScanDisks(DriveRecord* slots, UINT32 capacity, const DriveRecord* busy = nullptr);
INT32 GetDiskInfo(const WCHAR* path, DriveRecord* record);
HANDLE OpenDisk(const WCHAR* path, CmdContext* ctx);
INT32 IdentifyDisk(const CmdContext* ctx, HANDLE hDrive, DWORD cns, DWORD nsid, void* buffer, DWORD length,
                   BYTE* status);
// Closes what OpenDisk opened.
void CloseDisk(HANDLE hDrive, CmdContext* ctx);

// Model, firmware revision and serial number from Identify Controller data,
// as the records hold them.
void ReadIdentifyTexts(const BYTE* controller, DriveRecord* record);

// Re-identification: finds the drive again by its port id and refills the
// record. 0 at once for a record with no device path (a cleared slot).
int GetDiskInfoByPortID(DriveRecord* record, int tries);

// The drive behind an open handle is not the one the record describes.
constexpr INT32 RES_DRIVE_CHANGED = -8;
// Reads Identify Controller through the open handle and confirms that the
// drive there is the recorded one: serial number, model, firmware revision,
// transport and port id. 1, RES_DRIVE_CHANGED, or the failed request's result.
INT32 ConfirmDiskIdentity(const CmdContext* ctx, HANDLE hDrive, const DriveRecord* expected);
