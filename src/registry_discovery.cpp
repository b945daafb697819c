#include "registry_discovery.h"

#include <string_view>
#include <utility>
#include <vector>

namespace {

// What discovery does at a key: all of the hive's searches, read as the
// sweeps read them (what they cannot read is not read here either); each
// key one of them matches is recorded, with the keys on the way to it.
class Discovery {
 public:
  explicit Discovery(HiveRecords& hive)
      : hive_(hive),
        values_(hive.Matching([](const Search& search) { return search.match == Match::ValueName; }) != 0,
                hive.Matching([](const Search& search) { return search.match == Match::ValueData; }) != 0) {
    hive.kept.keys.assign(1, KeyRecord());
    frames_.reserve(64);
    frames_.push_back(KeyRecord());  // the root's
  }

  // A subkey's name and path are tested before it is opened, as the name
  // sweep deletes before it opens.
  [[nodiscard]] Step BeforeOpen(const Subkey& subkey) {
    byName_ = hive_.Matching([&](const Search& search) { return search.MatchesKey(subkey.path, subkey.name); });
    return Step::Enter;
  }

  [[nodiscard]] Step Arrive(const Subkey& subkey, HKEY key) {
    frames_.push_back({L"", subkey.index, 0, byName_ | MatchingValues(key), {}});
    return Step::Enter;
  }

  // A closed key of a searched name is kept all the same: a sweep tries to
  // delete it before it tries to open it.
  void Unopened(const Subkey& subkey) {
    if (byName_ != 0) Keep(subkey.name, {L"", subkey.index, 0, byName_, {}});
  }

  // Its subkeys are all read, and subkeys is their count.
  void Leave(std::wstring_view name, DWORD subkeys) {
    KeyRecord left = std::move(frames_.back());
    frames_.pop_back();
    left.subkeys = subkeys;
    if (frames_.empty())
      hive_.kept.keys[0] = std::move(left);
    else if (left.matches != 0)
      Keep(name, std::move(left));
  }

 private:
  SearchMask MatchingValues(HKEY key) {
    SearchMask mask = 0;
    if (!values_.ReadsValues()) return mask;
    for (DWORD index = 0;; ++index) {
      const ValueRead read = values_.Read(key, index);
      if (read == ValueRead::EndOfList || read == ValueRead::EndOfScan) break;
      mask |= hive_.Matching(
          [&](const Search& search) { return search.MatchesValue(values_.Name(), values_.Text()); });
    }
    return mask;
  }

  // Keeps a key below the one on top of the path, by its whole name, which
  // then leads to what it matches.
  void Keep(std::wstring_view name, KeyRecord record) {
    record.name = name;
    KeyRecord& above = frames_.back();
    above.matches |= record.matches;
    hive_.kept.keys.push_back(std::move(record));
    above.children.push_back(hive_.kept.keys.size() - 1);
  }

  HiveRecords& hive_;
  ValueReader values_;
  SearchMask byName_ = 0;  // of the subkey read last
  std::vector<KeyRecord> frames_;  // of the keys on the walk's path, in the making
};

}  // namespace

void Discover(HiveRecords& hive) {
  Discovery discovery(hive);
  KeyWalk(hive.root, SweepRun::Pass, discovery, IndexReader()).Run();
}
