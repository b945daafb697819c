// File removal: the product's folders under ProgramData and the native
// Program Files folder.
#pragma once

#include <string>
#include <vector>

// Delete the folder of that name under the common application-data folder,
// or under the native Program Files folder ("%ProgramW6432%", else the
// shell's Program Files folder). False when the base folder was not
// obtained; nothing is deleted then. The current directory is left alone.
bool DeleteProgramDataFolder(const std::wstring& name);
bool DeleteProgramFilesFolder(const std::wstring& name);

// Deletes every entry of the folder that searchPattern ("<folder>\*.*")
// lists: plain files one by one, each subfolder whole. Entries are
// addressed by full path, never against the current directory; a link
// (junction, symbolic link) is never listed, entered or deleted, and
// neither is what it points to.
void DeleteFolderContents(const std::wstring& searchPattern);

// Deletes the folder at the full path with everything beneath it, through
// the shell when every entry of the tree is an ordinary one. True when the
// folder is gone.
bool DeleteFolderTree(const std::wstring& path);

// The shell's source list for one path: the path, its terminating zero and
// the empty path that ends the list.
std::vector<wchar_t> ShellPathList(const std::wstring& path);
