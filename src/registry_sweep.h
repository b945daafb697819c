// The sweeps: what happens at a key when the registry stages delete.
#pragma once

#include <windows.h>

#include <string_view>
#include <vector>

#include "handle.h"
#include "registry_walk.h"
#include "report.h"

// Sweeps the hive at root with one search, along hive's records when it
// is given and was discovered with that search, else in full; shownAs goes
// before every path the report gives (another user's SID and a backslash),
// and user is then that user's SID.
void SweepHive(const Stage& stage, HKEY root, const Search& search, SweepRun run = SweepRun::Pass,
               HiveRecords* hive = nullptr, std::wstring_view shownAs = {}, PSID user = nullptr);

// Deletes a key with everything beneath it, deepest keys first, and ends at
// the first key it cannot open or delete, leaving the rest in place: the
// order and the codes of RegDeleteTreeW (0, 2 for a missing key, 5 for
// refused access). Unlike RegDeleteTreeW it never follows a registry link
// (a link is deleted as itself, its target stays), deletes each key through
// the handle it enumerated, and names the 64-bit view on every open, in both
// builds. It ends even while another process adds subkeys as fast as it
// deletes them: below each key it deletes at most as many subkeys as the key
// had when it was opened, plus one, then tries the key itself and gives
// that code; keys added meanwhile stay. One object keeps its buffers for all
// the deletions of a sweep.
class KeyTreeDeletion {
 public:
  KeyTreeDeletion();
  // name is taken whole, NULs included, and must be followed by a NUL.
  [[nodiscard]] LONG Delete(HKEY parent, std::wstring_view name);

 private:
  struct Doomed {
    KeyHandle key;
    DWORD subkeysLeft;  // how many more subkeys of it may be deleted
  };
  std::vector<wchar_t> name_;
  std::vector<Doomed> doomed_;  // the keys open for deletion, top down
};
