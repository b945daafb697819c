#include "files.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cwchar>
#include <memory>

#include "report.h"

namespace {

struct SearchCloser {
  void operator()(HANDLE search) const { FindClose(search); }
};
// FindFirstFileW fails with INVALID_HANDLE_VALUE, not NULL: only a real
// handle is ever put into an owner.
using SearchHandle = std::unique_ptr<void, SearchCloser>;

constexpr wchar_t ExactPrefix[] = L"\\\\?\\";
constexpr wchar_t ExactUncPrefix[] = L"\\\\?\\UNC\\";

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// A folder that is a reparse point is taken for a link (junction, symbolic
// link, mount point) whatever its tag; a file only when its tag says it
// stands for another name: compressed and deduplicated files are reparse
// points too, and are ordinary files of their own.
bool IsLink(const WIN32_FIND_DATAW& entry) {
  if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  return IsFolder(entry.dwFileAttributes) || IsReparseTagNameSurrogate(entry.dwReserved0);
}

bool IsDotEntry(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

// Win32 path rules drop trailing dots and blanks from a name, so "..." or
// "x." cannot be named by an ordinary path (and "T\..." means T itself).
bool OrdinaryPathCanName(const wchar_t* name) {
  const size_t length = wcslen(name);
  return length > 0 && name[length - 1] != L'.' && name[length - 1] != L' ';
}

// Empty when the path has no full form.
std::wstring FullPathName(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return std::wstring();
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
  if (length == 0 || length >= size) return std::wstring();
  full.resize(length);
  return full;
}

// The "\\?\" form of a full path, which the file calls take literally, so
// that every entry name the walk meets addresses exactly that entry. Empty
// for a relative path: nothing is ever resolved against the current
// directory.
std::wstring ExactPath(const std::wstring& path) {
  if (StartsWith(path, ExactPrefix)) return path;
  const bool drivePath = path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
  const bool uncPath = StartsWith(path, L"\\\\") && !StartsWith(path, L"\\\\.\\");
  if (!drivePath && !uncPath) return std::wstring();
  const std::wstring full = FullPathName(path);
  if (full.empty()) return std::wstring();
  return uncPath ? ExactUncPrefix + full.substr(2) : ExactPrefix + full;
}

// The ordinary form, for the shell, which does not take "\\?\" paths.
std::wstring OrdinaryPath(const std::wstring& exact) {
  if (StartsWith(exact, ExactUncPrefix)) return L"\\\\" + exact.substr(wcslen(ExactUncPrefix));
  return exact.substr(wcslen(ExactPrefix));
}

// Calls visit with every entry that pattern lists, "." and ".." left out,
// in listing order, until visit returns false. False when nothing could be
// listed.
template <typename Visit>
bool ForEachEntry(const std::wstring& pattern, Visit visit) {
  WIN32_FIND_DATAW entry;
  const HANDLE first = FindFirstFileW(pattern.c_str(), &entry);
  if (first == INVALID_HANDLE_VALUE) return false;
  const SearchHandle search(first);
  do {
    if (!IsDotEntry(entry.cFileName) && !visit(entry)) break;
  } while (FindNextFileW(search.get(), &entry));
  return true;
}

// The find data of the entry at a path itself (no wildcard); false when
// there is none.
bool ReadEntry(const std::wstring& exactPath, WIN32_FIND_DATAW& entry) {
  bool found = false;
  ForEachEntry(exactPath, [&](const WIN32_FIND_DATAW& self) {
    entry = self;
    found = true;
    return false;
  });
  return found;
}

// True when the shell may be given the tree: every entry beneath folder
// can be listed and is an ordinary file or folder that an ordinary path
// names. The shell follows links (Wine's does, into their targets) and
// misreads names with trailing dots, so such a tree is walked here instead.
bool ShellCanDeleteTree(const std::wstring& exactFolder) {
  bool ordinary = true;
  const bool listed = ForEachEntry(exactFolder + L"\\*", [&](const WIN32_FIND_DATAW& entry) {
    if (IsLink(entry) || !OrdinaryPathCanName(entry.cFileName))
      ordinary = false;
    else if (IsFolder(entry.dwFileAttributes))
      ordinary = ShellCanDeleteTree(exactFolder + L"\\" + entry.cFileName);
    return ordinary;
  });
  return listed && ordinary;
}

bool ShellDelete(const std::wstring& path) {
  std::vector<wchar_t> list = ShellPathList(path);
  SHFILEOPSTRUCTW operation{};
  operation.hwnd = nullptr;
  operation.wFunc = FO_DELETE;
  operation.pFrom = list.data();
  operation.pTo = nullptr;
  // Outright, not to the Recycle Bin; and no dialog of any kind: nobody is
  // there to answer it in an unattended run.
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  const int result = SHFileOperationW(&operation);
  return result == 0 && !operation.fAnyOperationsAborted;
}

void DeleteProductFolder(const wchar_t* baseFolder, const std::wstring& name) {
  const std::wstring targetFolder = std::wstring(baseFolder) + L"\\" + name;
  Report(Message::TargetFolder, targetFolder.c_str());
  // Empty unless formatted: an unformatted pattern lists nothing.
  wchar_t PatternBuffer[PatternBufferSize] = {};
  FormatPattern(PatternBuffer, L"%ls\\*.*", targetFolder.c_str());
  // Entries are addressed by full path, so the target is never entered: a
  // folder that is a current directory cannot be removed.
  DeleteFolderContents(PatternBuffer);
  DeleteFolderTree(targetFolder);
}

}  // namespace

bool DeleteProgramDataFolder(const std::wstring& name) {
  Report(Message::DeletingProgramDataFiles, name.c_str());
  wchar_t baseFolder[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, baseFolder))) {
    Report(Message::FailedProgramDataDirectory, name.c_str());
    return false;
  }
  DeleteProductFolder(baseFolder, name);
  return true;
}

bool DeleteProgramFilesFolder(const std::wstring& name) {
  Report(Message::DeletingProgramFilesFiles, name.c_str());
  wchar_t baseFolder[MAX_PATH];
  // The result counts the terminating zero; more than MAX_PATH means the
  // expansion did not fit and the buffer holds nothing usable.
  const DWORD length = ExpandEnvironmentStringsW(L"%ProgramW6432%", baseFolder, MAX_PATH);
  if (length == 0 || length > MAX_PATH) {
    Report(Message::FailedProgramFilesDirectory, name.c_str());
    return false;
  }
  // An undefined variable expands to itself: a 32-bit Windows, whose only
  // Program Files folder is the shell's.
  if (wcscmp(baseFolder, L"%ProgramW6432%") == 0 &&
      FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, baseFolder))) {
    Report(Message::FailedProgramFilesFallback);
    return false;
  }
  DeleteProductFolder(baseFolder, name);
  return true;
}

void DeleteFolderContents(const std::wstring& searchPattern) {
  const size_t slash = searchPattern.find_last_of(L'\\');
  if (slash == std::wstring::npos) return;
  const std::wstring folder = ExactPath(searchPattern.substr(0, slash));
  if (folder.empty()) return;
  // A folder that is a link is not listed: its listing is its target's.
  WIN32_FIND_DATAW self;
  if (!ReadEntry(folder, self) || IsLink(self) || !IsFolder(self.dwFileAttributes)) return;

  ForEachEntry(folder + searchPattern.substr(slash), [&](const WIN32_FIND_DATAW& entry) {
    const std::wstring path = folder + L"\\" + entry.cFileName;
    // A link is left where it is: every call that would remove it follows
    // it under Wine, and what it points to is not the product's.
    if (IsLink(entry)) return true;
    if (IsFolder(entry.dwFileAttributes))
      DeleteFolderTree(path);
    else
      DeleteFileW(path.c_str());
    return true;
  });
}

bool DeleteFolderTree(const std::wstring& path) {
  const std::wstring exact = ExactPath(path);
  if (exact.empty()) return false;
  WIN32_FIND_DATAW self;
  if (!ReadEntry(exact, self) || IsLink(self)) return false;
  if (!IsFolder(self.dwFileAttributes)) return DeleteFileW(exact.c_str()) != 0;

  const std::wstring ordinary = OrdinaryPath(exact);
  if (FullPathName(ordinary) == ordinary && ShellCanDeleteTree(exact)) return ShellDelete(ordinary);
  // Links or odd names inside: walk it here, leaving the links, and remove
  // the folder if that emptied it.
  DeleteFolderContents(exact + L"\\*.*");
  return RemoveDirectoryW(exact.c_str()) != 0;
}

std::vector<wchar_t> ShellPathList(const std::wstring& path) {
  std::vector<wchar_t> list(path.size() + 2, L'\0');
  std::copy(path.begin(), path.end(), list.begin());
  return list;
}
