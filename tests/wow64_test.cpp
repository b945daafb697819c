// What the 32-bit build, running on 64-bit Windows, could do differently
// from the 64-bit build: the registry view of its deletions, the Program
// Files folder it picks, the service tool it starts and the processes it
// can end. Both builds run this on one planted machine and must pass alike.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "expected_reports.h"
#include "harness.h"
#include "plant.h"
#include "registry.h"
#include "registry_sweep.h"

namespace {

const std::wstring X86ProgramFiles = L"C:\\Program Files (x86)";
const std::wstring UninstallEntry =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{A7865584-DDC0-416B-8B64-DE2BCF2ED1DF}";
// Where the 32-bit view's keys are, as a 64-bit program sees them. Both
// Wines spell the node "Wow6432Node"; Windows spells it "WOW6432Node".
const std::wstring Redirected = L"SOFTWARE\\Wow6432Node\\";

// A value as a 32-bit installer writes it: through the 32-bit view, which
// puts a key below SOFTWARE under SOFTWARE\Wow6432Node.
bool PlantString32(const std::wstring& path, const std::wstring& name, const std::wstring& text) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  const LONG result = RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

// A 64-bit dummy product program: this build's own, or for the 32-bit
// build the 64-bit build's, which the test setup names in
// KESTRUM_DUMMY_PROCESS_64. Empty when there is none.
std::wstring Dummy64Path() {
  if (sizeof(void*) == 8) return ProgramFolder() + L"\\kestrum-dummy-process.exe";
  wchar_t path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"KESTRUM_DUMMY_PROCESS_64", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || !PathExists(path)) return std::wstring();
  return path;
}

DWORD ExitCodeOnceEnded(const KernelHandle& process) {
  WaitForSingleObject(process.get(), 30000);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return code;
}

std::string Inserted(std::string report, const std::string& after, const std::string& lines) {
  const size_t at = report.find(after);
  if (at != std::string::npos) report.insert(at + after.size(), lines);
  return report;
}

TEST(BothBuilds, RemoveThe64BitProductAndLeaveThe32BitViewAndProgramFilesX86Alone) {
  // The product in the 64-bit view and its folders under ProgramW6432.
  PlantVendorKeys();
  PlantProductFolders();
  // The same vendor keys and folders as a 32-bit installation keeps them,
  // and a 32-bit installer's uninstall entry.
  ASSERT_TRUE(PlantString32(L"SOFTWARE\\Velmoran\\Orvane", L"InstallPath", X86ProgramFiles + L"\\ZOLVA"));
  ASSERT_TRUE(PlantString32(L"SOFTWARE\\Quillfen\\Licensing", L"Edition", L"Enterprise"));
  ASSERT_TRUE(PlantString32(UninstallEntry, L"DisplayName", L"Orvane Client"));
  ASSERT_TRUE(PlantFile(X86ProgramFiles + L"\\ZOLVA\\OrvClient.exe", "MZ"));
  ASSERT_TRUE(PlantFile(X86ProgramFiles + L"\\Quillfen\\OrvKey.exe", "MZ"));
  ASSERT_TRUE(InstallProductService(ServiceBehaviour::Stops, true));
  // A product process of this build's architecture and a 64-bit one.
  const KernelHandle key = StartProductProcess(L"OrvKey.exe");
  ASSERT_TRUE(key);
  const std::wstring dummy64 = Dummy64Path();
  KernelHandle client64;
  if (dummy64.empty()) {
    std::printf("note: no 64-bit dummy process (KESTRUM_DUMMY_PROCESS_64): the termination of a 64-bit "
                "process is NOT checked\n");
  } else {
    client64 = StartProductProcess(L"OrvClient.exe", dummy64);
    ASSERT_TRUE(client64);
  }

  const std::wstring start = MakeTempFolder(L"start");
  const RunResult run = RunKestrum(L"", start);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);

  // The 64-bit Program Files folder, never the shell's "Program Files
  // (x86)" that a 32-bit process is told; the 32-bit installer's entry is
  // found below Wow6432Node and reported by that path.
  const std::string installer =
      Inserted(CleanInstallerStageReport(), "\n--- Deleting HKEY_LOCAL_MACHINE 5 ---\n",
               "Deleting " + Utf8(Redirected) +
                   "Microsoft\\Windows\\CurrentVersion\\Uninstall\\{A7865584-DDC0-416B-8B64-DE2BCF2ED1DF}..SUCCESS\n");
  EXPECT_EQ(run.output, "Current Directory: " + Utf8(start) + "\n" +
                            "\nStopping Service\n----------------\n"
                            "Found service.\nStopping service.\nService stopped.\n"
                            "\nDeleting Service\n----------------\n"
                            "\nKilling Processes\n-----------------\n" +
                            (client64 ? "Terminating process: OrvClient.exe" : "") +
                            "Terminating process: OrvKey.exe"
                            "\nDeleting Files\n--------------\n" +
                            DataReport(L"Velmoran") + DataReport(L"Quillfen") +
                            ProgramsReport(L"ZOLVA", L"C:\\Program Files") +
                            ProgramsReport(L"Quillfen", L"C:\\Program Files") + PlantedVendorStageReport() +
                            installer);

  // The 64-bit product is gone: keys, folders, service (deleted by the
  // service tool, which for the 32-bit build is the 32-bit one), processes.
  EXPECT_EQ(SurveyProduct(), std::vector<std::wstring>{});
  EXPECT_FALSE(PathExists(L"C:\\Program Files\\ZOLVA"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\StartupService"));
  EXPECT_EQ(ExitCodeOnceEnded(key), 9u);
  if (client64) {
    EXPECT_EQ(ExitCodeOnceEnded(client64), 9u);
  }
  // The 32-bit view's keys of the same names stay, and so does Program
  // Files (x86); the 32-bit installer's entry went.
  EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, Redirected + L"Velmoran\\Orvane", L"InstallPath"));
  EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, Redirected + L"Quillfen\\Licensing", L"Edition"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Redirected + UninstallEntry.substr(9)));
  EXPECT_TRUE(PathExists(X86ProgramFiles + L"\\ZOLVA\\OrvClient.exe"));
  EXPECT_TRUE(PathExists(X86ProgramFiles + L"\\Quillfen\\OrvKey.exe"));
}

// The deletion names the 64-bit view itself, also where its path crosses
// from the root into SOFTWARE, the step at which the system redirects a
// 32-bit process that names no view.
TEST(BothBuilds, KeyTreeDeletionActsInThe64BitViewOnly) {
  const std::wstring test = L"SOFTWARE\\KestrumWow\\";
  for (const wchar_t* tree : {L"Both\\Sub\\Deeper", L"Only32\\Sub"})
    ASSERT_TRUE(PlantString32(test + tree, L"Planted", L"32"));
  ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, test + L"Both\\Sub\\Deeper", L"Planted", L"64"));
  ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, test + L"Only64\\Sub", L"Planted", L"64"));

  KeyTreeDeletion deletion;
  EXPECT_EQ(deletion.Delete(HKEY_LOCAL_MACHINE, (test + L"Both").c_str()), ERROR_SUCCESS);
  EXPECT_EQ(deletion.Delete(HKEY_LOCAL_MACHINE, (test + L"Only64").c_str()), ERROR_SUCCESS);
  EXPECT_EQ(deletion.Delete(HKEY_LOCAL_MACHINE, (test + L"Only32").c_str()), ERROR_FILE_NOT_FOUND);
  for (const wchar_t* gone : {L"Both", L"Only64"}) EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, test + gone));
  EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, Redirected + L"KestrumWow\\Both\\Sub\\Deeper", L"Planted"));
  EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, Redirected + L"KestrumWow\\Only32\\Sub", L"Planted"));
}

}  // namespace
