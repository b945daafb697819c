// Who could have written a registry key: the test that a value sweep makes
// before it deletes a key with everything beneath it on the strength of
// what the key's values say.
#pragma once

#include <windows.h>

#include <string_view>
#include <vector>

// True when nobody but the machine's administrators could have written the
// key open as key (which must allow READ_CONTROL): its owner is SYSTEM, the
// Administrators group, TrustedInstaller or the account this process runs
// as, and its DACL is present and grants none of those others a right that
// changes its values or subkeys in an entry that applies to the key itself.
// A key whose security cannot be read is not trusted. In another user's
// hive, user is that user's SID: he joins those who may write his keys.
bool OnlyAdministratorsCanWrite(HKEY key, PSID user = nullptr);

// True when the key open as key and every key below it (each opened as
// itself) are user's own: each one passes OnlyAdministratorsCanWrite with
// him, an entry naming him grants him DELETE, and no entry denies DELETE.
// So a key of his that a value he wrote decides on is deleted whole only
// when he could have deleted all of it himself; a key of his hive that
// SYSTEM owns and lets him only read (Software\Policies) fails. A tree of
// more than OwnTreeLimit keys, or one that cannot all be read, fails too.
constexpr size_t OwnTreeLimit = 10000;
bool IsUsersOwnTree(HKEY key, PSID user);

// True for the subkeys of HKEY_LOCAL_MACHINE that hold the machine's
// secrets (SAM, SECURITY): no walk enters them, the product never writes
// there, and reading them looks like credential theft.
bool IsMachineSecretStore(std::wstring_view name);

// SYSTEM, Administrators, TrustedInstaller, or the account this process
// runs as.
bool IsAdministration(PSID sid);

// The SID of the account this process runs as, read once; empty when
// unreadable.
const std::vector<BYTE>& RunningAccount();
