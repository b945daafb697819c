// The console report: the quiet rule, the stage object, the formatting
// buffers and every text the program prints.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Process-wide flags, set only by the option scan and never cleared.
extern bool QuietFlag;
extern bool BootstrapperOnlyFlag;

// Every text of the report, declared once, in the order of a normal run.
// "%ls" is a wide string under both MinGW and MSVC; "%d" a 32-bit int.
namespace Message {
constexpr wchar_t CurrentDirectory[] = L"Current Directory: %ls\n";
// Another run held the machine's run lock when this one started.
constexpr wchar_t WaitedForOtherRun[] = L"Another kestrum run was under way; this run waited for it to end.\n";
constexpr wchar_t OtherRunDidNotEnd[] =
    L"FAILED: another kestrum run did not end within %d seconds; this run did nothing.\n";
constexpr wchar_t StoppingServiceHeader[] = L"\nStopping Service\n----------------\n";
constexpr wchar_t FailedToFindService[] = L"Failed to find service.\n";
constexpr wchar_t FoundService[] = L"Found service.\n";
constexpr wchar_t StoppingService[] = L"Stopping service.\n";
constexpr wchar_t FailedToSendStop[] = L"Failed to send stop service command to service.\n";
constexpr wchar_t ServiceStopped[] = L"Service stopped.\n";
constexpr wchar_t ServiceDidNotStop[] = L"Service did not stop within %d seconds; going on.\n";
constexpr wchar_t ServiceNotRunning[] = L"Service is not running.\n";
constexpr wchar_t DeletingServiceHeader[] = L"\nDeleting Service\n----------------\n";
constexpr wchar_t ServiceToolDidNotEnd[] = L"Service control tool did not end within %d seconds; going on.\n";
// After the tool, from the service manager's codes: nothing when the service
// is gone. The deployment wrapper counts the STAYED lines as something left
// and a RESTART line as done at the next restart.
constexpr wchar_t ServiceStayed[] = L"STAYED: the service %ls\n";
constexpr wchar_t ServiceNotChecked[] = L"STAYED: the service %ls, unless it went; it could not be checked: %d\n";
constexpr wchar_t ServiceGoesAtRestart[] =
    L"RESTART: the service %ls is marked for deletion and goes at the next restart at the latest\n";
constexpr wchar_t KillingProcessesHeader[] = L"\nKilling Processes\n-----------------\n";
constexpr wchar_t TerminatingProcess[] = L"Terminating process: %ls";
constexpr wchar_t DeletingFilesHeader[] = L"\nDeleting Files\n--------------\n";
constexpr wchar_t DeletingProgramDataFiles[] = L"Deleting '%ls' ProgramData Files\n";
constexpr wchar_t FailedProgramDataDirectory[] = L"FAILED to obtain '%ls' ProgramData directory\n\n";
constexpr wchar_t DeletingProgramFilesFiles[] = L"Deleting '%ls' Program Files Files\n";
constexpr wchar_t FailedProgramFilesDirectory[] = L"FAILED to obtain '%ls' Program Files directory\n\n";
constexpr wchar_t FailedProgramFilesFallback[] = L"FAILED to obtain ProgramFiles directory\n\n";
constexpr wchar_t TargetFolder[] = L"(%ls)\n";
// After the deletion, only when the target folder is still there: the
// entries in it that were found and could not be deleted (a folder that
// could not be entered counts as one).
constexpr wchar_t FolderStayed[] = L"STAYED: the folder and %d entries in it\n";
constexpr wchar_t FolderStageEnd[] = L"\n";
constexpr wchar_t DeletingRegistryHeader[] = L"\nDeleting Registry Entries\n-------------------------\n";
constexpr wchar_t DeletingFirstVendorEntries[] = L"Deleting 'Velmoran' Registry Entries\n";
constexpr wchar_t DeletingSecondVendorEntries[] = L"Deleting 'Quillfen' Registry Entries\n";
constexpr wchar_t DeletingKey[] = L"Deleting %ls..";
constexpr wchar_t Success[] = L"SUCCESS\n";
constexpr wchar_t Failed[] = L"FAILED: %d\n";
// A key that holds the product's values beside other values is shared: the
// value-name sweeps delete only the product's values, each with its own
// result; the value-data sweep deletes nothing of it and says so.
constexpr wchar_t DeletingValue[] = L"Deleting value '%ls' of %ls..";
constexpr wchar_t LeavingSharedKey[] = L"Leaving shared key %ls\n";
constexpr wchar_t DeletingInstallerHeader[] =
    L"\nDeleting Installer Registry Entries\n-----------------------------------\n";
// Sub-headers of the installer and bootstrapper passes: one text per hive
// and pass number, and one for its check pass.
constexpr wchar_t CurrentUserPass1[] = L"\n--- Deleting HKEY_CURRENT_USER 1 ---\n";
constexpr wchar_t CurrentUserPass1Check[] = L"\n--- Deleting HKEY_CURRENT_USER 1 Check ---\n";
constexpr wchar_t CurrentUserPass2[] = L"\n--- Deleting HKEY_CURRENT_USER 2 ---\n";
constexpr wchar_t CurrentUserPass2Check[] = L"\n--- Deleting HKEY_CURRENT_USER 2 Check ---\n";
constexpr wchar_t ClassesRootPass1[] = L"\n--- Deleting HKEY_CLASSES_ROOT 1 ---\n";
constexpr wchar_t ClassesRootPass1Check[] = L"\n--- Deleting HKEY_CLASSES_ROOT 1 Check ---\n";
constexpr wchar_t LocalMachinePass1[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 1 ---\n";
constexpr wchar_t LocalMachinePass1Check[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 1 Check ---\n";
constexpr wchar_t LocalMachinePass2[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 2 ---\n";
constexpr wchar_t LocalMachinePass2Check[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 2 Check ---\n";
constexpr wchar_t LocalMachinePass3[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 3 ---\n";
constexpr wchar_t LocalMachinePass3Check[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 3 Check ---\n";
constexpr wchar_t LocalMachinePass4[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 4 ---\n";
constexpr wchar_t LocalMachinePass4Check[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 4 Check ---\n";
constexpr wchar_t LocalMachinePass5[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 5 ---\n";
constexpr wchar_t LocalMachinePass5Check[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 5 Check ---\n";
constexpr wchar_t LocalMachinePass6[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 6 ---\n";
constexpr wchar_t LocalMachinePass6Check[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 6 Check ---\n";
constexpr wchar_t LocalMachinePass7[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 7 ---\n";
constexpr wchar_t LocalMachinePass7Check[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 7 Check ---\n";
constexpr wchar_t LocalMachinePass8[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 8 ---\n";
constexpr wchar_t LocalMachinePass8Check[] = L"\n--- Deleting HKEY_LOCAL_MACHINE 8 Check ---\n";
// The HKEY_CURRENT_USER passes sweep every other user's hive as well; one
// that cannot be opened or loaded is named once, by its user's SID.
constexpr wchar_t FailedToOpenUserHive[] = L"FAILED to open the registry of user %ls: %d\n";
constexpr wchar_t NoUserHive[] = L"No registry file for user %ls: %d\n";
constexpr wchar_t FailedToUnloadUserHive[] = L"FAILED to unload the registry of user %ls: %d\n";
constexpr wchar_t DeletingBootstrapperHeader[] =
    L"\nDeleting Bootstrapper Registry Entries\n--------------------------------------\n";
// kestrum-scan's first line: its version and build.
constexpr wchar_t ScanTitle[] = L"kestrum-scan %ls (%ls)\n";
// kestrum-scan's lines: under the run's headers, what a run would find and
// act on; nothing is changed. A key a run would try to delete and could
// not is listed with the code its deletion would meet.
constexpr wchar_t ScanService[] = L"Found service %ls: %ls\n";
constexpr wchar_t ScanServiceFailed[] = L"FAILED to look for service %ls: %d\n";
constexpr wchar_t ScanProcess[] = L"Found process %ls, process ID %lu\n";
constexpr wchar_t ScanProcessFailed[] = L"FAILED to open process %ls, process ID %lu: %d\n";
constexpr wchar_t ScanFolder[] = L"Found folder %ls with %d entries\n";
constexpr wchar_t ScanFolderPartly[] = L"Found folder %ls with %d entries; FAILED to list %d folders in it\n";
constexpr wchar_t ScanKey[] = L"Found key %ls\n";
constexpr wchar_t ScanKeyFailed[] = L"Found key %ls, which a run cannot delete: %d\n";
constexpr wchar_t ScanValue[] = L"Found value '%ls' of %ls\n";
constexpr wchar_t ScanSharedKey[] = L"Found shared key %ls, which a run leaves\n";
constexpr wchar_t ScanNothing[] = L"\nNothing of the product found.\n";
// Its last line when all that is left goes at the next restart: the run's
// RESTART line above says what.
constexpr wchar_t ScanRestartOnly[] =
    L"\nNothing of the product found that a run would remove; the service %ls goes at the next restart.\n";
constexpr wchar_t ScanSummary[] =
    L"\nFound %d services, %d processes, %d folders, %d keys, %d values; %d shared keys a run leaves; "
    L"%d places not looked at.\n";
// kestrum-scan's command line: asked for, the usage on standard output;
// not understood, a line naming the element on standard error. Either way
// nothing is scanned.
constexpr wchar_t ScanUsage[] =
    L"kestrum-scan %ls (%ls): what of the Orvane client is on this machine, and what a\n"
    L"kestrum.exe run with the same options would remove. It changes nothing.\n"
    L"\n"
    L"Usage: kestrum-scan.exe [-bo] [-s | --json]\n"
    L"  -bo      what a kestrum.exe -bo run would remove (the bootstrapper's records)\n"
    L"  -s       write nothing: the status only\n"
    L"  --json   write one JSON document (kestrum-scan.schema.json) instead of the text\n"
    L"  /?, -?, -h, --help   this text; nothing is scanned\n"
    L"\n"
    L"Status: 0 nothing of the product found, looked everywhere; 1 something found,\n"
    L"or some place not looked at; 3010 only the service marked for deletion is left,\n"
    L"which goes at the next restart; 87 this text, or a command line not understood:\n"
    L"nothing was scanned.\n";
constexpr wchar_t ScanUnknownSwitch[] =
    L"kestrum-scan: unknown switch '%ls'; nothing was scanned. Usage: kestrum-scan.exe [-bo] [-s | --json]\n";
constexpr wchar_t ScanQuietJson[] =
    L"kestrum-scan: -s writes nothing and --json a document: not both; nothing was scanned.\n";
}  // namespace Message

// One thing kestrum-scan lists: its fields, from which both its text line
// and its item in the JSON form are made, so that the two cannot differ.
enum class FindingKind {
  Service,            // name, detail (its state)
  Process,            // name (the image), number (its process ID)
  Folder,             // path, number (entries), unlisted (folders in it it could not list)
  Key,                // place (the hive), user, path; code when a run cannot delete it
  Value,              // place, user, path (its key), name
  SharedKey,          // place, user, path
  ServiceUnread,      // name, code: the service could not be looked for
  ProcessUnopened,    // name, number, code
  BaseFolderUnknown,  // name (the product folder), place (its base); the run's own line says it
  UserHiveUnopened,   // user, code
  ServiceRestart,     // name: the service goes at the next restart; nothing left for a run
};

struct Finding {
  explicit Finding(FindingKind kind, std::wstring name = {}, std::wstring path = {}, std::wstring user = {})
      : kind(kind), name(std::move(name)), path(std::move(path)), user(std::move(user)) {}

  FindingKind kind;
  std::wstring name;
  std::wstring path;
  std::wstring user;           // another user's SID, in whose hive the path is
  const wchar_t* place = L"";  // HKEY_LOCAL_MACHINE, ...; ProgramData or Program Files
  const wchar_t* detail = L"";
  unsigned long number = 0;
  unsigned long unlisted = 0;
  std::optional<long> code;
};

// The text line of a finding, as the text form prints it.
std::wstring FindingLine(const Finding& finding);

// A stage's report held to be written later in its place: its text and
// the findings whose lines it holds, in their order.
struct HeldReport {
  std::wstring text;
  std::vector<Finding> findings;
};

// kestrum-scan's JSON form: while one is set (ReportDocument), the report's
// text and the scan's findings go to it, in their order, instead of to
// standard output; at the end it is written as one document.
class ScanDocument {
 public:
  void Append(std::wstring_view text) { text_.append(text); }
  void Add(const Finding& finding) { findings_.push_back(finding); }
  [[nodiscard]] const std::vector<Finding>& findings() const { return findings_; }
  [[nodiscard]] const std::wstring& text() const { return text_; }
  // The document, UTF-8: the version and build, the machine, the options
  // (BootstrapperOnlyFlag), status, the findings by section, the counts
  // (Found) and the text form's lines.
  [[nodiscard]] std::string Json(int status) const;

 private:
  std::wstring text_;
  std::vector<Finding> findings_;
};
extern ScanDocument* ReportDocument;

// kestrum-scan's version and build, as its title line and document give them.
const wchar_t* ProgramVersion();
const wchar_t* ProgramBuild();

// What a scan found, counted as its lines are written (quiet or not): its
// last line and its exit status come from it.
struct ScanTally {
  int services = 0, processes = 0, folders = 0, keys = 0, values = 0;
  int sharedKeys = 0;  // a run leaves them: they do not make the status
  int unsearched = 0;  // places it could not look at
  int restarts = 0;    // services that go at the next restart: nothing
                       // left for a run, but not gone yet either
  void Count(const Finding& finding);
  // Something a run would remove, or a place not looked at.
  [[nodiscard]] bool AnythingLeft() const {
    return services + processes + folders + keys + values + unsearched != 0;
  }
};
extern ScanTally Found;

// A key path or value name as the report prints it: each line break (CR,
// LF, U+0085, U+2028, U+2029) and NUL written as <U+XXXX> with its code
// in four upper-case hexadecimal digits, so that no name can start a line
// of its own or hide its end; any other name exactly as it is.
std::wstring Printable(std::wstring_view name);

constexpr size_t LineBufferSize = 255;
constexpr size_t PatternBufferSize = 1024;

// Writes one piece of the report, whatever the quiet flag says. The text
// goes to the standard output handle as UTF-8 at once, unbuffered, so that
// it keeps its place among the lines of any child that shares the handle;
// while a scan's document is set (ReportDocument), to that document.
void WriteReport(const wchar_t* format, ...);

// Writes bytes to standard output as they are (kestrum-scan's document).
void WriteOutput(std::string_view bytes);
// Writes a text to standard error as UTF-8, whatever the quiet flag says.
void WriteError(const wchar_t* format, ...);

// Writes one piece of the report unless the process-wide quiet flag is set;
// for code that is not a working routine of a stage object.
void Report(const wchar_t* format, ...);

// Unless quiet, ends the line that the last piece written left open (the
// process stage's lines have no line end), so that a line written next
// starts a line of its own, where the deployment wrapper finds it.
void EndOpenLine();
// Counts a finding of kestrum-scan and lists it (its line, and its item in
// the JSON form) unless the process-wide quiet flag is set.
void List(const Finding& finding);

// Format into the two fixed buffers; the results are not needed by callers.
void FormatLine(wchar_t (&LineBuffer)[LineBufferSize], const wchar_t* format, ...);
void FormatPattern(wchar_t (&PatternBuffer)[PatternBufferSize], const wchar_t* format, ...);

// Which run of a sweep: the installer and bootstrapper stages run every
// sweep a second time, as a check pass, to take what the first left.
enum class SweepRun { Pass, Check };

// The stage object: a copy of the quiet flag, taken when a stage starts, and
// the working routines that print under it.
class Stage {
 public:
  Stage() : quiet(QuietFlag) {}
  explicit Stage(bool quiet) : quiet(quiet) {}
  // A stage whose report is held in held, to be printed later in its place.
  Stage(bool quiet, HeldReport* held) : quiet(quiet), held_(held) {}

  // Writes one piece of the report (or holds it) unless this stage is quiet.
  void Report(const wchar_t* format, ...) const;
  // Counts a finding of kestrum-scan, and lists it (or holds it) unless
  // this stage is quiet.
  void List(const Finding& finding) const;
  // Writes what another stage held, in this one's place.
  void Release(const HeldReport& held) const;

  // Stops StartupService and waits, within a bound, until it has stopped.
  void StopProductService() const;

  // Terminates every process whose image name is exactly wanted and that
  // still is the one the snapshot listed (all opened and checked first),
  // then waits until they have exited, but not past exitDeadline (a
  // GetTickCount64 value; 0: no wait); true.
  bool TerminateProcessesByName(const std::wstring& wanted, unsigned long long exitDeadline = 0) const;

  // The registry sweeps (registry.cpp): each walks a whole hive and deletes
  // every matching key with everything beneath it, with the deletion report;
  // the value sweeps spare keys that are shared with others. Links are never
  // followed: a matching link is deleted as itself. In a check pass a
  // successful deletion does not advance the walk's index.
  void DeleteKeyByPath(const std::wstring& searchText) const;
  void DeleteKeysByName(HKEY root, const std::wstring& searchText, SweepRun run = SweepRun::Pass) const;
  void DeleteKeysByValueName(HKEY root, const std::wstring& searchText, SweepRun run = SweepRun::Pass) const;
  void DeleteKeysByValueData(const std::wstring& searchText, SweepRun run = SweepRun::Pass) const;

  bool quiet;

 private:
  HeldReport* held_ = nullptr;
};
