// Service and process removal: StartupService stopped and deleted, the
// product's processes terminated.
#pragma once

#include <windows.h>

#include <string>

#include "handle.h"

// Longest wait for the service to reach SERVICE_STOPPED, and the pause
// between two status queries of that wait. A service may spend many
// seconds in STOP_PENDING while it saves its work, so the bound is
// generous; but one that never stops (it refused the control, or it hangs)
// must not hold an unattended run for ever.
constexpr DWORD ServiceStopWaitSeconds = 30;
constexpr DWORD ServiceStopPollMilliseconds = 100;

// Prints the "Deleting Service" header and has the system's service control
// tool delete the service; returns once the tool has ended.
void DeleteProductService();

// Longest wait, in all, for terminated processes to have exited.
constexpr DWORD ProcessExitWaitMilliseconds = 5000;

// Prints the "Killing Processes" header and terminates every process on the
// product process list, then waits (within ProcessExitWaitMilliseconds,
// silently) until they have exited; true.
bool KillProductProcesses();

// Starts the program toolName from the system folder, never from the
// current directory or PATH, with arguments after its quoted path. It
// shares this process's standard handles, inherits no other handle, and
// opens no console window.
// Returns once it has ended; false when it could not be started.
bool RunSystemTool(const std::wstring& toolName, const std::wstring& arguments);
