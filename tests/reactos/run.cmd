@echo off
rem The ReactOS lane's script inside the guest (scripts/reactos-lane.sh puts it into the payload
rem folder with CR LF line ends). Each part prints a line as it begins and one with its exit status
rem as it ends, which the host reads from the serial log, and leaves its output in results\PART.txt,
rem which comes back with the payload folder. Each program runs with a bound (reactos_bounded_run,
rem exit status 124 when it was ended there). The script itself always ends with 0: a part's
rem failure is the host's to judge.
setlocal
cd /d "%~dp0"
if not exist results mkdir results

echo GUEST-PART-BEGIN install-driver %TIME%
call drivers\install-driver.cmd > results\install-driver.txt 2>&1
echo GUEST-PART-END install-driver rc=%ERRORLEVEL% %TIME%

echo GUEST-PART-BEGIN driver-callback %TIME%
reactos_bounded_run.exe 180 reactos_driver_tests.exe --gtest_color=no > results\driver-callback.txt 2>&1
echo GUEST-PART-END driver-callback rc=%ERRORLEVEL% %TIME%

echo GUEST-PART-BEGIN folders %TIME%
reactos_bounded_run.exe 180 reactos_hook_probe.exe --folders > results\folders.txt 2>&1
echo GUEST-PART-END folders rc=%ERRORLEVEL% %TIME%

echo GUEST-ALL-PARTS-DONE
exit /b 0
