// What the tracker makes of the capture's own reports and of captured values that are the system's
// noise: messages parsed strictly (anything malformed is dropped, never half-read), messages read
// from a real mailslot as the capture sends them, noise judged by key whatever the letter case or
// view, and both shown in the text and JSON reports.
#include "host/track/run/CaptureMessages.h"
#include "host/track/run/DriverLosses.h"
#include "host/track/result/RegistryNoise.h"
#include "host/track/output/Reports.h"
#include "tests/host/MiniJson.h"

#include "common/UniqueHandle.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using track::CaptureGap;
using track::CaptureMessage;
using track::ParseCaptureMessage;
using track::RegistryNoiseReason;
using track::TrackResult;

TEST(CaptureMessageParse, ReadsBothKindsWithTheTextKeptWhole) {
    CaptureMessage message;
    ASSERT_TRUE(
        ParseCaptureMessage("incomplete\t42\tsetup.exe\tstarted by a.exe: no 64-bit capture DLL", message));
    EXPECT_EQ(message.kind, CaptureMessage::Kind::Incomplete);
    EXPECT_EQ(message.processId, 42u);
    EXPECT_EQ(message.process, "setup.exe");
    EXPECT_EQ(message.text, "started by a.exe: no 64-bit capture DLL");
    // A value's name may hold a tab: everything after the third one is the text.
    ASSERT_TRUE(ParseCaptureMessage("unrecorded\t4294967295\t\tHKCU\\X\\a\tb", message));
    EXPECT_EQ(message.kind, CaptureMessage::Kind::Unrecorded);
    EXPECT_EQ(message.processId, 4294967295u);
    EXPECT_EQ(message.process, "");
    EXPECT_EQ(message.text, "HKCU\\X\\a\tb");
}

TEST(CaptureMessageParse, RefusesWhatItCannotReadWhole) {
    CaptureMessage message;
    message.text = "untouched";
    for (const char* bad :
         {"", "incomplete", "incomplete\t1\tx.exe", "incomplete\t1\tx.exe\t", "unknown\t1\tx\ty",
          "Incomplete\t1\tx\ty", "incomplete\t\tx\ty", "incomplete\t-1\tx\ty", "incomplete\t1a\tx\ty",
          "incomplete\t4294967296\tx\ty", "incomplete\t12345678901\tx\ty"}) {
        EXPECT_FALSE(ParseCaptureMessage(bad, message)) << bad;
        EXPECT_EQ(message.text, "untouched") << bad;
    }
    EXPECT_FALSE(ParseCaptureMessage(std::string("incomplete\t1\0\tx\ty", 14), message));
}

TEST(CaptureMessages, CollectsWhatTheCaptureSendsOnceEachAndSkipsGarbage) {
    track::CaptureMessages messages;
    ASSERT_TRUE(messages.Open());
    char name[MAX_PATH];
    ASSERT_GT(::GetEnvironmentVariableA("ORVANE_CAPTURE_CHANNEL", name, MAX_PATH), 0u);
    const auto send = [&](const std::string& text) {
        const UniqueFile slot(::CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(slot.valid());
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(slot.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    };
    send("incomplete\t7\tchild.exe\tno 64-bit capture DLL");
    send("unrecorded\t7\tchild.exe\tHKCU\\Software\\X\\\xe4\xb8\xad");
    send("not a message at all");
    send("incomplete\t7\tchild.exe\tno 64-bit capture DLL");
    send("unrecorded\t8\tother.exe\tHKCU\\Software\\X\\\xe4\xb8\xad");
    send("oldstate\t9\tsetup.exe\tthe old content of the files it changes cannot be kept");
    send("oldstate\t9\tsetup.exe\tthe old content of the files it changes cannot be kept");

    TrackResult result;
    messages.Drain(result);
    // What of the old state cannot be kept is no gap in the registry log.
    EXPECT_EQ(result.oldStateGaps,
              std::vector<std::string>{
                  "setup.exe (process 9): the old content of the files it changes cannot be kept"});
    ASSERT_EQ(result.captureGaps.size(), 1u);
    EXPECT_EQ(track::DescribeCaptureGap(result.captureGaps[0]),
              "registry capture incomplete: child.exe (process 7): no 64-bit capture DLL");
    EXPECT_EQ(result.unrecordedValues, std::vector<std::string>{"HKCU\\Software\\X\\\xe4\xb8\xad"});
    messages.Drain(result);
    EXPECT_EQ(result.captureGaps.size(), 1u) << "nothing new came";
}

TEST(RegistryNoise, JudgesByKeyInAnyCaseAndView) {
    const std::string shellFolders =
        "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders\\";
    for (const std::string& path : std::vector<std::string>{
             "HKCU\\" + shellFolders + "Desktop", "HKLM\\" + shellFolders + "Common Desktop",
             "HKLM\\SOFTWARE\\WOW6432NODE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\SHELL "
             "FOLDERS\\Common Desktop",
             "HKEY_USERS\\S-1-5-21-1-2-3-1001\\" + shellFolders + "Personal",
             std::string(
                 "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\x\\y"),
             std::string("HKEY_USERS\\S-1-5-21-9_Classes\\Installer\\Products\\ABC\\ProductName"),
             std::string("HKCU\\Software\\Wine\\MenuFiles\\/home/user/.local/share/applications/x.desktop"),
             std::string("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                         "{12345678-9ABC-DEF0-1234-56789ABCDEF0}\\DisplayName")})
        EXPECT_FALSE(RegistryNoiseReason(path).empty()) << path;
    for (const std::string& path : std::vector<std::string>{
             std::string("HKLM\\Software\\OrvaneSample\\Version"),
             std::string("HKCU\\Software\\Shell Folders\\X"), "HKLM\\Software\\Vendor\\" + shellFolders + "X",
             std::string("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvane Test "
                         "Product\\DisplayName"),
             std::string(
                 "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{not-a-guid}\\DisplayName"),
             std::string("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                         "{12345678-9ABC-DEF0-1234-56789ABCDEF0}"),
             std::string("HKLM"), std::string(""), std::string("HKEY_USERS\\S-1-5-18")})
        EXPECT_TRUE(RegistryNoiseReason(path).empty()) << path;
}

TrackResult ResultWithCaptureNotes() {
    TrackResult result;
    result.setupCommand = "setup.exe";
    result.registry = {{"HKLM\\Software\\App\\Version", REG_SZ, "MQAAAA=="}};
    result.eliminatedRegistry = {
        {{"HKCU\\Software\\Microsoft\\Windows\\Shell\\Bags\\1\\X", REG_DWORD, "AQAAAA=="},
         "shell view and history state, kept by the shell for any program"}};
    result.captureGaps = {CaptureGap{"child64.exe", 1234, "started by setup.exe: no 64-bit capture DLL"}};
    result.unrecordedValues = {"HKCU\\Software\\App\\\xe4\xb8\xad"};
    return result;
}

TEST(CaptureReport, TextNamesGapsUnrecordedValuesAndNoise) {
    const std::string plain = track::FormatTextReport(ResultWithCaptureNotes(), false);
    EXPECT_NE(
        plain.find(
            "Registry warnings (2):\n"
            "  registry capture incomplete: child64.exe (process 1234): started by setup.exe: no 64-bit "
            "capture DLL\n"
            "  registry value not recorded (the ANSI code page cannot hold its name): "
            "HKCU\\Software\\App\\\xe4\xb8\xad\n"),
        std::string::npos)
        << plain;
    EXPECT_EQ(plain.find("Registry values eliminated as noise"), std::string::npos)
        << "listed only on request";
    EXPECT_NE(
        plain.find("Summary: 0 files added, 1 registry value written, 1 registry value eliminated as noise, "
                   "registry capture incomplete for 1 process, 1 registry value not recorded;"),
        std::string::npos)
        << plain;
    const std::string listed = track::FormatTextReport(ResultWithCaptureNotes(), true);
    EXPECT_NE(listed.find("Registry values eliminated as noise (1):\n"
                          "  HKCU\\Software\\Microsoft\\Windows\\Shell\\Bags\\1\\X\n"
                          "      shell view and history state"),
              std::string::npos)
        << listed;
}

TEST(CaptureReport, JsonCarriesGapsUnrecordedValuesAndNoise) {
    const auto parsed = json::Parse(track::FormatJsonReport(ResultWithCaptureNotes()));
    ASSERT_TRUE(parsed.has_value());
    const json::Value& root = *parsed;
    ASSERT_EQ(root["registryCaptureIncomplete"].items.size(), 1u);
    EXPECT_EQ(root["registryCaptureIncomplete"][0]["process"].text, "child64.exe");
    EXPECT_EQ(root["registryCaptureIncomplete"][0]["pid"].text, "1234");
    EXPECT_EQ(root["registryCaptureIncomplete"][0]["message"].text,
              "registry capture incomplete: child64.exe (process 1234): started by setup.exe: no 64-bit "
              "capture DLL");
    ASSERT_EQ(root["registryValuesNotRecorded"].items.size(), 1u);
    EXPECT_EQ(root["registryValuesNotRecorded"][0].text, "HKCU\\Software\\App\\\xe4\xb8\xad");
    ASSERT_EQ(root["eliminatedRegistry"].items.size(), 1u);
    EXPECT_EQ(root["eliminatedRegistry"][0]["type"].text, "REG_DWORD");
    EXPECT_EQ(root["registry"].items.size(), 1u);
    EXPECT_EQ(root["summary"]["registryCaptureIncomplete"].text, "1");
    EXPECT_EQ(root["summary"]["registryValuesNotRecorded"].text, "1");
    EXPECT_EQ(root["summary"]["eliminatedRegistryValues"].text, "1");
}

// What the driver counts as seen and not logged becomes one gap per kind, with the count, in the
// report's warnings and its summary; a capture that lost nothing adds none.
TEST(DriverLosses, EachKindTheDriverCountsBecomesAGapOfItsOwn) {
    REGMON_CAPTURE_STATE state = {};
    EXPECT_TRUE(track::DriverLossGaps(state).empty());
    state.callbackActive = 1;
    state.linesLostLogFull = 12;
    state.nameQueriesFailed = 1;
    state.deletionsUnchecked = 0x7FFFFFFF;
    const std::vector<CaptureGap> gaps = track::DriverLossGaps(state);
    ASSERT_EQ(gaps.size(), 3u);
    EXPECT_EQ(
        track::DescribeCaptureGap(gaps[0]),
        "registry capture incomplete: REGSYS.SYS: 12 registry operations were not logged: the driver's log "
        "was full");
    EXPECT_EQ(gaps[1].reason,
              "1 registry operations were not logged: a key, value or process name could not be had");
    EXPECT_EQ(gaps[2].reason,
              "2147483647 key deletions were not logged: too many waited to be checked at once");

    TrackResult result = ResultWithCaptureNotes();
    result.captureGaps.insert(result.captureGaps.end(), gaps.begin(), gaps.end());
    const std::string text = track::FormatTextReport(result, false);
    EXPECT_NE(text.find("Registry warnings (5):\n"), std::string::npos) << text;
    EXPECT_NE(
        text.find("registry capture incomplete for 1 process, registry operations lost by the driver, "),
        std::string::npos)
        << text;
    const auto parsed = json::Parse(track::FormatJsonReport(result));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ((*parsed)["registryCaptureIncomplete"].items.size(), 4u);
    EXPECT_EQ((*parsed)["registryCaptureIncomplete"].items[1]["pid"].text, "0");
}

} // namespace
