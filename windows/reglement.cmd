@echo off
rem Runs trasko --reglement with the PDF and the list file dropped together on
rem this launcher (in either order), or with the arguments given from a
rem console: reglement.cmd reglement.pdf LIST works too.
setlocal
"%~dp0python\python.exe" -E -s "%~dp0python\launch.py" --reglement %*
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
