#include "privileges.h"

namespace {

KernelHandle OwnToken() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &opened)) return KernelHandle();
  return KernelHandle(opened);
}

// Enables name when the token holds it. The system puts in previous the
// state of what it changed: no privilege when it was enabled already, or
// is not held.
void EnablePrivilege(HANDLE token, const wchar_t* name, TOKEN_PRIVILEGES* previous) {
  TOKEN_PRIVILEGES privilege{};
  privilege.PrivilegeCount = 1;
  privilege.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  DWORD size = 0;
  if (LookupPrivilegeValueW(nullptr, name, &privilege.Privileges[0].Luid))
    AdjustTokenPrivileges(token, FALSE, &privilege, previous != nullptr ? sizeof *previous : 0, previous,
                          previous != nullptr ? &size : nullptr);
}

}  // namespace

void EnablePrivileges(std::initializer_list<const wchar_t*> names) {
  const KernelHandle token = OwnToken();
  if (!token) return;
  for (const wchar_t* name : names) EnablePrivilege(token.get(), name, nullptr);
}

EnabledPrivileges::EnabledPrivileges(std::initializer_list<const wchar_t*> names) : token_(OwnToken()) {
  if (!token_) return;
  for (const wchar_t* name : names) {
    TOKEN_PRIVILEGES previous{};
    EnablePrivilege(token_.get(), name, &previous);
    if (previous.PrivilegeCount != 0) changed_.push_back(previous);
  }
}

EnabledPrivileges::~EnabledPrivileges() {
  for (TOKEN_PRIVILEGES& previous : changed_) AdjustTokenPrivileges(token_.get(), FALSE, &previous, 0, nullptr, nullptr);
}
