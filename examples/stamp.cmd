@echo off
setlocal
rem Stamps a board's serial number into its image, then flashes it:
rem   stamp IMAGE SERIAL
rem flash-board stands for the station's own programmer command.
kestrel %1 %2 < NUL
IF %ERRORLEVEL% NEQ 0 (
  echo kestrel ended with status %ERRORLEVEL%: board %2 not flashed
  exit /b 1
)
set copy=kestrel.hex
set image=%~1
if /i "%image:~-3%"=="bin" set copy=kestrel.bin
call flash-board %copy%
