// The machine's device tree as the setup and configuration-manager calls see
// it: device nodes with instance ids and parents, registry properties, PCI
// link properties, and device interfaces with their paths.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lab {

// Interface classes, written out from the Windows documentation.
namespace iface {
constexpr GUID DISK = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr GUID USB_DEVICE = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr GUID USB_HUB = {0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
constexpr GUID USB_HOST_CONTROLLER = {0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};
}  // namespace iface

// Setup classes: what a device is, as opposed to which interfaces it offers.
namespace setupclass {
constexpr GUID DISK_DRIVE = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID SCSI_ADAPTER = {0x4D36E97B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID HDC = {0x4D36E96A, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID SYSTEM = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID USB = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
}  // namespace setupclass

// The PCI link properties' key: one GUID, ids 9 to 12.
constexpr GUID PCI_LINK_KEY = {0x3AB22E31, 0x8264, 0x4B4E, {0x9A, 0xF5, 0xA8, 0xD2, 0xD8, 0xE3, 0x3E, 0x62}};

struct DevNode {
  DEVINST id = 0;
  DEVINST parent = 0;
  std::wstring instanceId;
  GUID setupClass = {};                  // none for the tree's root
  bool present = true;
  std::optional<std::wstring> service;
  std::optional<std::wstring> location;  // "Port_#0003.Hub_#0002"
  std::optional<DWORD> busNumber;
  std::map<ULONG, DWORD> pciLink;        // property id (9-12) -> value
  std::vector<GUID> interfaces;
  std::wstring interfacePath;            // "\\?\..." for every interface of the node

  bool HasInterface(const GUID& cls) const;
};

class DeviceTree {
 public:
  DeviceTree();
  DevNode& Add(const std::wstring& instanceId, DEVINST parent);
  DevNode* Find(DEVINST id);
  DevNode* FindByInstanceId(const std::wstring& instanceId);
  DEVINST root() const { return 1; }
  // Nodes in creation order, present ones only or all: with an interface of
  // the class (any interface when null), or of the setup class.
  std::vector<DEVINST> WithInterface(const GUID* interfaceClass, bool presentOnly) const;
  std::vector<DEVINST> OfSetupClass(const GUID& setupClass, bool presentOnly) const;
  std::vector<DEVINST> All(bool presentOnly) const;
  const std::vector<std::unique_ptr<DevNode>>& nodes() const { return nodes_; }

 private:
  std::vector<std::unique_ptr<DevNode>> nodes_;  // id = position + 1
};

}  // namespace lab
