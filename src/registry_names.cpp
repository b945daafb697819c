#include "registry_names.h"

#include <winternl.h>

extern "C" NTSYSAPI NTSTATUS NTAPI NtOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
extern "C" NTSYSAPI NTSTATUS NTAPI NtDeleteValueKey(HANDLE key, PUNICODE_STRING name);

namespace {

bool HoldsNul(std::wstring_view name) { return name.find(L'\0') != std::wstring_view::npos; }

// Registry names are at most some thousands of characters, far below the
// 32767 that a counted string holds.
UNICODE_STRING Counted(std::wstring_view name) {
  UNICODE_STRING counted;
  counted.Buffer = const_cast<wchar_t*>(name.data());
  counted.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  counted.MaximumLength = counted.Length;
  return counted;
}

// HKEY_LOCAL_MACHINE and its kind are no handles the native API knows.
bool IsPredefined(HKEY key) { return (reinterpret_cast<ULONG_PTR>(key) & 0xF0000000u) == 0x80000000u; }

LONG Code(NTSTATUS status) { return status >= 0 ? ERROR_SUCCESS : static_cast<LONG>(RtlNtStatusToDosError(status)); }

}  // namespace

// A name without a NUL goes through the Win32 call, exactly as before. One
// with a NUL is opened natively, relative to its parent: such a name is
// never one that the 32-bit registry view redirects, so the parent's view
// is the view, and the view flags are not the native call's to take.
LONG OpenSubkey(HKEY parent, std::wstring_view name, DWORD options, REGSAM access, HKEY* key) {
  if (!HoldsNul(name)) return RegOpenKeyExW(parent, name.data(), options, access, key);
  HKEY own = nullptr;
  if (IsPredefined(parent)) {
    const LONG result = RegOpenKeyExW(parent, L"", 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &own);
    if (result != ERROR_SUCCESS) return result;
    parent = own;
  }
  UNICODE_STRING counted = Counted(name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &counted,
                             OBJ_CASE_INSENSITIVE | ((options & REG_OPTION_OPEN_LINK) ? OBJ_OPENLINK : 0), parent,
                             nullptr);
  HANDLE opened = nullptr;
  const LONG result = Code(NtOpenKey(&opened, access & ~KEY_WOW64_RES, &attributes));
  *key = result == ERROR_SUCCESS ? static_cast<HKEY>(opened) : nullptr;
  if (own != nullptr) RegCloseKey(own);
  return result;
}

LONG DeleteValue(HKEY key, std::wstring_view name) {
  if (!HoldsNul(name)) return RegDeleteValueW(key, name.data());
  UNICODE_STRING counted = Counted(name);
  return Code(NtDeleteValueKey(key, &counted));
}
