// Awkward arguments quoted by the kit come back unchanged, both from the shell's own command-line
// splitter and from a real child process's argv.
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using test_support::QuoteArgument;

const std::vector<std::string> kAwkwardArguments = {
    "",
    "plain",
    "with space",
    "C:\\dir\\",
    "C:\\dir with space\\",
    "trailing\\\\",
    "a\"b",
    "a\\\"b",
    "a\\\\\"b",
    "\"",
    "\\",
    "\\\\server\\share\\file.txt",
    "tab\there",
    "ends in quote\"",
    "back\\slash\\inside",
};

std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    for (size_t i = 0; i < text.size(); ++i)
        wide[i] = wchar_t(static_cast<unsigned char>(text[i]));
    return wide;
}

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; *text != L'\0'; ++text)
        narrow += char(*text);
    return narrow;
}

std::string CommandLineOf(const std::vector<std::string>& arguments) {
    std::string commandLine = "program.exe";
    for (const std::string& argument : arguments)
        commandLine += " " + QuoteArgument(argument);
    return commandLine;
}

TEST(QuoteArgument, RoundTripsThroughTheShellSplitter) {
    int count = 0;
    LPWSTR* split = ::CommandLineToArgvW(Widen(CommandLineOf(kAwkwardArguments)).c_str(), &count);
    ASSERT_NE(split, nullptr);
    std::vector<std::string> parsed;
    for (int i = 1; i < count; ++i)
        parsed.push_back(Narrow(split[i]));
    ::LocalFree(split);
    EXPECT_EQ(parsed, kAwkwardArguments);
}

TEST(QuoteArgument, DoublesOnlyBackslashesBeforeAQuote) {
    EXPECT_EQ(QuoteArgument("C:\\dir\\"), "\"C:\\dir\\\\\"");
    EXPECT_EQ(QuoteArgument("a\\\"b"), "\"a\\\\\\\"b\"");
    EXPECT_EQ(QuoteArgument("a\\b"), "\"a\\b\"");
    EXPECT_EQ(QuoteArgument(""), "\"\"");
}

TEST(QuoteArgument, RoundTripsThroughAChildProcess) {
    test_support::TempDir dir("quote");
    const std::string echoed = dir / "argv.txt";
    std::string arguments = "--echo-arguments " + QuoteArgument(echoed);
    for (const std::string& argument : kAwkwardArguments)
        arguments += " " + QuoteArgument(argument);
    UniqueHandle child = test_support::StartSelf(arguments);
    ASSERT_TRUE(child);
    ASSERT_EQ(::WaitForSingleObject(child.get(), 20000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    ASSERT_TRUE(::GetExitCodeProcess(child.get(), &exitCode));
    ASSERT_EQ(exitCode, 0u);

    std::ifstream in(echoed, std::ios::binary);
    const std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> parsed;
    for (size_t start = 0, end; (end = contents.find('\n', start)) != std::string::npos; start = end + 1)
        parsed.push_back(contents.substr(start, end - start));
    EXPECT_EQ(parsed, kAwkwardArguments);
}

// Helper mode: write every argument after the file name to that file, one a line.
int EchoArguments(int argc, char** argv) {
    std::FILE* out = std::fopen(argv[2], "wb");
    if (out == nullptr)
        return 2;
    for (int i = 3; i < argc; ++i)
        std::fprintf(out, "%s\n", argv[i]);
    return std::fclose(out) == 0 ? 0 : 3;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--echo-arguments") == 0)
        return EchoArguments(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
