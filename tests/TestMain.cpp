#include <gtest/gtest.h>

#include <cstdio>

#include "Lab.h"

namespace {

// Every test, with or without the lab fixture, must leave the machine room
// with nothing open and nothing allocated.
class LeakWatch : public ::testing::EmptyTestEventListener {
 public:
  bool leaked = false;
  void OnTestEnd(const ::testing::TestInfo& info) override {
    lab::Machine& m = lab::Machine::Get();
    if (m.OpenHandleCount() != 0 || m.OutstandingAllocations() != 0) {
      leaked = true;
      printf("LEAK after %s.%s: %d open device handles, %d outstanding page allocations\n", info.test_suite_name(),
             info.name(), m.OpenHandleCount(), m.OutstandingAllocations());
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  auto* watch = new LeakWatch;
  ::testing::UnitTest::GetInstance()->listeners().Append(watch);
  int result = RUN_ALL_TESTS();
  return result != 0 ? result : (watch->leaked ? 1 : 0);
}
