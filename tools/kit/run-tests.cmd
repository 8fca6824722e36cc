@echo off
rem Runs the Dormex tests of this folder and writes report.txt beside this file:
rem what this Windows is, then each program's passed, failed and skipped counts
rem with its failures in full. The last line says "all passed" or how many
rem failed; the exit code is 0 only when nothing failed. Needs no administrator.
rem ASCII only: cmd reads this file in the OEM code page, whatever it is; paths
rem with any letters and blanks come from %~dp0 and stay quoted.
setlocal EnableExtensions DisableDelayedExpansion
rem Wine's cmd takes a pushd that worked for one that failed after "||".
pushd "%~dp0"
if errorlevel 1 exit /b 2
set "report=%~dp0report.txt"
set failedTotal=0

rem The facts come from a test program, as Windows answers a 32-bit process.
dormex_thread_tests.exe --report-system >"%report%" 2>&1
if errorlevel 1 set /a failedTotal+=1
ver >>"%report%"

call :runProgram dormex_wine_tests "about half a minute"
call :runProgram dormex_thread_tests "about a minute"

echo.>>"%report%"
if %failedTotal%==0 (set "verdict=Dormex tests: all passed") else (set "verdict=Dormex tests: %failedTotal% failed")
echo %verdict%>>"%report%"
echo %verdict%
echo The report: "%report%"
set exitCode=0
if not %failedTotal%==0 set exitCode=1
popd
endlocal & exit /b %exitCode%

rem Runs %1.exe, adds its counts and its output (failures only, in full) to the
rem report; %1.log keeps that output. A program that ends before writing its
rem counts counts as one failure.
:runProgram
echo Running %1 (%~2)...
del "%~1.counts" >nul 2>&1
"%~1.exe" --gtest_brief=1 "--counts-to=%~1.counts" >"%~1.log" 2>&1
set programExit=%errorlevel%
set passed=?
set failed=?
set skipped=?
if exist "%~1.counts" for /f "usebackq tokens=1-3" %%a in ("%~1.counts") do (
  set passed=%%a
  set failed=%%b
  set skipped=%%c
)
echo.>>"%report%"
if "%failed%"=="?" (
  echo == %1: ended before its counts, exit code %programExit% ==>>"%report%"
  set failed=1
) else (
  echo == %1: passed %passed%, failed %failed%, skipped %skipped% ==>>"%report%"
)
rem A fault after the last test (at unload, at exit) shows only in the exit code.
if "%failed%"=="0" if not "%programExit%"=="0" (
  echo exit code %programExit% after all tests ran>>"%report%"
  set failed=1
)
type "%~1.log" >>"%report%"
set /a failedTotal+=failed
echo   passed %passed%, failed %failed%, skipped %skipped%
del "%~1.counts" >nul 2>&1
exit /b 0
