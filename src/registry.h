// Registry removal: the four sweeps and the vendor, installer and
// bootstrapper stages.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The sweeps themselves are working routines of the stage object (class
// Stage in report.h); the stages below run fixed tables of them. Each
// returns true on every path.
bool DeleteVendorRegistryKeys();
bool DeleteInstallerRegistryEntries();
bool DeleteBootstrapperRegistryEntries();

// Deletes a key with everything beneath it, deepest keys first, and ends at
// the first key it cannot open or delete, leaving the rest in place: the
// behaviour and the codes of RegDeleteTreeW (0, 2 for a missing key, 5 for
// refused access). RegDeleteTreeW takes no view flag and acts in the
// process's own view, which in the 32-bit build is not the one the walk
// reads; here every open and every deletion names the 64-bit view, in both
// builds. One object keeps its buffers for all the deletions of a sweep.
class KeyTreeDeletion {
 public:
  KeyTreeDeletion();
  LONG Delete(HKEY parent, const wchar_t* name);

 private:
  struct Doomed {
    HKEY key;
    size_t nameOffset;  // of its NUL-terminated name in trail_
  };
  std::vector<wchar_t> name_;
  std::wstring trail_;  // names of the keys open for deletion, top down
  std::vector<Doomed> doomed_;
};
