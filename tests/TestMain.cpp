#include <gtest/gtest.h>
#include <windows.h>

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

// A crash must end the run at once with a line CTest recognises: without
// this, Wine starts its debugger on an access violation and the test hangs
// until the time limit.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  printf("KestrelTests: unhandled exception 0x%08lX at %p in %s.%s\n", info->ExceptionRecord->ExceptionCode,
         info->ExceptionRecord->ExceptionAddress, test ? test->test_suite_name() : "(no test)",
         test ? test->name() : "");
  // The return addresses, for addr2line: a crash on another thread must
  // still say where it happened.
  CONTEXT context = *info->ContextRecord;
  for (int frame = 0; frame < 24 && context.Rip != 0; ++frame) {
    printf("  at %p\n", reinterpret_cast<void*>(context.Rip));
    DWORD64 base = 0;
    RUNTIME_FUNCTION* entry = RtlLookupFunctionEntry(context.Rip, &base, nullptr);
    if (entry == nullptr) {  // a leaf: the return address is on top of the stack
      context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
      context.Rsp += 8;
      continue;
    }
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, entry, &context, &handlerData, &establisher, nullptr);
  }
  fflush(stdout);
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
  // No error box and no debugger for a crash, here or in the programs the
  // tests start (they inherit the error mode).
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(ReportCrash);
  ::testing::InitGoogleTest(&argc, argv);
  auto* watch = new LeakWatch;
  ::testing::UnitTest::GetInstance()->listeners().Append(watch);
  int result = RUN_ALL_TESTS();
  return result != 0 ? result : (watch->leaked ? 1 : 0);
}
