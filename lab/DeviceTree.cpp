#include "DeviceTree.h"

namespace lab {

DeviceTree::DeviceTree() { Add(L"HTREE\\ROOT\\0", 0); }

DevNode& DeviceTree::Add(const std::wstring& instanceId, DEVINST parent) {
  auto node = std::make_unique<DevNode>();
  node->id = DEVINST(nodes_.size() + 1);
  node->parent = parent;
  node->instanceId = instanceId;
  nodes_.push_back(std::move(node));
  return *nodes_.back();
}

DevNode* DeviceTree::Find(DEVINST id) {
  if (id == 0 || id > nodes_.size()) return nullptr;
  return nodes_[id - 1].get();
}

DevNode* DeviceTree::FindByInstanceId(const std::wstring& instanceId) {
  for (auto& node : nodes_)
    if (node->instanceId == instanceId) return node.get();
  return nullptr;
}

std::vector<DEVINST> DeviceTree::Present(const GUID* interfaceClass, bool presentOnly) const {
  std::vector<DEVINST> out;
  for (const auto& node : nodes_) {
    if (presentOnly && !node->present) continue;
    if (interfaceClass != nullptr) {
      bool has = false;
      for (const GUID& g : node->interfaces) has = has || IsEqualGUID(g, *interfaceClass);
      if (!has) continue;
    }
    out.push_back(node->id);
  }
  return out;
}

}  // namespace lab
