// kestrum-standin: copied in place of a program, it behaves as Windows'
// own would where Wine's differs. As sc.exe (with Wine told to run the
// native one) it deletes the named service and prints what Windows' sc
// prints, in English, and ends with the same code; KESTRUM_SC_REFUSES set
// makes it refuse as for a service whose rights shut the caller out, which
// Wine's service manager does not enforce. As kestrum.exe it writes the
// start of a report and ends with 0xC0000005, as a crashed run does; with
// KESTRUM_STANDIN_GIVES_UP set, it writes the report of a run that waited
// the whole 600 seconds for another run's lock and gave up, and ends with
// 0, as such a run does (a real one would keep a test waiting that long).
#include <windows.h>

#include <string>

namespace {

void Write(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Windows' English text for the codes a deletion meets.
std::string Describe(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED: return "Access is denied.";
    case ERROR_SERVICE_DOES_NOT_EXIST: return "The specified service does not exist as an installed service.";
    case ERROR_SERVICE_MARKED_FOR_DELETE: return "The specified service has been marked for deletion.";
    default: return "Error " + std::to_string(code) + ".";
  }
}

DWORD Failed(const char* call, DWORD code) {
  Write(std::string("[SC] ") + call + " FAILED " + std::to_string(code) + ":\r\n\r\n" + Describe(code) + "\r\n\r\n");
  return code;
}

// sc delete "name"
DWORD DeleteServiceNamed(const std::wstring& name) {
  if (GetEnvironmentVariableW(L"KESTRUM_SC_REFUSES", nullptr, 0) > 0) return Failed("OpenService", ERROR_ACCESS_DENIED);
  const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return Failed("OpenSCManager", GetLastError());
  const SC_HANDLE service = OpenServiceW(manager, name.c_str(), DELETE);
  DWORD code = service == nullptr ? Failed("OpenService", GetLastError()) : 0;
  if (service != nullptr) {
    if (DeleteService(service))
      Write("[SC] DeleteService SUCCESS\r\n");
    else
      code = Failed("DeleteService", GetLastError());
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return code;
}

}  // namespace

int wmain(int count, wchar_t** arguments) {
  wchar_t path[MAX_PATH];
  const std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
  const std::wstring name = self.substr(self.find_last_of(L'\\') + 1);
  if (lstrcmpiW(name.c_str(), L"sc.exe") == 0)
    return count == 3 && lstrcmpiW(arguments[1], L"delete") == 0 ? DeleteServiceNamed(arguments[2]) : 1639;
  if (GetEnvironmentVariableW(L"KESTRUM_STANDIN_GIVES_UP", nullptr, 0) > 0) {
    Write(
        "Current Directory: C:\\\nFAILED: another kestrum run did not end within 600 seconds; this run did nothing.\n");
    return 0;
  }
  Write("Current Directory: C:\\\n\nStopping Service\n----------------\n");
  ExitProcess(0xC0000005);
}
