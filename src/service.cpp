#include "service.h"

#include <tlhelp32.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <vector>

#include "child.h"
#include "product.h"
#include "report.h"

// Only th32ProcessID and szExeFile are read; the size is what dwSize must
// say, and a wrong packing would make every enumeration fail.
static_assert(sizeof(PROCESSENTRY32W) == (sizeof(void*) == 8 ? 568 : 556),
              "PROCESSENTRY32W has the size Windows expects");

namespace {

// SC_MANAGER_ALL_ACCESS, asked of the service too: as service rights it
// holds DELETE, query, change, start and stop, but not pause, interrogate
// or user controls.
constexpr DWORD ServiceAccess = 0xF003F;
static_assert(ServiceAccess == SC_MANAGER_ALL_ACCESS, "the manager's full access");

// The service control manager compares names without regard to case, so
// this deletes the service registered as StartupService.
constexpr wchar_t DeleteServiceArguments[] = L"delete \"startupservice\"";

constexpr DWORD TerminatedExitCode = 9;

constexpr wchar_t ServicesKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\";

// A status that cannot be read is no evidence that the service runs.
bool IsRunning(SC_HANDLE service) {
  SERVICE_STATUS status{};
  return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
}

// Polls until the service reports SERVICE_STOPPED or the bound is reached;
// a query that fails counts as not stopped yet.
bool WaitUntilStopped(SC_HANDLE service) {
  const ULONGLONG deadline = GetTickCount64() + ServiceStopWaitSeconds * 1000ull;
  for (;;) {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(ServiceStopPollMilliseconds);
  }
}

}  // namespace

void Stage::StopProductService() const {
  // Declared in this order so that the service handle is closed first.
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, ServiceAccess));
  const ServiceHandle service(OpenServiceW(manager.get(), ProductServiceName.c_str(), ServiceAccess));
  if (!service) {
    Report(Message::FailedToFindService);
    return;
  }
  Report(Message::FoundService);
  if (!IsRunning(service.get())) {
    Report(Message::ServiceNotRunning);
    return;
  }
  Report(Message::StoppingService);
  SERVICE_STATUS status{};
  // A refused control is no proof that the service keeps running (it may
  // have stopped meanwhile), so the wait follows all the same.
  if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) Report(Message::FailedToSendStop);
  if (WaitUntilStopped(service.get()))
    Report(Message::ServiceStopped);
  else
    Report(Message::ServiceDidNotStop, static_cast<int>(ServiceStopWaitSeconds));
}

ToolRun RunSystemTool(const std::wstring& toolName, const std::wstring& arguments, DWORD waitMilliseconds) {
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return ToolRun::NotStarted;
  const std::wstring systemFolder(folder, length);
  const std::wstring path = systemFolder + L"\\" + toolName;
  std::wstring commandLine = L"\"" + path + L"\" " + arguments;

  const KernelHandle input = InheritableStandardHandle(STD_INPUT_HANDLE);
  const KernelHandle output = InheritableStandardHandle(STD_OUTPUT_HANDLE);
  const KernelHandle error = InheritableStandardHandle(STD_ERROR_HANDLE);
  // The tool starts in the system folder too, so that no DLL is looked for
  // in whatever folder this run was started from.
  KernelHandle process;
  if (!StartChild(path, commandLine, systemFolder.c_str(), input.get(), output.get(), error.get(), process))
    return ToolRun::NotStarted;
  if (WaitForSingleObject(process.get(), waitMilliseconds) == WAIT_OBJECT_0) return ToolRun::Ended;
  TerminateProcess(process.get(), ERROR_TIMEOUT);
  return ToolRun::DidNotEnd;
}

ServiceFate FindServiceFate(const std::wstring& name) {
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return {ServicePresence::Unknown, GetLastError()};
  const ServiceHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_CHANGE_CONFIG));
  DWORD code = GetLastError();
  if (service) {
    // Every setting SERVICE_NO_CHANGE or NULL: nothing is changed.
    if (ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
      return {ServicePresence::Present, 0};
    code = GetLastError();
  }
  // Only the change is documented to give 1072; the open is taken at its
  // word too, should it ever say so.
  if (code == ERROR_SERVICE_MARKED_FOR_DELETE) return {ServicePresence::MarkedForDeletion, code};
  if (!service && code == ERROR_SERVICE_DOES_NOT_EXIST) return {ServicePresence::Gone, code};
  return {ServicePresence::Unknown, code};
}

bool DeleteProductService() {
  Report(Message::DeletingServiceHeader);
  // The tool reports its own outcome on the shared standard output; the
  // report is written unbuffered, so the header stays ahead of that text.
  // Its words (in the system's language) and its status are not read.
  if (RunSystemTool(L"sc.exe", DeleteServiceArguments) != ToolRun::DidNotEnd) return true;
  Report(Message::ServiceToolDidNotEnd, static_cast<int>(ServiceToolWaitSeconds));
  return false;
}

void ReportServiceFate(bool toolEnded) {
  ServiceFate fate{ServicePresence::Unknown, ERROR_TIMEOUT};
  if (toolEnded) {
    const ULONGLONG deadline = GetTickCount64() + ServiceDeletionWaitMilliseconds;
    fate = FindServiceFate(ProductServiceName);
    while (fate.presence == ServicePresence::MarkedForDeletion && GetTickCount64() < deadline) {
      Sleep(ServiceStopPollMilliseconds);
      fate = FindServiceFate(ProductServiceName);
    }
  }
  // A service that is gone leaves the report as it was.
  if (fate.presence == ServicePresence::Gone) return;
  EndOpenLine();
  switch (fate.presence) {
    case ServicePresence::Gone:
      break;
    case ServicePresence::MarkedForDeletion:
      Report(Message::ServiceGoesAtRestart, ProductServiceName.c_str());
      break;
    case ServicePresence::Present:
      Report(Message::ServiceStayed, ProductServiceName.c_str());
      break;
    case ServicePresence::Unknown:
      Report(Message::ServiceNotChecked, ProductServiceName.c_str(), static_cast<int>(fate.code));
      break;
  }
}

bool IsStillTheListedProcess(HANDLE process, const std::wstring& wanted) {
  std::vector<wchar_t> image(32768);
  DWORD length = static_cast<DWORD>(image.size());
  if (!QueryFullProcessImageNameW(process, 0, image.data(), &length)) return false;
  const std::wstring path(image.data(), length);
  // The whole name, unit by unit, case-sensitively, as the snapshot's.
  return path.substr(path.find_last_of(L'\\') + 1) == wanted;
}

std::vector<ListedProcess> ListProductProcesses(const std::wstring& wanted) {
  // A snapshot that could not be taken makes Process32FirstW fail.
  const SnapshotHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0));
  // Every match is opened first and checked through its own handle, which
  // keeps its process ID from going to another process until it is closed.
  std::vector<ListedProcess> listed;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    // The whole name, unit by unit, case-sensitively.
    if (wanted != entry.szExeFile) continue;
    // SYNCHRONIZE to wait for the end; a process that grants only
    // termination and the query is ended all the same, without the wait.
    constexpr DWORD access = PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION;
    ListedProcess match{KernelHandle(OpenProcess(access | SYNCHRONIZE, FALSE, entry.th32ProcessID)), true,
                        entry.th32ProcessID, ERROR_SUCCESS};
    if (!match.process) {
      match.process.reset(OpenProcess(access, FALSE, entry.th32ProcessID));
      match.waitable = false;
    }
    match.result = match.process ? ERROR_SUCCESS : static_cast<LONG>(GetLastError());
    // A process ID that no longer names a process: it ended after the snapshot.
    if (match.result == ERROR_INVALID_PARAMETER) continue;
    if (match.process && !IsStillTheListedProcess(match.process.get(), wanted))
      continue;
    listed.push_back(std::move(match));
  }
  return listed;
}

bool Stage::TerminateProcessesByName(const std::wstring& wanted, unsigned long long exitDeadline) const {
  std::vector<ListedProcess> matches = ListProductProcesses(wanted);
  // TerminateProcess only starts the end: until the process has gone, its
  // image and the files it holds open cannot be deleted.
  std::vector<HANDLE> ending;
  for (const ListedProcess& match : matches) {
    if (!match.process) continue;
    if (!quiet) {
      wchar_t LineBuffer[LineBufferSize];
      FormatLine(LineBuffer, Message::TerminatingProcess, wanted.c_str());
      Report(L"%ls", LineBuffer);
    }
    if (TerminateProcess(match.process.get(), TerminatedExitCode) && match.waitable)
      ending.push_back(match.process.get());
  }
  for (size_t first = 0; first < ending.size(); first += MAXIMUM_WAIT_OBJECTS) {
    const ULONGLONG now = GetTickCount64();
    if (now >= exitDeadline) break;
    const DWORD count = static_cast<DWORD>(std::min<size_t>(ending.size() - first, MAXIMUM_WAIT_OBJECTS));
    WaitForMultipleObjects(count, ending.data() + first, TRUE, static_cast<DWORD>(exitDeadline - now));
  }
  return true;
}

namespace {

// A service's state as the scan names it.
const wchar_t* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return L"stopped";
    case SERVICE_START_PENDING: return L"starting";
    case SERVICE_STOP_PENDING: return L"stopping";
    case SERVICE_RUNNING: return L"running";
    case SERVICE_CONTINUE_PENDING: return L"continuing";
    case SERVICE_PAUSE_PENDING: return L"pausing";
    case SERVICE_PAUSED: return L"paused";
    default: return L"in an unknown state";
  }
}

// Whether the service manager's own record of the service, its key below
// Services, is there. The manager builds its services from those keys when
// the system starts; one it still holds without its key (a run deleted the
// key of a service marked for deletion) goes at the next restart. Only
// read: the manager says 1072 for such a service to calls that change it,
// and one that changes nothing may still rewrite the key. A key that
// cannot be read counts as there.
bool HasServiceKey(const std::wstring& name) {
  HKEY key = nullptr;
  const LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, (ServicesKeyPath + name).c_str(), 0,
                                    KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
  const KeyHandle owner(result == ERROR_SUCCESS ? key : nullptr);
  return result != ERROR_FILE_NOT_FOUND;
}

}  // namespace

void ScanProductService() {
  // Only what reading needs: the scan changes nothing.
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ServiceHandle service(manager ? OpenServiceW(manager.get(), ProductServiceName.c_str(), SERVICE_QUERY_STATUS)
                                      : nullptr);
  const DWORD error = service ? ERROR_SUCCESS : GetLastError();
  if (error == ERROR_SERVICE_DOES_NOT_EXIST) return;
  if (error == ERROR_SERVICE_MARKED_FOR_DELETE || (service && !HasServiceKey(ProductServiceName))) {
    List(Finding(FindingKind::ServiceRestart, ProductServiceName));
    return;
  }
  if (!service) {
    Finding unread(FindingKind::ServiceUnread, ProductServiceName);
    unread.code = static_cast<long>(error);
    List(unread);
    return;
  }
  SERVICE_STATUS status{};
  Finding found(FindingKind::Service, ProductServiceName);
  found.detail =
      QueryServiceStatus(service.get(), &status) ? StateName(status.dwCurrentState) : L"in an unknown state";
  List(found);
}

void ScanProductProcesses() {
  Report(Message::KillingProcessesHeader);
  for (const wchar_t* name : ProductProcessNames) {
    for (const ListedProcess& listed : ListProductProcesses(name)) {
      Finding found{listed.process ? FindingKind::Process : FindingKind::ProcessUnopened, name};
      found.number = static_cast<unsigned long>(listed.id);
      if (!listed.process) found.code = static_cast<long>(listed.result);
      List(found);
    }
  }
}

bool KillProductProcesses() {
  Report(Message::KillingProcessesHeader);
  const Stage stage;
  // One bound for all the waits, so a process that never ends holds the
  // run for ProcessExitWaitMilliseconds at most.
  const ULONGLONG exitDeadline = GetTickCount64() + ProcessExitWaitMilliseconds;
  for (const wchar_t* name : ProductProcessNames) {
    const std::wstring wanted = name;
    stage.TerminateProcessesByName(wanted, exitDeadline);
  }
  return true;
}
