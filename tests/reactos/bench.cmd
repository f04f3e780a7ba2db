@echo off
rem The reactos lane's bench run inside the guest (scripts/reactos-lane.sh --bench): the capture's
rem cost and the watcher's burst on a real kernel, each setup tracked and untracked in this one boot.
rem Each part leaves its figures in results\PART.txt; the script always ends with 0.
setlocal
cd /d "%~dp0"
if not exist results mkdir results
call drivers\install-driver.cmd > results\install-driver.txt 2>&1

rem Each setup at a tenth of its size: at full size one run outlasts its ten-minute bound under QEMU's
rem emulation. Half of the values and a fifth of the files there before first: the figure the capture
rem is held to, the median of three rounds.
echo GUEST-PART-BEGIN bench-capture-existing %TIME%
reactos_bounded_run.exe 1500 bench_capture.exe 3 2 10 > results\bench-capture-existing.txt 2>&1
echo GUEST-PART-END bench-capture-existing rc=%ERRORLEVEL% %TIME%

echo GUEST-PART-BEGIN bench-capture-new %TIME%
reactos_bounded_run.exe 1200 bench_capture.exe 1 1 10 > results\bench-capture-new.txt 2>&1
echo GUEST-PART-END bench-capture-new rc=%ERRORLEVEL% %TIME%

echo GUEST-PART-BEGIN bench-capture-files %TIME%
reactos_bounded_run.exe 900 bench_capture.exe 1 3 10 > results\bench-capture-files.txt 2>&1
echo GUEST-PART-END bench-capture-files rc=%ERRORLEVEL% %TIME%

echo GUEST-PART-BEGIN bench-watcher-burst %TIME%
reactos_bounded_run.exe 900 bench_watcher_burst.exe 2000 > results\bench-watcher-burst.txt 2>&1
echo GUEST-PART-END bench-watcher-burst rc=%ERRORLEVEL% %TIME%

echo GUEST-ALL-PARTS-DONE
exit /b 0
