// orvane-html-fixture OUT.html OUT.json COUNT: the page and the JSON of a made-up capture of COUNT
// registry values, for the browser tests and the page's benchmark. Its names are hostile on
// purpose (markup, script, quotes, ampersands, characters beyond the ANSI code page) and it has a
// capture gap, an old-state gap, noise and long and binary data, so that each part of the page
// shows.
#include "host/track/output/HtmlReport.h"
#include "host/track/output/Reports.h"
#include "host/track/result/Base64.h"
#include "host/track/output/ReportFile.h"

#include "common/Win32.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using track::EncodeBase64;
using track::RegistryValue;

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

RegistryValue Value(const std::string& path, std::uint32_t type, const std::string& data,
                    track::ValueChange change, const std::string& process) {
    RegistryValue value(path, type, EncodeBase64(Bytes(data)));
    value.change = change;
    value.before.state = change == track::ValueChange::New ? track::Before::Absent : track::Before::Present;
    value.before.type = REG_SZ;
    value.before.bytes = Bytes(std::string("o\0l\0d\0\0\0", 8));
    value.process = process;
    value.processId = process == "setup.exe" ? 1000 : 2000;
    return value;
}

track::TrackResult MadeUpCapture(size_t count) {
    track::TrackResult result;
    result.setupCommand = "\"C:\\Setups\\<b>setup</b> & co.exe\" /S";
    result.seconds = 12.5;
    const std::string hostileFile = "C:\\Program Files\\Fixture\\Tom & \"Jerry\" 'quoted'.txt";
    result.files = {hostileFile, "C:\\Program Files\\Fixture\\????.txt", "C:\\windows\\fixture.dll"};
    result.realNames["C:\\Program Files\\Fixture\\????.txt"] =
        "C:\\Program Files\\Fixture\\\xCE\xA9\xE6\x97\xA5\xE6\x9C\xAC.txt"; // Greek omega, CJK
    result.eliminated = {{"C:\\Program Files\\Fixture\\desktop.ini", "shell view file"}};
    track::ChangedFile changed;
    changed.path = "C:\\windows\\win.ini";
    changed.before = {true, 100, 0x01d0000000000000ull, 0};
    changed.after = {true, 140, 0x01d1000000000000ull, 0};
    changed.kept = "x";
    result.changedFiles = {changed};
    track::ChangedFile removed = changed;
    removed.path = "C:\\windows\\old.ini";
    removed.after = {};
    removed.kept.clear();
    removed.notKept = "larger than 64 MB";
    result.removedFiles = {removed};
    const track::ValueChange changes[] = {track::ValueChange::New, track::ValueChange::Changed,
                                          track::ValueChange::Deleted};
    result.registry.push_back(Value("HKLM\\Software\\Fixture\\<script>alert(1)</script>", REG_SZ,
                                    std::string("<img src=x onerror=alert(2)>\0", 29),
                                    track::ValueChange::New, "setup.exe"));
    result.registry.push_back(Value("HKLM\\Software\\Fixture\\Long", REG_SZ, std::string(5000, 'x') + '\0',
                                    track::ValueChange::New, "setup.exe"));
    result.registry.push_back(Value("HKCU\\Software\\Fixture\\Blob", REG_BINARY, std::string(4096, '\x7f'),
                                    track::ValueChange::New, "helper.exe"));
    for (size_t i = result.registry.size(); i < count; ++i) {
        const std::string root = i % 3 == 0 ? "HKCU" : "HKLM";
        result.registry.push_back(Value(root + "\\Software\\Fixture\\Group" + std::to_string(i / 100) +
                                            "\\Value" + std::to_string(i),
                                        REG_SZ, "data " + std::to_string(i) + std::string(1, '\0'),
                                        changes[i % 3], i % 2 == 0 ? "setup.exe" : "helper.exe"));
    }
    result.createdKeys = {"HKLM\\Software\\Fixture"};
    result.deletedKeys = {"HKLM\\Software\\Fixture\\Old"};
    track::EliminatedValue noise;
    noise.value = Value("HKLM\\Software\\Microsoft\\Cache\\X", REG_SZ, std::string("y\0", 2),
                        track::ValueChange::New, "setup.exe");
    noise.reason = "shell folder cache";
    result.eliminatedRegistry = {noise};
    result.captureGaps = {{"child64.exe", 1234, "no 64-bit capture DLL beside the tracker"}};
    result.oldStateGaps = {"HKLM\\Software\\Fixture\\Huge: 70000 values below it, past the bound of 65,536"};
    return result;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: orvane-html-fixture OUT.html OUT.json COUNT\n");
        return 2;
    }
    const track::TrackResult result = MadeUpCapture(std::strtoul(argv[3], nullptr, 10));
    track::HtmlRunFacts facts;
    facts.started = "2026-12-10 16:00:00 UTC";
    facts.ended = "2026-12-10 16:00:12 UTC";
    facts.build = "orvane-html-fixture";
    facts.lane = "made up";
    facts.watchedFolders = {"C:\\Program Files", "C:\\windows"};
    std::string error;
    if (!track::WriteWholeFile(argv[1], track::FormatHtmlReport(result, facts), error) ||
        !track::WriteWholeFile(argv[2], track::FormatJsonReport(result), error)) {
        std::fprintf(stderr, "orvane-html-fixture: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
