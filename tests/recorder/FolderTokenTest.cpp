// The folder tokens the recorder resolves, against the shell's own answers.
#include "tests/recorder/TrackingSupport.h"

#include "stand-ins/tavish/ITavishInc.h"

#include <gtest/gtest.h>

namespace {

TEST(FolderTokens, EachTokenNamesItsShellFolder) {
    const struct {
        const char* token;
        const KNOWNFOLDERID& folder;
    } cases[] = {{"{pf}", FOLDERID_ProgramFiles},      {"{win}", FOLDERID_Windows},
                 {"{menu}", FOLDERID_CommonStartMenu}, {"{desk}", FOLDERID_PublicDesktop},
                 {"{user_menu}", FOLDERID_StartMenu},  {"{user_desk}", FOLDERID_Desktop}};
    for (const auto& c : cases) {
        const std::string expected = test_support::KnownFolder(c.folder);
        ASSERT_FALSE(expected.empty()) << c.token;
        EXPECT_EQ(ITavishInc::TrailPath(c.token, ""), expected) << c.token;
        EXPECT_EQ(ITavishInc::TrailPath(c.token, "\\App\\x.exe"), expected + "\\App\\x.exe") << c.token;
    }
}

TEST(FolderTokens, UnknownTokensGiveAnEmptyPath) {
    for (const char* token : {"", "{PF}", "{pf", "pf", "{program_files}", "{win}x", "{user_desk} "})
        EXPECT_EQ(ITavishInc::TrailPath(token, "\\tail"), "") << "'" << token << "'";
}

TEST(FolderTokens, TheResultIsACopyPerCall) {
    const std::string first = ITavishInc::TrailPath("{pf}", "");
    const std::string& again = ITavishInc::TrailPath("{win}", "\\x");
    EXPECT_NE(first, again);
    EXPECT_EQ(first, test_support::KnownFolder(FOLDERID_ProgramFiles));
}

} // namespace
