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
// A key whose security cannot be read is not trusted.
bool OnlyAdministratorsCanWrite(HKEY key);

// True for the subkeys of HKEY_LOCAL_MACHINE that hold the machine's
// secrets (SAM, SECURITY): no walk enters them, the product never writes
// there, and reading them looks like credential theft.
bool IsMachineSecretStore(std::wstring_view name);

// The SID of the account this process runs as, read once; empty when
// unreadable.
const std::vector<BYTE>& RunningAccount();
