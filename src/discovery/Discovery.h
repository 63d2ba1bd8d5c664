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
