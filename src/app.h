// The removal run: options and the two fixed sequences; and kestrum-scan's. The removal
// constants are in product.h, the privilege helper in privileges.h.
#pragma once

#include <windows.h>

#include "handle.h"

// Keeps the system and the runtime from showing any box (a critical error
// such as a drive without media, a fault, an abort message) that would wait
// on a desktop nobody sees. The first thing the entry point does.
void PreventDialogs();

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
constexpr wchar_t RunLockName[] = L"kestrum.lock";
// Waits, up to waitMilliseconds, until no other run holds the lock, and
// takes it into lock. The deployment wrapper takes its own turn the same
// way under another name.
RunTurn TakeRunTurn(DWORD waitMilliseconds, KernelHandle& lock, const wchar_t* lockName = RunLockName);

// Takes the run's turn (waiting up to lockWaitSeconds for another run),
// runs the sequence the flags select and restores the current directory.
// A run that gives up waiting says so and does nothing.
void RunRemoval(DWORD lockWaitSeconds = RunLockWaitSeconds);

// kestrum-scan's command line: the run's options (read as the run reads
// them), "--json" for the JSON form, and the usage switches; any other
// element is refused. Gives true when a scan is to be made; else it has
// written the usage text (asked for: on standard output) or a line naming
// what it refused (on standard error), and the scan ends with
// ScanUsageStatus without looking at anything.
constexpr int ScanUsageStatus = 87;  // ERROR_INVALID_PARAMETER
bool ScanCommandLine();

// kestrum-scan: what of the product is on the machine and what a run with
// the same flags would remove, under the run's headers, and a last line
// that sums it up. Changes nothing. 0 when it looked everywhere and found
// nothing a run would remove; 1 when it found something, or could not
// look somewhere (named in a line); 3010 (ERROR_SUCCESS_REBOOT_REQUIRED)
// when all it found of the product is the service that goes at the next
// restart, as the run that gave 3010 leaves it. It takes no run turn: the
// lock file would be a write. Its first line gives its version; in the
// JSON form the text and the findings go into one document, written at
// the end.
int RunScan();
