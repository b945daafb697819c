// Service and process removal: StartupService stopped and deleted, the
// product's processes terminated.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "handle.h"

// Longest wait for the service to reach SERVICE_STOPPED, and the pause
// between two status queries of that wait. A service may spend many
// seconds in STOP_PENDING while it saves its work, so the bound is
// generous; but one that never stops (it refused the control, or it hangs)
// must not hold an unattended run for ever.
constexpr DWORD ServiceStopWaitSeconds = 30;
constexpr DWORD ServiceStopPollMilliseconds = 100;

// Longest wait for the service control tool. It asks the service control
// manager one thing and ends within a second or two; one that does not
// answer must not hold the run. Past the bound the tool is ended, so that
// no late text of its own lands among the report's later lines.
constexpr DWORD ServiceToolWaitSeconds = 60;

// Longest wait, once the process stage has ended, for a service marked for
// deletion to go: the manager removes it once it has stopped and the last
// handle to it is closed, which may come a moment after the process that
// held it (or ran it) has ended.
constexpr DWORD ServiceDeletionWaitMilliseconds = 2000;

// Prints the "Deleting Service" header and has the system's service control
// tool delete the service; returns once the tool has ended, or with a line
// that says it did not end within ServiceToolWaitSeconds. False then: a
// manager that kept the tool waiting would keep the run waiting too, so it
// is not to be asked.
bool DeleteProductService();

// Says, from the service manager's codes and never from the tool's words,
// whether the service stayed or goes at the next restart; nothing when it
// is gone. Called once the process stage has ended: a product process that
// held the service open, or was its running image, keeps it marked for
// deletion until then, and it goes as soon as that process has. When the
// tool did not end (toolEnded false), the manager is not asked and the
// service is said to be unchecked.
void ReportServiceFate(bool toolEnded);

// What the service manager says of a service, by its codes alone.
enum class ServicePresence {
  Gone,               // no service of that name (1060)
  MarkedForDeletion,  // goes once stopped and unused, at the next restart at the latest (1072)
  Present,            // there, and not marked for deletion
  Unknown,            // the manager could not be asked, or refused: code says why
};
struct ServiceFate {
  ServicePresence presence;
  DWORD code;  // the manager's code behind presence; 0 for Present
};
// Asks the service manager for the named service with a change that
// changes nothing, which the manager refuses for a service marked for
// deletion. Reads no tool's output; changes no setting.
ServiceFate FindServiceFate(const std::wstring& name);

// The product's image names, in the order they are searched.
inline constexpr const wchar_t* ProductProcessNames[] = {
    L"Java.exe", L"OrvClient.exe", L"OrvClient32.exe", L"OrvKey.exe", L"OrvUpdater.exe",
};

// Longest wait, in all, for terminated processes to have exited.
constexpr DWORD ProcessExitWaitMilliseconds = 5000;

// Prints the "Killing Processes" header and terminates every process on the
// product process list, then waits (within ProcessExitWaitMilliseconds,
// silently) until they have exited; true.
bool KillProductProcesses();

// Whether the open process still is one that a snapshot may list under the
// image name wanted: through its own handle, its image file has exactly
// that name. A process ID is only a number; the listed process may have
// ended since and its ID gone to any other, but the handle pins the process
// it was opened on. No clock is asked: a clock set back after the product
// started must not make its processes look newer than the snapshot.
bool IsStillTheListedProcess(HANDLE process, const std::wstring& wanted);

// A process a snapshot listed under a product image name, opened as the
// process stage opens it to end it, and checked through its own handle to
// still be the one listed; or, when it could not be opened, the code.
struct ListedProcess {
  KernelHandle process;  // empty when it could not be opened
  bool waitable;         // opened with SYNCHRONIZE too
  DWORD id;
  LONG result;
};
std::vector<ListedProcess> ListProductProcesses(const std::wstring& wanted);

// kestrum-scan, which changes nothing: a line for the service when it is
// there, with its state, or the run's RESTART line when it goes at the next
// restart; the "Killing Processes" header and a line for each product
// process the process stage would end. Counted in Found.
void ScanProductService();
void ScanProductProcesses();

// Starts the program toolName from the system folder, never from the
// current directory or PATH, with arguments after its quoted path. It
// shares this process's standard handles, inherits no other handle, and
// opens no console window. Returns once it has ended, or once it has run
// for waitMilliseconds, when it is terminated.
enum class ToolRun { NotStarted, Ended, DidNotEnd };
ToolRun RunSystemTool(const std::wstring& toolName, const std::wstring& arguments,
                      DWORD waitMilliseconds = ServiceToolWaitSeconds * 1000);
