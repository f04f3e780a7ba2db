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

rem The undo's round trip: the NSIS installer changing what the machine had (prepared first, with a
rem service the second setup changes), then the family setup making one service and disabling the
rem other through the service manager. Each is tracked with an undo script, which then runs; the
rem registry and the system drive are taken before, after the setup and after the undo (the last one
rem is the second setup's before), and the host compares them.
reactos_round_trip.exe prepare > results\undo-prepare.txt 2>&1
orvane-family-setup.exe service OrvaneUndoOld >> results\undo-prepare.txt 2>&1
reactos_bounded_run.exe 240 reactos_round_trip.exe snapshot results\undo-state-0.txt >> results\undo-prepare.txt 2>&1
echo GUEST-PART-BEGIN undo-installer %TIME%
reactos_bounded_run.exe 180 orvane-track.exe --eliminated --json results\undo-installer.json --undo-script results\undo-installer.cmd -- orvane-test-installer.exe /S /EXISTING > results\undo-installer.txt 2>&1
set track_status=%ERRORLEVEL%
reactos_bounded_run.exe 240 reactos_round_trip.exe snapshot results\undo-state-1.txt >> results\undo-installer.txt 2>&1
echo step: the undo began %TIME% >> results\undo-installer.txt
reactos_bounded_run.exe 180 cmd.exe /c results\undo-installer.cmd > results\undo-installer-undo.txt 2>&1
echo step: the undo ended %TIME% >> results\undo-installer.txt
reactos_bounded_run.exe 240 reactos_round_trip.exe snapshot results\undo-state-2.txt >> results\undo-installer.txt 2>&1
echo GUEST-PART-END undo-installer rc=%track_status% %TIME%
echo GUEST-PART-BEGIN undo-services %TIME%
reactos_bounded_run.exe 180 orvane-track.exe --eliminated --json results\undo-services.json --undo-script results\undo-services.cmd -- orvane-family-setup.exe service OrvaneUndoNew disable OrvaneUndoOld > results\undo-services.txt 2>&1
set track_status=%ERRORLEVEL%
reactos_bounded_run.exe 240 reactos_round_trip.exe snapshot results\undo-state-3.txt >> results\undo-services.txt 2>&1
echo step: the undo began %TIME% >> results\undo-services.txt
reactos_bounded_run.exe 180 cmd.exe /c results\undo-services.cmd > results\undo-services-undo.txt 2>&1
echo step: the undo ended %TIME% >> results\undo-services.txt
reactos_bounded_run.exe 240 reactos_round_trip.exe snapshot results\undo-state-4.txt >> results\undo-services.txt 2>&1
echo GUEST-PART-END undo-services rc=%track_status% %TIME%
orvane-family-setup.exe unservice OrvaneUndoNew > nul 2>&1
orvane-family-setup.exe unservice OrvaneUndoOld > nul 2>&1

rem The tracker, as a host runs it, on the sample setup, the NSIS test installer and the probe that
rem says whether the capture hooked anything in the setup's process.
echo GUEST-PART-BEGIN track-sample %TIME%
reactos_bounded_run.exe 180 orvane-track.exe --eliminated --json results\track-sample.json -- orvane-sample-setup.exe > results\track-sample.txt 2>&1
echo GUEST-PART-END track-sample rc=%ERRORLEVEL% %TIME%

echo GUEST-PART-BEGIN track-nsis %TIME%
reactos_bounded_run.exe 180 orvane-track.exe --eliminated --json results\track-nsis.json -- orvane-test-installer.exe /S > results\track-nsis.txt 2>&1
echo GUEST-PART-END track-nsis rc=%ERRORLEVEL% %TIME%

rem A service made and changed through the service manager: services.exe writes its key, and the
rem driver's callback logs it as any other process. The service is removed again afterwards.
orvane-family-setup.exe unservice OrvaneReactos > nul 2>&1
echo GUEST-PART-BEGIN track-service %TIME%
reactos_bounded_run.exe 180 orvane-track.exe --eliminated --processes --json results\track-service.json -- orvane-family-setup.exe service OrvaneReactos disable OrvaneReactos > results\track-service.txt 2>&1
echo GUEST-PART-END track-service rc=%ERRORLEVEL% %TIME%
orvane-family-setup.exe unservice OrvaneReactos > nul 2>&1
rem An INF install through the system's rundll32: the callback names a process by its image alone,
rem which the library leaves out for rundll32; the capture has the driver name it by image and id.
echo GUEST-PART-BEGIN track-inf %TIME%
reactos_bounded_run.exe 180 orvane-track.exe --eliminated --json results\track-inf.json -- orvane-family-setup.exe inf %~dp0values.inf > results\track-inf.txt 2>&1
echo GUEST-PART-END track-inf rc=%ERRORLEVEL% %TIME%
rem A key and value made in mixed case beforehand, written through their upper-cased names: the
rem report spells them as the registry keeps them, whatever case the kernel hands them over in.
orvane-family-setup.exe case OrvaneReactosCase > nul 2>&1
echo GUEST-PART-BEGIN track-case %TIME%
reactos_bounded_run.exe 180 orvane-track.exe --eliminated --json results\track-case.json -- orvane-family-setup.exe case OrvaneReactosCase > results\track-case.txt 2>&1
echo GUEST-PART-END track-case rc=%ERRORLEVEL% %TIME%
echo GUEST-PART-BEGIN track-probe %TIME%
reactos_bounded_run.exe 180 orvane-track.exe --eliminated --json results\track-probe.json -- reactos_hook_probe.exe > results\track-probe.txt 2>&1
echo GUEST-PART-END track-probe rc=%ERRORLEVEL% %TIME%

rem The library's host cases and the watcher's suites on a real file-system driver. Left out: the
rem registry tracking cases, which announce writes through the driver's append code (refused while
rem its callback logs); the watcher's cases that write from Linux beside Wine; its stress cases and
rem the walk's fuzz cases (pure, fuzzed natively; here they only flood the serial log); and three
rem cases that meet faults of ReactOS: its msvcrt _mbsicmp answers 0 for "C:\d" against "C:\d\"
rem (TrailingBackslash..., UnwatchingWhatIsNotWatched...), and with the backup and restore privileges
rem enabled it deletes a directory that another handle holds without delete sharing
rem (AWatchEnablesItsPrivileges...). Also left out: RenamesReportOnlyTheFinalName, which meets a
rem fault of ReactOS's change notification: now and then a read completes with an old name and its new
rem name in the bytes returned (136 for two records of 68) but with the old name's NextEntryOffset 0,
rem so that the new name is not part of the list and is lost (18 of 120 runs of the case, 3 boots).
rem And FilesThatWentAwayDuringTrackingAreNotReported: now and then a read pending on the folder does
rem not complete for the changes that follow (a second again.dat, sentinel.txt); the serial log shows
rem the watcher walking their names only 20 s later, when the case's clean-up changes the folder.
echo GUEST-PART-BEGIN tracking-files %TIME%
reactos_bounded_run.exe 240 tracking_tests.exe --gtest_color=no --gtest_filter=FileTracking.*:TrackingLifetime.*:FolderTokens.*-FileTracking.RenamesReportOnlyTheFinalName:FileTracking.FilesThatWentAwayDuringTrackingAreNotReported > results\tracking-files.txt 2>&1
echo GUEST-PART-END tracking-files rc=%ERRORLEVEL% %TIME%

echo GUEST-PART-BEGIN host-scenarios %TIME%
reactos_bounded_run.exe 240 host_scenario_tests.exe --gtest_color=no > results\host-scenarios.txt 2>&1
echo GUEST-PART-END host-scenarios rc=%ERRORLEVEL% %TIME%

echo GUEST-PART-BEGIN watcher-core %TIME%
reactos_bounded_run.exe 240 watcher_core_tests.exe --gtest_color=no --gtest_filter=-Stress*:NotificationFlow.AFolderDeletedFromOutsideWineCanStillBeUnwatched:NotificationFlow.ABurstMadeFromOutsideWineArrivesWhole:WatchLifecycle.TrailingBackslashMakesASecondWatch:WatchLifecycle.UnwatchingWhatIsNotWatchedChangesNothing:WatchLifecycle.AWatchEnablesItsPrivilegesAndHoldsItsDirectory > results\watcher-core.txt 2>&1
echo GUEST-PART-END watcher-core rc=%ERRORLEVEL% %TIME%

echo GUEST-PART-BEGIN watcher-delivery %TIME%
reactos_bounded_run.exe 240 watcher_delivery_tests.exe --gtest_color=no --gtest_filter=-WalkFuzz.* > results\watcher-delivery.txt 2>&1
echo GUEST-PART-END watcher-delivery rc=%ERRORLEVEL% %TIME%

echo GUEST-ALL-PARTS-DONE
exit /b 0
