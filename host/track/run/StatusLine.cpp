#include "host/track/run/StatusLine.h"

#include "common/Tick.h"

#include <cstdio>
#include <string>

namespace track {

bool StatusLine::StandardOutputIsTerminal() {
    HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE)
        return false;
    DWORD mode = 0;
    return ::GetConsoleMode(output, &mode) || ::GetFileType(output) == FILE_TYPE_CHAR;
}

StatusLine::StatusLine() : enabled_(StandardOutputIsTerminal()) {}

void StatusLine::Update(double seconds, size_t files, const char* phase) {
    if (!enabled_)
        return;
    char text[128];
    const int length = std::snprintf(text, sizeof text, "orvane-track: %s, %.1f s, %zu file%s so far", phase,
                                     seconds, files, files == 1 ? "" : "s");
    Show(std::string(text, length > 0 ? static_cast<size_t>(length) : 0));
}

void StatusLine::Show(const std::string& text) {
    const ULONGLONG now = TickCount64();
    if (!enabled_ || (lastUpdate_ != 0 && now - lastUpdate_ < 250))
        return;
    lastUpdate_ = now;
    const size_t width = text.size();
    std::string line = "\r" + text;
    if (shownWidth_ > width)
        line += std::string(shownWidth_ - width, ' ');
    shownWidth_ = width;
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

void StatusLine::Clear() {
    if (!enabled_ || shownWidth_ == 0)
        return;
    std::fputs(("\r" + std::string(shownWidth_, ' ') + "\r").c_str(), stdout);
    std::fflush(stdout);
    shownWidth_ = 0;
}

} // namespace track
