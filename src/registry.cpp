// The registry sweeps and the three registry stages.
//
// Discovery: a run's stages make 24 sweeps of whole hives (10 with -bo), so
// a run starts with one walk of each hive they sweep, with the sweeps'
// access, view, link rule and value reads, that acts on nothing and records
// each key that a search of the run matches and the keys on the way to it,
// with its index among its siblings and its subkey count. The recorded
// walk: each sweep then walks the live registry but enters only recorded
// keys that lead to a match of its own search, at the indices the records
// predict, kept in step with the run's own deletions; a level whose subkey
// count or predicted name disagrees (a deletion seen through another hive's
// view or stopped half-way, another process at work) is read index by
// index, as the full walk reads it. A subtree without a match gives no line
// and no deletion, and every key the sweep acts on meets the full walk's
// calls, in its order, under its index rule: hence the full sweep's report
// and registry. Not seen: keys that another process creates during the run
// below a subtree in which discovery found no match.
//
// The pieces: one walk (KeyWalk); what happens at a key (Sweep, Discovery),
// both matching through Search; how the next subkey is read (IndexReader,
// RecordReader); the records' bookkeeping (KeyRecords, in registry.h).
#include "registry.h"

#include <windows.h>
#include <winternl.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app.h"
#include "registry_names.h"
#include "registry_trust.h"
#include "registry_users.h"
#include "report.h"

// A key is deleted through the very handle that was opened (and checked
// empty) for it: a name could meanwhile stand for another key or a link.
// Win32 has no call for that, so it is ntdll's.
extern "C" NTSYSAPI NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace {

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
[[nodiscard]] LONG OpenKey(HKEY parent, std::wstring_view name, REGSAM access, KeyHandle& opened) {
  HKEY key = nullptr;
  const LONG result = OpenSubkey(parent, name, OpenAsItself, access, &key);
  if (result == ERROR_SUCCESS) opened.reset(key);
  return result;
}

[[nodiscard]] LONG DeleteOpenKey(HKEY key) {
  const NTSTATUS status = NtDeleteKey(key);
  return status >= 0 ? ERROR_SUCCESS : static_cast<LONG>(RtlNtStatusToDosError(status));
}

// How many subkeys key has now; nothing when that cannot be read.
[[nodiscard]] std::optional<DWORD> SubkeyCount(HKEY key) {
  DWORD subkeys = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS)
    return std::nullopt;
  return subkeys;
}

// How many subkeys a deletion may delete below key: as many as it has now,
// plus one for a key that takes the place of one deleted; one when the
// count cannot be read.
[[nodiscard]] DWORD SubkeyBudget(HKEY key) { return SubkeyCount(key).value_or(0) + 1; }

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

// The walk of a hive, from its root down to every key it can open, given
// what happens at a key (Policy: BeforeOpen, Arrive, Unopened, Leave) and
// how the next subkey is read (Reader). The root is borrowed: never closed,
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
      } else if (policy_.BeforeOpen(subkey)) {
        Deleted(level);
      } else if (OpenKey(level.key, subkey.name, WalkAccess, opened) != ERROR_SUCCESS) {
        policy_.Unopened(subkey);  // just deleted, or closed to us: its subtree is skipped
      } else if (policy_.Arrive(subkey, opened.get())) {
        Deleted(level);
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

// What the values of a visited key make of it.
enum class Verdict {
  None,          // nothing of the product
  Whole,         // the product's own key: deleted with everything beneath it
  SharedValues,  // the product's values beside others': only those go
  SharedKey,     // the product named among others' data: left whole
};

// Value names that say what a key stands for; Windows compares value names
// without regard to case. The default value has the empty name.
bool NamesTheKey(std::wstring_view name) {
  if (name.empty()) return true;
  for (const wchar_t* naming : {L"DisplayName", L"ProductName", L"FriendlyName"})
    if (CompareStringOrdinal(name.data(), static_cast<int>(name.size()), naming, -1, TRUE) == CSTR_EQUAL)
      return true;
  return false;
}

// What a sweep does at a key: its one search, its verdict, the deletion or
// the value deletions, and the report. A subkey is deleted by its name
// before the walk opens it; by its path or its values once it is open.
class Sweep {
 public:
  // shownAs goes before every path the report gives: empty, or another
  // user's SID and a backslash; user is then that user's SID.
  Sweep(const Stage& stage, const Search& search, std::wstring_view shownAs, PSID user)
      : stage_(stage), search_(search), shownAs_(shownAs), user_(user),
        values_(search.match == Match::ValueName, search.match == Match::ValueData) {}

  [[nodiscard]] bool BeforeOpen(const Subkey& subkey) {
    return search_.match == Match::KeyName && search_.MatchesKey(subkey.path, subkey.name) &&
           DeleteKey(subkey) == ERROR_SUCCESS;
  }

  // True when the key was deleted whole.
  [[nodiscard]] bool Arrive(const Subkey& subkey, HKEY key) {
    Verdict verdict = Judge(subkey, key);
    // What a key's values say counts for the whole key only when nobody but
    // the administrators (and, in his hive, the user) could have written
    // them, and, in a user's hive, when he could have deleted all of it
    // himself; otherwise it is shared.
    if (verdict == Verdict::Whole && search_.match != Match::Path &&
        (!OnlyAdministratorsCanWrite(key, user_) || (user_ != nullptr && !IsUsersOwnTree(key, user_))))
      verdict = search_.match == Match::ValueName ? Verdict::SharedValues : Verdict::SharedKey;
    if (verdict == Verdict::Whole) return DeleteKey(subkey) == ERROR_SUCCESS;
    if (verdict == Verdict::SharedValues) DeleteMatchedValues(subkey, key);
    if (verdict == Verdict::SharedKey) stage_.Report(Message::LeavingSharedKey, Shown(subkey.path).c_str());
    return false;
  }

  void Unopened(const Subkey&) {}
  void Leave(std::wstring_view, DWORD) {}

 private:
  // Value names: whole when every one names the product; when others stand
  // beside them, or a name too long for the buffer ends the scan early, only
  // the matching names read so far are kept for deletion. Value data: whole
  // when the text is in the value that names the key, or in every value of
  // it; when only in some others (a path, a rule, a list) it is not ours.
  Verdict Judge(const Subkey& subkey, HKEY key) {
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

  // The deletion report around the deletion of the subkey through its parent.
  LONG DeleteKey(const Subkey& subkey) {
    stage_.Report(Message::DeletingKey, Shown(subkey.path).c_str());
    const LONG result = deletion_.Delete(subkey.parent, subkey.name);
    ReportResult(result);
    return result;
  }

  // The matching values of a shared key, in the order they were read, each
  // through the walk's handle, which names the 64-bit view.
  void DeleteMatchedValues(const Subkey& subkey, HKEY key) {
    size_t at = 0;
    for (const size_t length : matchedLengths_) {
      const std::wstring_view value(matchedNames_.data() + at, length);
      stage_.Report(Message::DeletingValue, Printable(value).c_str(), Shown(subkey.path).c_str());
      ReportResult(DeleteValue(key, value));
      at += length + 1;
    }
  }

  [[nodiscard]] std::wstring Shown(std::wstring_view path) const {
    return Printable(std::wstring(shownAs_).append(path));
  }

  void ReportResult(LONG result) const {
    if (result == ERROR_SUCCESS) return stage_.Report(Message::Success);
    stage_.Report(Message::Failed, static_cast<int>(result));
  }

  const Stage& stage_;
  const Search search_;
  const std::wstring_view shownAs_;
  const PSID user_;
  ValueReader values_;
  std::wstring matchedNames_;  // NUL-terminated names of a shared key's values
  std::vector<size_t> matchedLengths_;  // their lengths: a name may hold a NUL
  KeyTreeDeletion deletion_;
};

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
  [[nodiscard]] bool BeforeOpen(const Subkey& subkey) {
    byName_ = hive_.Matching([&](const Search& search) { return search.MatchesKey(subkey.path, subkey.name); });
    return false;
  }

  [[nodiscard]] bool Arrive(const Subkey& subkey, HKEY key) {
    frames_.push_back({L"", subkey.index, 0, byName_ | MatchingValues(key), {}});
    return false;
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

void SweepHive(const Stage& stage, HKEY root, const Search& search, SweepRun run = SweepRun::Pass,
               HiveRecords* hive = nullptr, std::wstring_view shownAs = {}, PSID user = nullptr) {
  // An empty text would match the hive's root or every value: delete nothing.
  if (search.text.empty()) return;
  Sweep sweep(stage, search, shownAs, user);
  // A search that discovery did not look for is walked in full.
  const SearchMask searched = hive != nullptr ? hive->BitOf(search) : 0;
  if (searched != 0)
    KeyWalk(root, run, sweep, RecordReader(hive->kept, searched)).Run();
  else
    KeyWalk(root, run, sweep, IndexReader()).Run();
}

}  // namespace

struct RegistryWork::Records {
  unsigned stages;
  bool discovered;
  HiveRecords currentUser, classesRoot, localMachine;

  HiveRecords& Hive(HKEY predefined) {
    if (predefined == HKEY_CURRENT_USER) return currentUser;
    if (predefined == HKEY_CLASSES_ROOT) return classesRoot;
    return localMachine;
  }
};

namespace {

// The product's installer and bootstrapper records. The two packed GUIDs
// are written as Windows Installer names its per-product keys and values.
constexpr wchar_t PackedBootstrapperGuid[] = L"9636B389AB5D5D14EBF454D61C4F4941";
constexpr wchar_t PackedProductGuid[] = L"4855687A0CDDB614B846EDB2FCE21DFD";
constexpr wchar_t ProductNameText[] = L"Orvane Client";
constexpr wchar_t FirstInstallerGuid[] = L"{e6a11024-5926-4359-bc32-05fe3ec5c2e3}";
constexpr wchar_t SecondInstallerGuid[] = L"{744ad6f8-a222-4194-8ee1-775d0f0f15fa}";
constexpr wchar_t BootstrapperGuid[] = L"{983B6369-D5BA-41D5-BE4F-456DC1F49414}";

// One row of a stage's pass table; each pass runs twice, the second time
// as its check pass, which reaches the keys the first left behind. The
// value-data sweep always sweeps HKEY_LOCAL_MACHINE.
struct Pass {
  const wchar_t* subHeader;
  const wchar_t* checkSubHeader;
  HKEY root;
  Match sweep;
  const wchar_t* searchText;
};

const std::vector<Pass>& InstallerPasses() {
  using namespace Message;
  static const std::vector<Pass> passes = {
      {CurrentUserPass1, CurrentUserPass1Check, HKEY_CURRENT_USER, Match::KeyName, PackedBootstrapperGuid},
      {CurrentUserPass2, CurrentUserPass2Check, HKEY_CURRENT_USER, Match::ValueName, PackedBootstrapperGuid},
      {ClassesRootPass1, ClassesRootPass1Check, HKEY_CLASSES_ROOT, Match::KeyName, PackedProductGuid},
      {LocalMachinePass1, LocalMachinePass1Check, HKEY_LOCAL_MACHINE, Match::KeyName, PackedProductGuid},
      {LocalMachinePass2, LocalMachinePass2Check, HKEY_LOCAL_MACHINE, Match::ValueName, PackedProductGuid},
      {LocalMachinePass3, LocalMachinePass3Check, HKEY_LOCAL_MACHINE, Match::KeyName, PackedBootstrapperGuid},
      {LocalMachinePass4, LocalMachinePass4Check, HKEY_LOCAL_MACHINE, Match::ValueName, PackedBootstrapperGuid},
      {LocalMachinePass5, LocalMachinePass5Check, HKEY_LOCAL_MACHINE, Match::ValueData, ProductNameText},
      {LocalMachinePass6, LocalMachinePass6Check, HKEY_LOCAL_MACHINE, Match::KeyName, FirstInstallerGuid},
      {LocalMachinePass7, LocalMachinePass7Check, HKEY_LOCAL_MACHINE, Match::KeyName, SecondInstallerGuid},
      {LocalMachinePass8, LocalMachinePass8Check, HKEY_LOCAL_MACHINE, Match::KeyName, ProductServiceName.c_str()},
  };
  return passes;
}

const std::vector<Pass>& BootstrapperPasses() {
  using namespace Message;
  static const std::vector<Pass> passes = {
      {CurrentUserPass1, CurrentUserPass1Check, HKEY_CURRENT_USER, Match::KeyName, PackedBootstrapperGuid},
      {CurrentUserPass2, CurrentUserPass2Check, HKEY_CURRENT_USER, Match::ValueName, PackedBootstrapperGuid},
      {LocalMachinePass1, LocalMachinePass1Check, HKEY_LOCAL_MACHINE, Match::KeyName, PackedBootstrapperGuid},
      {LocalMachinePass2, LocalMachinePass2Check, HKEY_LOCAL_MACHINE, Match::ValueName, PackedBootstrapperGuid},
      {LocalMachinePass3, LocalMachinePass3Check, HKEY_LOCAL_MACHINE, Match::KeyName, BootstrapperGuid},
  };
  return passes;
}

bool FullRegistryWalks = false;
RegistryWork* ServingWork = nullptr;

void AddSearch(HiveRecords& hive, const Search& search) {
  if (hive.BitOf(search) == 0) hive.searches.push_back(search);
}

// The stage's registry work: the run's, or, for a stage run by itself, its
// own for as long as the stage runs.
template <typename Body>
void WithRegistryWork(unsigned stage, Body body) {
  if (RegistryWork* serving = RegistryWork::Serving(stage)) {
    body(serving->records());
    return;
  }
  RegistryWork own(stage);
  body(own.records());
}

void RunSweep(const Stage& stage, RegistryWork::Records& work, HKEY predefined, Match match,
              const std::wstring& searchText, SweepRun run) {
  HiveRecords& hive = work.Hive(predefined);
  SweepHive(stage, hive.root, {match, searchText}, run, work.discovered ? &hive : nullptr);
}

// The other users' part of a stage's HKEY_CURRENT_USER passes, done before
// the first of them: one hive at a time is opened (loaded when its user is
// not logged on), discovered with those passes' searches, swept by each of
// them and its check pass in the stage's order, then closed and unloaded,
// so that no profile stays loaded longer than its own sweeps, and only one
// at any time. What each pass and check pass reports of a hive is held and
// printed in the pass's place, after HKEY_CURRENT_USER's lines, the users
// in their order; a hive is reported from its user's SID.
class OtherUsers {
 public:
  OtherUsers(const Stage& stage, const std::vector<Pass>& passes, bool discover) : held_(passes.size() * 2) {
    // A hive not swept is named in the first user pass; one not unloaded
    // in the last check pass, after its lines.
    const Stage opening(stage.quiet, &HeldOf(FirstUserPass(passes), SweepRun::Pass));
    for (const LeftHive& left : UnloadHivesOfEndedRuns())
      opening.Report(Message::FailedToUnloadUserHive, Printable(left.sid).c_str(), static_cast<int>(left.result));
    for (const UserProfile& profile : ListOtherUsers()) {
      UserHive hive = OpenUserHive(profile);
      if (!hive.root)
        opening.Report(hive.noHiveFile ? Message::NoUserHive : Message::FailedToOpenUserHive, hive.sid.c_str(),
                       static_cast<int>(hive.result));
      else
        SweepUser(stage, passes, hive, discover);
      const LONG unloaded = CloseUserHive(hive);
      if (unloaded != ERROR_SUCCESS)
        Stage(stage.quiet, &HeldOf(LastUserPass(passes), SweepRun::Check))
            .Report(Message::FailedToUnloadUserHive, hive.sid.c_str(), static_cast<int>(unloaded));
    }
  }

  // The held lines of a pass (its index in the table) or its check pass.
  [[nodiscard]] const std::wstring& Held(size_t pass, SweepRun run) { return HeldOf(pass, run); }

 private:
  std::wstring& HeldOf(size_t pass, SweepRun run) { return held_[pass * 2 + (run == SweepRun::Check ? 1 : 0)]; }

  static size_t FirstUserPass(const std::vector<Pass>& passes) {
    size_t at = 0;
    while (passes[at].root != HKEY_CURRENT_USER) ++at;
    return at;
  }
  static size_t LastUserPass(const std::vector<Pass>& passes) {
    size_t at = passes.size() - 1;
    while (passes[at].root != HKEY_CURRENT_USER) --at;
    return at;
  }

  void SweepUser(const Stage& stage, const std::vector<Pass>& passes, UserHive& hive, bool discover) {
    HiveRecords records;
    records.root = hive.root.get();
    if (discover) {
      for (const Pass& pass : passes)
        if (pass.root == HKEY_CURRENT_USER) AddSearch(records, {pass.sweep, pass.searchText});
      Discovery discovery(records);
      KeyWalk(records.root, SweepRun::Pass, discovery, IndexReader()).Run();
    }
    const std::wstring shownAs = hive.sid + L'\\';
    const PSID user = hive.user.empty() ? nullptr : hive.user.data();
    for (size_t at = 0; at < passes.size(); ++at) {
      const Pass& pass = passes[at];
      if (pass.root != HKEY_CURRENT_USER) continue;
      for (const SweepRun run : {SweepRun::Pass, SweepRun::Check})
        SweepHive(Stage(stage.quiet, &HeldOf(at, run)), records.root,
                  {pass.sweep, pass.searchText}, run, discover ? &records : nullptr, shownAs, user);
    }
  }

  std::vector<std::wstring> held_;  // each pass's lines, then its check pass's
};

void RunPasses(const wchar_t* stageHeader, const std::vector<Pass>& passes, RegistryWork::Records& work) {
  Report(stageHeader);
  const Stage stage;
  std::optional<OtherUsers> users;
  for (size_t at = 0; at < passes.size(); ++at) {
    const Pass& pass = passes[at];
    const bool forUsers = pass.root == HKEY_CURRENT_USER;
    if (forUsers && !users) users.emplace(stage, passes, work.discovered);
    // The search text is set up afresh for every pass and check pass.
    for (const SweepRun run : {SweepRun::Pass, SweepRun::Check}) {
      Report(run == SweepRun::Pass ? pass.subHeader : pass.checkSubHeader);
      RunSweep(stage, work, pass.root, pass.sweep, pass.searchText, run);
      if (forUsers) stage.Report(L"%ls", users->Held(at, run).c_str());
    }
  }
}

}  // namespace

KeyTreeDeletion::KeyTreeDeletion() : name_(NameCapacity) {}

LONG KeyTreeDeletion::Delete(HKEY parent, std::wstring_view name) {
  KeyHandle key;
  LONG result = OpenKey(parent, name, DeleteAccess, key);
  if (result != ERROR_SUCCESS) return result;
  doomed_.clear();
  const DWORD budget = SubkeyBudget(key.get());
  doomed_.push_back({std::move(key), budget});
  while (result == ERROR_SUCCESS && !doomed_.empty()) {
    Doomed& deepest = doomed_.back();
    DWORD length = NameCapacity;
    // Always index 0: each subkey deleted makes room for the next.
    if (deepest.subkeysLeft != 0 &&
        RegEnumKeyExW(deepest.key.get(), 0, name_.data(), &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
      --deepest.subkeysLeft;
      KeyHandle child;
      result = OpenKey(deepest.key.get(), std::wstring_view(name_.data(), length), DeleteAccess, child);
      if (result == ERROR_SUCCESS) {
        const DWORD childBudget = SubkeyBudget(child.get());
        doomed_.push_back({std::move(child), childBudget});
      }
      continue;
    }
    result = DeleteOpenKey(deepest.key.get());
    doomed_.pop_back();
  }
  doomed_.clear();  // what could not be deleted stays, closed
  return result;
}

RegistryWork::RegistryWork(unsigned stages, const Hives& hives)
    : records_(new Records{stages, false, {hives.currentUser, {}, {}}, {hives.classesRoot, {}, {}},
                           {hives.localMachine, {}, {}}}),
      previous_(ServingWork) {
  ServingWork = this;
  if (FullRegistryWalks) return;
  Records& work = *records_;
  if (stages & VendorKeys) {
    AddSearch(work.localMachine, {Match::Path, FirstVendorKeyPath});
    AddSearch(work.localMachine, {Match::Path, SecondVendorKeyPath});
  }
  for (const auto& [stage, passes] : {std::pair{InstallerEntries, &InstallerPasses()},
                                      std::pair{BootstrapperEntries, &BootstrapperPasses()}})
    if (stages & stage)
      for (const Pass& pass : *passes) AddSearch(work.Hive(pass.root), {pass.sweep, pass.searchText});
  for (HKEY predefined : {HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE}) {
    HiveRecords& hive = work.Hive(predefined);
    if (hive.searches.empty()) continue;
    Discovery discovery(hive);
    KeyWalk(hive.root, SweepRun::Pass, discovery, IndexReader()).Run();
  }
  work.discovered = true;
}

RegistryWork::~RegistryWork() { ServingWork = previous_; }

RegistryWork* RegistryWork::Serving(unsigned stage) {
  return ServingWork != nullptr && (ServingWork->records_->stages & stage) != 0 ? ServingWork : nullptr;
}

void SetFullRegistryWalks(bool full) { FullRegistryWalks = full; }

void Stage::DeleteKeyByPath(const std::wstring& searchText) const {
  SweepHive(*this, HKEY_LOCAL_MACHINE, {Match::Path, searchText});
}

void Stage::DeleteKeysByName(HKEY root, const std::wstring& searchText, SweepRun run) const {
  SweepHive(*this, root, {Match::KeyName, searchText}, run);
}

void Stage::DeleteKeysByValueName(HKEY root, const std::wstring& searchText, SweepRun run) const {
  SweepHive(*this, root, {Match::ValueName, searchText}, run);
}

void Stage::DeleteKeysByValueData(const std::wstring& searchText, SweepRun run) const {
  SweepHive(*this, HKEY_LOCAL_MACHINE, {Match::ValueData, searchText}, run);
}

bool DeleteVendorRegistryKeys() {
  WithRegistryWork(VendorKeys, [](RegistryWork::Records& work) {
    Report(Message::DeletingRegistryHeader);
    Report(Message::DeletingFirstVendorEntries);
    const Stage stage;
    RunSweep(stage, work, HKEY_LOCAL_MACHINE, Match::Path, FirstVendorKeyPath, SweepRun::Pass);
    Report(Message::DeletingSecondVendorEntries);
    RunSweep(stage, work, HKEY_LOCAL_MACHINE, Match::Path, SecondVendorKeyPath, SweepRun::Pass);
  });
  return true;
}

bool DeleteInstallerRegistryEntries() {
  WithRegistryWork(InstallerEntries, [](RegistryWork::Records& work) {
    RunPasses(Message::DeletingInstallerHeader, InstallerPasses(), work);
  });
  return true;
}

bool DeleteBootstrapperRegistryEntries() {
  WithRegistryWork(BootstrapperEntries, [](RegistryWork::Records& work) {
    RunPasses(Message::DeletingBootstrapperHeader, BootstrapperPasses(), work);
  });
  return true;
}
