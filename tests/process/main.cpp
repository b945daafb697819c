// kestrum-dummy-process: stands in for a product process. Copied under a
// product image name and started, it runs until it is ended from outside.
// Every start leaves "<its own path>.started" beside it, holding its
// command line, so a test can tell whether a planted copy was ever run; a
// copy started with arguments (as an impostor of a system tool would be)
// ends at once instead of holding its starter. A running copy keeps that
// file open, without sharing deletion, as a product process holds its own
// files. With KESTRUM_DUMMY_HOLDS_SERVICE set to a service's name in its
// environment, it holds that service open too (as a product's tray client
// or updater may), from before it makes that file.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR arguments, int) {
  wchar_t service[256];
  const DWORD serviceLength = GetEnvironmentVariableW(L"KESTRUM_DUMMY_HOLDS_SERVICE", service, 256);
  if (serviceLength > 0 && serviceLength < 256) {
    // Held until the process ends: neither handle is ever closed.
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager != nullptr) OpenServiceW(manager, service, SERVICE_QUERY_STATUS);
  }
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring marker = std::wstring(path, length) + L".started";
  const HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    const std::wstring commandLine = GetCommandLineW();
    DWORD written = 0;
    WriteFile(file, commandLine.data(), static_cast<DWORD>(commandLine.size() * sizeof(wchar_t)),
              &written, nullptr);
  }
  if (arguments != nullptr && *arguments != L'\0') {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return 0;
  }
  Sleep(INFINITE);
  return 0;
}
