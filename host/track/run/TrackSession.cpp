#include "host/track/run/TrackSession.h"

#include "capture/inject/CaptureInjection.h"
#include "host/track/run/CaptureMessages.h"
#include "host/track/run/CaptureRelay.h"
#include "host/track/run/ChangeClassifier.h"
#include "host/track/run/CapturedValueCheck.h"
#include "host/track/run/DriverLosses.h"
#include "host/track/CommandLine.h"
#include "host/track/output/ConsoleOutput.h"
#include "host/track/ExitCodes.h"
#include "host/track/run/FolderSnapshot.h"
#include "host/track/run/LiveState.h"
#include "host/track/run/OldStateStore.h"
#include "host/track/result/OldStates.h"
#include "host/track/result/NoiseReason.h"
#include "host/track/run/OrvaneLibrary.h"
#include "host/track/output/PackageKit.h"
#include "host/track/result/RealNames.h"
#include "host/track/result/RegistryNoise.h"
#include "host/track/output/HtmlReport.h"
#include "host/track/run/RegistrySpelling.h"
#include "host/track/output/ReportFile.h"
#include "host/track/output/Reports.h"
#include "host/track/result/TextEncoding.h"
#include "host/track/output/UninstallScript.h"
#include "host/track/run/SetupProcess.h"
#include "host/track/run/StatusLine.h"
#include "host/track/run/WinePrime.h"
#include "host/track/run/WriterLines.h"
#include "common/Tick.h"
#include "common/Wow64.h"

#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace track {

namespace {

constexpr DWORD kPollMs = 100; // how often the job is asked whether processes are left
// How long the last captured lines may wait for room in the driver's log.
constexpr ULONGLONG kFinalRelayMs = 10000;

class Stopwatch {
public:
    double Seconds() const { return static_cast<double>(TickCount64() - start_) / 1000.0; }

private:
    ULONGLONG start_ = TickCount64();
};

// The recorder, destroyed through the library however the session ends. One still tracking is
// stopped first: the library must not be unloaded while it captures.
class OwnedRecorder {
public:
    OwnedRecorder(const OrvaneLibrary& library, IOrvaneInc* recorder)
        : library_(library), recorder_(recorder) {}
    ~OwnedRecorder() { Destroy(); }
    OwnedRecorder(const OwnedRecorder&) = delete;
    OwnedRecorder& operator=(const OwnedRecorder&) = delete;

    IOrvaneInc* get() const { return recorder_; }
    void Start() {
        recorder_->Start();
        tracking_ = true;
    }
    void Stop() {
        recorder_->Stop();
        tracking_ = false;
    }
    void Destroy() {
        if (recorder_ == nullptr)
            return;
        if (tracking_)
            Stop();
        library_.Destroy(&recorder_);
        recorder_ = nullptr;
    }

private:
    const OrvaneLibrary& library_;
    IOrvaneInc* recorder_;
    bool tracking_ = false;
};

void PumpPendingMessages() {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

// Waits for at most `ms` while dispatching this thread's messages: the library's file
// notifications and its registry log timer both need them.
void PumpFor(DWORD ms, HANDLE handle) {
    const DWORD count = handle != nullptr ? 1 : 0;
    ::MsgWaitForMultipleObjects(count, count ? &handle : nullptr, FALSE, ms, QS_ALLINPUT);
    PumpPendingMessages();
}

// The capture's two ways back to the tracker, the driver's writer lines where its own callback logs
// instead, and what they said so far.
struct CaptureSide {
    CaptureMessages messages;
    CaptureRelay relay;
    WriterLines writers;
    TrackResult notes;
};

// Hands the last captured lines to the driver once every process of the setup has ended. Lines the
// driver's full log refuses wait for the recorder's next pull, for which messages are dispatched.
void RelayRemainingLines(CaptureSide& capture) {
    const ULONGLONG deadline = TickCount64() + kFinalRelayMs;
    while (!capture.relay.Relay(true) && TickCount64() < deadline)
        PumpFor(kPollMs, nullptr);
    if (capture.relay.waiting() != 0)
        capture.messages.AddGap(
            capture.notes,
            CaptureGap{"orvane-track.exe", ::GetCurrentProcessId(),
                       std::to_string(capture.relay.waiting()) +
                           " captured lines could not be handed to the registry monitor (error " +
                           std::to_string(capture.relay.lastError()) + ")"});
    capture.messages.Drain(capture.notes);
}

// What the driver saw of the setup and could not log; asked once capture has stopped, while the
// library (and so the driver's service) is still there. The last writer lines are taken then too.
void NoteDriverLosses(CaptureSide& capture) {
    capture.writers.Read();
    for (const CaptureGap& gap : WriterLineGaps(capture.writers.lost()))
        capture.messages.AddGap(capture.notes, gap);
    REGMON_CAPTURE_STATE state;
    if (!QueryDriverCaptureState(state))
        return;
    for (const CaptureGap& gap : DriverLossGaps(state))
        capture.messages.AddGap(capture.notes, gap);
}

// Answers how long the setup ran: until its last process ended, without the settling after it.
double WaitForSetup(const SetupProcess& setup, IOrvaneInc* recorder, const Stopwatch& clock,
                    unsigned settleMs, CaptureSide& capture) {
    StatusLine status;
    while (!setup.Finished()) {
        PumpFor(kPollMs, setup.WaitHandle());
        capture.relay.Relay(false);
        capture.messages.Drain(capture.notes);
        capture.writers.Read();
        status.Update(clock.Seconds(), recorder->GetFileChanges().size(), "setup running");
    }
    const double ran = clock.Seconds();
    const ULONGLONG settleEnd = TickCount64() + settleMs;
    for (ULONGLONG now = TickCount64(); now < settleEnd; now = TickCount64()) {
        PumpFor(static_cast<DWORD>(std::min<ULONGLONG>(settleEnd - now, kPollMs)), nullptr);
        status.Update(clock.Seconds(), recorder->GetFileChanges().size(), "settling");
        capture.relay.Relay(false);
        capture.writers.Read();
    }
    RelayRemainingLines(capture);
    status.Clear();
    return ran;
}

// The library judged `path`, whose ANSI form lost characters, by a name that names no file. The
// tracker judges the real file instead, by the same evidence: it must exist, be readable, and lie
// outside the noise locations.
bool IsNoiseByRealName(const std::string& path, const std::wstring& realName) {
    const PathFacts facts = ProbePath(realName);
    return !facts.exists || !facts.readable || HasNoiseFragment(path);
}

TrackResult CollectResult(const OrvaneLibrary& library, IOrvaneInc* recorder) {
    TrackResult result;
    for (const std::string& path : recorder->GetFileChanges()) {
        const std::wstring realName = FindRealName(path);
        const bool lossy = !realName.empty() && realName != AnsiToWide(path);
        if (lossy)
            result.realNames[path] = WideToUtf8(realName);
        if (lossy ? IsNoiseByRealName(path, realName) : library.IsEliminatePath(recorder, path))
            result.eliminated.push_back(
                EliminatedFile{path, NoiseReason(path, lossy ? ProbePath(realName) : ProbePath(path))});
        else
            result.files.push_back(path);
    }
    for (const IConfInfoInc::_ConfInfo& record : recorder->GetRegistryChanges()) {
        const RegistryValue value{record.path, record.valueType, record.data};
        const std::string noise = RegistryNoiseReason(record.path);
        if (noise.empty())
            result.registry.push_back(value);
        else
            result.eliminatedRegistry.push_back(EliminatedValue{value, noise});
    }
    return result;
}

// Under Wine, makes the folders that exist before the setup runs report changes, as they do on
// Windows. It needs the recorder's watches in place: Wine takes up only folders listed after a
// watch's first read.
void PrimeExistingFoldersForWine() {
    if (!RunningUnderWine())
        return;
    StatusLine status;
    const PrimeResult primed =
        PrimeExistingSubfolders(WatchedFolders(), PrimeLimits{}, [&](size_t folders, double) {
            status.Show("orvane-track: under Wine, listing existing folders: " + std::to_string(folders));
        });
    status.Clear();
    std::fprintf(stderr,
                 "orvane-track: under Wine, listed %zu existing folders in %.2f s so that changes inside "
                 "them are reported%s\n",
                 primed.folders, primed.seconds,
                 primed.complete ? "" : "; stopped at the limit, changes in the rest may go unreported");
}

// The folders the setup created that hold its recorded files, as UTF-8.
std::vector<std::string> CreatedFolders(const TrackResult& result, const FolderSnapshot& before) {
    std::set<std::string> seen;
    std::vector<std::string> folders;
    for (const std::string& path : result.files) {
        const auto real = result.realNames.find(path);
        const std::wstring wide =
            real != result.realNames.end() ? Utf8ToWide(real->second) : AnsiToWide(path);
        for (const std::wstring& folder : before.CreatedFoldersOf(wide)) {
            const std::string utf8 = WideToUtf8(folder);
            if (seen.insert(utf8).second)
                folders.push_back(utf8);
        }
    }
    return folders;
}

// The 8.3 forms the uninstall script uses for names beyond ASCII, taken while the files exist.
void AddShortNames(TrackResult& result) {
    std::vector<std::string> names = result.createdFolders;
    for (const std::string& path : result.files)
        names.push_back(Utf8Path(result, path));
    for (const std::string& name : names) {
        const std::string shortPath = AsciiShortPath(Utf8ToWide(name));
        if (!shortPath.empty())
            result.shortNames[name] = shortPath;
    }
}

// Names the tracking user to the capture: its hive is the log's HKCU in every process of the tree,
// whichever user that process runs as.
void NameTrackingUser() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return;
    const UniqueHandle owner(token);
    alignas(TOKEN_USER) unsigned char user[256];
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenUser, user, sizeof user, &size))
        return;
    char* text = nullptr;
    if (!::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &text))
        return;
    ::SetEnvironmentVariableA("ORVANE_CAPTURE_USER", text);
    ::LocalFree(text);
}

// The folder of orvane-track.exe, where the capture's files are.
std::wstring TrackerFolder() {
    wchar_t path[MAX_PATH * 2];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring full(path, length < MAX_PATH * 2 ? length : 0);
    const size_t separator = full.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : full.substr(0, separator);
}

// Loads the registry capture into the suspended setup; a setup that cannot be captured still runs.
void CaptureSetup(const SetupProcess& setup, const std::string& setupName, CaptureMessages& messages,
                  TrackResult& notes) {
    const capture::CaptureAttempt attempt =
        capture::CaptureSuspendedProcess(setup.Process(), TrackerFolder());
    if (attempt.outcome != capture::CaptureOutcome::Captured)
        messages.AddGap(notes, CaptureGap{AnsiToUtf8(setupName), ::GetProcessId(setup.Process()),
                                          capture::DescribeCaptureAttempt(attempt)});
}

std::string FileNameOf(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

void Fail(const std::string& message) {
    std::fprintf(stderr, "orvane-track: %s\n", message.c_str());
}

// Where the kept copies of an undo script's files live: beside it, as "<script name>-kept", so that
// the script can put them back after the run; a temporary store otherwise.
std::wstring StoreFolderFor(const TrackOptions& options) {
    if (options.uninstallScript.empty())
        return std::wstring();
    const std::string& script = options.uninstallScript;
    const size_t dot = script.find_last_of('.'), separator = script.find_last_of("\\/");
    const bool hasExtension = dot != std::string::npos && (separator == std::string::npos || dot > separator);
    return AnsiToWide((hasExtension ? script.substr(0, dot) : script) + "-kept");
}

// Makes the store the setup's processes keep old state in. Without one the run goes on, and what
// the setup changed is reported with its old data unknown.
void OpenStore(OldStateStore& store, const TrackOptions& options) {
    if (!options.keepOldState)
        return;
    std::vector<std::wstring> watched;
    for (const std::string& folder : WatchedFolders())
        watched.push_back(AnsiToWide(folder));
    std::string problem;
    if (!store.Open(StoreFolderFor(options), watched, std::uint64_t{options.keepFilesUpToMb} * 1024 * 1024,
                    problem))
        Fail(problem);
}

// The store lies below a watched folder where the temporary folder does (C:\windows\temp under
// Wine): its record files are the tracker's, never the setup's, and are left out without a word.
void LeaveOutStore(const OldStateStore& store, TrackResult& result) {
    if (!store.IsOpen())
        return;
    const std::wstring below = store.folder() + L"\\";
    std::vector<std::string> kept;
    for (const std::string& path : result.files) {
        const std::wstring wide = AnsiToWide(path);
        if (wide.size() <= below.size() || !SameIgnoringCaseOrdinal(wide.substr(0, below.size()), below))
            kept.push_back(path);
    }
    result.files = std::move(kept);
}

// Reads what the setup's processes kept and sets each item of the result against it. The library
// is still loaded: a file it never named is judged noise or not as it would judge it.
void AddOldState(OldStateStore& store, const OrvaneLibrary& library, IOrvaneInc* recorder,
                 TrackResult& result) {
    const StoreReading reading = store.Read();
    const std::string damage = DescribeDamage(reading);
    if (!damage.empty()) {
        Fail(damage);
        result.oldStateGaps.push_back(damage);
    }
    OldStates old;
    old.Add(reading.records);
    if (old.passedOver() != 0)
        result.oldStateGaps.push_back(
            "old state: " + std::to_string(old.passedOver()) +
            " records name no key, value or file the tracker can look at; passed over");
    LiveState now([&](const std::wstring& path) {
        const std::string ansi = WideToAnsi(path);
        return AnsiToWide(ansi) != path ? IsNoiseByRealName(ansi, path)
                                        : library.IsEliminatePath(recorder, ansi);
    });
    ClassifyChanges(old, store.keptFolder(), now, result);
    result.keptFolder = WideToUtf8(store.keptFolder());
}

// What the page says of the tracker: its version and build, the Windows it runs on, the folders
// it watches.
HtmlRunFacts ThisRunFacts() {
    HtmlRunFacts facts;
    facts.build = std::string("orvane-track ") + ORVANE_TRACK_VERSION + ", " +
                  (sizeof(void*) == 8 ? "x86_64" : "i686") + " build";
    facts.lane = sizeof(void*) == 8 ? "win64 Windows"
                 : RunsUnderWow64() ? "win64 Windows (WoW64)"
                                    : "win32 Windows";
    if (RunningUnderWine())
        facts.lane += ", Wine";
    for (const std::string& folder : WatchedFolders())
        facts.watchedFolders.push_back(AnsiToUtf8(folder));
    return facts;
}

} // namespace

int RunTrackSession(const TrackOptions& options) {
    // Report files are claimed before the setup runs, so that a bad path costs no install.
    ReportFile jsonFile, regFile, uninstallFile, htmlFile;
    std::string error;
    if ((!options.jsonFile.empty() && !jsonFile.Open(options.jsonFile, error)) ||
        (!options.htmlFile.empty() && !htmlFile.Open(options.htmlFile, error)) ||
        (!options.regFile.empty() && !regFile.Open(options.regFile, error)) ||
        (!options.uninstallScript.empty() && !uninstallFile.Open(options.uninstallScript, error))) {
        Fail(error);
        return kExitReportNotWritten;
    }
    if (!options.packageDir.empty() && !CheckPackageFolder(options.packageDir, error)) {
        Fail(error);
        return kExitReportNotWritten;
    }

    OrvaneLibrary library;
    if (!library.Load("Orvane.dll", error)) {
        Fail(error);
        return kExitLibraryNotLoadable;
    }
    OwnedRecorder recorder(library, library.Create(IOrvaneInc::OV_RECORDER));
    if (recorder.get() == nullptr) {
        Fail("Orvane.dll could not create a tracking recorder");
        return kExitRecorderNotCreated;
    }

    const std::string commandLine = BuildCommandLine(options.setup);
    // The setup's processes inherit the names of the ring their lines go to and of the channel
    // they report capture problems on.
    CaptureSide capture;
    capture.messages.Open();
    capture.relay.Open();
    NameTrackingUser();
    // Named in the environment before the setup starts: its processes inherit it.
    OldStateStore store;
    OpenStore(store, options);
    SetupProcess setup;
    DWORD startError = 0;
    if (!setup.StartSuspended(commandLine, startError)) {
        recorder.Destroy();
        Fail("cannot start the setup " + options.setup.front() + " (error " + std::to_string(startError) +
             ")");
        return kExitSetupNotStarted;
    }
    CaptureSetup(setup, FileNameOf(options.setup.front()), capture.messages, capture.notes);
    // What was there before, for the outputs that must tell the setup's folders from older ones.
    FolderSnapshot foldersBefore;
    if (uninstallFile.IsOpen())
        foldersBefore.Take();
    // Asked before the recorder starts: naming the folders touches the shell's own state.
    HtmlRunFacts runFacts = htmlFile.IsOpen() ? ThisRunFacts() : HtmlRunFacts();
    // The recorder watches before the setup's first instruction runs.
    recorder.Start();
    PrimeExistingFoldersForWine();
    const Stopwatch clock;
    runFacts.started = UtcNow();
    setup.Resume();
    const double setupSeconds = WaitForSetup(setup, recorder.get(), clock, options.settleMs, capture);
    recorder.Stop();
    NoteDriverLosses(capture);

    TrackResult result = CollectResult(library, recorder.get());
    LeaveOutStore(store, result);
    AddOldState(store, library, recorder.get(), result);
    CheckCapturedValues(capture.relay.TakeWrites(), result, capture.messages, capture.notes);
    NameUnnamedWriters(capture.writers.writes(), result);
    SpellRegistryAsHeld(result);
    recorder.Destroy();
    result.captureGaps = capture.notes.captureGaps;
    result.unrecordedValues = capture.notes.unrecordedValues;
    result.oldStateGaps.insert(result.oldStateGaps.end(), capture.notes.oldStateGaps.begin(),
                               capture.notes.oldStateGaps.end());
    result.setupCommand = commandLine;
    result.setupExitCode = setup.ExitCode();
    result.seconds = setupSeconds;

    WriteStandardOutput(FormatTextReport(result, options.listEliminated, options.listProcesses));
    bool written = true;
    if (jsonFile.IsOpen() && !jsonFile.Write(FormatJsonReport(result), error)) {
        Fail(error);
        written = false;
    }
    runFacts.ended = UtcNow();
    if (htmlFile.IsOpen() && !htmlFile.Write(FormatHtmlReport(result, runFacts), error)) {
        Fail(error);
        written = false;
    }
    if (regFile.IsOpen() && !regFile.Write(FormatRegScript(result), error)) {
        Fail(error);
        written = false;
    }
    if (!options.packageDir.empty() && !WritePackage(options.packageDir, result, error)) {
        Fail(error);
        written = false;
    }
    if (uninstallFile.IsOpen()) {
        result.createdFolders = CreatedFolders(result, foldersBefore);
        AddShortNames(result);
        std::string script;
        if (!WriteUndoPlanBeside(options.uninstallScript, result, RunningProgramPath(), script, error) ||
            !uninstallFile.Write(script, error)) {
            Fail(error);
            written = false;
        }
    }
    return written ? static_cast<int>(result.setupExitCode) : kExitReportNotWritten;
}

} // namespace track
