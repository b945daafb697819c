// Starting a child process that inherits the standard handles it is given
// and nothing else.
#pragma once

#include <windows.h>

#include <string>

#include "handle.h"

// An inheritable copy of one of this process's standard handles, or an
// empty owner when there is none. The handle itself may have been made
// without inheritance (a starter's choice), and a child can only be given
// handles it inherits.
KernelHandle InheritableStandardHandle(DWORD which);

// Starts the program at path (a full path: never looked for) with
// commandLine, in folder (null: this process's current directory), its
// standard input, output and error the given inheritable handles (null:
// none). The child inherits these and nothing else: whatever else this
// process holds inheritable (its starter's handles, a library's) stays
// here. False, with the thread's last error, when it was not started.
bool StartChild(const std::wstring& path, std::wstring commandLine, const wchar_t* folder, HANDLE input,
                HANDLE output, HANDLE error, KernelHandle& process);
