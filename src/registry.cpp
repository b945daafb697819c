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
// (KeyRecords, in registry.h); here, the stages' pass tables and how they
// run, over HKEY_CURRENT_USER and the other users' hives.
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

// A sweep of the hive at root, or a scan's listing of what it would
// delete. The scan's pass lists what the run's pass and check pass
// together delete: its check pass has nothing left to list.
void SweepOrScan(const Stage& stage, HKEY root, const Search& search, SweepRun run, HiveRecords* hive,
                 std::wstring_view shownAs, ScanLedger* scan) {
  if (scan == nullptr)
    SweepHive(stage, root, search, run, hive, shownAs);
  else if (run == SweepRun::Pass)
    ScanHive(stage, root, search, hive, shownAs, *scan);
}

void RunSweep(const Stage& stage, RegistryWork::Records& work, HKEY predefined, Match match,
              const std::wstring& searchText, SweepRun run) {
  HiveRecords& hive = work.Hive(predefined);
  SweepOrScan(stage, hive.root, {match, searchText}, run, work.discovered ? &hive : nullptr, {}, work.scan.get());
}

// The other users' hives while a stage's HKEY_CURRENT_USER passes run:
// opened or loaded, and discovered with those passes' searches, before the
// first, and closed and unloaded once the last has ended, so that no
// profile stays loaded longer than they need it. Each of those passes and
// check passes sweeps them after HKEY_CURRENT_USER, as it sweeps that, and
// reports their paths from their users' SIDs.
class OtherUsers {
 public:
  OtherUsers(const Stage& stage, const std::vector<Pass>& passes, bool discover, ScanLedger* scan)
      : stage_(stage), hives_(OpenOtherUsersHives()), records_(hives_.size()), discovered_(discover), scan_(scan) {
    for (size_t at = 0; at < hives_.size(); ++at) {
      shownAs_.push_back(hives_[at].sid + L'\\');
      HiveRecords& hive = records_[at];
      hive.root = hives_[at].root.get();
      if (!discover || hive.root == nullptr) continue;
      for (const Pass& pass : passes)
        if (pass.root == HKEY_CURRENT_USER) AddSearch(hive, {pass.sweep, pass.searchText});
      Discover(hive);
    }
  }
  ~OtherUsers() {
    for (UserHive& hive : hives_) {
      const LONG result = CloseUserHive(hive);
      if (result != ERROR_SUCCESS)
        stage_.Report(Message::FailedToUnloadUserHive, hive.sid.c_str(), static_cast<int>(result));
    }
  }
  OtherUsers(const OtherUsers&) = delete;
  OtherUsers& operator=(const OtherUsers&) = delete;

  // A hive that could not be opened is named in the first pass only.
  void SweepEach(const Pass& pass, SweepRun run) {
    for (size_t at = 0; at < hives_.size(); ++at) {
      const UserHive& hive = hives_[at];
      if (hive.root) {
        SweepOrScan(stage_, hive.root.get(), {pass.sweep, pass.searchText}, run,
                    discovered_ ? &records_[at] : nullptr, shownAs_[at], scan_);
      } else if (!named_) {
        stage_.Report(hive.noHiveFile ? Message::NoUserHive : Message::FailedToOpenUserHive, hive.sid.c_str(),
                      static_cast<int>(hive.result));
        if (scan_ != nullptr && !hive.noHiveFile) ++Found.unsearched;
      }
    }
    named_ = true;
  }

 private:
  const Stage& stage_;
  std::vector<UserHive> hives_;
  std::vector<HiveRecords> records_;  // one for each hive
  std::vector<std::wstring> shownAs_;  // likewise
  const bool discovered_;
  ScanLedger* const scan_;
  bool named_ = false;
};

void RunPasses(const wchar_t* stageHeader, const std::vector<Pass>& passes, RegistryWork::Records& work) {
  Report(stageHeader);
  const Stage stage;
  std::optional<OtherUsers> users;
  for (const Pass& pass : passes) {
    const bool forUsers = pass.root == HKEY_CURRENT_USER;
    if (!forUsers)
      users.reset();
    else if (!users)
      users.emplace(stage, passes, work.discovered, work.scan.get());
    // The search text is set up afresh for every pass and check pass.
    Report(pass.subHeader);
    RunSweep(stage, work, pass.root, pass.sweep, pass.searchText, SweepRun::Pass);
    if (forUsers) users->SweepEach(pass, SweepRun::Pass);
    Report(pass.checkSubHeader);
    RunSweep(stage, work, pass.root, pass.sweep, pass.searchText, SweepRun::Check);
    if (forUsers) users->SweepEach(pass, SweepRun::Check);
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
