// What the registry capture costs a setup. A synthetic setup (orvane-capture-bench-setup) that
// writes 20,000 registry values and 5,000 files runs on its own, then under orvane-track, in the
// same run; so does one that writes the same files and no values, where the capture only has to be
// there. The figure compared is the setup's own time: from its start to the end of its last
// process, as the tracker reports it in its JSON, against the same span measured here for the
// untracked run. The tracker's own work (starting the recorder, listing folders under Wine,
// settling, reading the values back, writing the report) is shown apart. Each figure is the median
// of a few rounds (3, or the number given as the first argument). A second argument runs only the
// scenario of that number (1 to 3, 0 for all), and a third divides every scenario's counts by that
// number, keeping their proportions: under an emulated processor (the reactos lane's bench run) a
// full-sized setup takes longer than the bound of one run.
#include "bench/BenchTiming.h"
#include "common/UniqueHandle.h"
#include "tests/support/TestSupport.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

namespace {

struct Scenario {
    const char* label;
    int values;
    int files;
    double target;          // the tracked-to-untracked ratio aimed at
    int existingValues = 0; // of `values`, how many the machine has before the setup runs
    int overwritten = 0;    // files the machine has before, which the setup overwrites
};

struct Round {
    bool ok = false;
    double untracked = 0;
    double uncaptured = 0; // tracked by the copy without a capture DLL
    double trackedSetup = 0;
    double withoutOldState = 0; // tracked with the capture, keeping no old state
    double trackerWall = 0;
    size_t changed = 0;
    size_t values = 0;
    size_t files = 0;
};

std::string Bin() {
    const std::string self = test_support::ThisExecutable();
    return self.substr(0, self.find_last_of('\\'));
}

// Runs `commandLine` with its output in `log`, and answers its exit code (or ~0 when it could not
// be started or did not end within ten minutes).
DWORD Run(const std::string& commandLine, const std::string& log) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueFile output(::CreateFileA(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output.get();
    PROCESS_INFORMATION info{};
    std::string line = commandLine;
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return ~DWORD(0);
    UniqueHandle process(info.hProcess), thread(info.hThread);
    DWORD code = ~DWORD(0);
    if (::WaitForSingleObject(process.get(), 600000) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(process.get(), &code);
    else
        ::TerminateProcess(process.get(), 1);
    return code;
}

std::string ReadFile(const std::string& path) {
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text;
    char buffer[65536];
    DWORD read = 0;
    while (file && ::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
        text.append(buffer, read);
    return text;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return char(std::tolower(static_cast<unsigned char>(c))); });
    return text;
}

size_t Occurrences(const std::string& text, const std::string& part, size_t from = 0,
                   size_t to = std::string::npos) {
    size_t count = 0;
    for (size_t at = text.find(part, from); at != std::string::npos && at < to; at = text.find(part, at + 1))
        ++count;
    return count;
}

class Bench {
public:
    Bench() {
        for (const char* file :
             {"orvane-track.exe", "Orvane.dll", "Kelmira.dll", "Brannock.dll", "Tavish.dll"})
            ::CopyFileA((Bin() + "\\" + file).c_str(), (uncapturedTracker_ / file).c_str(), FALSE);
    }
    ~Bench() { Clean(); }

    Round Measure(const Scenario& scenario) {
        Round round;
        const std::string program = test_support::QuoteArgument(Bin() + "\\orvane-capture-bench-setup.exe");
        const std::string setup =
            program + " " + std::to_string(scenario.values) + " " + std::to_string(scenario.files) + " " +
            test_support::QuoteArgument(folder_) + " " + key_ + " " + std::to_string(scenario.overwritten);
        const std::string existing = program + " --existing " + std::to_string(scenario.existingValues) +
                                     " " + std::to_string(scenario.overwritten) + " " +
                                     test_support::QuoteArgument(folder_) + " " + key_;
        existing_ = scenario.existingValues > 0 || scenario.overwritten > 0 ? existing : std::string();
        DWORD code = Prepare();
        if (code == 0)
            round.untracked = SecondsFor([&] { code = Run(setup, log_ / "untracked.txt"); });
        Clean();
        if (code != 0) {
            std::printf("  the untracked setup failed (%lu): %s\n", static_cast<unsigned long>(code),
                        ReadFile(log_ / "untracked.txt").c_str());
            return round;
        }
        std::string report;
        if (!Track(uncapturedTracker_ / "orvane-track.exe", setup, report, round.uncaptured,
                   round.trackerWall))
            return round;
        if (!existing_.empty() && !Track(Bin() + "\\orvane-track.exe --no-old-state", setup, report,
                                         round.withoutOldState, round.trackerWall))
            return round;
        if (!Track(Bin() + "\\orvane-track.exe", setup, report, round.trackedSetup, round.trackerWall))
            return round;
        // The report may give a name in another case than the setup wrote it (on ReactOS it does).
        report = Lower(report);
        round.changed = Occurrences(report, "\"change\": \"changed\"");
        // JSON doubles each backslash of a path.
        round.values = Occurrences(report, "\"path\": \"hkcu\\\\software\\\\" + Lower(key_) + "\\\\");
        const size_t files = report.find("\"files\": ["), filesEnd = report.find("\"eliminatedfiles\"");
        const std::string leaf = Lower(folder_.substr(folder_.find_last_of('\\') + 1));
        round.files = files == std::string::npos ? 0 : Occurrences(report, leaf, files, filesEnd);
        round.ok = true;
        return round;
    }

private:
    // Makes what the scenario's machine has before its setup runs.
    DWORD Prepare() {
        if (existing_.empty())
            return 0;
        const DWORD code = Run(existing_, log_ / "existing.txt");
        if (code != 0)
            std::printf("  the existing state could not be made (%lu): %s\n",
                        static_cast<unsigned long>(code), ReadFile(log_ / "existing.txt").c_str());
        return code;
    }

    // Runs `setup` under `tracker` (its path, then any options), and takes the setup's time from the report.
    bool Track(const std::string& tracker, const std::string& setup, std::string& report,
               double& setupSeconds, double& wallSeconds) {
        const std::string json = log_ / "tracked.json";
        const size_t options = tracker.find(".exe ");
        const std::string command =
            options == std::string::npos
                ? test_support::QuoteArgument(tracker)
                : test_support::QuoteArgument(tracker.substr(0, options + 4)) + tracker.substr(options + 4);
        DWORD code = Prepare();
        if (code == 0)
            wallSeconds = SecondsFor([&] {
                code = Run(command + " --json " + test_support::QuoteArgument(json) + " -- " + setup,
                           log_ / "tracked.txt");
            });
        report = ReadFile(json);
        ::DeleteFileA(json.c_str());
        Clean();
        const size_t seconds = report.find("\"seconds\": ");
        if (code != 0 || seconds == std::string::npos) {
            const std::string output = ReadFile(log_ / "tracked.txt");
            std::printf("  the tracked setup failed (%lu): %s\n", static_cast<unsigned long>(code),
                        output.substr(output.size() > 2000 ? output.size() - 2000 : 0).c_str());
            return false;
        }
        setupSeconds = std::strtod(report.c_str() + seconds + 11, nullptr);
        return true;
    }

    void Clean() {
        test_support::RemoveTree(folder_);
        // RegDeleteTree is Vista's: XP and Server 2003 have only shlwapi's.
        ::SHDeleteKeyA(HKEY_CURRENT_USER, ("Software\\" + key_).c_str());
    }

    std::string folder_ = test_support::KnownFolder(CSIDL_PROGRAM_FILES) + "\\orvane-capture-bench-" +
                          std::to_string(::GetCurrentProcessId());
    std::string key_ = "OrvaneCaptureBench" + std::to_string(::GetCurrentProcessId());
    std::string existing_; // the command that makes the existing state, empty when there is none
    test_support::TempDir log_{"capture-bench"};
    test_support::TempDir uncapturedTracker_{"uncaptured-tracker"};
};

double Median(std::vector<double> figures) {
    std::sort(figures.begin(), figures.end());
    return figures[figures.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int only = argc > 2 ? std::atoi(argv[2]) : 0;
    const int divisor = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    const auto counts = [divisor](const char* label, int values, int files, double target, int existing = 0,
                                  int overwritten = 0) {
        static std::deque<std::string> labels; // the scenarios point into it: a deque never moves its items
        labels.push_back(divisor == 1 ? label
                                      : std::string(label) + ", all divided by " + std::to_string(divisor));
        return Scenario{labels.back().c_str(), values / divisor,     files / divisor, target,
                        existing / divisor,    overwritten / divisor};
    };
    const Scenario scenarios[] = {
        counts("20,000 registry values and 5,000 files", 20000, 5000, 1.5),
        counts("20,000 registry values (10,000 there before) and 5,000 files, overwriting 1,000 files", 20000,
               5000, 1.5, 10000, 1000),
        counts("5,000 files and no registry values", 0, 5000, 1.1)};
    std::printf("registry capture cost (%d-bit build), median of %d rounds; the baseline is the same setup "
                "untracked\n",
                int(sizeof(void*) * 8), rounds);
    Bench bench;
    // One untracked and one tracked run first, so that neither side pays for a cold start.
    bench.Measure({"warm-up", 100, 100, 0});
    int failed = 0;
    for (const Scenario& scenario : scenarios) {
        if (only != 0 && &scenario - scenarios != only - 1)
            continue;
        std::vector<double> untracked, uncaptured, tracked, withoutOldState, wall;
        Round last;
        for (int r = 0; r < rounds; ++r) {
            last = bench.Measure(scenario);
            if (!last.ok)
                break;
            untracked.push_back(last.untracked);
            uncaptured.push_back(last.uncaptured);
            tracked.push_back(last.trackedSetup);
            withoutOldState.push_back(last.withoutOldState);
            wall.push_back(last.trackerWall);
        }
        std::printf("setup writing %s:\n", scenario.label);
        if (!last.ok) {
            ++failed;
            continue;
        }
        const double base = Median(untracked), watched = Median(uncaptured), setup = Median(tracked);
        std::printf("  untracked             : %8.3f s\n", base);
        std::printf("  tracked, no capture   : %8.3f s   %.2fx (watched, its registry writes not captured)\n",
                    watched, watched / base);
        std::printf("  tracked, setup's time : %8.3f s   %.2fx the untracked run (target <= %.1fx)\n", setup,
                    setup / base, scenario.target);
        std::printf(
            "  tracker end to end    : %8.3f s   (recorder, folder listing, settle, read-back, report)\n",
            Median(wall));
        if (scenario.existingValues > 0 || scenario.overwritten > 0) {
            const double plain = Median(withoutOldState);
            const int items = scenario.existingValues + scenario.overwritten;
            std::printf("  tracked, no old state : %8.3f s   %.2fx (captured, keeping no old state)\n", plain,
                        plain / base);
            std::printf("  keeping the old state : %8.3f s   %.1f us for each of the %d items that existed\n",
                        setup - plain, (setup - plain) * 1e6 / double(items), items);
            std::printf("  reported as changed   : %zu values (last round)\n", last.changed);
        }
        std::printf("  captured              : %zu of %d values, %zu of %d files (last round)\n", last.values,
                    scenario.values, last.files, scenario.files);
        if (scenario.values > 0 && last.values > 0)
            std::printf(
                "  cost per captured write: %.1f us against the untracked run, %.1f us against the run "
                "without capture\n",
                (setup - base) * 1e6 / double(last.values), (setup - watched) * 1e6 / double(last.values));
    }
    return failed == 0 ? 0 : 1;
}
