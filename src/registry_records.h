// What discovery keeps of a hive and the recorded walks read: below the
// walk, the registry stages and the policies, which all share it.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

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
