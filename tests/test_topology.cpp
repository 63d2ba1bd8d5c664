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

// One lookup on a fresh look at the tree, as each of these checks wants.
DEVINST FindDiskDevInst(const WCHAR* path, int level) {
  TreeSnapshot tree;
  return FindDiskDevInst(tree, path, level);
}
void GetControllerService(const WCHAR* path, WCHAR* service) {
  TreeSnapshot tree;
  GetControllerService(tree, path, service);
}
void GetPcieLinkInfo(const WCHAR* path, UINT32* speed, UINT32* width, UINT32* maxSpeed, UINT32* maxWidth) {
  TreeSnapshot tree;
  GetPcieLinkInfo(tree, path, speed, width, maxSpeed, maxWidth);
}
HANDLE OpenDiskByPortID(INT32 type, INT64 port) {
  TreeSnapshot tree;
  DWORD next = 0;
  return OpenNextDiskByPortID(tree, type, port, &next);
}

INT64 PortOf(int number, INT32 type) {
  CmdContext ctx = {type, INVALID_HANDLE_VALUE, 0};
  return GetDiskPortID(&ctx, UINT32(number));
}

}  // namespace

class TopologyTest : public LabTest {
 protected:
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
  EXPECT_NE(0u, FindDiskDevInst(L"\\\\.\\PhysicalDrive1", 2));
  EXPECT_EQ(0u, FindDiskDevInst(L"\\\\.\\PhysicalDrive1", 3));
  EXPECT_EQ(0u, FindDiskDevInst(L"\\\\.\\PhysicalDrive5", 0));
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
