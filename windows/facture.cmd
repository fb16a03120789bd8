@echo off
rem Runs trasko --facture on the list file dropped on this launcher, or with the
rem arguments given from a console: trasko.cmd --site URL LIST works too.
setlocal
"%~dp0python\python.exe" -E -s "%~dp0python\launch.py" --facture %*
set "status=%errorlevel%"
rem Double-clicked or dropped on (cmd /c names this file): keep the window
rem open until a key is pressed, so the organiser reads what happened.
setlocal EnableDelayedExpansion
if /i not "!cmdcmdline:%~nx0=!"=="!cmdcmdline!" (
    echo.
    pause
)
endlocal
exit /b %status%
