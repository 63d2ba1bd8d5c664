// The port id's arithmetic, apart from the device tree it is read from: a
// USB disk's id is its host controller's number followed by the hub ports
// down to it, two decimal digits each; a PCIe disk's comes from the bus
// numbers of its controller and the bridge above.
#pragma once

#include <windows.h>

// The port id of a drive that no present disk carries: neither a real port id
// (0 and up) nor the -1 that disks on another bus count as.
constexpr INT64 PORT_ID_UNKNOWN = -2;
// A port number that could not be read, or is no two-digit number.
constexpr INT64 PORT_UNREADABLE = -1;

// number * 100 + digit, or -1 when the port id could not hold it.
INT64 AppendPortDigit(INT64 number, INT64 digit);
// "Port_#0003.Hub_#0002" read into its port number: 0 when the text names
// none, PORT_UNREADABLE when the number is no two-digit one.
INT64 PortNumberOfLocation(const WCHAR* location);
// "USB\ROOT_HUB30\...": a root hub, whose parent is a host controller.
bool IsRootHubId(const WCHAR* hubId);
// The chain is read leaf first; the port id starts at the host controller.
// Reversed, a two-digit controller number comes first, so the id may need
// more room than the chain did: PORT_ID_UNKNOWN when it does not fit.
INT64 PortIdOfChain(INT64 chain);
// The controller's bus number and the bridge's above it.
INT64 PciePortIdOf(INT64 bridgeBus, INT64 controllerBus);
