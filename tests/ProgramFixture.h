// Shared by the tests that start a real updater under Wine: finding the
// programs, starting one with its own environment, and its windows.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

inline std::wstring ProgramPath(const wchar_t* name = L"Kestrel.exe") {
  WCHAR self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

// The process's first top-level dialog window: its main dialog or a message
// box; with besides, another than that one, and with visible, one on screen.
inline HWND DialogOf(DWORD pid, HWND besides = nullptr, bool visible = false) {
  struct Search {
    DWORD pid;
    HWND besides;
    bool visible;
    HWND found;
  } search{pid, besides, visible, nullptr};
  EnumWindows(
      [](HWND hwnd, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        DWORD owner = 0;
        GetWindowThreadProcessId(hwnd, &owner);
        WCHAR cls[32] = L"";
        GetClassNameW(hwnd, cls, 32);
        if (owner != s->pid || hwnd == s->besides || wcscmp(cls, L"#32770") != 0 ||
            (s->visible && !IsWindowVisible(hwnd)))
          return TRUE;
        s->found = hwnd;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Starts a program and waits up to 30 s for a dialog window of it.
inline void StartUpdater(const std::wstring& program, PROCESS_INFORMATION* process, HWND* dlg,
                         const std::wstring& args = L"") {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  std::wstring command = L"\"" + program + L"\"" + (args.empty() ? L"" : L" " + args);
  ASSERT_TRUE(CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             process));
  *dlg = nullptr;
  for (int i = 0; i < 300 && *dlg == nullptr; ++i) {
    Sleep(100);
    *dlg = DialogOf(process->dwProcessId);
  }
  ASSERT_NE(nullptr, *dlg) << "no dialog within 30 seconds";
}

// Waits for a started program's end; its exit code. One left waiting (behind
// a box, say) is ended, or CTest would wait on its output.
inline DWORD WaitForEnd(PROCESS_INFORMATION* process, DWORD ms) {
  if (WaitForSingleObject(process->hProcess, ms) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the program did not end within " << ms << " ms";
    TerminateProcess(process->hProcess, 259);
    WaitForSingleObject(process->hProcess, 5000);
  }
  DWORD code = 259;
  GetExitCodeProcess(process->hProcess, &code);
  CloseHandle(process->hThread);
  CloseHandle(process->hProcess);
  return code;
}

// Closes the updater as the user would and waits for its end; its exit code.
inline DWORD CloseUpdater(PROCESS_INFORMATION* process, HWND dlg) {
  PostMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
  return WaitForEnd(process, 30000);
}

// Only one updater runs at a time on a machine: tests that start a real one
// take turns, across the test processes CTest runs side by side.
class OneUpdaterAtATime {
 public:
  OneUpdaterAtATime() : mutex_(CreateMutexW(nullptr, FALSE, L"Local\\KestrelTests-RealUpdater")) {
    if (mutex_ != nullptr) WaitForSingleObject(mutex_, 120000);
  }
  ~OneUpdaterAtATime() {
    if (mutex_ != nullptr) {
      ReleaseMutex(mutex_);
      CloseHandle(mutex_);
    }
  }

 private:
  HANDLE mutex_;
};
