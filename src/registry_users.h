// The registry hives of the machine's other users: those loaded under
// HKEY_USERS, and those of profiles whose owner is not logged on, loaded
// from their files one at a time, for as long as one is needed. Run as
// SYSTEM, HKEY_CURRENT_USER is SYSTEM's own hive, where no user's records
// are. This is the mechanism (which hives, how one is loaded, opened and
// unloaded); what is done in a hive is the caller's.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "handle.h"
#include "registry_hive_copy.h"

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

// Another user whose hive is to be visited, as listed; nothing is loaded.
struct UserProfile {
  std::wstring sid;       // the user's: the name the report gives his hive
  std::wstring loadedAs;  // its name under HKEY_USERS when it is loaded
  std::wstring entry;     // else its ProfileList entry: the SID, or SID.bak
};

// The users whose hives a run visits, in this order: SYSTEM (S-1-5-18),
// whose hive is HKEY_USERS\.DEFAULT, unless this process runs as SYSTEM;
// each user account (local or domain S-1-5-21-..., cloud S-1-12-1-...)
// whose hive is loaded under HKEY_USERS by his SID; then each user account
// listed in ProfileList whose hive is not loaded, and each <SID>.bak entry
// there (the profile service's copy of a user's own profile after he was
// given a temporary one). Never the account this process runs as (its hive
// is HKEY_CURRENT_USER), nor service accounts (S-1-5-19, -20, -80-..., -82-...).
std::vector<UserProfile> ListOtherUsers();

// One other user's hive, open (and loaded from its file when it was not).
struct UserHive {
  std::wstring sid;  // the user's
  std::vector<BYTE> user;  // his SID, binary: he may write his own keys
  LONG result = ERROR_SUCCESS;  // of loading or opening it
  bool noHiveFile = false;  // the profile's folder or NTUSER.DAT is gone:
                            // nothing to sweep
  std::unique_ptr<HiveCopy> copy;  // what was loaded instead of his own
                                   // file; deleted once the hive unloads
  std::unique_ptr<LoadedHive> loaded;  // when this run loaded it
  KeyHandle root;  // open when result is ERROR_SUCCESS; declared after
                   // loaded so that it is closed before the hive unloads
};

// Opens the profile's hive as itself, for reading. A profile that is not
// loaded is loaded only from a hive file that exists (the system's load
// call would create a missing one, and the user would log on to an empty
// hive), found by a ProfileList entry that only the administrators could
// have written, at a path expanded from the system's own values, not this
// process's environment. Its name under HKEY_USERS names this process and
// its start time, so that a later run can tell it from a live run's.
// With HiveSource::Copy, a profile that is not loaded is loaded from a
// private copy of its hive file and logs (HiveCopy), never from the user's
// own file; one that is loaded is read where it is, either way.
enum class HiveSource { Own, Copy };
UserHive OpenUserHive(const UserProfile& profile, HiveSource source = HiveSource::Own);

// Closes the hive's root and, when this run loaded it, unloads it and
// deletes the copy it came from; the code of the unloading.
LONG CloseUserHive(UserHive& hive);

// Hives that runs which have ended (killed, crashed) left loaded under
// HKEY_USERS are unloaded; each that stays is given with its user's SID
// and the code.
struct LeftHive {
  std::wstring sid;
  LONG result;
};
std::vector<LeftHive> UnloadHivesOfEndedRuns();

// Copies of hives (HiveCopy) that runs which have ended left behind are
// deleted, once their hives are unloaded (UnloadHivesOfEndedRuns).
void DeleteHiveCopiesOfEndedRuns();
