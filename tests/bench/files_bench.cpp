// kestrum_files_bench: what the file stage costs per deleted entry, set
// against the least any deletion through handles can cost (its floor) and
// against the shell's delete operation.
//
//   kestrum_files_bench [--files N] [--rounds R]
//
// Plants a tree of N files in nested folders before every timed deletion,
// then times, in interleaved rounds whose order rotates: the floor, one
// open and one delete per entry through handles, with the names known in
// advance (no listing, no checks); the file stage DeleteProgramDataFolder
// on C:\ProgramData\Velmoran; and SHFileOperationW(FO_DELETE) on a tree of
// the same shape.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "files.h"
#include "plant.h"
#include "report.h"

namespace {

// 20 folders of 20 subfolders each; the files are spread over the 400
// subfolders.
constexpr unsigned TopFolders = 20;
constexpr unsigned SubFolders = 20;

std::wstring Name(const wchar_t* stem, unsigned index) { return stem + std::to_wstring(index); }

unsigned FilesIn(unsigned top, unsigned sub, unsigned files) {
  const unsigned folder = top * SubFolders + sub, folders = TopFolders * SubFolders;
  return files / folders + (folder < files % folders ? 1 : 0);
}

bool PlantTree(const std::wstring& root, unsigned files) {
  if (!CreateDirectoryW(root.c_str(), nullptr)) return false;
  for (unsigned top = 0; top < TopFolders; ++top) {
    const std::wstring topPath = root + L"\\" + Name(L"folder", top);
    CreateDirectoryW(topPath.c_str(), nullptr);
    for (unsigned sub = 0; sub < SubFolders; ++sub) {
      const std::wstring subPath = topPath + L"\\" + Name(L"sub", sub);
      CreateDirectoryW(subPath.c_str(), nullptr);
      for (unsigned file = 0; file < FilesIn(top, sub, files); ++file) {
        const HANDLE planted = CreateFileW((subPath + L"\\" + Name(L"file", file) + L".dat").c_str(),
                                           GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (planted == INVALID_HANDLE_VALUE) return false;
        DWORD written = 0;
        WriteFile(planted, "product file", 12, &written, nullptr);
        CloseHandle(planted);
      }
    }
  }
  return true;
}

// ---- the floor ----------------------------------------------------------

HANDLE OpenBeneath(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG options) {
  return CreateBeneath(folder, name, access, FILE_OPEN, options | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT);
}

// The same deletion call the file stage ends with on this system: POSIX
// semantics where they are offered, the classic disposition otherwise.
bool posixDeletion = true;
void DeleteAndClose(HANDLE entry) {
  if (entry == nullptr) return;
  FILE_DISPOSITION_INFO_EX posix{0x1 | 0x2 | 0x10};
  if (!posixDeletion ||
      !SetFileInformationByHandle(entry, static_cast<FILE_INFO_BY_HANDLE_CLASS>(21), &posix, sizeof posix)) {
    posixDeletion = false;
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition);
  }
  CloseHandle(entry);
}

void DeleteFloor(const std::wstring& root, unsigned files) {
  const ACCESS_MASK folderAccess = DELETE | FILE_LIST_DIRECTORY | SYNCHRONIZE;
  const HANDLE parent = CreateFileW(L"C:\\ProgramData", FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const HANDLE rootFolder = OpenBeneath(parent, root.substr(root.find_last_of(L'\\') + 1), folderAccess,
                                        FILE_DIRECTORY_FILE);
  for (unsigned top = 0; top < TopFolders; ++top) {
    const HANDLE topFolder = OpenBeneath(rootFolder, Name(L"folder", top), folderAccess, FILE_DIRECTORY_FILE);
    for (unsigned sub = 0; sub < SubFolders; ++sub) {
      const HANDLE subFolder = OpenBeneath(topFolder, Name(L"sub", sub), folderAccess, FILE_DIRECTORY_FILE);
      for (unsigned file = 0; file < FilesIn(top, sub, files); ++file)
        DeleteAndClose(OpenBeneath(subFolder, Name(L"file", file) + L".dat", DELETE | SYNCHRONIZE,
                                   FILE_NON_DIRECTORY_FILE));
      DeleteAndClose(subFolder);
    }
    DeleteAndClose(topFolder);
  }
  DeleteAndClose(rootFolder);
  CloseHandle(parent);
}

// ---- the shell ----------------------------------------------------------

void DeleteThroughShell(const std::wstring& root) {
  std::wstring list = root;
  list.push_back(L'\0');  // the list ends with an empty path
  SHFILEOPSTRUCTW operation{};
  operation.wFunc = FO_DELETE;
  operation.pFrom = list.c_str();
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  SHFileOperationW(&operation);
}

struct Subject {
  const char* name;
  std::wstring root;
  std::function<void()> deleteTree;
  std::vector<double> seconds;
};

double Best(const std::vector<double>& seconds) { return *std::min_element(seconds.begin(), seconds.end()); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  unsigned files = 10000, rounds = 3;
  for (int i = 1; i + 1 < argc; ++i) {
    if (wcscmp(argv[i], L"--files") == 0) files = static_cast<unsigned>(_wtoi(argv[i + 1]));
    if (wcscmp(argv[i], L"--rounds") == 0) rounds = std::max(1, _wtoi(argv[i + 1]));
  }
  QuietFlag = true;  // the stage's two report lines are not what is timed
  std::vector<Subject> subjects;
  subjects.push_back({"floor (open + delete per entry)", L"C:\\ProgramData\\KestrumFloor",
                      [&] { DeleteFloor(L"C:\\ProgramData\\KestrumFloor", files); }, {}});
  subjects.push_back({"file stage (DeleteProgramDataFolder)", L"C:\\ProgramData\\Velmoran",
                      [] { DeleteProgramDataFolder(L"Velmoran"); }, {}});
  subjects.push_back({"shell (SHFileOperationW FO_DELETE)", L"C:\\ProgramData\\KestrumShell",
                      [] { DeleteThroughShell(L"C:\\ProgramData\\KestrumShell"); }, {}});

  const unsigned entries = files + TopFolders * SubFolders + TopFolders + 1;
  std::printf("deleting %u files in %u nested folders, %u rounds in rotating order\n", files,
              TopFolders * SubFolders + TopFolders + 1, rounds);
  for (unsigned round = 0; round < rounds; ++round) {
    for (size_t turn = 0; turn < subjects.size(); ++turn) {
      Subject& subject = subjects[(round + turn) % subjects.size()];
      if (!PlantTree(subject.root, files)) {
        std::printf("could not plant %ls\n", subject.root.c_str());
        return 1;
      }
      const auto start = std::chrono::steady_clock::now();
      subject.deleteTree();
      subject.seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      if (GetFileAttributesW(subject.root.c_str()) != INVALID_FILE_ATTRIBUTES) {
        std::printf("%s left %ls behind\n", subject.name, subject.root.c_str());
        return 1;
      }
    }
  }

  std::printf("\n%-40s %10s %12s\n", "subject (best of rounds)", "ms", "files/s");
  for (const Subject& subject : subjects)
    std::printf("%-40s %10.1f %12.0f\n", subject.name, Best(subject.seconds) * 1000, files / Best(subject.seconds));
  const double floor = Best(subjects[0].seconds);
  std::printf("\nfile deletion: %.2f x floor (shell: %.2f x floor)\n", Best(subjects[1].seconds) / floor,
              Best(subjects[2].seconds) / floor);
  std::printf("%u entries per tree; deletion %s POSIX semantics\n", entries,
              posixDeletion ? "with" : "without");
  return 0;
}
