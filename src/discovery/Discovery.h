// Finding the drives: the device topology behind them (controller service,
// PCIe link, port id) and, later, enumeration and re-identification.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <winioctl.h>

#include "discovery/DriveRecord.h"
#include "discovery/PortId.h"
#include "transport/CmdModel.h"

constexpr size_t SERVICE_CAPACITY = 128;
constexpr size_t INSTANCE_ID_CAPACITY = 260;

// One look at the device tree, shared by every lookup of a scan or of one
// re-identification attempt. The disks are read once: each with its node,
// the path of its own interface (taken from its element, so node and handle
// belong to the same disk) and its storage device number. The sets through
// which other nodes are read are each opened at their first use and
// enumerated no further than a lookup needs. A disk that arrives after the
// disks were read is not in it; one that left is found gone when opened.
class TreeSnapshot {
 public:
  enum Kind { ALL_DEVICES, USB_DEVICES, USB_HUBS, HOST_CONTROLLERS, KIND_COUNT };

  TreeSnapshot();
  ~TreeSnapshot();
  TreeSnapshot(const TreeSnapshot&) = delete;
  TreeSnapshot& operator=(const TreeSnapshot&) = delete;

  // Reads the present disks, once; every disk lookup does it first.
  void ReadDisks();
  DWORD DiskCount();
  DEVINST DiskNode(DWORD i);
  bool DiskNumber(DWORD i, UINT32* number);
  // The disk that carried this storage device number; -1 when none.
  int DiskWithNumber(UINT32 number);
  // Asks the disks that did not tell their number when the tree was read
  // once more; true when one now has.
  bool AskAgain();
  // Opens the disk's own interface; the caller closes the handle.
  HANDLE OpenDiskAt(DWORD i);
  // The disk still answers under the number it had: it has not left since.
  bool StillNumbered(DWORD i);
  // The bus type of the disk's device descriptor; false when it cannot be read.
  bool DiskBusType(DWORD i, STORAGE_BUS_TYPE* bus);
  // The disk's port id reckoned as a USB disk (its chain) or as a PCIe
  // disk (its bus numbers), worked out once each.
  INT64 DiskPortId(DWORD i, bool usb);

  // The element of a node in a set. False when the node is not in it, or
  // when the set cannot be read, which *readable then tells.
  bool FindNode(Kind kind, DEVINST node, HDEVINFO* set, SP_DEVINFO_DATA* data, bool* readable);
  // The element, and its position, whose instance id is this one.
  bool FindId(Kind kind, const WCHAR* id, DWORD* position, HDEVINFO* set, SP_DEVINFO_DATA* data, bool* readable);
  // How many elements the set has; false when it cannot be read.
  bool Count(Kind kind, DWORD* count);

 private:
  struct Disk {
    DEVINST node;
    WCHAR* path;  // the disk's own interface
    bool numbered;
    bool askedAgain;  // its number was asked a second time
    UINT32 number;
    int busState;  // 0 not asked, 1 read, 2 unreadable
    STORAGE_BUS_TYPE bus;
    bool usbPortRead, pciePortRead;
    INT64 usbPort, pciePort;
  };
  struct Member {
    SP_DEVINFO_DATA data;
    int idState;  // 0 not read, 1 read, 2 unreadable
    WCHAR* id;
  };
  struct Set {
    HDEVINFO handle = INVALID_HANDLE_VALUE;
    bool tried = false;   // an open was attempted
    bool ended = false;   // every element was enumerated
    bool broken = false;  // the set, or memory for it, failed
    Member* members = nullptr;
    DWORD count = 0, capacity = 0;
  };
  bool Open(Set& set, Kind kind);
  bool More(Set& set);
  const WCHAR* IdAt(Set& set, DWORD i);
  bool disksRead_ = false;
  Disk* disks_ = nullptr;
  DWORD diskCount_ = 0, diskCapacity_ = 0;
  Set sets_[KIND_COUNT];
};

DEVINST FindDiskDevInst(TreeSnapshot& tree, const WCHAR* drivePath, int level);
void GetControllerService(TreeSnapshot& tree, const WCHAR* drivePath, WCHAR* service /* 128 units */);
void GetPcieLinkInfo(TreeSnapshot& tree, const WCHAR* drivePath, UINT32* linkSpeed, UINT32* linkWidth,
                     UINT32* maxLinkSpeed, UINT32* maxLinkWidth);
// A chain lookup answers -1 when a set it needs cannot be read: the port id
// is then unknown, never a shorter chain.
INT64 GetHostControllerIndex(TreeSnapshot& tree, const WCHAR* hostControllerId);
INT64 WalkUsbHubs(TreeSnapshot& tree, const WCHAR* hubId, INT64 number);
INT64 GetUsbPortChain(TreeSnapshot& tree, const WCHAR* usbDeviceId);
INT64 GetDiskPortID(const CmdContext* ctx, UINT32 deviceNumber);
INT64 GetDiskPortID(TreeSnapshot& tree, const CmdContext* ctx, UINT32 deviceNumber);
// The first disk of the snapshot at that port id from position *next on,
// which is then moved past it: drives behind one RST adapter share its port
// id, and are opened in turn.
HANDLE OpenNextDiskByPortID(TreeSnapshot& tree, INT32 iCmdType, INT64 portId, DWORD* next);

// The storage device number of an open disk or volume.
bool QueryDeviceNumber(HANDLE h, STORAGE_DEVICE_NUMBER* number);

// Enumeration.
constexpr int MAX_PHYSICAL_DRIVES = 20;
constexpr UINT32 MIN_CAPACITY_GB = 16;

// Probes PhysicalDrive0 to 19. busy, when given, is the drive under update:
// its disk is sent nothing and keeps that record while it is there.
// denied counts the disks that could not be opened for lack of rights.
UINT32 ScanDisks(DriveRecord* slots, UINT32 capacity, const DriveRecord* busy = nullptr, UINT32* denied = nullptr);
INT32 GetDiskInfo(const WCHAR* path, DriveRecord* record);
// Whether a disk is still on the bus, asked without a request to the drive.
bool DiskPresent(const WCHAR* path);
INT32 GetDiskInfo(TreeSnapshot& tree, const WCHAR* path, DriveRecord* record);
HANDLE OpenDisk(const WCHAR* path, CmdContext* ctx);
HANDLE OpenDisk(TreeSnapshot& tree, const WCHAR* path, CmdContext* ctx);
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
// Also hands back what the drive's Identify says of its firmware slots.
INT32 ConfirmDiskIdentity(const CmdContext* ctx, HANDLE hDrive, const DriveRecord* expected,
                          FirmwareFacts* facts = nullptr);
