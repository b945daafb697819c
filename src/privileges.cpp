#include "privileges.h"

#include <windows.h>

#include "handle.h"

void EnablePrivileges(std::initializer_list<const wchar_t*> names) {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &opened)) return;
  const KernelHandle token(opened);
  for (const wchar_t* name : names) {
    TOKEN_PRIVILEGES privilege{};
    privilege.PrivilegeCount = 1;
    privilege.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, name, &privilege.Privileges[0].Luid))
      AdjustTokenPrivileges(token.get(), FALSE, &privilege, 0, nullptr, nullptr);
  }
}
