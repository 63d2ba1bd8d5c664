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

bool DevNode::HasInterface(const GUID& cls) const {
  for (const GUID& g : interfaces)
    if (IsEqualGUID(g, cls)) return true;
  return false;
}

namespace {
template <typename Keep>
std::vector<DEVINST> Select(const std::vector<std::unique_ptr<DevNode>>& nodes, bool presentOnly, Keep keep) {
  std::vector<DEVINST> out;
  for (const auto& node : nodes)
    if ((!presentOnly || node->present) && keep(*node)) out.push_back(node->id);
  return out;
}
}  // namespace

std::vector<DEVINST> DeviceTree::WithInterface(const GUID* interfaceClass, bool presentOnly) const {
  return Select(nodes_, presentOnly, [&](const DevNode& n) {
    return interfaceClass != nullptr ? n.HasInterface(*interfaceClass) : !n.interfaces.empty();
  });
}

std::vector<DEVINST> DeviceTree::OfSetupClass(const GUID& setupClass, bool presentOnly) const {
  return Select(nodes_, presentOnly, [&](const DevNode& n) { return IsEqualGUID(n.setupClass, setupClass) != 0; });
}

std::vector<DEVINST> DeviceTree::All(bool presentOnly) const {
  return Select(nodes_, presentOnly, [](const DevNode&) { return true; });
}

}  // namespace lab
