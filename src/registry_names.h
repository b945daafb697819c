// Acting on a registry key or value by its exact name. The native API
// counts a name's length, so a name may hold NUL characters; a Win32 call
// would take such a name only up to its first NUL and act on another key
// or value. These take the whole name, as the enumeration gave it.
#pragma once

#include <windows.h>

#include <string_view>

// Opens the subkey name of parent as RegOpenKeyExW(parent, name, options,
// access) would, with its codes; name must be followed by a NUL in memory.
LONG OpenSubkey(HKEY parent, std::wstring_view name, DWORD options, REGSAM access, HKEY* key);

// Deletes the value name of key as RegDeleteValueW would, with its codes;
// name must be followed by a NUL in memory.
LONG DeleteValue(HKEY key, std::wstring_view name);
