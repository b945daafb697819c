#include "harness.h"

#include <algorithm>
#include <atomic>

#include "report.h"

namespace {

std::wstring UniqueTempPath(const std::wstring& tag) {
  static std::atomic<unsigned> counter{0};
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + L"kestrum-" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) +
         L"-" + std::to_wstring(counter++);
}

HANDLE CreateOutputFile(const std::wstring& path, bool inheritable) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, inheritable ? TRUE : FALSE};
  return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string ReadWholeFile(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char chunk[65536];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) bytes.append(chunk, read);
  CloseHandle(file);
  return bytes;
}

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring KestrumPath() { return ProgramFolder() + L"\\kestrum.exe"; }

RunResult RunProgram(const std::wstring& application, const std::wstring& commandLine,
                     const std::wstring& startDirectory, const std::vector<std::wstring>* environment,
                     DWORD timeoutMilliseconds) {
  RunResult result;
  const std::wstring outputPath = UniqueTempPath(L"stdout");
  HANDLE output = CreateOutputFile(outputPath, true);
  if (output == INVALID_HANDLE_VALUE) return result;

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = output;
  startup.hStdError = output;

  std::wstring block;
  DWORD flags = CREATE_NO_WINDOW;
  if (environment != nullptr) {
    for (const std::wstring& entry : *environment) block += entry + L'\0';
    block += L'\0';
    flags |= CREATE_UNICODE_ENVIRONMENT;
  }
  std::wstring mutableCommandLine = commandLine;
  PROCESS_INFORMATION process{};
  BOOL started = CreateProcessW(application.c_str(), &mutableCommandLine[0], nullptr, nullptr, TRUE,
                                flags, environment != nullptr ? &block[0] : nullptr,
                                startDirectory.empty() ? nullptr : startDirectory.c_str(), &startup,
                                &process);
  CloseHandle(output);
  if (started) {
    if (WaitForSingleObject(process.hProcess, timeoutMilliseconds) == WAIT_OBJECT_0) {
      result.finished = true;
    } else {
      TerminateProcess(process.hProcess, 99);
      WaitForSingleObject(process.hProcess, 10000);
    }
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  result.output = ReadWholeFile(outputPath);
  DeleteFileW(outputPath.c_str());
  return result;
}

RunResult RunKestrum(const std::wstring& arguments, const std::wstring& startDirectory,
                     const std::vector<std::wstring>* environment, DWORD timeoutMilliseconds) {
  std::wstring commandLine = L"\"" + KestrumPath() + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;
  return RunProgram(KestrumPath(), commandLine, startDirectory, environment, timeoutMilliseconds);
}

ReportCapture::ReportCapture() : path_(UniqueTempPath(L"report")) {
  file_ = CreateOutputFile(path_, false);
  previous_ = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, file_);
}

ReportCapture::~ReportCapture() {
  SetStdHandle(STD_OUTPUT_HANDLE, previous_);
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  DeleteFileW(path_.c_str());
}

std::string ReportCapture::Text() const { return ReadWholeFile(path_); }

std::set<std::string> RegistryThings(const std::string& report) {
  const auto startsWith = [](const std::string& line, const char* start) { return line.rfind(start, 0) == 0; };
  // "text<suffix>code" as "text: code"; text alone without the suffix.
  const auto withCode = [](const std::string& text, const std::string& suffix) {
    const size_t at = text.find(suffix);
    return at == std::string::npos ? text : text.substr(0, at) + ": " + text.substr(at + suffix.size());
  };
  // A deletion's result: nothing for SUCCESS, ": code" for FAILED: code.
  const auto outcome = [](const std::string& result) { return result == "SUCCESS" ? "" : ": " + result.substr(8); };
  std::set<std::string> things;
  for (size_t start = 0; start < report.size();) {
    const size_t end = std::min(report.find('\n', start), report.size());
    const std::string line = report.substr(start, end - start);
    start = end + 1;
    const size_t result = line.rfind("..");
    if (startsWith(line, "Found key "))
      things.insert("key " + withCode(line.substr(10), ", which a run cannot delete: "));
    else if (startsWith(line, "Found value "))
      things.insert("value " + line.substr(12));
    else if (startsWith(line, "Found shared key "))
      things.insert("shared " + line.substr(17, line.find(", which a run leaves") - 17));
    else if (startsWith(line, "Leaving shared key "))
      things.insert("shared " + line.substr(19));
    else if (startsWith(line, "Deleting value ") && result != std::string::npos)
      things.insert("value " + line.substr(15, result - 15) + outcome(line.substr(result + 2)));
    else if (startsWith(line, "Deleting ") && result != std::string::npos)
      things.insert("key " + line.substr(9, result - 9) + outcome(line.substr(result + 2)));
  }
  return things;
}

RunResult RunScan(const std::wstring& arguments) {
  const std::wstring scan = ProgramFolder() + L"\\kestrum-scan.exe";
  return RunProgram(scan, L"\"" + scan + L"\" " + arguments);
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                 nullptr, nullptr);
  std::string bytes(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size,
                      nullptr, nullptr);
  return bytes;
}

std::wstring MakeTempFolder(const std::wstring& tag) {
  std::wstring path = UniqueTempPath(tag);
  CreateDirectoryW(path.c_str(), nullptr);
  return path;
}

QuietScope::QuietScope(bool quiet) : previous_(QuietFlag) { QuietFlag = quiet; }
QuietScope::~QuietScope() { QuietFlag = previous_; }

std::wstring WindowsFolder() {
  wchar_t windows[MAX_PATH];
  return std::wstring(windows, GetSystemWindowsDirectoryW(windows, MAX_PATH));
}

bool PrivilegeEnabled(const wchar_t* name) {
  HANDLE token = nullptr;
  PRIVILEGE_SET set{1, PRIVILEGE_SET_ALL_NECESSARY, {}};
  BOOL enabled = FALSE;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
      LookupPrivilegeValueW(nullptr, name, &set.Privilege[0].Luid))
    PrivilegeCheck(token, &set, &enabled);
  if (token != nullptr) CloseHandle(token);
  return enabled != FALSE;
}
