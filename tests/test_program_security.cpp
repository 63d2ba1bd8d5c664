// What another, unelevated process of the user can do to the real programs
// under Wine: plant DLLs beside them, and read what they import.
#include <windows.h>
#include <aclapi.h>
#include <psapi.h>
#include <sddl.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "PackageFixture.h"
#include "ProgramFixture.h"
#include "app/Dialog.h"

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) { return char(tolower(c)); });
  return text;
}

// The DLL names of a PE file's import table, read from the file as the
// loader reads it; "delay-load" when it has delay-loaded imports too.
std::vector<std::string> ImportedDlls(const lab::Bytes& pe) {
  auto u16 = [&](size_t at) { return at + 2 <= pe.size() ? uint32_t(pe[at] | pe[at + 1] << 8) : 0u; };
  auto u32 = [&](size_t at) { return at + 4 <= pe.size() ? uint32_t(u16(at) | u16(at + 2) << 16) : 0u; };
  std::vector<std::string> names;
  size_t header = u32(0x3C);
  if (u32(header) != 0x00004550 || u16(header + 24) != 0x20B) return {"no PE32+ file"};
  size_t sections = header + 24 + u16(header + 20), count = u16(header + 6);
  auto offset = [&](uint32_t rva) -> size_t {
    for (size_t i = 0; i < count; ++i) {
      size_t s = sections + 40 * i;
      uint32_t va = u32(s + 12), size = std::max(u32(s + 8), u32(s + 16));
      if (rva >= va && rva < va + size) return rva - va + u32(s + 20);
    }
    return pe.size();
  };
  size_t directories = header + 24 + 112;  // the data directories of a PE32+ optional header
  if (u32(directories + 13 * 8) != 0) names.push_back("delay-load");
  for (size_t at = offset(u32(directories + 8)); at + 20 <= pe.size() && u32(at + 12) != 0; at += 20) {
    std::string name;
    for (size_t c = offset(u32(at + 12)); c < pe.size() && pe[c] != 0; ++c) name += char(pe[c]);
    names.push_back(Lower(name));
  }
  return names;
}

// The modules loaded in another process, with their paths, lower case.
std::vector<std::wstring> ModulesOf(HANDLE process) {
  HMODULE modules[512];
  DWORD needed = 0;
  std::vector<std::wstring> paths;
  if (!EnumProcessModulesEx(process, modules, sizeof modules, &needed, LIST_MODULES_ALL)) return paths;
  for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < 512; ++i) {
    WCHAR path[MAX_PATH] = L"";
    GetModuleFileNameExW(process, modules[i], path, MAX_PATH);
    std::wstring p = path;
    std::transform(p.begin(), p.end(), p.begin(), towlower);
    paths.push_back(p);
  }
  return paths;
}

// Wine prefers its own DLLs to files beside a program; for the time it
// lives, this tells it to prefer the one of that name beside Kestrel.exe, as
// a DLL of Windows' would be taken from the program's folder. (Wine reads
// this from its registry: a variable in the child's environment block does
// not reach its loader.)
class PreferDllBesideKestrel {
 public:
  explicit PreferDllBesideKestrel(const wchar_t* name) : name_(name) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kKey, name, REG_SZ, L"native,builtin", sizeof(L"native,builtin"));
  }
  ~PreferDllBesideKestrel() { RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, name_); }

 private:
  static constexpr const wchar_t* kKey = L"Software\\Wine\\AppDefaults\\Kestrel.exe\\DllOverrides";
  const wchar_t* name_;
};

}  // namespace

// Only DLLs that Windows takes from the system folder whatever the search
// order says (KnownDLLs, see platform/SystemDlls.h): nothing the program
// imports can come from its own folder.
TEST(ProgramImports, OnlyKnownSystemDlls) {
  const std::set<std::string> allowed = {"kernel32.dll", "user32.dll", "gdi32.dll",
                                         "advapi32.dll", "msvcrt.dll", "setupapi.dll"};
  for (const wchar_t* program : {L"Kestrel.exe", L"KestrelLab.exe"}) {
    std::vector<std::string> imports = ImportedDlls(ReadAll(ProgramPath(program)));
    EXPECT_FALSE(imports.empty()) << program;
    for (const std::string& dll : imports)
      EXPECT_TRUE(allowed.count(dll)) << std::string(program, program + wcslen(program)) << " imports " << dll;
  }
}

// A copy of Kestrel.exe in a folder another process controls, with a DLL of
// a system name beside it and Wine told to prefer such a DLL to its own:
// the copy loads none of them, its common controls are version 6, and every
// module in it comes from the Windows folder.
class PlantedDlls : public PackageTest {};

TEST_F(PlantedDlls, NoneLoadsBesideTheProgram) {
  OneUpdaterAtATime turn;
  WCHAR windows[MAX_PATH];
  GetWindowsDirectoryW(windows, MAX_PATH);
  std::wstring system = windows;
  std::transform(system.begin(), system.end(), system.begin(), towlower);
  for (const wchar_t* name : {L"bcrypt", L"cfgmgr32", L"gdiplus", L"uxtheme", L"dwmapi", L"cryptbase"}) {
    SCOPED_TRACE(std::string(name, name + wcslen(name)));
    std::wstring folder = root + L"\\" + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(ProgramPath().c_str(), (folder + L"\\Kestrel.exe").c_str(), FALSE));
    std::wstring planted = folder + L"\\" + name + L".dll";
    ASSERT_TRUE(CopyFileW(ProgramPath(L"KestrelPlantedDll.dll").c_str(), planted.c_str(), FALSE));
    PreferDllBesideKestrel prefer(name);
    PROCESS_INFORMATION process = {};
    HWND dlg = nullptr;
    ASSERT_NO_FATAL_FAILURE(StartUpdater(folder + L"\\Kestrel.exe", &process, &dlg));
    Sleep(300);
    std::vector<std::wstring> modules = ModulesOf(process.hProcess);
    CloseUpdater(&process, dlg);
    EXPECT_FALSE(Exists(planted + L".loaded")) << "the planted DLL ran";
    EXPECT_GT(modules.size(), 5u);
    std::wstring copy = folder + L"\\kestrel.exe";
    std::transform(copy.begin(), copy.end(), copy.begin(), towlower);
    for (const std::wstring& module : modules)
      EXPECT_TRUE(module.compare(0, system.size(), system) == 0 || module == copy)
          << std::string(module.begin(), module.end());
    bool controls6 = std::any_of(modules.begin(), modules.end(), [](const std::wstring& m) {
      return m.find(L"\\winsxs\\") != std::wstring::npos && m.find(L"common-controls") != std::wstring::npos &&
             m.find(L"_6.") != std::wstring::npos && m.size() > 13 && m.compare(m.size() - 13, 13, L"\\comctl32.dll") == 0;
    });
    EXPECT_TRUE(controls6) << "the manifest's common controls, version 6";
  }
}

// The one-copy guard made first by a process without administrator rights,
// which cannot give it the Administrators group as owner: the updater says
// it cannot check for another copy and ends, in the test's own process and
// as the real program, instead of leaving in silence.
class OneCopyGuard : public PackageTest {};

// Closed whatever the test finds: a guard, squat or link left open would
// steer every later start in this process.
struct Handle {
  HANDLE h;
  ~Handle() {
    if (h != nullptr) CloseHandle(h);
  }
};

TEST_F(OneCopyGuard, ASquatterIsSaidAndARealCopyIsBroughtForward) {
  OneUpdaterAtATime turn;
  {
    Handle squat{CreateMutexW(nullptr, FALSE, L"Global\\Kestrel.FirmwareUpdater.OneCopy")};
    ASSERT_NE(nullptr, squat.h);
    ASSERT_NE(DWORD(ERROR_ALREADY_EXISTS), GetLastError()) << "no updater may run now";
    EXPECT_EQ(1, RunKestrel(GetModuleHandleW(nullptr)));
    ASSERT_EQ(1u, machine.MessageBoxes().size());
    EXPECT_EQ(GUARD_UNAVAILABLE_MESSAGE, machine.MessageBoxes()[0].text);
    EXPECT_EQ(UINT(MB_OK | MB_ICONERROR), machine.MessageBoxes()[0].type);

    PROCESS_INFORMATION process = {};
    HWND box = nullptr;
    ASSERT_NO_FATAL_FAILURE(StartUpdater(ProgramPath(), &process, &box));
    WCHAR text[512] = L"";
    for (int i = 0; i < 100 && text[0] == L'\0'; ++i, Sleep(50))
      GetDlgItemTextW(box, 0xFFFF, text, 512);  // a message box's text, once it is filled in
    EXPECT_STREQ(GUARD_UNAVAILABLE_MESSAGE, text);
    EXPECT_EQ(1u, CloseUpdater(&process, box));
  }
  // The squatter gone, the guard is the updater's; while one copy holds it,
  // another start ends without a word.
  Handle guard{nullptr};
  HANDLE second = nullptr;
  ASSERT_EQ(GUARD_TAKEN, TakeOneCopyGuard(&guard.h));
  EXPECT_EQ(GUARD_OTHER_COPY, TakeOneCopyGuard(&second));
  EXPECT_EQ(nullptr, second);
  machine.ClearRecords();
  EXPECT_EQ(0, RunKestrel(GetModuleHandleW(nullptr)));
  EXPECT_TRUE(machine.MessageBoxes().empty());
}

// The guard's own security: owned by the Administrators group and open to it
// and the system alone, so no process without those rights can hold it open
// after a copy ends. And a symbolic link of its name that leads to another
// administrator's mutex is no copy either.
TEST_F(OneCopyGuard, OnlyAdministratorsOpenItAndALinkOfItsNameIsNoCopy) {
  OneUpdaterAtATime turn;
  Handle guard{nullptr};
  ASSERT_EQ(GUARD_TAKEN, TakeOneCopyGuard(&guard.h));
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(DWORD(ERROR_SUCCESS), GetSecurityInfo(guard.h, SE_KERNEL_OBJECT,
                                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                                  nullptr, &dacl, nullptr, &descriptor));
  EXPECT_TRUE(IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
  ASSERT_NE(nullptr, dacl);
  ASSERT_EQ(2u, dacl->AceCount);
  std::set<std::string> trustees;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
    PSID sid = &ace->SidStart;
    trustees.insert(IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ? "administrators"
                    : IsWellKnownSid(sid, WinLocalSystemSid)        ? "system"
                                                                    : "someone else");
  }
  EXPECT_EQ((std::set<std::string>{"administrators", "system"}), trustees);
  LocalFree(descriptor);
  CloseHandle(guard.h);
  guard.h = nullptr;

  // Another elevated program's mutex, and a link of the guard's name to it.
  PSECURITY_DESCRIPTOR adminOnly = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:(A;;GA;;;BA)", SDDL_REVISION_1, &adminOnly,
                                                                   nullptr));
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, adminOnly, FALSE};
  Handle other{CreateMutexW(&attributes, FALSE, L"Global\\KestrelTests.AnotherProgramsMutex")};
  LocalFree(adminOnly);
  ASSERT_NE(nullptr, other.h);
  using CreateLink = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, UNICODE_STRING*);
  auto createLink = reinterpret_cast<CreateLink>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateSymbolicLinkObject")));
  ASSERT_NE(nullptr, createLink);
  auto text = [](const wchar_t* s) {
    return UNICODE_STRING{USHORT(wcslen(s) * 2), USHORT(wcslen(s) * 2 + 2), const_cast<PWSTR>(s)};
  };
  UNICODE_STRING name = text(L"\\BaseNamedObjects\\Kestrel.FirmwareUpdater.OneCopy");
  UNICODE_STRING target = text(L"\\BaseNamedObjects\\KestrelTests.AnotherProgramsMutex");
  OBJECT_ATTRIBUTES where;
  InitializeObjectAttributes(&where, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  Handle link{nullptr};
  ASSERT_EQ(0, createLink(&link.h, 0xF0001 /* SYMBOLIC_LINK_ALL_ACCESS */, &where, &target));
  EXPECT_EQ(GUARD_UNAVAILABLE, TakeOneCopyGuard(&guard.h));
  EXPECT_EQ(1u, LinesContaining(L"leads to another object; it is no copy's").size());
  EXPECT_EQ(1, RunKestrel(GetModuleHandleW(nullptr)));
  ASSERT_EQ(1u, machine.MessageBoxes().size());
  EXPECT_EQ(GUARD_UNAVAILABLE_MESSAGE, machine.MessageBoxes()[0].text);
}
