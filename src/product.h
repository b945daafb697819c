// The removal constants: the names of the product's pieces that the stages
// are given or read.
#pragma once

#include <string>

// Static storage: created before the entry point runs, destroyed at exit.
// The two "Quillfen" are separate objects.
extern const std::wstring FirstVendorKeyPath;
extern const std::wstring SecondVendorKeyPath;
extern const std::wstring FirstVendorDataFolder;
extern const std::wstring SecondVendorDataFolder;
extern const std::wstring ProductProgramFolder;
extern const std::wstring VendorProgramFolder;
extern const std::wstring ProductServiceName;
