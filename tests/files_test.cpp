// The folder stages on real folders of the throwaway Wine machine: the
// report bytes, then what is left on the disk.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <string>
#include <vector>

#include "expected_reports.h"
#include "files.h"
#include "harness.h"
#include "plant.h"
#include "report.h"

namespace {

// The shell's Program Files folder as a 32-bit program on a 64-bit
// Windows is given it: the 32-bit programs' folder, never a target.
const std::wstring X86ProgramFilesFolder = L"C:\\Program Files (x86)";

// Every file and folder beneath folder, by path relative to it; read
// through "\\?\" paths, so depth and length do not matter.
std::vector<std::wstring> EntriesBeneath(const std::wstring& folder) {
  std::vector<std::wstring> entries;
  std::vector<std::wstring> pending{L""};
  while (!pending.empty()) {
    const std::wstring prefix = pending.back();
    pending.pop_back();
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((L"\\\\?\\" + folder + L"\\" + prefix + L"*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      entries.push_back(prefix + name);
      // A link is listed, never entered.
      if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY)
        pending.push_back(prefix + name + L"\\");
    } while (FindNextFileW(search, &entry));
    FindClose(search);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// What a folder stage's report says stayed of target, read from the disk:
// -1 when it is gone, else the entries beneath it (links not entered).
int Stayed(const std::wstring& target) {
  return PathExists(target) ? static_cast<int>(EntriesBeneath(target).size()) : -1;
}

// Sets or removes one variable of this process's environment for a scope.
class EnvironmentScope {
 public:
  EnvironmentScope(const wchar_t* name, const wchar_t* value) : name_(name) {
    wchar_t previous[32767];
    const DWORD length = GetEnvironmentVariableW(name, previous, 32767);
    had_ = length > 0 && length < 32767;
    if (had_) previous_ = previous;
    SetEnvironmentVariableW(name, value);
  }
  ~EnvironmentScope() { SetEnvironmentVariableW(name_, had_ ? previous_.c_str() : nullptr); }

 private:
  const wchar_t* name_;
  bool had_ = false;
  std::wstring previous_;
};

class FolderStages : public ::testing::Test {
 protected:
  const std::wstring data_ = CommonAppDataFolder();
  const std::wstring programs_ = NativeProgramFilesFolder();
};

TEST_F(FolderStages, ProgramDataFolderGoesWithEverythingInIt) {
  const std::wstring target = data_ + L"\\Velmoran";
  ASSERT_TRUE(PlantFile(target + L"\\settings.xml", "s"));
  ASSERT_TRUE(PlantFile(target + L"\\logs\\2026\\12\\updater.log", "u"));
  ASSERT_TRUE(PlantFile(target + L"\\.lock", "dot file"));
  ASSERT_TRUE(PlantFile(target + L"\\.cache\\index.db", "dot folder"));
  ASSERT_TRUE(PlantFileExactName(target, L"...", "three dots"));
  ASSERT_TRUE(PlantFileExactName(target + L"\\....", L"inner.txt", "four dots"));
  ASSERT_TRUE(PlantFile(target + L"\\readonly.ini", "r"));
  ASSERT_TRUE(MakeReadOnly(target + L"\\readonly.ini"));
  ASSERT_TRUE(PlantFile(target + L"\\logs\\readonly.log", "r"));
  ASSERT_TRUE(MakeReadOnly(target + L"\\logs\\readonly.log"));
  ASSERT_TRUE(PathExistsExactName(target, L"..."));
  // Neighbours whose names begin like the target's.
  ASSERT_TRUE(PlantFile(data_ + L"\\VelmoranBackup\\keep.txt", "k"));
  ASSERT_TRUE(PlantFile(data_ + L"\\Velmoran.txt", "k"));

  ReportCapture capture;
  EXPECT_TRUE(DeleteProgramDataFolder(L"Velmoran"));
  EXPECT_EQ(capture.Text(), DataReport(L"Velmoran"));
  EXPECT_EQ(EntriesBeneath(target), std::vector<std::wstring>{});
  EXPECT_FALSE(PathExists(target));
  EXPECT_TRUE(PathExists(data_ + L"\\VelmoranBackup\\keep.txt"));
  EXPECT_TRUE(PathExists(data_ + L"\\Velmoran.txt"));
}

TEST_F(FolderStages, EmptyAndMissingFoldersPrintTheSameLinesAndTouchNothingElse) {
  ASSERT_TRUE(PlantFolder(programs_ + L"\\ZOLVA"));
  ASSERT_TRUE(PlantFile(programs_ + L"\\ZOLVA2\\keep.txt", "k"));
  const std::vector<std::wstring> dataBefore = EntriesBeneath(data_);

  ReportCapture capture;
  EXPECT_TRUE(DeleteProgramFilesFolder(L"ZOLVA"));
  EXPECT_TRUE(DeleteProgramFilesFolder(L"ZOLVA"));
  EXPECT_TRUE(DeleteProgramDataFolder(L"Quillfen"));
  EXPECT_EQ(capture.Text(), ProgramsReport(L"ZOLVA") + ProgramsReport(L"ZOLVA") +
                                DataReport(L"Quillfen"));
  EXPECT_FALSE(PathExists(programs_ + L"\\ZOLVA"));
  EXPECT_TRUE(PathExists(programs_ + L"\\ZOLVA2\\keep.txt"));
  EXPECT_EQ(EntriesBeneath(data_), dataBefore);
}

TEST_F(FolderStages, SameNameUnderBothBasesIsTwoIndependentFolders) {
  ASSERT_TRUE(PlantFile(data_ + L"\\Quillfen\\license.dat", "l"));
  {
    ReportCapture capture;
    EXPECT_TRUE(DeleteProgramFilesFolder(L"Quillfen"));
    EXPECT_EQ(capture.Text(), ProgramsReport(L"Quillfen"));
  }
  EXPECT_TRUE(PathExists(data_ + L"\\Quillfen\\license.dat"));

  ASSERT_TRUE(PlantFile(programs_ + L"\\Quillfen\\OrvKey.exe", "MZ"));
  {
    ReportCapture capture;
    EXPECT_TRUE(DeleteProgramDataFolder(L"Quillfen"));
    EXPECT_EQ(capture.Text(), DataReport(L"Quillfen"));
  }
  EXPECT_FALSE(PathExists(data_ + L"\\Quillfen"));
  EXPECT_TRUE(PathExists(programs_ + L"\\Quillfen\\OrvKey.exe"));
}

// Another process's current directory is a folder held open without
// delete sharing: it is listed and emptied all the same, and only it stays.
// Held here by a second handle of this process, which the system treats
// the same; Wine checks the sharing of folders too.
TEST_F(FolderStages, FileOrFolderHeldOpenWithoutSharingStaysAndEverythingElseGoes) {
  const std::wstring target = data_ + L"\\Velmoran";
  ASSERT_TRUE(PlantFile(target + L"\\a.txt", "a"));
  ASSERT_TRUE(PlantFile(target + L"\\logs\\client.log", "c"));
  ASSERT_TRUE(PlantFile(target + L"\\z.txt", "z"));
  ASSERT_TRUE(PlantFile(target + L"\\held.dat", "h"));
  ASSERT_TRUE(PlantFile(programs_ + L"\\ZOLVA\\OrvClient.exe", "MZ"));
  ASSERT_TRUE(PlantFile(programs_ + L"\\ZOLVA\\bin\\cwd\\deeper\\orvcore.dll", "MZ"));
  ASSERT_TRUE(MakeReadOnly(programs_ + L"\\ZOLVA\\bin\\cwd\\deeper\\orvcore.dll"));
  HANDLE held = CreateFileW((target + L"\\held.dat").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  HANDLE cwd = CreateFileW((programs_ + L"\\ZOLVA\\bin\\cwd").c_str(), FILE_TRAVERSE | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr);
  ASSERT_NE(cwd, INVALID_HANDLE_VALUE);

  ReportCapture capture;
  EXPECT_TRUE(DeleteProgramDataFolder(L"Velmoran"));
  EXPECT_TRUE(DeleteProgramFilesFolder(L"ZOLVA"));
  CloseHandle(held);
  CloseHandle(cwd);
  EXPECT_EQ(capture.Text(), DataReport(L"Velmoran", 1) + ProgramsReport(L"ZOLVA", programs_, 2));
  EXPECT_EQ(EntriesBeneath(target), std::vector<std::wstring>{L"held.dat"});
  EXPECT_EQ(EntriesBeneath(programs_ + L"\\ZOLVA"), (std::vector<std::wstring>{L"bin", L"bin\\cwd"}));
}

// Wine reads a folder's listing once, so entries made during the walk
// never show up in it: the bound against a process that keeps making them
// is shown here with a bound small enough for a planted folder.
TEST_F(FolderStages, ListingBoundEndsTheWalkAndTheRestStays) {
  const std::wstring target = data_ + L"\\Velmoran";
  for (int file = 0; file < 12; ++file) ASSERT_TRUE(PlantFile(target + L"\\f" + std::to_wstring(file), "f"));
  SetListedEntriesBound(5);
  ReportCapture capture;
  EXPECT_TRUE(DeleteProgramDataFolder(L"Velmoran"));
  SetListedEntriesBound(0);
  // What the walk never listed it cannot count.
  EXPECT_EQ(capture.Text(), DataReport(L"Velmoran", 0));
  EXPECT_EQ(EntriesBeneath(target).size(), 7u);
}

TEST_F(FolderStages, QuietStagesDeleteTheSameAndPrintNothing) {
  ASSERT_TRUE(PlantFile(data_ + L"\\Velmoran\\logs\\client.log", "c"));
  ASSERT_TRUE(PlantFile(programs_ + L"\\ZOLVA\\OrvClient.exe", "MZ"));
  ReportCapture capture;
  QuietScope quiet(true);
  EXPECT_TRUE(DeleteProgramDataFolder(L"Velmoran"));
  EXPECT_TRUE(DeleteProgramFilesFolder(L"ZOLVA"));
  {
    EnvironmentScope tooLong(L"ProgramW6432", (L"C:\\" + std::wstring(300, L'p')).c_str());
    EXPECT_FALSE(DeleteProgramFilesFolder(L"ZOLVA"));
  }
  EXPECT_EQ(capture.Text(), "");
  EXPECT_FALSE(PathExists(data_ + L"\\Velmoran"));
  EXPECT_FALSE(PathExists(programs_ + L"\\ZOLVA"));
}

TEST_F(FolderStages, CurrentDirectoryIsLeftAloneAndItsFilesSurvive) {
  // The start directory holds entries of the same names as the target's.
  const std::wstring start = MakeTempFolder(L"start");
  for (const wchar_t* name : {L"\\settings.xml", L"\\logs\\client.log", L"\\OrvClient.exe"}) {
    ASSERT_TRUE(PlantFile(start + name, "start"));
    ASSERT_TRUE(PlantFile(data_ + L"\\Velmoran" + name, "product"));
  }
  const std::vector<std::wstring> startBefore = EntriesBeneath(start);
  ASSERT_TRUE(SetCurrentDirectoryW(start.c_str()));

  ReportCapture capture;
  EXPECT_TRUE(DeleteProgramDataFolder(L"Velmoran"));
  EXPECT_TRUE(DeleteProgramDataFolder(L"Quillfen"));
  wchar_t current[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, current);
  EXPECT_EQ(std::wstring(current), start);
  EXPECT_EQ(EntriesBeneath(start), startBefore);
  EXPECT_FALSE(PathExists(data_ + L"\\Velmoran"));
}

TEST_F(FolderStages, ProgramW6432NamesTheBaseAndOnlyThatBase) {
  const std::wstring other = MakeTempFolder(L"programs");
  ASSERT_TRUE(PlantFile(other + L"\\ZOLVA\\OrvClient.exe", "MZ"));
  ASSERT_TRUE(PlantFile(programs_ + L"\\ZOLVA\\OrvClient.exe", "MZ"));
  EnvironmentScope defined(L"ProgramW6432", other.c_str());
  ReportCapture capture;
  EXPECT_TRUE(DeleteProgramFilesFolder(L"ZOLVA"));
  EXPECT_EQ(capture.Text(), ProgramsReport(L"ZOLVA", other));
  EXPECT_FALSE(PathExists(other + L"\\ZOLVA"));
  EXPECT_TRUE(PathExists(programs_ + L"\\ZOLVA\\OrvClient.exe"));
}

// Without ProgramW6432 the 64-bit build takes the shell's folder, the
// 32-bit one the 64-bit registry view's: both the native folder.
TEST_F(FolderStages, UndefinedProgramW6432FallsBackToTheNativeProgramFiles) {
  ASSERT_TRUE(PlantProgramW6432Dir(programs_));
  ASSERT_TRUE(PlantFile(programs_ + L"\\Quillfen\\OrvKey.exe", "MZ"));
  ASSERT_TRUE(PlantFile(X86ProgramFilesFolder + L"\\Quillfen\\OrvKey.exe", "MZ"));
  EnvironmentScope undefined(L"ProgramW6432", nullptr);
  ReportCapture capture;
  EXPECT_TRUE(DeleteProgramFilesFolder(L"Quillfen"));
  EXPECT_EQ(capture.Text(), ProgramsReport(L"Quillfen", programs_));
  EXPECT_FALSE(PathExists(programs_ + L"\\Quillfen"));
  EXPECT_TRUE(PathExists(X86ProgramFilesFolder + L"\\Quillfen\\OrvKey.exe"));
}

TEST_F(FolderStages, ProgramW6432ThatDoesNotFitTheBufferIsAFailure) {
  ASSERT_TRUE(PlantFile(programs_ + L"\\ZOLVA\\OrvClient.exe", "MZ"));
  // 259 characters and the terminating zero fill the buffer exactly.
  const std::wstring fits = L"C:\\" + std::wstring(256, L'p');
  const std::wstring tooLong = fits + L"p";
  ReportCapture capture;
  {
    EnvironmentScope value(L"ProgramW6432", fits.c_str());
    EXPECT_TRUE(DeleteProgramFilesFolder(L"ZOLVA"));
  }
  {
    EnvironmentScope value(L"ProgramW6432", tooLong.c_str());
    EXPECT_FALSE(DeleteProgramFilesFolder(L"ZOLVA"));
  }
  EXPECT_EQ(capture.Text(), ProgramsReport(L"ZOLVA", fits) +
                                "Deleting 'ZOLVA' Program Files Files\n"
                                "FAILED to obtain 'ZOLVA' Program Files directory\n\n");
  EXPECT_TRUE(PathExists(programs_ + L"\\ZOLVA\\OrvClient.exe"));
}

// Values that name no folder of their own: resolved, each would be a
// folder under the current directory or the current drive's root.
TEST_F(FolderStages, ProgramW6432ThatIsNotAFullPathIsAFailureAndNothingIsDeleted) {
  const std::wstring start = MakeTempFolder(L"relative");
  const std::vector<std::wstring> planted = {start + L"\\ZOLVA\\OrvClient.exe",
                                             start + L"\\Programs\\ZOLVA\\OrvClient.exe",
                                             L"C:\\ZOLVA\\OrvClient.exe", L"C:\\Programs\\ZOLVA\\OrvClient.exe"};
  for (const std::wstring& file : planted) ASSERT_TRUE(PlantFile(file, "MZ"));
  ASSERT_TRUE(SetCurrentDirectoryW(start.c_str()));
  for (const wchar_t* value : {L"", L"Programs", L"\\Programs", L"C:Programs", L"\\\\server", L"\\\\?\\C:\\Programs"}) {
    EnvironmentScope relative(L"ProgramW6432", value);
    ReportCapture capture;
    EXPECT_FALSE(DeleteProgramFilesFolder(L"ZOLVA")) << Utf8(value);
    EXPECT_EQ(capture.Text(),
              "Deleting 'ZOLVA' Program Files Files\n"
              "FAILED to obtain 'ZOLVA' Program Files directory\n\n")
        << Utf8(value);
    for (const std::wstring& file : planted) EXPECT_TRUE(PathExists(file)) << Utf8(file) << " " << Utf8(value);
  }
}

TEST(FolderContents, WalkDeletesEveryEntryButNotTheFolderItself) {
  const std::wstring folder = MakeTempFolder(L"contents");
  ASSERT_TRUE(PlantFile(folder + L"\\a.txt", "a"));
  ASSERT_TRUE(PlantFile(folder + L"\\sub\\deeper\\b.txt", "b"));
  ASSERT_TRUE(PlantFile(folder + L"\\.dot", "d"));
  ASSERT_TRUE(PlantFileExactName(folder, L"...", "dots"));
  ReportCapture capture;
  DeleteFolderContents(folder + L"\\*.*");
  EXPECT_EQ(EntriesBeneath(folder), std::vector<std::wstring>{});
  EXPECT_TRUE(PathExists(folder));
  EXPECT_EQ(capture.Text(), "");
}

TEST(FolderContents, MissingOrRelativeFoldersAreNeverWalked) {
  const std::wstring start = MakeTempFolder(L"cwd");
  ASSERT_TRUE(PlantFile(start + L"\\Velmoran\\keep.txt", "k"));
  ASSERT_TRUE(PlantFile(start + L"\\keep.txt", "k"));
  ASSERT_TRUE(SetCurrentDirectoryW(start.c_str()));
  DeleteFolderContents(start + L"\\missing\\*.*");
  DeleteFolderContents(L"Velmoran\\*.*");
  DeleteFolderContents(L"*.*");
  DeleteFolderContents(L"");
  EXPECT_FALSE(DeleteFolderTree(L"Velmoran"));
  EXPECT_FALSE(DeleteFolderTree(start + L"\\missing"));
  EXPECT_EQ(EntriesBeneath(start), (std::vector<std::wstring>{L"Velmoran", L"Velmoran\\keep.txt", L"keep.txt"}));
}

TEST(FolderContents, TreeDeletionTakesReadOnlyFilesAndReportsTheOutcome) {
  const std::wstring folder = MakeTempFolder(L"tree");
  ASSERT_TRUE(PlantFile(folder + L"\\sub\\readonly.txt", "r"));
  ASSERT_TRUE(MakeReadOnly(folder + L"\\sub\\readonly.txt"));
  EXPECT_TRUE(DeleteFolderTree(folder));
  EXPECT_FALSE(PathExists(folder));
  EXPECT_FALSE(DeleteFolderTree(folder));
}

// Links: Unix symbolic links made with the machine's own ln, which Wine
// shows as folders with the reparse-point attribute.
std::string UnixPath(const std::wstring& path) {
  using Convert = char*(CDECL*)(const wchar_t*);
  const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (convert == nullptr) return std::string();
  char* unixPath = convert(path.c_str());
  if (unixPath == nullptr) return std::string();
  std::string result = unixPath;
  HeapFree(GetProcessHeap(), 0, unixPath);
  return result;
}

bool PlantLink(const std::wstring& link, const std::wstring& target) {
  const size_t slash = link.find_last_of(L'\\');
  if (!PlantFolder(link.substr(0, slash))) return false;
  const std::string from = UnixPath(target);
  const std::string to = UnixPath(link.substr(0, slash)) + "/" + Utf8(link.substr(slash + 1));
  if (from.empty() || to.size() <= 1) return false;
  const std::wstring commandLine = L"ln -s \"" + std::wstring(from.begin(), from.end()) + L"\" \"" +
                                   std::wstring(to.begin(), to.end()) + L"\"";
  RunProgram(L"Z:\\bin\\ln", commandLine);
  // Wine hands a Unix program over without waiting for it to end: look
  // for the link until it is there.
  for (int attempt = 0; attempt < 200; ++attempt) {
    const DWORD attributes = GetFileAttributesW(link.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    Sleep(50);
  }
  return false;
}

class FolderLinks : public FolderStages {
 protected:
  void SetUp() override {
    outside_ = MakeTempFolder(L"outside");
    ASSERT_TRUE(PlantFile(outside_ + L"\\precious.txt", "p"));
    ASSERT_TRUE(PlantFile(outside_ + L"\\sub\\deeper.txt", "d"));
    ASSERT_TRUE(PlantFile(outside_ + L"\\readonly.txt", "r"));
    ASSERT_TRUE(MakeReadOnly(outside_ + L"\\readonly.txt"));
    outsideBefore_ = EntriesBeneath(outside_);
  }
  std::wstring outside_;
  std::vector<std::wstring> outsideBefore_;
};

TEST_F(FolderLinks, TargetFolderThatIsALinkIsNeitherListedNorFollowed) {
  ASSERT_TRUE(PlantLink(data_ + L"\\Velmoran", outside_));
  ReportCapture capture;
  EXPECT_TRUE(DeleteProgramDataFolder(L"Velmoran"));
  // Under Wine the link stays (see LinksInsideATarget...), and is reported.
  EXPECT_EQ(capture.Text(), DataReport(L"Velmoran", PathExists(data_ + L"\\Velmoran") ? 0 : -1));
  EXPECT_EQ(EntriesBeneath(outside_), outsideBefore_);
  EXPECT_FALSE(DeleteFolderTree(data_ + L"\\Velmoran"));
  DeleteFolderContents(data_ + L"\\Velmoran\\*.*");
  EXPECT_EQ(EntriesBeneath(outside_), outsideBefore_);
}

TEST_F(FolderLinks, LinksInsideATargetAreLeftAndEverythingElseGoes) {
  const std::wstring target = programs_ + L"\\ZOLVA";
  ASSERT_TRUE(PlantFile(target + L"\\OrvClient.exe", "MZ"));
  ASSERT_TRUE(PlantFile(target + L"\\lib\\orvcore.dll", "MZ"));
  ASSERT_TRUE(PlantFile(target + L"\\lib\\readonly.cfg", "r"));
  ASSERT_TRUE(MakeReadOnly(target + L"\\lib\\readonly.cfg"));
  ASSERT_TRUE(PlantLink(target + L"\\plugins", outside_));
  ASSERT_TRUE(PlantFile(target + L"\\data\\cache\\c.bin", "c"));
  ASSERT_TRUE(PlantLink(target + L"\\data\\shared", outside_));
  // A hard link to a read-only file outside: without POSIX deletion (Wine
  // 8) it stays, since clearing its attribute would clear the outside
  // file's; with it (Windows 10 1809 and later on NTFS) it goes as it is.
  ASSERT_TRUE(CreateHardLinkW((target + L"\\hard.txt").c_str(), (outside_ + L"\\readonly.txt").c_str(), nullptr));

  ReportCapture capture;
  EXPECT_TRUE(DeleteProgramFilesFolder(L"ZOLVA"));
  EXPECT_EQ(capture.Text(), ProgramsReport(L"ZOLVA", programs_, Stayed(target)));
  EXPECT_EQ(EntriesBeneath(outside_), outsideBefore_);
  EXPECT_EQ(GetFileAttributesW((outside_ + L"\\readonly.txt").c_str()) & FILE_ATTRIBUTE_READONLY,
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(PathExists(target + L"\\OrvClient.exe"));
  EXPECT_FALSE(PathExists(target + L"\\lib"));
  EXPECT_FALSE(PathExists(target + L"\\data\\cache"));
  EXPECT_TRUE(PathExists(target + L"\\plugins"));
  EXPECT_TRUE(PathExists(target + L"\\data\\shared"));
}

// The swap attack. A second process waits until the walk has begun (its
// trigger file is gone), renames a folder of the product away and puts a
// link to the victim folder in its place. Wine 8 makes no link from the
// Windows side (CreateSymbolicLinkW does nothing, FSCTL_SET_REPARSE_POINT
// fails), so the second process is a Unix one and the link a Unix symbolic
// link; on Windows it would be a junction. It writes "1" to done when it
// swapped while the folder was still there, "0" when the walk was faster.
bool StartSwapper(const std::wstring& trigger, const std::wstring& folder, const std::wstring& victim,
                  const std::wstring& ready, const std::wstring& done) {
  std::wstring commandLine =
      L"perl -e \"($t,$f,$v,$r,$d)=@ARGV; open(R,'>',$r); close(R); "
      L"for($i=0;$i<200000 && -e $t;$i++){select(undef,undef,undef,0.0002)} "
      L"$ok=(rename($f,$f.'.moved') && symlink($v,$f)) ? 1 : 0; open(D,'>',$d); print D $ok; close(D)\"";
  for (const std::wstring& path : {trigger, folder, victim, ready, done}) {
    const std::string unixPath = UnixPath(path);
    if (unixPath.empty()) return false;
    commandLine += L" \"" + std::wstring(unixPath.begin(), unixPath.end()) + L"\"";
  }
  RunProgram(L"Z:\\usr\\bin\\perl", commandLine);
  for (int attempt = 0; attempt < 400 && !PathExists(ready); ++attempt) Sleep(25);
  return PathExists(ready);
}

std::string WaitForFileText(const std::wstring& path) {
  for (int attempt = 0; attempt < 2400 && !PathExists(path); ++attempt) Sleep(25);
  Sleep(50);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  char text[16] = {};
  DWORD read = 0;
  ReadFile(file, text, sizeof text - 1, &read, nullptr);
  CloseHandle(file);
  return std::string(text, read);
}

// The product's tree, and the victim's with the same names, so that a
// walk that follows the link finds a victim file under every name.
void PlantSwapTree(const std::wstring& root) {
  PlantFile(root + L"\\0-trigger", "t");
  PlantFile(root + L"\\data\\0-trigger", "t");
  for (int file = 0; file < 10; ++file) PlantFile(root + L"\\f" + std::to_wstring(file), "f");
  for (int folder = 0; folder < 8; ++folder)
    for (int file = 0; file < 100; ++file)
      PlantFile(root + L"\\data\\d" + std::to_wstring(folder) + L"\\f" + std::to_wstring(file), "f");
}

TEST_F(FolderLinks, FolderSwappedForALinkMidWalkRedirectsNothing) {
  const std::wstring victim = MakeTempFolder(L"victim");
  PlantSwapTree(victim);
  PlantSwapTree(victim + L"\\data\\d0");
  const std::vector<std::wstring> victimBefore = EntriesBeneath(victim);
  const std::wstring target = data_ + L"\\Velmoran";
  // The target folder itself once the walk is in it; and a subfolder
  // after its folder was listed and before the walk enters it.
  const struct {
    std::wstring swapped;
    std::wstring linkTarget;
    std::wstring trigger;
  } swaps[] = {{target, victim, target + L"\\0-trigger"},
               {target + L"\\data\\d0", victim + L"\\data\\d0", target + L"\\data\\0-trigger"}};
  int swappedMidWalk = 0;
  for (const auto& swap : swaps) {
    for (int run = 0; run < 3; ++run) {
      SCOPED_TRACE(Utf8(swap.swapped) + " run " + std::to_string(run));
      PlantSwapTree(target);
      const std::wstring signals = MakeTempFolder(L"swap");
      ASSERT_TRUE(StartSwapper(swap.trigger, swap.swapped, swap.linkTarget, signals + L"\\ready",
                               signals + L"\\done"));
      ReportCapture capture;
      EXPECT_TRUE(DeleteProgramDataFolder(L"Velmoran"));
      const std::string swapped = WaitForFileText(signals + L"\\done");
      // What stays depends on when the swap came; the report says it.
      const std::string report = capture.Text();
      const std::string head = DataReport(L"Velmoran").substr(0, DataReport(L"Velmoran").size() - 1);
      EXPECT_TRUE(report == head + "\n" || report.rfind(head + "STAYED: ", 0) == 0) << report;
      const std::vector<std::wstring> victimAfter = EntriesBeneath(victim);
      EXPECT_TRUE(victimAfter == victimBefore) << victimAfter.size() << " of " << victimBefore.size() << " left";
      if (swapped == "1") ++swappedMidWalk;
      // Clear the stage for the next run: the link as a Unix program sees
      // it, and what was moved away.
      const std::string removed = UnixPath(target), moved = UnixPath(swap.swapped) + ".moved";
      RunProgram(L"Z:\\bin\\rm", L"rm -rf \"" + std::wstring(removed.begin(), removed.end()) + L"\" \"" +
                                     std::wstring(moved.begin(), moved.end()) + L"\"");
      for (int attempt = 0; attempt < 200 && PathExists(target); ++attempt) Sleep(25);
      ASSERT_FALSE(PathExists(target));
    }
  }
  // Without a swap in the middle of a walk this test would show nothing.
  EXPECT_GT(swappedMidWalk, 0);
}

// Depth, length, links, read-only and odd names in one planted folder, run
// by the real program: it must get through to the registry stages.
TEST_F(FolderLinks, DeepLongTreeGoesAllButItsLinkAndTheRunGoesOn) {
  const std::wstring target = data_ + L"\\Velmoran";
  ASSERT_TRUE(PlantFolder(target));
  // One-letter names, as many as fit: Wine's own Unix paths end at 4,096
  // bytes, and a file deeper than that could be neither made nor deleted
  // under Wine. The prefix's own place (where the checkout lies) takes its
  // share, so the depth is counted from there, with room for the file.
  // Made by a Unix program in one go: Wine resolves every path (also one
  // relative to a handle) from the root, so each level costs Wine more
  // than the one before; the run's walk pays that too.
  std::wstring deepest = target;
  std::string chain = UnixPath(target);
  ASSERT_FALSE(chain.empty());
  const int levels = std::min<int>(2000, (4096 - 32 - static_cast<int>(chain.size())) / 2);
  // Still far past every limit of the Win32 path calls.
  ASSERT_GT(levels, 1500);
  for (int level = 0; level < levels; ++level) {
    deepest += L"\\a";
    chain += "/a";
  }
  RunProgram(L"Z:\\bin\\mkdir", L"mkdir -p \"" + std::wstring(chain.begin(), chain.end()) + L"\"");
  for (int attempt = 0; attempt < 400 && !PathExists(L"\\\\?\\" + deepest); ++attempt) Sleep(50);
  ASSERT_TRUE(PlantFile(L"\\\\?\\" + deepest + L"\\b", "b"));
  ASSERT_FALSE(PlantChain(target, L"dots.", 300).empty());
  // A link 150 levels down, with read-only, hidden and oddly named
  // entries beside it; the folders around it pass 300 characters.
  const std::wstring linkFolder = PlantChain(target, L"linked", 150);
  ASSERT_GT(linkFolder.size(), 300u);
  ASSERT_TRUE(PlantLink(linkFolder + L"\\outside", outside_));
  ASSERT_TRUE(PlantFile(L"\\\\?\\" + linkFolder + L"\\readonly.txt", "r"));
  ASSERT_TRUE(MakeReadOnly(L"\\\\?\\" + linkFolder + L"\\readonly.txt"));
  ASSERT_TRUE(PlantFile(L"\\\\?\\" + linkFolder + L"\\trailing blank ", "t"));
  ASSERT_TRUE(PlantFile(L"\\\\?\\" + linkFolder + L"\\hidden.", "h"));
  ASSERT_TRUE(SetFileAttributesW((L"\\\\?\\" + linkFolder + L"\\hidden.").c_str(),
                                 FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
  const std::wstring readOnlyFolder = PlantChain(linkFolder, L"readonly folder", 1);
  ASSERT_TRUE(PlantFile(L"\\\\?\\" + readOnlyFolder + L"\\" + std::wstring(200, L'n'), "n"));
  ASSERT_TRUE(SetFileAttributesW((L"\\\\?\\" + readOnlyFolder).c_str(), FILE_ATTRIBUTE_READONLY));

  // Three minutes on a machine busy with other builds, more when both
  // suites share it, and each folder is opened twice (to list it and,
  // once empty, to delete it), each open resolved by Wine from the root:
  // the test's own bound is twenty minutes.
  const RunResult run = RunKestrum(L"", L"", nullptr, 15 * 60 * 1000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_NE(run.output.find(DataReport(L"Velmoran", Stayed(target)) + DataReport(L"Quillfen")), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find(CleanInstallerStageReport()), std::string::npos);
  EXPECT_EQ(EntriesBeneath(outside_), outsideBefore_);
  // What may stay is the link, and the folders that lead to it: Wine
  // cannot open a Unix symbolic link as itself, so it cannot go there;
  // Windows removes a link as itself, and then nothing stays.
  std::vector<std::wstring> mayStay;
  std::wstring path;
  for (int level = 0; level < 150; ++level) mayStay.push_back(path += (level ? L"\\linked" : L"linked"));
  mayStay.push_back(path + L"\\outside");
  std::sort(mayStay.begin(), mayStay.end());
  const std::vector<std::wstring> left = EntriesBeneath(target);
  EXPECT_TRUE(left.empty() || left == mayStay) << left.size() << " entries left";
}

// A running product process holds its image and a file of its own open
// in its folder. The process stage ends it and returns only once it has
// exited, so the file stage that follows can delete the folder. In-process,
// so that nothing between the two stages gives the process time to end.
// Wine ends another process within TerminateProcess itself, so there this
// test shows the whole road but not the wait; on Windows the end comes
// later, and without the wait the folder would stay.
TEST_F(FolderStages, ProcessStageWaitsForTheEndSoTheFolderCanGo) {
  const std::wstring image = programs_ + L"\\ZOLVA\\OrvClient.exe";
  ASSERT_TRUE(PlantFolder(programs_ + L"\\ZOLVA"));
  const KernelHandle process = StartProductProcessAt(image);
  ASSERT_TRUE(process);
  for (int attempt = 0; attempt < 400 && !PathExists(image + L".started"); ++attempt) Sleep(25);
  ASSERT_TRUE(PathExists(image + L".started"));
  ASSERT_FALSE(DeleteFileW((image + L".started").c_str()));

  ReportCapture capture;
  KillProductProcesses();
  EXPECT_EQ(WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0);
  EXPECT_TRUE(DeleteProgramFilesFolder(L"ZOLVA"));
  EXPECT_EQ(capture.Text(), "\nKilling Processes\n-----------------\nTerminating process: OrvClient.exe" +
                                ProgramsReport(L"ZOLVA"));
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeProcess(process.get(), &exitCode));
  EXPECT_EQ(exitCode, 9u);
  EXPECT_FALSE(PathExists(programs_ + L"\\ZOLVA"));
}

// End to end: the real kestrum.exe on a planted installation.
std::vector<std::wstring> EnvironmentWithout(const std::wstring& name) {
  std::vector<std::wstring> block;
  wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
    const std::wstring text = entry;
    if (_wcsnicmp(text.c_str(), (name + L"=").c_str(), name.size() + 1) != 0) block.push_back(text);
  }
  FreeEnvironmentStringsW(strings);
  return block;
}

std::vector<std::wstring> FoldersLeft() {
  std::vector<std::wstring> folders;
  for (const std::wstring& line : SurveyProduct())
    if (line.compare(0, 7, L"folder ") == 0) folders.push_back(line);
  return folders;
}

TEST_F(FolderStages, RunDeletesTheFourFoldersAndNothingOfTheStartDirectory) {
  PlantProductFolders();
  ASSERT_EQ(FoldersLeft().size(), 4u);
  const std::wstring start = MakeTempFolder(L"start");
  ASSERT_TRUE(PlantFile(start + L"\\settings.xml", "start"));
  ASSERT_TRUE(PlantFile(start + L"\\lib\\orvcore.dll", "start"));
  const std::vector<std::wstring> startBefore = EntriesBeneath(start);

  const RunResult run = RunKestrum(L"", start);
  ASSERT_TRUE(run.finished);
  const std::string stage = "\nDeleting Files\n--------------\n" + DataReport(L"Velmoran") +
                            DataReport(L"Quillfen") + ProgramsReport(L"ZOLVA") +
                            ProgramsReport(L"Quillfen");
  EXPECT_NE(run.output.find(stage), std::string::npos) << run.output;
  EXPECT_EQ(FoldersLeft(), std::vector<std::wstring>{});
  EXPECT_EQ(EntriesBeneath(start), startBefore);

  PlantProductFolders();
  const RunResult quiet = RunKestrum(L"-s", start);
  ASSERT_TRUE(quiet.finished);
  EXPECT_EQ(quiet.output, "");
  EXPECT_EQ(FoldersLeft(), std::vector<std::wstring>{});
  EXPECT_EQ(EntriesBeneath(start), startBefore);

  // Started inside a product folder: the Wine 10 that runs the 32-bit
  // build holds the start folder open without delete sharing, as a command
  // prompt does on Windows, Wine 8 does not. Everything in it goes; only
  // the folder itself may stay, and then the report says so.
  const std::wstring logs = data_ + L"\\Velmoran\\logs";
  ASSERT_TRUE(PlantFile(logs + L"\\client.log", "c"));
  ASSERT_TRUE(PlantFile(logs + L"\\2026\\updater.log", "u"));
  const RunResult inside = RunKestrum(L"", logs);
  ASSERT_TRUE(inside.finished);
  EXPECT_NE(inside.output.find("\nDeleting Files\n--------------\n" + DataReport(L"Velmoran", Stayed(logs) == 0 ? 1 : -1) +
                               DataReport(L"Quillfen")),
            std::string::npos)
      << inside.output;
  EXPECT_TRUE(!PathExists(logs) || EntriesBeneath(logs).empty());
}

TEST_F(FolderStages, RunTakesProgramW6432FromItsEnvironment) {
  const std::wstring other = MakeTempFolder(L"programs");
  ASSERT_TRUE(PlantFile(other + L"\\ZOLVA\\OrvClient.exe", "MZ"));
  ASSERT_TRUE(PlantFile(programs_ + L"\\ZOLVA\\OrvClient.exe", "MZ"));
  std::vector<std::wstring> environment = EnvironmentWithout(L"ProgramW6432");
  environment.push_back(L"ProgramW6432=" + other);
  const RunResult defined = RunKestrum(L"", L"", &environment);
  ASSERT_TRUE(defined.finished);
  EXPECT_NE(defined.output.find(ProgramsReport(L"ZOLVA", other) + ProgramsReport(L"Quillfen", other)),
            std::string::npos)
      << defined.output;
  EXPECT_FALSE(PathExists(other + L"\\ZOLVA"));
  EXPECT_TRUE(PathExists(programs_ + L"\\ZOLVA\\OrvClient.exe"));

  // A trimmed environment block: the native folder all the same, never
  // the 32-bit programs' folder that the shell gives the 32-bit build.
  environment.pop_back();
  ASSERT_TRUE(PlantProgramW6432Dir(programs_));
  ASSERT_TRUE(PlantFile(X86ProgramFilesFolder + L"\\ZOLVA\\OrvClient.exe", "MZ"));
  const RunResult undefined = RunKestrum(L"", L"", &environment);
  ASSERT_TRUE(undefined.finished);
  EXPECT_NE(undefined.output.find(ProgramsReport(L"ZOLVA", programs_) + ProgramsReport(L"Quillfen", programs_)),
            std::string::npos)
      << undefined.output;
  EXPECT_FALSE(PathExists(programs_ + L"\\ZOLVA"));
  EXPECT_TRUE(PathExists(X86ProgramFilesFolder + L"\\ZOLVA\\OrvClient.exe"));
}

}  // namespace
