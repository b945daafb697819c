// The console report: the quiet rule, the stage object, the formatting
// buffers and every text the program prints.
#pragma once

#include <windows.h>

#include <string>

// Process-wide flags, set only by the option scan and never cleared.
extern bool QuietFlag;
extern bool BootstrapperOnlyFlag;

// Every text of the report, declared once, in the order of a normal run.
// "%ls" is a wide string under both MinGW and MSVC; "%d" a 32-bit int.
namespace Message {
constexpr wchar_t CurrentDirectory[] = L"Current Directory: %ls\n";
constexpr wchar_t StoppingServiceHeader[] = L"\nStopping Service\n----------------\n";
constexpr wchar_t FailedToFindService[] = L"Failed to find service.\n";
constexpr wchar_t FoundService[] = L"Found service.\n";
constexpr wchar_t StoppingService[] = L"Stopping service.\n";
constexpr wchar_t FailedToSendStop[] = L"Failed to send stop service command to service.\n";
constexpr wchar_t ServiceStopped[] = L"Service stopped.\n";
constexpr wchar_t ServiceDidNotStop[] = L"Service did not stop within %d seconds; going on.\n";
constexpr wchar_t ServiceNotRunning[] = L"Service is not running.\n";
constexpr wchar_t DeletingServiceHeader[] = L"\nDeleting Service\n----------------\n";
constexpr wchar_t KillingProcessesHeader[] = L"\nKilling Processes\n-----------------\n";
constexpr wchar_t TerminatingProcess[] = L"Terminating process: %ls";
constexpr wchar_t DeletingFilesHeader[] = L"\nDeleting Files\n--------------\n";
constexpr wchar_t DeletingProgramDataFiles[] = L"Deleting '%ls' ProgramData Files\n";
constexpr wchar_t FailedProgramDataDirectory[] = L"FAILED to obtain '%ls' ProgramData directory\n\n";
constexpr wchar_t DeletingProgramFilesFiles[] = L"Deleting '%ls' Program Files Files\n";
constexpr wchar_t FailedProgramFilesDirectory[] = L"FAILED to obtain '%ls' Program Files directory\n\n";
constexpr wchar_t FailedProgramFilesFallback[] = L"FAILED to obtain ProgramFiles directory\n\n";
constexpr wchar_t TargetFolder[] = L"(%ls)\n\n";
constexpr wchar_t DeletingRegistryHeader[] = L"\nDeleting Registry Entries\n-------------------------\n";
constexpr wchar_t DeletingFirstVendorEntries[] = L"Deleting 'Velmoran' Registry Entries\n";
constexpr wchar_t DeletingSecondVendorEntries[] = L"Deleting 'Quillfen' Registry Entries\n";
constexpr wchar_t DeletingKey[] = L"Deleting %ls..";
constexpr wchar_t Success[] = L"SUCCESS\n";
constexpr wchar_t Failed[] = L"FAILED: %d\n";
constexpr wchar_t DeletingInstallerHeader[] =
    L"\nDeleting Installer Registry Entries\n-----------------------------------\n";
constexpr wchar_t DeletingBootstrapperHeader[] =
    L"\nDeleting Bootstrapper Registry Entries\n--------------------------------------\n";
}  // namespace Message

constexpr size_t LineBufferSize = 255;
constexpr size_t PatternBufferSize = 1024;

// Writes one piece of the report, whatever the quiet flag says. The text
// goes to the standard output handle as UTF-8 at once, unbuffered, so that
// it keeps its place among the lines of any child that shares the handle.
void WriteReport(const wchar_t* format, ...);

// Writes one piece of the report unless the process-wide quiet flag is set;
// for code that is not a working routine of a stage object.
void Report(const wchar_t* format, ...);

// Format into the two fixed buffers; the results are not needed by callers.
void FormatLine(wchar_t (&LineBuffer)[LineBufferSize], const wchar_t* format, ...);
void FormatPattern(wchar_t (&PatternBuffer)[PatternBufferSize], const wchar_t* format, ...);

// The stage object: a copy of the quiet flag, taken when a stage starts, and
// the working routines that print under it.
class Stage {
 public:
  Stage() : quiet(QuietFlag) {}
  explicit Stage(bool quiet) : quiet(quiet) {}

  // Writes one piece of the report unless this stage is quiet.
  void Report(const wchar_t* format, ...) const;

  // Stops StartupService and waits, within a bound, until it has stopped.
  void StopProductService() const;

  // Terminates every process whose image name is exactly wanted; true.
  bool TerminateProcessesByName(const std::wstring& wanted) const;

  bool quiet;
};
