// Shared by the tests: a fresh machine room and application state per test,
// and the check that nothing was left open or allocated.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "Lab.h"
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
