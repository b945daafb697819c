#include "registry_sweep.h"

#include <winternl.h>

#include <string>
#include <string_view>
#include <vector>

#include "registry_trust.h"
#include "report.h"

// A key is deleted through the very handle that was opened (and checked
// empty) for it: a name could meanwhile stand for another key or a link.
// Win32 has no call for that, so it is ntdll's.
extern "C" NTSYSAPI NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace {

[[nodiscard]] LONG DeleteOpenKey(HKEY key) {
  const NTSTATUS status = NtDeleteKey(key);
  return status >= 0 ? ERROR_SUCCESS : static_cast<LONG>(RtlNtStatusToDosError(status));
}

// What a sweep does at a key: its one search, its verdict, the deletion or
// the value deletions, and the report. A subkey is deleted by its name
// before the walk opens it; by its path or its values once it is open.
class Sweep {
 public:
  // shownAs goes before every path the report gives: empty, or another
  // user's SID and a backslash; user is then that user's SID.
  Sweep(const Stage& stage, const Search& search, std::wstring_view shownAs, PSID user)
      : stage_(stage), search_(search), shownAs_(shownAs), judge_(search, user) {}

  [[nodiscard]] Step BeforeOpen(const Subkey& subkey) {
    return search_.match == Match::KeyName && search_.MatchesKey(subkey.path, subkey.name) &&
                   DeleteKey(subkey) == ERROR_SUCCESS
               ? Step::Deleted
               : Step::Enter;
  }

  [[nodiscard]] Step Arrive(const Subkey& subkey, HKEY key) {
    const Verdict verdict = judge_.Judge(subkey, key, [](std::wstring_view) { return false; });
    if (verdict == Verdict::Whole) return DeleteKey(subkey) == ERROR_SUCCESS ? Step::Deleted : Step::Enter;
    if (verdict == Verdict::SharedValues) DeleteMatchedValues(subkey, key);
    if (verdict == Verdict::SharedKey) stage_.Report(Message::LeavingSharedKey, Shown(subkey.path).c_str());
    return Step::Enter;
  }

  void Unopened(const Subkey&) {}
  void Leave(std::wstring_view, DWORD) {}

 private:
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
    judge_.ForEachMatchedValue([&](std::wstring_view value) {
      stage_.Report(Message::DeletingValue, Printable(value).c_str(), Shown(subkey.path).c_str());
      ReportResult(DeleteValue(key, value));
    });
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
  KeyJudge judge_;
  KeyTreeDeletion deletion_;
};

}  // namespace

void SweepHive(const Stage& stage, HKEY root, const Search& search, SweepRun run,
               HiveRecords* hive, std::wstring_view shownAs, PSID user) {
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
