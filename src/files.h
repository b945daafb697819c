// File removal: the product's folders under ProgramData and the native
// Program Files folder.
#pragma once

#include <string>

// Delete the folder of that name under the common application-data folder,
// or under the native Program Files folder ("%ProgramW6432%", else the
// shell's Program Files folder). False when the base folder was not
// obtained or is not a full path; nothing is deleted then. A current
// directory inside the folder is moved to the base folder first.
bool DeleteProgramDataFolder(const std::wstring& name);
bool DeleteProgramFilesFolder(const std::wstring& name);

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
