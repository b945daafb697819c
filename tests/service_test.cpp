// Service and process removal against real services and processes of a
// throwaway Wine machine: the exact report bytes, then the machine.
#include "service.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "harness.h"
#include "plant.h"
#include "report.h"

namespace {

const std::string DeletingServiceHeader = "\nDeleting Service\n----------------\n";
const std::string KillingProcessesHeader = "\nKilling Processes\n-----------------\n";
const std::wstring ServiceName = L"StartupService";
const std::wstring ServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\StartupService";
// What Windows' sc prints for a deletion, and the line kestrum adds for a
// service that is only marked for deletion.
const std::string ToolDeleted = "[SC] DeleteService SUCCESS\r\n";
const std::string GoesAtRestart =
    "RESTART: the service StartupService is marked for deletion and goes at the next restart at the latest\n";

// The exit code of a process once it has ended; STILL_ACTIVE if it has
// not ended after a generous while.
DWORD ExitCodeOnceEnded(const KernelHandle& process) {
  WaitForSingleObject(process.get(), 30000);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return code;
}

bool IsRunning(const KernelHandle& process) {
  return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// Plants impostors of the service control tool in folder, where a search
// through the current directory or PATH would find them before the real
// one; each leaves "<its name>.started" beside it if it is ever run.
void PlantToolImpostors(const std::wstring& folder) {
  ASSERT_TRUE(PlantFile(folder + L"\\sc.bat", "@echo off\r\necho ran> \"%~dp0sc.bat.started\"\r\n"));
  ASSERT_TRUE(PlantDummyProgram(folder + L"\\sc.exe"));
}

void ExpectNoImpostorRan(const std::wstring& folder) {
  EXPECT_FALSE(PathExists(folder + L"\\sc.bat.started"));
  EXPECT_FALSE(PathExists(folder + L"\\sc.exe.started"));
}

// The report of the two service steps and the service's fate, taken as a
// normal run takes them when no product process runs.
std::string StopAndDeleteService() {
  ReportCapture capture;
  Stage(false).StopProductService();
  ReportServiceFate(DeleteProductService());
  return capture.Text();
}

TEST(ServiceRemoval, MissingServiceIsReportedAndTheDeletionStepStillRuns) {
  ASSERT_TRUE(PlantWindowsServiceTool());
  ReportCapture capture;
  Stage(false).StopProductService();
  EXPECT_EQ(capture.Text(), "Failed to find service.\n");
  // A service that appears only after the stop step found none is gone
  // afterwards only if the tool ran.
  ASSERT_TRUE(InstallProductService(ServiceBehaviour::Stops, false));
  DeleteProductService();
  EXPECT_EQ(capture.Text(), "Failed to find service.\n" + DeletingServiceHeader + ToolDeleted);
  EXPECT_EQ(ServiceState(ServiceName), 0u);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ServiceKey));
}

TEST(ServiceRemoval, StoppedServiceGetsNoStopControlAndIsDeleted) {
  ASSERT_TRUE(PlantWindowsServiceTool());
  ASSERT_TRUE(InstallProductService(ServiceBehaviour::Stops, false));
  ASSERT_EQ(ServiceState(ServiceName), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(StopAndDeleteService(), "Found service.\nService is not running.\n" + DeletingServiceHeader + ToolDeleted);
  EXPECT_EQ(ServiceState(ServiceName), 0u);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ServiceKey));
}

TEST(ServiceRemoval, PausedServiceGetsNoStopControl) {
  ASSERT_TRUE(InstallProductService(ServiceBehaviour::Pauses, true));
  ASSERT_EQ(ServiceState(ServiceName), static_cast<DWORD>(SERVICE_PAUSED));
  ReportCapture capture;
  Stage(false).StopProductService();
  EXPECT_EQ(capture.Text(), "Found service.\nService is not running.\n");
  EXPECT_EQ(ServiceState(ServiceName), static_cast<DWORD>(SERVICE_PAUSED));
}

TEST(ServiceRemoval, RunningServiceIsStoppedBeforeTheDeletionStarts) {
  ASSERT_TRUE(PlantWindowsServiceTool());
  ASSERT_TRUE(InstallProductService(ServiceBehaviour::Stops, true));
  ASSERT_EQ(ServiceState(ServiceName), static_cast<DWORD>(SERVICE_RUNNING));
  ReportCapture capture;
  Stage(false).StopProductService();
  // The service spends two seconds in STOP_PENDING: only a step that
  // waited for it finds it stopped here, before the deletion begins.
  EXPECT_EQ(ServiceState(ServiceName), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(capture.Text(), "Found service.\nStopping service.\nService stopped.\n");
  DeleteProductService();
  EXPECT_EQ(capture.Text(),
            "Found service.\nStopping service.\nService stopped.\n" + DeletingServiceHeader + ToolDeleted);
  EXPECT_EQ(ServiceState(ServiceName), 0u);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ServiceKey));
}

TEST(ServiceRemoval, RefusedStopEndsWithTheBoundedWaitAndTheRunGoesOn) {
  ASSERT_TRUE(PlantWindowsServiceTool());
  ASSERT_TRUE(InstallProductService(ServiceBehaviour::RefusesStop, true));
  ASSERT_EQ(ServiceState(ServiceName), static_cast<DWORD>(SERVICE_RUNNING));
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(StopAndDeleteService(),
            "Found service.\nStopping service.\n"
            "Failed to send stop service command to service.\n"
            "Service did not stop within 30 seconds; going on.\n" +
                DeletingServiceHeader + ToolDeleted + GoesAtRestart);
  EXPECT_GE(GetTickCount64() - start, ServiceStopWaitSeconds * 1000ull - 500);
  // Still running, only marked for deletion: it goes once it stops.
  EXPECT_EQ(ServiceState(ServiceName), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST(ServiceRemoval, ToolPlantedInTheCurrentDirectoryOrOnPathIsNeverRun) {
  const std::wstring planted = MakeTempFolder(L"planted");
  ASSERT_NO_FATAL_FAILURE(PlantToolImpostors(planted));
  ASSERT_TRUE(PlantWindowsServiceTool());
  ASSERT_TRUE(InstallProductService(ServiceBehaviour::Stops, false));

  wchar_t savedDirectory[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, savedDirectory);
  wchar_t savedPath[32767];
  const DWORD pathLength = GetEnvironmentVariableW(L"PATH", savedPath, 32767);
  ASSERT_TRUE(SetCurrentDirectoryW(planted.c_str()));
  ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", (planted + L";" + std::wstring(savedPath, pathLength)).c_str()));
  std::string report;
  {
    ReportCapture capture;
    DeleteProductService();
    report = capture.Text();
  }
  SetEnvironmentVariableW(L"PATH", savedPath);
  SetCurrentDirectoryW(savedDirectory);

  EXPECT_EQ(report, DeletingServiceHeader + ToolDeleted);
  ExpectNoImpostorRan(planted);
  // The system's own tool ran instead.
  EXPECT_EQ(ServiceState(ServiceName), 0u);
}

TEST(ServiceRemoval, ToolTextKeepsItsPlaceAmongTheReportLines) {
  // The capture's file handle is not inheritable, as a starter may make
  // it: the tool must still write into it.
  ReportCapture capture;
  WriteReport(L"before\n");
  ASSERT_EQ(RunSystemTool(L"cmd.exe", L"/c echo tool"), ToolRun::Ended);
  WriteReport(L"after\n");
  EXPECT_EQ(capture.Text(), "before\ntool\r\nafter\n");
}

// Windows honours the handle list; so does Wine 8, where this test was
// seen to fail when the tool was started with every inheritable handle.
TEST(ServiceRemoval, ToolInheritsTheStandardHandlesAndNothingElse) {
  // A handle any child started with plain inheritance would get: the write
  // end of a pipe, so that its read end tells whether another copy lives.
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  ASSERT_TRUE(CreatePipe(&read, &write, &inheritable, 0));
  const KernelHandle plantedRead(read);
  KernelHandle plantedWrite(write);
  ASSERT_TRUE(SetHandleInformation(plantedRead.get(), HANDLE_FLAG_INHERIT, 0));
  // The tool's standard input: it waits there for a line, so it is still
  // running while its handles are looked at.
  ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 0));
  const KernelHandle inputRead(read);
  const KernelHandle inputWrite(write);
  const HANDLE savedInput = GetStdHandle(STD_INPUT_HANDLE);
  ASSERT_TRUE(SetStdHandle(STD_INPUT_HANDLE, inputRead.get()));

  ReportCapture capture;
  bool started = false;
  std::thread tool([&started] {
    started = RunSystemTool(L"cmd.exe", L"/c echo waiting& set /p line=") == ToolRun::Ended;
  });
  for (int wait = 0; wait < 600 && capture.Text().find("waiting") == std::string::npos; ++wait) Sleep(50);
  const std::string before = capture.Text();
  // With this process's copy gone, the pipe is broken unless the tool
  // holds one too.
  plantedWrite.reset();
  DWORD available = 0;
  const BOOL peeked = PeekNamedPipe(plantedRead.get(), nullptr, 0, nullptr, &available, nullptr);
  const DWORD peekError = GetLastError();
  DWORD written = 0;
  WriteFile(inputWrite.get(), "line\r\n", 6, &written, nullptr);
  tool.join();
  SetStdHandle(STD_INPUT_HANDLE, savedInput);

  EXPECT_TRUE(started);
  EXPECT_EQ(before, "waiting\r\n");
  EXPECT_FALSE(peeked);
  EXPECT_EQ(peekError, static_cast<DWORD>(ERROR_BROKEN_PIPE));

  // A tool that never ends (nothing more comes on its input) holds the run
  // for its bound only, and is ended then. Wine's sc never hangs, so the
  // stage's own line for it is not shown here.
  ASSERT_TRUE(SetStdHandle(STD_INPUT_HANDLE, inputRead.get()));
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(RunSystemTool(L"cmd.exe", L"/c echo stuck& set /p line=", 1000), ToolRun::DidNotEnd);
  SetStdHandle(STD_INPUT_HANDLE, savedInput);
  EXPECT_LT(GetTickCount64() - start, 10000u);
  WriteReport(L"after\n");
  EXPECT_EQ(capture.Text(), "waiting\r\nstuck\r\nafter\n");
}

TEST(ProcessRemoval, EveryProductProcessIsTerminatedWithExitCode9InTableOrder) {
  KernelHandle terminated[] = {
      StartProductProcess(L"OrvKey.exe"),    StartProductProcess(L"OrvClient.exe"),
      StartProductProcess(L"Java.exe"),      StartProductProcess(L"OrvClient32.exe"),
      StartProductProcess(L"OrvClient.exe"),
  };
  const KernelHandle lowerCaseJava = StartProductProcess(L"java.exe");
  for (const KernelHandle& process : terminated) ASSERT_TRUE(process);
  ASSERT_TRUE(lowerCaseJava);

  ReportCapture capture;
  EXPECT_TRUE(KillProductProcesses());
  EXPECT_EQ(capture.Text(), KillingProcessesHeader +
                                "Terminating process: Java.exe"
                                "Terminating process: OrvClient.exe"
                                "Terminating process: OrvClient.exe"
                                "Terminating process: OrvClient32.exe"
                                "Terminating process: OrvKey.exe");
  for (const KernelHandle& process : terminated) EXPECT_EQ(ExitCodeOnceEnded(process), 9u);
  for (const wchar_t* name : {L"Java.exe", L"OrvClient.exe", L"OrvClient32.exe", L"OrvKey.exe"})
    EXPECT_TRUE(FindProcesses(name).empty()) << Utf8(name);
  EXPECT_TRUE(IsRunning(lowerCaseJava));
  EXPECT_EQ(FindProcesses(L"java.exe").size(), 1u);
  TerminateProcess(lowerCaseJava.get(), 0);
}

// A snapshot's process ID may go to another process before it is opened;
// Wine cannot be made to reuse an ID on demand, so the check that keeps
// such a process running is shown on a live process through its handle:
// another image name, and it is not ended. The check asks no clock, so a
// clock set back after the process started changes nothing; not shown
// here, since under Wine setting the clock sets the host's.
TEST(ProcessRemoval, ProcessThatIsNoLongerTheListedOneIsLeftRunning) {
  const KernelHandle client = StartProductProcess(L"OrvClient.exe");
  ASSERT_TRUE(client);
  EXPECT_TRUE(IsStillTheListedProcess(client.get(), L"OrvClient.exe"));
  EXPECT_FALSE(IsStillTheListedProcess(client.get(), L"OrvKey.exe"));
  EXPECT_FALSE(IsStillTheListedProcess(client.get(), L"orvclient.exe"));
  EXPECT_FALSE(IsStillTheListedProcess(client.get(), L"Client.exe"));
  EXPECT_TRUE(IsRunning(client));
  TerminateProcess(client.get(), 0);
}

TEST(ProcessRemoval, OnlyTheHeaderWhenNoProductProcessRuns) {
  const KernelHandle other = StartProductProcess(L"OrvClient64.exe");
  ASSERT_TRUE(other);
  ReportCapture capture;
  EXPECT_TRUE(KillProductProcesses());
  EXPECT_EQ(capture.Text(), KillingProcessesHeader);
  EXPECT_TRUE(IsRunning(other));
  TerminateProcess(other.get(), 0);
}

TEST(ServiceAndProcessRemoval, QuietStepsRemoveTheSameAndPrintNothing) {
  ASSERT_TRUE(PlantWindowsServiceTool());
  ASSERT_TRUE(InstallProductService(ServiceBehaviour::Stops, true));
  const KernelHandle client = StartProductProcess(L"OrvClient.exe");
  const KernelHandle updater = StartProductProcess(L"OrvUpdater.exe");
  ASSERT_TRUE(client);
  ASSERT_TRUE(updater);

  ReportCapture capture;
  {
    QuietScope quiet(true);
    Stage().StopProductService();
    EXPECT_EQ(ServiceState(ServiceName), static_cast<DWORD>(SERVICE_STOPPED));
    DeleteProductService();
    KillProductProcesses();
  }
  // The tool's own words are not kept back.
  EXPECT_EQ(capture.Text(), ToolDeleted);
  EXPECT_EQ(ServiceState(ServiceName), 0u);
  EXPECT_EQ(ExitCodeOnceEnded(client), 9u);
  EXPECT_EQ(ExitCodeOnceEnded(updater), 9u);
}

// The whole run, started from a folder holding impostors of the tool.
TEST(ServiceAndProcessRemoval, NormalRunFromAPlantedFolderRemovesServiceAndProcesses) {
  const std::wstring start = MakeTempFolder(L"start");
  ASSERT_NO_FATAL_FAILURE(PlantToolImpostors(start));
  ASSERT_TRUE(PlantWindowsServiceTool());
  ASSERT_TRUE(InstallProductService(ServiceBehaviour::Stops, true));
  const KernelHandle processes[] = {
      StartProductProcess(L"OrvUpdater.exe"),
      StartProductProcess(L"OrvClient.exe"),
      StartProductProcess(L"OrvClient.exe"),
  };
  for (const KernelHandle& process : processes) ASSERT_TRUE(process);

  const RunResult run = RunKestrum(L"", start);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  const std::string expected = "Current Directory: " + Utf8(start) + "\n" +
                               "\nStopping Service\n----------------\n"
                               "Found service.\nStopping service.\nService stopped.\n" +
                               DeletingServiceHeader + ToolDeleted + KillingProcessesHeader +
                               "Terminating process: OrvClient.exe"
                               "Terminating process: OrvClient.exe"
                               "Terminating process: OrvUpdater.exe"
                               "\nDeleting Files\n--------------\n";
  EXPECT_EQ(run.output.substr(0, expected.size()), expected);

  ExpectNoImpostorRan(start);
  EXPECT_EQ(ServiceState(ServiceName), 0u);
  for (const KernelHandle& process : processes) EXPECT_EQ(ExitCodeOnceEnded(process), 9u);
}

}  // namespace
