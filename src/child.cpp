#include "child.h"

#include <memory>

namespace {

// Owner of an initialised attribute list; the memory under it has an
// owner of its own.
using AttributeList = UniqueHandle<LPPROC_THREAD_ATTRIBUTE_LIST, DeleteProcThreadAttributeList>;

}  // namespace

KernelHandle InheritableStandardHandle(DWORD which) {
  const HANDLE original = GetStdHandle(which);
  HANDLE copy = nullptr;
  if (original == nullptr || original == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS))
    return KernelHandle();
  return KernelHandle(copy);
}

bool StartChild(const std::wstring& path, std::wstring commandLine, const wchar_t* folder, HANDLE input,
                HANDLE output, HANDLE error, KernelHandle& process) {
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input;
  startup.StartupInfo.hStdOutput = output;
  startup.StartupInfo.hStdError = error;

  // The handles must be distinct: none may be listed twice.
  HANDLE inherited[3];
  DWORD count = 0;
  for (const HANDLE handle : {input, output, error})
    if (handle != nullptr) inherited[count++] = handle;
  SIZE_T listSize = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
  const std::unique_ptr<char[]> listMemory(new char[listSize]);
  const auto listStart = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listMemory.get());
  const AttributeList list(InitializeProcThreadAttributeList(listStart, 1, 0, &listSize) ? listStart : nullptr);
  if (!list) return false;
  // An empty list is refused: with no standard handle the child inherits
  // nothing at all.
  if (count > 0) {
    if (!UpdateProcThreadAttribute(list.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                   count * sizeof(HANDLE), nullptr, nullptr))
      return false;
    startup.lpAttributeList = list.get();
  }
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, count > 0,
                      CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, folder, &startup.StartupInfo,
                      &started))
    return false;
  process.reset(started.hProcess);
  CloseHandle(started.hThread);
  return true;
}
