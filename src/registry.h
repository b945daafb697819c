// Registry removal: the four sweeps and the vendor, installer and
// bootstrapper stages.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The sweeps themselves are working routines of the stage object (class
// Stage in report.h); the stages below run fixed tables of them. Each
// returns true on every path.
bool DeleteVendorRegistryKeys();
bool DeleteInstallerRegistryEntries();
bool DeleteBootstrapperRegistryEntries();

// The hive roots the registry stages sweep: the predefined roots, or in
// tests keys that stand in for them.
struct Hives {
  HKEY currentUser = HKEY_CURRENT_USER;
  HKEY classesRoot = HKEY_CLASSES_ROOT;
  HKEY localMachine = HKEY_LOCAL_MACHINE;
};

// Which registry stages a run holds.
enum RegistryStage : unsigned { VendorKeys = 1, InstallerEntries = 2, BootstrapperEntries = 4 };
constexpr unsigned NormalRunStages = VendorKeys | InstallerEntries;
constexpr unsigned BootstrapperRunStages = BootstrapperEntries;

// The registry work of one run. Made before its first registry stage, it
// walks each hive that the stages sweep once and records the keys that any
// of their sweeps can act on (and the keys on the way to them); the sweeps
// of the stages that run while it lives then walk the live registry only
// along those records. A stage run without one makes its own. Nothing is
// kept once it is gone: every run discovers afresh.
class RegistryWork {
 public:
  explicit RegistryWork(unsigned stages, const Hives& hives = Hives());
  ~RegistryWork();
  RegistryWork(const RegistryWork&) = delete;
  RegistryWork& operator=(const RegistryWork&) = delete;

  struct Records;  // what discovery found, per hive
  Records& records() { return *records_; }
  // The work the stages of stage use now, or nullptr.
  static RegistryWork* Serving(unsigned stage);

 private:
  std::unique_ptr<Records> records_;
  RegistryWork* previous_;
};

// Test-only: while set, registry work discovers nothing and every sweep
// walks its whole hive, as the reference that the recorded walks are
// compared with. The program itself never sets it.
void SetFullRegistryWalks(bool full);

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
  LONG Delete(HKEY parent, std::wstring_view name);

 private:
  struct Doomed {
    HKEY key;
    DWORD subkeysLeft;  // how many more subkeys of it may be deleted
  };
  std::vector<wchar_t> name_;
  std::vector<Doomed> doomed_;  // the keys open for deletion, top down
};
