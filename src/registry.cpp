#include "registry.h"

#include <windows.h>
#include <winternl.h>

#include <string>
#include <string_view>
#include <vector>

#include "app.h"
#include "registry_names.h"
#include "registry_trust.h"
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

LONG DeleteOpenKey(HKEY key) {
  const NTSTATUS status = NtDeleteKey(key);
  return status >= 0 ? ERROR_SUCCESS : static_cast<LONG>(RtlNtStatusToDosError(status));
}

// How many subkeys a deletion may delete below key: as many as it has now,
// plus one for a key that takes the place of one deleted; one when the
// count cannot be read.
DWORD SubkeyBudget(HKEY key) {
  DWORD subkeys = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS)
    subkeys = 0;
  return subkeys + 1;
}

}  // namespace

KeyTreeDeletion::KeyTreeDeletion() : name_(NameCapacity) {}

LONG KeyTreeDeletion::Delete(HKEY parent, std::wstring_view name) {
  HKEY key = nullptr;
  LONG result = OpenSubkey(parent, name, OpenAsItself, DeleteAccess, &key);
  if (result != ERROR_SUCCESS) return result;
  doomed_.assign(1, {key, SubkeyBudget(key)});
  while (result == ERROR_SUCCESS && !doomed_.empty()) {
    Doomed& deepest = doomed_.back();
    DWORD length = NameCapacity;
    // Always index 0: each subkey deleted makes room for the next.
    if (deepest.subkeysLeft != 0 &&
        RegEnumKeyExW(deepest.key, 0, name_.data(), &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
      --deepest.subkeysLeft;
      HKEY child = nullptr;
      result = OpenSubkey(deepest.key, std::wstring_view(name_.data(), length), OpenAsItself, DeleteAccess, &child);
      if (result == ERROR_SUCCESS) doomed_.push_back({child, SubkeyBudget(child)});
      continue;
    }
    result = DeleteOpenKey(deepest.key);
    RegCloseKey(deepest.key);
    doomed_.pop_back();
  }
  for (const Doomed& open : doomed_) RegCloseKey(open.key);
  return result;
}

namespace {

// What a sweep compares, for each visited key.
enum class Match { Path, KeyName, ValueName, ValueData };

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

constexpr size_t NoRecord = static_cast<size_t>(-1);

// A key that discovery kept: one that a sweep of the run can act on, or one
// on the way to such a key.
struct KeyRecord {
  std::wstring name;
  DWORD index = 0;    // among its siblings, kept in step with this run's deletions
  DWORD subkeys = 0;  // how many it has, likewise
  unsigned finds = 0;  // the searches that match it or a key below it, one bit each
  std::vector<size_t> children;  // kept subkeys, by increasing index
};

struct Search {
  Match match;
  std::wstring text;
};

// One hive's searches and the keys discovery kept; keys[0] is the root.
struct HiveRecords {
  HKEY root = nullptr;
  std::vector<Search> searches;
  std::vector<KeyRecord> keys;

  unsigned Bit(Match match, const std::wstring& text) const {
    for (size_t at = 0; at < searches.size(); ++at)
      if (searches[at].match == match && searches[at].text == text) return 1u << at;
    return 0;
  }
};

}  // namespace

struct RegistryWork::Records {
  Records(unsigned stages, const Hives& hives) : stages(stages), hives(hives) {}
  unsigned stages;
  Hives hives;
  bool discovered = false;
  HiveRecords currentUser, classesRoot, localMachine;

  HKEY Root(HKEY predefined) const {
    if (predefined == HKEY_CURRENT_USER) return hives.currentUser;
    if (predefined == HKEY_CLASSES_ROOT) return hives.classesRoot;
    return hives.localMachine;
  }
  HiveRecords& Hive(HKEY predefined) {
    if (predefined == HKEY_CURRENT_USER) return currentUser;
    if (predefined == HKEY_CLASSES_ROOT) return classesRoot;
    return localMachine;
  }
};

namespace {

// The walk of a whole hive, for one of two ends: a sweep, which acts on the
// keys it matches, or discovery, which reads every key and value once and
// records the keys that any of the run's searches matches. A sweep given
// records enters only recorded keys that lead to a match of its own search:
// a subtree without one cannot produce a line or a deletion.
//
// The walk keeps its own stack of open keys instead of recursing, so a deep
// hive costs heap, not stack; the relative path lives in one buffer that
// grows and shrinks with the walk, and the name, value-name and data
// buffers serve every level, since no level reads them again after it has
// descended.
class HiveWalk {
 public:
  HiveWalk(const Stage& stage, HKEY root, Match match, const std::wstring& searchText, SweepRun run,
           HiveRecords* records)
      : stage_(&stage), root_(root), match_(match), run_(run), searchText_(searchText), records_(records),
        name_(NameCapacity) {
    // A search that discovery did not look for is walked in full.
    if (records_ != nullptr) bit_ = records_->Bit(match, searchText);
    if (bit_ == 0) records_ = nullptr;
    if (match == Match::ValueName || match == Match::ValueData) valueName_.resize(ValueNameCapacity);
    if (match == Match::ValueData) data_.resize(DataCapacity / sizeof(wchar_t));
    path_.reserve(NameCapacity);
    levels_.reserve(64);
  }

  // Discovery, with the sweeps' access, link rule and buffers.
  explicit HiveWalk(HiveRecords& records)
      : stage_(nullptr), root_(records.root), match_(Match::Path), run_(SweepRun::Pass), records_(&records),
        name_(NameCapacity), valueName_(ValueNameCapacity), data_(DataCapacity / sizeof(wchar_t)) {
    path_.reserve(NameCapacity);
    levels_.reserve(64);
    found_.reserve(64);
    for (const Search& search : records.searches) {
      readsValueNames_ = readsValueNames_ || search.match == Match::ValueName;
      readsValueData_ = readsValueData_ || search.match == Match::ValueData;
    }
    records.keys.assign(1, KeyRecord());
  }

  void Run() {
    Enter(root_, 0, 0);
    while (!levels_.empty()) {
      Level& visited = levels_.back();
      DWORD length = NameCapacity;
      if (!ReadNextEntry(visited, length)) {
        Leave();
        continue;
      }
      // The index moves on after every entry, deleted or not: the follower
      // of a deleted subkey slides into its index and is left for the check
      // pass, which alone stays on the index of a key it deleted.
      ++visited.index;
      if (levels_.size() == 1 && root_ == HKEY_LOCAL_MACHINE &&
          IsMachineSecretStore(std::wstring_view(name_.data(), length)))
        continue;  // never entered, never read
      const HKEY parent = visited.key;
      const size_t parentLength = path_.size();
      if (parentLength != 0) path_ += L'\\';
      path_.append(name_.data(), length);
      const wchar_t* name = path_.c_str() + (path_.size() - length);
      const unsigned finds = Discovering() ? FindsByName(std::wstring_view(name, length)) : 0;
      if (match_ == Match::KeyName && !Discovering() && searchText_ == std::wstring_view(name, length) &&
          DeleteKey(parent, std::wstring_view(name, length)) == ERROR_SUCCESS) {
        Deleted(visited);
        path_.resize(parentLength);
        continue;
      }
      HKEY subkey = nullptr;
      if (OpenSubkey(parent, std::wstring_view(name, length), OpenAsItself, WalkAccess, &subkey) == ERROR_SUCCESS) {
        Enter(subkey, parentLength, finds);
        continue;
      }
      // Just deleted, or closed to us: its subtree is skipped. Discovery
      // still keeps a closed key of a searched name, which a sweep tries
      // to delete before it tries to open it.
      if (finds != 0) Keep(std::wstring_view(name, length), visited.index - 1, 0, finds, {});
      path_.resize(parentLength);
    }
  }

 private:
  struct Level {
    HKEY key;
    DWORD index;          // of the next subkey to read
    size_t parentLength;  // path_ is cut back to this on leaving the key
    DWORD revisits;       // check pass: deletions left that may keep the index
    bool counted;         // revisits has been set from the key's subkey count
    size_t record;        // recorded walk: the key's record
    size_t entry;         // recorded walk: the record of the subkey read last
    bool checked;         // recorded walk: the subkey count was compared
    bool sequential;      // recorded walk: the records of this level are stale
  };

  // What discovery learns of a key on the current path before it leaves it.
  struct Found {
    DWORD index;
    unsigned finds;
    std::vector<size_t> children;
  };

  bool Discovering() const { return stage_ == nullptr; }
  bool Recorded() const { return records_ != nullptr && !Discovering(); }

  // Reads the subkey at the level's index into name_, or, in a recorded
  // walk, the next subkey that leads to a match of the sweep's search, and
  // leaves the level's index on it. Its records are trusted while the key
  // has the subkey count they say and the name at the index they predict is
  // theirs: then the subkeys in between are none of theirs, and reading
  // them would change nothing. Otherwise (a deletion through another
  // hive's view, a deletion that stopped half-way) the level is read index
  // by index from where it stands, as the full walk reads it, and only
  // recorded subkeys are taken.
  bool ReadNextEntry(Level& level, DWORD& length) {
    if (!Recorded() || level.record == NoRecord)
      return RegEnumKeyExW(level.key, level.index, name_.data(), &length, nullptr, nullptr, nullptr, nullptr) ==
             ERROR_SUCCESS;
    const KeyRecord& record = records_->keys[level.record];
    if (!level.checked) {
      level.checked = true;
      DWORD subkeys = 0;
      level.sequential = RegQueryInfoKeyW(level.key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                          nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
                         subkeys != record.subkeys;
    }
    if (!level.sequential) {
      const size_t next = NextRecordedEntry(record, level.index);
      if (next == NoRecord) return false;
      const KeyRecord& expected = records_->keys[next];
      if (RegEnumKeyExW(level.key, expected.index, name_.data(), &length, nullptr, nullptr, nullptr, nullptr) ==
              ERROR_SUCCESS &&
          expected.name == std::wstring_view(name_.data(), length)) {
        level.index = expected.index;
        level.entry = next;
        return true;
      }
      level.sequential = true;
    }
    for (;; ++level.index) {
      length = NameCapacity;
      if (RegEnumKeyExW(level.key, level.index, name_.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        return false;
      level.entry = RecordedEntry(record, std::wstring_view(name_.data(), length));
      if (level.entry != NoRecord) return true;
    }
  }

  // The first kept subkey at or after index that leads to a match of the
  // sweep's search.
  size_t NextRecordedEntry(const KeyRecord& record, DWORD index) const {
    for (const size_t child : record.children) {
      const KeyRecord& candidate = records_->keys[child];
      if (candidate.index >= index && (candidate.finds & bit_) != 0) return child;
    }
    return NoRecord;
  }

  size_t RecordedEntry(const KeyRecord& record, std::wstring_view name) const {
    for (const size_t child : record.children) {
      const KeyRecord& candidate = records_->keys[child];
      if ((candidate.finds & bit_) != 0 && candidate.name == name) return child;
    }
    return NoRecord;
  }

  // Arrival at a key: the tests made on the key itself, before its subkeys.
  // The hive's root is never acted on: its deletion would take the hive.
  void Enter(HKEY key, size_t parentLength, unsigned finds) {
    size_t record = NoRecord;
    if (Recorded()) record = levels_.empty() ? 0 : levels_.back().entry;
    levels_.push_back({key, 0, parentLength, 0, false, record, NoRecord, false, false});
    if (Discovering()) {
      const DWORD index = levels_.size() == 1 ? 0 : levels_[levels_.size() - 2].index - 1;
      found_.push_back({index, finds | FindsByValues(key), {}});
      return;
    }
    if (levels_.size() == 1 && Recorded()) return;  // nothing to act on at the root
    Verdict verdict = Verdict::None;
    if (match_ == Match::Path)
      verdict = searchText_ == path_ ? Verdict::Whole : Verdict::None;
    else if (match_ == Match::ValueName)
      verdict = ScanValueNames(key);
    else if (match_ == Match::ValueData)
      verdict = ScanValueData(key);
    if (levels_.size() == 1) return;
    // What a key's values say counts for the whole key only when nobody but
    // the administrators could have written them; otherwise it is shared.
    if (verdict == Verdict::Whole && match_ != Match::Path && !OnlyAdministratorsCanWrite(key))
      verdict = match_ == Match::ValueName ? Verdict::SharedValues : Verdict::SharedKey;
    switch (verdict) {
      case Verdict::Whole: {
        const size_t nameStart = parentLength == 0 ? 0 : parentLength + 1;
        Level& parent = levels_[levels_.size() - 2];
        if (DeleteKey(parent.key, std::wstring_view(path_).substr(nameStart)) == ERROR_SUCCESS) Deleted(parent);
        break;
      }
      case Verdict::SharedValues:
        DeleteMatchedValues(key);
        break;
      case Verdict::SharedKey:
        stage_->Report(Message::LeavingSharedKey, Printable(path_).c_str());
        break;
      case Verdict::None:
        break;
    }
  }

  void Leave() {
    const Level left = levels_.back();
    levels_.pop_back();
    if (Discovering()) {
      Found found = std::move(found_.back());
      found_.pop_back();
      if (levels_.empty()) {
        KeyRecord& root = records_->keys[0];
        root.subkeys = left.index;
        root.finds = found.finds;
        root.children = std::move(found.children);
      } else if (found.finds != 0) {
        const size_t nameStart = left.parentLength == 0 ? 0 : left.parentLength + 1;
        Keep(std::wstring_view(path_).substr(nameStart), found.index, left.index, found.finds,
             std::move(found.children));
      }
    }
    if (left.key != root_) RegCloseKey(left.key);
    path_.resize(left.parentLength);
  }

  // Discovery: records a subkey of parent's key (read at index) that
  // leads to a match, below the parent's own record.
  void Keep(std::wstring_view name, DWORD index, DWORD subkeys, unsigned finds,
            std::vector<size_t> children) {
    KeyRecord record;
    record.name = name;
    record.index = index;
    record.subkeys = subkeys;
    record.finds = finds;
    record.children = std::move(children);
    records_->keys.push_back(std::move(record));
    Found& above = found_.back();
    above.children.push_back(records_->keys.size() - 1);
    above.finds |= finds;
  }

  // Discovery: the searches a subkey matches by its name or its path, read
  // before it is opened, as the name sweep deletes before it opens.
  unsigned FindsByName(std::wstring_view name) {
    unsigned finds = 0;
    for (size_t at = 0; at < records_->searches.size(); ++at) {
      const Search& search = records_->searches[at];
      if ((search.match == Match::KeyName && search.text == name) ||
          (search.match == Match::Path && search.text == path_))
        finds |= 1u << at;
    }
    return finds;
  }

  // Discovery: the searches a key matches by its values' names or data,
  // read as the value sweeps read them, so that a value they cannot read
  // is not read here either.
  unsigned FindsByValues(HKEY key) {
    unsigned finds = 0;
    if (!readsValueNames_ && !readsValueData_) return finds;
    for (DWORD index = 0;; ++index) {
      DWORD size = 0;
      ValueRead read = ValueRead::Read;
      if (readsValueData_) {
        read = ReadValueData(key, index, size);
      } else {
        DWORD length = ValueNameCapacity;
        const LONG result =
            RegEnumValueW(key, index, valueName_.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (result != ERROR_SUCCESS) break;
        valueNameLength_ = length;
      }
      if (read == ValueRead::EndOfList || read == ValueRead::EndOfScan) break;
      std::wstring_view text(data_.data(), read == ValueRead::Read ? size / sizeof(wchar_t) : 0);
      text = text.substr(0, text.find(L'\0'));
      const std::wstring_view name(valueName_.data(), valueNameLength_);
      for (size_t at = 0; at < records_->searches.size(); ++at) {
        const Search& search = records_->searches[at];
        if ((search.match == Match::ValueName && name.find(search.text) != std::wstring_view::npos) ||
            (search.match == Match::ValueData && read == ValueRead::Read && readsValueData_ &&
             text.find(search.text) != std::wstring_view::npos))
          finds |= 1u << at;
      }
    }
    return finds;
  }

  // A key below the level's key was deleted whole. Its record leaves the
  // records and the indices of its later siblings drop by one, as the live
  // ones do; the check pass then stays on the index.
  void Deleted(Level& parent) {
    if (Recorded() && parent.record != NoRecord) {
      KeyRecord& record = records_->keys[parent.record];
      if (record.subkeys != 0) --record.subkeys;
      auto& children = record.children;
      for (size_t at = 0; at < children.size(); ++at) {
        if (children[at] != parent.entry) continue;
        for (size_t later = at + 1; later < children.size(); ++later) --records_->keys[children[later]].index;
        children.erase(children.begin() + at);
        break;
      }
    }
    StayOnDeletedIndex(parent);
  }

  // In a check pass the follower of a deleted subkey has slid into its
  // index and is read next. The number of such stays at one key is bounded
  // by its subkey count at the first of them, so that keys created as fast
  // as they are deleted cannot hold the walk for ever.
  void StayOnDeletedIndex(Level& parent) {
    if (run_ != SweepRun::Check) return;
    if (!parent.counted) {
      parent.counted = true;
      DWORD subkeys = 0;
      if (RegQueryInfoKeyW(parent.key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr) == ERROR_SUCCESS)
        parent.revisits = subkeys;
    }
    if (parent.revisits == 0) return;
    --parent.revisits;
    --parent.index;
  }

  // Reads the names of all values of the key. Whole when every one names
  // the product; when others stand beside them, or a name too long for the
  // buffer ends the scan before the end, only the matching names read so
  // far are kept for deletion.
  Verdict ScanValueNames(HKEY key) {
    matchedNames_.clear();
    matchedLengths_.clear();
    bool unmatched = false;
    for (DWORD index = 0;; ++index) {
      DWORD length = ValueNameCapacity;
      const LONG result =
          RegEnumValueW(key, index, valueName_.data(), &length, nullptr, nullptr, nullptr, nullptr);
      if (result != ERROR_SUCCESS) {
        unmatched = unmatched || result != ERROR_NO_MORE_ITEMS;
        break;
      }
      if (Contains(std::wstring_view(valueName_.data(), length))) {
        matchedNames_.append(valueName_.data(), length + 1);  // with its NUL
        matchedLengths_.push_back(length);
      } else
        unmatched = true;
    }
    if (matchedNames_.empty()) return Verdict::None;
    return unmatched ? Verdict::SharedValues : Verdict::Whole;
  }

  // Reads the data of all values of the key. Whole when the text is in the
  // value that names the key, or in every value of it; when it is only in
  // some others (a path, a rule, a list entry) the key is someone else's.
  Verdict ScanValueData(HKEY key) {
    bool matched = false;
    bool everyValueMatched = true;
    for (DWORD index = 0;; ++index) {
      DWORD size = 0;
      const ValueRead read = ReadValueData(key, index, size);
      if (read == ValueRead::EndOfList) break;
      if (read == ValueRead::EndOfScan) {
        everyValueMatched = false;
        break;
      }
      if (read == ValueRead::Skipped) {
        everyValueMatched = false;
        continue;
      }
      // Text up to its first NUL and never past the bytes read: an odd last
      // byte is half a code unit and does not count.
      std::wstring_view text(data_.data(), size / sizeof(wchar_t));
      text = text.substr(0, text.find(L'\0'));
      if (!Contains(text)) {
        everyValueMatched = false;
        continue;
      }
      matched = true;
      if (NamesTheKey(std::wstring_view(valueName_.data(), valueNameLength_))) return Verdict::Whole;
    }
    if (!matched) return Verdict::None;
    return everyValueMatched ? Verdict::Whole : Verdict::SharedKey;
  }

  enum class ValueRead { Read, Skipped, EndOfList, EndOfScan };

  // The data of the value at index, at most DataCapacity bytes, and its
  // name in valueName_. A value is read by name after its name was
  // enumerated; but one enumeration that returns name and data together
  // gives the same bytes at half the calls, so that is tried first. When it
  // fails for any reason but the end of the list (a name or data too long
  // for its buffer), the two separate calls decide: a name too long ends
  // the scan, data too long skips the value.
  ValueRead ReadValueData(HKEY key, DWORD index, DWORD& size) {
    DWORD length = ValueNameCapacity;
    size = DataCapacity;
    LONG result = RegEnumValueW(key, index, valueName_.data(), &length, nullptr, nullptr,
                                reinterpret_cast<BYTE*>(data_.data()), &size);
    valueNameLength_ = length;
    if (result == ERROR_SUCCESS) return ValueRead::Read;
    if (result == ERROR_NO_MORE_ITEMS) return ValueRead::EndOfList;
    length = ValueNameCapacity;
    result = RegEnumValueW(key, index, valueName_.data(), &length, nullptr, nullptr, nullptr, nullptr);
    valueNameLength_ = length;
    if (result != ERROR_SUCCESS) return result == ERROR_NO_MORE_ITEMS ? ValueRead::EndOfList : ValueRead::EndOfScan;
    // A name holding a NUL would be read up to it, as another value's.
    if (std::wstring_view(valueName_.data(), length).find(L'\0') != std::wstring_view::npos) return ValueRead::Skipped;
    size = DataCapacity;
    if (RegQueryValueExW(key, valueName_.data(), nullptr, nullptr, reinterpret_cast<BYTE*>(data_.data()),
                         &size) != ERROR_SUCCESS)
      return ValueRead::Skipped;
    return ValueRead::Read;
  }

  bool Contains(std::wstring_view text) const { return text.find(searchText_) != std::wstring_view::npos; }

  // The deletion report around the deletion of name below parent; path_
  // holds the key's relative path.
  LONG DeleteKey(HKEY parent, std::wstring_view name) {
    stage_->Report(Message::DeletingKey, Printable(path_).c_str());
    const LONG result = deletion_.Delete(parent, name);
    ReportResult(result);
    return result;
  }

  // The matching values of a shared key, in the order they were read, each
  // through the walk's handle, which names the 64-bit view.
  void DeleteMatchedValues(HKEY key) {
    size_t at = 0;
    for (const size_t length : matchedLengths_) {
      const std::wstring_view value(matchedNames_.data() + at, length);
      stage_->Report(Message::DeletingValue, Printable(value).c_str(), Printable(path_).c_str());
      ReportResult(DeleteValue(key, value));
      at += length + 1;
    }
  }

  void ReportResult(LONG result) const {
    if (result == ERROR_SUCCESS)
      stage_->Report(Message::Success);
    else
      stage_->Report(Message::Failed, static_cast<int>(result));
  }

  const Stage* stage_;  // nullptr: discovery
  const HKEY root_;
  const Match match_;
  const SweepRun run_;
  const std::wstring_view searchText_;
  HiveRecords* records_;  // nullptr: a full walk
  unsigned bit_ = 0;      // the sweep's search among the records'
  bool readsValueNames_ = false;
  bool readsValueData_ = false;
  std::vector<Found> found_;  // discovery: one for each level
  std::wstring path_;  // relative path of the key visited last
  std::vector<Level> levels_;
  std::vector<wchar_t> name_;
  std::vector<wchar_t> valueName_;
  DWORD valueNameLength_ = 0;  // of the name ReadValueData read last
  std::vector<wchar_t> data_;
  std::wstring matchedNames_;  // NUL-terminated names of a shared key's values
  std::vector<size_t> matchedLengths_;  // their lengths: a name may hold a NUL
  KeyTreeDeletion deletion_;
};

void SweepHive(const Stage& stage, HKEY root, Match match, const std::wstring& searchText,
               SweepRun run = SweepRun::Pass, HiveRecords* records = nullptr) {
  // An empty text would match the hive's root or every value: delete nothing.
  if (searchText.empty()) return;
  HiveWalk(stage, root, match, searchText, run, records).Run();
}

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
  static const std::vector<Pass> passes = {
      {Message::CurrentUserPass1, Message::CurrentUserPass1Check, HKEY_CURRENT_USER, Match::KeyName,
       PackedBootstrapperGuid},
      {Message::CurrentUserPass2, Message::CurrentUserPass2Check, HKEY_CURRENT_USER, Match::ValueName,
       PackedBootstrapperGuid},
      {Message::ClassesRootPass1, Message::ClassesRootPass1Check, HKEY_CLASSES_ROOT, Match::KeyName,
       PackedProductGuid},
      {Message::LocalMachinePass1, Message::LocalMachinePass1Check, HKEY_LOCAL_MACHINE, Match::KeyName,
       PackedProductGuid},
      {Message::LocalMachinePass2, Message::LocalMachinePass2Check, HKEY_LOCAL_MACHINE, Match::ValueName,
       PackedProductGuid},
      {Message::LocalMachinePass3, Message::LocalMachinePass3Check, HKEY_LOCAL_MACHINE, Match::KeyName,
       PackedBootstrapperGuid},
      {Message::LocalMachinePass4, Message::LocalMachinePass4Check, HKEY_LOCAL_MACHINE, Match::ValueName,
       PackedBootstrapperGuid},
      {Message::LocalMachinePass5, Message::LocalMachinePass5Check, HKEY_LOCAL_MACHINE, Match::ValueData,
       ProductNameText},
      {Message::LocalMachinePass6, Message::LocalMachinePass6Check, HKEY_LOCAL_MACHINE, Match::KeyName,
       FirstInstallerGuid},
      {Message::LocalMachinePass7, Message::LocalMachinePass7Check, HKEY_LOCAL_MACHINE, Match::KeyName,
       SecondInstallerGuid},
      {Message::LocalMachinePass8, Message::LocalMachinePass8Check, HKEY_LOCAL_MACHINE, Match::KeyName,
       ProductServiceName.c_str()},
  };
  return passes;
}

const std::vector<Pass>& BootstrapperPasses() {
  static const std::vector<Pass> passes = {
      {Message::CurrentUserPass1, Message::CurrentUserPass1Check, HKEY_CURRENT_USER, Match::KeyName,
       PackedBootstrapperGuid},
      {Message::CurrentUserPass2, Message::CurrentUserPass2Check, HKEY_CURRENT_USER, Match::ValueName,
       PackedBootstrapperGuid},
      {Message::LocalMachinePass1, Message::LocalMachinePass1Check, HKEY_LOCAL_MACHINE, Match::KeyName,
       PackedBootstrapperGuid},
      {Message::LocalMachinePass2, Message::LocalMachinePass2Check, HKEY_LOCAL_MACHINE, Match::ValueName,
       PackedBootstrapperGuid},
      {Message::LocalMachinePass3, Message::LocalMachinePass3Check, HKEY_LOCAL_MACHINE, Match::KeyName,
       BootstrapperGuid},
  };
  return passes;
}

bool FullRegistryWalks = false;
RegistryWork* ServingWork = nullptr;

void AddSearch(HiveRecords& hive, Match match, const std::wstring& text) {
  if (hive.Bit(match, text) == 0) hive.searches.push_back({match, text});
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
  HiveRecords* records = work.discovered ? &work.Hive(predefined) : nullptr;
  SweepHive(stage, work.Root(predefined), match, searchText, run, records);
}

void RunPasses(const wchar_t* stageHeader, const std::vector<Pass>& passes, RegistryWork::Records& work) {
  Report(stageHeader);
  const Stage stage;
  for (const Pass& pass : passes) {
    // The search text is set up afresh for every pass and check pass.
    Report(pass.subHeader);
    RunSweep(stage, work, pass.root, pass.sweep, pass.searchText, SweepRun::Pass);
    Report(pass.checkSubHeader);
    RunSweep(stage, work, pass.root, pass.sweep, pass.searchText, SweepRun::Check);
  }
}

}  // namespace

RegistryWork::RegistryWork(unsigned stages, const Hives& hives)
    : records_(new Records(stages, hives)), previous_(ServingWork) {
  ServingWork = this;
  if (FullRegistryWalks) return;
  Records& work = *records_;
  if (stages & VendorKeys) {
    AddSearch(work.localMachine, Match::Path, FirstVendorKeyPath);
    AddSearch(work.localMachine, Match::Path, SecondVendorKeyPath);
  }
  for (const auto& [stage, passes] : {std::pair{InstallerEntries, &InstallerPasses()},
                                      std::pair{BootstrapperEntries, &BootstrapperPasses()}})
    if (stages & stage)
      for (const Pass& pass : *passes) AddSearch(work.Hive(pass.root), pass.sweep, pass.searchText);
  for (HKEY predefined : {HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE}) {
    HiveRecords& hive = work.Hive(predefined);
    if (hive.searches.empty()) continue;
    hive.root = work.Root(predefined);
    HiveWalk(hive).Run();
  }
  work.discovered = true;
}

RegistryWork::~RegistryWork() { ServingWork = previous_; }

RegistryWork* RegistryWork::Serving(unsigned stage) {
  return ServingWork != nullptr && (ServingWork->records_->stages & stage) != 0 ? ServingWork : nullptr;
}

void SetFullRegistryWalks(bool full) { FullRegistryWalks = full; }

void Stage::DeleteKeyByPath(const std::wstring& searchText) const {
  SweepHive(*this, HKEY_LOCAL_MACHINE, Match::Path, searchText);
}

void Stage::DeleteKeysByName(HKEY root, const std::wstring& searchText, SweepRun run) const {
  SweepHive(*this, root, Match::KeyName, searchText, run);
}

void Stage::DeleteKeysByValueName(HKEY root, const std::wstring& searchText, SweepRun run) const {
  SweepHive(*this, root, Match::ValueName, searchText, run);
}

void Stage::DeleteKeysByValueData(const std::wstring& searchText, SweepRun run) const {
  SweepHive(*this, HKEY_LOCAL_MACHINE, Match::ValueData, searchText, run);
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
