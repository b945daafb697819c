// kestrum_profiles_bench [--profiles N] [--keys K] [--repeats R]: what the
// users' part of the registry stages costs per offline profile, for a run
// and a scan, against its floor (a copy, a load, one walk and an unload of
// each hive), at 10 profiles and at N (100), so that a cost that grows with
// the count shows. Each hive holds about K keys (2,000, some 400 KB); one in
// 33 the product's records. The machine's and current user's are stand-ins.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "floor_walk.h"
#include "privileges.h"
#include "registry.h"
#include "report.h"

namespace {

const wchar_t HiveSource[] = L"SOFTWARE\\KestrumBenchHive";
const wchar_t StandIn[] = L"SOFTWARE\\KestrumBenchStandIn";
const wchar_t ProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
const wchar_t Templates[] = L"C:\\users\\kestrum-bench";
const wchar_t FloorHive[] = L"kestrum-bench-floor";
constexpr unsigned RecordsEvery = 33;

// A user's hive of about keys keys, some ten levels deep, three values
// each, saved to file by the system's save call; with the product's
// per-user records when records is set.
bool SaveHive(unsigned keys, bool records, const std::wstring& file) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, HiveSource);
  std::vector<std::wstring> parents{HiveSource};
  Random random{4242};
  for (size_t next = 0, planted = 0; next < parents.size() && planted < keys; ++next) {
    const unsigned children = next == 0 ? 12 : random.Next() % 9;
    for (unsigned child = 0; child < children && planted < keys; ++child, ++planted) {
      const std::wstring path = parents[next] + L"\\Node" + std::to_wstring(child) + L"-" + std::to_wstring(planted);
      PlantRecord(HKEY_LOCAL_MACHINE, path, L"Description", L"Setting " + std::to_wstring(planted) + L" of an app");
      PlantRecord(HKEY_LOCAL_MACHINE, path, L"Path", L"C:\\Users\\someone\\AppData\\Local\\App\\file.dat");
      PlantRecord(HKEY_LOCAL_MACHINE, path, L"Version", L"10.0." + std::to_wstring(planted % 97));
      parents.push_back(path);
    }
  }
  const std::wstring installer = std::wstring(HiveSource) + L"\\Software\\Microsoft\\Installer\\";
  PlantRecord(HKEY_LOCAL_MACHINE, installer + L"Products\\7A6B5C4D3E2F10011223344556677889", L"ProductName", L"Other");
  if (records) {
    PlantRecord(HKEY_LOCAL_MACHINE, installer + L"Products\\9636B389AB5D5D14EBF454D61C4F4941", L"ProductName",
                L"Orvane Setup");
    PlantRecord(HKEY_LOCAL_MACHINE, installer + L"UpgradeCodes\\5B1E0A3C7D924E6F8A1B2C3D4E5F6071",
                L"9636B389AB5D5D14EBF454D61C4F4941", L"");
  }
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, HiveSource, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return false;
  DeleteFileW(file.c_str());
  const LONG saved = RegSaveKeyW(key, file.c_str(), nullptr);
  RegCloseKey(key);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, HiveSource);
  return saved == ERROR_SUCCESS;
}

std::wstring ProfileFolder(unsigned at) { return std::wstring(Templates) + L"-" + std::to_wstring(at); }
std::wstring ProfileSid(unsigned at) { return L"S-1-5-21-7-7-7-" + std::to_wstring(2000 + at); }
std::wstring TemplateOf(unsigned at) {
  return std::wstring(Templates) + (at % RecordsEvery == 0 ? L"\\records.dat" : L"\\clean.dat");
}

// Profiles from..to-1, listed in ProfileList as the profile service lists them.
bool PlantProfiles(unsigned from, unsigned to) {
  for (unsigned at = from; at < to; ++at) {
    const std::wstring folder = ProfileFolder(at);
    CreateDirectoryW(folder.c_str(), nullptr);
    if (!CopyFileW(TemplateOf(at).c_str(), (folder + L"\\NTUSER.DAT").c_str(), FALSE)) return false;
    PlantRecord(HKEY_LOCAL_MACHINE, ProfileList + ProfileSid(at), L"ProfileImagePath",
                L"%SystemDrive%\\users\\kestrum-bench-" + std::to_wstring(at), REG_EXPAND_SZ);
  }
  return true;
}

// What a run deleted in its users' hives (Windows writes it back to the
// files) comes back before every subject, outside its time.
void RestoreRecords(unsigned profiles) {
  for (unsigned at = 0; at < profiles; at += RecordsEvery)
    CopyFileW(TemplateOf(at).c_str(), (ProfileFolder(at) + L"\\NTUSER.DAT").c_str(), FALSE);
}

void RemoveProfiles(unsigned profiles) {
  for (unsigned at = 0; at < profiles; ++at) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (ProfileList + ProfileSid(at)).c_str());
    DeleteFileW((ProfileFolder(at) + L"\\NTUSER.DAT").c_str());
    RemoveDirectoryW(ProfileFolder(at).c_str());
  }
}

// The floor: each profile's hive copied, loaded, walked once and unloaded,
// and one walk of the default user's hive, which the stages walk too.
void FloorOfProfiles(unsigned profiles, const std::wstring& folder) {
  HKEY defaultUser = nullptr;
  if (RegOpenKeyExW(HKEY_USERS, L".DEFAULT", 0, WalkAccess, &defaultUser) == ERROR_SUCCESS) {
    FloorWalk{FloorDepth::ValueNamesAndData}.Visit(defaultUser);
    RegCloseKey(defaultUser);
  }
  const std::wstring copy = folder + L"\\NTUSER.DAT";
  for (unsigned at = 0; at < profiles; ++at) {
    CopyFileW((ProfileFolder(at) + L"\\NTUSER.DAT").c_str(), copy.c_str(), FALSE);
    if (RegLoadKeyW(HKEY_USERS, FloorHive, copy.c_str()) != ERROR_SUCCESS) continue;
    HKEY root = nullptr;
    if (RegOpenKeyExW(HKEY_USERS, FloorHive, 0, WalkAccess, &root) == ERROR_SUCCESS) {
      FloorWalk{FloorDepth::ValueNamesAndData}.Visit(root);
      RegCloseKey(root);
    }
    RegUnLoadKeyW(HKEY_USERS, FloorHive);
    DeleteFileW(copy.c_str());
  }
}

// The installer stage, quiet, over the stand-ins and every user's hive.
void UsersPart(HKEY standIn, RegistryPurpose purpose) {
  const RegistryWork work(InstallerEntries, Hives{standIn, standIn, standIn}, purpose);
  DeleteInstallerRegistryEntries();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  unsigned profiles = 100, keys = 2000, repeats = 3;
  for (int i = 1; i + 1 < argc; i += 2)
    for (const auto& [name, value] :
         {std::pair{L"--profiles", &profiles}, std::pair{L"--keys", &keys}, std::pair{L"--repeats", &repeats}})
      if (wcscmp(argv[i], name) == 0) *value = static_cast<unsigned>(_wtoi(argv[i + 1]));
  profiles = std::max(profiles, 10u);
  QuietFlag = true;
  EnablePrivileges({SE_BACKUP_NAME, SE_RESTORE_NAME});

  CreateDirectoryW(Templates, nullptr);
  std::printf("planting %u offline profiles, hives of %u keys, one in %u with the product's records ...\n", profiles,
              keys, RecordsEvery);
  if (!SaveHive(keys, false, std::wstring(Templates) + L"\\clean.dat") ||
      !SaveHive(keys, true, std::wstring(Templates) + L"\\records.dat")) {
    std::printf("could not save the hives\n");
    return 1;
  }
  WIN32_FILE_ATTRIBUTE_DATA size{};
  GetFileAttributesExW((std::wstring(Templates) + L"\\clean.dat").c_str(), GetFileExInfoStandard, &size);
  HKEY standIn = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, StandIn, 0, nullptr, 0, WalkAccess, nullptr, &standIn, nullptr);
  wchar_t windows[MAX_PATH];
  const std::wstring floorFolder =
      std::wstring(windows, GetSystemWindowsDirectoryW(windows, MAX_PATH)) + L"\\Temp\\kestrum-bench-floor";
  CreateDirectoryW(floorFolder.c_str(), nullptr);

  const char* names[] = {"floor: copy, load, walk, unload", "run, users' part", "scan, users' part"};
  unsigned counts[] = {10, profiles};
  std::vector<double> perProfile[2];
  for (int phase = 0; phase < 2; ++phase) {
    const unsigned count = counts[phase];
    if (!PlantProfiles(phase == 0 ? 0 : counts[0], count)) {
      std::printf("could not plant the profiles\n");
      return 1;
    }
    std::vector<Subject> subjects = {
        {names[0], nullptr, [&] { FloorOfProfiles(count, floorFolder); }},
        {names[1], nullptr, [&] { UsersPart(standIn, RegistryPurpose::Remove); }},
        {names[2], nullptr, [&] { UsersPart(standIn, RegistryPurpose::Scan); }},
    };
    Measure(subjects, repeats, [&] { RestoreRecords(count); });
    for (const Subject& subject : subjects) perProfile[phase].push_back(Median(subject.seconds) * 1000 / count);
  }

  std::printf("hive file %lu KB; %u rounds, median\n\n", size.nFileSizeLow / 1024, repeats);
  std::printf("%-34s %14s %9s %14s %9s %12s\n", "subject", "ms/profile@10", "vs floor", "ms/profile@N",
              "vs floor", "N vs 10");
  for (size_t at = 0; at < 3; ++at)
    std::printf("%-34s %14.2f %9.3f %14.2f %9.3f %12.3f\n", names[at], perProfile[0][at],
                perProfile[0][at] / perProfile[0][0], perProfile[1][at], perProfile[1][at] / perProfile[1][0],
                perProfile[1][at] / perProfile[0][at]);
  std::printf("\nN = %u profiles. Goal: at most 1.2 x floor, and per profile at N within 20%% of that at 10.\n",
              profiles);
  for (size_t at = 1; at < 3; ++at)
    std::printf("%s: %.2f x floor at %u profiles, %.2f x its cost per profile at 10\n", names[at],
                perProfile[1][at] / perProfile[1][0], profiles, perProfile[1][at] / perProfile[0][at]);

  RemoveProfiles(profiles);
  RegCloseKey(standIn);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, StandIn);
  RemoveDirectoryW(floorFolder.c_str());
  for (const wchar_t* file : {L"\\clean.dat", L"\\records.dat"}) DeleteFileW((std::wstring(Templates) + file).c_str());
  RemoveDirectoryW(Templates);
  return 0;
}
