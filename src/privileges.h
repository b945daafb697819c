// The token's privileges that the stages need enabled.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <vector>

#include "handle.h"

// Enables each of the named privileges that the process's token holds, each
// asked for on its own, so that a token that lacks one still gets the
// others; one that holds none runs as it would have.
void EnablePrivileges(std::initializer_list<const wchar_t*> names);

// The same for the life of the object only: then each privilege it enabled
// is disabled again; one that was enabled already stays so.
class EnabledPrivileges {
 public:
  explicit EnabledPrivileges(std::initializer_list<const wchar_t*> names);
  ~EnabledPrivileges();
  EnabledPrivileges(const EnabledPrivileges&) = delete;
  EnabledPrivileges& operator=(const EnabledPrivileges&) = delete;

 private:
  KernelHandle token_;
  std::vector<TOKEN_PRIVILEGES> changed_;  // each one's state before
};
