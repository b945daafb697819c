// kestrum-plant: plants a simulated installation of the product on a Wine
// machine for the demo and the tests, and surveys what of it is left.
//   kestrum-plant all | registry | folders | service | processes
//                                            plant those pieces (the
//                                            service and processes are
//                                            left running; registry also
//                                            gives a second, logged-on
//                                            user the per-user records)
//   kestrum-plant survey                     list the pieces present now
//   kestrum-plant names                      records below names JSON escapes
//                                            or no UTF-16 (not part of all)
#include <windows.h>

#include <cwchar>
#include <functional>

#include "plant.h"
#include "report.h"

namespace {

struct Piece {
  const wchar_t* name;
  std::function<void()> plant;
};

const Piece Pieces[] = {
    {L"registry",
     [] {
       PlantVendorKeys();
       PlantInstallerRecords();
       PlantBootstrapperRecords();
       PlantSharedRecords();
     }},
    {L"folders", [] { PlantProductFolders(); }},
    {L"service", [] { PlantProductService(); }},
    {L"processes", [] { PlantProductProcesses(); }},
};

int Survey() {
  const auto present = SurveyProduct();
  if (present.empty()) WriteReport(L"  nothing of the product is present\n");
  for (const std::wstring& line : present) WriteReport(L"  %ls\n", line.c_str());
  const auto shared = SurveySharedRecords();
  if (!shared.empty()) WriteReport(L"  shared with other software, to be left in place:\n");
  for (const std::wstring& line : shared) WriteReport(L"    %ls\n", line.c_str());
  return 0;
}

int PlantOddNames() {
  const std::wstring base = L"SOFTWARE\\KestrumNames\\";
  const std::wstring packed = L"4855687A0CDDB614B846EDB2FCE21DFD";
  bool planted = true;
  for (const std::wstring& odd : {std::wstring(L"Line\nBreak \"quoted\" \x01\tand\x7F"), std::wstring(L"Half \xD800 pair"),
                                  std::wstring(L"Pair \xD83D\xDE00 and end \xDC00")})
    planted = PlantKey(HKEY_LOCAL_MACHINE, base + odd + L"\\" + packed) && planted;
  planted = PlantString(HKEY_LOCAL_MACHINE, base + L"Values", L"\xDC00\r" + packed, L"") && planted;
  planted = PlantString(HKEY_LOCAL_MACHINE, base + L"Values", L"Other", L"") && planted;
  return planted ? 0 : 1;
}

int Usage() {
  WriteReport(L"usage: kestrum-plant all|survey|names");
  for (const Piece& piece : Pieces) WriteReport(L"|%ls", piece.name);
  WriteReport(L"\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return Usage();
  const std::wstring what = argv[1];
  if (what == L"survey") return Survey();
  if (what == L"names") return PlantOddNames();
  bool known = false;
  for (const Piece& piece : Pieces) {
    if (what == L"all" || what == piece.name) {
      piece.plant();
      known = true;
    }
  }
  return known ? 0 : Usage();
}
