// Discovery: one walk of a hive that acts on nothing and records each key
// that a search of the hive matches, with the keys on the way to it.
#pragma once

#include "registry_walk.h"

// Fills hive.kept from a walk of hive.root with all of hive.searches.
void Discover(HiveRecords& hive);
