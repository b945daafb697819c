// The scan: what happens at a key when kestrum-scan runs the registry
// stages. The same walk, searches, judgement, trust, link and name rules as
// the sweeps; instead of deleting, it lists what the sweep would delete, and
// changes nothing.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "registry_walk.h"
#include "report.h"

// What the scan has found that a run would delete, by the keys' full
// registry names (\REGISTRY\MACHINE\..., compared as the registry compares
// names, without regard to case): later searches pass it over, as the
// run's would no longer find it. One for a whole scan, across hives, so
// that what a pass through HKEY_CLASSES_ROOT takes is gone for
// HKEY_LOCAL_MACHINE's too.
class ScanLedger {
 public:
  [[nodiscard]] bool KeyGone(std::wstring_view key) const { return keys_.find(key) != keys_.end(); }
  void KeyDeleted(std::wstring key) { keys_.insert(std::move(key)); }
  [[nodiscard]] bool ValueGone(std::wstring_view key, std::wstring_view value) const;
  void ValueDeleted(std::wstring_view key, std::wstring_view value);

 private:
  struct NoCase {
    using is_transparent = void;
    bool operator()(std::wstring_view left, std::wstring_view right) const;
  };
  struct ValueNoCase {
    bool operator()(const std::pair<std::wstring, std::wstring>& left,
                    const std::pair<std::wstring, std::wstring>& right) const;
  };
  std::set<std::wstring, NoCase> keys_;
  std::set<std::pair<std::wstring, std::wstring>, ValueNoCase> values_;
};

// Scans the hive at root with one search as SweepHive sweeps it (along
// hive's records when given), listing under stage what the sweep's pass and
// check pass together would delete, each once, and what it would leave as
// shared, in the hive named hiveName; in another user's hive, sid is his
// SID's text, which the text form puts before every path, and user his SID.
void ScanHive(const Stage& stage, HKEY root, const Search& search, HiveRecords* hive, const wchar_t* hiveName,
              std::wstring_view sid, PSID user, ScanLedger& ledger);
