// kestrum_bench: what a registry sweep costs per visited key, set against
// the least any walk of the same hive can cost (its floor), and what the
// registry stages of a whole run cost against one walk of their hives.
//
//   kestrum_bench [--keys N] [--repeats R]
//
// Plants a synthetic tree of N keys below HKEY_LOCAL_MACHINE that holds
// none of the product's texts (so nothing is deleted), then times, in
// interleaved rounds, the floors and the program's own sweeps and stages.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "floor_walk.h"
#include "registry.h"
#include "report.h"

// Every heap allocation of the program's own code goes through these.
static std::atomic<unsigned long long> Allocations{0};

void* operator new(std::size_t size) {
  ++Allocations;
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace {

const wchar_t BenchRoot[] = L"SOFTWARE\\KestrumBench";

// ---- the synthetic tree -------------------------------------------------

void PlantValues(HKEY key, unsigned index) {
  wchar_t text[96];
  swprintf(text, 96, L"Component %u of a synthetic vendor product, build 10.%u.%u", index, index % 97,
           index % 13);
  RegSetValueExW(key, L"Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
  DWORD number = index;
  RegSetValueExW(key, L"Flags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  BYTE bytes[24];
  for (unsigned i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<BYTE>(index * 31 + i);
  RegSetValueExW(key, L"Blob", 0, REG_BINARY, bytes, sizeof bytes);
}

// Breadth first, each key getting 0 to 8 children (4 on average), so the
// tree is a few hundred keys wide near the top and some ten levels deep,
// with most keys leaves, as in a real SOFTWARE hive.
unsigned PlantTree(unsigned keys) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, BenchRoot);
  HKEY root = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, BenchRoot, 0, nullptr, 0, WalkAccess, nullptr, &root,
                      nullptr) != ERROR_SUCCESS)
    return 0;
  std::vector<HKEY> parents{root};
  Random random;
  unsigned planted = 1;
  PlantValues(root, 0);
  for (size_t next = 0; next < parents.size() && planted < keys; ++next) {
    const unsigned children = next == 0 ? 60 : random.Next() % 9;
    for (unsigned child = 0; child < children && planted < keys; ++child) {
      wchar_t name[48];
      swprintf(name, 48, L"Node%03u-%u", child, planted);
      HKEY key = nullptr;
      if (RegCreateKeyExW(parents[next], name, 0, nullptr, 0, WalkAccess, nullptr, &key, nullptr) !=
          ERROR_SUCCESS)
        continue;
      PlantValues(key, planted++);
      parents.push_back(key);
    }
    if (next > 0) RegCloseKey(parents[next]);
    parents[next] = nullptr;
  }
  for (HKEY key : parents)
    if (key != nullptr) RegCloseKey(key);
  return planted;
}

// The product's records, planted afresh before every subject of every
// round (outside its time), so that the runs find something to delete:
// keys named by the packed GUIDs, the installer GUIDs and the service,
// runs of neighbours holding a value named by a packed GUID (which the
// check passes finish), the product's own uninstall entries and shared
// keys that name it among other values.
const wchar_t ProductRecords[] = L"SOFTWARE\\KestrumBench\\Product";
const wchar_t UserProductRecords[] = L"Software\\KestrumBench";
const wchar_t PackedProduct[] = L"4855687A0CDDB614B846EDB2FCE21DFD";
const wchar_t PackedBootstrapper[] = L"9636B389AB5D5D14EBF454D61C4F4941";

void PlantProductRecords() {
  const std::wstring machine = ProductRecords;
  const std::wstring user = UserProductRecords;
  for (const wchar_t* name : {PackedProduct, PackedBootstrapper, L"{e6a11024-5926-4359-bc32-05fe3ec5c2e3}",
                              L"{744ad6f8-a222-4194-8ee1-775d0f0f15fa}", L"StartupService",
                              L"{983B6369-D5BA-41D5-BE4F-456DC1F49414}"})
    PlantRecord(HKEY_LOCAL_MACHINE, machine + L"\\Keys\\" + name + L"\\Sub", L"Version", L"1");
  PlantRecord(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\Installer\\Products\\" + std::wstring(PackedProduct),
              L"ProductName", L"Orvane Client");
  PlantRecord(HKEY_CURRENT_USER, user + L"\\" + PackedBootstrapper, L"ProductName", L"Orvane Setup");
  PlantRecord(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmoran\\Orvane", L"Version", L"7.4.2");
  for (int i = 0; i < 40; ++i) {
    const std::wstring at = std::to_wstring(100 + i);
    PlantRecord(HKEY_LOCAL_MACHINE, machine + L"\\Components\\C" + at, PackedProduct, L"C:\\orv.dll");
    PlantRecord(HKEY_LOCAL_MACHINE, machine + L"\\BootComponents\\C" + at, PackedBootstrapper, L"");
    PlantRecord(HKEY_CURRENT_USER, user + L"\\Components\\C" + at, PackedBootstrapper, L"");
    PlantRecord(HKEY_LOCAL_MACHINE, machine + L"\\Uninstall\\U" + at, L"DisplayName", L"Orvane Client");
  }
  PlantRecord(HKEY_LOCAL_MACHINE, machine + L"\\Shared", PackedProduct, L"C:\\orv.dll");
  PlantRecord(HKEY_LOCAL_MACHINE, machine + L"\\Shared", L"7A6B5C4D3E2F10011223344556677889", L"C:\\other.dll");
  PlantRecord(HKEY_LOCAL_MACHINE, machine + L"\\Rules", L"Rule1", L"Name=Orvane Client|");
  PlantRecord(HKEY_LOCAL_MACHINE, machine + L"\\Rules", L"Rule2", L"Name=Remote Desktop|");
}

// ---- whole runs -----------------------------------------------------------

const char NormalLimit[] = "limit: one walk of HKCU, HKCR, HKLM";
const char NormalRun[] = "normal run, recorded walks";
const char BootstrapperLimit[] = "limit: one walk of HKCU, HKLM";
const char BootstrapperRun[] = "-bo run, recorded walks";
const char NormalScan[] = "normal scan (kestrum-scan)";
const char BootstrapperScan[] = "-bo scan (kestrum-scan -bo)";

void WalkOnce(std::initializer_list<HKEY> hives) {
  for (const HKEY hive : hives) FloorWalk{FloorDepth::ValueNamesAndData}.Visit(hive);
}

// The registry work of a run, or of a scan, and its stages, quiet.
void RunRegistryStages(unsigned stages, bool full, RegistryPurpose purpose = RegistryPurpose::Remove) {
  SetFullRegistryWalks(full);
  {
    const RegistryWork work(stages, Hives(), purpose);
    if (stages & VendorKeys) DeleteVendorRegistryKeys();
    if (stages & InstallerEntries) DeleteInstallerRegistryEntries();
    if (stages & BootstrapperEntries) DeleteBootstrapperRegistryEntries();
  }
  SetFullRegistryWalks(false);
}

// ---- measuring ----------------------------------------------------------

double Spread(const std::vector<double>& samples) {
  const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
  const double median = Median(samples);
  return median > 0 ? (*high - *low) / median * 100.0 : 0.0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  unsigned keys = 50000;
  unsigned repeats = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (wcscmp(argv[i], L"--keys") == 0) keys = static_cast<unsigned>(_wtoi(argv[i + 1]));
    if (wcscmp(argv[i], L"--repeats") == 0) repeats = static_cast<unsigned>(_wtoi(argv[i + 1]));
  }
  QuietFlag = true;

  std::printf("planting %u keys below HKEY_LOCAL_MACHINE\\SOFTWARE\\KestrumBench ...\n", keys);
  const unsigned planted = PlantTree(keys);
  PlantProductRecords();
  FloorWalk census{FloorDepth::ValueNames};
  census.Visit(HKEY_LOCAL_MACHINE);
  std::printf("planted %u keys and the product's records; HKEY_LOCAL_MACHINE now holds %llu keys and %llu values\n\n",
              planted, census.keys, census.values);

  const Stage stage(true);
  std::vector<Subject> subjects = {
      {"floor: open + enum keys", nullptr, [] { FloorWalk{FloorDepth::Keys}.Visit(HKEY_LOCAL_MACHINE); }},
      {"floor + enum values", nullptr, [] { FloorWalk{FloorDepth::ValueNames}.Visit(HKEY_LOCAL_MACHINE); }},
      {"floor + enum values + read data", nullptr,
       [] { FloorWalk{FloorDepth::ValueData}.Visit(HKEY_LOCAL_MACHINE); }},
      {"DeleteKeyByPath", "floor: open + enum keys",
       [&] { stage.DeleteKeyByPath(L"SOFTWARE\\NoSuchVendor"); }},
      {"DeleteKeysByName", "floor: open + enum keys",
       [&] { stage.DeleteKeysByName(HKEY_LOCAL_MACHINE, L"NoSuchKeyName"); }},
      {"DeleteKeysByValueName", "floor + enum values",
       [&] { stage.DeleteKeysByValueName(HKEY_LOCAL_MACHINE, L"00000000000000000000000000000000"); }},
      {"DeleteKeysByValueData", "floor + enum values + read data",
       [&] { stage.DeleteKeysByValueData(L"No Such Product Text"); }},
      // Whole runs: the registry stages of a normal and of a "-bo" run,
      // by today's full walks and by one discovery walk per hive and the
      // recorded walks, against their limit: one walk of the same hives
      // that reads every value's name and data once.
      {NormalLimit, nullptr, [] { WalkOnce({HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE}); }},
      {"normal run, full walks (24)", NormalLimit, [] { RunRegistryStages(NormalRunStages, true); }},
      {NormalRun, NormalLimit, [] { RunRegistryStages(NormalRunStages, false); }},
      // The scans (kestrum-scan): the same stages with the scan's policy,
      // which lists what a run would delete and deletes nothing.
      {NormalScan, NormalLimit, [] { RunRegistryStages(NormalRunStages, false, RegistryPurpose::Scan); }},
      {BootstrapperLimit, nullptr, [] { WalkOnce({HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}); }},
      {"-bo run, full walks (10)", BootstrapperLimit, [] { RunRegistryStages(BootstrapperRunStages, true); }},
      {BootstrapperRun, BootstrapperLimit, [] { RunRegistryStages(BootstrapperRunStages, false); }},
      {BootstrapperScan, BootstrapperLimit,
       [] { RunRegistryStages(BootstrapperRunStages, false, RegistryPurpose::Scan); }},
  };

  Measure(subjects, repeats, PlantProductRecords, &Allocations);

  auto floorOf = [&](const char* name) -> const Subject* {
    for (const Subject& subject : subjects)
      if (name != nullptr && std::string(subject.name) == name) return &subject;
    return nullptr;
  };
  const double visited = static_cast<double>(census.keys);
  std::printf("%-38s %10s %8s %11s %9s %12s\n", "subject (median of rounds)", "ms", "spread",
              "us per key", "vs floor", "allocs/key");
  for (const Subject& subject : subjects) {
    const double median = Median(subject.seconds);
    char ratio[16] = "";
    if (const Subject* floor = floorOf(subject.floorName))
      std::snprintf(ratio, sizeof ratio, "%.3f", median / Median(floor->seconds));
    std::printf("%-38s %10.1f %7.1f%% %11.2f %9s %12.3f\n", subject.name, median * 1000,
                Spread(subject.seconds), median * 1e6 / visited, ratio,
                static_cast<double>(subject.allocations) / visited);
  }
  std::printf("\n%u rounds, %.0f keys of HKEY_LOCAL_MACHINE visited per walk; the runs' figures cover all\n"
              "their walks.\n\n",
              repeats, visited);
  const auto timesLimit = [&](const char* name) {
    const Subject* run = floorOf(name);
    return Median(run->seconds) / Median(floorOf(run->floorName)->seconds);
  };
  std::printf("normal run registry stages: %.2f x limit\n", timesLimit(NormalRun));
  std::printf("-bo run registry stages: %.2f x limit\n", timesLimit(BootstrapperRun));
  std::printf("normal scan registry stages: %.2f x limit\n", timesLimit(NormalScan));
  std::printf("-bo scan registry stages: %.2f x limit\n", timesLimit(BootstrapperScan));

  RegDeleteTreeW(HKEY_LOCAL_MACHINE, BenchRoot);
  RegDeleteTreeW(HKEY_CURRENT_USER, UserProductRecords);
  return 0;
}
