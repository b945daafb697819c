// The registry sweeps and the three registry stages.
//
// Discovery: a run's stages make 24 sweeps of whole hives (10 with -bo), so
// a run starts with one walk of each hive they sweep, with the sweeps'
// access, view, link rule and value reads, that acts on nothing and records
// each key that a search of the run matches and the keys on the way to it,
// with its index among its siblings and its subkey count. The recorded
// walk: each sweep then walks the live registry but enters only recorded
// keys that lead to a match of its own search, at the indices the records
// predict, kept in step with the run's own deletions; a level whose subkey
// count or predicted name disagrees (a deletion seen through another hive's
// view or stopped half-way, another process at work) is read index by
// index, as the full walk reads it. A subtree without a match gives no line
// and no deletion, and every key the sweep acts on meets the full walk's
// calls, in its order, under its index rule: hence the full sweep's report
// and registry. Not seen: keys that another process creates during the run
// below a subtree in which discovery found no match.
//
// The scan (kestrum-scan) runs the same stages, discovery and recorded
// walks with a third policy, which lists what the sweep would delete and
// keeps it in a ledger that later searches pass over, and deletes nothing.
//
// The pieces, each in its own file: one walk (KeyWalk), how the next
// subkey is read (IndexReader, RecordReader) and the judgement of a key
// (KeyJudge), in registry_walk.h; what happens at a key: the sweeps
// (registry_sweep.*), discovery (registry_discovery.*) and the scan
// (registry_scan.*), all matching through Search; the records' bookkeeping
// (KeyRecords, in registry_records.h, below all of them); here, the stages'
// pass tables and how they run, over HKEY_CURRENT_USER and the other users'
// hives.
#include "registry.h"

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "product.h"
#include "registry_discovery.h"
#include "registry_scan.h"
#include "registry_sweep.h"
#include "registry_users.h"
#include "registry_walk.h"
#include "report.h"

struct RegistryWork::Records {
  unsigned stages;
  bool discovered;
  HiveRecords currentUser, classesRoot, localMachine;
  std::unique_ptr<ScanLedger> scan;  // a scan's: what it found a run would delete

  HiveRecords& Hive(HKEY predefined) {
    if (predefined == HKEY_CURRENT_USER) return currentUser;
    if (predefined == HKEY_CLASSES_ROOT) return classesRoot;
    return localMachine;
  }
};

namespace {

// The product's installer and bootstrapper records. The two packed GUIDs
// are written as Windows Installer names its per-product keys and values.
constexpr wchar_t PackedBootstrapperGuid[] = L"9636B389AB5D5D14EBF454D61C4F4941";
constexpr wchar_t PackedProductGuid[] = L"4855687A0CDDB614B846EDB2FCE21DFD";
constexpr wchar_t ProductNameText[] = L"Orvane Client";
constexpr wchar_t FirstInstallerGuid[] = L"{e6a11024-5926-4359-bc32-05fe3ec5c2e3}";
constexpr wchar_t SecondInstallerGuid[] = L"{744ad6f8-a222-4194-8ee1-775d0f0f15fa}";
constexpr wchar_t BootstrapperGuid[] = L"{983B6369-D5BA-41D5-BE4F-456DC1F49414}";

// One row of a stage's pass table; each pass runs twice, the second time
// as its check pass, which reaches the keys the first left behind. The
// value-data sweep always sweeps HKEY_LOCAL_MACHINE.
struct Pass {
  const wchar_t* subHeader;
  const wchar_t* checkSubHeader;
  HKEY root;
  Match sweep;
  const wchar_t* searchText;
};

const std::vector<Pass>& InstallerPasses() {
  using namespace Message;
  static const std::vector<Pass> passes = {
      {CurrentUserPass1, CurrentUserPass1Check, HKEY_CURRENT_USER, Match::KeyName, PackedBootstrapperGuid},
      {CurrentUserPass2, CurrentUserPass2Check, HKEY_CURRENT_USER, Match::ValueName, PackedBootstrapperGuid},
      {ClassesRootPass1, ClassesRootPass1Check, HKEY_CLASSES_ROOT, Match::KeyName, PackedProductGuid},
      {LocalMachinePass1, LocalMachinePass1Check, HKEY_LOCAL_MACHINE, Match::KeyName, PackedProductGuid},
      {LocalMachinePass2, LocalMachinePass2Check, HKEY_LOCAL_MACHINE, Match::ValueName, PackedProductGuid},
      {LocalMachinePass3, LocalMachinePass3Check, HKEY_LOCAL_MACHINE, Match::KeyName, PackedBootstrapperGuid},
      {LocalMachinePass4, LocalMachinePass4Check, HKEY_LOCAL_MACHINE, Match::ValueName, PackedBootstrapperGuid},
      {LocalMachinePass5, LocalMachinePass5Check, HKEY_LOCAL_MACHINE, Match::ValueData, ProductNameText},
      {LocalMachinePass6, LocalMachinePass6Check, HKEY_LOCAL_MACHINE, Match::KeyName, FirstInstallerGuid},
      {LocalMachinePass7, LocalMachinePass7Check, HKEY_LOCAL_MACHINE, Match::KeyName, SecondInstallerGuid},
      {LocalMachinePass8, LocalMachinePass8Check, HKEY_LOCAL_MACHINE, Match::KeyName, ProductServiceName.c_str()},
  };
  return passes;
}

const std::vector<Pass>& BootstrapperPasses() {
  using namespace Message;
  static const std::vector<Pass> passes = {
      {CurrentUserPass1, CurrentUserPass1Check, HKEY_CURRENT_USER, Match::KeyName, PackedBootstrapperGuid},
      {CurrentUserPass2, CurrentUserPass2Check, HKEY_CURRENT_USER, Match::ValueName, PackedBootstrapperGuid},
      {LocalMachinePass1, LocalMachinePass1Check, HKEY_LOCAL_MACHINE, Match::KeyName, PackedBootstrapperGuid},
      {LocalMachinePass2, LocalMachinePass2Check, HKEY_LOCAL_MACHINE, Match::ValueName, PackedBootstrapperGuid},
      {LocalMachinePass3, LocalMachinePass3Check, HKEY_LOCAL_MACHINE, Match::KeyName, BootstrapperGuid},
  };
  return passes;
}

bool FullRegistryWalks = false;
RegistryWork* ServingWork = nullptr;

void AddSearch(HiveRecords& hive, const Search& search) {
  if (hive.BitOf(search) == 0) hive.searches.push_back(search);
}

// The stage's registry work: the run's, or, for a stage run by itself, its
// own for as long as the stage runs.
template <typename Body>
void WithRegistryWork(unsigned stage, Body body) {
  if (RegistryWork* serving = RegistryWork::Serving(stage)) {
    body(serving->records());
    return;
  }
  RegistryWork own(stage);
  body(own.records());
}

// The name a predefined root goes by in the sub-headers and the scan's
// findings.
const wchar_t* HiveName(HKEY predefined) {
  if (predefined == HKEY_CURRENT_USER) return L"HKEY_CURRENT_USER";
  if (predefined == HKEY_CLASSES_ROOT) return L"HKEY_CLASSES_ROOT";
  return L"HKEY_LOCAL_MACHINE";
}

// A sweep of the hive at root, or a scan's listing of what it would
// delete. The scan's pass lists what the run's pass and check pass
// together delete: its check pass has nothing left to list. In another
// user's hive, sid is his SID's text, which the report puts before every
// path, and user his SID.
void SweepOrScan(const Stage& stage, HKEY predefined, HKEY root, const Search& search, SweepRun run,
                 HiveRecords* hive, std::wstring_view sid, PSID user, ScanLedger* scan) {
  if (scan == nullptr)
    SweepHive(stage, root, search, run, hive, sid.empty() ? std::wstring() : std::wstring(sid) + L'\\', user);
  else if (run == SweepRun::Pass)
    ScanHive(stage, root, search, hive, HiveName(predefined), sid, user, *scan);
}

void RunSweep(const Stage& stage, RegistryWork::Records& work, HKEY predefined, Match match,
              const std::wstring& searchText, SweepRun run) {
  HiveRecords& hive = work.Hive(predefined);
  SweepOrScan(stage, predefined, hive.root, {match, searchText}, run, work.discovered ? &hive : nullptr, {}, nullptr,
              work.scan.get());
}

// The other users' part of a stage's HKEY_CURRENT_USER passes, done before
// the first of them: one hive at a time is opened (loaded when its user is
// not logged on), discovered with those passes' searches, swept by each of
// them and its check pass in the stage's order, then closed and unloaded,
// so that no profile stays loaded longer than its own sweeps, and only one
// at any time. What each pass and check pass reports of a hive is held and
// printed in the pass's place, after HKEY_CURRENT_USER's lines, the users
// in their order; a hive is reported from its user's SID.
class OtherUsers {
 public:
  OtherUsers(const Stage& stage, const std::vector<Pass>& passes, bool discover, ScanLedger* scan)
      : held_(passes.size() * 2) {
    // A hive not swept is named in the first user pass; one not unloaded
    // in the last check pass, after its lines.
    const Stage opening(stage.quiet, &HeldOf(FirstUserPass(passes), SweepRun::Pass));
    for (const LeftHive& left : UnloadHivesOfEndedRuns())
      opening.Report(Message::FailedToUnloadUserHive, Printable(left.sid).c_str(), static_cast<int>(left.result));
    DeleteHiveCopiesOfEndedRuns();
    for (const UserProfile& profile : ListOtherUsers()) {
      // The scan never loads a user's own file; a run only when his copy
      // holds something of the product, for as long as it deletes it, or
      // when no copy could be made (his file is then loaded as it was).
      UserHive hive = OpenUserHive(profile, HiveSource::Copy);
      std::optional<HiveRecords> records;
      if (scan == nullptr && hive.copy && (hive.root || !hive.loaded)) {
        // His own hive, the same file, is then walked along what its
        // copy's discovery found.
        if (hive.root) records = DiscoverUser(passes, hive.root.get());
        CloseUserHive(hive);
        if (records && records->kept.keys[0].matches == 0) continue;
        hive = OpenUserHive(profile);
      }
      if (!hive.root && scan != nullptr && !hive.noHiveFile) {
        Finding unopened{FindingKind::UserHiveUnopened, L"", L"", hive.sid};
        unopened.code = hive.result;
        opening.List(unopened);
      } else if (!hive.root) {
        opening.Report(hive.noHiveFile ? Message::NoUserHive : Message::FailedToOpenUserHive, hive.sid.c_str(),
                       static_cast<int>(hive.result));
      } else {
        if (!records && discover) records = DiscoverUser(passes, hive.root.get());
        SweepUser(stage, passes, hive, discover ? &*records : nullptr, scan);
      }
      const LONG unloaded = CloseUserHive(hive);
      if (unloaded != ERROR_SUCCESS)
        Stage(stage.quiet, &HeldOf(LastUserPass(passes), SweepRun::Check))
            .Report(Message::FailedToUnloadUserHive, hive.sid.c_str(), static_cast<int>(unloaded));
    }
  }

  // The held lines of a pass (its index in the table) or its check pass.
  [[nodiscard]] const HeldReport& Held(size_t pass, SweepRun run) { return HeldOf(pass, run); }

 private:
  HeldReport& HeldOf(size_t pass, SweepRun run) { return held_[pass * 2 + (run == SweepRun::Check ? 1 : 0)]; }

  static size_t FirstUserPass(const std::vector<Pass>& passes) {
    size_t at = 0;
    while (passes[at].root != HKEY_CURRENT_USER) ++at;
    return at;
  }
  static size_t LastUserPass(const std::vector<Pass>& passes) {
    size_t at = passes.size() - 1;
    while (passes[at].root != HKEY_CURRENT_USER) --at;
    return at;
  }

  // What a walk of the hive at root finds for the user passes' searches.
  static HiveRecords DiscoverUser(const std::vector<Pass>& passes, HKEY root) {
    HiveRecords records;
    records.root = root;
    for (const Pass& pass : passes)
      if (pass.root == HKEY_CURRENT_USER) AddSearch(records, {pass.sweep, pass.searchText});
    Discover(records);
    return records;
  }

  // Sweeps (or scans) the hive along records, or by full walks without.
  void SweepUser(const Stage& stage, const std::vector<Pass>& passes, UserHive& hive, HiveRecords* records,
                 ScanLedger* scan) {
    if (records != nullptr) records->root = hive.root.get();
    const PSID user = hive.user.empty() ? nullptr : hive.user.data();
    for (size_t at = 0; at < passes.size(); ++at) {
      const Pass& pass = passes[at];
      if (pass.root != HKEY_CURRENT_USER) continue;
      for (const SweepRun run : {SweepRun::Pass, SweepRun::Check})
        SweepOrScan(Stage(stage.quiet, &HeldOf(at, run)), HKEY_CURRENT_USER, hive.root.get(),
                    {pass.sweep, pass.searchText}, run, records, hive.sid, user, scan);
    }
  }

  std::vector<HeldReport> held_;  // each pass's lines, then its check pass's
};

void RunPasses(const wchar_t* stageHeader, const std::vector<Pass>& passes, RegistryWork::Records& work) {
  Report(stageHeader);
  const Stage stage;
  std::optional<OtherUsers> users;
  for (size_t at = 0; at < passes.size(); ++at) {
    const Pass& pass = passes[at];
    const bool forUsers = pass.root == HKEY_CURRENT_USER;
    if (forUsers && !users) users.emplace(stage, passes, work.discovered, work.scan.get());
    // The search text is set up afresh for every pass and check pass.
    for (const SweepRun run : {SweepRun::Pass, SweepRun::Check}) {
      Report(run == SweepRun::Pass ? pass.subHeader : pass.checkSubHeader);
      RunSweep(stage, work, pass.root, pass.sweep, pass.searchText, run);
      if (forUsers) stage.Release(users->Held(at, run));
    }
  }
}

}  // namespace

RegistryWork::RegistryWork(unsigned stages, const Hives& hives, RegistryPurpose purpose)
    : records_(new Records{stages, false, {hives.currentUser, {}, {}}, {hives.classesRoot, {}, {}},
                           {hives.localMachine, {}, {}},
                           purpose == RegistryPurpose::Scan ? std::make_unique<ScanLedger>() : nullptr}),
      previous_(ServingWork) {
  ServingWork = this;
  if (FullRegistryWalks) return;
  Records& work = *records_;
  if (stages & VendorKeys) {
    AddSearch(work.localMachine, {Match::Path, FirstVendorKeyPath});
    AddSearch(work.localMachine, {Match::Path, SecondVendorKeyPath});
  }
  for (const auto& [stage, passes] : {std::pair{InstallerEntries, &InstallerPasses()},
                                      std::pair{BootstrapperEntries, &BootstrapperPasses()}})
    if (stages & stage)
      for (const Pass& pass : *passes) AddSearch(work.Hive(pass.root), {pass.sweep, pass.searchText});
  for (HKEY predefined : {HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE}) {
    HiveRecords& hive = work.Hive(predefined);
    if (hive.searches.empty()) continue;
    Discover(hive);
  }
  work.discovered = true;
}

RegistryWork::~RegistryWork() { ServingWork = previous_; }

RegistryWork* RegistryWork::Serving(unsigned stage) {
  return ServingWork != nullptr && (ServingWork->records_->stages & stage) != 0 ? ServingWork : nullptr;
}

void SetFullRegistryWalks(bool full) { FullRegistryWalks = full; }

bool DeleteVendorRegistryKeys() {
  WithRegistryWork(VendorKeys, [](RegistryWork::Records& work) {
    Report(Message::DeletingRegistryHeader);
    Report(Message::DeletingFirstVendorEntries);
    const Stage stage;
    RunSweep(stage, work, HKEY_LOCAL_MACHINE, Match::Path, FirstVendorKeyPath, SweepRun::Pass);
    Report(Message::DeletingSecondVendorEntries);
    RunSweep(stage, work, HKEY_LOCAL_MACHINE, Match::Path, SecondVendorKeyPath, SweepRun::Pass);
  });
  return true;
}

bool DeleteInstallerRegistryEntries() {
  WithRegistryWork(InstallerEntries, [](RegistryWork::Records& work) {
    RunPasses(Message::DeletingInstallerHeader, InstallerPasses(), work);
  });
  return true;
}

bool DeleteBootstrapperRegistryEntries() {
  WithRegistryWork(BootstrapperEntries, [](RegistryWork::Records& work) {
    RunPasses(Message::DeletingBootstrapperHeader, BootstrapperPasses(), work);
  });
  return true;
}
