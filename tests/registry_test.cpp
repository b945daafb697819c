// The registry sweeps and stages, called in-process against the real
// registry of the test's own throwaway Wine machine: each test plants its
// keys, runs the sweep or stage, and checks the report's exact bytes and
// what is left in the registry.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "plant.h"
#include "privileges.h"
#include "registry.h"
#include "registry_sweep.h"
#include "registry_users.h"
#include "expected_reports.h"
#include "report.h"

#include <sddl.h>
#include <winternl.h>

using namespace std::string_literals;

extern "C" NTSYSAPI NTSTATUS NTAPI NtCreateKey(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG, PUNICODE_STRING,
                                               ULONG, PULONG);
extern "C" NTSYSAPI NTSTATUS NTAPI NtSetValueKey(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);

namespace {

const Stage Reporting(false);
const Stage Quiet(true);

// Subkey names of a key, read from its parent's side, so that a key closed
// to every access can still be seen to be there.
std::vector<std::wstring> SubkeyNames(HKEY root, const std::wstring& path) {
  std::vector<std::wstring> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return names;
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  RegCloseKey(key);
  return names;
}

// Value data of exactly byteCount bytes (all of units when not given).
bool PlantBytes(HKEY root, const std::wstring& path, const std::wstring& name, DWORD type,
                const std::wstring& units, size_t byteCount = std::wstring::npos) {
  if (byteCount == std::wstring::npos) byteCount = units.size() * sizeof(wchar_t);
  return PlantValue(root, path, name, type, units.data(), static_cast<DWORD>(byteCount));
}

void RunPlantingTool(const wchar_t* piece) {
  const RunResult plant =
      RunProgram(ProgramFolder() + L"\\kestrum-plant.exe", std::wstring(L"kestrum-plant ") + piece);
  ASSERT_TRUE(plant.finished);
  ASSERT_EQ(plant.exitCode, 0u);
}

const std::wstring UserTest = L"Software\\KestrumTest";
const std::wstring MachineTest = L"SOFTWARE\\KestrumTest";

TEST(RegistrySweep, KeyByPathMatchesTheWholeRelativePathCaseIncluded) {
  ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, MachineTest + L"\\Velmoran\\Sub", L"Version", L"1"));
  ASSERT_TRUE(PlantKey(HKEY_LOCAL_MACHINE, MachineTest + L"\\Other\\Velmoran"));
  ASSERT_TRUE(PlantKey(HKEY_LOCAL_MACHINE, MachineTest + L"\\quillfen"));
  ASSERT_TRUE(PlantKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\WOW6432Node\\KestrumTest\\Velmoran"));
  ReportCapture capture;
  for (const wchar_t* variant : {L"Software\\KestrumTest\\Velmoran", L"SOFTWARE\\KestrumTest\\Quillfen",
                                 L"SOFTWARE\\KestrumTest\\Velmoran\\", L"KestrumTest\\Velmoran"})
    Reporting.DeleteKeyByPath(variant);
  EXPECT_EQ(capture.Text(), "");
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, MachineTest + L"\\Velmoran\\Sub"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, MachineTest + L"\\quillfen"));

  Reporting.DeleteKeyByPath(L"SOFTWARE\\KestrumTest\\Velmoran");
  EXPECT_EQ(capture.Text(), "Deleting SOFTWARE\\KestrumTest\\Velmoran..SUCCESS\n");
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, MachineTest + L"\\Velmoran"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, MachineTest + L"\\Other\\Velmoran"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\WOW6432Node\\KestrumTest\\Velmoran"));
}

TEST(RegistrySweep, KeysByNameDeletesEveryKeyOfThatNameAtAnyDepth) {
  for (const wchar_t* path : {L"\\A\\B\\C\\Target\\Deeper", L"\\A\\Target", L"\\Target", L"\\D\\target",
                              L"\\E\\TargetX", L"\\F\\xTarget", L"\\G\\Targe", L"\\H\\Target "})
    ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, UserTest + path));
  ReportCapture capture;
  Reporting.DeleteKeysByName(HKEY_CURRENT_USER, L"Nowhere");
  EXPECT_EQ(capture.Text(), "");

  Reporting.DeleteKeysByName(HKEY_CURRENT_USER, L"Target");
  EXPECT_EQ(capture.Text(),
            "Deleting Software\\KestrumTest\\A\\B\\C\\Target..SUCCESS\n"
            "Deleting Software\\KestrumTest\\A\\Target..SUCCESS\n"
            "Deleting Software\\KestrumTest\\Target..SUCCESS\n");
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, UserTest + L"\\A\\B\\C"), std::vector<std::wstring>{});
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, UserTest + L"\\A"), std::vector<std::wstring>{L"B"});
  for (const wchar_t* path : {L"\\D\\target", L"\\E\\TargetX", L"\\F\\xTarget", L"\\G\\Targe", L"\\H\\Target "})
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, UserTest + path)) << Utf8(path);
}

TEST(RegistrySweep, FollowerOfADeletedKeyWaitsForTheNextRun) {
  // "Target" and "Tb" are neighbours; deleting the first slides the second
  // into its index, which the walk has already passed.
  ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, UserTest + L"\\Target"));
  ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, UserTest + L"\\Tb\\Target"));
  ReportCapture capture;
  Reporting.DeleteKeysByName(HKEY_CURRENT_USER, L"Target");
  EXPECT_EQ(capture.Text(), "Deleting Software\\KestrumTest\\Target..SUCCESS\n");
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, UserTest + L"\\Tb\\Target"));

  Reporting.DeleteKeysByName(HKEY_CURRENT_USER, L"Target");
  EXPECT_EQ(capture.Text(),
            "Deleting Software\\KestrumTest\\Target..SUCCESS\n"
            "Deleting Software\\KestrumTest\\Tb\\Target..SUCCESS\n");
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, UserTest + L"\\Tb"), std::vector<std::wstring>{});
}

// Names of the values of a key, in enumeration order.
std::vector<std::wstring> ValueNames(HKEY root, const std::wstring& path) {
  std::vector<std::wstring> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return names;
  std::vector<wchar_t> name(16384);
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    if (RegEnumValueW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name.data(), length);
  }
  RegCloseKey(key);
  return names;
}

TEST(RegistrySweep, ValueNameMatchesWhereverTheNameContainsTheText) {
  // A key whose values all name the product goes whole, and its follower
  // slides into its index and is passed over (the spacers). A key where
  // they stand beside others' values (the default value counts) keeps
  // those, its subkeys and itself.
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\1Lower", L"xxneedleyy", L""));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\2Data", L"other", L"NEEDLE"));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\2Data", L"NEEDL", L""));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\3Middle", L"xxNEEDLEyy", L""));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\3Middle", L"NEEDLE", L""));
  ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, UserTest + L"\\4Spacer"));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\5Shared", L"NEEDLE", L""));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\5Shared", L"plain", L""));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\5Shared", L"2NEEDLE", L""));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\5Shared\\Child", L"NEEDLE", L""));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\5Shared\\Child\\Kept", L"kept", L""));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\6Default", L"", L"a default value"));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\6Default", L"NEEDLE", L""));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\7Parent", L"NEEDLE", L""));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\7Parent\\Child", L"other", L""));
  ReportCapture capture;
  Reporting.DeleteKeysByValueName(HKEY_CURRENT_USER, L"NEEDLE");
  EXPECT_EQ(capture.Text(),
            "Deleting Software\\KestrumTest\\3Middle..SUCCESS\n"
            "Deleting value '2NEEDLE' of Software\\KestrumTest\\5Shared..SUCCESS\n"
            "Deleting value 'NEEDLE' of Software\\KestrumTest\\5Shared..SUCCESS\n"
            "Deleting Software\\KestrumTest\\5Shared\\Child..SUCCESS\n"
            "Deleting value 'NEEDLE' of Software\\KestrumTest\\6Default..SUCCESS\n"
            "Deleting Software\\KestrumTest\\7Parent..SUCCESS\n");
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, UserTest),
            (std::vector<std::wstring>{L"1Lower", L"2Data", L"4Spacer", L"5Shared", L"6Default"}));
  EXPECT_EQ(ValueNames(HKEY_CURRENT_USER, UserTest + L"\\2Data"), (std::vector<std::wstring>{L"NEEDL", L"other"}));
  EXPECT_EQ(ValueNames(HKEY_CURRENT_USER, UserTest + L"\\5Shared"), std::vector<std::wstring>{L"plain"});
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, UserTest + L"\\5Shared"), std::vector<std::wstring>{});
  EXPECT_EQ(ValueNames(HKEY_CURRENT_USER, UserTest + L"\\6Default"), std::vector<std::wstring>{L""});
}

TEST(RegistrySweep, ValueDataIsTextOfAtMost1024BytesUpToItsFirstNul) {
  const std::wstring text = L"Orvane Client";
  const std::wstring at = MachineTest + L"\\";
  // 1Stale leaves " Client" in the data buffer where 2Short ends, and the
  // high byte of its "t" where 3Odd ends half-way through that "t": reading
  // past the bytes returned, or taking half a code unit for a whole one,
  // would find the whole text.
  ASSERT_TRUE(PlantBytes(HKEY_LOCAL_MACHINE, at + L"1Stale", L"", REG_BINARY, L"xxxxxx Client"));
  ASSERT_TRUE(PlantBytes(HKEY_LOCAL_MACHINE, at + L"2Short", L"", REG_BINARY, L"Orvane"));
  ASSERT_TRUE(PlantBytes(HKEY_LOCAL_MACHINE, at + L"3Odd", L"", REG_BINARY, text, 25));
  ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, at + L"4Lower", L"", L"orvane client"));
  ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, at + L"5Long", L"", text + std::wstring(600, L'x')));
  ASSERT_TRUE(PlantBytes(HKEY_LOCAL_MACHINE, at + L"6Second", L"", REG_MULTI_SZ, L"first\0Orvane Client\0\0"s));
  const DWORD number = 0x0072004F;  // "Or" as code units
  ASSERT_TRUE(PlantValue(HKEY_LOCAL_MACHINE, at + L"7Number", L"", REG_DWORD, &number, sizeof number));
  ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, at + L"8Text", L"DisplayName", L"Setup of Orvane Client 7.4"));
  ASSERT_TRUE(PlantKey(HKEY_LOCAL_MACHINE, at + L"9Spacer"));
  // Exactly 1024 bytes, no terminator, the text at the very end.
  ASSERT_TRUE(PlantBytes(HKEY_LOCAL_MACHINE, at + L"AExact", L"", REG_BINARY, std::wstring(499, L'x') + text, 1024));
  ASSERT_TRUE(PlantKey(HKEY_LOCAL_MACHINE, at + L"BSpacer"));
  ASSERT_TRUE(PlantBytes(HKEY_LOCAL_MACHINE, at + L"CFirst", L"", REG_MULTI_SZ, L"Orvane Client\0second\0\0"s));
  ASSERT_TRUE(PlantKey(HKEY_LOCAL_MACHINE, at + L"DSpacer"));

  ReportCapture capture;
  Reporting.DeleteKeysByValueData(text);
  EXPECT_EQ(capture.Text(),
            "Deleting SOFTWARE\\KestrumTest\\8Text..SUCCESS\n"
            "Deleting SOFTWARE\\KestrumTest\\AExact..SUCCESS\n"
            "Deleting SOFTWARE\\KestrumTest\\CFirst..SUCCESS\n");
  EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE, MachineTest),
            (std::vector<std::wstring>{L"1Stale", L"2Short", L"3Odd", L"4Lower", L"5Long", L"6Second", L"7Number",
                                       L"9Spacer", L"BSpacer", L"DSpacer"}));
}

// Values enumerate in name order here. A name of 8192 characters or more
// ends the scan of its key, data over 1024 bytes only skips its value; the
// value sweeps must keep to that however they read a value.
TEST(RegistrySweep, LongValueNameEndsTheScanAndLongDataOnlySkipsTheValue) {
  const std::wstring longName = std::wstring(8192, L'L');
  const std::wstring text = L"Orvane Client";
  for (const std::wstring& key : {UserTest, MachineTest}) {
    const HKEY root = key == UserTest ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    // 1: the match before the long name counts; 3: the one after it does not.
    ASSERT_TRUE(PlantString(root, key + L"\\1MatchFirst", L"A NEEDLE", text));
    ASSERT_TRUE(PlantString(root, key + L"\\1MatchFirst", L"B" + longName, L""));
    ASSERT_TRUE(PlantKey(root, key + L"\\2Spacer"));
    ASSERT_TRUE(PlantString(root, key + L"\\3LongNameFirst", L"A" + longName, L""));
    ASSERT_TRUE(PlantString(root, key + L"\\3LongNameFirst", L"B NEEDLE", text));
    // 4: long data, which holds the text too, is passed over, not the end.
    ASSERT_TRUE(PlantString(root, key + L"\\4LongDataFirst", L"A", text + std::wstring(600, L'x')));
    ASSERT_TRUE(PlantString(root, key + L"\\4LongDataFirst", L"B", L"x " + text));
    ASSERT_TRUE(PlantString(root, key + L"\\5LongDataOnly", L"A", text + std::wstring(600, L'x')));
  }
  // Values that could not all be read make a key shared: only the matching
  // values read before the long name go, and no key goes whole.
  ReportCapture capture;
  Reporting.DeleteKeysByValueName(HKEY_CURRENT_USER, L"NEEDLE");
  Reporting.DeleteKeysByValueData(text);
  EXPECT_EQ(capture.Text(),
            "Deleting value 'A NEEDLE' of Software\\KestrumTest\\1MatchFirst..SUCCESS\n"
            "Leaving shared key SOFTWARE\\KestrumTest\\1MatchFirst\n"
            "Leaving shared key SOFTWARE\\KestrumTest\\4LongDataFirst\n");
  const std::vector<std::wstring> all{L"1MatchFirst", L"2Spacer", L"3LongNameFirst", L"4LongDataFirst",
                                      L"5LongDataOnly"};
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, UserTest), all);
  EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE, MachineTest), all);
  EXPECT_EQ(ValueNames(HKEY_CURRENT_USER, UserTest + L"\\1MatchFirst"), std::vector<std::wstring>{L"B" + longName});
}

TEST(RegistrySweep, MatchAtTheHiveRootNeverDeletesTheHive) {
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, L"", L"NEEDLE at the root", L""));
  ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, L"", L"", L"Orvane Client at the root"));
  ReportCapture capture;
  Reporting.DeleteKeysByValueName(HKEY_CURRENT_USER, L"NEEDLE");
  Reporting.DeleteKeysByValueData(L"Orvane Client");
  EXPECT_EQ(capture.Text(), "");
  EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, L"", L"NEEDLE at the root"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software"));
  EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, L"", L""));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft"));
}

TEST(RegistrySweep, EmptySearchTextDeletesNothing) {
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest, L"Name", L"Data"));
  ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, MachineTest, L"Name", L"Data"));
  ReportCapture capture;
  Reporting.DeleteKeyByPath(L"");
  Reporting.DeleteKeysByName(HKEY_CURRENT_USER, L"");
  Reporting.DeleteKeysByValueName(HKEY_CURRENT_USER, L"");
  Reporting.DeleteKeysByValueData(L"");
  EXPECT_EQ(capture.Text(), "");
  EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, UserTest, L"Name"));
  EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, MachineTest, L"Name"));
}

TEST(RegistrySweep, DeepHiveIsWalkedAndDeletedWhole) {
  // Windows nests keys up to 512 levels; the walk keeps no frame per level.
  constexpr int Depth = 500;
  const std::wstring top = UserTest + L"\\Top";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, top.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  std::string bottomPath = "Software\\KestrumTest\\Top";
  for (int level = 0; level < Depth; ++level) {
    const wchar_t* name = level + 1 == Depth ? L"Bottom" : L"d";
    HKEY child = nullptr;
    ASSERT_EQ(RegCreateKeyExW(key, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr), ERROR_SUCCESS)
        << "level " << level;
    RegCloseKey(key);
    key = child;
    bottomPath += "\\" + Utf8(name);
  }
  RegCloseKey(key);
  ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, UserTest + L"\\Top\\d\\Side"));

  ReportCapture capture;
  Reporting.DeleteKeysByName(HKEY_CURRENT_USER, L"Bottom");
  EXPECT_EQ(capture.Text(), "Deleting " + bottomPath + "..SUCCESS\n");
  Reporting.DeleteKeysByName(HKEY_CURRENT_USER, L"Top");
  EXPECT_EQ(capture.Text(), "Deleting " + bottomPath + "..SUCCESS\nDeleting Software\\KestrumTest\\Top..SUCCESS\n");
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, UserTest), std::vector<std::wstring>{});
}

TEST(RegistrySweep, ClosedKeyIsSkippedSilentlyAndRefusedDeletionReportsFive) {
  ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, UserTest + L"\\Closed\\Target"));
  ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, UserTest + L"\\Open\\Target"));
  ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, UserTest + L"\\Partial\\Target\\A"));
  ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, UserTest + L"\\Partial\\Target\\B"));
  ASSERT_TRUE(SetKeyAccess(HKEY_CURRENT_USER, UserTest + L"\\Closed", true));
  ASSERT_TRUE(SetKeyAccess(HKEY_CURRENT_USER, UserTest + L"\\Open\\Target", true));
  ASSERT_TRUE(SetKeyAccess(HKEY_CURRENT_USER, UserTest + L"\\Partial\\Target\\B", true));

  ReportCapture capture;
  Reporting.DeleteKeysByName(HKEY_CURRENT_USER, L"Target");
  EXPECT_EQ(capture.Text(),
            "Deleting Software\\KestrumTest\\Open\\Target..FAILED: 5\n"
            "Deleting Software\\KestrumTest\\Partial\\Target..FAILED: 5\n");
  // Like RegDeleteTreeW, the deletion stops at the first key it cannot
  // delete and leaves what it had deleted before deleted.
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, UserTest + L"\\Open"), std::vector<std::wstring>{L"Target"});
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, UserTest + L"\\Partial\\Target"), std::vector<std::wstring>{L"B"});
  ASSERT_TRUE(SetKeyAccess(HKEY_CURRENT_USER, UserTest + L"\\Closed", false));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, UserTest + L"\\Closed\\Target"));
}

TEST(RegistrySweep, QuietSweepsDeleteTheSameKeysAndPrintNothing) {
  ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, UserTest + L"\\A\\Target"));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\B", L"xNEEDLEx", L""));
  ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, MachineTest + L"\\C", L"", L"Orvane Client"));
  ASSERT_TRUE(PlantKey(HKEY_LOCAL_MACHINE, MachineTest + L"\\D"));
  ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, UserTest + L"\\E\\Target"));
  ASSERT_TRUE(SetKeyAccess(HKEY_CURRENT_USER, UserTest + L"\\E\\Target", true));
  ReportCapture capture;
  Quiet.DeleteKeysByName(HKEY_CURRENT_USER, L"Target");
  Quiet.DeleteKeysByValueName(HKEY_CURRENT_USER, L"NEEDLE");
  Quiet.DeleteKeysByValueData(L"Orvane Client");
  Quiet.DeleteKeyByPath(L"SOFTWARE\\KestrumTest\\D");
  EXPECT_EQ(capture.Text(), "");
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, UserTest), (std::vector<std::wstring>{L"A", L"E"}));
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, UserTest + L"\\A"), std::vector<std::wstring>{});
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, UserTest + L"\\E"), std::vector<std::wstring>{L"Target"});
  EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE, MachineTest), std::vector<std::wstring>{});
}

// The records' bookkeeping after a deletion, with no registry: the record
// leaves, later siblings move down one index as the live ones do, and from
// where the walk's index stands the next recorded subkey is the follower
// in a check pass (which stays on the deleted index), the one after it in
// a pass (the follower waits for the check pass).
TEST(KeyRecords, FollowTheRunsOwnDeletions) {
  struct Row {
    size_t deleted;  // records 1 to 4: A, B, C, D at indices 0, 1, 2 and 4
    DWORD walkIndex;
    std::wstring next;
    std::vector<DWORD> indicesLeft;
  };
  for (const Row& row : {Row{2, 2, L"D", {0, 1, 3}}, Row{2, 1, L"C", {0, 1, 3}}, Row{4, 4, L"", {0, 1, 2}}}) {
    KeyRecords kept;
    kept.keys = {{L"", 0, 6, 1, {1, 2, 3, 4}}, {L"A", 0, 0, 1, {}}, {L"B", 1, 0, 1, {}}, {L"C", 2, 0, 1, {}},
                 {L"D", 4, 0, 1, {}}};
    const std::wstring deleted = kept.keys[row.deleted].name;
    kept.Remove(0, row.deleted);
    std::vector<DWORD> indices;
    for (const size_t child : kept.keys[0].children) indices.push_back(kept.keys[child].index);
    EXPECT_EQ(indices, row.indicesLeft);
    EXPECT_EQ(kept.keys[0].subkeys, 5u);
    EXPECT_EQ(kept.ChildNamed(0, deleted, 1), NoRecord);
    const size_t next = kept.NextChild(0, row.walkIndex, 1);
    EXPECT_EQ(next == NoRecord ? L"" : kept.keys[next].name, row.next);
  }
}

// The deletion behind every report line: the codes and partial results of
// RegDeleteTreeW, checked side by side with it on twin trees.
TEST(KeyTreeDeletion, GivesTheCodesAndLeavesWhatRegDeleteTreeWLeaves) {
  struct Case {
    const wchar_t* name;
    LONG code;
    std::vector<std::wstring> left;
  };
  const Case cases[] = {
      {L"Whole", ERROR_SUCCESS, {}},
      {L"Missing", ERROR_FILE_NOT_FOUND, {}},
      {L"Closed", ERROR_ACCESS_DENIED, {L"A"}},
      {L"Partial", ERROR_ACCESS_DENIED, {L"B"}},
  };
  for (const wchar_t* twin : {L"\\Own", L"\\Reference"}) {
    const std::wstring base = UserTest + twin;
    ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, base + L"\\Whole\\A\\B\\C"));
    ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, base + L"\\Whole\\A", L"value", L"data"));
    ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, base + L"\\Closed\\A"));
    ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, base + L"\\Partial\\A\\Deeper"));
    ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, base + L"\\Partial\\B\\Deeper"));
    ASSERT_TRUE(SetKeyAccess(HKEY_CURRENT_USER, base + L"\\Closed", true));
    ASSERT_TRUE(SetKeyAccess(HKEY_CURRENT_USER, base + L"\\Partial\\B", true));
  }
  HKEY own = nullptr;
  HKEY reference = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, (UserTest + L"\\Own").c_str(), 0, KEY_ALL_ACCESS, &own), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, (UserTest + L"\\Reference").c_str(), 0, KEY_ALL_ACCESS, &reference),
            ERROR_SUCCESS);
  KeyTreeDeletion deletion;
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf8(c.name));
    EXPECT_EQ(deletion.Delete(own, c.name), c.code);
    EXPECT_EQ(RegDeleteTreeW(reference, c.name), c.code);
    if (c.name == std::wstring(L"Closed")) {
      ASSERT_TRUE(SetKeyAccess(HKEY_CURRENT_USER, UserTest + L"\\Own\\Closed", false));
      ASSERT_TRUE(SetKeyAccess(HKEY_CURRENT_USER, UserTest + L"\\Reference\\Closed", false));
    }
    EXPECT_EQ(SubkeyNames(own, c.name), c.left);
    EXPECT_EQ(SubkeyNames(reference, c.name), c.left);
  }
  RegCloseKey(own);
  RegCloseKey(reference);
}

TEST(VendorStage, DeletesBothVendorKeysOfThe64BitViewOnly) {
  PlantVendorKeys();
  ASSERT_TRUE(PlantKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\WOW6432Node\\Velmoran\\Orvane"));
  ASSERT_TRUE(PlantKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\WOW6432Node\\Quillfen"));
  ReportCapture capture;
  EXPECT_TRUE(DeleteVendorRegistryKeys());
  EXPECT_EQ(capture.Text(), PlantedVendorStageReport());
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmoran"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quillfen"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\WOW6432Node\\Velmoran\\Orvane"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\WOW6432Node\\Quillfen"));
}

TEST(VendorStage, VendorKeyInOtherLettersIsNotFound) {
  ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\velmoran", L"Version", L"1"));
  ASSERT_TRUE(PlantKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QUILLFEN"));
  ReportCapture capture;
  DeleteVendorRegistryKeys();
  EXPECT_EQ(capture.Text(), CleanVendorStageReport());
  EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\velmoran", L"Version"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QUILLFEN"));
}

TEST(InstallerStage, RecordsOfThePlantingToolAreReportedAndGone) {
  RunPlantingTool(L"registry");
  // Not the product's names: other letters, or a packed GUID in lower case.
  const std::wstring at = MachineTest + L"\\";
  for (const wchar_t* name : {L"4855687a0cddb614b846edb2fce21dfd", L"9636b389ab5d5d14ebf454d61c4f4941",
                              L"{E6A11024-5926-4359-BC32-05FE3EC5C2E3}", L"{744AD6F8-A222-4194-8EE1-775D0F0F15FA}",
                              L"startupservice"})
    ASSERT_TRUE(PlantKey(HKEY_LOCAL_MACHINE, at + name));
  ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, at + L"Values", L"4855687a0cddb614b846edb2fce21dfd", L"orvane client"));
  ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, UserTest + L"\\9636b389ab5d5d14ebf454d61c4f4941"));

  ReportCapture capture;
  EXPECT_TRUE(DeleteInstallerRegistryEntries());
  EXPECT_EQ(capture.Text(), PlantedInstallerStageReport());
  // Shared keys keep everything but the product's own values.
  EXPECT_EQ(SurveySharedRecords(), ExpectedSharedRecordsAfterARun());
  // Only the vendor stage's keys and the plain bootstrapper GUID are left.
  EXPECT_EQ(SurveyProduct(),
            (std::vector<std::wstring>{
                L"registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmoran",
                L"registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillfen",
                L"registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                L"{983B6369-D5BA-41D5-BE4F-456DC1F49414}",
            }));
  EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE, MachineTest).size(), 6u);
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, UserTest).size(), 1u);
}

TEST(BootstrapperStage, PlantedRecordsAndANeighbourLeftForTheCheckPass) {
  PlantBootstrapperRecords();
  PlantInstallerRecords();
  // Two neighbours holding a value named by the packed GUID: the pass
  // deletes the first, its check pass the second.
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\A", L"9636B389AB5D5D14EBF454D61C4F4941", L""));
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\B", L"9636B389AB5D5D14EBF454D61C4F4941", L""));
  // Not the bootstrapper GUID: lower-case digits, or no braces.
  ASSERT_TRUE(PlantKey(HKEY_LOCAL_MACHINE, MachineTest + L"\\{983b6369-d5ba-41d5-be4f-456dc1f49414}"));
  ASSERT_TRUE(PlantKey(HKEY_LOCAL_MACHINE, MachineTest + L"\\983B6369-D5BA-41D5-BE4F-456DC1F49414"));

  ReportCapture capture;
  EXPECT_TRUE(DeleteBootstrapperRegistryEntries());
  std::string expected = PlantedBootstrapperStageReport();
  const std::string pass = "\n--- Deleting HKEY_CURRENT_USER 2 ---\n";
  expected.insert(expected.find(pass) + pass.size(), "Deleting Software\\KestrumTest\\A..SUCCESS\n");
  const std::string check = "\n--- Deleting HKEY_CURRENT_USER 2 Check ---\n";
  expected.insert(expected.find(check) + check.size(), "Deleting Software\\KestrumTest\\B..SUCCESS\n");
  EXPECT_EQ(capture.Text(), expected);
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER, UserTest), std::vector<std::wstring>{});
  EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE, MachineTest).size(), 2u);
  // The bootstrapper stage leaves the product's own records alone.
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\Installer\\Products\\4855687A0CDDB614B846EDB2FCE21DFD"));
}

// Inserts text after the first occurrence of after in report.
void InsertAfter(std::string& report, const std::string& after, const std::string& text) {
  const size_t at = report.find(after);
  ASSERT_NE(at, std::string::npos) << after;
  report.insert(at + after.size(), text);
}

// The name a run of process, started at started, gives a profile's hive.
std::wstring RunHiveName(DWORD process, unsigned long long started, const std::wstring& entry) {
  wchar_t text[40];
  swprintf(text, 40, L"kestrum.%lu.%016llX.", static_cast<unsigned long>(process), started);
  return text + entry;
}

// Where the private copies of users' hives are made.
std::wstring CopiesPlace() { return WindowsFolder() + L"\\Temp\\"; }

// This process's start time, as a kestrum hive's name gives it.
unsigned long long ProcessStart() {
  FILETIME started{}, exited, kernel, spent;
  GetProcessTimes(GetCurrentProcess(), &started, &exited, &kernel, &spent);
  return static_cast<unsigned long long>(started.dwHighDateTime) << 32 | started.dwLowDateTime;
}

// Watches the machine from a second thread while work runs: the most that
// measure gave, from a first measurement taken before the work starts.
struct Watch {
  std::function<size_t()> measure;
  volatile LONG stop = 0, polls = 0;
  size_t most = 0;

  static DWORD WINAPI Poll(void* context) {
    auto* watch = static_cast<Watch*>(context);
    for (; InterlockedCompareExchange(&watch->stop, 0, 0) == 0; InterlockedIncrement(&watch->polls))
      watch->most = std::max(watch->most, watch->measure());
    return 0;
  }
  void During(const std::function<void()>& work) {
    stop = 0, polls = 0;
    const HANDLE watcher = CreateThread(nullptr, 0, Poll, this, 0, nullptr);
    while (InterlockedCompareExchange(&polls, 0, 0) == 0) Sleep(1);
    work();
    InterlockedExchange(&stop, 1);
    WaitForSingleObject(watcher, INFINITE);
    CloseHandle(watcher);
  }
};

// The hives loaded under names that begin with prefix (but skip), counted;
// and the entries (the rest of the name) of those seen loaded with a copy
// folder of their name, and of those without one: a user's own file.
struct HiveLoads {
  std::wstring prefix, skip;
  std::set<std::wstring> copied = {}, own = {};

  size_t Count() {
    const std::wstring place = CopiesPlace();
    // A copy's folder is made before it loads and goes after it unloads:
    // looked at before and after the hives.
    std::set<std::wstring> before;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((place + prefix + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do before.insert(found.cFileName);
      while (FindNextFileW(search, &found));
      FindClose(search);
    }
    size_t loaded = 0;
    for (const std::wstring& name : SubkeyNames(HKEY_USERS, L"")) {
      if (name.rfind(prefix, 0) != 0) continue;
      ++loaded;
      if (name != skip)
        (before.count(name) != 0 || PathExists(place + name) ? copied : own).insert(name.substr(prefix.size()));
    }
    return loaded;
  }
};

// Holds a file open for reading, shared only with readers: the system's
// load call cannot open it then, a copy that only reads it can.
KernelHandle HoldFile(const std::wstring& file) {
  const HANDLE opened = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  return KernelHandle(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
}

// Every other user's hive, one at a time, on one planted machine: SYSTEM's
// (.DEFAULT: the tests do not run as SYSTEM); logged-on 1001's, with the
// rights Windows gives a user's keys (Own holds a key SYSTEM owns that he
// may only read, so only Own's value goes); then ProfileList's, paths below
// %SystemDrive% expanded from the system's values while ours says Q:,
// each loaded, swept and unloaded before the next: 1001.bak (reported as
// 1001), 1002, 1003 (not a hive: Wine's 1017), 1004 (no NTUSER.DAT, never
// created), 1005 (a variable not the system's), 1006 (nothing of the
// product), 1009 (its copy left loaded by an ended scan: its process ID
// with another start time), and a service account, never loaded. The scan
// reads only private copies (the users' own files held so that the load
// call cannot open them); the run loads a user's own hive only when his
// copy holds records. Wine keeps no rights in a hive file: a profile's
// keys have Wine's defaults (owner Administrators, users read), which their
// users could not delete, so only values go. Not shown under Wine: real
// profiles, a logon during the run (32), refused access, a forced unload,
// hive logs (Wine's hive files have none), a hive written back to its file
// (each stage plants the profiles afresh).
TEST(UserHives, EveryUsersRecordsGoAndNoHiveStaysLoaded) {
  const std::wstring loggedOn = LoggedOnUserSid;
  const std::string products = "Software\\Microsoft\\Installer\\Products\\9636B389AB5D5D14EBF454D61C4F4941..SUCCESS\n";
  const std::string upgradeCodes = "Software\\Microsoft\\Installer\\UpgradeCodes\\5B1E0A3C7D924E6F8A1B2C3D4E5F6071";
  const std::string value = "Deleting value '9636B389AB5D5D14EBF454D61C4F4941' of ";
  const std::string user = Utf8(loggedOn) + "\\";
  const std::string users =
      "\n--- Deleting HKEY_CURRENT_USER 1 ---\n"
      "Deleting " + products + "Deleting S-1-5-18\\" + products + "Deleting " + user + products +
      "Deleting " + user + products + "Deleting S-1-5-21-0-0-0-1002\\" + products +
      "FAILED to open the registry of user S-1-5-21-0-0-0-1003: 1017\n"
      "No registry file for user S-1-5-21-0-0-0-1004: 2\n"
      "FAILED to open the registry of user S-1-5-21-0-0-0-1005: 203\n"
      "Deleting S-1-5-21-0-0-0-1009\\" + products +
      "\n--- Deleting HKEY_CURRENT_USER 1 Check ---\n"
      "\n--- Deleting HKEY_CURRENT_USER 2 ---\n"
      "Deleting " + upgradeCodes + "..SUCCESS\n" +
      value + user + "Software\\KestrumTest\\Own..SUCCESS\n"
      "Deleting " + user + "Software\\KestrumTest\\Whole..SUCCESS\n"
      "Deleting " + user + upgradeCodes + "..SUCCESS\n" +
      value + user + upgradeCodes + "..SUCCESS\n" +
      value + "S-1-5-21-0-0-0-1002\\" + upgradeCodes + "..SUCCESS\n" +
      value + "S-1-5-21-0-0-0-1009\\" + upgradeCodes + "..SUCCESS\n"
      "\n--- Deleting HKEY_CURRENT_USER 2 Check ---\n";
  const unsigned long long start = ProcessStart();
  const std::wstring ended = RunHiveName(GetCurrentProcessId(), start - 1, L"S-1-5-21-0-0-0-1009");
  const std::wstring running = RunHiveName(GetCurrentProcessId(), start, L"S-1-5-21-0-0-0-1010");
  for (const auto& [stage, planted] : {std::pair{&DeleteInstallerRegistryEntries, PlantedInstallerStageReport()},
                                       std::pair{&DeleteBootstrapperRegistryEntries, PlantedBootstrapperStageReport()}}) {
    RunPlantingTool(L"registry");
    ASSERT_TRUE(PlantString(HKEY_USERS, L".DEFAULT\\Software\\Microsoft\\Installer\\Products\\"
                                        L"9636B389AB5D5D14EBF454D61C4F4941", L"ProductName", L"Orvane Setup"));
    for (const wchar_t* key : {L"Own", L"Whole"})
      ASSERT_TRUE(PlantString(HKEY_USERS, loggedOn + L"\\Software\\KestrumTest\\" + key,
                              L"9636B389AB5D5D14EBF454D61C4F4941", L""));
    ASSERT_TRUE(PlantKey(HKEY_USERS, loggedOn + L"\\Software\\KestrumTest\\Own\\Policies"));
    ASSERT_TRUE(GiveUserHiveRights(HKEY_USERS, loggedOn + L"\\Software\\KestrumTest", loggedOn));
    ASSERT_TRUE(SetTreeSecurity(HKEY_USERS, loggedOn + L"\\Software\\KestrumTest\\Own\\Policies",
                               L"O:SYD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;" + loggedOn + L")"));
    std::wstring noHive, endedFile, runningFile, recordsFile, cleanFile;
    ASSERT_TRUE(PlantProfile(loggedOn + L".bak", ProfileHive::Records));
    ASSERT_TRUE(PlantProfile(L"S-1-5-21-0-0-0-1002", ProfileHive::Records, &recordsFile));
    ASSERT_TRUE(PlantProfile(L"S-1-5-21-0-0-0-1003", ProfileHive::NotAHive));
    ASSERT_TRUE(PlantProfile(L"S-1-5-21-0-0-0-1004", ProfileHive::Missing, &noHive));
    ASSERT_TRUE(PlantProfile(L"S-1-5-21-0-0-0-1005", ProfileHive::ForeignVariable));
    ASSERT_TRUE(PlantProfile(L"S-1-5-21-0-0-0-1006", ProfileHive::Clean, &cleanFile));
    ASSERT_TRUE(PlantProfile(L"S-1-5-21-0-0-0-1009", ProfileHive::Records, &endedFile));
    ASSERT_TRUE(PlantProfile(L"S-1-5-80-1-2-3-4-5", ProfileHive::Records));
    ASSERT_TRUE(PlantProfile(L"S-1-5-21-0-0-0-1010", ProfileHive::Records, &runningFile));
    ASSERT_TRUE(RemoveKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\"
                                              L"S-1-5-21-0-0-0-1010"));
    // The ended run was a scan: its copy of 1009's hive is loaded from its
    // folder, which goes with it; the running one's folder stays.
    const std::wstring endedCopy = CopiesPlace() + ended, runningCopy = CopiesPlace() + running;
    // Wine makes every file the running account's, whatever owner is asked.
    ASSERT_TRUE(PlantFolder(endedCopy) && PlantFolder(runningCopy));
    ASSERT_TRUE(CopyFileW(endedFile.c_str(), (endedCopy + L"\\NTUSER.DAT").c_str(), FALSE));
    EnablePrivileges({SE_RESTORE_NAME});
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, ended.c_str(), (endedCopy + L"\\NTUSER.DAT").c_str()), ERROR_SUCCESS);
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, running.c_str(), runningFile.c_str()), ERROR_SUCCESS);
    std::vector<std::wstring> hives = SubkeyNames(HKEY_USERS, L"");
    hives.erase(std::find(hives.begin(), hives.end(), ended));
    std::string expected = planted;
    expected.replace(expected.find(PlantedCurrentUserPasses()), PlantedCurrentUserPasses().size(), users);
    ASSERT_TRUE(SetEnvironmentVariableW(L"SystemDrive", L"Q:"));
    // The most hives loaded at once under this process's names.
    HiveLoads loads{running.substr(0, running.size() - std::wstring(L"S-1-5-21-0-0-0-1010").size()), running};
    Watch watch{[&] { return loads.Count(); }};
    // The scan of the same stage first: it lists what the stage then
    // reports, from copies, while both users' own files cannot be loaded.
    std::string scanned;
    {
      const KernelHandle heldRecords = HoldFile(recordsFile), heldClean = HoldFile(cleanFile);
      ASSERT_TRUE(heldRecords && heldClean);
      ReportCapture scanCapture;
      const RegistryWork scan(stage == &DeleteInstallerRegistryEntries ? InstallerEntries : BootstrapperEntries,
                              Hives(), RegistryPurpose::Scan);
      watch.During([&] { EXPECT_TRUE(stage()); });
      scanned = scanCapture.Text();
    }
    EXPECT_EQ(loads.own, std::set<std::wstring>{});
    EXPECT_NE(loads.copied, std::set<std::wstring>{});
    EXPECT_EQ(SubkeyNames(HKEY_USERS, L""), hives);
    EXPECT_FALSE(PathExists(endedCopy));
    EXPECT_TRUE(PathExists(runningCopy));
    // The run loads no own hive whose copy holds nothing (1006's stays
    // held), and at most those whose copies hold records.
    loads.copied.clear();
    ReportCapture capture;
    {
      const KernelHandle heldClean = HoldFile(cleanFile);
      watch.During([&] { EXPECT_TRUE(stage()); });
    }
    ASSERT_TRUE(SetEnvironmentVariableW(L"SystemDrive", L"C:"));
    // The running one's, and at most one of this run's.
    EXPECT_LE(watch.most, 2u);
    for (const std::wstring& entry : loads.own)
      EXPECT_TRUE(entry == loggedOn + L".bak" || entry == L"S-1-5-21-0-0-0-1002" || entry == L"S-1-5-21-0-0-0-1009")
          << Utf8(entry);
    EXPECT_EQ(capture.Text(), expected);
    EXPECT_EQ(RegistryThings(scanned), RegistryThings(expected)) << scanned;
    // Only the ended run's hive and copy went; the running one's stay.
    EXPECT_EQ(SubkeyNames(HKEY_USERS, L""), hives);
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, running.c_str()), ERROR_SUCCESS);
    EXPECT_TRUE(RemoveDirectoryW(runningCopy.c_str()));
    for (const std::wstring& entry : loads.copied) EXPECT_FALSE(PathExists(CopiesPlace() + loads.prefix + entry));
    EXPECT_FALSE(PathExists(noHive));
    // The logged-on user keeps all but the product's records, and the key
    // he could not have deleted whole.
    EXPECT_TRUE(KeyExists(HKEY_USERS, loggedOn + L"\\Software\\Microsoft\\Installer\\Products\\"
                                                 L"7A6B5C4D3E2F10011223344556677889"));
    EXPECT_TRUE(KeyExists(HKEY_USERS, loggedOn + L"\\Software\\KestrumTest\\Own\\Policies"));
    EXPECT_FALSE(ValueExists(HKEY_USERS, loggedOn + L"\\Software\\KestrumTest\\Own", L"9636B389AB5D5D14EBF454D61C4F4941"));
    EXPECT_FALSE(KeyExists(HKEY_USERS, loggedOn + L"\\Software\\KestrumTest\\Whole"));
    for (const std::wstring& present : SurveyProduct()) EXPECT_EQ(present.find(L"HKEY_USERS"), present.npos);
    // The user whose copy holds records is the one whose own hive the run
    // loads: held, it cannot be.
    ASSERT_TRUE(PlantProfile(L"S-1-5-21-0-0-0-1002", ProfileHive::Records));
    {
      const KernelHandle heldRecords = HoldFile(recordsFile), heldClean = HoldFile(cleanFile);
      ReportCapture held;
      EXPECT_TRUE(stage());
      EXPECT_NE(held.Text().find("FAILED to open the registry of user S-1-5-21-0-0-0-1002: 32\n"), std::string::npos);
      EXPECT_EQ(held.Text().find("S-1-5-21-0-0-0-1006"), std::string::npos);
    }
    ASSERT_TRUE(RemoveKey(HKEY_USERS, loggedOn + L"\\Software\\KestrumTest"));
  }
}

// Whether the run behind a kestrum hive has ended is judged with the debug
// privilege: without it an administrator's run cannot open another user's
// process that took a dead run's ID, and leaves that hive loaded. Wine lets
// no privilege open a process whose DACL refuses the caller, so the token
// is shown instead: enabled while many hives are judged, not before or after.
TEST(UserHives, EndedRunsAreJudgedWithTheDebugPrivilege) {
  // Hives of this live run: judged, and left loaded.
  for (int user = 0; user < 400; ++user)
    ASSERT_TRUE(PlantKey(HKEY_USERS, RunHiveName(GetCurrentProcessId(), ProcessStart(),
                                                 L"S-1-5-21-0-0-0-" + std::to_wstring(3000 + user))));
  const std::vector<std::wstring> hives = SubkeyNames(HKEY_USERS, L"");
  ASSERT_FALSE(PrivilegeEnabled(SE_DEBUG_NAME));
  Watch watch{[] { return static_cast<size_t>(PrivilegeEnabled(SE_DEBUG_NAME)); }};
  watch.During([] { EXPECT_TRUE(UnloadHivesOfEndedRuns().empty()); });
  EXPECT_EQ(watch.most, 1u) << watch.polls << " polls";
  EXPECT_FALSE(PrivilegeEnabled(SE_DEBUG_NAME));
  EXPECT_EQ(SubkeyNames(HKEY_USERS, L""), hives);
}

// Links that any user can make: the walks never enter them, deletions
// remove the link and never what it leads to, and a loop cannot keep a run
// from ending. Neighbours that all match are gone after the check pass,
// each reported once: the pass takes every other one, its check the rest.
TEST(InstallerStage, LinksAreNeverFollowedAndEveryNeighbourGoes) {
  const std::wstring bootstrapper = L"9636B389AB5D5D14EBF454D61C4F4941";
  const std::wstring product = L"4855687A0CDDB614B846EDB2FCE21DFD";
  const std::wstring userProduct = L"Software\\Microsoft\\Installer\\Products\\" + bootstrapper;
  const std::wstring classesProduct = L"SOFTWARE\\Classes\\Installer\\Products\\" + product;
  for (const auto& [root, base] : {std::pair{HKEY_CURRENT_USER, UserTest}, std::pair{HKEY_LOCAL_MACHINE, MachineTest}}) {
    ASSERT_TRUE(PlantString(root, base + L"\\Victim", L"Keep", L"1"));
    ASSERT_TRUE(PlantKey(root, base + L"\\Victim\\Inner"));
    ASSERT_TRUE(PlantLink(root, base + L"\\Loop\\Back", root, base + L"\\Loop"));
  }
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, userProduct, L"ProductName", L"Orvane Setup"));
  ASSERT_TRUE(PlantLink(HKEY_CURRENT_USER, userProduct + L"\\Link", HKEY_CURRENT_USER, UserTest + L"\\Victim"));
  ASSERT_TRUE(PlantLink(HKEY_CURRENT_USER, UserTest + L"\\Named\\" + bootstrapper, HKEY_CURRENT_USER,
                        UserTest + L"\\Victim"));
  ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, classesProduct, L"ProductName", L"Orvane Client"));
  ASSERT_TRUE(PlantLink(HKEY_LOCAL_MACHINE, classesProduct + L"\\Link", HKEY_LOCAL_MACHINE, MachineTest + L"\\Victim"));
  // The link is real: through it the victim's value is seen.
  ASSERT_TRUE(ValueExists(HKEY_CURRENT_USER, userProduct + L"\\Link", L"Keep"));

  std::string expected = CleanInstallerStageReport();
  InsertAfter(expected, "HKEY_CURRENT_USER 1 ---\n",
              "Deleting Software\\KestrumTest\\Named\\" + Utf8(bootstrapper) + "..SUCCESS\n"
              "Deleting " + Utf8(userProduct) + "..SUCCESS\n");
  InsertAfter(expected, "HKEY_CLASSES_ROOT 1 ---\n", "Deleting Installer\\Products\\" + Utf8(product) + "..SUCCESS\n");
  struct Run {
    HKEY root;
    std::wstring folder;
    const std::wstring& valueName;
    int count;
    const char* pass;
  };
  for (const Run& run : {Run{HKEY_CURRENT_USER, UserTest + L"\\Neighbours", bootstrapper, 8, "HKEY_CURRENT_USER 2"},
                         Run{HKEY_LOCAL_MACHINE, MachineTest + L"\\Neighbours", product, 1000, "HKEY_LOCAL_MACHINE 2"}}) {
    std::string inPass, inCheck;
    for (int i = 0; i < run.count; ++i) {
      wchar_t name[8];
      swprintf(name, 8, L"N%04d", i);
      ASSERT_TRUE(PlantString(run.root, run.folder + L"\\" + name, run.valueName, L""));
      (i % 2 == 0 ? inPass : inCheck) += "Deleting " + Utf8(run.folder + L"\\" + name) + "..SUCCESS\n";
    }
    InsertAfter(expected, std::string(run.pass) + " ---\n", inPass);
    InsertAfter(expected, std::string(run.pass) + " Check ---\n", inCheck);
  }

  ReportCapture capture;
  EXPECT_TRUE(DeleteInstallerRegistryEntries());
  EXPECT_EQ(capture.Text(), expected);
  for (const auto& [root, base] : {std::pair{HKEY_CURRENT_USER, UserTest}, std::pair{HKEY_LOCAL_MACHINE, MachineTest}}) {
    SCOPED_TRACE(Utf8(base));
    EXPECT_TRUE(ValueExists(root, base + L"\\Victim", L"Keep"));
    EXPECT_TRUE(KeyExists(root, base + L"\\Victim\\Inner"));
    EXPECT_TRUE(LinkExists(root, base + L"\\Loop\\Back"));
    EXPECT_EQ(SubkeyNames(root, base + L"\\Neighbours"), std::vector<std::wstring>{});
  }
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, userProduct));
  EXPECT_FALSE(LinkExists(HKEY_CURRENT_USER, UserTest + L"\\Named\\" + bootstrapper));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, classesProduct));
}

// A value, below a key if key is not empty, whose names may hold NULs:
// only the native calls, which count a name's length, make them.
bool PlantExactName(HKEY root, const std::wstring& path, const std::wstring& key, const std::wstring& value,
                    const std::wstring& text) {
  HKEY parent = nullptr;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &parent, nullptr))
    return false;
  UNICODE_STRING keyName{USHORT(key.size() * 2), USHORT(key.size() * 2), const_cast<wchar_t*>(key.data())};
  UNICODE_STRING valueName{USHORT(value.size() * 2), USHORT(value.size() * 2), const_cast<wchar_t*>(value.data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE, parent, nullptr);
  HANDLE planted = parent;
  bool ok = key.empty() || NtCreateKey(&planted, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr) >= 0;
  ok = ok && NtSetValueKey(planted, &valueName, 0, REG_SZ, const_cast<wchar_t*>(text.c_str()),
                           ULONG(text.size() + 1) * 2) >= 0;
  if (planted != parent) CloseHandle(planted);
  RegCloseKey(parent);
  return ok;
}

bool SetKeySecurity(HKEY root, const std::wstring& path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) return false;
  HKEY key = nullptr;
  LONG result = RegOpenKeyExW(root, path.c_str(), 0, WRITE_DAC | KEY_WOW64_64KEY, &key);
  if (result == ERROR_SUCCESS) result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
  RegCloseKey(key);
  LocalFree(descriptor);
  return result == ERROR_SUCCESS;
}

HKEY growing = nullptr;
volatile LONG created = 0, stop = 0;
DWORD WINAPI AddSubkeys(void*) {
  for (HKEY made = nullptr; created < 3000 && !stop; ++created)
    if (!RegCreateKeyExW(growing, std::to_wstring(created).c_str(), 0, nullptr, 0, KEY_READ, nullptr, &made, nullptr))
      RegCloseKey(made);
  return 0;
}

// A machine shared with ordinary users. What keys' values say counts for
// the whole key only where nobody but the administrators could have written
// it; names are acted on whole and printed on one line; the machine's
// secrets are never entered; a deletion racing a key's creator ends. Wine
// gives every key the planting account's owner (Administrators), so keys
// owned by others are not planted here.
TEST(InstallerStage, SharedMachineKeysNamesSecretsAndEndlessSubkeys) {
  const std::wstring product = L"4855687A0CDDB614B846EDB2FCE21DFD";
  const std::wstring bootstrapper = L"9636B389AB5D5D14EBF454D61C4F4941";
  const std::wstring at = MachineTest + L"\\";
  const wchar_t* usersMaySetValues = L"D:(A;;KA;;;BA)(A;;KA;;;SY)(A;;0x2;;;BU)";
  // Product-named keys: owned by the product (default security), writable
  // by users, open to everyone (no DACL), named with a line feed or a NUL.
  for (const wchar_t* name : {L"Own", L"Shared", L"Open", L"Line\nDeleting Velmoran", L"Victim"})
    ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, at + name, L"DisplayName",
                            name == std::wstring(L"Victim") ? L"Other" : L"Orvane Client"));
  ASSERT_TRUE(PlantExactName(HKEY_LOCAL_MACHINE, MachineTest, L"Victim\0x"s, L"DisplayName", L"Orvane Client"));
  ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, at + L"Shared\\AdminsOnly", L"Keep", L"1"));
  ASSERT_TRUE(PlantKey(HKEY_LOCAL_MACHINE, at + L"Plain"));
  ASSERT_TRUE(SetKeySecurity(HKEY_LOCAL_MACHINE, at + L"Shared", usersMaySetValues));
  ASSERT_TRUE(SetKeyAccess(HKEY_LOCAL_MACHINE, at + L"Open", false));
  // A value whose name holds a NUL before the packed GUID, beside the value
  // named by the part before the NUL.
  ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, at + L"Component", L"keep", L"1"));
  ASSERT_TRUE(PlantExactName(HKEY_LOCAL_MACHINE, at + L"Component", L"", L"keep\0"s + product, L""));
  // The user's key holding only the bootstrapper's value, over a policy key.
  ASSERT_TRUE(PlantString(HKEY_CURRENT_USER, UserTest + L"\\Writable", bootstrapper, L""));
  ASSERT_TRUE(PlantKey(HKEY_CURRENT_USER, UserTest + L"\\Writable\\Policies"));
  ASSERT_TRUE(SetKeySecurity(HKEY_CURRENT_USER, UserTest + L"\\Writable", usersMaySetValues));
  for (const wchar_t* secret : {L"SAM\\KestrumTest", L"SECURITY\\KestrumTest"})
    ASSERT_TRUE(PlantString(HKEY_LOCAL_MACHINE, secret, product, L"Orvane Client"));

  std::string expected = CleanInstallerStageReport();
  InsertAfter(expected, "HKEY_CURRENT_USER 2 ---\n",
              "Deleting value '" + Utf8(bootstrapper) + "' of Software\\KestrumTest\\Writable..SUCCESS\n");
  InsertAfter(expected, "HKEY_LOCAL_MACHINE 2 ---\n",
              "Deleting value 'keep<U+0000>" + Utf8(product) + "' of SOFTWARE\\KestrumTest\\Component..SUCCESS\n");
  // The pass passes over the follower of each key it deletes.
  InsertAfter(expected, "HKEY_LOCAL_MACHINE 5 ---\n",
              "Deleting SOFTWARE\\KestrumTest\\Line<U+000A>Deleting Velmoran..SUCCESS\n"
              "Deleting SOFTWARE\\KestrumTest\\Own..SUCCESS\n"
              "Leaving shared key SOFTWARE\\KestrumTest\\Shared\n"
              "Deleting SOFTWARE\\KestrumTest\\Victim<U+0000>x..SUCCESS\n");
  InsertAfter(expected, "HKEY_LOCAL_MACHINE 5 Check ---\n",
              "Leaving shared key SOFTWARE\\KestrumTest\\Open\nLeaving shared key SOFTWARE\\KestrumTest\\Shared\n");
  ReportCapture capture;
  DeleteInstallerRegistryEntries();
  EXPECT_EQ(capture.Text(), expected);
  EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE, MachineTest),
            (std::vector<std::wstring>{L"Component", L"Open", L"Plain", L"Shared", L"Victim"}));
  EXPECT_EQ(ValueNames(HKEY_LOCAL_MACHINE, at + L"Component"), std::vector<std::wstring>{L"keep"});
  EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, at + L"Shared\\AdminsOnly", L"Keep"));
  EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, at + L"Victim", L"DisplayName"));
  EXPECT_EQ(ValueNames(HKEY_CURRENT_USER, UserTest + L"\\Writable"), std::vector<std::wstring>{});
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, UserTest + L"\\Writable\\Policies"));
  for (const wchar_t* secret : {L"SAM\\KestrumTest", L"SECURITY\\KestrumTest"})
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, secret, product)) << Utf8(secret);

  // Another thread adds subkeys below a key while it is deleted: the
  // deletion ends on the key itself, which the added keys keep (5), long
  // before the thread would stop.
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (at + L"Growing").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &growing, nullptr), ERROR_SUCCESS);
  const HANDLE thread = CreateThread(nullptr, 0, AddSubkeys, nullptr, 0, nullptr);
  while (created < 10) Sleep(1);
  HKEY parent = nullptr;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, MachineTest.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &parent);
  EXPECT_EQ(KeyTreeDeletion().Delete(parent, L"Growing"), ERROR_ACCESS_DENIED);
  stop = 1;
  WaitForSingleObject(thread, INFINITE);
  EXPECT_LT(created, 3000);
  CloseHandle(thread);
  RegCloseKey(growing);
  RegCloseKey(parent);
}

TEST(RegistryStages, QuietStagesDeleteTheSameKeysAndPrintNothing) {
  PlantVendorKeys();
  PlantInstallerRecords();
  PlantBootstrapperRecords();
  PlantSharedRecords();
  QuietScope quiet(true);
  ReportCapture capture;
  DeleteVendorRegistryKeys();
  DeleteInstallerRegistryEntries();
  DeleteBootstrapperRegistryEntries();
  EXPECT_EQ(capture.Text(), "");
  EXPECT_EQ(SurveyProduct(), std::vector<std::wstring>{});
  EXPECT_EQ(SurveySharedRecords(), ExpectedSharedRecordsAfterARun());
}

}  // namespace
