// Plants a simulated installation of the product on a (Wine) machine, and
// reads back what of it is left. Used by the tests and the planting tool.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Registry, always in the 64-bit view, where kestrum's walk looks.
bool PlantKey(HKEY root, const std::wstring& path);
bool PlantValue(HKEY root, const std::wstring& path, const std::wstring& name, DWORD type,
                const void* data, DWORD size);
bool PlantString(HKEY root, const std::wstring& path, const std::wstring& name,
                 const std::wstring& text);
bool KeyExists(HKEY root, const std::wstring& path);
bool ValueExists(HKEY root, const std::wstring& path, const std::wstring& name);
bool RemoveKey(HKEY root, const std::wstring& path);

// Files: PlantFile creates the missing folders on its way.
bool PlantFolder(const std::wstring& path);
bool PlantFile(const std::wstring& path, const std::string& content);
bool PathExists(const std::wstring& path);
std::wstring CommonAppDataFolder();
std::wstring NativeProgramFilesFolder();

// The product's pieces, as an installation leaves them.
void PlantVendorKeys();
// Windows Installer's records of the product and of its bootstrapper:
// packed-GUID keys, values named by the packed GUIDs, uninstall entries.
void PlantInstallerRecords();
void PlantBootstrapperRecords();
void PlantProductFolders();

// One line for each piece of the product that is present now.
std::vector<std::wstring> SurveyProduct();
