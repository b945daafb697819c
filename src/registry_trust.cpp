#include "registry_trust.h"

#include <initializer_list>
#include <vector>

#include "handle.h"
#include "registry_names.h"

namespace {

// The rights that let their holder change a key's values or subkeys, or
// give himself those rights.
constexpr ACCESS_MASK WritingRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER | MAXIMUM_ALLOWED;

// Generic rights in an entry mean what they mean for keys.
GENERIC_MAPPING KeyMapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};

bool IsNtSid(PSID sid, std::initializer_list<DWORD> subAuthorities) {
  static const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  if (!IsValidSid(sid) || *GetSidSubAuthorityCount(sid) != subAuthorities.size()) return false;
  const SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(sid);
  for (int at = 0; at < 6; ++at)
    if (authority->Value[at] != nt.Value[at]) return false;
  DWORD at = 0;
  for (const DWORD sub : subAuthorities)
    if (*GetSidSubAuthority(sid, at++) != sub) return false;
  return true;
}

}  // namespace

const std::vector<BYTE>& RunningAccount() {
  static const std::vector<BYTE> account = [] {
    std::vector<BYTE> user;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return user;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
      const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
      const BYTE* bytes = static_cast<const BYTE*>(sid);
      user.assign(bytes, bytes + GetLengthSid(sid));
    }
    CloseHandle(token);
    return user;
  }();
  return account;
}

namespace {

bool SameSid(PSID sid, PSID other) { return other != nullptr && IsValidSid(sid) && EqualSid(sid, other); }

}  // namespace

bool IsAdministration(PSID sid) {
  if (IsNtSid(sid, {SECURITY_LOCAL_SYSTEM_RID}) ||
      IsNtSid(sid, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}) ||
      IsNtSid(sid, {SECURITY_SERVICE_ID_BASE_RID, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}))
    return true;
  const std::vector<BYTE>& account = RunningAccount();
  return !account.empty() && IsValidSid(sid) && EqualSid(sid, const_cast<BYTE*>(account.data()));
}

namespace {

// Whether one entry lets anyone but the administration write the key
// itself. Entries that only deny take nothing away from this test (it
// asks what others are granted, not what they end up with); an entry of
// a kind not read here counts as a grant.
bool GrantsOthersWriting(const ACE_HEADER* header, PSID user) {
  if (header->AceFlags & INHERIT_ONLY_ACE) return false;  // for subkeys made later, not for this key
  switch (header->AceType) {
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
      return false;
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
      // Both kinds start alike: header, mask, then the SID.
      const auto* entry = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
      ACCESS_MASK mask = entry->Mask;
      MapGenericMask(&mask, &KeyMapping);
      const PSID sid = const_cast<DWORD*>(&entry->SidStart);
      return (mask & WritingRights) != 0 && !IsAdministration(sid) && !SameSid(sid, user);
    }
    default:
      return true;
  }
}

// The key's owner and DACL, read through its handle; empty when unreadable.
std::vector<BYTE> ReadSecurity(HKEY key) {
  std::vector<BYTE> buffer(512);
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size());
    const LONG result =
        RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, buffer.data(), &size);
    if (result == ERROR_SUCCESS) return buffer;
    if (result != ERROR_INSUFFICIENT_BUFFER || size <= buffer.size()) return {};
    buffer.resize(size);
  }
}

// The DACL of a descriptor that has one; nullptr for none (open to all).
PACL PresentDacl(PSECURITY_DESCRIPTOR descriptor) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present) return nullptr;
  return dacl;
}

bool OnlyAdministratorsMayWrite(PSECURITY_DESCRIPTOR descriptor, PSID user) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr ||
      !(IsAdministration(owner) || SameSid(owner, user)))
    return false;
  // No DACL at all lets everybody do everything.
  const PACL dacl = PresentDacl(descriptor);
  if (dacl == nullptr) return false;
  for (DWORD at = 0; at < dacl->AceCount; ++at) {
    void* entry = nullptr;
    if (!GetAce(dacl, at, &entry) || GrantsOthersWriting(static_cast<const ACE_HEADER*>(entry), user)) return false;
  }
  return true;
}

// Whether an entry naming user grants him DELETE on the key itself, and
// no entry for the key itself denies DELETE to anyone.
bool GrantsUserDeletion(PSECURITY_DESCRIPTOR descriptor, PSID user) {
  const PACL dacl = PresentDacl(descriptor);
  if (dacl == nullptr) return false;
  bool granted = false;
  for (DWORD at = 0; at < dacl->AceCount; ++at) {
    void* entry = nullptr;
    if (!GetAce(dacl, at, &entry)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
    // Both kinds start alike: header, mask, then the SID.
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    ACCESS_MASK mask = allowed->Mask;
    MapGenericMask(&mask, &KeyMapping);
    if ((mask & DELETE) == 0) continue;
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) return false;
    granted = granted || SameSid(const_cast<DWORD*>(&allowed->SidStart), user);
  }
  return granted;
}

}  // namespace

bool OnlyAdministratorsCanWrite(HKEY key, PSID user) {
  std::vector<BYTE> security = ReadSecurity(key);
  return !security.empty() && OnlyAdministratorsMayWrite(security.data(), user);
}

bool IsUsersOwnTree(HKEY key, PSID user) {
  struct Level {
    KeyHandle owned;  // none for the borrowed top key
    HKEY key;
    DWORD index;
  };
  std::vector<Level> levels;
  levels.push_back({KeyHandle(), key, 0});
  std::vector<wchar_t> name(1024);
  size_t visited = 0;
  for (bool arrived = true; !levels.empty();) {
    Level& level = levels.back();
    if (arrived) {
      std::vector<BYTE> security = ReadSecurity(level.key);
      if (++visited > OwnTreeLimit || security.empty() || !OnlyAdministratorsMayWrite(security.data(), user) ||
          !GrantsUserDeletion(security.data(), user))
        return false;
    }
    DWORD length = static_cast<DWORD>(name.size());
    const LONG result = RegEnumKeyExW(level.key, level.index++, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) {
      levels.pop_back();
      arrived = false;
      continue;
    }
    HKEY child = nullptr;
    if (result != ERROR_SUCCESS ||
        OpenSubkey(level.key, std::wstring_view(name.data(), length), REG_OPTION_OPEN_LINK,
                   KEY_READ | KEY_WOW64_64KEY, &child) != ERROR_SUCCESS)
      return false;
    levels.push_back({KeyHandle(child), child, 0});
    arrived = true;
  }
  return true;
}

bool IsMachineSecretStore(std::wstring_view name) {
  for (const wchar_t* secret : {L"SAM", L"SECURITY"})
    if (CompareStringOrdinal(name.data(), static_cast<int>(name.size()), secret, -1, TRUE) == CSTR_EQUAL) return true;
  return false;
}
