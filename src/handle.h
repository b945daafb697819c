// Owners of the handles the program holds: one template, given the call
// that closes a handle and the value that stands for none, so that every
// handle is closed by the scope that opened it, on every path.
#pragma once

#include <windows.h>

#include <utility>

// Invalid is the handle kind's own: RegOpenKeyExW, OpenProcess,
// OpenSCManagerW, OpenServiceW, DuplicateHandle and NtOpenFile give NULL,
// CreateToolhelp32Snapshot gives INVALID_HANDLE_VALUE. An owner that took
// the other for none would close a failure, or never close a handle.
template <typename Handle, auto Close, INT_PTR Invalid = 0>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  [[nodiscard]] Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != None(); }
  void reset(Handle handle = None()) {
    if (handle_ != None()) Close(handle_);
    handle_ = handle;
  }
  [[nodiscard]] Handle release() { return std::exchange(handle_, None()); }

 private:
  static Handle None() { return reinterpret_cast<Handle>(Invalid); }
  Handle handle_ = None();
};

using KeyHandle = UniqueHandle<HKEY, RegCloseKey>;
using KernelHandle = UniqueHandle<HANDLE, CloseHandle>;  // processes, threads, pipes, files
using ServiceHandle = UniqueHandle<SC_HANDLE, CloseServiceHandle>;
using SnapshotHandle = UniqueHandle<HANDLE, CloseHandle, -1>;  // INVALID_HANDLE_VALUE
