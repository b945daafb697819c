#include "registry_hive_copy.h"

#include <aclapi.h>
#include <sddl.h>

#include "handle.h"
#include "privileges.h"
#include "registry_trust.h"

namespace {

using LocalMemory = UniqueHandle<HLOCAL, LocalFree>;
using FindHandle = UniqueHandle<HANDLE, FindClose, -1>;

// The copies' place: the system's Windows folder's Temp, not a user's.
std::wstring CopiesPlace() {
  wchar_t windows[MAX_PATH];
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  return std::wstring(windows, length) + L"\\Temp\\";
}

// Protected from what Temp passes on (creator owner, users' rights):
// SYSTEM and the administrators alone, on the folder and what it holds.
constexpr wchar_t CopyFolderSecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

LONG LastError() {
  const LONG result = static_cast<LONG>(GetLastError());
  return result == ERROR_SUCCESS ? ERROR_GEN_FAILURE : result;
}

// Copies from, as itself, to the new file to. A missing from gives
// ERROR_FILE_NOT_FOUND and makes nothing.
LONG CopyFileAsItself(const std::wstring& from, const std::wstring& to, std::vector<BYTE>& buffer) {
  // Read as the backup privilege allows, whatever its DACL; shared only
  // with readers, so that nobody writes it while it is copied.
  const KernelHandle source(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT |
                                            FILE_FLAG_SEQUENTIAL_SCAN,
                                        nullptr));
  if (source.get() == INVALID_HANDLE_VALUE) return LastError();
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(source.get(), &information)) return LastError();
  if (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
    return ERROR_CANT_ACCESS_FILE;
  const KernelHandle target(CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (target.get() == INVALID_HANDLE_VALUE) return LastError();
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(source.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return LastError();
    if (read == 0) return ERROR_SUCCESS;
    DWORD written = 0;
    if (!WriteFile(target.get(), buffer.data(), read, &written, nullptr) || written != read) return LastError();
  }
}

// Deletes the plain files and empty folders in folder, then folder.
void DeleteFolderAndFiles(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  {
    const FindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (search) {
      do {
        const std::wstring entry = found.cFileName;
        if (entry == L"." || entry == L"..") continue;
        const std::wstring path = folder + L"\\" + entry;
        // A link is deleted as itself, never what it leads to.
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          RemoveDirectoryW(path.c_str());
        else
          DeleteFileW(path.c_str());
      } while (FindNextFileW(search.get(), &found));
    }
  }
  RemoveDirectoryW(folder.c_str());
}

// Whether folder is a folder, not a link, owned by SYSTEM, the
// administrators or the account this process runs as: nobody else can
// give an object those owners.
bool OwnedByAdministration(const std::wstring& folder) {
  const KernelHandle opened(CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (opened.get() == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(opened.get(), &information) ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) !=
          FILE_ATTRIBUTE_DIRECTORY)
    return false;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(opened.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS)
    return false;
  const LocalMemory held(descriptor);
  if (owner == nullptr) return false;
  const std::vector<BYTE>& running = RunningAccount();
  return IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
         (!running.empty() && EqualSid(owner, const_cast<BYTE*>(running.data())));
}

}  // namespace

HiveCopy::HiveCopy(const std::wstring& name, const std::wstring& file) : result_(ERROR_SUCCESS) {
  const std::wstring place = CopiesPlace();
  if (place.empty()) {
    result_ = ERROR_PATH_NOT_FOUND;
    return;
  }
  folder_ = place + name;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(CopyFolderSecurity, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    result_ = LastError();
    return;
  }
  const LocalMemory held(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
  // Made here and now, or not used: a folder that was there could be
  // anybody's.
  if (!CreateDirectoryW(folder_.c_str(), &attributes)) {
    result_ = LastError();
    return;
  }
  made_ = true;
  EnablePrivileges({SE_BACKUP_NAME});
  std::vector<BYTE> buffer(1 << 20);
  const size_t slash = file.find_last_of(L'\\');
  const std::wstring leaf = slash == std::wstring::npos ? file : file.substr(slash + 1);
  file_ = folder_ + L"\\" + leaf;
  result_ = CopyFileAsItself(file, file_, buffer);
  // The logs hold what the hive file lacks yet; the load recovers it into
  // the copy.
  for (const wchar_t* log : {L".LOG", L".LOG1", L".LOG2"}) {
    if (result_ != ERROR_SUCCESS) break;
    const LONG copied = CopyFileAsItself(file + log, file_ + log, buffer);
    if (copied != ERROR_FILE_NOT_FOUND) result_ = copied;
  }
}

HiveCopy::~HiveCopy() {
  if (made_) DeleteFolderAndFiles(folder_);
}

std::vector<std::wstring> HiveCopyNames() {
  std::vector<std::wstring> names;
  const std::wstring place = CopiesPlace();
  if (place.empty()) return names;
  WIN32_FIND_DATAW found;
  const FindHandle search(FindFirstFileW((place + L"kestrum.*").c_str(), &found));
  if (!search) return names;
  do names.emplace_back(found.cFileName);
  while (FindNextFileW(search.get(), &found));
  return names;
}

void DeleteHiveCopy(const std::wstring& name) {
  const std::wstring place = CopiesPlace();
  if (place.empty() || name.find_first_of(L"\\/") != std::wstring::npos || !OwnedByAdministration(place + name))
    return;
  DeleteFolderAndFiles(place + name);
}
