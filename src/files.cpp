#include "files.h"

#include <windows.h>
#include <shlobj.h>
#include <winternl.h>

#include <cwchar>
#include <vector>

#include "handle.h"
#include "report.h"

// Not declared by every SDK's winternl.h; exported by ntdll since NT 3.1.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apcRoutine, PVOID apcContext,
                                                PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                                                FILE_INFORMATION_CLASS informationClass,
                                                BOOLEAN returnSingleEntry, PUNICODE_STRING fileName,
                                                BOOLEAN restartScan);

namespace {

// CreateFileW fails with INVALID_HANDLE_VALUE and NtOpenFile with NULL:
// only a real handle is ever put into an owner.
using FileHandle = KernelHandle;

// Values of Windows 10 SDKs that older headers lack.
constexpr auto FileDispositionInfoExClass = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr auto FileIdBothDirectoryInformationClass = static_cast<FILE_INFORMATION_CLASS>(37);
constexpr DWORD DispositionDelete = 0x1;
constexpr DWORD DispositionPosixSemantics = 0x2;
constexpr DWORD DispositionIgnoreReadOnly = 0x10;

// Never through a link: a link found in the walk is opened as itself.
constexpr ULONG OpenOptions = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT;
constexpr ACCESS_MASK EntryAccess = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK FolderAccess = EntryAccess | FILE_LIST_DIRECTORY;
constexpr ULONG ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// One entry as its folder's listing gave it.
struct ListedEntry {
  std::wstring name;
  LONGLONG id;
  DWORD attributes;
};

bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
bool IsReparsePoint(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

bool IsDotEntry(const wchar_t* name, size_t length) {
  return (length == 1 && name[0] == L'.') || (length == 2 && name[0] == L'.' && name[1] == L'.');
}

// A drive letter, a colon and a backslash, or "\\server\share\": the only
// paths that name the same folder whatever the current directory and drive.
bool IsFullPath(const std::wstring& path) {
  const bool drivePath = path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && path[2] == L'\\';
  if (drivePath) return true;
  if (path.compare(0, 2, L"\\\\") != 0) return false;
  const size_t serverEnd = path.find(L'\\', 2);
  if (serverEnd == std::wstring::npos || serverEnd == 2) return false;
  // "\\?\" and "\\.\" are device paths, not servers.
  const std::wstring server = path.substr(2, serverEnd - 2);
  if (server == L"?" || server == L".") return false;
  const size_t shareEnd = path.find(L'\\', serverEnd + 1);
  return shareEnd != std::wstring::npos && shareEnd > serverEnd + 1;
}

// The entry named name in the folder open as folder, opened as itself.
[[nodiscard]] FileHandle OpenBeneath(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG options) {
  UNICODE_STRING objectName;
  objectName.Buffer = const_cast<PWSTR>(name.data());
  objectName.Length = objectName.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK status;
  HANDLE opened = nullptr;
  if (!NT_SUCCESS(NtOpenFile(&opened, access, &attributes, &status, ShareAll, options | OpenOptions)))
    return FileHandle();
  return FileHandle(opened);
}

[[nodiscard]] bool ReadFileId(HANDLE file, LONGLONG& id) {
  FILE_INTERNAL_INFORMATION information{};
  IO_STATUS_BLOCK status;
  if (!NT_SUCCESS(NtQueryInformationFile(file, &status, &information, sizeof information, FileInternalInformation)))
    return false;
  id = information.IndexNumber.QuadPart;
  return true;
}

// Opens a listed entry and makes sure that what was opened is that entry.
// A name can be given to another object after the listing; and under Wine
// an open that should not follow a link still follows a Unix symbolic
// link, to an object with another file ID. A link the listing showed must
// open as a link: Wine reports the target's ID for both, and only the
// reparse attribute of the opened object tells them apart. (A Unix link
// to a file, there before the listing, Wine lists as a plain file with
// its target's ID: nothing this side of Wine tells it from a file.)
[[nodiscard]] FileHandle OpenListed(HANDLE folder, const ListedEntry& entry, ACCESS_MASK access, ULONG options) {
  FileHandle opened = OpenBeneath(folder, entry.name, access, options);
  LONGLONG id = 0;
  if (!opened || !ReadFileId(opened.get(), id) || id != entry.id) return FileHandle();
  if (IsReparsePoint(entry.attributes)) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(opened.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
        !IsReparsePoint(tag.FileAttributes))
      return FileHandle();
  }
  return opened;
}

// The walk: one iterative pass over a tree through handles. Each folder is
// listed through its own handle, each entry opened relative to its folder's
// handle and deleted through its own, so that renaming a folder or putting
// a link in its place once it is open redirects nothing; no path is formed
// for the system to parse, so depth and length do not matter.
class TreeDeletion {
 public:
  // Deletes everything beneath root, and root itself unless keepRoot.
  void Run(FileHandle root, DWORD rootAttributes, bool keepRoot);
  // Deletes one listed file or link of the folder, as itself.
  void DeleteEntry(HANDLE folder, const ListedEntry& entry);

 private:
  struct Folder {
    FileHandle handle;
    DWORD attributes;
    std::vector<ListedEntry> subfolders;  // listed, not yet walked
  };

  void ListAndDeleteFiles(Folder& folder);
  bool Delete(HANDLE entry, DWORD attributes);

  std::vector<Folder> stack_;
  std::vector<unsigned char> listing_ = std::vector<unsigned char>(64 * 1024);
  // Cleared at the first refusal: a system or file system without POSIX
  // deletion is not asked again.
  bool posixDeletion_ = true;
};

void TreeDeletion::Run(FileHandle root, DWORD rootAttributes, bool keepRoot) {
  stack_.push_back(Folder{std::move(root), rootAttributes, {}});
  ListAndDeleteFiles(stack_.back());
  while (!stack_.empty()) {
    Folder& top = stack_.back();
    if (!top.subfolders.empty()) {
      const ListedEntry entry = std::move(top.subfolders.back());
      top.subfolders.pop_back();
      FileHandle child = OpenListed(top.handle.get(), entry, FolderAccess, FILE_DIRECTORY_FILE);
      if (!child) continue;
      stack_.push_back(Folder{std::move(child), entry.attributes, {}});
      ListAndDeleteFiles(stack_.back());
      continue;
    }
    // Everything deletable beneath it is gone; a folder that still holds
    // something refuses, and stays.
    if (stack_.size() > 1 || !keepRoot) Delete(top.handle.get(), top.attributes);
    stack_.pop_back();
  }
}

// Lists the folder to its end. Files and links go at once; subfolders are
// kept for the walk, which enters them after the listing is done, so that
// only one listing buffer is ever needed.
void TreeDeletion::ListAndDeleteFiles(Folder& folder) {
  for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
       GetFileInformationByHandleEx(folder.handle.get(), kind, listing_.data(), static_cast<DWORD>(listing_.size()));
       kind = FileIdBothDirectoryInfo) {
    for (size_t offset = 0;;) {
      const auto* listed = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(listing_.data() + offset);
      const size_t length = listed->FileNameLength / sizeof(wchar_t);
      if (!IsDotEntry(listed->FileName, length)) {
        ListedEntry entry{std::wstring(listed->FileName, length), listed->FileId.QuadPart, listed->FileAttributes};
        // A link is never entered: it is deleted as an entry of its own.
        if (IsFolder(entry.attributes) && !IsReparsePoint(entry.attributes))
          folder.subfolders.push_back(std::move(entry));
        else
          DeleteEntry(folder.handle.get(), entry);
      }
      if (listed->NextEntryOffset == 0) break;
      offset += listed->NextEntryOffset;
    }
  }
}

void TreeDeletion::DeleteEntry(HANDLE folder, const ListedEntry& entry) {
  const ULONG options = IsFolder(entry.attributes) ? 0 : FILE_NON_DIRECTORY_FILE;
  const FileHandle opened = OpenListed(folder, entry, EntryAccess, options);
  if (opened) Delete(opened.get(), entry.attributes);
}

// POSIX semantics take the name away at once, so the parent can go while
// another handle to the entry lives on; read-only entries go too.
[[nodiscard]] bool DeletePosix(HANDLE entry) {
  FILE_DISPOSITION_INFO_EX posix{DispositionDelete | DispositionPosixSemantics | DispositionIgnoreReadOnly};
  return SetFileInformationByHandle(entry, FileDispositionInfoExClass, &posix, sizeof posix) != FALSE;
}

// The classic disposition: a read-only entry refuses until that attribute
// is cleared; it is set back if the deletion fails all the same.
[[nodiscard]] bool DeleteClassic(HANDLE entry, DWORD attributes) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition)) return true;
  if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) return false;
  // Zero times leave the times alone; zero attributes would too, so a
  // file with no other attribute is set to FILE_ATTRIBUTE_NORMAL.
  FILE_BASIC_INFO basic{};
  const DWORD writable = attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  basic.FileAttributes = writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL;
  if (!SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic)) return false;
  if (SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition)) return true;
  basic.FileAttributes = attributes & ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic);
  return false;
}

// Marks the open entry for deletion, the POSIX way while the system takes
// it, else the classic way. A refusal leaves the entry where it is, which
// is all the walk would do about it.
bool TreeDeletion::Delete(HANDLE entry, DWORD attributes) {
  if (posixDeletion_) {
    if (DeletePosix(entry)) return true;
    // Any other refusal may be one of the flags' (older systems know the
    // class but not every flag): the classic way is tried all the same.
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION)
      posixDeletion_ = false;
  }
  return DeleteClassic(entry, attributes);
}

// The entry called name in the open folder parent, as its listing gives
// it: the name is given to the listing as its mask, and what
// comes back must be that name (a mask with wildcards matches others).
[[nodiscard]] bool FindEntry(HANDLE parent, const std::wstring& name, ListedEntry& entry) {
  std::vector<unsigned char> buffer(sizeof(FILE_ID_BOTH_DIR_INFO) + name.size() * sizeof(wchar_t) + 512);
  UNICODE_STRING mask;
  mask.Buffer = const_cast<PWSTR>(name.data());
  mask.Length = mask.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  IO_STATUS_BLOCK status;
  if (!NT_SUCCESS(NtQueryDirectoryFile(parent, nullptr, nullptr, nullptr, &status, buffer.data(),
                                       static_cast<ULONG>(buffer.size()), FileIdBothDirectoryInformationClass,
                                       TRUE, &mask, TRUE)))
    return false;
  const auto* listed = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data());
  const int length = static_cast<int>(listed->FileNameLength / sizeof(wchar_t));
  if (CompareStringOrdinal(listed->FileName, length, name.data(), static_cast<int>(name.size()), TRUE) != CSTR_EQUAL)
    return false;
  entry = ListedEntry{std::wstring(listed->FileName, length), listed->FileId.QuadPart, listed->FileAttributes};
  return true;
}

// Deletes the entry name of the folder at the full path parentPath: a
// folder with everything beneath it (or, with keepRoot, only what is
// beneath it), a file or a link as itself. True when it is gone.
bool DeleteEntryTree(const std::wstring& parentPath, const std::wstring& name, bool keepRoot) {
  if (!IsFullPath(parentPath) || name.empty() || name.find(L'\\') != std::wstring::npos) return false;
  const HANDLE parent = CreateFileW(parentPath.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE, ShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (parent == INVALID_HANDLE_VALUE) return false;
  const FileHandle parentFolder(parent);
  ListedEntry entry;
  if (!FindEntry(parentFolder.get(), name, entry)) return false;
  if (!IsFolder(entry.attributes) || IsReparsePoint(entry.attributes)) {
    if (keepRoot) return false;
    TreeDeletion().DeleteEntry(parentFolder.get(), entry);
    return !FindEntry(parentFolder.get(), name, entry);
  }
  FileHandle root = OpenListed(parentFolder.get(), entry, FolderAccess, FILE_DIRECTORY_FILE);
  if (!root) return false;
  // Checked once more through the handle itself: a folder, not a link.
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(root.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
      !IsFolder(tag.FileAttributes) || IsReparsePoint(tag.FileAttributes))
    return false;
  TreeDeletion().Run(std::move(root), entry.attributes, keepRoot);
  return !keepRoot && !FindEntry(parentFolder.get(), name, entry);
}

// Splits a path at its last backslash; the parent of "C:\X" is "C:\".
[[nodiscard]] bool SplitPath(const std::wstring& path, std::wstring& parent, std::wstring& name) {
  const size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return false;
  parent = path.substr(0, slash);
  if (parent.size() == 2 && parent[1] == L':') parent += L'\\';
  name = path.substr(slash + 1);
  return true;
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

// A folder that is a process's current directory cannot be removed; if
// this process's own is the target folder or lies inside it, it moves to
// the base folder first. Spellings the system does not make the same (a
// short name, another drive letter for the same folder) are not caught:
// the folder then stays, and nothing else is harmed.
void LeaveTargetFolder(const std::wstring& baseFolder, const std::wstring& targetFolder) {
  const std::wstring current = FullPathName(L".");
  const std::wstring target = FullPathName(targetFolder);
  if (current.empty() || target.empty() || current.size() < target.size()) return;
  if (current.size() > target.size() && current[target.size()] != L'\\') return;
  if (CompareStringOrdinal(current.data(), static_cast<int>(target.size()), target.data(),
                           static_cast<int>(target.size()), TRUE) != CSTR_EQUAL)
    return;
  SetCurrentDirectoryW(baseFolder.c_str());
}

void DeleteProductFolder(const std::wstring& baseFolder, const std::wstring& name) {
  const std::wstring targetFolder = baseFolder + L"\\" + name;
  Report(Message::TargetFolder, targetFolder.c_str());
  LeaveTargetFolder(baseFolder, targetFolder);
  DeleteEntryTree(baseFolder, name, false);
}

}  // namespace

bool DeleteProgramDataFolder(const std::wstring& name) {
  Report(Message::DeletingProgramDataFiles, name.c_str());
  wchar_t baseFolder[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, baseFolder)) ||
      !IsFullPath(baseFolder)) {
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
  // An empty or relative value names no folder of its own: resolved, it
  // would be whatever the current directory or drive happens to be.
  if (!IsFullPath(baseFolder)) {
    Report(Message::FailedProgramFilesDirectory, name.c_str());
    return false;
  }
  DeleteProductFolder(baseFolder, name);
  return true;
}

void DeleteFolderContents(const std::wstring& searchPattern) {
  std::wstring folder, pattern, parent, name;
  if (!SplitPath(searchPattern, folder, pattern) || !SplitPath(folder, parent, name)) return;
  DeleteEntryTree(parent, name, true);
}

bool DeleteFolderTree(const std::wstring& path) {
  std::wstring parent, name;
  return SplitPath(path, parent, name) && DeleteEntryTree(parent, name, false);
}
