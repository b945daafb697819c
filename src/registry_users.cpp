#include "registry_users.h"

#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <utility>

#include "privileges.h"
#include "registry_trust.h"

namespace {

using LocalMemory = UniqueHandle<HLOCAL, LocalFree>;

// Administrators' key: the profile service writes it, and the path in it
// decides which file SYSTEM loads.
constexpr wchar_t ProfileListPath[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr DWORD NameCapacity = 256;   // a SID string is under 200 characters
constexpr DWORD PathCapacity = 1024;  // a profile folder, wide characters

// The names of parent's subkeys, all read before anything is loaded below it.
std::vector<std::wstring> SubkeyNames(HKEY parent) {
  std::vector<std::wstring> names;
  wchar_t name[NameCapacity];
  for (DWORD index = 0;; ++index) {
    DWORD length = NameCapacity;
    if (RegEnumKeyExW(parent, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  return names;
}

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return std::wstring();
  const LocalMemory owner(text);
  return text;
}

// A name is a user's SID when it is one in its canonical form (not an
// alias such as "BA", not the .DEFAULT or _Classes hives) and not one of
// the service accounts SYSTEM, LOCAL SERVICE and NETWORK SERVICE.
bool IsUserSid(const std::wstring& name) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(name.c_str(), &sid)) return false;
  const LocalMemory owner(sid);
  if (SidText(sid) != name) return false;
  return name != L"S-1-5-18" && name != L"S-1-5-19" && name != L"S-1-5-20";
}

std::wstring RunningAccountSid() {
  const std::vector<BYTE>& account = RunningAccount();
  return account.empty() ? std::wstring() : SidText(const_cast<BYTE*>(account.data()));
}

// Opens name below parent as itself, for reading: a hive's root needs no
// more for the walks, nor a profile's entry; the owner takes only a key
// that opened.
LONG OpenForReading(HKEY parent, const std::wstring& name, KeyHandle& key) {
  HKEY opened = nullptr;
  const LONG result = RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | KEY_WOW64_64KEY, &opened);
  if (result == ERROR_SUCCESS) key.reset(opened);
  return result;
}

// The hive file of a profile, from the path its ProfileList entry gives.
LONG ProfileHiveFile(HKEY profiles, const std::wstring& sid, std::wstring& file) {
  KeyHandle profile;
  LONG result = OpenForReading(profiles, sid, profile);
  if (result != ERROR_SUCCESS) return result;
  // Its path decides what SYSTEM loads: only the administrators' is taken.
  if (!OnlyAdministratorsCanWrite(profile.get())) return ERROR_ACCESS_DENIED;
  wchar_t path[PathCapacity];
  DWORD size = sizeof(path);
  result = RegGetValueW(profile.get(), nullptr, L"ProfileImagePath",
                        RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, path, &size);
  if (result != ERROR_SUCCESS) return result;
  wchar_t expanded[PathCapacity];
  const DWORD length = ExpandEnvironmentStringsW(path, expanded, PathCapacity);
  if (length == 0 || length > PathCapacity) return ERROR_BUFFER_OVERFLOW;
  file = std::wstring(expanded) + L"\\NTUSER.DAT";
  return ERROR_SUCCESS;
}


// NtUnloadKey2 with REG_FORCE_UNLOAD unloads a hive in which another
// process holds keys open; Win32 has no such call.
using UnloadKey2 = NTSTATUS(NTAPI*)(POBJECT_ATTRIBUTES, ULONG);

LONG ForceUnload(const std::wstring& name) {
  const auto unload = reinterpret_cast<UnloadKey2>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtUnloadKey2")));
  if (unload == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  std::wstring path = L"\\Registry\\User\\" + name;
  UNICODE_STRING counted;
  counted.Buffer = path.data();
  counted.Length = static_cast<USHORT>(path.size() * sizeof(wchar_t));
  counted.MaximumLength = counted.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  const NTSTATUS status = unload(&attributes, REG_FORCE_UNLOAD);
  return status >= 0 ? ERROR_SUCCESS : static_cast<LONG>(RtlNtStatusToDosError(status));
}

}  // namespace

LoadedHive::LoadedHive(std::wstring name, const std::wstring& file)
    : name_(std::move(name)), result_(RegLoadKeyW(HKEY_USERS, name_.c_str(), file.c_str())),
      loaded_(result_ == ERROR_SUCCESS) {
  // A load that fails part-way may leave an empty key of the name (Wine
  // does); unless the name was taken before, it is nobody's but ours.
  if (!loaded_ && result_ != ERROR_ALREADY_EXISTS) RegDeleteKeyExW(HKEY_USERS, name_.c_str(), KEY_WOW64_64KEY, 0);
}

LONG LoadedHive::Unload() {
  if (!loaded_) return ERROR_SUCCESS;
  LONG result = RegUnLoadKeyW(HKEY_USERS, name_.c_str());
  if (result != ERROR_SUCCESS && ForceUnload(name_) == ERROR_SUCCESS) result = ERROR_SUCCESS;
  loaded_ = result != ERROR_SUCCESS;
  return result;
}

std::vector<UserHive> OpenOtherUsersHives() {
  std::vector<UserHive> hives;
  const std::wstring running = RunningAccountSid();
  const auto isOther = [&](const std::wstring& name) { return name != running && IsUserSid(name); };
  const std::vector<std::wstring> loadedNames = SubkeyNames(HKEY_USERS);
  for (const std::wstring& name : loadedNames) {
    if (!isOther(name)) continue;
    UserHive& hive = hives.emplace_back();
    hive.sid = name;
    hive.result = OpenForReading(HKEY_USERS, name, hive.root);
  }

  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProfileListPath, 0, KEY_READ | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS)
    return hives;
  const KeyHandle profiles(opened);
  bool privileged = false;
  for (const std::wstring& sid : SubkeyNames(profiles.get())) {
    // Registry names are compared without regard to case.
    const auto isLoaded = [&](const std::wstring& name) {
      return CompareStringOrdinal(name.c_str(), -1, sid.c_str(), -1, TRUE) == CSTR_EQUAL;
    };
    if (!isOther(sid) || std::any_of(loadedNames.begin(), loadedNames.end(), isLoaded)) continue;
    UserHive& hive = hives.emplace_back();
    hive.sid = sid;
    std::wstring file;
    hive.result = ProfileHiveFile(profiles.get(), sid, file);
    hive.noHiveFile = hive.result == ERROR_FILE_NOT_FOUND;
    if (hive.result != ERROR_SUCCESS) continue;
    if (!privileged) EnablePrivileges({SE_BACKUP_NAME, SE_RESTORE_NAME});
    privileged = true;
    // A name no user's SID can have, and no other run's.
    hive.loaded = std::make_unique<LoadedHive>(
        L"kestrum." + std::to_wstring(GetCurrentProcessId()) + L"." + sid, file);
    hive.result = hive.loaded->result();
    hive.noHiveFile = hive.result == ERROR_FILE_NOT_FOUND || hive.result == ERROR_PATH_NOT_FOUND;
    if (hive.result == ERROR_SUCCESS) hive.result = OpenForReading(HKEY_USERS, hive.loaded->name(), hive.root);
  }
  return hives;
}

LONG CloseUserHive(UserHive& hive) {
  // What the sweeps changed is written to the file before it unloads.
  if (hive.root && hive.loaded) RegFlushKey(hive.root.get());
  hive.root.reset();
  return hive.loaded ? hive.loaded->Unload() : ERROR_SUCCESS;
}
