// What the setup-program tests share: running Tonvale-setup.exe and its
// uninstaller, the places they write to, the service's entry in the SCM,
// and removing every trace of an installation between tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

// Where the setup program puts things in this prefix. The tests are built
// with the setup's word size, so their own Program Files folder and registry
// view are the setup's: "Program Files (x86)" and the 32-bit view for the
// 32-bit setup, the native ones for the 64-bit setup of the 64-bit build.
std::wstring ProgramFiles();
std::wstring ServiceFolder();     // ProgramFiles()\Tonvale
std::wstring DefaultPluginFolder();  // ProgramFiles()\Winamp\Plugins
std::wstring BuiltSetup();
std::string BuiltServiceBytes();
std::string BuiltPluginBytes();

bool FileExists(const std::wstring &path);
bool FolderExists(const std::wstring &path);
void RemoveTree(const std::wstring &folder);

// Runs the setup program with `arguments` and waits for it.
ProcessResult RunSetup(const std::wstring &arguments);
// Runs the installed uninstaller the way a script must to wait for it and
// see its exit code: from a copy, with _?= naming the installation folder.
ProcessResult RunUninstaller(const std::wstring &arguments);

// The service's stored configuration, as "sc qc" prints it on Windows.
inline StoredServiceConfig QueryServiceConfig() { return QueryStoredServiceConfig(); }
// 0 when the service is not installed, else its current state.
DWORD ServiceState();
// Stops and deletes the service, whoever installed it.
void RemoveService();

// The Add/Remove Programs entry: a value of it, "" when the entry or the
// value is missing.
bool UninstallEntryExists();
std::wstring UninstallEntryValue(const wchar_t *name);
// A REG_DWORD value of the entry; MAXDWORD when it or the entry is missing.
DWORD UninstallEntryNumber(const wchar_t *name);
// The files' sizes together, in KB rounded up, as EstimatedSize counts.
DWORD SizeInKilobytes(const std::vector<std::wstring> &files);
// In the setup's registry view.
void SetRegistryText(HKEY root, const wchar_t *key, const wchar_t *name, const wchar_t *text);
void DeleteRegistryKey(HKEY root, const wchar_t *key);

// True when a service on 127.0.0.1:port answers CMD_CLOSE with {8, 0}.
bool AnswersClose(uint16_t port);

// Every test starts and ends with no installation, no service, no player
// registry entries of the test's own and none of the folders they name.
class SetupTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    static void RemoveEverything();
};
