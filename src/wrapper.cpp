#include "wrapper.h"

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app.h"
#include "child.h"
#include "files.h"
#include "handle.h"
#include "registry_trust.h"

namespace {

constexpr wchar_t KestrumName[] = L"kestrum.exe";
constexpr wchar_t WrapperLockName[] = L"kestrum-run.lock";
constexpr wchar_t ReportFolderName[] = L"kestrum";
constexpr wchar_t ReportFileName[] = L"kestrum-report.txt";
constexpr wchar_t LogsFolderName[] = L"Logs";
constexpr wchar_t LogFolderName[] = L"kestrum";
constexpr wchar_t LogFileName[] = L"kestrum-run.log";
constexpr wchar_t OldLogFileName[] = L"kestrum-run.lo_";
// The log folder, when it has to be made: SYSTEM and the administrators
// only, for it and all within, nothing inherited from the Logs folder.
constexpr wchar_t LogFolderSecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr DWORD PipeBufferSize = 64 * 1024;
constexpr DWORD PipePollMilliseconds = 50;
// A log briefly held by another wrapper's last append (one that gave up
// waiting for its turn) is waited for this long.
constexpr ULONGLONG LogBusyMilliseconds = 2000;
constexpr DWORD LogBusyPollMilliseconds = 100;

// Kestrum's own texts that the verdict reads.
constexpr char StayedText[] = "STAYED: ";
constexpr char BaseFailedText[] = "FAILED to ";
constexpr char DeletionFailedText[] = "..FAILED: ";
constexpr char GaveUpText[] = "FAILED: another ";
constexpr char RestartText[] = "RESTART: ";

using LocalMemory = UniqueHandle<HLOCAL, LocalFree>;
using Module = UniqueHandle<HMODULE, FreeLibrary>;

// CMTrace's entry types.
enum class Severity { Information = 1, Warning = 2, Error = 3 };

bool Holds(std::string_view line, const char* text) { return line.find(text) != std::string_view::npos; }

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(std::max(size, 0), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
  return bytes;
}

void WriteStandard(DWORD which, const std::string& text) {
  const HANDLE handle = GetStdHandle(which);
  DWORD written = 0;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::wstring Code(DWORD code) { return std::to_wstring(code); }

// The folder of this program's own file: kestrum.exe is looked for there
// and nowhere else (no search path, no current directory).
std::wstring OwnFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring MachineName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &size) ? std::wstring(name, size) : L"(unknown)";
}

// The file version in a program's version resource, read as data (nothing
// of it runs); "(no version)" without one.
std::wstring FileVersion(const std::wstring& path) {
  const Module owned(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  const HMODULE image = owned.get();
  if (image == nullptr) return L"(no version)";
  std::wstring version = L"(no version)";
  const HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), RT_VERSION);
  const HGLOBAL loaded = found != nullptr ? LoadResource(image, found) : nullptr;
  const auto* data = static_cast<const BYTE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
  const DWORD size = data != nullptr ? SizeofResource(image, found) : 0;
  // The fixed part follows the block's header and key, 32-bit aligned.
  for (DWORD at = 0; at + sizeof(VS_FIXEDFILEINFO) <= size; at += 4) {
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, data + at, sizeof fixed);
    if (fixed.dwSignature != 0xFEEF04BD) continue;
    version = Code(HIWORD(fixed.dwFileVersionMS)) + L"." + Code(LOWORD(fixed.dwFileVersionMS)) + L"." +
              Code(HIWORD(fixed.dwFileVersionLS)) + L"." + Code(LOWORD(fixed.dwFileVersionLS));
    break;
  }
  return version;
}

// An element as CommandLineToArgvW reads it back: quoted when it is empty
// or holds a blank, tab or quote; backslashes doubled only before a quote.
std::wstring Quoted(const std::wstring& element) {
  if (!element.empty() && element.find_first_of(L" \t\n\v\"") == std::wstring::npos) return element;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (const wchar_t unit : element) {
    if (unit == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(unit == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    quoted += unit;
    backslashes = 0;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

struct Options {
  std::wstring given;   // every element after the program name, quoted back
  std::wstring passed;  // the same without "-s"
  bool quietDropped = false;
};

// "-s" is kestrum's quiet run, which writes no line of its own: nothing
// would be left to judge, and every run would give 0. It is dropped, and
// the run reports and is judged like any other; nothing else changes.
Options ReadOptions() {
  Options options;
  int count = 0;
  LPWSTR* elements = CommandLineToArgvW(GetCommandLineW(), &count);
  const LocalMemory owned(elements);
  for (int at = 1; elements != nullptr && at < count; ++at) {
    const std::wstring element = L" " + Quoted(elements[at]);
    options.given += element;
    if (std::wcscmp(elements[at], L"-s") == 0)
      options.quietDropped = true;
    else
      options.passed += element;
  }
  return options;
}

// The owner of the object open as object is SYSTEM, the administrators,
// TrustedInstaller or this run's own account: nobody else made it.
bool OwnedByAdministration(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS)
    return false;
  const LocalMemory owned(descriptor);
  return IsAdministration(owner);
}

// The folder at path, made when missing (with security, or null for what
// its parent passes on), opened as itself, never through a link: a plain
// folder that the administration owns, or an empty owner and the reason.
KernelHandle OpenOwnFolder(const std::wstring& path, SECURITY_ATTRIBUTES* security, DWORD& error) {
  if (!CreateDirectoryW(path.c_str(), security) && GetLastError() != ERROR_ALREADY_EXISTS) {
    error = GetLastError();
    return KernelHandle();
  }
  const HANDLE opened = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | READ_CONTROL | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return KernelHandle();
  }
  KernelHandle folder(opened);
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(opened, &information) ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
          FILE_ATTRIBUTE_DIRECTORY) {
    error = ERROR_DIRECTORY;
    return KernelHandle();
  }
  if (!OwnedByAdministration(opened)) {
    error = ERROR_INVALID_OWNER;
    return KernelHandle();
  }
  return folder;
}

// The file name in the folder open as folder, made when missing, opened
// relative to that handle as itself: a plain file with no other name (a
// hard link would let a write land in a file elsewhere), or an empty owner
// and the reason. Nothing is written before the checks.
KernelHandle OpenOwnFile(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share, DWORD& error) {
  KernelHandle file;
  const NTSTATUS status =
      CreateBeneath(folder, name, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, share, FILE_OPEN_IF,
                    FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, file);
  if (!NT_SUCCESS(status)) {
    error = RtlNtStatusToDosError(status);
    return KernelHandle();
  }
  const HANDLE opened = file.get();
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(opened, &information) ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      information.nNumberOfLinks != 1) {
    error = ERROR_CANT_ACCESS_FILE;
    return KernelHandle();
  }
  return file;
}

bool WriteAll(HANDLE file, const char* bytes, size_t size) {
  DWORD written = 0;
  return WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

bool RewindAndCut(HANDLE file) {
  LARGE_INTEGER start{};
  return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// The system's Windows folder, from the system, never from the environment.
std::wstring WindowsFolder() {
  wchar_t windows[MAX_PATH];
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(windows, length);
}

// A text as one CMTrace entry's message: its end marker could cut the
// entry short, and a carriage return would start a line of its own in a
// text editor; each is written as the report writes such characters.
std::string LogMessage(std::string_view text) {
  std::string message;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\r')
      message += "<U+000D>";
    else if (text[at] == '>' && message.size() >= 6 && message.compare(message.size() - 6, 6, "]LOG]!") == 0)
      message += "<U+003E>";
    else
      message += text[at];
  }
  return message;
}

// One entry in CMTrace's format, one line, the time in UTC (a bias of 0).
std::string LogEntry(std::string_view text, const char* component, Severity severity, const SYSTEMTIME& at) {
  char fields[200];
  std::snprintf(fields, sizeof fields,
                "]LOG]!><time=\"%02u:%02u:%02u.%03u+000\" date=\"%02u-%02u-%04u\" component=\"%s\" context=\"\" "
                "type=\"%d\" thread=\"%lu\" file=\"\">\r\n",
                at.wHour, at.wMinute, at.wSecond, at.wMilliseconds, at.wMonth, at.wDay, at.wYear, component,
                static_cast<int>(severity), GetCurrentThreadId());
  return "<![LOG[" + LogMessage(text) + fields;
}

SYSTEMTIME Now() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  return now;
}

// The log, %windir%\Logs\kestrum\kestrum-run.log: entries are gathered and
// appended a few at a time, each append opening and closing the file, so
// that a wrapper that gave up its wait can still log beside a running one.
// Its failures never change the status; they are named on standard error.
class RunLog {
 public:
  void Add(std::string_view text, Severity severity, const SYSTEMTIME& at = Now(),
           const char* component = "kestrum-run") {
    entries_ += LogEntry(text, component, severity, at);
  }
  void Add(const std::wstring& text, Severity severity, const SYSTEMTIME& at = Now()) { Add(Utf8(text), severity, at); }

  // Appends what was gathered. The first append of a run rotates a log
  // that has reached its bound, so that a run is never split between two
  // files.
  void Append() {
    DWORD error = 0;
    if (!AppendTo(error))
      WriteStandard(STD_ERROR_HANDLE,
                    "kestrum-run: the log " + Utf8(Path()) + " cannot be written: " + std::to_string(error) + "\n");
    entries_.clear();
    appended_ = true;
  }

 private:
  static std::wstring Folder() { return WindowsFolder() + L"\\" + LogsFolderName + L"\\" + LogFolderName; }
  static std::wstring Path() { return Folder() + L"\\" + LogFileName; }

  bool AppendTo(DWORD& error) {
    const std::wstring windows = WindowsFolder();
    if (windows.empty()) return error = ERROR_PATH_NOT_FOUND, false;
    // Windows has the Logs folder; where it is missing, it is made as the
    // Windows folder passes its rights on.
    CreateDirectoryW((windows + L"\\" + LogsFolderName).c_str(), nullptr);
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(LogFolderSecurity, SDDL_REVISION_1,
                                                              &security.lpSecurityDescriptor, nullptr))
      return error = GetLastError(), false;
    const LocalMemory descriptor(security.lpSecurityDescriptor);
    const KernelHandle folder = OpenOwnFolder(Folder(), &security, error);
    if (!folder) return false;
    KernelHandle file = OpenLogFile(folder.get(), error);
    if (!file) return false;
    LARGE_INTEGER size{};
    if (!appended_ && GetFileSizeEx(file.get(), &size) && static_cast<ULONGLONG>(size.QuadPart) >= RunLogBound) {
      // A rotation that fails empties the log instead: it stays bounded.
      if (RenameToOldLog(folder.get(), file.get()))
        file = OpenLogFile(folder.get(), error);
      else
        RewindAndCut(file.get());
      if (!file) return false;
    }
    LARGE_INTEGER end{};
    if (!SetFilePointerEx(file.get(), end, nullptr, FILE_END) ||
        !WriteAll(file.get(), entries_.data(), entries_.size()))
      return error = GetLastError(), false;
    return true;
  }

  static KernelHandle OpenLogFile(HANDLE folder, DWORD& error) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
      KernelHandle file =
          OpenOwnFile(folder, LogFileName, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, error);
      if (file || error != ERROR_SHARING_VIOLATION || GetTickCount64() - start >= LogBusyMilliseconds) return file;
      Sleep(LogBusyPollMilliseconds);
    }
  }

  // Renamed through its handle, relative to its folder's handle, over
  // the older one: no path is followed.
  static bool RenameToOldLog(HANDLE folder, HANDLE file) {
    const std::wstring name = OldLogFileName;
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = folder;
    rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, name.data(), rename->FileNameLength);
    IO_STATUS_BLOCK io;
    return NT_SUCCESS(
        NtSetInformationFile(file, &io, rename, static_cast<ULONG>(buffer.size()), FileRenameInformation));
  }

  std::string entries_;
  bool appended_ = false;
};

struct Verdict {
  DWORD status;
  const char* name;
  ReportCounts counts;
};

const char* NameOfStatus(DWORD status) {
  switch (status) {
    case WrapperStatus::Removed:
      return "REMOVED";
    case WrapperStatus::RestartPending:
      return "RESTART";
    case WrapperStatus::Left:
      return "LEFT";
    default:
      return "BUSY";
  }
}

std::string SummaryLine(const Verdict& verdict) {
  return std::string("kestrum-run: ") + verdict.name + ", status " + std::to_string(verdict.status) + ", stayed " +
         std::to_string(verdict.counts.stayed) + ", failed " +
         std::to_string(verdict.counts.failed + verdict.counts.gaveUp) + ", restart " +
         std::to_string(verdict.counts.restart);
}

// The run's last entry and its one line on standard output.
DWORD Finish(RunLog& log, const Verdict& verdict) {
  const std::string summary = SummaryLine(verdict);
  log.Add(summary, verdict.status == WrapperStatus::Removed          ? Severity::Information
                   : verdict.status == WrapperStatus::RestartPending ? Severity::Warning
                                                                     : Severity::Error);
  log.Append();
  WriteStandard(STD_OUTPUT_HANDLE, summary + "\n");
  return verdict.status;
}

// Why a run was not made or not judged, with its status and verdict.
struct Refusal {
  DWORD status;
  const char* name;
  std::wstring why;
};
using Step = std::optional<Refusal>;

// A run that did not get as far as a judged report: why, on standard
// error and in the log, then the verdict.
DWORD Refuse(RunLog& log, const Refusal& refusal) {
  WriteStandard(STD_ERROR_HANDLE, "kestrum-run: " + Utf8(refusal.why) + "\n");
  log.Add(refusal.why, Severity::Error);
  return Finish(log, Verdict{refusal.status, refusal.name, {}});
}

// The report as kestrum.exe writes it, through the pipe into the file and
// into report. The pipe is never waited on: the service control tool
// that kestrum starts inherits it and may outlive kestrum, so the reading
// ends once kestrum has ended and the pipe holds nothing more.
bool CollectReport(HANDLE pipe, HANDLE process, HANDLE file, std::string& report) {
  std::vector<char> buffer(PipeBufferSize);
  bool written = true;
  for (;;) {
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    DWORD available = 0;
    if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      DWORD read = 0;
      if (ReadFile(pipe, buffer.data(), std::min(available, PipeBufferSize), &read, nullptr)) {
        report.append(buffer.data(), read);
        written = WriteAll(file, buffer.data(), read) && written;
      }
      continue;
    }
    if (ended) return written;
    WaitForSingleObject(process, PipePollMilliseconds);
  }
}

bool ReadBack(HANDLE file, std::string& text) {
  LARGE_INTEGER size{}, start{};
  if (!GetFileSizeEx(file, &size) || size.QuadPart > (1 << 30) || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
    return false;
  text.assign(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  return text.empty() ||
         (ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &read, nullptr) && read == text.size());
}

// Each line of the report as an entry of its own, blank lines left out.
void LogReport(RunLog& log, const std::string& report) {
  for (size_t start = 0; start < report.size();) {
    const size_t end = std::min(report.find('\n', start), report.size());
    std::string_view line(report.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    if (line.empty()) continue;
    const ReportCounts counts = CountReportLines(line);
    const Severity severity = counts.stayed + counts.failed + counts.gaveUp > 0 ? Severity::Error
                              : counts.restart > 0                              ? Severity::Warning
                                                                                : Severity::Information;
    log.Add(line, severity, Now(), "kestrum");
  }
}

// One wrapper at a time: the report file is one for the machine.
Step TakeWrapperTurn(KernelHandle& turn, RunLog& log) {
  switch (TakeRunTurn(RunLockWaitSeconds * 1000, turn, WrapperLockName)) {
    case RunTurn::GaveUp:
      return Refusal{
          WrapperStatus::Busy, "BUSY",
          L"another kestrum-run did not end within " + Code(RunLockWaitSeconds) + L" seconds; kestrum.exe not started"};
    case RunTurn::AfterWaiting:
      log.Add("Another kestrum-run was under way; this one waited for it to end.", Severity::Warning);
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

// The report file, emptied. Only administrators can make anything in
// Program Files, and a folder made there lets ordinary users only read:
// nobody else can have put a file, a folder or a link where it goes.
Step OpenReport(KernelHandle& report, std::wstring& path) {
  wchar_t programs[MAX_PATH];
  if (!ReadNativeProgramFilesFolder(programs))
    return Refusal{WrapperStatus::NotWritten, "NOT RUN",
                   L"the Program Files folder cannot be read; kestrum.exe not started"};
  const std::wstring folderPath = std::wstring(programs) + L"\\" + ReportFolderName;
  path = folderPath + L"\\" + ReportFileName;
  DWORD error = 0;
  const KernelHandle folder = OpenOwnFolder(folderPath, nullptr, error);
  if (folder) report = OpenOwnFile(folder.get(), ReportFileName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, error);
  if (report && !RewindAndCut(report.get())) error = GetLastError();
  if (report && error == 0) return std::nullopt;
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
    return Refusal{WrapperStatus::Busy, "BUSY",
                   L"the report " + path + L" is held by another process; kestrum.exe not started"};
  return Refusal{WrapperStatus::NotWritten, "NOT RUN",
                 L"the report " + path + L" cannot be made or opened: " + Code(error) + L"; kestrum.exe not started"};
}

// kestrum.exe with options after its quoted path, its standard output the
// writing end of pipe, its standard error this process's.
Step StartKestrum(const std::wstring& kestrum, const std::wstring& options, KernelHandle& pipe, KernelHandle& process) {
  HANDLE pipeRead = nullptr, pipeWrite = nullptr;
  if (!CreatePipe(&pipeRead, &pipeWrite, nullptr, PipeBufferSize))
    return Refusal{WrapperStatus::KestrumNotStarted, "NOT RUN",
                   L"kestrum.exe could not be started: " + Code(GetLastError())};
  pipe.reset(pipeRead);
  // Closed when kestrum has its copy: then kestrum (and its children) hold
  // the only writing ends.
  const KernelHandle childOutput(pipeWrite);
  SetHandleInformation(pipeWrite, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  const KernelHandle childError = InheritableStandardHandle(STD_ERROR_HANDLE);
  if (StartChild(kestrum, L"\"" + kestrum + L"\"" + options, nullptr, nullptr, pipeWrite, childError.get(), process))
    return std::nullopt;
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
    return Refusal{WrapperStatus::KestrumMissing, "NOT RUN",
                   L"kestrum.exe not found beside kestrum-run.exe: " + kestrum};
  return Refusal{WrapperStatus::KestrumNotStarted, "NOT RUN", L"kestrum.exe could not be started: " + Code(error)};
}

// The verdict on a run that kestrum.exe made: its crash status passed on,
// a report that is not whole or not there left unjudged, else the report's.
DWORD JudgeRun(RunLog& log, HANDLE process, HANDLE report, const std::string& piped, bool written,
               const std::wstring& reportPath) {
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process, &exitCode)) exitCode = GetLastError();
  std::string text;
  const bool readBack = written && ReadBack(report, text) && text == piped;
  LogReport(log, readBack ? text : piped);
  if (exitCode != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", exitCode);
    WriteStandard(STD_ERROR_HANDLE, std::string("kestrum-run: kestrum.exe ended with ") + hex + "\n");
    log.Add(std::string("kestrum.exe ended with ") + hex + "; its report may be cut short", Severity::Error);
    return Finish(log, Verdict{exitCode, "CRASHED", CountReportLines(piped)});
  }
  if (!readBack)
    return Refuse(log, {WrapperStatus::Unjudged, "UNJUDGED",
                        L"the report " + reportPath + L" could not be written whole or read back; nothing judged"});
  // kestrum always writes its first line: a run that wrote nothing is no
  // run to judge.
  if (text.empty())
    return Refuse(log, {WrapperStatus::Unjudged, "UNJUDGED", L"kestrum.exe wrote no report; nothing judged"});
  const ReportCounts counts = CountReportLines(text);
  const DWORD status = StatusOfReport(counts);
  return Finish(log, Verdict{status, NameOfStatus(status), counts});
}

}  // namespace

ReportCounts CountReportLines(std::string_view report) {
  ReportCounts counts;
  for (size_t start = 0; start < report.size();) {
    const size_t end = std::min(report.find('\n', start), report.size());
    const std::string_view line = report.substr(start, end - start);
    start = end + 1;
    counts.stayed += Holds(line, StayedText);
    counts.failed += Holds(line, BaseFailedText) || Holds(line, DeletionFailedText);
    counts.gaveUp += Holds(line, GaveUpText);
    counts.restart += Holds(line, RestartText);
  }
  return counts;
}

DWORD StatusOfReport(const ReportCounts& counts) {
  if (counts.stayed + counts.failed > 0) return WrapperStatus::Left;
  if (counts.gaveUp > 0) return WrapperStatus::Busy;
  if (counts.restart > 0) return WrapperStatus::RestartPending;
  return WrapperStatus::Removed;
}

DWORD RunWrapper() {
  const SYSTEMTIME started = Now();
  const Options options = ReadOptions();
  const std::wstring ownFolder = OwnFolder();
  const std::wstring kestrum = ownFolder + L"\\" + KestrumName;
  RunLog log;
  log.Add(L"Started on " + MachineName() + L": " + kestrum + L" " + FileVersion(kestrum) + L", options:" +
              (options.given.empty() ? std::wstring(L" (none)") : options.given),
          Severity::Information, started);
  if (options.quietDropped) {
    const std::wstring dropped = L"-s dropped: kestrum-run needs kestrum's report to judge the run";
    WriteStandard(STD_ERROR_HANDLE, "kestrum-run: " + Utf8(dropped) + "\n");
    log.Add(dropped, Severity::Warning, started);
  }
  KernelHandle turn;
  if (const Step refused = TakeWrapperTurn(turn, log)) return Refuse(log, *refused);
  log.Append();

  KernelHandle report;
  std::wstring reportPath;
  if (const Step refused = OpenReport(report, reportPath)) return Refuse(log, *refused);
  // Without its own folder's name, a path would be looked up from the
  // current drive's root.
  if (ownFolder.empty())
    return Refuse(log, {WrapperStatus::KestrumNotStarted, "NOT RUN",
                        L"kestrum-run.exe's own folder cannot be read; kestrum.exe not started"});
  KernelHandle pipe, process;
  if (const Step refused = StartKestrum(kestrum, options.passed, pipe, process)) return Refuse(log, *refused);
  std::string piped;
  const bool written = CollectReport(pipe.get(), process.get(), report.get(), piped);
  return JudgeRun(log, process.get(), report.get(), piped, written, reportPath);
}
