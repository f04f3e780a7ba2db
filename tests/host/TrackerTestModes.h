// Helper modes of the tracker test program: it runs itself as the setup that orvane-track tracks.
#pragma once

constexpr char kModeTouch[] = "--touch";                       // FILE: create FILE, exit 0
constexpr char kModeExitWith[] = "--exit-with";                // N: exit with N
constexpr char kModeSayHello[] = "--say-hello";                // print a line on stdout, exit 0
constexpr char kModeSpawnLateWriter[] = "--spawn-late-writer"; // FILE: start a late writer, exit
constexpr char kModeLateWriter[] = "--late-writer";            // PID FILE: wait for PID, append to FILE
constexpr char kModeInConsole[] = "--in-console";              // OUT COMMAND: run COMMAND in this
                                                               // console, save what it shows to OUT
constexpr char kModeSaveStore[] = "--save-store";              // FILE: write what it inherits of the
                                                               // store of old state to FILE, exit 0
constexpr int kSpawnerExitCode = 5;
constexpr char kLateFile[] = "C:\\Program Files\\Late\\written-after-the-setup.txt";

// Runs a helper mode named in argv; answers -1 when argv names none.
int RunTrackerTestMode(int argc, char** argv);

// The stand-in library's path, passed by the build.
const char* StandInLibraryPath();
