// The registry stages' recorded walks against the full walks they stand
// for. Random hives, each planted twice side by side, are swept by the
// stages of a normal run and then of a "-bo" run, once by each engine:
// every report byte and everything left in the twins must be the same.
// Before each run of the recorded engine, the scan of the same kind lists
// its twin: it must change nothing in it, and list exactly what the run
// then reports deleted (check passes included) or left as shared; its JSON
// form holds that text and its findings in order (KESTRUM_SCAN_JSON: a
// folder to leave both in for tests/scan-json.sh's schema check).
//
// A few dozen hives run by default. More, for a longer search:
//   KESTRUM_DIFFERENTIAL_HIVES=2000 KESTRUM_DIFFERENTIAL_SEED=1000
// (the number of hives and the first seed; any failure names its seed).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "harness.h"
#include "plant.h"
#include "registry.h"
#include "registry_sweep.h"
#include "report.h"

namespace {

const std::wstring PackedBootstrapper = L"9636B389AB5D5D14EBF454D61C4F4941";
const std::wstring PackedProduct = L"4855687A0CDDB614B846EDB2FCE21DFD";
const std::wstring ProductText = L"Orvane Client";

// Every name a pass searches for, and near misses of them.
const std::vector<std::wstring> SearchedNames = {
    PackedBootstrapper,
    PackedProduct,
    L"{e6a11024-5926-4359-bc32-05fe3ec5c2e3}",
    L"{744ad6f8-a222-4194-8ee1-775d0f0f15fa}",
    L"StartupService",
    L"{983B6369-D5BA-41D5-BE4F-456DC1F49414}",
    L"startupservice",
    L"4855687a0cddb614b846edb2fce21dfd",
    L"{983b6369-d5ba-41d5-be4f-456dc1f49414}",
};

// Value names that name a key, and others that may carry the product's
// name among other data.
const std::vector<std::wstring> DataValueNames = {L"", L"DisplayName", L"displayname", L"ProductName",
                                                  L"FriendlyName", L"Path", L"Rule", L"UninstallString"};

// Each twin holds a user hive and a machine hive; the machine's
// SOFTWARE\Classes stands for HKEY_CLASSES_ROOT, which on Wine is exactly
// that key, so deletions through one leave the other's records stale.
enum class Side { User, Machine };
const wchar_t* SideName(Side side) { return side == Side::User ? L"\\User" : L"\\Machine"; }
const std::wstring ClassesRoot = L"SOFTWARE\\Classes";

struct Planting {
  enum Kind { Key, Value, Link, Close } kind;
  Side side;
  std::wstring path;  // relative to the side's root
  std::wstring name;  // Value: its name
  DWORD type = REG_SZ;
  std::wstring data;  // Value: its data; Link: the target's path
  Side targetSide = Side::User;
};

class HiveGenerator {
 public:
  explicit HiveGenerator(unsigned seed) : random_(seed) {}

  // About keys keys over both sides, several levels deep.
  std::vector<Planting> Generate(unsigned keys) {
    for (const wchar_t* path : {L"SOFTWARE", L"SOFTWARE\\Classes", L"SOFTWARE\\Classes\\Installer",
                                L"SOFTWARE\\Classes\\Installer\\Products"})
      AddKey(Side::Machine, path, 1);
    open_.push_back({Side::User, L"", 0});
    open_.push_back({Side::Machine, L"", 0});
    for (const wchar_t* vendor : {L"SOFTWARE\\Velmoran", L"SOFTWARE\\Quillfen"})
      if (Chance(60)) {
        AddKey(Side::Machine, vendor, 2);
        AddValues(Side::Machine, vendor);
      }
    for (size_t next = 0; next < open_.size() && created_ < keys; ++next) {
      const Node parent = open_[next];
      if (parent.depth >= 9) continue;
      if (Chance(6)) {
        AddNeighbours(parent);
        continue;
      }
      unsigned children = parent.depth == 0 ? 6 + Below(10) : Chance(45) ? 0 : Chance(70) ? 1 + Below(3) : 4 + Below(8);
      for (unsigned child = 0; child < children && created_ < keys; ++child) {
        const std::wstring path = Join(parent.path, ChildName());
        AddKey(parent.side, path, parent.depth + 1);
        AddValues(parent.side, path);
      }
    }
    // Links and closed keys last: nothing may be planted through a link,
    // and nothing below a key once it is closed.
    for (const Node& node : std::vector<Node>(open_)) {
      if (!Chance(3)) continue;
      const Node& target = open_[Below(static_cast<unsigned>(open_.size()))];
      const std::wstring name = Chance(40) ? Pick(SearchedNames) : L"L" + std::to_wstring(Below(1000));
      plantings_.push_back({Planting::Link, node.side, Join(node.path, name), L"", 0, target.path, target.side});
    }
    std::vector<Planting> closes;
    for (const Node& node : open_)
      if (node.depth > 0 && node.path != ClassesRoot && Chance(3))
        closes.push_back({Planting::Close, node.side, node.path, L"", 0, L""});
    plantings_.insert(plantings_.end(), closes.rbegin(), closes.rend());
    return plantings_;
  }

 private:
  struct Node {
    Side side;
    std::wstring path;
    unsigned depth;
  };

  unsigned Below(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random_); }
  bool Chance(unsigned percent) { return Below(100) < percent; }
  const std::wstring& Pick(const std::vector<std::wstring>& from) {
    return from[Below(static_cast<unsigned>(from.size()))];
  }
  static std::wstring Join(const std::wstring& parent, const std::wstring& name) {
    return parent.empty() ? name : parent + L"\\" + name;
  }

  std::wstring ChildName() {
    if (Chance(4)) return Pick(SearchedNames);
    return L"K" + std::to_wstring(Below(100000));
  }

  void AddKey(Side side, const std::wstring& path, unsigned depth) {
    plantings_.push_back({Planting::Key, side, path, L"", 0, L""});
    open_.push_back({side, path, depth});
    ++created_;
  }

  void AddValue(Side side, const std::wstring& path, const std::wstring& name, const std::wstring& data) {
    plantings_.push_back({Planting::Value, side, path, name, REG_SZ, data});
  }

  // Ordinary values, values named by a packed GUID, and the product's
  // name in the value that names the key or in another one.
  void AddValues(Side side, const std::wstring& path) {
    for (unsigned count = Below(4), value = 0; value < count; ++value) {
      const unsigned kind = Below(100);
      const std::wstring& guid = Chance(50) ? PackedBootstrapper : PackedProduct;
      if (kind < 12)
        AddValue(side, path, (Chance(50) ? L"" : L"x") + guid + (Chance(50) ? L"" : L"y"),
                 Chance(30) ? ProductText : L"");
      else if (kind < 24)
        AddValue(side, path, Pick(DataValueNames),
                 (Chance(50) ? L"C:\\" : L"") + ProductText + (Chance(50) ? L" 7" : L""));
      else if (kind < 27)
        AddValue(side, path, L"Long", ProductText + std::wstring(600, L'x'));
      else if (kind < 29)  // too long a name to read: it ends the scan of its key
        AddValue(side, path, std::wstring(8192, Chance(50) ? L'A' : L'z'), L"");
      else
        AddValue(side, path, L"V" + std::to_wstring(Below(50)), L"text " + std::to_wstring(Below(1000)));
    }
  }

  // A run of siblings that all match one search, some with subkeys.
  void AddNeighbours(const Node& parent) {
    const unsigned count = 2 + Below(12);
    const unsigned kind = Below(3);
    const std::wstring prefix = L"N" + std::to_wstring(Below(100)) + L"-";
    for (unsigned at = 0; at < count; ++at) {
      const std::wstring path = Join(parent.path, prefix + std::to_wstring(10 + at));
      AddKey(parent.side, path, parent.depth + 1);
      if (kind == 0) AddValue(parent.side, path, Chance(50) ? PackedBootstrapper : PackedProduct, L"");
      if (kind == 1) AddValue(parent.side, path, L"DisplayName", ProductText);
      if (kind == 2) AddKey(parent.side, Join(path, Pick(SearchedNames)), parent.depth + 2);
      if (Chance(20)) AddValues(parent.side, path);
    }
  }

  std::mt19937 random_;
  std::vector<Planting> plantings_;
  std::vector<Node> open_;  // keys planted, in order
  unsigned created_ = 0;
};

// One twin: HKEY_LOCAL_MACHINE\SOFTWARE\KestrumDiff\<seed>\<engine>.
struct Twin {
  std::wstring base;

  std::wstring Path(Side side, const std::wstring& path) const {
    return base + SideName(side) + (path.empty() ? L"" : L"\\" + path);
  }

  bool Plant(const std::vector<Planting>& plantings) const {
    if (!PlantKey(HKEY_LOCAL_MACHINE, Path(Side::User, L"")) || !PlantKey(HKEY_LOCAL_MACHINE, Path(Side::Machine, L"")))
      return false;
    for (const Planting& planting : plantings) {
      const std::wstring path = Path(planting.side, planting.path);
      switch (planting.kind) {
        case Planting::Key:
          if (!PlantKey(HKEY_LOCAL_MACHINE, path)) return false;
          break;
        case Planting::Value:
          if (!PlantString(HKEY_LOCAL_MACHINE, path, planting.name, planting.data)) return false;
          break;
        case Planting::Link:
          // A link named like a key already there is not planted.
          if (!KeyExists(HKEY_LOCAL_MACHINE, path))
            PlantLink(HKEY_LOCAL_MACHINE, path, HKEY_LOCAL_MACHINE, Path(planting.targetSide, planting.data));
          break;
        case Planting::Close:
          SetKeyAccess(HKEY_LOCAL_MACHINE, path, true);
          break;
      }
    }
    return true;
  }

  // Everything in the twin: keys, values with their types and data, link
  // targets with the twin's own place left out, and keys closed to us.
  std::vector<std::string> Dump() const {
    std::vector<std::string> lines;
    std::vector<std::wstring> pending{base};
    std::vector<wchar_t> name(16384);
    std::vector<BYTE> data(65536);
    while (!pending.empty()) {
      const std::wstring path = pending.back();
      pending.pop_back();
      const std::string shown = Utf8(path.substr(base.size()));
      HKEY key = nullptr;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | KEY_WOW64_64KEY, &key) !=
          ERROR_SUCCESS) {
        lines.push_back(shown + " (closed)");
        continue;
      }
      lines.push_back(shown);
      for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(data.size());
        if (RegEnumValueW(key, index, name.data(), &length, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
          break;
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
        const size_t twinAt = text.find(base);
        if (type == REG_LINK && twinAt != std::wstring::npos) text.replace(twinAt, base.size(), L"<twin>");
        lines.push_back(shown + " | " + Utf8(std::wstring(name.data(), length)) + " | " + std::to_string(type) +
                        " | " + Utf8(text));
      }
      for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
          break;
        pending.push_back(path + L"\\" + std::wstring(name.data(), length));
      }
      RegCloseKey(key);
    }
    return lines;
  }
};

KeyHandle OpenTwinKey(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return KeyHandle();
  return KeyHandle(key);
}

// Runs the registry stages of a run of the given kind over the hives, by
// the full walks or the recorded ones; returns the report.
std::string RunStages(unsigned stages, const Hives& hives, bool full,
                      RegistryPurpose purpose = RegistryPurpose::Remove) {
  SetFullRegistryWalks(full);
  ReportCapture capture;
  {
    const RegistryWork work(stages, hives, purpose);
    if (stages & VendorKeys) DeleteVendorRegistryKeys();
    if (stages & InstallerEntries) DeleteInstallerRegistryEntries();
    if (stages & BootstrapperEntries) DeleteBootstrapperRegistryEntries();
  }
  SetFullRegistryWalks(false);
  return capture.Text();
}

std::string RunStages(const Twin& twin, unsigned stages, bool full,
                      RegistryPurpose purpose = RegistryPurpose::Remove) {
  const KeyHandle user = OpenTwinKey(twin.Path(Side::User, L""));
  const KeyHandle machine = OpenTwinKey(twin.Path(Side::Machine, L""));
  const KeyHandle classes = OpenTwinKey(twin.Path(Side::Machine, ClassesRoot));
  Hives hives;
  hives.currentUser = user.get();
  hives.classesRoot = classes.get();
  hives.localMachine = machine.get();
  return RunStages(stages, hives, full, purpose);
}

// The scan of the same kind in its JSON form: its document, and what it
// shows: its text, and the lines of its findings in their order.
struct JsonScan {
  std::string json, text;
  std::vector<std::string> findings;
};

JsonScan ScanAsJson(const Twin& twin, unsigned stages) {
  ScanDocument document;
  Found = ScanTally();
  ReportDocument = &document;
  const std::string written = RunStages(twin, stages, false, RegistryPurpose::Scan);
  ReportDocument = nullptr;
  JsonScan scan{document.Json(Found.AnythingLeft() ? 1 : 0), Utf8(document.text()) + written, {}};
  for (const Finding& finding : document.findings()) scan.findings.push_back(Utf8(FindingLine(finding)));
  return scan;
}

// The lines of a scan's text that list a finding, each with its line feed.
std::vector<std::string> FindingLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    if (text.compare(at, 6, "Found ") == 0 || text.compare(at, 36, "FAILED to open the registry of user ") == 0)
      lines.push_back(text.substr(at, end - at + 1));
  }
  return lines;
}

void LeaveForSchemaCheck(unsigned seed, unsigned stages, const JsonScan& scan) {
  const wchar_t* folder = _wgetenv(L"KESTRUM_SCAN_JSON");
  if (folder == nullptr || *folder == L'\0') return;
  const std::wstring name = folder + (L"\\" + std::to_wstring(seed)) + (stages == NormalRunStages ? L"" : L"-bo");
  EXPECT_TRUE(PlantFile(name + L".json", scan.json) && PlantFile(name + L".txt", scan.text)) << Utf8(name);
}

// The things one set holds and the other does not, the first few.
std::string SetDifference(const std::set<std::string>& scanned, const std::set<std::string>& reported) {
  std::string difference;
  int shown = 0;
  for (const auto& [from, other, name] : {std::tuple{&scanned, &reported, "only scanned: "},
                                          std::tuple{&reported, &scanned, "only reported: "}})
    for (const std::string& thing : *from)
      if (other->count(thing) == 0 && shown++ < 6) difference += name + thing + "\n";
  return difference;
}

template <typename Line>
std::string FirstDifference(const std::vector<Line>& full, const std::vector<Line>& recorded) {
  for (size_t at = 0; at < full.size() || at < recorded.size(); ++at) {
    const std::string left = at < full.size() ? std::string(full[at]) : "(nothing)";
    const std::string right = at < recorded.size() ? std::string(recorded[at]) : "(nothing)";
    if (left != right)
      return "line " + std::to_string(at + 1) + ": full walk \"" + left + "\", recorded walk \"" + right + "\"";
  }
  return "";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

unsigned Setting(const char* name, unsigned otherwise) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : otherwise;
}

// Sizes from a few hundred to some two thousand keys.
unsigned HiveSize(unsigned seed) { return 200 + (seed * 7919u) % 1800; }

TEST(RecordedWalks, GiveTheFullWalksReportsAndLeaveTheSameRegistry) {
  const unsigned first = Setting("KESTRUM_DIFFERENTIAL_SEED", 1);
  const unsigned hives = Setting("KESTRUM_DIFFERENTIAL_HIVES", 24);
  unsigned reportLines = 0;
  unsigned scannedThings = 0;
  for (unsigned seed = first; seed < first + hives; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<Planting> plantings = HiveGenerator(seed).Generate(HiveSize(seed));
    const std::wstring base = L"SOFTWARE\\KestrumDiff\\" + std::to_wstring(seed);
    const Twin full{base + L"\\Full"};
    const Twin recorded{base + L"\\Recorded"};
    ASSERT_TRUE(full.Plant(plantings));
    ASSERT_TRUE(recorded.Plant(plantings));
    ASSERT_EQ(FirstDifference(full.Dump(), recorded.Dump()), "");
    for (const unsigned stages : {NormalRunStages, BootstrapperRunStages}) {
      const std::string fullReport = RunStages(full, stages, true);
      const std::vector<std::string> beforeScan = recorded.Dump();
      const std::string scanReport = RunStages(recorded, stages, false, RegistryPurpose::Scan);
      EXPECT_EQ(FirstDifference(beforeScan, recorded.Dump()), "")
          << "seed " << seed << ": the scan changed the registry";
      const JsonScan json = ScanAsJson(recorded, stages);
      EXPECT_EQ(json.text, scanReport) << "seed " << seed << ": the JSON form's text";
      EXPECT_EQ(FirstDifference(FindingLines(scanReport), json.findings), "") << "seed " << seed << ": JSON findings";
      LeaveForSchemaCheck(seed, stages, json);
      const std::string recordedReport = RunStages(recorded, stages, false);
      const std::set<std::string> scanned = RegistryThings(scanReport);
      scannedThings += static_cast<unsigned>(scanned.size());
      EXPECT_EQ(SetDifference(scanned, RegistryThings(recordedReport)), "")
          << "seed " << seed << (stages == NormalRunStages ? ", normal run" : ", -bo run");
      reportLines += static_cast<unsigned>(Lines(fullReport).size());
      EXPECT_EQ(FirstDifference(Lines(fullReport), Lines(recordedReport)), "")
          << "seed " << seed << (stages == NormalRunStages ? ", normal run" : ", -bo run");
      EXPECT_EQ(FirstDifference(full.Dump(), recorded.Dump()), "")
          << "seed " << seed << (stages == NormalRunStages ? ", normal run" : ", -bo run");
    }
    if (HasFailure()) break;
    // Gone before the next, so that a long search does not fill the
    // machine; by the deletion that never follows the twins' links.
    KeyTreeDeletion deletion;
    for (const Twin* twin : {&full, &recorded}) {
      for (const Planting& planting : plantings)
        if (planting.kind == Planting::Close)
          SetKeyAccess(HKEY_LOCAL_MACHINE, twin->Path(planting.side, planting.path), false);
      EXPECT_EQ(deletion.Delete(HKEY_LOCAL_MACHINE, twin->base.c_str()), ERROR_SUCCESS);
    }
  }
  std::printf("%u hives from seed %u, %u report lines per engine, %u things scanned and reported alike\n", hives,
              first, reportLines, scannedThings);
}

// The real stages over the real hive roots of the planted machine, once by
// each engine, the records planted afresh for the second.
TEST(RecordedWalks, GiveTheFullWalksReportsOnThePlantedMachine) {
  const auto plantAndRun = [](unsigned stages, bool full) {
    const RunResult plant = RunProgram(ProgramFolder() + L"\\kestrum-plant.exe", L"kestrum-plant registry");
    EXPECT_EQ(plant.exitCode, 0u);
    return RunStages(stages, Hives(), full);
  };
  for (const unsigned stages : {NormalRunStages, BootstrapperRunStages}) {
    const std::string full = plantAndRun(stages, true);
    const std::string recorded = plantAndRun(stages, false);
    EXPECT_NE(full.find("SUCCESS"), std::string::npos);
    EXPECT_EQ(full, recorded);
  }
}

}  // namespace
