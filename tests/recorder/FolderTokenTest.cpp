// The folder tokens the recorder resolves, against the shell's own answers.
#include "tests/recorder/TrackingSupport.h"

#include "stand-ins/tavish/ITavishInc.h"

#include <gtest/gtest.h>

namespace {

TEST(FolderTokens, EachTokenNamesItsShellFolder) {
    const struct {
        const char* token;
        int folder;
    } cases[] = {{"{pf}", CSIDL_PROGRAM_FILES},      {"{win}", CSIDL_WINDOWS},
                 {"{menu}", CSIDL_COMMON_STARTMENU}, {"{desk}", CSIDL_COMMON_DESKTOPDIRECTORY},
                 {"{user_menu}", CSIDL_STARTMENU},   {"{user_desk}", CSIDL_DESKTOPDIRECTORY}};
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
    EXPECT_EQ(first, test_support::KnownFolder(CSIDL_PROGRAM_FILES));
}

} // namespace
