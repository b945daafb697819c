@echo off
rem kestrum-run.cmd [options]: the deployment entry point shipped beside
rem kestrum.exe. Runs the kestrum.exe of its own folder with the options
rem given and keeps the report in kestrum\kestrum-report.txt below the
rem native Program Files folder. Ordinary users cannot create anything in
rem Program Files, and a folder made there inherits rights that let them
rem only read, so a SYSTEM run never writes into a file, folder or link
rem that one of them prepared. Exit status: kestrum's (0),
rem or 1 when the report folder cannot be made (kestrum does not run then).
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
exit /b %errorlevel%
