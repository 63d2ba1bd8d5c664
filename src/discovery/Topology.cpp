// Where a drive hangs in the device tree: its controller's service and PCIe
// link, and its port id, which survives a re-enumeration.
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "app/AppState.h"
#include "app/Text.h"
#include "discovery/Discovery.h"
#include "platform/Platform.h"
#include "transport/StorageDefs.h"

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

// Reads a text registry property into capacity units, cut and terminated.
bool ReadTextProperty(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property, WCHAR* out, size_t capacity) {
  out[0] = L'\0';
  DWORD needed = 0;
  plat::SetupDiGetDeviceRegistryPropertyW(set, data, property, nullptr, nullptr, 0, &needed);
  if (needed == 0) return false;
  size_t units = needed / sizeof(WCHAR) + 1;
  WCHAR* text = new (std::nothrow) WCHAR[units];
  if (text == nullptr) return false;
  memset(text, 0, units * sizeof(WCHAR));
  bool ok = plat::SetupDiGetDeviceRegistryPropertyW(set, data, property, nullptr, reinterpret_cast<BYTE*>(text),
                                                     needed, nullptr) != FALSE;
  if (ok) StringCchCopyNW(out, capacity, text, units - 1);
  delete[] text;
  return ok;
}

// Reads "Port_#0003.Hub_#0002" into its port number; 0 when absent.
INT64 PortFromLocation(HDEVINFO set, SP_DEVINFO_DATA* data) {
  WCHAR location[INSTANCE_ID_CAPACITY];
  if (!ReadTextProperty(set, data, SPDRP_LOCATION_INFORMATION, location, INSTANCE_ID_CAPACITY)) return 0;
  INT64 port = 0, hub = 0;
  if (swscanf(location, L"Port_#%lld.Hub_#%lld", &port, &hub) < 1) return 0;
  return port;
}

// Finds the element of all present devices with this node; the caller
// releases the set, also when nothing was found.
HDEVINFO FindAmongAll(DEVINST node, SP_DEVINFO_DATA* data, bool* found) {
  *found = false;
  HDEVINFO all = OpenSet(nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (all == INVALID_HANDLE_VALUE) return all;
  for (DWORD i = 0; node != 0 && Element(all, i, data); ++i) {
    if (data->DevInst == node) {
      *found = true;
      break;
    }
  }
  return all;
}

void Release(HDEVINFO set) {
  if (set != INVALID_HANDLE_VALUE) plat::SetupDiDestroyDeviceInfoList(set);
}

bool DiskNumber(HANDLE disk, UINT32* number) {
  STORAGE_DEVICE_NUMBER sdn = {};
  if (!QueryDeviceNumber(disk, &sdn)) return false;
  *number = sdn.DeviceNumber;
  return true;
}

bool IsUsbTransport(INT32 cmdType) { return cmdType == CMD_ASM_USB || cmdType == CMD_JMI_USB; }

INT64 UsbPortId(DEVINST disk) {
  WCHAR parentId[INSTANCE_ID_CAPACITY];
  if (!InstanceIdOf(ParentOf(disk), parentId)) return ReverseChain(0);
  return ReverseChain(static_cast<UINT64>(GetUsbPortChain(parentId)));
}

INT64 PciePortId(DEVINST disk) {
  DEVINST parent = ParentOf(disk);
  return 99 * static_cast<INT64>(GetBusNumber(ParentOf(parent))) + GetBusNumber(parent);
}

}  // namespace

HANDLE OpenDeviceInterface(const GUID* interfaceClass, DWORD index) {
  HDEVINFO set = plat::SetupDiGetClassDevsW(interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    LogLine(L"No HDEVINFO available for this GUID\n");
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  SP_DEVICE_INTERFACE_DATA iface = {};
  iface.cbSize = sizeof iface;
  if (!plat::SetupDiEnumDeviceInterfaces(set, nullptr, interfaceClass, index, &iface)) {
    LogLine(L"No SP_INTERFACE_DEVICE_DATA available for this GUID instance\n");
  } else {
    DWORD needed = 0;
    plat::SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &needed, nullptr);
    auto* detail = needed >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                       ? static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(operator new(needed, std::nothrow))
                       : nullptr;
    if (detail != nullptr) {
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
      if (plat::SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, needed, nullptr, nullptr))
        handle = plat::CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
      operator delete(detail);
    }
  }
  Release(set);
  return handle;
}

DEVINST FindDiskDevInst(const WCHAR* drivePath, int level) {
  HDEVINFO set = OpenClass(&kDiskClass);
  if (set == INVALID_HANDLE_VALUE) return 0;
  DEVINST result = 0;
  SP_DEVINFO_DATA data;
  for (DWORD i = 0; Element(set, i, &data); ++i) {
    WCHAR path[64] = L"";
    HANDLE disk = OpenDeviceInterface(&kDiskClass, i);
    if (disk != INVALID_HANDLE_VALUE) {
      UINT32 number = 0;
      if (DiskNumber(disk, &number)) FormatText(path, L"\\\\.\\PHYSICALDRIVE%d", number);
      plat::CloseHandle(disk);
    }
    if (_wcsicmp(path, drivePath) != 0) continue;
    if (level == 0) result = data.DevInst;
    else if (level == 1) result = ParentOf(data.DevInst);
    else if (level == 2) result = ParentOf(ParentOf(data.DevInst));
    break;
  }
  Release(set);
  return result;
}

void GetControllerService(const WCHAR* drivePath, WCHAR* service) {
  service[0] = L'\0';
  DEVINST parent = FindDiskDevInst(drivePath, 1);
  SP_DEVINFO_DATA data;
  bool found = false;
  HDEVINFO all = FindAmongAll(parent, &data, &found);
  if (found) ReadTextProperty(all, &data, SPDRP_SERVICE, service, SERVICE_CAPACITY);
  Release(all);
}

void GetPcieLinkInfo(const WCHAR* drivePath, UINT32* linkSpeed, UINT32* linkWidth, UINT32* maxLinkSpeed,
                     UINT32* maxLinkWidth) {
  DEVINST parent = FindDiskDevInst(drivePath, 1);
  SP_DEVINFO_DATA data;
  bool found = false;
  HDEVINFO all = FindAmongAll(parent, &data, &found);
  if (found) {
    UINT32* values[4] = {linkSpeed, linkWidth, maxLinkSpeed, maxLinkWidth};
    for (ULONG k = 0; k < 4; ++k) {
      *values[k] = 0;
      DEVPROPKEY key = {kPciLinkKey, 9 + k};
      DEVPROPTYPE type = 0;
      UINT32 value = 0;
      if (plat::SetupDiGetDevicePropertyW(all, &data, &key, &type, reinterpret_cast<BYTE*>(&value), sizeof value,
                                          nullptr, 0) &&
          type == DEVPROP_TYPE_UINT32)
        *values[k] = value;
    }
  }
  Release(all);
}

INT32 GetBusNumber(DEVINST node) {
  SP_DEVINFO_DATA data;
  bool found = false;
  HDEVINFO all = FindAmongAll(node, &data, &found);
  INT32 bus = 0;
  if (found) {
    DWORD needed = 0;
    plat::SetupDiGetDeviceRegistryPropertyW(all, &data, SPDRP_BUSNUMBER, nullptr, nullptr, 0, &needed);
    DWORD value = 0;
    if (needed == sizeof value &&
        plat::SetupDiGetDeviceRegistryPropertyW(all, &data, SPDRP_BUSNUMBER, nullptr, reinterpret_cast<BYTE*>(&value),
                                                sizeof value, nullptr))
      bus = static_cast<INT32>(value);
  }
  Release(all);
  return bus;
}

INT64 GetHostControllerIndex(const WCHAR* hostControllerId) {
  HDEVINFO set = OpenClass(&kHostControllerClass);
  if (set == INVALID_HANDLE_VALUE) return 1;
  SP_DEVINFO_DATA data;
  DWORD i = 0;
  INT64 index = 0;
  for (; Element(set, i, &data); ++i) {
    WCHAR id[INSTANCE_ID_CAPACITY];
    if (InstanceIdOf(data.DevInst, id) && wcscmp(id, hostControllerId) == 0) {
      index = static_cast<INT64>(i) + 1;
      break;
    }
  }
  Release(set);
  return index != 0 ? index : static_cast<INT64>(i) + 1;
}

INT64 WalkUsbHubs(const WCHAR* hubId, INT64 number) {
  HDEVINFO set = OpenClass(&kUsbHubClass);
  if (set == INVALID_HANDLE_VALUE) return number;
  SP_DEVINFO_DATA data;
  for (DWORD i = 0; Element(set, i, &data); ++i) {
    WCHAR id[INSTANCE_ID_CAPACITY];
    if (!InstanceIdOf(data.DevInst, id) || wcscmp(id, hubId) != 0) continue;
    WCHAR parentId[INSTANCE_ID_CAPACITY];
    InstanceIdOf(ParentOf(data.DevInst), parentId);
    // "USB\ROOT_HUB30\..." splits into "USB\" and "ROOT_HUB": a root hub,
    // whose parent is a host controller.
    WCHAR head[5] = L"", kind[9] = L"";
    swscanf(id, L"%4ls%8ls", head, kind);
    if (wcscmp(kind, L"ROOT_HUB") == 0) {
      number = number * 100 + GetHostControllerIndex(parentId);
    } else {
      INT64 port = PortFromLocation(set, &data);
      number = WalkUsbHubs(parentId, number * 100 + port);
    }
  }
  Release(set);
  return number;
}

INT64 GetUsbPortChain(const WCHAR* usbDeviceId) {
  HDEVINFO set = OpenClass(&kUsbDeviceClass);
  if (set == INVALID_HANDLE_VALUE) return 0;
  INT64 result = 0;
  SP_DEVINFO_DATA data;
  for (DWORD i = 0; Element(set, i, &data); ++i) {
    WCHAR id[INSTANCE_ID_CAPACITY];
    if (!InstanceIdOf(data.DevInst, id) || wcscmp(id, usbDeviceId) != 0) continue;
    INT64 port = PortFromLocation(set, &data);
    WCHAR hubId[INSTANCE_ID_CAPACITY];
    InstanceIdOf(ParentOf(data.DevInst), hubId);
    result = WalkUsbHubs(hubId, port);
  }
  Release(set);
  return result;
}

INT64 ReverseChain(UINT64 chain) {
  UINT64 reversed = 0;
  while (chain >= 100) {
    reversed = reversed * 100 + chain % 100;
    chain /= 100;
  }
  return static_cast<INT64>(reversed * 100 + chain);
}

INT64 GetDiskPortID(const CmdContext* ctx, UINT32 deviceNumber) {
  HDEVINFO set = OpenClass(&kDiskClass);
  if (set == INVALID_HANDLE_VALUE) return PORT_ID_UNKNOWN;
  INT64 portId = PORT_ID_UNKNOWN;
  SP_DEVINFO_DATA data;
  for (DWORD i = 0; Element(set, i, &data); ++i) {
    HANDLE disk = OpenDeviceInterface(&kDiskClass, i);
    if (disk == INVALID_HANDLE_VALUE) continue;
    UINT32 number = 0;
    bool match = DiskNumber(disk, &number) && number == deviceNumber;
    plat::CloseHandle(disk);
    if (!match) continue;
    portId = IsUsbTransport(ctx->iCmdType) ? UsbPortId(data.DevInst) : PciePortId(data.DevInst);
    break;
  }
  Release(set);
  return portId;
}

HANDLE OpenDiskByPortID(INT32 iCmdType, INT64 portId) { return OpenDiskByPortIDSkipping(iCmdType, portId, 0); }

HANDLE OpenDiskByPortIDSkipping(INT32 iCmdType, INT64 portId, int skip) {
  HDEVINFO set = OpenClass(&kDiskClass);
  if (set == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  HANDLE found = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA data;
  for (DWORD i = 0; found == INVALID_HANDLE_VALUE && Element(set, i, &data); ++i) {
    HANDLE disk = OpenDeviceInterface(&kDiskClass, i);
    if (disk == INVALID_HANDLE_VALUE) continue;
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_DEVICE_DESCRIPTOR descriptor = {};
    DWORD returned = 0;
    if (!plat::DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &descriptor,
                               sizeof descriptor, &returned, nullptr)) {
      plat::CloseHandle(disk);
      continue;
    }
    INT64 diskPort = -1;
    if (descriptor.BusType == BusTypeUsb && IsUsbTransport(iCmdType)) diskPort = UsbPortId(data.DevInst);
    else if (descriptor.BusType == BusTypeRAID || descriptor.BusType == BusTypeNvme) diskPort = PciePortId(data.DevInst);
    // A disk on another bus (-1) matches nothing, whatever is wanted.
    if (diskPort != -1 && diskPort == portId && skip-- == 0) found = disk;
    else plat::CloseHandle(disk);
  }
  Release(set);
  return found;
}
