@rem kestrum-run.cmd [options]: kept so that existing command lines keep
@rem working. It runs the kestrum-run.exe beside it with all its arguments
@rem and ends with its status; kestrum-run.exe does the work (it runs
@rem kestrum.exe, keeps the report in kestrum\kestrum-report.txt below the
@rem native Program Files folder, logs the run in
@rem %windir%\Logs\kestrum\kestrum-run.log and judges the report). Its
@rem statuses are in the README. A crash status is negative to cmd; exit /b
@rem hands it on as the same 32-bit code.
@"%~dp0kestrum-run.exe" %*
@exit /b %errorlevel%
