// The HTML page as markup: what a browser would run or show is checked in tests/browser; here, that
// nothing from the machine reaches the markup unescaped and that the page allows its own script.
#include "host/track/output/HtmlPage.h"
#include "host/track/output/HtmlReport.h"
#include "host/track/output/Sha256.h"
#include "host/track/result/Base64.h"
#include "tests/host/HostTestSupport.h"

#include "common/Win32.h"

#include <gtest/gtest.h>

namespace {

std::string Hex(const std::array<std::uint8_t, 32>& digest) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : digest)
        out += std::string{digits[b >> 4], digits[b & 15]};
    return out;
}

TEST(HtmlPage, Sha256MatchesKnownDigests) {
    EXPECT_EQ(Hex(track::Sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Hex(track::Sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Hex(track::Sha256(std::string(1000, 'a'))),
              "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3");
}

TEST(HtmlPage, MachineTextIsEscapedAndTheOneScriptIsAllowedByItsHash) {
    track::TrackResult result;
    result.setupCommand = "setup.exe \"a & b\" <x>";
    result.files = {"C:\\Program Files\\App\\'q'.txt"};
    result.registry = {{"HKLM\\Software\\App\\<script>alert(1)</script>", REG_SZ,
                        track::EncodeBase64(host_tests::Bytes(std::string("</td><b>\0", 9)))}};
    result.eliminated = {{"C:\\Program Files\\App\\desktop.ini", "shell view file"}};
    result.captureGaps = {{"child.exe", 7, "not entered"}};
    const std::string page = track::FormatHtmlReport(result, track::HtmlRunFacts());

    EXPECT_EQ(page.find("<script>alert"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(page.find("&quot;&lt;/td&gt;&lt;b&gt;&quot;"), std::string::npos);
    EXPECT_NE(page.find("setup.exe &quot;a &amp; b&quot; &lt;x&gt;"), std::string::npos);
    EXPECT_NE(page.find("&#39;q&#39;.txt"), std::string::npos);
    EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos);

    const size_t open = page.find("<script>");
    ASSERT_NE(open, std::string::npos);
    EXPECT_EQ(page.find("<script", open + 1), std::string::npos) << "one script, no other";
    const size_t start = open + 8, end = page.find("</script>", start);
    EXPECT_NE(page.find("script-src " + track::CspHashSource(page.substr(start, end - start)) + ";"),
              std::string::npos);
    EXPECT_NE(page.find("default-src 'none'"), std::string::npos);
    // The warning box comes before the sections; noise is folded, the rest open.
    EXPECT_LT(page.find("class=\"warnings\""), page.find("<section"));
    EXPECT_NE(page.find("<details class=\"section\"><summary>Files eliminated as noise"), std::string::npos);
    EXPECT_NE(page.find("<details class=\"section\" open><summary>Files added"), std::string::npos);
}

TEST(HtmlPage, LongTextIsCutAtACharacterAndSaysItsLength) {
    EXPECT_EQ(track::Abridged("short", 10), "short");
    EXPECT_EQ(track::Abridged("\xCE\xA9\xCE\xA9\xCE\xA9", 2),
              "\xCE\xA9\xCE\xA9\xE2\x80\xA6 (3 characters in all)");
    EXPECT_EQ(track::EscapeHtml(std::string("a\x01\tb", 4)), "a\xEF\xBF\xBD\tb");
}

} // namespace
