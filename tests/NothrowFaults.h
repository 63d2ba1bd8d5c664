// Makes the program's nothrow allocations fail on demand, as on a machine
// short of memory. Only new (std::nothrow) is affected, and only on the
// calling thread: the lab's and GoogleTest's own allocations never fail.
#pragma once

namespace nothrow_faults {

// Counts this thread's nothrow allocations from now on; the failAt-th one
// (from 1) answers null. 0 only counts.
void Start(int failAt);
// Stops, and tells how many were made since Start.
int Stop();

}  // namespace nothrow_faults
