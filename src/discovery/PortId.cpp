#include "discovery/PortId.h"

#include <cstdint>
#include <cwchar>

INT64 AppendPortDigit(INT64 number, INT64 digit) {
  if (number < 0 || digit < 0 || number > (INT64_MAX - digit) / 100) return -1;
  return number * 100 + digit;
}

INT64 PortNumberOfLocation(const WCHAR* location) {
  INT64 port = 0, hub = 0;
  if (swscanf(location, L"Port_#%lld.Hub_#%lld", &port, &hub) < 1) return 0;
  return port >= 0 && port < 100 ? port : PORT_UNREADABLE;
}

bool IsRootHubId(const WCHAR* hubId) {
  // "USB\ROOT_HUB30\..." splits into "USB\" and "ROOT_HUB".
  WCHAR head[5] = L"", kind[9] = L"";
  swscanf(hubId, L"%4ls%8ls", head, kind);
  return wcscmp(kind, L"ROOT_HUB") == 0;
}

INT64 PortIdOfChain(INT64 chain) {
  if (chain < 0) return PORT_ID_UNKNOWN;
  INT64 reversed = 0;
  for (UINT64 rest = static_cast<UINT64>(chain);; rest /= 100) {
    reversed = AppendPortDigit(reversed, static_cast<INT64>(rest % 100));
    if (reversed < 0) return PORT_ID_UNKNOWN;
    if (rest < 100) return reversed;
  }
}

INT64 PciePortIdOf(INT64 bridgeBus, INT64 controllerBus) { return 99 * bridgeBus + controllerBus; }
