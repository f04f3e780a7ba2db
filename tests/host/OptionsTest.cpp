// The tracker's command line: options, the setup's own arguments, and rebuilding them for the child.
#include "host/track/CommandLine.h"
#include "host/track/ExitCodes.h"
#include "host/track/TrackOptions.h"

#include "common/Win32.h"

#include <shellapi.h>

#include <gtest/gtest.h>

namespace {

using track::ParseTrackOptions;
using Args = std::vector<std::string>;

TEST(TrackOptions, AcceptsOptionsThenTheSetupWithItsOwnArguments) {
    const auto parsed =
        ParseTrackOptions({"--json", "out.json", "--reg", "out.reg", "--eliminated", "--processes",
                           "--settle-ms", "250", "--", "setup.exe", "/S", "--json", "x"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.jsonFile, "out.json");
    EXPECT_EQ(parsed.options.regFile, "out.reg");
    EXPECT_TRUE(parsed.options.listEliminated);
    EXPECT_TRUE(parsed.options.listProcesses);
    EXPECT_EQ(parsed.options.settleMs, 250u);
    EXPECT_EQ(parsed.options.setup, (Args{"setup.exe", "/S", "--json", "x"}));
    EXPECT_FALSE(parsed.options.help);
}

TEST(TrackOptions, TheSetupMayFollowWithoutTheSeparator) {
    const auto parsed = ParseTrackOptions({"setup.exe", "--eliminated"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.setup, (Args{"setup.exe", "--eliminated"}));
    EXPECT_FALSE(parsed.options.listEliminated);
    EXPECT_EQ(parsed.options.settleMs, track::kDefaultSettleMs);
    EXPECT_EQ(ParseTrackOptions({"--", "-dash-named.exe"}).options.setup, (Args{"-dash-named.exe"}));
}

TEST(TrackOptions, HelpNeedsNoSetup) {
    for (const Args& args : {Args{"--help"}, Args{"-h"}, Args{"/?"}, Args{"--json", "x", "--help"}}) {
        const auto parsed = ParseTrackOptions(args);
        EXPECT_TRUE(parsed.options.help);
        EXPECT_EQ(parsed.error, "");
    }
}

TEST(TrackOptions, RefusesWhatItDoesNotUnderstand) {
    const struct {
        Args args;
        const char* error;
    } cases[] = {
        {{}, "no setup program given"},
        {{"--"}, "no setup program given"},
        {{"--eliminated"}, "no setup program given"},
        {{"--", ""}, "no setup program given"},
        {{"--bogus", "setup.exe"}, "unknown option --bogus"},
        {{"-x", "setup.exe"}, "unknown option -x"},
        {{"--json"}, "--json needs a value"},
        {{"--json", "", "setup.exe"}, "--json needs a value"},
        {{"--reg"}, "--reg needs a value"},
        {{"--json", "a", "--json", "b", "setup.exe"}, "--json given twice"},
        {{"--reg", "a", "--reg", "b", "setup.exe"}, "--reg given twice"},
        {{"--json", "same", "--reg", "same", "setup.exe"}, "--json and --reg name the same file"},
        {{"--settle-ms"}, "--settle-ms needs a value"},
        {{"--settle-ms", "-5", "setup.exe"}, "--settle-ms takes milliseconds from 0 to 600000"},
        {{"--settle-ms", "1.5", "setup.exe"}, "--settle-ms takes milliseconds from 0 to 600000"},
        {{"--settle-ms", "600001", "setup.exe"}, "--settle-ms takes milliseconds from 0 to 600000"},
        {{"--settle-ms", "99999999999", "setup.exe"}, "--settle-ms takes milliseconds from 0 to 600000"},
        {{"--settle-ms", "1", "--settle-ms", "2", "setup.exe"}, "--settle-ms given twice"},
        {{"--keep-files-up-to"}, "--keep-files-up-to needs a value"},
        {{"--keep-files-up-to", "1048577", "setup.exe"},
         "--keep-files-up-to takes megabytes from 0 to 1048576"},
        {{"--keep-files-up-to", "lots", "setup.exe"}, "--keep-files-up-to takes megabytes from 0 to 1048576"},
        {{"--keep-files-up-to", "1", "--keep-files-up-to", "2", "setup.exe"},
         "--keep-files-up-to given twice"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseTrackOptions(c.args).error, c.error) << ::testing::PrintToString(c.args);
    EXPECT_EQ(ParseTrackOptions({"--settle-ms", "0", "s.exe"}).options.settleMs, 0u);
    EXPECT_EQ(ParseTrackOptions({"--settle-ms", "600000", "s.exe"}).options.settleMs, 600000u);
    EXPECT_EQ(ParseTrackOptions({"s.exe"}).options.keepFilesUpToMb, 64u);
    EXPECT_EQ(ParseTrackOptions({"--keep-files-up-to", "0", "s.exe"}).options.keepFilesUpToMb, 0u);
    EXPECT_EQ(ParseTrackOptions({"--keep-files-up-to", "1048576", "s.exe"}).options.keepFilesUpToMb,
              1048576u);
}

TEST(TrackOptions, UndoStandsAloneAndTheUndoScriptHasTwoNames) {
    const auto undo = ParseTrackOptions({"--undo", "C:\\x\\plan.txt"});
    ASSERT_EQ(undo.error, "");
    EXPECT_EQ(undo.options.undoPlan, "C:\\x\\plan.txt");
    EXPECT_TRUE(undo.options.setup.empty());
    for (const Args& args : {Args{"--undo", "p", "setup.exe"}, Args{"--json", "j", "--undo", "p"},
                             Args{"--undo", "p", "--eliminated"}, Args{"--undo", "p", "--undo-script", "s"}})
        EXPECT_EQ(ParseTrackOptions(args).error,
                  "--undo PLAN stands alone: it runs no setup and writes no other output")
            << ::testing::PrintToString(args);
    EXPECT_EQ(ParseTrackOptions({"--undo"}).error, "--undo needs a value");
    EXPECT_EQ(ParseTrackOptions({"--undo-script", "u.cmd", "s.exe"}).options.uninstallScript, "u.cmd");
    EXPECT_EQ(ParseTrackOptions({"--undo-script", "a", "--uninstall-script", "b", "s.exe"}).error,
              "--uninstall-script given twice");
}

TEST(TrackOptions, HelpDocumentsEveryOptionAndExitCode) {
    const std::string help = track::HelpText();
    for (const char* word : {"--json FILE", "--reg FILE", "--eliminated", "--processes", "--settle-ms MS",
                             "--keep-files-up-to MB", "--help", "Windows Registry Editor Version 5.00",
                             "-- SETUP [ARGS...]", "--undo PLAN", "--undo-script FILE", "-undo-plan.txt"})
        EXPECT_NE(help.find(word), std::string::npos) << word;
    for (int code : {track::kExitUsage, track::kExitLibraryNotLoadable, track::kExitRecorderNotCreated,
                     track::kExitSetupNotStarted, track::kExitReportNotWritten})
        EXPECT_NE(help.find("  " + std::to_string(code) + "  "), std::string::npos) << code;
}

// What the child's parser makes of a rebuilt command line.
Args SplitLikeTheChild(const std::string& line) {
    int count = 0;
    const std::wstring wide(line.begin(), line.end()); // the cases are ASCII
    LPWSTR* argv = ::CommandLineToArgvW(wide.c_str(), &count);
    Args args;
    for (int i = 0; i < count; ++i) {
        const std::wstring arg = argv[i];
        args.emplace_back(arg.begin(), arg.end());
    }
    ::LocalFree(argv);
    return args;
}

TEST(CommandLine, TheChildGetsBackExactlyTheArgumentsGiven) {
    const Args args = {"plain",      "with space",
                       "",           "quote\"inside",
                       "trailing\\", "trail space\\",
                       "a\\\\b",     "\\\"",
                       "tab\there",  "\\\\server\\share\\x y",
                       "\"",         "end\\\\\"",
                       "/S",         "C:\\Program Files\\x.exe"};
    const std::string line =
        track::BuildCommandLine(Args{"C:\\setup.exe"}) + " " + track::BuildCommandLine(args);
    Args expected = {"C:\\setup.exe"};
    expected.insert(expected.end(), args.begin(), args.end());
    EXPECT_EQ(SplitLikeTheChild(line), expected) << line;
}

TEST(CommandLine, QuotesOnlyWhatNeedsIt) {
    EXPECT_EQ(track::QuoteArgument("setup.exe"), "setup.exe");
    EXPECT_EQ(track::QuoteArgument("C:\\dir\\"), "C:\\dir\\");
    EXPECT_EQ(track::QuoteArgument("a b\\"), "\"a b\\\\\"");
    EXPECT_EQ(track::QuoteArgument(""), "\"\"");
    EXPECT_EQ(track::QuoteArgument("say \"hi\""), "\"say \\\"hi\\\"\"");
}

} // namespace
