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
set failedTotal=0
rem The report is opened once and everything goes through that one handle: a
rem program may leave a helper behind that holds the file open.
call :runAll >"%~dp0report.txt" 2>&1
if %failedTotal%==0 (echo Dormex tests: all passed) else (echo Dormex tests: %failedTotal% failed)
echo The report: "%~dp0report.txt"
set exitCode=0
if not %failedTotal%==0 set exitCode=1
popd
endlocal & exit /b %exitCode%

:runAll
rem The facts come from a test program, as Windows answers a 32-bit process.
dormex_thread_tests.exe --report-system
if errorlevel 1 set /a failedTotal+=1
ver
call :runProgram dormex_wine_tests "about half a minute"
call :runProgram dormex_thread_tests "about a minute"
echo.
if %failedTotal%==0 (echo Dormex tests: all passed) else (echo Dormex tests: %failedTotal% failed)
exit /b 0

rem Runs %1.exe with its output (failures only, in full) into the report, then
rem its counts. A program that ends before writing its counts counts as one
rem failure; so does a fault after its last test, seen only in its exit code.
rem One command an if: Wine's cmd skips the line after a nested if with a block.
:runProgram
echo Running %1 (%~2)...>con
del "%~1.counts" >nul 2>&1
echo.
echo == %1 ==
"%~1.exe" --gtest_brief=1 "--counts-to=%~1.counts"
set programExit=%errorlevel%
set passed=?
set failed=?
set skipped=?
if exist "%~1.counts" for /f "usebackq tokens=1-3" %%a in ("%~1.counts") do (
  set passed=%%a
  set failed=%%b
  set skipped=%%c
)
del "%~1.counts" >nul 2>&1
set exitedLate=0
if "%failed%"=="0" if not "%programExit%"=="0" set exitedLate=1
if %exitedLate%==1 echo exit code %programExit% after all tests ran
if %exitedLate%==1 set failed=1
if "%failed%"=="?" echo %1 ended before its counts, exit code %programExit%
if "%failed%"=="?" set failed=1
echo %1: passed %passed%, failed %failed%, skipped %skipped%
echo   passed %passed%, failed %failed%, skipped %skipped%>con
set /a failedTotal+=failed
exit /b 0
