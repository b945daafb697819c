// kestrum-run's entry point: a console program, so that its starter (a
// deployment agent, cmd, PowerShell) waits for it and gets its status.
#include "app.h"
#include "wrapper.h"

int wmain() {
  PreventDialogs();
  return static_cast<int>(RunWrapper());
}
