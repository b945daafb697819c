#include "registry_scan.h"

#include <winternl.h>

#include <cstdio>
#include <vector>

#include "handle.h"

extern "C" NTSYSAPI NTSTATUS NTAPI NtQueryKey(HANDLE key, int informationClass, PVOID information, ULONG length,
                                             PULONG resultLength);

namespace {

constexpr int KeyNameInformation = 3;

int CompareNoCase(std::wstring_view left, std::wstring_view right) {
  return CompareStringOrdinal(left.data(), static_cast<int>(left.size()), right.data(), static_cast<int>(right.size()),
                              TRUE);
}

// The open key's full registry name, as the kernel gives it; empty when
// it cannot be read (a predefined handle is no kernel handle).
std::wstring FullName(HKEY key) {
  std::vector<BYTE> buffer(1024);
  for (;;) {
    ULONG size = 0;
    const NTSTATUS status = NtQueryKey(key, KeyNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &size);
    if (status >= 0) {
      const ULONG length = *reinterpret_cast<const ULONG*>(buffer.data());
      return std::wstring(reinterpret_cast<const wchar_t*>(buffer.data() + sizeof(ULONG)), length / sizeof(wchar_t));
    }
    if (size <= buffer.size() || size > (1u << 20)) return std::wstring();
    buffer.resize(size);
  }
}

// The full name of a hive's root. HKEY_CLASSES_ROOT stands for the
// machine's classes, beside which each user's own are merged in. Another
// predefined root is named by its first subkey's full name.
std::wstring RootName(HKEY root) {
  if (root == HKEY_LOCAL_MACHINE) return L"\\REGISTRY\\MACHINE";
  if (root == HKEY_CLASSES_ROOT) return L"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes";
  std::wstring name = FullName(root);
  if (!name.empty()) return name;
  wchar_t first[NameCapacity];
  DWORD length = NameCapacity;
  KeyHandle key;
  if (RegEnumKeyExW(root, 0, first, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
      OpenKey(root, std::wstring_view(first, length), KEY_QUERY_VALUE | KEY_WOW64_64KEY, key) == ERROR_SUCCESS) {
    name = FullName(key.get());
    if (name.size() > length) return name.substr(0, name.size() - length - 1);
  }
  // Unnamed: a name of its own, which no full name can be.
  wchar_t own[32];
  std::swprintf(own, 32, L"<%p>", static_cast<void*>(root));
  return own;
}

// What the run's deletion of a key (KeyTreeDeletion) would do, found by
// making its opens, in its order, and deleting nothing: each key of the
// tree opened as itself for reading and deletion, deepest first; the first
// open refused ends it with that code, and what it would have deleted
// before is gone for the ledger. Keys the ledger holds gone are not there.
class DeletionForecast {
 public:
  DeletionForecast() : name_(NameCapacity) {}

  [[nodiscard]] LONG Run(HKEY parent, std::wstring_view name, const std::wstring& fullName, ScanLedger& ledger) {
    KeyHandle key;
    LONG result = OpenKey(parent, name, DeleteAccess, key);
    if (result != ERROR_SUCCESS) return result;
    path_ = fullName;
    deleted_.clear();
    levels_.clear();
    levels_.push_back({std::move(key), 0, path_.size()});
    while (!levels_.empty()) {
      Level& deepest = levels_.back();
      DWORD length = NameCapacity;
      if (RegEnumKeyExW(deepest.key.get(), deepest.index, name_.data(), &length, nullptr, nullptr, nullptr,
                        nullptr) == ERROR_SUCCESS) {
        ++deepest.index;
        path_.resize(deepest.end);
        path_ += L'\\';
        path_.append(name_.data(), length);
        if (ledger.KeyGone(path_)) continue;
        KeyHandle child;
        result = OpenKey(deepest.key.get(), std::wstring_view(name_.data(), length), DeleteAccess, child);
        if (result != ERROR_SUCCESS) break;
        levels_.push_back({std::move(child), 0, path_.size()});
        continue;
      }
      path_.resize(deepest.end);
      deleted_.push_back(path_);
      levels_.pop_back();
    }
    levels_.clear();
    if (result == ERROR_SUCCESS)
      ledger.KeyDeleted(fullName);
    else
      for (std::wstring& gone : deleted_) ledger.KeyDeleted(std::move(gone));
    return result;
  }

 private:
  struct Level {
    KeyHandle key;
    DWORD index;  // of the next subkey to read: nothing is deleted
    size_t end;   // of its full name in path_
  };
  std::vector<wchar_t> name_;
  std::wstring path_;
  std::vector<Level> levels_;
  std::vector<std::wstring> deleted_;  // what the deletion takes before it ends
};

// What the scan does at a key: the sweep's search and judgement; what the
// sweep would delete is listed and entered in the ledger, and the walk
// passes over it, as the run's pass and check pass together would no
// longer find it. A whole deletion that would fail leaves the key, which
// the walk enters, as the run's walk does.
class Scan {
 public:
  Scan(const Stage& stage, const Search& search, const wchar_t* hiveName, std::wstring_view sid, PSID user,
       ScanLedger& ledger, std::wstring root)
      : stage_(stage), search_(search), hiveName_(hiveName), sid_(sid), ledger_(ledger), root_(std::move(root)),
        judge_(search, user) {}

  [[nodiscard]] Step BeforeOpen(const Subkey& subkey) {
    NameOf(subkey);
    if (ledger_.KeyGone(name_)) return Step::PassedOver;
    if (search_.match == Match::KeyName && search_.MatchesKey(subkey.path, subkey.name)) return Forecast(subkey);
    return Step::Enter;
  }

  [[nodiscard]] Step Arrive(const Subkey& subkey, HKEY key) {
    NameOf(subkey);
    const Verdict verdict =
        judge_.Judge(subkey, key, [&](std::wstring_view value) { return ledger_.ValueGone(name_, value); });
    if (verdict == Verdict::Whole) return Forecast(subkey);
    if (verdict == Verdict::SharedValues)
      judge_.ForEachMatchedValue([&](std::wstring_view value) {
        Finding found = At(FindingKind::Value, subkey.path);
        found.name = value;
        stage_.List(found);
        ledger_.ValueDeleted(name_, value);
      });
    if (verdict == Verdict::SharedKey) stage_.List(At(FindingKind::SharedKey, subkey.path));
    return Step::Enter;
  }

  void Unopened(const Subkey&) {}
  void Leave(std::wstring_view, DWORD) {}

 private:
  void NameOf(const Subkey& subkey) {
    name_.assign(root_);
    name_ += L'\\';
    name_.append(subkey.path);
  }

  Step Forecast(const Subkey& subkey) {
    const LONG result = forecast_.Run(subkey.parent, subkey.name, name_, ledger_);
    Finding found = At(FindingKind::Key, subkey.path);
    if (result != ERROR_SUCCESS) found.code = result;
    stage_.List(found);
    return result == ERROR_SUCCESS ? Step::PassedOver : Step::Enter;
  }

  // A finding at path in this hive.
  [[nodiscard]] Finding At(FindingKind kind, std::wstring_view path) const {
    Finding found{kind, L"", std::wstring(path), std::wstring(sid_)};
    found.place = hiveName_;
    return found;
  }

  const Stage& stage_;
  const Search search_;
  const wchar_t* const hiveName_;
  const std::wstring_view sid_;
  ScanLedger& ledger_;
  const std::wstring root_;
  std::wstring name_;  // full name of the subkey read last
  KeyJudge judge_;
  DeletionForecast forecast_;
};

}  // namespace

bool ScanLedger::NoCase::operator()(std::wstring_view left, std::wstring_view right) const {
  return CompareNoCase(left, right) == CSTR_LESS_THAN;
}

bool ScanLedger::ValueNoCase::operator()(const std::pair<std::wstring, std::wstring>& left,
                                         const std::pair<std::wstring, std::wstring>& right) const {
  const int keys = CompareNoCase(left.first, right.first);
  return keys == CSTR_LESS_THAN || (keys == CSTR_EQUAL && CompareNoCase(left.second, right.second) == CSTR_LESS_THAN);
}

bool ScanLedger::ValueGone(std::wstring_view key, std::wstring_view value) const {
  return !values_.empty() && values_.count({std::wstring(key), std::wstring(value)}) != 0;
}

void ScanLedger::ValueDeleted(std::wstring_view key, std::wstring_view value) {
  values_.insert({std::wstring(key), std::wstring(value)});
}

void ScanHive(const Stage& stage, HKEY root, const Search& search, HiveRecords* hive, const wchar_t* hiveName,
              std::wstring_view sid, PSID user, ScanLedger& ledger) {
  if (search.text.empty()) return;
  Scan scan(stage, search, hiveName, sid, user, ledger, RootName(root));
  const SearchMask searched = hive != nullptr ? hive->BitOf(search) : 0;
  if (searched != 0)
    KeyWalk(root, SweepRun::Pass, scan, RecordReader(hive->kept, searched)).Run();
  else
    KeyWalk(root, SweepRun::Pass, scan, IndexReader()).Run();
}
