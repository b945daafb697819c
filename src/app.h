// The removal run: options, the two fixed sequences and the removal constants.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>

#include "handle.h"

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

// One run at a time on the machine: two runs at once (a deployment retried
// while the first still runs, a script and an agent together) would race
// over the same keys, folders and hives and report each other's deletions
// as failures. The lock is the file kestrum.lock in the system's Windows
// folder, which only administrators may create files in (so no ordinary
// user can take it first), opened without sharing and deleted when it
// closes: when its run ends, is killed or crashes, the system closes it.
constexpr DWORD RunLockWaitSeconds = 600;
enum class RunTurn {
  Taken,         // at once
  AfterWaiting,  // once another run had ended
  GaveUp,        // another run held it all through the wait
  Unguarded,     // the lock cannot be made (no administrator's rights): none taken
};
// Waits, up to waitMilliseconds, until no other run holds the lock, and
// takes it into lock.
RunTurn TakeRunTurn(DWORD waitMilliseconds, KernelHandle& lock);

// Takes the run's turn (waiting up to lockWaitSeconds for another run),
// runs the sequence the flags select and restores the current directory.
// A run that gives up waiting says so and does nothing.
void RunRemoval(DWORD lockWaitSeconds = RunLockWaitSeconds);
