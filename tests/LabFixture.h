// Shared by the tests: a fresh machine room and application state per test,
// and the check that nothing was left open or allocated.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "DeviceTree.h"
#include "Lab.h"
#include "UsbBridge.h"
#include "Wire.h"
#include "app/AppState.h"
#include "platform/Platform.h"
#include "transport/CmdModel.h"

// Bytes from hex text; blanks are ignored: Hex("01 00 00 00").
inline lab::Bytes Hex(const char* text) {
  lab::Bytes out;
  int nibble = -1;
  for (const char* p = text; *p; ++p) {
    int v = (*p >= '0' && *p <= '9') ? *p - '0' : (*p >= 'A' && *p <= 'F') ? *p - 'A' + 10
          : (*p >= 'a' && *p <= 'f') ? *p - 'a' + 10 : -1;
    if (v < 0) continue;
    if (nibble < 0) {
      nibble = v;
    } else {
      out.push_back(uint8_t(nibble << 4 | v));
      nibble = -1;
    }
  }
  return out;
}

inline lab::Bytes Slice(const lab::Bytes& b, size_t at, size_t n) {
  return lab::Bytes(b.begin() + at, b.begin() + at + n);
}

// A USB disk behind a bridge, its ports from the host controller down.
inline lab::UsbDiskSpec Usb(int number, std::vector<int> ports, int controller = 1,
                     lab::BridgeKind kind = lab::BridgeKind::ASMedia) {
  lab::UsbDiskSpec spec;
  spec.kind = kind;
  spec.deviceNumber = number;
  spec.ports = std::move(ports);
  spec.hostController = controller;
  return spec;
}

// A native drive's disk, its controller on bus, below a bridge on bridgeBus.
inline lab::NativeDiskSpec Native(int number, int bus, int bridgeBus) {
  lab::NativeDiskSpec spec;
  spec.deviceNumber = number;
  spec.bus = bus;
  spec.bridgeBus = bridgeBus;
  return spec;
}

// The storage device number of an open disk or volume, read at the
// documented offset.
inline UINT32 NumberOf(HANDLE disk) {
  BYTE number[12] = {};
  DWORD returned = 0;
  plat::DeviceIoControl(disk, 0x002D1080 /* IOCTL_STORAGE_GET_DEVICE_NUMBER */, nullptr, 0, number, 12, &returned, nullptr);
  return lab::Rd32(number, 4);
}

class LabTest : public ::testing::Test {
 protected:
  lab::Machine& machine = lab::Machine::Get();

  void SetUp() override {
    machine.Reset();
    ZeroMemory(GetAppState(), sizeof(AppState));
  }

  void TearDown() override {
    EXPECT_EQ(0, machine.OpenHandleCount()) << "device handles left open";
    EXPECT_EQ(0, machine.OpenDeviceSetCount()) << "device sets not released";
    EXPECT_EQ(0, machine.OutstandingAllocations()) << "page allocations not released";
    EXPECT_EQ(0, machine.OpenRegistryKeyCount()) << "registry keys left open";
    EXPECT_EQ(0, machine.BadReleases()) << "handles or pages released that the lab never gave out";
  }

  HANDLE Open(const wchar_t* path, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return plat::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  // The skip-th device node whose instance id starts with prefix.
  lab::DevNode* NodeWithPrefix(const wchar_t* prefix, int skip = 0) {
    for (const auto& node : machine.Tree().nodes())
      if (node->instanceId.rfind(prefix, 0) == 0 && skip-- == 0) return node.get();
    return nullptr;
  }

  std::vector<std::wstring> LinesContaining(const wchar_t* text) {
    std::vector<std::wstring> out;
    for (const auto& line : machine.DebugLines())
      if (line.find(text) != std::wstring::npos) out.push_back(line);
    return out;
  }
};

// A test with one native NVMe drive at PhysicalDrive0, opened for commands.
class NativeDriveTest : public LabTest {
 protected:
  lab::NvmeDrive* drive = nullptr;
  HANDLE h = INVALID_HANDLE_VALUE;
  CmdContext ctx = {CMD_NVME, INVALID_HANDLE_VALUE, 0};

  virtual lab::DriveSpec Spec() { return lab::DriveSpec(); }
  virtual lab::NativeDiskSpec Where() { return {0, 1, 0}; }

  void SetUp() override {
    LabTest::SetUp();
    drive = &machine.AddNativeDrive(Where(), Spec());
    h = Open(L"\\\\.\\PhysicalDrive0");
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
  }

  void TearDown() override {
    if (h != INVALID_HANDLE_VALUE) plat::CloseHandle(h);
    LabTest::TearDown();
  }
};
