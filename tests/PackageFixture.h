// Shared by the package tests: a fresh folder under the temporary folder per
// test, removed afterwards, and helpers for archives and files.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "LabFixture.h"
#include "TestData.h"
#include "package/Package.h"

inline std::wstring TempRoot() {
  WCHAR temp[MAX_PATH];
  GetTempDir(temp, MAX_PATH);
  return temp;
}

inline void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = path + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(child);
      else DeleteFileW(child.c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

// Names below a folder, relative, sorted; folders end with a backslash.
inline std::vector<std::wstring> ListTree(const std::wstring& path, const std::wstring& prefix = L"") {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      names.push_back(prefix + name + L"\\");
      for (auto& inner : ListTree(path + L"\\" + name, prefix + name + L"\\")) names.push_back(inner);
    } else {
      names.push_back(prefix + name);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

inline lab::Bytes ReadAll(const std::wstring& path) {
  DWORD size = ReadFileData(path.c_str(), 0, nullptr);
  lab::Bytes data(size);
  if (size) data.resize(ReadFileData(path.c_str(), size, data.data()));
  return data;
}

inline bool WriteAll(const std::wstring& path, const lab::Bytes& data) {
  return WriteFileData(path.c_str(), GENERIC_WRITE, data.data(), DWORD(data.size())) != 0;
}

inline lab::Bytes ResourceBytes(const wchar_t* type, int id) {
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), type);
  if (!found) return {};
  const BYTE* p = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, found)));
  return lab::Bytes(p, p + SizeofResource(nullptr, found));
}

// A configuration file in UTF-16LE with its byte-order mark, lines ended by CR LF.
inline lab::Bytes Utf16Ini(const std::wstring& text) {
  lab::Bytes out = {0xFF, 0xFE};
  for (wchar_t c : text) {
    if (c == L'\n') out.insert(out.end(), {'\r', 0});
    out.push_back(uint8_t(c));
    out.push_back(uint8_t(c >> 8));
  }
  return out;
}

class PackageTest : public LabTest {
 protected:
  std::wstring root;  // removed after the test
  std::wstring work;  // a run folder inside it
  std::wstring outerTmp, outerTemp;

  void SetUp() override {
    LabTest::SetUp();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
      if (c == '/') c = '_';  // parameterised tests: one folder, not a path
    root = TempRoot() + L"\\kestrel-test-" + std::wstring(name.begin(), name.end());
    RemoveTree(root);
    CreateDirectoryW(root.c_str(), nullptr);
    work = root + L"\\run";
    // The temporary folder of this test alone: tests running side by side
    // must not see each other's "~ReleasePackage.a" or run folders.
    outerTmp = Variable(L"TMP");
    outerTemp = Variable(L"TEMP");
    std::wstring temp = root + L"\\temp";
    CreateDirectoryW(temp.c_str(), nullptr);
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    SetEnvironmentVariableW(L"TEMP", temp.c_str());
  }

  void TearDown() override {
    SetEnvironmentVariableW(L"TMP", outerTmp.empty() ? nullptr : outerTmp.c_str());
    SetEnvironmentVariableW(L"TEMP", outerTemp.empty() ? nullptr : outerTemp.c_str());
    RemoveTree(root);
    LabTest::TearDown();
  }

  static std::wstring Variable(const wchar_t* name) {
    WCHAR value[MAX_PATH] = L"";
    GetEnvironmentVariableW(name, value, MAX_PATH);
    return value;
  }

  std::wstring Archive(int id, const wchar_t* name = L"archive.zip") {
    std::wstring path = root + L"\\" + name;
    EXPECT_TRUE(WriteAll(path, ResourceBytes(RT_RCDATA, id)));
    return path;
  }

  std::wstring Config(const std::wstring& text) {
    std::wstring path = root + L"\\KestrelInfo.ini";
    EXPECT_TRUE(WriteAll(path, Utf16Ini(text)));
    return path;
  }
};
