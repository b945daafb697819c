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
// order and the codes of RegDeleteTreeW (0, 2 for a missing key, 5 for
// refused access). Unlike RegDeleteTreeW it never follows a registry link
// (a link is deleted as itself, its target stays), deletes each key through
// the handle it enumerated, and names the 64-bit view on every open, in both
// builds. One object keeps its buffers for all the deletions of a sweep.
class KeyTreeDeletion {
 public:
  KeyTreeDeletion();
  LONG Delete(HKEY parent, const wchar_t* name);

 private:
  std::vector<wchar_t> name_;
  std::vector<HKEY> doomed_;  // the keys open for deletion, top down
};
