#include "host/track/output/ConsoleOutput.h"

#include "host/track/result/RealNames.h"

#include "common/Win32.h"

#include <algorithm>
#include <cstdio>

namespace track {

namespace {

// WriteConsoleW takes at most a few thousand characters at a time on old consoles.
constexpr size_t kConsoleChunk = 8192;
constexpr size_t kFileChunk = 1u << 20;

bool WriteConsoleText(HANDLE console, const std::wstring& text) {
    for (size_t offset = 0; offset < text.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min(text.size() - offset, kConsoleChunk));
        DWORD written = 0;
        if (!::WriteConsoleW(console, text.data() + offset, chunk, &written, nullptr) || written == 0)
            return false;
        offset += written;
    }
    return true;
}

bool WriteBytes(HANDLE output, const std::string& bytes) {
    for (size_t offset = 0; offset < bytes.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min(bytes.size() - offset, kFileChunk));
        DWORD written = 0;
        if (!::WriteFile(output, bytes.data() + offset, chunk, &written, nullptr) || written == 0)
            return false;
        offset += written;
    }
    return true;
}

} // namespace

bool WriteStandardOutput(const std::string& utf8) {
    // Whatever the C run-time buffered (a status line) goes first, in order.
    std::fflush(stdout);
    HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE)
        return false;
    DWORD mode = 0;
    if (::GetConsoleMode(output, &mode)) {
        // Lines end in CR LF either way, as Windows text does; the report's own end in LF.
        std::wstring text;
        for (wchar_t c : Utf8ToWide(utf8)) {
            if (c == L'\n')
                text += L'\r';
            text += c;
        }
        return WriteConsoleText(output, text);
    }
    std::string bytes;
    bytes.reserve(utf8.size() + utf8.size() / 32);
    for (char c : utf8) {
        if (c == '\n')
            bytes += '\r';
        bytes += c;
    }
    return WriteBytes(output, bytes);
}

} // namespace track
