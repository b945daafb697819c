// The walk of a hive and its readers, shared by what happens at a key: the
// sweeps (registry_sweep.cpp), discovery (registry_discovery.cpp) and the
// registry stages (registry.cpp). Internal to the registry module.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "handle.h"
#include "registry_names.h"
#include "registry_records.h"
#include "registry_trust.h"
#include "report.h"

// Every subkey is opened for all access and in the 64-bit view, in both
// builds: the walk always reads the 64-bit registry.
constexpr REGSAM WalkAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;
static_assert(WalkAccess == 0xF013F, "the walk's access mask");

// Every open names the key itself: a registry link is opened as the link,
// which has no subkeys, so no walk and no deletion ever reaches its target,
// and no loop of links can keep a walk from ending.
constexpr DWORD OpenAsItself = REG_OPTION_OPEN_LINK;

// The keys of a deletion are opened to be read, as RegDeleteTreeW opens
// them, so that a refused or missing key gives the same code, and to be
// deleted through that handle.
constexpr REGSAM DeleteAccess = KEY_READ | DELETE | KEY_WOW64_64KEY;

constexpr DWORD NameCapacity = 1024;       // subkey names, wide characters
constexpr DWORD ValueNameCapacity = 8192;  // value names, wide characters
constexpr DWORD DataCapacity = 1024;       // value data, bytes

// Opens name below parent as itself, by its whole name (see OpenSubkey);
// the owner takes only a key that opened.
[[nodiscard]] inline LONG OpenKey(HKEY parent, std::wstring_view name, REGSAM access, KeyHandle& opened) {
  HKEY key = nullptr;
  const LONG result = OpenSubkey(parent, name, OpenAsItself, access, &key);
  if (result == ERROR_SUCCESS) opened.reset(key);
  return result;
}

// How many subkeys key has now; nothing when that cannot be read.
[[nodiscard]] inline std::optional<DWORD> SubkeyCount(HKEY key) {
  DWORD subkeys = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS)
    return std::nullopt;
  return subkeys;
}

// How many subkeys a deletion may delete below key: as many as it has now,
// plus one for a key that takes the place of one deleted; one when the
// count cannot be read.
[[nodiscard]] inline DWORD SubkeyBudget(HKEY key) { return SubkeyCount(key).value_or(0) + 1; }

// What a search compares, for each visited key.
enum class Match { Path, KeyName, ValueName, ValueData };

// One search: the one definition of what it matches, which the sweeps and
// discovery share so that they cannot drift apart; unit by unit, case
// included. Its text is a view of the caller's string, which outlives it.
struct Search {
  Match match;
  std::wstring_view text;

  // A key, by its relative path or by its own name.
  [[nodiscard]] bool MatchesKey(std::wstring_view path, std::wstring_view name) const {
    return (match == Match::Path && text == path) || (match == Match::KeyName && text == name);
  }
  // A value, by a name or data (read as text; absent when not read) that
  // contains the text.
  [[nodiscard]] bool MatchesValue(std::wstring_view name, std::optional<std::wstring_view> data) const {
    if (match == Match::ValueName) return name.find(text) != std::wstring_view::npos;
    return match == Match::ValueData && data && data->find(text) != std::wstring_view::npos;
  }
};

// One hive's searches, one bit each in a search mask, and its kept keys.
struct HiveRecords {
  HKEY root = nullptr;
  std::vector<Search> searches;
  KeyRecords kept;

  // A hive holds each search once (AddSearch).
  [[nodiscard]] SearchMask BitOf(const Search& search) const {
    return Matching([&](const Search& held) { return held.match == search.match && held.text == search.text; });
  }
  template <typename Test>
  [[nodiscard]] SearchMask Matching(Test matches) const {
    SearchMask mask = 0;
    for (size_t at = 0; at < searches.size(); ++at)
      if (matches(searches[at])) mask |= 1u << at;
    return mask;
  }
};

enum class ValueRead { Read, DataSkipped, EndOfList, EndOfScan };

// Reads the values of a key one by one, by index, into buffers made once
// for a walk: each value's name, and, when asked to, its data as text.
class ValueReader {
 public:
  ValueReader(bool readsNames, bool readsData)
      : name_(readsNames || readsData ? ValueNameCapacity : 0),
        data_(readsData ? DataCapacity / sizeof(wchar_t) : 0) {}

  [[nodiscard]] bool ReadsValues() const { return !name_.empty(); }

  // A value is read by name after its name was enumerated; but one
  // enumeration that returns name and data together gives the same bytes at
  // half the calls, so that is tried first. When it fails for any reason
  // but the end of the list (a name or data too long for its buffer), the
  // two separate calls decide: a name too long ends the scan, data too long
  // skips the value's data.
  [[nodiscard]] ValueRead Read(HKEY key, DWORD index) {
    text_.reset();
    nameLength_ = ValueNameCapacity;
    DWORD size = DataCapacity;
    if (!data_.empty()) {
      const LONG result = RegEnumValueW(key, index, name_.data(), &nameLength_, nullptr, nullptr, Data(), &size);
      if (result == ERROR_SUCCESS) return TakeText(size);
      if (result == ERROR_NO_MORE_ITEMS) return ValueRead::EndOfList;
      nameLength_ = ValueNameCapacity;
    }
    const LONG result = RegEnumValueW(key, index, name_.data(), &nameLength_, nullptr, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS) return result == ERROR_NO_MORE_ITEMS ? ValueRead::EndOfList : ValueRead::EndOfScan;
    if (data_.empty()) return ValueRead::Read;
    // Read by a name holding a NUL, it would be another value's data.
    if (Name().find(L'\0') != std::wstring_view::npos) return ValueRead::DataSkipped;
    size = DataCapacity;
    if (RegQueryValueExW(key, name_.data(), nullptr, nullptr, Data(), &size) != ERROR_SUCCESS)
      return ValueRead::DataSkipped;
    return TakeText(size);
  }

  // The name read last (followed by a NUL), and its data as text when read.
  [[nodiscard]] std::wstring_view Name() const { return std::wstring_view(name_.data(), nameLength_); }
  [[nodiscard]] std::optional<std::wstring_view> Text() const { return text_; }

 private:
  BYTE* Data() { return reinterpret_cast<BYTE*>(data_.data()); }
  // Text up to its first NUL and never past the bytes read: an odd last
  // byte is half a code unit and does not count.
  ValueRead TakeText(DWORD size) {
    const std::wstring_view text(data_.data(), size / sizeof(wchar_t));
    text_ = text.substr(0, text.find(L'\0'));
    return ValueRead::Read;
  }

  std::vector<wchar_t> name_;
  DWORD nameLength_ = 0;
  std::vector<wchar_t> data_;
  std::optional<std::wstring_view> text_;
};

// The subkey a walk has just read, below the key open as parent. Its name
// ends its relative path, and both end at the walk's path buffer's NUL.
struct Subkey {
  HKEY parent;
  DWORD index;  // among its siblings
  std::wstring_view path;
  std::wstring_view name;
};

// What the values of a visited key make of it.
enum class Verdict {
  None,          // nothing of the product
  Whole,         // the product's own key: deleted with everything beneath it
  SharedValues,  // the product's values beside others': only those go
  SharedKey,     // the product named among others' data: left whole
};

// Value names that say what a key stands for; Windows compares value names
// without regard to case. The default value has the empty name.
inline bool NamesTheKey(std::wstring_view name) {
  if (name.empty()) return true;
  for (const wchar_t* naming : {L"DisplayName", L"ProductName", L"FriendlyName"})
    if (CompareStringOrdinal(name.data(), static_cast<int>(name.size()), naming, -1, TRUE) == CSTR_EQUAL)
      return true;
  return false;
}

// The one judgement of a visited key by a search, which the sweep that
// deletes and the scan that lists share: what its path or its values say,
// weighed by who could have written them; with the names of the matching
// values of a shared key, in the order they were read.
class KeyJudge {
 public:
  // In another user's hive, user is his SID; else nullptr.
  KeyJudge(const Search& search, PSID user)
      : search_(search), user_(user), values_(search.match == Match::ValueName, search.match == Match::ValueData) {}

  // Values for which gone(name) holds are passed over as if they were not
  // there (a scan's, which deletes nothing, that a run would have deleted).
  template <typename Gone>
  [[nodiscard]] Verdict Judge(const Subkey& subkey, HKEY key, Gone gone) {
    const Verdict verdict = ReadValues(subkey, key, gone);
    // What a key's values say counts for the whole key only when nobody but
    // the administrators (and, in his hive, the user) could have written
    // them, and, in a user's hive, when he could have deleted all of it
    // himself; otherwise it is shared.
    if (verdict == Verdict::Whole && search_.match != Match::Path &&
        (!OnlyAdministratorsCanWrite(key, user_) || (user_ != nullptr && !IsUsersOwnTree(key, user_))))
      return search_.match == Match::ValueName ? Verdict::SharedValues : Verdict::SharedKey;
    return verdict;
  }

  template <typename Each>
  void ForEachMatchedValue(Each each) const {
    size_t at = 0;
    for (const size_t length : matchedLengths_) {
      each(std::wstring_view(matchedNames_.data() + at, length));
      at += length + 1;
    }
  }

 private:
  // Value names: whole when every one names the product; when others stand
  // beside them, or a name too long for the buffer ends the scan early, only
  // the matching names read so far are kept. Value data: whole when the
  // text is in the value that names the key, or in every value of it; when
  // only in some others (a path, a rule, a list) it is not ours.
  template <typename Gone>
  Verdict ReadValues(const Subkey& subkey, HKEY key, Gone gone) {
    if (search_.match == Match::Path)
      return search_.MatchesKey(subkey.path, subkey.name) ? Verdict::Whole : Verdict::None;
    if (!values_.ReadsValues()) return Verdict::None;
    matchedNames_.clear();
    matchedLengths_.clear();
    bool matched = false;
    bool everyValueMatched = true;
    for (DWORD index = 0;; ++index) {
      const ValueRead read = values_.Read(key, index);
      if (read == ValueRead::EndOfList) break;
      if (read != ValueRead::EndOfScan && gone(values_.Name())) continue;
      const bool matches = read != ValueRead::EndOfScan && search_.MatchesValue(values_.Name(), values_.Text());
      everyValueMatched = everyValueMatched && matches;
      if (read == ValueRead::EndOfScan) break;
      if (!matches) continue;
      matched = true;
      if (search_.match == Match::ValueName) {
        matchedNames_.append(values_.Name().data(), values_.Name().size() + 1);  // with its NUL
        matchedLengths_.push_back(values_.Name().size());
      } else if (NamesTheKey(values_.Name()))
        return Verdict::Whole;
    }
    if (!matched) return Verdict::None;
    if (everyValueMatched) return Verdict::Whole;
    return search_.match == Match::ValueName ? Verdict::SharedValues : Verdict::SharedKey;
  }

  const Search search_;
  const PSID user_;
  ValueReader values_;
  std::wstring matchedNames_;           // NUL-terminated names of a shared key's values
  std::vector<size_t> matchedLengths_;  // their lengths: a name may hold a NUL
};

// How the next subkey is read by index: each in turn (full sweeps, discovery).
struct IndexReader {
  struct Cursor {};
  Cursor Start(HKEY, const Cursor*) { return {}; }
  [[nodiscard]] bool Next(Cursor&, HKEY key, DWORD& index, wchar_t* name, DWORD& length) {
    return RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  }
  void Deleted(Cursor&) {}
};

// How the next subkey is read along the records: only subkeys that lead to
// a match of the sweep's search, at the index the records predict, which
// becomes the level's. They are trusted while the key has the subkey count
// they say and the name at that index is theirs: the subkeys in between
// are then none of theirs, and reading them would change nothing. Else the
// level is read index by index from where it stands, as the full walk
// reads it, and only recorded subkeys are taken.
class RecordReader {
 public:
  struct Cursor {
    size_t record;    // the key's own
    size_t entry;     // the record of the subkey read last
    bool sequential;  // the records of this level are stale
  };

  RecordReader(KeyRecords& kept, SearchMask searched) : kept_(kept), searched_(searched) {}

  Cursor Start(HKEY key, const Cursor* parent) {
    const size_t record = parent == nullptr ? 0 : parent->entry;
    return {record, NoRecord, SubkeyCount(key) != kept_.keys[record].subkeys};
  }

  [[nodiscard]] bool Next(Cursor& cursor, HKEY key, DWORD& index, wchar_t* name, DWORD& length) {
    if (!cursor.sequential) {
      const size_t next = kept_.NextChild(cursor.record, index, searched_);
      if (next == NoRecord) return false;
      const KeyRecord& expected = kept_.keys[next];
      if (RegEnumKeyExW(key, expected.index, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
          expected.name == std::wstring_view(name, length)) {
        index = expected.index;
        cursor.entry = next;
        return true;
      }
      cursor.sequential = true;
    }
    for (;; ++index) {
      length = NameCapacity;
      if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
      cursor.entry = kept_.ChildNamed(cursor.record, std::wstring_view(name, length), searched_);
      if (cursor.entry != NoRecord) return true;
    }
  }

  // The subkey read last was deleted whole.
  void Deleted(Cursor& cursor) { kept_.Remove(cursor.record, cursor.entry); }

 private:
  KeyRecords& kept_;
  const SearchMask searched_;
};

// What a policy made of a subkey before or on opening it: the walk enters
// it; or it was deleted whole (its follower slides into its index); or it
// is passed over as if deleted, by a policy that deletes nothing.
enum class Step { Enter, Deleted, PassedOver };

// The walk of a hive, from its root down to every key it can open, given
// what happens at a key (Policy: BeforeOpen and Arrive, each giving a
// Step; Unopened; Leave: a sweep, discovery or a scan) and how the next
// subkey is read (Reader). The root is borrowed: never closed,
// never acted on (its deletion would take the hive). An explicit stack of
// open keys instead of recursion makes a deep hive cost heap, not stack;
// the relative path grows and shrinks in one buffer, and one name buffer
// serves every level, which never reads it again once it has descended.
template <typename Policy, typename Reader>
class KeyWalk {
 public:
  KeyWalk(HKEY root, SweepRun run, Policy& policy, Reader reader)
      : run_(run), policy_(policy), reader_(std::move(reader)), name_(NameCapacity) {
    path_.reserve(NameCapacity);
    levels_.reserve(64);
    levels_.push_back({KeyHandle(), root, 0, 0, Uncounted, reader_.Start(root, nullptr)});
  }

  void Run() {
    while (!levels_.empty()) {
      Level& level = levels_.back();
      DWORD length = NameCapacity;
      if (!reader_.Next(level.cursor, level.key, level.index, name_.data(), length)) {
        Leave();
        continue;
      }
      const size_t parentLength = path_.size();
      if (parentLength != 0) path_ += L'\\';
      path_.append(name_.data(), length);
      const std::wstring_view path(path_);
      const Subkey subkey{level.key, level.index, path, path.substr(path.size() - length)};
      // The index moves on after every entry, deleted or not: the follower
      // of a deleted subkey slides into its index and is left for the check
      // pass, which alone stays on the index of a key it deleted.
      ++level.index;
      KeyHandle opened;
      if (levels_.size() == 1 && levels_[0].key == HKEY_LOCAL_MACHINE && IsMachineSecretStore(subkey.name)) {
        // never entered, never read
      } else if (const Step step = policy_.BeforeOpen(subkey); step != Step::Enter) {
        if (step == Step::Deleted) Deleted(level);
      } else if (OpenKey(level.key, subkey.name, WalkAccess, opened) != ERROR_SUCCESS) {
        policy_.Unopened(subkey);  // just deleted, or closed to us: its subtree is skipped
      } else if (const Step arrived = policy_.Arrive(subkey, opened.get()); arrived != Step::Enter) {
        if (arrived == Step::Deleted) Deleted(level);
      } else {
        const HKEY key = opened.get();
        levels_.push_back({std::move(opened), key, 0, parentLength, Uncounted, reader_.Start(key, &level.cursor)});
        continue;
      }
      path_.resize(parentLength);
    }
  }

 private:
  struct Level {
    KeyHandle opened;     // empty for the hive's root, which is borrowed
    HKEY key;             // opened, or the root
    DWORD index;          // of the next subkey to read
    size_t parentLength;  // path_ is cut back to this on leaving the key
    DWORD revisits;       // check pass: deletions left that may keep the index, once counted
    typename Reader::Cursor cursor;
  };

  void Leave() {
    const Level& left = levels_.back();
    const size_t nameStart = left.parentLength == 0 ? 0 : left.parentLength + 1;
    policy_.Leave(std::wstring_view(path_).substr(nameStart), left.index);
    path_.resize(left.parentLength);
    levels_.pop_back();
  }

  // A subkey of the level's key, the one read last, was deleted whole. In a
  // check pass its follower has slid into its index and is read next. The
  // number of such stays at one key is bounded by its subkey count at the
  // first of them, so that keys created as fast as they are deleted cannot
  // hold the walk for ever.
  void Deleted(Level& level) {
    reader_.Deleted(level.cursor);
    if (run_ != SweepRun::Check) return;
    if (level.revisits == Uncounted) level.revisits = SubkeyCount(level.key).value_or(0);
    if (level.revisits == 0) return;
    --level.revisits;
    --level.index;
  }

  static constexpr DWORD Uncounted = MAXDWORD;
  const SweepRun run_;
  Policy& policy_;
  Reader reader_;
  std::wstring path_;  // relative path of the key visited last
  std::vector<Level> levels_;
  std::vector<wchar_t> name_;
};
