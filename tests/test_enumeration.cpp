// Enumeration and re-identification against machines of the lab.
#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>

#include "DeviceTree.h"
#include "LabFixture.h"
#include "NothrowFaults.h"
#include "MakerPersonality.h"
#include "Scenario.h"
#include "UsbBridge.h"
#include "app/Dialog.h"
#include "discovery/Discovery.h"
#include "package/Package.h"

class EnumerationTest : public LabTest {
 protected:
  DriveRecord slots[DRIVE_TABLE_SIZE];

  void Build(const char* text) {
    std::string error;
    ASSERT_TRUE(lab::BuildScenario(machine, text, &error)) << error;
  }
  UINT32 Scan(UINT32 capacity = DRIVE_TABLE_SIZE) { return ScanDisks(slots, capacity); }
  INT32 Probe(int n, DriveRecord* record) {
    return GetDiskInfo((L"\\\\.\\PhysicalDrive" + std::to_wstring(n)).c_str(), record);
  }
  bool Opened(const wchar_t* path) {
    for (const auto& r : machine.Requests())
      if (_wcsicmp(r.path.c_str(), path) == 0) return true;
    return false;
  }
};

TEST_F(EnumerationTest, CapacityAndSectorSize) {
  Build("nvme disk=0 size=16\n"
        "nvme disk=1 size=15\n"
        "nvme disk=2 size=512 format=1\n");
  ASSERT_EQ(2u, Scan());
  EXPECT_EQ(16u, slots[0].iCapacityGB);
  EXPECT_EQ(512u, slots[0].iSectorSize);
  EXPECT_EQ(2u, slots[1].iDeviceNumber);
  EXPECT_EQ(4096u, slots[1].iSectorSize) << "the LBA format the namespace is formatted with";
  EXPECT_EQ(125000000u, slots[1].iNamespaceSize) << "NSZE, in 4096-byte blocks";
  EXPECT_EQ(512u, slots[1].iCapacityGB);
  DriveRecord record;
  memset(&record, 0x5A, sizeof record);
  EXPECT_EQ(RES_NO_TRANSPORT, Probe(1, &record));
  EXPECT_EQ(0u, record.iCapacityGB) << "a rejected drive leaves a cleared record";
  EXPECT_EQ(RES_OPEN_FAILED, Probe(9, &record));
}

// Read with LBA format 0's 512 bytes, a 4Kn drive's block count gives an
// eighth of its size: 120 GB would count as 15 and be refused.
TEST_F(EnumerationTest, A4KnDriveCountsItsBlocksAt4096Bytes) {
  Build("nvme disk=0 size=120 format=1\n"
        "nvme disk=1 size=15 format=1\n");
  ASSERT_EQ(1u, Scan());
  EXPECT_EQ(120u, slots[0].iCapacityGB);
  EXPECT_EQ(4096u, slots[0].iSectorSize);

  // FLBAS bit 4 (metadata at the end of each block) is not part of the index.
  lab::DriveSpec withMetadata;
  withMetadata.formattedLbaFormat = 0x11;
  withMetadata.nsze = 125000000;
  machine.AddNativeDrive({5, 6, 0}, withMetadata);
  DriveRecord record;
  ASSERT_EQ(RES_SUCCESS, Probe(5, &record));
  EXPECT_EQ(4096u, record.iSectorSize);
  EXPECT_EQ(512u, record.iCapacityGB);
}

// Identify Namespace fields that no real drive reports are refused, with
// the reason logged, before the drive is offered.
TEST_F(EnumerationTest, TheNamespaceIsJudgedBeforeTheDriveIsOffered) {
  Build("nvme disk=0\n");
  struct Case {
    uint8_t nlbaf, flbas, lbads;  // LBADS of the format FLBAS names
    uint64_t nsze;
    UINT32 capacity;  // 0: refused
    const wchar_t* why;
  } cases[] = {
      {1, 0x00, 9, 1000215216, 512, nullptr},
      {1, 0x01, 16, 8000000, 524, nullptr},
      {16, 0x20, 12, 125000000, 512, nullptr},  // NVMe 2.0: format 16 through FLBAS bits 6:5
      {0, 0x01, 12, 125000000, 0, L"names an LBA format it does not have"},
      {15, 0x21, 9, 1000215216, 512, nullptr},  // 16 formats or fewer: bits 6:5 are no part of the index
      {1, 0x00, 0, 1ull << 40, 0, L"reports a sector size no drive has"},  // 1-byte sectors
      {1, 0x00, 8, 1ull << 40, 0, L"reports a sector size no drive has"},
      {1, 0x00, 17, 1000000, 0, L"reports a sector size no drive has"},
      {1, 0x00, 32, 1000000, 0, L"reports a sector size no drive has"},
      {1, 0x00, 12, 1ull << 53, 0, L"reports more bytes than a drive can hold"},
      // 2^62 bytes: 4.6e9 GB, which the record's 32 bits once cut to 316718722.
      {1, 0x00, 12, 1ull << 50, 0, L"reports more gigabytes than the record holds"},
      {1, 0x00, 9, 31249999, 0, nullptr},  // 16 GB less a sector: too small, as always
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("NLBAF " + std::to_string(c.nlbaf) + ", FLBAS " + std::to_string(c.flbas) + ", LBADS " +
                 std::to_string(c.lbads) + ", NSZE " + std::to_string(c.nsze));
    machine.DriveAt(0)->SetIdentifyNamespaceHook([&](lab::Bytes& d) {
      memcpy(d.data(), &c.nsze, 8);
      d[25] = c.nlbaf;
      d[26] = c.flbas;
      d[128 + 4 * ((c.flbas & 0x0F) | (c.nlbaf >= 16 ? (c.flbas >> 5 & 3) << 4 : 0)) + 2] = c.lbads;
    });
    machine.ClearRecords();
    ASSERT_EQ(c.capacity != 0 ? 1u : 0u, Scan());
    if (c.capacity != 0) {
      EXPECT_EQ(c.capacity, slots[0].iCapacityGB);
      EXPECT_EQ(1u << c.lbads, slots[0].iSectorSize);
    }
    if (c.why != nullptr) {
      EXPECT_EQ(1u, LinesContaining((std::wstring(L"PhysicalDrive0 ") + c.why + L"; not offered").c_str()).size());
    }
  }
  // A refused Identify Namespace is no data to judge.
  machine.DriveAt(0)->SetIdentifyNamespaceHook(nullptr);
  machine.DriveAt(0)->FailOpcode(0x06, lab::nvme::InvalidNamespace, 1);
  EXPECT_EQ(0u, Scan());
  EXPECT_EQ(1u, LinesContaining(L"PhysicalDrive0 did not answer Identify Namespace; not offered").size());
}

// Marked, a control character keeps the texts from passing for others: the
// revision "2.0" and a bell is no revision 2.0 of the package's list.
TEST_F(EnumerationTest, ControlCharactersInTheTextsAreMarkedNotDropped) {
  Build("nvme disk=0\n");
  machine.DriveAt(0)->SetIdentifyHook([](lab::Bytes& d) {
    const char serial[21] = "SERIAL\x01" "1            ", model[41] = "\tKESTREL LAB\x1B[2J NVME\xE2\x80\xAE       ";
    memcpy(&d[4], serial, 20);
    memcpy(&d[24], model, 40);
    memcpy(&d[64], "2.0\x07    ", 8);
  });
  ASSERT_EQ(1u, Scan());
  EXPECT_STREQ(L"2.0?", slots[0].szFwRevision);
  EXPECT_EQ(0, IsFwRevisionAccepted(slots[0].szFwRevision, L";2.0;"));
  EXPECT_EQ(std::wstring(L"SERIAL?1") + std::wstring(12, L' '), slots[0].szSerial);
  EXPECT_EQ(0, IsDriveAccepted(&slots[0], L";KESTREL LAB[2J NVME;", L"*"));
}

// Thousands of replies of any content, as a broken or hostile drive may
// give: the scan never fails, and a drive is offered only with the capacity
// its reply truly gives and with texts that hold no control character.
TEST_F(EnumerationTest, HostileIdentifyRepliesAreNeverOfferedWrong) {
  Build("nvme disk=0 maker\n");
  std::mt19937_64 random(20261209);
  lab::Bytes ns, controller;
  machine.DriveAt(0)->SetIdentifyNamespaceHook([&](lab::Bytes& d) { d = ns; });
  machine.DriveAt(0)->SetIdentifyHook([&](lab::Bytes& d) {
    for (size_t i = 4; i < 72; ++i) d[i] = controller[i];
  });
  const uint8_t lbadsChoices[] = {0, 1, 8, 9, 12, 16, 17, 31, 32, 63, 64, 255};
  int offered = 0;
  for (int round = 0; round < 3000; ++round) {
    ns.assign(4096, 0);
    controller.assign(4096, 0);
    for (auto& b : ns) b = uint8_t(random());
    for (auto& b : controller) b = uint8_t(random() % 4 == 0 ? random() % 0x20 : random());
    uint64_t nsze = random() >> (random() % 64);
    memcpy(ns.data(), &nsze, 8);
    ns[25] = uint8_t(random() % 3 == 0 ? random() : random() % 4);
    ns[26] = uint8_t(random() % 3 == 0 ? random() : random() % 4);
    unsigned format = (ns[26] & 0x0Fu) | (ns[25] >= 16 ? (ns[26] >> 5 & 3u) << 4 : 0);
    ns[128 + 4 * format + 2] = lbadsChoices[random() % sizeof lbadsChoices];
    // What the reply truly gives, worked out here on its own.
    unsigned lbads = ns[128 + 4 * format + 2];
    bool sound = format <= ns[25] && lbads >= 9 && lbads <= 16 && nsze <= (UINT64_MAX >> lbads);
    uint64_t gigabytes = sound ? (nsze << lbads) / 1000000000ull : 0;
    sound = sound && gigabytes >= 16 && gigabytes <= 0xFFFFFFFFull;

    UINT32 count = Scan();
    ASSERT_EQ(sound ? 1u : 0u, count) << "round " << round;
    if (count == 0) continue;
    ++offered;
    EXPECT_EQ(gigabytes, slots[0].iCapacityGB) << "round " << round;
    WCHAR entry[260];
    FormatDriveEntry(&slots[0], entry, 260);
    for (const WCHAR* text : std::initializer_list<const WCHAR*>{slots[0].szModel, slots[0].szSerial,
                                                                 slots[0].szFwRevision, entry})
      for (const WCHAR* c = text; *c; ++c) ASSERT_FALSE(*c < 0x20 || (*c >= 0x7F && *c <= 0x9F)) << "round " << round;
  }
  EXPECT_GT(offered, 100) << "sound replies come up often enough to be judged";
  EXPECT_LT(offered, 2900);
}

TEST_F(EnumerationTest, GapsDoNotStopTheScanAndAFullTableDoes) {
  Build("nvme disk=0\nnvme disk=3\nnvme disk=7\nnvme disk=19\n");
  ASSERT_EQ(4u, Scan());
  EXPECT_EQ(19u, slots[3].iDeviceNumber);
  machine.ClearRecords();
  ASSERT_EQ(2u, Scan(2));
  EXPECT_TRUE(Opened(L"\\\\.\\PhysicalDrive3"));
  EXPECT_FALSE(Opened(L"\\\\.\\PhysicalDrive7")) << "no probing once the table is full";
}

TEST_F(EnumerationTest, DrivesNoTransportServesAreSkipped) {
  Build("usb disk=0 chip=other\n"
        "sata disk=1\n"
        "rst disk=2 port=3 service=megasas\n"
        "rst disk=3 port=4 bus=7 service=iaStorAC\n"
        "usb disk=4 chip=asmedia ports=2\n"
        "usb disk=5 chip=jmicron ports=5\n");
  DriveRecord record;
  for (int n : {0, 1, 2}) EXPECT_EQ(RES_NO_TRANSPORT, Probe(n, &record)) << n;
  ASSERT_EQ(3u, Scan());
  EXPECT_EQ(CMD_RST, slots[0].iCmdType);
  EXPECT_EQ(CMD_ASM_USB, slots[1].iCmdType);
  EXPECT_EQ(102, slots[1].iPort);
  EXPECT_EQ(CMD_JMI_USB, slots[2].iCmdType);
  EXPECT_EQ(7, slots[0].iPort);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(0u, slots[i].iLinkSpeed) << "link values are for native drives only";
}

constexpr char kOneOfEach[] =
    "nvme disk=0 bus=2\n"
    "rst disk=1 port=3 bus=7 service=iaStorAC\n"
    "usb disk=2 chip=asmedia ports=2\n"
    "usb disk=3 chip=jmicron ports=5\n";

TEST_F(EnumerationTest, ADeviceTreeThatCannotBeReadOffersNoDrive) {
  Build(kOneOfEach);
  machine.FailDeviceSets(ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(0u, Scan()) << "no drive without a port id to find it again by";
  EXPECT_EQ(3u, LinesContaining(L"has no port id in the device tree; not offered").size())
      << "the native and both USB drives answered Identify; the RST drive was never recognised";
  EXPECT_EQ(1u, LinesContaining(L"[VX] GetDiskInfo: \\\\.\\PhysicalDrive0 has no port id").size());
  EXPECT_FALSE(LinesContaining(L"[VX] SetupDiGetClassDevsW failed, error 8").empty());
  machine.FailDeviceSets(0);
  EXPECT_EQ(4u, Scan());
}

// Wherever the tree stops answering, every set, handle and page is released
// and no drive is offered that could not be found again.
TEST_F(EnumerationTest, ADeviceTreeFailingPartWayLeaksNothing) {
  Build(kOneOfEach);
  ASSERT_EQ(4u, Scan());
  const int sets = machine.DeviceSetRequests();
  for (int after = 0; after < sets; ++after) {
    SCOPED_TRACE("the device set after " + std::to_string(after) + " fails");
    machine.Reset();
    Build(kOneOfEach);
    machine.FailDeviceSets(ERROR_NOT_ENOUGH_MEMORY, after);
    UINT32 count = Scan();
    EXPECT_LE(count, 4u);
    for (UINT32 i = 0; i < count; ++i) EXPECT_NE(PORT_ID_UNKNOWN, slots[i].iPort);
    ASSERT_EQ(0, machine.OpenDeviceSetCount());
    ASSERT_EQ(0, machine.OpenHandleCount());
    ASSERT_EQ(0, machine.OutstandingAllocations());
    ASSERT_EQ(0, machine.BadReleases());
  }
}

// A scan reads the device tree once, however many drives it probes: the
// sets it opens are the same few, each disk is asked its number when the
// tree is read and once more when its drive is offered, and the tree calls
// per drive fall as drives are added. One re-identification attempt reads
// the tree once too.
TEST_F(EnumerationTest, OneReadingOfTheDeviceTreePerScan) {
  double perDrive[2] = {};
  for (int copies : {1, 3}) {
    machine.Reset();
    std::string text;
    for (int c = 0; c < copies; ++c) {
      const std::string n[4] = {std::to_string(4 * c), std::to_string(4 * c + 1), std::to_string(4 * c + 2),
                                std::to_string(4 * c + 3)};
      text += "nvme disk=" + n[0] + " bus=" + std::to_string(2 + 4 * c) + " serial=N" + n[0] + "\n";
      text += "rst disk=" + n[1] + " port=30 path=" + std::to_string(c) + " serial=R" + n[1] + "\n";
      text += "usb disk=" + n[2] + " chip=asmedia ports=" + std::to_string(1 + c) + " serial=A" + n[2] + "\n";
      text += "usb disk=" + n[3] + " chip=jmicron controller=2 ports=4." + std::to_string(1 + c) + " serial=J" +
              n[3] + "\n";
    }
    Build(text.c_str());
    machine.AddOtherDevices(100);
    const int sets = machine.DeviceSetRequests();
    const int tree = machine.TreeCallCount();
    machine.ClearRecords();
    const UINT32 drives = UINT32(4 * copies);
    ASSERT_EQ(drives, Scan());
    EXPECT_LE(machine.DeviceSetRequests() - sets, 5) << "disks, all devices and the three USB classes, once each";
    int numberQuestions = 0;
    for (const auto& r : machine.RequestsWithCode(IOCTL_STORAGE_GET_DEVICE_NUMBER))
      if (r.path.rfind(L"\\\\?\\", 0) == 0) ++numberQuestions;
    EXPECT_EQ(int(2 * drives), numberQuestions);
    perDrive[copies == 1 ? 0 : 1] = double(machine.TreeCallCount() - tree) / drives;

    DriveRecord last = slots[drives - 1];
    const int setsBefore = machine.DeviceSetRequests();
    EXPECT_EQ(1, GetDiskInfoByPortID(&last, 1));
    EXPECT_LE(machine.DeviceSetRequests() - setsBefore, 5);
    EXPECT_EQ(slots[drives - 1].iPort, last.iPort);
  }
  EXPECT_LT(perDrive[1], perDrive[0]) << perDrive[0] << " tree calls per drive alone, " << perDrive[1] << " for 12";
}

// The tree is read once while disks may come and go during the scan: a drive
// is offered with the port id of the disk that was probed, or not at all;
// the next scan sees it whole.
TEST_F(EnumerationTest, ADiskThatChangesDuringTheScanIsSeenWholeOrNotAtAll) {
  auto whenDriveZeroIsAsked = [&](std::function<void()> change) {
    auto done = std::make_shared<bool>(false);
    machine.AfterRequest([this, done, change](const lab::RequestRecord& r) {
      if (*done || _wcsicmp(r.path.c_str(), L"\\\\.\\PhysicalDrive0") != 0) return;
      *done = true;
      change();
    });
  };
  auto enclosure = [&](int number, int port, const char* serial) {
    lab::UsbDiskSpec where;
    where.kind = lab::BridgeKind::JMicron;
    where.deviceNumber = number;
    where.ports = {port};
    lab::DriveSpec spec;
    spec.serial = serial;
    machine.AddUsbDrive(where, spec);
  };
  auto serialOf = [](const DriveRecord& r) { return std::wstring(r.szSerial, wcsnlen(r.szSerial, 5)); };

  // Drive 1's enclosure leaves and another, at port 5, takes its number.
  Build("nvme disk=0 bus=2\nusb disk=1 chip=asmedia ports=3 serial=FIRST\n");
  whenDriveZeroIsAsked([&] {
    machine.Unplug(1);
    enclosure(1, 5, "SECOND");
  });
  UINT32 count = Scan();
  machine.AfterRequest(nullptr);
  ASSERT_GE(count, 1u);
  for (UINT32 i = 1; i < count; ++i) {
    EXPECT_EQ(L"SECON", serialOf(slots[i]));
    EXPECT_EQ(105, slots[i].iPort) << "the newcomer with the first enclosure's port id";
  }
  ASSERT_EQ(2u, Scan());
  EXPECT_EQ(L"SECON", serialOf(slots[1]));
  EXPECT_EQ(105, slots[1].iPort);

  // A disk arrives after the tree was read.
  machine.Reset();
  Build("nvme disk=0 bus=2\n");
  whenDriveZeroIsAsked([&] { enclosure(3, 4, "LATE"); });
  count = Scan();
  machine.AfterRequest(nullptr);
  ASSERT_GE(count, 1u);
  if (count == 2) {
    EXPECT_EQ(104, slots[1].iPort);
  }
  ASSERT_EQ(2u, Scan());
  EXPECT_EQ(104, slots[1].iPort);
}

// Short of memory anywhere in a scan, no drive is offered at a port that is
// not its own, and nothing is left open.
TEST_F(EnumerationTest, ShortOfMemoryNoDriveIsOfferedAtAnotherPort) {
  Build(kOneOfEach);
  nothrow_faults::Start(0);
  ASSERT_EQ(4u, Scan());
  const int allocations = nothrow_faults::Stop();
  std::map<std::wstring, INT64> ports;
  for (UINT32 i = 0; i < 4; ++i) ports[slots[i].szSerial] = slots[i].iPort;
  ASSERT_EQ(4u, ports.size());
  for (int nth = 1; nth <= allocations; ++nth) {
    SCOPED_TRACE("allocation " + std::to_string(nth) + " of " + std::to_string(allocations) + " fails");
    nothrow_faults::Start(nth);
    UINT32 count = Scan();
    nothrow_faults::Stop();
    for (UINT32 i = 0; i < count; ++i) EXPECT_EQ(ports[slots[i].szSerial], slots[i].iPort);
    ASSERT_EQ(0, machine.OpenDeviceSetCount());
    ASSERT_EQ(0, machine.OpenHandleCount());
  }
}

// A disk that cannot be opened or does not tell its number while the tree
// is read, or when its drive is confirmed, is asked once more: a passing
// failure loses no drive.
TEST_F(EnumerationTest, ADiskThatDoesNotAnswerOnceIsAskedAgain) {
  Build(kOneOfEach);
  for (int times = 1; times <= 3; ++times) {
    machine.FailIoctl(IOCTL_STORAGE_GET_DEVICE_NUMBER, ERROR_IO_DEVICE, times);
    EXPECT_EQ(4u, Scan()) << times << " disks did not tell their number at first";
  }

  auto atDriveZero = [&](std::function<void()> change) {
    auto done = std::make_shared<bool>(false);
    machine.AfterRequest([done, change](const lab::RequestRecord& r) {
      if (*done || _wcsicmp(r.path.c_str(), L"\\\\.\\PhysicalDrive0") != 0) return;
      *done = true;
      change();
    });
  };
  const std::wstring second = machine.Tree().Find(machine.DiskAt(1)->node)->interfacePath;
  machine.FailOpen(second, ERROR_SHARING_VIOLATION);
  atDriveZero([&] { machine.FailOpen(second, ERROR_SHARING_VIOLATION, INT_MAX); });  // lifted
  EXPECT_EQ(4u, Scan()) << "a disk that could not be opened when the tree was read";

  atDriveZero([&] { machine.FailIoctl(IOCTL_STORAGE_GET_DEVICE_NUMBER, ERROR_IO_DEVICE, 1); });
  EXPECT_EQ(4u, Scan()) << "a confirmation whose first question failed";
  machine.AfterRequest(nullptr);
}

TEST_F(EnumerationTest, CheckConditionAtIdentifySkipsTheDrive) {
  Build("usb disk=0 chip=asmedia\n");
  auto* bridge = static_cast<lab::UsbBridgeDisk*>(machine.DiskAt(0));
  bridge->CheckConditionAt(3);  // INQUIRY, information read, Identify Controller
  DriveRecord record;
  EXPECT_NE(RES_SUCCESS, Probe(0, &record));
  EXPECT_EQ(0u, record.iCapacityGB);
  EXPECT_EQ(RES_SUCCESS, Probe(0, &record));
}

TEST_F(EnumerationTest, RecordFromIdentifyAndTheFlashQuery) {
  Build("nvme disk=0 model=\"ABC\" serial=\"S1\" fw=\" 1.2 \" link=3x4 max=4x4 maker socid=7C31\n"
        "nvme disk=1 vid=144D ssvid=144D\n");
  ASSERT_EQ(2u, Scan()) << "a drive of another maker refusing the vendor commands is still listed";
  EXPECT_EQ(0, slots[1].bSupportedController);
  EXPECT_EQ(0u, slots[1].iNandType);
  EXPECT_EQ(0u, slots[1].iSocId);
  DriveRecord& d = slots[0];
  EXPECT_STREQ(L"\\\\.\\PhysicalDrive0", d.szDevicePath);
  EXPECT_STREQ(L"ABC", d.szModel);
  EXPECT_EQ(std::wstring(L"S1") + std::wstring(18, L' '), d.szSerial) << "the serial keeps its blanks";
  EXPECT_STREQ(L"1.2", d.szFwRevision);
  EXPECT_EQ(0x1D4Cu, d.iPciVendorId);
  EXPECT_EQ(1, d.bSupportedController);
  EXPECT_EQ(0x7C31u, d.iSocId);
  EXPECT_EQ(0x2C04u, d.iNandType);
  EXPECT_EQ(2, d.iPort);
  EXPECT_EQ((std::vector<UINT32>{3, 4, 4, 4}),
            (std::vector<UINT32>{d.iLinkSpeed, d.iLinkWidth, d.iMaxLinkSpeed, d.iMaxLinkWidth}));
}

TEST_F(EnumerationTest, VolumesGiveTheLetters) {
  Build("nvme disk=0\nnvme disk=1\nnvme disk=2 size=8\n"
        "volume letter=D disk=0\nvolume letter=C disk=0\nvolume letter=E disk=2\n");
  ASSERT_EQ(2u, Scan());
  EXPECT_STREQ(L"C: D: ", slots[0].szDriveLetters);
  EXPECT_EQ(1, slots[0].bSystemDrive);
  EXPECT_EQ(0, slots[0].bRaw);
  EXPECT_STREQ(L"", slots[1].szDriveLetters);
  EXPECT_EQ(1, slots[1].bRaw);
  EXPECT_EQ(0, slots[1].bSystemDrive) << "E: lies on the rejected drive and changes nothing";
}

TEST_F(EnumerationTest, ManyVolumesOnOneDriveNeverOverrunTheLetters) {
  // "%c: " writes three characters: twenty letters fit in the 63 of the text.
  std::string text = "nvme disk=0\n";
  for (char c = 'C'; c <= 'V'; ++c) text += std::string("volume letter=") + c + " disk=0\n";
  Build(text.c_str());
  ASSERT_EQ(1u, Scan());
  EXPECT_STREQ(L"C: D: E: F: G: H: I: J: K: L: M: N: O: P: Q: R: S: T: U: V: ", slots[0].szDriveLetters);

  // Twenty-four do not: the first twenty-one are kept, in letter order.
  for (char c = 'W'; c <= 'Z'; ++c) machine.AddVolume(wchar_t(c), 0);
  ASSERT_EQ(1u, Scan());
  EXPECT_EQ(63u, wcslen(slots[0].szDriveLetters));
  EXPECT_EQ(std::wstring(L"U: V: W: "), std::wstring(slots[0].szDriveLetters + 54));
  EXPECT_EQ(0u, slots[0].iDeviceNumber) << "the fields after the letters are intact";
  EXPECT_EQ(0, slots[0].bRaw);
}

class ReidentifyTest : public EnumerationTest {
 protected:
  HWND sink = nullptr;
  void SetUp() override {
    EnumerationTest::SetUp();
    sink = CreateWindowExW(0, L"STATIC", L"sink", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    GetAppState()->hDlg = sink;
  }
  void TearDown() override {
    DestroyWindow(sink);
    EnumerationTest::TearDown();
  }
  std::vector<LPARAM> Posted() {
    std::vector<LPARAM> out;
    MSG msg;
    while (PeekMessageW(&msg, sink, WM_UPDATE_PROGRESS, WM_UPDATE_PROGRESS, PM_REMOVE)) out.push_back(msg.lParam);
    return out;
  }
};

TEST_F(ReidentifyTest, FoundOnTheFirstTry) {
  Build("usb disk=1 ports=4\nvolume letter=F disk=1\n");
  ASSERT_EQ(1u, Scan());
  DriveRecord record = slots[0];
  EXPECT_STREQ(L"F: ", record.szDriveLetters);
  ULONGLONG before = machine.Now();
  EXPECT_EQ(1, GetDiskInfoByPortID(&record, 30));
  EXPECT_EQ(before, machine.Now()) << "no sleep";
  EXPECT_TRUE(Posted().empty());
  EXPECT_EQ(104, record.iPort);
  EXPECT_STREQ(L"", record.szDriveLetters) << "only the full scan ties volumes";
  EXPECT_EQ(1, record.bRaw);
}

TEST_F(ReidentifyTest, ADriveMovedAwayCostsEveryTry) {
  Build("usb disk=1 ports=4\n");
  ASSERT_EQ(1u, Scan());
  DriveRecord record = slots[0];
  record.iPort = 105;  // the enclosure now sits in another port
  DriveRecord before = record;
  ULONGLONG start = machine.Now();
  EXPECT_EQ(0, GetDiskInfoByPortID(&record, 30));
  EXPECT_EQ(start + 30000, machine.Now());
  std::vector<LPARAM> expected;
  for (int t = 1; t <= 30; ++t) expected.push_back(100 * t / 30);
  EXPECT_EQ(expected, Posted());
  EXPECT_EQ(3, expected.front());
  EXPECT_EQ(0, memcmp(&before, &record, sizeof record)) << "the record is unchanged";

  EXPECT_EQ(0, GetDiskInfoByPortID(&record, 10));
  EXPECT_EQ((std::vector<LPARAM>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}), Posted());
  EXPECT_EQ(0, GetDiskInfoByPortID(&record, 0));
  EXPECT_TRUE(Posted().empty());
}

TEST_F(ReidentifyTest, ADriveBackUnderANewNumberIsRefilled) {
  Build("usb disk=1 chip=jmicron ports=2.3 reappear=4000\n");
  ASSERT_EQ(1u, Scan());
  DriveRecord record = slots[0];
  lab::NvmeDrive* drive = machine.DriveAt(1);
  lab::Bytes image = lab::MakeLabImage(8192, "5.0.0.01");
  CmdContext ctx = {CMD_JMI_USB, INVALID_HANDLE_VALUE, 0};
  HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
  ASSERT_EQ(RES_SUCCESS, DownloadFW(&ctx, h, image.data(), 8192));
  ASSERT_EQ(RES_SUCCESS, FWCommit(&ctx, h, 1, 1));
  IO_USB_JMI_PowerCtrl(h, 5);
  plat::CloseHandle(h);
  Posted();  // the download's own progress
  EXPECT_EQ(1, GetDiskInfoByPortID(&record, 10));
  EXPECT_STREQ(L"5.0.0.01", record.szFwRevision);
  EXPECT_STREQ(L"\\\\.\\PhysicalDrive2", record.szDevicePath);
  EXPECT_EQ(2u, record.iDeviceNumber);
  EXPECT_EQ(10203, record.iPort);
  EXPECT_EQ((std::vector<LPARAM>{10, 20, 30, 40}), Posted()) << "four seconds away";
  EXPECT_EQ("5.0.0.01", drive->revision());
}

TEST_F(ReidentifyTest, AFoundDriveThatNoLongerAnswersLeavesAClearedRecord) {
  Build("nvme disk=0\n");
  ASSERT_EQ(1u, Scan());
  DriveRecord record = slots[0];
  machine.DriveAt(0)->FailOpcode(0x06, lab::nvme::InvalidField);
  EXPECT_EQ(0, GetDiskInfoByPortID(&record, 30));
  EXPECT_EQ(0u, record.iCapacityGB);
  EXPECT_STREQ(L"", record.szDevicePath);
  EXPECT_TRUE(Posted().empty()) << "no further try";
}

TEST_F(ReidentifyTest, TwoDrivesBehindOneAdapterAreEachFoundAsThemselves) {
  Build("rst disk=1 port=3 path=0 serial=RST-A\n"
        "rst disk=2 port=3 path=1 serial=RST-B\n");
  ASSERT_EQ(2u, Scan());
  EXPECT_EQ(slots[0].iPort, slots[1].iPort) << "they share the adapter's port id";
  DriveRecord a = slots[0], b = slots[1];
  EXPECT_EQ(1, GetDiskInfoByPortID(&b, 30));
  EXPECT_EQ(2u, b.iDeviceNumber);
  EXPECT_EQ(1, GetDiskInfoByPortID(&a, 30));
  EXPECT_EQ(1u, a.iDeviceNumber);
  EXPECT_EQ(0u, wcsncmp(L"RST-B", b.szSerial, 5));
}

// One of two drives behind an adapter cannot be opened when re-identification
// looks for the other: the other is still found on the first try.
TEST_F(ReidentifyTest, AnUnopenableDriveAtThePortDoesNotHideItsNeighbour) {
  Build("rst disk=1 port=3 path=0 serial=RST-A\n"
        "rst disk=2 port=3 path=1 serial=RST-B\n");
  ASSERT_EQ(2u, Scan());
  DriveRecord b = slots[1];
  const std::wstring a = machine.Tree().Find(machine.DiskAt(1)->node)->interfacePath;
  machine.FailOpen(a, ERROR_ACCESS_DENIED, 2);  // read with the tree, asked its bus, then refused
  EXPECT_EQ(1, GetDiskInfoByPortID(&b, 1));
  EXPECT_EQ(2u, b.iDeviceNumber);
  EXPECT_EQ(0u, wcsncmp(L"RST-B", b.szSerial, 5));
}

TEST_F(ReidentifyTest, AClearedSlotNamesNoDrive) {
  Build("nvme disk=0 bus=0\n");  // a controller on bus 0 under bus 0: port id 0
  ASSERT_EQ(1u, Scan());
  ASSERT_EQ(0, slots[0].iPort);
  DriveRecord cleared = {};
  cleared.iCmdType = CMD_NVME;
  ULONGLONG start = machine.Now();
  int opens = machine.OpenAttempts(L"\\\\.\\PhysicalDrive0");
  EXPECT_EQ(0, GetDiskInfoByPortID(&cleared, 30));
  EXPECT_STREQ(L"", cleared.szDevicePath) << "port 0 matched nothing";
  EXPECT_EQ(opens, machine.OpenAttempts(L"\\\\.\\PhysicalDrive0"));
  EXPECT_EQ(start, machine.Now()) << "no tries spent";
}

// What the worker checks before its first write: the drive behind the
// handle is the recorded one in every identifying respect.
TEST_F(EnumerationTest, ConfirmingTheDriveBehindAnOpenHandle) {
  Build("nvme disk=0 bus=2 serial=CONFIRM-1\nusb disk=1 chip=jmicron ports=2.3 serial=CONFIRM-2\n");
  ASSERT_EQ(2u, Scan());
  for (const DriveRecord& recorded : {slots[0], slots[1]}) {
    SCOPED_TRACE(recorded.iDeviceNumber);
    struct Case {
      const char* what;
      std::function<void(DriveRecord&)> change;
      INT32 result;
    } cases[] = {
        {"the same drive", [](DriveRecord&) {}, RES_SUCCESS},
        {"another serial", [](DriveRecord& r) { r.szSerial[0] = L'X'; }, RES_DRIVE_CHANGED},
        {"another model", [](DriveRecord& r) { wcscpy(r.szModel, L"KESTREL LAB NVME 1TB"); }, RES_DRIVE_CHANGED},
        {"another revision", [](DriveRecord& r) { wcscpy(r.szFwRevision, L"0.9.0.00"); }, RES_DRIVE_CHANGED},
        {"another port", [](DriveRecord& r) { r.iPort += 1; }, RES_DRIVE_CHANGED},
        {"another transport", [](DriveRecord& r) { r.iCmdType = CMD_RST; }, RES_DRIVE_CHANGED},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      DriveRecord expected = recorded;
      c.change(expected);
      CmdContext ctx = {CMD_NONE, INVALID_HANDLE_VALUE, 0};
      HANDLE h = OpenDisk(recorded.szDevicePath, &ctx);
      ASSERT_NE(INVALID_HANDLE_VALUE, h);
      EXPECT_EQ(c.result, ConfirmDiskIdentity(&ctx, h, &expected));
      CloseDisk(h, &ctx);
    }
  }
  machine.DriveAt(0)->FailOpcode(0x06, lab::nvme::InvalidField);
  CmdContext ctx = {CMD_NONE, INVALID_HANDLE_VALUE, 0};
  HANDLE h = OpenDisk(slots[0].szDevicePath, &ctx);
  EXPECT_EQ(RES_REQUEST_FAILED, ConfirmDiskIdentity(&ctx, h, &slots[0])) << "what cannot be read is not confirmed";
  CloseDisk(h, &ctx);
}
