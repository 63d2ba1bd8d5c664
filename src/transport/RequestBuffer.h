// Request buffers of the transports: page allocations, zero-filled, released
// by the operation that took them.
#pragma once

#include <windows.h>

#include "platform/Platform.h"

inline BYTE* AllocRequest(DWORD size) {
  return static_cast<BYTE*>(plat::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

inline void FreeRequest(BYTE* request) {
  if (request != nullptr) plat::VirtualFree(request, 0, MEM_RELEASE);
}
