@echo off
rem Runs the Dormex tests of this folder and writes report.txt beside this file:
rem what this Windows is, then each program's passed, failed and skipped counts
rem with its failures in full. The last line says "all passed" or how many
rem failed; the exit code is 0 only when every test the kit was built with ran
rem and passed, 2 when the report cannot be written. Needs no administrator.
rem ASCII only: cmd reads this file in the OEM code page, whatever it is; paths
rem with any letters and blanks come from %~dp0 and stay quoted.
setlocal EnableExtensions DisableDelayedExpansion
rem Wine's cmd takes a pushd that worked for one that failed after "||".
pushd "%~dp0"
if errorlevel 1 exit /b 2
rem GoogleTest takes flags from GTEST_* variables too (a filter, shards,
rem repeats): none may change what runs.
call :clearGoogleTestVariables 2>nul
rem Each program must run as many tests as it was built with (dist.sh writes
rem the numbers in), and is ended after this many seconds.
set timeLimit=600
set failedTotal=0

rem cmd skips a command whose output file it cannot open: find out first
rem whether the report can be written, or nothing would run and all "pass".
set "token=Dormex tests %RANDOM%%RANDOM% starting"
set "readBack="
call :tryReport 2>nul
if not "%readBack%"=="%token%" goto cannotWrite

rem The report is opened once and everything goes through that one handle: a
rem program may leave a helper behind that holds the file open. cmd's own
rem messages (in the console's code page) and the progress lines go to the
rem console; the programs write theirs into their output, in UTF-8.
call :runAll >"%~dp0report.txt"
if %failedTotal%==0 (call :say KIT_ALL_PASSED) else (call :say KIT_SOME_FAILED %failedTotal%)
call :say KIT_REPORT_AT "%~dp0report.txt"
set exitCode=0
if not %failedTotal%==0 set exitCode=1
call :pauseIfDoubleClicked
popd
endlocal & exit /b %exitCode%

:cannotWrite
call :say KIT_CANNOT_WRITE "%~dp0report.txt" "%USERPROFILE%\Documents\Dormex tests"
call :pauseIfDoubleClicked
popd
endlocal & exit /b 2

:clearGoogleTestVariables
for /f "delims==" %%v in ('set GTEST_') do set "%%v="
exit /b 0

:tryReport
echo %token%>"%~dp0report.txt"
set /p readBack=<"%~dp0report.txt"
exit /b 0

:runAll
rem The facts come from a test program, as Windows answers a 32-bit process.
call :runFacts
if not exist Dormex.dll call :missingDll
call :runProgram dormex_wine_tests "KIT_RUNNING_HALF_MINUTE" @TEST_COUNT:dormex_wine_tests@
call :runProgram dormex_thread_tests "KIT_RUNNING_A_MINUTE" @TEST_COUNT:dormex_thread_tests@
echo.
if %failedTotal%==0 (echo Dormex tests: all passed) else (echo Dormex tests: %failedTotal% failed)
exit /b 0

:runFacts
if not exist dormex_thread_tests.exe goto missing
dormex_thread_tests.exe --report-system
if errorlevel 1 set /a failedTotal+=1
exit /b 0

rem A program that is not there, as when an antivirus took it away.
:missing
echo dormex_thread_tests.exe is missing from this folder
set /a failedTotal+=1
exit /b 0

rem Without Dormex.dll every test would fail for that one reason: it is said
rem once, counted once, and no program runs.
:missingDll
echo.
echo Dormex.dll is missing from this folder, so no test ran: an antivirus may
echo have put it in quarantine.
call :say KIT_NO_DLL 1>&2
set /a failedTotal+=1
exit /b 0

rem A line for the console in the user's language. cmd echoes only the ASCII
rem of this script, so a test program says it; without one, its id and texts.
:say
set "speaker=dormex_thread_tests.exe"
if not exist %speaker% set "speaker=dormex_wine_tests.exe"
if exist %speaker% %speaker% --say %*
if not exist %speaker% echo %*
exit /b 0

rem Runs %1.exe with its output (failures only, in full) into the report, then
rem its counts; %2 names the console's line for its start. A program that ends
rem before writing its counts counts as one failure; so does a fault after its
rem last test, seen only in its exit code, and a number of tests other than %3,
rem the number it was built with.
rem One command an if: Wine's cmd skips the line after a nested if with a block.
:runProgram
if not exist Dormex.dll exit /b 0
call :say %~2 %1 1>&2
del "%~1.counts" >nul 2>&1
echo.
echo == %1 ==
set passed=?
set failed=?
set skipped=?
set programExit=none
if not exist "%~1.exe" echo %1.exe is missing from this folder
if exist "%~1.exe" "%~1.exe" --gtest_brief=1 "--counts-to=%~1.counts" --time-limit=%timeLimit%
if exist "%~1.exe" set programExit=%errorlevel%
if exist "%~1.counts" for /f "usebackq tokens=1-3" %%a in ("%~1.counts") do (
  set passed=%%a
  set failed=%%b
  set skipped=%%c
)
del "%~1.counts" >nul 2>&1
if "%failed%"=="?" goto endedEarly
set /a ran=passed+failed+skipped 2>nul
if not "%ran%"=="%3" echo %1 ran %ran% tests, not the %3 it was built with
if not "%ran%"=="%3" set /a failed+=1
set exitedLate=0
if "%failed%"=="0" if not "%programExit%"=="0" set exitedLate=1
if %exitedLate%==1 echo exit code %programExit% after all tests ran
if %exitedLate%==1 set failed=1
goto counted
:endedEarly
echo %1 ended before its counts, exit code %programExit%
set failed=1
:counted
echo %1: passed %passed%, failed %failed%, skipped %skipped%
call :say KIT_COUNTS %passed% %failed% %skipped% 1>&2
set /a failedTotal+=failed
exit /b 0

rem Explorer starts "cmd /c" for the script alone, and the window goes as the
rem run ends: then wait for a key, so the verdict can be read. Not from an open
rem console (no /c), nor in CI, nor where a shell shares the console or the
rem input is no console (the program answers).
:pauseIfDoubleClicked
if defined CI exit /b 0
setlocal EnableDelayedExpansion
set "startLine=!cmdcmdline!"
if /i "!startLine: /c =!"=="!startLine!" exit /b 0
endlocal
dormex_thread_tests.exe --console-of-its-own >nul 2>&1
if errorlevel 1 if not errorlevel 2 exit /b 0
echo.
call :say PRESS_ANY_KEY
pause >nul
exit /b 0
