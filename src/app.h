// The removal run: options and the two fixed sequences. The removal
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
