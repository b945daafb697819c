// kestrum-scan's entry point: a console program, so that its starter
// (cmd, PowerShell, a deployment agent) waits for it and gets its status.
#include "app.h"

int wmain() {
  PreventDialogs();
  if (!ScanCommandLine()) return ScanUsageStatus;
  return RunScan();
}
