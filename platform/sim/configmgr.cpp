// The configuration manager's view of the device tree: its root node, and the re-enumerations
// asked of it.
#include "sim/machine.h"
#include "sim/system.h"

namespace {

std::vector<sim::ReenumerateCall> calls;
CONFIGRET failLocate = CR_SUCCESS;

void ResetConfigManager() {
  calls.clear();
  failLocate = CR_SUCCESS;
}
sim::ResetRegistration registration(ResetConfigManager);

}  // namespace

namespace sim {
const std::vector<ReenumerateCall> &ReenumerateCalls() { return calls; }
void FailLocateRoot(CONFIGRET result) { failLocate = result; }
}  // namespace sim

extern "C" {

CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST devInst, DEVINSTID_W deviceId, ULONG flags) {
  if (!devInst) return CR_INVALID_POINTER;
  if (flags & ~static_cast<ULONG>(CM_LOCATE_DEVNODE_PHANTOM)) return CR_INVALID_FLAG;
  if (deviceId && *deviceId) sim::Unimplemented("CM_Locate_DevNodeW for a device instance ID");
  *devInst = 0;
  if (failLocate != CR_SUCCESS) return failLocate;
  *devInst = sim::kRootDevInst;
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST devInst, ULONG flags) {
  CONFIGRET result = CR_SUCCESS;
  // Only the root node is known by handle; 0 is no node at all.
  if (devInst != sim::kRootDevInst) result = CR_INVALID_DEVNODE;
  else if (flags & ~static_cast<ULONG>(CM_REENUMERATE_SYNCHRONOUS)) result = CR_INVALID_FLAG;
  calls.push_back(sim::ReenumerateCall{devInst, flags, result});
  return result;
}

}  // extern "C"
