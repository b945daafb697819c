#include "product.h"

const std::wstring FirstVendorKeyPath = L"SOFTWARE\\Velmoran";
const std::wstring SecondVendorKeyPath = L"SOFTWARE\\Quillfen";
const std::wstring FirstVendorDataFolder = L"Velmoran";
const std::wstring SecondVendorDataFolder = L"Quillfen";
const std::wstring ProductProgramFolder = L"ZOLVA";
const std::wstring VendorProgramFolder = L"Quillfen";
const std::wstring ProductServiceName = L"StartupService";
