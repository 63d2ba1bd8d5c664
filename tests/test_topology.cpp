// The device topology: controller service, PCIe link and port ids, read from
// the lab's device tree through the setup and configuration-manager calls.
#include <cstring>
#include <functional>

#include "DeviceTree.h"
#include "LabFixture.h"
#include "NothrowFaults.h"
#include "Scenario.h"
#include "UsbBridge.h"

#include <dbt.h>
#include "discovery/Discovery.h"

namespace {

lab::UsbDiskSpec Usb(int number, std::vector<int> ports, int controller = 1,
                     lab::BridgeKind kind = lab::BridgeKind::ASMedia) {
  lab::UsbDiskSpec spec;
  spec.kind = kind;
  spec.deviceNumber = number;
  spec.ports = std::move(ports);
  spec.hostController = controller;
  return spec;
}

lab::NativeDiskSpec Native(int number, int bus, int bridgeBus) {
  lab::NativeDiskSpec spec;
  spec.deviceNumber = number;
  spec.bus = bus;
  spec.bridgeBus = bridgeBus;
  return spec;
}

INT64 PortOf(int number, INT32 type) {
  CmdContext ctx = {type, INVALID_HANDLE_VALUE, 0};
  return GetDiskPortID(&ctx, UINT32(number));
}

UINT32 NumberOf(HANDLE disk) {
  BYTE number[12] = {};
  DWORD returned = 0;
  plat::DeviceIoControl(disk, 0x002D1080, nullptr, 0, number, 12, &returned, nullptr);
  return lab::Rd32(number, 4);
}

}  // namespace

class TopologyTest : public LabTest {
 protected:
  lab::DevNode* NodeWithPrefix(const wchar_t* prefix, int skip = 0) {
    for (const auto& node : machine.Tree().nodes())
      if (node->instanceId.rfind(prefix, 0) == 0 && skip-- == 0) return node.get();
    return nullptr;
  }
  static SP_DEVINFO_DATA Element(HDEVINFO set, DWORD index) {
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    EXPECT_TRUE(plat::SetupDiEnumDeviceInfo(set, index, &data)) << "element " << index;
    return data;
  }
  static DWORD Elements(HDEVINFO set) {
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    DWORD n = 0;
    while (plat::SetupDiEnumDeviceInfo(set, n, &data)) ++n;
    EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), GetLastError());
    return n;
  }
  // Interfaces of the class in the set (of one device when given).
  static DWORD Interfaces(HDEVINFO set, const GUID& cls, SP_DEVINFO_DATA* device = nullptr) {
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof iface;
    DWORD n = 0;
    while (plat::SetupDiEnumDeviceInterfaces(set, device, &cls, n, &iface)) ++n;
    EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), GetLastError());
    return n;
  }
  // A USB drive behind a hub of the second host controller, then a native
  // drive below a PCIe bridge, each on a fresh machine, with its port id.
  void ForBothKindsOfPlace(const std::function<void(INT32 type, INT64 port)>& check) {
    machine.Reset();
    machine.AddUsbDrive(Usb(0, {3, 2}, 2));
    {
      SCOPED_TRACE("USB");
      check(CMD_ASM_USB, 20302);
    }
    machine.Reset();
    machine.AddNativeDrive(Native(0, 4, 3));
    SCOPED_TRACE("PCIe");
    check(CMD_NVME, 301);
  }
  // The PhysicalDrive number behind an interface of the disk class.
  UINT32 DiskBehind(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* iface) {
    BYTE buffer[512] = {};
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!plat::SetupDiGetDeviceInterfaceDetailW(set, iface, detail, sizeof buffer, nullptr, nullptr)) return 99;
    HANDLE h = Open(detail->DevicePath);
    UINT32 number = h == INVALID_HANDLE_VALUE ? 99 : NumberOf(h);
    if (h != INVALID_HANDLE_VALUE) plat::CloseHandle(h);
    return number;
  }
};

TEST_F(TopologyTest, UsbPortIdsFollowTheChainFromTheHostController) {
  machine.AddUsbDrive(Usb(1, {3}));
  machine.AddUsbDrive(Usb(2, {4, 2}));
  machine.AddUsbDrive(Usb(3, {1}, 2, lab::BridgeKind::JMicron));
  machine.AddUsbDrive(Usb(4, {5, 7, 12}));
  EXPECT_EQ(103, PortOf(1, CMD_ASM_USB));
  EXPECT_EQ(10402, PortOf(2, CMD_ASM_USB));
  EXPECT_EQ(201, PortOf(3, CMD_JMI_USB)) << "the second host controller";
  EXPECT_EQ(1050712, PortOf(4, CMD_ASM_USB));
  EXPECT_EQ(PORT_ID_UNKNOWN, PortOf(9, CMD_ASM_USB)) << "no present disk has that number";
  EXPECT_TRUE(LinesContaining(L"No SP_INTERFACE_DEVICE_DATA").empty());
}

TEST_F(TopologyTest, OddHubsAndControllers) {
  machine.AddUsbDrive(Usb(1, {4, 2}));
  lab::DevNode* hub = NodeWithPrefix(L"USB\\VID_2109");
  ASSERT_NE(nullptr, hub);
  hub->location.reset();
  EXPECT_EQ(10002, PortOf(1, CMD_ASM_USB)) << "a hub without location information counts 0";
  hub->interfaces.clear();
  EXPECT_EQ(2, PortOf(1, CMD_ASM_USB)) << "a hub not among the hubs ends the climb";

  machine.Reset();
  machine.AddUsbDrive(Usb(1, {3}, 2));
  EXPECT_EQ(203, PortOf(1, CMD_ASM_USB));
  NodeWithPrefix(L"PCI\\VEN_8086&DEV_A36D", 1)->interfaces.clear();
  EXPECT_EQ(203, PortOf(1, CMD_ASM_USB)) << "an unknown controller counts as the set's size + 1";
  NodeWithPrefix(L"PCI\\VEN_8086&DEV_A36D", 0)->interfaces.clear();
  EXPECT_EQ(103, PortOf(1, CMD_ASM_USB)) << "an empty set gives 1";
}

// Wherever the device tree stops answering, a port id is the right one or
// unknown: never a shorter chain, nor bus numbers of 0 that name another
// place. A port no base-100 digit can hold is unknown too.
TEST_F(TopologyTest, APortIdIsRightOrUnknownWhereverTheTreeStopsAnswering) {
  ForBothKindsOfPlace([&](INT32 type, INT64 port) {
    const int before = machine.DeviceSetRequests();
    ASSERT_EQ(port, PortOf(0, type));
    const int sets = machine.DeviceSetRequests() - before;
    ASSERT_GE(sets, 2);
    for (int after = 0; after < sets; ++after) {
      SCOPED_TRACE("the set after " + std::to_string(after) + " fails");
      machine.FailDeviceSets(ERROR_NOT_ENOUGH_MEMORY, after);
      EXPECT_EQ(PORT_ID_UNKNOWN, PortOf(0, type));
      machine.FailDeviceSets(0);
      EXPECT_EQ(0, machine.OpenDeviceSetCount());
    }
    EXPECT_EQ(port, PortOf(0, type));
  });
  machine.Reset();
  machine.AddUsbDrive(Usb(0, {3, 2}));
  NodeWithPrefix(L"USB\\VID_2109")->location = L"Port_#0150.Hub_#0001";
  EXPECT_EQ(PORT_ID_UNKNOWN, PortOf(0, CMD_ASM_USB)) << "port 150 is no digit";
  NodeWithPrefix(L"USB\\VID_2109")->location = L"Port_#0099.Hub_#0001";
  EXPECT_EQ(19902, PortOf(0, CMD_ASM_USB));
}

// Short of memory anywhere while the tree is read, a port id is the right
// one or unknown, and every set and handle is released.
TEST_F(TopologyTest, ShortOfMemoryAPortIdIsRightOrUnknown) {
  ForBothKindsOfPlace([&](INT32 type, INT64 port) {
    nothrow_faults::Start(0);
    ASSERT_EQ(port, PortOf(0, type));
    const int allocations = nothrow_faults::Stop();
    ASSERT_GE(allocations, 2);
    for (int nth = 1; nth <= allocations; ++nth) {
      SCOPED_TRACE("allocation " + std::to_string(nth) + " of " + std::to_string(allocations) + " fails");
      nothrow_faults::Start(nth);
      INT64 found = PortOf(0, type);
      nothrow_faults::Stop();
      EXPECT_TRUE(found == port || found == PORT_ID_UNKNOWN) << found;
      EXPECT_EQ(0, machine.OpenDeviceSetCount());
      EXPECT_EQ(0, machine.OpenHandleCount());
    }
  });
}

// Eight hubs still fit the port id; one more, or a two-digit controller
// number in front of them, does not. A hub that names itself as its parent
// ends the climb without a port id, also when every digit is 0 and the
// number never grows; so does a parent that cannot be read.
TEST_F(TopologyTest, DeepChainsFillThePortIdAndBrokenClimbsHaveNone) {
  machine.AddUsbDrive(Usb(0, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(1010203040506070809, PortOf(0, CMD_ASM_USB));
  machine.Reset();
  machine.AddUsbDrive(Usb(0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(PORT_ID_UNKNOWN, PortOf(0, CMD_ASM_USB)) << "eleven digits";
  for (int controller : {10, 20}) {
    machine.Reset();
    machine.AddUsbDrive(Usb(0, {1, 2, 3, 4, 5, 6, 7, 8, 9}, controller));
    EXPECT_EQ(PORT_ID_UNKNOWN, PortOf(0, CMD_ASM_USB)) << "controller " << controller << " first";
  }
  machine.Reset();
  machine.AddUsbDrive(Usb(0, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 9));
  EXPECT_EQ(9010203040506070809, PortOf(0, CMD_ASM_USB)) << "controller 9 still fits";

  machine.Reset();
  machine.AddUsbDrive(Usb(0, {3, 2}, 2));
  NodeWithPrefix(L"USB\\VID_2109")->parent = 0x7777;
  EXPECT_EQ(PORT_ID_UNKNOWN, PortOf(0, CMD_ASM_USB)) << "a hub whose parent cannot be read";

  machine.Reset();
  machine.AddUsbDrive(Usb(0, {3, 2}));
  lab::DevNode* hub = NodeWithPrefix(L"USB\\VID_2109");
  ASSERT_NE(nullptr, hub);
  hub->parent = hub->id;
  EXPECT_EQ(PORT_ID_UNKNOWN, PortOf(0, CMD_ASM_USB));
  hub->location.reset();
  NodeWithPrefix(L"USB\\VID_174C")->location.reset();
  EXPECT_EQ(PORT_ID_UNKNOWN, PortOf(0, CMD_ASM_USB));
  EXPECT_EQ(0, machine.OpenDeviceSetCount());
}

// The lab's modelled time charges a walk of all devices by the tree's size.
TEST_F(TopologyTest, OtherDevicesMakeAWalkOfAllDevicesCostMore) {
  std::string error;
  ASSERT_TRUE(lab::BuildScenario(machine, "nvme disk=0\nothers count=10\n", &error)) << error;
  const int nodes = machine.NodeCount();
  EXPECT_EQ(1 + 3 + 10, nodes) << "the root, a PCIe port, the controller, the disk and ten others";
  auto walk = [&] {
    uint64_t before = machine.ModelledMicros();
    HDEVINFO all = plat::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    EXPECT_NE(INVALID_HANDLE_VALUE, all);
    EXPECT_EQ(DWORD(machine.NodeCount()), Elements(all));
    plat::SetupDiDestroyDeviceInfoList(all);
    return machine.ModelledMicros() - before;
  };
  uint64_t small = walk();
  machine.AddOtherDevices(nodes * 3);
  uint64_t large = walk();
  EXPECT_GT(large, small * 3) << "four times the nodes";
  EXPECT_LT(large, small * 5);
}

TEST_F(TopologyTest, PciePortIdsAndTheController) {
  machine.AddNativeDrive(Native(0, 2, 0));
  machine.AddNativeDrive(Native(1, 4, 3));
  lab::RstDiskSpec rst;
  rst.deviceNumber = 2;
  rst.scsiPort = 3;
  rst.bus = 6;
  rst.bridgeBus = 1;
  machine.AddRstDrive(rst);
  EXPECT_EQ(2, PortOf(0, CMD_NVME));
  EXPECT_EQ(301, PortOf(1, CMD_NVME));
  EXPECT_EQ(105, PortOf(2, CMD_RST));

  WCHAR service[SERVICE_CAPACITY];
  GetControllerService(L"\\\\.\\PhysicalDrive2", service);
  EXPECT_STREQ(L"iaStorAC", service);
  GetControllerService(L"\\\\.\\PHYSICALDRIVE0", service);
  EXPECT_STREQ(L"stornvme", service);
  GetControllerService(L"\\\\.\\PhysicalDrive7", service);
  EXPECT_STREQ(L"", service);

  UINT32 speed = 9, width = 9, maxSpeed = 9, maxWidth = 9;
  GetPcieLinkInfo(L"\\\\.\\PhysicalDrive0", &speed, &width, &maxSpeed, &maxWidth);
  EXPECT_EQ((std::vector<UINT32>{3, 4, 3, 4}), (std::vector<UINT32>{speed, width, maxSpeed, maxWidth}));
  GetPcieLinkInfo(L"\\\\.\\PhysicalDrive2", &speed, &width, &maxSpeed, &maxWidth);
  EXPECT_EQ((std::vector<UINT32>{0, 0, 0, 0}), (std::vector<UINT32>{speed, width, maxSpeed, maxWidth}))
      << "an adapter without link properties";

  DEVINST disk = FindDiskDevInst(L"\\\\.\\physicaldrive1", 0);
  ASSERT_NE(0u, disk);
  EXPECT_EQ(disk, FindDiskDevInst(L"\\\\.\\PhysicalDrive1", 0));
  EXPECT_EQ(4, GetBusNumber(FindDiskDevInst(L"\\\\.\\PhysicalDrive1", 1)));
  EXPECT_EQ(3, GetBusNumber(FindDiskDevInst(L"\\\\.\\PhysicalDrive1", 2)));
  EXPECT_EQ(0u, FindDiskDevInst(L"\\\\.\\PhysicalDrive1", 3));
  EXPECT_EQ(0u, FindDiskDevInst(L"\\\\.\\PhysicalDrive5", 0));
  EXPECT_EQ(0, GetBusNumber(disk)) << "a disk has no bus number";
}

TEST_F(TopologyTest, LongTextsAreCut) {
  machine.AddNativeDrive(Native(0, 2, 0));
  NodeWithPrefix(L"PCI\\VEN_1D4C")->service = std::wstring(300, L'S');
  WCHAR service[SERVICE_CAPACITY + 8];
  wmemset(service, L'#', SERVICE_CAPACITY + 8);
  GetControllerService(L"\\\\.\\PhysicalDrive0", service);
  EXPECT_EQ(SERVICE_CAPACITY - 1, wcslen(service));
  EXPECT_EQ(L'#', service[SERVICE_CAPACITY]) << "nothing past the buffer";

  machine.AddUsbDrive(Usb(1, {3}));
  lab::DevNode* bridge = NodeWithPrefix(L"USB\\VID_174C");
  // An id that exactly fills the buffer arrives unterminated: it is cut, and
  // every side reads the same cut id.
  bridge->instanceId = L"USB\\VID_174C&PID_2362\\" + std::wstring(260 - 22, L'x');
  EXPECT_EQ(103, PortOf(1, CMD_ASM_USB));
  bridge->instanceId += L"yy";  // too long to read at all: no chain
  EXPECT_EQ(0, PortOf(1, CMD_ASM_USB));
}

TEST_F(TopologyTest, OpenDiskByPortIdComparesByBus) {
  machine.AddNativeDrive(Native(0, 2, 0));         // PCIe port id 2
  machine.AddUsbDrive(Usb(1, {2}));                  // USB port id 102
  machine.AddUsbDrive(Usb(2, {3}, 1, lab::BridgeKind::JMicron));  // USB port id 103

  HANDLE h = OpenDiskByPortID(CMD_ASM_USB, 103);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(2u, NumberOf(h));
  plat::CloseHandle(h);
  h = OpenDiskByPortID(CMD_JMI_USB, 2);
  ASSERT_NE(INVALID_HANDLE_VALUE, h) << "PCIe disks still compare by their formula";
  EXPECT_EQ(0u, NumberOf(h));
  plat::CloseHandle(h);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenDiskByPortID(CMD_NVME, 102)) << "a USB disk never matches a PCIe drive";
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenDiskByPortID(CMD_NVME, -1)) << "-1 is no port id";
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenDiskByPortID(CMD_ASM_USB, PORT_ID_UNKNOWN));
}

std::vector<WPARAM> g_deviceNotices;

LRESULT CALLBACK NoticeWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE) g_deviceNotices.push_back(wParam);
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

TEST_F(TopologyTest, ADriveThatCameBackIsFoundByItsPortId) {
  WNDCLASSW cls = {};
  cls.lpfnWndProc = NoticeWindow;
  cls.lpszClassName = L"KestrelNoticeTest";
  RegisterClassW(&cls);
  g_deviceNotices.clear();
  HWND window = CreateWindowExW(0, cls.lpszClassName, L"top", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                                nullptr);
  ASSERT_NE(nullptr, window);
  lab::UsbBridgeDisk& bridge = machine.AddUsbDrive(Usb(1, {3, 4}));
  HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
  ASSERT_EQ(10304, PortOf(1, CMD_ASM_USB));
  ASSERT_EQ(RES_SUCCESS, IO_USB_ASM_PowerCtrl(h, 1));
  plat::CloseHandle(h);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenDiskByPortID(CMD_ASM_USB, 10304)) << "away from the bus";
  plat::Sleep(bridge.spec().reappearMs);
  h = OpenDiskByPortID(CMD_ASM_USB, 10304);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(2u, NumberOf(h)) << "under a new PhysicalDrive number";
  plat::CloseHandle(h);
  EXPECT_EQ(10304, PortOf(2, CMD_ASM_USB));

  EXPECT_EQ((std::vector<WPARAM>{DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEARRIVAL}), g_deviceNotices);
  DestroyWindow(window);
}

TEST_F(TopologyTest, SetupCallsKeepTheSizeProtocol) {
  machine.AddNativeDrive(Native(0, 2, 0));
  static const GUID disk = lab::iface::DISK;
  HDEVINFO set = plat::SetupDiGetClassDevsW(&disk, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(INVALID_HANDLE_VALUE, set);
  SP_DEVICE_INTERFACE_DATA iface = {};
  iface.cbSize = sizeof iface;
  ASSERT_TRUE(plat::SetupDiEnumDeviceInterfaces(set, nullptr, &disk, 0, &iface));
  EXPECT_FALSE(plat::SetupDiEnumDeviceInterfaces(set, nullptr, &disk, 1, &iface));
  EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), GetLastError());
  DWORD needed = 0;
  EXPECT_FALSE(plat::SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &needed, nullptr));
  EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  std::vector<BYTE> buffer(needed);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = needed;  // the size field holds the fixed part's size, not the buffer's
  EXPECT_FALSE(plat::SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, needed, nullptr, nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_USER_BUFFER), GetLastError());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  EXPECT_FALSE(plat::SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, needed - 2, nullptr, nullptr));
  ASSERT_TRUE(plat::SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, needed, nullptr, nullptr));
  HANDLE h = Open(detail->DevicePath);
  ASSERT_NE(INVALID_HANDLE_VALUE, h) << "the interface path opens the same disk";
  EXPECT_EQ(0u, NumberOf(h));
  plat::CloseHandle(h);
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(set));

  HANDLE first = OpenDeviceInterface(&disk, 0);
  EXPECT_NE(INVALID_HANDLE_VALUE, first);
  plat::CloseHandle(first);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenDeviceInterface(&disk, 1));
  EXPECT_EQ(std::wstring(L"[VX] No SP_INTERFACE_DEVICE_DATA available for this GUID instance\n"),
            machine.DebugLines().back());
}

TEST_F(TopologyTest, WithoutTheInterfaceFlagTheGuidNamesASetupClass) {
  machine.AddNativeDrive(Native(0, 2, 0));
  machine.AddUsbDrive(Usb(1, {3}));
  static const GUID disk = lab::iface::DISK;
  static const GUID diskDrives = lab::setupclass::DISK_DRIVE;
  static const GUID usbDevice = lab::iface::USB_DEVICE;

  HDEVINFO set = plat::SetupDiGetClassDevsW(&disk, nullptr, nullptr, DIGCF_PRESENT | DIGCF_PROFILE);
  ASSERT_NE(INVALID_HANDLE_VALUE, set);
  EXPECT_EQ(0u, Elements(set)) << "no device's setup class is the disk interface class";
  EXPECT_EQ(0u, Interfaces(set, disk));
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(set));

  set = plat::SetupDiGetClassDevsW(&diskDrives, nullptr, nullptr, DIGCF_PRESENT);
  ASSERT_NE(INVALID_HANDLE_VALUE, set);
  ASSERT_EQ(2u, Elements(set)) << "both disks are disk drives";
  EXPECT_TRUE(IsEqualGUID(diskDrives, Element(set, 1).ClassGuid));
  EXPECT_EQ(0u, Interfaces(set, disk)) << "a set of devices carries no interfaces";
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(set));

  set = plat::SetupDiGetClassDevsW(&disk, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_EQ(2u, Interfaces(set, disk));
  EXPECT_EQ(0u, Interfaces(set, usbDevice)) << "only the interfaces of the set's own class";
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(set));

  set = plat::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE);
  EXPECT_EQ(2u, Interfaces(set, disk));
  EXPECT_EQ(1u, Interfaces(set, usbDevice));
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(set));

  EXPECT_EQ(INVALID_HANDLE_VALUE, plat::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError()) << "no class and not all classes";
}

TEST_F(TopologyTest, GivenADeviceOnlyItsInterfacesAreEnumerated) {
  machine.AddNativeDrive(Native(0, 2, 0));
  machine.AddNativeDrive(Native(1, 4, 3));
  static const GUID disk = lab::iface::DISK;
  HDEVINFO set = plat::SetupDiGetClassDevsW(&disk, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(INVALID_HANDLE_VALUE, set);
  SP_DEVINFO_DATA second = Element(set, 1);
  SP_DEVICE_INTERFACE_DATA iface = {};
  iface.cbSize = sizeof iface;
  ASSERT_TRUE(plat::SetupDiEnumDeviceInterfaces(set, &second, &disk, 0, &iface));
  EXPECT_EQ(1u, DiskBehind(set, &iface)) << "index 0 of the second disk is the second disk's";
  EXPECT_EQ(1u, Interfaces(set, disk, &second));
  EXPECT_EQ(2u, Interfaces(set, disk));

  SP_DEVINFO_DATA stranger = second;
  stranger.DevInst = NodeWithPrefix(L"PCI\\VEN_1D4C")->id;  // a controller: not in this set
  EXPECT_FALSE(plat::SetupDiEnumDeviceInterfaces(set, &stranger, &disk, 0, &iface));
  EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
  stranger = second;
  stranger.cbSize = 0;
  EXPECT_FALSE(plat::SetupDiEnumDeviceInterfaces(set, &stranger, &disk, 0, &iface));
  EXPECT_EQ(DWORD(ERROR_INVALID_USER_BUFFER), GetLastError());
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(set));
}

TEST_F(TopologyTest, ReservedFlagsAreRefused) {
  machine.AddNativeDrive(Native(0, 2, 0));
  DEVINST controller = NodeWithPrefix(L"PCI\\VEN_1D4C")->id;
  DEVINST parent = 0;
  EXPECT_EQ(CONFIGRET(CR_INVALID_FLAG), plat::CM_Get_Parent(&parent, controller, 1));
  EXPECT_EQ(0u, parent);
  EXPECT_EQ(CONFIGRET(CR_SUCCESS), plat::CM_Get_Parent(&parent, controller, 0));
  WCHAR id[INSTANCE_ID_CAPACITY] = L"";
  EXPECT_EQ(CONFIGRET(CR_INVALID_FLAG), plat::CM_Get_Device_IDW(controller, id, INSTANCE_ID_CAPACITY, 1));
  EXPECT_STREQ(L"", id);
  EXPECT_EQ(CONFIGRET(CR_SUCCESS), plat::CM_Get_Device_IDW(controller, id, INSTANCE_ID_CAPACITY, 0));

  HDEVINFO all = plat::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  SP_DEVINFO_DATA data = {};
  data.cbSize = sizeof data;
  for (DWORD i = 0; plat::SetupDiEnumDeviceInfo(all, i, &data) && data.DevInst != controller; ++i) {
  }
  ASSERT_EQ(controller, data.DevInst);
  const DEVPROPKEY width = {lab::PCI_LINK_KEY, 10};
  DEVPROPTYPE type = 0;
  DWORD value = 0;
  EXPECT_FALSE(plat::SetupDiGetDevicePropertyW(all, &data, &width, &type, reinterpret_cast<BYTE*>(&value), 4,
                                               nullptr, 1));
  EXPECT_EQ(DWORD(ERROR_INVALID_FLAGS), GetLastError());
  EXPECT_TRUE(plat::SetupDiGetDevicePropertyW(all, &data, &width, &type, reinterpret_cast<BYTE*>(&value), 4,
                                              nullptr, 0));
  EXPECT_EQ(4u, value);
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(all));
}

TEST_F(TopologyTest, AnInjectedSetFailureAnswersTheInvalidHandle) {
  machine.AddNativeDrive(Native(0, 2, 0));
  static const GUID disk = lab::iface::DISK;
  auto open = [] { return plat::SetupDiGetClassDevsW(&disk, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE); };
  machine.FailDeviceSets(ERROR_NOT_ENOUGH_MEMORY, 1);
  HDEVINFO first = open();
  ASSERT_NE(INVALID_HANDLE_VALUE, first);
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, open());
  EXPECT_EQ(DWORD(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  EXPECT_EQ(1, machine.OpenDeviceSetCount()) << "a failed call holds no set";
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(first));
  machine.FailDeviceSets(0);
  HDEVINFO again = open();
  EXPECT_NE(INVALID_HANDLE_VALUE, again);
  EXPECT_TRUE(plat::SetupDiDestroyDeviceInfoList(again));
  EXPECT_EQ(3, machine.DeviceSetRequests());
}

TEST(ChainReversal, HostControllerComesFirst) {
  EXPECT_EQ(103, ReverseChain(301));
  EXPECT_EQ(10302, ReverseChain(20301));
  EXPECT_EQ(1, ReverseChain(100));
  EXPECT_EQ(42, ReverseChain(42));
  EXPECT_EQ(0, ReverseChain(0));
}

TEST_F(TopologyTest, ScenarioTextBuildsTheMachine) {
  std::string error;
  ASSERT_TRUE(lab::BuildScenario(machine,
                                 "# one of each\n"
                                 "nvme disk=0 bus=4 bridge=3 link=3x4 max=4x4 model=\"KESTREL LAB NVME 1TB\" maker\n"
                                 "rst disk=1 port=3 path=0 bus=6 service=iaStorVD\n"
                                 "usb disk=2 chip=jmicron controller=2 ports=3.2\n"
                                 "volume letter=C disk=0\n",
                                 &error))
      << error;
  EXPECT_EQ(301, PortOf(0, CMD_NVME));
  EXPECT_EQ(6, PortOf(1, CMD_RST));
  EXPECT_EQ(20302, PortOf(2, CMD_JMI_USB));
  UINT32 speed = 0, width = 0, maxSpeed = 0, maxWidth = 0;
  GetPcieLinkInfo(L"\\\\.\\PhysicalDrive0", &speed, &width, &maxSpeed, &maxWidth);
  EXPECT_EQ(4u, maxSpeed);
  WCHAR service[SERVICE_CAPACITY];
  GetControllerService(L"\\\\.\\PhysicalDrive1", service);
  EXPECT_STREQ(L"iaStorVD", service);
  HANDLE volume = Open(L"\\\\.\\C:");
  ASSERT_NE(INVALID_HANDLE_VALUE, volume);
  EXPECT_EQ(0u, NumberOf(volume));
  plat::CloseHandle(volume);
  EXPECT_EQ("KESTREL LAB NVME 1TB", machine.DriveAt(0)->spec().model);

  EXPECT_FALSE(lab::BuildScenario(machine, "floppy disk=9\n", &error));
  EXPECT_EQ("line 1: unknown device \"floppy\"", error);
  EXPECT_FALSE(lab::BuildScenario(machine, "\nnvme bus=2\n", &error));
  EXPECT_EQ("line 2: no disk=", error);
}
