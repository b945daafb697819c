// Plants a simulated installation of the product on a (Wine) machine, and
// reads back what of it is left. Used by the tests and the planting tool.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "service.h"

// Registry, always in the 64-bit view, where kestrum's walk looks.
bool PlantKey(HKEY root, const std::wstring& path);
bool PlantValue(HKEY root, const std::wstring& path, const std::wstring& name, DWORD type,
                const void* data, DWORD size);
bool PlantString(HKEY root, const std::wstring& path, const std::wstring& name,
                 const std::wstring& text);
// A registry link at path to the key targetPath of targetRoot.
bool PlantLink(HKEY root, const std::wstring& path, HKEY targetRoot, const std::wstring& targetPath);
// True when path names a link itself, not a key it leads to.
bool LinkExists(HKEY root, const std::wstring& path);
bool KeyExists(HKEY root, const std::wstring& path);
bool ValueExists(HKEY root, const std::wstring& path, const std::wstring& name);
bool RemoveKey(HKEY root, const std::wstring& path);
// Gives a key an empty DACL (nobody may do anything with it) or none at
// all (everybody may). Wine keeps it only while the machine's server runs,
// which is the test's whole life.
bool SetKeyAccess(HKEY root, const std::wstring& path, bool closed);

// Files: PlantFile creates the missing folders on its way.
bool PlantFolder(const std::wstring& path);
bool PlantFile(const std::wstring& path, const std::string& content);
bool PathExists(const std::wstring& path);
// A file whose name ordinary paths cannot give (trailing dots, as "..."),
// created through the "\\?\" form of its full path.
bool PlantFileExactName(const std::wstring& folder, const std::wstring& name,
                        const std::string& content);
bool PathExistsExactName(const std::wstring& folder, const std::wstring& name);
// The entry name inside the open folder, opened or made (disposition:
// FILE_OPEN, FILE_OPEN_IF, ...) relative to the folder's handle, shared for
// everything; NULL on failure.
HANDLE CreateBeneath(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG disposition,
                     ULONG options);
// levels folders called name, each inside the one before, beneath the
// existing folder; the deepest one's path (no length limit), or an empty
// string on failure.
std::wstring PlantChain(const std::wstring& folder, const std::wstring& name, int levels);
bool MakeReadOnly(const std::wstring& path);
std::wstring CommonAppDataFolder();
std::wstring NativeProgramFilesFolder();

// Services and processes, run from the test programs built next to the
// planting tool: kestrum-test-service and kestrum-dummy-process.
enum class ServiceBehaviour { Stops, RefusesStop, Pauses };
// Installs StartupService to run the test service; when start is set,
// starts it and waits until it runs; for Pauses, then pauses it with the
// pause control and waits until it is paused.
bool InstallProductService(ServiceBehaviour behaviour, bool start);
// The named service's current state (SERVICE_RUNNING, ...); 0 when there
// is no such service.
DWORD ServiceState(const std::wstring& name);
// Starts a copy of the dummy product process named imageName from a new
// folder of its own. The owner waits for it and reads its exit code; empty
// when it could not be started. program, if given, is the dummy to copy
// (the other architecture's); otherwise the one beside this program.
KernelHandle StartProductProcess(const std::wstring& imageName, const std::wstring& program = L"");
// The same from path; the running copy holds path and path + ".started"
// open.
KernelHandle StartProductProcessAt(const std::wstring& path, const std::wstring& program = L"");
// Copies the dummy program to path, where a run must never start it; its
// start would leave path + ".started".
bool PlantDummyProgram(const std::wstring& path);
// Puts kestrum-standin in place of the system folder's sc.exe and has Wine
// run it instead of its own, which prints other words than Windows' (Wine
// 10) or none (Wine 8): the stand-in deletes the service and prints
// Windows' English words.
bool PlantWindowsServiceTool();
// Identifiers of the running processes whose image name is exactly
// imageName.
std::vector<DWORD> FindProcesses(const std::wstring& imageName);

// The product's pieces, as an installation leaves them.
void PlantVendorKeys();
// Windows Installer's records of the product and of its bootstrapper:
// packed-GUID keys, values named by the packed GUIDs, uninstall entries.
void PlantInstallerRecords();
// The bootstrapper's per-user records go to this process's own hive and to
// that of another user who is logged on (under Wine, a key made below
// HKEY_USERS and named by a SID stands for his hive), beside another
// product's records there.
constexpr wchar_t LoggedOnUserSid[] = L"S-1-5-21-0-0-0-1001";
void PlantBootstrapperRecords();
// Sets the owner and DACL (SDDL) of the key at path and of every key below
// it; Wine keeps them while the machine's server runs.
bool SetTreeSecurity(HKEY root, const std::wstring& path, const std::wstring& sddl);
// The rights Windows gives the keys of a user's own hive, which Wine does
// not: owner the user; full control for him, SYSTEM and Administrators;
// read for RESTRICTED.
bool GiveUserHiveRights(HKEY root, const std::wstring& path, const std::wstring& sid);
// A user who is not logged on: his profile, listed in ProfileList by entry
// (his SID, or SID.bak) with a ProfileImagePath of REG_EXPAND_SZ below
// %SystemDrive%, whose hive file holds the per-user records as above
// (saved by the system's save call) or only another product's record of
// them (Clean), is not a hive, is missing from its folder, or whose path
// names a variable that is not the system's own. The hive file's path.
enum class ProfileHive { Records, Clean, NotAHive, Missing, ForeignVariable };
bool PlantProfile(const std::wstring& entry, ProfileHive hive, std::wstring* file = nullptr);
// Keys the product shares with the system and other software (a firewall
// rule list, Session Manager and its Environment, an autostart list, a
// shared component and upgrade code): a run must leave them, with every
// value that is not the product's own.
void PlantSharedRecords();
// One line for each value planted in a shared key that is present now; and
// the lines a run must leave: all but the product's own values.
std::vector<std::wstring> SurveySharedRecords();
std::vector<std::wstring> ExpectedSharedRecordsAfterARun();
void PlantProductFolders();
void PlantProductService();    // installed and running
void PlantProductProcesses();  // one of each product image, left running

// One line for each piece of the product that is present now.
std::vector<std::wstring> SurveyProduct();
