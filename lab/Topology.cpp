// The machine's topology: where each disk hangs in the device tree, and the
// setup and configuration-manager calls that read the tree. They keep the
// Windows protocol: ask the size, get ERROR_INSUFFICIENT_BUFFER with the size
// needed, then read.
#include <cstdio>

#include "MachineImpl.h"

namespace lab {

namespace {

std::wstring Hex(unsigned v) {
  wchar_t text[16];
  swprintf(text, 16, L"%x", v);
  return text;
}

std::wstring Location(int port, int hub) {
  wchar_t text[64];
  swprintf(text, 64, L"Port_#%04d.Hub_#%04d", port, hub);
  return text;
}

std::wstring InterfacePath(const std::wstring& instanceId, const wchar_t* guid) {
  std::wstring path = L"\\\\?\\" + instanceId + L"#" + guid;
  for (auto& c : path)
    if (c == L'\\' && &c > &path[3]) c = L'#';
  for (auto& c : path) c = wchar_t(std::towlower(c));
  return path;
}

constexpr wchar_t DISK_GUID_TEXT[] = L"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr wchar_t USB_DEVICE_GUID_TEXT[] = L"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr wchar_t USB_HUB_GUID_TEXT[] = L"{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
constexpr wchar_t HOST_CONTROLLER_GUID_TEXT[] = L"{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";

void GiveInterface(DevNode& node, const GUID& cls, const wchar_t* guidText) {
  node.interfaces.push_back(cls);
  node.interfacePath = InterfacePath(node.instanceId, guidText);
}

// A PCIe port on bridgeBus with a device below it on bus.
DevNode& PciePort(DeviceTree& tree, unsigned& serial, int bridgeBus) {
  DevNode& port = tree.Add(L"PCI\\VEN_8086&DEV_A33C&SUBSYS_00000000&REV_F0\\3&" + Hex(serial++) + L"&0&E0", tree.root());
  port.setupClass = setupclass::SYSTEM;
  port.busNumber = DWORD(bridgeBus);
  port.service = L"pci";
  return port;
}

// A disk's node with its disk interface.
DevNode& DiskNode(DeviceTree& tree, const std::wstring& instanceId, DEVINST parent) {
  DevNode& node = tree.Add(instanceId, parent);
  node.setupClass = setupclass::DISK_DRIVE;
  GiveInterface(node, iface::DISK, DISK_GUID_TEXT);
  return node;
}

}  // namespace

void Machine::AttachDisk(const std::shared_ptr<DiskDevice>& disk, DevNode& node) {
  disk->node = node.id;
  impl_->devices[NativePath(disk->deviceNumber())] = disk;
  impl_->devices[Upper(node.interfacePath)] = disk;
  impl_->disks[disk->deviceNumber()] = disk;
}

NvmeDrive& Machine::AddNativeDrive(const NativeDiskSpec& where, const DriveSpec& spec) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto disk = std::make_shared<NativeNvmeDisk>(where.deviceNumber, where.scsiPort, where.pathId,
                                               std::make_shared<NvmeDrive>(spec), where.payloadAlignment,
                                               where.payloadMaxSize);
  DeviceTree& tree = impl_->tree;
  DevNode& port = PciePort(tree, impl_->serial, where.bridgeBus);
  DevNode& controller = tree.Add(L"PCI\\VEN_1D4C&DEV_5216&SUBSYS_52161D4C&REV_01\\4&" + Hex(impl_->serial++) +
                                     L"&0&00E8",
                                 port.id);
  controller.setupClass = setupclass::SCSI_ADAPTER;
  controller.service = L"stornvme";
  controller.busNumber = DWORD(where.bus >= 0 ? where.bus : 2 + where.deviceNumber);
  controller.pciLink = {{9, where.linkSpeed}, {10, where.linkWidth}, {11, where.maxLinkSpeed}, {12, where.maxLinkWidth}};
  AttachDisk(disk, DiskNode(tree, L"SCSI\\DISK&VEN_NVME&PROD_KESTREL_LAB\\5&" + Hex(impl_->serial++) + L"&0&000000",
                            controller.id));
  return disk->drive();
}

NvmeDrive& Machine::AddRstDrive(const RstDiskSpec& where, const DriveSpec& spec) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  DeviceTree& tree = impl_->tree;
  auto& port = impl_->rstPorts[where.scsiPort];
  if (!port) {
    port = std::make_shared<RstPort>(where.refusalInCompletionOnly);
    impl_->devices[L"\\\\.\\SCSI" + std::to_wstring(where.scsiPort) + L":"] = port;
    DevNode& pcie = PciePort(tree, impl_->serial, where.bridgeBus);
    DevNode& adapter = tree.Add(L"PCI\\VEN_8086&DEV_2822&SUBSYS_00000000&REV_00\\3&" + Hex(impl_->serial++) + L"&0&B8",
                                pcie.id);
    adapter.setupClass = setupclass::SCSI_ADAPTER;
    adapter.service = where.service;
    adapter.busNumber = DWORD(where.bus);
    impl_->raidAdapters[where.scsiPort] = adapter.id;
  }
  auto drive = std::make_shared<NvmeDrive>(spec);
  auto disk = std::make_shared<DiskDevice>(where.deviceNumber, where.scsiPort, where.pathId, BusType::Raid, drive);
  port->Attach(where.pathId, disk);
  AttachDisk(disk, DiskNode(tree,
                            L"SCSI\\DISK&VEN_NVME&PROD_KESTREL_LAB\\4&" + Hex(impl_->serial++) + L"&0&0" +
                                std::to_wstring(where.pathId) + L"0000",
                            impl_->raidAdapters[where.scsiPort]));
  return disk->drive();
}

UsbBridgeDisk& Machine::AddUsbDrive(const UsbDiskSpec& where, const DriveSpec& spec) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  DeviceTree& tree = impl_->tree;
  // Host controllers 1 .. where.hostController, each with its root hub.
  for (int index = 1; index <= where.hostController; ++index) {
    if (impl_->hostControllers.count(index)) continue;
    DevNode& hc = tree.Add(L"PCI\\VEN_8086&DEV_A36D&SUBSYS_00000000&REV_10\\3&" + Hex(impl_->serial++) + L"&0&A" +
                               std::to_wstring(index - 1),
                           tree.root());
    hc.setupClass = setupclass::USB;
    hc.service = L"USBXHCI";
    GiveInterface(hc, iface::USB_HOST_CONTROLLER, HOST_CONTROLLER_GUID_TEXT);
    DevNode& root = tree.Add(L"USB\\ROOT_HUB30\\4&" + Hex(impl_->serial++) + L"&0&0", hc.id);
    root.setupClass = setupclass::USB;
    root.service = L"USBHUB3";
    GiveInterface(root, iface::USB_HUB, USB_HUB_GUID_TEXT);
    impl_->hostControllers[index] = hc.id;
    impl_->usbHubs[std::to_wstring(index)] = root.id;
  }
  // Hubs down the chain: every port but the last leads to a hub.
  std::wstring key = std::to_wstring(where.hostController);
  DEVINST hub = impl_->usbHubs[key];
  for (size_t level = 0; level + 1 < where.ports.size(); ++level) {
    key += L"/" + std::to_wstring(where.ports[level]);
    auto found = impl_->usbHubs.find(key);
    if (found == impl_->usbHubs.end()) {
      DevNode& h = tree.Add(L"USB\\VID_2109&PID_2817\\5&" + Hex(impl_->serial++) + L"&0&" +
                                std::to_wstring(where.ports[level]),
                            hub);
      h.setupClass = setupclass::USB;
      h.service = L"USBHUB3";
      h.location = Location(where.ports[level], int(level) + 1);
      GiveInterface(h, iface::USB_HUB, USB_HUB_GUID_TEXT);
      found = impl_->usbHubs.emplace(key, h.id).first;
    }
    hub = found->second;
  }
  const bool asm_ = where.kind == BridgeKind::ASMedia;
  DevNode& device = tree.Add(std::wstring(asm_ ? L"USB\\VID_174C&PID_2362\\" : L"USB\\VID_152D&PID_0583\\") +
                                 L"KESTREL" + Hex(impl_->serial++),
                             hub);
  device.setupClass = setupclass::SCSI_ADAPTER;  // a UAS enclosure is a storage controller
  device.service = L"UASPStor";
  device.location = Location(where.ports.empty() ? 0 : where.ports.back(), int(where.ports.size()));
  GiveInterface(device, iface::USB_DEVICE, USB_DEVICE_GUID_TEXT);
  DevNode& node = DiskNode(tree, L"SCSI\\DISK&VEN_USB&PROD_NVME_BRIDGE\\6&" + Hex(impl_->serial++) + L"&0&000000",
                           device.id);

  auto disk = std::make_shared<UsbBridgeDisk>(where, std::make_shared<NvmeDrive>(spec));
  Impl* impl = impl_.get();
  disk->onPowerCycle = [impl](UsbBridgeDisk& bridge) {
    // The enclosure drops off the bus, the drive resets (running a pending
    // image, or refusing it), and the disk returns under a new number.
    std::shared_ptr<DiskDevice> self = impl->disks.at(bridge.deviceNumber());
    int old = bridge.deviceNumber();
    impl->Detach(bridge);
    bridge.drive().Reset();
    int number = bridge.spec().reappearNumber >= 0 ? bridge.spec().reappearNumber : impl->NextFreeNumber(old);
    impl->arrivals.push_back({impl->clock + bridge.spec().reappearMs, self, number});
  };
  AttachDisk(disk, node);
  return *disk;
}

void Machine::AddVolume(wchar_t letter, int deviceNumber) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->devices[Upper(std::wstring(L"\\\\.\\") + letter + L":")] = std::make_shared<VolumeDevice>(deviceNumber);
}

bool Machine::Unplug(int deviceNumber) {
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    auto it = impl_->disks.find(deviceNumber);
    if (it == impl_->disks.end()) return false;
    impl_->unplugged[deviceNumber] = it->second;
    impl_->Detach(*it->second);
  }
  TellNotices();
  return true;
}

bool Machine::PlugBack(int deviceNumber) {
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    auto it = impl_->unplugged.find(deviceNumber);
    if (it == impl_->unplugged.end() || impl_->disks.count(deviceNumber)) return false;
    impl_->Attach(it->second, deviceNumber);
    impl_->unplugged.erase(it);
  }
  TellNotices();
  return true;
}

std::vector<Machine::DiskInfo> Machine::Disks() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::map<int, DiskInfo> all;
  for (const auto& [n, disk] : impl_->disks) all[n] = {n, disk->drive().spec().model, true};
  for (const auto& [n, disk] : impl_->unplugged) all[n] = {n, disk->drive().spec().model, false};
  std::vector<DiskInfo> out;
  for (const auto& [n, info] : all) out.push_back(info);
  return out;
}

DeviceTree& Machine::Tree() { return impl_->tree; }

DiskDevice* Machine::DiskAt(int deviceNumber) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  auto it = impl_->disks.find(deviceNumber);
  return it == impl_->disks.end() ? nullptr : it->second.get();
}

void Machine::AddOtherDevices(int count) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  // Chipset, input, audio, network and the like: nodes every walk of all
  // devices passes, with no disk below them.
  for (int i = 0; i < count; ++i) {
    DevNode& node = impl_->tree.Add(L"ACPI\\PNP0C02\\" + Hex(impl_->others++), impl_->tree.root());
    node.setupClass = setupclass::SYSTEM;
  }
}

int Machine::NodeCount() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return int(impl_->tree.nodes().size());
}

uint64_t Machine::ModelledMicros() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->modelledMicros;
}

uint64_t Machine::ModelledTreeMicros() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->modelledTreeMicros;
}

int Machine::TreeCallCount() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->treeCalls;
}

DiskDevice& Machine::AddSataDisk(int deviceNumber) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  DevNode& ahci = impl_->tree.Add(L"PCI\\VEN_8086&DEV_A352&SUBSYS_00000000&REV_10\\3&" + Hex(impl_->serial++) +
                                      L"&0&B8",
                                  impl_->tree.root());
  ahci.setupClass = setupclass::HDC;
  ahci.service = L"storahci";
  ahci.busNumber = 0;
  DevNode& node = DiskNode(impl_->tree, L"SCSI\\DISK&VEN_&PROD_SATA_SSD\\4&" + Hex(impl_->serial++) + L"&0&000000",
                           ahci.id);
  auto disk = std::make_shared<DiskDevice>(deviceNumber, 0, deviceNumber, BusType::Sata,
                                           std::make_shared<NvmeDrive>(DriveSpec()));
  AttachDisk(disk, node);
  return *disk;
}

int Machine::DeviceSetRequests() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return impl_->setRequests;
}

int Machine::OpenDeviceSetCount() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return int(impl_->sets.size());
}

// --- the setup calls ---

HDEVINFO Machine::GetClassDevs(const GUID* cls, DWORD flags) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  ++impl_->treeCalls;
  ++impl_->setRequests;
  impl_->Pump();
  if (impl_->setFailError != 0) {
    if (impl_->setFailAfter > 0) {
      --impl_->setFailAfter;
    } else {
      SetLastError(impl_->setFailError);
      return INVALID_HANDLE_VALUE;
    }
  }
  DeviceSet set;
  const bool all = (flags & DIGCF_ALLCLASSES) != 0;
  const bool present = (flags & DIGCF_PRESENT) != 0;
  if (!all && cls == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // Without DIGCF_DEVICEINTERFACE the GUID names a setup class: a disk
  // interface GUID then selects no device at all, and the set carries no
  // interfaces to enumerate.
  set.interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
  set.allInterfaceClasses = set.interfaces && all;
  if (cls != nullptr) set.interfaceClass = *cls;
  if (set.interfaces) set.nodes = impl_->tree.WithInterface(all ? nullptr : cls, present);
  else set.nodes = all ? impl_->tree.All(present) : impl_->tree.OfSetupClass(*cls, present);
  // Every class of device means the whole tree is walked; one class, only
  // what is registered for it.
  impl_->ChargeTree(all ? COST_ALL_DEVICES_PER_NODE_US * impl_->tree.nodes().size()
                        : COST_CLASS_SET_US + COST_CLASS_SET_PER_MEMBER_US * set.nodes.size());
  HANDLE h = impl_->NewHandle({HandleKind::DeviceSet, L"device set", 0, nullptr});
  impl_->sets[reinterpret_cast<uintptr_t>(h)] = set;
  return h;
}

namespace {

template <typename Sets>
DeviceSet* FindSet(Sets& sets, HDEVINFO h) {
  auto it = sets.find(reinterpret_cast<uintptr_t>(h));
  return it == sets.end() ? nullptr : &it->second;
}

// The node a SP_DEVINFO_DATA names, when it belongs to the set.
DevNode* NodeOf(DeviceTree& tree, DeviceSet* set, PSP_DEVINFO_DATA data) {
  if (set == nullptr || data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) return nullptr;
  for (DEVINST id : set->nodes)
    if (id == data->DevInst) return tree.Find(id);
  return nullptr;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Copies a value under the size protocol.
BOOL Deliver(const void* value, DWORD needed, PBYTE buffer, DWORD size, PDWORD required) {
  if (required) *required = needed;
  if (buffer == nullptr || size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  memcpy(buffer, value, needed);
  return TRUE;
}

}  // namespace

BOOL Machine::EnumDeviceInfo(HDEVINFO h, DWORD index, PSP_DEVINFO_DATA data) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->TreeCall();
  DeviceSet* set = FindSet(impl_->sets, h);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (index >= set->nodes.size()) return Fail(ERROR_NO_MORE_ITEMS);
  DevNode* node = impl_->tree.Find(set->nodes[index]);
  data->ClassGuid = node->setupClass;
  data->DevInst = node->id;
  data->Reserved = 0;
  return TRUE;
}

BOOL Machine::EnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA device, const GUID* cls, DWORD index,
                                   PSP_DEVICE_INTERFACE_DATA data) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->TreeCall();
  DeviceSet* set = FindSet(impl_->sets, h);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (cls == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (device != nullptr && device->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (device != nullptr && NodeOf(impl_->tree, set, device) == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  // A set holds only the interfaces it was opened for: none in a set of
  // devices, those of its class in an interface set. With a device given,
  // the index counts that device's interfaces only.
  const bool loaded = set->interfaces && (set->allInterfaceClasses || IsEqualGUID(*cls, set->interfaceClass));
  DWORD seen = 0;
  for (DEVINST id : set->nodes) {
    if (!loaded || (device != nullptr && id != device->DevInst)) continue;
    if (!impl_->tree.Find(id)->HasInterface(*cls) || seen++ != index) continue;
    data->InterfaceClassGuid = *cls;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = id;
    return TRUE;
  }
  return Fail(ERROR_NO_MORE_ITEMS);
}

BOOL Machine::GetInterfaceDetail(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA iface,
                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                                 PSP_DEVINFO_DATA data) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->TreeCall();
  DeviceSet* set = FindSet(impl_->sets, h);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (iface == nullptr || iface->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  DevNode* node = impl_->tree.Find(DEVINST(iface->Reserved));
  if (node == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  DWORD needed = DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                       (node->interfacePath.size() + 1) * sizeof(WCHAR));
  if (required) *required = needed;
  if (detail == nullptr) return Fail(size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
  // The size field holds the fixed part's size, whatever the whole record's.
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  memcpy(detail->DevicePath, node->interfacePath.c_str(), (node->interfacePath.size() + 1) * sizeof(WCHAR));
  if (data != nullptr) {
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    data->DevInst = node->id;
  }
  return TRUE;
}

BOOL Machine::GetRegistryProperty(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer,
                                  DWORD size, PDWORD required) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->TreeCall();
  DeviceSet* set = FindSet(impl_->sets, h);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
  DevNode* node = NodeOf(impl_->tree, set, data);
  if (node == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const std::optional<std::wstring>* text = nullptr;
  if (property == SPDRP_SERVICE) text = &node->service;
  if (property == SPDRP_LOCATION_INFORMATION) text = &node->location;
  if (text != nullptr) {
    if (!text->has_value()) return Fail(ERROR_INVALID_DATA);
    if (type) *type = REG_SZ;
    return Deliver((*text)->c_str(), DWORD(((*text)->size() + 1) * sizeof(WCHAR)), buffer, size, required);
  }
  if (property == SPDRP_BUSNUMBER) {
    if (!node->busNumber) return Fail(ERROR_INVALID_DATA);
    if (type) *type = REG_DWORD;
    DWORD bus = *node->busNumber;
    return Deliver(&bus, sizeof bus, buffer, size, required);
  }
  return Fail(ERROR_INVALID_DATA);
}

BOOL Machine::GetDeviceProperty(HDEVINFO h, PSP_DEVINFO_DATA data, const DEVPROPKEY* key, DEVPROPTYPE* type,
                                PBYTE buffer, DWORD size, PDWORD required, DWORD flags) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->TreeCall();
  DeviceSet* set = FindSet(impl_->sets, h);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (flags != 0) return Fail(ERROR_INVALID_FLAGS);  // reserved: must be zero
  DevNode* node = NodeOf(impl_->tree, set, data);
  if (node == nullptr || key == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!IsEqualGUID(key->fmtid, PCI_LINK_KEY) || !node->pciLink.count(key->pid)) return Fail(ERROR_NOT_FOUND);
  if (type) *type = DEVPROP_TYPE_UINT32;
  DWORD value = node->pciLink[key->pid];
  return Deliver(&value, sizeof value, buffer, size, required);
}

BOOL Machine::GetInstanceId(HDEVINFO h, PSP_DEVINFO_DATA data, PWSTR id, DWORD size, PDWORD required) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->TreeCall();
  DevNode* node = NodeOf(impl_->tree, FindSet(impl_->sets, h), data);
  if (node == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  DWORD needed = DWORD(node->instanceId.size() + 1);
  if (required) *required = needed;
  if (id == nullptr || size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  memcpy(id, node->instanceId.c_str(), needed * sizeof(WCHAR));
  return TRUE;
}

BOOL Machine::DestroyDeviceSet(HDEVINFO h) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->TreeCall();
  auto it = impl_->sets.find(reinterpret_cast<uintptr_t>(h));
  if (it == impl_->sets.end()) {
    ++impl_->badReleases;
    return Fail(ERROR_INVALID_HANDLE);
  }
  impl_->sets.erase(it);
  impl_->handles.erase(reinterpret_cast<uintptr_t>(h));
  return TRUE;
}

// Both configuration-manager calls take flags that are reserved: must be zero.
CONFIGRET Machine::GetParent(PDEVINST parent, DEVINST node, ULONG flags) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->TreeCall();
  DevNode* n = impl_->tree.Find(node);
  if (parent == nullptr) return CR_INVALID_POINTER;
  if (flags != 0) return CR_INVALID_FLAG;
  if (n == nullptr || n->parent == 0) return CR_NO_SUCH_DEVNODE;
  *parent = n->parent;
  return CR_SUCCESS;
}

CONFIGRET Machine::GetDeviceId(DEVINST node, PWSTR buffer, ULONG length, ULONG flags) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  impl_->TreeCall();
  if (buffer == nullptr) return CR_INVALID_POINTER;
  if (flags != 0) return CR_INVALID_FLAG;
  DevNode* n = impl_->tree.Find(node);
  if (n == nullptr) return CR_INVALID_DEVNODE;
  ULONG chars = ULONG(n->instanceId.size());
  if (length < chars) return CR_BUFFER_SMALL;
  // As Windows does: an id that exactly fills the buffer is not terminated.
  memcpy(buffer, n->instanceId.c_str(), chars * sizeof(WCHAR));
  if (length > chars) buffer[chars] = L'\0';
  return CR_SUCCESS;
}

}  // namespace lab
