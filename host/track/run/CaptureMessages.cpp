#include "host/track/run/CaptureMessages.h"

#include <cstdio>
#include <vector>

namespace track {

namespace {

constexpr const char* kChannelVariable = "ORVANE_CAPTURE_CHANNEL";
constexpr DWORD kLongestMessage = 64 * 1024;

bool ParseProcessId(const std::string& text, unsigned long& id) {
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 0xFFFFFFFFull)
        return false;
    id = static_cast<unsigned long>(value);
    return true;
}

} // namespace

// Said once per process and text, as a gap is.
void CaptureMessages::AddOldStateGap(TrackResult& result, const CaptureMessage& message) {
    const std::string line =
        message.process + " (process " + std::to_string(message.processId) + "): " + message.text;
    if (seenOldStateGaps_.insert(line).second)
        result.oldStateGaps.push_back(line);
}

bool ParseCaptureMessage(const std::string& message, CaptureMessage& parsed) {
    const size_t first = message.find('\t');
    const size_t second = first == std::string::npos ? first : message.find('\t', first + 1);
    const size_t third = second == std::string::npos ? second : message.find('\t', second + 1);
    if (third == std::string::npos)
        return false;
    const std::string kind = message.substr(0, first);
    CaptureMessage result;
    if (kind == "incomplete")
        result.kind = CaptureMessage::Kind::Incomplete;
    else if (kind == "unrecorded")
        result.kind = CaptureMessage::Kind::Unrecorded;
    else if (kind == "oldstate")
        result.kind = CaptureMessage::Kind::OldState;
    else
        return false;
    if (!ParseProcessId(message.substr(first + 1, second - first - 1), result.processId))
        return false;
    result.process = message.substr(second + 1, third - second - 1);
    result.text = message.substr(third + 1);
    if (result.text.empty())
        return false;
    parsed = result;
    return true;
}

std::string DescribeCaptureGap(const CaptureGap& gap) {
    const std::string who = gap.process.empty() ? std::string("a process") : gap.process;
    // A gap of the driver's own names no process.
    if (gap.processId == 0)
        return "registry capture incomplete: " + who + ": " + gap.reason;
    return "registry capture incomplete: " + who + " (process " + std::to_string(gap.processId) +
           "): " + gap.reason;
}

bool CaptureMessages::Open() {
    const std::string name = "\\\\.\\mailslot\\orvane\\capture-" + std::to_string(::GetCurrentProcessId());
    slot_.reset(::CreateMailslotA(name.c_str(), kLongestMessage, 0, nullptr));
    if (!slot_)
        return false;
    return ::SetEnvironmentVariableA(kChannelVariable, name.c_str()) != FALSE;
}

void CaptureMessages::AddGap(TrackResult& result, const CaptureGap& gap) {
    const std::string line = DescribeCaptureGap(gap);
    if (!seenGaps_.insert(line).second)
        return;
    std::fprintf(stderr, "orvane-track: %s\n", line.c_str());
    result.captureGaps.push_back(gap);
}

void CaptureMessages::Drain(TrackResult& result) {
    if (!slot_)
        return;
    std::vector<char> buffer(kLongestMessage);
    for (;;) {
        DWORD next = MAILSLOT_NO_MESSAGE;
        if (!::GetMailslotInfo(slot_.get(), nullptr, &next, nullptr, nullptr) || next == MAILSLOT_NO_MESSAGE)
            return;
        DWORD read = 0;
        if (!::ReadFile(slot_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            return;
        CaptureMessage message;
        if (!ParseCaptureMessage(std::string(buffer.data(), read), message))
            continue;
        if (message.kind == CaptureMessage::Kind::Incomplete)
            AddGap(result, CaptureGap{message.process, message.processId, message.text});
        else if (message.kind == CaptureMessage::Kind::OldState)
            AddOldStateGap(result, message);
        else if (seenValues_.insert(message.text).second)
            result.unrecordedValues.push_back(message.text);
    }
}

} // namespace track
