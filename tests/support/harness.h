// Windows-side test harness: runs kestrum (or any program) as a real child
// process and captures its report, and captures the report of stages that
// a test calls in-process.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

struct RunResult {
  std::string output;      // the exact bytes written to standard output
  DWORD exitCode = 0;
  bool finished = false;   // false: killed after the time limit
};

// Folder of the running test program; kestrum.exe and the helper programs
// are built into the same folder.
std::wstring ProgramFolder();
std::wstring KestrumPath();

// Runs application with the given full command line (program-name element
// included) in startDirectory (empty: this process's), with standard output
// redirected to a file. environment, if given, is the whole block of
// NAME=value strings; otherwise the child inherits this process's.
RunResult RunProgram(const std::wstring& application, const std::wstring& commandLine,
                     const std::wstring& startDirectory = L"",
                     const std::vector<std::wstring>* environment = nullptr,
                     DWORD timeoutMilliseconds = 240000);

// Runs kestrum.exe with arguments after its quoted path.
RunResult RunKestrum(const std::wstring& arguments, const std::wstring& startDirectory = L"",
                     const std::vector<std::wstring>* environment = nullptr,
                     DWORD timeoutMilliseconds = 240000);

// While alive, points this process's standard output at a file, so that the
// report of stages called in-process can be read back byte for byte.
class ReportCapture {
 public:
  ReportCapture();
  ~ReportCapture();
  ReportCapture(const ReportCapture&) = delete;
  ReportCapture& operator=(const ReportCapture&) = delete;
  std::string Text() const;

 private:
  std::wstring path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  HANDLE previous_ = nullptr;
};

// Every byte of the file at path; empty when it cannot be read.
std::string ReadWholeFile(const std::wstring& path);

// The UTF-8 bytes of a wide text, to compare with captured reports.
std::string Utf8(const std::wstring& text);

// What a run's report says its registry stages deleted or left as shared,
// or a scan's report says a run would: one entry each, in one form for
// both ("key P", "key P: code" for a deletion that fails, "value 'V' of P",
// "shared P"), so that the two compare as sets.
std::set<std::string> RegistryThings(const std::string& report);

// Runs kestrum-scan.exe with arguments after its quoted path.
RunResult RunScan(const std::wstring& arguments);

// A new empty folder under the temporary folder, named after tag.
std::wstring MakeTempFolder(const std::wstring& tag);

// Sets the process-wide quiet flag for one scope and restores it after.
class QuietScope {
 public:
  explicit QuietScope(bool quiet);
  ~QuietScope();

 private:
  bool previous_;
};

// The system's Windows folder.
std::wstring WindowsFolder();
// Whether the named privilege is enabled in this process's token.
bool PrivilegeEnabled(const wchar_t* name);
