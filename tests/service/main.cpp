// kestrum-test-service: a real Windows service, installed as StartupService
// by the planting routines for the tests and the demo.
//   kestrum-test-service stops     accepts the stop control, then spends a
//                                  moment in STOP_PENDING before it stops
//   kestrum-test-service refuses   runs, and refuses the stop control
//   kestrum-test-service pauses    runs, accepts the pause control (and
//                                  no stop), then stays paused
#include <windows.h>

#include <cwchar>

namespace {

enum class Behaviour { Stops, Refuses, Pauses };

// How long the service stays in STOP_PENDING: long enough that a caller
// that does not wait sees it still pending.
constexpr int StopPendingSteps = 10;
constexpr DWORD StopPendingStepMilliseconds = 200;

Behaviour behaviour = Behaviour::Stops;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopRequested = nullptr;
DWORD checkPoint = 0;

void SetState(DWORD state) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  if (behaviour == Behaviour::Pauses && state != SERVICE_STOP_PENDING)
    status.dwControlsAccepted = SERVICE_ACCEPT_PAUSE_CONTINUE;
  else if (behaviour == Behaviour::Stops && state == SERVICE_RUNNING)
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  status.dwWin32ExitCode = NO_ERROR;
  if (state == SERVICE_STOP_PENDING) {
    status.dwCheckPoint = ++checkPoint;
    status.dwWaitHint = 2 * StopPendingStepMilliseconds;
  }
  SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI HandleControl(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
  if (control == SERVICE_CONTROL_PAUSE && behaviour == Behaviour::Pauses) {
    SetState(SERVICE_PAUSED);
    return NO_ERROR;
  }
  if (control != SERVICE_CONTROL_STOP || behaviour != Behaviour::Stops) return ERROR_CALL_NOT_IMPLEMENTED;
  SetState(SERVICE_STOP_PENDING);
  SetEvent(stopRequested);
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  statusHandle = RegisterServiceCtrlHandlerExW(L"StartupService", HandleControl, nullptr);
  if (statusHandle == nullptr) return;
  // Paused only by the pause control, as on Windows: Wine's StartServiceW
  // fails (1053) and ends a service that is past RUNNING by the time the
  // service manager looks at its first status.
  SetState(SERVICE_RUNNING);
  WaitForSingleObject(stopRequested, INFINITE);
  for (int step = 0; step < StopPendingSteps; ++step) {
    Sleep(StopPendingStepMilliseconds);
    SetState(SERVICE_STOP_PENDING);
  }
  SetState(SERVICE_STOPPED);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && wcscmp(argv[1], L"refuses") == 0) behaviour = Behaviour::Refuses;
  if (argc == 2 && wcscmp(argv[1], L"pauses") == 0) behaviour = Behaviour::Pauses;
  stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  wchar_t name[] = L"StartupService";
  const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
