// The sweeps: what happens at a key when the registry stages delete.
#pragma once

#include <windows.h>

#include <string_view>

#include "registry_walk.h"
#include "report.h"

// Sweeps the hive at root with one search, along hive's records when it
// is given and was discovered with that search, else in full; shownAs goes
// before every path the report gives (another user's SID and a backslash),
// and user is then that user's SID.
void SweepHive(const Stage& stage, HKEY root, const Search& search, SweepRun run = SweepRun::Pass,
               HiveRecords* hive = nullptr, std::wstring_view shownAs = {}, PSID user = nullptr);
