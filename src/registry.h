// Registry removal: the four sweeps and the vendor, installer and
// bootstrapper stages.
#pragma once

// The sweeps themselves are working routines of the stage object (class
// Stage in report.h); the stages below run fixed tables of them. Each
// returns true on every path.
bool DeleteVendorRegistryKeys();
bool DeleteInstallerRegistryEntries();
bool DeleteBootstrapperRegistryEntries();
