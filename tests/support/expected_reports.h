// Expected reports, byte for byte, shared by the stage and end-to-end
// tests: the folder stages' lines, and the registry stages on a machine
// without the product's records and on one where the planting tool's
// "registry" piece planted them.
#pragma once

#include <string>

#include "harness.h"
#include "plant.h"

// One folder stage's lines: its announcement and its target folder, under
// the base folders as this Wine machine names them.
inline std::string DataReport(const std::wstring& name) {
  return "Deleting '" + Utf8(name) + "' ProgramData Files\n(C:\\ProgramData\\" + Utf8(name) + ")\n\n";
}

inline std::string ProgramsReport(const std::wstring& name, const std::wstring& base = L"C:\\Program Files") {
  return "Deleting '" + Utf8(name) + "' Program Files Files\n(" + Utf8(base) + "\\" + Utf8(name) + ")\n\n";
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
// HKEY_CURRENT_USER, which find the bootstrapper's per-user records.
inline std::string PlantedCurrentUserPasses() {
  return "\n--- Deleting HKEY_CURRENT_USER 1 ---\n"
         "Deleting Software\\Microsoft\\Installer\\Products\\9636B389AB5D5D14EBF454D61C4F4941..SUCCESS\n"
         "\n--- Deleting HKEY_CURRENT_USER 1 Check ---\n"
         "\n--- Deleting HKEY_CURRENT_USER 2 ---\n"
         "Deleting Software\\Microsoft\\Installer\\UpgradeCodes\\5B1E0A3C7D924E6F8A1B2C3D4E5F6071..SUCCESS\n"
         "\n--- Deleting HKEY_CURRENT_USER 2 Check ---\n";
}

// The second component key follows the first, which the pass deletes, so
// it falls to the check pass. The plain bootstrapper GUID key stays. Keys
// that were there before the planting are spelled as this Wine machine
// spells them (its event log key is "Eventlog").
inline std::string PlantedInstallerStageReport() {
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
         "Deleting SOFTWARE\\Classes\\Installer\\UpgradeCodes\\C3A1F2E4B5D64789A0B1C2D3E4F50617..SUCCESS\n"
         "Deleting SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\"
         "0A1B2C3D4E5F60718293A4B5C6D7E8F9..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 2 Check ---\n"
         "Deleting SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\"
         "0A1B2C3D4E5F60718293A4B5C6D7E8FA..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 3 ---\n"
         "Deleting SOFTWARE\\Classes\\Installer\\Products\\9636B389AB5D5D14EBF454D61C4F4941..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 3 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 4 ---\n"
         "Deleting SOFTWARE\\Classes\\Installer\\UpgradeCodes\\5B1E0A3C7D924E6F8A1B2C3D4E5F6071..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 4 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 5 ---\n"
         "Deleting SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
         "{A7865584-DDC0-416B-8B64-DE2BCF2ED1DF}..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 5 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 6 ---\n"
         "Deleting SOFTWARE\\Classes\\CLSID\\{e6a11024-5926-4359-bc32-05fe3ec5c2e3}..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 6 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 7 ---\n"
         "Deleting SOFTWARE\\Classes\\CLSID\\{744ad6f8-a222-4194-8ee1-775d0f0f15fa}..SUCCESS\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 7 Check ---\n"
         "\n--- Deleting HKEY_LOCAL_MACHINE 8 ---\n"
         "Deleting SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\StartupService..SUCCESS\n"
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
