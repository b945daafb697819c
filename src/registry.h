// Registry removal: the four sweeps and the vendor, installer and
// bootstrapper stages.
#pragma once

#include <windows.h>

#include <memory>

// The sweeps themselves are working routines of the stage object (class
// Stage in report.h); the stages below run fixed tables of them. Each
// returns true on every path.
bool DeleteVendorRegistryKeys();
bool DeleteInstallerRegistryEntries();
bool DeleteBootstrapperRegistryEntries();

// The hive roots the registry stages sweep: the predefined roots, or in
// tests keys that stand in for them.
struct Hives {
  HKEY currentUser = HKEY_CURRENT_USER;
  HKEY classesRoot = HKEY_CLASSES_ROOT;
  HKEY localMachine = HKEY_LOCAL_MACHINE;
};

// Which registry stages a run holds.
enum RegistryStage : unsigned { VendorKeys = 1, InstallerEntries = 2, BootstrapperEntries = 4 };
constexpr unsigned NormalRunStages = VendorKeys | InstallerEntries;
constexpr unsigned BootstrapperRunStages = BootstrapperEntries;

// What the registry stages do while a registry work lives: remove, or
// (kestrum-scan) list what a removal would delete and change nothing.
enum class RegistryPurpose { Remove, Scan };

// The registry work of one run. Made before its first registry stage, it
// walks each hive that the stages sweep once and records the keys that any
// of their sweeps can act on (and the keys on the way to them); the sweeps
// of the stages that run while it lives then walk the live registry only
// along those records. A stage run without one makes its own. Nothing is
// kept once it is gone: every run discovers afresh.
class RegistryWork {
 public:
  explicit RegistryWork(unsigned stages, const Hives& hives = Hives(),
                        RegistryPurpose purpose = RegistryPurpose::Remove);
  ~RegistryWork();
  RegistryWork(const RegistryWork&) = delete;
  RegistryWork& operator=(const RegistryWork&) = delete;

  struct Records;  // what discovery found, per hive
  Records& records() { return *records_; }
  // The work the stages of stage use now, or nullptr.
  static RegistryWork* Serving(unsigned stage);

 private:
  std::unique_ptr<Records> records_;
  RegistryWork* previous_;
};

// Test-only: while set, registry work discovers nothing and every sweep
// walks its whole hive, as the reference that the recorded walks are
// compared with. The program itself never sets it.
void SetFullRegistryWalks(bool full);
