// The removal run: options and the two fixed sequences; and kestrum-scan's. The removal
// constants are in product.h, the privilege helper in privileges.h.
#pragma once

// Keeps the system and the runtime from showing any box (a critical error
// such as a drive without media, a fault, an abort message) that would wait
// on a desktop nobody sees. The first thing the entry point does.
void PreventDialogs();

// Sets the quiet and bootstrapper-only flags from the process's full
// command line, the program-name element included.
void ScanOptions();

// Runs the sequence the flags select and restores the current directory.
void RunRemoval();

// kestrum-scan: what of the product is on the machine and what a run with
// the same flags would remove, under the run's headers, and a last line
// that sums it up. Changes nothing. 0 when it looked everywhere and found
// nothing a run would remove; 1 when it found something, or could not
// look somewhere (named in a line).
int RunScan();
