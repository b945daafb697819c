#include "registry.h"

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "app.h"
#include "report.h"

namespace {

// Every subkey is opened for all access and in the 64-bit view, in both
// builds: the walk always reads the 64-bit registry.
constexpr REGSAM WalkAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;
static_assert(WalkAccess == 0xF013F, "the walk's access mask");

// The keys of a deletion are opened as RegDeleteTreeW opens them, so that
// a refused or missing key gives the same code; but in the 64-bit view.
constexpr REGSAM DeleteAccess = KEY_READ | KEY_WOW64_64KEY;
constexpr REGSAM DeleteView = KEY_WOW64_64KEY;

constexpr DWORD NameCapacity = 1024;       // subkey names, wide characters
constexpr DWORD ValueNameCapacity = 8192;  // value names, wide characters
constexpr DWORD DataCapacity = 1024;       // value data, bytes

}  // namespace

KeyTreeDeletion::KeyTreeDeletion() : name_(NameCapacity) { trail_.reserve(NameCapacity); }

LONG KeyTreeDeletion::Delete(HKEY parent, const wchar_t* name) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExW(parent, name, 0, DeleteAccess, &key);
  if (result != ERROR_SUCCESS) return result;
  trail_.assign(name);
  trail_ += L'\0';
  doomed_.assign(1, Doomed{key, 0});
  while (result == ERROR_SUCCESS && !doomed_.empty()) {
    const Doomed deepest = doomed_.back();
    DWORD length = NameCapacity;
    // Always index 0: each subkey deleted makes room for the next.
    if (RegEnumKeyExW(deepest.key, 0, name_.data(), &length, nullptr, nullptr, nullptr, nullptr) ==
        ERROR_SUCCESS) {
      const size_t offset = trail_.size();
      trail_.append(name_.data(), length);
      trail_ += L'\0';
      HKEY child = nullptr;
      result = RegOpenKeyExW(deepest.key, trail_.c_str() + offset, 0, DeleteAccess, &child);
      if (result == ERROR_SUCCESS) doomed_.push_back({child, offset});
      continue;
    }
    RegCloseKey(deepest.key);
    doomed_.pop_back();
    const HKEY above = doomed_.empty() ? parent : doomed_.back().key;
    result = RegDeleteKeyExW(above, trail_.c_str() + deepest.nameOffset, DeleteView, 0);
    trail_.resize(deepest.nameOffset);
  }
  for (const Doomed& open : doomed_) RegCloseKey(open.key);
  return result;
}

namespace {

// What a sweep compares, for each visited key.
enum class Match { Path, KeyName, ValueName, ValueData };

// One run of a sweep over a whole hive. The walk keeps its own stack of
// open keys instead of recursing, so a deep hive costs heap, not stack; the
// relative path lives in one buffer that grows and shrinks with the walk,
// and the name, value-name and data buffers serve every level, since no
// level reads them again after it has descended.
class HiveWalk {
 public:
  HiveWalk(const Stage& stage, HKEY root, Match match, const std::wstring& searchText)
      : stage_(stage), root_(root), match_(match), searchText_(searchText), name_(NameCapacity) {
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
      // of a deleted subkey slides into its index and is left for the next
      // run of the sweep.
      ++visited.index;
      const HKEY parent = visited.key;
      const size_t parentLength = path_.size();
      if (parentLength != 0) path_ += L'\\';
      path_.append(name_.data(), length);
      const wchar_t* name = path_.c_str() + (path_.size() - length);
      if (match_ == Match::KeyName && searchText_ == std::wstring_view(name, length)) DeleteKey(parent, name);
      HKEY subkey = nullptr;
      if (RegOpenKeyExW(parent, name, 0, WalkAccess, &subkey) == ERROR_SUCCESS)
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
  };

  // Arrival at a key: the tests made on the key itself, before its subkeys.
  void Enter(HKEY key, size_t parentLength) {
    levels_.push_back({key, 0, parentLength});
    bool matched = false;
    if (match_ == Match::Path)
      matched = searchText_ == path_;
    else if (match_ == Match::ValueName || match_ == Match::ValueData)
      matched = ValuesMatch(key);
    // A value of the root itself would take the whole hive with it.
    if (matched && levels_.size() > 1) {
      const size_t nameStart = parentLength == 0 ? 0 : parentLength + 1;
      DeleteKey(levels_[levels_.size() - 2].key, path_.c_str() + nameStart);
    }
  }

  void Leave() {
    const Level left = levels_.back();
    levels_.pop_back();
    if (left.key != root_) RegCloseKey(left.key);
    path_.resize(left.parentLength);
  }

  // Reads every value of the key, also after a match.
  bool ValuesMatch(HKEY key) {
    bool matched = false;
    for (DWORD index = 0;; ++index) {
      DWORD length = ValueNameCapacity;
      if (match_ == Match::ValueName) {
        if (RegEnumValueW(key, index, valueName_.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
          return matched;
        matched = matched || Contains(std::wstring_view(valueName_.data(), length));
        continue;
      }
      DWORD size = 0;
      const ValueRead read = ReadValueData(key, index, size);
      if (read == ValueRead::EndOfScan) return matched;
      if (read == ValueRead::Skipped) continue;
      // Text up to its first NUL and never past the bytes read: an odd last
      // byte is half a code unit and does not count.
      std::wstring_view text(data_.data(), size / sizeof(wchar_t));
      text = text.substr(0, text.find(L'\0'));
      matched = matched || Contains(text);
    }
  }

  enum class ValueRead { Read, Skipped, EndOfScan };

  // The data of the value at index, at most DataCapacity bytes. A value is
  // read by name after its name was enumerated; but one enumeration that
  // returns name and data together gives the same bytes at half the calls,
  // so that is tried first. When it fails for any reason but the end of the
  // list (a name or data too long for its buffer), the two separate calls
  // decide: a name too long ends the scan, data too long skips the value.
  ValueRead ReadValueData(HKEY key, DWORD index, DWORD& size) {
    DWORD length = ValueNameCapacity;
    size = DataCapacity;
    const LONG result = RegEnumValueW(key, index, valueName_.data(), &length, nullptr, nullptr,
                                      reinterpret_cast<BYTE*>(data_.data()), &size);
    if (result == ERROR_SUCCESS) return ValueRead::Read;
    if (result == ERROR_NO_MORE_ITEMS) return ValueRead::EndOfScan;
    length = ValueNameCapacity;
    if (RegEnumValueW(key, index, valueName_.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      return ValueRead::EndOfScan;
    size = DataCapacity;
    if (RegQueryValueExW(key, valueName_.data(), nullptr, nullptr, reinterpret_cast<BYTE*>(data_.data()),
                         &size) != ERROR_SUCCESS)
      return ValueRead::Skipped;
    return ValueRead::Read;
  }

  bool Contains(std::wstring_view text) const { return text.find(searchText_) != std::wstring_view::npos; }

  // The deletion report around the deletion of name below parent; path_
  // holds the key's relative path.
  void DeleteKey(HKEY parent, const wchar_t* name) {
    stage_.Report(Message::DeletingKey, path_.c_str());
    const LONG result = deletion_.Delete(parent, name);
    if (result == ERROR_SUCCESS)
      stage_.Report(Message::Success);
    else
      stage_.Report(Message::Failed, static_cast<int>(result));
  }

  const Stage& stage_;
  const HKEY root_;
  const Match match_;
  const std::wstring_view searchText_;
  std::wstring path_;  // relative path of the key visited last
  std::vector<Level> levels_;
  std::vector<wchar_t> name_;
  std::vector<wchar_t> valueName_;
  std::vector<wchar_t> data_;
  KeyTreeDeletion deletion_;
};

void SweepHive(const Stage& stage, HKEY root, Match match, const std::wstring& searchText) {
  // An empty text would match the hive's root or every value: delete nothing.
  if (searchText.empty()) return;
  HiveWalk(stage, root, match, searchText).Run();
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

void RunSweep(const Stage& stage, const Pass& pass) {
  const std::wstring searchText = pass.searchText;
  switch (pass.sweep) {
    case Sweep::KeysByName:
      stage.DeleteKeysByName(pass.root, searchText);
      break;
    case Sweep::KeysByValueName:
      stage.DeleteKeysByValueName(pass.root, searchText);
      break;
    case Sweep::KeysByValueData:  // always HKEY_LOCAL_MACHINE
      stage.DeleteKeysByValueData(searchText);
      break;
  }
}

template <size_t Count>
void RunPasses(const wchar_t* stageHeader, const Pass (&passes)[Count]) {
  Report(stageHeader);
  const Stage stage;
  for (const Pass& pass : passes) {
    Report(pass.subHeader);
    RunSweep(stage, pass);
    Report(pass.checkSubHeader);
    RunSweep(stage, pass);
  }
}

}  // namespace

void Stage::DeleteKeyByPath(const std::wstring& searchText) const {
  SweepHive(*this, HKEY_LOCAL_MACHINE, Match::Path, searchText);
}

void Stage::DeleteKeysByName(HKEY root, const std::wstring& searchText) const {
  SweepHive(*this, root, Match::KeyName, searchText);
}

void Stage::DeleteKeysByValueName(HKEY root, const std::wstring& searchText) const {
  SweepHive(*this, root, Match::ValueName, searchText);
}

void Stage::DeleteKeysByValueData(const std::wstring& searchText) const {
  SweepHive(*this, HKEY_LOCAL_MACHINE, Match::ValueData, searchText);
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
