@echo off
rem The runner of the Windows test bundle (scripts/windows-test-bundle packs it as run-tests.cmd).
rem Runs every program of tests.txt in its own folder, its GoogleTest XML and output going to
rem results\run-N, then the checks that Wine cannot make, and prints one summary line. Exit status 0
rem when every program and every check passed.
setlocal EnableExtensions EnableDelayedExpansion
set "HERE=%~dp0"
cd /d "%HERE%"
rem Each run writes into a folder of its own, results\run-N (under Wine a file of an earlier run
rem that was removed and made again under the same path can stay locked).
if not exist results mkdir results
set RUN=1
:next_run
if not exist "results\run-%RUN%" goto have_run
set /a RUN+=1
goto next_run
:have_run
set "OUT=%HERE%results\run-%RUN%"
mkdir "%OUT%"
set WINE=0
reg query "HKCU\Software\Wine" >nul 2>&1 && set WINE=1
rem The programs name their data by the build machine's paths under Z:.
set MAPPED=0
if not exist Z:\ (
  subst Z: "%HERE%root" >nul 2>&1 && set MAPPED=1
)
if %WINE%==0 if %MAPPED%==0 echo Z: is in use: programs that read test data may fail.
set PROGRAMS=0
set PASSED=0
set FAILED=0
set CASES=0
set FAILCASES=0
set SKIPPED=0
set FAILEDNAMES=
for /f "usebackq tokens=1,2,*" %%a in ("tests.txt") do call :program %%a %%b "%%c"

set CHECKFAILED=0
call :check "named streams and zone mark" ov_tools_file_store_ntfs_test "*"
set R1=!RESULT!
call :check "session state" ov_screen_test "WindowsDisplays.*"
set R2=!RESULT!
call :check "Windows.Graphics.Capture" ov_screen_test "WindowsCapture.*"
set R3=!RESULT!
call :check "timer resolution" ov_screen_test "StreamClock.*"
set R4=!RESULT!
if %WINE%==0 if exist "%HERE%bench\stream_pacing_bench.exe" (
  "%HERE%bench\stream_pacing_bench.exe" > "%OUT%\stream_pacing_bench.txt" 2>&1
  set "R4=!R4! (frame rates in results\run-!RUN!\stream_pacing_bench.txt)"
)
if %MAPPED%==1 subst Z: /d >nul 2>&1

if not "%FAILEDNAMES%"=="" echo Failed programs:%FAILEDNAMES%, their output in results\run-%RUN%\NAME.log
echo Kestrova Windows tests: %PROGRAMS% programs, %PASSED% passed, %FAILED% failed; %CASES% tests, %FAILCASES% failed, %SKIPPED% skipped; Windows-only: named streams and zone mark: %R1%, session state: %R2%, Windows.Graphics.Capture: %R3%, timer resolution: %R4%; results in results\run-%RUN%
if %FAILED% NEQ 0 exit /b 1
if %CHECKFAILED% NEQ 0 exit /b 1
exit /b 0

rem :program NAME PATH "ARGUMENTS"
:program
set /a PROGRAMS+=1
set "NAME=%~1"
set "EXE=%HERE%%~2"
set "XML=%OUT%\%NAME%.xml"
if not exist "%EXE%" (
  echo %NAME%: not in the bundle
  set /a FAILED+=1
  set "FAILEDNAMES=!FAILEDNAMES! %NAME%"
  goto :eof
)
for %%p in ("%EXE%") do set "EXEDIR=%%~dpp"
echo %NAME%
pushd "%EXEDIR%"
"%EXE%" %~3 --gtest_output=xml:"%XML%" > "%OUT%\%NAME%.log" 2>&1
set RC=!errorlevel!
rem 9009: the program could not be started at all (Wine's cmd sometimes says so for a program
rem that exists, right after another ended); one more attempt.
if !RC!==9009 "%EXE%" %~3 --gtest_output=xml:"%XML%" > "%OUT%\%NAME%.log" 2>&1
if !RC!==9009 set RC=!errorlevel!
popd
call :count "%XML%"
set /a CASES+=C
set /a FAILCASES+=F
set /a SKIPPED+=S
if !RC! NEQ 0 goto :program_failed
if not exist "%XML%" goto :program_failed
set /a PASSED+=1
goto :eof
:program_failed
echo %NAME%: failed with exit code !RC!
set /a FAILED+=1
set "FAILEDNAMES=!FAILEDNAMES! %NAME%"
goto :eof

rem :count FILE.xml sets C (test cases), F (failed cases) and S (skipped cases). A passing case
rem is one self-closed element; a failed or skipped one has children and a closing tag. (Only plain "find": Wine's
rem knows no switches.)
:count
set C=0
set S=0
set OPEN=0
set F=0
if not exist "%~1" goto :eof
for /f "delims=" %%l in ('type "%~1" ^| find "<testcase "') do set /a C+=1
for /f "delims=" %%l in ('type "%~1" ^| find "<skipped"') do set /a S+=1
for /f "delims=" %%l in ('type "%~1" ^| find "</testcase>"') do set /a OPEN+=1
set /a F=OPEN-S
goto :eof

rem :check LABEL PROGRAM "FILTER" sets RESULT. Under Wine these checks would take Wine's
rem branches, not the system's, so they are not run there.
:check
if %WINE%==1 (
  set "RESULT=not run under Wine"
  goto :eof
)
set "CEXE="
for /f "usebackq tokens=1,2" %%a in ("tests.txt") do if "%%a"=="%~2" set "CEXE=%HERE%%%b"
if not defined CEXE (
  set "RESULT=program not in the bundle"
  set CHECKFAILED=1
  goto :eof
)
set "CXML=%OUT%\check-%~2-%RANDOM%.xml"
for %%p in ("%CEXE%") do set "CDIR=%%~dpp"
pushd "%CDIR%"
"%CEXE%" --gtest_color=no --gtest_filter=%~3 --gtest_output=xml:"%CXML%" > nul 2>&1
set CRC=!errorlevel!
popd
call :count "%CXML%"
if !CRC! NEQ 0 (
  set "RESULT=FAILED"
  set CHECKFAILED=1
) else if !C!==0 (
  set "RESULT=no such tests"
  set CHECKFAILED=1
) else if !S! NEQ 0 (
  set "RESULT=skipped !S! of !C!"
) else (
  set "RESULT=passed !C!"
)
goto :eof
