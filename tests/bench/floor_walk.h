// The floor of the benchmarks: the least any walk of a hive can cost,
// opening every key as the sweeps open it and reading what they read; and
// what the benchmarks share: planting, and the rounds and their medians.
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

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

// A small fixed generator, so every run plants the same tree.
struct Random {
  unsigned state = 12345;
  unsigned Next() {
    state = state * 1103515245u + 12345u;
    return (state >> 16) & 0x7fff;
  }
};

inline void PlantRecord(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text,
                        DWORD type = REG_SZ) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, WalkAccess, nullptr, &key, nullptr) != ERROR_SUCCESS) return;
  RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

struct Subject {
  const char* name;
  const char* floorName;  // the floor it is held against, or nullptr
  std::function<void()> run;
  std::vector<double> seconds = {};
  unsigned long long allocations = 0;
};

inline double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

// Interleaved, so a slow phase of the machine spreads over all subjects,
// and each round starts one subject later, so no subject always runs
// right after the same neighbour. prepare runs before each, untimed;
// allocations, if given, counts the heap allocations of each.
inline void Measure(std::vector<Subject>& subjects, unsigned repeats, const std::function<void()>& prepare,
                    const std::atomic<unsigned long long>* allocations = nullptr) {
  for (unsigned round = 0; round < repeats; ++round)
    for (size_t k = 0; k < subjects.size(); ++k) {
      Subject& subject = subjects[(k + round) % subjects.size()];
      prepare();
      const unsigned long long before = allocations ? allocations->load() : 0;
      const auto start = std::chrono::steady_clock::now();
      subject.run();
      const auto stop = std::chrono::steady_clock::now();
      subject.allocations = allocations ? allocations->load() - before : 0;
      subject.seconds.push_back(std::chrono::duration<double>(stop - start).count());
    }
}
