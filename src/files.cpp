#include "files.h"

#include <windows.h>
#include <shlobj.h>
#include <winternl.h>

#include <algorithm>
#include <climits>
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

NTSTATUS CreateBeneath(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                       ULONG options, KernelHandle& opened) {
  UNICODE_STRING objectName;
  objectName.Buffer = const_cast<PWSTR>(name.data());
  objectName.Length = objectName.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK status;
  HANDLE handle = nullptr;
  // With FILE_OPEN and nothing to create, this is NtOpenFile.
  const NTSTATUS result = NtCreateFile(&handle, access, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                                       disposition, options, nullptr, 0);
  if (NT_SUCCESS(result)) opened.reset(handle);
  return result;
}

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
// Listing and checking ask for no more than they need: a folder that
// another process holds open without delete sharing (its current
// directory, say) can still be listed, and everything in it goes.
constexpr ACCESS_MASK ListAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// Asked only of the entry being deleted; the right to change attributes
// only for the read-only fallback, which a DACL may deny on its own.
constexpr ACCESS_MASK DeleteAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK ReadOnlyDeleteAccess = DeleteAccess | FILE_WRITE_ATTRIBUTES;
constexpr ULONG ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

unsigned long listedEntriesBound = ListedEntriesPerTarget;

// One entry as its folder's listing gave it.
struct ListedEntry {
  std::wstring name;
  LONGLONG id;
  DWORD attributes;
};

bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
bool IsReparsePoint(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// How a listed entry is opened as itself: a link never as the folder
// or file it points to.
ULONG OpenKind(DWORD attributes) {
  if (!IsFolder(attributes)) return FILE_NON_DIRECTORY_FILE;
  return IsReparsePoint(attributes) ? 0 : FILE_DIRECTORY_FILE;
}

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
  FileHandle opened;
  CreateBeneath(folder, name, access, ShareAll, FILE_OPEN, options | OpenOptions, opened);
  return opened;
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

// Lists the folder open as folder through its handle, in one buffer, and
// hands each entry but "." and ".." to each, until each returns false.
template <typename Each>
void ListFolder(HANDLE folder, std::vector<unsigned char>& listing, Each each) {
  for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
       GetFileInformationByHandleEx(folder, kind, listing.data(), static_cast<DWORD>(listing.size()));
       kind = FileIdBothDirectoryInfo) {
    for (size_t offset = 0;;) {
      const auto* listed = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(listing.data() + offset);
      const size_t length = listed->FileNameLength / sizeof(wchar_t);
      if (!IsDotEntry(listed->FileName, length) &&
          !each(ListedEntry{std::wstring(listed->FileName, length), listed->FileId.QuadPart, listed->FileAttributes}))
        return;
      if (listed->NextEntryOffset == 0) break;
      offset += listed->NextEntryOffset;
    }
  }
}

// The walk: one iterative pass over a tree through handles. Each folder is
// listed through its own handle, each entry opened relative to its folder's
// handle and deleted through its own, so that renaming a folder or putting
// a link in its place once it is open redirects nothing; no path is formed
// for the system to parse, so depth and length do not matter. A folder's
// listing handle never asks for deletion: the folder itself is opened for
// that once it is empty, relative to its parent, and checked against the
// parent's listing like any other entry.
class TreeDeletion {
 public:
  enum class Outcome { Deleted, Refused, ReadOnly };
  // Deletes everything beneath root (open for listing, as parent listed
  // it as rootEntry), and root itself unless keepRoot.
  void Run(HANDLE parent, FileHandle root, const ListedEntry& rootEntry, bool keepRoot);
  // Deletes one listed entry of the folder, as itself. True when it went.
  bool DeleteListed(HANDLE folder, const ListedEntry& entry);
  // Entries beneath the root that the walk found and could not delete; a
  // folder it could not enter counts as one.
  unsigned long long stayed() const { return stayed_; }

 private:
  struct Folder {
    FileHandle handle;  // for listing only
    ListedEntry entry;  // as its parent's listing gave it
    std::vector<ListedEntry> subfolders;  // listed, not yet walked
  };

  void ListAndDeleteFiles(Folder& folder);
  bool BoundReached() const { return listed_ >= listedEntriesBound; }
  Outcome Delete(HANDLE entry, DWORD attributes);
  bool DeleteReadOnly(HANDLE entry, DWORD attributes);

  std::vector<Folder> stack_;
  std::vector<unsigned char> listing_ = std::vector<unsigned char>(64 * 1024);
  unsigned long long listed_ = 0;
  unsigned long long stayed_ = 0;
  // Cleared at the first refusal: a system or file system without POSIX
  // deletion is not asked again.
  bool posixDeletion_ = true;
};

void TreeDeletion::Run(HANDLE parent, FileHandle root, const ListedEntry& rootEntry, bool keepRoot) {
  stack_.push_back(Folder{std::move(root), rootEntry, {}});
  ListAndDeleteFiles(stack_.back());
  while (!stack_.empty()) {
    Folder& top = stack_.back();
    if (!top.subfolders.empty()) {
      ListedEntry entry = std::move(top.subfolders.back());
      top.subfolders.pop_back();
      FileHandle child;
      if (!BoundReached()) child = OpenListed(top.handle.get(), entry, ListAccess, FILE_DIRECTORY_FILE);
      if (!child) {
        ++stayed_;
        continue;
      }
      stack_.push_back(Folder{std::move(child), std::move(entry), {}});
      ListAndDeleteFiles(stack_.back());
      continue;
    }
    // Everything deletable beneath it is gone; a folder that still holds
    // something refuses, and stays.
    const ListedEntry entry = std::move(top.entry);
    const bool isRoot = stack_.size() == 1;
    stack_.pop_back();
    if (isRoot && keepRoot) break;
    const HANDLE folder = isRoot ? parent : stack_.back().handle.get();
    if (!DeleteListed(folder, entry) && !isRoot) ++stayed_;
  }
  stack_.clear();
}

// Lists the folder to its end, or until the walk's bound. Files and links
// go at once; subfolders are kept for the walk, which enters them after
// the listing is done, so that only one listing buffer is ever needed.
void TreeDeletion::ListAndDeleteFiles(Folder& folder) {
  ListFolder(folder.handle.get(), listing_, [&](ListedEntry entry) {
    // Entries made while the walk deletes may show up in the same
    // listing; another process that keeps making them must not keep
    // the stage going for ever.
    if (BoundReached()) return false;
    ++listed_;
    // A link is never entered: it is deleted as an entry of its own.
    if (IsFolder(entry.attributes) && !IsReparsePoint(entry.attributes))
      folder.subfolders.push_back(std::move(entry));
    else if (!DeleteListed(folder.handle.get(), entry))
      ++stayed_;
    return true;
  });
}

bool TreeDeletion::DeleteListed(HANDLE folder, const ListedEntry& entry) {
  const ULONG options = OpenKind(entry.attributes);
  {
    const FileHandle opened = OpenListed(folder, entry, DeleteAccess, options);
    if (!opened) return false;
    const Outcome outcome = Delete(opened.get(), entry.attributes);
    if (outcome != Outcome::ReadOnly) return outcome == Outcome::Deleted;
  }
  const FileHandle opened = OpenListed(folder, entry, ReadOnlyDeleteAccess, options);
  return opened && DeleteReadOnly(opened.get(), entry.attributes);
}

// POSIX semantics take the name away at once, so the parent can go while
// another handle to the entry lives on; read-only entries go too.
[[nodiscard]] bool DeletePosix(HANDLE entry) {
  FILE_DISPOSITION_INFO_EX posix{DispositionDelete | DispositionPosixSemantics | DispositionIgnoreReadOnly};
  return SetFileInformationByHandle(entry, FileDispositionInfoExClass, &posix, sizeof posix) != FALSE;
}

// The classic disposition: a read-only entry refuses until that attribute
// is cleared (DeleteReadOnly, through an open that may write attributes).
TreeDeletion::Outcome DeleteClassic(HANDLE entry, DWORD attributes) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition))
    return TreeDeletion::Outcome::Deleted;
  return (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? TreeDeletion::Outcome::ReadOnly : TreeDeletion::Outcome::Refused;
}

// Clears the read-only attribute, marks the entry, and sets the attribute
// back if the deletion fails all the same. Every link of a file shares its
// attributes: a file with more than one link is left alone, since clearing
// them through a link in a product folder would leave the file behind its
// other links (anywhere on the volume) writable.
bool TreeDeletion::DeleteReadOnly(HANDLE entry, DWORD attributes) {
  if (!IsFolder(attributes)) {
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(entry, FileStandardInfo, &standard, sizeof standard) ||
        standard.NumberOfLinks != 1)
      return false;
  }
  // Zero times leave the times alone; zero attributes would too, so a
  // file with no other attribute is set to FILE_ATTRIBUTE_NORMAL.
  FILE_BASIC_INFO basic{};
  const DWORD writable = attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  basic.FileAttributes = writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL;
  if (!SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic)) return false;
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition)) return true;
  basic.FileAttributes = attributes & ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic);
  return false;
}

// Marks the open entry for deletion, the POSIX way while the system takes
// it, else the classic way. A refusal leaves the entry where it is, which
// is all the walk would do about it.
TreeDeletion::Outcome TreeDeletion::Delete(HANDLE entry, DWORD attributes) {
  if (posixDeletion_) {
    if (DeletePosix(entry)) return Outcome::Deleted;
    const DWORD error = GetLastError();
    // A folder that still holds something refuses the classic way too; asked
    // through the same handle, Wine 10 says yes to it and keeps the folder.
    if (error == ERROR_DIR_NOT_EMPTY) return Outcome::Refused;
    // Any other refusal may be one of the flags' (older systems know the
    // class but not every flag): the classic way is tried all the same.
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

// What a deletion left of its target: whether it is still there, and how
// many entries beneath it the walk found and could not delete.
struct Remains {
  bool target = false;
  unsigned long long entries = 0;
};

// Deletes the entry name of the folder at the full path parentPath: a
// folder with everything beneath it (or, with keepRoot, only what is
// beneath it), a file or a link as itself. True when it was there and is
// gone; remains, if given, learns what stayed.
bool DeleteEntryTree(const std::wstring& parentPath, const std::wstring& name, bool keepRoot,
                     Remains* remains = nullptr) {
  if (!IsFullPath(parentPath) || name.empty() || name.find(L'\\') != std::wstring::npos) return false;
  const HANDLE parent = CreateFileW(parentPath.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE, ShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (parent == INVALID_HANDLE_VALUE) return false;
  const FileHandle parentFolder(parent);
  ListedEntry entry;
  if (!FindEntry(parentFolder.get(), name, entry)) return false;
  TreeDeletion deletion;
  if (!IsFolder(entry.attributes) || IsReparsePoint(entry.attributes)) {
    if (!keepRoot) deletion.DeleteListed(parentFolder.get(), entry);
  } else {
    FileHandle root = OpenListed(parentFolder.get(), entry, ListAccess, FILE_DIRECTORY_FILE);
    // Checked once more through the handle itself: a folder, not a link.
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (root && GetFileInformationByHandleEx(root.get(), FileAttributeTagInfo, &tag, sizeof tag) &&
        IsFolder(tag.FileAttributes) && !IsReparsePoint(tag.FileAttributes))
      deletion.Run(parentFolder.get(), std::move(root), entry, keepRoot);
  }
  const bool stayed = FindEntry(parentFolder.get(), name, entry);
  if (remains != nullptr) *remains = Remains{stayed, deletion.stayed()};
  return !keepRoot && !stayed;
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

}  // namespace

// The shell gives a 32-bit process on 64-bit Windows the 32-bit programs'
// folder, so there the 64-bit registry view names it; 32-bit Windows has
// only the shell's.
bool ReadNativeProgramFilesFolder(wchar_t (&folder)[MAX_PATH]) {
  BOOL wow64 = FALSE;
  if (!IsWow64Process(GetCurrentProcess(), &wow64)) return false;
  if (!wow64) return SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, folder));
  DWORD size = sizeof folder;
  return RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"ProgramW6432Dir",
                      RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, folder, &size) == ERROR_SUCCESS;
}

namespace {

void DeleteProductFolder(const std::wstring& baseFolder, const std::wstring& name) {
  const std::wstring targetFolder = baseFolder + L"\\" + name;
  Report(Message::TargetFolder, targetFolder.c_str());
  LeaveTargetFolder(baseFolder, targetFolder);
  Remains remains;
  DeleteEntryTree(baseFolder, name, false, &remains);
  if (remains.target)
    Report(Message::FolderStayed, static_cast<int>(std::min<unsigned long long>(remains.entries, INT_MAX)));
  Report(Message::FolderStageEnd);
}

}  // namespace

namespace {

// The base folders: each prints the run's line when its folder cannot be
// obtained or is not a full path, and is false then.
bool ProgramDataBase(const std::wstring& name, wchar_t (&baseFolder)[MAX_PATH]) {
  if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, baseFolder)) &&
      IsFullPath(baseFolder))
    return true;
  Report(Message::FailedProgramDataDirectory, name.c_str());
  return false;
}

bool ProgramFilesBase(const std::wstring& name, wchar_t (&baseFolder)[MAX_PATH]) {
  // The result counts the terminating zero; more than MAX_PATH means the
  // expansion did not fit and the buffer holds nothing usable.
  const DWORD length = ExpandEnvironmentStringsW(L"%ProgramW6432%", baseFolder, MAX_PATH);
  if (length == 0 || length > MAX_PATH) {
    Report(Message::FailedProgramFilesDirectory, name.c_str());
    return false;
  }
  // An undefined variable expands to itself: a 32-bit Windows, or an
  // environment block without it (a deployment agent may pass a trimmed one).
  if (wcscmp(baseFolder, L"%ProgramW6432%") == 0 && !ReadNativeProgramFilesFolder(baseFolder)) {
    Report(Message::FailedProgramFilesFallback);
    return false;
  }
  // An empty or relative value names no folder of its own: resolved, it
  // would be whatever the current directory or drive happens to be.
  if (!IsFullPath(baseFolder)) {
    Report(Message::FailedProgramFilesDirectory, name.c_str());
    return false;
  }
  return true;
}

// What a scan finds of the entry name of the folder at the full path
// parentPath, opened and listed as the deletion opens and lists it,
// through handles, never through a link, never for deletion.
struct FolderCount {
  bool found = false;
  unsigned long long entries = 0;   // beneath it, as far as listed
  unsigned long long unlisted = 0;  // folders it could not list, or not within the bound
};

FolderCount CountEntryTree(const std::wstring& parentPath, const std::wstring& name) {
  FolderCount count;
  if (!IsFullPath(parentPath)) return count;
  const HANDLE parent = CreateFileW(parentPath.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE, ShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (parent == INVALID_HANDLE_VALUE) return count;
  const FileHandle parentFolder(parent);
  ListedEntry entry;
  if (!FindEntry(parentFolder.get(), name, entry)) return count;
  count.found = true;
  if (!IsFolder(entry.attributes) || IsReparsePoint(entry.attributes)) return count;
  std::vector<FileHandle> pending;
  pending.push_back(OpenListed(parentFolder.get(), entry, ListAccess, FILE_DIRECTORY_FILE));
  std::vector<unsigned char> listing(64 * 1024);
  std::vector<ListedEntry> subfolders;
  unsigned long long listed = 0;
  while (!pending.empty()) {
    const FileHandle folder = std::move(pending.back());
    pending.pop_back();
    if (!folder || listed >= listedEntriesBound) {
      ++count.unlisted;
      continue;
    }
    subfolders.clear();
    ListFolder(folder.get(), listing, [&](ListedEntry listedEntry) {
      if (listed >= listedEntriesBound) return false;
      ++listed;
      ++count.entries;
      if (IsFolder(listedEntry.attributes) && !IsReparsePoint(listedEntry.attributes))
        subfolders.push_back(std::move(listedEntry));
      return true;
    });
    for (const ListedEntry& subfolder : subfolders)
      pending.push_back(OpenListed(folder.get(), subfolder, ListAccess, FILE_DIRECTORY_FILE));
  }
  return count;
}

// A base folder that could not be obtained: the run's own line has said so.
void ListUnknownBase(const std::wstring& name, const wchar_t* base) {
  Finding unknown{FindingKind::BaseFolderUnknown, name};
  unknown.place = base;
  List(unknown);
}

void ScanProductFolder(const std::wstring& baseFolder, const std::wstring& name) {
  const FolderCount count = CountEntryTree(baseFolder, name);
  if (!count.found) return;
  const auto clamp = [](unsigned long long number) {
    return static_cast<unsigned long>(std::min<unsigned long long>(number, INT_MAX));
  };
  Finding found{FindingKind::Folder, L"", baseFolder + L"\\" + name};
  found.number = clamp(count.entries);
  found.unlisted = clamp(count.unlisted);
  List(found);
}

}  // namespace

bool DeleteProgramDataFolder(const std::wstring& name) {
  Report(Message::DeletingProgramDataFiles, name.c_str());
  wchar_t baseFolder[MAX_PATH];
  if (!ProgramDataBase(name, baseFolder)) return false;
  DeleteProductFolder(baseFolder, name);
  return true;
}

bool DeleteProgramFilesFolder(const std::wstring& name) {
  Report(Message::DeletingProgramFilesFiles, name.c_str());
  wchar_t baseFolder[MAX_PATH];
  if (!ProgramFilesBase(name, baseFolder)) return false;
  DeleteProductFolder(baseFolder, name);
  return true;
}

void ScanProgramDataFolder(const std::wstring& name) {
  wchar_t baseFolder[MAX_PATH];
  if (ProgramDataBase(name, baseFolder))
    ScanProductFolder(baseFolder, name);
  else
    ListUnknownBase(name, L"ProgramData");
}

void ScanProgramFilesFolder(const std::wstring& name) {
  wchar_t baseFolder[MAX_PATH];
  if (ProgramFilesBase(name, baseFolder))
    ScanProductFolder(baseFolder, name);
  else
    ListUnknownBase(name, L"Program Files");
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

void SetListedEntriesBound(unsigned long bound) { listedEntriesBound = bound != 0 ? bound : ListedEntriesPerTarget; }
