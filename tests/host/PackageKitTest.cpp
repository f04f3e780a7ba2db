// The kit's Windows Installer source and build script for values the target machine may already
// have: only new values are written as they are; an entry added to an environment variable is added
// the same way; anything else the machine had is left out, with the reason in the source.
#include "host/track/output/PackageKit.h"
#include "host/track/result/Base64.h"
#include "tests/host/UndoTestSupport.h"

#include "common/Win32.h"

#include <gtest/gtest.h>

namespace {

using track::ValueChange;

std::vector<std::uint8_t> Ansi(const std::string& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// A value as the tracker reports it: the data now in the ANSI form, the old data as the registry
// held it (UTF-16).
track::RegistryValue Changed(const std::string& path, const std::string& now, const std::wstring& old,
                             std::uint32_t type = REG_EXPAND_SZ) {
    track::RegistryValue value(path, type, track::EncodeBase64(Ansi(now)));
    value.change = ValueChange::Changed;
    value.before = {track::Before::Present, type, undo_tests::WideBytes(old), ""};
    return value;
}

track::RegistryValue Other(const std::string& path, ValueChange change) {
    track::RegistryValue value(path, REG_SZ,
                               change == ValueChange::Deleted ? "" : track::EncodeBase64(Ansi("x")));
    value.change = change;
    if (change != ValueChange::New && change != ValueChange::OldUnknown)
        value.before = {track::Before::Present, REG_BINARY, {1, 2}, ""};
    return value;
}

const char kSystemEnvironment[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

TEST(PackageKit, AddsAnEntryAddedToAnEnvironmentVariableInsteadOfOverwritingIt) {
    track::TrackResult result;
    result.registry = {
        Changed("HKCU\\Environment\\PATH", "C:\\old;D:\\bin", L"C:\\old"),
        Changed(std::string(kSystemEnvironment) + "\\Path", "C:\\Tools [1];%SystemRoot%;C:\\x",
                L"%SystemRoot%;C:\\x"),
        Changed("HKCU\\Environment\\Replaced", "new", L"old"),
    };
    const std::string wxs = track::FormatProductWxs(result, {});
    EXPECT_NE(wxs.find("Name=\"PATH\" Value=\"D:\\bin\" Part=\"last\" Action=\"set\" System=\"no\" "
                       "Permanent=\"no\"/>"),
              std::string::npos)
        << wxs;
    EXPECT_NE(wxs.find("Name=\"Path\" Value=\"C:\\Tools [\\[]1[\\]]\" Part=\"first\" Action=\"set\" "
                       "System=\"yes\" Permanent=\"no\"/>"),
              std::string::npos)
        << wxs;
    EXPECT_NE(wxs.find("<!-- left out: HKCU\\Environment\\Replaced (it was there before the setup, which "
                       "changed it: a package does not overwrite a value the machine has) -->"),
              std::string::npos)
        << wxs;
    EXPECT_EQ(wxs.find("<RegistryValue"), std::string::npos) << wxs;

    const std::string build = track::FormatBuildScript(result);
    EXPECT_NE(build.find("sed '/<Environment /d' product.wxs > product.wixl.wxs\n"), std::string::npos)
        << build;
    EXPECT_NE(build.find("-o product.msi product.wixl.wxs\n"), std::string::npos) << build;
    EXPECT_NE(build.find("'=-PATH', '[~];D:\\\\bin'"), std::string::npos) << build;
    EXPECT_NE(build.find("'=-*Path', 'C:\\\\Tools [\\\\[]1[\\\\]];[~]'"), std::string::npos) << build;
    EXPECT_NE(build.find("WriteEnvironmentStrings"), std::string::npos) << build;
    EXPECT_EQ(build.find("Replaced"), std::string::npos) << build;
}

TEST(PackageKit, LeavesOutEveryValueTheMachineHadWithTheReason) {
    track::TrackResult result;
    result.registry = {Other("HKLM\\Software\\App\\New", ValueChange::New),
                       Other("HKLM\\Software\\App\\Changed", ValueChange::Changed),
                       Other("HKLM\\Software\\App\\Deleted", ValueChange::Deleted),
                       Other("HKLM\\Software\\App\\Same", ValueChange::Unchanged),
                       Other("HKLM\\Software\\App\\Unknown", ValueChange::OldUnknown),
                       Other("HKLM\\Software\\App\\Binary changed", ValueChange::Changed)};
    result.registry.back().type = REG_BINARY;
    const std::string wxs = track::FormatProductWxs(result, {});
    EXPECT_NE(wxs.find("Key=\"Software\\App\" Name=\"New\" Type=\"string\" Value=\"x\"/>"), std::string::npos)
        << wxs;
    for (const char* reason :
         {"left out: HKLM\\Software\\App\\Changed (it was there before the setup, which changed it",
          "left out: HKLM\\Software\\App\\Deleted (the setup deleted it: a package does not delete a value",
          "left out: HKLM\\Software\\App\\Same (it was there before the setup, with the same data",
          "left out: HKLM\\Software\\App\\Unknown (what it held before the setup is not known"})
        EXPECT_NE(wxs.find(reason), std::string::npos) << reason << "\n" << wxs;
    EXPECT_EQ(wxs.find("<Environment"), std::string::npos);
    const std::string build = track::FormatBuildScript(result);
    EXPECT_EQ(build.find("Binary changed"), std::string::npos) << "no type mark for a value left out\n"
                                                               << build;
    EXPECT_EQ(build.find("Environment"), std::string::npos) << build;
    EXPECT_NE(build.find("-o product.msi product.wxs\n"), std::string::npos) << build;
}

} // namespace
