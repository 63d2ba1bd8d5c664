#include "NothrowFaults.h"

#include <cstdlib>
#include <new>

namespace {

thread_local bool t_counting = false;
thread_local int t_failAt = 0;
thread_local int t_seen = 0;

// The ordinary operator new takes its memory from malloc and operator delete
// gives it back with free, so these blocks are released by the usual delete.
void* Allocate(std::size_t size) {
  if (t_counting && ++t_seen == t_failAt) return nullptr;
  return std::malloc(size != 0 ? size : 1);
}

}  // namespace

namespace nothrow_faults {

void Start(int failAt) {
  t_failAt = failAt;
  t_seen = 0;
  t_counting = true;
}

int Stop() {
  t_counting = false;
  t_failAt = 0;
  return t_seen;
}

}  // namespace nothrow_faults

void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
