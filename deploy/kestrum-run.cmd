@echo off
rem kestrum-run.cmd [options]: the deployment entry point shipped beside
rem kestrum.exe. Runs the kestrum.exe of its own folder with the options
rem given and keeps the report in kestrum\kestrum-report.txt below the
rem native Program Files folder. Ordinary users cannot create anything in
rem Program Files, and a folder made there inherits rights that let them
rem only read, so a SYSTEM run never writes into a file, folder or link
rem that one of them prepared. Exit status: 0 when the report shows
rem nothing of the product left; 2 when it does (a line with FAILED: a
rem deletion that failed, a base folder not obtained, a user's registry
rem not opened or not unloaded, another run that held the run lock too
rem long; or a STAYED line: a product folder that is still there) or
rem cannot be read;
rem 1 when the report folder cannot be made (kestrum does not run then).
rem Intune and ConfigMgr read any status outside their success, reboot and
rem retry codes (0, 1707, 3010, 1641, 1618) as a failure. With -s there is
rem no report, and the status is 0.
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
if errorlevel 1 exit /b %errorlevel%
rem find, by its full path (never one in the current folder): 0 when the
rem text is in the report, 1 when it is not. A path in the report that
rem holds one of these texts errs towards 2, never towards 0.
if not exist "%reportdir%\kestrum-report.txt" exit /b 2
"%SystemRoot%\System32\find.exe" "FAILED" "%reportdir%\kestrum-report.txt" >nul
if not errorlevel 1 exit /b 2
"%SystemRoot%\System32\find.exe" "STAYED: " "%reportdir%\kestrum-report.txt" >nul
if not errorlevel 1 exit /b 2
exit /b 0
