// File removal: the product's folders under ProgramData and the native
// Program Files folder.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <string>

#include "handle.h"

// Delete the folder of that name under the common application-data folder,
// or under the native Program Files folder ("%ProgramW6432%"; without it,
// in a 32-bit process on 64-bit Windows the 64-bit registry view's
// ProgramW6432Dir, else the shell's Program Files folder). False when the
// base folder was not obtained or is not a full path; nothing is deleted
// then. A current directory inside the folder is moved to the base folder
// first. When the folder is still there afterwards, a line says so, with
// the number of entries in it that could not be deleted.
bool DeleteProgramDataFolder(const std::wstring& name);
bool DeleteProgramFilesFolder(const std::wstring& name);

// Opens, or with a disposition that may create makes, the entry name in
// the folder open as folder: relative to that handle, so that nothing
// above it is named by a path. The native call's status; opened holds the
// handle on success.
NTSTATUS CreateBeneath(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                       ULONG options, KernelHandle& opened);

// The native Program Files folder, read from the system, not from the
// environment. False when it cannot be read.
bool ReadNativeProgramFilesFolder(wchar_t (&folder)[MAX_PATH]);

// kestrum-scan: the same folders, found and listed as the deletion finds
// and lists them, changing nothing: a line for a folder that is there,
// with the number of entries beneath it, or the run's line for a base
// folder that cannot be obtained; counted in Found.
void ScanProgramDataFolder(const std::wstring& name);
void ScanProgramFilesFolder(const std::wstring& name);

// Deletes everything beneath the folder of searchPattern ("<folder>\*.*"),
// which must be a full path, but not the folder itself.
void DeleteFolderContents(const std::wstring& searchPattern);

// Deletes the folder at the full path with everything beneath it (a file
// or a link: only itself). True when it is gone.
//
// Both walk through handles: the folder is opened without following a
// link, each folder is listed through its handle, each entry opened
// relative to its folder's handle and deleted through its own handle.
// Whatever is renamed or replaced by a link after it was opened redirects
// nothing. A link is never entered; it is deleted as itself where the
// system opens it as itself, and left otherwise. Entries that cannot be
// deleted (in use, access denied) stay, without a message.
bool DeleteFolderTree(const std::wstring& path);

// Most entries one deletion reads from its listings, all its folders
// together; then it stops listing, and what it has not seen stays. A count,
// not a time: the same tree gives the same result on a slow or busy
// machine, and a product folder holds a few thousand entries, far below
// it. It is there for another process that keeps making entries while the
// walk deletes them, which NTFS may show in the same listing; at the rates
// measured here (2,000 to 5,000 entries a second) it ends within minutes.
constexpr unsigned long ListedEntriesPerTarget = 1000000;
// Test-only: another bound (0: ListedEntriesPerTarget again).
void SetListedEntriesBound(unsigned long bound);
