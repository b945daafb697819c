// kestrum-scan, the real program, on the planted machine: what it lists
// under the run's headers, its status, that it changes nothing, and that
// it lists exactly what the run of the same kind then reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "plant.h"
#include "version.h"

namespace {

// Every registry key below HKEY_LOCAL_MACHINE and HKEY_USERS with its
// last-write time and its values, and every file and folder on C: with its
// attributes, size and last-write time (reading a folder may set its
// last-access time, on Windows too), but the harness's own output files:
// all that a scan could change.
std::vector<std::string> MachineSnapshot() {
  std::vector<std::string> lines;
  std::vector<wchar_t> name(16384);
  std::vector<BYTE> data(65536);
  for (const auto& [root, rootName] : {std::pair{HKEY_LOCAL_MACHINE, L"HKLM"}, std::pair{HKEY_USERS, L"HKU"}}) {
    std::vector<std::wstring> pending{L""};
    while (!pending.empty()) {
      const std::wstring path = pending.back();
      pending.pop_back();
      HKEY key = nullptr;
      if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        lines.push_back(Utf8(rootName + (L"\\" + path)) + " (closed)");
        continue;
      }
      FILETIME written{};
      RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       &written);
      // Loading a copy of a user's hive below HKEY_USERS and unloading it
      // changes that key's time, and nothing else.
      if (root == HKEY_USERS && path.empty()) written = FILETIME{};
      lines.push_back(Utf8(rootName + (L"\\" + path)) + " " + std::to_string(written.dwHighDateTime) + ":" +
                      std::to_string(written.dwLowDateTime));
      for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size()), type = 0, size = static_cast<DWORD>(data.size());
        if (RegEnumValueW(key, index, name.data(), &length, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
        lines.push_back("  " + Utf8(std::wstring(name.data(), length)) + " " + std::to_string(type) + " " +
                        std::string(reinterpret_cast<const char*>(data.data()), size));
      }
      for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        pending.push_back((path.empty() ? L"" : path + L"\\") + std::wstring(name.data(), length));
      }
      RegCloseKey(key);
    }
  }
  // The harness makes and deletes its output files in the temporary folder.
  wchar_t temp[MAX_PATH];
  std::wstring harnessFolder(temp, GetTempPathW(MAX_PATH, temp));
  if (!harnessFolder.empty()) harnessFolder.pop_back();
  const std::wstring copies = WindowsFolder() + L"\\Temp";
  std::vector<std::wstring> folders{L"C:"};
  while (!folders.empty()) {
    const std::wstring folder = folders.back();
    folders.pop_back();
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      const std::wstring entry = found.cFileName;
      if (entry == L"." || entry == L".." || entry.rfind(L"kestrum-stdout-", 0) == 0) continue;
      const std::wstring path = folder + L"\\" + entry;
      // The scan makes its copies of users' hives in the Windows folder's
      // Temp, and deletes them: the folder's time changes.
      if (lstrcmpiW(path.c_str(), harnessFolder.c_str()) == 0 || lstrcmpiW(path.c_str(), copies.c_str()) == 0)
        found.ftLastWriteTime = FILETIME{};
      lines.push_back(Utf8(path) + " " + std::to_string(found.dwFileAttributes) + " " +
                      std::to_string(found.nFileSizeLow) + " " + std::to_string(found.ftLastWriteTime.dwLowDateTime));
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        folders.push_back(path);
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  return lines;
}

std::string FirstChange(const std::vector<std::string>& before, const std::vector<std::string>& after) {
  for (size_t at = 0; at < before.size() || at < after.size(); ++at)
    if (at >= before.size() || at >= after.size() || before[at] != after[at])
      return "before: " + (at < before.size() ? before[at] : "(nothing)") +
             "\nafter: " + (at < after.size() ? after[at] : "(nothing)");
  return "";
}

// The scan's first line.
std::string Title() {
  return std::string("kestrum-scan " KESTRUM_VERSION_TEXT " (") + (sizeof(void*) == 8 ? "64-bit" : "32-bit") + ")\n";
}

size_t CountOf(const std::set<std::string>& things, const std::string& kind) {
  return std::count_if(things.begin(), things.end(), [&](const std::string& thing) { return thing.rfind(kind, 0) == 0; });
}

TEST(ScanProgram, ListsThePlantedMachineUnderTheRunsHeadersAndChangesNothing) {
  const RunResult plant = RunProgram(ProgramFolder() + L"\\kestrum-plant.exe", L"kestrum-plant all");
  ASSERT_EQ(plant.exitCode, 0u);
  // A user who is not logged on: his hive is read from a copy, which goes.
  ASSERT_TRUE(PlantProfile(L"S-1-5-21-0-0-0-1002", ProfileHive::Records));
  const std::vector<std::string> before = MachineSnapshot();
  std::string processes;
  for (const wchar_t* image : {L"Java.exe", L"OrvClient.exe", L"OrvClient32.exe", L"OrvKey.exe", L"OrvUpdater.exe"})
    for (const DWORD id : FindProcesses(image))
      processes += "Found process " + Utf8(image) + ", process ID " + std::to_string(id) + "\n";

  const RunResult scan = RunScan(L"");
  ASSERT_TRUE(scan.finished);
  EXPECT_EQ(scan.exitCode, 1u);
  // The planting tool's folders hold 9, 1, 5 and 1 entries at all depths.
  const std::string head = Title() +
      "\nStopping Service\n----------------\nFound service StartupService: running\n"
      "\nDeleting Service\n----------------\n\nKilling Processes\n-----------------\n" + processes +
      "\nDeleting Files\n--------------\n"
      "Found folder C:\\ProgramData\\Velmoran with 9 entries\nFound folder C:\\ProgramData\\Quillfen with 1 entries\n"
      "Found folder C:\\Program Files\\ZOLVA with 5 entries\nFound folder C:\\Program Files\\Quillfen with 1 entries\n"
      "\nDeleting Registry Entries\n-------------------------\nDeleting 'Velmoran' Registry Entries\n"
      "Found key SOFTWARE\\Velmoran\nDeleting 'Quillfen' Registry Entries\nFound key SOFTWARE\\Quillfen\n";
  EXPECT_EQ(scan.output.substr(0, head.size()), head);
  const std::set<std::string> found = RegistryThings(scan.output);
  const std::string summary = "\nFound 1 services, 5 processes, 4 folders, " +
                              std::to_string(CountOf(found, "key ")) + " keys, " +
                              std::to_string(CountOf(found, "value ")) + " values; " +
                              std::to_string(CountOf(found, "shared ")) + " shared keys a run leaves; 0 places not "
                              "looked at.\n";
  ASSERT_GE(scan.output.size(), summary.size());
  EXPECT_EQ(scan.output.substr(scan.output.size() - summary.size()), summary);
  EXPECT_EQ(FirstChange(before, MachineSnapshot()), "");

  const RunResult bootstrapper = RunScan(L"-bo");
  EXPECT_EQ(bootstrapper.exitCode, 1u);
  EXPECT_EQ(bootstrapper.output.rfind(Title() + "\nDeleting Bootstrapper Registry Entries\n", 0), 0u)
      << bootstrapper.output;
  EXPECT_EQ(FirstChange(before, MachineSnapshot()), "");
  EXPECT_EQ(ServiceState(L"StartupService"), static_cast<DWORD>(SERVICE_RUNNING));
}

// The scan before each run lists what that run reports deleted or left as
// shared; the scan after it finds nothing that a run would remove.
TEST(ScanProgram, ListsWhatTheRunOfTheSameKindThenReportsAndNothingAfterIt) {
  const RunResult plant = RunProgram(ProgramFolder() + L"\\kestrum-plant.exe", L"kestrum-plant registry");
  ASSERT_EQ(plant.exitCode, 0u);
  for (const wchar_t* options : {L"", L"-bo"}) {
    SCOPED_TRACE(Utf8(options));
    const RunResult scan = RunScan(options);
    EXPECT_EQ(scan.exitCode, 1u);
    const RunResult run = RunKestrum(options);
    EXPECT_EQ(RegistryThings(scan.output), RegistryThings(run.output)) << scan.output << run.output;
    EXPECT_NE(RegistryThings(run.output).size(), 0u);
    const RunResult after = RunScan(options);
    EXPECT_EQ(after.exitCode, 0u) << after.output;
  }
  // The shared keys stay, and so they do not count; the -bo run's
  // passes do not read data, so they find none.
  const std::string clean = RunScan(L"-bo").output;
  EXPECT_EQ(clean.substr(clean.size() - std::min<size_t>(clean.size(), 31)), "\nNothing of the product found.\n");

  // A place it cannot look at is named, and makes the status 1.
  ASSERT_TRUE(PlantProfile(L"S-1-5-21-0-0-0-1002", ProfileHive::NotAHive));
  const RunResult blind = RunScan(L"-bo");
  EXPECT_EQ(blind.exitCode, 1u);
  EXPECT_NE(blind.output.find("FAILED to open the registry of user S-1-5-21-0-0-0-1002: "), std::string::npos);
  EXPECT_NE(blind.output.find("; 1 places not looked at.\n"), std::string::npos) << blind.output;
}

// The usage switches, and what it does not know (or -s with --json): 87,
// the usage text or one line, and nothing scanned where a scan finds some.
TEST(ScanProgram, ShowsItsUsageOrRefusesWithoutScanning) {
  const RunResult plant = RunProgram(ProgramFolder() + L"\\kestrum-plant.exe", L"kestrum-plant registry");
  ASSERT_EQ(plant.exitCode, 0u);
  const std::string usage = Title().substr(0, Title().size() - 1) +
      ": what of the Orvane client is on this machine, and what a\nkestrum.exe run with the same options would "
      "remove. It changes nothing.\n\n"
      "Usage: kestrum-scan.exe [-bo] [-s | --json]\n"
      "  -bo      what a kestrum.exe -bo run would remove (the bootstrapper's records)\n"
      "  -s       write nothing: the status only\n"
      "  --json   write one JSON document (kestrum-scan.schema.json) instead of the text\n"
      "  /?, -?, -h, --help   this text; nothing is scanned\n\n"
      "Status: 0 nothing of the product found, looked everywhere; 1 something found,\n"
      "or some place not looked at; 3010 only the service marked for deletion is left,\n"
      "which goes at the next restart; 87 this text, or a command line not understood:\nnothing was scanned.\n";
  const std::string unknown = "; nothing was scanned. Usage: kestrum-scan.exe [-bo] [-s | --json]\n";
  const std::pair<const wchar_t*, std::string> rows[] = {
      {L"/?", usage}, {L"-?", usage}, {L"-h", usage}, {L"-bo --help -x", usage},
      {L"-S", "kestrum-scan: unknown switch '-S'" + unknown},
      {L"-bo /s", "kestrum-scan: unknown switch '/s'" + unknown},
      {L"--JSON", "kestrum-scan: unknown switch '--JSON'" + unknown},
      {L"\"\"", "kestrum-scan: unknown switch ''" + unknown},
      {L"--json -s", "kestrum-scan: -s writes nothing and --json a document: not both; nothing was scanned.\n"},
  };
  for (const auto& [arguments, expected] : rows) {
    SCOPED_TRACE(Utf8(arguments));
    const RunResult refused = RunScan(arguments);
    EXPECT_EQ(refused.exitCode, 87u);
    EXPECT_EQ(refused.output, expected);
  }
  EXPECT_EQ(RunScan(L"-bo").exitCode, 1u);
}

}  // namespace
