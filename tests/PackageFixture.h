// Shared by the package tests: a fresh folder under the temporary folder per
// test, removed afterwards, and helpers for archives, packages and files.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "LabFixture.h"
#include "TestData.h"
#include "package/Package.h"
#include "package/PackageBuilder.h"

inline std::wstring TempRoot() {
  WCHAR temp[MAX_PATH] = L"";
  DWORD n = GetTempPathW(MAX_PATH, temp);
  if (n > 0 && temp[n - 1] == L'\\') temp[n - 1] = L'\0';
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
  lab::Bytes data;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return data;
  data.resize(GetFileSize(file, nullptr));
  DWORD read = 0;
  if (!data.empty() && !ReadFile(file, data.data(), DWORD(data.size()), &read, nullptr)) read = 0;
  data.resize(read);
  CloseHandle(file);
  return data;
}

inline bool WriteAll(const std::wstring& path, const lab::Bytes& data) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, data.data(), DWORD(data.size()), &written, nullptr) && written == data.size();
  CloseHandle(file);
  return ok;
}

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The bytes of an item the package holds now; empty when it holds none.
inline lab::Bytes ItemBytes(const wchar_t* name) {
  const PackageItem* item = FindPackageItem(name);
  return item != nullptr ? lab::Bytes(item->pData, item->pData + item->dwSize) : lab::Bytes();
}

// Whether the package holds exactly the items of these names.
inline ::testing::AssertionResult HoldsExactly(const std::vector<std::wstring>& names) {
  for (const auto& name : names)
    if (FindPackageItem(name.c_str()) == nullptr)
      return ::testing::AssertionFailure() << "no item " << std::string(name.begin(), name.end());
  if (PackageItemCount() != int(names.size()))
    return ::testing::AssertionFailure() << PackageItemCount() << " items, not " << names.size();
  return ::testing::AssertionSuccess();
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

// Makes the package the program holds a package of these images (names
// without ".fw"), as if it had carried them.
inline void HoldPackage(const std::vector<pkgbuild::PackageImage>& images) {
  pkgbuild::PackageDescription d;
  d.settings = {{"SOCID", "*"}};
  d.images = images;
  std::wstring zip = TempRoot() + L"\\kestrel-held-" + std::to_wstring(GetCurrentProcessId()) + L".zip";
  std::string error;
  ASSERT_TRUE(pkgbuild::WritePackage(std::string(zip.begin(), zip.end()), d, &error)) << error;
  lab::Bytes bytes = ReadAll(zip);
  DeleteFileW(zip.c_str());
  ASSERT_EQ(int(images.size()) + 1, UnzipPackage(bytes.data(), DWORD(bytes.size()), L"a test"));
}

class PackageTest : public LabTest {
 protected:
  std::wstring root;  // removed after the test
  std::wstring outerTmp, outerTemp;

  void SetUp() override {
    LabTest::SetUp();
    ForgetPackageItems();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
      if (c == '/') c = '_';  // parameterised tests: one folder, not a path
    root = TempRoot() + L"\\kestrel-test-" + std::wstring(name.begin(), name.end());
    RemoveTree(root);
    CreateDirectoryW(root.c_str(), nullptr);
    // The temporary folder of this test alone: what one test plants there
    // must not reach another running side by side.
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
    ForgetPackageItems();
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
};
