// Where a drive hangs in the device tree: its controller's service and PCIe
// link, and its port id, which survives a re-enumeration.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "app/Log.h"
#include "app/Text.h"
#include "discovery/Discovery.h"
#include "discovery/PortId.h"
#include "platform/Platform.h"
#include "transport/StorageDefs.h"
#include "transport/Transports.h"

namespace {

// Interface classes and the PCI link property key, written out from the
// Windows documentation so no GUID library is needed.
constexpr GUID kDiskClass = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr GUID kUsbDeviceClass = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr GUID kUsbHubClass = {0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
constexpr GUID kHostControllerClass = {0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};
constexpr GUID kPciLinkKey = {0x3AB22E31, 0x8264, 0x4B4E, {0x9A, 0xF5, 0xA8, 0xD2, 0xD8, 0xE3, 0x3E, 0x62}};
constexpr DWORD CLASS_FLAGS = DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;

// A device set, or INVALID_HANDLE_VALUE with the system's reason in the log.
HDEVINFO OpenSet(const GUID* cls, DWORD flags) {
  HDEVINFO set = plat::SetupDiGetClassDevsW(cls, nullptr, nullptr, flags);
  if (set == INVALID_HANDLE_VALUE) LogLine(L"SetupDiGetClassDevsW failed, error %lu", GetLastError());
  return set;
}

HDEVINFO OpenClass(const GUID* cls) { return OpenSet(cls, CLASS_FLAGS); }

bool Element(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) {
  data->cbSize = sizeof(SP_DEVINFO_DATA);
  return plat::SetupDiEnumDeviceInfo(set, index, data) != FALSE;
}

// The instance id of a node, cut to the buffer and always terminated.
bool InstanceIdOf(DEVINST node, WCHAR* id) {
  id[0] = L'\0';
  if (node == 0 || plat::CM_Get_Device_IDW(node, id, INSTANCE_ID_CAPACITY, 0) != CR_SUCCESS) {
    id[0] = L'\0';
    return false;
  }
  id[INSTANCE_ID_CAPACITY - 1] = L'\0';  // an id that fills the buffer comes unterminated
  return true;
}

DEVINST ParentOf(DEVINST node) {
  DEVINST parent = 0;
  if (node == 0 || plat::CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return 0;
  return parent;
}

enum class PropertyText { Read, Absent, NoMemory };

// Reads a text registry property into capacity units, cut and terminated.
PropertyText ReadTextProperty(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property, WCHAR* out, size_t capacity) {
  out[0] = L'\0';
  DWORD needed = 0;
  plat::SetupDiGetDeviceRegistryPropertyW(set, data, property, nullptr, nullptr, 0, &needed);
  if (needed == 0) return PropertyText::Absent;
  size_t units = needed / sizeof(WCHAR) + 1;
  WCHAR* text = new (std::nothrow) WCHAR[units];
  if (text == nullptr) return PropertyText::NoMemory;
  memset(text, 0, units * sizeof(WCHAR));
  bool ok = plat::SetupDiGetDeviceRegistryPropertyW(set, data, property, nullptr, reinterpret_cast<BYTE*>(text),
                                                     needed, nullptr) != FALSE;
  if (ok) StringCchCopyNW(out, capacity, text, units - 1);
  delete[] text;
  return ok ? PropertyText::Read : PropertyText::Absent;
}

// Reads "Port_#0003.Hub_#0002" into its port number: 0 when the node has
// none, PORT_UNREADABLE when it could not be read or is no digit.
INT64 PortDigit(HDEVINFO set, SP_DEVINFO_DATA* data) {
  WCHAR location[INSTANCE_ID_CAPACITY];
  PropertyText text = ReadTextProperty(set, data, SPDRP_LOCATION_INFORMATION, location, INSTANCE_ID_CAPACITY);
  if (text == PropertyText::NoMemory) return PORT_UNREADABLE;
  return text == PropertyText::Absent ? 0 : PortNumberOfLocation(location);
}

void Release(HDEVINFO set) {
  if (set != INVALID_HANDLE_VALUE) plat::SetupDiDestroyDeviceInfoList(set);
}

bool NumberOfDisk(HANDLE disk, UINT32* number) {
  STORAGE_DEVICE_NUMBER sdn = {};
  if (!QueryDeviceNumber(disk, &sdn)) return false;
  *number = sdn.DeviceNumber;
  return true;
}

bool IsUsbTransport(INT32 cmdType) {
  const Transport* transport = FindTransport(cmdType);
  return transport != nullptr && transport->bUsb;
}

HANDLE OpenPath(const WCHAR* path) {
  return plat::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
}

// Room for one more item, doubling; false when memory ran out.
template <typename T>
bool Grow(T*& items, DWORD count, DWORD& capacity) {
  if (count < capacity) return true;
  DWORD bigger = capacity == 0 ? 16 : capacity * 2;
  T* grown = new (std::nothrow) T[bigger];
  if (grown == nullptr) return false;
  for (DWORD i = 0; i < count; ++i) grown[i] = items[i];
  delete[] items;
  items = grown;
  capacity = bigger;
  return true;
}

// The device path of an interface, in memory the caller deletes; null when
// it cannot be read.
WCHAR* InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* iface) {
  DWORD needed = 0;
  plat::SetupDiGetDeviceInterfaceDetailW(set, iface, nullptr, 0, &needed, nullptr);
  if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return nullptr;
  auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(operator new(needed, std::nothrow));
  if (detail == nullptr) return nullptr;
  WCHAR* path = nullptr;
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (plat::SetupDiGetDeviceInterfaceDetailW(set, iface, detail, needed, nullptr, nullptr)) {
    size_t units = (needed - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
    path = new (std::nothrow) WCHAR[units + 1];
    if (path != nullptr) {
      memcpy(path, detail->DevicePath, units * sizeof(WCHAR));
      path[units] = L'\0';  // a path that fills the record comes unterminated
    }
  }
  operator delete(detail);
  return path;
}

// Below the root hub USB allows five hubs; a deeper climb is a loop in an
// odd tree, or a chain of zeros that never fills the number.
constexpr int MAX_HUB_LEVELS = 16;

INT64 WalkHubs(TreeSnapshot& tree, const WCHAR* hubId, INT64 number, int level) {
  HDEVINFO set;
  SP_DEVINFO_DATA data;
  DWORD position;
  bool readable;
  if (!tree.FindId(TreeSnapshot::USB_HUBS, hubId, &position, &set, &data, &readable)) return readable ? number : -1;
  WCHAR parentId[INSTANCE_ID_CAPACITY];
  if (!InstanceIdOf(ParentOf(data.DevInst), parentId)) return -1;  // the climb cannot go on
  if (IsRootHubId(hubId)) {
    INT64 index = GetHostControllerIndex(tree, parentId);
    return index > 99 ? -1 : AppendPortDigit(number, index);
  }
  INT64 port = PortDigit(set, &data);
  if (port == PORT_UNREADABLE || level >= MAX_HUB_LEVELS) return -1;
  INT64 longer = AppendPortDigit(number, port);
  return longer < 0 ? -1 : WalkHubs(tree, parentId, longer, level + 1);
}

INT64 UsbPortId(TreeSnapshot& tree, DEVINST disk) {
  WCHAR parentId[INSTANCE_ID_CAPACITY];
  if (!InstanceIdOf(ParentOf(disk), parentId)) return 0;  // no USB device: no chain
  return PortIdOfChain(GetUsbPortChain(tree, parentId));
}

// A node's bus number; 0 when it is not there or has none, and *readable
// false when the device tree could not be read for it.
INT32 BusNumberOf(TreeSnapshot& tree, DEVINST node, bool* readable) {
  HDEVINFO set;
  SP_DEVINFO_DATA data;
  if (!tree.FindNode(TreeSnapshot::ALL_DEVICES, node, &set, &data, readable)) return 0;
  DWORD needed = 0;
  plat::SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_BUSNUMBER, nullptr, nullptr, 0, &needed);
  DWORD value = 0;
  if (needed == sizeof value &&
      plat::SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_BUSNUMBER, nullptr, reinterpret_cast<BYTE*>(&value),
                                              sizeof value, nullptr))
    return static_cast<INT32>(value);
  return 0;
}

INT64 PciePortId(TreeSnapshot& tree, DEVINST disk) {
  DEVINST parent = ParentOf(disk);
  bool parentRead = true, grandparentRead = true;
  INT64 low = BusNumberOf(tree, parent, &parentRead);
  INT64 high = BusNumberOf(tree, ParentOf(parent), &grandparentRead);
  if (!parentRead || !grandparentRead) return PORT_ID_UNKNOWN;
  return PciePortIdOf(high, low);
}

}  // namespace

// --- the snapshot ---

TreeSnapshot::TreeSnapshot() = default;

TreeSnapshot::~TreeSnapshot() {
  for (Set& set : sets_) {
    Release(set.handle);
    for (DWORD i = 0; i < set.count; ++i) delete[] set.members[i].id;
    delete[] set.members;
  }
  for (DWORD i = 0; i < diskCount_; ++i) delete[] disks_[i].path;
  delete[] disks_;
}

void TreeSnapshot::ReadDisks() {
  if (disksRead_) return;
  disksRead_ = true;
  HDEVINFO set = OpenClass(&kDiskClass);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA data;
  for (DWORD i = 0; Element(set, i, &data); ++i) {
    // The element's own interface: node and handle are the same disk even
    // when disks come and go meanwhile.
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof iface;
    if (!plat::SetupDiEnumDeviceInterfaces(set, &data, &kDiskClass, 0, &iface)) continue;
    WCHAR* path = InterfacePath(set, &iface);
    if (path == nullptr) continue;
    if (!Grow(disks_, diskCount_, diskCapacity_)) {
      delete[] path;
      continue;
    }
    Disk& d = disks_[diskCount_++];
    d = Disk{};
    d.node = data.DevInst;
    d.path = path;
    // A disk that cannot be opened now is kept without its number: it is
    // asked again when a drive needs it.
    HANDLE disk = OpenPath(path);
    if (disk != INVALID_HANDLE_VALUE) {
      d.numbered = NumberOfDisk(disk, &d.number);
      plat::CloseHandle(disk);
    }
  }
  Release(set);
}

DWORD TreeSnapshot::DiskCount() {
  ReadDisks();
  return diskCount_;
}

DEVINST TreeSnapshot::DiskNode(DWORD i) { return i < DiskCount() ? disks_[i].node : 0; }

bool TreeSnapshot::DiskNumber(DWORD i, UINT32* number) {
  if (i >= DiskCount() || !disks_[i].numbered) return false;
  *number = disks_[i].number;
  return true;
}

int TreeSnapshot::DiskWithNumber(UINT32 number) {
  for (int pass = 0; pass < 2; ++pass) {
    for (DWORD i = 0; i < DiskCount(); ++i)
      if (disks_[i].numbered && disks_[i].number == number) return static_cast<int>(i);
    if (pass == 0 && !AskAgain()) break;
  }
  return -1;
}

bool TreeSnapshot::AskAgain() {
  // Through the disk's own interface, so the number is still its own.
  bool learned = false;
  for (DWORD i = 0; i < DiskCount(); ++i) {
    Disk& d = disks_[i];
    if (d.numbered || d.askedAgain) continue;
    d.askedAgain = true;
    HANDLE disk = OpenPath(d.path);
    if (disk == INVALID_HANDLE_VALUE) continue;
    d.numbered = NumberOfDisk(disk, &d.number);
    learned = learned || d.numbered;
    plat::CloseHandle(disk);
  }
  return learned;
}

HANDLE TreeSnapshot::OpenDiskAt(DWORD i) { return i < DiskCount() ? OpenPath(disks_[i].path) : INVALID_HANDLE_VALUE; }

bool TreeSnapshot::StillNumbered(DWORD i) {
  if (i >= DiskCount() || !disks_[i].numbered) return false;
  // A question that fails is asked once more: only an answer tells that the
  // disk left or carries another number.
  for (int attempt = 0; attempt < 2; ++attempt) {
    HANDLE disk = OpenPath(disks_[i].path);
    if (disk == INVALID_HANDLE_VALUE) continue;
    UINT32 number = 0;
    bool answered = NumberOfDisk(disk, &number);
    plat::CloseHandle(disk);
    if (answered) return number == disks_[i].number;
  }
  return false;
}

bool TreeSnapshot::DiskBusType(DWORD i, STORAGE_BUS_TYPE* bus) {
  if (i >= DiskCount()) return false;
  Disk& d = disks_[i];
  if (d.busState == 0) {
    d.busState = 2;
    HANDLE disk = OpenPath(d.path);
    if (disk != INVALID_HANDLE_VALUE) {
      STORAGE_PROPERTY_QUERY query = {};
      query.PropertyId = StorageDeviceProperty;
      query.QueryType = PropertyStandardQuery;
      STORAGE_DEVICE_DESCRIPTOR descriptor = {};
      DWORD returned = 0;
      if (plat::DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &descriptor,
                                sizeof descriptor, &returned, nullptr)) {
        d.busState = 1;
        d.bus = descriptor.BusType;
      }
      plat::CloseHandle(disk);
    }
  }
  *bus = d.bus;
  return d.busState == 1;
}

INT64 TreeSnapshot::DiskPortId(DWORD i, bool usb) {
  if (i >= DiskCount()) return PORT_ID_UNKNOWN;
  Disk& d = disks_[i];
  if (usb && !d.usbPortRead) {
    d.usbPortRead = true;
    d.usbPort = UsbPortId(*this, d.node);
  }
  if (!usb && !d.pciePortRead) {
    d.pciePortRead = true;
    d.pciePort = PciePortId(*this, d.node);
  }
  return usb ? d.usbPort : d.pciePort;
}

bool TreeSnapshot::Open(Set& set, Kind kind) {
  if (!set.tried) {
    set.tried = true;
    static const GUID* const classes[KIND_COUNT] = {nullptr, &kUsbDeviceClass, &kUsbHubClass, &kHostControllerClass};
    set.handle = kind == ALL_DEVICES ? OpenSet(nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES) : OpenClass(classes[kind]);
    set.broken = set.handle == INVALID_HANDLE_VALUE;
  }
  return !set.broken;
}

// The next element of the set; false at its end or when it broke.
bool TreeSnapshot::More(Set& set) {
  if (set.ended || set.broken) return false;
  if (!Grow(set.members, set.count, set.capacity)) {
    set.broken = true;  // the rest cannot be seen: the set counts as unread
    return false;
  }
  Member& m = set.members[set.count];
  m = Member{};
  if (!Element(set.handle, set.count, &m.data)) {
    set.ended = true;
    return false;
  }
  ++set.count;
  return true;
}

const WCHAR* TreeSnapshot::IdAt(Set& set, DWORD i) {
  Member& m = set.members[i];
  if (m.idState == 0) {
    m.idState = 2;
    m.id = new (std::nothrow) WCHAR[INSTANCE_ID_CAPACITY];
    if (m.id == nullptr) set.broken = true;  // an element not compared: the set counts as unread
    else if (InstanceIdOf(m.data.DevInst, m.id)) m.idState = 1;
  }
  return m.idState == 1 ? m.id : nullptr;
}

bool TreeSnapshot::FindNode(Kind kind, DEVINST node, HDEVINFO* handle, SP_DEVINFO_DATA* data, bool* readable) {
  *readable = true;
  if (node == 0) return false;  // no node: nothing to find, nothing to read
  Set& set = sets_[kind];
  if (!Open(set, kind)) {
    *readable = false;
    return false;
  }
  for (DWORD i = 0; i < set.count || More(set); ++i) {
    if (set.members[i].data.DevInst != node) continue;
    *handle = set.handle;
    *data = set.members[i].data;
    return true;
  }
  *readable = !set.broken;
  return false;
}

bool TreeSnapshot::FindId(Kind kind, const WCHAR* id, DWORD* position, HDEVINFO* handle, SP_DEVINFO_DATA* data,
                          bool* readable) {
  *readable = true;
  Set& set = sets_[kind];
  if (!Open(set, kind)) {
    *readable = false;
    return false;
  }
  for (DWORD i = 0; i < set.count || More(set); ++i) {
    const WCHAR* element = IdAt(set, i);
    if (element == nullptr || wcscmp(element, id) != 0) continue;
    *position = i;
    *handle = set.handle;
    *data = set.members[i].data;
    return true;
  }
  *readable = !set.broken;
  return false;
}

bool TreeSnapshot::Count(Kind kind, DWORD* count) {
  Set& set = sets_[kind];
  if (!Open(set, kind)) return false;
  while (More(set)) {
  }
  *count = set.count;
  return !set.broken;
}

// --- the lookups ---

DEVINST FindDiskDevInst(TreeSnapshot& tree, const WCHAR* drivePath, int level) {
  for (int pass = 0; pass < 2; ++pass) {
    for (DWORD i = 0; i < tree.DiskCount(); ++i) {
      WCHAR path[64] = L"";
      UINT32 number = 0;
      if (tree.DiskNumber(i, &number)) FormatText(path, L"\\\\.\\PHYSICALDRIVE%d", number);
      if (_wcsicmp(path, drivePath) != 0) continue;
      DEVINST disk = tree.DiskNode(i);
      if (level == 0) return disk;
      if (level == 1) return ParentOf(disk);
      if (level == 2) return ParentOf(ParentOf(disk));
      return 0;
    }
    if (pass == 0 && !tree.AskAgain()) break;
  }
  return 0;
}

void GetControllerService(TreeSnapshot& tree, const WCHAR* drivePath, WCHAR* service) {
  service[0] = L'\0';
  HDEVINFO set;
  SP_DEVINFO_DATA data;
  bool readable;
  if (tree.FindNode(TreeSnapshot::ALL_DEVICES, FindDiskDevInst(tree, drivePath, 1), &set, &data, &readable) &&
      ReadTextProperty(set, &data, SPDRP_SERVICE, service, SERVICE_CAPACITY) == PropertyText::NoMemory)
    LogLine(L"%s: no memory to read its controller's service", drivePath);
}

void GetPcieLinkInfo(TreeSnapshot& tree, const WCHAR* drivePath, UINT32* linkSpeed, UINT32* linkWidth,
                     UINT32* maxLinkSpeed, UINT32* maxLinkWidth) {
  HDEVINFO set;
  SP_DEVINFO_DATA data;
  bool readable;
  if (!tree.FindNode(TreeSnapshot::ALL_DEVICES, FindDiskDevInst(tree, drivePath, 1), &set, &data, &readable)) return;
  UINT32* values[4] = {linkSpeed, linkWidth, maxLinkSpeed, maxLinkWidth};
  for (ULONG k = 0; k < 4; ++k) {
    *values[k] = 0;
    DEVPROPKEY key = {kPciLinkKey, 9 + k};
    DEVPROPTYPE type = 0;
    UINT32 value = 0;
    if (plat::SetupDiGetDevicePropertyW(set, &data, &key, &type, reinterpret_cast<BYTE*>(&value), sizeof value,
                                        nullptr, 0) &&
        type == DEVPROP_TYPE_UINT32)
      *values[k] = value;
  }
}

INT64 GetHostControllerIndex(TreeSnapshot& tree, const WCHAR* hostControllerId) {
  HDEVINFO set;
  SP_DEVINFO_DATA data;
  DWORD position = 0;
  bool readable;
  if (tree.FindId(TreeSnapshot::HOST_CONTROLLERS, hostControllerId, &position, &set, &data, &readable))
    return static_cast<INT64>(position) + 1;
  DWORD count = 0;
  if (!readable || !tree.Count(TreeSnapshot::HOST_CONTROLLERS, &count)) return -1;
  return static_cast<INT64>(count) + 1;
}

INT64 WalkUsbHubs(TreeSnapshot& tree, const WCHAR* hubId, INT64 number) { return WalkHubs(tree, hubId, number, 0); }

INT64 GetUsbPortChain(TreeSnapshot& tree, const WCHAR* usbDeviceId) {
  HDEVINFO set;
  SP_DEVINFO_DATA data;
  DWORD position;
  bool readable;
  if (!tree.FindId(TreeSnapshot::USB_DEVICES, usbDeviceId, &position, &set, &data, &readable)) return readable ? 0 : -1;
  INT64 port = PortDigit(set, &data);
  if (port == PORT_UNREADABLE) return -1;
  WCHAR hubId[INSTANCE_ID_CAPACITY];
  if (!InstanceIdOf(ParentOf(data.DevInst), hubId)) return -1;
  return WalkUsbHubs(tree, hubId, port);
}

INT64 GetDiskPortID(const CmdContext* ctx, UINT32 deviceNumber) {
  TreeSnapshot tree;
  return GetDiskPortID(tree, ctx, deviceNumber);
}

INT64 GetDiskPortID(TreeSnapshot& tree, const CmdContext* ctx, UINT32 deviceNumber) {
  int disk = tree.DiskWithNumber(deviceNumber);
  if (disk < 0) return PORT_ID_UNKNOWN;
  return tree.DiskPortId(static_cast<DWORD>(disk), IsUsbTransport(ctx->iCmdType));
}

HANDLE OpenNextDiskByPortID(TreeSnapshot& tree, INT32 iCmdType, INT64 portId, DWORD* next) {
  if (portId < 0) return INVALID_HANDLE_VALUE;  // -1 and unknown are no place a disk can be
  for (DWORD i = *next; i < tree.DiskCount(); ++i) {
    STORAGE_BUS_TYPE bus;
    if (!tree.DiskBusType(i, &bus)) continue;
    INT64 diskPort = -1;
    if (bus == BusTypeUsb && IsUsbTransport(iCmdType)) diskPort = tree.DiskPortId(i, true);
    else if (bus == BusTypeRAID || bus == BusTypeNvme) diskPort = tree.DiskPortId(i, false);
    // A disk on another bus (-1) matches nothing, whatever is wanted.
    if (diskPort != portId) continue;
    HANDLE disk = tree.OpenDiskAt(i);
    if (disk == INVALID_HANDLE_VALUE) continue;
    *next = i + 1;
    return disk;
  }
  *next = tree.DiskCount();
  return INVALID_HANDLE_VALUE;
}
