// Expected reports, byte for byte, shared by the stage and end-to-end
// tests: the folder stages' lines, and the registry stages on a machine
// without the product's records and on one where the planting tool's
// "registry" piece planted them.
#pragma once

#include <string>

#include "harness.h"
#include "plant.h"

// One folder stage's lines: its announcement and its target folder, under
// the base folders as this Wine machine names them; with stayed >= 0, the
// target folder stayed with that many entries the run could not delete.
inline std::string TargetLines(const std::string& target, int stayed) {
  return "(" + target + ")\n" +
         (stayed < 0 ? "" : "STAYED: the folder and " + std::to_string(stayed) + " entries in it\n") + "\n";
}

inline std::string DataReport(const std::wstring& name, int stayed = -1) {
  return "Deleting '" + Utf8(name) + "' ProgramData Files\n" + TargetLines("C:\\ProgramData\\" + Utf8(name), stayed);
}

inline std::string ProgramsReport(const std::wstring& name, const std::wstring& base = L"C:\\Program Files",
                                  int stayed = -1) {
  return "Deleting '" + Utf8(name) + "' Program Files Files\n" + TargetLines(Utf8(base) + "\\" + Utf8(name), stayed);
}

inline std::string CleanVendorStageReport() {
  return "\nDeleting Registry Entries\n-------------------------\n"
         "Deleting 'Velmoran' Registry Entries\n"
         "Deleting 'Quillfen' Registry Entries\n";
}

inline std::string PlantedVendorStageReport() {
  return "\nDeleting Registry Entries\n-------------------------\n"
         "Deleting 'Velmoran' Registry Entries\n"
         "Deleting SOFTWARE\\Velmoran..SUCCESS\n"
         "Deleting 'Quillfen' Registry Entries\n"
         "Deleting SOFTWARE\\Quillfen..SUCCESS\n";
}

inline std::string CleanInstallerStageReport() {
  return "\nDeleting Installer Registry Entries\n-----------------------------------\n"
         "\n--- Deleting HKEY_CURRENT_USER 1 ---\n"
         "\n--- Deleting HKEY_CURRENT_USER 1 Check ---\n"
         "\n--- Deleting HKEY_CURRENT_USER 2 ---\n"
         "\n--- Deleting HKEY_CURRENT_USER 2 Check ---\n"
         "\n--- Deleting HKEY_CLASSES_ROOT 1 ---\n"
         "\n--- Deleting HKEY_CLASSES_ROOT 1 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 1 ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 1 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 2 ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 2 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 3 ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 3 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 4 ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 4 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 5 ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 5 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 6 ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 6 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 7 ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 7 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 8 ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 8 Check ---\n";
}

// The first two passes of both stages are the same sweeps of
// HKEY_CURRENT_USER and then of the other users' hives, which find the
// bootstrapper's per-user records: a user's paths start from his SID.
inline std::string PlantedCurrentUserPasses() {
  const std::string products = "Software\\Microsoft\\Installer\\Products\\9636B389AB5D5D14EBF454D61C4F4941..SUCCESS\n";
  const std::string upgradeCodes =
      "Software\\Microsoft\\Installer\\UpgradeCodes\\5B1E0A3C7D924E6F8A1B2C3D4E5F6071..SUCCESS\n";
  const std::string user = "Deleting " + Utf8(LoggedOnUserSid) + "\\";
  return "\n--- Deleting HKEY_CURRENT_USER 1 ---\n"
         "Deleting " + products + user + products +
         "\n--- Deleting HKEY_CURRENT_USER 1 Check ---\n"
         "\n--- Deleting HKEY_CURRENT_USER 2 ---\n"
         "Deleting " + upgradeCodes + user + upgradeCodes +
         "\n--- Deleting HKEY_CURRENT_USER 2 Check ---\n";
}

// The control set that holds the services, as a walk that does not go
// through registry links meets it. A Wine difference: Wine 8 has a real
// SYSTEM\CurrentControlSet; Wine 10, as Windows, makes it a link to
// SYSTEM\ControlSet001, which is then the key a walk finds.
inline std::string ControlSetKey() {
  HKEY link = nullptr;
  std::string name = "CurrentControlSet";
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet", REG_OPTION_OPEN_LINK,
                    KEY_QUERY_VALUE | KEY_WOW64_64KEY, &link) != ERROR_SUCCESS)
    return "SYSTEM\\" + name;
  wchar_t target[MAX_PATH] = {};
  DWORD type = 0, size = sizeof target - sizeof(wchar_t);
  if (RegQueryValueExW(link, L"SymbolicLinkValue", nullptr, &type, reinterpret_cast<BYTE*>(target), &size) ==
          ERROR_SUCCESS &&
      type == REG_LINK) {
    const std::wstring path(target);
    name = Utf8(path.substr(path.find_last_of(L'\\') + 1));
  }
  RegCloseKey(link);
  return "SYSTEM\\" + name;
}

// The second component key follows the first, which the pass deletes, so
// it falls to the check pass. Shared keys lose only the product's values
// (a shared upgrade code and component), or are left whole and said so
// (the shared keys whose data name the product), in the pass and again in
// its check pass. The plain bootstrapper GUID key stays. Keys that were
// there before the planting are spelled as this Wine machine spells them
// (its event log key is "Eventlog").
inline std::string PlantedInstallerStageReport() {
  const std::string components =
      "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\";
  const std::string leavingSharedKeys =
      "Leaving shared key " + ControlSetKey() + "\\Control\\Session Manager\n"
      "Leaving shared key " + ControlSetKey() + "\\Control\\Session Manager\\Environment\n"
      "Leaving shared key " + ControlSetKey() + "\\Services\\SharedAccess\\Parameters\\FirewallPolicy\\"
      "FirewallRules\n";
  return "\nDeleting Installer Registry Entries\n-----------------------------------\n" +
         PlantedCurrentUserPasses() +
         "\n--- Deleting HKEY_CLASSES_ROOT 1 ---\n"
         "Deleting Installer\\Features\\4855687A0CDDB614B846EDB2FCE21DFD..SUCCESS\n"
         "Deleting Installer\\Products\\4855687A0CDDB614B846EDB2FCE21DFD..SUCCESS\n"
         "\n--- Deleting HKEY_CLASSES_ROOT 1 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 1 ---\n"
         "Deleting SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\"
         "4855687A0CDDB614B846EDB2FCE21DFD..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 1 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 2 ---\n"
         "Deleting value '4855687A0CDDB614B846EDB2FCE21DFD' of "
         "SOFTWARE\\Classes\\Installer\\UpgradeCodes\\8E2D1C0B9A8F7E6D5C4B3A2918070615..SUCCESS\n"
         "Deleting SOFTWARE\\Classes\\Installer\\UpgradeCodes\\C3A1F2E4B5D64789A0B1C2D3E4F50617..SUCCESS\n"
         "Deleting " + components + "0A1B2C3D4E5F60718293A4B5C6D7E8F9..SUCCESS\n"
         "Deleting value '4855687A0CDDB614B846EDB2FCE21DFD' of " + components +
         "1F2E3D4C5B6A79880796A5B4C3D2E1F0..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 2 Check ---\n"
         "Deleting " + components + "0A1B2C3D4E5F60718293A4B5C6D7E8FA..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 3 ---\n"
         "Deleting SOFTWARE\\Classes\\Installer\\Products\\9636B389AB5D5D14EBF454D61C4F4941..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 3 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 4 ---\n"
         "Deleting SOFTWARE\\Classes\\Installer\\UpgradeCodes\\5B1E0A3C7D924E6F8A1B2C3D4E5F6071..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 4 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 5 ---\n"
         "Deleting SOFTWARE\\Classes\\CLSID\\{5D0F3A61-8E2B-4C7D-9A14-3B6E2F8C1D07}..SUCCESS\n"
         "Leaving shared key SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\n"
         "Deleting SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OrvaneUpdater..SUCCESS\n"
         "Deleting SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
         "{A7865584-DDC0-416B-8B64-DE2BCF2ED1DF}..SUCCESS\n" +
         leavingSharedKeys +
         "\n--- Deleting HKEY_LOCAL_MACHINE 5 Check ---\n"
         "Leaving shared key SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\n" +
         leavingSharedKeys +
         "\n--- Deleting HKEY_LOCAL_MACHINE 6 ---\n"
         "Deleting SOFTWARE\\Classes\\CLSID\\{e6a11024-5926-4359-bc32-05fe3ec5c2e3}..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 6 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 7 ---\n"
         "Deleting SOFTWARE\\Classes\\CLSID\\{744ad6f8-a222-4194-8ee1-775d0f0f15fa}..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 7 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 8 ---\n"
         "Deleting " + ControlSetKey() + "\\Services\\Eventlog\\Application\\StartupService..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 8 Check ---\n";
}

inline std::string CleanBootstrapperStageReport() {
  return "\nDeleting Bootstrapper Registry Entries\n--------------------------------------\n"
         "\n--- Deleting HKEY_CURRENT_USER 1 ---\n"
         "\n--- Deleting HKEY_CURRENT_USER 1 Check ---\n"
         "\n--- Deleting HKEY_CURRENT_USER 2 ---\n"
         "\n--- Deleting HKEY_CURRENT_USER 2 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 1 ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 1 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 2 ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 2 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 3 ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 3 Check ---\n";
}

// All of the bootstrapper's records, as planted, in a run of their own.
inline std::string PlantedBootstrapperStageReport() {
  return "\nDeleting Bootstrapper Registry Entries\n--------------------------------------\n" +
         PlantedCurrentUserPasses() +
         "\n--- Deleting HKEY_LOCAL_MACHINE 1 ---\n"
         "Deleting SOFTWARE\\Classes\\Installer\\Products\\9636B389AB5D5D14EBF454D61C4F4941..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 1 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 2 ---\n"
         "Deleting SOFTWARE\\Classes\\Installer\\UpgradeCodes\\5B1E0A3C7D924E6F8A1B2C3D4E5F6071..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 2 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 3 ---\n"
         "Deleting SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
         "{983B6369-D5BA-41D5-BE4F-456DC1F49414}..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 3 Check ---\n";
}
