// Registry removal: the four sweeps and the vendor, installer and
// bootstrapper stages.
#pragma once

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "handle.h"

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

// What the registry stages do while a registry work lives: remove, or
// (kestrum-scan) list what a removal would delete and change nothing.
enum class RegistryPurpose { Remove, Scan };

// The registry work of one run. Made before its first registry stage, it
// walks each hive that the stages sweep once and records the keys that any
// of their sweeps can act on (and the keys on the way to them); the sweeps
// of the stages that run while it lives then walk the live registry only
// along those records. A stage run without one makes its own. Nothing is
// kept once it is gone: every run discovers afresh.
class RegistryWork {
 public:
  explicit RegistryWork(unsigned stages, const Hives& hives = Hives(),
                        RegistryPurpose purpose = RegistryPurpose::Remove);
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

// What discovery kept of a hive, for the recorded walks: each key that a
// search of the run matches, with the keys on the way to it. A search mask
// holds one bit for each of the hive's searches.
using SearchMask = unsigned;
constexpr size_t NoRecord = static_cast<size_t>(-1);

struct KeyRecord {
  std::wstring name;
  DWORD index = 0;               // among its siblings, kept in step with this run's deletions
  DWORD subkeys = 0;             // how many it has, likewise
  SearchMask matches = 0;        // the searches that match it or a key below it
  std::vector<size_t> children;  // kept subkeys, by increasing index
};

// The kept keys of a hive; keys[0] is its root.
struct KeyRecords {
  std::vector<KeyRecord> keys;

  // The first kept subkey of parent at or after index, or of that name,
  // that leads to a match of a search in searched; NoRecord when none.
  [[nodiscard]] size_t NextChild(size_t parent, DWORD index, SearchMask searched) const {
    for (const size_t child : keys[parent].children)
      if (keys[child].index >= index && (keys[child].matches & searched) != 0) return child;
    return NoRecord;
  }
  [[nodiscard]] size_t ChildNamed(size_t parent, std::wstring_view name, SearchMask searched) const {
    for (const size_t child : keys[parent].children)
      if ((keys[child].matches & searched) != 0 && keys[child].name == name) return child;
    return NoRecord;
  }
  // The kept subkey child of parent was deleted whole: its record leaves,
  // and its later siblings' indices drop by one, as the live ones do.
  void Remove(size_t parent, size_t child) {
    KeyRecord& record = keys[parent];
    if (record.subkeys != 0) --record.subkeys;
    const auto at = std::find(record.children.begin(), record.children.end(), child);
    if (at == record.children.end()) return;
    for (auto later = at + 1; later != record.children.end(); ++later) --keys[*later].index;
    record.children.erase(at);
  }
};

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
