// kestrum's entry point. Everything else lives in the core library, so the
// tests can call the same code in-process.
#include <windows.h>

#include "app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  PreventDialogs();
  ScanOptions();
  RunRemoval();
  return 0;
}
