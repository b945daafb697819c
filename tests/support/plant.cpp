#include "plant.h"

#include <sddl.h>
#include <winternl.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include "privileges.h"
#include "product.h"
#include "harness.h"

using namespace std::string_literals;

namespace {

constexpr REGSAM Wow64Access = KEY_WOW64_64KEY;

const wchar_t* RootName(HKEY root) {
  if (root == HKEY_LOCAL_MACHINE) return L"HKEY_LOCAL_MACHINE";
  if (root == HKEY_CURRENT_USER) return L"HKEY_CURRENT_USER";
  if (root == HKEY_CLASSES_ROOT) return L"HKEY_CLASSES_ROOT";
  if (root == HKEY_USERS) return L"HKEY_USERS";
  return L"?";
}

struct PlantedKey {
  HKEY root;
  const wchar_t* path;
};

// A string value that an installation leaves in the registry.
struct PlantedValue {
  HKEY root;
  std::wstring path;
  std::wstring name;
  std::wstring text;
};

const std::wstring PackedProduct = L"4855687A0CDDB614B846EDB2FCE21DFD";
const std::wstring PackedBootstrapper = L"9636B389AB5D5D14EBF454D61C4F4941";
const std::wstring UserInstaller = L"Software\\Microsoft\\Installer\\";
const std::wstring ClassesInstaller = L"SOFTWARE\\Classes\\Installer\\";
const std::wstring MachineInstaller =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\";
const std::wstring Uninstall = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const std::wstring ClassIds = L"SOFTWARE\\Classes\\CLSID\\";
const std::wstring ClientFile = L"C:\\Program Files\\ZOLVA\\OrvClient.exe";
const std::wstring CoreFile = L"C:\\Program Files\\ZOLVA\\lib\\orvcore.dll";

// The product as Windows Installer registers it: its packed product code
// names the product and feature keys and the values of its upgrade code and
// of its two components; its uninstall entry, a shell extension's class key
// and an updater's entry bear the product's name in the value that names
// them (the last in lower-case letters).
const std::vector<PlantedValue> InstallerRecords = {
    {HKEY_LOCAL_MACHINE, ClassesInstaller + L"Features\\" + PackedProduct, L"Client", L""},
    {HKEY_LOCAL_MACHINE, ClassesInstaller + L"Products\\" + PackedProduct, L"ProductName", L"Orvane Client"},
    {HKEY_LOCAL_MACHINE, ClassesInstaller + L"UpgradeCodes\\C3A1F2E4B5D64789A0B1C2D3E4F50617", PackedProduct, L""},
    {HKEY_LOCAL_MACHINE, MachineInstaller + L"Components\\0A1B2C3D4E5F60718293A4B5C6D7E8F9", PackedProduct, ClientFile},
    {HKEY_LOCAL_MACHINE, MachineInstaller + L"Components\\0A1B2C3D4E5F60718293A4B5C6D7E8FA", PackedProduct, CoreFile},
    {HKEY_LOCAL_MACHINE, MachineInstaller + L"Products\\" + PackedProduct + L"\\InstallProperties", L"DisplayName",
     L"Orvane Client"},
    {HKEY_LOCAL_MACHINE, Uninstall + L"{A7865584-DDC0-416B-8B64-DE2BCF2ED1DF}", L"DisplayName", L"Orvane Client"},
    {HKEY_LOCAL_MACHINE, ClassIds + L"{e6a11024-5926-4359-bc32-05fe3ec5c2e3}\\InprocServer32", L"", CoreFile},
    {HKEY_LOCAL_MACHINE, ClassIds + L"{744ad6f8-a222-4194-8ee1-775d0f0f15fa}", L"", L"OrvKey"},
    {HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\StartupService",
     L"EventMessageFile", ClientFile},
    {HKEY_LOCAL_MACHINE, ClassIds + L"{5D0F3A61-8E2B-4C7D-9A14-3B6E2F8C1D07}", L"", L"Orvane Client Shell Extension"},
    {HKEY_LOCAL_MACHINE, ClassIds + L"{5D0F3A61-8E2B-4C7D-9A14-3B6E2F8C1D07}\\InprocServer32", L"", CoreFile},
    {HKEY_LOCAL_MACHINE, Uninstall + L"OrvaneUpdater", L"displayname", L"Orvane Client Updater"},
    {HKEY_LOCAL_MACHINE, Uninstall + L"OrvaneUpdater", L"UninstallString", L"C:\\Program Files\\ZOLVA\\OrvUpdater.exe /remove"},
};

// The rest of the uninstall entry: a dozen values beside its DisplayName,
// none of which names the product.
const std::vector<PlantedValue> UninstallEntryDetails = [] {
  const std::wstring entry = Uninstall + L"{A7865584-DDC0-416B-8B64-DE2BCF2ED1DF}";
  std::vector<PlantedValue> details;
  for (const auto& [name, text] : std::vector<std::pair<std::wstring, std::wstring>>{
           {L"Publisher", L"Velmoran"},
           {L"DisplayVersion", L"7.4.2"},
           {L"InstallLocation", L"C:\\Program Files\\ZOLVA\\"},
           {L"InstallSource", L"C:\\Windows\\Temp\\orvane\\"},
           {L"InstallDate", L"20261101"},
           {L"UninstallString", L"MsiExec.exe /X{A7865584-DDC0-416B-8B64-DE2BCF2ED1DF}"},
           {L"ModifyPath", L"MsiExec.exe /I{A7865584-DDC0-416B-8B64-DE2BCF2ED1DF}"},
           {L"DisplayIcon", ClientFile + L",0"},
           {L"HelpLink", L"https://support.velmoran.example/"},
           {L"URLInfoAbout", L"https://velmoran.example/"},
           {L"Language", L"1033"},
           {L"Comments", L"Endpoint client"},
       })
    details.push_back({HKEY_LOCAL_MACHINE, entry, name, text});
  return details;
}();

// Keys the product shares with the system and with other software: its
// name in a firewall rule, a pending rename, the search path and an
// autostart entry beside others' values; its packed product code as one
// client of a shared component and of a shared upgrade code. They stay,
// with every value that is not the product's own.
const std::wstring ControlSet = L"SYSTEM\\CurrentControlSet\\";
const std::wstring FirewallRules =
    ControlSet + L"Services\\SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules";
const std::wstring SessionManager = ControlSet + L"Control\\Session Manager";
const std::wstring RunKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::wstring SharedComponent = MachineInstaller + L"Components\\1F2E3D4C5B6A79880796A5B4C3D2E1F0";
const std::wstring SharedUpgradeCode = ClassesInstaller + L"UpgradeCodes\\8E2D1C0B9A8F7E6D5C4B3A2918070615";
const std::wstring OtherPackedProduct = L"7A6B5C4D3E2F10011223344556677889";

const std::vector<PlantedValue> SharedRecords = {
    {HKEY_LOCAL_MACHINE, FirewallRules, L"{0B3C7E21-5A44-4F0E-9D2B-6C1A7E3F8D90}",
     L"v2.30|Action=Allow|Active=TRUE|Dir=In|Protocol=6|App=" + ClientFile + L"|Name=Orvane Client|"},
    {HKEY_LOCAL_MACHINE, FirewallRules, L"CoreNet-DHCP-In",
     L"v2.30|Action=Allow|Active=TRUE|Dir=In|Protocol=17|LPort=68|Name=Core Networking - DHCP|"},
    {HKEY_LOCAL_MACHINE, FirewallRules, L"RemoteDesktop-UserMode-In-TCP",
     L"v2.30|Action=Allow|Active=FALSE|Dir=In|Protocol=6|LPort=3389|Name=Remote Desktop|"},
    {HKEY_LOCAL_MACHINE, RunKey, L"OrvaneClient", L"\"C:\\Program Files\\ZOLVA\\Orvane Client\\OrvClient.exe\" /tray"},
    {HKEY_LOCAL_MACHINE, RunKey, L"SecurityHealth", L"C:\\Windows\\system32\\SecurityHealthSystray.exe"},
    {HKEY_LOCAL_MACHINE, SharedComponent, PackedProduct, L"C:\\Windows\\system32\\msvcp140.dll"},
    {HKEY_LOCAL_MACHINE, SharedComponent, OtherPackedProduct, L"C:\\Windows\\system32\\msvcp140.dll"},
    {HKEY_LOCAL_MACHINE, SharedUpgradeCode, PackedProduct, L""},
    {HKEY_LOCAL_MACHINE, SharedUpgradeCode, OtherPackedProduct, L""},
};
// The product's own values among them: the only ones a run takes.
bool IsProductsOwnValue(const PlantedValue& value) { return value.name == PackedProduct; }

// A rename that Windows is to make at the next start, a REG_MULTI_SZ.
const std::wstring PendingRename =
    L"\\??\\C:\\Program Files\\ZOLVA\\Orvane Client\\OrvUpdater.exe.new"s + L'\0' +
    L"\\??\\C:\\Program Files\\ZOLVA\\Orvane Client\\OrvUpdater.exe" + L'\0' + L'\0';
const std::wstring ProductSearchPath = L";C:\\Program Files\\ZOLVA\\Orvane Client\\bin";

// The bootstrapper, registered per user and per machine under its packed
// GUID, with its own uninstall entry under its plain GUID.
const std::vector<PlantedValue> BootstrapperRecords = {
    {HKEY_CURRENT_USER, UserInstaller + L"Products\\" + PackedBootstrapper, L"ProductName", L"Orvane Setup"},
    {HKEY_CURRENT_USER, UserInstaller + L"UpgradeCodes\\5B1E0A3C7D924E6F8A1B2C3D4E5F6071", PackedBootstrapper, L""},
    {HKEY_LOCAL_MACHINE, ClassesInstaller + L"Products\\" + PackedBootstrapper, L"ProductName", L"Orvane Setup"},
    {HKEY_LOCAL_MACHINE, ClassesInstaller + L"UpgradeCodes\\5B1E0A3C7D924E6F8A1B2C3D4E5F6071", PackedBootstrapper,
     L""},
    {HKEY_LOCAL_MACHINE, Uninstall + L"{983B6369-D5BA-41D5-BE4F-456DC1F49414}", L"DisplayName", L"Orvane Setup"},
};

void PlantValues(const std::vector<PlantedValue>& values) {
  for (const PlantedValue& value : values) PlantString(value.root, value.path, value.name, value.text);
}

// The bootstrapper's per-user records and another product's, which stays,
// as they are in every user's hive, below base of root.
void PlantUserRecords(HKEY root, const std::wstring& base) {
  for (const PlantedValue& value : BootstrapperRecords)
    if (value.root == HKEY_CURRENT_USER) PlantString(root, base + value.path, value.name, value.text);
  PlantString(root, base + UserInstaller + L"Products\\" + OtherPackedProduct, L"ProductName", L"Other");
}

const std::wstring ProfileList = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";

// Every registry key the planting routines can leave, for the survey.
const PlantedKey ProductKeys[] = {
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmoran"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quillfen"},
};

// The product's image names, as an installation runs them.
const wchar_t* const ProductImageNames[] = {
    L"Java.exe", L"OrvClient.exe", L"OrvClient32.exe", L"OrvKey.exe", L"OrvUpdater.exe",
};

const wchar_t ServiceName[] = L"StartupService";

const wchar_t* ServiceArgument(ServiceBehaviour behaviour) {
  switch (behaviour) {
    case ServiceBehaviour::RefusesStop: return L"refuses";
    case ServiceBehaviour::Pauses: return L"pauses";
    default: return L"stops";
  }
}

const wchar_t* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return L"stopped";
    case SERVICE_START_PENDING: return L"start pending";
    case SERVICE_STOP_PENDING: return L"stop pending";
    case SERVICE_RUNNING: return L"running";
    case SERVICE_PAUSED: return L"paused";
    default: return L"pending";
  }
}

std::wstring DummyProgramPath() { return ProgramFolder() + L"\\kestrum-dummy-process.exe"; }

}  // namespace

bool PlantKey(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | Wow64Access, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

bool PlantValue(HKEY root, const std::wstring& path, const std::wstring& name, DWORD type,
                const void* data, DWORD size) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | Wow64Access, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  LONG result = RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool PlantString(HKEY root, const std::wstring& path, const std::wstring& name,
                 const std::wstring& text) {
  return PlantValue(root, path, name, REG_SZ, text.c_str(),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool PlantLink(HKEY root, const std::wstring& path, HKEY targetRoot, const std::wstring& targetPath) {
  std::wstring target = L"\\REGISTRY\\MACHINE\\" + targetPath;
  if (targetRoot == HKEY_CURRENT_USER) {
    // The user's own key, named by the user's SID.
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    BYTE buffer[256];
    DWORD size = 0;
    wchar_t* sid = nullptr;
    const bool read = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid);
    CloseHandle(token);
    if (!read) return false;
    target = L"\\REGISTRY\\USER\\" + std::wstring(sid) + L"\\" + targetPath;
    LocalFree(sid);
  }
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | Wow64Access, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return false;
  // The target's name without a terminating NUL, as the system keeps it.
  const LONG result = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK,
                                     reinterpret_cast<const BYTE*>(target.data()),
                                     static_cast<DWORD>(target.size() * sizeof(wchar_t)));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool LinkExists(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | Wow64Access, &key) != ERROR_SUCCESS)
    return false;
  DWORD type = 0;
  const LONG result = RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr);
  RegCloseKey(key);
  return result == ERROR_SUCCESS && type == REG_LINK;
}

bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | Wow64Access, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool ValueExists(HKEY root, const std::wstring& path, const std::wstring& name) {
  return RegGetValueW(root, path.c_str(), name.c_str(), RRF_RT_ANY | RRF_SUBKEY_WOW6464KEY, nullptr,
                      nullptr, nullptr) == ERROR_SUCCESS;
}

// In the 64-bit view, as everything here: RegDeleteTreeW names no view, and
// a 32-bit process's is the 32-bit one (SOFTWARE\WOW6432Node\...).
bool RemoveKey(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | Wow64Access, &key) != ERROR_SUCCESS) return false;
  std::vector<std::wstring> children;
  wchar_t name[256];
  for (DWORD length = 256; RegEnumKeyExW(key, static_cast<DWORD>(children.size()), name, &length, nullptr,
                                         nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       length = 256)
    children.emplace_back(name, length);
  RegCloseKey(key);
  for (const std::wstring& child : children)
    if (!RemoveKey(root, path + L"\\" + child)) return false;
  return RegDeleteKeyExW(root, path.c_str(), Wow64Access, 0) == ERROR_SUCCESS;
}

bool SetKeyAccess(HKEY root, const std::wstring& path, bool closed) {
  SECURITY_DESCRIPTOR descriptor;
  ACL empty;
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !InitializeAcl(&empty, sizeof empty, ACL_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, closed ? &empty : nullptr, FALSE))
    return false;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, WRITE_DAC | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return false;
  const LONG result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool PlantFolder(const std::wstring& path) {
  return SHCreateDirectoryExW(nullptr, path.c_str(), nullptr) == ERROR_SUCCESS || PathExists(path);
}

bool PlantFile(const std::wstring& path, const std::string& content) {
  const size_t slash = path.find_last_of(L'\\');
  if (slash != std::wstring::npos && !PlantFolder(path.substr(0, slash))) return false;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == content.size();
}

bool PathExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool PlantFileExactName(const std::wstring& folder, const std::wstring& name,
                        const std::string& content) {
  return PlantFolder(folder) && PlantFile(L"\\\\?\\" + folder + L"\\" + name, content);
}

bool PathExistsExactName(const std::wstring& folder, const std::wstring& name) {
  return PathExists(L"\\\\?\\" + folder + L"\\" + name);
}

HANDLE CreateBeneath(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG disposition,
                     ULONG options) {
  UNICODE_STRING objectName;
  objectName.Buffer = const_cast<PWSTR>(name.c_str());
  objectName.Length = objectName.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK status;
  HANDLE created = nullptr;
  if (!NT_SUCCESS(NtCreateFile(&created, access | SYNCHRONIZE, &attributes, &status, nullptr, 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                               options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0)))
    return nullptr;
  return created;
}

std::wstring PlantChain(const std::wstring& folder, const std::wstring& name, int levels) {
  // Each folder is made inside the handle of the one before: a path given
  // whole would be looked up again from the root at every level.
  HANDLE current = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (current == INVALID_HANDLE_VALUE) return std::wstring();
  std::wstring path = folder;
  for (int level = 0; level < levels && current != nullptr; ++level) {
    HANDLE child = CreateBeneath(current, name, FILE_LIST_DIRECTORY, FILE_OPEN_IF, FILE_DIRECTORY_FILE);
    CloseHandle(current);
    current = child;
    path += L"\\" + name;
  }
  if (current == nullptr) return std::wstring();
  CloseHandle(current);
  return path;
}

bool MakeReadOnly(const std::wstring& path) {
  return SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY) != 0;
}

std::wstring CommonAppDataFolder() {
  wchar_t path[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path)))
    return std::wstring();
  return path;
}

std::wstring NativeProgramFilesFolder() {
  wchar_t path[MAX_PATH];
  DWORD length = ExpandEnvironmentStringsW(L"%ProgramW6432%", path, MAX_PATH);
  if (length == 0 || length > MAX_PATH || std::wstring(path) == L"%ProgramW6432%") {
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, path)))
      return std::wstring();
  }
  return path;
}

void PlantVendorKeys() {
  PlantString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmoran\\Orvane", L"InstallPath",
              NativeProgramFilesFolder() + L"\\ZOLVA");
  PlantString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmoran\\Orvane\\Client", L"Version", L"7.4.2");
  PlantString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quillfen\\Licensing", L"Edition", L"Enterprise");
}

void PlantInstallerRecords() {
  PlantValues(InstallerRecords);
  PlantValues(UninstallEntryDetails);
}

void PlantSharedRecords() {
  PlantValues(SharedRecords);
  PlantValue(HKEY_LOCAL_MACHINE, SessionManager, L"PendingFileRenameOperations", REG_MULTI_SZ,
             PendingRename.data(), static_cast<DWORD>(PendingRename.size() * sizeof(wchar_t)));
  // The search path keeps its type (REG_EXPAND_SZ) and what it held.
  HKEY environment = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (SessionManager + L"\\Environment").c_str(), 0,
                    KEY_ALL_ACCESS | Wow64Access, &environment) != ERROR_SUCCESS)
    return;
  wchar_t path[4096];
  DWORD type = 0;
  DWORD size = sizeof path - ProductSearchPath.size() * sizeof(wchar_t);
  if (RegQueryValueExW(environment, L"Path", nullptr, &type, reinterpret_cast<BYTE*>(path), &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    const std::wstring extended = std::wstring(path) + ProductSearchPath;
    RegSetValueExW(environment, L"Path", 0, type, reinterpret_cast<const BYTE*>(extended.c_str()),
                   static_cast<DWORD>((extended.size() + 1) * sizeof(wchar_t)));
  }
  RegCloseKey(environment);
}

std::vector<std::wstring> SurveySharedRecords() {
  std::vector<std::wstring> present;
  const auto note = [&](HKEY root, const std::wstring& path, const std::wstring& name) {
    if (ValueExists(root, path, name))
      present.push_back(L"value '" + name + L"' of " + RootName(root) + L"\\" + path);
  };
  for (const PlantedValue& value : SharedRecords) note(value.root, value.path, value.name);
  note(HKEY_LOCAL_MACHINE, SessionManager, L"PendingFileRenameOperations");
  note(HKEY_LOCAL_MACHINE, SessionManager + L"\\Environment", L"Path");
  return present;
}

std::vector<std::wstring> ExpectedSharedRecordsAfterARun() {
  std::vector<std::wstring> kept;
  for (const PlantedValue& value : SharedRecords)
    if (!IsProductsOwnValue(value))
      kept.push_back(L"value '" + value.name + L"' of HKEY_LOCAL_MACHINE\\" + value.path);
  kept.push_back(L"value 'PendingFileRenameOperations' of HKEY_LOCAL_MACHINE\\" + SessionManager);
  kept.push_back(L"value 'Path' of HKEY_LOCAL_MACHINE\\" + SessionManager + L"\\Environment");
  return kept;
}

void PlantBootstrapperRecords() {
  PlantValues(BootstrapperRecords);
  PlantUserRecords(HKEY_USERS, std::wstring(LoggedOnUserSid) + L"\\");
  GiveUserHiveRights(HKEY_USERS, LoggedOnUserSid, LoggedOnUserSid);
}

bool SetTreeSecurity(HKEY root, const std::wstring& path, const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return false;
  // Another owner than oneself takes the restore privilege.
  EnablePrivileges({SE_RESTORE_NAME});
  std::vector<std::wstring> pending{path};
  bool given = true;
  while (!pending.empty()) {
    const std::wstring at = pending.back();
    pending.pop_back();
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, at.c_str(), 0, KEY_READ | WRITE_DAC | WRITE_OWNER | Wow64Access, &key) != ERROR_SUCCESS) {
      given = false;
      continue;
    }
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
      DWORD length = 256;
      if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      pending.push_back(at + L"\\" + std::wstring(name, length));
    }
    given = RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor) ==
                ERROR_SUCCESS && given;
    RegCloseKey(key);
  }
  LocalFree(descriptor);
  return given;
}

bool GiveUserHiveRights(HKEY root, const std::wstring& path, const std::wstring& sid) {
  return SetTreeSecurity(root, path, L"O:" + sid + L"D:P(A;CI;KA;;;" + sid + L")(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;RC)");
}

bool PlantProfile(const std::wstring& entry, ProfileHive hive, std::wstring* hiveFile) {
  const std::wstring folder = L"users\\kestrum-" + entry;
  const std::wstring file = L"C:\\" + folder + L"\\NTUSER.DAT";
  if (hiveFile != nullptr) *hiveFile = file;
  DeleteFileW(file.c_str());
  if (hive == ProfileHive::NotAHive && !PlantFile(file, "not a hive")) return false;
  if (hive == ProfileHive::Missing && !PlantFolder(L"C:\\" + folder)) return false;
  if (hive == ProfileHive::Records || hive == ProfileHive::Clean) {
    // The system's save call writes the hive file, from a key made for it.
    const std::wstring source = L"SOFTWARE\\KestrumProfile";
    if (hive == ProfileHive::Records)
      PlantUserRecords(HKEY_LOCAL_MACHINE, source + L"\\");
    else
      PlantString(HKEY_LOCAL_MACHINE, source + L"\\" + UserInstaller + L"Products\\" + OtherPackedProduct,
                  L"ProductName", L"Other");
    EnablePrivileges({SE_BACKUP_NAME});
    HKEY key = nullptr;
    if (!PlantFolder(L"C:\\" + folder) ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, source.c_str(), 0, KEY_READ | Wow64Access, &key) != ERROR_SUCCESS)
      return false;
    const LONG saved = RegSaveKeyW(key, file.c_str(), nullptr);
    RegCloseKey(key);
    if (saved != ERROR_SUCCESS || !RemoveKey(HKEY_LOCAL_MACHINE, source)) return false;
  }
  // As the profile service writes it, to be expanded by the system's values.
  const std::wstring path = (hive == ProfileHive::ForeignVariable ? L"%HOMEDRIVE%\\" : L"%SystemDrive%\\") + folder;
  return PlantValue(HKEY_LOCAL_MACHINE, ProfileList + entry, L"ProfileImagePath", REG_EXPAND_SZ, path.c_str(),
                    static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
}

void PlantProductFolders() {
  const std::wstring data = CommonAppDataFolder();
  const std::wstring programs = NativeProgramFilesFolder();
  PlantFile(data + L"\\Velmoran\\settings.xml", "<settings server=\"orvane.example\"/>\r\n");
  PlantFile(data + L"\\Velmoran\\logs\\client.log", "started\r\n");
  PlantFile(data + L"\\Velmoran\\logs\\2026\\updater.log", "checked\r\n");
  PlantFile(data + L"\\Velmoran\\.cache\\index.db", "index");
  PlantFile(data + L"\\Velmoran\\.lock", "1");
  PlantFileExactName(data + L"\\Velmoran", L"...", "dots");
  PlantFile(data + L"\\Quillfen\\license.dat", "LICENSE");
  PlantFile(programs + L"\\ZOLVA\\OrvClient.exe", "MZ");
  PlantFile(programs + L"\\ZOLVA\\lib\\orvcore.dll", "MZ");
  PlantFile(programs + L"\\ZOLVA\\uninstall.ini", "[Uninstall]\r\n");
  MakeReadOnly(programs + L"\\ZOLVA\\uninstall.ini");
  PlantFile(programs + L"\\ZOLVA\\lib\\orvcore.cfg", "core");
  MakeReadOnly(programs + L"\\ZOLVA\\lib\\orvcore.cfg");
  PlantFile(programs + L"\\Quillfen\\OrvKey.exe", "MZ");
}

std::vector<std::wstring> SurveyProduct() {
  std::vector<std::wstring> present;
  for (const PlantedKey& key : ProductKeys)
    if (KeyExists(key.root, key.path))
      present.push_back(std::wstring(L"registry key ") + RootName(key.root) + L"\\" + key.path);
  for (const auto* records : {&InstallerRecords, &BootstrapperRecords})
    for (const PlantedValue& value : *records)
      if (KeyExists(value.root, value.path))
        present.push_back(std::wstring(L"registry key ") + RootName(value.root) + L"\\" + value.path);
  for (const PlantedValue& value : BootstrapperRecords) {
    const std::wstring path = std::wstring(LoggedOnUserSid) + L"\\" + value.path;
    if (value.root == HKEY_CURRENT_USER && KeyExists(HKEY_USERS, path))
      present.push_back(L"registry key HKEY_USERS\\" + path);
  }
  const std::wstring folders[] = {
      CommonAppDataFolder() + L"\\Velmoran", CommonAppDataFolder() + L"\\Quillfen",
      NativeProgramFilesFolder() + L"\\ZOLVA", NativeProgramFilesFolder() + L"\\Quillfen"};
  for (const std::wstring& folder : folders)
    if (PathExists(folder)) present.push_back(L"folder " + folder);
  if (const DWORD state = ServiceState(ServiceName))
    present.push_back(std::wstring(L"service ") + ServiceName + L" (" + StateName(state) + L")");
  for (const wchar_t* name : ProductImageNames)
    for (DWORD id : FindProcesses(name))
      present.push_back(std::wstring(L"process ") + name + L" (pid " + std::to_wstring(id) + L")");
  return present;
}

namespace {

// Bounded, so that a service program that never gets there cannot hang
// the planting.
bool WaitForServiceState(SC_HANDLE service, DWORD wanted) {
  for (int poll = 0; poll < 600; ++poll) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == wanted) return true;
    Sleep(50);
  }
  return false;
}

}  // namespace

bool InstallProductService(ServiceBehaviour behaviour, bool start) {
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  const std::wstring command =
      L"\"" + ProgramFolder() + L"\\kestrum-test-service.exe\" " + ServiceArgument(behaviour);
  const ServiceHandle service(CreateServiceW(
      manager.get(), ServiceName, L"Orvane Startup Service", SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
      nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) return false;
  if (!start) return true;
  if (!StartServiceW(service.get(), 0, nullptr) || !WaitForServiceState(service.get(), SERVICE_RUNNING))
    return false;
  if (behaviour != ServiceBehaviour::Pauses) return true;
  SERVICE_STATUS status{};
  return ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status) &&
         WaitForServiceState(service.get(), SERVICE_PAUSED);
}

DWORD ServiceState(const std::wstring& name) {
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ServiceHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
  SERVICE_STATUS status{};
  if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
  return status.dwCurrentState;
}

bool PlantWindowsServiceTool() {
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::wstring standin = ProgramFolder() + L"\\kestrum-standin.exe";
  const std::wstring tool = std::wstring(system, length) + L"\\sc.exe";
  // The test machine's system folder is hard-linked to its template's:
  // the old name goes first, so that the copy is a file of its own.
  DeleteFileW(tool.c_str());
  return CopyFileW(standin.c_str(), tool.c_str(), TRUE) &&
         PlantString(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", L"sc.exe", L"native");
}

bool PlantDummyProgram(const std::wstring& path) {
  return CopyFileW(DummyProgramPath().c_str(), path.c_str(), FALSE) != FALSE;
}

KernelHandle StartProductProcess(const std::wstring& imageName, const std::wstring& program) {
  return StartProductProcessAt(MakeTempFolder(L"process") + L"\\" + imageName, program);
}

KernelHandle StartProductProcessAt(const std::wstring& path, const std::wstring& program) {
  const std::wstring source = program.empty() ? DummyProgramPath() : program;
  if (CopyFileW(source.c_str(), path.c_str(), FALSE) == FALSE) return KernelHandle();
  std::wstring commandLine = L"\"" + path + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  // Nothing inherited, so the process outlives its starter without
  // holding any of the starter's handles or outputs open.
  if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW | DETACHED_PROCESS, nullptr, nullptr, &startup, &started))
    return KernelHandle();
  CloseHandle(started.hThread);
  return KernelHandle(started.hProcess);
}

std::vector<DWORD> FindProcesses(const std::wstring& imageName) {
  std::vector<DWORD> found;
  const SnapshotHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry))
    if (imageName == entry.szExeFile) found.push_back(entry.th32ProcessID);
  return found;
}

void PlantProductService() { InstallProductService(ServiceBehaviour::Stops, true); }

void PlantProductProcesses() {
  for (const wchar_t* name : ProductImageNames) StartProductProcess(name);
}
