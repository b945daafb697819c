#include "registry.h"

#include <windows.h>
#include <winternl.h>

#include <string>
#include <string_view>
#include <vector>

#include "app.h"
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

}  // namespace

KeyTreeDeletion::KeyTreeDeletion() : name_(NameCapacity) {}

LONG KeyTreeDeletion::Delete(HKEY parent, const wchar_t* name) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExW(parent, name, OpenAsItself, DeleteAccess, &key);
  if (result != ERROR_SUCCESS) return result;
  doomed_.assign(1, key);
  while (result == ERROR_SUCCESS && !doomed_.empty()) {
    const HKEY deepest = doomed_.back();
    DWORD length = NameCapacity;
    // Always index 0: each subkey deleted makes room for the next.
    if (RegEnumKeyExW(deepest, 0, name_.data(), &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
      HKEY child = nullptr;
      result = RegOpenKeyExW(deepest, name_.data(), OpenAsItself, DeleteAccess, &child);
      if (result == ERROR_SUCCESS) doomed_.push_back(child);
      continue;
    }
    result = DeleteOpenKey(deepest);
    RegCloseKey(deepest);
    doomed_.pop_back();
  }
  for (const HKEY open : doomed_) RegCloseKey(open);
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

// One run of a sweep over a whole hive. The walk keeps its own stack of
// open keys instead of recursing, so a deep hive costs heap, not stack; the
// relative path lives in one buffer that grows and shrinks with the walk,
// and the name, value-name and data buffers serve every level, since no
// level reads them again after it has descended.
class HiveWalk {
 public:
  HiveWalk(const Stage& stage, HKEY root, Match match, const std::wstring& searchText, SweepRun run)
      : stage_(stage), root_(root), match_(match), run_(run), searchText_(searchText), name_(NameCapacity) {
    if (match == Match::ValueName || match == Match::ValueData) valueName_.resize(ValueNameCapacity);
    if (match == Match::ValueData) data_.resize(DataCapacity / sizeof(wchar_t));
    path_.reserve(NameCapacity);
    levels_.reserve(64);
  }

  void Run() {
    Enter(root_, 0);
    while (!levels_.empty()) {
      Level& visited = levels_.back();
      DWORD length = NameCapacity;
      if (RegEnumKeyExW(visited.key, visited.index, name_.data(), &length, nullptr, nullptr, nullptr,
                        nullptr) != ERROR_SUCCESS) {
        Leave();
        continue;
      }
      // The index moves on after every entry, deleted or not: the follower
      // of a deleted subkey slides into its index and is left for the check
      // pass, which alone stays on the index of a key it deleted.
      ++visited.index;
      const HKEY parent = visited.key;
      const size_t parentLength = path_.size();
      if (parentLength != 0) path_ += L'\\';
      path_.append(name_.data(), length);
      const wchar_t* name = path_.c_str() + (path_.size() - length);
      if (match_ == Match::KeyName && searchText_ == std::wstring_view(name, length) &&
          DeleteKey(parent, name) == ERROR_SUCCESS) {
        StayOnDeletedIndex(visited);
        path_.resize(parentLength);
        continue;
      }
      HKEY subkey = nullptr;
      if (RegOpenKeyExW(parent, name, OpenAsItself, WalkAccess, &subkey) == ERROR_SUCCESS)
        Enter(subkey, parentLength);
      else
        path_.resize(parentLength);  // just deleted, or closed to us: its subtree is skipped
    }
  }

 private:
  struct Level {
    HKEY key;
    DWORD index;          // of the next subkey to read
    size_t parentLength;  // path_ is cut back to this on leaving the key
    DWORD revisits;       // check pass: deletions left that may keep the index
    bool counted;         // revisits has been set from the key's subkey count
  };

  // Arrival at a key: the tests made on the key itself, before its subkeys.
  // The hive's root is never acted on: its deletion would take the hive.
  void Enter(HKEY key, size_t parentLength) {
    levels_.push_back({key, 0, parentLength, 0, false});
    Verdict verdict = Verdict::None;
    if (match_ == Match::Path)
      verdict = searchText_ == path_ ? Verdict::Whole : Verdict::None;
    else if (match_ == Match::ValueName)
      verdict = ScanValueNames(key);
    else if (match_ == Match::ValueData)
      verdict = ScanValueData(key);
    if (levels_.size() == 1) return;
    switch (verdict) {
      case Verdict::Whole: {
        const size_t nameStart = parentLength == 0 ? 0 : parentLength + 1;
        Level& parent = levels_[levels_.size() - 2];
        if (DeleteKey(parent.key, path_.c_str() + nameStart) == ERROR_SUCCESS) StayOnDeletedIndex(parent);
        break;
      }
      case Verdict::SharedValues:
        DeleteMatchedValues(key);
        break;
      case Verdict::SharedKey:
        stage_.Report(Message::LeavingSharedKey, path_.c_str());
        break;
      case Verdict::None:
        break;
    }
  }

  void Leave() {
    const Level left = levels_.back();
    levels_.pop_back();
    if (left.key != root_) RegCloseKey(left.key);
    path_.resize(left.parentLength);
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
    bool unmatched = false;
    for (DWORD index = 0;; ++index) {
      DWORD length = ValueNameCapacity;
      const LONG result =
          RegEnumValueW(key, index, valueName_.data(), &length, nullptr, nullptr, nullptr, nullptr);
      if (result != ERROR_SUCCESS) {
        unmatched = unmatched || result != ERROR_NO_MORE_ITEMS;
        break;
      }
      if (Contains(std::wstring_view(valueName_.data(), length)))
        matchedNames_.append(valueName_.data(), length + 1);  // with its NUL
      else
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
      if (NamesTheKey(std::wstring_view(valueName_.data()))) return Verdict::Whole;
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
    if (result == ERROR_SUCCESS) return ValueRead::Read;
    if (result == ERROR_NO_MORE_ITEMS) return ValueRead::EndOfList;
    length = ValueNameCapacity;
    result = RegEnumValueW(key, index, valueName_.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS) return result == ERROR_NO_MORE_ITEMS ? ValueRead::EndOfList : ValueRead::EndOfScan;
    size = DataCapacity;
    if (RegQueryValueExW(key, valueName_.data(), nullptr, nullptr, reinterpret_cast<BYTE*>(data_.data()),
                         &size) != ERROR_SUCCESS)
      return ValueRead::Skipped;
    return ValueRead::Read;
  }

  bool Contains(std::wstring_view text) const { return text.find(searchText_) != std::wstring_view::npos; }

  // The deletion report around the deletion of name below parent; path_
  // holds the key's relative path.
  LONG DeleteKey(HKEY parent, const wchar_t* name) {
    stage_.Report(Message::DeletingKey, path_.c_str());
    const LONG result = deletion_.Delete(parent, name);
    ReportResult(result);
    return result;
  }

  // The matching values of a shared key, in the order they were read, each
  // through the walk's handle, which names the 64-bit view.
  void DeleteMatchedValues(HKEY key) {
    for (size_t at = 0; at < matchedNames_.size(); at = matchedNames_.find(L'\0', at) + 1) {
      const wchar_t* value = matchedNames_.c_str() + at;
      stage_.Report(Message::DeletingValue, value, path_.c_str());
      ReportResult(RegDeleteValueW(key, value));
    }
  }

  void ReportResult(LONG result) const {
    if (result == ERROR_SUCCESS)
      stage_.Report(Message::Success);
    else
      stage_.Report(Message::Failed, static_cast<int>(result));
  }

  const Stage& stage_;
  const HKEY root_;
  const Match match_;
  const SweepRun run_;
  const std::wstring_view searchText_;
  std::wstring path_;  // relative path of the key visited last
  std::vector<Level> levels_;
  std::vector<wchar_t> name_;
  std::vector<wchar_t> valueName_;
  std::vector<wchar_t> data_;
  std::wstring matchedNames_;  // NUL-terminated names of a shared key's values
  KeyTreeDeletion deletion_;
};

void SweepHive(const Stage& stage, HKEY root, Match match, const std::wstring& searchText,
               SweepRun run = SweepRun::Pass) {
  // An empty text would match the hive's root or every value: delete nothing.
  if (searchText.empty()) return;
  HiveWalk(stage, root, match, searchText, run).Run();
}

// The product's installer and bootstrapper records. The two packed GUIDs
// are written as Windows Installer names its per-product keys and values.
constexpr wchar_t PackedBootstrapperGuid[] = L"9636B389AB5D5D14EBF454D61C4F4941";
constexpr wchar_t PackedProductGuid[] = L"4855687A0CDDB614B846EDB2FCE21DFD";
constexpr wchar_t ProductNameText[] = L"Orvane Client";
constexpr wchar_t FirstInstallerGuid[] = L"{e6a11024-5926-4359-bc32-05fe3ec5c2e3}";
constexpr wchar_t SecondInstallerGuid[] = L"{744ad6f8-a222-4194-8ee1-775d0f0f15fa}";
constexpr wchar_t BootstrapperGuid[] = L"{983B6369-D5BA-41D5-BE4F-456DC1F49414}";

enum class Sweep { KeysByName, KeysByValueName, KeysByValueData };

// One row of a stage's pass table; each pass runs twice, the second time
// as its check pass, which reaches the keys the first left behind.
struct Pass {
  const wchar_t* subHeader;
  const wchar_t* checkSubHeader;
  HKEY root;
  Sweep sweep;
  const wchar_t* searchText;
};

void RunSweep(const Stage& stage, const Pass& pass, SweepRun run) {
  const std::wstring searchText = pass.searchText;
  switch (pass.sweep) {
    case Sweep::KeysByName:
      stage.DeleteKeysByName(pass.root, searchText, run);
      break;
    case Sweep::KeysByValueName:
      stage.DeleteKeysByValueName(pass.root, searchText, run);
      break;
    case Sweep::KeysByValueData:  // always HKEY_LOCAL_MACHINE
      stage.DeleteKeysByValueData(searchText, run);
      break;
  }
}

template <size_t Count>
void RunPasses(const wchar_t* stageHeader, const Pass (&passes)[Count]) {
  Report(stageHeader);
  const Stage stage;
  for (const Pass& pass : passes) {
    Report(pass.subHeader);
    RunSweep(stage, pass, SweepRun::Pass);
    Report(pass.checkSubHeader);
    RunSweep(stage, pass, SweepRun::Check);
  }
}

}  // namespace

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
  Report(Message::DeletingRegistryHeader);
  Report(Message::DeletingFirstVendorEntries);
  const Stage stage;
  stage.DeleteKeyByPath(FirstVendorKeyPath);
  Report(Message::DeletingSecondVendorEntries);
  stage.DeleteKeyByPath(SecondVendorKeyPath);
  return true;
}

bool DeleteInstallerRegistryEntries() {
  const Pass passes[] = {
      {Message::CurrentUserPass1, Message::CurrentUserPass1Check, HKEY_CURRENT_USER, Sweep::KeysByName,
       PackedBootstrapperGuid},
      {Message::CurrentUserPass2, Message::CurrentUserPass2Check, HKEY_CURRENT_USER, Sweep::KeysByValueName,
       PackedBootstrapperGuid},
      {Message::ClassesRootPass1, Message::ClassesRootPass1Check, HKEY_CLASSES_ROOT, Sweep::KeysByName,
       PackedProductGuid},
      {Message::LocalMachinePass1, Message::LocalMachinePass1Check, HKEY_LOCAL_MACHINE, Sweep::KeysByName,
       PackedProductGuid},
      {Message::LocalMachinePass2, Message::LocalMachinePass2Check, HKEY_LOCAL_MACHINE,
       Sweep::KeysByValueName, PackedProductGuid},
      {Message::LocalMachinePass3, Message::LocalMachinePass3Check, HKEY_LOCAL_MACHINE, Sweep::KeysByName,
       PackedBootstrapperGuid},
      {Message::LocalMachinePass4, Message::LocalMachinePass4Check, HKEY_LOCAL_MACHINE,
       Sweep::KeysByValueName, PackedBootstrapperGuid},
      {Message::LocalMachinePass5, Message::LocalMachinePass5Check, HKEY_LOCAL_MACHINE,
       Sweep::KeysByValueData, ProductNameText},
      {Message::LocalMachinePass6, Message::LocalMachinePass6Check, HKEY_LOCAL_MACHINE, Sweep::KeysByName,
       FirstInstallerGuid},
      {Message::LocalMachinePass7, Message::LocalMachinePass7Check, HKEY_LOCAL_MACHINE, Sweep::KeysByName,
       SecondInstallerGuid},
      {Message::LocalMachinePass8, Message::LocalMachinePass8Check, HKEY_LOCAL_MACHINE, Sweep::KeysByName,
       ProductServiceName.c_str()},
  };
  RunPasses(Message::DeletingInstallerHeader, passes);
  return true;
}

bool DeleteBootstrapperRegistryEntries() {
  const Pass passes[] = {
      {Message::CurrentUserPass1, Message::CurrentUserPass1Check, HKEY_CURRENT_USER, Sweep::KeysByName,
       PackedBootstrapperGuid},
      {Message::CurrentUserPass2, Message::CurrentUserPass2Check, HKEY_CURRENT_USER, Sweep::KeysByValueName,
       PackedBootstrapperGuid},
      {Message::LocalMachinePass1, Message::LocalMachinePass1Check, HKEY_LOCAL_MACHINE, Sweep::KeysByName,
       PackedBootstrapperGuid},
      {Message::LocalMachinePass2, Message::LocalMachinePass2Check, HKEY_LOCAL_MACHINE,
       Sweep::KeysByValueName, PackedBootstrapperGuid},
      {Message::LocalMachinePass3, Message::LocalMachinePass3Check, HKEY_LOCAL_MACHINE, Sweep::KeysByName,
       BootstrapperGuid},
  };
  RunPasses(Message::DeletingBootstrapperHeader, passes);
  return true;
}
