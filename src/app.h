// The removal run: options, the two fixed sequences and the removal constants.
#pragma once

#include <initializer_list>
#include <string>

// Names the stages are given. Static storage: created before the entry
// point runs, destroyed at exit. The two "Quillfen" are separate objects.
extern const std::wstring FirstVendorKeyPath;
extern const std::wstring SecondVendorKeyPath;
extern const std::wstring FirstVendorDataFolder;
extern const std::wstring SecondVendorDataFolder;
extern const std::wstring ProductProgramFolder;
extern const std::wstring VendorProgramFolder;
extern const std::wstring ProductServiceName;

// Keeps the system and the runtime from showing any box (a critical error
// such as a drive without media, a fault, an abort message) that would wait
// on a desktop nobody sees. The first thing the entry point does.
void PreventDialogs();

// Enables each of the named privileges that the process's token holds, each
// asked for on its own, so that a token that lacks one still gets the
// others; one that holds none runs as it would have.
void EnablePrivileges(std::initializer_list<const wchar_t*> names);

// Sets the quiet and bootstrapper-only flags from the process's full
// command line, the program-name element included.
void ScanOptions();

// Runs the sequence the flags select and restores the current directory.
void RunRemoval();
