// The floor of the benchmarks: the least any walk of a hive can cost,
// opening every key as the sweeps open it and reading what they read.
#pragma once

#include <windows.h>

constexpr REGSAM WalkAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;  // 0xF013F, as the sweeps open

// ValueNamesAndData reads each value's name and data in one call, the
// least a walk that reads them all can do.
enum class FloorDepth { Keys, ValueNames, ValueData, ValueNamesAndData };

struct FloorWalk {
  FloorDepth depth;
  unsigned long long keys = 0;
  unsigned long long values = 0;

  void Visit(HKEY key) {
    ++keys;
    if (depth != FloorDepth::Keys) {
      wchar_t name[8192];
      BYTE data[1024];
      for (DWORD index = 0;; ++index) {
        DWORD length = 8192;
        DWORD size = sizeof data;
        const bool together = depth == FloorDepth::ValueNamesAndData;
        const LONG result = RegEnumValueW(key, index, name, &length, nullptr, nullptr, together ? data : nullptr,
                                          together ? &size : nullptr);
        // Data over 1024 bytes is read no further, as the sweeps read it.
        if (result != ERROR_SUCCESS && !(together && result == ERROR_MORE_DATA)) break;
        ++values;
        if (depth == FloorDepth::ValueData) {
          size = sizeof data;
          RegQueryValueExW(key, name, nullptr, nullptr, data, &size);
        }
      }
    }
    wchar_t name[1024];
    for (DWORD index = 0;; ++index) {
      DWORD length = 1024;
      if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        break;
      HKEY child = nullptr;
      if (RegOpenKeyExW(key, name, 0, WalkAccess, &child) != ERROR_SUCCESS) continue;
      Visit(child);
      RegCloseKey(child);
    }
  }
};
