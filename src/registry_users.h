// The registry hives of the machine's other users: those loaded under
// HKEY_USERS, and those of profiles whose owner is not logged on, loaded
// from their files for as long as they are needed. Run as SYSTEM,
// HKEY_CURRENT_USER is SYSTEM's own hive, where no user's records are.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "handle.h"

// A profile's hive file loaded under a name of HKEY_USERS, unloaded at the
// latest when the object ends. A hive left loaded would keep its user from
// logging on with his own profile until the machine restarts.
class LoadedHive {
 public:
  LoadedHive(std::wstring name, const std::wstring& file);
  ~LoadedHive() { Unload(); }
  LoadedHive(const LoadedHive&) = delete;
  LoadedHive& operator=(const LoadedHive&) = delete;

  [[nodiscard]] LONG result() const { return result_; }
  [[nodiscard]] const std::wstring& name() const { return name_; }
  // Unloads it, even while another process holds a key of it open; the
  // code, ERROR_SUCCESS when it is not loaded (any more). Every handle of
  // ours to a key of it must be closed first.
  LONG Unload();

 private:
  std::wstring name_;
  LONG result_;
  bool loaded_;
};

// One other user's hive.
struct UserHive {
  std::wstring sid;  // the user's: the name the report gives the hive
  LONG result = ERROR_SUCCESS;  // of loading or opening it
  bool noHiveFile = false;  // a profile's folder or NTUSER.DAT is gone, or
                            // ProfileList names no folder: nothing to sweep
  std::unique_ptr<LoadedHive> loaded;  // when this run loaded it
  KeyHandle root;  // open when result is ERROR_SUCCESS; declared after
                   // loaded so that it is closed before the hive unloads
};

// The hives of the users of the machine other than the account this
// process runs as (whose hive HKEY_CURRENT_USER is) and the system's own
// service accounts: first each one loaded under HKEY_USERS by its user's
// SID, then each profile listed in ProfileList whose hive is not loaded,
// loaded from its NTUSER.DAT under a temporary name. Each is opened, as
// itself, for reading; one that cannot be loaded or opened is listed with
// its code and no root.
std::vector<UserHive> OpenOtherUsersHives();

// Closes the hive's root and, when this run loaded it, unloads it; the
// code of the unloading.
LONG CloseUserHive(UserHive& hive);
