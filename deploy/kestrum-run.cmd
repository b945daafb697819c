@echo off
rem kestrum-run.cmd [options]: the deployment entry point shipped beside
rem kestrum.exe. Runs the kestrum.exe of its own folder with the options
rem given and keeps the report in kestrum\kestrum-report.txt below the
rem native Program Files folder. Ordinary users cannot create anything in
rem Program Files, and a folder made there inherits rights that let them
rem only read, so a SYSTEM run never writes into a file, folder or link
rem that one of them prepared. Exit status:
rem   0     the report shows nothing of the product left (also every -s
rem         run, which writes no lines of kestrum's own);
rem   3010  nothing left but what goes at the next restart: a RESTART line
rem         (the service, marked for deletion);
rem   2     something left: a STAYED line (a product folder, the service),
rem         a line with "FAILED to " (a base folder not obtained, a user's
rem         registry not opened or not unloaded), "..FAILED: " (a registry
rem         deletion) or "FAILED: another " (another run held the run lock
rem         too long: this one did nothing), or no report to read;
rem   1     the report folder cannot be made (kestrum does not run then);
rem   any other: kestrum.exe's own status when it is not 0 (it did not run
rem         to its end: 0xC0000005 for a crash, 9009 when it is missing).
rem The report also holds the service control tool's words, in the
rem system's language; none of them counts: the texts looked for are
rem kestrum's own, which that tool never prints.
setlocal
rem A 32-bit cmd.exe sees the x86 folder as ProgramFiles; both are
rem administrators-only, the native one is where the report is looked for.
set "reportbase=%ProgramW6432%"
if not defined reportbase set "reportbase=%ProgramFiles%"
set "reportdir=%reportbase%\kestrum"
rem "folder\*" matches only a folder (its "." entry), never a file of that
rem name; the second test, not mkdir's status, says whether it worked.
if not exist "%reportdir%\*" mkdir "%reportdir%"
if not exist "%reportdir%\*" exit /b 1
"%~dp0kestrum.exe" %* > "%reportdir%\kestrum-report.txt"
rem A crash status (0xC0000005, 0xC0000409) is negative to cmd, which
rem "if errorlevel 1" would take for success; compare the text instead.
if not "%errorlevel%"=="0" exit /b %errorlevel%
rem find, by its full path (never one in the current folder): 0 when the
rem text is in the report, 1 when it is not. A path in the report that
rem holds one of these texts errs towards 2, never towards 0.
set "report=%reportdir%\kestrum-report.txt"
set "find=%SystemRoot%\System32\find.exe"
if not exist "%report%" exit /b 2
"%find%" "STAYED: " "%report%" >nul
if not errorlevel 1 exit /b 2
"%find%" "FAILED to " "%report%" >nul
if not errorlevel 1 exit /b 2
"%find%" "..FAILED: " "%report%" >nul
if not errorlevel 1 exit /b 2
"%find%" "FAILED: another " "%report%" >nul
if not errorlevel 1 exit /b 2
"%find%" "RESTART: " "%report%" >nul
if not errorlevel 1 exit /b 3010
exit /b 0
