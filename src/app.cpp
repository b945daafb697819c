#include "app.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <cwchar>

#include "files.h"
#include "privileges.h"
#include "product.h"
#include "registry.h"
#include "report.h"
#include "service.h"

namespace {
constexpr DWORD RunLockPollMilliseconds = 200;
constexpr ULONGLONG RunLockRefusalMilliseconds = 2000;
}  // namespace

void PreventDialogs() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
#if defined(_MSC_VER) || defined(_UCRT)
  _set_abort_behavior(0, _WRITE_ABORT_MSG | _CALL_REPORTFAULT);
#endif
  // The runtime's messages (an abort's among them; msvcrt.dll has no abort
  // behaviour to set) go to standard error instead of a box.
  _set_error_mode(_OUT_TO_STDERR);
}

void ScanOptions() {
  int count = 0;
  LPWSTR* elements = CommandLineToArgvW(GetCommandLineW(), &count);
  if (elements != nullptr) {
    // The first element is examined too: it is only the program name by
    // convention, and a starter may put anything there.
    for (int i = 0; i < count; ++i) {
      if (wcscmp(elements[i], L"-s") == 0)
        QuietFlag = true;
      else if (wcscmp(elements[i], L"-bo") == 0)
        BootstrapperOnlyFlag = true;
    }
  }
  LocalFree(elements);
}

RunTurn TakeRunTurn(DWORD waitMilliseconds, KernelHandle& lock, const wchar_t* lockName) {
  wchar_t windows[MAX_PATH];
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return RunTurn::Unguarded;
  const std::wstring path = std::wstring(windows, length) + L"\\" + lockName;
  const ULONGLONG start = GetTickCount64();
  bool waited = false;
  for (;;) {
    // Not inherited by a child (the service control tool, kestrum.exe
    // under the wrapper), so it ends with the process that took it.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE |
                                  FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      lock.reset(file);
      return waited ? RunTurn::AfterWaiting : RunTurn::Taken;
    }
    const DWORD error = GetLastError();
    const ULONGLONG spent = GetTickCount64() - start;
    // Another run holds it; refused for a moment while the last run's
    // file is being deleted; else this run lacks the rights to make it.
    if (error != ERROR_SHARING_VIOLATION && !(error == ERROR_ACCESS_DENIED && spent < RunLockRefusalMilliseconds))
      return RunTurn::Unguarded;
    if (spent >= waitMilliseconds) return RunTurn::GaveUp;
    waited = waited || error == ERROR_SHARING_VIOLATION;
    Sleep(RunLockPollMilliseconds);
  }
}

namespace {

// The directory the run started in, or an empty string when it cannot be
// read: an unread directory is neither printed nor restored.
std::wstring ReadCurrentDirectory() {
  std::wstring directory(MAX_PATH, L'\0');
  DWORD length = GetCurrentDirectoryW(MAX_PATH, &directory[0]);
  // A directory longer than MAX_PATH is reported as the size it needs.
  while (length >= directory.size()) {
    directory.assign(length, L'\0');
    length = GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), &directory[0]);
  }
  directory.resize(length);
  return directory;
}

void RunNormalSequence() {
  Report(Message::StoppingServiceHeader);
  const Stage serviceStage;
  serviceStage.StopProductService();
  const bool toolEnded = DeleteProductService();
  // SYSTEM and elevated administrators hold these, disabled: debug lets the
  // process stage open product processes of other sessions and users;
  // backup and restore let the file stage's opens (for backup intent) pass
  // a DACL that another user set to shut SYSTEM out.
  EnablePrivileges({SE_BACKUP_NAME, SE_RESTORE_NAME, SE_DEBUG_NAME});
  KillProductProcesses();
  // Only now: a product process that held the service open, or ran it, has
  // ended, and the service it kept goes with it.
  ReportServiceFate(toolEnded);
  Report(Message::DeletingFilesHeader);
  DeleteProgramDataFolder(FirstVendorDataFolder);
  DeleteProgramDataFolder(SecondVendorDataFolder);
  DeleteProgramFilesFolder(ProductProgramFolder);
  DeleteProgramFilesFolder(VendorProgramFolder);
  const RegistryWork registry(NormalRunStages);
  DeleteVendorRegistryKeys();
  DeleteInstallerRegistryEntries();
}

void RunBootstrapperSequence() {
  const RegistryWork registry(BootstrapperRunStages);
  DeleteBootstrapperRegistryEntries();
}

}  // namespace

void RunRemoval(DWORD lockWaitSeconds) {
  const std::wstring savedDirectory = ReadCurrentDirectory();
  if (!savedDirectory.empty()) Report(Message::CurrentDirectory, savedDirectory.c_str());

  KernelHandle lock;
  const RunTurn turn = TakeRunTurn(lockWaitSeconds * 1000, lock);
  if (turn == RunTurn::GaveUp) {
    Report(Message::OtherRunDidNotEnd, static_cast<int>(lockWaitSeconds));
    return;
  }
  if (turn == RunTurn::AfterWaiting) Report(Message::WaitedForOtherRun);

  if (BootstrapperOnlyFlag)
    RunBootstrapperSequence();
  else
    RunNormalSequence();

  if (!savedDirectory.empty()) SetCurrentDirectoryW(savedDirectory.c_str());
}

namespace {

// The form kestrum-scan writes: its text, or one JSON document.
bool JsonForm = false;

bool IsUsageSwitch(const wchar_t* element) {
  for (const wchar_t* asking : {L"/?", L"-?", L"-h", L"--help"})
    if (wcscmp(element, asking) == 0) return true;
  return false;
}

}  // namespace

bool ScanCommandLine() {
  ScanOptions();
  int count = 0;
  LPWSTR* elements = CommandLineToArgvW(GetCommandLineW(), &count);
  const wchar_t* unknown = nullptr;
  bool usage = false;
  // The first element is the program's name; the run's option scan has
  // read it as the run does.
  for (int i = 1; elements != nullptr && i < count; ++i) {
    if (IsUsageSwitch(elements[i]))
      usage = true;
    else if (wcscmp(elements[i], L"--json") == 0)
      JsonForm = true;
    else if (wcscmp(elements[i], L"-s") != 0 && wcscmp(elements[i], L"-bo") != 0 && unknown == nullptr)
      unknown = elements[i];
  }
  const std::wstring refused = unknown != nullptr ? Printable(unknown) : std::wstring();
  LocalFree(elements);
  if (usage)
    WriteReport(Message::ScanUsage, ProgramVersion(), ProgramBuild());
  else if (unknown != nullptr)
    WriteError(Message::ScanUnknownSwitch, refused.c_str());
  else if (JsonForm && QuietFlag)
    WriteError(Message::ScanQuietJson);
  else
    return true;
  return false;
}

int RunScan() {
  ScanDocument document;
  if (JsonForm) ReportDocument = &document;
  Report(Message::ScanTitle, ProgramVersion(), ProgramBuild());
  if (BootstrapperOnlyFlag) {
    const RegistryWork registry(BootstrapperRunStages, Hives(), RegistryPurpose::Scan);
    DeleteBootstrapperRegistryEntries();
  } else {
    Report(Message::StoppingServiceHeader);
    ScanProductService();
    Report(Message::DeletingServiceHeader);
    // As the run has them, so that it sees what the run reaches.
    EnablePrivileges({SE_BACKUP_NAME, SE_RESTORE_NAME, SE_DEBUG_NAME});
    ScanProductProcesses();
    Report(Message::DeletingFilesHeader);
    ScanProgramDataFolder(FirstVendorDataFolder);
    ScanProgramDataFolder(SecondVendorDataFolder);
    ScanProgramFilesFolder(ProductProgramFolder);
    ScanProgramFilesFolder(VendorProgramFolder);
    const RegistryWork registry(NormalRunStages, Hives(), RegistryPurpose::Scan);
    DeleteVendorRegistryKeys();
    DeleteInstallerRegistryEntries();
  }
  if (Found.AnythingLeft() || Found.sharedKeys != 0)
    Report(Message::ScanSummary, Found.services, Found.processes, Found.folders, Found.keys, Found.values,
           Found.sharedKeys, Found.unsearched);
  else if (Found.restarts != 0)
    Report(Message::ScanRestartOnly, ProductServiceName.c_str());
  else
    Report(Message::ScanNothing);
  const int status = Found.AnythingLeft() ? 1 : Found.restarts != 0 ? ERROR_SUCCESS_REBOOT_REQUIRED : 0;
  if (JsonForm) {
    ReportDocument = nullptr;
    WriteOutput(document.Json(status));
  }
  return status;
}
