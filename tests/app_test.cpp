// End-to-end tests of the removal run: the real kestrum.exe, started as a
// child process in a throwaway Wine machine, its report checked byte for
// byte and the machine checked afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "app.h"
#include "files.h"
#include "harness.h"
#include "plant.h"
#include "expected_reports.h"
#include "report.h"
#include "version.h"
#include "wrapper.h"

namespace {

std::string CurrentDirectoryLine(const std::wstring& startDirectory) {
  return "Current Directory: " + Utf8(startDirectory) + "\n";
}

// The report of a normal run on a machine that holds nothing of the
// product, stage by stage.
std::string CleanMachineNormalReport(const std::wstring& startDirectory) {
  return CurrentDirectoryLine(startDirectory) +
         "\nStopping Service\n----------------\n"
         "Failed to find service.\n"
         "\nDeleting Service\n----------------\n"
         "\nKilling Processes\n-----------------\n"
         "\nDeleting Files\n--------------\n" +
         DataReport(L"Velmoran") + DataReport(L"Quillfen") +
         ProgramsReport(L"ZOLVA") +
         ProgramsReport(L"Quillfen") +
         CleanVendorStageReport() + CleanInstallerStageReport();
}

// The same for a bootstrapper-only run.
std::string CleanMachineBootstrapperReport(const std::wstring& startDirectory) {
  return CurrentDirectoryLine(startDirectory) + CleanBootstrapperStageReport();
}

class RemovalRun : public ::testing::Test {
 protected:
  void SetUp() override { start_ = MakeTempFolder(L"start"); }

  // Runs kestrum with the given full command line (program-name element
  // included) and checks that it ends with 0 and reports exactly expected.
  void ExpectRun(const std::wstring& commandLine, const std::string& expected) {
    SCOPED_TRACE(Utf8(commandLine.substr(0, 80)));
    const RunResult run = RunProgram(KestrumPath(), commandLine, start_);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, expected);
  }
  void ExpectRunWith(const std::wstring& arguments, const std::string& expected) {
    ExpectRun(L"\"" + KestrumPath() + L"\" " + arguments, expected);
  }

  std::wstring start_;
};

TEST_F(RemovalRun, NoArgumentsGiveTheFullReportAndExitZero) {
  const RunResult run = RunKestrum(L"", start_);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output, CleanMachineNormalReport(start_));
  // Every row of dashes is exactly as long as the title above it.
  size_t headers = 0;
  std::string previous;
  for (size_t start = 0, end; start < run.output.size(); start = end + 1) {
    end = std::min(run.output.find('\n', start), run.output.size());
    const std::string line = run.output.substr(start, end - start);
    if (!line.empty() && line.find_first_not_of('-') == std::string::npos) {
      EXPECT_EQ(line.size(), previous.size()) << "under the title \"" << previous << "\"";
      ++headers;
    }
    previous = line;
  }
  EXPECT_EQ(headers, 6u);
}

TEST_F(RemovalRun, QuietRunPrintsNothingAndRemovesAllTheSame) {
  PlantVendorKeys();
  PlantInstallerRecords();
  PlantBootstrapperRecords();
  PlantProductFolders();
  ExpectRunWith(L"-s", "");
  // Only the bootstrapper's plain-GUID key is left to a bootstrapper run.
  EXPECT_EQ(SurveyProduct(), std::vector<std::wstring>{L"registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\"
                                                       L"Windows\\CurrentVersion\\Uninstall\\"
                                                       L"{983B6369-D5BA-41D5-BE4F-456DC1F49414}"});
}

TEST_F(RemovalRun, BootstrapperOnlyRunTakesNoOtherStep) {
  ExpectRunWith(L"-bo", CleanMachineBootstrapperReport(start_));
}

TEST_F(RemovalRun, BothOptionsInAnyOrderAndRepeatedGiveAQuietBootstrapperRun) {
  for (const wchar_t* arguments : {L"-bo -s", L"-s -s -bo", L"-bo -bo -s -bo"}) {
    PlantVendorKeys();
    PlantBootstrapperRecords();
    ExpectRunWith(arguments, "");
    // The bootstrapper's records go; the vendor keys are a normal run's.
    EXPECT_EQ(SurveyProduct(),
              (std::vector<std::wstring>{L"registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmoran",
                                         L"registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillfen"}));
  }
}

TEST_F(RemovalRun, ElementsThatOnlyResembleAnOptionAreIgnored) {
  ExpectRunWith(L"-S -BO /s --s -sb -b -bo1 s bo \"- s\" -s- \"-bo \"", CleanMachineNormalReport(start_));
}

TEST_F(RemovalRun, OptionInTheProgramNamePositionCounts) {
  // The first element is whatever the starter put there; "-s" there is
  // still the quiet option.
  ExpectRun(L"-s", "");
  ExpectRun(L"-bo", CleanMachineBootstrapperReport(start_));
}

TEST_F(RemovalRun, QuotedOptionCountsAfterUnquoting) { ExpectRunWith(L"\"-s\"", ""); }

TEST_F(RemovalRun, HostileCommandLinesNeverCrashTheRun) {
  // Near the 32,767-character limit of a command line, with empty and
  // non-ASCII elements and unbalanced quotes: all of it is ignored.
  std::wstring arguments = L"\"\" \"\" \x041F\x0440\x0438\x0432\x0435\x0442 \x6D4B\x8BD5 \xD83D\xDE00 \"unbalanced";
  arguments += L" " + std::wstring(32000 - KestrumPath().size(), L'x');
  ExpectRunWith(arguments, CleanMachineNormalReport(start_));
}

TEST_F(RemovalRun, StartDirectoryOutsideAsciiArrivesIntactAsUtf8) {
  const std::wstring folder = start_ + L"\\\x041F\x0440\x043E\x0432\x0435\x0440\x043A\x0430-\x6D4B\x8BD5-\xD83D\xDE00";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const RunResult run = RunKestrum(L"", folder);
  ASSERT_TRUE(run.finished);
  const std::string expected = "Current Directory: " + Utf8(start_) +
                               "\\\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB2\xD0\xB5\xD1\x80\xD0\xBA\xD0\xB0-"
                               "\xE6\xB5\x8B\xE8\xAF\x95-\xF0\x9F\x98\x80\n";
  EXPECT_EQ(run.output.substr(0, expected.size()), expected);
  EXPECT_EQ(run.output, CleanMachineNormalReport(folder));
}

TEST_F(RemovalRun, PlantedRegistryRecordsGoInANormalRunAndTheBootstrapperKeyInABootstrapperRun) {
  const RunResult plant = RunProgram(ProgramFolder() + L"\\kestrum-plant.exe", L"kestrum-plant registry");
  ASSERT_TRUE(plant.finished);
  ASSERT_EQ(plant.exitCode, 0u);

  // The registry stages end the normal run; what comes before them is as on
  // a clean machine, since only registry records were planted.
  const RunResult normal = RunKestrum(L"", start_);
  ASSERT_TRUE(normal.finished);
  EXPECT_EQ(normal.exitCode, 0u);
  const std::string clean = CleanMachineNormalReport(start_);
  const std::string cleanRegistry = CleanVendorStageReport() + CleanInstallerStageReport();
  ASSERT_EQ(clean.substr(clean.size() - cleanRegistry.size()), cleanRegistry);
  EXPECT_EQ(normal.output, clean.substr(0, clean.size() - cleanRegistry.size()) + PlantedVendorStageReport() +
                               PlantedInstallerStageReport());
  EXPECT_EQ(SurveySharedRecords(), ExpectedSharedRecordsAfterARun());
  // A normal run leaves the key named by the plain bootstrapper GUID.
  EXPECT_EQ(SurveyProduct(), std::vector<std::wstring>{L"registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\"
                                                       L"Windows\\CurrentVersion\\Uninstall\\"
                                                       L"{983B6369-D5BA-41D5-BE4F-456DC1F49414}"});

  const RunResult bootstrapper = RunKestrum(L"-bo", start_);
  ASSERT_TRUE(bootstrapper.finished);
  EXPECT_EQ(bootstrapper.exitCode, 0u);
  std::string expected = CleanMachineBootstrapperReport(start_);
  const std::string lastPass = "\n--- Deleting HKEY_LOCAL_MACHINE 3 ---\n";
  expected.insert(expected.find(lastPass) + lastPass.size(),
                  "Deleting SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                  "{983B6369-D5BA-41D5-BE4F-456DC1F49414}..SUCCESS\n");
  EXPECT_EQ(bootstrapper.output, expected);
  EXPECT_EQ(SurveyProduct(), std::vector<std::wstring>{});
  EXPECT_EQ(SurveySharedRecords(), ExpectedSharedRecordsAfterARun());
}

struct ConcurrentRun {
  std::wstring start;
  RunResult result;
  bool wrapper = false;  // kestrum-run.exe -bo, not kestrum.exe -bo
};

DWORD WINAPI RunBootstrapperOnly(void* context) {
  auto* run = static_cast<ConcurrentRun*>(context);
  const std::wstring wrapper = ProgramFolder() + L"\\kestrum-run.exe";
  run->result =
      run->wrapper ? RunProgram(wrapper, L"\"" + wrapper + L"\" -bo", run->start) : RunKestrum(L"-bo", run->start);
  return 0;
}

// One run at a time on the machine. While the run lock is held (here by the
// test, as by a run under way), a run that waits past its bound says so and
// does nothing; two runs started together both wait, then one removes the
// planted records and the other finds none left; the lock file goes with
// the last run.
TEST_F(RemovalRun, RunsStartedTogetherTakeTurnsAndOneThatWaitsTooLongDoesNothing) {
  const RunResult plant = RunProgram(ProgramFolder() + L"\\kestrum-plant.exe", L"kestrum-plant registry");
  ASSERT_TRUE(plant.finished);
  wchar_t windows[MAX_PATH];
  ASSERT_GT(GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
  const std::wstring lockFile = std::wstring(windows) + L"\\kestrum.lock";
  HANDLE held = CreateFileW(lockFile.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                            FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  {
    wchar_t current[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, current), 0u);
    const std::vector<std::wstring> before = SurveyProduct();
    ReportCapture capture;
    RunRemoval(1);
    EXPECT_EQ(capture.Text(), CurrentDirectoryLine(current) +
                                  "FAILED: another kestrum run did not end within 1 seconds; this run did nothing.\n");
    EXPECT_EQ(SurveyProduct(), before);
  }
  ConcurrentRun runs[2] = {{start_, {}}, {start_, {}}};
  HANDLE threads[2];
  for (int at = 0; at < 2; ++at) threads[at] = CreateThread(nullptr, 0, RunBootstrapperOnly, &runs[at], 0, nullptr);
  Sleep(3000);
  CloseHandle(held);
  ASSERT_EQ(WaitForMultipleObjects(2, threads, TRUE, 600000), WAIT_OBJECT_0);
  for (HANDLE thread : threads) CloseHandle(thread);
  const std::string waited =
      CurrentDirectoryLine(start_) + "Another kestrum run was under way; this run waited for it to end.\n";
  std::vector<std::string> reports{runs[0].result.output, runs[1].result.output};
  std::sort(reports.begin(), reports.end(), [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
  EXPECT_EQ(reports[0], waited + CleanBootstrapperStageReport());
  EXPECT_EQ(reports[1], waited + PlantedBootstrapperStageReport());
  EXPECT_FALSE(PathExists(lockFile));
}

// Kept open (a file, a service) or set (an environment variable) while the
// wrapper runs, and let go after it.
using Held = std::shared_ptr<void>;

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// A wrapper's log with each entry's time, date and thread left out where
// the entry fits CMTrace's format (the time in UTC, a bias of 0).
std::string Unstamped(const std::string& log) {
  static const std::regex stamp(
      "\\]LOG\\]!><time=\"\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\+000\" date=\"\\d\\d-\\d\\d-\\d{4}\" "
      "(component=\"[a-z-]+\" context=\"\" type=\"[123]\") thread=\"\\d+\" (file=\"\">\r\n)");
  return std::regex_replace(log, stamp, "]LOG]!><$1 $2");
}

// The log of one wrapper run from folder with options, unstamped, with a
// report of nothing but information lines, ending with the summary line.
std::string RunLog(const std::wstring& folder, const std::string& options, const std::string& report,
                   const std::string& summary) {
  wchar_t machine[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  GetComputerNameW(machine, &size);
  const auto entry = [](const std::string& component, const std::string& message) {
    return "<![LOG[" + message + "]LOG]!><component=\"" + component + "\" context=\"\" type=\"1\" file=\"\">\r\n";
  };
  std::string log = entry("kestrum-run", "Started on " + Utf8(machine) + ": " + Utf8(folder) +
                                             "\\kestrum.exe " KESTRUM_VERSION_TEXT ", options: " + options);
  for (size_t start = 0, end; start < report.size(); start = end + 1) {
    end = report.find('\n', start);
    if (end > start) log += entry("kestrum", report.substr(start, end - start));
  }
  return log + entry("kestrum-run", summary.substr(0, summary.size() - 1));
}

// The deployment wrapper beside kestrum.exe, run as a deployment tool runs
// it (the program, or its .cmd shim through cmd), on planted machines: its
// status, what it said (its summary line and what went to standard error),
// the report it kept, and what of the product is left. Every machine has
// Windows' sc (a stand-in: Wine's words differ), whose words land in the
// report and must never count. The last two rows run near the log's bound.
TEST_F(RemovalRun, WrapperStatusSaysWhetherAnythingOfTheProductStayed) {
  wchar_t system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  // The 32-bit wrapper finds the report's folder there, as on Windows.
  ASSERT_TRUE(PlantProgramW6432Dir(NativeProgramFilesFolder()));
  ASSERT_TRUE(PlantWindowsServiceTool());
  // The wrapper beside a kestrum.exe that crashes, or gives up on the run
  // lock; beside one that is no program; and alone.
  const std::wstring crashing = MakeTempFolder(L"crashing"), alone = MakeTempFolder(L"alone");
  const std::wstring broken = MakeTempFolder(L"broken");
  const std::wstring cmd = L"\\kestrum-run.cmd", exe = L"\\kestrum-run.exe";
  using Copy = std::pair<std::wstring, std::wstring>;
  for (const Copy& copy : {Copy{exe, crashing + exe}, Copy{exe, alone + exe}, Copy{exe, broken + exe},
                           Copy{cmd, crashing + cmd}, Copy{L"\\kestrum-standin.exe", crashing + L"\\kestrum.exe"}})
    ASSERT_TRUE(CopyFileW((ProgramFolder() + copy.first).c_str(), copy.second.c_str(), FALSE)) << Utf8(copy.second);
  ASSERT_TRUE(PlantFile(broken + L"\\kestrum.exe", "not a program"));

  const std::string clean = CleanMachineNormalReport(start_);
  const std::string header = "\nDeleting Service\n----------------\n";
  const auto afterTool = [&](const std::string& report, const std::string& lines) {
    return Replaced(report, header, header + lines);
  };
  // The service's fate is said once the process stage has ended.
  const std::string processes = "\nKilling Processes\n-----------------\n";
  const auto afterProcesses = [&](const std::string& report, const std::string& lines) {
    return Replaced(report, processes, processes + lines);
  };
  const std::string restart =
      "RESTART: the service StartupService is marked for deletion and goes at the next restart at the latest\n";
  const auto found = [](const std::string& report) {
    return Replaced(report, "Failed to find service.\n", "Found service.\nService is not running.\n");
  };
  // The installer pass that deletes every key named StartupService finds
  // the key of a service that is only marked for deletion.
  const auto keyLeft = [](const std::string& report) {
    const std::string pass = "\n--- Deleting HKEY_LOCAL_MACHINE 8 ---\n";
    return Replaced(report, pass, pass + "Deleting " + ControlSetKey() + "\\Services\\StartupService..SUCCESS\n");
  };
  const std::string missing =
      "[SC] OpenService FAILED 1060:\r\n\r\nThe specified service does not exist as an installed service.\r\n\r\n";
  const auto holdFile = [] {
    PlantProductFolders();
    const HANDLE file = CreateFileW(L"C:\\ProgramData\\Velmoran\\held.dat", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    return Held(file, CloseHandle);
  };
  // A handle held on the service keeps it, marked for deletion, after sc
  // has deleted it: as a program that has it open does on Windows.
  const auto holdService = [] {
    EXPECT_TRUE(InstallProductService(ServiceBehaviour::Stops, false));
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service = OpenServiceW(manager, L"StartupService", SERVICE_QUERY_STATUS);
    CloseServiceHandle(manager);
    EXPECT_NE(service, nullptr);
    return Held(service, CloseServiceHandle);
  };
  // The same handle held by a product process: the process stage ends it,
  // and the service with it, before its fate is judged.
  const auto holdServiceInProduct = [] {
    EXPECT_TRUE(InstallProductService(ServiceBehaviour::Stops, false));
    const std::wstring image = MakeTempFolder(L"holder") + L"\\OrvClient.exe";
    SetEnvironmentVariableW(L"KESTRUM_DUMMY_HOLDS_SERVICE", L"StartupService");
    KernelHandle process = StartProductProcessAt(image);
    SetEnvironmentVariableW(L"KESTRUM_DUMMY_HOLDS_SERVICE", nullptr);
    for (int wait = 0; wait < 200 && !PathExists(image + L".started"); ++wait) Sleep(50);
    EXPECT_TRUE(PathExists(image + L".started"));
    return Held(process.release(), [](void* held) { TerminateProcess(held, 0), CloseHandle(held); });
  };
  const auto setVariable = [](const wchar_t* name) {
    SetEnvironmentVariableW(name, L"1");
    return Held(const_cast<wchar_t*>(name),
                [](void* set) { SetEnvironmentVariableW(static_cast<wchar_t*>(set), nullptr); });
  };
  // Wine's service manager heeds no service's rights; the stand-in sc
  // refuses as Windows' does when they shut the caller out. A product
  // process runs too: the line that says the service stayed comes after
  // its termination, on a line of its own.
  const auto refuseDeletion = [&] {
    EXPECT_TRUE(InstallProductService(ServiceBehaviour::Stops, false));
    EXPECT_TRUE(StartProductProcess(L"OrvKey.exe"));
    return setVariable(L"KESTRUM_SC_REFUSES");
  };
  const std::wstring report = NativeProgramFilesFolder() + L"\\kestrum\\kestrum-report.txt";
  // A log collector reading the report, without letting anyone write it.
  const auto holdReport = [&] {
    PlantProductFolders();
    EXPECT_TRUE(PlantFile(report, "collected\n"));
    return Held(CreateFileW(report.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
                CloseHandle);
  };
  const auto plantFolders = [] { PlantProductFolders(); return Held(); };
  // A file where the report folder belongs.
  const auto plantReportFile = [&] {
    PlantProductFolders();
    const std::wstring folder = NativeProgramFilesFolder() + L"\\kestrum";
    DeleteFolderTree(folder);
    EXPECT_TRUE(PlantFile(folder, "planted"));
    return Held(nullptr, [folder](void*) { DeleteFileW(folder.c_str()); });
  };
  // The report made a second name of another file: a write would land in it.
  const std::wstring victim = CommonAppDataFolder() + L"\\victim.txt";
  const auto linkReport = [&] {
    PlantProductFolders();
    EXPECT_TRUE(PlantFile(victim, "victim\n"));
    DeleteFileW(report.c_str());
    CreateDirectoryW((NativeProgramFilesFolder() + L"\\kestrum").c_str(), nullptr);
    EXPECT_TRUE(CreateHardLinkW(report.c_str(), victim.c_str(), nullptr));
    return Held(nullptr, [&](void*) { DeleteFileW(report.c_str()); });
  };
  const std::vector<std::wstring> folders{
      L"folder " + CommonAppDataFolder() + L"\\Velmoran", L"folder " + CommonAppDataFolder() + L"\\Quillfen",
      L"folder " + NativeProgramFilesFolder() + L"\\ZOLVA", L"folder " + NativeProgramFilesFolder() + L"\\Quillfen"};
  const std::wstring logFolder = WindowsFolder() + L"\\Logs\\kestrum";
  const std::wstring log = logFolder + L"\\kestrum-run.log", oldLog = logFolder + L"\\kestrum-run.lo_";
  const std::string filler = std::string(RunLogBound - 102, '.') + "\r\n";
  const std::string bootstrapper = CleanMachineBootstrapperReport(start_);
  // The wrapper's last line.
  const auto verdict = [](const std::string& word, DWORD status, int stayed = 0, int failed = 0, int restart = 0) {
    return "kestrum-run: " + word + ", status " + std::to_string(status) + ", stayed " + std::to_string(stayed) +
           ", failed " + std::to_string(failed) + ", restart " + std::to_string(restart) + "\n";
  };
  const std::string removed = verdict("REMOVED", 0), left = verdict("LEFT", 2, 1);
  const auto notStarted = [&](const std::string& why, const std::string& word, DWORD status) {
    return "kestrum-run: the report " + Utf8(report) + why + "; kestrum.exe not started\n" + verdict(word, status);
  };
  const std::string heldFileReport =
      afterTool(Replaced(clean, DataReport(L"Velmoran"), DataReport(L"Velmoran", 1)), missing);
  // The stand-in's words are kestrum's own: the row fails if they part.
  wchar_t gaveUpLine[200];
  swprintf(gaveUpLine, 200, Message::OtherRunDidNotEnd, static_cast<int>(RunLockWaitSeconds));
  const std::string gaveUp = Utf8(gaveUpLine);
  // The log at path holds before, then the entries of one -bo run.
  const auto expectLog = [&](const std::wstring& path, const std::string& before, const std::string& options) {
    const std::string text = ReadWholeFile(path);
    EXPECT_TRUE(text.compare(0, before.size(), before) == 0);
    EXPECT_EQ(Unstamped(text.substr(std::min(before.size(), text.size()))),
              RunLog(ProgramFolder(), options, bootstrapper, removed));
  };
  // What kestrum-scan then says, while what was held is still held: its
  // status, its line under the service's header and its last line.
  struct Scan { DWORD status; std::string service, last; };
  const Scan nothing{0, "", "\nNothing of the product found.\n"};
  const Scan restarts{3010, restart,
                      "\nNothing of the product found that a run would remove; the service StartupService goes at "
                      "the next restart.\n"};
  const Scan folders4{1, "", "\nFound 0 services, 0 processes, 4 folders, 0 keys, 0 values; 0 shared keys a run "
                            "leaves; 0 places not looked at.\n"};
  const Scan folder1{1, "", "\nFound 0 services, 0 processes, 1 folders, 0 keys, 0 values; 0 shared keys a run "
                            "leaves; 0 places not looked at.\n"};
  struct Row {
    const char* machine;
    std::function<Held()> plant;
    DWORD status;
    std::string said, report;
    std::vector<std::wstring> left;  // once what was held is let go
    Scan scan;
    std::function<void()> check = {};
    std::wstring wrapper = ProgramFolder() + L"\\kestrum-run.exe";  // a .cmd: the shim, started through cmd
    std::wstring arguments = L"";
  };
  const Row rows[] = {
      {"product folders, no service: sc says FAILED", plantFolders, 0, removed, afterTool(clean, missing), {}, nothing,
       {}, ProgramFolder() + cmd},
      {"kestrum.exe crashes", [] { return Held(); }, 0xC0000005,
       "kestrum-run: kestrum.exe ended with 0xC0000005\n" + verdict("CRASHED", 0xC0000005),
       "Current Directory: C:\\\n\nStopping Service\n----------------\n", {}, nothing, {}, crashing + cmd},
      {"service held open while it is deleted", holdService, 3010, verdict("RESTART", 3010, 0, 0, 1),
       afterProcesses(afterTool(keyLeft(found(clean)), "[SC] DeleteService SUCCESS\r\n"), restart), {}, restarts},
      {"service held by a product process until the process stage", holdServiceInProduct, 0, removed,
       afterProcesses(afterTool(found(clean), "[SC] DeleteService SUCCESS\r\n"), "Terminating process: OrvClient.exe"),
       {}, nothing},
      {"product file held open", holdFile, 2, left, heldFileReport, {L"folder C:\\ProgramData\\Velmoran"}, folder1},
      // Never marked, but the installer pass took its key, without which
      // the service manager does not build it again when Windows starts.
      {"sc refused", refuseDeletion, 2, left,
       afterProcesses(afterTool(keyLeft(found(clean)), "[SC] OpenService FAILED 5:\r\n\r\nAccess is denied.\r\n\r\n"),
                      "Terminating process: OrvKey.exe\nSTAYED: the service StartupService\n"),
       {L"service StartupService (stopped)"}, restarts},
      {"report held by another process: kestrum.exe not started", holdReport, 1618,
       notStarted(" is held by another process", "BUSY", 1618), "collected\n", folders, folders4},
      {"-s: a reporting run, judged", holdFile, 2,
       "kestrum-run: -s dropped: kestrum-run needs kestrum's report to judge the run\n" + left, heldFileReport,
       {L"folder C:\\ProgramData\\Velmoran"}, folder1, {}, ProgramFolder() + cmd, L"-s"},
      {"kestrum.exe missing beside the wrapper", plantFolders, 9009,
       "kestrum-run: kestrum.exe not found beside kestrum-run.exe: " + Utf8(alone) + "\\kestrum.exe\n" +
           verdict("NOT RUN", 9009),
       "", folders, folders4, {}, alone + exe},
      {"kestrum.exe is no program", plantFolders, 9010,
       "kestrum-run: kestrum.exe could not be started: 193\n" + verdict("NOT RUN", 9010), "", folders, folders4, {},
       broken + exe},
      {"a file where the report folder belongs", plantReportFile, 1,
       notStarted(" cannot be made or opened: 267", "NOT RUN", 1), "", folders, folders4},
      {"the report a second name of another file", linkReport, 1,
       notStarted(" cannot be made or opened: 1920", "NOT RUN", 1), "", folders, folders4,
       [&] { EXPECT_EQ(ReadWholeFile(victim), "victim\n"); }},
      {"run lock given up", [&] { PlantProductFolders(); return setVariable(L"KESTRUM_STANDIN_GIVES_UP"); }, 1618,
       verdict("BUSY", 1618, 0, 1), "Current Directory: C:\\\n" + gaveUp, folders, folders4, {}, crashing + exe},
      {"log just under its bound: the run appended", [&] { EXPECT_TRUE(PlantFile(log, filler)); return Held(); }, 0,
       removed, bootstrapper, {}, nothing, [&] { expectLog(log, filler, "-bo"); }, ProgramFolder() + exe, L"-bo"},
      {"log over its bound: rotated, then the run", [] { return Held(); }, 0, removed, bootstrapper, {}, nothing,
       [&] {
         expectLog(oldLog, filler, "-bo");
         expectLog(log, "", "-bo \"a \\\"b\\\\\"");
       },
       ProgramFolder() + exe, L"-bo \"a \\\"b\\\\\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.machine);
    Held held = row.plant();
    const std::wstring command = L"\"" + row.wrapper + L"\"" + (row.arguments.empty() ? L"" : L" " + row.arguments);
    const RunResult run = row.wrapper.substr(row.wrapper.size() - 4) == L".cmd"
                              ? RunProgram(std::wstring(system) + L"\\cmd.exe", L"cmd /c \"" + command + L"\"", start_)
                              : RunProgram(row.wrapper, command, start_);
    const RunResult scan = RunScan(L""), json = RunScan(L"--json");
    held.reset();
    EXPECT_EQ(json.exitCode, row.scan.status);
    EXPECT_NE(json.output.find("\n  \"status\": " + std::to_string(row.scan.status) + ",\n"), std::string::npos);
    EXPECT_EQ(json.output.find("\"atNextRestart\": [\n    {\"kind\": \"service\", \"name\": \"StartupService\"}\n  ]") !=
                  std::string::npos,
              row.scan.status == 3010)
        << json.output;
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, row.status);
    EXPECT_EQ(run.output, row.said);
    EXPECT_EQ(ReadWholeFile(report), row.report);
    EXPECT_EQ(SurveyProduct(), row.left);
    EXPECT_EQ(scan.exitCode, row.scan.status) << scan.output;
    const std::string scanHead = std::string("kestrum-scan " KESTRUM_VERSION_TEXT " (") +
                                 (sizeof(void*) == 8 ? "64-bit" : "32-bit") +
                                 ")\n\nStopping Service\n----------------\n" + row.scan.service + header;
    EXPECT_EQ(scan.output.substr(0, scanHead.size()), scanHead);
    ASSERT_GE(scan.output.size(), row.scan.last.size());
    EXPECT_EQ(scan.output.substr(scan.output.size() - row.scan.last.size()), row.scan.last);
    if (row.check) row.check();
    // What a row left stays out of the next one's way.
    for (const std::wstring& folder : folders) DeleteFolderTree(folder.substr(7));
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service = OpenServiceW(manager, L"StartupService", DELETE);
    if (service != nullptr) DeleteService(service), CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }
}

// Two wrappers at once: the second waits for the first to end, and each
// judges the report of its own run, not the other's half-written one.
TEST_F(RemovalRun, WrappersStartedTogetherTakeTurns) {
  ASSERT_TRUE(PlantProgramW6432Dir(NativeProgramFilesFolder()));
  PlantBootstrapperRecords();
  ConcurrentRun runs[2] = {{start_, {}, true}, {start_, {}, true}};
  HANDLE threads[2];
  for (int at = 0; at < 2; ++at) threads[at] = CreateThread(nullptr, 0, RunBootstrapperOnly, &runs[at], 0, nullptr);
  ASSERT_EQ(WaitForMultipleObjects(2, threads, TRUE, 600000), WAIT_OBJECT_0);
  for (HANDLE thread : threads) CloseHandle(thread);
  for (const ConcurrentRun& run : runs) {
    EXPECT_EQ(run.result.exitCode, 0u);
    EXPECT_EQ(run.result.output, "kestrum-run: REMOVED, status 0, stayed 0, failed 0, restart 0\n");
  }
  // The last report is the second run's, which found nothing left.
  EXPECT_EQ(ReadWholeFile(NativeProgramFilesFolder() + L"\\kestrum\\kestrum-report.txt"),
            CleanMachineBootstrapperReport(start_));
  EXPECT_EQ(SurveyProduct(), std::vector<std::wstring>{});
}

TEST(RemovalSequence, NoBoxCanHoldTheRun) {
  PreventDialogs();
  constexpr UINT silent = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;
  EXPECT_EQ(GetErrorMode() & silent, silent);
  EXPECT_EQ(_set_error_mode(_REPORT_ERRMODE), _OUT_TO_STDERR);
}

// In-process, so the process's own current directory can be looked at
// after the run. A run started inside a product folder has to leave it to
// delete it; the restore at the end then fails, silently.
TEST(RemovalSequence, RunStartedInsideAProductFolderDeletesItAndEndsInItsBase) {
  const std::wstring start = L"C:\\ProgramData\\Velmoran\\logs";
  ASSERT_TRUE(PlantFile(start + L"\\client.log", "c"));
  ASSERT_TRUE(PlantFile(L"C:\\ProgramData\\Velmoran\\settings.xml", "s"));
  ASSERT_TRUE(SetCurrentDirectoryW(start.c_str()));
  // Wine's token holds these, disabled, as SYSTEM's does; a normal run
  // enables them. Wine shows no DACL that they would let the run pass.
  const wchar_t* privileges[] = {SE_BACKUP_NAME, SE_RESTORE_NAME, SE_DEBUG_NAME};
  for (const wchar_t* name : privileges) EXPECT_FALSE(PrivilegeEnabled(name)) << Utf8(name);
  ReportCapture capture;
  RunRemoval();
  for (const wchar_t* name : privileges) EXPECT_TRUE(PrivilegeEnabled(name)) << Utf8(name);
  wchar_t after[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, after);
  EXPECT_EQ(std::wstring(after), L"C:\\ProgramData");
  EXPECT_EQ(capture.Text(), CleanMachineNormalReport(start));
  EXPECT_FALSE(PathExists(L"C:\\ProgramData\\Velmoran"));
}

TEST(RemovalSequence, StartDirectoryLongerThanMaxPathIsReadWhole) {
  std::wstring deep = MakeTempFolder(L"deep");
  while (deep.size() <= MAX_PATH + 40) {
    deep += L"\\" + std::wstring(50, L'd');
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
  }
  // Windows itself refuses a current directory this long unless the
  // process is long-path aware; where it is refused, there is nothing a
  // run could be started in, and the check below does not apply.
  if (!SetCurrentDirectoryW(deep.c_str())) {
    std::printf("note: this platform refuses a current directory of %u characters\n",
                static_cast<unsigned>(deep.size()));
    return;
  }
  ReportCapture capture;
  RunRemoval();
  EXPECT_EQ(capture.Text(), CleanMachineNormalReport(deep));
  wchar_t after[2 * MAX_PATH];
  GetCurrentDirectoryW(2 * MAX_PATH, after);
  EXPECT_EQ(std::wstring(after), deep);
}

}  // namespace
