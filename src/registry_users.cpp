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

// A user account's SID, in its canonical form: local and domain accounts
// (S-1-5-21-...) and cloud directory accounts (S-1-12-1-...). Not the
// service accounts (S-1-5-18, -19, -20, virtual service accounts
// S-1-5-80-..., application pool identities S-1-5-82-...), whose profiles
// a service may load at any time; not aliases, .DEFAULT or _Classes hives.
bool IsUserAccount(const std::wstring& name) {
  if (name.rfind(L"S-1-5-21-", 0) != 0 && name.rfind(L"S-1-12-1-", 0) != 0) return false;
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(name.c_str(), &sid)) return false;
  const LocalMemory owner(sid);
  return SidText(sid) == name;
}

bool SameName(const std::wstring& name, const std::wstring& other) {
  // Registry names are compared without regard to case.
  return CompareStringOrdinal(name.c_str(), -1, other.c_str(), -1, TRUE) == CSTR_EQUAL;
}

constexpr wchar_t SystemSid[] = L"S-1-5-18";
// SYSTEM's own hive: HKEY_USERS\S-1-5-18 stands for it.
constexpr wchar_t SystemHive[] = L".DEFAULT";
// What the profile service appends to a user's entry when it gave him a
// temporary profile: the entry then names his own profile.
constexpr wchar_t BackupSuffix[] = L".bak";
constexpr size_t BackupSuffixLength = 4;

// The user's SID that a ProfileList entry (or the end of our hive name)
// gives: the entry without a backup suffix.
std::wstring EntrySid(const std::wstring& entry) {
  const bool backup = entry.size() > BackupSuffixLength &&
                      SameName(entry.substr(entry.size() - BackupSuffixLength), BackupSuffix);
  return backup ? entry.substr(0, entry.size() - BackupSuffixLength) : entry;
}

std::wstring RunningAccountSid() {
  const std::vector<BYTE>& account = RunningAccount();
  return account.empty() ? std::wstring() : SidText(const_cast<BYTE*>(account.data()));
}

// Opens name below parent as itself (or, with options 0, what it links
// to), for reading: a hive's root needs no more for the walks, nor a
// profile's entry; the owner takes only a key that opened.
LONG OpenForReading(HKEY parent, const std::wstring& name, KeyHandle& key, DWORD options = REG_OPTION_OPEN_LINK) {
  HKEY opened = nullptr;
  const LONG result = RegOpenKeyExW(parent, name.c_str(), options, KEY_READ | KEY_WOW64_64KEY, &opened);
  if (result == ERROR_SUCCESS) key.reset(opened);
  return result;
}

// The system's Windows folder (not a terminal server user's own) and its
// drive: what SystemRoot and SystemDrive are in the system's environment,
// which the profile service expands ProfileImagePath with. A deployment
// agent's trimmed environment may lack both.
LONG ExpandProfilePath(const std::wstring& path, std::wstring& expanded) {
  wchar_t windows[MAX_PATH];
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (length < 3 || length >= MAX_PATH || windows[1] != L':') return ERROR_ENVVAR_NOT_FOUND;
  const std::wstring root(windows, length);
  const std::wstring drive = root.substr(0, 2);
  expanded.clear();
  for (size_t at = 0; at < path.size();) {
    const size_t open = path.find(L'%', at);
    const size_t close = open == std::wstring::npos ? open : path.find(L'%', open + 1);
    if (close == std::wstring::npos) {
      expanded += path.substr(at);
      break;
    }
    expanded += path.substr(at, open - at);
    const std::wstring name = path.substr(open + 1, close - open - 1);
    if (SameName(name, L"SystemDrive"))
      expanded += drive;
    else if (SameName(name, L"SystemRoot") || SameName(name, L"windir"))
      expanded += root;
    else
      return ERROR_ENVVAR_NOT_FOUND;  // no other name is the system's own
    at = close + 1;
  }
  // Only a full local path: a relative one would be resolved against our
  // current folder.
  const bool full = expanded.size() >= 3 && expanded[1] == L':' && expanded[2] == L'\\';
  return full ? ERROR_SUCCESS : ERROR_BAD_PATHNAME;
}

// The hive file of a profile, from the path its ProfileList entry gives.
LONG ProfileHiveFile(HKEY profiles, const std::wstring& entry, std::wstring& file) {
  KeyHandle profile;
  LONG result = OpenForReading(profiles, entry, profile);
  if (result != ERROR_SUCCESS) return result;
  // Its path decides what SYSTEM loads: only the administrators' is taken.
  if (!OnlyAdministratorsCanWrite(profile.get())) return ERROR_ACCESS_DENIED;
  wchar_t path[PathCapacity];
  DWORD size = sizeof(path);
  result = RegGetValueW(profile.get(), nullptr, L"ProfileImagePath",
                        RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, path, &size);
  if (result != ERROR_SUCCESS) return result;
  result = ExpandProfilePath(path, file);
  file += L"\\NTUSER.DAT";
  return result;
}

// Whether file is there, as a file and not a link: the system's load call
// would create a missing one, and follow a link.
LONG CheckHiveFile(const std::wstring& file) {
  const KernelHandle opened(CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (opened.get() == INVALID_HANDLE_VALUE) {
    const LONG result = static_cast<LONG>(GetLastError());
    return result == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : result;
  }
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(opened.get(), &information)) return static_cast<LONG>(GetLastError());
  if (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
    return ERROR_CANT_ACCESS_FILE;
  return ERROR_SUCCESS;
}

// This process, as a name of HKEY_USERS gives it: its ID and its start
// time, since an ID passes to another process once its own has ended.
std::wstring RunName(DWORD process, const FILETIME& started) {
  wchar_t text[40];
  swprintf(text, 40, L"kestrum.%lu.%08lX%08lX.", static_cast<unsigned long>(process),
           static_cast<unsigned long>(started.dwHighDateTime), static_cast<unsigned long>(started.dwLowDateTime));
  return text;
}

const std::wstring& ThisRunName() {
  static const std::wstring name = [] {
    FILETIME started{}, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &started, &exited, &kernel, &user);
    return RunName(GetCurrentProcessId(), started);
  }();
  return name;
}

// Whether the run a hive name gives (kestrum.<id>.<start>.<entry>) still
// runs: a process of that ID that started at that time and has not ended.
// One that cannot be opened for lack of rights counts as running.
bool RunIsAlive(const std::wstring& name, std::wstring& entry) {
  const size_t idEnd = name.find(L'.', 8);
  const size_t startEnd = idEnd == std::wstring::npos ? idEnd : name.find(L'.', idEnd + 1);
  if (startEnd == std::wstring::npos || startEnd != idEnd + 17) return true;  // not of this form: not ours
  const DWORD process = wcstoul(name.substr(8, idEnd - 8).c_str(), nullptr, 10);
  const unsigned long long start = wcstoull(name.substr(idEnd + 1, 16).c_str(), nullptr, 16);
  entry = name.substr(startEnd + 1);
  const KernelHandle opened(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, process));
  if (!opened) return GetLastError() == ERROR_ACCESS_DENIED;
  FILETIME started{}, exited, kernel, user;
  if (WaitForSingleObject(opened.get(), 0) == WAIT_OBJECT_0 ||
      !GetProcessTimes(opened.get(), &started, &exited, &kernel, &user))
    return false;
  return (static_cast<unsigned long long>(started.dwHighDateTime) << 32 | started.dwLowDateTime) == start;
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

std::vector<UserProfile> ListOtherUsers() {
  std::vector<UserProfile> users;
  const std::wstring running = RunningAccountSid();
  if (running != SystemSid) users.push_back({SystemSid, SystemHive, L""});
  const std::vector<std::wstring> loadedNames = SubkeyNames(HKEY_USERS);
  for (const std::wstring& name : loadedNames)
    if (name != running && IsUserAccount(name)) users.push_back({name, name, L""});

  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProfileListPath, 0, KEY_READ | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS)
    return users;
  const KeyHandle profiles(opened);
  for (const std::wstring& entry : SubkeyNames(profiles.get())) {
    const std::wstring sid = EntrySid(entry);
    const bool backup = sid != entry;
    if (sid == running || !IsUserAccount(sid)) continue;
    // A backup entry's hive is not the one loaded by its SID.
    const auto isLoaded = [&](const std::wstring& name) { return SameName(name, sid); };
    if (!backup && std::any_of(loadedNames.begin(), loadedNames.end(), isLoaded)) continue;
    users.push_back({sid, L"", entry});
  }
  return users;
}

UserHive OpenUserHive(const UserProfile& profile, HiveSource source) {
  UserHive hive;
  hive.sid = profile.sid;
  PSID sid = nullptr;
  // SYSTEM is one of the administrators already: its hive is judged as
  // HKEY_CURRENT_USER is.
  if (profile.sid != SystemSid && ConvertStringSidToSidW(profile.sid.c_str(), &sid)) {
    const LocalMemory owner(sid);
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    hive.user.assign(bytes, bytes + GetLengthSid(sid));
  }
  if (!profile.loadedAs.empty()) {
    // Windows makes one of S-1-5-18 and .DEFAULT a link to the other. Only
    // the system puts hives and links below HKEY_USERS, so that one link
    // is followed; the walks below it follow none.
    hive.result = OpenForReading(HKEY_USERS, profile.loadedAs, hive.root,
                                 profile.sid == SystemSid ? 0 : REG_OPTION_OPEN_LINK);
    return hive;
  }
  HKEY opened = nullptr;
  hive.result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProfileListPath, 0, KEY_READ | KEY_WOW64_64KEY, &opened);
  if (hive.result != ERROR_SUCCESS) return hive;
  const KeyHandle profiles(opened);
  std::wstring file;
  hive.result = ProfileHiveFile(profiles.get(), profile.entry, file);
  if (hive.result == ERROR_SUCCESS) hive.result = CheckHiveFile(file);
  // Only a file or folder found missing: a path that cannot be read or
  // expanded says nothing of what the profile holds.
  hive.noHiveFile = !file.empty() && (hive.result == ERROR_FILE_NOT_FOUND || hive.result == ERROR_PATH_NOT_FOUND);
  if (hive.result != ERROR_SUCCESS) return hive;
  EnablePrivileges({SE_BACKUP_NAME, SE_RESTORE_NAME});
  // A name no user's SID can have, and no other run's; a copy's folder
  // is named alike, so that a later run tells a killed one's by it too.
  const std::wstring name = ThisRunName() + profile.entry;
  if (source == HiveSource::Copy) {
    hive.copy = std::make_unique<HiveCopy>(name, file);
    hive.result = hive.copy->result();
    if (hive.result != ERROR_SUCCESS) return hive;
    file = hive.copy->file();
  }
  hive.loaded = std::make_unique<LoadedHive>(name, file);
  hive.result = hive.loaded->result();
  if (hive.result == ERROR_SUCCESS) hive.result = OpenForReading(HKEY_USERS, hive.loaded->name(), hive.root);
  return hive;
}

std::vector<LeftHive> UnloadHivesOfEndedRuns() {
  // Only while runs are judged: another user's process under a dead run's
  // ID refuses an administrator without it, and would pass for the run.
  const EnabledPrivileges debug({SE_DEBUG_NAME});
  std::vector<LeftHive> left;
  for (const std::wstring& name : SubkeyNames(HKEY_USERS)) {
    std::wstring entry;
    if (name.rfind(L"kestrum.", 0) != 0 || RunIsAlive(name, entry)) continue;
    EnablePrivileges({SE_BACKUP_NAME, SE_RESTORE_NAME});
    LONG result = RegUnLoadKeyW(HKEY_USERS, name.c_str());
    if (result != ERROR_SUCCESS && ForceUnload(name) == ERROR_SUCCESS) result = ERROR_SUCCESS;
    if (result != ERROR_SUCCESS) left.push_back({EntrySid(entry), result});
  }
  return left;
}

LONG CloseUserHive(UserHive& hive) {
  // What the sweeps changed is written to the file before it unloads.
  if (hive.root && hive.loaded && !hive.copy) RegFlushKey(hive.root.get());
  hive.root.reset();
  const LONG result = hive.loaded ? hive.loaded->Unload() : ERROR_SUCCESS;
  // A copy still loaded stays for the next run to delete.
  hive.copy.reset();
  return result;
}

void DeleteHiveCopiesOfEndedRuns() {
  // Runs are judged as UnloadHivesOfEndedRuns judges them.
  const EnabledPrivileges debug({SE_DEBUG_NAME});
  for (const std::wstring& name : HiveCopyNames()) {
    std::wstring entry;
    if (name.rfind(L"kestrum.", 0) == 0 && !RunIsAlive(name, entry)) DeleteHiveCopy(name);
  }
}
